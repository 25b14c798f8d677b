# GoogleTest from Debian's sources, built by the project for whichever target
# this tree builds (native gcc, sanitizers or mingw-w64).
set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
# GoogleTest's own sources do not build warning-free under -Werror everywhere.
set(_saved_options "${CMAKE_CXX_FLAGS}")
add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
        target_compile_options(${t} PRIVATE -Wno-error)
    endif()
endforeach()
include(GoogleTest)

# add_project_gtest(target SOURCES ... [LIBS ...] [LABELS ...] [RESOURCE_LOCK ...] [NO_MAIN])
# One test program; every TEST in it becomes its own ctest test. Under the
# Windows build each runs in its own Wine process in the project's prefix.
function(add_project_gtest target)
    cmake_parse_arguments(ARG "NO_MAIN;NEEDS_DISPLAY" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    if(ARG_NO_MAIN)
        target_link_libraries(${target} PRIVATE ${ARG_LIBS} gtest gmock)
    else()
        target_link_libraries(${target} PRIVATE ${ARG_LIBS} gtest_main gmock)
    endif()
    if(WIN32)
        # Under Wine a crashed program often ends with status 0: a run passes
        # only with GoogleTest's summary and no unhandled exception.
        set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR ${WINE_TEST} gtest
                                                                        ${CMAKE_CROSSCOMPILING_EMULATOR})
    endif()
    if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
        # Every 32-bit process is emulated, and slow to start: the 32-bit
        # build runs groups of tests in a few processes instead (add_x86_run).
        return()
    endif()
    if(WIN32)
        # Scanning the sources keeps the test list known at configure time:
        # nothing has to run under Wine before the prefix exists.
        gtest_add_tests(TARGET ${target} SOURCES ${ARG_SOURCES} TEST_LIST tests)
        set(fixtures wine)
        if(ARG_NEEDS_DISPLAY)
            list(APPEND fixtures display)
        endif()
        set_tests_properties(${tests} PROPERTIES FIXTURES_REQUIRED "${fixtures}" LABELS "windows;${ARG_LABELS}")
    else()
        set(props LABELS "native;${ARG_LABELS}")
        if(ARG_RESOURCE_LOCK)
            list(APPEND props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
        endif()
        gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 PROPERTIES ${props})
    endif()
    if(WIN32 AND ARG_RESOURCE_LOCK)
        set_tests_properties(${tests} PROPERTIES RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    endif()
endfunction()
