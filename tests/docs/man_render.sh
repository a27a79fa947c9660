#!/bin/sh
# Every manual page in DIR renders with groff's full warnings and with man's,
# without a single diagnostic. Usage: tests/docs/man_render.sh DIR
status=0
for page in "$1"/*.[1-9]; do
  out=$({ groff -man -ww -z "$page" && MANWIDTH=80 man --warnings -l "$page" >/dev/null; } 2>&1) || out="$out (failed)"
  [ -z "$out" ] || { echo "$page: $out"; status=1; }
done
exit $status
