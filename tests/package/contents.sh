#!/usr/bin/env bash
# Unpacks each Debian package given into a scratch root and checks what it
# holds: the program's package (any architecture) has the program in its own
# folder, its seven relative links, their manual page and completion, and
# zuna-record with its library as the one library (floor.sh checks what the
# program needs);
# the simulator's package keeps the stand-in library in its private folder,
# off the loader's default path, where the example program finds it.
# Usage: tests/package/contents.sh PACKAGE.deb...
set -euo pipefail
links=(zunaReadVar zunaReadStr zunaWriteStr zunaCreateVar zunaSelectJob zunaStartJob zunaRunJob)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL $deb: $*" >&2; failures=$((failures + 1)); }

# expect_link PATH TARGET: PATH is a symlink to the relative TARGET that resolves.
expect_link() {
  [[ -L "$root/$1" && $(readlink "$root/$1") == "$2" && -e "$root/$1" ]] || fail "$1 is not a link to $2"
}

for deb in "$@"; do
  rm -rf "${root:?}"/*
  dpkg-deb -x "$deb" "$root"
  case $(dpkg-deb -f "$deb" Package) in
    zuna)
      [[ -f "$root/usr/libexec/zuna/multicall" && ! -e "$root/usr/bin/multicall" ]] || fail "no usr/libexec/zuna/multicall"
      [[ -f "$root/usr/share/man/man1/zuna.1.gz" ]] || fail "no manual page"
      [[ -f "$root/usr/share/bash-completion/completions/zuna" ]] || fail "no completion"
      for l in "${links[@]}"; do
        expect_link "usr/bin/$l" ../libexec/zuna/multicall
        expect_link "usr/share/man/man1/$l.1.gz" zuna.1.gz
        expect_link "usr/share/bash-completion/completions/$l" zuna
      done
      for f in usr/bin/zuna-record usr/lib/zuna/libzuna-record.so usr/share/man/man1/zuna-record.1.gz \
               usr/share/bash-completion/completions/zuna-record; do
        [[ -f "$root/$f" ]] || fail "no $f"
      done
      libs=$(find "$root" -name '*.so*' ! -path "$root/usr/lib/zuna/libzuna-record.so")
      [[ -z "$libs" ]] || fail "ships a library: $libs"
      # zuna-record finds its library in the unpacked tree (a package of this
      # machine's architecture).
      if [[ $(dpkg-deb -f "$deb" Architecture) == $(dpkg --print-architecture) ]]; then
        "$root/usr/bin/zuna-record" -o "$root/rec" -- true 2>&1 | grep . && fail "zuna-record finds no library"
        [[ -f "$root/rec" ]] || fail "zuna-record made no recording"
      fi
      ;;
    tessaro-sim)
      for f in usr/bin/tessaro-sim usr/bin/tessaro-scenario usr/bin/controllerReport usr/bin/controllerSnapshot \
               usr/lib/tessaro-sim/libtessaro.so usr/share/man/man1/tessaro-scenario.1.gz \
               usr/share/bash-completion/completions/tessaro-scenario \
               usr/share/man/man1/tessaro-sim.1.gz usr/share/man/man1/controllerReport.1.gz \
               usr/share/man/man1/controllerSnapshot.1.gz \
               usr/share/man/man5/tessaro-scenario.5.gz usr/share/bash-completion/completions/tessaro-sim; do
        [[ -f "$root/$f" ]] || fail "no $f"
      done
      libs=$(find "$root" -name '*.so*' ! -path "$root/usr/lib/tessaro-sim/*")
      [[ -z "$libs" ]] || fail "library outside the private folder: $libs"
      # The example program loads the stand-in from the unpacked tree (it
      # prints its usage and exits 0 before connecting).
      env -u LD_LIBRARY_PATH "$root/usr/bin/controllerReport" -h 2>/dev/null || fail "controllerReport cannot start"
      ;;
    *) fail "unexpected package" ;;
  esac
done
[[ $failures -eq 0 ]] && echo "package contents: $# packages ok"
exit $((failures > 0))
