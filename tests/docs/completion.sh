#!/usr/bin/env bash
# Sources the bash completion files in DIR and asks for completions as bash
# would (COMP_WORDS, COMP_CWORD), comparing COMPREPLY with each case.
# Usage: tests/docs/completion.sh DIR
set -u
for f in "$1"/*; do source "$f"; done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
touch "$tmp/scen.json" "$tmp/state.json"
types="VT_I32 VT_I64 VT_R32 VT_R64 VT_BOOLEAN VT_STR VT_SEL VT_SET VT_BIN VT_TEXT VT_FILE"

# command line up to the cursor (a trailing blank starts an empty word) | expected
cases=(
  "zunaRunJob |-c -n -v -t -h"
  "zunaCreateVar -n x -t |$types"
  "zunaCreateVar -t VT_B|VT_BOOLEAN VT_BIN"
  "zunaReadStr -c |"
  "tessaro-sim |--bind --port --scenario --state --trace --http --replay --replay-strict --replay-report --help --version"
  "tessaro-sim --replay $tmp/st|$tmp/state.json"
  "tessaro-sim --port |"
  "tessaro-sim --scenario $tmp/sc|$tmp/scen.json"
  "tessaro-sim --trace = $tmp/s|$tmp/scen.json $tmp/state.json"
  "zuna-record |-o --output --redact --help --version --"
  "tessaro-scenario |check from-recording --help --version"
  "tessaro-scenario from-recording $tmp/st|$tmp/state.json"
  "tessaro-scenario from-recording x -|-o --output"
  "tessaro-scenario check $tmp/sc|$tmp/scen.json"
  "zuna-record --redact x -o $tmp/st|$tmp/state.json"
  "zuna-record --redact |"
)
failures=0
for c in "${cases[@]}"; do
  line=${c%%|*} expected=${c#*|}
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  fn=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null | sed -n 's/.*-F \([^ ]*\).*/\1/p')
  COMPREPLY=()
  [[ -n $fn ]] && $fn
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  want=$(printf '%s\n' $expected | sort | xargs)
  if [[ -z $fn || $got != "$want" ]]; then
    echo "FAIL '$line': got '$got', want '$want'"
    failures=$((failures + 1))
  fi
done
exit $((failures > 0))
