#!/usr/bin/env bash
# The tools' command lines: --help prints the options and exits 0; a bad
# command line is one line on the error stream, exit status 2, nothing
# written; trackora_mapgen's positionals land where its help says.
# usage: command_line_test.sh IMPORT HEATMAP MAPGEN SOURCE-DIR
set -u
import=$1 heatmap=$2 mapgen=$3 source=$4
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# PROGRAM OPTION-IT-MUST-LIST
helps() {
    local out rc
    out=$("$1" --help 2>&1); rc=$?
    [ $rc -eq 0 ] || fail "$1 --help exited $rc: $out"
    grep -q -- "$2" <<<"$out" || fail "$1 --help does not list $2: $out"
}
helps "$import" --track-column
helps "$heatmap" --versus
helps "$mapgen" rails

# EXPECTED-WORDS PROGRAM ARGS...
refuses() {
    local words=$1 out rc
    shift
    out=$("$@" 2>&1 >/dev/null); rc=$?
    [ $rc -eq 2 ] || fail "$* exited $rc, not 2: $out"
    [ "$(wc -l <<<"$out")" -eq 1 ] || fail "$* printed more than one line: $out"
    grep -qF -- "$words" <<<"$out" || fail "$*: \"$words\" not in: $out"
}
refuses 'unknown option "--fast"' "$import" in.bin --fast
refuses '--limit needs a value' "$import" in.bin --limit
refuses 'unknown option --bogus' "$heatmap" in.bin --bogus
refuses '--png goes on the lines' "$heatmap" in.bin --script s --png p
refuses 'SIZE must be a whole number' "$mapgen" map roads.csv out.png font.ttf
refuses 'not expected' "$mapgen" lut a.png b.png
refuses 'A subcommand is required' "$mapgen"
[ -z "$(ls -A)" ] || fail "a refused command line left files behind: $(ls -A)"

# The colour table is the committed one, byte for byte.
"$mapgen" lut lut.png >/dev/null || fail "trackora_mapgen lut failed"
cmp -s lut.png "$source/resources/lut.png" || fail "trackora_mapgen lut differs from resources/lut.png"
echo ok
