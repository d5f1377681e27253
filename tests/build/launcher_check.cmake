# Checks a built launcher executable, without running it:
#  - PE32 (i386) or PE32+ (x86-64) as BITS says, GUI subsystem, Windows 7
#    (6.1) as OS and subsystem version, no link timestamp, importing only
#    KERNEL32 and msvcrt;
#  - its own entry point: inside .text, and no section of the C runtime's
#    start-up code (.CRT, .tls), which it does not run;
#  - 32-bit: no SSE or MMX instruction, so that it runs on every processor
#    32-bit Windows 7 runs on;
#  - its resources: the payloads given, icon group 101 with icons 1 to 4, the
#    version block, the manifest, strings 500/501 only when expected, no
#    resource timestamps;
#  - with REBUILD_DIR set: the same sources, configured and built again in
#    another folder, give the same bytes.
#
#   cmake -DLAUNCHER=<exe> -DOBJDUMP=<objdump> -DBITS=32|64 -DPAYLOADS=<names;...> -DSTRING_TABLE=TRUE|FALSE
#         [-DREBUILD_DIR=<dir> -DSOURCE_DIR=<repo> -DTOOLCHAIN=<file>
#          -DBUILD_TYPE=<type> -DPAYLOAD_DIR=<dir>] -P launcher_check.cmake
cmake_minimum_required(VERSION 3.25)

set(failures "")
macro(fail what)
    list(APPEND failures "${what}")
endmacro()

execute_process(COMMAND ${OBJDUMP} -p ${LAUNCHER}
    OUTPUT_VARIABLE pe RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${LAUNCHER}: ${err}")
endif()

# ---- PE header and imports ----------------------------------------------
# The 32-bit build is a PE32 i386 image, the x64 build a PE32+ one.
if(BITS EQUAL 64)
    set(format pei-x86-64)
    set(magic 020b)
else()
    set(format pei-i386)
    set(magic 010b)
endif()
if(NOT (pe MATCHES "file format ${format}"))
    fail("not a ${format} image")
endif()
if(NOT (pe MATCHES "\nMagic[ \t]+${magic}"))
    fail("optional header magic is not ${magic}")
endif()
if(NOT (pe MATCHES "\nSubsystem[ \t]+00000002"))
    fail("subsystem is not Windows GUI")
endif()
# Windows 7 (6.1), the oldest system the manifest names.
foreach(field OSystem Subsystem)
    if(NOT (pe MATCHES "\nMajor${field}Version[ \t]+6\n" AND pe MATCHES "\nMinor${field}Version[ \t]+1\n"))
        fail("the ${field} version in the header is not 6.1")
    endif()
endforeach()
if(NOT (pe MATCHES "\nTime/Date[ \t]+Thu Jan  1 00:00:00 1970"))
    fail("the PE header carries a link timestamp")
endif()

# KERNEL32 and the C runtime only: every other system DLL is loaded from the
# system folder after the DLL search has been restricted to it, so that no
# DLL planted beside the executable is loaded in its place. A mingw runtime
# DLL would moreover have to be shipped beside the executable.
set(system_dlls kernel32 msvcrt)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${pe}")
if(NOT imports)
    fail("no imports found")
endif()
foreach(line IN LISTS imports)
    string(REGEX REPLACE "DLL Name: (.+)\\.[dD][lL][lL]$" "\\1" dll "${line}")
    string(TOLOWER "${dll}" dll)
    if(NOT (dll IN_LIST system_dlls))
        fail("imports a DLL other than KERNEL32 and msvcrt: ${line}")
    endif()
endforeach()

# No TLS and no C runtime initialiser tables: the launcher's own entry point
# runs neither TLS callbacks' set-up nor the C runtime's start-up code.
execute_process(COMMAND ${OBJDUMP} -h ${LAUNCHER}
    OUTPUT_VARIABLE sections RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump -h failed on ${LAUNCHER}: ${err}")
endif()
foreach(section .CRT .tls)
    string(REPLACE "." "\\." pattern "${section}")
    if(sections MATCHES "\n +[0-9]+ ${pattern}[ \t]")
        fail("a ${section} section is present")
    endif()
endforeach()
# The 32-bit launcher's code uses no SSE (nor MMX) register.
if(BITS EQUAL 32)
    execute_process(COMMAND ${OBJDUMP} -d ${LAUNCHER}
        OUTPUT_VARIABLE code RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "objdump -d failed on ${LAUNCHER}: ${err}")
    endif()
    string(REGEX MATCHALL "[^\n]*%x?mm[0-9][^\n]*" vector "${code}")
    list(LENGTH vector count)
    if(count GREATER 0)
        list(GET vector 0 first)
        fail("${count} instructions use SSE or MMX registers, the first: ${first}")
    endif()
endif()
# The entry point lies in the code section.
string(REGEX MATCH "\nAddressOfEntryPoint[ \t]+([0-9a-fA-F]+)" _ "${pe}")
set(entry_rva "${CMAKE_MATCH_1}")
string(REGEX MATCH "\n +[0-9]+ \\.text +([0-9a-f]+) +([0-9a-f]+)" _ "${sections}")
set(text_size "${CMAKE_MATCH_1}")
set(text_vma "${CMAKE_MATCH_2}")
string(REGEX MATCH "\nImageBase[ \t]+([0-9a-fA-F]+)" _ "${pe}")
set(image_base "${CMAKE_MATCH_1}")
if(NOT entry_rva OR NOT text_size OR NOT image_base)
    fail("entry point or .text not found")
else()
    # Relative to the image base, so that the figures fit CMake's integers.
    math(EXPR text_start "0x${text_vma} - 0x${image_base}")
    math(EXPR text_end "${text_start} + 0x${text_size}")
    math(EXPR entry "0x${entry_rva}")
    if(entry EQUAL 0 OR entry LESS text_start OR NOT entry LESS text_end)
        fail("the entry point 0x${entry_rva} is not in .text")
    endif()
endif()
# Constant data stays read-only, in a section of its own.
if(NOT (sections MATCHES "\n +[0-9]+ \\.rdata[ \t]"))
    fail("no .rdata section: read-only data was folded into a writable one")
endif()

# ---- Resources ------------------------------------------------------------
string(FIND "${pe}" "The .rsrc Resource Directory section" at)
if(at EQUAL -1)
    fail("no resource directory")
endif()
string(SUBSTRING "${pe}" ${at} -1 rsrc)
foreach(name IN LISTS PAYLOADS)
    if(NOT (rsrc MATCHES "]: ${name}, Value"))
        fail("payload ${name} not embedded")
    endif()
endforeach()
# Named entries are the types EXE and MSI and the payload names only.
string(REGEX MATCHALL "]: [A-Z0-9_]+, Value" named "${rsrc}")
list(TRANSFORM named REPLACE "]: ([A-Z0-9_]+), Value" "\\1")
list(REMOVE_ITEM named EXE MSI ${PAYLOADS})
if(named)
    list(JOIN named " " named)
    fail("unexpected named resources: ${named}")
endif()
# Type 3 icons with ids 1-4, type 14 group 101 (0x65), 16 version, 24 manifest.
foreach(id 000003 00000e 000010 000018)
    if(NOT (rsrc MATCHES "\n[0-9a-f]+   Entry: ID: 0x${id}"))
        fail("no resource of type 0x${id}")
    endif()
endforeach()
if(NOT (rsrc MATCHES "Entry: ID: 0x000003[^\n]*\n[^\n]*IDs: 4\n"))
    fail("the icon type does not hold 4 images")
endif()
if(NOT (rsrc MATCHES "Entry: ID: 0x00000e[^\n]*\n[^\n]*\n[^\n]*Entry: ID: 0x000065"))
    fail("no icon group 101")
endif()
if(rsrc MATCHES "\n[0-9a-f]+   Entry: ID: 0x000006")
    set(has_strings TRUE)
else()
    set(has_strings FALSE)
endif()
if(NOT has_strings STREQUAL STRING_TABLE)
    fail("string table present: ${has_strings}, expected: ${STRING_TABLE}")
endif()
if(rsrc MATCHES "Time: [0-9a-f]*[1-9a-f]")
    fail("a resource directory carries a timestamp")
endif()

# The manifest, read from the file through its resource entry (a payload may
# carry manifests of its own). The x64 launcher asks for administrator
# rights; the 32-bit one must not ask for any level, which would switch off
# the installer detection that elevates it.
string(REGEX MATCH "\n[0-9a-f]+   Entry: ID: 0x000018.*" manifest_entry "${rsrc}")
string(REGEX MATCH "Leaf: Addr: 0x([0-9a-f]+), Size: 0x([0-9a-f]+)" _ "${manifest_entry}")
set(manifest_rva "${CMAKE_MATCH_1}")
set(manifest_size "${CMAKE_MATCH_2}")
string(REGEX MATCH "\n +[0-9]+ \\.rsrc +[0-9a-f]+ +([0-9a-f]+) +[0-9a-f]+ +([0-9a-f]+)" _ "${sections}")
if(NOT manifest_rva OR NOT CMAKE_MATCH_1)
    fail("the manifest's resource entry or .rsrc not found")
else()
    math(EXPR manifest_offset "0x${CMAKE_MATCH_2} + 0x${manifest_rva} - (0x${CMAKE_MATCH_1} - 0x${image_base})")
    math(EXPR manifest_size "0x${manifest_size}")
    file(READ ${LAUNCHER} manifest OFFSET ${manifest_offset} LIMIT ${manifest_size})
    if(BITS EQUAL 64)
        set(arch amd64)
        set(want_levels "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>")
    else()
        set(arch x86)
        set(want_levels "")
    endif()
    if(NOT (manifest MATCHES "^<\\?xml.*</assembly>" AND manifest MATCHES "processorArchitecture=\"${arch}\""))
        fail("the manifest is not found or does not name ${arch}")
    endif()
    string(REGEX MATCHALL "<requestedExecutionLevel[^>]*>" levels "${manifest}")
    if(NOT (levels STREQUAL want_levels))
        fail("the manifest's execution levels are \"${levels}\", expected \"${want_levels}\"")
    endif()
endif()

# ---- Reproducible build ---------------------------------------------------
if(REBUILD_DIR)
    file(REMOVE_RECURSE ${REBUILD_DIR})
    # An empty PAYLOAD_DIR means the demo payloads, which the second build
    # makes afresh.
    set(payload_option "")
    if(PAYLOAD_DIR)
        set(payload_option -DLAUNCHER_PAYLOAD_DIR=${PAYLOAD_DIR})
    endif()
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${REBUILD_DIR} -G Ninja
            -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
            ${payload_option}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "configuring the second build failed:\n${out}")
    endif()
    execute_process(
        COMMAND ${CMAKE_COMMAND} --build ${REBUILD_DIR} --target InstallerLauncher -j 2
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "the second build failed:\n${out}")
    endif()
    get_filename_component(exe_name ${LAUNCHER} NAME)
    file(SHA256 ${LAUNCHER} first)
    file(SHA256 ${REBUILD_DIR}/${exe_name} second)
    if(NOT (first STREQUAL second))
        fail("a second build in ${REBUILD_DIR} differs (${first} vs ${second})")
    endif()
    if(first STREQUAL second)
        file(REMOVE_RECURSE ${REBUILD_DIR})
    endif()
endif()

if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "${LAUNCHER}:\n  ${text}")
endif()
set(note "")
if(REBUILD_DIR)
    set(note ", same bytes when built again")
endif()
message(STATUS "${LAUNCHER}: ${format} GUI for Windows 6.1, entry point in .text, no .CRT or .tls, system DLLs only, resources as expected${note}")
