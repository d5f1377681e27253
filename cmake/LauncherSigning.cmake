# Authenticode signing of a launcher executable on Linux, with osslsigncode.
# The signature is made after the link, which also strips the executable, so
# it covers the bytes that ship.
#
# Cache variables; all empty by default, and then nothing is signed and the
# build stays reproducible:
#   LAUNCHER_SIGNING_PKCS12         PKCS#12 file with the signing key and its
#                                   certificate (and chain)
#   LAUNCHER_SIGNING_PASSWORD_FILE  file whose first line is that file's
#                                   password (kept off command lines and out
#                                   of the CMake cache)
#   LAUNCHER_SIGNING_TIMESTAMP_URL  an RFC 3161 timestamp server, so that
#                                   the signature outlives the certificate;
#                                   "none" signs without a timestamp (needed
#                                   explicitly: without it, configuring with
#                                   a PKCS#12 file stops)
#
#   launcher_sign(TARGET DESCRIPTION)
#       With LAUNCHER_SIGNING_PKCS12 set, signs TARGET's executable after each
#       link, DESCRIPTION being the program name the signature carries. A
#       changed key or password file relinks and signs again.
#
# As a script (the step after the link):
#   cmake -DOSSLSIGNCODE=<program> -DEXE=<file> -DPKCS12=<file> -DPASSWORD_FILE=<file>
#         -DDESCRIPTION=<text> [-DTIMESTAMP_URL=<url>] -P LauncherSigning.cmake
#   signs into a temporary file that then replaces EXE. When signing fails,
#   EXE is deleted: no unsigned executable stays where a signed one belongs,
#   and the next build links it again.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    cmake_minimum_required(VERSION 3.25)
    set(signed "${EXE}.signed")
    file(REMOVE "${signed}")
    set(timestamp "")
    if(TIMESTAMP_URL)
        set(timestamp -ts "${TIMESTAMP_URL}")
    endif()
    execute_process(
        COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${PKCS12} -readpass ${PASSWORD_FILE}
            -h sha256 -n ${DESCRIPTION} ${timestamp} -in ${EXE} -out ${signed}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT EXISTS "${signed}")
        file(REMOVE "${signed}" "${EXE}")
        message(FATAL_ERROR "signing ${EXE} failed (osslsigncode: ${rc}); the unsigned "
            "executable is deleted:\n${out}")
    endif()
    file(RENAME "${signed}" "${EXE}")
    return()
endif()

set(LAUNCHER_SIGNING_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file to sign the launcher with (Authenticode, osslsigncode); empty: unsigned")
set(LAUNCHER_SIGNING_PASSWORD_FILE "" CACHE FILEPATH
    "File whose first line is the password of LAUNCHER_SIGNING_PKCS12")
set(LAUNCHER_SIGNING_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 timestamp server for the launcher's signature; \"none\": no timestamp")

if(LAUNCHER_SIGNING_PKCS12)
    foreach(var LAUNCHER_SIGNING_PKCS12 LAUNCHER_SIGNING_PASSWORD_FILE)
        if(NOT ${var})
            message(FATAL_ERROR "signing: LAUNCHER_SIGNING_PKCS12 needs LAUNCHER_SIGNING_PASSWORD_FILE")
        elseif(NOT EXISTS "${${var}}" OR IS_DIRECTORY "${${var}}")
            message(FATAL_ERROR "signing: ${var}: no such file: ${${var}}")
        endif()
    endforeach()
    if(NOT LAUNCHER_SIGNING_TIMESTAMP_URL)
        message(FATAL_ERROR "signing: no timestamp server given (LAUNCHER_SIGNING_TIMESTAMP_URL). "
            "A signature without a timestamp dies with the certificate: once the certificate "
            "expires or is revoked, Windows no longer accepts the signed launcher. Give an "
            "RFC 3161 timestamp server, or -DLAUNCHER_SIGNING_TIMESTAMP_URL=none to sign "
            "without one.")
    endif()
    find_program(LAUNCHER_OSSLSIGNCODE osslsigncode)
    if(NOT LAUNCHER_OSSLSIGNCODE)
        message(FATAL_ERROR "signing: osslsigncode is needed to sign the launcher; "
            "scripts/install-deps installs it")
    endif()
elseif(LAUNCHER_SIGNING_PASSWORD_FILE OR LAUNCHER_SIGNING_TIMESTAMP_URL)
    message(FATAL_ERROR "signing: LAUNCHER_SIGNING_PASSWORD_FILE and "
        "LAUNCHER_SIGNING_TIMESTAMP_URL take effect only with LAUNCHER_SIGNING_PKCS12")
endif()

set(_LAUNCHER_SIGNING_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(launcher_sign target description)
    if(NOT LAUNCHER_SIGNING_PKCS12)
        return()
    endif()
    set(timestamp_url "${LAUNCHER_SIGNING_TIMESTAMP_URL}")
    if(timestamp_url STREQUAL "none")
        set(timestamp_url "")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${LAUNCHER_OSSLSIGNCODE}
            -DEXE=$<TARGET_FILE:${target}>
            -DPKCS12=${LAUNCHER_SIGNING_PKCS12}
            -DPASSWORD_FILE=${LAUNCHER_SIGNING_PASSWORD_FILE}
            -DTIMESTAMP_URL=${timestamp_url}
            -DDESCRIPTION=${description}
            -P ${_LAUNCHER_SIGNING_SCRIPT}
        COMMENT "Signing $<TARGET_FILE_NAME:${target}>"
        VERBATIM)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
        ${LAUNCHER_SIGNING_PKCS12} ${LAUNCHER_SIGNING_PASSWORD_FILE})
endfunction()
