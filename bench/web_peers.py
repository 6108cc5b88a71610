#!/usr/bin/python3
"""The peers of bench/web_bench.mjs, in one process: writes the 12-megapixel photograph-like
image the page is timed on (raw RGB bytes; RAW_OUT.native: the native result) and times, on the same pixels and in the same run,
veltrane.stretch on one thread (the native engine) and the NumPy recipe. Prints one JSON line.

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


def main():
    raw = sys.argv[1]
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    img = photo_like(3000, 4000)
    img.tofile(raw)
    out = np.empty_like(img)
    native = best(lambda: veltrane.stretch(img, offset=True, threads=1, out=out), repeats)
    numpy_time = best(lambda: numpy_stretch.dstretch(img), max(2, repeats // 2))
    out.tofile(raw + ".native")
    print(json.dumps({"width": img.shape[1], "height": img.shape[0], "native_one_thread": native,
                      "numpy": numpy_time}))


if __name__ == "__main__":
    main()
