# Compares the dynamic symbols that libtessaro.so defines with the operations
# that xal_tessaro.h declares: both sets must be equal.
#   cmake -DNM=<nm> -DLIBRARY=<libtessaro.so> -DHEADER=<xal_tessaro.h> -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE nm_out RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
# "<address> T <name>[@<version>]" lines, and "<type> <name>(" declarations.
string(REGEX MATCHALL "[ \t][A-Za-z][ \t]+[A-Za-z_][A-Za-z0-9_@.]*" exported "${nm_out}")
list(TRANSFORM exported REPLACE "^[ \t][A-Za-z][ \t]+([^@]*).*" "\\1")
file(READ ${HEADER} header)
string(REGEX MATCHALL "\n[A-Za-z_][A-Za-z0-9_]*[ \t*]+[A-Za-z_][A-Za-z0-9_]*\\(" declared "${header}")
list(TRANSFORM declared REPLACE ".*[ \t*]([A-Za-z_][A-Za-z0-9_]*)\\($" "\\1")
foreach(names exported declared)
  list(REMOVE_DUPLICATES ${names})
  list(SORT ${names})
endforeach()

list(LENGTH declared n_declared)
if(n_declared LESS 40)
  message(FATAL_ERROR "found only ${n_declared} operations in ${HEADER}")
endif()
if(NOT exported STREQUAL declared)
  set(missing ${declared})
  list(REMOVE_ITEM missing ${exported})
  set(extra ${exported})
  list(REMOVE_ITEM extra ${declared})
  message(FATAL_ERROR
    "exports differ from the header.\n  not exported: ${missing}\n  exported but not declared: ${extra}")
endif()
message(STATUS "libtessaro.so exports exactly the ${n_declared} operations of the header")
