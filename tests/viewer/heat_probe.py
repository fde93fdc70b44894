#!/usr/bin/env python3
"""Finds heat on a screenshot of the viewer.

usage: heat_probe.py SHOT.ppm X0 Y0 X1 Y1
Prints "COUNT CX CY": the number of heat-coloured pixels inside the box
[X0, X1) x [Y0, Y1) and their centroid (-1 -1 when there are none). The map is
drawn in greys whose blue is at least their red; the colour table's upper half
(red, orange, yellow) has far more red than blue, so that is what counts.
"""
import sys


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    pos += 1
    if fields[0] != b"P6" or fields[3] != b"255":
        raise SystemExit("heat_probe: %s is not an 8-bit binary PPM" % path)
    return int(fields[1]), int(fields[2]), data[pos:]


def main():
    path = sys.argv[1]
    x0, y0, x1, y1 = (int(v) for v in sys.argv[2:6])
    width, height, pixels = read_ppm(path)
    count = sx = sy = 0
    for y in range(max(0, y0), min(height, y1)):
        row = y * width * 3
        for x in range(max(0, x0), min(width, x1)):
            i = row + x * 3
            r, b = pixels[i], pixels[i + 2]
            if r > 100 and r - b > 40:
                count += 1
                sx += x
                sy += y
    if count:
        print("%d %.1f %.1f" % (count, sx / count, sy / count))
    else:
        print("0 -1 -1")


main()
