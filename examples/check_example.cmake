# cmake -DPROGRAM=... -DARGS=a;b -DEXPECT=regex;regex -P check_example.cmake
# Fails unless the program exits with 0 and its output matches every expression.
execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE result OUTPUT_VARIABLE output
                ERROR_VARIABLE errors)
message("${output}${errors}")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} exited with ${result}")
endif()
foreach(expression IN LISTS EXPECT)
    if(NOT output MATCHES "${expression}")
        message(FATAL_ERROR "no line matches \"${expression}\"")
    endif()
endforeach()
