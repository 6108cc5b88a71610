#!/usr/bin/python3
"""The decorrelation stretch as a scientist writes it with NumPy: the peer of the benchmark.

usage: numpy_stretch.py RAW WIDTH HEIGHT REPEATS
RAW holds WIDTH x HEIGHT pixels of three bytes. Prints the best time of REPEATS runs in
seconds (reading the file is not timed).
"""
import sys
import time

import numpy as np


def dstretch(img):
    x = img.reshape(-1, 3).astype(np.float64)
    corr = np.corrcoef(x, rowvar=False)        # channel correlation matrix
    _, vectors = np.linalg.eigh(corr)          # principal axes
    vectors = vectors[:, ::-1]                 # largest eigenvalue first
    pcs = x @ vectors                          # rotate onto the axes
    low, high = pcs.min(axis=0), pcs.max(axis=0)
    span = np.where(high > low, high - low, 1.0)
    stretched = (pcs - low) * (255.0 / span)   # every component spans 0..255
    out = stretched @ vectors.T                # rotate back
    return np.clip(np.rint(out), 0, 255).astype(np.uint8).reshape(img.shape)


def main():
    path, width, height, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    img = np.fromfile(path, dtype=np.uint8).reshape(height, width, 3)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        dstretch(img)
        best = min(best, time.perf_counter() - start)
    print(f"{best:.6f}")


if __name__ == "__main__":
    main()
