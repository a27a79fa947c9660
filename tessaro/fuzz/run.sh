#!/usr/bin/env bash
# Runs every fuzz target of a fuzz-preset build for a bounded time, each on a
# copy of its seed corpus (the repository stays clean), and fails on any
# finding: a crash, a sanitizer report, a timeout or a memory blow-up. The
# input of a finding is kept and named; it goes into the corpus with its fix.
# Prints each target's executions per second and coverage (cov/ft).
# Usage: tessaro/fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]   (default 50)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=${2:-50}
work=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-fuzz.XXXXXX")
failed=()
targets=("$build"/tessaro/fuzz/fuzz_*)
[[ -x "${targets[0]}" ]] || { echo "no fuzz targets built in $build" >&2; exit 1; }
for bin in "${targets[@]}"; do
  target=${bin##*/fuzz_}
  corpus="$work/$target"
  mkdir -p "$corpus"
  cp "$here/corpus/$target/"* "$corpus/"
  dict=()
  [[ -f "$here/$target.dict" ]] && dict=("-dict=$here/$target.dict")
  echo "== fuzz $target: ${seconds} s"
  if "$bin" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$work/$target-" "$corpus" >"$work/$target.log" 2>&1; then
    # The last status line holds the coverage reached.
    grep -E '^#[0-9]+' "$work/$target.log" | tail -n 1
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$work/$target.log"
  else
    tail -n 60 "$work/$target.log"
    failed+=("$target")
  fi
done
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzzing found faults in: ${failed[*]}; inputs and logs kept in $work" >&2
  exit 1
fi
rm -rf "$work"
