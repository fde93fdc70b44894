#!/usr/bin/env bash
# End to end with the real viewer under Xvfb: a sample file with a tight
# cluster of walks at Tiananmen Square (39.9087 N, 116.3975 E) and one of bus
# rides far from it. Ticking "Walk" on the panel must light exactly the
# walks' spot on the map; the arrow keys, the wheel and "Reset Map" must move,
# grow and restore it; closing the window must end the run with status 0.
# usage: heat_test.sh VIEWER SOURCE-DIR WM-CLOSE
set -u
viewer=$1 src=$2 wm_close=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/window_lib.sh"

make_workdir "$src"
mkdir -p "$work/data"
python3 - "$work/data/data.bin" <<'PY' || fail "cannot write the sample file"
import random, struct, sys
random.seed(7)
def normal(lat, lon):
    return (lat - 39.75) / 0.35, (lon - 116.15) / 0.45
with open(sys.argv[1], "wb") as f:
    for _ in range(2000):   # walks, about 60 m across
        x, y = normal(random.gauss(39.9087, 0.0004), random.gauss(116.3975, 0.0004))
        f.write(struct.pack("<ffii", x, y, 2, 43200))
    for _ in range(2000):   # bus rides in the south-east
        x, y = normal(random.gauss(39.8156, 0.0004), random.gauss(116.5156, 0.0004))
        f.write(struct.pack("<ffii", x, y, 8, 43200))
PY
cd "$work" || exit 1
# The windows open where these clicks expect them (at first start they
# are folded in the north-west corner); both end-to-end tests click there.
cp "$here/clicked_layout.ini" imgui.ini || fail "cannot place the windows"

cat > session.sh <<SESSION
set -u
source "$here/window_lib.sh"
# Screenshot NAME of the map area right of the panel once it differs from
# screenshot BEFORE (none: at once) and holds still (the pan glides over many
# frames, and frames are slow on a busy machine); then its heat count and
# centroid.
probe() {  # NAME BEFORE
  settle "\$1" "\$2" 395 265 755 795 || { kill \$pid; exit 9; }
  python3 "$here/heat_probe.py" "\$1.ppm" 395 265 755 795 > "\$1.txt"
}
# One rendering thread: the viewer draws as fast as it can (no vsync under
# Xvfb), and the screenshots and probes need a core too.
LP_NUM_THREADS=1 "$viewer" > out.txt 2>&1 &
pid=\$!
id=\$("$here/../window/wait-window") || { echo "no window"; kill \$pid; exit 3; }
# Wait for the user interface: the legend's colours show once it has drawn
# (clicks that arrive earlier fall on windows not yet laid out).
legend_up() { screenshot legend && python3 "$here/heat_probe.py" legend.ppm 0 0 100 300 | grep -qv '^0 '; }
wait_until 60 legend_up || { echo "legend never drawn"; kill \$pid; exit 3; }
probe start ""
# A click as a user makes it: hover first, press and release in separate frames.
click 77 339                              # tick "Walk"
probe walk start
xdotool mousemove 600 330                 # the readout beside the pointer first
probe hover walk
xdotool key Left                          # press and release: two pans
probe left hover
xdotool key Up
probe up left
xdotool click 4 click 4 click 4 click 4 click 4   # wheel up five notches
probe zoom up
click 89 650                              # "Reset Map"
probe reset zoom
kill -0 \$pid || { echo "viewer died"; exit 4; }
close_viewer "$wm_close" "\$id" "\$pid"
wait \$pid
echo "status \$?" > status.txt
SESSION
MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
  xvfb-run -a -n 160 -s "-screen 0 800x800x24" bash session.sh || fail "session: $(cat out.txt 2>/dev/null)"
[ -n "${TRACKORA_KEEP_SHOTS:-}" ] && cp ./*.png "$TRACKORA_KEEP_SHOTS/"

read -r n0 _ _ < start.txt
read -r n1 x1 y1 < walk.txt
read -r n2 x2 y2 < left.txt
read -r n3 x3 y3 < up.txt
read -r n4 x4 y4 < zoom.txt
read -r n5 x5 y5 < reset.txt
echo "heat pixels / centre: start $n0; walk $n1 ($x1,$y1); left $n2 ($x2,$y2); up $n3 ($x3,$y3);" \
     "zoom $n4 ($x4,$y4); reset $n5 ($x5,$y5)"
near() { python3 -c "import sys; sys.exit(0 if abs($1 - ($2)) <= $3 else 1)"; }

# No mode is ticked at start: no heat anywhere.
[ "$n0" -eq 0 ] || fail "heat before any mode was ticked: $n0 pixels"
# The walks lie at x = 0.5500 * 800 = 440, y = (1 - 0.4534) * 800 = 437.3 (from
# the top); the bus cluster at (650, 650) stays dark, so all heat is near the walks.
[ "$n1" -gt 4 ] || fail "no heat after ticking Walk"
near "$x1" 440 3 && near "$y1" 437.3 3 || fail "heat at ($x1,$y1), expected (440,437.3)"
python3 "$here/heat_probe.py" walk.ppm 610 610 690 690 | grep -q '^0 ' || fail "bus rides shown with only Walk ticked"
# Left arrow: the map moves right by one to two steps of 0.075 clip units
# (30 to 60 pixels); up arrow: the map moves down by about the same.
near "$x2" "$x1 + 45" 17 && near "$y2" "$y1" 3 || fail "left arrow moved the heat to ($x2,$y2)"
near "$x3" "$x2" 3 && near "$y3" "$y2 + 45" 17 || fail "up arrow moved the heat to ($x3,$y3)"
# Five wheel notches: zoom 1.5, so the spot covers about 2.25 times the pixels.
python3 -c "import sys; sys.exit(0 if $n4 > 1.6 * $n3 else 1)" || fail "wheel did not enlarge the spot: $n3 -> $n4"
# Reset: zoom 1 and back to the centre.
near "$x5" "$x1" 3 && near "$y5" "$y1" 3 || fail "after Reset Map the heat is at ($x5,$y5), not ($x1,$y1)"
python3 -c "import sys; sys.exit(0 if abs($n5 - $n1) <= 0.25 * $n1 else 1)" || fail "spot size after reset $n5, at start $n1"
[ "$(cat status.txt)" = "status 0" ] || fail "exit after close: $(cat status.txt); output: $(cat out.txt)"
echo "ok: heat at the walks' place, arrows pan, wheel zooms, Reset Map restores, close exits 0"
