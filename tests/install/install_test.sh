#!/usr/bin/env bash
# Installs the build into a scratch prefix and runs the installed programs
# from an unrelated directory: the tools and the viewer must find their
# run-time files under share/trackora.
# usage: install_test.sh BUILD_DIR [wm_close]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
wm_close=${2:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" > "$scratch/install.log"
mkdir "$scratch/elsewhere"
cd "$scratch/elsewhere"

# A small text sample file, then a PNG that needs the installed colour table.
printf '39.9 116.4 30000 2\n39.91 116.41 30001 2\n' > samples.txt
"$scratch/prefix/bin/trackora-heatmap" samples.txt --png heat.png > heatmap.log
[ -s heat.png ] || { echo "FAIL: the installed trackora-heatmap wrote no PNG"; cat heatmap.log; exit 1; }

# The Python package, where it was built, imported from the installed
# dist-packages alone and computing on the installed engine.
if [ -f "$build/python/interpreter" ]; then
    python=$(cat "$build/python/interpreter")
    site=$(ls -d "$scratch"/prefix/lib/python3*/dist-packages)
    PYTHONPATH=$site "$python" -c "import trackora, trackora.dask, numpy
assert trackora.__file__.startswith('$site'), trackora.__file__
assert trackora.dask.__file__.startswith('$site'), trackora.dask.__file__
print(trackora.density(numpy.array([39.9]), numpy.array([116.4]), values='count').sum().item())" > python.log 2>&1 &&
        [ "$(tail -n 1 python.log)" = "1.0" ] || { echo "FAIL: the installed Python package"; cat python.log; exit 1; }
fi

if [ -n "$wm_close" ] && [ -x "$scratch/prefix/bin/trackora" ]; then
    # The viewer, started here with no shaders/ or resources/ beside it: a
    # message naming either means the installed files were not found.
    wait_window=$here/../window/wait-window
    cat > session.sh <<SESSION
"$scratch/prefix/bin/trackora" > viewer.log 2>&1 &
pid=\$!
id=\$("$wait_window") || { echo "no window"; kill \$pid; exit 3; }
sleep 1
"$wm_close" "\$id"
wait \$pid
SESSION
    MESA_GL_VERSION_OVERRIDE=4.6 MESA_GLSL_VERSION_OVERRIDE=460 \
        xvfb-run -a -s "-screen 0 800x800x24" bash session.sh || { echo "FAIL: installed viewer"; cat viewer.log; exit 1; }
    if grep -Eq "shaders|resources" viewer.log; then
        echo "FAIL: the installed viewer could not find its files:"; cat viewer.log; exit 1
    fi
fi
echo "installed programs run from another directory"
