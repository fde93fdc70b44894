#!/usr/bin/env bash
# End to end under Xvfb: "Save image" over a frame without the shipped map
# saves what the screen shows, the graticule and scale bar included, with a
# world file that GDAL reads back to the fitted frame (the view is not
# zoomed); the panels stay out of it. Then "Export video..." makes the day
# as a video, its progress shown while the window stays live.
# usage: saved_image_test.sh VIEWER SOURCE-DIR WM-CLOSE
set -u
viewer=$1 src=$2 wm_close=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/window_lib.sh"

make_workdir "$src"
# A stay at Pike Place Market and a walk away from it: a frame far from the
# shipped map's, drawn on the plain ground with its guides.
python3 "$here/seattle_gpx.py" "$work/seattle.gpx" || fail "cannot write the track"
cd "$work" || exit 1
# The Data window's "Save image" button where the click expects it.
cp "$here/clicked_layout.ini" imgui.ini || fail "cannot place the windows"

cat > session.sh <<SESSION
set -u
source "$here/window_lib.sh"
LP_NUM_THREADS=1 "$viewer" seattle.gpx > out.txt 2>&1 &
pid=\$!
id=\$("$here/../window/wait-window") || { echo "no window"; kill \$pid; exit 3; }
# Until the heat shows over the fitted frame (the load runs in the background).
heat_shown() {
  shot poll
  python3 "$here/heat_probe.py" poll.ppm 200 0 800 800 > heat.txt
  grep -qv '^0 ' heat.txt && grep -q 'frame fitted' out.txt
}
wait_until 60 heat_shown
grep -qv '^0 ' heat.txt || { echo "no heat"; kill \$pid; exit 7; }
# "Save image"; a click lost under load is repeated.
saved=no
for _ in 1 2 3; do
  click 740 637
  for _ in \$(seq 1 25); do ls trackora-map-*.png > /dev/null 2>&1 && { saved=yes; break; }; sleep 0.2; done
  [ \$saved = yes ] && break
done
shot screen
# "Export video...": the day at a frame per 15 minutes (ffmpeg makes the
# default .mp4); a progress line replaces the name while it runs.
if command -v ffmpeg > /dev/null; then
  click 730 683
  for _ in \$(seq 1 300); do ls trackora-day-*.mp4 > /dev/null 2>&1 && break; sleep 0.2; done
  ls trackora-day-*.mp4 > /dev/null 2>&1 || { echo "no video exported"; shot novideo; kill \$pid; exit 8; }
fi
kill -0 \$pid || { echo "viewer died"; exit 4; }
close_viewer "$wm_close" "\$id" "\$pid"
wait \$pid
SESSION
MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
  xvfb-run -a -n 172 -s "-screen 0 800x800x24" bash session.sh || fail "session: $(cat out.txt 2>/dev/null)"
[ -n "${TRACKORA_KEEP_SHOTS:-}" ] && cp trackora-map-*.png screen.png "$TRACKORA_KEEP_SHOTS/"

png=$(ls trackora-map-*.png 2>/dev/null | head -n1)
[ -n "$png" ] || fail "no image saved: $(cat out.txt)"
[ -f "${png%.png}.pgw" ] || fail "no world file beside $png"
[ -f "$png.aux.xml" ] || fail "no coordinate system beside $png"

# GDAL places the picture on the fitted frame, corner for corner, to a pixel.
line=$(grep 'frame fitted to its points' out.txt) || fail "no fitted frame on the console: $(cat out.txt)"
gdalinfo "$png" > info.txt 2>&1 || fail "gdalinfo cannot read $png: $(cat info.txt)"
grep -q 'WGS 84' info.txt || fail "no coordinate system read: $(cat info.txt)"
python3 - "$line" info.txt <<'PY' || fail "the world file does not place the picture on the frame"
import re, sys
s, w, n, e = map(float, re.search(r"points: ([-0-9.,]+) ", sys.argv[1]).group(1).split(","))
info = open(sys.argv[2]).read()
size = tuple(map(int, re.search(r"Size is (\d+), (\d+)", info).groups()))
def corner(name):
    return tuple(map(float, re.search(name + r"\s*\(\s*([-0-9.]+),\s*([-0-9.]+)\)", info).groups()))
ul, lr = corner("Upper Left"), corner("Lower Right")
# The map fills the window when the frame is within 2% of square; else it
# is letterboxed and the picture reaches past the frame on one axis.
pixel_x, pixel_y = (lr[0] - ul[0]) / size[0], (ul[1] - lr[1]) / size[1]
inside = lambda a, b, tolerance: abs(a - b) <= tolerance
horizontal = inside(ul[0], w, pixel_x) and inside(lr[0], e, pixel_x)
vertical = inside(ul[1], n, pixel_y) and inside(lr[1], s, pixel_y)
print("picture", size, ul, lr, "frame", (s, w, n, e))
sys.exit(0 if (horizontal or vertical) and ul[0] <= w + pixel_x and lr[0] >= e - pixel_x
         and ul[1] >= n - pixel_y and lr[1] <= s + pixel_y else 1)
PY

# The guides: the scale bar's bright line in the picture's bottom-right
# corner, where nothing else is drawn; and the graticule's faint lines.
convert "$png" saved.ppm || fail "$png does not decode"
python3 - saved.ppm <<'PY' || fail "no scale bar or graticule in the saved picture"
import sys
data = open(sys.argv[1], "rb").read()
parts = data.split(b"\n", 3)
w, h = map(int, parts[1].split())
pixels = parts[3]
def at(x, y):
    i = (y * w + x) * 3
    return pixels[i], pixels[i + 1], pixels[i + 2]
bar = sum(1 for y in range(h - 60, h - 30) for x in range(w - 200, w - 10) if min(at(x, y)) >= 200)
# A graticule line: a whole column or row of one faint grey over the ground.
faint = lambda p: 50 <= p[0] <= 90 and abs(p[0] - p[1]) <= 8 and p[2] >= p[0]
rows = sum(1 for y in range(h) if sum(faint(at(x, y)) for x in range(0, w, 4)) > w // 8)
columns = sum(1 for x in range(w) if sum(faint(at(x, y)) for y in range(0, h, 4)) > h // 8)
print("scale bar pixels", bar, "graticule rows", rows, "columns", columns)
sys.exit(0 if bar > 40 and rows >= 2 and columns >= 2 else 1)
PY
echo "ok: the saved image shows the guides and its world file places it on the frame"

if command -v ffprobe > /dev/null; then
  video=$(ls trackora-day-*.mp4 2>/dev/null | head -n1)
  [ -n "$video" ] || fail "no video exported: $(cat out.txt)"
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$video")
  [ "$frames" = 96 ] || fail "$video has $frames frames, not 96"
  ls .trackora-day-* > /dev/null 2>&1 && fail "a temporary file was left behind"
  echo "ok: Export video made the day in 96 frames"
fi
