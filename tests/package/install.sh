#!/usr/bin/env bash
# Installs the zuna and tessaro-sim packages with dpkg, runs a job on the
# installed simulator with the installed program, then removes both packages
# and checks that none of their files is left. Needs root (CI runs as root);
# skips otherwise, or when either package is already installed on the machine.
# Usage: tests/package/install.sh DIR   (DIR holds both .deb files)
set -euo pipefail
dir=$1
if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP package install test: needs root to run dpkg -i" >&2
  exit 0
fi
for p in zuna tessaro-sim; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed'; then
    echo "SKIP package install test: $p is already installed here" >&2
    exit 0
  fi
done

log=$(mktemp)
sim=""
cleanup() {
  [[ -n "$sim" ]] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  dpkg -r zuna tessaro-sim >/dev/null 2>&1 || true
  rm -f "$log"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

dpkg -i "$dir"/zuna_*.deb "$dir"/tessaro-sim_*.deb >/dev/null
files=$(dpkg -L zuna tessaro-sim)

/usr/bin/tessaro-sim --port 0 2>"$log" &
sim=$!
addr=""
for _ in $(seq 100); do
  addr=$(sed -n 's/^tessaro-sim: listening on //p' "$log")
  [[ -n "$addr" ]] && break
  kill -0 "$sim" 2>/dev/null || fail "simulator ended: $(cat "$log")"
  sleep 0.1
done
[[ -n "$addr" ]] || fail "simulator did not listen"

# The stand-in is off the loader's path: the program does not find it alone.
if ! ldconfig -p | grep -q libtessaro.so; then
  ! /usr/bin/zunaReadStr -c "$addr" -n sys.BoardAddr >/dev/null 2>&1 || fail "program ran without a libtessaro.so on the loader's path"
fi
status=0
LD_LIBRARY_PATH=/usr/lib/tessaro-sim /usr/bin/zunaRunJob -c "$addr" -n Demo || status=$?
[[ $status -eq 0 ]] || fail "zunaRunJob -n Demo exited with $status"

kill "$sim"; wait "$sim" 2>/dev/null || true; sim=""
dpkg -r zuna tessaro-sim >/dev/null
left=$(while read -r f; do if [[ -L "$f" || (-e "$f" && ! -d "$f") ]]; then echo "$f"; fi; done <<<"$files")
[[ -z "$left" ]] || fail "left after removal: $left"
! dpkg-query -W -f='${Status}\n' zuna tessaro-sim 2>/dev/null | grep -q ' installed' || fail "still installed"
echo "package install test: ok"
