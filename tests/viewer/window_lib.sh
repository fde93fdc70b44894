# shellcheck shell=bash
# Sourced by the viewer's window tests and by the session scripts they run
# under Xvfb: the scratch folder the viewer runs in, and the window closed
# as a user closes it.

fail() { echo "FAIL: $*"; exit 1; }

# A scratch folder ($work) holding the source tree's ($1) shaders and
# resources, removed when the test ends.
make_workdir() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    cp -r "$1/shaders" "$1/resources" "$work/" || fail "cannot copy shaders and resources"
}

# Closes window $2 through the window manager's protocol ($1, wm_close) and
# waits up to 10 s for process $3 to end; kills it and exits 5 when it does
# not.
close_viewer() {
    "$1" "$2"
    for _ in $(seq 1 100); do
        kill -0 "$3" 2>/dev/null || return 0
        sleep 0.1
    done
    echo "still running after close"
    kill -9 "$3"
    exit 5
}
