#!/usr/bin/env bash
# Builds the Debian packages and the tarball. The Debian packages come from
# builds that use the system's C++ runtime, which Debian provides (presets
# deb-host and deb-ppc32): zuna (the program) and tessaro-sim (simulator,
# example programs, stand-in library) for the host's architecture, zuna for
# powerpc; each is checked with lintian, which must report no error and no
# warning. The tarball zuna-VERSION-linux-powerpc.tar.gz, for controllers
# without dpkg, comes from the ppc32 build, which carries its C++ runtime.
# What each package's program needs of its system must match its Depends and
# the README's table (scripts/floor.sh).
# Usage: scripts/package.sh [host|ppc32|all]   (default: host)
# The packages land in build/deb-PRESET/packages/, the tarball in
# build/ppc32/packages/.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-host}" in
  host | ppc32) presets=("${1:-host}") ;;
  all) presets=(host ppc32) ;;
  *) echo "usage: scripts/package.sh [host|ppc32|all]" >&2; exit 1 ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
# build PRESET: configures and builds it.
build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}
for p in "${presets[@]}"; do
  echo "== $p: Debian packages"
  build "deb-$p"
  rm -rf "build/deb-$p/packages"
  (cd "build/deb-$p" && cpack --config CPackConfig.cmake >/dev/null)
  ls "build/deb-$p"/packages/*.deb
  lintian --fail-on error,warning --tag-display-limit 0 "build/deb-$p"/packages/*.deb
  scripts/floor.sh README.md "build/deb-$p"/packages/zuna_*.deb
  if [[ "$p" == ppc32 ]]; then
    echo "== ppc32: tarball"
    build ppc32
    rm -rf build/ppc32/packages
    (cd build/ppc32 && cpack -G TGZ --config CPackConfig.cmake >/dev/null)
    ls -l build/ppc32/packages/*.tar.gz
    scripts/floor.sh README.md build/ppc32/packages/*.tar.gz
  fi
done
