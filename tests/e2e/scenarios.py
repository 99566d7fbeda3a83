#!/usr/bin/env python3
"""End-to-end runs of quolin-service.exe under Wine's Service Control Manager.

One scenario per invocation (CTest runs them side by side, each in a prefix of its own):
    scenarios.py --service EXE --host FAKE_QUOLIN_EXE --scenario NAME

The host is a console test program installed as quolin.exe beside the service; the file
quolin-script.txt beside it says what each launch does (`run`, or `exit N after T`), and it
records every launch in quolin-launches.txt.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import time

from wine_service import ScenarioError, WineService

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EM_DASH = "\u2014"
START_LINES = ["service starting", "service running, awaiting SCM events"]


def expect_equal(got, want, what):
    if got != want:
        raise ScenarioError(f"{what}:\n  got  {got!r}\n  want {want!r}")


def exit_line(pid, code, crashes):
    signed = code - (1 << 32) if code >= 1 << 31 else code
    return (f"user-session host pid={pid} exited (code=0x{code:08X} ({signed}), "
            f"consecutive_crashes={crashes})")


def scenario_start_and_stop(svc):
    """Start with the host running; stop ends the host, writes the stop lines, exit code 0."""
    svc.write_script(["run"])
    svc.install()
    svc.start()
    svc.wait_for("spawned user-session host at service start")
    pids = svc.wait_launches(1)
    if not svc.process_running("quolin.exe"):
        raise ScenarioError("host is not running after the spawn line")
    watch = svc.watch_exit(pids[0])
    code = svc.stop()
    expect_equal(watch.result(), 1, "exit code of the host the service ended")
    expect_equal(code, 0, "WIN32_EXIT_CODE after stop")
    expect_equal(svc.messages(), START_LINES + [
        "spawned user-session host at service start",
        "Stop control received, shutting down",
        f"terminated user-session host pid={pids[0]}",
        "service stopped",
    ], "log")
    deadline = time.monotonic() + 10
    while svc.process_running("quolin.exe"):
        if time.monotonic() > deadline:
            raise ScenarioError("host still runs after the service stopped")
        time.sleep(0.1)
    launch = svc.launches()[0]
    if not launch.endswith(r"cmdline=C:\quolin\quolin.exe"):
        raise ScenarioError(f"host command line is not its own unquoted path: {launch}")


def scenario_crash_respawn(svc):
    """A crash is written with its code and re-spawned after 1000 ms, as attempt 1/5."""
    svc.write_script(["exit 3221225477 after 300", "run"])
    svc.install()
    svc.start()
    svc.wait_for(r"re-spawned user-session host \(attempt 1/5\)", timeout=20)
    pids = svc.wait_launches(2)
    lines = svc.lines()
    messages = [m for _, m in lines]
    expect_equal(messages, START_LINES + [
        "spawned user-session host at service start",
        exit_line(pids[0], 0xC0000005, 1),
        "scheduled re-spawn in 1000 ms",
        "re-spawned user-session host (attempt 1/5)",
    ], "log")
    # Timestamps are whole seconds: the re-spawn cannot come before its second.
    scheduled = lines[4][0]
    respawned = lines[5][0]
    if respawned - scheduled < 1:
        raise ScenarioError(f"re-spawn came {respawned - scheduled} s after scheduling")
    expect_equal(svc.stop(), 0, "WIN32_EXIT_CODE after stop")


def scenario_clean_exit_pauses(svc):
    """Exit code 0 within 5 s means another instance runs: nothing more is launched."""
    svc.write_script(["exit 0 after 200", "run"])
    svc.install()
    svc.start()
    found = svc.wait_for(r"user-session host pid=\d+ exited cleanly in \d+ ms .*")
    pid = svc.wait_launches(1)[0]
    m = re.fullmatch(rf"user-session host pid={pid} exited cleanly in (\d+) ms {EM_DASH} "
                     r"assuming another quolin\.exe is already running in this session; "
                     r"pausing re-spawn until next SessionLogon", found[0])
    if not m or not 200 <= int(m.group(1)) < 5000:
        raise ScenarioError(f"clean-exit line: {found[0]!r}")
    time.sleep(2.5)
    expect_equal(len(svc.launches()), 1, "launches after a clean early exit")
    expect_equal(svc.stop(), 0, "WIN32_EXIT_CODE after stop")
    expect_equal(svc.messages()[-2:], ["Stop control received, shutting down", "service stopped"],
                 "stop lines without a host")


def scenario_missing_host(svc):
    """No quolin.exe beside the service: the first spawn fails with the system's text."""
    svc.install()
    svc.start()
    found = svc.wait_for(r"initial spawn failed: .*")
    if not re.fullmatch(r"initial spawn failed: CreateProcessAsUserW: (.+ )?\(0x80070002\)|"
                        r"initial spawn failed: CreateProcessAsUserW: 0x80070002", found[0]):
        raise ScenarioError(f"spawn failure line: {found[0]!r}")
    expect_equal(svc.stop(), 0, "WIN32_EXIT_CODE after stop")
    expect_equal(svc.messages(), START_LINES + [found[0], "Stop control received, shutting down",
                                                "service stopped"], "log")


def scenario_log_folder_blocked(svc):
    """The log folder's path names a file: the service ends STOPPED with a non-zero code."""
    public = os.path.join(svc.prefix, "drive_c", "users", "Public")
    os.makedirs(public, exist_ok=True)
    with open(os.path.join(public, "Quolin"), "w") as f:
        f.write("not a folder\n")
    svc.write_script(["run"])
    svc.install()
    svc.start(wait_running=False)
    code = svc.wait_state("STOPPED", timeout=30)
    if code in (None, 0):
        raise ScenarioError(f"stopped with WIN32_EXIT_CODE {code}, want the folder error")
    expect_equal(code, 183, "WIN32_EXIT_CODE (ERROR_ALREADY_EXISTS)")
    deadline = time.monotonic() + 15
    while svc.process_running("quolin-service.exe"):
        if time.monotonic() > deadline:
            raise ScenarioError("service process still runs after reporting STOPPED")
        time.sleep(0.2)
    expect_equal(svc.launches(), [], "launches")


def scenario_console_start(svc):
    """Started from a console: one Error line on stderr, exit status 1, no log line."""
    r = svc.wine(r"C:\quolin\quolin-service.exe", "--ignored", "arguments", timeout=120)
    expect_equal(r.returncode, 1, "exit status")
    expect_equal(r.stdout, "", "stdout")
    lines = r.stderr.split("\n")
    if len(lines) != 2 or lines[1] != "":
        raise ScenarioError(f"stderr is not one line: {r.stderr!r}")
    if not re.fullmatch(r'Error: Winapi\(Os \{ code: 1063, kind: Uncategorized, '
                        r'message: "([^"\\\r\n]|\\.)*" \}\)', lines[0].rstrip("\r")):
        raise ScenarioError(f"stderr line: {lines[0]!r}")
    expect_equal(svc.raw_log(), None, "log file")


def scenario_service_killed(svc):
    """A service process that dies without its stop sequence takes its host with it (the host's
    job ends with the service); started again, the service launches a host and keeps it."""
    svc.write_script(["run", "run"])
    svc.install()
    svc.start()
    svc.wait_for("spawned user-session host at service start")
    svc.wait_launches(1)
    for pid in svc.processes("quolin-service.exe"):
        os.kill(pid, signal.SIGKILL)
    deadline = time.monotonic() + 1.0
    while svc.process_running("quolin.exe"):
        if time.monotonic() > deadline:
            raise ScenarioError("the host outlived the killed service by more than a second")
        time.sleep(0.05)
    svc.start()  # the SCM sees the process gone and starts it anew
    svc.wait_for("spawned user-session host at service start", count=2)
    pids = svc.wait_launches(2)
    time.sleep(6)  # past the 5 s in which a clean exit would read as a second instance
    if not svc.process_running("quolin.exe") or any("exited" in m for m in svc.messages()):
        raise ScenarioError("the host launched after the restart did not stay")
    watch = svc.watch_exit(pids[1])
    expect_equal(svc.stop(), 0, "WIN32_EXIT_CODE after stop")
    expect_equal(watch.result(), 1, "exit code of the host the service ended")


def scenario_log_held(svc):
    """A reader that holds the log without sharing write access: let go after 100 ms, the stop
    lines are written once each and the service stops normally; held for 2 s, the service ends
    STOPPED with the sharing violation's code, 32."""
    svc.write_script(["run", "run"])
    svc.install()
    svc.start()
    svc.wait_for("spawned user-session host at service start")
    pid = svc.wait_launches(1)[0]
    holder = svc.hold_log(100, stop_service="QuolinHost")
    expect_equal(svc.wait_state("STOPPED"), 0, "WIN32_EXIT_CODE after a stop met a 100 ms lock")
    holder.wait(timeout=30)
    expect_equal(svc.messages(), START_LINES + [
        "spawned user-session host at service start",
        "Stop control received, shutting down",
        f"terminated user-session host pid={pid}",
        "service stopped",
    ], "log")
    svc.start()
    svc.wait_for("spawned user-session host at service start", count=2)
    holder = svc.hold_log(2000, stop_service="QuolinHost")
    expect_equal(svc.wait_state("STOPPED"), 32, "WIN32_EXIT_CODE after a stop met a 2 s lock")
    holder.wait(timeout=30)
    deadline = time.monotonic() + 5
    while svc.process_running("quolin.exe"):
        if time.monotonic() > deadline:
            raise ScenarioError("the host still runs after the error exit")
        time.sleep(0.1)


SCENARIOS = {name[len("scenario_"):]: fn for name, fn in globals().items()
             if name.startswith("scenario_")}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--service", required=True)
    ap.add_argument("--host", required=True)
    ap.add_argument("--exit-watch", required=True)
    ap.add_argument("--hold-file", required=True)
    ap.add_argument("--scenario", required=True, choices=sorted(SCENARIOS))
    ap.add_argument("--template", default=os.environ.get(
        "QUOLIN_WINE_TEMPLATE", os.path.join(ROOT, "build", "wine-template")))
    args = ap.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts", "wine-template"), args.template], check=True)
    host = None if args.scenario == "missing_host" else args.host
    svc = WineService(args.scenario, args.template, args.service, host_exe=host,
                      exit_watch=args.exit_watch, hold_file=args.hold_file)
    start = time.monotonic()
    try:
        SCENARIOS[args.scenario](svc)
    except ScenarioError as e:
        print(f"FAIL {args.scenario}: {e}")
        print(f"log:\n{(svc.raw_log() or b'').decode('utf-8', 'replace')}")
        print(f"launches: {svc.launches()}")
        return 1
    finally:
        svc.close()
    print(f"ok {args.scenario} ({time.monotonic() - start:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
