#!/usr/bin/env bash
# Builds every preset and runs its tests: host (with benchmarks built),
# address+undefined sanitizers, the fuzzers (built with clang, each run for
# FUZZ_SECONDS, default 20), thread sanitizer, and the 32-bit PowerPC cross
# build under qemu-ppc (its end-to-end tests use the host simulator, so the
# host preset goes first) and the build a controller maker's SDK user makes;
# then the Debian packages of both architectures (built, checked with
# lintian, unpacked and checked, and as root installed, used and removed),
# what each shipped program needs of its system, and the tarball unpacked and
# run. Installs missing Debian packages when run as root.
# Usage: scripts/test.sh [step...]   (steps: host asan fuzz tsan ppc32 package;
# default all of them)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[[ ${#presets[@]} -eq 0 ]] && presets=(host asan fuzz tsan ppc32 package)

deps=(--docs)
for p in "${presets[@]}"; do
  [[ "$p" == ppc32 || "$p" == package ]] && deps+=(--cross)
  [[ "$p" == package ]] && deps+=(--package)
  [[ "$p" == fuzz ]] && deps+=(--fuzz)
  [[ "$p" == host ]] && deps+=(--clang --browser)
done
scripts/deps.sh "${deps[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
step_start=$SECONDS
# Says how long the step took, for keeping the whole run within its budget.
took() {
  echo "== $1: took $((SECONDS - step_start)) s"
  step_start=$SECONDS
}
took deps
for p in "${presets[@]}"; do
  if [[ ("$p" == ppc32 || "$p" == package) && ! -x build/host/bin/tessaro-sim ]]; then
    echo "== host (simulator for the cross build's tests)"
    cmake --preset host >/dev/null
    cmake --build --preset host --target tessaro-sim record_check -j "$jobs"
  fi
  if [[ "$p" == package ]]; then
    echo "== package: build, lintian, floor, contents, tarball, install"
    scripts/package.sh all
    tests/package/contents.sh build/deb-host/packages/*.deb build/deb-ppc32/packages/*.deb
    tests/package/target.sh tarball build/ppc32/packages/zuna-*.tar.gz
    tests/package/install.sh build/deb-host/packages
    took "$p"
    continue
  fi
  echo "== $p: configure and build"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" -j "$jobs"
  if [[ "$p" == fuzz ]]; then
    tessaro/fuzz/run.sh build/fuzz "${FUZZ_SECONDS:-20}"
    took "$p"
    continue
  fi
  echo "== $p: test"
  ctest --preset "$p" -j "$((jobs * 2))"
  if [[ "$p" == ppc32 ]]; then
    echo "== ppc32: the build of a controller maker's SDK user"
    tests/package/target.sh sdk
  fi
  took "$p"
done
echo "all steps passed: ${presets[*]}"
