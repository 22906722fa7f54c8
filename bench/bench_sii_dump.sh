#!/usr/bin/env bash
# `ecalias sii dump -p all -o DIR` of 100 slaves against one slave's `sii dump -p 1 -o
# FILE`, over libpcap on a veth pair against ecsim (busy-polling) with EEPROM busy times of 250 us per
# read and 5000 us per write (--eeprom-latency 250:5000). Both runs open the adapter and
# scan the line; a `list` of the same line is measured too, so the time of the dumps
# themselves can be told from the scan's. Every slave's EEPROM is read at the same time
# and the files are flushed to disk together, so the whole segment should take about as
# long as one slave: the target is a ratio all/one of at most 2. Each figure is the
# median of ROUNDS runs.
#
# EEPROMs of 2 KiB (--eeprom-size all:2048), read whole (--words 0-1023: 512 EEPROM
# reads of 4 bytes each per slave). Without --words a dump stops at the end-of-categories
# marker, word 0x5C of ecsim's default image.
#
#   bench/bench_sii_dump.sh [ROUNDS] [SLAVES]     (EC_BUILD_DIR: default build/)
set -uo pipefail
EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
E=$EC_BUILD_DIR/ecalias
[ -x "$E" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
ROUNDS=${1:-3}
SLAVES=${2:-100}

ec_netns_up
ec_start_ecsim --slaves "$SLAVES" --busy-poll --eeprom-latency 250:5000 --eeprom-size all:2048

# Milliseconds of one run of ecalias with the given words; the run must succeed.
timed() {
  local start end
  start=$(date +%s%N)
  ec_in_master "$E" -i "$EC_IF_MASTER" "$@" </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err" ||
    { cat "$EC_WORK/err" >&2; ec_fail "ecalias $* failed"; }
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}
median() { tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

list_ms=() one_ms=() all_ms=()
for round in $(seq 1 "$ROUNDS"); do
  list_ms+=("$(timed list)")
  rm -f "$EC_WORK/one.bin"
  one_ms+=("$(timed sii dump -p 1 --words 0-1023 -o "$EC_WORK/one.bin")")
  rm -rf "$EC_WORK/all"
  all_ms+=("$(timed sii dump -p all --words 0-1023 -o "$EC_WORK/all")")
  files=$(ls "$EC_WORK/all" | wc -l)
  [ "$files" -eq "$SLAVES" ] || ec_fail "dump -p all wrote $files files for $SLAVES slaves"
done
list=$(echo "${list_ms[*]}" | median)
one=$(echo "${one_ms[*]}" | median)
all=$(echo "${all_ms[*]}" | median)
words=$(($(stat -c %s "$EC_WORK/one.bin") / 2))

echo "sii dump over veth, ecsim --busy-poll with $SLAVES slaves, EEPROM busy 250 us per read, median of $ROUNDS runs"
printf '%-34s %10s\n' "run" "ms"
printf '%-34s %10s\n' "list (open, scan)" "$list"
printf '%-34s %10s\n' "sii dump -p 1 -o FILE (2 KiB)" "$one"
printf '%-34s %10s\n' "sii dump -p all -o DIR (2 KiB each)" "$all"
awk -v l="$list" -v o="$one" -v a="$all" -v n="$SLAVES" -v w="$words" 'BEGIN {
  per = (a - o) / (n - 1)
  printf "image: %d words per slave\n", w
  printf "each slave beyond the first: %.1f ms (every slave read at once)\n", per
  printf "ratio all/one: %.1f (target at most 2: %s)\n", a / o, (a / o <= 2 ? "met" : "NOT met")
}'
