"""Writes the window tests' GPS track from another city: a stay at Pike
Place Market (47.6097 N, 122.3422 W), then a walk south-west to north-east
through Seattle. usage: seattle_gpx.py OUT.gpx"""
import random
import sys

random.seed(3)
with open(sys.argv[1], "w") as f:
    f.write('<?xml version="1.0"?>\n<gpx version="1.1" creator="test" '
            'xmlns="http://www.topografix.com/GPX/1/1"><trk><trkseg>\n')
    for i in range(600):
        if i < 400:
            lat, lon = random.gauss(47.6097, 0.0002), random.gauss(-122.3422, 0.0002)
        else:
            lat, lon = 47.5897 + 0.0002 * (i - 400), -122.3722 + 0.0003 * (i - 400)
        f.write('<trkpt lat="%.6f" lon="%.6f"><time>2024-05-01T%02d:%02d:00Z</time></trkpt>\n'
                % (lat, lon, 8 + i // 60, i % 60))
    f.write('</trkseg></trk></gpx>\n')
