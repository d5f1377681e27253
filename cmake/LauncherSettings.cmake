# Reads the launcher's settings file (JSON) and turns it into C++ and
# resource-script text.
#
#   launcher_settings_load(JSON_FILE PREFIX)
#       Validates the file and sets, in the caller's scope:
#         PREFIX_CPP           a .cpp defining `const LauncherSettingsTable LauncherSettings`
#         PREFIX_STRING_TABLE  a STRINGTABLE with string 500 (legacyQuestionText)
#                              and string 501 (legacyQuestionTitle), each when
#                              the file has it; empty without either
#       Any problem stops with FATAL_ERROR naming the key and what is wrong.
#       A file with only one of the two question texts gives a warning: the
#       launcher asks the question only when it carries both.
#
#   launcher_settings_write(FILE CONTENT)
#       Writes FILE only when its content changes, so that an unchanged
#       settings file does not rebuild anything.
#
# As a script it checks one file and optionally writes the outputs:
#   cmake -DSETTINGS=file.json [-DCPP_OUTPUT=out.cpp] [-DRC_OUTPUT=out.rc] -P LauncherSettings.cmake
#
# File format: one JSON object with exactly these members (no others):
#   driversKeyPath, settingsGuid, monitorServiceName, installersFolderName,
#   productFolderName, packageFileName                 strings
#   oldProductCodes32, oldProductCodes64, processNames  arrays of strings
#   useLegacyRuntimeArguments, continueAfterRuntimeFailure  booleans
#   reportFailureInExitCode                             boolean, optional (false)
#   enforceRedirectionTrust                             boolean, optional (true)
#   legacyQuestionText, legacyQuestionTitle             strings, optional
# The two product-code arrays pair entry by entry and must have equal lengths.
# settingsGuid and every product code are GUIDs in braces, 38 characters: a
# product code goes into msiexec's parameters as it stands, so anything more
# (blanks, options) would change what msiexec is asked to do.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    cmake_minimum_required(VERSION 3.25)
endif()

set(_LS_STRING_KEYS driversKeyPath settingsGuid monitorServiceName
    installersFolderName productFolderName packageFileName)
set(_LS_ARRAY_KEYS oldProductCodes32 oldProductCodes64 processNames)
set(_LS_BOOL_KEYS useLegacyRuntimeArguments continueAfterRuntimeFailure)
set(_LS_OPTIONAL_BOOL_KEYS reportFailureInExitCode enforceRedirectionTrust)
set(_LS_TRUE_BY_DEFAULT enforceRedirectionTrust)
set(_LS_QUESTION_KEYS legacyQuestionText legacyQuestionTitle)

# _ls_hex(VALUE DIGITS OUT): VALUE as upper-case hexadecimal, zero-padded.
function(_ls_hex value digits out)
    math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${hex}" 2 -1 hex)
    string(TOUPPER "${hex}" hex)
    string(LENGTH "${hex}" len)
    while(len LESS digits)
        string(PREPEND hex "0")
        math(EXPR len "${len} + 1")
    endwhile()
    set(${out} "${hex}" PARENT_SCOPE)
endfunction()

# _ls_code_points(TEXT WHAT OUT): the Unicode code points of the UTF-8 TEXT as
# a list of decimal numbers. WHAT names the value in error messages.
function(_ls_code_points text what out)
    string(HEX "${text}" hex)
    string(LENGTH "${hex}" hexlen)
    set(points "")
    set(pos 0)
    while(pos LESS hexlen)
        string(SUBSTRING "${hex}" ${pos} 2 byte)
        math(EXPR b "0x${byte}")
        math(EXPR pos "${pos} + 2")
        # `least` is the smallest code point that needs this many bytes; a
        # longer (overlong) form would smuggle in a character such as "/"
        # past any check on the text, so it is refused.
        if(b LESS 128)
            list(APPEND points ${b})
            continue()
        elseif(b GREATER_EQUAL 240 AND b LESS 248)
            set(more 3)
            set(least 65536)
            math(EXPR cp "${b} & 7")
        elseif(b GREATER_EQUAL 224 AND b LESS 240)
            set(more 2)
            set(least 2048)
            math(EXPR cp "${b} & 15")
        elseif(b GREATER_EQUAL 192 AND b LESS 224)
            set(more 1)
            set(least 128)
            math(EXPR cp "${b} & 31")
        else()
            message(FATAL_ERROR "${what}: not valid UTF-8 text")
        endif()
        foreach(i RANGE 1 ${more})
            if(pos GREATER_EQUAL hexlen)
                message(FATAL_ERROR "${what}: not valid UTF-8 text")
            endif()
            string(SUBSTRING "${hex}" ${pos} 2 byte)
            math(EXPR c "0x${byte}")
            math(EXPR pos "${pos} + 2")
            if(c LESS 128 OR c GREATER_EQUAL 192)
                message(FATAL_ERROR "${what}: not valid UTF-8 text")
            endif()
            math(EXPR cp "(${cp} << 6) | (${c} & 63)")
        endforeach()
        if(cp LESS least)
            message(FATAL_ERROR "${what}: not valid UTF-8 text")
        endif()
        if(cp GREATER 1114111 OR (cp GREATER_EQUAL 55296 AND cp LESS 57344))
            message(FATAL_ERROR "${what}: holds a character that is no Unicode scalar value")
        endif()
        list(APPEND points ${cp})
    endwhile()
    set(${out} "${points}" PARENT_SCOPE)
endfunction()

# _ls_cpp_literal(TEXT WHAT OUT): TEXT as a C++ wide string literal. Printable
# ASCII stands as it is (backslash and double quote escaped); everything else
# becomes a universal character name, which needs no care about what follows.
function(_ls_cpp_literal text what out)
    _ls_code_points("${text}" "${what}" points)
    set(lit "")
    foreach(cp IN LISTS points)
        if(cp EQUAL 92)
            string(APPEND lit "\\\\")
        elseif(cp EQUAL 34)
            string(APPEND lit "\\\"")
        elseif(cp GREATER_EQUAL 32 AND cp LESS 127)
            string(ASCII ${cp} ch)
            string(APPEND lit "${ch}")
        elseif(cp LESS 65536)
            _ls_hex(${cp} 4 h)
            string(APPEND lit "\\u${h}")
        else()
            _ls_hex(${cp} 8 h)
            string(APPEND lit "\\U${h}")
        endif()
    endforeach()
    set(${out} "L\"${lit}\"" PARENT_SCOPE)
endfunction()

# _ls_rc_literal(TEXT WHAT OUT): TEXT as a wide string of a resource script.
# The resource compiler doubles double quotes and takes at most four hex
# digits after \x, so characters beyond the BMP go as surrogate pairs.
function(_ls_rc_literal text what out)
    _ls_code_points("${text}" "${what}" points)
    set(lit "")
    foreach(cp IN LISTS points)
        if(cp EQUAL 92)
            string(APPEND lit "\\\\")
        elseif(cp EQUAL 34)
            string(APPEND lit "\"\"")
        elseif(cp GREATER_EQUAL 32 AND cp LESS 127)
            string(ASCII ${cp} ch)
            string(APPEND lit "${ch}")
        elseif(cp LESS 65536)
            _ls_hex(${cp} 4 h)
            string(APPEND lit "\\x${h}")
        else()
            math(EXPR hi "0xD800 + ((${cp} - 0x10000) >> 10)")
            math(EXPR lo "0xDC00 + ((${cp} - 0x10000) & 1023)")
            _ls_hex(${hi} 4 h1)
            _ls_hex(${lo} 4 h2)
            string(APPEND lit "\\x${h1}\\x${h2}")
        endif()
    endforeach()
    set(${out} "L\"${lit}\"" PARENT_SCOPE)
endfunction()

# _ls_expect_type(JSON KEY TYPE WHERE): fails unless member KEY has TYPE.
function(_ls_expect_type json key type where)
    string(JSON actual ERROR_VARIABLE err TYPE "${json}" "${key}")
    if(err)
        message(FATAL_ERROR "${where}: missing key \"${key}\"")
    endif()
    if(NOT actual STREQUAL type)
        string(TOLOWER "${type}" want)
        string(TOLOWER "${actual}" got)
        message(FATAL_ERROR "${where}: key \"${key}\" must be ${want}, not ${got}")
    endif()
endfunction()

# _ls_check_guid(TEXT WHAT WHERE): fails unless TEXT is a GUID in braces.
# WHAT names the value ("key \"settingsGuid\"").
function(_ls_check_guid text what where)
    set(h "[0-9A-Fa-f]")
    set(h4 "${h}${h}${h}${h}")
    if(NOT text MATCHES "^{${h4}${h4}-${h4}-${h4}-${h4}-${h4}${h4}${h4}}$")
        message(FATAL_ERROR
            "${where}: ${what} must be a GUID of 38 characters in braces, "
            "like {00000000-0000-0000-0000-000000000000}; got \"${text}\"")
    endif()
endfunction()

function(launcher_settings_load json_file prefix)
    set(where "${json_file}")
    if(NOT EXISTS "${json_file}")
        message(FATAL_ERROR "launcher settings: file not found: ${json_file}")
    endif()
    file(READ "${json_file}" json)

    string(JSON top ERROR_VARIABLE err TYPE "${json}")
    if(err)
        message(FATAL_ERROR "${where}: malformed JSON: ${err}")
    endif()
    if(NOT top STREQUAL "OBJECT")
        message(FATAL_ERROR "${where}: the settings must be one JSON object")
    endif()

    # Unknown members are refused: a misspelt key would otherwise be
    # reported as missing, or an optional one silently ignored.
    set(known ${_LS_STRING_KEYS} ${_LS_ARRAY_KEYS} ${_LS_BOOL_KEYS} ${_LS_OPTIONAL_BOOL_KEYS}
        ${_LS_QUESTION_KEYS})
    string(JSON count LENGTH "${json}")
    if(count GREATER 0)
        math(EXPR last "${count} - 1")
        foreach(i RANGE ${last})
            string(JSON key MEMBER "${json}" ${i})
            if(NOT key IN_LIST known)
                message(FATAL_ERROR "${where}: unknown key \"${key}\"")
            endif()
        endforeach()
    endif()

    foreach(key IN LISTS _LS_STRING_KEYS)
        _ls_expect_type("${json}" ${key} STRING "${where}")
        string(JSON value GET "${json}" ${key})
        if(key STREQUAL "settingsGuid")
            _ls_check_guid("${value}" "key \"settingsGuid\"" "${where}")
        endif()
        _ls_cpp_literal("${value}" "${where}: key \"${key}\"" lit_${key})
    endforeach()

    foreach(key IN LISTS _LS_BOOL_KEYS _LS_OPTIONAL_BOOL_KEYS)
        set(value false)
        if(key IN_LIST _LS_TRUE_BY_DEFAULT)
            set(value true)
        endif()
        string(JSON t ERROR_VARIABLE err TYPE "${json}" ${key})
        if(NOT err OR NOT key IN_LIST _LS_OPTIONAL_BOOL_KEYS)
            _ls_expect_type("${json}" ${key} BOOLEAN "${where}")
            string(JSON value GET "${json}" ${key})
        endif()
        if(value)
            set(lit_${key} true)
        else()
            set(lit_${key} false)
        endif()
    endforeach()

    set(arrays "")
    foreach(key IN LISTS _LS_ARRAY_KEYS)
        _ls_expect_type("${json}" ${key} ARRAY "${where}")
        string(JSON len_${key} LENGTH "${json}" ${key})
        set(ref_${key} nullptr)
        if(len_${key} GREATER 0)
            set(ref_${key} k_${key})
            string(APPEND arrays "const wchar_t* const k_${key}[] = {\n")
            math(EXPR last "${len_${key}} - 1")
            foreach(i RANGE ${last})
                string(JSON t TYPE "${json}" ${key} ${i})
                if(NOT t STREQUAL "STRING")
                    string(TOLOWER "${t}" t)
                    message(FATAL_ERROR
                        "${where}: key \"${key}\" must hold strings only; entry ${i} is ${t}")
                endif()
                string(JSON value GET "${json}" ${key} ${i})
                if(key MATCHES "^oldProductCodes")
                    _ls_check_guid("${value}" "key \"${key}\" entry ${i}" "${where}")
                endif()
                _ls_cpp_literal("${value}" "${where}: key \"${key}\" entry ${i}" lit)
                string(APPEND arrays "    ${lit},\n")
            endforeach()
            string(APPEND arrays "};\n")
        endif()
    endforeach()
    if(NOT len_oldProductCodes32 EQUAL len_oldProductCodes64)
        message(FATAL_ERROR
            "${where}: keys \"oldProductCodes32\" and \"oldProductCodes64\" pair entry by "
            "entry and must have the same length (${len_oldProductCodes32} and "
            "${len_oldProductCodes64})")
    endif()

    # Each question text given is embedded (text as string 500, title as
    # 501); the launcher asks only when it finds both.
    set(string_ids 500 501)
    set(strings "")
    set(given "")
    foreach(key id IN ZIP_LISTS _LS_QUESTION_KEYS string_ids)
        string(JSON t ERROR_VARIABLE err TYPE "${json}" ${key})
        if(NOT err)
            _ls_expect_type("${json}" ${key} STRING "${where}")
            string(JSON value GET "${json}" ${key})
            _ls_rc_literal("${value}" "${where}: key \"${key}\"" rc)
            string(APPEND strings "    ${id} ${rc}\n")
            list(APPEND given ${key})
        endif()
    endforeach()
    list(LENGTH given given_count)
    if(given_count EQUAL 1)
        message(WARNING "${where}: the legacy question needs both \"legacyQuestionText\" "
            "and \"legacyQuestionTitle\"; with only \"${given}\" the launcher does not "
            "ask it")
    endif()

    set(string_table "")
    if(strings)
        string(CONCAT string_table
            "STRINGTABLE\n"
            "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US\n"
            "BEGIN\n"
            "${strings}"
            "END\n")
    endif()

    get_filename_component(source_name "${json_file}" NAME)
    if(arrays)
        set(arrays "namespace {\n${arrays}}  // namespace\n\n")
    endif()
    string(CONCAT cpp
        "// Generated from ${source_name} at configure time; edit that file instead.\n"
        "#include \"settings/launcher_settings.h\"\n"
        "\n"
        "${arrays}"
        "const LauncherSettingsTable LauncherSettings = {\n"
        "    ${lit_driversKeyPath},\n"
        "    ${lit_settingsGuid},\n"
        "    ${lit_monitorServiceName},\n"
        "    ${lit_installersFolderName},\n"
        "    ${lit_productFolderName},\n"
        "    ${lit_packageFileName},\n"
        "    ${ref_oldProductCodes32},\n"
        "    ${ref_oldProductCodes64},\n"
        "    ${len_oldProductCodes32},\n"
        "    ${ref_processNames},\n"
        "    ${len_processNames},\n"
        "    ${lit_useLegacyRuntimeArguments},\n"
        "    ${lit_continueAfterRuntimeFailure},\n"
        "    ${lit_reportFailureInExitCode},\n"
        "    ${lit_enforceRedirectionTrust},\n"
        "};\n")

    set(${prefix}_CPP "${cpp}" PARENT_SCOPE)
    set(${prefix}_STRING_TABLE "${string_table}" PARENT_SCOPE)
endfunction()

function(launcher_settings_write file content)
    if(EXISTS "${file}")
        file(READ "${file}" old)
        if(old STREQUAL content)
            return()
        endif()
    endif()
    file(WRITE "${file}" "${content}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    if(NOT SETTINGS)
        message(FATAL_ERROR "usage: cmake -DSETTINGS=file.json [-DCPP_OUTPUT=f] [-DRC_OUTPUT=f] -P ${CMAKE_CURRENT_LIST_FILE}")
    endif()
    launcher_settings_load("${SETTINGS}" ls)
    if(CPP_OUTPUT)
        launcher_settings_write("${CPP_OUTPUT}" "${ls_CPP}")
    endif()
    if(RC_OUTPUT)
        launcher_settings_write("${RC_OUTPUT}" "${ls_STRING_TABLE}")
    endif()
endif()
