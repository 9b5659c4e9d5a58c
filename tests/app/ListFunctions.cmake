# Writes the test functions of a QtTest program, one a line, without their parentheses.
execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                        ${PROGRAM} -functions
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} -functions failed: ${result}")
endif()
string(REGEX REPLACE "\\(\\)" "" listing "${listing}")
file(WRITE ${OUTPUT} "${listing}")
