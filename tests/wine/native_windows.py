"""The same harness on a real Windows machine (the CI's windows job): the e2e scenarios and their
helpers unchanged, with the Service Control Manager, the registry and the processes of the
machine itself through sc.exe, reg.exe and tasklist.exe instead of a Wine prefix.

private_prefix.py hands out this class as `PrivatePrefix` when it runs on Windows. There is one
machine and one QuolinHost on it, so scenarios run one after another, never side by side; each
begins by removing what an earlier one left (the service, the install folder, the log folder)
and ends by removing the service.

Paths: scenarios name the log folder as Wine has it (C:\\users\\Public, Wine's %ProgramData%
inside a service); here that part of a path means the real %ProgramData%.
"""
import csv
import io
import json
import os
import shutil
import signal
import subprocess

from private_prefix import SERVICE, PrivatePrefix as WinePrefix

WINE_PROGRAM_DATA = "c:\\users\\public"
PROGRAM_DATA = os.environ.get("ProgramData", r"C:\ProgramData")
LOG_FOLDER = PROGRAM_DATA + r"\Quolin"
# An event's level as Get-WinEvent gives it -> its type as ReportEventW was given it.
EVENT_TYPES = {4: 0x0004, 0: 0x0004, 3: 0x0002, 2: 0x0001, 1: 0x0001}

# os.kill on Windows ends the process through TerminateProcess with the signal number as its
# exit code, which is what a scenario means by killing the service; Windows' Python has no
# SIGKILL to name it by.
if not hasattr(signal, "SIGKILL"):
    signal.SIGKILL = 9


class NativeWindows(WinePrefix):
    kind = "windows"

    def __init__(self, name, template, files=None, install_dir=r"C:\quolin", boot_debug=None):
        del template, boot_debug  # no prefix to copy, no Wine to trace
        self.name = name
        self.prefix = None
        self.env = dict(os.environ)
        self.log_path = LOG_FOLDER + r"\service.log"
        self.install_dir = install_dir
        self.keeper = None
        self._remove_leftovers()
        self.first_record = last_event_record()
        for path, source in (files or {}).items():
            self.put(path, source)
        self.populate()

    def _remove_leftovers(self):
        self._remove_service()
        for folder in (self.install_dir, LOG_FOLDER):
            remove(folder)

    def _remove_service(self):
        """Stops and deletes QuolinHost if it exists, and ends any host left running."""
        if self.state() is not None:
            self.sc("stop", SERVICE)
            try:
                self.wait_state("STOPPED", timeout=30)
            except self.Error:
                pass
            self.sc("delete", SERVICE)
            self.until(lambda: self.state() is None, 30, lambda: f"{SERVICE} is still registered")
        for image in ("quolin.exe", "quolin-service.exe"):
            subprocess.run(["taskkill", "/F", "/IM", image], capture_output=True, check=False)

    def boot_output(self):
        """The service's events since this scenario began, read from the Application log and
        written as Wine traces each ReportEventW (the form scenarios read events in): the type,
        the full identifier, then each insertion string with its backslashes doubled."""
        script = (
            "$x = \"*[System[Provider[@Name='QuolinHost'] and EventRecordID > %d]]\"; "
            "@(Get-WinEvent -LogName Application -FilterXPath $x -Oldest -ErrorAction SilentlyContinue | "
            "ForEach-Object { @{ id = $_.Id; level = [int]$_.Level; "
            "strings = @($_.Properties | ForEach-Object { [string]$_.Value }) } }) | "
            "ConvertTo-Json -Depth 3 -AsArray" % self.first_record)
        r = subprocess.run(["pwsh", "-NoProfile", "-Command", script], capture_output=True,
                           text=True, check=False)
        lines = []
        for event in json.loads(r.stdout or "[]"):
            kind = EVENT_TYPES.get(event["level"], 0)
            lines.append(f"fixme:advapi:ReportEventW (0,0x{kind:04x},0x0000,0x{event['id']:08x},")
            for text in event["strings"] or []:
                escaped = text.replace("\\", "\\\\")
                lines.append(f'warn:eventlog:ReportEventW L"{escaped}"')
        return "\n".join(lines) + "\n"

    # --- files ------------------------------------------------------------------------------
    def drive_c(self, *parts):
        return self.unix("C:\\" + "\\".join(parts))

    def unix(self, windows_path):
        """The real path of a C: path as a scenario names it."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        if windows_path.lower().startswith(WINE_PROGRAM_DATA):
            return PROGRAM_DATA + windows_path[len(WINE_PROGRAM_DATA):]
        return windows_path

    # --- running programs -------------------------------------------------------------------
    def wine(self, *args, cwd=None, extra_env=None, timeout=None):
        """The program itself (sc, reg, msiexec, cmd or a C: path), without Wine."""
        env = dict(self.env, **(extra_env or {}))
        program = self.unix(args[0]) if args[0][:3].upper() == "C:\\" else args[0]
        return subprocess.run([program, *args[1:]], env=env, cwd=cwd, capture_output=True,
                              text=True, timeout=timeout or self.wine_timeout, check=False)

    def tool(self, exe, *args, ready):
        proc = subprocess.Popen(["C:\\" + exe, *map(str, args)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        first = proc.stdout.readline().strip()
        if first != ready:
            raise self.Error(f"{exe} {args}: {first!r} {proc.stderr.read()!r}")
        return proc

    def hold_log(self, millis):
        return self.tool("hold_file.exe", self.log_path, millis, SERVICE, ready="holding")

    # --- processes --------------------------------------------------------------------------
    def processes(self, image):
        """Process ids of the machine's processes whose image is `image`."""
        r = subprocess.run(["tasklist", "/FI", f"IMAGENAME eq {image}", "/FO", "CSV", "/NH"],
                           capture_output=True, text=True, check=False)
        return [int(row[1]) for row in csv.reader(io.StringIO(r.stdout))
                if len(row) > 1 and row[0].lower() == image.lower()]

    def close(self):
        if not os.environ.get("QUOLIN_KEEP_PREFIX"):
            self._remove_service()


def last_event_record():
    """The record number of the Application log's newest event (0 when it is empty)."""
    r = subprocess.run(["pwsh", "-NoProfile", "-Command",
                        "(Get-WinEvent -LogName Application -MaxEvents 1 -ErrorAction SilentlyContinue).RecordId"],
                       capture_output=True, text=True, check=False)
    return int(r.stdout.strip() or 0)


def remove(path):
    """Removes a file, a folder with what is in it, or a link or junction (never its target)."""
    if not os.path.lexists(path):
        return
    if os.path.islink(path) or getattr(os.path, "isjunction", lambda _: False)(path):
        if os.path.isdir(path):
            os.rmdir(path)
        else:
            os.unlink(path)
    elif os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        os.unlink(path)

