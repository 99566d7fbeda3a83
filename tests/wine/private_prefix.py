"""A private Wine prefix with a live session: the one life cycle behind every Wine harness.

The e2e scenarios (tests/e2e/wine_service.py), the packaging tests (tests/packaging/
wine_prefix.py) and scripts/bench-wine each subclass PrivatePrefix; the rules for keeping
Wine's wineserver and services alive live here alone:

- Each prefix is a copy of a template in a temporary folder of its own, so prefixes run side
  by side. Only this prefix's wineserver is ever stopped.
- Debian's wineserver exits soon after the last ordinary Wine process and ends every service
  with it: `wineserver -p` keeps it up until close().
- Services inherit the stderr of the command that boots the session. That command's stderr is
  a file (boot.err), never a pipe: reading a pipe would wait until the services end.
- close() stops the service (best effort), then `wineserver -k` and `wineserver -w`, and
  removes the prefix unless QUOLIN_KEEP_PREFIX is set.

Inside a Wine service %ProgramData% is C:\\users\\Public, hence `log_path`.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SERVICE = "QuolinHost"
# One line of the service log; group "message" is what follows the tag.
LOG_LINE = re.compile(r"^(\d{4,})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) UTC \[quolin-service\] "
                      r"(?P<message>.*)$", re.S)
STATE = re.compile(r"STATE\s*:\s*\d+\s+(\w+)")
WIN32_EXIT_CODE = re.compile(r"WIN32_EXIT_CODE\s*:\s*(\d+)")


class PrivatePrefix:
    kind = "wine"  # names the temporary folder: quolin-<kind>-<name>.XXXX
    Error = AssertionError  # what a wait raises when Wine does not get there
    wine_timeout = 120  # seconds, for each wine() that names none
    quiet = False  # wineserver's own output to /dev/null instead of ours
    service_at_close = SERVICE  # the service close() stops first; None for none

    def __init__(self, name, template, wine_debug="-all"):
        self.prefix = tempfile.mkdtemp(prefix=f"quolin-{self.kind}-{name}.")
        shutil.copytree(template, self.prefix, symlinks=True, dirs_exist_ok=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        self.log_path = self.drive_c("users", "Public", "Quolin", "service.log")
        self.boot_err = os.path.join(self.prefix, "boot.err")
        self.populate()
        self.keeper = subprocess.Popen(["wineserver", "-p"], env=self.env, **self._output())
        # The session's services (the SCM among them) keep this environment: whoever wants to
        # see the SCM's own traces boots with them switched on (wine_debug).
        with open(self.boot_err, "w") as err:
            subprocess.run(["wine", "cmd", "/c", "exit"], env=dict(self.env, WINEDEBUG=wine_debug),
                           stdout=err, stderr=err, check=False, timeout=180)

    def populate(self):
        """Puts files in the copy before the session boots; nothing here."""

    def evidence(self):
        """What a failed wait adds to its message; nothing here."""
        return ""

    def _output(self):
        return {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL} if self.quiet else {}

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    # --- running programs ---------------------------------------------------------------
    def wine(self, *args, cwd=None, extra_env=None, timeout=None):
        env = dict(self.env, **(extra_env or {}))
        return subprocess.run(["wine", *args], env=env, cwd=cwd, capture_output=True, text=True,
                              timeout=timeout or self.wine_timeout, check=False)

    def sc(self, *args, timeout=None):
        return self.wine("sc", *args, timeout=timeout)

    # --- the Service Control Manager ----------------------------------------------------
    def query(self, service=SERVICE):
        """(state name, WIN32_EXIT_CODE) of the service; (None, None) when it does not exist."""
        r = self.wine("sc", "query", service)
        state = STATE.search(r.stdout)
        code = WIN32_EXIT_CODE.search(r.stdout)
        if r.returncode != 0 or not state:
            return None, None
        return state.group(1), int(code.group(1)) if code else None

    def state(self, service=SERVICE):
        """The service's state name, or None when it does not exist."""
        return self.query(service)[0]

    def wait_state(self, want, service=SERVICE, timeout=30):
        """Polls until the service is in state `want` (`sc start` returns while it is still
        START_PENDING); returns its WIN32_EXIT_CODE."""
        deadline = time.monotonic() + timeout
        while True:
            state, code = self.query(service)
            if state == want:
                return code
            if time.monotonic() > deadline:
                raise self.Error(f"service state {state}, want {want}{self.evidence()}")
            time.sleep(0.1)

    # --- processes ----------------------------------------------------------------------
    def processes(self, image):
        """Linux process ids of this prefix's live processes whose command line names `image`
        (read from /proc; a process's environment tells its prefix)."""
        marker = f"WINEPREFIX={self.prefix}".encode()
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
                with open(f"/proc/{pid}/stat", "rb") as f:
                    if f.read().split(b") ", 1)[1][:1] == b"Z":
                        continue
            except (OSError, IndexError):
                continue
            if image.lower() in cmd.lower():
                found.append(int(pid))
        return found

    def wait_one_process(self, image, timeout=15):
        """Waits until exactly one process runs `image`; returns its Linux process id."""
        deadline = time.monotonic() + timeout
        while len(pids := self.processes(image)) != 1:
            if time.monotonic() > deadline:
                raise self.Error(f"{len(pids)} processes run {image} in {self.prefix}, want 1")
            time.sleep(0.1)
        return pids[0]

    def close(self):
        if self.service_at_close:
            try:
                self.wine("sc", "stop", self.service_at_close)
            except Exception:  # noqa: BLE001 - best effort at teardown
                pass
        subprocess.run(["wineserver", "-k"], env=self.env, check=False, **self._output())
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, timeout=120,
                       **self._output())
        try:
            self.keeper.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.keeper.kill()
            self.keeper.wait()
        if os.environ.get("QUOLIN_KEEP_PREFIX"):
            print(f"prefix kept: {self.prefix}", file=sys.stderr, flush=True)
        else:
            shutil.rmtree(self.prefix, ignore_errors=True)
