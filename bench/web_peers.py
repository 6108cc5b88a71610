#!/usr/bin/python3
"""The peers of bench/web_bench.mjs, in one process: writes the 12-megapixel photograph-like
image the page is timed on (raw RGB bytes; RAW_OUT.native: the native result) and times, on the
same pixels and in the same run, veltrane.stretch on one thread (the native engine) and the
NumPy recipe. It also writes the images of uniform and grey areas that the page is timed on
beside the photograph (RAW_OUT.NAME and RAW_OUT.NAME.native), with the native engine's time on
each. Prints one JSON line.

usage: PYTHONPATH=build/release/python /usr/bin/python3 bench/web_peers.py RAW_OUT [REPEATS]
"""
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import numpy_stretch  # noqa: E402  the recipe a scientist writes
from python_bench import best, photo_like  # noqa: E402

import veltrane  # noqa: E402


def uniform_and_grey_areas(photo):
    """The photograph's companions of the same size: (name, description, image)."""
    height, width = photo.shape[:2]
    # The same kind of photograph, 2000 x 2667, in the middle of a black frame (56 % black).
    bordered = np.zeros_like(photo)
    h, w = height * 2 // 3, width * 2 // 3
    top, left = (height - h) // 2, (width - w) // 2
    bordered[top:top + h, left:left + w] = photo_like(h, w, seed=11)
    # The photograph's luminance in all three bands.
    luma = np.rint(photo @ np.array([0.299, 0.587, 0.114])).clip(0, 255).astype(np.uint8)
    grey = np.repeat(luma[:, :, None], 3, axis=2)
    uniform = np.empty_like(photo)
    uniform[:, :] = (196, 120, 64)
    return [("bordered", "photograph in a black border", bordered),
            ("grey", "greyscale photograph as RGB", grey),
            ("uniform", "one colour (196, 120, 64)", uniform)]


def main():
    raw = sys.argv[1]
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    img = photo_like(3000, 4000)
    img.tofile(raw)
    out = np.empty_like(img)
    native = best(lambda: veltrane.stretch(img, offset=True, threads=1, out=out), repeats)
    numpy_time = best(lambda: numpy_stretch.dstretch(img), max(2, repeats // 2))
    out.tofile(raw + ".native")
    others = []
    for name, description, other in uniform_and_grey_areas(img):
        other.tofile(raw + "." + name)
        time = best(lambda: veltrane.stretch(other, offset=True, threads=1, out=out), repeats)
        out.tofile(raw + "." + name + ".native")
        others.append({"name": name, "description": description, "native_one_thread": time})
    print(json.dumps({"width": img.shape[1], "height": img.shape[0], "native_one_thread": native,
                      "numpy": numpy_time, "others": others}))


if __name__ == "__main__":
    main()
