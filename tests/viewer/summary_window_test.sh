#!/usr/bin/env bash
# End to end under Xvfb: the viewer opens a summary built by trackora-summary
# (a dated track in 30-minute steps), says its step and sample count in the
# panel (the load's console line is the panel's own text), and "Save grid"
# writes, value for value, the grid trackora-heatmap computes from the same
# summary. A summary refused or read as samples, a wrong step in the panel,
# or a viewer grid that is not the summary engine's fails one of them.
# usage: summary_window_test.sh VIEWER SOURCE-DIR WM-CLOSE TRACKORA-SUMMARY TRACKORA-HEATMAP
set -u
viewer=$1 src=$2 wm_close=$3 summary_tool=$4 heatmap_tool=$5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/window_lib.sh"

command -v gdal_translate > /dev/null || { echo "skipped: gdal_translate is not installed"; exit 0; }
make_workdir "$src"
python3 "$here/seattle_gpx.py" "$work/seattle.gpx" || fail "cannot write the track"
cd "$work" || exit 1
"$summary_tool" build seattle.gpx -o seattle.tsum --step 30m --box 47.58,-122.38,47.63,-122.32 > build.txt 2>&1 ||
  fail "trackora-summary build: $(cat build.txt)"
samples=$("$summary_tool" info seattle.tsum | sed -n 's/^samples: //p')
[ "${samples:-0}" -gt 0 ] || fail "the summary counts no samples: $("$summary_tool" info seattle.tsum 2>&1)"
# The Data window's "Save grid" where the click expects it.
cp "$here/clicked_layout.ini" imgui.ini || fail "cannot place the windows"

cat > session.sh <<SESSION
set -u
source "$here/window_lib.sh"
LP_NUM_THREADS=1 "$viewer" seattle.tsum > out.txt 2>&1 &
pid=\$!
id=\$("$here/../window/wait-window") || { echo "no window"; kill \$pid; exit 3; }
# Until the summary's heat shows (the load runs in the background).
for _ in \$(seq 1 60); do
  shot poll
  python3 "$here/heat_probe.py" poll.ppm 200 0 800 800 > heat.txt
  grep -qv '^0 ' heat.txt && grep -q 'summary of' out.txt && break
  sleep 0.5
done
grep -qv '^0 ' heat.txt || { echo "no heat"; kill \$pid; exit 7; }
# "Save grid" until a grid file appears (a click lost under load is repeated).
for _ in 1 2 3; do
  click 725 660
  for _ in \$(seq 1 25); do
    grid=\$(ls trackora-grid-*.tif 2>/dev/null | head -n1)
    [ -n "\$grid" ] && break 2
    sleep 0.2
  done
done
[ -n "\$grid" ] || { echo "no grid saved"; shot nogrid; kill \$pid; exit 8; }
mv "\$grid" viewer.tif
shot summary
kill -0 \$pid || { echo "viewer died"; exit 4; }
close_viewer "$wm_close" "\$id" "\$pid"
wait \$pid
SESSION
MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
  xvfb-run -a -n 176 -s "-screen 0 800x800x24" bash session.sh || fail "session: $(cat out.txt 2>/dev/null)"
[ -n "${TRACKORA_KEEP_SHOTS:-}" ] && cp summary.png "$TRACKORA_KEEP_SHOTS/summary-window-test.png"

grep -qF "\"seattle.tsum\": 30-min steps, summary of $samples samples" out.txt ||
  fail "the panel's line should say 30-min steps and $samples samples: $(cat out.txt)"
"$heatmap_tool" seattle.tsum --geotiff tool.tif > tool.txt 2>&1 || fail "trackora-heatmap: $(cat tool.txt)"
# The two grids' floats, raw, without the metadata that names each file.
gdal_translate -q -of ENVI viewer.tif viewer.img || fail "GDAL cannot read the viewer's grid"
gdal_translate -q -of ENVI tool.tif tool.img || fail "GDAL cannot read the tool's grid"
high=$(gdalinfo -mm viewer.tif 2>&1 | sed -n 's/.*Computed Min\/Max=[^,]*,\(.*\)/\1/p')
python3 -c "import sys; sys.exit(0 if float('${high:-0}') > 0 else 1)" || fail "the viewer's grid is empty (max ${high:-none})"
cmp -s viewer.img tool.img || fail "the viewer's saved grid differs from trackora-heatmap's grid of the same summary"
echo "ok: the summary opens in 30-min steps ($samples samples) and its saved grid is trackora-heatmap's (max $high)"
