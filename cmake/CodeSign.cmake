# Authenticode signatures, made with osslsigncode when the build is given a
# certificate: -DCODESIGN_PFX=PATH, a PKCS#12 file with the certificate and
# its key; its password, if it has one, in the environment variable
# CODESIGN_PASSWORD while the build runs (never on a command line, never in
# the cache); -DCODESIGN_TIMESTAMP_URL=URL for an RFC 3161 time stamp, so
# that the signatures outlive the certificate. Without CODESIGN_PFX nothing
# is signed.
set(CODESIGN_PFX "" CACHE FILEPATH "PKCS#12 certificate that signs the programs and the package (password in CODESIGN_PASSWORD)")
set(CODESIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time stamp server for the signatures, or empty")
if(CODESIGN_PFX)
    find_program(OSSLSIGNCODE osslsigncode)
    if(NOT OSSLSIGNCODE)
        message(FATAL_ERROR "CODESIGN_PFX is given but osslsigncode is missing: run scripts/setup.sh")
    endif()
    if(NOT EXISTS ${CODESIGN_PFX})
        message(FATAL_ERROR "CODESIGN_PFX: no certificate at ${CODESIGN_PFX}")
    endif()
endif()

# corvane_sign_command(VAR FILE): in VAR, the COMMAND that signs FILE in
# place, for add_custom_command; empty without a certificate.
function(corvane_sign_command var file)
    set(command "")
    if(CODESIGN_PFX)
        set(command COMMAND ${CMAKE_SOURCE_DIR}/scripts/codesign ${CODESIGN_PFX} ${file} ${CODESIGN_TIMESTAMP_URL})
    endif()
    set(${var} ${command} PARENT_SCOPE)
endfunction()
