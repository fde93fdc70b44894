#!/usr/bin/env bash
# End to end under Xvfb: a GPX track from Seattle, far outside the default
# box, opened on the command line. The viewer must fit the frame to it (the
# console says which), tick the mode its points have and show their heat
# without a click; closing the window ends the run with status 0.
# usage: any_city_window_test.sh VIEWER SOURCE-DIR WM-CLOSE
set -u
viewer=$1 src=$2 wm_close=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/window_lib.sh"

make_workdir "$src"
# A walk from south-west to north-east through Seattle with a stay at
# Pike Place Market (47.6097 N, 122.3422 W) half-way, which the heat shows.
python3 "$here/seattle_gpx.py" "$work/seattle.gpx" || fail "cannot write the track"
cd "$work" || exit 1

cat > session.sh <<SESSION
set -u
source "$here/window_lib.sh"
LP_NUM_THREADS=1 "$viewer" seattle.gpx > out.txt 2>&1 &
pid=\$!
id=\$("$here/../window/wait-window") || { echo "no window"; kill \$pid; exit 3; }
# Polls until the heat shows (the load runs in the background), at most
# about half a minute.
heat_shown() {
  screenshot shot || exit 6
  python3 "$here/heat_probe.py" shot.ppm 200 0 800 800 > heat.txt
  grep -qv '^0 ' heat.txt && grep -q 'frame fitted' out.txt
}
wait_until 60 heat_shown
kill -0 \$pid || { echo "viewer died"; exit 4; }
close_viewer "$wm_close" "\$id" "\$pid"
wait \$pid
echo "status \$?" > status.txt
SESSION
MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
  xvfb-run -a -n 161 -s "-screen 0 800x800x24" bash session.sh || fail "session: $(cat out.txt 2>/dev/null)"
[ -n "${TRACKORA_KEEP_SHOTS:-}" ] && cp shot.png "$TRACKORA_KEEP_SHOTS/any_city.png"

read -r heat _ _ < heat.txt
echo "heat pixels: $heat; console: $(cat out.txt)"
line=$(grep 'frame fitted to its points' out.txt) || fail "no fitted frame on the console: $(cat out.txt)"
# The frame holds the whole walk, the market inside it.
python3 - "$line" <<'PY' || fail "fitted frame does not hold the track: $line"
import re, sys
s, w, n, e = map(float, re.search(r"points: ([-0-9.,]+) ", sys.argv[1]).group(1).split(","))
sys.exit(0 if s < 47.5897 + 0.0004 and n > 47.6295 and w < -122.3722 + 0.0006 and e > -122.3125
              and s < 47.6097 < n and w < -122.3422 < e else 1)
PY
[ "$heat" -gt 20 ] || fail "no heat over the fitted frame ($heat pixels)"
grep -q 'holds no samples' out.txt && fail "samples dropped: $(cat out.txt)"
[ "$(cat status.txt)" = "status 0" ] || fail "exit after close: $(cat status.txt); output: $(cat out.txt)"
echo "ok: a Seattle track opens in a fitted frame with its heat shown"
