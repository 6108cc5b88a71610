#!/usr/bin/python3
"""veltrane on large GeoTIFFs through GDAL against gdal_translate copying the same file.

Writes tiled, uncompressed GeoTIFFs with GDAL's Python bindings (correlated bands with
photograph-like fields and noise, a CRS and a geotransform), then times, in the same run and
on the same file, `gdal_translate IN OUT` with the input's tiling (the cost of reading and
writing the raster alone) and `veltrane stretch IN OUT --offset --threads 0` (statistics,
components' ranges and application: three passes over the input, one write), and prints each
one's time and peak resident memory (the child's maximum resident set, from wait4) and the
ratio of the two times.

usage: bench/gdal_bench.py [--veltrane PATH] [--dir DIR] [--quick]
  --quick: a 4000 x 4000 x 4 uint16 raster only (seconds), instead of 20000 x 20000 x 4
  uint16 (3.2 GB) and 65536 x 65536 x 1 uint8 (4.29 gigapixels, 4 GiB); about 20 GiB of disk.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time


def write_raster(path, width, height, bands, dtype):
    """A tiled GeoTIFF of correlated bands, written a row of tiles at a time (in a process of
    its own: the measured commands start from this small one, whose size a child's peak would
    count until it runs its program)."""
    import numpy as np
    from osgeo import gdal, osr

    gdal.UseExceptions()
    dtype = np.dtype(dtype).type
    gdal_type = {np.uint8: gdal.GDT_Byte, np.uint16: gdal.GDT_UInt16}[dtype]
    top = np.iinfo(dtype).max
    ds = gdal.GetDriverByName("GTiff").Create(
        str(path), width, height, bands, gdal_type,
        ["TILED=YES", "BLOCKXSIZE=512", "BLOCKYSIZE=512", "BIGTIFF=YES",
         "PHOTOMETRIC=MINISBLACK", "INTERLEAVE=PIXEL"])
    ds.SetGeoTransform([500000.0, 10.0, 0.0, 5000000.0, 0.0, -10.0])
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32633)
    ds.SetProjection(srs.ExportToWkt())
    rng = np.random.default_rng(1)
    x = np.arange(width, dtype=np.float32)
    for y0 in range(0, height, 512):
        rows = min(512, height - y0)
        y = np.arange(y0, y0 + rows, dtype=np.float32)[:, None]
        field = 0.5 + 0.3 * np.sin(x / 1700 + y / 2300) * np.cos(x / 900 - y / 1300)
        for b in range(bands):
            noise = rng.normal(0, 0.03, (rows, width)).astype(np.float32)
            band = np.clip((field * (0.8 + 0.1 * b) + 0.05 * b + noise) * top, 0, top)
            ds.GetRasterBand(b + 1).WriteArray(band.astype(dtype), 0, y0)
    ds = None


def timed(command):
    """(seconds, peak resident MiB) of a command run as a child process."""
    start = time.perf_counter()
    p = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(p.pid, 0)
    seconds = time.perf_counter() - start
    err = p.stderr.read().decode()
    p.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s failed: %s" % (command[0], err))
    return seconds, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--veltrane",
                        default=os.path.join(here, "..", "build", "release", "bin", "veltrane"))
    parser.add_argument("--dir", default=None)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--write", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.write:
        path, width, height, bands, dtype = args.write
        write_raster(path, int(width), int(height), int(bands), dtype)
        return
    folder = tempfile.mkdtemp(prefix="gdal_bench.", dir=args.dir)
    sizes = [(4000, 4000, 4, "uint16")] if args.quick else [
        (20000, 20000, 4, "uint16"), (65536, 65536, 1, "uint8")]
    print("| raster | file | gdal_translate | peak | veltrane stretch | peak | ratio |")
    print("|---|---|---|---|---|---|---|")
    try:
        for width, height, bands, dtype in sizes:
            src = os.path.join(folder, "in.tif")
            subprocess.run([sys.executable, __file__, "--write", src, str(width), str(height),
                            str(bands), dtype], check=True)
            size = os.path.getsize(src) / 2**30
            out = os.path.join(folder, "out.tif")
            copy = timed(["gdal_translate", "-q", "-co", "TILED=YES", "-co", "BLOCKXSIZE=512",
                          "-co", "BLOCKYSIZE=512", "-co", "BIGTIFF=YES", src, out])
            os.remove(out)
            stretch = timed([args.veltrane, "stretch", src, out, "--offset", "--threads", "0"])
            os.remove(out)
            os.remove(src)
            print("| %d x %d x %d %s | %.1f GiB | %.1f s | %.0f MiB | %.1f s | %.0f MiB | %.2f |"
                  % (width, height, bands, dtype, size, copy[0], copy[1],
                     stretch[0], stretch[1], stretch[0] / copy[0]), flush=True)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
