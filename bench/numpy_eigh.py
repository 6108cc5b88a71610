"""The peer of eigen_bench: NumPy's symmetric eigen-decomposition (LAPACK's syevd) of the
matrix the benchmark wrote, best of REPEATS runs; prints the seconds.

    python3 numpy_eigh.py MATRIX.raw N REPEATS
"""

import sys
import time

import numpy as np


def main():
    path, n, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    a = np.fromfile(path, dtype=np.float64).reshape(n, n)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        np.linalg.eigh(a)
        best = min(best, time.perf_counter() - start)
    print("%.9f" % best)


if __name__ == "__main__":
    main()
