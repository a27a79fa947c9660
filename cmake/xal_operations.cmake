# Reads src/lang-c/xal_operations.def, the one list of the library's
# operations, for what CMake makes from it (the export map).
#
#   xal_operations(<def-file> NAMES <var>)
#     NAMES: every operation name, in list order.
function(xal_operations def)
  cmake_parse_arguments(arg "" "NAMES" "" ${ARGN})
  file(STRINGS "${def}" lines REGEX "^XAL_(WIRE|LOCAL)_OP\\(")
  list(TRANSFORM lines REPLACE "^XAL_[A-Z]+_OP\\(([A-Za-z_0-9]+),.*" "\\1")
  set(${arg_NAMES} "${lines}" PARENT_SCOPE)
endfunction()
