# The launcher's code is built with the stack protector: functions of its
# libraries that keep buffers on the stack check the guard on return, so
# each library refers to the failure routine.
#
#   cmake -DNM=... "-DLIBRARIES=a.a;b.a" -P stack_protector.cmake
foreach(library IN LISTS LIBRARIES)
    execute_process(COMMAND ${NM} ${library} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR NOT symbols MATCHES "U _*stack_chk_fail")
        message(FATAL_ERROR "${library}: no function checks the stack guard (built without the stack protector?)")
    endif()
    message(STATUS "${library}: checks the stack guard")
endforeach()
