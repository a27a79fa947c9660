# Debian packages, one per install component, made by `cpack` in a build tree
# (scripts/package.sh). The native build gives amd64 packages, the ppc32 cross
# build the powerpc one; the simulator is a host tool, so a cross build
# packages the program alone.
#
# `cpack -G TGZ` makes the program's tarball instead, for controllers without
# dpkg: zuna-VERSION-linux-ARCH.tar.gz, its paths relative to whatever folder
# it is unpacked in (tar -C /usr/local or /opt/zuna), the links relative too.
set(CPACK_GENERATOR DEB)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_ZUNA_FILE_NAME zuna-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_PACKAGE_NAME zuna)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zuna maintainers <zuna@example.org>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
if(CMAKE_CROSSCOMPILING)
  set(CPACK_COMPONENTS_ALL zuna)
else()
  set(CPACK_COMPONENTS_ALL zuna sim)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE zuna)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/zuna")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "powerpc")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
endif()

set(CPACK_DEBIAN_ZUNA_PACKAGE_NAME zuna)
set(CPACK_DEBIAN_ZUNA_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_ZUNA_DESCRIPTION "command-line client for a machine controller
One program reached through seven commands that read, write and create
controller variables and select, start and run jobs: zunaReadVar,
zunaReadStr, zunaWriteStr, zunaCreateVar, zunaSelectJob, zunaStartJob and
zunaRunJob. Exit statuses tell scripts what happened.

It talks to the controller through the controller's libtessaro.so, which
this package does not ship: the controller's own library is used.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME tessaro-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# CPack calls ldconfig in the maintainer scripts of any package with a library
# under /usr/lib; the override (installed by dist/CMakeLists.txt) records why
# that is harmless here.
set(CPACK_DEBIAN_SIM_DESCRIPTION "simulated machine controller for testing zuna scripts
tessaro-sim serves a simulated controller (variables, jobs, PLC state,
devices, injected faults) described by a JSON scenario, so scripts around
the zuna commands can be tested without hardware. The package also holds
the example programs that print and copy a controller's contents, and a
stand-in libtessaro.so in /usr/lib/tessaro-sim, off the loader's default
path, so that it never shadows a controller's own library.")

# Dependencies from the binaries' needs. The program needs libtessaro.so,
# which no Debian package provides (the controller's vendor installs it);
# dpkg-shlibdeps is told where the stand-in is so that it can read it.
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_ZUNA_CROSS_PROGRAM ${CMAKE_BINARY_DIR}/bin/multicall)
  set(CPACK_ZUNA_CROSS_LIBDIRS ${CMAKE_BINARY_DIR}/lib)
  foreach(root IN LISTS CMAKE_FIND_ROOT_PATH)
    list(APPEND CPACK_ZUNA_CROSS_LIBDIRS ${root}/lib)
  endforeach()
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cross_depends.cmake)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
endif()

include(CPack)
