#!/usr/bin/env bash
# The 32-bit PowerPC program as a controller gets it, its installed links run
# under qemu-ppc against the host simulator (installed.test):
#   target.sh tarball TARBALL
#       unpacked into a scratch folder, the stand-in library beside it
#   target.sh sdk
#       built as a controller maker's SDK user builds it: the compiler from
#       CC/CXX (as the SDK's environment script sets them), the vendor's
#       library and header, nothing else (nlohmann-json, GoogleTest and Google
#       Benchmark hidden from CMake), installed with DESTDIR. The ppc32
#       stand-in plays the vendor's library, as a copy without SONAME (its own
#       link command without -soname) moved elsewhere after the build. Then a
#       vendor header that differs must fail the build, naming the operation.
# Needs build/ppc32 (the stand-in) and build/host (the simulator).
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
runs() { # BIN_DIR LIB_DIR
  BIN_DIR=$1 SIM=build/host/bin/tessaro-sim EMULATOR="qemu-ppc -L /usr/powerpc-linux-gnu -E LD_LIBRARY_PATH=$2" \
    bash tests/e2e/run.sh tests/package/installed.test
}

if [[ $1 == tarball ]]; then
  tar -C "$work" -xzf "$2"
  runs "$work/bin" "$PWD/build/ppc32/lib"
  exit
fi
link=$(ninja -C build/ppc32 -t commands lib/libtessaro.so | tail -n 1)
link=${link//-Wl,-soname,libtessaro.so/}
mkdir "$work/vendor" "$work/include"
(cd build/ppc32 && eval "${link/-o lib\/libtessaro.so/-o $work/vendor/libtessaro.so}")
! readelf -d "$work/vendor/libtessaro.so" | grep -q SONAME || fail "the vendor's copy has a SONAME"
cp src/lang-c/xal_tessaro.h "$work/include/"
CC=powerpc-linux-gnu-gcc CXX=powerpc-linux-gnu-g++ cmake -S . -B "$work/build" -G Ninja -DZUNA_WERROR=ON \
  -DTESSARO_VENDOR_LIBRARY="$work/vendor/libtessaro.so" -DTESSARO_VENDOR_INCLUDE_DIR="$work/include" \
  -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DGTEST_SOURCE_DIR="$work/none" >/dev/null
cmake --build "$work/build"
DESTDIR="$work/root" cmake --install "$work/build" --prefix /usr/local >/dev/null
mv "$work/vendor" "$work/moved"
for f in libexec/zuna/multicall bin/controllerReport bin/controllerSnapshot; do
  d=$(readelf -d "$work/root/usr/local/$f")
  [[ $d == *'Shared library: [libtessaro.so]'* && $d != *RPATH* && $d != *RUNPATH* ]] || fail "$f: $d"
done
runs "$work/root/usr/local/bin" "$work/moved"

sed -i 's/^int JobStart(HController HC);/int JobStart(HController HC, int);/' "$work/include/xal_tessaro.h"
! out=$(cmake --build "$work/build" --target tessaro_vendor_header_check 2>&1) || fail "the build took a vendor header that differs"
grep -q 'JobStart: xal_operations.def differs from xal_tessaro.h' <<<"$out" || fail "the failed build does not name JobStart: $out"
echo "PASS: a vendor header that differs fails the build, naming the operation"
