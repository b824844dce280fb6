#!/usr/bin/env bash
# Instructions per status completion, counted by callgrind in engine_bench's idle window (one
# modem, its port open, no data): the whole process, everything a completion drives from the
# host controller's completion down (the USB stack, the request's completion, the driver, its
# resubmission, the port bridge and the serial-port driver), and the driver's own code in it.
#
# usage: bench/status_instructions.sh [path/to/engine_bench]
set -euo pipefail
bench=${1:-build/bench/engine_bench}
command -v valgrind >/dev/null || { echo "status_instructions: valgrind is not installed" >&2; exit 2; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

valgrind --tool=callgrind --callgrind-out-file="$out/cg.%p" "$bench" >"$out/figures" 2>"$out/log"
dump=$(grep -l "^desc: Trigger: Client Request: idle" "$out"/cg.* | head -1)
statuses=$(awk '$1 == "idle," { print $4 }' "$out/figures")
[ -n "$dump" ] && [ -n "$statuses" ] && [ "$statuses" -gt 0 ] ||
  { echo "status_instructions: no idle window in the run" >&2; exit 1; }

# The exclusive and the inclusive listing of the window, one function a line.
callgrind_annotate --auto=no --threshold=100 "$dump" >"$out/self"
callgrind_annotate --auto=no --inclusive=yes --threshold=100 "$dump" >"$out/inclusive"
number() { tr -d , <<<"$1"; }
total=$(awk '/^summary:/ { print $2 }' "$dump")
completion=$(number "$(grep -m1 'HostController::Complete(' "$out/inclusive" | awk '{ print $1 }')")
driver=$(grep -E '%\)\s+(\S*/)?driver/' "$out/self" | awk '{ gsub(",", "", $1); sum += $1 } END { print sum + 0 }')

printf "status completions in the idle window: %d\n" "$statuses"
printf "%-58s %8d\n" "instructions per status, the whole process" $((total / statuses)) \
  "instructions per status completion, the whole stack" $((completion / statuses)) \
  "  of them in the driver's own code" $((driver / statuses))
