#!/usr/bin/env bash
# End to end under Xvfb: Compare freezes the selection on screen as B, and
# "Save grid" then writes A - B per day. Just ticked, A is B: every cell 0.
# With A's only mode unticked, A is empty and the grid is -B: no cell above
# 0, some below. A B that followed A, or a flipped sign, fails one of them.
# usage: compare_window_test.sh VIEWER SOURCE-DIR WM-CLOSE
set -u
viewer=$1 src=$2 wm_close=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/window_lib.sh"

command -v gdalinfo > /dev/null || { echo "skipped: gdalinfo is not installed"; exit 0; }
make_workdir "$src"
# A dated track (one day, one mode: Unknown) in a frame of its own.
python3 "$here/seattle_gpx.py" "$work/seattle.gpx" || fail "cannot write the track"
cd "$work" || exit 1
# The Main Menu's boxes and the Data window's "Save grid" where the clicks expect them.
cp "$here/clicked_layout.ini" imgui.ini || fail "cannot place the windows"

cat > session.sh <<SESSION
set -u
source "$here/window_lib.sh"
# "Save grid" until a new grid file appears (a click lost under load is
# repeated); it is renamed to \$1.
save_grid() {
  for _ in 1 2 3; do
    click 725 660
    for _ in \$(seq 1 25); do
      grid=\$(ls trackora-grid-*.tif 2>/dev/null | head -n1)
      [ -n "\$grid" ] && { mv "\$grid" "\$1"; return 0; }
      sleep 0.2
    done
  done
  echo "no grid saved as \$1"; shot "nogrid-\$1"; kill \$pid; exit 8
}
LP_NUM_THREADS=1 "$viewer" seattle.gpx > out.txt 2>&1 &
pid=\$!
id=\$("$here/../window/wait-window") || { echo "no window"; kill \$pid; exit 3; }
# Until the heat shows over the fitted frame (the load runs in the background).
for _ in \$(seq 1 60); do
  shot poll
  python3 "$here/heat_probe.py" poll.ppm 200 0 800 800 > heat.txt
  grep -qv '^0 ' heat.txt && grep -q 'frame fitted' out.txt && break
  sleep 0.5
done
grep -qv '^0 ' heat.txt || { echo "no heat"; kill \$pid; exit 7; }
click 212 600                     # Compare: B is Unknown, all day
save_grid same.tif
click 77 316                      # untick Unknown: A is empty
save_grid empty.tif
shot compare
kill -0 \$pid || { echo "viewer died"; exit 4; }
close_viewer "$wm_close" "\$id" "\$pid"
wait \$pid
SESSION
MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
  xvfb-run -a -n 173 -s "-screen 0 800x800x24" bash session.sh || fail "session: $(cat out.txt 2>/dev/null)"
[ -n "${TRACKORA_KEEP_SHOTS:-}" ] && cp compare.png "$TRACKORA_KEEP_SHOTS/compare-window-test.png"

# Min and max of a saved grid as GDAL computes them, and its unit.
range() { gdalinfo -mm "$1" 2>&1 | sed -n 's/.*Computed Min\/Max=\([^,]*\),\(.*\)/\1 \2/p'; }
read -r low high <<< "$(range same.tif)"
[ -n "${low:-}" ] || fail "gdalinfo cannot read same.tif: $(gdalinfo same.tif 2>&1 | head -5)"
python3 -c "import sys; sys.exit(0 if float('$low') == 0 and float('$high') == 0 else 1)" ||
  fail "A and B equal just after Compare, yet A - B runs from $low to $high"
read -r low high <<< "$(range empty.tif)"
python3 -c "import sys; sys.exit(0 if float('$low') < 0 and float('$high') == 0 else 1)" ||
  fail "A empty should give -B (below 0, nothing above), but A - B runs from $low to $high"
gdalinfo empty.tif | grep -q 'samples/km2/day' || fail "the difference's unit is not per day: $(gdalinfo empty.tif | grep -i unit)"
echo "ok: Compare saves A - B: 0 for equal selections, -B once A's mode is unticked (down to $low)"
