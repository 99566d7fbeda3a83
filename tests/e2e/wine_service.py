"""Drives the real quolin-service.exe under Wine's Service Control Manager.

Each WineService is a private prefix with a live session (tests/wine/private_prefix.py holds
that life cycle and the rules for keeping Wine's services alive). It installs the service with
`sc create` and reads the service log from the prefix.
"""
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "wine"))
from private_prefix import LOG_LINE, SERVICE, PrivatePrefix  # noqa: E402

INSTALL_DIR = "quolin"  # C:\quolin


class ScenarioError(AssertionError):
    pass


class WineService(PrivatePrefix):
    kind = "e2e"
    Error = ScenarioError
    wine_timeout = 60

    def __init__(self, name, template, service_exe, host_exe=None, script=None, exit_watch=None,
                 hold_file=None):
        self.name = name
        self.programs = {"quolin-service.exe": service_exe, "quolin.exe": host_exe}
        self.tools = {"exit_watch.exe": exit_watch, "hold_file.exe": hold_file}
        self.script = script
        super().__init__(name, template)

    def populate(self):
        self.dir = self.drive_c(INSTALL_DIR)
        os.makedirs(self.dir)
        for name, source in self.programs.items():
            if source:
                shutil.copy(source, os.path.join(self.dir, name))
        for name, source in self.tools.items():
            if source:
                shutil.copy(source, self.drive_c(name))
        if self.script is not None:
            self.write_script(self.script)

    def evidence(self):
        return f"; log: {self.messages()}"

    # --- files beside the service -------------------------------------------------------
    def write_script(self, lines):
        with open(os.path.join(self.dir, "quolin-script.txt"), "w", newline="\r\n") as f:
            f.write("".join(line + "\n" for line in lines))

    def launches(self):
        path = os.path.join(self.dir, "quolin-launches.txt")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return [l.decode("utf-8", "replace").strip() for l in f.read().splitlines() if l.strip()]

    def wait_launches(self, count, timeout=15):
        """The host records its launch itself, a moment after the service's spawn line."""
        deadline = time.monotonic() + timeout
        while len(self.launches()) < count:
            if time.monotonic() > deadline:
                raise ScenarioError(f"{len(self.launches())} launches recorded, want {count}")
            time.sleep(0.05)
        return self.launch_pids()

    def launch_pids(self):
        return [int(re.search(r"pid=(\d+)", l).group(1)) for l in self.launches()]

    # --- the Service Control Manager ----------------------------------------------------
    def install(self):
        r = self.sc("create", SERVICE, "binPath=", f"C:\\{INSTALL_DIR}\\quolin-service.exe")
        if r.returncode != 0:
            raise ScenarioError(f"sc create failed: {r.stdout}{r.stderr}")

    def start(self, wait_running=True):
        r = self.sc("start", SERVICE)
        if wait_running:
            if r.returncode != 0:
                raise ScenarioError(f"sc start failed: {r.stdout}{r.stderr}")
            self.wait_state("RUNNING")
        return r

    def stop(self):
        r = self.sc("stop", SERVICE)
        if r.returncode != 0:
            raise ScenarioError(f"sc stop failed: {r.stdout}{r.stderr}")
        return self.wait_state("STOPPED")

    # --- the service log ----------------------------------------------------------------
    def raw_log(self):
        if not os.path.exists(self.log_path):
            return None
        with open(self.log_path, "rb") as f:
            return f.read()

    def lines(self):
        """(timestamp seconds since epoch, message) per line; every line is checked."""
        raw = self.raw_log()
        if raw is None:
            return []
        if not raw.endswith(b"\n") and raw:
            raw = raw[: raw.rfind(b"\n") + 1]  # a line still being written
        out = []
        for line in raw.split(b"\n")[:-1]:
            if line.endswith(b"\r"):
                raise ScenarioError(f"line ends in CR LF: {line!r}")
            m = LOG_LINE.match(line.decode("utf-8"))
            if not m:
                raise ScenarioError(f"malformed log line: {line!r}")
            y, mo, d, h, mi, s = (int(g) for g in m.groups()[:6])
            stamp = time.mktime((y, mo, d, h, mi, s, 0, 0, 0)) - time.timezone
            out.append((stamp, m.group("message")))
        return out

    def messages(self):
        return [m for _, m in self.lines()]

    def wait_for(self, pattern, timeout=30, count=1):
        """Waits until `count` messages match `pattern` (a regex, matched in full)."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            found = [m for m in self.messages() if rx.fullmatch(m)]
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                raise ScenarioError(f"no line matching {pattern!r} within {timeout} s; "
                                    f"log: {self.messages()}")
            time.sleep(0.05)

    # --- processes ----------------------------------------------------------------------
    def watch_exit(self, pid):
        """Starts watching a process of the prefix; .result() gives its exit code."""
        return ExitWatch(self, pid)

    def process_running(self, image):
        return bool(self.processes(image))

    def hold_log(self, millis, stop_service=None):
        """hold_file.exe on the service log: held from when this returns, for `millis` ms."""
        args = ["wine", "C:\\hold_file.exe", "C:\\users\\Public\\Quolin\\service.log", str(millis)]
        proc = subprocess.Popen(args + ([stop_service] if stop_service else []), env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = proc.stdout.readline().strip()
        if first != "holding":
            raise ScenarioError(f"hold_file: {first!r} {proc.stderr.read()!r}")
        return proc


class ExitWatch:
    """exit_watch.exe holding a handle to one process, so that its exit code can be read."""

    def __init__(self, svc, pid):
        self.proc = subprocess.Popen(["wine", "C:\\exit_watch.exe", str(pid)], env=svc.env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline().strip()
        if first != f"watching {pid}":
            raise ScenarioError(f"exit_watch could not watch pid {pid}: {first!r} "
                                f"{self.proc.stderr.read()!r}")

    def result(self, timeout=30):
        out, err = self.proc.communicate(timeout=timeout)
        m = re.fullmatch(r"exit=(\d+)", out.strip())
        if self.proc.returncode != 0 or not m:
            raise ScenarioError(f"exit_watch: status {self.proc.returncode}, {out!r} {err!r}")
        return int(m.group(1))
