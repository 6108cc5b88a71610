"""The benchmarks' peers compute the stretch they are compared with: the NumPy and OpenCV
recipes of bench/ against veltrane.stretch on a real photograph."""

import os
import sys

import numpy as np
import pytest

vt = pytest.importorskip("veltrane")
cv2 = pytest.importorskip("cv2")

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
numpy_stretch = pytest.importorskip("numpy_stretch")
peer_stretch = pytest.importorskip("peer_stretch")

SAMPLES = os.environ.get(
    "VELTRANE_SAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "samples")
)


def test_recipes_give_the_offset_stretch_within_one_level():
    photo = cv2.cvtColor(cv2.imread(os.path.join(SAMPLES, "chelsea.png")), cv2.COLOR_BGR2RGB)
    # The photograph as bytes, and as signed 16-bit samples over their whole range.
    signed = (photo.astype(np.int32) * 257 - 32768).astype(np.int16)
    recipes = [numpy_stretch.dstretch, lambda a, p: peer_stretch.opencv_stretch(a, cv2, p)]
    for img in (photo, signed):
        for pairing in ("plugin", "direct"):
            want = vt.stretch(img, pairing=pairing).astype(np.int64)
            for recipe in recipes:
                got = recipe(img, pairing)
                assert got.dtype == img.dtype and got.shape == img.shape
                difference = np.abs(got.astype(np.int64) - want).max()
                assert difference <= 1, (img.dtype, pairing, recipe, difference)
