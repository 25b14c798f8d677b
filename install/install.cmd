@echo off
rem Registers the Corvane Wireless Controller companion software on this
rem computer: the force feedback effect driver brasquet.dll as a COM class with
rem its DirectInput force feedback entries for each controller, the Supported
rem Device List the tray program quellin.exe looks for, and optional starting
rem profiles. Run it from an elevated command prompt; it registers the files
rem that lie beside it. "install.cmd /?" tells how.
rem
rem Everything goes into one .reg file that one "reg import" applies (or that
rem /save keeps for a look or a later import). Kept to what both Windows' cmd
rem and Wine's cmd understand: no delayed expansion, results tested with
rem "if errorlevel" after every call.
setlocal EnableExtensions DisableDelayedExpansion

set "ME=install"
set "HERE=%~dp0"
set "DRIVER_CLSID={7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}"
set "SHEET_CLSID={7A3C91E5-52B8-4F1D-9C6A-3E0B8D2F4A61}"
set "CLASSES=HKEY_LOCAL_MACHINE\SOFTWARE\Classes\CLSID"
set "OEM=HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM"
set "PARAMETERS=HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CorvaneWirelessController\Parameters"
set "RUN=HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
set "RUN_VALUE=Corvane Wireless Controller"
rem The deliverables are 64-bit: their keys live in the 64-bit registry view,
rem also when this script is started from a 32-bit program.
set "VIEW=/reg:64"
rem The Settings Block every new profile starts from: the controller's defaults.
set "DEFAULT_BLOCK=0103000000000000000000000F0F5F5F32321D1E1F201D1E1F20000000000000000064646464646464641100000000001D1E1F2000000000646464641B1C000064640F0F5F5F55551112131415161718191A1D00000000000000000000006464646464646464646464000150501464010100000000000000000000010000"

set "MODE=install"
set "AUTOSTART=0"
set "SHEET="
set "SAVE="
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
if /i "%ARG%"=="/save" goto opt_save
call :fail_usage "unknown argument %ARG%"
exit /b 2

:opt_device
if not defined VALUE (
    call :fail_usage "/device needs the controller's vendor and product id, as in /device 7C4A:0102"
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

:opt_save
if not defined VALUE (
    call :fail_usage "/save needs the path of the .reg file to write"
    exit /b 2
)
set "SAVE=%~f2"
shift & shift & goto parse

:parsed
rem The .reg file: the one given with /save, else a scratch file.
set "REGFILE=%TEMP%\corvane-install-%RANDOM%.reg"
if defined SAVE set "REGFILE=%SAVE%"
> "%REGFILE%" echo Windows Registry Editor Version 5.00
if errorlevel 1 goto no_regfile
if "%MODE%"=="uninstall" goto uninstall

rem ---------------------------------------------------------------- install
if %DEVICES% EQU 0 (
    call :fail_usage "name at least one controller with /device VVVV:PPPP, its vendor and product id in hexadecimal"
    goto failed_usage
)
rem Paths are echoed outside parenthesised blocks: a folder such as
rem "Program Files (x86)" would end the block early.
if not exist "%HERE%brasquet.dll" goto no_driver
if defined SHEET if not exist "%SHEET%" goto no_sheet
if "%AUTOSTART%"=="1" if not exist "%HERE%quellin.exe" goto no_tray

rem The effect driver's COM class. DirectInput calls it from the game's
rem threads, so it is free-threaded as well as apartment-threaded.
call :escape HERE_REG "%HERE%"
call :emit_key "%CLASSES%\%DRIVER_CLSID%"
>>"%REGFILE%" echo @="Corvane Wireless Controller Effect Driver"
call :emit_key "%CLASSES%\%DRIVER_CLSID%\InprocServer32"
>>"%REGFILE%" echo @="%HERE_REG%brasquet.dll"
>>"%REGFILE%" echo "ThreadingModel"="Both"
set "DONE_1=the force feedback effect driver %DRIVER_CLSID%: %HERE%brasquet.dll"

if not defined SHEET goto sheet_done
rem The property sheet runs dialogs on the tray program's UI thread.
call :escape SHEET_REG "%SHEET%"
call :emit_key "%CLASSES%\%SHEET_CLSID%"
>>"%REGFILE%" echo @="Corvane Wireless Controller Property Sheet"
call :emit_key "%CLASSES%\%SHEET_CLSID%\InprocServer32"
>>"%REGFILE%" echo @="%SHEET_REG%"
>>"%REGFILE%" echo "ThreadingModel"="Apartment"
:sheet_done

rem Force feedback entries, one controller at a time, then the Supported
rem Device List with them in the order given.
set /a i=0
:install_device
if %i% GEQ %DEVICES% goto devices_done
call set "vid=%%DEVICE_VID_%i%%%"
call set "pid=%%DEVICE_PID_%i%%%"
call :emit_force_feedback %vid% %pid%
set /a i+=1
goto install_device
:devices_done
call :emit_key "%PARAMETERS%"
call :dword8 %DEVICES%
>>"%REGFILE%" echo "Supported Device Count"=dword:%DWORD8%
set /a i=0
:list_device
if %i% GEQ %DEVICES% goto list_done
call set "vid=%%DEVICE_VID_%i%%%"
call set "pid=%%DEVICE_PID_%i%%%"
>>"%REGFILE%" echo "Supported Device Attribute %i%"=dword:%vid%%pid%
set /a i+=1
goto list_device
:list_done
rem A shorter list than before leaves no stale entries behind.
call :read_dword "%PARAMETERS%" "Supported Device Count"
set /a i=%DEVICES%
:drop_device
if %i% GEQ %DWORD% goto profiles
>>"%REGFILE%" echo "Supported Device Attribute %i%"=-
set /a i+=1
goto drop_device

:profiles
if %PROFILES% EQU 0 goto autostart
set /a COUNT=%PROFILES%+1
call :dword8 %COUNT%
>>"%REGFILE%" echo "Setting Count"=dword:%DWORD8%
rem Profile 0 is the defaults and is never stored; profiles count from 1.
set /a i=1
:install_profile
if %i% GTR %PROFILES% goto profiles_written
call set "name=%%PROFILE_NAME_%i%%%"
call set "block=%%PROFILE_BLOCK_%i%%%"
call :hex_pairs block
call :escape name_reg "%name%"
>>"%REGFILE%" echo "Setting %i%"=hex:%PAIRS%
>>"%REGFILE%" echo "Setting Name %i%"="%name_reg%"
set /a i+=1
goto install_profile
:profiles_written
call :read_dword "%PARAMETERS%" "Setting Count"
set /a i=%COUNT%
:drop_profile
if %i% GEQ %DWORD% goto check_current
>>"%REGFILE%" echo "Setting %i%"=-
>>"%REGFILE%" echo "Setting Name %i%"=-
set /a i+=1
goto drop_profile
:check_current
rem The profile applied last must still exist; otherwise the defaults' index.
call :read_dword "%PARAMETERS%" "Current Setting Index"
if %DWORD% GEQ %COUNT% >>"%REGFILE%" echo "Current Setting Index"=dword:00000000

:autostart
if not "%AUTOSTART%"=="1" goto apply
call :emit_key "%RUN%"
>>"%REGFILE%" echo "%RUN_VALUE%"="\"%HERE_REG%quellin.exe\""

:apply
call :import
if errorlevel 1 exit /b 1
if defined SAVE exit /b 0
echo Registered %DONE_1%
if defined SHEET echo Registered the property sheet component %SHEET_CLSID%: %SHEET%
set /a i=0
:report_device
if %i% GEQ %DEVICES% goto report_profiles
call set "vid=%%DEVICE_VID_%i%%%"
call set "pid=%%DEVICE_PID_%i%%%"
echo Controller %i%: vendor %vid%, product %pid%: force feedback entries with 12 effect types, in the Supported Device List
set /a i+=1
goto report_device
:report_profiles
set /a i=1
:report_profile
if %i% GTR %PROFILES% goto report_rest
call set "name=%%PROFILE_NAME_%i%%%"
echo Profile %i%: %name%
set /a i+=1
goto report_profile
:report_rest
if "%AUTOSTART%"=="1" echo quellin.exe starts when a user logs on
echo Installed. Start quellin.exe (again) so that it reads the new settings.
exit /b 0

rem -------------------------------------------------------------- uninstall
:uninstall
rem The controllers in the stored list and those named on the command line.
call :read_dword "%PARAMETERS%" "Supported Device Count"
set /a STORED=%DWORD%
call :emit_key "%PARAMETERS%"
>>"%REGFILE%" echo "Supported Device Count"=-
set /a i=0
:uninstall_stored
if %i% GEQ %STORED% goto uninstall_named
>>"%REGFILE%" echo "Supported Device Attribute %i%"=-
set /a i+=1
goto uninstall_stored
:uninstall_named
set /a i=0
:uninstall_stored_ff
if %i% GEQ %STORED% goto uninstall_named_ff
call :read_dword_hex "%PARAMETERS%" "Supported Device Attribute %i%"
if defined HEX8 call :emit_delete_key "%OEM%\VID_%HEX8:~0,4%&PID_%HEX8:~4,4%\OEMForceFeedback"
set /a i+=1
goto uninstall_stored_ff
:uninstall_named_ff
set /a i=0
:uninstall_named_next
if %i% GEQ %DEVICES% goto uninstall_rest
call set "vid=%%DEVICE_VID_%i%%%"
call set "pid=%%DEVICE_PID_%i%%%"
call :emit_delete_key "%OEM%\VID_%vid%&PID_%pid%\OEMForceFeedback"
set /a i+=1
goto uninstall_named_next
:uninstall_rest
call :emit_delete_key "%CLASSES%\%DRIVER_CLSID%"
if defined SHEET call :emit_delete_key "%CLASSES%\%SHEET_CLSID%"
call :emit_key "%RUN%"
>>"%REGFILE%" echo "%RUN_VALUE%"=-
call :import
if errorlevel 1 exit /b 1
if defined SAVE exit /b 0
echo Uninstalled. The controller settings and profiles stay in the driver's Parameters key.
exit /b 0

rem ------------------------------------------------------------ subroutines

rem :add_device - checks and keeps the controller id pair VVVV:PPPP in VALUE
:add_device
set "dev=%VALUE%"
call :file_length dev
if not "%LEN%"=="9" goto bad_device
if not "%dev:~4,1%"==":" goto bad_device
set "vid=%dev:~0,4%"
set "pid=%dev:~5,4%"
call :is_hex vid
if errorlevel 1 goto bad_device
call :is_hex pid
if errorlevel 1 goto bad_device
set /a j=0
:add_device_dup
if %j% GEQ %DEVICES% goto add_device_keep
call set "seen=%%DEVICE_VID_%j%%%:%%DEVICE_PID_%j%%%"
rem Registry names and hexadecimal digits ignore case, and so does this test.
if /i "%seen%"=="%vid%:%pid%" (
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
call :fail_usage "/device %VALUE%: give the vendor and product id as two 4-digit hexadecimal numbers, as in /device 7C4A:0102"
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
call :file_length name
if %LEN% GTR 259 goto bad_profile_name
call :file_length block
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

rem :emit_force_feedback VID PID - DirectInput's force feedback entries for
rem one controller: which driver to load, and the effect list that gives each
rem effect type the index the driver receives in DownloadEffect.
:emit_force_feedback
set "FF=%OEM%\VID_%~1&PID_%~2\OEMForceFeedback"
call :emit_key "%FF%"
>>"%REGFILE%" echo "CLSID"="%DRIVER_CLSID%"
rem DIFFDEVICEATTRIBUTES: no flags; a Motor Report every 2000 us at most;
rem times are used in whole milliseconds (1000 us).
>>"%REGFILE%" echo "Attributes"=hex:00,00,00,00,d0,07,00,00,e8,03,00,00
rem DIEFFECTATTRIBUTES: index, DIEFT_* type with attack, fade and start
rem delay where the driver evaluates them, every DIEP_* parameter static and
rem dynamic, cartesian, polar and spherical directions accepted.
call :emit_effect 20 "Constant Force" 00 "01,86"
call :emit_effect 21 "Ramp Force" 01 "02,86"
call :emit_effect 22 "Square" 02 "03,86"
call :emit_effect 23 "Sine" 03 "03,86"
call :emit_effect 24 "Triangle" 04 "03,86"
call :emit_effect 25 "Sawtooth Up" 05 "03,86"
call :emit_effect 26 "Sawtooth Down" 06 "03,86"
rem Condition and custom effects are accepted but move no motor.
call :emit_effect 27 "Spring" 07 "04,80"
call :emit_effect 28 "Damper" 08 "04,80"
call :emit_effect 29 "Inertia" 09 "04,80"
call :emit_effect 2A "Friction" 0a "04,80"
call :emit_effect 2B "Custom Force" 0b "05,80"
exit /b 0

rem :emit_effect GUID-BYTE "friendly name" INDEX TYPE-LOW,TYPE-HIGH: one
rem effect of the list; its key is the DirectInput GUID_* of the effect type.
:emit_effect
call :emit_key "%FF%\Effects\{13541C%~1-8E33-11D0-9AD0-00A0C9A06E35}"
>>"%REGFILE%" echo @="%~2"
>>"%REGFILE%" echo "Attributes"=hex:%~3,00,00,00,%~4,00,00,ff,03,00,00,ff,03,00,00,70,00,00,00
exit /b 0

rem :emit_key KEY - starts a key's section (with a blank line before it). A
rem key name may hold "&", which cmd must not see unquoted.
:emit_key
set "KEY=%~1"
>>"%REGFILE%" echo.
>>"%REGFILE%" echo [%KEY:&=^&%]
exit /b 0

rem :emit_delete_key KEY - removes the key with everything below it
:emit_delete_key
set "KEY=%~1"
>>"%REGFILE%" echo.
>>"%REGFILE%" echo [-%KEY:&=^&%]
exit /b 0

rem :import - applies the .reg file to the 64-bit registry view (the
rem deliverables are 64-bit, also when this script runs from a 32-bit
rem program), or leaves it where /save asked
:import
if defined SAVE goto import_saved
reg import "%REGFILE%" %VIEW% >nul 2>&1
set "IMPORTED=%errorlevel%"
del "%REGFILE%" >nul 2>&1
if not "%IMPORTED%"=="0" goto reg_failed
exit /b 0
:import_saved
echo Wrote %SAVE%. Apply it from an elevated command prompt with: reg import "%SAVE%" /reg:64
exit /b 0

rem :escape VAR "TEXT" - TEXT with its backslashes doubled, as .reg strings need
:escape
set "%~1=%~2"
call set "%~1=%%%~1:\=\\%%"
exit /b 0

rem :hex_pairs VAR - PAIRS = the 252 hexadecimal digits of a Settings Block
rem in VAR as .reg bytes: 01,03,... Eighteen bytes a round, seven rounds: a
rem round per byte is slow in Wine's cmd.
:hex_pairs
call set "rest=%%%~1%%"
set "PAIRS="
for /l %%k in (1,1,7) do call :hex_pairs_round
rem No comma after the last byte.
set "PAIRS=%PAIRS:~0,-1%"
exit /b 0
:hex_pairs_round
set "PAIRS=%PAIRS%%rest:~0,2%,%rest:~2,2%,%rest:~4,2%,%rest:~6,2%,%rest:~8,2%,%rest:~10,2%,%rest:~12,2%,%rest:~14,2%,%rest:~16,2%,"
set "PAIRS=%PAIRS%%rest:~18,2%,%rest:~20,2%,%rest:~22,2%,%rest:~24,2%,%rest:~26,2%,%rest:~28,2%,%rest:~30,2%,%rest:~32,2%,%rest:~34,2%,"
set "rest=%rest:~36%"
exit /b 0

rem :dword8 N - DWORD8 = N (0 to 65535) as 8 hexadecimal digits
:dword8
set /a n=%~1
set "DWORD8="
set "DIGITS=0123456789abcdef"
for /l %%k in (1,1,8) do call :dword8_digit
exit /b 0
:dword8_digit
set /a d=n %% 16
set /a n=n / 16
call set "DWORD8=%%DIGITS:~%d%,1%%%DWORD8%"
exit /b 0

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

rem :read_dword_hex KEY NAME - HEX8 = the stored REG_DWORD as 8 hexadecimal
rem digits, empty when missing
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
exit /b 0

rem :is_hex VAR - errorlevel 0 when VAR holds hexadecimal digits only: with
rem every digit a delimiter, only something else is left as a token.
:is_hex
call set "rest=%%%~1%%"
if not defined rest exit /b 1
set "other="
for /f "delims=0123456789ABCDEFabcdef" %%x in ("%rest%") do set "other=%%x"
if defined other exit /b 1
exit /b 0

rem :file_length VAR - LEN = the length of VAR from the size of a file that
rem holds it (bytes of the console code page: a character each for ASCII).
rem One step, where counting character by character is slow in Wine's cmd,
rem and substrings past the end give stale text there.
:file_length
set "LEN=0"
call set "len_s=%%%~1%%"
set "LEN_FILE=%TEMP%\corvane-install-length-%RANDOM%.txt"
>"%LEN_FILE%" <nul set /p "=%len_s%"
for %%f in ("%LEN_FILE%") do set "LEN=%%~zf"
del "%LEN_FILE%" >nul 2>&1
exit /b 0

:no_driver
>&2 echo %ME%: brasquet.dll is not in %HERE%: put install.cmd beside brasquet.dll and quellin.exe
if not defined SAVE del "%REGFILE%" >nul 2>&1
exit /b 1

:no_sheet
call :fail_usage "/sheet %SHEET%: no such file"
goto failed_usage

:no_tray
>&2 echo %ME%: /autostart: quellin.exe is not in %HERE%
if not defined SAVE del "%REGFILE%" >nul 2>&1
exit /b 1

:no_regfile
>&2 echo %ME%: cannot write %REGFILE%
exit /b 1

:failed_usage
if not defined SAVE del "%REGFILE%" >nul 2>&1
exit /b 2

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
echo               [/sheet PATH] [/autostart] [/save FILE.reg]
echo   install.cmd /uninstall [/device VVVV:PPPP ...] [/sheet PATH] [/save FILE.reg]
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
echo   /save FILE.reg      writes the changes to FILE.reg instead, for "reg import FILE.reg /reg:64".
exit /b 0
