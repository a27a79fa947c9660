#!/usr/bin/env bash
# Measures the program, the stand-in library and the simulator against their
# performance goals and writes docs/performance.md (the machine, the method
# and the figures). Takes a few minutes; run it on an otherwise idle machine.
# Usage: scripts/bench.sh [OUTPUT]   (default docs/performance.md)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/performance.md}
runs=${BENCH_RUNS:-30}  # runs per whole-process timing

scripts/deps.sh --bench --browser
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" \
  --target multicall tessaro-sim controllerSnapshot zuna_record roundtrip_bench sleep_ref machine_read_bench >/dev/null
bin=build/host/bin
# shellcheck source=scripts/sim.sh
source scripts/sim.sh

work=$(mktemp -d)
spinners=()  # the processes that keep the cores busy, while they run
trap 'sim_stop; ((${#spinners[@]} == 0)) || kill "${spinners[@]}" 2>/dev/null; rm -rf "$work"' EXIT

# ---- the machine measured: the default values plus what the growth figures need
hexbytes() { head -c "$1" /dev/urandom | od -An -tx1 -v | tr -d ' \n'; }
children() {
  local i sep=""
  for ((i = 0; i < $1; i++)); do printf '%s{"name":"v%d","type":"VT_I32","value":"%d"}' "$sep" "$i" "$i"; sep=,; done
}
{
  printf '{"nodes":[{"name":"sys","type":"FOLDER","children":['
  printf '{"name":"BoardAddr","type":"VT_STR","value":"192.168.10.20"},'
  printf '{"name":"Label","type":"VT_STR","value":"bench"},'
  printf '{"name":"Bin1K","type":"VT_BIN","value":"%s"},' "$(hexbytes 1024)"
  printf '{"name":"Bin64K","type":"VT_BIN","value":"%s"},' "$(hexbytes 65536)"
  printf '{"name":"Bin1M","type":"VT_BIN","value":"%s"}]},' "$(hexbytes 1048576)"
  printf '{"name":"Tree","type":"FOLDER","children":[%s]},' "$(children 10000)"
  printf '{"name":"jobs","type":"FOLDER","children":[{"name":"Ten","type":"VT_JOB","duration_ms":10000}]}]}\n'
} >"$work/bench.json"

sim_start "$bin/tessaro-sim" --scenario "$work/bench.json"
addr=$SIM_ADDR

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
# hyperfine's median of one command over RUNS runs, in milliseconds.
hf_median() {
  local name=$1 runs=$2
  shift 2
  hyperfine -N --warmup "${WARMUP:-3}" --runs "$runs" --export-json "$work/$name.json" "$@" >/dev/null 2>&1
  jq '.results[0].median * 1000' "$work/$name.json"
}
# Mean CPU time (user + system, ms) of the runs of a hyperfine result.
hf_cpu() { jq '(.results[0].user + .results[0].system) * 1000' "$work/$1.json"; }
# Median peak RSS (KiB) over runs of a command, from GNU time.
peak_rss() {
  local i
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -f '%M' -o "$work/time" "$@" >/dev/null 2>&1 || true
    cat "$work/time"
  done | median
}
fmt() { awk -v v="$1" -v d="${2:-2}" 'BEGIN {printf "%.*f", d, v}'; }

# ---- whole-process cost beyond the half-second pause
ref=$(hf_median ref "$runs" build/host/bench/sleep_ref)
read_ms=$(hf_median readstr "$runs" "$bin/zunaReadStr -c $addr -n sys.BoardAddr")
write_ms=$(hf_median writestr "$runs" "$bin/zunaWriteStr -c $addr -n sys.Label -v bench")
ref_cpu=$(hf_cpu ref) read_cpu=$(hf_cpu readstr) write_cpu=$(hf_cpu writestr)
read_rss=$(peak_rss "$bin/zunaReadStr" -c "$addr" -n sys.BoardAddr)
write_rss=$(peak_rss "$bin/zunaWriteStr" -c "$addr" -n sys.Label -v bench)

# ---- instructions of one zunaReadStr run, all threads, against the reference
instructions() {
  valgrind --tool=callgrind --trace-children=no --callgrind-out-file="$work/callgrind.out" "$@" \
    2>&1 >/dev/null | sed -n 's/.*Collected : *//p'
}
read_ir=$(instructions "$bin/zunaReadStr" -c "$addr" -n sys.BoardAddr)
ref_ir=$(instructions build/host/bench/sleep_ref)
runtime=shared
ldd "$bin/multicall" | grep -q 'libstdc++' || runtime=static
# (-x is an option error: the run ends before connecting, after the loader's work)
relocs=$({ LD_DEBUG=statistics "$bin/zunaReadStr" -x 2>&1 >/dev/null || true; } |
  sed -n 's/.*final number of relocations: *//p' | head -n 1)

# ---- library round trip against the bare ping-pong, simulator throughput,
# subnode listing; repetitions interleaved, so that changing load hits all alike
build/host/bench/roundtrip_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only \
  --benchmark_enable_random_interleaving=true --benchmark_format=json >"$work/gb.json" 2>/dev/null
gbf() { jq -r --arg n "$2" --arg f "$3" '.benchmarks[] | select(.name == $n and .aggregate_name == "median") | .[$f]' "$1"; }
gb() { gbf "$work/gb.json" "$@"; }
us() { awk -v t="$(gbf "$1" "$2/real_time_median" real_time)" 'BEGIN {print t / 1000}'; }
rt_us=$(us "$work/gb.json" BM_OneRequest)
pp_us=$(us "$work/gb.json" BM_PingPong)
bare_us=$(us "$work/gb.json" BM_OneRequestBarePeer)
# The same three with every core kept busy by a process that only spins.
for ((i = 0; i < $(nproc); i++)); do
  (while :; do :; done) &
  spinners+=($!)
done
build/host/bench/roundtrip_bench --benchmark_filter='^BM_(OneRequest|PingPong|OneRequestBarePeer)/' \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only --benchmark_enable_random_interleaving=true \
  --benchmark_format=json >"$work/gb_busy.json" 2>/dev/null || true
kill "${spinners[@]}"
wait "${spinners[@]}" 2>/dev/null || true
spinners=()
# The round trip with zuna-record's library preloaded (recording to a file)
# against without, alternately in the same run.
for ((round = 0; round < 5; round++)); do
  for run in plain recorded; do
    preload=() && [[ $run == recorded ]] && preload=(env LD_PRELOAD="$PWD/build/host/lib/libzuna-record.so"
      ZUNA_RECORD_FILE="$work/recording.jsonl")
    "${preload[@]}" build/host/bench/roundtrip_bench --benchmark_filter='^BM_OneRequest/' --benchmark_format=json \
      2>/dev/null | jq '.benchmarks[0].real_time' >>"$work/rt_$run"
    rm -f "$work/recording.jsonl"
  done
done
rt_plain=$(median <"$work/rt_plain") rt_recorded=$(median <"$work/rt_recorded")
rt_record_x=$(awk -v a="$rt_recorded" -v b="$rt_plain" 'BEGIN {print a / b}')
rt_busy=$(us "$work/gb_busy.json" BM_OneRequest)
pp_busy=$(us "$work/gb_busy.json" BM_PingPong)
bare_busy=$(us "$work/gb_busy.json" BM_OneRequestBarePeer)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {print a / b}'; }
rt_x=$(ratio "$rt_us" "$pp_us") rt_busy_x=$(ratio "$rt_busy" "$pp_busy")
tp8=$(gb BM_Clients/real_time/threads:8_median items_per_second)
tp32=$(gb BM_Clients/real_time/threads:32_median items_per_second)
bare8=$(gb BM_BareClients/real_time/threads:8_median items_per_second)
bare32=$(gb BM_BareClients/real_time/threads:32_median items_per_second)
sub10=$(gb BM_Subnodes/10/real_time_median real_time)
sub1k=$(gb BM_Subnodes/1000/real_time_median real_time)
sub10k=$(gb BM_Subnodes/10000/real_time_median real_time)

# ---- a library client's longest read while a machine of about 99,000 nodes
# (15 MB as scenario text) is asked for over HTTP: 8 event streams carrying
# it and 8 clients asking GET /api/machine again and again, the machine
# changing four times a second; three runs of 5 s, the median of each figure
for ((i = 0; i < 3; i++)); do build/host/bench/machine_read_bench 5; done >"$work/machine_read.json"
mr() { jq -s --arg f "$1" 'map(.[$f]) | sort | .[1]' "$work/machine_read.json"; }
mr_max=$(mr max_ms) mr_quiet=$(mr quiet_max_ms) mr_rss=$(mr peak_rss_kib) mr_bytes=$(mr machine_bytes)
mr_gets=$(mr gets) mr_events=$(mr machine_events)

# ---- node report of binary values: time per byte of the dump
bin1k=$(hf_median bin1k "$runs" "$bin/zunaReadVar -c $addr -n sys.Bin1K")
bin64k=$(hf_median bin64k "$runs" "$bin/zunaReadVar -c $addr -n sys.Bin64K")
bin1m=$(hf_median bin1m 10 "$bin/zunaReadVar -c $addr -n sys.Bin1M")
per_byte_ns=$(awk -v a="$bin1k" -v b="$bin1m" 'BEGIN {print (b - a) * 1e6 / (1048576 - 1024)}')

# ---- snapshot of a tree of 10,000 nodes
snap=$(hf_median snapshot 5 "$bin/controllerSnapshot -c $addr -o $work/snap.json Tree")

# ---- a 10 s job: CPU time, and the delay from the simulator's state change
# (the trace's event that clears the active bit) to the end of the wait (the
# program's unregistration right after its wait loop)
# A simulator of its own, traced, so the other figures carry no trace cost.
sim_stop
sim_start "$bin/tessaro-sim" --scenario "$work/bench.json" --trace "$work/trace.jsonl"
addr=$SIM_ADDR
WARMUP=0 hf_median runjob 3 "$bin/zunaRunJob -c $addr -n Ten" >/dev/null
job_cpu=$(hf_cpu runjob)
# Per connection (one per run): the last event that clears the active bit,
# and the first unregistration after it.
job_delay=$(jq -rs '
  def secs: (.time[11:13] | tonumber) * 3600 + (.time[14:16] | tonumber) * 60 + (.time[17:] | rtrimstr("Z") | tonumber);
  group_by(.conn)[]
  | (map(select(.event == "PlcChanged" and ((.state / 32 | floor) % 2 == 0))) | last) as $ev
  | select($ev != null)
  | ($ev | secs) as $t0
  | map(select(.op == "UnregisterOnPLCChanged") | secs | select(. >= $t0)) | first | (. - $t0) * 1000' \
  "$work/trace.jsonl" | median)
job_share=$(awk -v c="$job_cpu" 'BEGIN {print c / 10500 * 100}')

# ---- 8 library clients while the live page watches: the same run against a
# simulator without --http, one with --http, and one with --http whose page
# is open in headless Chromium (its event stream running); nine rounds, the
# three in a random order in each, each round's two shares taken against its
# own run without --http, so that a busy moment of the machine falls on one
# round, not on one side.
sim_stop
clients8() {
  TESSARO_SIM_ADDRESS=$SIM_ADDR build/host/bench/roundtrip_bench --benchmark_filter='^BM_Clients/real_time/threads:8$' \
    --benchmark_min_time=4 --benchmark_format=json 2>/dev/null | jq '.benchmarks[0].items_per_second'
}
# CPU time (clock ticks) of processes whose command line has $1.
ticks_of() { pgrep -f -- "$1" | while read -r p; do awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null; done | awk '{t += $1} END {print t + 0}'; }
# with_browser URL NAME: 8 clients against a simulator with --http while a
# headless Chromium shows URL (the page, or about:blank for the browser
# alone); sets $NAME to their rate, and adds the browser's share of one core
# while they ran to $work/cpu_NAME.
with_browser() {
  sim_start "$bin/tessaro-sim" --http 0
  local url=$1
  [[ $url == page ]] && url=$SIM_HTTP
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/profile" --remote-debugging-port=0 \
    "$url" >/dev/null 2>&1 &
  local browser=$! before start after end rate
  sleep 5  # the browser started, the page loaded, its event stream open
  before=$(ticks_of "$work/profile") start=$(date +%s%N)
  rate=$(clients8)
  after=$(ticks_of "$work/profile") end=$(date +%s%N)
  kill "$browser"; wait "$browser" 2>/dev/null || true
  sim_stop
  printf -v "$2" '%s' "$rate"
  awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v ns=$((end - start)) 'BEGIN {print t / hz / (ns / 1e9) * 100}' >>"$work/cpu_$2"
}
for ((round = 0; round < 9; round++)); do
  for run in $(printf '%s\n' plain http page blank | shuf); do
    case $run in
      plain) sim_start "$bin/tessaro-sim" && plain=$(clients8) && sim_stop ;;
      http) sim_start "$bin/tessaro-sim" --http 0 && http=$(clients8) && sim_stop ;;
      page) with_browser page page ;;
      blank) with_browser about:blank blank ;;
    esac
  done
  echo "$plain" >>"$work/tp_plain"; echo "$http" >>"$work/tp_http"; echo "$page" >>"$work/tp_page"
  for run in http page blank; do awk -v a="${!run}" -v b="$plain" 'BEGIN {print a / b * 100}' >>"$work/share_$run"; done
done
# ---- the simulator's instructions per request, with and without --http:
# one client's requests, counted from after start-up to before the end.
sim_ir() {
  sim_start valgrind --log-file="$work/vg.log" --tool=callgrind --callgrind-out-file="$work/sim.cg" \
    "$bin/tessaro-sim" "$@"
  callgrind_control -z "$SIM_PID" >/dev/null
  local n
  n=$(TESSARO_SIM_ADDRESS=$SIM_ADDR build/host/bench/roundtrip_bench --benchmark_filter='^BM_OneRequest/' \
    --benchmark_min_time=2 --benchmark_format=json 2>/dev/null | jq '.benchmarks[0].iterations')
  callgrind_control -d "$SIM_PID" >/dev/null
  sim_stop
  callgrind_annotate "$work/sim.cg.1" 2>/dev/null | sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d , |
    awk -v n="$n" '{print $1 / n}'
  rm -f "$work"/sim.cg*
}
sim_ir_plain=$(sim_ir) sim_ir_http=$(sim_ir --http 0)

# ---- a long recording replayed: how long --replay takes to load it (until
# the simulator listens), its peak memory against the file's size, and the
# 8 clients it serves against the same clients on the simulator; three
# rounds, the two runs in a random order in each.
# long_recording N FILE: N calls of 8 connections of one process, as
# zuna-record writes them for 8 threads each asking the length of
# demo.Speed's value after looking it up.
long_recording() {
  awk -v n="$1" 'function t(i) { us = i * 10; return sprintf("2026-12-09T10:%02d:%02d.%06dZ", int(us / 60e6), int(us / 1e6) % 60, us % 1e6) }
  BEGIN {
    for (i = 0; i < n; i++) {
      c = i % 8
      call = (i < 8) ? "\"op\":\"GetNode\",\"args\":[\"demo.Speed\"],\"node\":\"demo.Speed\",\"result\":10" \
                     : "\"op\":\"GetNodeValueStringLen\",\"args\":[10],\"node\":\"demo.Speed\",\"result\":4"
      printf "{\"seq\":%d,\"pid\":4242,\"tid\":%d,\"begin\":\"%s\",\"time\":\"%s\",\"conn\":\"hc=%d\",%s}\n", i + 1, 4243 + c, t(i), t(i + 1), c, call
    }
  }' >"$2"
}
replay_calls=1000000
long_recording "$replay_calls" "$work/long.jsonl"
replay_bytes=$(stat -c %s "$work/long.jsonl")
for ((round = 0; round < 3; round++)); do
  for run in $(printf '%s\n' plain replay | shuf); do
    if [[ $run == plain ]]; then
      sim_start "$bin/tessaro-sim" && clients8 >>"$work/tp_replay_plain" && sim_stop
      continue
    fi
    start=$(date +%s%N)
    sim_start "$bin/tessaro-sim" --replay "$work/long.jsonl"
    echo $((($(date +%s%N) - start) / 1000000)) >>"$work/replay_load"
    clients8 >>"$work/tp_replay"
    awk '/^VmHWM/ {print $2 * 1024}' "/proc/$SIM_PID/status" >>"$work/replay_rss"
    sim_stop
  done
done
replay_load=$(median <"$work/replay_load") replay_rss=$(median <"$work/replay_rss")
replay_rss_x=$(awk -v a="$replay_rss" -v b="$replay_bytes" 'BEGIN {print a / b}')
tp_replay=$(median <"$work/tp_replay") tp_replay_plain=$(median <"$work/tp_replay_plain")
replay_share=$(awk -v a="$tp_replay" -v b="$tp_replay_plain" 'BEGIN {print a / b * 100}')

tp_plain=$(median <"$work/tp_plain") tp_http=$(median <"$work/tp_http") tp_page=$(median <"$work/tp_page")
page_share=$(median <"$work/share_page") http_share=$(median <"$work/share_http")
page_low=$(sort -g "$work/share_page" | head -n 1) page_high=$(sort -g "$work/share_page" | tail -n 1)
browser_cpu=$(median <"$work/cpu_page") blank_cpu=$(median <"$work/cpu_blank") blank_share=$(median <"$work/share_blank")

verdict() { awk -v v="$1" -v g="$2" -v dir="$3" 'BEGIN {ok = (dir == "max") ? v <= g : v >= g; print ok ? "met" : "**missed**"}'; }
ro=$(awk -v a="$read_ms" -v r="$ref" 'BEGIN {print a - r}')
wo=$(awk -v a="$write_ms" -v r="$ref" 'BEGIN {print a - r}')

cat >"$out" <<EOF
# Performance

Written by \`scripts/bench.sh\` on $(date -u +%Y-%m-%d); run it again to
reproduce. Figures are medians.

## Machine

- CPU: $(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) cores; load average at start $(cut -d' ' -f1-3 /proc/loadavg)
- Kernel: $(uname -sr); compiler: $(c++ --version | head -n 1)
- Build: the \`host\` preset (release); simulator and clients on loopback

## Method

- Whole processes: \`hyperfine -N\` (3 warm-up runs, 30 runs) against a local
  simulator; the reference program only sleeps 0.5 s and prints a line, so
  a command's cost beyond its fixed pause is its median minus the
  reference's. CPU time (user + system) is hyperfine's mean over the same
  runs; peak RSS the median from GNU \`time\` over as many runs.
- Library and simulator: Google Benchmark (\`bench/roundtrip_bench\`, 5
  repetitions, interleaved at random). One request is \`GetNodeValueStringLen\`;
  its floor, measured in the same run, is a bare TCP ping-pong of 32 bytes
  between two threads on loopback (\`TCP_NODELAY\`, blocking reads and
  writes), and the library's own share is the same request answered at once
  by a thread of the benchmark instead of the simulator. The three are
  measured again while one process per core only spins. Throughput is 8 or
  32 client threads, each on its own connection, asking as fast as they can,
  through the library and as bare protocol clients (the simulator's own
  rate, without the library's threads).
- Instructions: \`valgrind --tool=callgrind --trace-children=no\` (all
  threads) over one \`zunaReadStr\` run against the running simulator and
  over the reference program; the relocations are the dynamic loader's
  (\`LD_DEBUG=statistics\`).
- A large machine over HTTP: \`bench/machine_read_bench\` starts a simulator
  with a machine of 99,099 nodes (99 folders of 1,000 text variables) and
  \`--http\`; one library client reads a node round trip after round trip
  (\`GetNode\`, \`ReadNode\`, \`GetNodeValueString\` in turn), another
  writes a value four times a second, and after 1 s alone (the figure
  "without them") eight \`GET /api/events?machine=1\` streams and eight
  clients asking \`GET /api/machine\` one answer after the other run for
  5 s. The longest round trip and the simulator's peak RSS (from
  \`wait4\`) are the medians of three runs.
- The 10 s job: three runs of \`zunaRunJob\` under hyperfine; the delay is the time from the
  simulator's event that clears the active bit to the program's
  unregistration that follows its wait, both read from the simulator's
  \`--trace\`.
- The live page: 8 clients for 4 s each against a fresh simulator without
  \`--http\`, with \`--http\`, and with \`--http\` and its page open in
  headless Chromium (its event stream carrying the newest trace lines
  twice a second, and the machine when it changes); nine rounds, the three
  runs of each in a random order. A share is the median over the rounds of
  each round's throughput against that round's run without \`--http\`; the
  browser runs on the same cores as the clients and the simulator, and its
  CPU time is shown beside it, and so is the same browser showing
  about:blank instead, in a fourth run of each round.
- The replay: a recording of a million calls made up as \`zuna-record\`
  writes them for 8 threads on 8 connections, each looking up
  \`demo.Speed\` and then asking its value's length again and again (what
  the 8 clients ask); three rounds of the simulator replaying it and the
  simulator itself, in a random order, 8 clients for 4 s against each. The
  load is the time from starting \`tessaro-sim --replay\` until it
  listens (looked at every 50 ms); the memory its peak resident size
  (\`VmHWM\`) once the clients are done.

## Figures

| what | figure | goal | |
|---|---|---|---|
| \`zunaReadStr\` beyond the 0.5 s pause | $(fmt "$ro") ms | ≤ 1 ms | $(verdict "$ro" 1 max) |
| \`zunaWriteStr\` beyond the 0.5 s pause | $(fmt "$wo") ms | ≤ 1 ms | $(verdict "$wo" 1 max) |
| \`zunaReadStr\` CPU time | $(fmt "$read_cpu" 1) ms | ≤ 2 ms | $(verdict "$read_cpu" 2 max) |
| \`zunaWriteStr\` CPU time | $(fmt "$write_cpu" 1) ms | ≤ 2 ms | $(verdict "$write_cpu" 2 max) |
| the reference program's CPU time (start and exit alone) | $(fmt "$ref_cpu" 1) ms | | |
| \`zunaReadStr\` peak RSS | $(fmt "$(awk -v k="$read_rss" 'BEGIN {print k / 1024}')") MiB | ≤ 4 MiB | $(verdict "$read_rss" 4096 max) |
| \`zunaWriteStr\` peak RSS | $(fmt "$(awk -v k="$write_rss" 'BEGIN {print k / 1024}')") MiB | ≤ 4 MiB | $(verdict "$write_rss" 4096 max) |
| \`zunaReadStr\` instructions, all threads (program's C++ runtime: $runtime; $relocs relocations) | $(fmt "$(awk -v n="$read_ir" 'BEGIN {print n / 1e6}')") million | ≤ 0.6 million | $(verdict "$read_ir" 600000 max) |
| the reference program's instructions | $(fmt "$(awk -v n="$ref_ir" 'BEGIN {print n / 1e6}')") million | | |
| one library round trip (\`GetNodeValueStringLen\`) | $(fmt "$rt_us" 1) µs, $(fmt "$rt_x") × the ping-pong | ≤ 1.5 × | $(verdict "$rt_x" 1.5 max) |
| bare loopback ping-pong beside it (the floor) | $(fmt "$pp_us" 1) µs | | |
| the library against a peer that answers at once | $(fmt "$bare_us" 1) µs, $(fmt "$(ratio "$bare_us" "$pp_us")") × | | |
| one library round trip recorded by \`zuna-record\` | $(fmt "$(awk -v t="$rt_recorded" 'BEGIN {print t / 1000}')" 1) µs, $(fmt "$rt_record_x") × the same round trip without | ≤ 1.25 × | $(verdict "$rt_record_x" 1.25 max) |
| \`tessaro-sim --replay\` of a recording of $(fmt "$replay_calls" 0) calls ($(fmt "$(awk -v b="$replay_bytes" 'BEGIN {print b / 1048576}')" 0) MiB): loaded and listening | $(fmt "$(awk -v t="$replay_load" 'BEGIN {print t / 1000}')" 1) s | ≤ 5 s | $(verdict "$replay_load" 5000 max) |
| its peak memory | $(fmt "$(awk -v b="$replay_rss" 'BEGIN {print b / 1048576}')" 0) MiB, $(fmt "$replay_rss_x") × the file | ≤ 2 × | $(verdict "$replay_rss_x" 2 max) |
| 8 library clients answered from it | $(fmt "$tp_replay" 0) requests/s, $(fmt "$replay_share" 1) % of the same clients against the simulator ($(fmt "$tp_replay_plain" 0)) | ≥ 50 % | $(verdict "$replay_share" 50 min) |
| one library round trip, every core busy | $(fmt "$rt_busy" 1) µs, $(fmt "$rt_busy_x") × the ping-pong's $(fmt "$pp_busy" 1) µs | ≤ 1.5 × | $(verdict "$rt_busy_x" 1.5 max) |
| the library against a peer that answers at once, every core busy | $(fmt "$bare_busy" 1) µs, $(fmt "$(ratio "$bare_busy" "$pp_busy")") × | | |
| subnode listing of 10,000 children | $(fmt "$sub10k" 0) ms | ≤ 500 ms | $(verdict "$sub10k" 500 max) |
| \`controllerSnapshot\` of 10,000 nodes | $(fmt "$snap" 0) ms | ≤ 700 ms | $(verdict "$snap" 700 max) |
| simulator, 8 library clients | $(fmt "$tp8" 0) requests/s | ≥ 80,000 | $(verdict "$tp8" 80000 min) |
| longest library read while 8 machine event streams and 8 \`GET /api/machine\` of a $(fmt "$(awk -v b="$mr_bytes" 'BEGIN {print b / 1e6}')" 1) MB machine run | $(fmt "$mr_max" 1) ms (without them $(fmt "$mr_quiet" 1) ms; $(fmt "$mr_gets" 0) answers and $(fmt "$mr_events" 0) machine events in 5 s) | ≤ 50 ms | $(verdict "$mr_max" 50 max) |
| the simulator's peak RSS meanwhile | $(fmt "$(awk -v k="$mr_rss" 'BEGIN {print k / 1024}')" 0) MiB | | |
| simulator, 32 library clients | $(fmt "$tp32" 0) requests/s | ≥ the 8 clients' | $(verdict "$tp32" "$tp8" min) |
| simulator, 8 bare protocol clients | $(fmt "$bare8" 0) requests/s | ≥ 80,000 | $(verdict "$bare8" 80000 min) |
| simulator, 32 bare protocol clients | $(fmt "$bare32" 0) requests/s | ≥ the 8 clients' | $(verdict "$bare32" "$bare8" min) |
| \`zunaRunJob\`, 10 s job: CPU time | $(fmt "$job_cpu" 1) ms ($(fmt "$job_share" 3) % of a core) | < 1 % | $(verdict "$job_share" 1 max) |
| \`zunaRunJob\`: state change to end of wait | $(fmt "$job_delay" 1) ms | ≤ 12 ms | $(verdict "$job_delay" 12 max) |
| 8 clients, simulator without \`--http\` | $(fmt "$tp_plain" 0) requests/s | | |
| 8 clients, simulator with \`--http\`, no page | $(fmt "$tp_http" 0) requests/s; $(fmt "$http_share" 1) % | | |
| 8 clients, the live page open (event stream running) | $(fmt "$tp_page" 0) requests/s; $(fmt "$page_share" 1) % of the run without \`--http\` (rounds: $(fmt "$page_low" 1) to $(fmt "$page_high" 1) %) | ≥ 90 % | $(verdict "$page_share" 90 min) |
| the browser meanwhile (headless Chromium, all its processes) | $(fmt "$browser_cpu" 1) % of one core | | |
| 8 clients, the same browser open on about:blank instead (\`--http\`) | $(fmt "$blank_share" 1) %; the browser $(fmt "$blank_cpu" 1) % of one core | | |
| the simulator's instructions per request (one client), without / with \`--http\` | $(fmt "$sim_ir_plain" 0) / $(fmt "$sim_ir_http" 0) | | |

Cost growth:

| what | 10 / 1 KiB | 1,000 / 64 KiB | 10,000 / 1 MiB |
|---|---|---|---|
| subnode listing (children), ms | $(fmt "$sub10") | $(fmt "$sub1k") | $(fmt "$sub10k") |
| \`zunaReadVar\` of a VT_BIN value, whole process, ms | $(fmt "$bin1k" 1) | $(fmt "$bin64k" 1) | $(fmt "$bin1m" 1) |

The CPU times are whole processes as the kernel accounts them, start and
exit included; the reference program's line shows what starting and ending
any process costs on this machine, and the rest is the program's own
(loading the program and the library, the library's thread, four requests).

The library: a caller reads its own reply. After sending its request it
takes the connection's read turn (one reader at a time) and reads until its
reply has come, handing any other reply to its waiting caller and queueing
PLC-change events; so a reply wakes its caller and no other thread, as in
the ping-pong. The library's own thread still alone calls the event
handler, in order; it watches the socket only when no call has been made
for 2 ms, so that call after call does not wake it at every reply. Reads go
through a buffer (one receive takes all the frames that are there), a read
that waits blocks in the receive itself (at most 20 ms at a time, then
again), and a frame is sent before any poll. The round trip against a peer
that answers at once shows the library's share; what the simulator's
round trip adds beyond it is the simulator's: here the library's share is
$(fmt "$(ratio "$bare_us" "$pp_us")") × the ping-pong ($(fmt "$(ratio "$bare_busy" "$pp_busy")") × with every core busy), the
simulator's request path the rest. Nagle's algorithm is off on both sides
(\`TCP_NODELAY\`). A tree walk is bound by the round trip: the subnode
listing makes three requests per child, so 10,000 children take
$(fmt "$(awk -v t="$pp_us" 'BEGIN {print 30000 * t / 1000}')" 0) ms at the ping-pong's pace alone.

Instructions: most of a short run is the dynamic loader binding symbols.
The stand-in library carries its C++ runtime (\`-static-libstdc++
-static-libgcc\`, hidden behind its version script, which exports the 43
operations alone) and binds its own references (\`-Bsymbolic\`), so it
needs only the C library; the program carries its runtime when linked
with it statically. Lazy binding is kept: binding every symbol at load
(\`-z now\`) costs about 40,000 instructions more, most of them for
functions a run never calls. The rest of a run is the program's C++
runtime starting (its locale and streams), the connection (one thread
started) and four requests.$([[ $runtime == shared ]] && printf '%s' " This program loads the shared C++ runtime,
and binding it is most of the run; linked with its runtime
(\`-static-libstdc++ -static-libgcc\`) it needs far fewer relocations.")

The simulator serves every connection from one event loop (epoll): a
request costs it one \`recv\`, one \`send\` and a share of one
\`epoll_wait\`, and no thread wakes for it, so adding clients adds no
threads and no switches between them (it had two threads per connection
before, and its rate fell as clients were added). What the loop must not
wait for runs beside it: a fault's delay is a timer, a save of \`--state\`
runs on a thread of its own (one save covers every change made before it
began), and a client that does not take its replies is dropped once its
unsent output passes 8 MiB or makes no progress for 2 s. Nearly all of the
simulator's time per request is the kernel's (loopback TCP); on two cores
the throughput is shared with the clients themselves, so the bare clients'
rate is the simulator's, and the library clients' the difference that the
library's threads make.

With \`--http\` the simulator keeps the latest trace lines in memory for the
API and the page (at most 10,000, and at most 64 MiB of them): each as the
values it records, in a ring of slots that are reused with their buffers,
and formatted as JSON only when the API or the page reads it, so a request
costs the simulator the instructions shown above and no allocation once
the ring is full. The page lays out only the trace lines in view, and
asks for nothing while the machine is unchanged: its event stream brings
the machine when it has changed (looked at once a second). What is left of
its cost is the browser's own, on the same two cores.

The whole machine (\`GET /api/machine\` and the page's machine events) is
written out without the machine's lock: from a copy kept up to date piece
by piece, the lock held for at most 500 nodes at a time (every node once,
then only the nodes that have changed since, which the machine notes as
they change). The text is made once per version of the machine and shared
by every request until the machine changes: an answer is sent from it
without a copy, and the page's machine event is made once and sent as it
is to every stream. The event streams' trace lines are copied 256 at a
time, so that the requests being traced never wait for a whole ring of
them, and blocks of 1 MiB and more are mapped apart and given back when
freed. Written under the machine's lock instead, reads waited 1.5 to 3 s
under the same load (at 3 s the library gives up on a call), and the
simulator's peak RSS came near 1 GiB. What is left of the longest read is
the scheduler's: the lock is never held for long, but on two cores shared
with the HTTP load a thread of the simulator can wait tens of milliseconds
for one, and more when other work runs on the machine.

The binary report costs $(fmt "$per_byte_ns" 0) ns per dumped byte (1 MiB
against 1 KiB): the output is flushed after every write, four or so per
byte, and that flush is kept on purpose (its order against other output is
the point).
EOF
echo "wrote $out"
