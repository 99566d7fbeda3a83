#!/usr/bin/env python3
"""Deployment of QuolinHost: the MSI and the install scripts, checked on Linux and under Wine.

One scenario per invocation, each Wine scenario in a prefix of its own. `build` makes in
--work, with scripts/package, QuolinHost.msi (unsigned), QuolinHost-signed.msi (a throw-away
certificate; the signed quolin-service.exe beside it) and QuolinHost-older.msi (version 0.0.1,
its executable marked by appended bytes).
What Wine cannot show: it stores no access lists and its icacls does nothing, and its msiexec
(Windows Installer 4.5) skips MsiLockPermissionsEx. The rights themselves are judged from the
SDDL as Windows parses it, and from what the scripts ask of icacls; applying them is for a
Windows machine (docs/operator-guide.md, Security).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from wine_prefix import SERVICE, Failure, Prefix, expect_equal  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
INSTALL_DIR = r"C:\Program Files\Quolin"
SERVICE_EXE = INSTALL_DIR + r"\quolin-service.exe"
LOG_DIR = r"C:\ProgramData\Quolin"  # where installers lock it (a Wine service logs elsewhere)
OLDER_MARKER = b"\0quolin-packaging-test: older package\0"
START_LINES = ["service starting", "service running, awaiting SCM events"]
STOP_LINES = ["Stop control received, shutting down", "service stopped"]
EARLIER_LOG = b"2026-01-01 00:00:00 UTC [quolin-service] a line from before the install\n"
# The intended rights of the log folder: owner Administrators; protected; SYSTEM and
# Administrators with full file access (FILE_ALL_ACCESS), inherited by files and folders.
ADMINS, SYSTEM, FILE_ALL_ACCESS, OI_CI = "S-1-5-32-544", "S-1-5-18", 0x1F01FF, 0x3
LOCKED = {"owner": ADMINS, "protected": True,
          "aces": [("allow", SYSTEM, FILE_ALL_ACCESS, OI_CI), ("allow", ADMINS, FILE_ALL_ACCESS, OI_CI)]}
PASSWORD = "throw-away password"


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, check=False, **kw)


def msi_table(msi, table):
    """Rows of one table as lists of fields (msiinfo export: 3 header lines)."""
    r = run("msiinfo", "export", msi, table)
    if r.returncode != 0:
        raise Failure(f"msiinfo export {table}: {r.stderr}")
    return [line.split("\t") for line in r.stdout.split("\n")[3:] if line]


def msi_property(msi, name):
    return dict((row[0], row[1]) for row in msi_table(msi, "Property")).get(name)


def same_file(a, b):
    return open(a, "rb").read() == open(b, "rb").read()


def decode_sddl(args, sddl):
    """The descriptor as Windows' own parser (Wine's advapi32) reads it."""
    r = run(os.path.join(ROOT, "scripts", "wine-exec"), args.sddl_decode, sddl, timeout=120)
    if r.returncode != 0:
        raise Failure(f"{sddl!r} does not parse: {r.stdout.strip()} (Windows Installer: 1943)")
    out = {"aces": []}
    for line in r.stdout.splitlines():
        f = line.split()
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
    package = os.path.join(ROOT, "scripts", "package")
    main, signed = (os.path.join(args.work, n) for n in ("QuolinHost.msi", "QuolinHost-signed.msi"))
    subprocess.run([package, "--exe", args.exe, "--output", main], check=True)
    older_exe = os.path.join(args.work, "quolin-service-older.exe")
    shutil.copy(args.exe, older_exe)
    with open(older_exe, "ab") as f:
        f.write(OLDER_MARKER)  # bytes beyond the image: the program still runs
    subprocess.run([package, "--exe", older_exe, "--version", "0.0.1", "--output",
                    os.path.join(args.work, "QuolinHost-older.msi")], check=True)

    # A throw-away code-signing certificate; the password reaches scripts/package in a file.
    key, cert, pfx, pw = (os.path.join(args.work, n) for n in ("key.pem", "cert.pem", "t.pfx", "pw"))
    with open(pw, "w") as f:
        f.write(PASSWORD)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=Quolin test signing",
                    "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-out", pfx, "-inkey", key, "-in", cert,
                    "-passout", "file:" + pw], check=True)
    r = run(package, "--exe", args.exe, "--output", signed, "--sign", pfx, "--password-file", pw)
    expect_equal(r.returncode, 0, f"scripts/package --sign: {r.stderr}")
    signed_exe = os.path.join(args.work, "quolin-service.exe")
    for path in (signed_exe, signed):
        r = run("osslsigncode", "verify", "-CAfile", cert, "-in", path)
        if r.returncode != 0 or not re.search(r"Message digest algorithm\s*: SHA256", r.stdout):
            raise Failure(f"osslsigncode verify {path}:\n{r.stdout}{r.stderr}")
    if run("osslsigncode", "verify", "-CAfile", cert, "-in", main).returncode == 0:
        raise Failure("the package verifies as signed, but nothing asked for a signature")
    # Only the signature differs: removing it gives back the reproducible file.
    bare = os.path.join(args.work, "unsigned.exe")
    subprocess.run(["osslsigncode", "remove-signature", "-in", signed_exe, "-out", bare],
                   check=True, capture_output=True)
    if not same_file(bare, args.exe):
        raise Failure("the signed executable differs from the built one beyond its signature")
    # Every build has its own ProductCode (a major upgrade each time), one UpgradeCode.
    if msi_property(main, "ProductCode") == msi_property(signed, "ProductCode"):
        raise Failure("two builds share a ProductCode: the second could not upgrade the first")

    tables = run("msiinfo", "tables", main).stdout.split()
    if "LockPermissions" in tables:
        raise Failure("LockPermissions beside MsiLockPermissionsEx: Windows Installer error 1941")
    # The folder: CommonAppDataFolder\Quolin, made by a CreateFolder row of a permanent (0x10)
    # component, so uninstall leaves it.
    dirs = {d[0]: (d[1], d[2]) for d in msi_table(main, "Directory")}
    components = {c[0]: c for c in msi_table(main, "Component")}
    [(folder, component)] = [tuple(r) for r in msi_table(main, "CreateFolder")]
    expect_equal(dirs[folder], ("CommonAppDataFolder", "Quolin"), "the created folder")
    if not int(components[component][3]) & 0x10:
        raise Failure("the log folder's component is not permanent: uninstall would remove it")
    [lock] = msi_table(main, "MsiLockPermissionsEx")
    expect_equal((lock[1], lock[2], lock[4]), (folder, "CreateFolder", ""), "MsiLockPermissionsEx")
    for sddl in (lock[3],):  # every SDDL string the package holds
        expect_equal(decode_sddl(args, sddl), LOCKED, f"rights of {sddl}")

    # The deferred (0x400), non-impersonated (0x800) step: System32's cmd.exe by full path
    # runs the installed lock-log-folder.cmd, after InstallFiles, before CreateFolders (which
    # would otherwise apply the rights through a junction to its target) and StartServices;
    # not at uninstall.
    [ca] = msi_table(main, "CustomAction")
    script = [f[0] for f in msi_table(main, "File") if f[2] == "lock-log-folder.cmd"]
    expect_equal((int(ca[1]) & 0x3F, int(ca[1]) & 0xC00, ca[3]),
                 (34, 0xC00, f'"[System64Folder]cmd.exe" /d /c ""[#{script[0]}]""'), "custom action")
    seq = {row[0]: (row[1], int(row[2])) for row in msi_table(main, "InstallExecuteSequence")}
    order = [seq[a][1] for a in ("InstallFiles", ca[0], "CreateFolders", "StartServices")]
    if order != sorted(order) or len(set(order)) != 4:
        raise Failure(f"{ca[0]} out of order: {order}")
    expect_equal(seq[ca[0]][0], 'NOT REMOVE~="ALL"', f"condition of {ca[0]}")


# --- msiexec under Wine ---------------------------------------------------------------------
def copy_packages(wine, args):
    for name in os.listdir(args.work):
        if name.endswith(".msi"):
            shutil.copy(os.path.join(args.work, name), wine.drive_c(name))


def install(wine, package, want_code=0):
    code, log = wine.msiexec("/i", "C:\\" + package, "/qn")
    expect_equal(code, want_code, f"msiexec /i {package} exit code; log:\n{log[-3000:]}")
    return log


def wait_launches(wine, count, folder=INSTALL_DIR, timeout=15):
    """Process ids of the host's launches, which fake_quolin records beside itself."""
    path = wine.unix(folder + r"\quolin-launches.txt")
    deadline = time.monotonic() + timeout
    while len(lines := open(path).read().splitlines() if os.path.exists(path) else []) < count:
        if time.monotonic() > deadline:
            raise Failure(f"{len(lines)} host launches, want {count}; log: {wine.messages()}")
        time.sleep(0.05)
    return [int(re.search(r"pid=(\d+)", line).group(1)) for line in lines]


def stop_service(wine, last_lines=STOP_LINES):
    """sc stop; the service's last lines; its process gone (Wine's msiexec does not wait)."""
    r = wine.wine("sc", "stop", SERVICE)
    expect_equal(r.returncode, 0, f"sc stop: {r.stdout}{r.stderr}")
    wine.wait_state("STOPPED")
    wine.wait_no_process("quolin-service.exe")
    expect_equal(wine.messages()[-len(last_lines):], last_lines, "last log lines")


def scenario_msi_install(args):
    """The signed package over a log left from before: the signed executable runs under the
    SCM and launches the host; the log folder is made and its lines kept; uninstall removes the
    program and keeps the log."""
    wine = Prefix("install", args.template)
    try:
        copy_packages(wine, args)
        os.makedirs(wine.unix(INSTALL_DIR))
        shutil.copy(args.host, wine.unix(INSTALL_DIR + r"\quolin.exe"))
        os.makedirs(wine.unix(LOG_DIR))
        with open(wine.unix(LOG_DIR + r"\service.log"), "wb") as f:
            f.write(EARLIER_LOG)
        log = install(wine, "QuolinHost-signed.msi")
        if not re.search(r"LockLogFolder.*[Rr]eturn value 1", log):
            raise Failure(f"the log folder step did not run and succeed:\n{log[-3000:]}")
        wine.wait_state("RUNNING")
        if not same_file(wine.unix(SERVICE_EXE), os.path.join(args.work, "quolin-service.exe")):
            raise Failure("the installed quolin-service.exe is not the signed one")
        expect_equal(wine.service_config().get("ObjectName"), "LocalSystem", "account")
        host = wait_launches(wine, 1)[0]
        expect_equal(wine.wait_messages(3)[:2], START_LINES, "first log lines")
        stop_service(wine, [STOP_LINES[0], f"terminated user-session host pid={host}", STOP_LINES[1]])

        code, log = wine.msiexec("/x", r"C:\QuolinHost-signed.msi", "/qn")
        expect_equal(code, 0, f"msiexec /x exit code; log:\n{log[-3000:]}")
        expect_equal(wine.state(), None, "service after uninstall")
        expect_equal(wine.products(), [], "installed products after uninstall")
        expect_equal(sorted(os.listdir(wine.unix(INSTALL_DIR))), ["quolin-launches.txt", "quolin.exe"],
                     "files left by uninstall: the operator's, not the package's")
        expect_equal(open(wine.unix(LOG_DIR + r"\service.log"), "rb").read(), EARLIER_LOG,
                     "the log after install and uninstall")
    finally:
        wine.close()


def scenario_msi_upgrade(args):
    """An older package upgraded in place to the new binary, which starts again; a downgrade
    is refused and changes nothing."""
    wine = Prefix("upgrade", args.template)
    try:
        copy_packages(wine, args)
        install(wine, "QuolinHost-older.msi")
        wine.wait_state("RUNNING")
        if not open(wine.unix(SERVICE_EXE), "rb").read().endswith(OLDER_MARKER):
            raise Failure("the older package did not install its own file")
        stop_service(wine)  # under Wine the upgrade could not replace a running file
        install(wine, "QuolinHost.msi")
        wine.wait_state("RUNNING")
        installed = msi_property(os.path.join(args.work, "QuolinHost.msi"), "ProductCode")
        expect_equal(wine.products(), [(installed, args.version)], "products after the upgrade")
        if not same_file(wine.unix(SERVICE_EXE), args.exe):
            raise Failure("the upgrade did not replace quolin-service.exe")
        if not os.path.isdir(wine.unix(LOG_DIR)):
            raise Failure(f"{LOG_DIR} is not a folder after the upgrade")

        # ERROR_INSTALL_FAILURE: the launch condition refuses a detected newer version.
        log = install(wine, "QuolinHost-older.msi", want_code=1603 % 256)
        if f"WIX_DOWNGRADE_DETECTED = {installed}" not in log:
            raise Failure("the downgrade was refused but not as a detected newer version")
        expect_equal(wine.state(), "RUNNING", "service after a refused downgrade")
        expect_equal([v for _, v in wine.products()], [args.version], "version after downgrade")
        if not same_file(wine.unix(SERVICE_EXE), args.exe):
            raise Failure("the refused downgrade changed quolin-service.exe")
        stop_service(wine)
    finally:
        wine.close()


# --- install.cmd and uninstall.cmd under Wine ----------------------------------------------
# & ( ) ! and spaces in the folder install.cmd runs from. With a % as well (R&D (x86) 100% !)
# Wine's cmd cannot find its own folder: it expands the result of %~dp0 once more and loses
# the %, a fault of Wine, not of Windows; the script then refuses and changes nothing.
AWKWARD = r"C:\Users\Public\Downloads\R&D (x86) !"
PERCENT = r"C:\Users\Public\Downloads\R&D (x86) 100% !"


def fake_system_tools(wine, host_exe):
    """net.exe and icacls.exe replaced by fake_quolin, which records each command line in
    system32\\quolin-launches.txt: the first run of either exits with 2 (net session of a
    user who is no administrator), every later one with 0."""
    system32 = wine.unix(r"C:\windows\system32")
    for tool in ("net.exe", "icacls.exe"):
        shutil.copy(host_exe, os.path.join(system32, tool))
    with open(os.path.join(system32, "quolin-script.txt"), "w", newline="\r\n") as f:
        f.write("exit 2 after 0\n" + "exit 0 after 0\n" * 200)
    return {"WINEDLLOVERRIDES": "net.exe=n;icacls.exe=n"}, os.path.join(system32, "quolin-launches.txt")


def scenario_scripts(args):
    """install.cmd from a folder named R&D (x86) 100% !: refusals change nothing; the install
    copies into Program Files, registers that copy quoted exactly, and asks icacls for the
    rights the MSI's SDDL holds; uninstall.cmd removes the copies and keeps the log."""
    wine = Prefix("scripts", args.template)
    try:
        env, calls = fake_system_tools(wine, args.host)
        for folder in (AWKWARD, PERCENT):
            os.makedirs(wine.unix(folder))
            for script in ("install.cmd", "uninstall.cmd", "lock-log-folder.cmd"):
                shutil.copy(os.path.join(ROOT, "packaging", script), wine.unix(folder))
            shutil.copy(args.exe, wine.unix(folder + r"\quolin-service.exe"))
            shutil.copy(args.host, wine.unix(folder + r"\quolin.exe"))
        src = wine.unix(AWKWARD)
        sh = lambda script, cwd=src: wine.wine("cmd", "/c", script, cwd=cwd,  # noqa: E731
                                               extra_env=env)

        def refused(r, status, message):
            expect_equal((r.returncode, r.stderr.replace("\r", "").split("\n")[0]),
                         (status % 256, message), f"refusal; output:\n{r.stdout}{r.stderr}")
            expect_equal(wine.state(), None, "service after a refusal")
            for left in (INSTALL_DIR, LOG_DIR):
                if os.path.exists(wine.unix(left)):
                    raise Failure(f"a refused install.cmd left {left}")

        refused(sh("install.cmd"), 5, "install.cmd: administrator rights are needed: run it from "
                "an elevated command prompt (Run as administrator).")
        refused(sh("install.cmd", cwd=wine.unix(PERCENT)), 2, "install.cmd: cannot open the "
                "folder of quolin-service.exe; nothing was changed.")
        os.makedirs(wine.unix(LOG_DIR))
        with open(wine.unix(LOG_DIR + r"\service.log"), "wb") as f:
            f.write(EARLIER_LOG)
        r = sh("install.cmd")
        expect_equal(r.returncode, 0, f"install.cmd; output:\n{r.stdout}{r.stderr}")
        expect_equal(wine.state(), "RUNNING", "state after install.cmd")
        expect_equal(wine.service_config().get("ImagePath"), f'"{SERVICE_EXE}"', "ImagePath")
        for name in ("quolin-service.exe", "quolin.exe"):
            if not same_file(wine.unix(INSTALL_DIR + "\\" + name), os.path.join(src, name)):
                raise Failure(f"{name} was not copied into {INSTALL_DIR}")
        wait_launches(wine, 1)
        expect_equal(open(wine.unix(LOG_DIR + r"\service.log"), "rb").read(), EARLIER_LOG,
                     "the log folder's log after install.cmd")

        # What icacls was asked, against the MSI's SDDL as Windows parses it.
        sddl = msi_table(os.path.join(args.work, "QuolinHost.msi"), "MsiLockPermissionsEx")[0][3]
        rights = decode_sddl(args, sddl)
        icacls = [re.sub(r'^.*?cmdline=.*?icacls\.exe"?\s+', "", line)
                  for line in open(calls, encoding="utf-8").read().splitlines() if "icacls" in line]
        grants = " ".join(f"*{sid}:(OI)(CI)F" for kind, sid, mask, flags in rights["aces"]
                          if (kind, mask, flags) == ("allow", FILE_ALL_ACCESS, OI_CI))
        log = LOG_DIR + r"\service.log"
        expect_equal(icacls, [f'"{LOG_DIR}" /setowner *{rights["owner"]} /C /Q',
                              f'"{LOG_DIR}" /reset /C /Q',
                              f'"{LOG_DIR}" /inheritance:r /grant:r {grants} /C /Q',
                              f'"{log}" /setowner *{rights["owner"]} /C /Q',
                              f'"{log}" /reset /C /Q'], "icacls calls")

        r = sh("uninstall.cmd")
        expect_equal(r.returncode, 0, f"uninstall.cmd; output:\n{r.stdout}{r.stderr}")
        expect_equal(wine.state(), None, "service after uninstall.cmd")
        expect_equal(os.listdir(wine.unix(INSTALL_DIR)), ["quolin-launches.txt"],
                     "left in Program Files by uninstall.cmd (the host's own record)")
        if not os.path.exists(wine.unix(log)):
            raise Failure("uninstall.cmd removed the log")
    finally:
        wine.close()


SCENARIOS = {name[len("scenario_"):]: fn for name, fn in globals().items()
             if name.startswith("scenario_")}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scenario", required=True, choices=sorted(SCENARIOS))
    for opt in ("--work", "--exe", "--host", "--sddl-decode", "--version"):
        ap.add_argument(opt, required=True)
    ap.add_argument("--template", default=os.environ.get(
        "QUOLIN_WINE_TEMPLATE", os.path.join(ROOT, "build", "wine-template")))
    args = ap.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts", "wine-template"), args.template], check=True)
    start = time.monotonic()
    try:
        SCENARIOS[args.scenario](args)
    except (Failure, subprocess.CalledProcessError) as e:
        print(f"FAIL {args.scenario}: {e}")
        return 1
    print(f"ok {args.scenario} ({time.monotonic() - start:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
