# Fails when a parameterised test prints its parameter as raw bytes ("40-byte object <E9-CA
# ...>"): those bytes hold pointers, so the CTest names would change from build to build and
# could not be rerun with -R. Every such suite needs a PrintTo for its parameter.
# -DBINARIES=<;-list of GoogleTest executables>
foreach(binary IN LISTS BINARIES)
    execute_process(COMMAND ${binary} --gtest_list_tests
                    OUTPUT_VARIABLE listed RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${binary} --gtest_list_tests failed: ${status}")
    endif()
    string(REGEX MATCHALL "[^\n]*[0-9]+-byte object <[^\n]*" raw "${listed}")
    if(raw)
        list(JOIN raw "\n" lines)
        message(FATAL_ERROR "parameters printed as raw bytes in ${binary}:\n${lines}")
    endif()
endforeach()
