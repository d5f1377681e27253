# Checks the payload checks (cmake/PayloadCheck.cmake): a table of files in
# slots they do or do not fit, run through the check as a script; then, in a
# scratch build of this project, that configuring stops on a bad payload
# folder and that the build stops on a bad payload it made itself.
#
#   cmake -DSOURCE_DIR=<repo> -DWORK_DIR=<scratch> -DDEMO_PAYLOADS=<demo-payloads>
#         -DTOOLCHAIN=<file> -P payload_check.cmake
cmake_minimum_required(VERSION 3.25)

set(check_script ${SOURCE_DIR}/cmake/PayloadCheck.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(failures 0)

function(fail what)
    message(SEND_ERROR "FAIL ${what}")
    math(EXPR n "${failures} + 1")
    set(failures ${n} PARENT_SCOPE)
endfunction()

# Stands in for msiinfo: the "package" is a text file holding the platform
# field of its Template property.
set(fake_msiinfo ${WORK_DIR}/fake_msiinfo)
file(WRITE ${fake_msiinfo} "#!/bin/sh\necho 'Title: Installation Database'\necho \"Template: $(cat \"$2\");1033\"\n")
file(CHMOD ${fake_msiinfo} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

string(REPEAT "x" 62 padding)
# name | slot file | content | expected message, empty when the file fits
#   content: demo:FILE      the bytes of a demo payload
#            text:TEXT      a text file
#            platform:TEXT  a package whose Template names platform TEXT
set(cases
    "x64_in_32|MSI32.msi|demo:MSI64.msi|slot MSI32 needs a package for Intel, but this one is for \"x64\" \\(Template \"x64.1033\"\\)"
    "intel_in_64|MSI_WIN10_64.msi|demo:MSI_WIN10_32.msi|slot MSI_WIN10_64 needs a package for x64, but this one is for \"Intel\""
    "text_as_msi|MSI64.msi|text:not a package|slot MSI64 needs a Windows Installer package, but this file is none"
    "msi_as_exe|VC2005_REDIST_64.exe|demo:MSI64.msi|slot VC2005_REDIST_64 needs a Windows executable, but this file is none"
    "mz_without_pe|UNINST.exe|text:MZ${padding}|slot UNINST needs a Windows executable"
    "no_platform_in_64|MSI64.msi|platform: |slot MSI64 needs a package for x64, but this one is for \"\""
    "intel_in_32|MSI_WIN10_32.msi|demo:MSI_WIN10_32.msi|"
    "x64_in_64|MSI64.msi|demo:MSI64.msi|"
    "no_platform_in_32|MSI32.msi|platform: |"
    "amd64_in_64|MSI_WIN10_64.msi|platform:AMD64|"
    "x64_exe_in_32|VC2005_REDIST_32.exe|demo:VC2005_REDIST_64.exe|"
    "x64_in_arm64|MSI_WIN10_ARM64.msi|demo:MSI_WIN10_64.msi|slot MSI_WIN10_ARM64 needs a package for Arm64, but this one is for \"x64\""
    "arm64_in_64|MSI_WIN10_64.msi|platform:Arm64|slot MSI_WIN10_64 needs a package for x64, but this one is for \"Arm64\""
    "arm64_in_arm64|MSI_WIN10_ARM64.msi|platform:arm64|")
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" parts "${case}")
    list(GET parts 0 name)
    list(GET parts 1 slot_file)
    list(GET parts 2 content)
    list(LENGTH parts n)
    set(expected "")
    if(n GREATER 3)
        list(GET parts 3 expected)
    endif()
    set(file ${WORK_DIR}/${name}/${slot_file})
    file(MAKE_DIRECTORY ${WORK_DIR}/${name})
    set(msiinfo "")
    if(content MATCHES "^demo:(.*)")
        file(COPY_FILE ${DEMO_PAYLOADS}/${CMAKE_MATCH_1} ${file})
    elseif(content MATCHES "^text:(.*)")
        file(WRITE ${file} "${CMAKE_MATCH_1}")
    elseif(content MATCHES "^platform:(.*)")
        file(WRITE ${file} "${CMAKE_MATCH_1}")
        set(msiinfo -DMSIINFO=${fake_msiinfo})
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} ${msiinfo} -P ${check_script} ${file}
        RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
    string(REGEX REPLACE "[ \n]+" " " err "${err}")
    if(expected STREQUAL "")
        if(NOT rc EQUAL 0)
            fail("${name}: refused:\n${err}")
        endif()
    elseif(rc EQUAL 0)
        fail("${name}: accepted")
    elseif(NOT err MATCHES "${expected}")
        fail("${name}: message does not match \"${expected}\":\n${err}")
    else()
        string(FIND "${err}" "${file}:" at)
        if(at EQUAL -1)
            fail("${name}: message does not name the file:\n${err}")
        endif()
    endif()
endforeach()

# ---- The checks in a build of this project -----------------------------------
set(build ${WORK_DIR}/build)
function(configure)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -G Ninja
            -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release ${ARGN}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    string(REGEX REPLACE "[ \n]+" " " out "${out}")
    set(rc ${rc} PARENT_SCOPE)
    set(out "${out}" PARENT_SCOPE)
endfunction()

# A payload folder with a text file as MSI32: configuring stops.
set(folder ${WORK_DIR}/payload_folder)
file(COPY ${DEMO_PAYLOADS}/MSI64.msi ${DEMO_PAYLOADS}/VC2005_REDIST_32.exe DESTINATION ${folder})
file(WRITE ${folder}/MSI32.msi "not a package")
configure(-DLAUNCHER_PAYLOAD_DIR=${folder})
if(rc EQUAL 0)
    fail("configuring with a text file as MSI32 succeeded")
elseif(NOT out MATCHES "${folder}/MSI32.msi: slot MSI32 needs a Windows Installer package")
    fail("configuring with a text file as MSI32 failed otherwise:\n${out}")
endif()

# The demo payloads, made by the build: the one that turns out wrong stops
# the build before the launcher is made. MSI64 is overwritten after it is
# made, so the build keeps it as it is.
configure(-DLAUNCHER_PAYLOAD_DIR=)
if(NOT rc EQUAL 0)
    fail("configuring with the demo payloads failed:\n${out}")
else()
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${build} --target demo_payloads -j 2
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        fail("building the demo payloads failed:\n${out}")
    endif()
    file(COPY_FILE ${build}/demo-payloads/MSI32.msi ${build}/demo-payloads/MSI64.msi)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${build} --target InstallerLauncher -j 2
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    string(REGEX REPLACE "[ \n]+" " " out "${out}")
    if(rc EQUAL 0)
        fail("the launcher was built with an Intel package as MSI64")
    elseif(NOT out MATCHES "demo-payloads/MSI64.msi: slot MSI64 needs a package for x64")
        fail("the build with an Intel package as MSI64 failed otherwise:\n${out}")
    elseif(EXISTS ${build}/InstallerLauncher.exe)
        fail("the launcher was made although its payload was refused")
    endif()
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} payload check(s) failed")
endif()
file(REMOVE_RECURSE ${build})
list(LENGTH cases n)
message(STATUS "payload checks passed (${n} files in slots, a refused configure, a refused build)")
