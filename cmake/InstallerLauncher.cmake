# add_installer_launcher(): builds one launcher executable.
#
#   add_installer_launcher(TARGET name
#       [SETTINGS file.json]                 default: ${LAUNCHER_SETTINGS}
#       [PAYLOAD_DIR dir | PAYLOADS file...] default: the build's payload set
#       [DEPENDS target...]                  targets that produce the payload files
#       [OUTPUT_DIR dir]                     default: ${CMAKE_CURRENT_BINARY_DIR}
#       [OUTPUT_NAME name]                   default: name (".exe" is added)
#       [SIGNED]                             signed when LAUNCHER_SIGNING_PKCS12 is set
#       [NO_PAYLOADS])                       carries no payload at all (the bare stub)
#
# The target gets the properties LAUNCHER_PAYLOAD_NAMES (resource names
# embedded), LAUNCHER_PAYLOAD_DIR (their folder, when they came from one) and
# LAUNCHER_STRING_TABLE (TRUE when string 500 or 501 is carried).
#
# The executable is launcher_entry (wWinMain) + launcher_core + the settings
# generated from SETTINGS + a resource script with the manifest, version
# block, icon, the payloads and the legacy question texts the settings hold
# (text as string 500, title as string 501).
#
# Payloads are files named after their resource, with the extension of its
# type: VC2005_REDIST_32.exe, VC2005_REDIST_64.exe, UNINST.exe, UNINST2.exe,
# MSI32.msi, MSI64.msi, MSI_WIN10_32.msi, MSI_WIN10_64.msi and the optional
# MSI_WIN10_ARM64.msi (ARM64 Windows 10 and later).
#   PAYLOAD_DIR dir   embeds those of the nine that exist in dir when CMake
#                     runs (adding or removing one there reconfigures).
#   PAYLOADS files    embeds exactly these files; they may be produced by the
#                     build (name the producing targets in DEPENDS).
# Neither: the build's payload set (LAUNCHER_PAYLOAD_DIR if set, else the demo
# payloads of target demo_payloads).
# Each payload is checked against its slot (cmake/PayloadCheck.cmake): an MSI
# slot needs a Windows Installer package for its platform, an EXE slot a PE
# executable. Payloads are checked when CMake runs (and again whenever one of
# them changes), except when DEPENDS is given: those files are made by the
# build, so they are checked at build time, before they are embedded.
#
# Example, a variant that also carries the legacy uninstaller:
#   add_installer_launcher(TARGET launcher_with_uninst
#       SETTINGS ${CMAKE_CURRENT_SOURCE_DIR}/legacy.json
#       PAYLOADS ${LAUNCHER_DEMO_PAYLOADS} ${LAUNCHER_DEMO_PAYLOAD_DIR}/extra/UNINST.exe
#       DEPENDS demo_payloads
#       OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/with_uninst OUTPUT_NAME InstallerLauncher)
#
# A changed settings file reconfigures; a changed payload, icon or manifest
# recompiles the resource script; either relinks the executable.
#
# SIGNED: the executable gets an Authenticode signature after each link when
# the signing variables are set (cmake/LauncherSigning.cmake). The build's
# InstallerLauncher is SIGNED; test and demo variants are not.

include(${CMAKE_CURRENT_LIST_DIR}/LauncherSettings.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/PayloadCheck.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/LauncherSigning.cmake)

set(LAUNCHER_SETTINGS ${CMAKE_CURRENT_LIST_DIR}/../resources/launcher_settings.json
    CACHE FILEPATH "Settings file (JSON) of the launcher executable")
set(LAUNCHER_PAYLOAD_DIR "" CACHE PATH
    "Folder of payload files to embed; empty: the demo payloads made by the build")

# Every payload the launcher knows, as resource names.
set(LAUNCHER_PAYLOAD_NAMES
    VC2005_REDIST_32 VC2005_REDIST_64 UNINST UNINST2
    MSI32 MSI64 MSI_WIN10_32 MSI_WIN10_64 MSI_WIN10_ARM64)

# The demo payloads that target demo_payloads makes; the two uninstallers
# beside them, in extra/, are not embedded by default.
set(LAUNCHER_DEMO_PAYLOAD_DIR ${CMAKE_BINARY_DIR}/demo-payloads)
set(LAUNCHER_DEMO_PAYLOADS
    ${LAUNCHER_DEMO_PAYLOAD_DIR}/VC2005_REDIST_32.exe
    ${LAUNCHER_DEMO_PAYLOAD_DIR}/VC2005_REDIST_64.exe
    ${LAUNCHER_DEMO_PAYLOAD_DIR}/MSI32.msi
    ${LAUNCHER_DEMO_PAYLOAD_DIR}/MSI64.msi
    ${LAUNCHER_DEMO_PAYLOAD_DIR}/MSI_WIN10_32.msi
    ${LAUNCHER_DEMO_PAYLOAD_DIR}/MSI_WIN10_64.msi)

# _launcher_payload_type(NAME OUT): "EXE" or "MSI" for a known payload name.
function(_launcher_payload_type name out)
    if(name MATCHES "^MSI")
        set(${out} MSI PARENT_SCOPE)
    else()
        set(${out} EXE PARENT_SCOPE)
    endif()
endfunction()

# launcher_payloads_in_dir(DIR OUT): the payload files present in DIR, and a
# reconfigure when files are added to or removed from DIR.
function(launcher_payloads_in_dir dir out)
    if(NOT IS_DIRECTORY "${dir}")
        message(FATAL_ERROR "launcher payloads: not a folder: ${dir}")
    endif()
    set(files "")
    foreach(name IN LISTS LAUNCHER_PAYLOAD_NAMES)
        _launcher_payload_type(${name} type)
        string(TOLOWER "${type}" ext)
        if(EXISTS "${dir}/${name}.${ext}")
            list(APPEND files "${dir}/${name}.${ext}")
        endif()
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${dir}")
    set(${out} "${files}" PARENT_SCOPE)
endfunction()

# _launcher_rc_payloads(FILES OUT): resource-script lines for FILES.
function(_launcher_rc_payloads files out)
    set(lines "")
    set(seen "")
    foreach(file IN LISTS files)
        get_filename_component(name "${file}" NAME_WLE)
        get_filename_component(ext "${file}" LAST_EXT)
        if(NOT name IN_LIST LAUNCHER_PAYLOAD_NAMES)
            message(FATAL_ERROR "launcher payloads: \"${file}\" is no known payload; "
                "the names are: ${LAUNCHER_PAYLOAD_NAMES}")
        endif()
        _launcher_payload_type(${name} type)
        string(TOLOWER ".${type}" want_ext)
        if(NOT ext STREQUAL want_ext)
            message(FATAL_ERROR "launcher payloads: \"${file}\": resource ${name} is of "
                "type ${type}, so its file must end in ${want_ext}")
        endif()
        if(name IN_LIST seen)
            message(FATAL_ERROR "launcher payloads: ${name} is given twice")
        endif()
        list(APPEND seen ${name})
        if(NOT IS_ABSOLUTE "${file}")
            message(FATAL_ERROR "launcher payloads: give absolute paths (\"${file}\")")
        endif()
        if(file MATCHES "[\"\\\\]")
            message(FATAL_ERROR "launcher payloads: the path \"${file}\" holds a quote or backslash")
        endif()
        string(APPEND lines "${name} ${type} \"${file}\"\n")
    endforeach()
    set(${out} "${lines}" PARENT_SCOPE)
endfunction()

function(add_installer_launcher)
    cmake_parse_arguments(ARG "SIGNED;NO_PAYLOADS" "TARGET;SETTINGS;PAYLOAD_DIR;OUTPUT_DIR;OUTPUT_NAME"
        "PAYLOADS;DEPENDS" ${ARGN})
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "add_installer_launcher: unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT ARG_TARGET)
        message(FATAL_ERROR "add_installer_launcher: TARGET is required")
    endif()
    if(ARG_PAYLOAD_DIR AND ARG_PAYLOADS)
        message(FATAL_ERROR "add_installer_launcher: give PAYLOAD_DIR or PAYLOADS, not both")
    endif()
    set(name ${ARG_TARGET})

    if(NOT ARG_SETTINGS)
        set(ARG_SETTINGS ${LAUNCHER_SETTINGS})
    endif()
    get_filename_component(settings "${ARG_SETTINGS}" ABSOLUTE)

    set(dir "")
    if(ARG_NO_PAYLOADS)
        set(payloads "")
    elseif(ARG_PAYLOAD_DIR)
        get_filename_component(dir "${ARG_PAYLOAD_DIR}" ABSOLUTE)
        launcher_payloads_in_dir("${dir}" payloads)
    elseif(ARG_PAYLOADS)
        set(payloads "")
        foreach(file IN LISTS ARG_PAYLOADS)
            get_filename_component(file "${file}" ABSOLUTE)
            list(APPEND payloads "${file}")
        endforeach()
    elseif(LAUNCHER_PAYLOAD_DIR)
        get_filename_component(dir "${LAUNCHER_PAYLOAD_DIR}" ABSOLUTE)
        launcher_payloads_in_dir("${dir}" payloads)
    elseif(TARGET demo_payloads)
        set(dir ${LAUNCHER_DEMO_PAYLOAD_DIR})
        set(payloads ${LAUNCHER_DEMO_PAYLOADS})
        list(APPEND ARG_DEPENDS demo_payloads)
    else()
        message(WARNING "add_installer_launcher(${ARG_TARGET}): no demo payloads are "
            "built here and LAUNCHER_PAYLOAD_DIR is not set; the launcher carries no payload")
        set(payloads "")
    endif()

    set(gen ${CMAKE_CURRENT_BINARY_DIR}/${name}_generated)
    file(MAKE_DIRECTORY ${gen})

    # Settings: validated now, so that a bad file fails the configure step.
    launcher_settings_load("${settings}" ls)
    launcher_settings_write(${gen}/launcher_settings.cpp "${ls_CPP}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${settings}")

    _launcher_rc_payloads("${payloads}" LAUNCHER_RC_PAYLOADS)
    if(NOT ARG_DEPENDS)
        launcher_payload_check(${payloads})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${payloads})
    endif()
    set(LAUNCHER_RC_STRINGS "${ls_STRING_TABLE}")
    set(resources ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../resources)
    cmake_path(NORMAL_PATH resources)
    # The manifest names the architecture the launcher is built for: Windows
    # ignores a manifest whose architecture does not match the executable's.
    # The 32-bit launcher is elevated by Windows' installer detection, which
    # looks at the names of 32-bit executables only and is switched off by
    # any requestedExecutionLevel; the x64 one must ask for the rights in its
    # manifest.
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(LAUNCHER_MANIFEST_ARCH amd64)
        set(LAUNCHER_MANIFEST_TRUST [=[
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>]=])
    else()
        set(LAUNCHER_MANIFEST_ARCH x86)
        set(LAUNCHER_MANIFEST_TRUST "")
    endif()
    set(LAUNCHER_RC_MANIFEST ${gen}/InstallerLauncher.exe.manifest)
    configure_file(${resources}/InstallerLauncher.exe.manifest.in ${LAUNCHER_RC_MANIFEST} @ONLY)
    set(LAUNCHER_RC_ICON ${resources}/launcher.ico)
    configure_file(${resources}/launcher.rc.in ${gen}/launcher.rc @ONLY)
    set_source_files_properties(${gen}/launcher.rc PROPERTIES
        OBJECT_DEPENDS "${LAUNCHER_RC_MANIFEST};${LAUNCHER_RC_ICON};${payloads}")

    # The settings are compiled into the executable itself (an object
    # library), so they take precedence over any settings archive that a
    # library might also bring along.
    add_library(${name}_settings OBJECT ${gen}/launcher_settings.cpp)
    target_include_directories(${name}_settings PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name}_settings PRIVATE launcher_code_options)

    add_executable(${name} WIN32 ${gen}/launcher.rc)
    target_link_libraries(${name} PRIVATE launcher_entry ${name}_settings launcher_core)
    # Linked by the C driver: the executable carries no part of the C++
    # standard library (platform/memory.cpp supplies the allocator).
    set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
    # wWinMain is the entry point; GUI subsystem, no console window.
    # Outside debug builds the symbols are stripped: the statically linked
    # runtime brings debug sections that would more than double the size.
    # The header names Windows 7 (6.1), the oldest system the manifest names,
    # so that an older system refuses the file cleanly instead of failing on
    # its imports. No runtime pseudo-relocations: the launcher's own entry
    # point does not run the C runtime's start-up code that would apply them,
    # so a link that needs them must fail. Auto-import goes with them (every
    # import is declared as one); without it, the linker would fold the
    # read-only data into the writable .data section.
    target_link_options(${name} PRIVATE -municode -mwindows -Wl,--gc-sections $<$<NOT:$<CONFIG:Debug>>:-s>
        -Wl,--major-os-version,6,--minor-os-version,1,--major-subsystem-version,6,--minor-subsystem-version,1
        -Wl,--disable-runtime-pseudo-reloc,--disable-auto-import)
    if(ARG_OUTPUT_DIR)
        set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIR})
    endif()
    if(ARG_OUTPUT_NAME)
        set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
    endif()
    if(ARG_DEPENDS)
        # Made by the build: checked once made, before the resource script
        # that embeds them is compiled.
        set(checked ${gen}/payloads.checked)
        add_custom_command(OUTPUT ${checked}
            COMMAND ${CMAKE_COMMAND} -DMSIINFO=${LAUNCHER_MSIINFO}
                -P ${_LAUNCHER_PAYLOAD_CHECK_SCRIPT} ${payloads}
            COMMAND ${CMAKE_COMMAND} -E touch ${checked}
            DEPENDS ${payloads} ${_LAUNCHER_PAYLOAD_CHECK_SCRIPT}
            COMMENT "Checking the payloads of ${name}"
            VERBATIM)
        add_custom_target(${name}_payload_check DEPENDS ${checked})
        add_dependencies(${name}_payload_check ${ARG_DEPENDS})
        add_dependencies(${name} ${name}_payload_check)
    endif()

    if(ARG_SIGNED)
        launcher_sign(${name} "Orvik Driver Installer")
    endif()

    # What went in, for checks of the result.
    set(names "")
    foreach(file IN LISTS payloads)
        get_filename_component(n "${file}" NAME_WLE)
        list(APPEND names ${n})
    endforeach()
    if(ls_STRING_TABLE)
        set(strings TRUE)
    else()
        set(strings FALSE)
    endif()
    set_target_properties(${name} PROPERTIES
        LAUNCHER_PAYLOAD_NAMES "${names}"
        LAUNCHER_PAYLOAD_DIR "${dir}"
        LAUNCHER_STRING_TABLE ${strings})
endfunction()
