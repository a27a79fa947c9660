# Shell functions that run a tessaro-sim for scripts and tests. Source this
# file, then:
#
#   sim_start EXECUTABLE [ARGS...]
#       Starts the simulator with ARGS plus "--port 0" (a free port) unless
#       ARGS name a port, and waits (at most 20 s) until it prints its
#       "tessaro-sim: listening on ADDR" line. Sets SIM_PID, SIM_ADDR
#       ("127.0.0.1:PORT"), SIM_PORT and SIM_LOG (its standard error); with
#       --http in ARGS also SIM_HTTP, the control page's URL
#       ("http://127.0.0.1:PORT/"). When it
#       does not come up: prints its log on stderr, stops it, returns 2.
#   sim_stop
#       Stops it by its process id (SIGTERM, SIGKILL after 5 s), removes the
#       log; does nothing when no simulator runs. Call it from an EXIT trap so
#       the simulator goes away also when the script fails.
#
# One simulator per shell at a time.

sim_start() {
  local exe=$1 port_given=0 http=0 a
  shift
  for a in "$@"; do
    [[ "$a" == --port ]] && port_given=1
    [[ "$a" == --http* ]] && http=1
  done
  ((port_given)) || set -- "$@" --port 0
  SIM_LOG=$(mktemp "${TMPDIR:-/tmp}/tessaro-sim-XXXXXX") || return 2
  "$exe" "$@" </dev/null >/dev/null 2>"$SIM_LOG" &
  SIM_PID=$!
  SIM_ADDR="" SIM_HTTP=""
  local i
  for ((i = 0; i < 400; i++)); do
    SIM_ADDR=$(sed -n '1s/^tessaro-sim: listening on //p' "$SIM_LOG")
    ((http)) && SIM_HTTP=$(sed -n '2s/^tessaro-sim: control page and API on //p' "$SIM_LOG")
    [[ -n "$SIM_ADDR" && ($http -eq 0 || -n "$SIM_HTTP") ]] && break
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.05
  done
  if [[ -z "$SIM_ADDR" || ($http -eq 1 && -z "$SIM_HTTP") ]]; then
    cat "$SIM_LOG" >&2
    sim_stop
    return 2
  fi
  SIM_PORT=${SIM_ADDR##*:}
}

sim_stop() {
  [[ -n "${SIM_PID:-}" ]] || return 0
  kill -TERM "$SIM_PID" 2>/dev/null || true
  local i
  for ((i = 0; i < 100; i++)); do
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
  rm -f "$SIM_LOG"
  SIM_PID="" SIM_ADDR="" SIM_PORT="" SIM_HTTP=""
}
