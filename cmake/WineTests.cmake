# Windows test programs run under Wine, in a prefix of the project's own under
# the build folder, through a wrapper that ctest uses as the cross-compiling
# emulator. The prefix, its persistent wineserver and an Xvfb display are
# ctest fixtures, so `ctest --preset windows` needs nothing set up by hand.
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the tests")
set(WINE_DISPLAY :87 CACHE STRING "X display (Xvfb) for tests that need windows")
set(_wine_env ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh)

# 32-bit programs run under Wine's 32-bit loader (emulated where the kernel
# runs no 32-bit program), 64-bit ones under its 64-bit loader.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(WINE_LOADER ${CMAKE_SOURCE_DIR}/scripts/wine32)
else()
    set(WINE_LOADER ${CMAKE_SOURCE_DIR}/scripts/wine64)
endif()
configure_file(${CMAKE_SOURCE_DIR}/scripts/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# Every test command runs through scripts/wine-test: it passes only when its
# output has the test's own report of its result and Wine reported no
# unhandled exception in any Windows program it started.
set(WINE_TEST ${CMAKE_SOURCE_DIR}/scripts/wine-test)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The 32-bit programs' prefix is one of their own, with its 32-bit half.
    # Making it takes minutes under the emulation; it is made once and kept.
    add_test(NAME wine32.up COMMAND ${_wine_env} up-x86 ${WINE_PREFIX})
    add_test(NAME wine32.down COMMAND ${_wine_env} down ${WINE_PREFIX})
    set_tests_properties(wine32.up PROPERTIES FIXTURES_SETUP wine32 TIMEOUT 1200)
    set_tests_properties(wine32.down PROPERTIES FIXTURES_CLEANUP wine32)

    # add_x86_run(name TIMEOUT seconds [NATIVE_ONLY] COMMAND target args...)
    # One 32-bit process that runs a group of tests (a --gtest_filter).
    # NATIVE_ONLY: skipped where 32-bit programs run emulated.
    function(add_x86_run name)
        cmake_parse_arguments(ARG "NATIVE_ONLY" "TIMEOUT" "COMMAND" ${ARGN})
        add_test(NAME x86.${name} COMMAND ${ARG_COMMAND})
        set_tests_properties(x86.${name} PROPERTIES FIXTURES_REQUIRED wine32 LABELS "windows-x86;brasquet"
                             TIMEOUT ${ARG_TIMEOUT} RESOURCE_LOCK wine32)
        if(ARG_NATIVE_ONLY)
            set_tests_properties(x86.${name} PROPERTIES ENVIRONMENT WINE32_NATIVE_ONLY=1 SKIP_RETURN_CODE 77)
        endif()
    endfunction()
    return()
endif()

# The server's desktop process, started when the server is warmed up, lives as
# long as the server and must see the display the tests use: without it no
# later program can create a top-level window. So the display comes first.
add_test(NAME wine.up COMMAND ${_wine_env} up ${WINE_PREFIX} ${WINE_DISPLAY})
add_test(NAME wine.down COMMAND ${_wine_env} down ${WINE_PREFIX})
set_tests_properties(wine.up PROPERTIES FIXTURES_SETUP wine FIXTURES_REQUIRED display TIMEOUT 180)
set_tests_properties(wine.down PROPERTIES FIXTURES_CLEANUP wine FIXTURES_REQUIRED display)
add_test(NAME display.up COMMAND ${_wine_env} display-up ${WINE_PREFIX} ${WINE_DISPLAY})
add_test(NAME display.down COMMAND ${_wine_env} display-down ${WINE_PREFIX} ${WINE_DISPLAY})
set_tests_properties(display.up PROPERTIES FIXTURES_SETUP display)
set_tests_properties(display.down PROPERTIES FIXTURES_CLEANUP display)

# add_wine_test(name COMMAND exe args... [RESULT regex] [NEEDS_DISPLAY] [RESOURCE_LOCK lock])
# A test that runs a Windows program (or a shell script using ${WINE_RUN}).
# RESULT is the test's own report of having passed, by default a last line
# that ends in "passed".
function(add_wine_test name)
    cmake_parse_arguments(ARG "NEEDS_DISPLAY" "RESULT" "COMMAND;RESOURCE_LOCK;LABELS" ${ARGN})
    if(NOT ARG_RESULT)
        set(ARG_RESULT "passed$")
    endif()
    add_test(NAME ${name} COMMAND ${WINE_TEST} ${ARG_RESULT} ${ARG_COMMAND})
    set(fixtures wine)
    if(ARG_NEEDS_DISPLAY)
        list(APPEND fixtures display)
    endif()
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${fixtures}" LABELS "windows;${ARG_LABELS}"
                         ENVIRONMENT "WINE_RUN=${CMAKE_BINARY_DIR}/wine-run;BIN_DIR=${CMAKE_BINARY_DIR}/bin")
    if(ARG_RESOURCE_LOCK)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    endif()
endfunction()
