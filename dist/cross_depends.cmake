# Run by cpack (CPACK_PROJECT_CONFIG_FILE) in a cross build: computes the
# program package's Depends with dpkg-shlibdeps, which finds the target's
# libraries in the cross toolchain's folder and names them after Debian's
# cross packages ("libc6:powerpc", "libgcc-s1-powerpc-cross"); on the target
# they are the plain packages of the package's own architecture.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(work "${CPACK_PACKAGE_DIRECTORY}/shlibdeps")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/debian")
file(TOUCH "${work}/debian/control")
set(libdirs)
foreach(dir IN LISTS CPACK_ZUNA_CROSS_LIBDIRS)
  list(APPEND libdirs "-l${dir}")
endforeach()
execute_process(
  COMMAND dpkg-shlibdeps ${libdirs} --ignore-missing-info -O "${CPACK_ZUNA_CROSS_PROGRAM}"
  WORKING_DIRECTORY "${work}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE_RECURSE "${work}")
if(NOT rc EQUAL 0 OR NOT out MATCHES "^shlibs:Depends=")
  message(FATAL_ERROR "dpkg-shlibdeps failed for ${CPACK_ZUNA_CROSS_PROGRAM}: ${err}")
endif()
string(REGEX REPLACE "^shlibs:Depends=|\n$" "" depends "${out}")
string(REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}" "" depends "${depends}")
string(REPLACE "-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross" "" depends "${depends}")
set(CPACK_DEBIAN_ZUNA_PACKAGE_DEPENDS "${depends}")
