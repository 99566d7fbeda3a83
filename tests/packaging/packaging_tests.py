#!/usr/bin/env python3
"""Deployment of QuolinHost: the MSI and the install scripts, checked on Linux and under Wine.

One scenario per invocation, each Wine scenario in a prefix of its own. `build` makes in
--work, with scripts/package, QuolinHost.msi (unsigned), QuolinHost-signed.msi (a throw-away
certificate; the signed quolin-service.exe beside it) and QuolinHost-older.msi (version 0.0.1,
its executable marked by appended bytes). scripts/package itself checks the rows it adds to
what wixl builds; the build scenario checks what those rows mean together.
What Wine cannot show: it stores no access lists and its icacls does nothing, and its msiexec
(Windows Installer 4.5) skips MsiLockPermissionsEx. The rights themselves are judged from the
SDDL as Windows parses it, and from what the scripts ask of icacls; applying them is for a
Windows machine (docs/operator-guide.md, Security).
"""
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from private_prefix import (ROOT, START_LINES, Failure, PrivatePrefix,  # noqa: E402
                            expect_equal, run_scenario, stop_lines)

INSTALL_DIR = r"C:\Program Files\Quolin"
SERVICE_EXE = INSTALL_DIR + r"\quolin-service.exe"
LOG_DIR = r"C:\ProgramData\Quolin"  # where installers lock it (a Wine service logs elsewhere)
LOG = LOG_DIR + r"\service.log"
OLDER_MARKER = b"\0quolin-packaging-test: older package\0"
EARLIER_LOG = b"2026-01-01 00:00:00 UTC [quolin-service] a line from before the install\n"
# The intended rights of the log folder: owner Administrators; protected; SYSTEM and
# Administrators with full file access (FILE_ALL_ACCESS), inherited by files and folders.
ADMINS, SYSTEM, FILE_ALL_ACCESS, OI_CI = "S-1-5-32-544", "S-1-5-18", 0x1F01FF, 0x3
LOCKED = {"owner": ADMINS, "protected": True,
          "aces": [("allow", sid, FILE_ALL_ACCESS, OI_CI) for sid in (SYSTEM, ADMINS)]}
PASSWORD = "throw-away password"
# The event source QuolinHost: both installers register it, both uninstallers remove it.
EVENT_KEY = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\QuolinHost"
EVENT_SOURCE = {"EventMessageFile": SERVICE_EXE, "TypesSupported": "0x7"}


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


def msi_property(msi, name):
    return dict((row[0], row[1]) for row in msi_table(msi, "Property")).get(name)


def event_source(wine):
    """The values of the event source's key, or None when it is not there."""
    return wine.registry("HKLM\\" + EVENT_KEY).get("QuolinHost")


def decode_sddl(args, sddl):
    """The descriptor as Windows' own parser (Wine's advapi32) reads it."""
    r = run(os.path.join(ROOT, "scripts", "wine-exec"), args.sddl_decode, sddl, timeout=120)
    if r.returncode != 0:
        raise Failure(f"{sddl!r} does not parse: {r.stdout.strip()} (Windows Installer: 1943)")
    out = {"aces": []}
    for f in map(str.split, r.stdout.splitlines()):
        if f[0] == "owner":
            out["owner"] = f[1]
        elif f[0] == "dacl":
            out["protected"] = f[2] == "protected=1"
        elif f[0] == "ace":
            out["aces"].append((f[1], f[2], int(f[3][5:], 16), int(f[4][6:], 16)))
    return out


# --- without Wine's SCM -------------------------------------------------------------------
def scenario_build(args):
    """The packages, the signatures, and the rows that protect the log folder."""
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    work = lambda name: os.path.join(args.work, name)  # noqa: E731
    package = os.path.join(ROOT, "scripts", "package")
    main, signed = work("QuolinHost.msi"), work("QuolinHost-signed.msi")
    subprocess.run([package, "--exe", args.exe, "--output", main], check=True)
    shutil.copy(args.exe, work("quolin-service-older.exe"))
    with open(work("quolin-service-older.exe"), "ab") as f:
        f.write(OLDER_MARKER)  # bytes beyond the image: the program still runs
    subprocess.run([package, "--exe", work("quolin-service-older.exe"), "--version", "0.0.1",
                    "--output", work("QuolinHost-older.msi")], check=True)

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
    for path in (work("quolin-service.exe"), signed, main):
        r = run("osslsigncode", "verify", "-CAfile", cert, "-in", path)
        verified = r.returncode == 0 and re.search(r"Message digest algorithm\s*: SHA256", r.stdout)
        if bool(verified) != (path != main):
            raise Failure(f"osslsigncode verify {path} (signed only if asked):\n{r.stdout}")
    # Only the signature differs: removing it gives back the reproducible file.
    subprocess.run(["osslsigncode", "remove-signature", "-in", work("quolin-service.exe"),
                    "-out", work("unsigned.exe")], check=True, capture_output=True)
    if content(work("unsigned.exe")) != content(args.exe):
        raise Failure("the signed executable differs from the built one beyond its signature")
    # Every build has its own ProductCode (a major upgrade each time), one UpgradeCode.
    if msi_property(main, "ProductCode") == msi_property(signed, "ProductCode"):
        raise Failure("two builds share a ProductCode: the second could not upgrade the first")

    # The event source: two rows of the service's component, naming the installed executable.
    [exe] = [f[0] for f in msi_table(main, "File") if f[2] == "quolin-service.exe"]
    rows = sorted((r[1], r[2].rstrip("\\"), r[3], r[4], r[5]) for r in msi_table(main, "Registry"))
    expect_equal(rows, [("2", EVENT_KEY, "EventMessageFile", f"[#{exe}]", "QuolinService"),
                        ("2", EVENT_KEY, "TypesSupported", "#7", "QuolinService")], "Registry rows")

    if "LockPermissions" in run("msiinfo", "tables", main).stdout.split():
        raise Failure("LockPermissions beside MsiLockPermissionsEx: Windows Installer error 1941")
    # The rights go to the one CreateFolder row, CommonAppDataFolder\Quolin.
    dirs = {d[0]: (d[1], d[2]) for d in msi_table(main, "Directory")}
    [(folder, _)] = [tuple(r) for r in msi_table(main, "CreateFolder")]
    expect_equal(dirs[folder], ("CommonAppDataFolder", "Quolin"), "the created folder")
    [lock] = msi_table(main, "MsiLockPermissionsEx")
    expect_equal((lock[1], lock[2], lock[4]), (folder, "CreateFolder", ""), "MsiLockPermissionsEx")
    expect_equal(decode_sddl(args, lock[3]), LOCKED, f"rights of {lock[3]}")
    # The deferred (0x400), non-impersonated (0x800) step: System32's cmd.exe by full path
    # runs the installed lock-log-folder.cmd, after InstallFiles, before CreateFolders (which
    # would otherwise apply the rights through a junction to its target) and StartServices.
    [ca] = msi_table(main, "CustomAction")
    [script] = [f[0] for f in msi_table(main, "File") if f[2] == "lock-log-folder.cmd"]
    expect_equal((int(ca[1]) & 0x3F, int(ca[1]) & 0xC00, ca[3]),
                 (34, 0xC00, f'"[System64Folder]cmd.exe" /d /c ""[#{script}]""'), "custom action")
    seq = {row[0]: int(row[2]) for row in msi_table(main, "InstallExecuteSequence")}
    order = [seq[a] for a in ("InstallFiles", ca[0], "CreateFolders", "StartServices")]
    if order != sorted(set(order)):
        raise Failure(f"{ca[0]} out of order: {order}")


# --- msiexec under Wine ---------------------------------------------------------------------
def prefix(name, args, files=()):
    """A prefix with the packages in C:\\ and `files` ({C: path: Linux file}) in place."""
    packages = {"C:\\" + n: os.path.join(args.work, n) for n in os.listdir(args.work)
                if n.endswith(".msi")}
    return PrivatePrefix("pkg-" + name, args.template, dict(packages, **dict(files)),
                         install_dir=INSTALL_DIR)


def install(wine, package, want_code=0):
    code, log = wine.msiexec("/i", "C:\\" + package, "/qn")
    expect_equal(code, want_code, f"msiexec /i {package} exit code; log:\n{log[-3000:]}")
    return log


def scenario_msi_install(args):
    """The signed package over a log left from before: the signed executable runs under the
    SCM and launches the host; the log folder is made and its lines kept; uninstall removes the
    program and keeps the log."""
    with prefix("install", args, {INSTALL_DIR + r"\quolin.exe": args.host}) as wine:
        wine.put(LOG, data=EARLIER_LOG)
        log = install(wine, "QuolinHost-signed.msi")
        if not re.search(r"LockLogFolder.*[Rr]eturn value 1", log):
            raise Failure(f"the log folder step did not run and succeed:\n{log[-3000:]}")
        wine.wait_state("RUNNING")
        if wine.read(SERVICE_EXE) != content(os.path.join(args.work, "quolin-service.exe")):
            raise Failure("the installed quolin-service.exe is not the signed one")
        expect_equal(wine.service_config().get("ObjectName"), "LocalSystem", "account")
        expect_equal(event_source(wine), EVENT_SOURCE, "event source after install")
        wine.wait_for("spawned user-session host at service start")
        host = wine.wait_launches(1)[0]
        expect_equal(wine.stop(), 0, "WIN32_EXIT_CODE after stop")
        expect_equal(wine.messages(), START_LINES + ["spawned user-session host at service start"]
                     + stop_lines(host), "log")

        code, log = wine.msiexec("/x", r"C:\QuolinHost-signed.msi", "/qn")
        expect_equal(code, 0, f"msiexec /x exit code; log:\n{log[-3000:]}")
        expect_equal((wine.state(), wine.products(), event_source(wine)), (None, [], None),
                     "service, products, event source after /x")
        expect_equal(sorted(os.listdir(wine.unix(INSTALL_DIR))),
                     ["quolin-launches.txt", "quolin.exe"],
                     "files left by uninstall: the operator's, not the package's")
        expect_equal(wine.read(LOG), EARLIER_LOG, "the log after install and uninstall")


def scenario_msi_upgrade(args):
    """An older package upgraded in place to the new binary, which starts again; a downgrade
    is refused and changes nothing."""
    with prefix("upgrade", args) as wine:
        install(wine, "QuolinHost-older.msi")
        wine.wait_state("RUNNING")
        if not wine.read(SERVICE_EXE).endswith(OLDER_MARKER):
            raise Failure("the older package did not install its own file")
        wine.stop()  # under Wine the upgrade could not replace a running file
        expect_equal(wine.messages()[-2:], stop_lines(), "last log lines")
        install(wine, "QuolinHost.msi")
        wine.wait_state("RUNNING")
        installed = msi_property(os.path.join(args.work, "QuolinHost.msi"), "ProductCode")
        expect_equal(wine.products(), [(installed, args.version)], "products after the upgrade")
        if wine.read(SERVICE_EXE) != content(args.exe):
            raise Failure("the upgrade did not replace quolin-service.exe")
        expect_equal(event_source(wine), EVENT_SOURCE, "event source after the upgrade")
        if not os.path.isdir(wine.unix(LOG_DIR)):
            raise Failure(f"{LOG_DIR} is not a folder after the upgrade")

        # ERROR_INSTALL_FAILURE: the launch condition refuses a detected newer version.
        log = install(wine, "QuolinHost-older.msi", want_code=1603 % 256)
        if f"WIX_DOWNGRADE_DETECTED = {installed}" not in log:
            raise Failure("the downgrade was refused but not as a detected newer version")
        expect_equal((wine.state(), wine.products()), ("RUNNING", [(installed, args.version)]),
                     "service and products after a refused downgrade")
        if wine.read(SERVICE_EXE) != content(args.exe):
            raise Failure("the refused downgrade changed quolin-service.exe")
        expect_equal(wine.stop(), 0, "WIN32_EXIT_CODE after stop")


# --- install.cmd and uninstall.cmd under Wine ----------------------------------------------
# & ( ) ! and spaces in the folder install.cmd runs from. With a % as well (R&D (x86) 100% !)
# Wine's cmd cannot find its own folder: it expands the result of %~dp0 once more and loses
# the %, a fault of Wine, not of Windows; the script then refuses and changes nothing.
AWKWARD = r"C:\Users\Public\Downloads\R&D (x86) !"
PERCENT = r"C:\Users\Public\Downloads\R&D (x86) 100% !"
SYSTEM32 = r"C:\windows\system32"


def scenario_scripts(args):
    """install.cmd from a folder named R&D (x86) 100% !: refusals change nothing; the install
    copies into Program Files, registers that copy quoted exactly and as the event source's
    message file, and asks icacls for the
    rights the MSI's SDDL holds; uninstall.cmd removes the copies and keeps the log."""
    files = {f"{folder}\\{name}": source for folder in (AWKWARD, PERCENT) for name, source in (
        ("install.cmd", os.path.join(ROOT, "packaging", "install.cmd")),
        ("uninstall.cmd", os.path.join(ROOT, "packaging", "uninstall.cmd")),
        ("lock-log-folder.cmd", os.path.join(ROOT, "packaging", "lock-log-folder.cmd")),
        ("quolin-service.exe", args.exe), ("quolin.exe", args.host))}
    with prefix("scripts", args, files) as wine:
        # net.exe and icacls.exe are fake_quolin, which records each command line: the first
        # run of either exits with 2 (net session of a user who is no administrator), every
        # later one with 0.
        for tool in ("net.exe", "icacls.exe"):
            wine.put(SYSTEM32 + "\\" + tool, args.host)
        wine.write_script(["exit 2 after 0"] + ["exit 0 after 0"] * 200, folder=SYSTEM32)

        def sh(script, folder=AWKWARD):
            return wine.wine("cmd", "/c", script, cwd=wine.unix(folder),
                             extra_env={"WINEDLLOVERRIDES": "net.exe=n;icacls.exe=n"})

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
        expect_equal(wine.service_config().get("ImagePath"), f'"{SERVICE_EXE}"', "ImagePath")
        expect_equal(event_source(wine), EVENT_SOURCE, "event source after install.cmd")
        for name in ("quolin-service.exe", "quolin.exe"):
            if wine.read(INSTALL_DIR + "\\" + name) != wine.read(AWKWARD + "\\" + name):
                raise Failure(f"{name} was not copied into {INSTALL_DIR}")
        wine.wait_launches(1)
        expect_equal(wine.read(LOG), EARLIER_LOG, "the log folder's log after install.cmd")

        # What icacls was asked, against the MSI's SDDL as Windows parses it.
        sddl = msi_table(os.path.join(args.work, "QuolinHost.msi"), "MsiLockPermissionsEx")[0][3]
        rights = decode_sddl(args, sddl)
        icacls = [re.sub(r'^.*?cmdline=.*?icacls\.exe"?\s+', "", line) for line in
                  wine.read(SYSTEM32 + r"\quolin-launches.txt").decode().splitlines()
                  if "icacls" in line]
        grants = " ".join(f"*{sid}:(OI)(CI)F" for kind, sid, mask, flags in rights["aces"]
                          if (kind, mask, flags) == ("allow", FILE_ALL_ACCESS, OI_CI))
        expect_equal(icacls, [f'"{LOG_DIR}" /setowner *{rights["owner"]} /C /Q',
                              f'"{LOG_DIR}" /reset /C /Q',
                              f'"{LOG_DIR}" /inheritance:r /grant:r {grants} /C /Q',
                              f'"{LOG}" /setowner *{rights["owner"]} /C /Q',
                              f'"{LOG}" /reset /C /Q'], "icacls calls")

        r = sh("uninstall.cmd")
        expect_equal(r.returncode, 0, f"uninstall.cmd; output:\n{r.stdout}{r.stderr}")
        expect_equal((wine.state(), event_source(wine)), (None, None),
                     "service and event source after uninstall.cmd")
        expect_equal(os.listdir(wine.unix(INSTALL_DIR)), ["quolin-launches.txt"],
                     "left in Program Files by uninstall.cmd (the host's own record)")
        expect_equal(wine.read(LOG), EARLIER_LOG, "the log after uninstall.cmd")


if __name__ == "__main__":
    sys.exit(run_scenario(globals(), ["--work", "--exe", "--host", "--sddl-decode", "--version"],
                          lambda args, scenario: scenario(args)))
