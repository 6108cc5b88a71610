#!/usr/bin/python3
"""veltrane.stretch against the NumPy and OpenCV recipes on one 12-megapixel photograph-like
array (4000 x 3000 x 3 bytes), in the same process: best of several runs each, and the ratios.
Both recipes compute the same offset stretch (numpy_stretch.py, peer_stretch.py); one
cv2.transform pass alone is timed too, the least an OpenCV user pays for the application.

usage: PYTHONPATH=build/release/python /usr/bin/python3 bench/python_bench.py [REPEATS]
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import numpy_stretch  # noqa: E402  the recipe a scientist writes
import peer_stretch  # noqa: E402  the same with OpenCV

import veltrane  # noqa: E402


def photo_like(height, width, seed=7):
    """Smooth, correlated bands with texture and noise, spanning most of the byte range."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    yy /= height
    xx /= width
    light = 0.5 + 0.3 * np.sin(5 * xx + 2 * yy) * np.cos(3 * yy - xx)
    texture = 0.08 * np.sin(97 * xx) * np.sin(61 * yy)
    bands = []
    for k, tint in enumerate((1.0, 0.85, 0.7)):
        band = tint * light + texture * (1 + 0.3 * k) + 0.03 * rng.standard_normal(light.shape)
        bands.append(band)
    img = np.stack(bands, axis=2)
    return np.clip(np.rint(img * 255), 0, 255).astype(np.uint8)


def best(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    img = photo_like(3000, 4000)
    mp = img.shape[0] * img.shape[1] / 1e6
    try:
        import cv2
    except ImportError:
        cv2 = None

    out = np.empty_like(img)
    vt_all = best(lambda: veltrane.stretch(img, threads=0, out=out), repeats)
    vt_one = best(lambda: veltrane.stretch(img, threads=1, out=out), repeats)
    peers = max(2, repeats // 2)
    np_time = best(lambda: numpy_stretch.dstretch(img), peers)
    cv_time = tf_time = None
    if cv2 is not None:
        cv_time = best(lambda: peer_stretch.opencv_stretch(img, cv2), peers)
        m = np.hstack([np.eye(3), np.zeros((3, 1))]) * 0.9
        tf_time = best(lambda: peer_stretch.cv_map(img, m, cv2), repeats)

    print(f"image: {img.shape[1]} x {img.shape[0]} x 3 uint8 ({mp:.1f} MP), best of "
          f"{repeats} (recipes {peers})")
    print(f"veltrane.stretch threads=0  {vt_all * 1e3:8.1f} ms  {mp / vt_all:7.1f} MP/s")
    print(f"veltrane.stretch threads=1  {vt_one * 1e3:8.1f} ms  {mp / vt_one:7.1f} MP/s")
    print(f"NumPy recipe                {np_time * 1e3:8.1f} ms  {mp / np_time:7.1f} MP/s")
    if cv2 is not None:
        print(f"OpenCV recipe               {cv_time * 1e3:8.1f} ms  {mp / cv_time:7.1f} MP/s")
        print(f"one cv2.transform pass      {tf_time * 1e3:8.1f} ms  {mp / tf_time:7.1f} MP/s")
    print(f"veltrane vs NumPy            {np_time / vt_all:6.1f}x   (goal 50x)")
    if cv2 is not None:
        print(f"veltrane vs OpenCV           {cv_time / vt_all:6.1f}x   (goal 10x)")
        print(f"veltrane vs cv2.transform    {tf_time / vt_all:6.2f}x   (the whole stretch "
              f"against one pass)")


if __name__ == "__main__":
    main()
