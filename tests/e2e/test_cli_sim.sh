#!/usr/bin/env bash
# The command line on in-process segments (no root): every command of the commissioning
# part, its exit status and its JSON. Every run names its segment with -i or stops at a
# usage error, so nothing here touches the machine's adapters. The segments keep their EEPROM images in files
# (--eeprom-dir), so what one run writes the next run sees, and the tests can tell that a
# refused write left every image as it was.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
E=$EC_BUILD_DIR/ecalias
[ -x "$E" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
WORK=$(mktemp -d /tmp/ecalias-cli.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
IMAGES=$WORK/images
SIM="sim:--slaves 3 --eeprom-dir $IMAGES --name 2:Drive"

# Runs ecalias with standard input off a terminal; status in $rc, output in out, err.
run() {
  "$E" "$@" </dev/null >"$WORK/out" 2>"$WORK/err"
  rc=$?
}
expect_rc() {  # status, what
  [ "$rc" -eq "$1" ] || { cat "$WORK/out" "$WORK/err" >&2; ec_fail "$2: status $rc, expected $1"; }
}
# A Python expression over the JSON document on standard output (as `doc`) must hold.
json_true() {  # expression, what
  python3 -c 'import json, sys; doc = json.load(open(sys.argv[1])); sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' \
    "$WORK/out" "$1" || { cat "$WORK/out" >&2; ec_fail "$2"; }
}
snapshot() { rm -rf "$WORK/snap"; cp -r "$IMAGES" "$WORK/snap"; }
unchanged() {  # what
  diff -r "$WORK/snap" "$IMAGES" >/dev/null || ec_fail "$1: an EEPROM image changed"
}
no_backups() {  # dir, what
  ! ls "$1"/slave*.bin >/dev/null 2>&1 || ec_fail "$2: a backup file was made: $(ls "$1")"
}

# The images are made by the first run.
"$E" -i "$SIM" list >/dev/null 2>&1 || ec_fail "the first list failed"

# ---- version, help, usage ----
run --version
expect_rc 0 "--version"
pc_version=$(sed -n 's/^Version: //p' "$EC_BUILD_DIR/ecalias.pc")
[ "$(cat "$WORK/out")" = "ecalias $pc_version" ] || ec_fail "--version says $(cat "$WORK/out"), ecalias.pc $pc_version"
run -V
expect_rc 0 "-V"
for words in "--help" "list --help" "alias --help" "alias set --help" "alias plan -h" "adapters --help"; do
  # shellcheck disable=SC2086
  run -i "sim:--bogus" $words
  expect_rc 0 "$words"
  grep -q '^usage: ecalias' "$WORK/out" || ec_fail "$words: no usage line"
done
for words in "frobnicate" "alias" "alias rename" "list --frob" "alias set -p 1 70000 --yes" \
  "alias set -p 1 12abc --yes" "alias set -p 1 -- -1 --yes" "alias set -p x 5 --yes" "alias get" \
  "alias set -p 1 5" "alias plan" "alias plan missing.csv"; do
  snapshot
  # shellcheck disable=SC2086
  run -i "$SIM" $words
  expect_rc 2 "$words"
  [ ! -s "$WORK/out" ] || ec_fail "$words: a usage error printed on standard output"
  unchanged "$words"
done
run -i "$SIM" alias set -p 1 5
grep -q "standard input is not a terminal: add --yes" "$WORK/err" || ec_fail "no --yes: $(cat "$WORK/err")"
run --json -i "$SIM" alias set -p 1 70000 --yes
expect_rc 2 "--json usage error"
json_true 'doc["error"]["message"].startswith("bad alias \"70000\"") and isinstance(doc["error"]["code"], int)' \
  "the JSON usage error"

# `adapters` and the adapter choice without -i probe every capture adapter: they are
# tested inside network namespaces only (test_cli_veth.sh).

# ---- list ----
run -i "$SIM" list
expect_rc 0 "list"
[ "$(grep -c '^[123] ' "$WORK/out")" -eq 3 ] || ec_fail "list: not three slave lines"
grep -q '^2 .*PREOP.* Drive$' "$WORK/out" || ec_fail "list: slave 2's line: $(cat "$WORK/out")"
run -i "$SIM" --json slaves
expect_rc 0 "slaves --json"
json_true 'doc["adapter"].startswith("sim:") and [s["position"] for s in doc["slaves"]] == [1, 2, 3]' "list: positions"
json_true 'all(set(s) >= {"position", "station", "alias", "sii_alias", "state", "vendor", "product", "revision",
  "serial", "name", "complete"} for s in doc["slaves"])' "list: keys"
json_true 'all(s["state"] == "PREOP" and s["complete"] is True and isinstance(s["vendor"], int) for s in doc["slaves"])' \
  "list: values"
json_true 'doc["slaves"][1]["name"] == "Drive" and doc["slaves"][1]["serial"] == 2' "list: slave 2"
# A name from the EEPROM with a terminal escape sequence: shown as ? in text, kept
# (escaped) in JSON.
run -i $'sim:--slaves 1 --name 1:A\e[31mB' list
grep -q '  A?\[31mB$' "$WORK/out" || ec_fail "list shows a raw control character: $(od -c "$WORK/out" | tail -3)"
run -i $'sim:--slaves 1 --name 1:A\e[31mB' --json list
json_true 'doc["slaves"][0]["name"] == "A\x1b[31mB"' "list --json: the name with its escape"
run -i "sim:--slaves 0" --json list
expect_rc 1 "list without slaves"
json_true '"no slaves" in doc["error"]["message"]' "list without slaves: error document"

# ---- alias get, set ----
run -i "$SIM" --json alias get -p 2
expect_rc 0 "alias get"
json_true 'doc["position"] == 2 and doc["sii_alias"] == 0 and doc["alias"] == 0' "alias get: values"
run -i "$SIM" alias get -p 4
expect_rc 1 "alias get of a missing slave"

snapshot
run -i "$SIM" alias set -p 2 0x1234 --dry-run
expect_rc 0 "alias set --dry-run"
grep -q 'would write: alias 0 -> 4660' "$WORK/out" || ec_fail "dry run: $(cat "$WORK/out")"
unchanged "alias set --dry-run"
no_backups "$WORK" "alias set --dry-run"

mkdir "$WORK/backups"
run -i "$SIM" --json alias set -p 2 0x1234 --yes --backup-dir "$WORK/backups"
expect_rc 0 "alias set"
json_true 'doc["verified"] is True and doc["written"]["alias"] == 4660 and doc["read_back"]["alias"] == 4660
  and doc["before"]["alias"] == 0 and doc["takes_effect_after_power_cycle"] is True and doc["position"] == 2' \
  "alias set: report"
backup=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["backup"])' "$WORK/out")
case "$backup" in "$WORK"/backups/slave2-vendor00000ec5-product00010002-serial00000002-*Z.bin) ;;
  *) ec_fail "alias set: backup name $backup" ;; esac
# The backup holds the image as it was: word 4 still 0.
[ "$(od -An -tu2 -j8 -N2 "$backup" | tr -d ' ')" = 0 ] || ec_fail "the backup's word 4 is not the old alias"
cmp -s -n "$(stat -c %s "$backup")" "$backup" "$WORK/snap/slave-2.bin" || ec_fail "the backup differs from the old image"
run -i "$SIM" --json list
json_true '[s["sii_alias"] for s in doc["slaves"]] == [0, 4660, 0]' "after alias set: only slave 2 changed"
run -i "$SIM" alias set --serial 3 77 --yes --backup-dir "$WORK/backups"
expect_rc 0 "alias set --serial"
grep -q '^slave 3 ' "$WORK/out" || ec_fail "--serial 3 did not choose slave 3: $(cat "$WORK/out")"
run -i "$SIM" alias set --serial 9 77 --yes
expect_rc 1 "alias set --serial of nobody"
run -i "$SIM" alias set -p 3 77 --yes --backup-dir "$WORK/backups"
expect_rc 0 "alias set to the value it has"
grep -q 'already 77: nothing written' "$WORK/out" || ec_fail "same value: $(cat "$WORK/out")"

# A broken stored checksum: refused without --force, nothing written, no backup.
BROKEN="sim:--slaves 2 --eeprom-dir $WORK/broken --sii-word 1:7:0x0000"
mkdir "$WORK/b2"
run -i "$BROKEN" list
cp -r "$WORK/broken" "$WORK/snap-broken"
run -i "$BROKEN" alias set -p 1 5 --yes --backup-dir "$WORK/b2"
expect_rc 1 "alias set over a wrong checksum"
grep -q 'stored SII checksum is wrong' "$WORK/err" || ec_fail "wrong checksum: $(cat "$WORK/err")"
diff -r "$WORK/snap-broken" "$WORK/broken" >/dev/null || ec_fail "a refused write changed an image"
no_backups "$WORK/b2" "refused alias set"
run -i "$BROKEN" --json alias set -p 1 5 --yes --force --backup-dir "$WORK/b2"
expect_rc 0 "alias set --force"
json_true 'doc["before"]["checksum_valid"] is False and doc["verified"] is True' "alias set --force: report"

# Words 0-6 unreadable: refused also with --force, nothing written, no backup; list
# marks the record incomplete and shows the unread alias as ?.
BAD="sim:--slaves 2 --eeprom-bad-words 1:4:1"
mkdir "$WORK/b3"
run -i "$BAD" alias set -p 1 5 --yes --force --backup-dir "$WORK/b3"
expect_rc 1 "alias set with an unreadable word 4"
grep -q 'SII words 0-6 cannot be read' "$WORK/err" || ec_fail "unreadable header: $(cat "$WORK/err")"
no_backups "$WORK/b3" "alias set with an unreadable header"
run -i "$BAD" list
expect_rc 0 "list with an incomplete record"
grep -q '^1 .* ? .*(incomplete)$' "$WORK/out" || ec_fail "list: the incomplete record: $(cat "$WORK/out")"
run -i "$BAD" --json list
json_true 'doc["slaves"][0]["sii_alias"] is None and doc["slaves"][0]["complete"] is False and doc["slaves"][1]["complete"]' \
  "list --json: the incomplete record"

# No backup, no write.
snapshot
run -i "$SIM" alias set -p 1 9 --yes --backup-dir "$WORK/no-such-dir"
expect_rc 2 "alias set into a missing backup folder"
unchanged "alias set without a backup folder"

# On a terminal a write asks first: "n" (or anything but y/yes) writes nothing.
if command -v script >/dev/null; then
  snapshot
  printf 'n\n' | script -qec "'$E' -i '$SIM' alias set -p 1 6 --backup-dir '$WORK/backups'" /dev/null >"$WORK/tty" 2>&1
  grep -q 'proceed? \[y/N\]' "$WORK/tty" || ec_fail "no question on a terminal: $(cat "$WORK/tty")"
  grep -q 'not confirmed; nothing written' "$WORK/tty" || ec_fail "no refusal after n: $(cat "$WORK/tty")"
  unchanged "a write answered with n"
  printf 'y\n' | script -qec "'$E' -i '$SIM' alias set -p 1 6 --backup-dir '$WORK/backups'" /dev/null >"$WORK/tty" 2>&1
  grep -q 'read back: alias 6, .*: verified' "$WORK/tty" || ec_fail "y did not write: $(cat "$WORK/tty")"
else
  echo "note: script(1) is missing; the terminal question was not tested" >&2
fi

echo "PASS: ecalias commands on in-process segments"
