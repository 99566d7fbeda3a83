#!/usr/bin/env python3
"""End-to-end runs of quolin-service.exe under Wine's Service Control Manager.

One scenario per invocation (CTest runs them side by side, each in a prefix of its own):
    scenarios.py --service EXE --host FAKE_QUOLIN_EXE --hold-file EXE --scenario NAME

The host is fake_quolin installed as quolin.exe beside the service in C:\\quolin; what each
launch does is its script (tests/wine/private_prefix.py).
"""
import os
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from private_prefix import LOG, SERVICE, Failure, PrivatePrefix, expect_equal, run_scenario  # noqa: E402

START_LINES = ["service starting", "service running, awaiting SCM events"]
SPAWNED = "spawned user-session host at service start"
# Wine stores no events: its ReportEventW is a stub that only traces what it is given, on the
# stderr of the session's boot, with this WINEDEBUG there: the type and the full identifier,
# then each insertion string on a line of its own (svc.events() reads them back). That is
# enough to see which events the service reports and in which order; that Windows stores and
# renders them is for a Windows machine (docs/operator-guide.md).
EVENT_TRACE = "fixme+advapi,+eventlog"
INFORMATION, WARNING, ERROR = 4, 2, 1


def started(svc, script):
    """Installs and starts the service with a host that follows `script`; returns the process
    id of the first launch, once its spawn line is written."""
    svc.write_script(script)
    svc.install()
    svc.start()
    svc.wait_for(SPAWNED)
    return svc.wait_launches(1)[0]


def scenario_start_and_stop(svc):
    """Start with the host running; stop ends the host, writes the stop lines, exit code 0.
    That a released host ends with code 1 is the launcher's Wine test's to prove, and that it
    is started with its own unquoted path the launcher's native test's."""
    pid = started(svc, ["run"])
    expect_equal(svc.stop(), 0, "WIN32_EXIT_CODE after stop")
    svc.wait_gone("quolin.exe", timeout=1)
    expect_equal(svc.messages(), START_LINES + [SPAWNED, "Stop control received, shutting down",
                                                f"terminated user-session host pid={pid}", "service stopped"], "log")


def scenario_crash_budget(svc):
    """Six crashes in a row: each is written with its code and re-spawned after 1, 2, 4, 8 and
    30 s, as attempts 1/5 to 5/5; the sixth spends the budget. The events follow suit: a launch
    (1001), then per crash 1002 and the re-launch, and 1003 at the end; the events say what
    the code means, the lines give the code alone."""
    started(svc, ["exit 3221225477 after 300"] * 6)
    svc.wait_for(r"crash budget exceeded \(5\); pausing re-spawn until next SessionLogon", timeout=90)
    pids = svc.wait_launches(6)
    code, meant = "0xC0000005 (-1073741819)", "0xC0000005 (-1073741819), an access violation"
    want_lines, want_events = START_LINES + [SPAWNED], [(INFORMATION, 1001, ["service start", str(pids[0]), "1"])]
    for n, pid in enumerate(pids, 1):
        want_lines.append(f"user-session host pid={pid} exited (code={code}, consecutive_crashes={n})")
        if n == 6:
            break
        delay = str([1000, 2000, 4000, 8000, 30000][n - 1])
        want_lines += [f"scheduled re-spawn in {delay} ms", f"re-spawned user-session host (attempt {n}/5)"]
        want_events += [(WARNING, 1002, [str(pid), meant, str(n), delay]),
                        (INFORMATION, 1001, [f"re-spawn attempt {n}/5", str(pids[n]), "1"])]
    want_lines.append("crash budget exceeded (5); pausing re-spawn until next SessionLogon")
    want_events.append((ERROR, 1003, [str(pids[5]), meant, "6", "5"]))
    lines = svc.lines()
    expect_equal([m for _, m in lines], want_lines, "log")
    # Each event is traced just after its line: the last one may still be on its way.
    svc.until(lambda: len(svc.events()) >= len(want_events), 10, lambda: f"events: {svc.events()}")
    expect_equal(svc.events(), want_events, "events")
    # Timestamps are whole seconds: the first re-spawn cannot come before its second.
    if lines[5][0] - lines[4][0] < 1:
        raise Failure(f"re-spawn came {lines[5][0] - lines[4][0]} s after scheduling")


def scenario_log_folder_link(svc):
    """The log folder is a link to another folder before the service starts: nothing is ever
    written into the link's target, and the service runs on. Wine shows the link only in the
    path's attributes (the service's folder handle follows it) and renames the target instead of
    the link, leaving a dangling link that no Win32 call can rename or ask about; Windows moves
    the link itself. So here the move (1100) is followed by every line going to the Event Log
    (1101). Wine applies no security descriptor: that the fresh folder is SYSTEM's and
    Administrators' alone is proven natively."""
    folder = r"C:\users\Public\Quolin"
    svc.put(r"C:\target\precious.txt", data=b"precious\n")
    os.symlink(svc.drive_c("target"), svc.unix(folder))
    svc.write_script(["run"])
    svc.install()
    svc.start()
    lost = START_LINES + [SPAWNED]
    events = svc.until(lambda: len(got := svc.events()) > len(lost) + 1 and got, 30, lambda: f"events: {svc.events()}")
    (kind, moved), *rest = [((t, i), s) for t, i, s in events if i != 1001]
    expect_equal((kind, moved[:3]), ((WARNING, 1100), ["log folder", folder, "a link"]), "the first event")
    if not re.fullmatch(r"Quolin\.untrusted-\d{8}T\d{6}Z", moved[3]):
        raise Failure(f"moved aside to {moved[3]!r}")
    expect_equal(rest, [((WARNING, 1101), ["log folder", folder, "unreadable", "os error 2", m]) for m in lost],
                 "the lines sent to the Event Log")
    # Wherever Wine left the target, it holds what it held and nothing the service wrote.
    found = [root for root, _, names in os.walk(svc.drive_c()) if "precious.txt" in names]
    expect_equal(len(found), 1, "folders holding the link target's file")
    expect_equal(sorted(os.listdir(found[0])), ["precious.txt"], "the link target's content")


def scenario_log_file_second_name(svc):
    """service.log has a second name elsewhere (a hard link, which Wine reports): that name's
    bytes stay as they were and the service runs on a log file of its own, whose first line says
    what was moved aside, as does its first event (1100)."""
    svc.put(r"C:\elsewhere.txt", data=b"not the service's\n")
    os.makedirs(svc.unix(r"C:\users\Public\Quolin"))
    os.link(svc.unix(r"C:\elsewhere.txt"), svc.unix(r"C:\users\Public\Quolin\service.log"))
    started(svc, ["run"])
    expect_equal(svc.read(r"C:\elsewhere.txt"), b"not the service's\n", "the second name's bytes")
    messages = svc.messages()
    if not re.fullmatch(r"log file C:\\users\\Public\\Quolin\\service\.log was not safe \(a second name\); "
                        r"moved it aside to service\.log\.untrusted-\d{8}T\d{6}Z", messages[0]):
        raise Failure(f"first line: {messages[0]!r}")
    expect_equal(messages[1:], START_LINES + [SPAWNED], "the lines after it")
    moved = messages[0].rsplit(" ", 1)[1]
    expect_equal(svc.events()[0], (WARNING, 1100, ["log file", r"C:\users\Public\Quolin\service.log",
                                                    "a second name", moved]), "the first event")


def scenario_log_folder_blocked(svc):
    """A file a user put where the log folder belongs, held open without delete sharing: it
    cannot be moved aside, so each line goes to the Event Log (1101) instead, and the service
    supervises on through a crash and its re-spawn. Once the holder lets go, the next line moves
    the file aside; the fresh log begins with that notice and the count of lines sent away.
    Wine lets a holder block a rename only when the thing itself is held so: a file held inside
    a folder does not stop Wine from renaming the folder, as Windows would. That arrangement,
    and 1101 as the Application log stores it, are checked on Windows (docs/operator-guide.md,
    "Verify an install on Windows"); the lines here name Wine's %ProgramData%, so this
    scenario does not run natively."""
    folder, data = r"C:\users\Public\Quolin", b"a user's file\n"
    svc.put(folder, data=data)
    holder = svc.hold(folder)
    svc.write_script(["exit 7 after 300", "run"])
    svc.install()
    svc.start()
    pids = svc.wait_launches(2, timeout=60)
    lost = START_LINES + [SPAWNED, f"user-session host pid={pids[0]} exited (code=0x00000007 (7), "
                          "consecutive_crashes=1)", "scheduled re-spawn in 1000 ms",
                          "re-spawned user-session host (attempt 1/5)"]
    to_events = lambda: [s for t, i, s in svc.events() if (t, i) == (WARNING, 1101)]  # noqa: E731
    svc.until(lambda: len(to_events()) >= len(lost), 30, lambda: f"events: {svc.events()}")
    expect_equal(to_events(), [["log folder", folder, "not a folder", "os error 32", m] for m in lost], "1101s")
    holder.stdin.close()
    expect_equal(holder.wait(timeout=30), 0, "hold_file's exit status")
    expect_equal(svc.stop(), 0, "WIN32_EXIT_CODE after stop")
    first, *rest = svc.messages() or [""]
    moved = re.fullmatch(r"log folder C:\\users\\Public\\Quolin was not safe \(not a folder\); "
                         r"moved it aside to (Quolin\.untrusted-\d{8}T\d{6}Z)", first)
    if not moved:
        raise Failure(f"first line: {first!r}")
    expect_equal(rest, [f"{len(lost)} earlier lines went to the Event Log (event 1101) while the log could not be "
                        "made safe", "Stop control received, shutting down",
                        f"terminated user-session host pid={pids[1]}", "service stopped"], "the lines after it")
    expect_equal(svc.read("C:\\users\\Public\\" + moved.group(1)), data, "what was moved aside")


def scenario_console_start(svc):
    """Started from a console: one Error line on stderr, exit status 1, no log line."""
    r = svc.wine(r"C:\quolin\quolin-service.exe", "--ignored", "arguments", timeout=120)
    expect_equal((r.returncode, r.stdout), (1, ""), "exit status and stdout")
    if not re.fullmatch(r'Error: Winapi\(Os \{ code: 1063, kind: Uncategorized, '
                        r'message: "([^"\\\r\n]|\\.)*" \}\)\r?\n', r.stderr):
        raise Failure(f"stderr is not the one Error line: {r.stderr!r}")
    expect_equal(svc.read(LOG), None, "log file")


def scenario_service_killed(svc):
    """A service process that dies without its stop sequence takes its host with it: the host's
    job ends with the service."""
    started(svc, ["run"])
    svc.wait_one_process("quolin.exe")
    os.kill(svc.wait_one_process("quolin-service.exe"), 9)  # SIGKILL; on Windows, TerminateProcess
    svc.wait_gone("quolin.exe", timeout=1.0)  # no later than a second after the service


def scenario_log_held(svc):
    """A reader that holds the log without sharing write access for 2 s, longer than the service
    waits for it: the service ends STOPPED with the sharing violation's code, 32, which the Event
    Log gets as its last event (1900): the one place left that can say why. That a shorter hold
    is waited out, each line written once, the native tests of the log prove."""
    started(svc, ["run"])
    holder = svc.hold(LOG, 2000, SERVICE)
    expect_equal(svc.wait_state("STOPPED"), 32, "WIN32_EXIT_CODE after a 2 s lock")
    expect_equal(holder.wait(timeout=30), 0, "hold_file's exit status")
    svc.wait_gone("quolin.exe", timeout=5)  # ended with the service's error exit
    expect_equal(svc.events()[-1], (ERROR, 1900, ["os error 32"]), "the last event")


def run(args, scenario):
    files = {r"C:\quolin\quolin-service.exe": args.service, r"C:\quolin\quolin.exe": args.host,
             r"C:\hold_file.exe": args.hold_file}
    with PrivatePrefix("e2e-" + args.scenario, args.template, files, boot_debug=EVENT_TRACE) as svc:
        try:
            scenario(svc)
        except Failure as e:
            raise Failure(f"{e}\nlog:\n{(svc.read(LOG) or b'').decode('utf-8', 'replace')}"
                          f"launches: {svc.launches()}") from None


if __name__ == "__main__":
    sys.exit(run_scenario(globals(), ["--service", "--host", "--hold-file"], run))
