#!/usr/bin/env bash
# Builds the program and runs a job on the bundled simulated controller:
# starts tessaro-sim on a free port, runs `zunaRunJob -n Demo` against it and
# exits with the program's status. Extra arguments go to zunaRunJob.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" --target multicall tessaro-sim

log=$(mktemp)
build/host/bin/tessaro-sim --port 0 2>"$log" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$log"' EXIT

# Wait (bounded) until the simulator says where it listens.
addr=""
for _ in $(seq 100); do
  addr=$(sed -n 's/^tessaro-sim: listening on //p' "$log" | head -n 1)
  [[ -n "$addr" ]] && break
  kill -0 "$sim" 2>/dev/null || { cat "$log" >&2; exit 2; }
  sleep 0.1
done
[[ -n "$addr" ]] || { echo "simulator did not start" >&2; exit 2; }

echo "simulated controller at $addr"
echo "+ zunaRunJob -c $addr -n Demo $*"
set +e
build/host/bin/zunaRunJob -c "$addr" -n Demo "$@"
status=$?
set -e
echo "zunaRunJob exit status: $status"
exit "$status"
