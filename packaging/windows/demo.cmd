@echo off
rem Tries the terminal against a simulated board: starts the demo server on a free loopback
rem port, runs the terminal against it (this script's arguments go to the terminal), and the
rem server stops by itself once the terminal has gone.
setlocal
set "bin=%~dp0bin\"
set "run=%TEMP%\varnax-demo-%RANDOM%%RANDOM%"
mkdir "%run%" 2> nul
if not exist "%run%\" exit /b 1
rem The server prints "listening 127.0.0.1:PORT" once it serves; Ctrl-C is left to the terminal.
start "" /b "%bin%varnax-server.exe" --demo --listen 127.0.0.1:0 --no-commands --quiet --stop-when-unused > "%run%\server.txt" < nul
set "address="
set tries=0
:wait
for /f "usebackq tokens=1,2" %%a in ("%run%\server.txt") do if "%%a"=="listening" set "address=%%b"
if defined address goto serve
set /a tries+=1
if %tries% geq 30 goto failed
ping -n 2 127.0.0.1 > nul
goto wait
:failed
echo demo: the server did not start 1>&2
rd /s /q "%run%" 2> nul
exit /b 1
:serve
echo demo: simulated board at %address%; type help and Enter, Ctrl-C to leave.
set "JTAG_VARNAX_SERVER=%address%"
"%bin%tarvik-terminal.exe" %*
set "status=%errorlevel%"
rd /s /q "%run%" 2> nul
exit /b %status%
