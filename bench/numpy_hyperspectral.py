#!/usr/bin/python3
"""The decorrelation stretch of a hyperspectral cube as a scientist writes it with NumPy: the
peer of the benchmark's hyperspectral row.

usage: numpy_hyperspectral.py RAW WIDTH HEIGHT BANDS REPEATS
RAW holds WIDTH x HEIGHT pixels of BANDS int16 samples each. Prints the best time of REPEATS
runs in seconds (reading the file is not timed).
"""
import sys
import time

import numpy as np


def dstretch(img, bands):
    x = img.reshape(-1, bands).astype(np.float64)
    corr = np.corrcoef(x, rowvar=False)        # band correlation matrix
    _, vectors = np.linalg.eigh(corr)          # principal axes
    vectors = vectors[:, ::-1]                 # largest eigenvalue first
    pcs = x @ vectors                          # rotate onto the axes
    low, high = pcs.min(axis=0), pcs.max(axis=0)
    span = np.where(high > low, high - low, 1.0)
    stretched = (pcs - low) * (65535.0 / span) - 32768.0   # every component spans int16
    out = stretched @ vectors.T                # rotate back
    return np.clip(np.rint(out), -32768, 32767).astype(np.int16).reshape(img.shape)


def main():
    path, width, height, bands, repeats = (sys.argv[1], int(sys.argv[2]), int(sys.argv[3]),
                                           int(sys.argv[4]), int(sys.argv[5]))
    img = np.fromfile(path, dtype=np.int16).reshape(height, width, bands)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        dstretch(img, bands)
        best = min(best, time.perf_counter() - start)
    print(f"{best:.6f}")


if __name__ == "__main__":
    main()
