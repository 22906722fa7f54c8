#!/usr/bin/env bash
# Frame port round trip against the floor: a 2-byte FPRD through the master's port and
# libpcap on a veth pair, and the same frame through a bare AF_PACKET socket, against
# ecsim spinning on its own core. Runs in network namespaces made for it.
#
#   bench/bench_port.sh [ROUNDS_PER_BLOCK [BLOCKS]]     (EC_BUILD_DIR: default build/)
set -uo pipefail
EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
BENCH=$EC_BUILD_DIR/bench/port_roundtrip
[ -x "$BENCH" ] || ec_fail "port_roundtrip is not built in $EC_BUILD_DIR"
ROUNDS=${1:-2000}
BLOCKS=${2:-10}
TARGET=1.2

source "$EC_SOURCE_DIR/bench/cpu_pinning.sh"

ec_netns_up
ec_start_ecsim --slaves 1 --busy-poll --cpu "$segment_cpu"
out=$(ec_in_master taskset -c "$master_cpu" "$BENCH" "$EC_IF_MASTER" "$ROUNDS" "$BLOCKS") \
  || { echo "$out"; ec_fail "port_roundtrip failed"; }
ec_stop_ecsim

get() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$out" | head -1; }
echo "Frame port round trip: 2-byte FPRD over veth, ecsim busy-polling ($pin_note)"
echo "$((ROUNDS * BLOCKS)) exchanges per path in $BLOCKS alternating blocks after a warm-up block"
echo
printf '%-34s %12s %12s %10s %14s\n' "path" "median (us)" "p99 (us)" "failures" "allocs/exch"
printf '%-34s %12s %12s %10s %14s\n' "bare AF_PACKET socket (floor)" "$(get floor_median_us)" "$(get floor_p99_us)" \
  "$(get floor_failures)" "$(get floor_allocations_per_exchange)"
printf '%-34s %12s %12s %10s %14s\n' "frame port via libpcap" "$(get port_median_us)" "$(get port_p99_us)" \
  "$(get port_failures)" "$(get port_allocations_per_exchange)"
printf '%-34s %12s %12s\n' "ratio port / floor" "$(get ratio_median)" "$(get ratio_p99)"
echo
ratio=$(get ratio_median)
if awk -v r="$ratio" -v t="$TARGET" 'BEGIN { exit !(r <= t) }'; then
  echo "median ratio $ratio: within the target of $TARGET"
else
  echo "median ratio $ratio: ABOVE the target of $TARGET"
fi
[ "$(get allocation_counter_works)" = yes ] || echo "warning: the allocation counter did not see a library allocation"
allocs=$(get port_allocations_per_exchange)
if awk -v a="$allocs" 'BEGIN { exit !(a == 0) }'; then
  echo "allocations per exchange after warm-up: 0"
else
  echo "allocations per exchange after warm-up: $allocs (must be 0)"
  exit 1
fi
