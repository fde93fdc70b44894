"""The route a user would take without this engine: numpy histogram2d plus
scipy.ndimage.gaussian_filter, with the same log-and-normalise steps.

usage: kde_numpy.py POINTS.bin SIGMA SIZE REPEATS
Prints one line: "numpy_ms MEDIAN".
"""
import sys
import time

import numpy as np
from scipy import ndimage


def main():
    path, sigma, size, repeats = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    records = np.fromfile(path, dtype=np.dtype([("x", "<f4"), ("y", "<f4"), ("mode", "<i4"), ("time", "<i4")]))
    x, y = records["x"], records["y"]
    truncate = (size // 2) / sigma  # the filter's radius equals the table's half side
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        counts, _, _ = np.histogram2d(x, y, bins=1000, range=[[0.0, 1.0], [0.0, 1.0]])
        density = ndimage.gaussian_filter(counts.astype(np.float32), sigma=sigma, mode="constant",
                                          truncate=truncate)
        nonzero = density != 0
        density[nonzero] = np.log(density[nonzero])
        peak = density.max()
        grid = density / peak if peak > 0 and np.isfinite(peak) else np.zeros_like(density)
        times.append((time.perf_counter() - start) * 1000.0)
        del grid
    print("numpy_ms %.1f" % float(np.median(times)))


if __name__ == "__main__":
    main()
