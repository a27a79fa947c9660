#!/usr/bin/env bash
# Installs the zuna and tessaro-sim packages with dpkg, runs a job on the
# installed simulator with the installed program, then removes both packages
# and checks that none of their files is left. Needs root (CI runs as root);
# skips otherwise, or when either package is already installed on the machine.
# Usage: tests/package/install.sh DIR   (DIR holds both .deb files)
set -euo pipefail
dir=$1
source "$(dirname "$0")/../../scripts/sim.sh"
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

cleanup() {
  sim_stop
  dpkg -r zuna tessaro-sim >/dev/null 2>&1 || true
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

dpkg -i "$dir"/zuna_*.deb "$dir"/tessaro-sim_*.deb >/dev/null
files=$(dpkg -L zuna tessaro-sim)

sim_start /usr/bin/tessaro-sim || fail "the installed simulator did not start"
addr=$SIM_ADDR

# The stand-in is off the loader's path: the program does not find it alone.
if ! ldconfig -p | grep -q libtessaro.so; then
  ! /usr/bin/zunaReadStr -c "$addr" -n sys.BoardAddr >/dev/null 2>&1 || fail "program ran without a libtessaro.so on the loader's path"
fi
status=0
LD_LIBRARY_PATH=/usr/lib/tessaro-sim /usr/bin/zunaRunJob -c "$addr" -n Demo || status=$?
[[ $status -eq 0 ]] || fail "zunaRunJob -n Demo exited with $status"

sim_stop
dpkg -r zuna tessaro-sim >/dev/null
left=$(while read -r f; do if [[ -L "$f" || (-e "$f" && ! -d "$f") ]]; then echo "$f"; fi; done <<<"$files")
[[ -z "$left" ]] || fail "left after removal: $left"
! dpkg-query -W -f='${Status}\n' zuna tessaro-sim 2>/dev/null | grep -q ' installed' || fail "still installed"
echo "package install test: ok"
