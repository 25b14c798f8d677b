# Makes the check kit from the build's programs: run by the check-kit target
# (cmake -P) with BIN_DIR, KIT_DIR, PROGRAMS, X86_BUILD, README and CHECK_EXE.
file(REMOVE_RECURSE ${KIT_DIR} ${KIT_DIR}.zip)
file(MAKE_DIRECTORY ${KIT_DIR}/x64)

# The test programs find what they test and their helpers beside them, as in
# the build's bin folder: the deliverables, the test DLLs and programs, the
# virtual controller. The packages the scripted tests build for Wine's own
# device stay behind: only the product's package goes in.
file(GLOB _files ${BIN_DIR}/*.exe ${BIN_DIR}/*.dll ${BIN_DIR}/*.sys ${BIN_DIR}/*.inf ${BIN_DIR}/*.cat
     ${BIN_DIR}/*.cer)
list(FILTER _files EXCLUDE REGEX "/(check|test_end_tests)\\.exe$")
file(COPY ${_files} DESTINATION ${KIT_DIR}/x64)
file(COPY ${BIN_DIR}/CorvaneWirelessController.msi DESTINATION ${KIT_DIR}/packages)
file(COPY ${CHECK_EXE} ${README} DESTINATION ${KIT_DIR})

file(READ ${PROGRAMS} _manifest)
if(EXISTS ${X86_BUILD}/check-kit-programs.txt)
    file(GLOB _files ${X86_BUILD}/bin/*.exe ${X86_BUILD}/bin/*.dll)
    file(COPY ${_files} DESTINATION ${KIT_DIR}/x86)
    file(READ ${X86_BUILD}/check-kit-programs.txt _x86)
    string(APPEND _manifest "${_x86}")
    message(STATUS "The kit holds the x86 programs of ${X86_BUILD}")
else()
    message(STATUS "No x86 programs in the kit: ${X86_BUILD} has not been built")
endif()
file(WRITE ${KIT_DIR}/manifest.txt "${_manifest}")

get_filename_component(_parent ${KIT_DIR} DIRECTORY)
get_filename_component(_name ${KIT_DIR} NAME)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${KIT_DIR}.zip --format=zip ${_name}
                WORKING_DIRECTORY ${_parent} RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
    message(FATAL_ERROR "cannot make ${KIT_DIR}.zip: ${_result}")
endif()
