# Compares the dynamic symbols that libtessaro.so defines with the list of
# operations: both sets must be equal.
#   cmake -DNM=<nm> -DLIBRARY=<libtessaro.so> -DOPERATIONS=<xal_operations.def> -DMODULE=<xal_operations.cmake> -P check_exports.cmake
include(${MODULE})
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE nm_out COMMAND_ERROR_IS_FATAL ANY)
# "<address> T <name>[@<version>]" lines.
string(REGEX MATCHALL "[ \t][A-Za-z][ \t]+[A-Za-z_][A-Za-z0-9_@.]*" exported "${nm_out}")
list(TRANSFORM exported REPLACE "^[ \t][A-Za-z][ \t]+([^@]*).*" "\\1")
xal_operations(${OPERATIONS} NAMES declared)
foreach(names exported declared)
  list(REMOVE_DUPLICATES ${names})
  list(SORT ${names})
endforeach()
if(NOT exported STREQUAL declared)
  message(FATAL_ERROR "exports differ from the operations.\n  exported: ${exported}\n  listed: ${declared}")
endif()
