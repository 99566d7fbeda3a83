@echo off
rem Makes %ProgramData%\Quolin a real folder that only SYSTEM and Administrators can use:
rem owned by Administrators, with a protected access list (nothing inherited from ProgramData,
rem where every user may create files) granting both full control, inherited by what is below.
rem A service.log already there gets the same owner and rights; its lines are kept.
rem The same rights as the MSI's MsiLockPermissionsEx row: O:BA D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA).
rem
rem Run as administrator: by install.cmd, and by the MSI (a deferred step as LocalSystem).
rem ("exit /b" always names its status: Wine's cmd turns a bare one into 0.)
rem Exit status: 0 done; 2 a file that is not a folder stands where the folder should be;
rem otherwise the failing step's status.
setlocal EnableExtensions DisableDelayedExpansion
set "DIR=%ProgramData%\Quolin"
set "LOG=%ProgramData%\Quolin\service.log"
set "ICACLS=%SystemRoot%\System32\icacls.exe"
rem Well-known SIDs, not names: names are translated on non-English Windows.
set "ADMINS=*S-1-5-32-544"
set "SYSTEM=*S-1-5-18"

rem Whoever came first may have put a junction or a symbolic link here, so that a LocalSystem
rem service writes where they chose. rmdir without /s removes the link itself, never its target.
call :unlink "%DIR%"
if errorlevel 1 exit /b %errorlevel%
if exist "%DIR%" if not exist "%DIR%\" (
  >&2 echo lock-log-folder.cmd: "%DIR%" is a file, not a folder; move it away and run this again.
  exit /b 2
)
if not exist "%DIR%\" mkdir "%DIR%"
if errorlevel 1 exit /b %errorlevel%

rem Owner first, so that a user who made the folder can no longer change its rights; then drop
rem every entry of its access list (a moment inheriting from ProgramData) and set the two
rem grants, protected from inheritance.
"%ICACLS%" "%DIR%" /setowner %ADMINS% /C /Q
if errorlevel 1 exit /b %errorlevel%
"%ICACLS%" "%DIR%" /reset /C /Q
if errorlevel 1 exit /b %errorlevel%
"%ICACLS%" "%DIR%" /inheritance:r /grant:r %SYSTEM%:(OI)(CI)F %ADMINS%:(OI)(CI)F /C /Q
if errorlevel 1 exit /b %errorlevel%

rem The log: a link in its place goes; a file keeps its lines and takes the folder's rights.
call :unlink "%LOG%"
if errorlevel 1 exit /b %errorlevel%
if not exist "%LOG%" exit /b 0
"%ICACLS%" "%LOG%" /setowner %ADMINS% /C /Q
if errorlevel 1 exit /b %errorlevel%
"%ICACLS%" "%LOG%" /reset /C /Q
exit /b %errorlevel%

rem :unlink PATH  removes PATH when it is a reparse point (junction or link), whatever it points to.
:unlink
set "ATTR=%~a1"
if not defined ATTR exit /b 0
if "%ATTR:l=%"=="%ATTR%" exit /b 0
if exist "%~1\" (rmdir "%~1") else (del /f /q "%~1")
if exist "%~1" (
  >&2 echo lock-log-folder.cmd: cannot remove the link "%~1".
  exit /b 1
)
exit /b 0
