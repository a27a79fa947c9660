#!/usr/bin/env bash
# What each shipped program needs of the system it runs on: the highest
# GLIBC_ and GLIBCXX_ versions it asks for and the libraries it needs,
# printed as rows of the README's table. Fails when the README or a
# package's Depends says otherwise (the C library below the floor, the C++
# runtime's packages named without need or missing), when a library is named
# by path, on a library search path, on an exported function other than
# hexdump, and when a tarball's program needs a C++ runtime. scripts/package.sh
# runs it on every package of the program it makes.
# Usage: scripts/floor.sh README PACKAGE...   (zuna .deb or .tar.gz)
set -euo pipefail
readme=$1
shift
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL $pkg: $*" >&2; failures=$((failures + 1)); }
highest() { readelf -VW "$prog" | grep -oE "Name: $1_[0-9.]+" | sed "s/.*_//" | sort -V | tail -n 1 | grep . || echo none; }

for pkg in "$@"; do
  rm -rf "${root:?}"/*
  if [[ $pkg == *.deb ]]; then
    dpkg-deb -x "$pkg" "$root"
    prog=$root/usr/libexec/zuna/multicall kind="Debian package" arch=$(dpkg-deb -f "$pkg" Architecture)
  else
    tar -C "$root" -xzf "$pkg"
    prog=$root/libexec/zuna/multicall kind=tarball arch=${pkg##*-linux-}
  fi
  needed=$(readelf -dW "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | paste -sd ' ')
  glibc=$(highest GLIBC)
  row="| ${arch%.tar.gz} | $kind | $glibc | $(highest GLIBCXX) | $needed |"
  echo "$row"
  grep -qxF "$row" "$readme" || fail "$readme lacks the row"
  [[ $needed != */* ]] || fail "a library named by path"
  ! readelf -dW "$prog" | grep -qE '\((RPATH|RUNPATH)\)' || fail "a library search path"
  nm=nm
  [[ $arch == powerpc* ]] && nm=powerpc-linux-gnu-nm
  cmake -DNM=$nm -DPROGRAM="$prog" -P "$(dirname "$0")/../cmake/check_dynsym.cmake" >/dev/null || fail "exports more than hexdump"
  if [[ $kind == tarball ]]; then
    [[ $needed != *libstdc++* && $needed != *libgcc_s* ]] || fail "needs a C++ runtime"
    continue
  fi
  depends=$(dpkg-deb -f "$pkg" Depends)
  libc=$(grep -oP 'libc6 \(>= \K[^)]+' <<<"$depends" || echo 0)
  dpkg --compare-versions "$libc" ge "$glibc" || fail "Depends: libc6 (>= $libc) is below GLIBC_$glibc"
  for pair in libstdc++.so.6=libstdc++6 libgcc_s.so.1=libgcc-s1; do
    [[ " $needed " == *" ${pair%=*} "* ]] && want=1 || want=0
    sed 's/ ([^)]*)//g; s/, /\n/g' <<<"$depends" | grep -qxF "${pair#*=}" && has=1 || has=0
    ((want == has)) || fail "needs ${pair%=*}: $want; Depends names ${pair#*=}: $has"
  done
done
exit $((failures > 0))
