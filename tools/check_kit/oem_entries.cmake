# oem_entries_header(WXI HEADER): the package's DirectInput entries of one
# controller (controller.wxi) as a C++ table, so that dicheck writes for its
# controller exactly what the package writes for a real one. Each row: the
# subkey below the controller's OEM key, the value's name (nullptr for the
# default value), whether it is binary, and its text (hexadecimal for binary).
function(oem_entries_header wxi header)
    file(READ ${wxi} text)
    string(REPLACE "&amp;" "&" text "${text}")
    string(REGEX MATCHALL "<RegistryValue [^>]*/>" values "${text}")
    set(rows "")
    foreach(value IN LISTS values)
        if(NOT value MATCHES "Key=\"[^\"]*\\\\OEM\\\\VID_\\$\\(var\\.Vid\\)&PID_\\$\\(var\\.Pid\\)([^\"]*)\"")
            message(FATAL_ERROR "${wxi}: an entry outside the controller's OEM key: ${value}")
        endif()
        string(REGEX REPLACE "^\\\\" "" subkey "${CMAKE_MATCH_1}")
        string(REPLACE "\\" "\\\\" subkey "${subkey}")
        set(name nullptr)
        if(value MATCHES " Name=\"([^\"]*)\"")
            set(name "L\"${CMAKE_MATCH_1}\"")
        endif()
        string(REGEX MATCH " Type=\"([a-z]*)\"" _ "${value}")
        set(binary false)
        if(CMAKE_MATCH_1 STREQUAL "binary")
            set(binary true)
        elseif(NOT CMAKE_MATCH_1 STREQUAL "string")
            message(FATAL_ERROR "${wxi}: an entry of a type dicheck does not write: ${value}")
        endif()
        string(REGEX MATCH " Value=\"(#x)?([^\"]*)\"" _ "${value}")
        string(APPEND rows "    {L\"${subkey}\", ${name}, ${binary}, L\"${CMAKE_MATCH_2}\"},\n")
    endforeach()
    file(CONFIGURE OUTPUT ${header} CONTENT "// Made by the build from ${wxi}: do not edit.
#pragma once

#include <windows.h>

struct OemEntry {
    LPCWSTR pszSubkey; // below OEM\\VID_vvvv&PID_pppp
    LPCWSTR pszName;   // nullptr: the key's default value
    bool fBinary;      // REG_BINARY given in hexadecimal, else REG_SZ
    LPCWSTR pszValue;
};

inline constexpr OemEntry OEM_ENTRIES[] = {
${rows}};
" @ONLY)
endfunction()
