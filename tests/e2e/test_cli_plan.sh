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
# slaves behind it go silent too.
VANISH="sim:--slaves 5 --eeprom-dir $WORK/vanish --vanish-at-write 3:2"
printf 'position,alias\n1,201\n2,202\n3,203\n4,204\n5,205\n' >vanish.csv
run -i "$VANISH" --json alias plan vanish.csv --apply --yes --backup-dir "$WORK/backups"
expect_rc 1 "a slave vanishing mid-plan"
json_true '[r["result"] for r in doc["rows"]] == ["verified", "verified", "failed", "not done", "not done"]' \
  "vanish: rows"
json_true '"--force" in doc["rows"][2]["message"] and doc["rows"][2]["backup"] and doc["error"]["code"] < 0' \
  "vanish: the failed row's message"
grep -q 'rows not done (line numbers): 4 (position 3), 5 (position 4), 6 (position 5)' "$WORK/err" ||
  ec_fail "vanish: the report of rows not done: $(cat "$WORK/err")"
run -i "sim:--slaves 5 --eeprom-dir $WORK/vanish" --json list
json_true '[s["sii_alias"] for s in doc["slaves"]][:2] == [201, 202] and [s["sii_alias"] for s in doc["slaves"]][3:] == [0, 0]' \
  "vanish: the rows before stay written, those behind untouched"

# An interruption (SIGTERM; a background job of a script ignores SIGINT) in the middle of an applied plan: the pair of words being
# written is finished, no further row is started, the table is printed, then the signal
# ends the program. Writes take 200 ms here, so the plan is still running when the
# the plan is still running when the signal comes right after the first backup appeared.
SLOW="sim:--slaves 5 --eeprom-dir $WORK/slow --eeprom-latency 2000:10000"
mkdir "$WORK/slow-backups"
"$E" -i "$SLOW" alias plan vanish.csv --apply --yes --backup-dir "$WORK/slow-backups" </dev/null \
  >"$WORK/out" 2>"$WORK/err" &
plan_pid=$!
for _ in $(seq 1 600); do
  ls "$WORK"/slow-backups/slave1-*.bin >/dev/null 2>&1 && break
  sleep 0.02
done
kill -TERM "$plan_pid"
wait "$plan_pid"
rc=$?
[ "$rc" -eq 143 ] || { cat "$WORK/out" "$WORK/err" >&2; ec_fail "interrupted plan: status $rc, expected 143 (SIGTERM)"; }
grep -q 'interrupted; no more rows are written' "$WORK/err" || ec_fail "interrupted plan: $(cat "$WORK/err")"
grep -q '^2  *1 .* verified$' "$WORK/out" || ec_fail "interrupted plan: row 1 not verified: $(cat "$WORK/out")"
grep -q ' not done$' "$WORK/out" || ec_fail "interrupted plan: no row left undone: $(cat "$WORK/out")"
! grep -q ' failed' "$WORK/out" || ec_fail "interrupted plan: a row failed: $(cat "$WORK/out")"
# Every image has a right checksum: no pair was cut in half.
run -i "sim:--slaves 5 --eeprom-dir $WORK/slow" --json list
json_true 'all(s["complete"] for s in doc["slaves"])' "interrupted plan: the records after it"
for n in 1 2 3 4 5; do
  run -i "sim:--slaves 5 --eeprom-dir $WORK/slow" alias set -p "$n" 0 --dry-run
  [ "$rc" -eq 0 ] || ec_fail "interrupted plan: slave $n's header is not sound: $(cat "$WORK/err")"
done

echo "PASS: alias plans"
