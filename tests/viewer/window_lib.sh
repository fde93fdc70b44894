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

# Waiting for what a test checks, never for a fixed time: frames are slow on
# a loaded machine, so each wait has a generous deadline, and a passing test
# waits only as long as the viewer takes.

# wait_until SECONDS COMMAND...: runs COMMAND every fifth of a second until it
# succeeds; false once SECONDS have passed without.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# screenshot NAME: the screen as NAME.png and NAME.ppm.
screenshot() {
    import -window root -depth 8 "$1.png" && convert "$1.png" "$1.ppm" || { echo "screenshot failed"; return 6; }
}

# shot NAME: screenshot NAME, ending the session (status 6) when it fails.
shot() { screenshot "$1" || exit 6; }

# click X Y: a left click there, slow enough for a loaded machine's frames.
click() { xdotool mousemove "$1" "$2" sleep 0.3 mousedown 1 sleep 0.3 mouseup 1; }

# box_digest NAME X0 Y0 X1 Y1: a digest of the box [X0, X1) x [Y0, Y1) of NAME.ppm.
box_digest() {
    python3 - "$@" <<'PY'
import hashlib, sys
data = open(sys.argv[1] + ".ppm", "rb").read()
fields, pos = [], 0
while len(fields) < 4:
    while data[pos:pos + 1].isspace():
        pos += 1
    start = pos
    while not data[pos:pos + 1].isspace():
        pos += 1
    fields.append(data[start:pos])
pixels = data[pos + 1:]
width = int(fields[1])
x0, y0, x1, y1 = map(int, sys.argv[2:6])
digest = hashlib.sha1()
for y in range(y0, y1):
    digest.update(pixels[(y * width + x0) * 3:(y * width + x1) * 3])
print(digest.hexdigest())
PY
}

# settle NAME BEFORE X0 Y0 X1 Y1: screenshots NAME until the box differs from
# the one in screenshot BEFORE (the viewer has drawn what the input did) and
# then shows the same twice in a row (a glide or animation has ended); up to
# 60 s. BEFORE empty: only the second.
settle() {
    local name=$1 before=$2
    shift 2
    local old="" last="" now
    [ -n "$before" ] && old=$(box_digest "$before" "$@")
    local deadline=$((SECONDS + 60))
    while [ "$SECONDS" -lt "$deadline" ]; do
        screenshot "$name" || return 6
        now=$(box_digest "$name" "$@")
        if [ "$now" != "$old" ]; then
            [ "$now" = "$last" ] && return 0
            last=$now
        fi
        sleep 0.2
    done
    echo "the screen did not settle within 60 s ($name)"
    return 1
}

# holds SECONDS COMMAND...: COMMAND succeeds on every try for SECONDS (what a
# paused view must keep doing); false at its first failure.
holds() {
    local until_=$((SECONDS + $1))
    shift
    while [ "$SECONDS" -lt "$until_" ]; do
        "$@" || return 1
        sleep 0.2
    done
}
