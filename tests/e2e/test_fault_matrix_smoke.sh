#!/usr/bin/env bash
# A reduced fault matrix (bench/fault_matrix.sh, one seed): the console tool under 30%
# frame loss, late replies, an EEPROM that NACKs every command and a slave that vanishes
# between the two word writes, and host SDO, register and memory traffic under 10%
# frame loss. Fails on any wrong verdict, inconsistent EEPROM, tool that did not stay
# open, or call that reported success with wrong data.
set -uo pipefail
export EC_SOURCE_DIR EC_BUILD_DIR
SEEDS=1 MATRIX_DOC= MATRIX_ROWS="loss30 late nackall vanish-between sdo-loss10" SDO_ROUNDS=30 \
  bash "$EC_SOURCE_DIR/bench/fault_matrix.sh"
rc=$?
[ "$rc" -eq 0 ] && echo "PASS: reduced fault matrix"
exit "$rc"
