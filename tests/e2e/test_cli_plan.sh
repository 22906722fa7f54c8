#!/usr/bin/env bash
# ecalias alias plan on in-process segments (no root): a dry run, an applied plan with
# backups and a final table, plans that must write nothing (wrong identity, duplicate
# alias, a missing slave, a malformed file), and a slave that vanishes in the middle of
# a plan: the rows before it stay verified and the report names every row not done.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
E=$EC_BUILD_DIR/ecalias
[ -x "$E" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
WORK=$(mktemp -d /tmp/ecalias-plan.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
IMAGES=$WORK/images
SIM="sim:--slaves 5 --eeprom-dir $IMAGES --alias 5:900"
"$E" -i "$SIM" list >/dev/null 2>&1 || ec_fail "the first list failed"

run() {
  "$E" "$@" </dev/null >"$WORK/out" 2>"$WORK/err"
  rc=$?
}
expect_rc() {
  [ "$rc" -eq "$1" ] || { cat "$WORK/out" "$WORK/err" >&2; ec_fail "$2: status $rc, expected $1"; }
}
json_true() {
  python3 -c 'import json, sys; doc = json.load(open(sys.argv[1])); sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' \
    "$WORK/out" "$1" || { cat "$WORK/out" >&2; ec_fail "$2"; }
}
snapshot() { rm -rf "$WORK/snap"; cp -r "$IMAGES" "$WORK/snap"; }
unchanged() { diff -r "$WORK/snap" "$IMAGES" >/dev/null || ec_fail "$1: an EEPROM image changed"; }
backups() { find "$WORK/backups" -name 'slave*.bin' 2>/dev/null | wc -l; }
mkdir "$WORK/backups"

# Plans that must write nothing.
check_refused() {  # file, status, what, [problem text]
  snapshot
  run -i "$SIM" alias plan "$1" --apply --yes --backup-dir "$WORK/backups"
  expect_rc "$2" "$3"
  unchanged "$3"
  [ "$(backups)" -eq 0 ] || ec_fail "$3: a backup was made"
  if [ -n "${4:-}" ]; then grep -qF -- "$4" "$WORK/out" || ec_fail "$3: no \"$4\" in $(cat "$WORK/out")"; fi
}
printf 'position,alias,vendor,product\n1,101,0xec5,0x10001\n2,102,0xec5,0x99999\n3,103,0xec5,0x10003\n' >wrong-id.csv
check_refused wrong-id.csv 1 "a wrong identity" "product 0x00099999 planned, the slave has 0x00010002"
printf 'position,alias\n1,101\n2,102\n3,101\n' >dup.csv
check_refused dup.csv 1 "a duplicate alias in the file" "alias 101 is also on the slave at position 3"
printf 'position,alias\n1,900\n' >dup-segment.csv
check_refused dup-segment.csv 1 "an alias another slave carries" "alias 900 is also on the slave at position 5"
printf 'position,alias\n1,101\n6,106\n' >missing.csv
check_refused missing.csv 1 "a missing slave" "no slave at position 6 (5 on the segment)"
printf 'position,alias\n1,101\n2,seven\n' >malformed.csv
check_refused malformed.csv 2 "a malformed file"
grep -q 'malformed.csv: line 3: bad alias "seven"' "$WORK/err" || ec_fail "malformed: $(cat "$WORK/err")"
run --json -i "$SIM" alias plan dup.csv
expect_rc 1 "a duplicate alias, as JSON"
json_true 'doc["ok"] is False and doc["applied"] is False and "nothing written" in doc["error"]["message"] and
  [r["result"] for r in doc["rows"]] == ["refused", "to write", "refused"]' "duplicate: rows"

# A dry run, then the plan applied. Slave 4 already carries its planned alias 0.
printf 'position,alias,serial\n1,101,1\n2,102,2\n3,103,3\n4,0,4\n' >line.csv
snapshot
run -i "$SIM" alias plan line.csv
expect_rc 0 "dry run"
unchanged "dry run"
grep -q 'dry run: 3 of 4 rows would be written' "$WORK/out" || ec_fail "dry run: $(cat "$WORK/out")"
run -i "$SIM" alias plan line.csv --apply
expect_rc 2 "--apply without --yes off a terminal"
unchanged "--apply without --yes"
run --json -i "$SIM" alias plan line.csv --apply --yes --backup-dir "$WORK/backups"
expect_rc 0 "apply"
json_true 'doc["ok"] and doc["applied"] and "error" not in doc and [r["result"] for r in doc["rows"]] == ["verified"] * 3 + ["unchanged"]' \
  "apply: rows"
json_true 'all(r["backup"] for r in doc["rows"][:3]) and doc["rows"][3]["backup"] is None' "apply: backups"
[ "$(backups)" -eq 3 ] || ec_fail "apply: $(backups) backups, expected 3"
run -i "$SIM" --json list
json_true '[s["sii_alias"] for s in doc["slaves"]] == [101, 102, 103, 0, 900]' "after apply: the aliases"
run -i "$SIM" alias plan line.csv --apply --yes --backup-dir "$WORK/backups"
expect_rc 0 "the same plan again"
[ "$(backups)" -eq 3 ] || ec_fail "a plan with nothing to change made backups"

# Slave 3 drops off the line as its second EEPROM write (word 7) arrives; on a line the
# slaves behind it go silent too. Every slave's alias word is written at once, so slaves 4
# and 5 hold their new alias without its checksum, as slave 3 does: each row says so and
# how to finish it.
VANISH="sim:--slaves 5 --eeprom-dir $WORK/vanish --vanish-at-write 3:2"
printf 'position,alias\n1,201\n2,202\n3,203\n4,204\n5,205\n' >vanish.csv
run -i "$VANISH" --json alias plan vanish.csv --apply --yes --backup-dir "$WORK/backups"
expect_rc 1 "a slave vanishing mid-plan"
json_true '[r["result"] for r in doc["rows"]] == ["verified", "verified", "failed", "failed", "failed"]' \
  "vanish: rows"
json_true 'all("--force" in r["message"] and r["backup"] for r in doc["rows"][2:]) and doc["error"]["code"] < 0' \
  "vanish: the failed rows' messages"
grep -q 'rows not done (line numbers): 4 (position 3), 5 (position 4), 6 (position 5)' "$WORK/err" ||
  ec_fail "vanish: the report of rows not done: $(cat "$WORK/err")"
run -i "sim:--slaves 5 --eeprom-dir $WORK/vanish" --json list
json_true '[s["sii_alias"] for s in doc["slaves"]] == [201, 202, 203, 204, 205]' \
  "vanish: the rows before stay written, the alias words behind are written"
# Slave 3's checksum word was never carried out; the report told to finish it with --force.
run -i "sim:--slaves 5 --eeprom-dir $WORK/vanish" alias set -p 3 203 --dry-run
grep -q 'stored SII checksum is wrong' "$WORK/err" || ec_fail "vanish: slave 3's checksum is not wrong: $(cat "$WORK/err")"
run -i "sim:--slaves 5 --eeprom-dir $WORK/vanish" alias set -p 3 203 --force --yes --backup-dir "$WORK/backups"
expect_rc 0 "vanish: the --force the report names"

# Slave 3's image cannot be read whole (a word of its name is NACKed), so it cannot be
# backed up: no backup, no write, and with one row failed no alias is written at all.
NOBACKUP="sim:--slaves 5 --eeprom-dir $WORK/nobackup --eeprom-bad-words 3:0x50:1"
run -i "$NOBACKUP" --json alias plan vanish.csv --apply --yes --backup-dir "$WORK/backups"
expect_rc 1 "a slave that cannot be backed up"
json_true '[r["result"] for r in doc["rows"]] == ["not done", "not done", "failed", "not done", "not done"] and
  "no backup, no write" in doc["rows"][2]["message"]' "no backup: rows"
run -i "sim:--slaves 5 --eeprom-dir $WORK/nobackup" --json list
json_true '[s["sii_alias"] for s in doc["slaves"]] == [0, 0, 0, 0, 0]' "no backup: nothing written"

# Interruptions (SIGTERM; a background job of a script ignores SIGINT) of an applied
# plan. Every row is written at once, so a plan stops between its steps: a signal that
# comes while the backups are taken stops it before any alias is written; one that comes
# while the aliases are written waits until every pair of words is written and read
# back. Either way the table is printed, then the signal ends the program.
sigterm_held() {  # pid: true once the plan holds SIGTERM (bit 15 of SigBlk)
  local mask
  mask=$(sed -n 's/^SigBlk:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null) || return 1
  [ -n "$mask" ] && (((0x$mask >> 14) & 1))
}
all_sound() {  # eeprom dir, what
  run -i "sim:--slaves 5 --eeprom-dir $1" --json list
  json_true 'all(s["complete"] for s in doc["slaves"])' "$2: the records after it"
  for n in 1 2 3 4 5; do
    run -i "sim:--slaves 5 --eeprom-dir $1" alias set -p "$n" 0 --dry-run
    [ "$rc" -eq 0 ] || ec_fail "$2: slave $n's header is not sound: $(cat "$WORK/err")"
  done
}
# During the backups (reads take 5 ms here, an image some 50 reads): nothing written.
SLOW_READS="sim:--slaves 5 --eeprom-dir $WORK/slow-reads --eeprom-latency 5000:5000"
"$E" -i "$SLOW_READS" list >/dev/null 2>&1 || ec_fail "list of the slow segment failed"
rm -rf "$WORK/slow-reads.before" && cp -r "$WORK/slow-reads" "$WORK/slow-reads.before"
mkdir "$WORK/slow-backups"
"$E" -i "$SLOW_READS" alias plan vanish.csv --apply --yes --backup-dir "$WORK/slow-backups" </dev/null \
  >"$WORK/out" 2>"$WORK/err" &
plan_pid=$!
for _ in $(seq 1 1500); do
  sigterm_held "$plan_pid" && break
  sleep 0.01
done
kill -TERM "$plan_pid"
wait "$plan_pid"
rc=$?
[ "$rc" -eq 143 ] || { cat "$WORK/out" "$WORK/err" >&2; ec_fail "plan stopped in its backups: status $rc, expected 143"; }
grep -q 'interrupted; no more rows are written' "$WORK/err" || ec_fail "plan stopped in its backups: $(cat "$WORK/err")"
[ "$(grep -c ' not done$' "$WORK/out")" -eq 5 ] || ec_fail "plan stopped in its backups: $(cat "$WORK/out")"
diff -r "$WORK/slow-reads.before" "$WORK/slow-reads" >/dev/null || ec_fail "plan stopped in its backups: an EEPROM changed"
# During the writes: the signal comes once slave 1's alias word is in its EEPROM, while
# slave 5, gone at its checksum word, is waited for (it is back 100 ms later); every pair
# is finished and verified.
SLOW="sim:--slaves 5 --eeprom-dir $WORK/slow --vanish-at-write 5:2 --come-back-after 5:100"
"$E" -i "$SLOW" list >/dev/null 2>&1 || ec_fail "list of the slow segment failed"
cp "$WORK/slow/slave-1.bin" "$WORK/slave-1.before"
"$E" -i "$SLOW" alias plan vanish.csv --apply --yes --backup-dir "$WORK/slow-backups" </dev/null \
  >"$WORK/out" 2>"$WORK/err" &
plan_pid=$!
for _ in $(seq 1 1500); do
  cmp -s "$WORK/slave-1.before" "$WORK/slow/slave-1.bin" || break
  sleep 0.01
done
kill -TERM "$plan_pid"
wait "$plan_pid"
rc=$?
[ "$rc" -eq 143 ] || { cat "$WORK/out" "$WORK/err" >&2; ec_fail "plan interrupted in its writes: status $rc, expected 143"; }
[ "$(grep -c ' verified$' "$WORK/out")" -eq 5 ] || ec_fail "plan interrupted in its writes: $(cat "$WORK/out")"
! grep -q ' failed\| not done' "$WORK/out" || ec_fail "plan interrupted in its writes: $(cat "$WORK/out")"
all_sound "$WORK/slow" "plan interrupted in its writes"

echo "PASS: alias plans"
