#!/usr/bin/env bash
# The simulator's HTTP control API as a transcript: each case sends one
# request with curl and compares the status and a jq view of the answer.
# Environment: SIM (tessaro-sim), BIN_DIR (the program's links).
set -u
source "$(dirname "$0")/../../../scripts/sim.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/control-XXXXXX")
trap 'sim_stop; rm -rf "$work"' EXIT
failed=0
json=(-H 'Content-Type: application/json')

start() {  # start [SIM ARGS...]: a fresh simulator with --http on a free port
  sim_stop
  sim_start "$SIM" --http 0 "$@" || exit 2
  H=${SIM_HTTP#http://}
  H=${H%/}
}

# t NAME STATUS FILTER WANT CURL-ARGS... (the last argument is the path)
t() {
  local name=$1 want_status=$2 filter=$3 want=$4 status got
  shift 4
  local path=${*: -1}
  status=$(curl -s -o "$work/body" -w '%{http_code}' --max-time 20 "${@:1:$#-1}" "http://$H/$path")
  got=$(jq -c "$filter" "$work/body" 2>&1 || head -c 200 "$work/body")
  if [[ "$status" != "$want_status" || "$got" != "$want" ]]; then
    echo "FAIL: $name: status $status (want $want_status), $filter: $got (want $want)"
    failed=1
  fi
}
zuna() { timeout 60 "$BIN_DIR/$1" -c "$SIM_ADDR" "${@:2}" 2>/dev/null; }
check() {  # check NAME WANT GOT
  [[ "$2" == "$3" ]] || { echo "FAIL: $1: got '$3', want '$2'"; failed=1; }
}

start --state "$work/state.json"
# Nodes: read, write as a client does, every way a write is refused.
t "read a node" 200 '[.type,.value,.min,.max,.unit,.priv]' '["VT_I32","1200",0,10000,"mm/min","rw"]' api/nodes/demo.Speed
t "children" 200 '.children' '["Start","Outline"]' api/nodes/jobs.Demo
t "write" 200 .value '"1234"' -X PUT "${json[@]}" -d '{"value":"1234"}' api/nodes/demo.Speed
check "a client reads the write" 1234 "$(zuna zunaReadStr -n demo.Speed)"
check "--state holds the write" '"1234"' "$(jq -c '.nodes[1].children[0].value' "$work/state.json")"
t "machine is the state file" 200 '.name' '"default"' api/machine
cmp -s "$work/body" "$work/state.json" || { echo "FAIL: GET /api/machine differs from the state file"; failed=1; }
t "not an I32" 400 .error '"\"abc\" is no VT_I32 value"' -X PUT "${json[@]}" -d '{"value":"abc"}' api/nodes/demo.Speed
t "over the limit" 400 .error '"\"10001\" is out of range for demo.Speed"' -X PUT "${json[@]}" -d '{"value":"10001"}' api/nodes/demo.Speed
t "read-only" 409 .error '"sys.SerialNo is read-only"' -X PUT "${json[@]}" -d '{"value":"x"}' api/nodes/sys.SerialNo
t "a folder" 400 .error '"demo is no variable"' -X PUT "${json[@]}" -d '{"value":"1"}' api/nodes/demo
t "unknown node" 404 .error '"no node named \"no.such\""' -X PUT "${json[@]}" -d '{"value":"1"}' api/nodes/no.such
t "unknown key" 400 .error '"unknown key \"valu\""' -X PUT "${json[@]}" -d '{"valu":"1"}' api/nodes/demo.Speed
t "not a string" 400 .error '"give the value as a string: {\"value\": \"...\"}"' -X PUT "${json[@]}" -d '{"value":1}' api/nodes/demo.Speed
t "malformed JSON" 400 .error '"malformed JSON"' -X PUT "${json[@]}" -d '{"value":' api/nodes/demo.Speed
t "unknown operation" 404 .error '"no such resource or operation"' -X PATCH "${json[@]}" -d '{}' api/nodes/demo.Speed
t "value unchanged by refusals" 200 .value '"1234"' api/nodes/demo.Speed

# A page from elsewhere, a rebinding name, a form post, a huge body.
t "foreign Origin" 403 .error '"requests from the page of another origin are refused"' -X PUT "${json[@]}" -H 'Origin: http://evil.example' -d '{"value":"1"}' api/nodes/demo.Speed
t "own Origin" 200 .value '"5"' -X PUT "${json[@]}" -H "Origin: http://$H" -d '{"value":"5"}' api/nodes/demo.Speed
t "rebinding Host" 403 .error '"Host \"evil.example:'"${H#*:}"'\" names neither this simulator'"'"'s address nor localhost"' -H "Host: evil.example:${H#*:}" api/machine
t "localhost" 200 .name '"default"' -H "Host: localhost:${H#*:}" api/machine
t "form post" 415 .error '"a change must come as Content-Type: application/json"' -X PUT -d 'value=1' api/nodes/demo.Speed
head -c $((1024 * 1024 + 1)) /dev/zero | tr '\0' ' ' >"$work/big"
head -c 200000 /dev/zero | tr '\0' '[' >"$work/deep"
t "nested too deep" 400 .error '"the body is nested more than 32 levels deep"' -X PUT "${json[@]}" --data-binary @"$work/deep" api/plc
t "body over 1 MiB" 413 .error '"the body is larger than 1 MiB"' -X POST "${json[@]}" --data-binary @"$work/big" api/faults

# Jobs, faults and the PLC, each seen by the program.
t "job fails next" 200 .job '{"duration_ms":1000,"outcome":"failed"}' -X PUT "${json[@]}" -d '{"outcome":"failed"}' api/jobs/Demo
check "RunJob sees the failure" 6 "$(zuna zunaRunJob -n Demo; echo $?)"
t "unknown outcome" 400 .error '"unknown outcome \"late\" (completed, failed, both or none)"' -X PUT "${json[@]}" -d '{"outcome":"late"}' api/jobs/Demo
t "unknown job" 404 .error '"no job named \"Nope\""' -X PUT "${json[@]}" -d '{"outcome":"none"}' api/jobs/Nope
t "job passes, longer" 200 .job '{"duration_ms":3000,"outcome":"completed"}' -X PUT "${json[@]}" -d '{"outcome":"completed","duration_ms":3000}' api/jobs/jobs.Demo
t "add a fault" 201 . '{"index":0,"left":null,"op":"JobStart","result":-14,"seen":0}' -X POST "${json[@]}" -d '{"op":"JobStart","result":-14}' api/faults
check "RunJob sees the fault" 4 "$(zuna zunaRunJob -n Demo; echo $?)"
t "the fault counted" 200 '.[0].seen' 1 api/faults
t "remove it" 204 . '' -X DELETE api/faults/0
t "gone" 404 .error '"no fault numbered 0"' -X DELETE api/faults/0
t "bad fault" 400 .error '"unknown action '"'"'loud'"'"' (silent or close)"' -X POST "${json[@]}" -d '{"op":"GetNode","action":"loud"}' api/faults
t "fault from the 2nd call" 201 '[.index,.left]' '[1,1]' -X POST "${json[@]}" -d '{"op":"GetNode","node":"demo.Label","call":2,"result":-2}' api/faults
reads=$(for i in 1 2 3; do zuna zunaReadStr -n demo.Label; echo " $?"; done | tr '\n' ,)
check "only the 2nd read fails" "Line A, 0, 2,Line A, 0," "$reads"
t "a spent fault removes itself" 200 . '[]' api/faults
t "a fault for an API change" 201 .op '"ApiSetPlc"' -X POST "${json[@]}" -d '{"op":"ApiSetPlc","times":1,"result":-14}' api/faults
t "hits it as a client's request" 409 .result -14 -X PUT "${json[@]}" -d '{"set":["PLC_ATTENTION"]}' api/plc
# A PLC change reaches a client registered during its run, as a real one does.
zuna zunaRunJob -n Demo & run=$!
for ((i = 0; i < 100; i++)); do curl -s "http://$H/api/plc" | jq -e '.state | index("PLC_JOB_ACTIVE")' >/dev/null && break; sleep 0.05; done
t "set and clear PLC bits" 200 .state '["PLC_DEVICES_READY","PLC_JOB_ACTIVE","PLC_ATTENTION"]' -X PUT "${json[@]}" -d '{"set":["PLC_ATTENTION"],"clear":["PLC_SYSTEM_READY"]}' api/plc
wait $run; check "the run still passes" 0 $?
t "unknown PLC state" 400 .error '"unknown PLC state \"PLC_NAP\""' -X PUT "${json[@]}" -d '{"set":["PLC_NAP"]}' api/plc
t "pushed to the client" 200 '[.[] | select(.event and .state == 32804)] | length' 1 api/trace?after=0
t "API changes traced" 200 '[.[] | select(.conn | startswith("http")) | .op] | unique' '["ApiAddFault","ApiRemoveFault","ApiSetJob","ApiSetPlc","SetNodeValueString","WriteNodeSync"]' api/trace?after=0
t "traced with its fault" 200 '[.[] | select(.op == "ApiSetPlc")][0] | [.args, .result, .fault.kind]' '[[32768,0],-14,"result"]' api/trace?after=0
t "the trace from its first line" 200 '.[0].seq' 1 api/trace
t "trace after N" 200 'length' 0 "api/trace?after=$(curl -s "http://$H/api/trace" | jq '.[-1].seq')"
curl -s -N --max-time 2 "http://$H/api/events?after=1" >"$work/events"
check "events after N" 'data: {"seq":2,' "$(grep -m1 -o '^data: {"seq":[0-9]*,' "$work/events")"
t "reset" 204 . '' -X POST "${json[@]}" -d '{}' api/reset
t "back to the start" 200 .value '"1200"' api/nodes/demo.Speed
curl -s -N --max-time 2 "http://$H/api/events?machine=1" >"$work/machine"
check "the machine on the event stream" '["PLC_DEVICES_READY","PLC_SYSTEM_READY"] 1200 []' \
  "$(sed -n '/^event: machine$/,/^$/s/^data: //p' "$work/machine" | jq -j -c '.plc.state, " ", .machine.nodes[1].children[0].value, " ", .faults')"
check "reset is saved" '"1200"' "$(jq -c '.nodes[1].children[0].value' "$work/state.json")"

# 1,000 connections to the HTTP port while a library client keeps working.
start
for i in $(seq 1000); do printf 'url = http://%s/api/nodes/demo.Speed\noutput = /dev/null\n' "$H"; done >"$work/urls"
(for i in $(seq 10); do zuna zunaReadStr -n demo.Speed || echo FAILED; done) >"$work/client" & client=$!
curl -s --no-progress-meter -Z --parallel-max 300 -K "$work/urls" -w '%{http_code}\n' --max-time 60 | sort | uniq -c >"$work/codes"
wait $client
check "1,000 answered" "1000 200" "$(sed 's/^ *//' "$work/codes")"
check "the client kept working" 10 "$(grep -c '^1200$' "$work/client")"
exit $failed
