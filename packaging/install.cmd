@echo off
rem Installs quolin-service.exe as the Windows service QuolinHost on this machine, with sc.exe
rem only, and starts it. For fleets use the MSI instead; this is for a single machine.
rem
rem   install.cmd                          the quolin-service.exe beside this script
rem   install.cmd C:\path\quolin-service.exe
rem
rem Put quolin.exe beside quolin-service.exe: the service starts it from there.
rem Exit status: 0 installed and running; 5 not run as administrator; 2 no such executable;
rem 1073 QuolinHost already exists; otherwise the failing step's status.
setlocal EnableExtensions DisableDelayedExpansion
set "SERVICE=QuolinHost"
set "SC=%SystemRoot%\System32\sc.exe"
set "FIND=%SystemRoot%\System32\find.exe"
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

if "%~1"=="" (set "EXE=%~dp0quolin-service.exe") else (set "EXE=%~1")
for %%F in ("%EXE%") do set "EXE=%%~fF"
if not exist "%EXE%" (
  >&2 echo install.cmd: "%EXE%" not found.
  exit /b 2
)

"%SC%" query %SERVICE% >nul 2>&1
if not errorlevel 1 (
  >&2 echo install.cmd: the service %SERVICE% already exists; nothing was changed. Run uninstall.cmd first to replace it.
  exit /b 1073
)

echo Installing %SERVICE%: "%EXE%"
rem The quotes inside binPath keep a path with spaces from being read as a program plus arguments.
"%SC%" create %SERVICE% binPath= "\"%EXE%\"" type= own start= auto obj= LocalSystem DisplayName= "Quolin Host"
if errorlevel 1 goto :create_failed
"%SC%" description %SERVICE% "Keeps quolin.exe running in the session of the user at the physical console."
if errorlevel 1 goto :config_failed
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
echo %SERVICE% is installed and running. Its log: %ProgramData%\Quolin\service.log
exit /b 0

:create_failed
set "rc=%errorlevel%"
>&2 echo install.cmd: sc create failed ^(status %rc%^); nothing was installed.
exit /b %rc%

:config_failed
set "rc=%errorlevel%"
>&2 echo install.cmd: configuring %SERVICE% failed ^(status %rc%^); removing it again.
"%SC%" delete %SERVICE% >nul 2>&1
exit /b %rc%

:not_running
>&2 echo install.cmd: %SERVICE% is installed but not running; see "sc query %SERVICE%" and %ProgramData%\Quolin\service.log
exit /b 1
