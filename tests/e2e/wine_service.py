"""Drives the real quolin-service.exe under Wine's Service Control Manager.

Each WineService owns a private Wine prefix (a copy of a template), keeps its wineserver alive
for the scenario (Wine's wineserver otherwise exits soon after the last ordinary process and
takes every service with it), installs the service with `sc create`, and reads the service
log from the prefix. Inside a Wine service %ProgramData% is C:\\users\\Public.
"""
import os
import re
import shutil
import subprocess
import tempfile
import time

LOG_LINE = re.compile(r"^(\d{4,})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) UTC \[quolin-service\] (.*)$",
                      re.S)
SERVICE = "QuolinHost"
INSTALL_DIR = "quolin"  # C:\quolin


class ScenarioError(AssertionError):
    pass


class WineService:
    def __init__(self, name, template, service_exe, host_exe=None, script=None, exit_watch=None):
        self.name = name
        self.prefix = tempfile.mkdtemp(prefix=f"quolin-e2e-{name}.")
        shutil.copytree(template, self.prefix, symlinks=True, dirs_exist_ok=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        self.dir = os.path.join(self.prefix, "drive_c", INSTALL_DIR)
        os.makedirs(self.dir)
        shutil.copy(service_exe, os.path.join(self.dir, "quolin-service.exe"))
        if host_exe:
            shutil.copy(host_exe, os.path.join(self.dir, "quolin.exe"))
        if exit_watch:
            shutil.copy(exit_watch, os.path.join(self.prefix, "drive_c", "exit_watch.exe"))
        if script is not None:
            self.write_script(script)
        self.log_path = os.path.join(self.prefix, "drive_c", "users", "Public", "Quolin",
                                     "service.log")
        self.keeper = subprocess.Popen(["wineserver", "-p"], env=self.env)
        # Services inherit the stderr of the command that boots the session: give it a file,
        # never a pipe, or reading the pipe would wait for the service to end.
        with open(os.path.join(self.prefix, "boot.err"), "w") as err:
            subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, stdout=err,
                           stderr=err, check=False, timeout=120)

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
    def wine(self, *args, timeout=60):
        return subprocess.run(["wine", *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout, check=False)

    def sc(self, *args):
        return self.wine("sc", *args)

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

    def query(self):
        r = self.sc("query", SERVICE)
        state = re.search(r"STATE\s*:\s*\d+\s+(\w+)", r.stdout)
        code = re.search(r"WIN32_EXIT_CODE\s*:\s*(\d+)", r.stdout)
        return (state.group(1) if state else None, int(code.group(1)) if code else None)

    def wait_state(self, want, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            state, code = self.query()
            if state == want:
                return code
            if time.monotonic() > deadline:
                raise ScenarioError(f"service state {state}, want {want}; log: {self.messages()}")
            time.sleep(0.1)

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
            out.append((stamp, m.group(7)))
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
    def running_images(self):
        """Windows image names of this prefix's live processes, read from /proc."""
        names = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if f"WINEPREFIX={self.prefix}".encode() not in f.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            except OSError:
                continue
            names.append(cmd)
        return names

    def watch_exit(self, pid):
        """Starts watching a process of the prefix; .result() gives its exit code."""
        return ExitWatch(self, pid)

    def process_running(self, image):
        return any(image.lower() in c.lower() for c in self.running_images())

    def close(self):
        try:
            self.sc("stop", SERVICE)
        except Exception:  # noqa: BLE001 - best effort at teardown
            pass
        subprocess.run(["wineserver", "-k"], env=self.env, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, timeout=60)
        try:
            self.keeper.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.keeper.kill()
        if not os.environ.get("QUOLIN_KEEP_PREFIX"):
            shutil.rmtree(self.prefix, ignore_errors=True)


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
