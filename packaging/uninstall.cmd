@echo off
rem Stops the Windows service QuolinHost, waits until it has stopped, and deletes it, with
rem sc.exe only, removes its event source and install.cmd's crash-dump settings with reg.exe,
rem then the service's executable that install.cmd copied into %ProgramFiles%\Quolin (and
rem lock-log-folder.cmd, which earlier versions copied there), and the folder when nothing else
rem is in it. The host quolin.exe stays, as does the log folder %ProgramData%\Quolin with its
rem log: neither is touched. A service installed by the MSI is removed with msiexec /x instead.
rem Exit status: 0 deleted; 5 not run as administrator; 1060 QuolinHost does not exist;
rem 1053 it did not stop within 60 s; 4390 the install folder is a link (the service is
rem deleted, nothing is removed through the link); otherwise the failing step's status.
setlocal EnableExtensions DisableDelayedExpansion
set "SERVICE=QuolinHost"
set "SC=%SystemRoot%\System32\sc.exe"
set "FIND=%SystemRoot%\System32\find.exe"
set "REG=%SystemRoot%\System32\reg.exe"
rem Results are tested with "if errorlevel", never with && or ||: Wine's cmd takes both of
rem those after a pipe or after a program it cannot find, whatever the result.

rem The same administrator check as install.cmd.
"%SystemRoot%\System32\fltmc.exe" >nul 2>&1
if not errorlevel 1 goto :admin
"%SystemRoot%\System32\net.exe" session >nul 2>&1
if not errorlevel 1 goto :admin
>&2 echo uninstall.cmd: administrator rights are needed: run it from an elevated command prompt ^(Run as administrator^).
exit /b 5
:admin

"%SC%" query %SERVICE% >nul 2>&1
if errorlevel 1 (
  >&2 echo uninstall.cmd: the service %SERVICE% does not exist; nothing to do.
  exit /b 1060
)

"%SC%" query %SERVICE% | "%FIND%" "STOPPED" >nul
if not errorlevel 1 goto :stopped
echo Stopping %SERVICE%
"%SC%" stop %SERVICE% >nul
set /a tries=0
:wait_stopped
"%SC%" query %SERVICE% | "%FIND%" "STOPPED" >nul
if not errorlevel 1 goto :stopped
set /a tries+=1
if %tries% geq 60 (
  >&2 echo uninstall.cmd: %SERVICE% did not stop within 60 s; it was not deleted.
  exit /b 1053
)
"%SystemRoot%\System32\ping.exe" -n 2 127.0.0.1 >nul
goto :wait_stopped

:stopped
"%SC%" delete %SERVICE%
if errorlevel 1 (
  >&2 echo uninstall.cmd: sc delete failed; %SERVICE% is stopped but still registered.
  exit /b 1
)
rem Gone already when a failed install.cmd removed it: that is fine.
"%REG%" delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%" /f >nul 2>&1
rem The crash-dump settings of quolin.exe go only when they carry install.cmd's marker (an
rem administrator's stay), and only the values it wrote: the key too once nothing else is in it.
set "DUMPKEY=HKLM\SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps\quolin.exe"
"%REG%" query "%DUMPKEY%" /reg:64 /v InstalledBy 2>nul | "%FIND%" "%SERVICE%" >nul
if errorlevel 1 goto :dumps_removed
for %%V in (DumpType DumpCount InstalledBy) do "%REG%" delete "%DUMPKEY%" /reg:64 /v %%V /f >nul 2>&1
"%REG%" query "%DUMPKEY%" /reg:64 2>nul | "%FIND%" "REG_" >nul
if errorlevel 1 "%REG%" delete "%DUMPKEY%" /reg:64 /f >nul 2>&1
:dumps_removed
if defined ProgramW6432 (set "DEST=%ProgramW6432%\Quolin") else (set "DEST=%ProgramFiles%\Quolin")
rem A junction or link in the folder's place would take the deletes to its target: refused.
rem The attributes of the name itself (%%~a) end in l for a reparse point.
set "ATTRS="
for %%A in ("%DEST%") do set "ATTRS=%%~aA"
if defined ATTRS if not "%ATTRS:l=%"=="%ATTRS%" (
  >&2 echo uninstall.cmd: "%DEST%" is a link, not a folder; %SERVICE% is deleted, but nothing was removed through the link.
  exit /b 4390
)
for %%N in (quolin-service.exe lock-log-folder.cmd) do if exist "%DEST%\%%N" del /f /q "%DEST%\%%N"
rmdir "%DEST%" >nul 2>&1
echo %SERVICE% is stopped and deleted, and its executable removed. quolin.exe and the log were left in place.
exit /b 0
