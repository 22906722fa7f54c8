#!/usr/bin/env bash
# Bring-up cost for 1, 10, 100 and 199 slaves: time and datagrams, with the simulated
# EEPROMs answering at once and at I2C speed, and what pipelining the EEPROM reads buys
# against reading slave by slave (the baseline, measured in the same run). Runs on the
# in-process back end: no frames leave the process, no namespaces needed.
#
#   bench/bench_bringup.sh [RUNS]     (EC_BUILD_DIR: default build/)
set -uo pipefail
EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
EC_BUILD_DIR=${EC_BUILD_DIR:-$EC_SOURCE_DIR/build}
BENCH=$EC_BUILD_DIR/bench/bringup_bench
[ -x "$BENCH" ] || { echo "bringup_bench is not built in $EC_BUILD_DIR" >&2; exit 1; }
"$BENCH" ${1:+"$1"}
