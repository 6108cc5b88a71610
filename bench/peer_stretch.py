#!/usr/bin/python3
"""The offset decorrelation stretch as users write it with NumPy or OpenCV: the peers of the
engine benchmark.

usage: peer_stretch.py RAW WIDTH HEIGHT BANDS DTYPE REPEATS RECIPE
RAW holds WIDTH x HEIGHT interleaved pixels of BANDS samples of DTYPE (uint8, uint16, int16,
float32 or float64). RECIPE is numpy (corrcoef, eigh, matrix products, rint, clip), opencv
(calcCovarMatrix, eigen, one cv2.transform with the composed matrix, clip) or cvtransform (one
cv2.transform pass alone: the least an OpenCV user pays). Prints the best time of REPEATS runs
in seconds; reading the file is not timed.
"""
import sys
import time

import numpy as np

# Each type's range, which the offset stretch spans: (bottom, top).
RANGE = {"uint8": (0.0, 255.0), "uint16": (0.0, 65535.0), "int16": (-32768.0, 32767.0),
         "float32": (0.0, 1.0), "float64": (0.0, 1.0)}


def numpy_stretch(img, bottom, top):
    bands = img.shape[-1]
    x = img.reshape(-1, bands).astype(np.float64)
    corr = np.corrcoef(x, rowvar=False)
    _, vectors = np.linalg.eigh(corr)
    vectors = vectors[:, ::-1]
    pcs = x @ vectors
    low, high = pcs.min(axis=0), pcs.max(axis=0)
    span = np.where(high > low, high - low, 1.0)
    out = ((pcs - low) * ((top - bottom) / span)) @ vectors.T + bottom
    if img.dtype.kind != "f":
        out = np.clip(np.rint(out), bottom, top)
    return out.astype(img.dtype).reshape(img.shape)


def cv_map(img, m, cv2):
    """One affine map over every pixel: cv2.transform up to 4 bands, cv2.gemm beyond."""
    bands = img.shape[-1]
    if bands <= 4:
        return cv2.transform(img.reshape(-1, 1, bands), m)
    flat = img.reshape(-1, bands).astype(np.float32)
    offset = np.tile(m[:, -1].astype(np.float32), (flat.shape[0], 1))
    return cv2.gemm(flat, m[:, :-1].T.astype(np.float32), 1, offset, 1)


def opencv_stretch(img, bottom, top, cv2):
    bands = img.shape[-1]
    flat = img.reshape(-1, bands)
    cov, mean = cv2.calcCovarMatrix(flat, None, cv2.COVAR_NORMAL | cv2.COVAR_ROWS | cv2.COVAR_SCALE)
    _, _, vectors = cv2.eigen(cov)               # rows are eigenvectors, largest first
    pcs = cv_map(img.astype(np.float32), np.hstack([vectors, np.zeros((bands, 1))]), cv2)
    low = pcs.reshape(-1, bands).min(axis=0).astype(np.float64)
    high = pcs.reshape(-1, bands).max(axis=0).astype(np.float64)
    scale = (top - bottom) / np.where(high > low, high - low, 1.0)
    # out = V' diag(scale) (V x - low) + bottom: rotate, stretch to the range, rotate back.
    m = np.hstack([vectors.T @ np.diag(scale) @ vectors,
                   (bottom - vectors.T @ (scale * low))[:, None]])
    out = cv_map(img, m, cv2)
    if img.dtype.kind != "f":
        out = np.clip(np.rint(out), bottom, top)
    return out.astype(img.dtype).reshape(img.shape)


def main():
    path, width, height, bands = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    dtype, repeats, recipe = sys.argv[5], int(sys.argv[6]), sys.argv[7]
    img = np.fromfile(path, dtype=dtype).reshape(height, width, bands)
    bottom, top = RANGE[dtype]
    if recipe != "numpy":
        import cv2
    m = np.hstack([np.eye(bands), np.zeros((bands, 1))]) * 0.9
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        if recipe == "numpy":
            numpy_stretch(img, bottom, top)
        elif recipe == "opencv":
            opencv_stretch(img, bottom, top, cv2)
        else:
            cv_map(img, m, cv2)
        best = min(best, time.perf_counter() - start)
    print(f"{best:.6f}")


if __name__ == "__main__":
    main()
