#!/usr/bin/env python3
"""Deployment of QuolinHost: the MSI and the install scripts, checked on Linux and under Wine.

One scenario per invocation, each Wine scenario in a prefix of its own. `build` makes in
--work, with scripts/package, QuolinHost-signed.msi (a throw-away certificate; the signed
quolin-service.exe beside it) and QuolinHost-older.msi (version 0.0.1, unsigned: the signed
executable tells its upgrade). scripts/package itself checks the rows it
adds to what wixl builds; the build scenario checks what those rows mean together.
Neither the package nor the scripts touch the log folder: the service makes and guards it
(tests/e2e). The package's install folder is checked under Wine's msiexec to stay in Program
Files whatever the command line asks.
"""
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from private_prefix import ROOT, SERVICE, Failure, PrivatePrefix, expect_equal, run_scenario  # noqa: E402

INSTALL_DIR = r"C:\Program Files\Quolin"
SERVICE_EXE = INSTALL_DIR + r"\quolin-service.exe"
LOG_DIR = r"C:\ProgramData\Quolin"  # where installers must not reach (a Wine service logs elsewhere)
LOG = LOG_DIR + r"\service.log"
EARLIER_LOG = b"2026-01-01 00:00:00 UTC [quolin-service] a line from before the install\n"
PASSWORD = "throw-away password"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\QuolinHost"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
# The event source QuolinHost: both installers register it, both uninstallers remove it.
EVENT_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QuolinHost"
EVENT_SOURCE = {"EventMessageFile": SERVICE_EXE, "TypesSupported": "0x7"}
# Windows Error Reporting's local dumps of quolin.exe: both installers write ours where no
# administrator's are (theirs: full dumps in a folder of their own), and take back only ours.
DUMPS_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps\quolin.exe"
OUR_DUMPS = {"DumpType": "0x1", "DumpCount": "0xa", "InstalledBy": "QuolinHost"}
THEIR_DUMPS = {"DumpType": "0x2", "DumpFolder": r"D:\dumps"}


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, check=False, **kw)


def content(path):
    with open(path, "rb") as f:
        return f.read()


def msi_table(msi, table):
    """Rows of one table as lists of fields (msiinfo export: 3 header lines)."""
    r = run("msiinfo", "export", msi, table)
    expect_equal(r.returncode, 0, f"msiinfo export {table}: {r.stderr}")
    return [line.split("\t") for line in r.stdout.split("\n")[3:] if line]


def values(wine, key):
    """The values of a key (not of the keys below it), or None when it is not there."""
    return wine.registry(key).get(key.rsplit("\\", 1)[-1])


def plant_their_dumps(wine):
    for name, kind, data in (("DumpType", "REG_DWORD", "2"), ("DumpFolder", "REG_SZ", r"D:\dumps")):
        wine.wine("reg", "add", DUMPS_KEY, "/v", name, "/t", kind, "/d", data, "/f")


def products(wine):
    """(product code, DisplayVersion) of every installed product named QuolinHost."""
    return [(code, v.get("DisplayVersion")) for code, v in wine.registry(UNINSTALL_KEY).items()
            if v.get("DisplayName") == SERVICE]


# --- without Wine's SCM -------------------------------------------------------------------
def scenario_build(args):
    """The packages, the signatures, and the rows that protect the log folder. What the event
    source's rows mean is checked where msiexec reads them (msi)."""
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    work = lambda name: os.path.join(args.work, name)  # noqa: E731
    package = os.path.join(ROOT, "scripts", "package")
    older, signed = work("QuolinHost-older.msi"), work("QuolinHost-signed.msi")
    subprocess.run([package, "--exe", args.exe, "--version", "0.0.1", "--output", older], check=True)

    # A throw-away code-signing certificate; the password reaches scripts/package in a file.
    key, cert, pfx, pw = map(work, ("key.pem", "cert.pem", "t.pfx", "pw"))
    with open(pw, "w") as f:
        f.write(PASSWORD)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=Quolin test signing",
                    "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-out", pfx, "-inkey", key, "-in", cert,
                    "-passout", "file:" + pw], check=True)
    r = run(package, "--exe", args.exe, "--output", signed, "--sign", pfx, "--password-file", pw)
    expect_equal(r.returncode, 0, f"scripts/package --sign: {r.stderr}")
    for path in (work("quolin-service.exe"), signed, older):
        r = run("osslsigncode", "verify", "-CAfile", cert, "-in", path)
        verified = r.returncode == 0 and re.search(r"Message digest algorithm\s*: SHA256", r.stdout)
        if bool(verified) != (path != older):
            raise Failure(f"osslsigncode verify {path} (signed only if asked):\n{r.stdout}")
    # Only the signature differs: removing it gives back the reproducible file.
    subprocess.run(["osslsigncode", "remove-signature", "-in", work("quolin-service.exe"),
                    "-out", work("unsigned.exe")], check=True, capture_output=True)
    if content(work("unsigned.exe")) != content(args.exe):
        raise Failure("the signed executable differs from the built one beyond its signature")

    # Nothing acts on the log folder by name, in the package or in any script: a step that did,
    # as SYSTEM under ProgramData, could be sent elsewhere by a link a user put there first.
    tables = set(run("msiinfo", "tables", signed).stdout.split())
    for table in ("CreateFolder", "LockPermissions", "MsiLockPermissionsEx", "RemoveFile"):
        if table in tables and msi_table(signed, table):
            raise Failure(f"the package has rows in {table}")
    expect_equal([f[2] for f in msi_table(signed, "File")], ["quolin-service.exe"], "files installed")
    # Mini dumps, at most 10, in each user's own folder: no DumpFolder. What the component's
    # condition (scripts/package checks it is there) makes of an existing key: msi, below.
    key = DUMPS_KEY.split("\\", 1)[1] + "\\"
    expect_equal(sorted((r[3], r[4], r[5]) for r in msi_table(signed, "Registry") if r[2] == key),
                 [("DumpCount", "#10", "CrashDumps"), ("DumpType", "#1", "CrashDumps"),
                  ("InstalledBy", "QuolinHost", "CrashDumps")], "the dumps' registry rows")
    for folder in ("packaging", "scripts"):
        for dirpath, _, names in os.walk(os.path.join(ROOT, folder)):
            for name in names:
                with open(os.path.join(dirpath, name), "rb") as f:
                    if re.search(rb"icacls|takeown|CommonAppData", f.read(), re.I):
                        raise Failure(f"{name} acts on the log folder or its rights")


# --- msiexec under Wine ---------------------------------------------------------------------
def prefix(name, args, files=()):
    """A prefix with the packages in C:\\ and `files` ({C: path: Linux file}) in place."""
    packages = {"C:\\" + n: os.path.join(args.work, n) for n in os.listdir(args.work)
                if n.endswith(".msi")}
    return PrivatePrefix("pkg-" + name, args.template, dict(packages, **dict(files)),
                         install_dir=INSTALL_DIR)


def install(wine, package, *options, want_code=0):
    code, log = wine.msiexec("/i", "C:\\" + package, "/qn", *options)
    expect_equal(code, want_code, f"msiexec /i {package} exit code; log:\n{log[-3000:]}")
    return log


def uninstall(wine):
    code, log = wine.msiexec("/x", r"C:\QuolinHost-signed.msi", "/qn")
    expect_equal(code, 0, f"msiexec /x exit code; log:\n{log[-3000:]}")


def scenario_msi(args):
    """The older package over a log left from before, with its install folder asked for
    elsewhere on the command line: it installs into Program Files all the same, and its service
    runs and launches the host. The signed package upgrades it in place: its executable runs
    under the SCM as LocalSystem, launches the host and is the event source's message file. The
    dumps' settings are written, kept by the upgrade, restored by a repair (the properties /f
    sets: Wine's /f fails) and removed by REMOVE=CrashDumps. A downgrade is refused and changes
    nothing; uninstall removes the program, the event source and the dumps' settings and leaves
    the operator's files and the log. An administrator's settings stay through install, upgrade
    and removal. Unlike Windows, Wine checks a component's condition again at removal (a
    condition blind to our marker keeps the key at the upgrade, unowned: the repair fails), and
    forgets a removed feature at an upgrade (not tested)."""
    signed = content(os.path.join(args.work, "quolin-service.exe"))
    with prefix("msi", args, {INSTALL_DIR + r"\quolin.exe": args.host}) as wine:
        wine.put(LOG, data=EARLIER_LOG)
        planted = r"C:\Users\Public\Planted"
        install(wine, "QuolinHost-older.msi", f"INSTALLFOLDER={planted}", f"InstallFolder={planted}",
                f"TARGETDIR={planted}")
        if os.path.exists(wine.unix(planted)):
            raise Failure(f"the command line redirected the install into {planted}")
        wine.wait_state("RUNNING")
        if wine.read(SERVICE_EXE) != content(args.exe):
            raise Failure("the older package did not install its own file")
        expect_equal(values(wine, DUMPS_KEY), OUR_DUMPS, "dumps after the install")
        wine.wait_launches(1)  # the host's lines are the e2e scenarios' to check
        wine.stop()  # under Wine the upgrade could not replace a running file

        install(wine, "QuolinHost-signed.msi")
        wine.wait_state("RUNNING")
        upgraded = products(wine)
        expect_equal([version for _, version in upgraded], [args.version], "products after the upgrade")
        if wine.read(SERVICE_EXE) != signed:
            raise Failure("the upgrade did not install the signed quolin-service.exe")
        expect_equal(values(wine, SERVICE_KEY).get("ObjectName"), "LocalSystem", "account")
        expect_equal((values(wine, EVENT_KEY), values(wine, DUMPS_KEY)), (EVENT_SOURCE, OUR_DUMPS),
                     "event source and dumps after the upgrade")
        wine.wait_launches(2)

        # ERROR_INSTALL_FAILURE: the launch condition refuses a detected newer version.
        log = install(wine, "QuolinHost-older.msi", want_code=1603 % 256)
        if f"WIX_DOWNGRADE_DETECTED = {upgraded[0][0]}" not in log:
            raise Failure("the downgrade was refused but not as a detected newer version")
        expect_equal((wine.state(), products(wine)), ("RUNNING", upgraded),
                     "service and products after a refused downgrade")
        if wine.read(SERVICE_EXE) != signed:
            raise Failure("the refused downgrade changed quolin-service.exe")

        wine.wine("reg", "delete", DUMPS_KEY, "/v", "DumpType", "/f")
        install(wine, "QuolinHost-signed.msi", "REINSTALL=ALL", "REINSTALLMODE=omus")
        expect_equal(values(wine, DUMPS_KEY), OUR_DUMPS, "dumps after a repair")

        wine.stop()
        uninstall(wine)
        expect_equal((wine.state(), products(wine), values(wine, EVENT_KEY), values(wine, DUMPS_KEY)),
                     (None, [], None, None), "service, products, event source, dumps after /x")
        expect_equal(sorted(os.listdir(wine.unix(INSTALL_DIR))), ["quolin-launches.txt", "quolin.exe"],
                     "files left by uninstall: the operator's, not the package's")
        expect_equal(wine.read(LOG), EARLIER_LOG, "the log after install, upgrade and uninstall")

        # Had an install or upgrade written ours over theirs, /x would take DumpType along.
        plant_their_dumps(wine)
        for package in ("QuolinHost-older.msi", "QuolinHost-signed.msi"):
            install(wine, package)
            wine.wait_state("RUNNING")
            wine.stop()
        uninstall(wine)
        expect_equal(values(wine, DUMPS_KEY), THEIR_DUMPS, "an administrator's dumps after install, upgrade, /x")

        # Dumps turned off on an installed product, by their feature; the service stays.
        wine.wine("reg", "delete", DUMPS_KEY, "/f")
        for options, want in (((), OUR_DUMPS), (("REMOVE=CrashDumps",), None)):
            install(wine, "QuolinHost-signed.msi", *options)
            expect_equal((values(wine, DUMPS_KEY), wine.wait_state("RUNNING")), (want, 0), f"dumps after {options}")


# --- install.cmd and uninstall.cmd under Wine ----------------------------------------------
# & ( ) ! and spaces in the folder install.cmd runs from. With a % as well (R&D (x86) 100% !)
# Wine's cmd cannot find its own folder: it expands the result of %~dp0 once more and loses
# the %, a fault of Wine, not of Windows; the script then refuses and changes nothing.
AWKWARD = r"C:\Users\Public\Downloads\R&D (x86) !"
PERCENT = r"C:\Users\Public\Downloads\R&D (x86) 100% !"
SYSTEM32 = r"C:\windows\system32"


def scenario_scripts(args):
    """install.cmd from a folder named R&D (x86) 100% !: refusals change nothing; the install
    copies into Program Files and registers that copy quoted exactly, also as the event
    source's message file, and writes the dumps' settings; uninstall.cmd removes the service's
    executable and those settings and keeps the host and the log. Over an administrator's dumps'
    settings, install.cmd and uninstall.cmd leave them as they are, and uninstall.cmd refuses to
    delete through a link in the install folder's place."""
    files = {f"{folder}\\{name}": source for folder in (AWKWARD, PERCENT) for name, source in (
        ("install.cmd", os.path.join(ROOT, "packaging", "install.cmd")),
        ("uninstall.cmd", os.path.join(ROOT, "packaging", "uninstall.cmd")),
        ("quolin-service.exe", args.exe), ("quolin.exe", args.host))}
    with prefix("scripts", args, files) as wine:
        # net.exe is fake_quolin, which records each command line: its first run exits with 2
        # (net session of a user who is no administrator), every later one with 0.
        wine.put(SYSTEM32 + r"\net.exe", args.host)
        wine.write_script(["exit 2 after 0"] + ["exit 0 after 0"] * 200, folder=SYSTEM32)

        def sh(script, folder=AWKWARD):
            return wine.wine("cmd", "/c", script, cwd=wine.unix(folder),
                             extra_env={"WINEDLLOVERRIDES": "net.exe=n"})

        def refused(r, status, message):
            expect_equal((r.returncode, r.stderr.replace("\r", "").split("\n")[0]),
                         (status % 256, message), f"refusal; output:\n{r.stdout}{r.stderr}")
            expect_equal(wine.state(), None, "service after a refusal")
            for left in (INSTALL_DIR, LOG_DIR):
                if os.path.exists(wine.unix(left)):
                    raise Failure(f"a refused install.cmd left {left}")

        refused(sh("install.cmd"), 5, "install.cmd: administrator rights are needed: run it from "
                "an elevated command prompt (Run as administrator).")
        refused(sh("install.cmd", PERCENT), 2, "install.cmd: cannot open the "
                "folder of quolin-service.exe; nothing was changed.")
        wine.put(LOG, data=EARLIER_LOG)
        r = sh("install.cmd")
        expect_equal(r.returncode, 0, f"install.cmd; output:\n{r.stdout}{r.stderr}")
        expect_equal(wine.state(), "RUNNING", "state after install.cmd")
        expect_equal(values(wine, SERVICE_KEY).get("ImagePath"), f'"{SERVICE_EXE}"', "ImagePath")
        expect_equal((values(wine, EVENT_KEY), values(wine, DUMPS_KEY)), (EVENT_SOURCE, OUR_DUMPS),
                     "event source and dumps after install.cmd")
        for name in ("quolin-service.exe", "quolin.exe"):
            if wine.read(INSTALL_DIR + "\\" + name) != wine.read(AWKWARD + "\\" + name):
                raise Failure(f"{name} was not copied into {INSTALL_DIR}")
        wine.wait_launches(1)

        r = sh("uninstall.cmd")
        expect_equal(r.returncode, 0, f"uninstall.cmd; output:\n{r.stdout}{r.stderr}")
        expect_equal((wine.state(), values(wine, EVENT_KEY), values(wine, DUMPS_KEY)), (None, None, None),
                     "service, event source and dumps after uninstall.cmd")
        expect_equal(sorted(os.listdir(wine.unix(INSTALL_DIR))), ["quolin-launches.txt", "quolin.exe"],
                     "left in Program Files by uninstall.cmd (the host and its record)")
        expect_equal(wine.read(LOG), EARLIER_LOG, "the log after install.cmd and uninstall.cmd")

        # The install folder replaced by a link to a folder of someone else's (Wine shows a link
        # in the name's attributes, as Windows shows a junction): nothing there is deleted.
        plant_their_dumps(wine)
        expect_equal(sh("install.cmd").returncode, 0, "install.cmd over an administrator's dumps")
        victim = r"C:\Users\Public\Victim"
        wine.put(victim + r"\quolin-service.exe", data=b"not the service\n")
        os.rename(wine.unix(INSTALL_DIR), wine.unix(INSTALL_DIR) + ".old")
        os.symlink(wine.unix(victim), wine.unix(INSTALL_DIR))
        r = sh("uninstall.cmd")
        expect_equal((r.returncode, r.stderr.replace("\r", "").split("\n")[0]), (4390 % 256,
                     f'uninstall.cmd: "{INSTALL_DIR}" is a link, not a folder; QuolinHost is deleted, '
                     "but nothing was removed through the link."), f"uninstall.cmd over a link:\n{r.stdout}")
        expect_equal(wine.read(victim + r"\quolin-service.exe"), b"not the service\n", "the link target's file")
        # Had install.cmd written ours over theirs, uninstall.cmd would take DumpType along.
        expect_equal(values(wine, DUMPS_KEY), THEIR_DUMPS, "an administrator's dumps after the scripts")


if __name__ == "__main__":
    sys.exit(run_scenario(globals(), ["--work", "--exe", "--host", "--version"],
                          lambda args, scenario: scenario(args)))
