@echo off
rem Installs QuolinHost on this machine without an MSI: copies quolin-service.exe (and quolin.exe,
rem when it is beside it) into %ProgramFiles%\Quolin, registers the copy as the Windows service
rem QuolinHost with sc.exe, registers its event source and crash dumps of quolin.exe with
rem reg.exe, and starts it. For fleets use the MSI instead. The log folder is the service's
rem own business: it makes %ProgramData%\Quolin for SYSTEM and Administrators alone and checks
rem it before every line, so nothing here touches it.
rem
rem   install.cmd                          the quolin-service.exe beside this script
rem   install.cmd C:\path\quolin-service.exe
rem
rem The service runs as LocalSystem: it is registered from %ProgramFiles%\Quolin, which only
rem administrators can change, never from the folder the files came from (Downloads, a share),
rem where whoever can write could replace it or plant a DLL beside it.
rem Exit status: 0 installed and running; 5 not run as administrator; 2 a file is missing or a
rem path cannot be used (nothing was changed); 1073 QuolinHost already exists; otherwise the
rem failing step's status (then what was copied is removed again).
setlocal EnableExtensions DisableDelayedExpansion
set "SERVICE=QuolinHost"
set "SC=%SystemRoot%\System32\sc.exe"
set "FIND=%SystemRoot%\System32\find.exe"
set "REG=%SystemRoot%\System32\reg.exe"
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"
set "DUMPKEY=HKLM\SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps\quolin.exe"
rem Results are tested with "if errorlevel", never with && or ||: Wine's cmd takes both of
rem those after a pipe or after a program it cannot find, whatever the result.

rem fltmc answers only an elevated administrator, on every Windows since Vista. net session
rem does too but also needs the Server service, so it is only the fall-back (Wine has no fltmc;
rem there everything runs as administrator and net session exits 0).
"%SystemRoot%\System32\fltmc.exe" >nul 2>&1
if not errorlevel 1 goto :admin
"%SystemRoot%\System32\net.exe" session >nul 2>&1
if not errorlevel 1 goto :admin
>&2 echo install.cmd: administrator rights are needed: run it from an elevated command prompt ^(Run as administrator^).
exit /b 5
:admin

rem The source folder may hold any character (R&D (x86) 100% !): the script works inside it
rem with pushd and names the files there relatively, so that its path is expanded once, alone
rem on its line, and always inside quotes.
set "EXENAME=quolin-service.exe"
if not "%~1"=="" goto :named
pushd "%~dp0" 2>nul
goto :in_source
:named
pushd "%~dp1" 2>nul
set "EXENAME=%~nx1"
:in_source
if errorlevel 1 (
  >&2 echo install.cmd: cannot open the folder of %EXENAME%; nothing was changed.
  exit /b 2
)
if defined ProgramW6432 (set "DEST=%ProgramW6432%\Quolin") else (set "DEST=%ProgramFiles%\Quolin")
if not exist "%EXENAME%" (
  >&2 echo install.cmd: %EXENAME% not found; nothing was changed.
  exit /b 2
)
rem sc.exe reads the service's path inside quotes that cmd does not see as quotes: a Program
rem Files path with & or ^ would not reach it as it is, so it is refused.
if not "%DEST:&=%"=="%DEST%" goto :bad_dest
if not "%DEST:^=%"=="%DEST%" goto :bad_dest
if exist "%DEST%" if not exist "%DEST%\" (
  >&2 echo install.cmd: "%DEST%" is a file, not a folder; move it away and run this again.
  exit /b 2
)

"%SC%" query %SERVICE% >nul 2>&1
if not errorlevel 1 (
  >&2 echo install.cmd: the service %SERVICE% already exists; nothing was changed. Run uninstall.cmd first to replace it.
  exit /b 1073
)

echo Installing %SERVICE% into "%DEST%"
set "COPIED="
rem Started from the destination itself (files copied there by hand): nothing to copy. A probe
rem file tells, whatever characters either path holds.
type nul > .quolin-install-probe 2>nul
if exist "%DEST%\.quolin-install-probe" (del .quolin-install-probe & goto :copied)
del .quolin-install-probe >nul 2>&1
set "COPIED=1"
if not exist "%DEST%\" mkdir "%DEST%"
if errorlevel 1 goto :copy_failed
copy /y /b "%EXENAME%" "%DEST%\quolin-service.exe" >nul
if errorlevel 1 goto :copy_failed
if exist quolin.exe copy /y /b quolin.exe "%DEST%\quolin.exe" >nul
if errorlevel 1 goto :copy_failed
:copied

rem The quotes inside binPath keep a path with spaces from being read as a program plus arguments.
"%SC%" create %SERVICE% binPath= "\"%DEST%\quolin-service.exe\"" type= own start= auto obj= LocalSystem DisplayName= "Quolin Host"
if errorlevel 1 goto :create_failed
"%SC%" description %SERVICE% "Keeps quolin.exe running in the session of the user at the physical console."
if errorlevel 1 goto :config_failed
rem The event source QuolinHost in the Application log: its messages are in the installed copy.
"%REG%" add "%EVENTKEY%" /v EventMessageFile /t REG_SZ /d "%DEST%\quolin-service.exe" /f >nul
if errorlevel 1 goto :config_failed
"%REG%" add "%EVENTKEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto :config_failed
rem Windows Error Reporting keeps a mini dump of each crash of quolin.exe, at most 10, in the
rem crashing user's own %LOCALAPPDATA%\CrashDumps. No DumpFolder: a folder users share, written
rem by a privileged process, is open to links. A key that is there already is an administrator's
rem and stays as it is; ours carries InstalledBy=QuolinHost, which uninstall.cmd and the MSI read.
rem The 64-bit view (/reg:64), which Windows Error Reporting reads, also from a 32-bit cmd.
set "DUMPS_ADDED="
"%REG%" query "%DUMPKEY%" /reg:64 >nul 2>&1
if not errorlevel 1 goto :dumps_set
set "DUMPS_ADDED=1"
"%REG%" add "%DUMPKEY%" /reg:64 /v DumpType /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto :config_failed
"%REG%" add "%DUMPKEY%" /reg:64 /v DumpCount /t REG_DWORD /d 10 /f >nul
if errorlevel 1 goto :config_failed
"%REG%" add "%DUMPKEY%" /reg:64 /v InstalledBy /t REG_SZ /d %SERVICE% /f >nul
if errorlevel 1 goto :config_failed
:dumps_set
rem Restart the service 5 s, 30 s and 60 s after a failure; count failures anew after a day.
"%SC%" failure %SERVICE% reset= 86400 actions= restart/5000/restart/30000/restart/60000
if errorlevel 1 goto :config_failed
rem Also when it stops with an error, not only when its process dies.
"%SC%" failureflag %SERVICE% 1
if errorlevel 1 (
  >&2 echo install.cmd: warning: sc failureflag is not supported here: %SERVICE% is restarted when its process dies, not when it stops with an error.
)

"%SC%" start %SERVICE%
if errorlevel 1 goto :not_running
rem sc start returns while the service is still starting.
set /a tries=0
:wait_running
"%SC%" query %SERVICE% | "%FIND%" "RUNNING" >nul
if not errorlevel 1 goto :running
set /a tries+=1
if %tries% geq 30 goto :not_running
"%SystemRoot%\System32\ping.exe" -n 2 127.0.0.1 >nul
goto :wait_running

:running
popd
echo %SERVICE% is installed and running. Its log: %ProgramData%\Quolin\service.log
exit /b 0

:bad_dest
>&2 echo install.cmd: cannot install into "%DEST%": the path holds ^& or ^^.
exit /b 2

:copy_failed
set "rc=%errorlevel%"
>&2 echo install.cmd: copying into "%DEST%" failed ^(status %rc%^); nothing was installed.
call :remove_copies
exit /b %rc%

:create_failed
set "rc=%errorlevel%"
>&2 echo install.cmd: sc create failed ^(status %rc%^); nothing was installed.
call :remove_copies
exit /b %rc%

:config_failed
set "rc=%errorlevel%"
>&2 echo install.cmd: configuring %SERVICE% failed ^(status %rc%^); removing it again.
"%SC%" delete %SERVICE% >nul 2>&1
"%REG%" delete "%EVENTKEY%" /f >nul 2>&1
if defined DUMPS_ADDED "%REG%" delete "%DUMPKEY%" /reg:64 /f >nul 2>&1
call :remove_copies
exit /b %rc%

:not_running
>&2 echo install.cmd: %SERVICE% is installed but not running; see "sc query %SERVICE%" and %ProgramData%\Quolin\service.log
exit /b 1

rem What this run copied goes again.
:remove_copies
if not defined COPIED exit /b 0
for %%N in (quolin-service.exe quolin.exe) do if exist "%DEST%\%%N" del /f /q "%DEST%\%%N"
rmdir "%DEST%" >nul 2>&1
exit /b 0
