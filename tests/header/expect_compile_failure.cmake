cmake_minimum_required(VERSION 3.20)
# Compiles SOURCE with COMPILER and passes only when the compile fails with
# a message containing EXPECT.
execute_process(
  COMMAND ${COMPILER} -fsyntax-only -I${INCLUDE} ${SOURCE}
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "compile of ${SOURCE} succeeded; the layout checks did not fire")
endif()
string(FIND "${err}" "${EXPECT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "compile failed without \"${EXPECT}\":\n${err}")
endif()
message(STATUS "refused as expected: ${EXPECT}")
