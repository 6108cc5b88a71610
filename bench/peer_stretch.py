#!/usr/bin/python3
"""The offset decorrelation stretch as users write it with NumPy or OpenCV: the peers of the
engine benchmark.

usage: peer_stretch.py RAW WIDTH HEIGHT BANDS DTYPE REPEATS RECIPE
RAW holds WIDTH x HEIGHT interleaved pixels of BANDS samples of DTYPE (uint8, uint16, int16,
float32 or float64). RECIPE is numpy (numpy_stretch.py: corrcoef, eigh, matrix products, rint,
clip), opencv (calcCovarMatrix, the correlations from it, eigen, the components by
cv2.transform and their extremes by cv2.reduce, then one cv2.transform with the composed
matrix, whose integer outputs saturate; cv2.gemm beyond four bands, then rint and clip) or
cvtransform (one cv2.transform pass alone: the least an OpenCV user pays). Both recipes
compute veltrane's offset stretch. Prints the best time of REPEATS runs in seconds;
reading the file is not timed.
"""
import sys

import numpy as np

import numpy_stretch


def cv_map(img, m, cv2):
    """One affine map over every pixel: cv2.transform up to 4 bands, cv2.gemm beyond."""
    bands = img.shape[-1]
    if bands <= 4:
        return cv2.transform(img.reshape(-1, 1, bands), m)
    flat = img.reshape(-1, bands).astype(np.float32)
    offset = np.tile(m[:, -1].astype(np.float32), (flat.shape[0], 1))
    return cv2.gemm(flat, m[:, :-1].T.astype(np.float32), 1, offset, 1)


def opencv_stretch(img, cv2, pairing="plugin"):
    bands = img.shape[-1]
    bottom, top = numpy_stretch.type_range(img.dtype)
    flat = img.reshape(-1, bands)
    cov, _ = cv2.calcCovarMatrix(flat, None, cv2.COVAR_NORMAL | cv2.COVAR_ROWS | cv2.COVAR_SCALE)
    deviation = np.sqrt(np.diag(cov))
    corr = cov / np.outer(deviation, deviation)
    _, _, rows = cv2.eigen(numpy_stretch.paired(corr, pairing))  # eigenvectors as rows
    pcs = cv_map(img.astype(np.float32), np.hstack([rows, np.zeros((bands, 1))]), cv2)
    pcs = pcs.reshape(-1, bands)
    low = cv2.reduce(pcs, 0, cv2.REDUCE_MIN)[0].astype(np.float64)
    high = cv2.reduce(pcs, 0, cv2.REDUCE_MAX)[0].astype(np.float64)
    scale, shift = numpy_stretch.offset_map(rows.T, low, high, bottom, top)
    # out = V' (diag(scale) V x + shift): rotate, stretch onto the cube's range, rotate back.
    m = np.hstack([rows.T @ np.diag(scale) @ rows, (rows.T @ shift)[:, None]])
    out = cv_map(img, m, cv2)
    if bands > 4 and img.dtype.kind != "f":  # cv2.gemm gives floats; cv2.transform saturates
        out = np.clip(np.rint(out), bottom, top).astype(img.dtype)
    return out.reshape(img.shape)


def main():
    path, width, height, bands = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    dtype, repeats, recipe = sys.argv[5], int(sys.argv[6]), sys.argv[7]
    img = numpy_stretch.read_raw(path, width, height, bands, dtype)
    if recipe == "numpy":
        run = lambda: numpy_stretch.dstretch(img)  # noqa: E731
    else:
        import cv2

        m = np.hstack([np.eye(bands), np.zeros((bands, 1))]) * 0.9
        if recipe == "opencv":
            run = lambda: opencv_stretch(img, cv2)  # noqa: E731
        else:
            run = lambda: cv_map(img, m, cv2)  # noqa: E731
    print(f"{numpy_stretch.best_seconds(run, repeats):.6f}")


if __name__ == "__main__":
    main()
