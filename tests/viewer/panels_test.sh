#!/usr/bin/env bash
# At first start (no imgui.ini) a user opens "Main Menu", then "Data": the
# Data window must cover none of the menu and stay inside the window. The
# places are read back from the imgui.ini the viewer saves.
# usage: panels_test.sh VIEWER SOURCE-DIR WM-CLOSE
set -u
viewer=$1 src=$2 wm_close=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/window_lib.sh"

make_workdir "$src"
mkdir -p "$work/data"
python3 - "$work/data/data.bin" <<'PY' || fail "cannot write the sample file"
import struct, sys
with open(sys.argv[1], "wb") as f:
    for i in range(100):
        f.write(struct.pack("<ffii", 0.5 + i * 1e-4, 0.5, 2, 43200))
PY
cd "$work" || exit 1

cat > session.sh <<SESSION
set -u
source "$here/window_lib.sh"
LP_NUM_THREADS=1 "$viewer" > out.txt 2>&1 &
pid=\$!
id=\$("$here/../window/wait-window") || { echo "no window"; kill \$pid; exit 3; }
probe() { import -window root -depth 8 shot.png && convert shot.png shot.ppm && python3 "$here/heat_probe.py" shot.ppm \$@; }
# The user interface has drawn once the legend's colours show.
legend_up() { probe 0 0 100 300 | grep -qv '^0 '; }
wait_until 60 legend_up
# Opens a folded window by its arrow, again until imgui.ini (saved every
# few seconds) says it is open.
open() {
  for _ in \$(seq 1 5); do
    click "\$2" "\$3"
    for _ in \$(seq 1 20); do
      sleep 0.5
      python3 - "\$1" <<'PY' && return 0
import sys
text = open("imgui.ini").read() if __import__("os").path.exists("imgui.ini") else ""
block = text.split("[Window][" + sys.argv[1] + "]")
sys.exit(0 if len(block) > 1 and "Collapsed=0" in block[1].split("[Window]")[0] else 1)
PY
    done
  done
  return 1
}
open "Main Menu" 178 9 || { echo "menu did not open"; kill \$pid; exit 7; }
open "Data" 8 221 || { echo "Data did not open"; kill \$pid; exit 7; }
import -window root panels.png
close_viewer "$wm_close" "\$id" "\$pid"
wait \$pid
SESSION
MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
  xvfb-run -a -n 162 -s "-screen 0 800x800x24" bash session.sh || fail "session: $(cat out.txt 2>/dev/null)"
[ -n "${TRACKORA_KEEP_SHOTS:-}" ] && cp panels.png "$TRACKORA_KEEP_SHOTS/panels.png"

python3 - imgui.ini <<'PY' || fail "the Data window covers the menu: $(cat imgui.ini)"
import re, sys
text = open(sys.argv[1]).read()
def rect(name):
    block = text.split("[Window][" + name + "]")[1].split("[Window]")[0]
    x, y = map(float, re.search(r"Pos=(-?\d+),(-?\d+)", block).groups())
    w, h = map(float, re.search(r"Size=(\d+),(\d+)", block).groups())
    return x, y, w, h
mx, my, mw, mh = rect("Main Menu")
dx, dy, dw, dh = rect("Data")
print("menu", (mx, my, mw, mh), "data", (dx, dy, dw, dh))
overlap = dx < mx + mw and mx < dx + dw and dy < my + mh and my < dy + dh
inside = dx >= 0 and dy >= 0 and dx + dw <= 800 and dy + dh <= 800
sys.exit(0 if not overlap and inside and mh > 300 else 1)
PY
echo "ok: Data opens beside the menu"
