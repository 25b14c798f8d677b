# Makes the check kit from the build's programs: run by the check-kit target
# (cmake -P) with BIN_DIR, KIT_DIR, PROGRAMS, X86_BUILD, README, CHECK_EXE,
# and CERT_DIR, OPENSSL and OSSLSIGNCODE for the drivers' test signature.
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

# The virtual controller's drivers signed with a test certificate of the
# build's own, made once per build folder: a throwaway, whose key the kit
# carries so that a tester can sign the catalog that Windows' tools make
# (README.txt). No Linux tool here makes a .cat catalog.
if(OPENSSL AND OSSLSIGNCODE)
    if(NOT EXISTS ${CERT_DIR}/kit-test-signing.pfx)
        file(MAKE_DIRECTORY ${CERT_DIR})
        execute_process(COMMAND ${OPENSSL} req -x509 -newkey rsa:2048 -nodes -keyout ${CERT_DIR}/key.pem
                                -out ${CERT_DIR}/cert.pem -days 730 -subj "/CN=Corvane check kit test signing"
                                -addext "extendedKeyUsage=codeSigning"
                        COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
        execute_process(COMMAND ${OPENSSL} x509 -in ${CERT_DIR}/cert.pem -outform DER
                                -out ${CERT_DIR}/kit-test-signing.cer COMMAND_ERROR_IS_FATAL ANY)
        execute_process(COMMAND ${OPENSSL} pkcs12 -export -out ${CERT_DIR}/kit-test-signing.pfx
                                -inkey ${CERT_DIR}/key.pem -in ${CERT_DIR}/cert.pem -passout pass:
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
    file(COPY ${CERT_DIR}/kit-test-signing.cer ${CERT_DIR}/kit-test-signing.pfx DESTINATION ${KIT_DIR}/certificate)
    foreach(driver vcbus.sys vchid.sys)
        file(RENAME ${KIT_DIR}/x64/${driver} ${KIT_DIR}/x64/${driver}.unsigned)
        execute_process(COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${CERT_DIR}/kit-test-signing.pfx -pass ""
                                -h sha256 -in ${KIT_DIR}/x64/${driver}.unsigned -out ${KIT_DIR}/x64/${driver}
                        COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
        file(REMOVE ${KIT_DIR}/x64/${driver}.unsigned)
    endforeach()
else()
    message(STATUS "The kit's drivers are not signed: openssl or osslsigncode is missing")
endif()
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
