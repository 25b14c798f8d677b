# The package's part for its controllers, written at configure time so that
# a malformed id stops the build before any package is made. Also runs on its
# own (the tests do):
#   cmake -D DEVICES="845E:0001;7C4A:0102" -D OUTPUT=controllers.wxi -P controllers.cmake
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    cmake_minimum_required(VERSION 3.25)
endif()

# corvane_controllers_wxi(FILE DEVICES): writes the package's part for the
# controllers, refusing an id that is not VVVV:PPPP or is named twice. A
# Supported Device Attribute is vendor id * 65536 + product id, written as
# the signed 32-bit number the installer's registry table takes.
function(corvane_controllers_wxi file devices)
    set(body "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n")
    set(list_values "")
    set(seen "")
    set(index 0)
    foreach(device IN LISTS devices)
        string(TOUPPER "${device}" id)
        if(NOT id MATCHES "^([0-9A-F][0-9A-F][0-9A-F][0-9A-F]):([0-9A-F][0-9A-F][0-9A-F][0-9A-F])$")
            message(FATAL_ERROR "BRASQUET_DEVICES: '${device}' is not a controller id: give the vendor and "
                                "product id as two 4-digit hexadecimal numbers, as in 7C4A:0102")
        endif()
        if(id IN_LIST seen)
            message(FATAL_ERROR "BRASQUET_DEVICES: ${device} is named twice")
        endif()
        list(APPEND seen ${id})
        set(vid ${CMAKE_MATCH_1})
        set(pid ${CMAKE_MATCH_2})
        math(EXPR attribute "0x${vid}${pid}")
        if(attribute GREATER_EQUAL 2147483648)
            math(EXPR attribute "${attribute} - 4294967296")
        endif()
        string(APPEND body "  <?define Vid = \"${vid}\"?><?define Pid = \"${pid}\"?><?include controller.wxi?>\n")
        string(APPEND list_values "    <RegistryValue Root=\"HKLM\" Key=\"$(var.Parameters)\" "
                                  "Name=\"Supported Device Attribute ${index}\" Type=\"integer\" Value=\"${attribute}\"/>\n")
        math(EXPR index "${index} + 1")
    endforeach()
    if(index EQUAL 0)
        message(FATAL_ERROR "BRASQUET_DEVICES names no controller")
    endif()
    # The list replaces the one before as a whole; the profiles beside it in
    # the Parameters key belong to the user and stay.
    string(APPEND body "  <?define Parameters = \"SYSTEM\\CurrentControlSet\\Services\\CorvaneWirelessController\\Parameters\"?>\n"
                       "  <Component Id=\"SupportedDeviceList\" Guid=\"*\" Win64=\"yes\">\n"
                       "    <RegistryValue Root=\"HKLM\" Key=\"$(var.Parameters)\" Name=\"Supported Device Count\" "
                       "Type=\"integer\" Value=\"${index}\" KeyPath=\"yes\"/>\n"
                       "${list_values}  </Component>\n</Include>\n")
    file(CONFIGURE OUTPUT ${file} CONTENT "${body}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    corvane_controllers_wxi("${OUTPUT}" "${DEVICES}")
endif()
