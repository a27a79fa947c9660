#!/usr/bin/env bash
# A shift on a line, as a script its engineers might run: every link of the
# program, controllerReport and controllerSnapshot against the controller at
# ADDRESS (a line playing tests/e2e/data/line.json: a job that fails, a read
# that a fault fails, a binary value). Between its halves, which both read
# the temperature, it runs the shell command $MIDRUN (the line changing it
# meanwhile). Each step's standard output, error and status go to
# OUTDIR/N.out, N.err, N.status.
#
#   line.sh ADDRESS OUTDIR
#
# Environment: BIN_DIR (the program and its links); LABEL (the label the
# script writes, default batch-42); EMULATOR (prefix for target programs)
# and then, to record them, RECORD_LIBRARY and RECORDING.
set -u
A=$1 out=$2 n=0
step() {
  local exe=$BIN_DIR/$1 rec=()
  [[ -n "${RECORDING:-}" ]] && rec=(-E "LD_PRELOAD=$RECORD_LIBRARY" -E "ZUNA_RECORD_FILE=$RECORDING")
  n=$((n + 1))
  if [[ -n "${EMULATOR:-}" ]]; then
    timeout -k 5 100 $EMULATOR "${rec[@]}" -0 "$1" "$exe" "${@:2}"
  else
    timeout -k 5 100 "$exe" "${@:2}"
  fi >"$out/$n.out" 2>"$out/$n.err" </dev/null
  echo $? >"$out/$n.status"
}
step zunaReadVar -c "$A" -n line.Speed
step zunaReadStr -c "$A" -n line.Pattern
step zunaReadStr -c "$A" -n line.Count
step zunaReadStr -c "$A" -n line.Count
step zunaWriteStr -c "$A" -n line.Label -v "${LABEL:-batch-42}"
step zunaCreateVar -c "$A" -n scratch.Note -t VT_STR
step zunaWriteStr -c "$A" -n scratch.Note -v checked
step zunaSelectJob -c "$A" -n Mark
step zunaStartJob -c "$A" -n Mark
step zunaReadStr -c "$A" -n line.Temp
eval "${MIDRUN:-true}"
step zunaReadStr -c "$A" -n line.Temp
step zunaRunJob -c "$A" -n Cut
step zunaRunJob -c "$A" -n Mark
step zunaReadStr -c "$A" -n line.Label
step controllerReport -c "$A"
step controllerSnapshot -c "$A" -o "$out/snapshot.json" line
