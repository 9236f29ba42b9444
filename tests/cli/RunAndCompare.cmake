# Runs a command and compares its standard output and exit status with what is expected.
# -DCOMMAND=<;-list> -DEXPECTED_OUTPUT=<file or empty> -DEXPECTED_EXIT=<n>
# -DEXPECTED_STDERR_REGEX=<regex or empty>
execute_process(COMMAND ${COMMAND}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT "${status}" STREQUAL "${EXPECTED_EXIT}")
    message(FATAL_ERROR "exit status ${status}, expected ${EXPECTED_EXIT}\nstderr: ${err}")
endif()
if(EXPECTED_OUTPUT)
    file(READ "${EXPECTED_OUTPUT}" want)
    if(NOT out STREQUAL want)
        file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/actual-output.txt" "${out}")
        message(FATAL_ERROR "output differs from ${EXPECTED_OUTPUT}; got:\n${out}")
    endif()
endif()
if(EXPECTED_STDERR_REGEX AND NOT err MATCHES "${EXPECTED_STDERR_REGEX}")
    message(FATAL_ERROR "stderr '${err}' does not match '${EXPECTED_STDERR_REGEX}'")
endif()
