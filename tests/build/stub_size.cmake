# Fails when the launcher stub (Release, no payloads, default settings) is
# larger than its budget, and prints its size either way.
#   cmake -DSTUB=<exe> -DBUDGET=<bytes> -P stub_size.cmake
cmake_minimum_required(VERSION 3.25)
file(SIZE "${STUB}" size)
if(size GREATER BUDGET)
    message(FATAL_ERROR "the stub is ${size} bytes, over its budget of ${BUDGET} bytes")
endif()
message(STATUS "the stub is ${size} bytes (budget ${BUDGET})")
