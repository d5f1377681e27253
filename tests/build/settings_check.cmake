# Runs the settings reader (cmake/LauncherSettings.cmake as a script) on
# variations of the default settings file and checks that every bad file
# fails with a message naming the problem, and that good files give the
# expected C++ and string table.
#
#   cmake -DSOURCE_DIR=<repo> -DWORK_DIR=<scratch> -P settings_check.cmake
cmake_minimum_required(VERSION 3.25)

set(reader ${SOURCE_DIR}/cmake/LauncherSettings.cmake)
file(READ ${SOURCE_DIR}/resources/launcher_settings.json base)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(failures 0)

function(fail what)
    message(SEND_ERROR "FAIL ${what}")
    math(EXPR n "${failures} + 1")
    set(failures ${n} PARENT_SCOPE)
endfunction()

# run_reader(NAME JSON) -> rc, err, cpp, rc_text in the caller's scope
function(run_reader name json)
    file(WRITE ${WORK_DIR}/${name}.json "${json}")
    file(REMOVE ${WORK_DIR}/${name}.cpp ${WORK_DIR}/${name}.rc)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -DSETTINGS=${WORK_DIR}/${name}.json
            -DCPP_OUTPUT=${WORK_DIR}/${name}.cpp -DRC_OUTPUT=${WORK_DIR}/${name}.rc -P ${reader}
        RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
    # CMake wraps long messages: compare them as one line.
    string(REGEX REPLACE "[ \n]+" " " err "${err}")
    set(cpp "")
    set(rc_text "")
    if(EXISTS ${WORK_DIR}/${name}.cpp)
        file(READ ${WORK_DIR}/${name}.cpp cpp)
        file(READ ${WORK_DIR}/${name}.rc rc_text)
    endif()
    foreach(v rc err cpp rc_text)
        set(${v} "${${v}}" PARENT_SCOPE)
    endforeach()
endfunction()

# ---- Bad files: name | how the default file is changed | expected message
string(JSON guid_short SET "${base}" settingsGuid "\"{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914A}\"")
string(JSON guid_no_braces SET "${base}" settingsGuid "\" 6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF \"")
string(JSON guid_not_hex SET "${base}" settingsGuid "\"{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AG}\"")
string(JSON guid_number SET "${base}" settingsGuid "12")
string(JSON missing_key REMOVE "${base}" monitorServiceName)
string(JSON unknown_key SET "${base}" processName "[]")
string(JSON bool_as_string SET "${base}" useLegacyRuntimeArguments "\"false\"")
string(JSON string_as_array SET "${base}" packageFileName "[\"a.msi\"]")
string(JSON array_as_string SET "${base}" processNames "\"a.exe\"")
string(JSON array_entry_number SET "${base}" processNames "[\"a.exe\", 7]")
set(code "{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F01}")
string(JSON lengths_differ SET "${base}" oldProductCodes32 "[\"${code}\"]")
string(JSON optional_wrong_type SET "${base}" legacyQuestionTitle "null")
string(JSON flag_as_number SET "${base}" reportFailureInExitCode "1")
# Product codes go into msiexec's parameters: one with options after it, one
# without braces, one short.
string(JSON code_with_options SET "${base}" oldProductCodes32 "[\"${code}\", \"${code} /qn\"]")
string(JSON code_with_options SET "${code_with_options}" oldProductCodes64 "[\"${code}\", \"${code}\"]")
string(JSON code_no_braces SET "${lengths_differ}" oldProductCodes64 "[\"8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F01\"]")
string(JSON code_short SET "${lengths_differ}" oldProductCodes64 "[\"{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F0}\"]")
set(malformed "{ \"driversKeyPath\": \"x\", ")
set(mismatched_bracket "{ \"processNames\": [\"a.exe\" }")
set(not_an_object "[1, 2]")
# Raw bytes that are no UTF-8 (string(JSON SET) would mend them, so they go
# in by plain replacement): "/" in an overlong two-byte form, a lone
# continuation byte, and a lead byte that no UTF-8 text holds.
string(ASCII 192 175 overlong_slash)
string(REPLACE "\"TolvexOrvik\"" "\"a${overlong_slash}b\"" utf8_overlong "${base}")
string(ASCII 128 stray)
string(REPLACE "\"TolvexOrvik\"" "\"a${stray}\"" utf8_stray "${base}")
string(ASCII 248 136 128 128 128 five_bytes)
string(REPLACE "\"TolvexOrvik\"" "\"${five_bytes}\"" utf8_five_bytes "${base}")

set(bad_cases
    "malformed|malformed JSON"
    "mismatched_bracket|malformed JSON"
    "not_an_object|one JSON object"
    "missing_key|missing key \"monitorServiceName\""
    "unknown_key|unknown key \"processName\""
    "bool_as_string|\"useLegacyRuntimeArguments\" must be boolean, not string"
    "string_as_array|\"packageFileName\" must be string, not array"
    "array_as_string|\"processNames\" must be array, not string"
    "array_entry_number|\"processNames\" must hold strings only.*entry 1 is number"
    "guid_short|\"settingsGuid\" must be a GUID of 38 characters"
    "guid_no_braces|\"settingsGuid\" must be a GUID of 38 characters"
    "guid_not_hex|\"settingsGuid\" must be a GUID of 38 characters"
    "guid_number|\"settingsGuid\" must be string, not number"
    "lengths_differ|must have the same length \\(1 and 0\\)"
    "optional_wrong_type|\"legacyQuestionTitle\" must be string, not null"
    "flag_as_number|\"reportFailureInExitCode\" must be boolean, not number"
    "code_with_options|\"oldProductCodes32\" entry 1 must be a GUID of 38 characters in braces.*got \"{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F01} /qn\""
    "code_no_braces|\"oldProductCodes64\" entry 0 must be a GUID of 38 characters"
    "code_short|\"oldProductCodes64\" entry 0 must be a GUID of 38 characters"
    "utf8_overlong|\"productFolderName\": not valid UTF-8"
    "utf8_stray|\"productFolderName\": not valid UTF-8"
    "utf8_five_bytes|\"productFolderName\": not valid UTF-8")
foreach(case IN LISTS bad_cases)
    string(REPLACE "|" ";" parts "${case}")
    list(GET parts 0 name)
    list(GET parts 1 expected)
    run_reader(${name} "${${name}}")
    if(rc EQUAL 0)
        fail("${name}: accepted")
    elseif(NOT err MATCHES "${expected}")
        fail("${name}: message does not match \"${expected}\":\n${err}")
    elseif(NOT err MATCHES "${name}.json")
        fail("${name}: message does not name the file:\n${err}")
    elseif(EXISTS ${WORK_DIR}/${name}.cpp)
        fail("${name}: wrote output although rejected")
    endif()
endforeach()

# ---- Good files ---------------------------------------------------------
# The default settings: empty lists as nullptr with count 0, no strings.
run_reader(default "${base}")
if(NOT rc EQUAL 0)
    fail("default: rejected:\n${err}")
endif()
string(REPLACE "\n" ";" lines "${cpp}")
list(FILTER lines INCLUDE REGEX "^    ")
set(want
    "    L\"Software\\\\\\\\Corvane\\\\\\\\Audio\\\\\\\\Drivers\","
    "    L\"{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}\","
    "    L\"TolvexOrvikAudioDevMon\","
    "    L\"Corvane\\\\\\\\Installers\","
    "    L\"TolvexOrvik\","
    "    L\"CorvaneInstaller.msi\","
    "    nullptr," "    nullptr," "    0," "    nullptr," "    0," "    false," "    false," "    false,"
    "    true,")  # enforceRedirectionTrust: on unless the file says otherwise
string(REPLACE "\\\\" "\\" want "${want}")
if(NOT lines STREQUAL want)
    fail("default: table differs:\n${cpp}")
endif()
if(NOT rc_text STREQUAL "")
    fail("default: a string table without legacy texts:\n${rc_text}")
endif()

# Text that needs escaping, lists, flags and both legacy texts.
string(CONCAT tricky [=[{
  "driversKeyPath": "Soft\"ware\\Cor;vane\t[1]",
  "settingsGuid": "{6e2a04b7-91c3-4f5d-a8e0-3d7b52c914af}",
  "monitorServiceName": "Dev\u00e9Mon\ud83d\ude00",
  "installersFolderName": "A\\B",
  "productFolderName": "P",
  "packageFileName": "p.msi",
  "oldProductCodes32": ["{8d0c2f6a-3b51-4e7a-9c21-5a1e0b6d3f01}", "{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F02}"],
  "oldProductCodes64": ["{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F03}", "{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F04}"],
  "processNames": ["x.exe"],
  "useLegacyRuntimeArguments": true,
  "continueAfterRuntimeFailure": true,
  "reportFailureInExitCode": true,
  "enforceRedirectionTrust": false,
  "legacyQuestionText": "Remove \"old\" C:\\x caf\u00e9?",
  "legacyQuestionTitle": "T\ud83d\ude00"
}]=])
run_reader(tricky "${tricky}")
if(NOT rc EQUAL 0 OR err MATCHES "needs both")
    fail("tricky: rejected or warned about the question:\n${err}")
endif()
foreach(expected
        [=[L"Soft\"ware\\Cor;vane\u0009[1]",]=]
        [=[L"Dev\u00E9Mon\U0001F600",]=]
        [=[k_oldProductCodes32[] = {
    L"{8d0c2f6a-3b51-4e7a-9c21-5a1e0b6d3f01}",
    L"{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F02}",
};]=]
        [=[    k_oldProductCodes32,
    k_oldProductCodes64,
    2,
    k_processNames,
    1,
    true,
    true,
    true,
    false,
};]=])
    string(FIND "${cpp}" "${expected}" at)
    if(at EQUAL -1)
        fail("tricky: C++ lacks ${expected}:\n${cpp}")
    endif()
endforeach()
foreach(expected
        [=[500 L"Remove ""old"" C:\\x caf\x00E9?"]=]
        [=[501 L"T\xD83D\xDE00"]=])
    string(FIND "${rc_text}" "${expected}" at)
    if(at EQUAL -1)
        fail("tricky: string table lacks ${expected}:\n${rc_text}")
    endif()
endforeach()

# One question text alone is embedded alone, with a warning that the
# question needs both: name | key | string id it becomes
foreach(case "only_text|legacyQuestionText|500" "only_title|legacyQuestionTitle|501")
    string(REPLACE "|" ";" parts "${case}")
    list(GET parts 0 name)
    list(GET parts 1 key)
    list(GET parts 2 id)
    string(JSON json SET "${base}" ${key} "\"Go on?\"")
    run_reader(${name} "${json}")
    string(REGEX MATCHALL "\n    50[01] " ids "${rc_text}")
    if(NOT rc EQUAL 0)
        fail("${name}: rejected:\n${err}")
    elseif(NOT ids STREQUAL "\n    ${id} " OR NOT rc_text MATCHES "${id} L\"Go on\\?\"")
        fail("${name}: string table is not string ${id} alone:\n${rc_text}")
    elseif(NOT err MATCHES "Warning.*needs both \"legacyQuestionText\" and \"legacyQuestionTitle\"; with only \"${key}\"")
        fail("${name}: no warning that the question needs both:\n${err}")
    endif()
endforeach()
if(failures GREATER 0)
    message(FATAL_ERROR "${failures} settings check(s) failed")
endif()
list(LENGTH bad_cases n)
message(STATUS "settings checks passed (${n} rejected files, 4 accepted)")
