#!/usr/bin/python3
"""The offset decorrelation stretch as a scientist writes it with NumPy: the peer of the
benchmarks, and the recipe the others (numpy_hyperspectral.py, peer_stretch.py,
python_bench.py) take from here.

usage: numpy_stretch.py RAW WIDTH HEIGHT REPEATS [BANDS DTYPE]
RAW holds WIDTH x HEIGHT interleaved pixels of BANDS samples (default 3) of DTYPE (default
uint8). Prints the best time of REPEATS runs in seconds (reading the file is not timed).

It computes veltrane's offset stretch (docs/controls.md): the principal axes of the bands'
correlation matrix; each component moved and scaled so that the image's pixels span exactly
the range that component takes over the cube of all colours (a weight's end of the type's
range where the weight is positive, the other end where it is negative); rotated back, and
integers rounded half to even and clamped. Three bands pair as veltrane's default pairing
pairs them: the axes are those of the correlations of the bands read last to first, applied
to the bands first to last (pairing="direct": one order). tests/python/test_bench_peers.py
holds both to veltrane.stretch within one level.
"""
import sys
import time

import numpy as np


def type_range(dtype):
    """(bottom, top) of a sample type: the integers' own range, 0..1 for floats."""
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return 0.0, 1.0
    info = np.iinfo(dtype)
    return float(info.min), float(info.max)


def offset_map(vectors, low, high, bottom, top):
    """(scale, shift) of each component (a column of vectors) that takes its extremes low and
    high over the image onto its extremes over the cube [bottom, top]^n; a component that
    does not vary keeps its values."""
    positive = np.where(vectors > 0, vectors, 0.0).sum(axis=0)
    negative = vectors.sum(axis=0) - positive
    cube_low = bottom * positive + top * negative
    cube_high = top * positive + bottom * negative
    varies = high > low
    scale = np.where(varies, (cube_high - cube_low) / np.where(varies, high - low, 1.0), 1.0)
    shift = np.where(varies, cube_low - low * scale, 0.0)
    return scale, shift


def paired(corr, pairing):
    """The correlations whose axes the stretch takes: three bands in the plug-in's pairing
    are measured last to first."""
    return corr[::-1, ::-1] if pairing == "plugin" and len(corr) == 3 else corr


def dstretch(img, pairing="plugin"):
    """The offset stretch of an H x W x N (or H x W) array, of its own sample type."""
    bottom, top = type_range(img.dtype)
    bands = img.shape[2] if img.ndim == 3 else 1
    x = img.reshape(-1, bands).astype(np.float64)
    corr = np.atleast_2d(np.corrcoef(x, rowvar=False))  # band correlation matrix
    _, vectors = np.linalg.eigh(paired(corr, pairing))     # principal axes, as columns
    pcs = x @ vectors                                      # rotate onto the axes
    scale, shift = offset_map(vectors, pcs.min(axis=0), pcs.max(axis=0), bottom, top)
    out = (pcs * scale + shift) @ vectors.T                # stretch, rotate back
    if img.dtype.kind != "f":
        out = np.clip(np.rint(out), bottom, top)
    return out.astype(img.dtype).reshape(img.shape)


def best_seconds(run, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def read_raw(path, width, height, bands, dtype):
    return np.fromfile(path, dtype=dtype).reshape(height, width, bands)


def main(argv):
    path, width, height, repeats = argv[1], int(argv[2]), int(argv[3]), int(argv[4])
    bands = int(argv[5]) if len(argv) > 5 else 3
    dtype = argv[6] if len(argv) > 6 else "uint8"
    img = read_raw(path, width, height, bands, dtype)
    print(f"{best_seconds(lambda: dstretch(img), repeats):.6f}")


if __name__ == "__main__":
    main(sys.argv)
