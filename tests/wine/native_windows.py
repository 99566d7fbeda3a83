"""The same harness on a real Windows machine (the CI's windows job): the e2e scenarios and their
helpers unchanged, with the Service Control Manager, the registry, the Event Log and the
processes of the machine itself through sc.exe, reg.exe, Get-WinEvent and tasklist.exe instead
of a Wine prefix.

private_prefix.py hands out this class as `PrivatePrefix` when it runs on Windows. There is one
machine and one QuolinHost on it, so scenarios run one after another, never side by side; each
begins by removing what an earlier one left (the service, the install folder, the log folder)
and ends by removing the service.

Paths: scenarios name the log folder as Wine has it (C:\\users\\Public, Wine's %ProgramData%
inside a service); here that part of a path, also on a command line, means the real %ProgramData%.
"""
import csv
import io
import json
import os
import shutil
import subprocess

from private_prefix import SERVICE, PrivatePrefix as WinePrefix

WINE_PROGRAM_DATA = "c:\\users\\public"
PROGRAM_DATA = os.environ.get("ProgramData", r"C:\ProgramData")
# An event's level as Get-WinEvent gives it -> its type as ReportEventW was given it.
EVENT_TYPES = {4: 0x0004, 0: 0x0004, 3: 0x0002, 2: 0x0001, 1: 0x0001}


def powershell(script):
    return subprocess.run(["pwsh", "-NoProfile", "-Command", script], capture_output=True,
                          text=True, check=False).stdout.strip()


class NativeWindows(WinePrefix):
    def __init__(self, name, template, files=None, install_dir=r"C:\quolin", boot_debug=None):
        del name, template, boot_debug  # no prefix to copy, no Wine to trace
        self.env = dict(os.environ)
        self.install_dir = install_dir
        self._remove_service()
        for folder in (install_dir, PROGRAM_DATA + r"\Quolin"):
            shutil.rmtree(folder, ignore_errors=True)  # never through a link: rmtree refuses one
        self.first_record = int(powershell("(Get-WinEvent -LogName Application -MaxEvents 1 "
                                           "-ErrorAction SilentlyContinue).RecordId") or 0)
        for path, source in (files or {}).items():
            self.put(path, source)

    def events(self):
        """The service's events since this scenario began, from the Application log."""
        script = (
            "$x = \"*[System[Provider[@Name='QuolinHost'] and EventRecordID > %d]]\"; "
            "@(Get-WinEvent -LogName Application -FilterXPath $x -Oldest -ErrorAction SilentlyContinue | "
            "ForEach-Object { @{ id = $_.Id; level = [int]$_.Level; "
            "strings = @($_.Properties | ForEach-Object { [string]$_.Value }) } }) | "
            "ConvertTo-Json -Depth 3 -AsArray" % self.first_record)
        return [(EVENT_TYPES.get(e["level"], 0), e["id"], e["strings"] or [])
                for e in json.loads(powershell(script) or "[]")]

    def unix(self, windows_path):
        """The real path of a C: path as a scenario names it."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        if windows_path.lower().startswith(WINE_PROGRAM_DATA):
            return PROGRAM_DATA + windows_path[len(WINE_PROGRAM_DATA):]
        return windows_path

    def command(self, *args):
        """The program itself, without Wine."""
        return [self.unix(a) if a[:3].upper() == "C:\\" else a for a in map(str, args)]

    def processes(self, image):
        """Process ids of the machine's processes whose image is `image`."""
        r = subprocess.run(["tasklist", "/FI", f"IMAGENAME eq {image}", "/FO", "CSV", "/NH"],
                           capture_output=True, text=True, check=False)
        return [int(row[1]) for row in csv.reader(io.StringIO(r.stdout))
                if len(row) > 1 and row[0].lower() == image.lower()]

    def _remove_service(self):
        """Stops and deletes QuolinHost if it exists, and ends any host left running."""
        if self.state() is not None:
            self.sc("stop", SERVICE)
            try:
                self.wait_state("STOPPED")
            except self.Error:
                pass
            self.sc("delete", SERVICE)
            self.until(lambda: self.state() is None, 30, lambda: f"{SERVICE} is still registered")
        for image in ("quolin.exe", "quolin-service.exe"):
            subprocess.run(["taskkill", "/F", "/IM", image], capture_output=True, check=False)

    def close(self):
        if not os.environ.get("QUOLIN_KEEP_PREFIX"):
            self._remove_service()
