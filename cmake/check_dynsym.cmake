cmake_minimum_required(VERSION 3.20)
# The program exports exactly one function of its own: hexdump(void const*, int).
# Inline functions of the C++ standard library (std::...) that the linker
# exports because libstdc++ defines them too are not the program's own.
execute_process(COMMAND ${NM} -D --defined-only ${PROGRAM}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed: ${err}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(functions "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>": T/t/W/w mark code.
  if(line MATCHES "^[0-9a-fA-F]+ [TtWwi] (.+)$")
    set(name "${CMAKE_MATCH_1}")
    if(NOT name MATCHES "^_Z(N[KVr]*)?St")
      list(APPEND functions "${name}")
    endif()
  endif()
endforeach()
if(NOT functions STREQUAL "_Z7hexdumpPKvi")
  message(FATAL_ERROR "exported functions are [${functions}], expected only _Z7hexdumpPKvi\n${out}")
endif()
message(STATUS "exported functions: ${functions}")
