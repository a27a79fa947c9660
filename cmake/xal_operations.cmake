# Reads src/lang-c/xal_operations.def, the one list of the library's
# operations, for what CMake makes from it (the export map) and checks
# against it (the exported symbols, the protocol document).
#
#   xal_operations(<def-file> NAMES <var> [WIRE <var>])
#     NAMES: every operation name, in list order.
#     WIRE:  "<number>|<name>|<request tags>|<reply tags>|<record>" per
#            request operation, in list order.
function(xal_operations def)
  cmake_parse_arguments(arg "" "NAMES;WIRE" "" ${ARGN})
  file(STRINGS "${def}" lines REGEX "^XAL_(WIRE|LOCAL)_OP\\(")
  set(names "")
  set(wire "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^XAL_[A-Z]+_OP\\(([A-Za-z_0-9]+),.*" "\\1" name "${line}")
    list(APPEND names "${name}")
    if(line MATCHES "^XAL_WIRE_OP\\([A-Za-z_0-9]+, *([0-9]+), *\"([a-z]*)\", *\"[^\"]*\", *\"([a-z]*)\", *([A-Za-z]+),")
      list(APPEND wire "${CMAKE_MATCH_1}|${name}|${CMAKE_MATCH_2}|${CMAKE_MATCH_3}|${CMAKE_MATCH_4}")
    endif()
  endforeach()
  if(arg_NAMES)
    set(${arg_NAMES} "${names}" PARENT_SCOPE)
  endif()
  if(arg_WIRE)
    set(${arg_WIRE} "${wire}" PARENT_SCOPE)
  endif()
endfunction()
