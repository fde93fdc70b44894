#!/usr/bin/env bash
# End to end with the real viewer under Xvfb, as an analyst uses it: open a
# sample file named on the command line (no data/data.bin anywhere), read the
# cursor readout over a cluster, play the day and see the heat move from the
# night cluster to the noon one, then save the picture and the grid and find
# them in the working directory, the right things in the right places.
# usage: analyst_test.sh VIEWER SOURCE-DIR WM-CLOSE
set -u
viewer=$1 src=$2 wm_close=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/window_lib.sh"

make_workdir "$src"
mkdir -p "$work/my data"
# Walks at Tiananmen Square between 00:30 and 01:30 ("night", at pixel 440,437)
# and walks at 39.97 N 116.50 E between 09:00 and 17:00 ("noon", at pixel 622,297).
python3 - "$work/my data/clusters.bin" <<'PY' || fail "cannot write the sample file"
import random, struct, sys
random.seed(11)
def normal(lat, lon):
    return (lat - 39.75) / 0.35, (lon - 116.15) / 0.45
with open(sys.argv[1], "wb") as f:
    for _ in range(2000):
        x, y = normal(random.gauss(39.9087, 0.0004), random.gauss(116.3975, 0.0004))
        f.write(struct.pack("<ffii", x, y, 2, random.randint(1800, 5400)))
    for _ in range(2000):
        x, y = normal(random.gauss(39.97, 0.0004), random.gauss(116.50, 0.0004))
        f.write(struct.pack("<ffii", x, y, 2, random.randint(32400, 61200)))
PY
cd "$work" || exit 1
# The windows open where these clicks expect them (at first start they
# are folded in the north-west corner); both end-to-end tests click there.
cp "$here/clicked_layout.ini" imgui.ini || fail "cannot place the windows"

cat > session.sh <<SESSION
set -u
source "$here/window_lib.sh"
heat() { python3 "$here/heat_probe.py" "\$1.ppm" \$2 \$3 \$4 \$5 | cut -d' ' -f1; }
night() { heat "\$1" 415 412 465 462; }
noon() { heat "\$1" 597 272 647 322; }
# Polls a condition on fresh screenshots for up to \$1 seconds.
until_shot() {
  local limit=\$1; shift
  for _ in \$(seq 1 \$((limit * 2))); do shot poll; "\$@" && return 0; sleep 0.2; done
  return 1
}
LP_NUM_THREADS=1 "$viewer" "my data/clusters.bin" > out.txt 2>&1 &
pid=\$!
id=\$("$here/../window/wait-window") || { echo "no window"; kill \$pid; exit 3; }
legend_up() { [ "\$(heat poll 0 0 100 300)" -gt 0 ]; }
until_shot 30 legend_up || { echo "legend never drawn"; kill \$pid; exit 3; }

# A file named on the command line ticks the modes it holds ("Walk"): its
# heat shows without a click. The pointer rests on the panel, so the
# readout stays off the clusters.
xdotool mousemove 77 339
both() { [ "\$(night poll)" -gt 4 ] && [ "\$(noon poll)" -gt 4 ]; }
until_shot 30 both || { echo "no heat at the clusters: \$(night poll) \$(noon poll)"; cp poll.png opened.png; kill \$pid; exit 7; }
cp poll.png opened.png

# The readout beside the cursor over the night cluster, gone over the panel:
# each shot once its box has changed and holds still.
xdotool mousemove 440 437
settle readout poll 470 450 620 485 || { kill \$pid; exit 9; }
xdotool mousemove 200 300
settle noreadout readout 470 450 620 485 || { kill \$pid; exit 9; }

click 98 769                                  # "Play": one hour from midnight
click 98 769                                  # "Pause" within the first hour or so
# Paused, the clusters hold still (playing, the window moves them).
settle playing "" 400 250 680 480 || { kill \$pid; exit 9; }
click 98 769                                  # "Play" on from there
at_noon() { [ "\$(noon poll)" -gt 4 ] && [ "\$(night poll)" -eq 0 ]; }
until_shot 40 at_noon || { echo "playback never reached noon"; kill \$pid; exit 8; }
click 98 769                                  # "Pause"
settle paused1 "" 400 250 680 480 || { kill \$pid; exit 9; }
# Paused, the noon heat stays: every shot for two seconds shows it.
noon_stays() { shot paused2 && [ "\$(noon paused2)" -gt 4 ]; }
holds 2 noon_stays || { echo "paused at noon the heat went away"; kill \$pid; exit 8; }

# Zoom by one notch about the pointer (the noon cluster moves to about
# 634,287), then save picture and grid; a click lost under load is repeated.
xdotool mousemove 500 400 click 4
xdotool mousemove 200 300
settle beforesave paused2 420 100 654 600 || { kill \$pid; exit 9; }
save() {  # button x y, file pattern
  for _ in 1 2 3; do
    click "\$1" "\$2"
    for _ in \$(seq 1 25); do ls \$3 > /dev/null 2>&1 && return 0; sleep 0.2; done
  done
  return 1
}
save 740 637 'trackora-map-*.png'                # "Save image"
save 740 660 'trackora-grid-*.tif'               # "Save grid"
shot saved
kill -0 \$pid || { echo "viewer died"; exit 4; }
close_viewer "$wm_close" "\$id" "\$pid"
wait \$pid
echo "status \$?" > status.txt
SESSION
MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
  xvfb-run -a -n 170 -s "-screen 0 800x800x24" bash session.sh || fail "session: $(cat out.txt 2>/dev/null)"
[ -n "${TRACKORA_KEEP_SHOTS:-}" ] && cp ./*.png "$TRACKORA_KEEP_SHOTS/"

probe() { python3 "$here/heat_probe.py" "$1.ppm" "${@:2}"; }
count() { probe "$@" | cut -d' ' -f1; }
echo "ok: opened \"my data/clusters.bin\" from the command line, heat at both clusters"

# The readout: a tooltip box (the user interface's near-black popup colour)
# right below the cursor, which the map there does not have.
python3 - <<'PY' || fail "no readout beside the cursor"
def dark(path, box):
    data = open(path, "rb").read()
    parts = data.split(b"\n", 3)
    w = int(parts[1].split()[0]); pix = parts[3]
    x0, y0, x1, y1 = box; n = 0
    for y in range(y0, y1):
        for x in range(x0, x1):
            i = (y * w + x) * 3
            r, g, b = pix[i], pix[i + 1], pix[i + 2]
            n += r < 24 and abs(r - b) <= 2 and abs(r - g) <= 2
    return n / ((x1 - x0) * (y1 - y0))
box = (470, 450, 620, 485)
on, off = dark("readout.ppm", box), dark("noreadout.ppm", box)
print("readout box share: with cursor %.2f, without %.2f" % (on, off))
raise SystemExit(0 if on > 0.5 and off < 0.1 else 1)
PY
echo "ok: readout follows the cursor over the map"

# Playback: paused right after Play only the night hours show; later only
# noon; paused there, the window stays.
[ "$(count playing 415 412 465 462)" -gt 4 ] && [ "$(count playing 597 272 647 322)" -eq 0 ] ||
  fail "paused just after Play: night $(count playing 415 412 465 462), noon $(count playing 597 272 647 322)"
[ "$(count paused1 597 272 647 322)" -gt 4 ] && [ "$(count paused2 597 272 647 322)" -gt 4 ] ||
  fail "paused at noon the heat went away"
echo "ok: playback slides the window from the night cluster to the noon one and pauses"

# The picture: a PNG of the window's size, heat where the screen had it at
# the same pan and zoom, the legend's colours, the attribution, no panel.
png=$(ls trackora-map-*.png 2>/dev/null | head -n1)
[ -n "$png" ] || fail "no image saved: $(cat out.txt)"
# Zoomed in, the picture shows part of the frame: no world file places it.
[ -e "${png%.png}.pgw" ] && fail "a world file beside a zoomed picture"
python3 - "$png" <<'PY' || fail "$png is not an 800x800 PNG"
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
w, h = struct.unpack(">II", data[16:24])
assert (w, h) == (800, 800), (w, h)
PY
convert "$png" saved_png.ppm || fail "$png does not decode"
read -r ns xs ys < <(probe beforesave 420 100 654 600)
read -r np xp yp < <(probe saved_png 420 100 654 600)
echo "heat on screen $ns ($xs,$ys), in the picture $np ($xp,$yp)"
python3 -c "import sys; sys.exit(0 if $ns > 4 and abs($xs - $xp) <= 2 and abs($ys - $yp) <= 2 and abs($ns - $np) <= 0.2 * $ns else 1)" ||
  fail "the picture's heat is not where the screen shows it"
[ "$(count saved_png 0 0 100 300)" -gt 50 ] || fail "no legend in the picture"
python3 - <<'PY' || fail "the panel is in the picture, or the attribution is not"
def read(path):
    data = open(path, "rb").read()
    parts = data.split(b"\n", 3)
    return int(parts[1].split()[0]), parts[3]
def share(path, box, test):
    w, pix = read(path)
    x0, y0, x1, y1 = box; n = 0
    for y in range(y0, y1):
        for x in range(x0, x1):
            i = (y * w + x) * 3
            n += test(pix[i], pix[i + 1], pix[i + 2])
    return n / ((x1 - x0) * (y1 - y0))
panel = lambda r, g, b: r < 24 and abs(r - b) <= 2 and abs(r - g) <= 2
light = lambda r, g, b: r > 150 and g > 150 and b > 150
menu = (300, 310, 380, 560)  # right of the mode counts in "Main Menu"
# The same map at the same pan and zoom: the streets of a clear stretch match.
w, shot = read("beforesave.ppm")
_, png = read("saved_png.ppm")
diff = sum(abs(shot[(y * w + x) * 3 + c] - png[(y * w + x) * 3 + c])
           for y in range(300, 600, 3) for x in range(400, 640, 3) for c in range(3)) / (100 * 80 * 3)
print("mean difference of the map on screen and in the picture: %.2f" % diff)
if diff > 3:
    raise SystemExit(1)
on_screen, in_png = share("beforesave.ppm", menu, panel), share("saved_png.ppm", menu, panel)
text = share("saved_png.ppm", (560, 780, 800, 800), light)
print("panel share on screen %.2f, in the picture %.2f; attribution text %.3f" % (on_screen, in_png, text))
raise SystemExit(0 if on_screen > 0.3 and in_png < 0.05 and text > 0.02 else 1)
PY
echo "ok: $png is an 800x800 PNG of map, heat, legend and attribution, without the panel"

# The grid: a GeoTIFF in samples per km² whose densest cell lies at the noon
# cluster's latitude and longitude, read the way a GIS reads it.
grid=$(ls trackora-grid-*.tif 2>/dev/null | head -n1)
[ -n "$grid" ] || fail "no grid saved: $(cat out.txt)"
gdalinfo "$grid" > gridinfo.txt 2>&1 || fail "gdalinfo cannot read $grid: $(cat gridinfo.txt)"
grep -q 'ID\["EPSG",4326\]' gridinfo.txt || fail "$grid is not in EPSG:4326: $(cat gridinfo.txt)"
gdal_translate -q -of ENVI "$grid" grid.raw || fail "cannot convert $grid"
python3 - grid.raw <<'PY' || fail "$grid does not hold the grid on screen"
import struct, sys
values = struct.unpack("<1000000f", open(sys.argv[1], "rb").read())
top = max(range(1000000), key=values.__getitem__)
row, col = divmod(top, 1000)  # the file's first row is the north edge
lat, lon = 40.09965 - (row + 0.5) * 0.00035, 116.14955 + (col + 0.5) * 0.00045
print("densest cell at %.5f N, %.5f E" % (lat, lon))
# Samples per km²: some hundred thousand at a cluster of 2000 samples about 60 m across.
assert values[top] > 1000.0 and abs(lat - 39.97) < 0.0015 and abs(lon - 116.50) < 0.0015
PY
grep -q 'UNITS=samples/km2' gridinfo.txt || fail "$grid does not say its units: $(cat gridinfo.txt)"
echo "ok: $grid holds the grid in samples per km2 with the noon cluster at its place"
[ "$(cat status.txt)" = "status 0" ] || fail "exit after close: $(cat status.txt); output: $(cat out.txt)"
echo "ok: close exits 0"
