#!/usr/bin/env bash
# trackora --help and --version print and exit 0 without a display (no
# window is tried); an unknown option is one line on the error stream and a
# non-zero status, also without a display.
# usage: command_line_test.sh VIEWER
set -u
viewer=$1
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$viewer" --help 2>&1); rc=$?
[ $rc -eq 0 ] || fail "--help exited $rc: $out"
grep -q '^usage: trackora ' <<<"$out" || fail "--help printed no usage: $out"
grep -q -- '--box' <<<"$out" || fail "--help does not name --box"

out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$viewer" --version 2>&1); rc=$?
[ $rc -eq 0 ] || fail "--version exited $rc: $out"
grep -Eq '^trackora [0-9]+\.[0-9]+' <<<"$out" || fail "--version printed: $out"

out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$viewer" --frobnicate 2>&1 >/dev/null); rc=$?
[ $rc -ne 0 ] || fail "an unknown option exited 0"
[ "$(wc -l <<<"$out")" -eq 1 ] || fail "an unknown option printed more than one line: $out"
grep -q -- '--frobnicate' <<<"$out" || fail "the message does not name the option: $out"
# Nothing was opened or written.
[ -z "$(ls -A)" ] || fail "left files behind: $(ls -A)"
echo "ok"
