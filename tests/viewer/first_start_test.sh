#!/usr/bin/env bash
# At first start (no imgui.ini) the windows must leave every sample of the
# default data in sight: the real viewer runs under Xvfb on the default data,
# is closed, and the places it saved for its windows are laid over the
# samples of every mode and the whole day as the first view shows them (the
# whole frame filling the window). No sample may lie under a window or
# within the Gaussian's reach of one; the same boxes elsewhere on the map do
# cover samples, so the check can see them.
# usage: first_start_test.sh VIEWER SOURCE-DIR WM-CLOSE GENDATA IMPORT
set -u
viewer=$1 src=$2 wm_close=$3 gendata=$4 import=$5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/window_lib.sh"

make_workdir "$src"
mkdir -p "$work/data"
if [ -f "$src/data/data.bin" ]; then
  ln -s "$src/data/data.bin" "$work/data/data.bin"
else  # made as tools/gendata/make-default-data makes it
  "$gendata" "$work/raw" --map "$src/resources/map.png" > /dev/null &&
    "$import" "$work/raw" -o "$work/data/data.bin" > /dev/null || fail "cannot make the default data"
fi
cd "$work" || exit 1

cat > session.sh <<SESSION
set -u
source "$here/window_lib.sh"
LP_NUM_THREADS=1 "$viewer" > out.txt 2>&1 &
pid=\$!
id=\$("$here/../window/wait-window") || { echo "no window"; kill \$pid; exit 3; }
# Until the samples are open and the legend is drawn, then the map holds still.
wait_until 120 grep -q "Density engine" out.txt || { echo "the samples never opened"; kill \$pid; exit 3; }
legend_up() { screenshot first && python3 "$here/heat_probe.py" first.ppm 0 0 100 300 | grep -qv '^0 '; }
wait_until 60 legend_up || { echo "legend never drawn"; kill \$pid; exit 3; }
settle first "" 395 265 755 795 || { kill \$pid; exit 9; }
close_viewer "$wm_close" "\$id" "\$pid"
wait \$pid
SESSION
MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
  xvfb-run -a -n 171 -s "-screen 0 800x800x24" bash session.sh || fail "session: $(cat out.txt 2>/dev/null)"
[ -n "${TRACKORA_KEEP_SHOTS:-}" ] && cp first.png "$TRACKORA_KEEP_SHOTS/"
[ -f imgui.ini ] || fail "the viewer saved no window places: $(cat out.txt)"

python3 - imgui.ini data/data.bin <<'PY' || fail "samples of the default data lie under a window at first start"
import struct, sys
side = 800
title_bar = 13 + 2 * 3   # font size and frame padding: all a folded window shows
reach = 3                # the default 5-cell Gaussian's two cells (0.8 px each), rounded up
windows = {}
name = None
for line in open(sys.argv[1]):
    line = line.strip()
    if line.startswith("[Window]["):
        name = line[len("[Window]["):-1]
        windows[name] = {}
    elif name and "=" in line:
        key, value = line.split("=", 1)
        windows[name][key] = value
boxes = {}
for name in ("LUT", "Main Menu", "Data"):
    if name not in windows or "Pos" not in windows[name]:
        sys.exit("no place saved for window %s" % name)
    w = windows[name]
    x, y = map(int, w["Pos"].split(","))
    width, height = map(int, w["Size"].split(","))
    if w.get("Collapsed") == "1":
        height = title_bar
    boxes[name] = (x - reach, y - reach, x + width + reach, y + height + reach)
# Every sample where the first view puts it: the frame fills the window,
# north up (x is the normalised latitude, y the longitude).
data = open(sys.argv[2], "rb").read()
points = [(lon * side, (1.0 - lat) * side) for lat, lon, _, _ in struct.iter_unpack("<ffii", data)]
def inside(box):
    x0, y0, x1, y1 = box
    return sum(1 for px, py in points if x0 <= px < x1 and y0 <= py < y1)
failed = False
for name, box in boxes.items():
    under = inside(box)
    # The same box about the map's centre, where the city's samples are.
    w, h = box[2] - box[0], box[3] - box[1]
    control = inside((side / 2 - w / 2, side / 2 - h / 2, side / 2 + w / 2, side / 2 + h / 2))
    print("%-9s at %s: %d samples under it (%d under the same box at the centre)" % (name, box, under, control))
    failed |= under > 0 or control == 0
print("%d samples in all" % len(points))
sys.exit(1 if failed else 0)
PY
echo "ok: at first start no sample of the default data lies under the legend, Main Menu or Data"
