# add_demo_package(OUTPUT file VARIANT name ARCH x86|x64
#                  PRODUCT_CODE guid UPGRADE_CODE guid PACKAGE_CODE guid COMPONENT_CODE guid)
#
# Builds a small, real Windows Installer package with wixl from
# resources/demo/demo_package.wxs. Once installed it is recognisable by the
# file "<VARIANT>.txt" below Corvane\TolvexOrvik in its Program Files folder
# and by the value "Variant" = "<VARIANT>" under
# HKLM\Software\Corvane\TolvexOrvik\DemoPackage (32-bit registry view for x86
# packages, 64-bit for x64).
#
# wixl stamps a random package code and the build time into each package, and
# the packed file's modification time into its cabinet; normalize_msi.py pins
# all three, so the same sources give the same package bytes.

find_program(WIXL wixl REQUIRED)
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(DEMO_PACKAGE_SOURCE ${PROJECT_SOURCE_DIR}/resources/demo/demo_package.wxs)
set(DEMO_PACKAGE_NORMALIZER ${PROJECT_SOURCE_DIR}/resources/demo/normalize_msi.py)

function(add_demo_package)
    cmake_parse_arguments(ARG "" "OUTPUT;VARIANT;ARCH;PRODUCT_CODE;UPGRADE_CODE;PACKAGE_CODE;COMPONENT_CODE" "" ${ARGN})
    if(ARG_ARCH STREQUAL "x64")
        set(win64 yes)
        set(programFiles ProgramFiles64Folder)
    else()
        set(win64 no)
        set(programFiles ProgramFilesFolder)
    endif()
    # wixl resolves file sources relative to the folder it runs in.
    set(work ${CMAKE_CURRENT_BINARY_DIR}/msi/${ARG_VARIANT})
    file(MAKE_DIRECTORY ${work})
    file(CONFIGURE OUTPUT ${work}/${ARG_VARIANT}.txt CONTENT "${ARG_VARIANT}\n")
    get_filename_component(outDir ${ARG_OUTPUT} DIRECTORY)
    add_custom_command(OUTPUT ${ARG_OUTPUT}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${outDir}
        COMMAND ${Python3_EXECUTABLE} ${DEMO_PACKAGE_NORMALIZER} --touch ${work}/${ARG_VARIANT}.txt
        COMMAND ${WIXL} -a ${ARG_ARCH}
            -D VARIANT=${ARG_VARIANT} -D PRODUCT_CODE=${ARG_PRODUCT_CODE}
            -D UPGRADE_CODE=${ARG_UPGRADE_CODE} -D PACKAGE_CODE=${ARG_PACKAGE_CODE}
            -D COMPONENT_CODE=${ARG_COMPONENT_CODE}
            -D WIN64=${win64} -D PROGRAM_FILES=${programFiles}
            -o ${ARG_OUTPUT} ${DEMO_PACKAGE_SOURCE}
        COMMAND ${Python3_EXECUTABLE} ${DEMO_PACKAGE_NORMALIZER} ${ARG_OUTPUT} ${ARG_PACKAGE_CODE}
        WORKING_DIRECTORY ${work}
        DEPENDS ${DEMO_PACKAGE_SOURCE} ${DEMO_PACKAGE_NORMALIZER} ${work}/${ARG_VARIANT}.txt
        COMMENT "Building package ${ARG_VARIANT}"
        VERBATIM)
endfunction()
