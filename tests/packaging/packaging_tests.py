#!/usr/bin/env python3
"""Deployment of QuolinHost: the MSI and the install scripts, checked under Wine.

One scenario per invocation (CTest runs them side by side, each Wine scenario in a prefix of
its own):
    packaging_tests.py --scenario NAME --work DIR --exe SERVICE_EXE --host FAKE_QUOLIN_EXE
                       --version X.Y.Z

`build` makes the packages in DIR with scripts/package; the others use them:
    QuolinHost.msi          the package of the version given, as scripts/package makes it
    QuolinHost-rebuilt.msi  the same version built again (a new ProductCode, as every build)
    QuolinHost-older.msi    a lower version, made from a copy of the executable with a marker
                            appended, so that its file can be told from the current one
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from wine_prefix import SERVICE, Failure, Prefix, expect_equal  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
INSTALL_DIR = r"C:\Program Files\Quolin"
SERVICE_EXE = INSTALL_DIR + r"\quolin-service.exe"
OLDER_MARKER = b"\0quolin-packaging-test: older package\0"
DESCRIPTION = "Keeps quolin.exe running in the session of the user at the physical console."
START_LINES = ["service starting", "service running, awaiting SCM events"]
STOP_LINES = ["Stop control received, shutting down", "service stopped"]
# quolin.exe is not in the package: the first launch finds no file (Wine's text for error 2).
MISSING_HOST = re.compile(r"initial spawn failed: CreateProcessAsUserW: .* \(0x80070002\)")


def older_version(version):
    """The version below `version`: its last non-zero part lowered by one (0.6.1 -> 0.6.0)."""
    parts = [int(p) for p in version.split(".")]
    i = max(i for i, p in enumerate(parts) if p > 0)
    parts[i] -= 1
    return ".".join(map(str, parts[: i + 1] + [0] * (len(parts) - i - 1)))


def exe_version(path):
    """x.y.z of the executable's VS_FIXEDFILEINFO (file version)."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        raise Failure(f"{path} has no version block")
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}"


def msi_table(msi, table):
    """Rows of one table of the MSI as lists of fields (msiinfo export: 3 header lines)."""
    r = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True,
                       check=False)
    if r.returncode != 0:
        raise Failure(f"msiinfo export {table}: {r.stderr}")
    return [line.split("\t") for line in r.stdout.split("\n")[3:] if line]


def msi_property(msi, name):
    return dict((row[0], row[1]) for row in msi_table(msi, "Property")).get(name)


def same_file(a, b):
    return open(a, "rb").read() == open(b, "rb").read()


# --- scenarios without Wine -----------------------------------------------------------------
def scenario_build(args):
    """scripts/package makes the three packages; the default version is the executable's."""
    os.makedirs(args.work, exist_ok=True)
    package = os.path.join(ROOT, "scripts", "package")
    main = os.path.join(args.work, "QuolinHost.msi")
    subprocess.run([package, "--exe", args.exe, "--output", main], check=True)
    subprocess.run([package, "--exe", args.exe, "--output",
                    os.path.join(args.work, "QuolinHost-rebuilt.msi")], check=True)
    older_exe = os.path.join(args.work, "quolin-service-older.exe")
    shutil.copy(args.exe, older_exe)
    with open(older_exe, "ab") as f:
        f.write(OLDER_MARKER)  # trailing bytes beyond the image: the program still runs
    subprocess.run([package, "--exe", older_exe, "--version", older_version(args.version),
                    "--output", os.path.join(args.work, "QuolinHost-older.msi")], check=True)
    expect_equal(exe_version(args.exe), args.version, "version block of quolin-service.exe")
    expect_equal(msi_property(main, "ProductVersion"), args.version, "ProductVersion")


def scenario_tables(args):
    """The built MSI's tables: service, controls, recovery settings, upgrade rules, file."""
    msi = os.path.join(args.work, "QuolinHost.msi")
    upgrade_code = "{A50D9A43-CB0A-4969-BBED-372DAB20A239}"
    expect_equal(msi_property(msi, "UpgradeCode"), upgrade_code, "UpgradeCode")
    rebuilt = os.path.join(args.work, "QuolinHost-rebuilt.msi")
    if msi_property(msi, "ProductCode") == msi_property(rebuilt, "ProductCode"):
        raise Failure("two builds share a ProductCode: the second could not upgrade the first")
    expect_equal(msi_property(rebuilt, "UpgradeCode"), upgrade_code, "UpgradeCode of a rebuild")

    component = msi_table(msi, "Component")
    expect_equal([(c[0], c[2], int(c[3]) & 0x100) for c in component],
                 [("QuolinService", "INSTALLFOLDER", 0x100)],
                 "components (one, 64-bit, in INSTALLFOLDER)")
    expect_equal(sorted((d[0], d[1], d[2]) for d in msi_table(msi, "Directory")),
                 [("INSTALLFOLDER", "ProgramFiles64Folder", "Quolin"),
                  ("ProgramFiles64Folder", "TARGETDIR", "."), ("TARGETDIR", "", "SourceDir")],
                 "directories")
    expect_equal([(f[1], f[2]) for f in msi_table(msi, "File")],
                 [("QuolinService", "quolin-service.exe")], "files (quolin.exe is not ours)")

    # Own process (0x10), automatic start (2), normal errors (1) + vital (0x8000), LocalSystem.
    expect_equal(msi_table(msi, "ServiceInstall"),
                 [["QuolinHost", "QuolinHost", "Quolin Host", "16", "2", "32769", "", "",
                   "LocalSystem", "", "", "QuolinService", DESCRIPTION]], "ServiceInstall")
    # Start at install (0x1), stop at install (0x2) and uninstall (0x20), delete at uninstall
    # (0x80); wait for each.
    expect_equal(msi_table(msi, "ServiceControl"),
                 [["QuolinHost", "QuolinHost", str(0x1 | 0x2 | 0x20 | 0x80), "", "1",
                   "QuolinService"]], "ServiceControl")

    # Restart after 5 s, 30 s, 60 s (action 1 = restart); reset after a day; reboot message
    # and command left alone; applied at install and reinstall (1 | 4).
    expect_equal(msi_table(msi, "MsiServiceConfigFailureActions"),
                 [["QuolinHostRecovery", "QuolinHost", "5", "86400", "", "", "1[~]1[~]1",
                   "5000[~]30000[~]60000", "QuolinService"]], "MsiServiceConfigFailureActions")
    # 4 = SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, set: failure actions also on a stop with an error.
    expect_equal(msi_table(msi, "MsiServiceConfig"),
                 [["QuolinHostFailureFlag", "QuolinHost", "5", "4", "1", "QuolinService"]],
                 "MsiServiceConfig")

    sequence = {row[0]: (row[1], int(row[2])) for row in msi_table(msi, "InstallExecuteSequence")}
    for action in ("StopServices", "DeleteServices", "RemoveFiles", "InstallFiles",
                   "InstallServices", "MsiConfigureServices", "StartServices",
                   "RemoveExistingProducts", "InstallInitialize"):
        if action not in sequence:
            raise Failure(f"InstallExecuteSequence lacks {action}")
    order = lambda *actions: [sequence[a][1] for a in actions]  # noqa: E731
    if order("StopServices", "DeleteServices", "RemoveFiles", "InstallFiles", "InstallServices",
             "MsiConfigureServices", "StartServices") != sorted(order(
                 "StopServices", "DeleteServices", "RemoveFiles", "InstallFiles",
                 "InstallServices", "MsiConfigureServices", "StartServices")):
        raise Failure(f"service actions out of order: {sequence}")
    expect_equal(sequence["MsiConfigureServices"][0], 'VersionMsi >= "5.00"',
                 "MsiConfigureServices condition")
    if sequence["RemoveExistingProducts"][1] > sequence["InstallInitialize"][1]:
        raise Failure("the older product is not removed before this one is installed")

    # Upgrade every version up to this one, the same one included (0x200) with its features
    # (0x1); detect newer ones only (0x2), which the launch condition refuses.
    version = args.version
    expect_equal(sorted(msi_table(msi, "Upgrade")),
                 sorted([[upgrade_code, "", version, "", "513", "", "WIX_UPGRADE_DETECTED"],
                         [upgrade_code, version, "", "", "2", "", "WIX_DOWNGRADE_DETECTED"]]),
                 "Upgrade")
    expect_equal(msi_table(msi, "LaunchCondition"),
                 [["NOT WIX_DOWNGRADE_DETECTED",
                   "A newer version of QuolinHost is already installed."]], "LaunchCondition")

    # wixl can build a broken custom action and exit 0: the package has none.
    expect_equal(msi_table(msi, "CustomAction"), [], "custom actions")

    for script in ("install.cmd", "uninstall.cmd"):
        raw = open(os.path.join(ROOT, "packaging", script), "rb").read()
        if raw.count(b"\n") != raw.count(b"\r\n") or not raw.endswith(b"\r\n"):
            raise Failure(f"{script} does not end every line in CR LF")


# --- the MSI under Wine ----------------------------------------------------------------------
# Wine's msiexec does not wait for a service it stops (Windows waits up to 30 s, as the
# ServiceControl row asks; the tables scenario checks that row). Two things follow under Wine:
#  - while the stopped service's process still runs, its executable cannot be deleted or
#    replaced, so RemoveFiles and InstallFiles can leave the old file behind. Scenarios that
#    check files after an uninstall or an upgrade stop the service themselves first; the
#    msiexec-made stop is checked separately, through the log and the processes.
#  - during a reinstall the new service can start while the old one still writes its last
#    lines, and Wine's appends are not atomic, so lines written at that moment can be lost or
#    garbled. The log is compared only where one process writes.
def copy_packages(wine, args):
    for name in ("QuolinHost.msi", "QuolinHost-rebuilt.msi", "QuolinHost-older.msi"):
        shutil.copy(os.path.join(args.work, name), wine.unix("C:\\" + name))


def install(wine, msi, want_code=0):
    code, log = wine.msiexec("/i", "C:\\" + msi, "/qn")
    expect_equal(code, want_code, f"msiexec /i {msi} exit code (modulo 256); log:\n{log[-3000:]}")
    return log


def expect_registered(wine):
    config = wine.service_config()
    if config is None:
        raise Failure("QuolinHost is not registered")
    # Wine writes the image path without quotes; Windows quotes it.
    expect_equal(config.get("ImagePath", "").strip('"').lower(), SERVICE_EXE.lower(), "ImagePath")
    expect_equal((config.get("Type"), config.get("Start"), config.get("ObjectName"),
                  config.get("DisplayName"), config.get("Description")),
                 ("0x10", "0x2", "LocalSystem", "Quolin Host", DESCRIPTION),
                 "own process, automatic start, LocalSystem, display name, description")


def scenario_msi_install_uninstall(args):
    """msiexec /i /qn installs, registers and starts the service; msiexec /x removes it all."""
    wine = Prefix("msi", args.template)
    try:
        copy_packages(wine, args)
        install(wine, "QuolinHost.msi")
        expect_registered(wine)
        wine.wait_state("RUNNING")
        messages = wine.wait_messages(3)
        expect_equal(messages[:2], START_LINES, "first log lines")
        if not MISSING_HOST.fullmatch(messages[2]):
            raise Failure(f"third line: {messages[2]!r}, want the failed first spawn")
        if not same_file(wine.unix(SERVICE_EXE), args.exe):
            raise Failure("the installed quolin-service.exe is not the packaged one")
        expect_equal(sorted(os.listdir(wine.unix(INSTALL_DIR))), ["quolin-service.exe"],
                     "installed files")
        expect_equal([v for _, v in wine.products()], [args.version], "installed products")
        # Wine 8's msiexec has no MsiConfigureServices (it reports Windows Installer 4.5, below
        # the action's condition; its stub would do nothing anyway) and its SCM stores no
        # failure actions: only the tables scenario shows the recovery settings. Should a Wine
        # apply them, they must be these.
        if (stored := stored_recovery(wine)) is not None:
            expect_equal(stored, RECOVERY, "FailureActions set by the MSI")

        # msiexec /x stops the running service and deletes it.
        uninstall(wine)
        wine.wait_no_process("quolin-service.exe")
        expect_equal(wine.messages()[-2:], STOP_LINES, "last log lines")
        expect_equal(wine.state(), None, "service after uninstall")
        expect_equal(wine.service_config(), None, "service registry key after uninstall")
        expect_equal(wine.products(), [], "installed products after uninstall")

        # Installed again, and uninstalled once the service has stopped: nothing is left.
        install(wine, "QuolinHost.msi")
        wine.wait_state("RUNNING")
        stop_service(wine)
        uninstall(wine)
        expect_equal(wine.service_config(), None, "service registry key after uninstall")
        if os.path.exists(wine.unix(INSTALL_DIR)):
            raise Failure(f"{INSTALL_DIR} left behind: {os.listdir(wine.unix(INSTALL_DIR))}")
        expect_equal(wine.products(), [], "installed products after uninstall")
    finally:
        wine.close()


def uninstall(wine):
    code, log = wine.msiexec("/x", r"C:\QuolinHost.msi", "/qn")
    expect_equal(code, 0, f"msiexec /x exit code; log:\n{log[-3000:]}")


def stop_service(wine):
    """sc stop, and wait until the process has gone (see above: Wine's msiexec does not)."""
    r = wine.wine("sc", "stop", SERVICE)
    expect_equal(r.returncode, 0, f"sc stop: {r.stdout}{r.stderr}")
    wine.wait_state("STOPPED")
    wine.wait_no_process("quolin-service.exe")


def scenario_msi_same_version(args):
    """The same package twice, then a rebuild of the same version: one product, one service,
    restarted by the rebuild."""
    wine = Prefix("same", args.template)
    try:
        copy_packages(wine, args)
        install(wine, "QuolinHost.msi")
        wine.wait_state("RUNNING")
        first = msi_property(os.path.join(args.work, "QuolinHost.msi"), "ProductCode")
        install(wine, "QuolinHost.msi")
        wine.wait_state("RUNNING")
        expect_equal(wine.products(), [(first, args.version)], "products after the same package")
        before = wine.wait_one_process("quolin-service.exe")

        install(wine, "QuolinHost-rebuilt.msi")
        wine.wait_state("RUNNING")
        expect_registered(wine)
        rebuilt = msi_property(os.path.join(args.work, "QuolinHost-rebuilt.msi"), "ProductCode")
        expect_equal(wine.products(), [(rebuilt, args.version)], "products after the rebuild")
        if wine.wait_one_process("quolin-service.exe") == before:
            raise Failure("the rebuild did not restart the service")
        if not same_file(wine.unix(SERVICE_EXE), args.exe):
            raise Failure("the installed quolin-service.exe is not the packaged one")

        # The one service left is the one the SCM knows: it stops on request.
        expect_stopped_by_scm(wine, STOP_LINES)
    finally:
        wine.close()


def expect_stopped_by_scm(wine, last_lines):
    """sc stop, then the service's last lines, written by it alone."""
    stop_service(wine)
    expect_equal(wine.messages()[-len(last_lines):], last_lines, "last log lines")


def scenario_msi_upgrade(args):
    """An older package with quolin.exe beside it, upgraded in place to the new binary, which
    starts the host again; a downgrade is refused; uninstall leaves quolin.exe."""
    wine = Prefix("upgrade", args.template)
    try:
        copy_packages(wine, args)
        # The operator placed quolin.exe first; the package neither brings nor removes it.
        os.makedirs(wine.unix(INSTALL_DIR))
        shutil.copy(args.host, wine.unix(INSTALL_DIR + r"\quolin.exe"))
        older = older_version(args.version)

        install(wine, "QuolinHost-older.msi")
        wine.wait_state("RUNNING")
        expect_equal([v for _, v in wine.products()], [older], "installed version")
        if not open(wine.unix(SERVICE_EXE), "rb").read().endswith(OLDER_MARKER):
            raise Failure("the older package did not install its own file")
        first_host = wait_launches(wine, 1)[0]
        stop_service(wine)  # see above: under Wine the upgrade could not replace a running file
        wine.wait_no_process("quolin.exe")

        install(wine, "QuolinHost.msi")
        wine.wait_state("RUNNING")
        expect_registered(wine)
        installed = msi_property(os.path.join(args.work, "QuolinHost.msi"), "ProductCode")
        expect_equal(wine.products(), [(installed, args.version)], "products after the upgrade")
        if not same_file(wine.unix(SERVICE_EXE), args.exe):
            raise Failure("the upgrade did not replace quolin-service.exe")
        second_host = wait_launches(wine, 2)[1]
        expect_equal(wine.wait_messages(9), START_LINES + [
            "spawned user-session host at service start",
            "Stop control received, shutting down",
            f"terminated user-session host pid={first_host}",
            "service stopped",
        ] + START_LINES + ["spawned user-session host at service start"], "log")
        wine.wait_one_process("quolin-service.exe")
        wine.wait_one_process("quolin.exe")

        # ERROR_INSTALL_FAILURE: the launch condition refuses a detected newer version.
        log = install(wine, "QuolinHost-older.msi", want_code=1603 % 256)
        if f"WIX_DOWNGRADE_DETECTED = {installed}" not in log:
            raise Failure("the downgrade was refused but not as a detected newer version")
        expect_equal(wine.state(), "RUNNING", "service after a refused downgrade")
        expect_equal([v for _, v in wine.products()], [args.version], "version after downgrade")
        if not same_file(wine.unix(SERVICE_EXE), args.exe):
            raise Failure("the refused downgrade changed quolin-service.exe")

        expect_stopped_by_scm(wine, [STOP_LINES[0],
                                     f"terminated user-session host pid={second_host}",
                                     STOP_LINES[1]])
        uninstall(wine)
        expect_equal(wine.state(), None, "service after uninstall")
        expect_equal(sorted(os.listdir(wine.unix(INSTALL_DIR))),
                     ["quolin-launches.txt", "quolin.exe"],
                     "files left by uninstall: the operator's, not the package's")
    finally:
        wine.close()


def wait_launches(wine, count, timeout=15):
    """Process ids of the host's launches, which fake_quolin records beside itself."""
    path = wine.unix(INSTALL_DIR + r"\quolin-launches.txt")
    deadline = time.monotonic() + timeout
    while True:
        lines = open(path).read().splitlines() if os.path.exists(path) else []
        if len(lines) >= count:
            return [int(re.search(r"pid=(\d+)", l).group(1)) for l in lines]
        if time.monotonic() > deadline:
            raise Failure(f"{len(lines)} host launches, want {count}; log: {wine.messages()}")
        time.sleep(0.05)


# --- install.cmd and uninstall.cmd under Wine ------------------------------------------------
def scenario_scripts(args):
    """install.cmd and uninstall.cmd, from a folder with a space in its name."""
    # The SCM's own traces show what it was given for the failure actions, which Wine does
    # not store.
    wine = Prefix("scripts", args.template, wine_debug="-all,fixme+service")
    try:
        folder = r"C:\Program Files\Quolin Host"
        os.makedirs(wine.unix(folder))
        for script in ("install.cmd", "uninstall.cmd"):
            shutil.copy(os.path.join(ROOT, "packaging", script), wine.unix(folder))
        shutil.copy(args.exe, wine.unix(folder + r"\quolin-service.exe"))
        run = lambda script, *a, **kw: wine.wine("cmd", "/c", script, *a,  # noqa: E731
                                                 cwd=wine.unix(folder), **kw)

        # Without administrator rights (a net.exe that answers "access denied", and Wine has
        # no fltmc): both scripts refuse and change nothing.
        not_admin = deny_administrator(wine, args.host)
        r = run("install.cmd", extra_env=not_admin)
        expect_refused(r, 5, "install.cmd: " + NOT_ADMIN, "install.cmd")
        expect_equal(wine.state(), None, "service after a refused install")

        r = run("install.cmd")
        expect_equal(r.returncode, 0, f"install.cmd exit status; output:\n{r.stdout}{r.stderr}")
        allowed = {"", "install.cmd: warning: sc failureflag is not supported here: QuolinHost "
                       "is restarted when its process dies, not when it stops with an error."}
        if set(r.stderr.replace("\r", "").split("\n")) - allowed:
            raise Failure(f"install.cmd wrote to stderr: {r.stderr!r}")
        expect_equal(wine.state(), "RUNNING", "state after install.cmd")
        config = wine.service_config()
        expect_equal(config.get("ImagePath"), f'"{folder}\\quolin-service.exe"', "quoted ImagePath")
        expect_equal((config.get("Type"), config.get("Start"), config.get("ObjectName"),
                      config.get("DisplayName"), config.get("Description")),
                     ("0x10", "0x2", "LocalSystem", "Quolin Host", DESCRIPTION), "service settings")
        expect_recovery(wine)
        messages = wine.wait_messages(3)
        expect_equal(messages[:2], START_LINES, "first log lines")

        r = run("install.cmd")
        expect_refused(r, 1073, "install.cmd: the service QuolinHost already exists; nothing was "
                                "changed. Run uninstall.cmd first to replace it.", "install.cmd")
        expect_equal(wine.state(), "RUNNING", "state after a second install.cmd")
        r = run("uninstall.cmd", extra_env=not_admin)
        expect_refused(r, 5, "uninstall.cmd: " + NOT_ADMIN, "uninstall.cmd")
        expect_equal(wine.state(), "RUNNING", "state after a refused uninstall.cmd")

        r = run("uninstall.cmd")
        expect_equal(r.returncode, 0, f"uninstall.cmd exit status; output:\n{r.stdout}{r.stderr}")
        expect_equal(wine.state(), None, "service after uninstall.cmd")
        expect_equal(wine.messages()[-2:], STOP_LINES, "last log lines")
        wine.wait_no_process("quolin-service.exe")
        if not os.path.exists(wine.unix(folder + r"\quolin-service.exe")):
            raise Failure("uninstall.cmd removed the executable")
        r = run("uninstall.cmd")
        expect_refused(r, 1060, "uninstall.cmd: the service QuolinHost does not exist; nothing "
                                "to do.", "uninstall.cmd")

        # An executable named on the command line, elsewhere; and one that is not there.
        other = r"C:\Quolin Elsewhere\quolin-service.exe"
        os.makedirs(wine.unix(r"C:\Quolin Elsewhere"))
        shutil.copy(args.exe, wine.unix(other))
        r = run("install.cmd", r"C:\Quolin Elsewhere\missing.exe")
        expect_refused(r, 2, r'install.cmd: "C:\Quolin Elsewhere\missing.exe" not found.',
                       "install.cmd")
        expect_equal(wine.state(), None, "service after install.cmd of a missing file")
        r = run("install.cmd", other)
        expect_equal(r.returncode, 0, f"install.cmd PATH status; output:\n{r.stdout}{r.stderr}")
        expect_equal(wine.service_config().get("ImagePath"), f'"{other}"', "ImagePath (argument)")
        expect_equal(wine.state(), "RUNNING", "state after install.cmd PATH")
        r = run("uninstall.cmd")
        expect_equal(r.returncode, 0, f"uninstall.cmd exit status; output:\n{r.stdout}{r.stderr}")
        expect_equal(wine.state(), None, "service after the second uninstall.cmd")
    finally:
        wine.close()


NOT_ADMIN = ("administrator rights are needed: run it from an elevated command prompt "
             "(Run as administrator).")


def deny_administrator(wine, host_exe):
    """Replaces the prefix's net.exe by a program that exits with 2, as net session does for a
    user without administrator rights; returns the environment that makes Wine load it."""
    system32 = wine.unix(r"C:\windows\system32")
    shutil.copy(host_exe, os.path.join(system32, "net.exe"))
    with open(os.path.join(system32, "quolin-script.txt"), "w", newline="\r\n") as f:
        f.write("exit 2 after 0\n" * 20)  # fake_quolin: what each launch does
    return {"WINEDLLOVERRIDES": "net.exe=n"}


def expect_refused(r, status, message, script):
    expect_equal(r.returncode, status % 256, f"{script} exit status; output:\n{r.stdout}{r.stderr}")
    expect_equal(r.stderr.replace("\r", "").split("\n")[0], message, f"{script} message")


RECOVERY = (86400, [(1, 5000), (1, 30000), (1, 60000)])  # reset period; (restart, delay ms)


def stored_recovery(wine):
    """(reset period, [(action, delay)]) from the service's FailureActions value, or None."""
    value = (wine.reg_values(r"HKLM\System\CurrentControlSet\Services\QuolinHost") or {}).get(
        "FailureActions")
    if not value:
        return None
    raw = bytes.fromhex(value[1])
    reset, _, _, count, _ = struct.unpack_from("<5I", raw)
    return reset, [struct.unpack_from("<2I", raw, 20 + 8 * i) for i in range(count)]


def expect_recovery(wine):
    """Restart after 5, 30 and 60 s, reset after a day. Wine 8's SCM accepts failure actions
    but stores nothing (so sc qfailure has nothing to show): then its trace of the call is what
    shows that the settings reached it."""
    stored = stored_recovery(wine)
    if stored is not None:
        expect_equal(stored, RECOVERY, "FailureActions")
        return
    deadline = time.monotonic() + 5
    want = "SERVICE_CONFIG_FAILURE_ACTIONS not implemented: period 86400 "
    while want not in open(wine.boot_err, errors="replace").read():
        if time.monotonic() > deadline:
            raise Failure("no FailureActions value and no trace of the failure actions call")
        time.sleep(0.1)


SCENARIOS = {name[len("scenario_"):]: fn for name, fn in globals().items()
             if name.startswith("scenario_")}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scenario", required=True, choices=sorted(SCENARIOS))
    ap.add_argument("--work", required=True)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--host", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--template", default=os.environ.get(
        "QUOLIN_WINE_TEMPLATE", os.path.join(ROOT, "build", "wine-template")))
    args = ap.parse_args()
    if args.scenario not in ("build", "tables"):
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
