"""A private Wine prefix with a live session, and QuolinHost in it: the one Wine harness behind
the e2e scenarios, the packaging tests and scripts/bench-wine. The rules for keeping Wine's
wineserver and services alive live here alone:

- Each prefix is a copy of a template in a temporary folder of its own, so prefixes run side
  by side. Only this prefix's wineserver is ever stopped.
- Debian's wineserver exits soon after the last ordinary Wine process and ends every service
  with it: `wineserver -p` keeps it up until close().
- Services inherit the stderr of the command that boots the session. That command's stderr is
  a file (boot.err), never a pipe: reading a pipe would wait until the services end. Nor does
  wineserver get a pipe of ours, so that whoever reads our output is not kept waiting by it.
- close() runs `wineserver -k` and `wineserver -w`, ends whatever Wine process outlived them,
  and removes the prefix unless QUOLIN_KEEP_PREFIX is set.

Inside a Wine service %ProgramData% is C:\\users\\Public, hence LOG. The host test double
(fake_quolin) does what quolin-script.txt beside it says and records each launch in
quolin-launches.txt there.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SERVICE = "QuolinHost"
LOG = r"C:\users\Public\Quolin\service.log"
# One line of the service log; group "message" is what follows the tag.
LOG_LINE = re.compile(r"^(\d{4,})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) UTC \[quolin-service\] "
                      r"(?P<message>.*)$", re.S)
STATE = re.compile(r"STATE\s*:\s*\d+\s+(\w+)")
WIN32_EXIT_CODE = re.compile(r"WIN32_EXIT_CODE\s*:\s*(\d+)")
REG_VALUE = re.compile(r"^    (\S+)    (REG_\w+)    ?(.*)$")
# What Wine's ReportEventW stub traces with `fixme+advapi,+eventlog` (see e2e/scenarios.py).
REPORT = re.compile(r"fixme:advapi:ReportEventW \(\w+,0x(\w{4}),0x\w{4},0x(\w{8}),")
INSERTION = re.compile(r':eventlog:ReportEventW L"(.*)"$')
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Failure(AssertionError):
    pass


def expect_equal(got, want, what):
    if got != want:
        raise Failure(f"{what}:\n  got  {got!r}\n  want {want!r}")


def run_scenario(namespace, options, run):
    """The command line of a scenario runner: --scenario NAME (a scenario_NAME function of
    `namespace`) and the required `options`. Makes the template, calls run(args, scenario) and
    prints ok or FAIL; returns the exit status."""
    scenarios = {n[len("scenario_"):]: f for n, f in namespace.items() if n.startswith("scenario_")}
    ap = argparse.ArgumentParser()
    ap.add_argument("--scenario", required=True, choices=sorted(scenarios))
    for opt in options:
        ap.add_argument(opt, required=True)
    args = ap.parse_args()
    args.template = os.environ.get("QUOLIN_WINE_TEMPLATE", os.path.join(ROOT, "build", "wine-template"))
    if sys.platform != "win32":  # on Windows itself there is no prefix to make
        subprocess.run([os.path.join(ROOT, "scripts", "wine-template"), args.template], check=True)
    start = time.monotonic()
    try:
        run(args, scenarios[args.scenario])
    except (Failure, subprocess.CalledProcessError) as e:
        print(f"FAIL {args.scenario}: {e}")
        return 1
    print(f"ok {args.scenario} ({time.monotonic() - start:.1f} s)")
    return 0


class PrivatePrefix:
    Error = Failure  # what a wait raises when Wine does not get there
    wine_timeout = 120  # seconds, for each wine() that names none

    def __init__(self, name, template, files=None, install_dir=r"C:\quolin", boot_debug="-all"):
        """`files`: {C: path: Linux file} copied in before the session boots. `boot_debug`: the
        WINEDEBUG of the session's boot, which its services inherit; what they trace lands in
        boot.err (events())."""
        self.prefix = tempfile.mkdtemp(prefix=f"quolin-{name}.")
        shutil.copytree(template, self.prefix, symlinks=True, dirs_exist_ok=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        self.install_dir = install_dir  # where the service and the host are
        for path, source in (files or {}).items():
            self.put(path, source)
        self.keeper = subprocess.Popen(["wineserver", "-p"], env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        with open(os.path.join(self.prefix, "boot.err"), "w") as err:
            subprocess.run(["wine", "cmd", "/c", "exit"], env=dict(self.env, WINEDEBUG=boot_debug),
                           stdout=err, stderr=err, check=False, timeout=180)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def until(self, probe, timeout, what):
        """Polls probe() until it gives a true value, and returns that value; raises with
        what() and the log when `timeout` seconds pass first."""
        deadline = time.monotonic() + timeout
        while not (got := probe()):
            if time.monotonic() > deadline:
                raise self.Error(f"{what()}; log: {self.messages()}")
            time.sleep(0.05)
        return got

    def events(self):
        """[(type, ID, [insertion strings])] of every event the service reported so far, read
        from the trace of Wine's ReportEventW in boot.err."""
        events = []
        with open(os.path.join(self.prefix, "boot.err"), encoding="utf-8", errors="replace") as f:
            for line in f:
                if m := REPORT.search(line):
                    events.append((int(m.group(1), 16), int(m.group(2), 16) & 0xFFFF, []))
                elif (m := INSERTION.search(line.rstrip("\n"))) and events:
                    events[-1][2].append(m.group(1).replace("\\\\", "\\"))  # the trace doubles a backslash
        return events

    # --- files ------------------------------------------------------------------------------
    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def unix(self, windows_path):
        """The Linux path of a C: path in this prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.drive_c(*windows_path[3:].split("\\"))

    def put(self, path, source=None, data=None):
        """A copy of the Linux file `source`, or the bytes `data`, at the C: path `path`."""
        os.makedirs(os.path.dirname(self.unix(path)), exist_ok=True)
        if source:
            shutil.copy(source, self.unix(path))
        else:
            with open(self.unix(path), "wb") as f:
                f.write(data)

    def read(self, path):
        """The bytes of the file at a C: path, or None."""
        if not os.path.exists(self.unix(path)):
            return None
        with open(self.unix(path), "rb") as f:
            return f.read()

    def write_script(self, lines, folder=None):
        """What each launch of fake_quolin in `folder` (the install folder) does, in order."""
        text = "".join(line + "\r\n" for line in lines)
        self.put((folder or self.install_dir) + r"\quolin-script.txt", data=text.encode())

    def launches(self):
        raw = self.read(self.install_dir + r"\quolin-launches.txt") or b""
        return [l.decode("utf-8", "replace").strip() for l in raw.splitlines() if l.strip()]

    def wait_launches(self, count, timeout=15):
        """Process ids of the first `count` launches, which the host records a moment after the
        service's spawn line."""
        found = self.until(lambda: len(got := self.launches()) >= count and got, timeout,
                           lambda: f"{len(self.launches())} host launches, want {count}")
        return [int(re.search(r"pid=(\d+)", line).group(1)) for line in found]

    # --- running programs -------------------------------------------------------------------
    def command(self, *args):
        """The command line that runs a Windows program (sc, reg, msiexec, cmd or a C: path)."""
        return ["wine", *map(str, args)]

    def wine(self, *args, cwd=None, extra_env=None, timeout=None):
        return subprocess.run(self.command(*args), env=dict(self.env, **(extra_env or {})), cwd=cwd,
                              capture_output=True, text=True, timeout=timeout or self.wine_timeout,
                              check=False)

    def sc(self, *args):
        return self.wine("sc", *args)

    def msiexec(self, *args):
        """msiexec with a verbose log; returns (Windows exit code modulo 256, log text). The
        text ends with msiexec's own output, if it wrote any."""
        log = r"C:\msiexec-%d.log" % time.monotonic_ns()
        r = self.wine("msiexec", *args, "/l*v", log, timeout=180)
        raw = self.read(log) or b""
        text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("utf-8", "replace")
        return r.returncode, text + r.stdout + r.stderr

    def hold(self, path, *args):
        """C:\\hold_file.exe holds `path` without write or delete sharing from when this returns:
        with args (MS, SERVICE), for MS ms while it stops SERVICE; with none, until proc.stdin
        is closed."""
        proc = subprocess.Popen(self.command(r"C:\hold_file.exe", path, *(args or ["-"])), env=self.env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if (first := proc.stdout.readline().strip()) != "holding":
            raise self.Error(f"hold_file: {first!r} {proc.stderr.read()!r}")
        return proc

    # --- the Service Control Manager and the registry ---------------------------------------
    def install(self):
        r = self.sc("create", SERVICE, "binPath=", self.install_dir + r"\quolin-service.exe")
        expect_equal(r.returncode, 0, f"sc create: {r.stdout}{r.stderr}")

    def start(self):
        r = self.sc("start", SERVICE)
        expect_equal(r.returncode, 0, f"sc start: {r.stdout}{r.stderr}")
        self.wait_state("RUNNING")

    def stop(self):
        """sc stop; returns WIN32_EXIT_CODE once STOPPED and the service's process is gone
        (Wine's SCM and msiexec do not wait for it)."""
        r = self.sc("stop", SERVICE)
        expect_equal(r.returncode, 0, f"sc stop: {r.stdout}{r.stderr}")
        code = self.wait_state("STOPPED")
        self.wait_gone("quolin-service.exe")
        return code

    def query(self):
        """(state name, WIN32_EXIT_CODE) of the service; (None, None) when it does not exist."""
        r = self.sc("query", SERVICE)
        state, code = STATE.search(r.stdout), WIN32_EXIT_CODE.search(r.stdout)
        if r.returncode != 0 or not state:
            return None, None
        return state.group(1), int(code.group(1)) if code else None

    def state(self):
        """The service's state name, or None when it does not exist."""
        return self.query()[0]

    def wait_state(self, want, timeout=30):
        """Polls until the service is in state `want` (`sc start` returns while it is still
        START_PENDING); returns its WIN32_EXIT_CODE."""
        return self.until(lambda: (q := self.query())[0] == want and q, timeout,
                          lambda: f"service state {self.state()}, want {want}")[1]

    def registry(self, key):
        """{last part of the key's name: {value name: text}} of a key and the keys below it."""
        r = self.wine("reg", "query", key, "/s")
        keys, values = {}, {}
        for line in r.stdout.splitlines():
            if line.startswith("HKEY_"):
                values = keys.setdefault(line.rstrip("\r").rsplit("\\", 1)[-1], {})
            elif m := REG_VALUE.match(line.rstrip("\r")):
                values[m.group(1)] = m.group(3)
        return keys

    # --- processes --------------------------------------------------------------------------
    def _pids(self):
        """Linux process ids of this prefix's processes (a process's environment tells its
        prefix), with their command lines."""
        marker = f"WINEPREFIX={self.prefix}".encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
                with open(f"/proc/{pid}/stat", "rb") as f:
                    if f.read().split(b") ", 1)[1][:1] != b"Z":
                        yield int(pid), cmd
            except (OSError, IndexError):
                continue

    def processes(self, image):
        """Linux process ids of this prefix's live processes whose command line names `image`."""
        return [pid for pid, cmd in self._pids() if image.lower() in cmd.lower()]

    def wait_one_process(self, image, timeout=15):
        """Waits until exactly one process runs `image`; returns its Linux process id."""
        return self.until(lambda: len(p := self.processes(image)) == 1 and p, timeout,
                          lambda: f"{len(self.processes(image))} processes run {image}, want 1")[0]

    def wait_gone(self, image, timeout=15):
        self.until(lambda: not self.processes(image), timeout, lambda: f"{image} still runs")

    # --- the service log --------------------------------------------------------------------
    def lines(self):
        """(timestamp seconds since epoch, message) per complete line; every line is checked."""
        out = []
        for line in (self.read(LOG) or b"").split(b"\n")[:-1]:  # the last is empty or still being written
            if line.endswith(b"\r"):
                raise Failure(f"line ends in CR LF: {line!r}")
            m = LOG_LINE.match(line.decode("utf-8"))
            if not m:
                raise Failure(f"malformed log line: {line!r}")
            y, mo, d, h, mi, s = (int(g) for g in m.groups()[:6])
            out.append((time.mktime((y, mo, d, h, mi, s, 0, 0, 0)) - time.timezone,
                        m.group("message")))
        return out

    def messages(self):
        return [m for _, m in self.lines()]

    def wait_for(self, pattern, timeout=30):
        """Waits until a message matches `pattern` (a regex, matched in full); returns every
        message that does."""
        rx = re.compile(pattern)
        return self.until(lambda: [m for m in self.messages() if rx.fullmatch(m)], timeout,
                          lambda: f"no line matching {pattern!r} within {timeout} s")

    def close(self):
        for args in (["-k"], ["-w"]):
            subprocess.run(["wineserver", *args], env=self.env, check=False, timeout=120,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A Wine process can outlive its wineserver (seen: rpcss.exe, on a loaded machine) and
        # hold the test's output open: end whatever still names this prefix, the keeper too.
        for pid, _ in self._pids():
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        self.keeper.wait()
        if os.environ.get("QUOLIN_KEEP_PREFIX"):
            print(f"prefix kept: {self.prefix}", file=sys.stderr, flush=True)
        else:
            shutil.rmtree(self.prefix, ignore_errors=True)


if sys.platform == "win32":
    # On a real Windows machine (the CI's windows job) the same scenarios drive the machine's own
    # Service Control Manager: see native_windows.py.
    from native_windows import NativeWindows as PrivatePrefix  # noqa: E402,F811
