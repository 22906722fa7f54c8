#!/usr/bin/env bash
# make demo: the console tool against a virtual segment, for a person at the keyboard.
#
# Two network namespaces joined by a veth pair (tests/e2e/lib.sh): ecsim serves three
# simulated slaves on one end, with their EEPROM images as files in a temporary folder;
# ecalias runs on the other end as the operator would run it on a real adapter. Enter a
# config_id when asked; once the tool says to close it, press Ctrl-C. The demo then shows
# slave 1's EEPROM words 0-7 as stored in its image file and removes everything again.
# No frame ever reaches the machine's real interfaces.
set -uo pipefail
cd "$(dirname "$0")/.."
export EC_SOURCE_DIR=$PWD
if [ -z "${EC_BUILD_DIR:-}" ]; then
  case "${BUILD:-build}" in
    /*) EC_BUILD_DIR=${BUILD} ;;
    *) EC_BUILD_DIR=$PWD/${BUILD:-build} ;;
  esac
fi
export EC_BUILD_DIR
# shellcheck source=../tests/e2e/lib.sh
source tests/e2e/lib.sh
for program in ecalias ecsim; do
  [ -x "$EC_BUILD_DIR/$program" ] || { echo "demo: $EC_BUILD_DIR/$program is missing; run make build first" >&2; exit 1; }
done

ec_netns_up  # leaves with 77 and says why when namespaces cannot be made (needs root)
images=$EC_WORK/images
ec_start_ecsim --slaves 3 --eeprom-dir "$images"

echo "demo: ecsim serves 3 simulated slaves on $EC_IF_SEGMENT (namespace $EC_NS_SEGMENT)"
echo "demo: their EEPROM images are in $images"
echo "demo: slave 1, EEPROM words 0-7 now: $("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-1.bin")"
echo "demo: starting ecalias on $EC_IF_MASTER (namespace $EC_NS_MASTER)."
echo "demo: type a config_id (0 to 65535) and Enter; when it asks you to close it, press Ctrl-C."
echo

# Ctrl-C is meant for ecalias, which has no other way out; the demo itself goes on to
# show the result. (A handler, unlike an ignored signal, is not inherited by ecalias.)
trap ':' INT
ec_in_master "$EC_BUILD_DIR/ecalias"
trap 'exit 130' INT
echo

ec_stop_ecsim  # ecsim writes the images back as it stops
echo "demo: ecalias closed; slave 1, EEPROM words 0-7 in its image file:"
echo "      $("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-1.bin")"
echo "      (word 4 is the station alias, the low byte of word 7 the checksum over words 0-6)"
echo "demo: removing the namespaces and the images"
