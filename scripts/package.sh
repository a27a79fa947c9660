#!/usr/bin/env bash
# Builds the Debian packages: from the host build, zuna (the program) and
# tessaro-sim (simulator, example programs, stand-in library) for the host's
# architecture; from the ppc32 cross build, zuna for powerpc. Each package is
# then checked with lintian, which must report no error.
# Usage: scripts/package.sh [host|ppc32|all]   (default: host)
# The packages land in build/PRESET/packages/.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-host}" in
  host | ppc32) presets=("${1:-host}") ;;
  all) presets=(host ppc32) ;;
  *) echo "usage: scripts/package.sh [host|ppc32|all]" >&2; exit 1 ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
for p in "${presets[@]}"; do
  if [[ "$p" == ppc32 && ! -x build/host/bin/tessaro-sim ]]; then
    # The cross build's configuration names the host simulator for its tests.
    cmake --preset host >/dev/null
    cmake --build --preset host --target tessaro-sim -j "$jobs"
  fi
  echo "== $p: packages"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" -j "$jobs"
  rm -rf "build/$p/packages"
  (cd "build/$p" && cpack --config CPackConfig.cmake >/dev/null)
  ls "build/$p"/packages/*.deb
  lintian --fail-on error --tag-display-limit 0 "build/$p"/packages/*.deb
done
