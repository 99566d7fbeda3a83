"""A private Wine prefix with a live session, for installing QuolinHost the way operators do.

Prefix adds msiexec, the registry and the service log to the life cycle in
tests/wine/private_prefix.py, where the rules for keeping Wine's services alive live.
"""
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "wine"))
from private_prefix import LOG_LINE, SERVICE, PrivatePrefix  # noqa: E402

SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\QuolinHost"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
REG_VALUE = re.compile(r"^    (\S+)    (REG_\w+)    ?(.*)$")


class Failure(AssertionError):
    pass


def expect_equal(got, want, what):
    if got != want:
        raise Failure(f"{what}:\n  got  {got!r}\n  want {want!r}")


class Prefix(PrivatePrefix):
    kind = "pkg"
    Error = Failure

    def evidence(self):
        return f"; log: {self.messages()}"

    def unix(self, windows_path):
        """The Linux path of a C: path in this prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.drive_c(*windows_path[3:].split("\\"))

    # --- running programs ---------------------------------------------------------------
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

    # --- the registry -------------------------------------------------------------------
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
        """The message of each complete log line; a line without timestamp and tag whole."""
        if not os.path.exists(self.log_path):
            return []
        out = []
        raw = open(self.log_path, "rb").read().decode("utf-8", "replace")
        for line in raw.split("\n")[:-1]:
            m = LOG_LINE.match(line)
            out.append(m.group("message") if m else line)
        return out

    def wait_messages(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while len(messages := self.messages()) < count:
            if time.monotonic() > deadline:
                raise Failure(f"{len(messages)} log lines, want {count}: {messages}")
            time.sleep(0.05)
        return messages

    def wait_no_process(self, image, timeout=15):
        deadline = time.monotonic() + timeout
        while self.processes(image):
            if time.monotonic() > deadline:
                raise Failure(f"{image} still runs: {self.processes(image)}")
            time.sleep(0.1)
