# Checks payload files against the slots they fill, so that a build cannot
# embed a package that the launcher would hand to the wrong Windows, or a
# file that is no installer at all. The slot is the file's name (MSI64.msi
# fills MSI64):
#   MSI32, MSI_WIN10_32   a Windows Installer package for "Intel"
#   MSI64, MSI_WIN10_64   a Windows Installer package for "x64" (or "AMD64")
#   MSI_WIN10_ARM64       a Windows Installer package for "Arm64"
#   the EXE slots         a PE executable; its machine is not checked, since
#                         x64 runtime installers are often 32-bit programs
# A package's platform is the first field of the Template property of its
# summary information ("x64;1033"), read with msiinfo (Debian's msitools).
# An empty platform means "Intel" to Windows Installer, and here too.
#
#   launcher_payload_check(FILE...)
#       Stops with FATAL_ERROR naming the file and its slot at the first
#       file that does not fit.
#
# As a script, for payloads that the build makes (checked before they are
# embedded):
#   cmake [-DMSIINFO=/usr/bin/msiinfo] -P PayloadCheck.cmake FILE...

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    cmake_minimum_required(VERSION 3.25)
endif()

set(_LAUNCHER_PAYLOAD_CHECK_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
if(MSIINFO)
    set(LAUNCHER_MSIINFO ${MSIINFO})
else()
    find_program(LAUNCHER_MSIINFO msiinfo)
endif()

# _launcher_msi_platform(FILE NAME OUT): the platform named by the package's
# Template property, with blanks trimmed.
function(_launcher_msi_platform file name out)
    if(NOT LAUNCHER_MSIINFO)
        message(FATAL_ERROR "launcher payloads: msiinfo (Debian package msitools) is needed "
            "to check the MSI payloads; scripts/install-deps installs it")
    endif()
    # msiinfo exits with 0 even when it cannot open the file; what tells is
    # whether it printed the summary information.
    execute_process(COMMAND ${LAUNCHER_MSIINFO} suminfo ${file}
        OUTPUT_VARIABLE summary ERROR_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR NOT summary MATCHES "(^|\n)Template: ([^\n]*)")
        message(FATAL_ERROR "launcher payloads: ${file}: slot ${name} needs a Windows "
            "Installer package, but this file is none (its summary information cannot be read)")
    endif()
    set(template "${CMAKE_MATCH_2}")
    string(FIND "${template}" ";" semicolon)
    string(SUBSTRING "${template}" 0 ${semicolon} platform)
    string(STRIP "${platform}" platform)
    set(${out} "${platform}" PARENT_SCOPE)
    set(${out}_TEMPLATE "${template}" PARENT_SCOPE)
endfunction()

# _launcher_check_pe(FILE NAME): an "MZ" header whose e_lfanew field (offset
# 0x3C, little-endian) points at the "PE\0\0" signature inside the file.
function(_launcher_check_pe file name)
    file(SIZE "${file}" size)
    set(pe FALSE)
    if(size GREATER_EQUAL 64)
        file(READ "${file}" header LIMIT 64 HEX)
        string(SUBSTRING "${header}" 120 8 field)
        string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\4\\3\\2\\1" field "${field}")
        math(EXPR offset "0x${field}")
        math(EXPR end "${offset} + 4")
        if(header MATCHES "^4d5a" AND end LESS_EQUAL size)
            file(READ "${file}" signature OFFSET ${offset} LIMIT 4 HEX)
            if(signature STREQUAL "50450000")
                set(pe TRUE)
            endif()
        endif()
    endif()
    if(NOT pe)
        message(FATAL_ERROR "launcher payloads: ${file}: slot ${name} needs a Windows "
            "executable, but this file is none (no PE header)")
    endif()
endfunction()

function(launcher_payload_check)
    foreach(file IN LISTS ARGN)
        get_filename_component(name "${file}" NAME_WLE)
        if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
            message(FATAL_ERROR "launcher payloads: ${file}: no such file (slot ${name})")
        endif()
        # ARM64 Windows has no version before 10, so no other ARM64 slot.
        if(name MATCHES "^MSI(_WIN10)?_?(32|64)$" OR name STREQUAL "MSI_WIN10_ARM64")
            if(name STREQUAL "MSI_WIN10_ARM64")
                set(wanted Arm64)
                set(accepted arm64)
            elseif(CMAKE_MATCH_2 EQUAL 32)
                set(wanted Intel)
                set(accepted intel "")
            else()
                set(wanted x64)
                set(accepted x64 amd64)
            endif()
            _launcher_msi_platform("${file}" ${name} platform)
            string(TOLOWER "${platform}" key)
            if(NOT key IN_LIST accepted)
                message(FATAL_ERROR "launcher payloads: ${file}: slot ${name} needs a package "
                    "for ${wanted}, but this one is for \"${platform}\" "
                    "(Template \"${platform_TEMPLATE}\")")
            endif()
        else()
            _launcher_check_pe("${file}" ${name})
        endif()
    endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    # The files are the arguments after the script's name.
    set(files "")
    set(first 0)
    math(EXPR last "${CMAKE_ARGC} - 1")
    foreach(i RANGE 1 ${last})
        if(first AND i GREATER_EQUAL first)
            list(APPEND files "${CMAKE_ARGV${i}}")
        elseif(CMAKE_ARGV${i} STREQUAL "-P")
            math(EXPR first "${i} + 2")
        endif()
    endforeach()
    launcher_payload_check(${files})
endif()
