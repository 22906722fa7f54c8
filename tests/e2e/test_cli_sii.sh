#!/usr/bin/env bash
# sii dump, show and write on in-process segments (no root). The segments keep their
# EEPROM images in files (--eeprom-dir), so what one run writes the next run sees: dumps
# restore byte for byte (also an 8 KiB EEPROM and a whole line), a foreign or broken
# image and a bad file write nothing, a restore cut short by a vanished slave names the
# first word not done and a second run finishes it, and hand-made damaged images are
# shown with warnings.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
E=$EC_BUILD_DIR/ecalias
[ -x "$E" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
WORK=$(mktemp -d /tmp/ecalias-cli-sii.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
IMAGES=$WORK/images
mkdir -p "$WORK/backups"
SIM="sim:--slaves 3 --eeprom-dir $IMAGES --eeprom-size 3:8192"

run() {
  "$E" "$@" </dev/null >"$WORK/out" 2>"$WORK/err"
  rc=$?
}
expect_rc() {  # status, what
  [ "$rc" -eq "$1" ] || { cat "$WORK/out" "$WORK/err" >&2; ec_fail "$2: status $rc, expected $1"; }
}
json_true() {  # expression over `doc`, what
  python3 -c 'import json, sys; doc = json.load(open(sys.argv[1])); sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' \
    "$WORK/out" "$1" || { cat "$WORK/out" >&2; ec_fail "$2"; }
}
snapshot() { rm -rf "$WORK/snap"; cp -r "$IMAGES" "$WORK/snap"; }
unchanged() { diff -r "$WORK/snap" "$IMAGES" >/dev/null || ec_fail "$1: an EEPROM image changed"; }
backups() { find "$WORK/backups" -name 'slave*.bin' | wc -l; }
# Edits an image file in place: python statements over `w`, the list of its words.
edit_image() {  # file, statements
  python3 - "$1" "$2" <<'PY'
import struct, sys
path, code = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
w = list(struct.unpack("<%dH" % (len(data) // 2), data))
def crc(words):
    c = 0xFF
    for b in struct.pack("<7H", *words[:7]):
        c ^= b
        for _ in range(8):
            c = ((c << 1) ^ 0x07) & 0xFF if c & 0x80 else (c << 1) & 0xFF
    return c
exec(code)
open(path, "wb").write(struct.pack("<%dH" % len(w), *w))
PY
}

"$E" -i "$SIM" list >/dev/null 2>&1 || ec_fail "the first list failed"

# ---- dump ----
run -i "$SIM" sii dump -p 2
expect_rc 0 "dump -p 2 to a pipe"
head -1 "$WORK/out" | grep -q '^0000: 0005 0000 03e8 ' || ec_fail "dump: no hex dump with word offsets: $(head -2 "$WORK/out")"
run -i "$SIM" sii dump -p 2 --words 0x8-0xf
expect_rc 0 "dump --words"
[ "$(cat "$WORK/out")" = "0008: 0ec5 0000 0002 0001 0001 0002 0002 0000  |................|" ] ||
  ec_fail "dump --words 8-15: $(cat "$WORK/out")"
run --json -i "$SIM" sii dump -p 2 --words 8-9
json_true 'doc["slaves"][0]["words"] == [0x0ec5, 0] and doc["slaves"][0]["first_word"] == 8' "dump --json words"
run -i "$SIM" sii dump -p 2 --words 9-8
expect_rc 2 "dump with a reversed range"
run -i "$SIM" sii dump -p 2 --words 0-5000
expect_rc 1 "dump past the EEPROM's end"

run -i "$SIM" sii dump -p 2 -o "$WORK/two.bin"
expect_rc 0 "dump -p 2 -o"
size=$(stat -c %s "$WORK/two.bin")
cmp -s "$WORK/two.bin" <(head -c "$size" "$IMAGES/slave-2.bin") || ec_fail "dump -o differs from the EEPROM"
run -i "$SIM" sii dump -p 2 -o "$WORK/two.bin"
expect_rc 2 "dump -o over an existing file"

# ---- dump, change, restore: byte for byte (4 KiB and 8 KiB EEPROMs) ----
for position in 2 3; do
  run -i "$SIM" sii dump -p "$position" -o "$WORK/orig$position.bin"
  expect_rc 0 "dump slave $position"
  cp "$IMAGES/slave-$position.bin" "$WORK/eeprom$position.before"
  cp "$WORK/orig$position.bin" "$WORK/changed$position.bin"
  # A new alias with its checksum and a changed name character.
  edit_image "$WORK/changed$position.bin" 'w[4] = 0x1200 + 0x'"$position"'; w[7] = crc(w); w[0x44] ^= 0x2020'
  run -i "$SIM" sii write -p "$position" "$WORK/changed$position.bin" --yes --backup-dir "$WORK/backups"
  expect_rc 0 "write a changed image into slave $position"
  grep -q "written:  3 words, 3 verified" "$WORK/out" || ec_fail "slave $position: $(cat "$WORK/out")"
  run -i "$SIM" sii write -p "$position" "$WORK/orig$position.bin" --yes --backup-dir "$WORK/backups"
  expect_rc 0 "restore slave $position"
  backup=$(sed -n 's/^backup:   //p' "$WORK/out")
  [ -f "$backup" ] || ec_fail "slave $position: no backup file named: $(cat "$WORK/out")"
  cmp -s "$backup" "$WORK/changed$position.bin" || ec_fail "slave $position: the backup is not the image before"
  cmp -s "$IMAGES/slave-$position.bin" "$WORK/eeprom$position.before" ||
    ec_fail "slave $position: the EEPROM is not back to what it was"
done
[ "$(stat -c %s "$IMAGES/slave-3.bin")" -eq 8192 ] || ec_fail "slave 3's EEPROM is not 8 KiB"
# The 8 KiB EEPROM beyond the first 4 KiB (word 2048 on): an image reaching there is
# written and restored.
cp "$IMAGES/slave-3.bin" "$WORK/eeprom3.full"
run -i "$SIM" sii dump -p 3 --words 0-2060 -o "$WORK/long3.bin"
expect_rc 0 "dump slave 3 past 4 KiB"
cmp -s "$WORK/long3.bin" <(head -c 4122 "$WORK/eeprom3.full") || ec_fail "dump past 4 KiB differs from the EEPROM"
cp "$WORK/long3.bin" "$WORK/high3.bin"
edit_image "$WORK/high3.bin" 'w[2050] = 0x1234; w[2060] = 0xBEEF'
run -i "$SIM" sii write -p 3 "$WORK/high3.bin" --yes --backup-dir "$WORK/backups"
expect_rc 0 "write words beyond 4 KiB"
run -i "$SIM" sii dump -p 3 --words 2050-2050
grep -q '^0802: 1234 ' "$WORK/out" || ec_fail "word 2050 of the 8 KiB EEPROM: $(cat "$WORK/out")"
run -i "$SIM" sii write -p 3 "$WORK/long3.bin" --yes --backup-dir "$WORK/backups"
expect_rc 0 "restore the image past 4 KiB"
cmp -s "$IMAGES/slave-3.bin" "$WORK/eeprom3.full" || ec_fail "the 8 KiB EEPROM is not back byte for byte"

# ---- a whole line: dump -p all, restore -p all ----
run -i "$SIM" sii dump -p all -o "$WORK/line"
expect_rc 0 "dump -p all"
[ "$(ls "$WORK/line" | wc -l)" -eq 3 ] || ec_fail "dump -p all: $(ls "$WORK/line")"
ls "$WORK/line/slave002-vendor00000ec5-product00010002-serial00000002.bin" >/dev/null ||
  ec_fail "dump -p all: files not named after position, vendor, product and serial"
# A long image (4163 words: a category of 4096 words in a 16 KiB EEPROM, read 8 bytes at
# a time) among short ones: the whole segment's dump holds it whole.
LONG="sim:--slaves 3 --eeprom-size 3:16384 --sii-word 3:0x41:0x1000 --eight-byte 3 --eeprom-dir $WORK/long-images"
run -i "$LONG" sii dump -p all -o "$WORK/long-line"
expect_rc 0 "dump -p all with a long image"
long=$(ls "$WORK/long-line/slave003-"*.bin)
[ "$(stat -c %s "$long")" -eq 8326 ] || ec_fail "dump -p all: the long image is $(stat -c %s "$long") bytes, not 8326"
cmp -s "$long" <(head -c 8326 "$WORK/long-images/slave-3.bin") || ec_fail "dump -p all: the long image differs"
cp -r "$IMAGES" "$WORK/line.eeprom"
run -i "$SIM" alias set -p 1 77 --yes --backup-dir "$WORK/backups"
expect_rc 0 "alias set before the line restore"
run --json -i "$SIM" sii write -p all "$WORK/line" --yes --backup-dir "$WORK/backups"
expect_rc 0 "sii write -p all"
json_true '[s["words_written"] for s in doc["slaves"]] == [2, 0, 0] and doc["failed"] == 0' "write -p all report"
diff -r "$WORK/line.eeprom" "$IMAGES" >/dev/null || ec_fail "write -p all did not bring the line back"
# Every slave is restored at once: a slave that refuses its writes fails alone, the others
# are restored, and the next run finishes the line.
run -i "$SIM" alias set -p 1 78 --yes --backup-dir "$WORK/backups"
expect_rc 0 "alias set on slave 1 before the second line restore"
run -i "$SIM" alias set -p 3 79 --yes --backup-dir "$WORK/backups"
expect_rc 0 "alias set on slave 3 before the second line restore"
snapshot
run -i "$SIM" sii write -p all "$WORK/line" --dry-run
expect_rc 0 "dry run of a line restore"
grep -q "slave 1: 2 of .* words would change" "$WORK/out" && grep -q "slave 2: 0 of .* words would change" "$WORK/out" &&
  grep -q "slave 3: 2 of .* words would change" "$WORK/out" || ec_fail "dry run of a line restore: $(cat "$WORK/out")"
unchanged "dry run of a line restore"
run --json -i "$SIM --eeprom-nack-writes 1:all" sii write -p all "$WORK/line" --yes --backup-dir "$WORK/backups"
expect_rc 1 "sii write -p all with slave 1 refusing its writes"
json_true 'doc["failed"] == 1 and doc["slaves"][0]["error"]["code"] == -8 and doc["slaves"][0]["words_written"] == 0 and
  "error" not in doc["slaves"][2] and doc["slaves"][2]["words_written"] == 2' "write -p all with one slave refusing"
grep -q "slave 1: .*word 0x0004 is the first not written" "$WORK/err" || ec_fail "write -p all, refusing slave: $(cat "$WORK/err")"
run -i "$SIM" sii write -p all "$WORK/line" --yes --backup-dir "$WORK/backups"
expect_rc 0 "sii write -p all once slave 1 takes writes again"
diff -r "$WORK/line.eeprom" "$IMAGES" >/dev/null || ec_fail "the second write -p all did not bring the line back"
# A folder that does not match the line writes nothing.
rm "$WORK/line/slave003-"*
snapshot
run -i "$SIM" sii write -p all "$WORK/line" --yes --backup-dir "$WORK/backups"
expect_rc 1 "write -p all with a slave missing from the folder"
grep -q "slave 3 .*no image" "$WORK/err" || ec_fail "write -p all: $(cat "$WORK/err")"
unchanged "write -p all with a slave missing"

# ---- refusals: nothing written, no backup ----
before=$(backups)
edit_image "$WORK/changed2.bin" 'w[4] ^= 1'  # checksum now wrong
snapshot
run -i "$SIM" sii write -p 2 "$WORK/changed2.bin" --yes --backup-dir "$WORK/backups"
expect_rc 1 "write an image with a broken checksum"
grep -q "checksum is wrong.*nothing written" "$WORK/err" || ec_fail "broken checksum: $(cat "$WORK/err")"
run -i "$SIM" sii write -p 1 "$WORK/orig2.bin" --yes --backup-dir "$WORK/backups"
expect_rc 1 "write slave 2's image into slave 1"
grep -q "the image is for vendor 0x00000ec5 product 0x00010002" "$WORK/err" || ec_fail "identity: $(cat "$WORK/err")"
run --json -i "$SIM" sii write -p 1 "$WORK/orig2.bin" --yes --backup-dir "$WORK/backups"
json_true 'doc["slaves"][0]["error"]["code"] == -16 and doc["failed"] == 1' "identity refusal in JSON"
head -c 14 "$WORK/orig2.bin" >"$WORK/short.bin"
head -c 17 "$WORK/orig2.bin" >"$WORK/odd.bin"
head -c 65538 /dev/zero >"$WORK/large.bin"
for bad in short.bin odd.bin large.bin missing.bin; do
  run -i "$SIM" sii write -p 2 "$WORK/$bad" --yes --backup-dir "$WORK/backups"
  expect_rc 2 "write $bad"
  grep -q "$bad" "$WORK/err" || ec_fail "$bad: the message does not name the file: $(cat "$WORK/err")"
  run -i "$SIM" sii show --file "$WORK/$bad"
  expect_rc 2 "show $bad"
done
run -i "$SIM" sii write -p 2 "$WORK/orig2.bin" --dry-run
expect_rc 0 "dry run of an image that is there already"
cp "$WORK/orig2.bin" "$WORK/dry.bin"
edit_image "$WORK/dry.bin" 'w[4] = 0x0042; w[7] = crc(w)'
run -i "$SIM" sii write -p 2 "$WORK/dry.bin" --dry-run
expect_rc 0 "dry run"
grep -q "word 0x0004: 0x0000 -> 0x0042" "$WORK/out" || ec_fail "dry run: $(cat "$WORK/out")"
grep -q "2 of .* words would change; dry run: nothing written" "$WORK/out" || ec_fail "dry run: $(cat "$WORK/out")"
run -i "$SIM" sii write -p 2 "$WORK/dry.bin"
expect_rc 2 "write without --yes off a terminal"
unchanged "the refusals"
[ "$(backups)" -eq "$before" ] || ec_fail "a refused write made a backup"

# ---- a restore cut short: the slave vanishes at its second word; the next run finishes ----
run -i "$SIM --vanish-at-write 2:2" sii write -p 2 "$WORK/dry.bin" --yes --backup-dir "$WORK/backups"
expect_rc 1 "restore into a slave that vanishes"
grep -q "word 0x0007 is the first not written (1 written, 1 verified before it)" "$WORK/err" ||
  ec_fail "vanished: the first failed word is not named: $(cat "$WORK/err")"
grep -q "the backup is .*run the same sii write again" "$WORK/err" || ec_fail "vanished: $(cat "$WORK/err")"
backup=$(sed -n 's/^backup:   //p' "$WORK/out")
cmp -s "$backup" "$WORK/orig2.bin" || ec_fail "vanished: the backup is not the image before"
run -i "$SIM" sii write -p 2 "$WORK/dry.bin" --yes --backup-dir "$WORK/backups"
expect_rc 0 "the second restore"
grep -q "written:  1 words, 1 verified" "$WORK/out" || ec_fail "second restore: $(cat "$WORK/out")"
cmp -s <(head -c "$(stat -c %s "$WORK/dry.bin")" "$IMAGES/slave-2.bin") "$WORK/dry.bin" ||
  ec_fail "the second restore did not finish the image"

# ---- sii show: the default image and hand-made damaged ones ----
run -i "$SIM" sii show -p 1
expect_rc 0 "show -p 1"
for part in "checksum: *0x[0-9A-F][0-9A-F] valid" "vendor: *0x00000EC5" "1: ecsim slave 1" \
  "standard mailbox: receive 0x1000, 128 bytes" "mailbox protocols: 0x0004 (CoE)" "end of categories"; do
  grep -q "$part" "$WORK/out" || ec_fail "show: no \"$part\": $(cat "$WORK/out")"
done
grep -q warning "$WORK/out" && ec_fail "show of the default image warns: $(cat "$WORK/out")"
run --json -i "$SIM" sii show -p 1
json_true 'doc["sii"]["header"]["checksum_valid"] and doc["sii"]["identity"]["vendor"] == 0xec5 and doc["sii"]["categories"][0]["strings"][0]["text"] == "ecsim slave 1" and doc["sii"]["end_marker"] and doc["sii"]["warnings"] == []' \
  "show --json of the default image"
run -i "$SIM" sii show --file "$WORK/orig3.bin"
grep -q "EEPROM size: 8192 bytes" "$WORK/out" || ec_fail "show of the 8 KiB image: $(cat "$WORK/out")"

# Damaged: wrong checksum and reserved words; the chain cut off; a category past the end.
cp "$WORK/orig2.bin" "$WORK/damaged.bin"
edit_image "$WORK/damaged.bin" 'w[5] = 0x0101'
head -c $((0x4A * 2)) "$WORK/orig2.bin" >"$WORK/noend.bin"
cp "$WORK/orig2.bin" "$WORK/past.bin"
edit_image "$WORK/past.bin" 'w[0x41] = 0x4000'
cases=("damaged.bin:WRONG, expected" "damaged.bin:reserved words 5-6 are not zero"
  "noend.bin:no end marker" "past.bin:strings category at word 0x0040 (16384 words) runs past the end of the image")
for c in "${cases[@]}"; do
  file=${c%%:*}
  text=${c#*:}
  run -i "sim:--bogus" sii show --file "$WORK/$file"
  expect_rc 0 "show $file"
  grep -q "$text" "$WORK/out" || ec_fail "show $file: no \"$text\": $(cat "$WORK/out")"
  run --json sii show --file "$WORK/$file"
  expect_rc 0 "show --json $file"
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); sys.exit(0 if any(sys.argv[2] in w for w in d["sii"]["warnings"]) else 1)' \
    "$WORK/out" "$text" || ec_fail "show --json $file: no warning \"$text\": $(cat "$WORK/out")"
done
echo "PASS"
