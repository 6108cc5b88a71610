#!/usr/bin/python3
"""The decorrelation stretch of a hyperspectral cube as a scientist writes it with NumPy: the
peer of the benchmark's hyperspectral row, the recipe of numpy_stretch.py on int16 samples.

usage: numpy_hyperspectral.py RAW WIDTH HEIGHT BANDS REPEATS
RAW holds WIDTH x HEIGHT pixels of BANDS int16 samples each. Prints the best time of REPEATS
runs in seconds (reading the file is not timed).
"""
import sys

import numpy_stretch

if __name__ == "__main__":
    path, width, height, bands, repeats = sys.argv[1:6]
    numpy_stretch.main([sys.argv[0], path, width, height, repeats, bands, "int16"])
