"""A private Wine prefix with a live session, for installing QuolinHost the way operators do.

Each Prefix is a copy of a template. Its wineserver is kept alive with `wineserver -p` for the
whole scenario: Wine's wineserver otherwise exits soon after the last ordinary process and takes
every service with it. The session is booted by a throw-away command whose stderr is a file,
because services inherit that stderr and a pipe would never be closed while they run.
"""
import os
import re
import shutil
import subprocess
import tempfile
import time

SERVICE = "QuolinHost"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\QuolinHost"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
LOG_LINE = re.compile(r"^\d{4,}-\d\d-\d\d \d\d:\d\d:\d\d UTC \[quolin-service\] (.*)$")
REG_VALUE = re.compile(r"^    (\S+)    (REG_\w+)    ?(.*)$")


class Failure(AssertionError):
    pass


def expect_equal(got, want, what):
    if got != want:
        raise Failure(f"{what}:\n  got  {got!r}\n  want {want!r}")


class Prefix:
    def __init__(self, name, template, wine_debug="-all"):
        self.prefix = tempfile.mkdtemp(prefix=f"quolin-pkg-{name}.")
        shutil.copytree(template, self.prefix, symlinks=True, dirs_exist_ok=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        self.keeper = subprocess.Popen(["wineserver", "-p"], env=self.env)
        self.boot_err = os.path.join(self.prefix, "boot.err")
        # The session's services (the SCM among them) keep this environment: a scenario that
        # wants to see the SCM's own traces boots with them switched on.
        with open(self.boot_err, "w") as err:
            subprocess.run(["wine", "cmd", "/c", "exit"], env=dict(self.env, WINEDEBUG=wine_debug),
                           stdout=err, stderr=err, check=False, timeout=120)
        self.log_path = self.unix(r"C:\users\Public\Quolin\service.log")  # a service's ProgramData

    def unix(self, windows_path):
        """The Linux path of a C: path in this prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return os.path.join(self.prefix, "drive_c", *windows_path[3:].split("\\"))

    # --- running programs ---------------------------------------------------------------
    def wine(self, *args, cwd=None, extra_env=None, timeout=120):
        env = dict(self.env, **(extra_env or {}))
        return subprocess.run(["wine", *args], env=env, cwd=cwd, capture_output=True,
                              text=True, timeout=timeout, check=False)

    def msiexec(self, *args):
        """msiexec with a verbose log; returns (Windows exit code modulo 256, log text). The
        text ends with msiexec's own output, if it wrote any."""
        log = r"C:\msiexec-%d.log" % time.monotonic_ns()
        r = self.wine("msiexec", *args, "/l*v", log, timeout=180)
        text = ""
        if os.path.exists(self.unix(log)):
            raw = open(self.unix(log), "rb").read()
            utf16 = raw[:2] == b"\xff\xfe"
            text = raw.decode("utf-16") if utf16 else raw.decode("utf-8", "replace")
        return r.returncode, text + r.stdout + r.stderr

    # --- the Service Control Manager and the registry -------------------------------------
    def state(self):
        """The service's state name, or None when it does not exist."""
        r = self.wine("sc", "query", SERVICE)
        m = re.search(r"STATE\s*:\s*\d+\s+(\w+)", r.stdout)
        return m.group(1) if r.returncode == 0 and m else None

    def wait_state(self, want, timeout=30):
        deadline = time.monotonic() + timeout
        while (state := self.state()) != want:
            if time.monotonic() > deadline:
                raise Failure(f"service state {state}, want {want}; log: {self.messages()}")
            time.sleep(0.1)

    def reg_values(self, key):
        """{name: (type, text)} of one key, or None when the key does not exist."""
        r = self.wine("reg", "query", key)
        if r.returncode != 0:
            return None
        values = {}
        for line in r.stdout.splitlines():
            m = REG_VALUE.match(line.rstrip("\r"))
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def service_config(self):
        values = self.reg_values(SERVICE_KEY)
        return None if values is None else {k: v for k, (_, v) in values.items()}

    def products(self):
        """(product code, DisplayVersion) of every installed product named QuolinHost."""
        r = self.wine("reg", "query", UNINSTALL_KEY, "/s")
        found, key, values = [], None, {}
        for line in r.stdout.splitlines() + ["HKEY_END"]:
            line = line.rstrip("\r")
            if line.startswith("HKEY_"):
                if key and values.get("DisplayName") == SERVICE:
                    found.append((key.rsplit("\\", 1)[-1], values.get("DisplayVersion")))
                key, values = line, {}
            elif m := REG_VALUE.match(line):
                values[m.group(1)] = m.group(3)
        return found

    # --- the service log and processes ----------------------------------------------------
    def messages(self):
        """The message of each complete log line; a line without timestamp and tag is kept
        whole. (Under Wine two processes appending at once can garble lines: see the MSI
        scenarios.)"""
        if not os.path.exists(self.log_path):
            return []
        out = []
        raw = open(self.log_path, "rb").read().decode("utf-8", "replace")
        for line in raw.split("\n")[:-1]:
            m = LOG_LINE.match(line)
            out.append(m.group(1) if m else line)
        return out

    def wait_messages(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while len(messages := self.messages()) < count:
            if time.monotonic() > deadline:
                raise Failure(f"{len(messages)} log lines, want {count}: {messages}")
            time.sleep(0.05)
        return messages

    def processes(self, image):
        """Linux process ids of this prefix's live processes whose command line names `image`."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if f"WINEPREFIX={self.prefix}".encode() not in f.read().split(b"\0"):
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
                raise Failure(f"{len(pids)} processes run {image}, want 1")
            time.sleep(0.1)
        return pids[0]

    def wait_no_process(self, image, timeout=15):
        deadline = time.monotonic() + timeout
        while self.processes(image):
            if time.monotonic() > deadline:
                raise Failure(f"{image} still runs: {self.processes(image)}")
            time.sleep(0.1)

    def close(self):
        self.wine("sc", "stop", SERVICE)
        subprocess.run(["wineserver", "-k"], env=self.env, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, timeout=60)
        try:
            self.keeper.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.keeper.kill()
        if os.environ.get("QUOLIN_KEEP_PREFIX"):
            print(f"prefix kept: {self.prefix}")
        else:
            shutil.rmtree(self.prefix, ignore_errors=True)
