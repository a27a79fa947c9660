#!/usr/bin/env bash
# Builds the program and runs a job on the bundled simulated controller:
# starts tessaro-sim on a free port, runs `zunaRunJob -n Demo` against it and
# exits with the program's status. Extra arguments go to zunaRunJob.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sim.sh

scripts/deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" --target multicall tessaro-sim

trap sim_stop EXIT
sim_start build/host/bin/tessaro-sim

echo "simulated controller at $SIM_ADDR"
echo "+ zunaRunJob -c $SIM_ADDR -n Demo $*"
set +e
build/host/bin/zunaRunJob -c "$SIM_ADDR" -n Demo "$@"
status=$?
set -e
echo "zunaRunJob exit status: $status"
exit "$status"
