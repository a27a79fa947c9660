#!/usr/bin/env bash
# Shows what the program does, on the bundled simulated controller: builds the
# program and the simulator, starts the simulator on a free port, then runs
# one command of each kind, echoing it first and printing its exit status with
# its meaning. Exits 1 if any command does not give the status it should.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sim.sh

scripts/deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" --target multicall tessaro-sim
export PATH="$PWD/build/host/bin:$PATH"

trap sim_stop EXIT
sim_start tessaro-sim
addr=$SIM_ADDR
echo "simulated controller at $addr (each command pauses 0.5 s after connecting)"

meaning() {
  case $1 in
    0) echo "success" ;;
    1) echo "option error" ;;
    2) echo "no connection, or the operation failed" ;;
    4) echo "the job could not be started" ;;
    5) echo "the job run could not be followed to its verdict" ;;
    6) echo "the job ran and failed" ;;
    *) echo "not a status of the program" ;;
  esac
}

# step EXPECTED_STATUS COMMAND ARGS...: shows and runs the command against the
# simulator; its standard output is kept in $out.
failures=0
out=""
step() {
  local expected=$1 status=0
  shift
  echo "\$ $1 -c $addr ${*:2}"
  out=$("$1" -c "$addr" "${@:2}") || status=$?
  [[ -n "$out" ]] && printf '%s\n' "$out"
  echo "# exit status $status: $(meaning "$status")"
  if [[ $status -ne $expected ]]; then
    echo "# UNEXPECTED: should be $expected ($(meaning "$expected"))"
    failures=$((failures + 1))
  fi
  echo
}
section() { printf '\n## %s\n\n' "$*"; }

section "A value read as text"
step 0 zunaReadStr -n sys.BoardAddr
section "The full report of a variable: a binary value with its hex dump"
step 0 zunaReadVar -n demo.Calibration
section "A write, read back"
step 0 zunaWriteStr -n demo.Speed -v 1200
step 0 zunaReadStr -n demo.Speed
[[ "$out" == 1200 ]] || { echo "# UNEXPECTED: read back '$out', not 1200"; failures=$((failures + 1)); }
section "A variable created, then read"
step 0 zunaCreateVar -n scratch.Offset -t VT_R64
step 0 zunaReadStr -n scratch.Offset
section "A job that completes, and one that fails"
step 0 zunaRunJob -n Demo
step 6 zunaRunJob -n DemoFail

if [[ $failures -ne 0 ]]; then
  echo "demo: $failures step(s) did not give the expected status" >&2
  exit 1
fi
echo "demo: every step gave the expected status"
