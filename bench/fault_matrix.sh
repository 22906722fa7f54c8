#!/usr/bin/env bash
# The fault matrix: what the master does when the wire or the slave misbehaves.
#
# Section 1, the console tool: ecalias runs end to end against ecsim under each fault, with
# several seeds. Each run gets a fresh EEPROM folder (slave 1 starts with a random alias
# and its matching checksum) and a new config_id on standard input; the script waits
# for the dialog's last message (or the time limit), records the verdict ("write
# passed!", "write fail" or none) and whether the tool still runs (it must stay open,
# never exit or crash), stops ecsim (which saves the images) and reads words 0-7 of
# both slaves' images. A verdict is wrong when "write passed!" stands next to anything
# but the new word 4 with its matching checksum, or when there is no verdict at all;
# "write fail" next to the new pair is pessimistic, acceptable only where replies are
# lost on the wire. The EEPROM is consistent when slave 1 holds the old pair or the new
# pair (never a mix, never another word changed) and slave 2 is untouched; only a slave
# that vanishes between the two word writes may be left mixed, and then the verdict
# must be "write fail".
#
# Section 2, host programs: tests/tools/sdo_matrix calls the exported functions after Init
# (SDO downloads of random patterns read back, uploads of known objects, register reads
# and writes, ESC memory writes and reads) under loss, lost replies and slow slaves, and
# counts calls that reported failure (acceptable) and calls that reported success with
# wrong data (never acceptable).
#
# Section 3, threads: tests/tools/stress_probe runs three threads at once, each on a slave
# of its own (SDO transfers of every size, ESC memory and register access, each byte
# checked), for CONC_SECONDS per run. No call may succeed with wrong data; without
# faults no call may fail either.
#
# Section 4, every slave at once: bench/scan_matrix runs the new API's scan, the legacy
# bring-up as Init does it and a many-slave SII read (words 0-255 of every slave) on a
# segment of 8 slaves under each fault, and compares what it got with a run without
# faults. Wrong: a part reported read (API), a value other than the unfaulted one or
# "unread" (0, the fallback name) (legacy), or words reported read that differ (SII).
# Faults on some slaves only must leave those incomplete and every other slave finished.
#
# Section 5, the command line on a whole segment: on 6 slaves, `ecalias sii dump -p all -o DIR`
# (every slave's EEPROM read at once) and `ecalias alias plan --apply` (checks, backups and
# aliases of every slave at once); afterwards ecsim saves the images. Dumps whole: files
# equal to the unfaulted run's; wrong: a file written that differs. Plan rows verified:
# rows the plan reported verified; wrong: a verified row whose image does not hold the new
# alias with its checksum, or an image with any other word changed. Faults on some slaves
# only: those slaves' dumps fail (the others are whole); a plan that meets an unreadable
# header writes nothing; a vanishing slave leaves the rows before it verified.
#
# For the host-call rows (parts 2 and 3) the table shows the timeout overrun: the
# longest call of a datagram service (FPRead, FPWrite) and of an expedited SDO transfer,
# each divided by the timeout it was given, the highest over the row's runs. As
# api/ecdevice.h promises, a datagram service is to return within its timeout T + 2 ms,
# an expedited SDO transfer within T + 26 ms (the wait for the write mailbox), and within
# 1.2 T for T = 200 ms; a figure beyond that is marked "(over)". With TIME_LIMITS=fail
# such a row does not count as sound.
#
#   bash bench/fault_matrix.sh          # SEEDS=3 by default
#
# Environment: SEEDS (runs per fault), MATRIX_ROWS (names of the rows to run, default
# all; see the two tables below), MATRIX_DOC (file the tables are written to; default
# docs/fault-matrix.md, empty for none), TOOL_LIMIT (seconds a dialog may take, 60),
# SDO_ROUNDS (rounds of host calls per run, 40), CONC_SECONDS (seconds per threads run,
# 5), TIME_LIMITS (report or fail, default report), EC_BUILD_DIR. Exit status 0 when
# every row is sound, 1 when one is not, 77 when network namespaces cannot be made.
set -uo pipefail
EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
export EC_SOURCE_DIR
EC_BUILD_DIR=${EC_BUILD_DIR:-$EC_SOURCE_DIR/build}
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"

SEEDS=${SEEDS:-3}
MATRIX_ROWS=${MATRIX_ROWS:-all}
MATRIX_DOC=${MATRIX_DOC-$EC_SOURCE_DIR/docs/fault-matrix.md}
TOOL_LIMIT=${TOOL_LIMIT:-60}
SDO_ROUNDS=${SDO_ROUNDS:-40}
CONC_SECONDS=${CONC_SECONDS:-5}
TIME_LIMITS=${TIME_LIMITS:-report}
# Timeouts the host-call programs give: sdo_matrix 2 ms per datagram service and 20 ms
# per SDO exchange (every row), stress_probe 10 ms and 200 ms.
SDO_MATRIX_DATAGRAM_US=2000
SDO_MATRIX_SDO_US=20000
PROBE_DATAGRAM_US=10000
PROBE_SDO_US=200000

for program in ecalias ecsim tools/sdo_matrix tools/stress_probe bench/scan_matrix; do
  [ -x "$EC_BUILD_DIR/$program" ] || ec_fail "$program is not built in $EC_BUILD_DIR"
done
command -v python3 >/dev/null || ec_skip "python3 is missing"

# name | fault as the table shows it | ecsim options (SEED is replaced) | what the row allows
#   split: a mixed EEPROM is physics here (the slave vanished between the writes)
#   pessimistic: replies are lost, so "write fail" next to the new pair is acceptable
TOOL_ROWS=(
  "none|no fault||"
  "loss1|frame loss 1%|--drop 0.01 --seed SEED|pessimistic"
  "loss10|frame loss 10%|--drop 0.1 --seed SEED|pessimistic"
  "loss30|frame loss 30%|--drop 0.3 --seed SEED|pessimistic"
  "dup|duplicated replies (30%)|--dup 0.3 --seed SEED|"
  "foreign|foreign frames before 30% of replies|--foreign 0.3 --seed SEED|"
  "late|late replies (10%, 25 ms, after their slot timed out)|--late 0.1:25000 --seed SEED|pessimistic"
  "late-often|late replies (30%, 3 ms, after their slot timed out)|--late 0.3:3000 --seed SEED|pessimistic"
  "nack1|EEPROM NACKs the first command|--eeprom-nack 1:1|"
  "nack3|EEPROM NACKs the first 3 commands|--eeprom-nack 1:3|"
  "nackall|EEPROM NACKs every command|--eeprom-nack 1:all|"
  "nackw1|EEPROM NACKs the first write command|--eeprom-nack-writes 1:1|"
  "nackw3|EEPROM NACKs the first 3 write commands|--eeprom-nack-writes 1:3|"
  "busy|EEPROM busy never clears|--eeprom-busy-stuck 1|"
  "vanish-before|slave vanishes before the first write|--vanish-at-write 1:1|"
  "vanish-between|slave vanishes between the word-4 and the word-7 write|--vanish-after-writes 1:1|split"
)

# name | fault | ecsim options | sdo_matrix options
SDO_ROWS=(
  "sdo-none|no fault||"
  "sdo-loss1|frame loss 1%|--drop 0.01 --seed SEED|"
  "sdo-loss10|frame loss 10%|--drop 0.1 --seed SEED|"
  "sdo-loss30|frame loss 30%|--drop 0.3 --seed SEED|"
  "sdo-dup|duplicated replies (30%)|--dup 0.3 --seed SEED|"
  "sdo-late|late replies (10%, 25 ms)|--late 0.1:25000 --seed SEED|"
  "sdo-late-often|late replies (30%, 3 ms)|--late 0.3:3000 --seed SEED|"
  "sdo-foreign|foreign frames before 30% of replies|--foreign 0.3 --seed SEED|"
  "sdo-lost-reply|every mailbox answer loses its first read (repeat request)|--sdo-lose-first-read 1:1000000|"
  "sdo-lost-reply-loss|lost first reads and frame loss 10%|--sdo-lose-first-read 1:1000000 --drop 0.1 --seed SEED|"
  "sdo-emergency|an emergency before every answer|--sdo-emergency 1:1000000|"
  "sdo-slow-ok|slow slave: answers after 5 ms, calls wait 20 ms|--sdo-delay 1:5000|--timeout 20000"
  "sdo-slow|slow slave: answers after 50 ms, calls wait 20 ms|--sdo-delay 1:50000|--timeout 20000"
)

# name | fault | ecsim options
CONC_ROWS=(
  "conc-none|no fault|"
  "conc-drop5|frame loss 5%|--drop 0.05 --seed SEED"
  "conc-dup|duplicated replies (20%)|--dup 0.2 --seed SEED"
  "conc-late|late replies (10%, 20 ms)|--late 0.1:20000 --seed SEED"
)

# name | fault | ecsim options | slaves the fault is on (they must not finish; the others must)
SCAN_ROWS=(
  "scan-none|no fault||"
  "scan-loss10|frame loss 10%|--drop 0.1 --seed SEED|"
  "scan-dup|duplicated replies (30%)|--dup 0.3 --seed SEED|"
  "scan-late|late replies (10%, 3 ms)|--late 0.1:3000 --seed SEED|"
  "scan-nack|EEPROMs of slaves 3 and 6 NACK every command|--eeprom-nack 3:all --eeprom-nack 6:all|3 6"
  "scan-busy|EEPROM of slave 5 stays busy|--eeprom-busy-stuck 5|5"
)
SCAN_SEGMENT="--slaves 8 --eight-byte 4-5 --mailbox-size 7:0 --name 2:Drive"

# name | fault | ecsim options | slaves whose dumps fail | plan: "all" rows verified, "none" written, or
# the verified rows' positions
MANY_ROWS=(
  "many-none|no fault|||all"
  "many-loss10|frame loss 10%|--drop 0.1 --seed SEED||"
  "many-dup|duplicated replies (30%)|--dup 0.3 --seed SEED||all"
  "many-late|late replies (10%, 3 ms)|--late 0.1:3000 --seed SEED||"
  "many-nack|EEPROM of slave 3 NACKs every command|--eeprom-nack 3:all|3|none"
  "many-nackw|EEPROM of slave 3 NACKs every write|--eeprom-nack-writes 3:all||1 2 4 5 6"
  "many-busy|EEPROM of slave 5 stays busy|--eeprom-busy-stuck 5|5|none"
  "many-vanish|slave 3 vanishes at its checksum word|--vanish-at-write 3:2||1 2"
)
MANY_SEGMENT="--slaves 6 --eight-byte 4 --name 2:Drive"

wanted() {  # row-name: true when the row is to run
  [ "$MATRIX_ROWS" = all ] && return 0
  local name
  for name in $MATRIX_ROWS; do [ "$name" = "$1" ] && return 0; done
  return 1
}

ec_netns_up
started=$(date +%s)
failed_rows=0
TOOL_TABLE=$EC_WORK/tool-table
SDO_TABLE=$EC_WORK/sdo-table
CONC_TABLE=$EC_WORK/conc-table
SCAN_TABLE=$EC_WORK/scan-table
MANY_TABLE=$EC_WORK/many-table
DETAILS=$EC_WORK/details
: >"$TOOL_TABLE"
: >"$SDO_TABLE"
: >"$CONC_TABLE"
: >"$SCAN_TABLE"
: >"$MANY_TABLE"
: >"$DETAILS"

header_words() {  # image-file: words 0-7 as decimal numbers
  "$EC_BUILD_DIR/ecsim" --print-header "$1" | python3 -c 'import sys; print(*[int(w, 16) for w in sys.stdin.read().split()])'
}

# One run of the console tool. Sets RUN_RESULT to "verdict alive eeprom": verdict passed,
# fail or none; alive yes when the tool ended with the status its verdict gives (0 passed,
# 1 fail); eeprom old, new, mixed or damaged.
tool_run() {  # options new-id old-id run-dir
  local options=$1 new=$2 old=$3 dir=$4
  mkdir -p "$dir"
  # shellcheck disable=SC2086
  ec_start_ecsim --slaves 2 --eeprom-dir "$dir/images" --alias "1:$old" $options
  cp "$dir/images/slave-1.bin" "$dir/before-1.bin"
  cp "$dir/images/slave-2.bin" "$dir/before-2.bin"
  printf '%s\n' "$new" >"$dir/in"
  : >"$dir/out"
  # Started directly, not through a function, so that $! is ecalias itself.
  ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL=C "$EC_BUILD_DIR/ecalias" <"$dir/in" >"$dir/out" 2>&1 &
  local pid=$! i verdict=none alive=yes
  for i in $(seq 1 $((TOOL_LIMIT * 20))); do
    grep -qa 'stop!' "$dir/out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if grep -qa 'stop!' "$dir/out"; then
    if grep -qa 'write passed!' "$dir/out"; then verdict=passed; elif grep -qa 'write fail' "$dir/out"; then verdict=fail; fi
  fi
  # Off a terminal the tool ends after its last message: status 0 after "write passed!",
  # 1 after "write fail". "alive" now records that the status says what the verdict says.
  for i in $(seq 1 40); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then
    alive=no
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  else
    wait "$pid" 2>/dev/null
    local rc=$?
    case "$verdict/$rc" in
      passed/0 | fail/1) alive=yes ;;
      *) alive=no ;;
    esac
  fi
  ec_stop_ecsim
  cp "$dir/images/slave-1.bin" "$dir/after-1.bin"
  cp "$dir/images/slave-2.bin" "$dir/after-2.bin"
  local state
  state=$(python3 - "$dir" "$old" "$new" <<'PY'
import struct, sys
folder, old, new = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def crc8(data):
    crc = 0xFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc
def words(path):
    return list(struct.unpack("<8H", open(path, "rb").read(16)))
before, after = words(folder + "/before-1.bin"), words(folder + "/after-1.bin")
others_same = open(folder + "/before-2.bin", "rb").read() == open(folder + "/after-2.bin", "rb").read()
rest_same = all(before[i] == after[i] for i in (0, 1, 2, 3, 5, 6))
expected_new = list(before)
expected_new[4] = new
expected_new[7] = crc8(struct.pack("<7H", *expected_new[:7]))
if not others_same or not rest_same:
    print("damaged")
elif after == before and before[4] == old:
    print("old")
elif after == expected_new:
    print("new")
else:
    print("mixed")
PY
)
  RUN_RESULT="$verdict $alive $state"
}

tool_row() {  # name label options allows
  local name=$1 label=$2 options=$3 allows=$4 seed runs=0 passed=0 failv=0 none=0 pessimistic=0 wrong=0
  local consistent=0 mixed_physics=0 alive=0 verdict is_alive eeprom
  for seed in $(seq 1 "$SEEDS"); do
    RANDOM=$((seed * 7919 + ${#name} * 31))
    local old=$((RANDOM % 65536)) new=$((RANDOM % 65536))
    [ "$new" = "$old" ] && new=$(((old + 1) % 65536))
    local dir=$EC_WORK/$name-$seed
    mkdir -p "$dir"
    RUN_RESULT="none no damaged"
    tool_run "${options//SEED/$seed}" "$new" "$old" "$dir" 2>>"$DETAILS"
    read -r verdict is_alive eeprom <<<"$RUN_RESULT"
    runs=$((runs + 1))
    [ "$is_alive" = yes ] && alive=$((alive + 1))
    case "$verdict" in
      passed) passed=$((passed + 1)) ;;
      fail) failv=$((failv + 1)) ;;
      *) none=$((none + 1)) ;;
    esac
    local ok_verdict=yes
    if [ "$verdict" = passed ] && [ "$eeprom" != new ]; then ok_verdict=no; fi
    if [ "$verdict" = none ]; then ok_verdict=no; fi
    if [ "$verdict" = fail ] && [ "$eeprom" = new ]; then
      pessimistic=$((pessimistic + 1))
      [[ "$allows" == *pessimistic* ]] || ok_verdict=no
    fi
    [ "$ok_verdict" = no ] && wrong=$((wrong + 1))
    if [ "$eeprom" = old ] || [ "$eeprom" = new ]; then
      consistent=$((consistent + 1))
    elif [ "$eeprom" = mixed ] && [[ "$allows" == *split* ]] && [ "$verdict" = fail ]; then
      mixed_physics=$((mixed_physics + 1))
    fi
    if [ "$ok_verdict" = no ] || [ "$is_alive" = no ] || { [ "$eeprom" != old ] && [ "$eeprom" != new ]; }; then
      local note=
      [ "$eeprom" = mixed ] && [[ "$allows" == *split* ]] && [ "$verdict" = fail ] \
        && note=" (expected: the slave vanished between the writes, and the verdict says so)"
      echo "tool $name seed $seed: old=$old new=$new verdict=$verdict alive=$is_alive eeprom=$eeprom" \
        "(words 0-7 $(header_words "$dir/before-1.bin") -> $(header_words "$dir/after-1.bin"))$note" >>"$DETAILS"
    fi
  done
  local status=ok
  if [ "$wrong" -gt 0 ] || [ "$alive" -lt "$runs" ] || [ $((consistent + mixed_physics)) -lt "$runs" ]; then
    status=FAIL
    failed_rows=$((failed_rows + 1))
  fi
  local consistent_text="$consistent/$runs"
  [ "$mixed_physics" -gt 0 ] && consistent_text="$consistent/$runs (+$mixed_physics split by the vanishing slave, verdict fail)"
  printf '| %s | %d | %d | %d | %d | %d | %d | %s | %d/%d | %s |\n' "$label" "$runs" "$passed" "$failv" "$pessimistic" \
    "$none" "$wrong" "$consistent_text" "$alive" "$runs" "$status" | tee -a "$TOOL_TABLE"
}

# The higher of two ratios.
ratio_max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 > b + 0) ? a : b }'; }

# The highest ratio of call time to T allowed: a datagram service T + 2 ms, an expedited
# SDO transfer T + 26 ms but at least 1.2 T.
datagram_limit() { awk -v t="$1" 'BEGIN { print (t + 2000) / t }'; }
sdo_limit() { awk -v t="$1" 'BEGIN { l = (t + 26000) / t; print (l > 1.2) ? l : 1.2 }'; }

# A ratio as the table shows it: "(over)" when it is beyond the limit.
ratio_cell() {  # ratio limit
  if awk -v r="$1" -v l="$2" 'BEGIN { exit !(r + 0 > l + 0) }'; then
    printf '%s (over)' "$1"
  else
    printf '%s' "$1"
  fi
}

# The overrun line of a host-call program's output: "datagram-ratio sdo-ratio".
overrun_of() {  # output-file
  sed -n 's/^overrun datagram=\([0-9.]*\) sdo_expedited=\([0-9.]*\)$/\1 \2/p' "$1"
}

sdo_row() {  # name label ecsim-options program-options
  local name=$1 label=$2 options=$3 program_options=$4 seed runs=0 calls=0 ok=0 failedc=0 wrong=0 line
  local datagram_ratio=0 sdo_ratio=0 d e
  for seed in $(seq 1 "$SEEDS"); do
    local dir=$EC_WORK/$name-$seed
    mkdir -p "$dir"
    # shellcheck disable=SC2086
    ec_start_ecsim --slaves 2 --object 1:0x2200:0:ro-octets:600 ${options//SEED/$seed}
    # shellcheck disable=SC2086
    ec_in_master timeout 600 "$EC_BUILD_DIR/tools/sdo_matrix" --rounds "$SDO_ROUNDS" --seed "$seed" --slaves 2 \
      $program_options >"$dir/out" 2>"$dir/err"
    local rc=$?
    ec_stop_ecsim
    runs=$((runs + 1))
    line=$(grep '^total ' "$dir/out")
    if [ -z "$line" ]; then
      # Init found nothing, or the program died: every call it would have made is lost.
      wrong=$((wrong + 1))
      echo "sdo $name seed $seed: no result (exit $rc): $(head -c 300 "$dir/out" "$dir/err")" >>"$DETAILS"
      continue
    fi
    calls=$((calls + $(sed 's/.*calls=\([0-9]*\).*/\1/' <<<"$line")))
    ok=$((ok + $(sed 's/.* ok=\([0-9]*\).*/\1/' <<<"$line")))
    failedc=$((failedc + $(sed 's/.*failed=\([0-9]*\).*/\1/' <<<"$line")))
    local w
    w=$(sed 's/.*wrong=\([0-9]*\).*/\1/' <<<"$line")
    wrong=$((wrong + w))
    if [ "$w" -gt 0 ]; then
      { echo "sdo $name seed $seed:"; grep -v ' wrong=0$' "$dir/out" | grep -v '^overrun'; head -5 "$dir/err"; } >>"$DETAILS"
    fi
    read -r d e <<<"$(overrun_of "$dir/out")"
    datagram_ratio=$(ratio_max "$datagram_ratio" "${d:-0}")
    sdo_ratio=$(ratio_max "$sdo_ratio" "${e:-0}")
  done
  local datagram_cell sdo_cell OVER=0
  datagram_cell=$(ratio_cell "$datagram_ratio" "$(datagram_limit $SDO_MATRIX_DATAGRAM_US)")
  sdo_cell=$(ratio_cell "$sdo_ratio" "$(sdo_limit $SDO_MATRIX_SDO_US)")
  [[ "$datagram_cell$sdo_cell" == *over* ]] && OVER=1
  local status=ok
  if [ "$wrong" -gt 0 ]; then
    status=FAIL
  elif [ "$OVER" = 1 ]; then
    status="ok, slow"
    [ "$TIME_LIMITS" = fail ] && status="FAIL (time)"
  fi
  [[ "$status" == FAIL* ]] && failed_rows=$((failed_rows + 1))
  printf '| %s | %d | %d | %d | %d | %d | %s | %s | %s |\n' "$label" "$runs" "$calls" "$ok" "$failedc" "$wrong" \
    "$datagram_cell" "$sdo_cell" "$status" | tee -a "$SDO_TABLE"
}

# Three threads of one host program, each on a slave of its own, for CONC_SECONDS.
conc_row() {  # name label ecsim-options
  local name=$1 label=$2 options=$3 seed runs=0 calls=0 ok=0 failedc=0 wrong=0 line
  local datagram_ratio=0 sdo_ratio=0 d e
  for seed in $(seq 1 "$SEEDS"); do
    local dir=$EC_WORK/$name-$seed
    mkdir -p "$dir"
    # shellcheck disable=SC2086
    ec_start_ecsim --slaves 3 --object all:0x4001:0:ro-octets:1200 --object all:0x4002:0:ro-octets:5000 \
      ${options//SEED/$seed}
    # Without a fault the timeouts are generous (1 s per SDO exchange, 100 ms per
    # datagram), as in the end-to-end test: on 2 cores three busy threads and ecsim are
    # preempted for whole scheduler ticks, and a failure there must mean a lost reply.
    local timeouts=()
    [ -z "$options" ] && timeouts=(--sdo-timeout 1000000 --fp-timeout 100000)
    ec_in_master timeout 600 "$EC_BUILD_DIR/tools/stress_probe" --seconds "$CONC_SECONDS" --slaves 3 --threads 3 \
      --seed "$seed" "${timeouts[@]}" >"$dir/out" 2>"$dir/err"
    local rc=$?
    ec_stop_ecsim
    runs=$((runs + 1))
    line=$(grep '^total ' "$dir/out")
    if [ -z "$line" ]; then
      wrong=$((wrong + 1))
      echo "threads $name seed $seed: no result (exit $rc): $(head -c 300 "$dir/out" "$dir/err")" >>"$DETAILS"
      continue
    fi
    calls=$((calls + $(sed 's/.*calls=\([0-9]*\).*/\1/' <<<"$line")))
    ok=$((ok + $(sed 's/.* ok=\([0-9]*\).*/\1/' <<<"$line")))
    local f w
    f=$(sed 's/.*failed=\([0-9]*\).*/\1/' <<<"$line")
    w=$(sed 's/.*wrong=\([0-9]*\).*/\1/' <<<"$line")
    failedc=$((failedc + f))
    wrong=$((wrong + w))
    if [ "$w" -gt 0 ] || { [ -z "$options" ] && [ "$f" -gt 0 ]; }; then
      { echo "threads $name seed $seed:"; grep -vE ' failed=0 wrong=0|^overrun' "$dir/out"; head -5 "$dir/err"; } >>"$DETAILS"
    fi
    read -r d e <<<"$(overrun_of "$dir/out")"
    datagram_ratio=$(ratio_max "$datagram_ratio" "${d:-0}")
    sdo_ratio=$(ratio_max "$sdo_ratio" "${e:-0}")
  done
  local datagram_cell sdo_cell OVER=0
  datagram_cell=$(ratio_cell "$datagram_ratio" "$(datagram_limit $PROBE_DATAGRAM_US)")
  sdo_cell=$(ratio_cell "$sdo_ratio" "$(sdo_limit $PROBE_SDO_US)")
  [[ "$datagram_cell$sdo_cell" == *over* ]] && OVER=1
  local status=ok
  # Without a fault nothing is lost: a failure there is the master's.
  if [ "$wrong" -gt 0 ] || { [ -z "$options" ] && [ "$failedc" -gt 0 ]; }; then
    status=FAIL
  elif [ "$OVER" = 1 ]; then
    status="ok, slow"
    [ "$TIME_LIMITS" = fail ] && status="FAIL (time)"
  fi
  [[ "$status" == FAIL* ]] && failed_rows=$((failed_rows + 1))
  printf '| %s | %d | %d | %d | %d | %d | %s | %s | %s |\n' "$label" "$runs" "$calls" "$ok" "$failedc" "$wrong" \
    "$datagram_cell" "$sdo_cell" "$status" | tee -a "$CONC_TABLE"
}

# The three scans of one segment into dir/api, dir/legacy, dir/sii.
scan_outputs() {  # dir
  local mode
  for mode in api legacy sii; do
    ec_in_master timeout 120 "$EC_BUILD_DIR/bench/scan_matrix" "$EC_IF_MASTER" "$mode" >"$1/$mode" 2>>"$1/err"
  done
}

# Compares a run's scans with the unfaulted ones. Prints "api_done api_wrong legacy_done
# legacy_wrong sii_done sii_wrong expected": done counts finished slaves, expected is 1
# when the faulted slaves did not finish and every other slave did.
scan_compare() {  # reference-dir run-dir faulted-slaves
  python3 - "$1" "$2" "$3" <<'PY'
import sys
ref_dir, run_dir, faulted = sys.argv[1], sys.argv[2], {int(n) for n in sys.argv[3].split()}
def load(path):
    table = {}
    for line in open(path):
        n, key, value = line.rstrip("\n").split(" ", 2)
        table.setdefault(int(n), {})[key] = value
    return table
count = 8
result, expected = [], True
for mode in ("api", "legacy", "sii"):
    ref, run = load(f"{ref_dir}/{mode}"), load(f"{run_dir}/{mode}")
    done = wrong = 0
    for n in range(1, count + 1):
        r, g = ref.get(n, {}), run.get(n, {})
        if mode == "api":
            # The AL state is read, not derived: a slave whose mailbox words could not be
            # read is left in INIT, which is what it then reports.
            bad = [k for k in g if k not in ("parts", "complete") and g[k] != r.get(k)
                   and not (k == "state" and n in faulted and g[k].startswith("0x0001:"))]
            finished = g.get("complete") == "1"
        elif mode == "legacy":
            def unread(key, value):
                if key == "name":
                    return value.startswith("'? M:")
                if key == "state":
                    return value in ("0x0000", "0x0001")
                parts, ref_parts = value.split(":"), r.get(key, "").split(":")
                return len(parts) == len(ref_parts) and all(p == q or int(p, 0) == 0 for p, q in zip(parts, ref_parts))
            bad = [k for k in g if g[k] != r.get(k) and not unread(k, g[k])]
            finished = all(g.get(k) == r.get(k) for k in r)
        else:
            finished = g.get("status") == "done"
            bad = ["words"] if finished and g.get("words") != r.get("words") else []
        done += finished
        wrong += len(bad) > 0
        if bad:
            print(f"{mode} slave {n}: {', '.join(f'{k}={g[k]} (unfaulted {r.get(k)})' for k in bad)}", file=sys.stderr)
        if (n in faulted and finished) or (faulted and n not in faulted and not finished):
            expected = False
    result += [done, wrong]
print(*result, int(expected))
PY
}

scan_row() {  # name label ecsim-options faulted-slaves
  local name=$1 label=$2 options=$3 faulted=$4 seed runs=0
  local api_done=0 api_wrong=0 legacy_done=0 legacy_wrong=0 sii_done=0 sii_wrong=0 unexpected=0
  for seed in $(seq 1 "$SEEDS"); do
    local dir=$EC_WORK/$name-$seed
    mkdir -p "$dir"
    # shellcheck disable=SC2086
    ec_start_ecsim $SCAN_SEGMENT ${options//SEED/$seed}
    scan_outputs "$dir"
    ec_stop_ecsim
    runs=$((runs + 1))
    local a aw l lw s sw e
    read -r a aw l lw s sw e <<<"$(scan_compare "$SCAN_REFERENCE" "$dir" "$faulted" 2>>"$dir/err")"
    if [ -z "$e" ]; then
      echo "scan $name seed $seed: no result: $(head -c 300 "$dir/err")" >>"$DETAILS"
      unexpected=$((unexpected + 1))
      continue
    fi
    api_done=$((api_done + a)); api_wrong=$((api_wrong + aw))
    legacy_done=$((legacy_done + l)); legacy_wrong=$((legacy_wrong + lw))
    sii_done=$((sii_done + s)); sii_wrong=$((sii_wrong + sw))
    # Without a fault every slave finishes everywhere.
    [ -z "$options" ] && [ "$a$l$s" != 888 ] && e=0
    [ "$e" = 1 ] || unexpected=$((unexpected + 1))
    if [ $((aw + lw + sw)) -gt 0 ] || [ "$e" != 1 ]; then
      { echo "scan $name seed $seed:"; cat "$dir/err"; } >>"$DETAILS"
    fi
  done
  local status=ok slaves=$((8 * runs))
  if [ $((api_wrong + legacy_wrong + sii_wrong + unexpected)) -gt 0 ]; then
    status=FAIL
    failed_rows=$((failed_rows + 1))
  fi
  printf '| %s | %d | %s | %d/%d | %d | %d/%d | %d | %d/%d | %d | %s |\n' "$label" "$runs" "${faulted:-none}" \
    "$api_done" "$slaves" "$api_wrong" "$legacy_done" "$slaves" "$legacy_wrong" "$sii_done" "$slaves" "$sii_wrong" \
    "$status" | tee -a "$SCAN_TABLE"
}

echo "Console tool (ecalias) end to end, $SEEDS seed(s) per fault:"
echo "| fault | runs | write passed | write fail | pessimistic fail | no verdict | wrong verdicts | EEPROM consistent | exit status as verdict | row |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for row in "${TOOL_ROWS[@]}"; do
  IFS='|' read -r name label options allows <<<"$row"
  wanted "$name" && tool_row "$name" "$label" "$options" "$allows"
done
echo
echo "Host program (SDO transfers, register and memory access through libecdevice's functions), $SEEDS seed(s) per fault, $SDO_ROUNDS rounds of 7 calls each:"
echo "| fault | runs | calls | ok | failed (reported) | success with wrong data | datagram max/T | expedited SDO max/T | row |"
echo "|---|---|---|---|---|---|---|---|---|"
for row in "${SDO_ROWS[@]}"; do
  IFS='|' read -r name label options program_options <<<"$row"
  wanted "$name" && sdo_row "$name" "$label" "$options" "$program_options"
done
echo
echo "Threads (three at once, a slave each, through libecdevice's functions), $SEEDS seed(s) per fault, $CONC_SECONDS s per run:"
echo "| fault | runs | calls | ok | failed (reported) | success with wrong data | datagram max/T | expedited SDO max/T | row |"
echo "|---|---|---|---|---|---|---|---|---|"
for row in "${CONC_ROWS[@]}"; do
  IFS='|' read -r name label options <<<"$row"
  wanted "$name" && conc_row "$name" "$label" "$options"
done
echo
echo "Every slave at once (8 slaves: API scan, legacy bring-up, SII read of words 0-255), $SEEDS seed(s) per fault:"
echo "| fault | runs | faulted slaves | API scan complete | wrong | legacy as unfaulted | wrong | SII read done | wrong | row |"
echo "|---|---|---|---|---|---|---|---|---|---|"
SCAN_REFERENCE=$EC_WORK/scan-reference
mkdir -p "$SCAN_REFERENCE"
scan_wanted=0
for row in "${SCAN_ROWS[@]}"; do wanted "${row%%|*}" && scan_wanted=1; done
if [ "$scan_wanted" = 1 ]; then
  # shellcheck disable=SC2086
  ec_start_ecsim $SCAN_SEGMENT
  scan_outputs "$SCAN_REFERENCE"
  ec_stop_ecsim
  for row in "${SCAN_ROWS[@]}"; do
    IFS='|' read -r name label options faulted <<<"$row"
    wanted "$name" && scan_row "$name" "$label" "$options" "$faulted"
  done
fi
# Checks a whole-segment run against the unfaulted dumps and images. Prints "dumps_whole
# dumps_wrong verified plan_wrong expected".
many_compare() {  # reference-dir run-dir failing-dumps plan-expectation
  python3 - "$1" "$2" "$3" "$4" <<'PY'
import json, os, struct, sys
ref, run, failing, plan = sys.argv[1], sys.argv[2], sys.argv[3].split(), sys.argv[4]
failing = {int(n) for n in failing}
count = 6
def words(path):
    data = open(path, "rb").read()
    return list(struct.unpack("<%dH" % (len(data) // 2), data))
def crc(w):
    c = 0xFF
    for b in struct.pack("<7H", *w[:7]):
        c ^= b
        for _ in range(8):
            c = ((c << 1) ^ 0x07) & 0xFF if c & 0x80 else (c << 1) & 0xFF
    return c
whole = wrong = 0
expected = True
ref_files = sorted(os.listdir(f"{ref}/dump"))
run_files = set(os.listdir(f"{run}/dump")) if os.path.isdir(f"{run}/dump") else set()
for n, name in enumerate(ref_files, 1):
    if name in run_files:
        if words(f"{run}/dump/{name}") == words(f"{ref}/dump/{name}"):
            whole += 1
        else:
            wrong += 1
            print(f"slave {n}: the dump differs", file=sys.stderr)
    if (name in run_files) == (n in failing):
        expected = False
try:
    rows = json.load(open(f"{run}/plan.json"))["rows"]
except Exception as e:
    print(f"no plan report: {e}", file=sys.stderr)
    rows = []
verified = plan_wrong = 0
results = {r["position"]: r["result"] for r in rows}
for n in range(1, count + 1):
    before = words(f"{ref}/images/slave-{n}.bin")
    after = words(f"{run}/images/slave-{n}.bin")
    new_pair = after[4] == 100 + n and (after[7] & 0xFF) == crc(after)
    changed = [k for k in range(len(before)) if k not in (4, 7) and before[k] != after[k]]
    if results.get(n) == "verified":
        verified += 1
        if not new_pair:
            plan_wrong += 1
            print(f"slave {n}: verified, but the image holds {after[4]:#x} {after[7]:#x}", file=sys.stderr)
    if changed:
        plan_wrong += 1
        print(f"slave {n}: words {changed[:5]} changed", file=sys.stderr)
if plan == "all":
    expected = expected and verified == count
elif plan == "none":
    expected = expected and verified == 0 and all(
        words(f"{run}/images/slave-{n}.bin")[:8] == words(f"{ref}/images/slave-{n}.bin")[:8] for n in range(1, count + 1))
elif plan:
    expected = expected and sorted(n for n, r in results.items() if r == "verified") == [int(n) for n in plan.split()]
print(whole, wrong, verified, plan_wrong, 1 if expected else 0)
PY
}

many_run() {  # dir ecsim-options...
  local dir=$1
  shift
  mkdir -p "$dir/images" "$dir/backups"
  # shellcheck disable=SC2086
  ec_start_ecsim $MANY_SEGMENT --eeprom-dir "$dir/images" "$@"
  ec_in_master timeout 120 "$EC_BUILD_DIR/ecalias" -i "$EC_IF_MASTER" --json sii dump -p all -o "$dir/dump" \
    </dev/null >"$dir/dump.json" 2>>"$dir/err"
  ec_in_master timeout 120 "$EC_BUILD_DIR/ecalias" -i "$EC_IF_MASTER" --json alias plan "$MANY_PLAN" --apply --yes \
    --backup-dir "$dir/backups" </dev/null >"$dir/plan.json" 2>>"$dir/err"
  ec_stop_ecsim
}

many_row() {  # name label ecsim-options failing-dumps plan-expectation
  local name=$1 label=$2 options=$3 failing=$4 plan=$5 seed runs=0
  local whole=0 dumps_wrong=0 verified=0 plan_wrong=0 unexpected=0
  for seed in $(seq 1 "$SEEDS"); do
    local dir=$EC_WORK/$name-$seed
    # shellcheck disable=SC2086
    many_run "$dir" ${options//SEED/$seed}
    runs=$((runs + 1))
    local w dw v pw e
    read -r w dw v pw e <<<"$(many_compare "$MANY_REFERENCE" "$dir" "$failing" "$plan" 2>>"$dir/err")"
    if [ -z "$e" ]; then
      echo "many $name seed $seed: no result: $(head -c 300 "$dir/err")" >>"$DETAILS"
      unexpected=$((unexpected + 1))
      continue
    fi
    whole=$((whole + w)); dumps_wrong=$((dumps_wrong + dw))
    verified=$((verified + v)); plan_wrong=$((plan_wrong + pw))
    [ "$e" = 1 ] || unexpected=$((unexpected + 1))
    if [ $((dw + pw)) -gt 0 ] || [ "$e" != 1 ]; then
      { echo "many $name seed $seed:"; cat "$dir/err"; } >>"$DETAILS"
    fi
  done
  local status=ok
  if [ $((dumps_wrong + plan_wrong + unexpected)) -gt 0 ]; then
    status=FAIL
    failed_rows=$((failed_rows + 1))
  fi
  local line
  line="| $label | $runs | ${failing:-none} | $whole/$((6 * runs)) | $dumps_wrong | $verified/$((6 * runs)) | $plan_wrong | $status |"
  echo "$line"
  echo "$line" >>"$MANY_TABLE"
}

echo
echo "The command line on a whole segment (6 slaves: sii dump -p all, alias plan --apply), $SEEDS seed(s) per fault:"
echo "| fault | runs | dumps that fail | dumps whole | wrong | plan rows verified | wrong | row |"
echo "|---|---|---|---|---|---|---|---|"
MANY_REFERENCE=$EC_WORK/many-reference
MANY_PLAN=$EC_WORK/many-plan.csv
{
  echo "position,alias"
  for n in 1 2 3 4 5 6; do echo "$n,$((100 + n))"; done
} >"$MANY_PLAN"
many_wanted=0
for row in "${MANY_ROWS[@]}"; do wanted "${row%%|*}" && many_wanted=1; done
if [ "$many_wanted" = 1 ]; then
  # The reference: the dumps of an unfaulted run and the images before any plan.
  mkdir -p "$MANY_REFERENCE/images"
  # shellcheck disable=SC2086
  ec_start_ecsim $MANY_SEGMENT --eeprom-dir "$MANY_REFERENCE/images"
  ec_in_master timeout 120 "$EC_BUILD_DIR/ecalias" -i "$EC_IF_MASTER" sii dump -p all -o "$MANY_REFERENCE/dump" \
    </dev/null >/dev/null 2>>"$MANY_REFERENCE/err"
  ec_stop_ecsim
  for row in "${MANY_ROWS[@]}"; do
    IFS='|' read -r name label options failing plan <<<"$row"
    wanted "$name" && many_row "$name" "$label" "$options" "$failing" "$plan"
  done
fi
elapsed=$(($(date +%s) - started))
echo
echo "Matrix finished in ${elapsed} s; rows that are not sound: $failed_rows"
if [ -s "$DETAILS" ]; then
  echo
  echo "Runs with a wrong result or an EEPROM that is not as before or as written:"
  cat "$DETAILS"
fi

if [ -n "$MATRIX_DOC" ]; then
  # The written part of the page (from its "## Causes found" heading on) is kept.
  kept=$EC_WORK/kept-notes
  : >"$kept"
  [ -f "$MATRIX_DOC" ] && sed -n '/^## Causes found/,$p' "$MATRIX_DOC" >"$kept"
  {
    echo "# Fault matrix"
    echo
    echo "Made by \`bash bench/fault_matrix.sh\` (SEEDS=$SEEDS, $(date -u +%Y-%m-%d), ${elapsed} s). Each row runs"
    echo "against ecsim in network namespaces with a fresh EEPROM folder; see the script's head for"
    echo "what every column means."
    echo
    echo "## Console tool (ecalias), end to end"
    echo
    echo "A verdict is wrong when \"write passed!\" stands next to anything but the new word 4 with"
    echo "its matching checksum, or when the dialog gives none. \"write fail\" next to the new pair is"
    echo "pessimistic: acceptable only where replies are lost on the wire. Consistent: slave 1 holds"
    echo "the old pair of words 4 and 7 or the new pair, nothing else changed, slave 2 untouched."
    echo
    echo "| fault | runs | write passed | write fail | pessimistic fail | no verdict | wrong verdicts | EEPROM consistent | exit status as verdict | row |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    cat "$TOOL_TABLE"
    echo
    echo "## Host program: SDO transfers, register and memory access"
    echo
    echo "tests/tools/sdo_matrix after \`Init\`, $SDO_ROUNDS rounds per run: a random pattern downloaded to"
    echo "0x2100:00 and uploaded, an upload of an object with known content, a read of an unwritten"
    echo "device register, a register write and its read-back, an ESC memory write and read. Failed:"
    echo "the call reported failure. Wrong: the call reported success and returned data the slave"
    echo "cannot hold. Max/T: the longest call of a datagram service (FPRead, FPWrite; T = 2 ms) and"
    echo "of an expedited SDO transfer (T = 20 ms), divided by T, the highest of the row's runs;"
    echo "\"(over)\" beyond T + 2 ms for a datagram, T + 26 ms for an expedited transfer (what"
    echo "api/ecdevice.h promises). Measured with the monotonic clock on the machine that ran"
    echo "the matrix, so a loaded machine adds its scheduling delays."
    echo
    echo "| fault | runs | calls | ok | failed (reported) | success with wrong data | datagram max/T | expedited SDO max/T | row |"
    echo "|---|---|---|---|---|---|---|---|---|"
    cat "$SDO_TABLE"
    echo
    echo "## Threads: host calls from three threads at once"
    echo
    echo "tests/tools/stress_probe after \`Init\`, $CONC_SECONDS s per run: three threads, each on a slave of"
    echo "its own, make SDO uploads and downloads of every size (expedited, normal, segmented 1200"
    echo "and 5000 bytes), ESC memory writes and reads, register window accesses and reads of the"
    echo "station address, every byte checked. Timeouts: 10 ms per datagram service, 200 ms per SDO"
    echo "exchange under a fault; without one 100 ms and 1 s, and no call may fail. \"(over)\" beyond"
    echo "T + 2 ms for a datagram, 1.2 T for an expedited transfer. Three busy threads and ecsim share"
    echo "2 cores here: a thread preempted for a scheduler tick or two shows in max/T."
    echo
    echo "| fault | runs | calls | ok | failed (reported) | success with wrong data | datagram max/T | expedited SDO max/T | row |"
    echo "|---|---|---|---|---|---|---|---|---|"
    cat "$CONC_TABLE"
    echo
    echo "## Every slave at once: scans and SII reads on 8 slaves"
    echo
    echo "bench/scan_matrix on a segment of 8 slaves (slaves 4 and 5 read 8 bytes per EEPROM command,"
    echo "slave 7 has no mailbox): the new API's scan, the legacy bring-up as \`Init\` does it (names"
    echo "and mailboxes of every slave included) and a read of words 0-255 of every slave on the"
    echo "SII engine, compared with the same run without faults. API complete: slaves whose"
    echo "complete flag is set; wrong: a part reported read with another value. Legacy as"
    echo "unfaulted: slaves whose record equals the unfaulted one; wrong: a value that is neither"
    echo "that nor unread (0, the fallback name). SII done: reads that ended done; wrong: words"
    echo "reported read that differ. Faulted slaves must not finish, every other slave must."
    echo
    echo "| fault | runs | faulted slaves | API scan complete | wrong | legacy as unfaulted | wrong | SII read done | wrong | row |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    cat "$SCAN_TABLE"
    echo
    echo "## The command line on a whole segment: dumps and alias plans of 6 slaves"
    echo
    echo "On 6 slaves (slave 4 reads 8 bytes per EEPROM command), \`ecalias sii dump -p all -o DIR\`"
    echo "reads every slave's EEPROM at once and \`ecalias alias plan --apply\` checks, backs up and"
    echo "sets the aliases 101-106 of every slave at once; then ecsim saves the images. Dumps whole:"
    echo "files equal to the unfaulted run's; wrong: a file that differs. Plan rows verified: rows"
    echo "reported verified; wrong: a verified row whose image lacks the new alias with its"
    echo "checksum, or any other word changed. Dumps of the slaves named fail, every other one is"
    echo "whole; a header that cannot be read (NACK, busy) stops the plan before it writes; a slave"
    echo "refusing writes fails alone; a slave vanishing at its checksum word leaves the rows before"
    echo "it verified (the slaves behind it drop off with it)."
    echo
    echo "| fault | runs | dumps that fail | dumps whole | wrong | plan rows verified | wrong | row |"
    echo "|---|---|---|---|---|---|---|---|"
    cat "$MANY_TABLE"
    if [ -s "$DETAILS" ]; then
      echo
      echo "## Runs with a wrong result or an EEPROM that is not as before or as written"
      echo
      echo '```'
      cat "$DETAILS"
      echo '```'
    fi
    if [ -s "$kept" ]; then
      echo
      cat "$kept"
    fi
  } >"$MATRIX_DOC"
  echo "Table written to $MATRIX_DOC"
fi
[ "$failed_rows" -eq 0 ]
