#!/usr/bin/python3
"""veltrane.dask on an image several times larger than a worker's memory, and the cost of its
task graphs against Dask's own reductions.

usage: dask_bench.py [--size-mb 1024] [--chunk 1024] [--workers 2] [--memory-limit 200MB]
                     [--clip FRACTION] [--no-reference]
       dask_bench.py --graphs [--chunk 64] [--repeats 3] [--scheduler threads]

A LocalCluster of worker processes (one thread each, the given memory limit each) fits and
applies the stretch to a three-band 8-bit image of about SIZE-MB megabytes generated chunk by
chunk inside the tasks, so that no process ever holds the image. The output goes to a sink
that reduces each chunk to a SHA-256 digest, so nothing image-sized is gathered either. Then
the same image is built in this process and stretched in memory by veltrane.stretch, and the
digests of its chunks are compared with the workers' (--no-reference skips that). Prints the
times, the throughput, and each worker's peak resident memory (ru_maxrss) beside its limit.

--graphs: what the schedulers pay for many chunks. A three-band 8-bit image in memory, cut
into 400, 1,600 and 6,400 chunks of CHUNK x CHUNK pixels (default 64), read through
dask.array.from_array; on the same array in the same run, best of REPEATS each:
arr.sum().compute(), veltrane.dask.statistics, veltrane.dask.fit and
veltrane.dask.fit(clip=0.01), each veltrane time also as a multiple of the sum's. The fits are
checked against veltrane.fit of the whole image in memory (the same transform, exactly).

Run with PYTHONPATH pointing at a build's python package directory and Debian's
python3-dask and python3-distributed.
"""

import argparse
import hashlib
import os
import resource
import sys
import time

import numpy as np


def tile(block_info=None):
    """The chunk of the image at its place: smooth correlated bands plus noise, from its
    coordinates and a seed of its place alone (any process makes the same pixels)."""
    (y0, y1), (x0, x1), _ = block_info[None]["array-location"]
    yy = np.arange(y0, y1, dtype=np.float32)[:, None] / 4096.0
    xx = np.arange(x0, x1, dtype=np.float32)[None, :] / 4096.0
    light = 90.0 + 60.0 * np.sin(5.0 * xx + 1.3) * np.cos(3.0 * yy)  # shared by every band
    rng = np.random.default_rng([y0, x0])
    out = np.empty((y1 - y0, x1 - x0, 3), np.uint8)
    for b, (gain, tint) in enumerate(((1.0, 10.0), (0.8, 30.0), (0.6, 45.0))):
        noise = rng.integers(0, 24, size=(y1 - y0, x1 - x0), dtype=np.uint8)
        band = gain * light + tint * np.cos(2.0 * xx - 3.0 * yy + b)
        out[:, :, b] = np.clip(band, 0, 231).astype(np.uint8) + noise
    return out


def digest(block):
    return hashlib.sha256(np.ascontiguousarray(block).tobytes()).hexdigest()


def peak_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def best(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def graphs(args):
    """The reductions' cost in the schedulers, against arr.sum() on the same array."""
    import dask.array as da

    import veltrane
    import veltrane.dask

    chunk = args.chunk or 64
    compute = {"scheduler": args.scheduler}
    print(
        f"{chunk} x {chunk} x 3 uint8 chunks in memory (dask.array.from_array), scheduler "
        f"{args.scheduler}, best of {args.repeats}; (x): the time over arr.sum()'s"
    )
    print(
        f"{'chunks':>7} {'image':>16} | {'sum s':>7} | {'statistics s':>16} {'fit s':>16} "
        f"{'fit clip=0.01 s':>16} | same fit"
    )
    ok = True
    for side in (20, 40, 80):
        size = side * chunk
        location = [(0, size), (0, size), (0, 3)]
        whole = tile({None: {"array-location": location}})
        arr = da.from_array(whole, chunks=(chunk, chunk, 3))
        total = best(lambda: arr.sum().compute(**compute), args.repeats)
        runs = {
            "statistics": lambda: veltrane.dask.statistics(arr, scheduler=args.scheduler),
            "fit": lambda: veltrane.dask.fit(arr, scheduler=args.scheduler),
            "clip": lambda: veltrane.dask.fit(arr, clip=0.01, scheduler=args.scheduler),
        }
        seconds = {name: best(run, args.repeats) for name, run in runs.items()}
        same = (
            runs["fit"]() == veltrane.fit(whole)
            and runs["clip"]() == veltrane.fit(whole, clip=0.01)
            and runs["statistics"]() == veltrane.statistics(whole)
        )
        ok = ok and same
        cells = " ".join(
            f"{seconds[name]:8.3f} ({seconds[name] / total:4.2f}x)" for name in runs
        )
        print(
            f"{arr.npartitions:7d} {f'{size} x {size} x 3':>16} | {total:7.3f} | {cells} | "
            f"{'yes' if same else 'NO'}"
        )
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size-mb", type=float, default=1024)
    parser.add_argument("--chunk", type=int, default=None)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--memory-limit", default="200MB")
    parser.add_argument("--clip", type=float, default=None)
    parser.add_argument("--no-reference", action="store_true")
    parser.add_argument("--graphs", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--scheduler", default="threads")
    args = parser.parse_args()
    if args.graphs:
        return graphs(args)
    args.chunk = args.chunk or 1024

    import dask
    import dask.array as da
    import distributed

    import veltrane
    import veltrane.dask

    side = int((args.size_mb * 1e6 / 3) ** 0.5) // args.chunk * args.chunk
    image = da.map_blocks(
        tile,
        chunks=((args.chunk,) * (side // args.chunk), (args.chunk,) * (side // args.chunk), (3,)),
        dtype=np.uint8,
    )
    options = {} if args.clip is None else {"clip": args.clip}
    print(
        f"image {side} x {side} x 3 uint8 = {image.nbytes / 1e6:.0f} MB in {image.npartitions} "
        f"chunks of {args.chunk} x {args.chunk}; {args.workers} workers x 1 thread, "
        f"memory limit {args.memory_limit} each; options {options or 'none'}"
    )

    cluster = distributed.LocalCluster(
        n_workers=args.workers,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        memory_limit=args.memory_limit,
    )
    client = distributed.Client(cluster)
    try:
        pids = client.run(os.getpid)
        # The cost of reading the source once: every chunk generated and digested, no stretch.
        start = time.perf_counter()
        dask.compute(*[dask.delayed(digest)(b) for b in image.to_delayed().ravel()])
        baseline = time.perf_counter() - start
        start = time.perf_counter()
        transform = veltrane.dask.fit(image, **options)
        fitted = time.perf_counter()
        out = veltrane.dask.apply(image, transform)
        blocks = out.to_delayed()
        sink = [dask.delayed(digest)(b) for b in blocks.ravel()]
        got = dask.compute(*sink)
        done = time.perf_counter()
        peaks = client.run(peak_kb)
        restarted = sorted(set(pids.values()) - set(client.run(os.getpid).values()))
    finally:
        client.close()
        cluster.close()

    mp = side * side / 1e6
    passes = 2 + (args.clip is not None) + 1  # statistics, ranges, clip, application
    print(f"one pass generating and digesting the source alone: {baseline:7.2f} s")
    print(f"fit   (dask): {fitted - start:7.2f} s  ({passes - 1} passes over the image)")
    print(f"apply (dask): {done - fitted:7.2f} s  (application and per-chunk digests)")
    print(f"total (dask): {done - start:7.2f} s  {mp * passes / (done - start):7.1f} MP/s read")
    for address, kb in sorted(peaks.items()):
        print(f"worker {address}: peak resident {kb / 1024:6.1f} MB (limit {args.memory_limit})")
    print(f"workers restarted: {len(restarted)}")

    if args.no_reference:
        return 0
    whole = np.empty(image.shape, np.uint8)
    for i, rows in enumerate(np.cumsum((0,) + image.chunks[0])[:-1]):
        for j, cols in enumerate(np.cumsum((0,) + image.chunks[1])[:-1]):
            loc = [(rows, rows + args.chunk), (cols, cols + args.chunk), (0, 3)]
            piece = tile({None: {"array-location": loc}})
            whole[loc[0][0] : loc[0][1], loc[1][0] : loc[1][1]] = piece
    start = time.perf_counter()
    want = veltrane.stretch(whole, **options)
    memory = time.perf_counter() - start
    del whole
    expected = [
        digest(want[y : y + args.chunk, x : x + args.chunk])
        for y in range(0, side, args.chunk)
        for x in range(0, side, args.chunk)
    ]
    same = sum(a == b for a, b in zip(got, expected))
    print(f"in memory (this process): {memory:7.2f} s; peak resident {peak_kb() / 1024:.0f} MB")
    print(f"chunks equal to the in-memory stretch: {same} of {len(expected)}")
    return 0 if same == len(expected) else 1


if __name__ == "__main__":
    sys.exit(main())
