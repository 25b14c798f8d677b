@echo off
rem Registers the Corvane Wireless Controller companion software on this
rem computer: the force feedback effect driver brasquet.dll as a COM class with
rem its DirectInput force feedback entries for each controller, the Supported
rem Device List the tray program quellin.exe looks for, and optional starting
rem profiles. Run it from an elevated command prompt; it registers the files
rem that lie beside it. "install.cmd /?" tells how.
rem
rem Kept to what both Windows' cmd and Wine's cmd understand: no delayed
rem expansion, results tested with "if errorlevel" after every call.
setlocal EnableExtensions DisableDelayedExpansion

set "ME=install"
set "HERE=%~dp0"
set "DRIVER_CLSID={7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}"
set "SHEET_CLSID={7A3C91E5-52B8-4F1D-9C6A-3E0B8D2F4A61}"
set "CLASSES=HKLM\SOFTWARE\Classes\CLSID"
set "OEM=HKLM\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM"
set "PARAMETERS=HKLM\SYSTEM\CurrentControlSet\Services\CorvaneWirelessController\Parameters"
set "RUN=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
set "RUN_VALUE=Corvane Wireless Controller"
rem The deliverables are 64-bit: their keys live in the 64-bit registry view,
rem also when this script is started from a 32-bit program.
set "VIEW=/reg:64"
rem The Settings Block every new profile starts from: the controller's defaults.
set "DEFAULT_BLOCK=0103000000000000000000000F0F5F5F32321D1E1F201D1E1F20000000000000000064646464646464641100000000001D1E1F2000000000646464641B1C000064640F0F5F5F55551112131415161718191A1D00000000000000000000006464646464646464646464000150501464010100000000000000000000010000"

set "MODE=install"
set "AUTOSTART=0"
set "SHEET="
set /a DEVICES=0
set /a PROFILES=0

:parse
rem Each argument is taken whole and its quotes are removed by hand: the
rem tilde modifier makes Wine's cmd report "File name is too long" for a
rem 252-digit Settings Block.
if [%1]==[] goto parsed
set "ARG=%1"
set "ARG=%ARG:"=%"
set "VALUE=%2"
if defined VALUE set "VALUE=%VALUE:"=%"
if "%ARG%"=="/?" goto help
if /i "%ARG%"=="/help" goto help
if /i "%ARG%"=="/device" goto opt_device
if /i "%ARG%"=="/profile" goto opt_profile
if /i "%ARG%"=="/sheet" goto opt_sheet
if /i "%ARG%"=="/autostart" goto opt_autostart
if /i "%ARG%"=="/uninstall" goto opt_uninstall
call :fail_usage "unknown argument %ARG%"
exit /b 2

:opt_device
if not defined VALUE (
    call :fail_usage "/device needs the controller's vendor and product id, as in /device 045E:028E"
    exit /b 2
)
call :add_device
if errorlevel 1 exit /b 2
shift & shift & goto parse

:opt_profile
if not defined VALUE (
    call :fail_usage "/profile needs a name, as in /profile game.exe or /profile Racing:SETTINGS"
    exit /b 2
)
call :add_profile
if errorlevel 1 exit /b 2
shift & shift & goto parse

:opt_sheet
if not defined VALUE (
    call :fail_usage "/sheet needs the path of the property sheet component's DLL"
    exit /b 2
)
set "SHEET=%~f2"
shift & shift & goto parse

:opt_autostart
set "AUTOSTART=1"
shift & goto parse

:opt_uninstall
set "MODE=uninstall"
shift & goto parse

:parsed
if "%MODE%"=="uninstall" goto uninstall

rem ---------------------------------------------------------------- install
if %DEVICES% EQU 0 (
    call :fail_usage "name at least one controller with /device VVVV:PPPP, its vendor and product id in hexadecimal"
    exit /b 2
)
rem Paths are echoed outside parenthesised blocks: a folder such as
rem "Program Files (x86)" would end the block early.
if not exist "%HERE%brasquet.dll" goto no_driver
if defined SHEET if not exist "%SHEET%" goto no_sheet
if "%AUTOSTART%"=="1" if not exist "%HERE%quellin.exe" goto no_tray

rem The effect driver's COM class. DirectInput calls it from the game's
rem threads, so it is free-threaded as well as apartment-threaded.
call :reg add "%CLASSES%\%DRIVER_CLSID%" /ve /d "Corvane Wireless Controller Effect Driver"
if errorlevel 1 goto reg_failed
call :reg add "%CLASSES%\%DRIVER_CLSID%\InprocServer32" /ve /d "%HERE%brasquet.dll"
if errorlevel 1 goto reg_failed
call :reg add "%CLASSES%\%DRIVER_CLSID%\InprocServer32" /v ThreadingModel /d Both
if errorlevel 1 goto reg_failed
echo Registered the force feedback effect driver %DRIVER_CLSID%: %HERE%brasquet.dll

if not defined SHEET goto sheet_done
rem The property sheet runs dialogs on the tray program's UI thread.
call :reg add "%CLASSES%\%SHEET_CLSID%" /ve /d "Corvane Wireless Controller Property Sheet"
if errorlevel 1 goto reg_failed
call :reg add "%CLASSES%\%SHEET_CLSID%\InprocServer32" /ve /d "%SHEET%"
if errorlevel 1 goto reg_failed
call :reg add "%CLASSES%\%SHEET_CLSID%\InprocServer32" /v ThreadingModel /d Apartment
if errorlevel 1 goto reg_failed
echo Registered the property sheet component %SHEET_CLSID%: %SHEET%
:sheet_done

rem Force feedback entries and the Supported Device List, one controller at a time.
call :read_dword "%PARAMETERS%" "Supported Device Count"
set /a OLD_DEVICES=%DWORD%
set /a i=0
:install_device
if %i% GEQ %DEVICES% goto devices_done
call set "vid=%%DEVICE_VID_%i%%%"
call set "pid=%%DEVICE_PID_%i%%%"
call :install_force_feedback "%vid%" "%pid%"
if errorlevel 1 goto reg_failed
call :reg add "%PARAMETERS%" /v "Supported Device Attribute %i%" /t REG_DWORD /d 0x%vid%%pid%
if errorlevel 1 goto reg_failed
echo Controller %i%: vendor %vid%, product %pid%: force feedback entries with 12 effect types, in the Supported Device List
set /a i+=1
goto install_device
:devices_done
call :reg add "%PARAMETERS%" /v "Supported Device Count" /t REG_DWORD /d %DEVICES%
if errorlevel 1 goto reg_failed
rem A shorter list than before leaves no stale entries behind.
set /a i=%DEVICES%
:drop_device
if %i% GEQ %OLD_DEVICES% goto profiles
call :reg delete "%PARAMETERS%" /v "Supported Device Attribute %i%"
set /a i+=1
goto drop_device

:profiles
if %PROFILES% EQU 0 goto autostart
call :read_dword "%PARAMETERS%" "Setting Count"
set /a OLD_COUNT=%DWORD%
set /a COUNT=%PROFILES%+1
rem Profile 0 is the defaults and is never stored; profiles count from 1.
set /a i=1
:install_profile
if %i% GTR %PROFILES% goto profiles_written
call set "name=%%PROFILE_NAME_%i%%%"
call set "block=%%PROFILE_BLOCK_%i%%%"
call :reg add "%PARAMETERS%" /v "Setting %i%" /t REG_BINARY /d %block%
if errorlevel 1 goto reg_failed
call :reg add "%PARAMETERS%" /v "Setting Name %i%" /t REG_SZ /d "%name%"
if errorlevel 1 goto reg_failed
echo Profile %i%: %name%
set /a i+=1
goto install_profile
:profiles_written
call :reg add "%PARAMETERS%" /v "Setting Count" /t REG_DWORD /d %COUNT%
if errorlevel 1 goto reg_failed
set /a i=%COUNT%
:drop_profile
if %i% GEQ %OLD_COUNT% goto check_current
call :reg delete "%PARAMETERS%" /v "Setting %i%"
call :reg delete "%PARAMETERS%" /v "Setting Name %i%"
set /a i+=1
goto drop_profile
:check_current
rem The profile applied last must still exist; otherwise the defaults' index.
call :read_dword "%PARAMETERS%" "Current Setting Index"
if %DWORD% GEQ %COUNT% (
    call :reg add "%PARAMETERS%" /v "Current Setting Index" /t REG_DWORD /d 0
    if errorlevel 1 goto reg_failed
)

:autostart
if not "%AUTOSTART%"=="1" goto installed
call :reg add "%RUN%" /v "%RUN_VALUE%" /d "\"%HERE%quellin.exe\""
if errorlevel 1 goto reg_failed
echo quellin.exe starts when a user logs on

:installed
echo Installed. Start quellin.exe (again) so that it reads the new settings.
exit /b 0

rem -------------------------------------------------------------- uninstall
:uninstall
rem The controllers named on the command line and those in the stored list.
call :read_dword "%PARAMETERS%" "Supported Device Count"
set /a OLD_DEVICES=%DWORD%
set /a i=0
:uninstall_stored
if %i% GEQ %OLD_DEVICES% goto uninstall_named
call :read_dword_hex "%PARAMETERS%" "Supported Device Attribute %i%"
if defined HEX8 call :remove_force_feedback "%HEX8:~0,4%" "%HEX8:~4,4%"
call :reg delete "%PARAMETERS%" /v "Supported Device Attribute %i%"
set /a i+=1
goto uninstall_stored
:uninstall_named
set /a i=0
:uninstall_named_next
if %i% GEQ %DEVICES% goto uninstall_rest
call set "vid=%%DEVICE_VID_%i%%%"
call set "pid=%%DEVICE_PID_%i%%%"
call :remove_force_feedback "%vid%" "%pid%"
set /a i+=1
goto uninstall_named_next
:uninstall_rest
call :reg delete "%PARAMETERS%" /v "Supported Device Count"
call :reg delete "%CLASSES%\%DRIVER_CLSID%"
if defined SHEET call :reg delete "%CLASSES%\%SHEET_CLSID%"
call :reg delete "%RUN%" /v "%RUN_VALUE%"
echo Uninstalled. The controller settings and profiles stay in the driver's Parameters key.
exit /b 0

rem ------------------------------------------------------------ subroutines

rem :add_device - checks and keeps the controller id pair VVVV:PPPP in VALUE
:add_device
set "dev=%VALUE%"
call :length dev
if not "%LEN%"=="9" goto bad_device
if not "%dev:~4,1%"==":" goto bad_device
set "vid=%dev:~0,4%"
set "pid=%dev:~5,4%"
call :is_hex vid
if errorlevel 1 goto bad_device
call :is_hex pid
if errorlevel 1 goto bad_device
call :upper vid
call :upper pid
set /a j=0
:add_device_dup
if %j% GEQ %DEVICES% goto add_device_keep
call set "seen=%%DEVICE_VID_%j%%%:%%DEVICE_PID_%j%%%"
if "%seen%"=="%vid%:%pid%" (
    call :fail_usage "/device %VALUE% is named twice"
    exit /b 1
)
set /a j+=1
goto add_device_dup
:add_device_keep
if %DEVICES% GEQ 256 (
    call :fail_usage "at most 256 controllers fit in the Supported Device List"
    exit /b 1
)
set "DEVICE_VID_%DEVICES%=%vid%"
set "DEVICE_PID_%DEVICES%=%pid%"
set /a DEVICES+=1
exit /b 0
:bad_device
call :fail_usage "/device %VALUE%: give the vendor and product id as two 4-digit hexadecimal numbers, as in /device 045E:028E"
exit /b 1

rem :add_profile - keeps the profile in VALUE: NAME or NAME:SETTINGS, where
rem SETTINGS is the 126-byte Settings Block in 252 hexadecimal digits, as
rem "reg query" shows a stored profile.
:add_profile
set "block=%DEFAULT_BLOCK%"
set "name="
for /f "tokens=1* delims=:" %%a in ("%VALUE%") do (
    set "name=%%a"
    if not "%%b"=="" set "block=%%b"
)
if not defined name goto bad_profile_name
rem A name must fit the tray program's 260-character buffers with their terminator.
call :length name
if %LEN% GTR 259 goto bad_profile_name
call :length block
if not "%LEN%"=="252" goto bad_profile_block
call :is_hex block
if errorlevel 1 goto bad_profile_block
set /a PROFILES+=1
set "PROFILE_NAME_%PROFILES%=%name%"
set "PROFILE_BLOCK_%PROFILES%=%block%"
exit /b 0
:bad_profile_name
call :fail_usage "/profile %VALUE%: a profile needs a name of 1 to 259 characters without a colon"
exit /b 1
:bad_profile_block
call :fail_usage "/profile %name%:...: the settings after the colon must be 252 hexadecimal digits, the 126 bytes of a Settings Block"
exit /b 1

rem :install_force_feedback VID PID - DirectInput's force feedback entries for
rem one controller: which driver to load, and the effect list that gives each
rem effect type the index the driver receives in DownloadEffect.
:install_force_feedback
set "FF=%OEM%\VID_%~1&PID_%~2\OEMForceFeedback"
call :reg add "%FF%" /v CLSID /d "%DRIVER_CLSID%"
if errorlevel 1 exit /b 1
rem DIFFDEVICEATTRIBUTES: no flags; a Motor Report every 2000 us at most;
rem times are used in whole milliseconds (1000 us).
call :reg add "%FF%" /v Attributes /t REG_BINARY /d 00000000D0070000E8030000
if errorlevel 1 exit /b 1
rem DIEFFECTATTRIBUTES: index, DIEFT_* type with attack, fade and start
rem delay where the driver evaluates them, every DIEP_* parameter static and
rem dynamic, cartesian, polar and spherical directions accepted.
set "PARAMS=FF030000FF03000070000000"
call :add_effect "{13541C20-8E33-11D0-9AD0-00A0C9A06E35}" "Constant Force" 00000000 01860000
if errorlevel 1 exit /b 1
call :add_effect "{13541C21-8E33-11D0-9AD0-00A0C9A06E35}" "Ramp Force" 01000000 02860000
if errorlevel 1 exit /b 1
call :add_effect "{13541C22-8E33-11D0-9AD0-00A0C9A06E35}" "Square" 02000000 03860000
if errorlevel 1 exit /b 1
call :add_effect "{13541C23-8E33-11D0-9AD0-00A0C9A06E35}" "Sine" 03000000 03860000
if errorlevel 1 exit /b 1
call :add_effect "{13541C24-8E33-11D0-9AD0-00A0C9A06E35}" "Triangle" 04000000 03860000
if errorlevel 1 exit /b 1
call :add_effect "{13541C25-8E33-11D0-9AD0-00A0C9A06E35}" "Sawtooth Up" 05000000 03860000
if errorlevel 1 exit /b 1
call :add_effect "{13541C26-8E33-11D0-9AD0-00A0C9A06E35}" "Sawtooth Down" 06000000 03860000
if errorlevel 1 exit /b 1
rem Condition and custom effects are accepted but move no motor.
call :add_effect "{13541C27-8E33-11D0-9AD0-00A0C9A06E35}" "Spring" 07000000 04800000
if errorlevel 1 exit /b 1
call :add_effect "{13541C28-8E33-11D0-9AD0-00A0C9A06E35}" "Damper" 08000000 04800000
if errorlevel 1 exit /b 1
call :add_effect "{13541C29-8E33-11D0-9AD0-00A0C9A06E35}" "Inertia" 09000000 04800000
if errorlevel 1 exit /b 1
call :add_effect "{13541C2A-8E33-11D0-9AD0-00A0C9A06E35}" "Friction" 0A000000 04800000
if errorlevel 1 exit /b 1
call :add_effect "{13541C2B-8E33-11D0-9AD0-00A0C9A06E35}" "Custom Force" 0B000000 05800000
if errorlevel 1 exit /b 1
exit /b 0

rem :add_effect GUID "friendly name" ID-LE TYPE-LE (both little-endian hex)
:add_effect
call :reg add "%FF%\Effects\%~1" /ve /d "%~2"
if errorlevel 1 exit /b 1
call :reg add "%FF%\Effects\%~1" /v Attributes /t REG_BINARY /d %~3%~4%PARAMS%
exit /b

rem :remove_force_feedback VID PID
:remove_force_feedback
call :reg delete "%OEM%\VID_%~1&PID_%~2\OEMForceFeedback"
exit /b 0

rem :reg add|delete KEY ARGS... - reg.exe quietly, on the 64-bit view
:reg
if /i "%~1"=="delete" (
    reg %* /f %VIEW% >nul 2>&1
    exit /b 0
)
reg %* /f %VIEW% >nul
exit /b

rem :read_dword KEY NAME - DWORD = the stored REG_DWORD, 0 when missing
:read_dword
set "DWORD=0"
for /f "tokens=2*" %%a in ('reg query "%~1" /v "%~2" %VIEW% 2^>nul') do call :take_dword "%%b"
exit /b 0
:take_dword
rem The value's line reads: NAME REG_DWORD 0x..., and NAME may hold blanks.
set "line=%~1"
if not defined line exit /b 0
if "%line:REG_DWORD=%"=="%line%" exit /b 0
for %%w in (%line%) do set "last=%%w"
set /a DWORD=%last%
exit /b 0

rem :read_dword_hex KEY NAME - HEX8 = the stored REG_DWORD as 8 upper-case
rem hexadecimal digits, empty when missing
:read_dword_hex
set "HEX8="
for /f "tokens=2*" %%a in ('reg query "%~1" /v "%~2" %VIEW% 2^>nul') do call :take_hex "%%b"
exit /b 0
:take_hex
set "line=%~1"
if not defined line exit /b 0
if "%line:REG_DWORD=%"=="%line%" exit /b 0
for %%w in (%line%) do set "last=%%w"
set "last=%last:~2%"
set "last=00000000%last%"
set "HEX8=%last:~-8%"
call :upper HEX8
exit /b 0

rem :is_hex VAR - errorlevel 0 when VAR holds hexadecimal digits only
:is_hex
call set "rest=%%%~1%%"
if not defined rest exit /b 1
rem Once empty the variable is undefined, and substituting in it would
rem yield the pattern itself.
for %%d in (0 1 2 3 4 5 6 7 8 9 A B C D E F) do if defined rest call set "rest=%%rest:%%d=%%"
if defined rest exit /b 1
exit /b 0

rem :length VAR - LEN = the number of characters in VAR. Counted one by one:
rem Wine's cmd gives stale text for a substring that starts past the end.
:length
call set "len_s=%%%~1%%"
set /a LEN=0
:length_next
if not defined len_s exit /b 0
set "len_s=%len_s:~1%"
set /a LEN+=1
goto length_next

rem :upper VAR - upper-cases the hexadecimal letters of VAR
:upper
for %%c in (A B C D E F) do call set "%~1=%%%~1:%%c=%%c%%"
exit /b 0

:no_driver
>&2 echo %ME%: brasquet.dll is not in %HERE%: put install.cmd beside brasquet.dll and quellin.exe
exit /b 1

:no_sheet
call :fail_usage "/sheet %SHEET%: no such file"
exit /b 2

:no_tray
>&2 echo %ME%: /autostart: quellin.exe is not in %HERE%
exit /b 1

:fail_usage
>&2 echo %ME%: %~1
>&2 echo Type "install.cmd /?" for help.
exit /b 0

:reg_failed
>&2 echo %ME%: could not write the registry. Run install.cmd from a command prompt opened with "Run as administrator".
exit /b 1

:help
echo Registers the Corvane Wireless Controller companion software that lies beside this script.
echo.
echo   install.cmd /device VVVV:PPPP [/device VVVV:PPPP ...] [/profile NAME[:SETTINGS] ...]
echo               [/sheet PATH] [/autostart]
echo   install.cmd /uninstall [/device VVVV:PPPP ...] [/sheet PATH]
echo.
echo   /device VVVV:PPPP   a supported controller: vendor and product id, 4 hexadecimal digits each
echo                       (as in its hardware id VID_VVVV^&PID_PPPP). Registers brasquet.dll as its
echo                       force feedback driver and lists it in the Supported Device List.
echo   /profile NAME       a settings profile; NAME as an executable's file name (game.exe) makes it the
echo                       automatic choice while that program is in front. It starts from the default
echo                       settings, or from SETTINGS: 252 hexadecimal digits (a 126-byte Settings Block).
echo                       Given profiles replace the stored ones; without /profile they stay.
echo   /sheet PATH         registers the controller's property sheet component at PATH.
echo   /autostart          starts quellin.exe when a user logs on.
echo   /uninstall          removes the driver registration, the force feedback entries and the
echo                       Supported Device List; settings and profiles stay.
exit /b 0
