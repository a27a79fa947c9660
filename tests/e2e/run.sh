#!/usr/bin/env bash
# Runs one transcript of end-to-end cases: the program through its links
# against tessaro-sim, standard output, standard error and exit status
# compared byte for byte. A transcript is a bash file of these commands:
#
#   sim [SCENARIO] [FILTER]    (re)start the simulator: the default machine, or
#                              SCENARIO (a path, or a name in the data folder),
#                              changed by the jq FILTER (faults, settings). $A
#                              is its address; $work a folder for files.
#   nosim                      stop it; $A then names a port where nothing listens,
#                              as does $NOWHERE all along
#   late SECONDS               the next case starts with no simulator; one comes
#                              up on $A that many seconds later
#   testcmd NAME CMD OUT ERR STATUS
#                              runs CMD (shell words, $A expanded). Its first word
#                              is the argv[0] the program gets; it runs the link
#                              of that base name, or the multicall program when
#                              there is none. OUT and ERR take backslash escapes.
#   same NAME FILE1 FILE2      the two files are byte for byte the same
#   connections N              the cases since the simulator started or since the
#                              last check made N connections
#
# Environment: BIN_DIR (program and links), SIM (host tessaro-sim), DATA_DIR,
# DEFAULT_SCENARIO, EMULATOR (prefix for target programs, empty when native).
# With RECORD_CHECK (tests/record) and RECORD_LIBRARY as well, every case
# is recorded: natively under zuna-record (from BIN_DIR), with EMULATOR by
# the recording library that the emulator preloads. It must give the same
# bytes and status as without, and its recording must be what the simulator
# traced of it.
# Transcripts see the project's version, as project() states it, in $VERSION.
# Usage: run.sh TRANSCRIPT
set -u
source "$(dirname "$0")/../../scripts/sim.sh"
VERSION=$(sed -n 's/^project(zuna VERSION \([^ )]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")

failed=0
late=0
scenario=()
work=$(mktemp -d "${TMPDIR:-/tmp}/zuna-e2e-XXXXXX")
trap 'sim_stop; rm -rf "$work"' EXIT

sim() {
  local file=${1:-} filter=${2:-}
  sim_stop
  [[ -n "$file" && "$file" != /* ]] && file=$DATA_DIR/$file
  if [[ -n "$filter" ]]; then
    jq "$filter" "${file:-$DEFAULT_SCENARIO}" >"$work/scenario.json" || exit 2
    file=$work/scenario.json
  fi
  scenario=()
  [[ -n "$file" ]] && scenario=(--scenario "$file")
  [[ -n "${RECORD_CHECK:-}" ]] && scenario+=(--trace "$work/trace.jsonl")
  sim_start "$SIM" "${scenario[@]}" || exit 2
  A=$SIM_ADDR
  checked=0
}

nosim() {
  sim_stop
  A=$NOWHERE
}

# A port that was free a moment ago: where a simulator just stopped.
sim_start "$SIM" || exit 2
NOWHERE=$SIM_ADDR
sim_stop

late() { late=$1; }

# What runs under zuna-record natively: RECORD_PRELOAD (a sanitizer's
# runtime, which a sanitized program wants loaded ahead of zuna-record's
# library) preloaded, and the leak check left to the runs without it, since
# it reaches the shells too. Words for env; none without a sanitizer.
record_env=()
[[ -n "${RECORD_PRELOAD:-}" ]] &&
  record_env=("LD_PRELOAD=$RECORD_PRELOAD" "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0")

# Runs the program with argv[0] = $1, bounded; stdout and stderr to files.
run() {
  local argv0=$1 exe=$BIN_DIR/${1##*/}
  shift
  [[ -n "${argv0##*/}" && -f "$exe" ]] || exe=$BIN_DIR/multicall
  if [[ -n "${RECORD_CHECK:-}" && -z "$EMULATOR" ]]; then
    timeout -k 5 200 env "${record_env[@]}" "$BIN_DIR/zuna-record" -o "$work/recording" -- \
      bash -c 'exec -a "$0" "$@"' "$argv0" "$exe" "$@"
  elif [[ -n "${RECORD_CHECK:-}" ]]; then
    : >"$work/recording"
    timeout -k 5 200 $EMULATOR -E "LD_PRELOAD=$RECORD_LIBRARY" -E "ZUNA_RECORD_FILE=$work/recording" \
      -0 "$argv0" "$exe" "$@"
  elif [[ -n "$EMULATOR" ]]; then
    timeout -k 5 200 $EMULATOR -0 "$argv0" "$exe" "$@"
  elif ((${#record_env[@]})); then  # zuna-record's own cases: its name is its file's
    timeout -k 5 200 env "${record_env[@]}" "$exe" "$@"
  else
    timeout -k 5 200 bash -c 'exec -a "$0" "$@"' "$argv0" "$exe" "$@"
  fi >"$work/out" 2>"$work/err" </dev/null
}

testcmd() {
  local name=$1 cmd=$2 want=$5 status
  printf '%b' "$3" >"$work/want_out"
  printf '%b' "$4" >"$work/want_err"
  eval "set -- $cmd"
  local traced=0
  [[ -f "$work/trace.jsonl" ]] && traced=$(stat -c %s "$work/trace.jsonl")
  if ((late)); then
    traced=0
    run "$@" &
    local pid=$! port=${A##*:}
    sleep "$late"
    late=0
    sim_start "$SIM" "${scenario[@]}" --port "$port" || exit 2
    checked=0
    wait "$pid"
  else
    run "$@"
  fi
  status=$?
  local recorded=ok
  if [[ -n "${RECORD_CHECK:-}" ]]; then
    if [[ -n "$SIM_PID" ]]; then
      recorded=$("$RECORD_CHECK" "$work/recording" "$work/trace.jsonl" "$traced" 2>&1) && recorded=ok
    else
      recorded=$("$RECORD_CHECK" "$work/recording" 2>&1) && recorded=ok
    fi
  fi
  if cmp -s "$work/out" "$work/want_out" && cmp -s "$work/err" "$work/want_err" && [[ $status == "$want" &&
    $recorded == ok ]]; then
    echo "PASS: $name"
    return
  fi
  echo "FAIL: $name"
  echo "  command: $cmd"
  echo "  status: $status, expected $want"
  diff -u --label "expected stdout" --label stdout "$work/want_out" "$work/out"
  diff -u --label "expected stderr" --label stderr "$work/want_err" "$work/err"
  [[ $recorded == ok ]] || echo "  recording: $recorded"
  failed=1
}

same() {
  if cmp -s "$2" "$3"; then
    echo "PASS: $1"
    return
  fi
  echo "FAIL: $1"
  diff -u --label "$2" --label "$3" "$2" "$3"
  failed=1
}

connections() {
  local opened made
  opened=$(grep -c ' opened$' "$SIM_LOG")
  made=$((opened - checked))
  checked=$opened
  ((made == $1)) && return
  echo "FAIL: $made connections, expected $1"
  failed=1
}

source "$1"
exit "$failed"
