#!/usr/bin/env bash
# make install puts the manual page and the bash completion beside the program; the
# program's --version and both pkg-config files carry the one project version; the
# completion offers the commands and their options.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
WORK=$(mktemp -d /tmp/ecalias-install.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
stage=$WORK/stage
cmake --install "$EC_BUILD_DIR" --prefix "$stage" >"$WORK/install.log" 2>&1 ||
  { cat "$WORK/install.log" >&2; ec_fail "cmake --install failed"; }
for f in bin/ecalias share/man/man1/ecalias.1 share/bash-completion/completions/ecalias; do
  [ -s "$stage/$f" ] || ec_fail "not installed: $f"
done
project=$(sed -n 's/^project(ecalias VERSION \([0-9.]*\).*/\1/p' "$EC_SOURCE_DIR/CMakeLists.txt")
[ -n "$project" ] || ec_fail "no VERSION in the project line of CMakeLists.txt"
[ "$("$stage/bin/ecalias" --version)" = "ecalias $project" ] || ec_fail "--version: $("$stage/bin/ecalias" --version)"
for pc in $(find "$stage" -name '*.pc'); do
  [ "$(sed -n 's/^Version: //p' "$pc")" = "$project" ] || ec_fail "$pc carries another version"
done
if command -v groff >/dev/null; then
  LC_ALL=C groff -ww -man -Tascii -P-cbou "$stage/share/man/man1/ecalias.1" >"$WORK/man.txt" 2>"$WORK/man.err"
  [ ! -s "$WORK/man.err" ] || ec_fail "the manual page has warnings: $(cat "$WORK/man.err")"
  for word in adapters list "alias set" "alias plan" "sii dump" "sdo read" "reg read" state "EXIT STATUS"; do
    grep -q "$word" "$WORK/man.txt" || ec_fail "the manual page lacks $word"
  done
fi
complete_words() {  # the words typed; prints the offers for the last one
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _ecalias; echo "${COMPREPLY[*]}"' \
    _ "$stage/share/bash-completion/completions/ecalias" "$@"
}
[ "$(complete_words ecalias al)" = "alias" ] || ec_fail "completion of al: $(complete_words ecalias al)"
[ "$(complete_words ecalias -i eth0 alias "")" = "get set plan --help" ] ||
  ec_fail "completion after alias: $(complete_words ecalias -i eth0 alias "")"
case " $(complete_words ecalias alias set --) " in
  *" --backup-dir "*"--json "*) ;;
  *) ec_fail "completion of alias set options: $(complete_words ecalias alias set --)" ;;
esac
echo "PASS: manual page, completion and one version installed"
