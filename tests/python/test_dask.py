"""veltrane.dask against the in-memory stretch of the whole image: the same bytes whatever the
chunking (ragged ones included), the scheduler (threads, worker processes, a worker lost
mid-run) and the selection."""

import os
import signal
import threading
import time

import numpy as np
import pytest

vt = pytest.importorskip("veltrane")
da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
vd = pytest.importorskip("veltrane.dask")

TOPS = {np.uint8: 255, np.uint16: 65535, np.float32: 1.0}


def image(height, width, bands, dtype, seed=1):
    """Photograph-like pixels: a smooth field per band, mixed so that the bands correlate,
    plus noise; integers span part of their range, floats lie in 0..1."""
    rng = np.random.RandomState(seed)
    yy, xx = np.mgrid[0:height, 0:width] / max(height, width)
    fields = [np.sin(3 * xx + k) * np.cos(2 * yy - k) for k in range(bands)]
    base = np.stack(fields, axis=2)
    mixed = 0.6 * base + 0.4 * base.mean(axis=2, keepdims=True)
    mixed += 0.05 * rng.standard_normal(mixed.shape)
    unit = 0.3 + 0.2 * (mixed - mixed.min()) / (mixed.max() - mixed.min())
    if dtype is np.float32:
        return unit.astype(np.float32)
    return np.rint(unit * TOPS[dtype]).astype(dtype)


RAGGED = ((5, 17, 30, 2), (13, 1, 40, 6))  # 54 x 60
CHUNKINGS = [(16, 16), (54, 60), RAGGED, (1, 60)]


def check_same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    if want.dtype == np.float32:
        # Float statistics pool compensated sums, whose last bits follow the additions' order.
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-5)
    else:
        assert np.array_equal(got, want)


# ---- The threaded scheduler ----------------------------------------------------------------


@pytest.mark.parametrize("chunks", CHUNKINGS)
@pytest.mark.parametrize(
    "dtype,bands,options",
    [
        (np.uint8, 3, {}),  # the plug-in pairing of three bands
        (np.uint8, 3, {"offset": False}),
        (np.uint16, 6, {"basis": "covariance"}),
        (np.uint16, 3, {"clip": 0.02}),
        (np.uint8, 6, {"clip": (0.01, 0.05), "offset": False}),
        (np.uint16, 3, {"target_sigma": 9000.0}),
        (np.uint16, 3, {"space": "ycbcr", "keep": (1,), "clip": 0.01}),
        (np.uint8, 3, {"pairing": "direct", "basis": "covariance"}),
        (np.float32, 3, {}),
        (np.float32, 6, {"clip": 0.03}),  # two passes
    ],
)
def test_same_as_in_memory(chunks, dtype, bands, options):
    img = image(54, 60, bands, dtype)
    want = vt.stretch(img, **options)
    got = vd.stretch(da.from_array(img, chunks=chunks + (bands,)), **options)
    assert got.chunks[:2] == da.from_array(img, chunks=chunks + (bands,)).chunks[:2]
    check_same(got.compute(scheduler="threads"), want)


@pytest.mark.parametrize(
    "selection",
    [
        {"sample": (7, 3, 31, 40)},
        {"sample": (7, 3, 31, 40), "every": 3},  # phase off every chunk's edge
        {"every": 4},
        {"sample": (21, 18, 2, 2)},  # inside one chunk of RAGGED
        {"mask": "disc"},
        {"mask": "disc", "sample": (2, 5, -1, 30), "every": 2, "nodata": 128},
    ],
)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_selections_across_chunks(selection, dtype):
    img = image(54, 60, 3, dtype, seed=2)
    selection = dict(selection)
    if selection.get("mask") == "disc":
        yy, xx = np.mgrid[0:54, 0:60]
        selection["mask"] = (((yy - 30) ** 2 + (xx - 25) ** 2) < 300).astype(np.uint8)
    if "nodata" in selection:
        img[10:20, 10:40] = selection["nodata"]
    for clip in (None, 0.05):
        options = dict(selection, **({} if clip is None else {"clip": clip}))
        want = vt.stretch(img, **options)
        for chunks in (RAGGED, (8, 11)):
            darr = da.from_array(img, chunks=chunks + (3,))
            if "mask" in options:  # a dask mask chunked otherwise: it is rechunked to fit
                options["mask"] = da.from_array(selection["mask"], chunks=(20, 20))
            got = vd.stretch(darr, **options).compute(scheduler="threads")
            check_same(got, want)
    # The statistics count exactly the selected pixels, here counted by hand.
    sel = np.zeros((54, 60), bool)
    x, y, w, h = selection.get("sample", (0, 0, -1, -1))
    k = selection.get("every", 1)
    sel[y : 54 if h < 0 else y + h : k, x : 60 if w < 0 else x + w : k] = True
    if "mask" in selection:
        sel &= selection["mask"] != 0
    if "nodata" in selection:
        sel &= ~np.all(img == selection["nodata"], axis=2)
    s = vd.statistics(da.from_array(img, chunks=RAGGED + (3,)), **selection)
    assert s == vt.statistics(img, **selection)
    assert s.count == sel.sum()


def test_series_pools_into_one_transform():
    # With every pixel selected, a series pools exactly as its images stacked into one.
    a, b = image(30, 60, 3, np.uint16, seed=3), image(24, 60, 3, np.uint16, seed=4)
    b[:, :, 1] //= 2
    stacked = np.concatenate([a, b])
    for options in ({}, {"clip": 0.01}, {"target_mean": 30000.0}):
        want = vt.stretch(stacked, **options)
        got = vd.stretch([da.from_array(a, chunks=(7, 25, 3)), da.from_array(b, chunks=(11, 9, 3))],
                         **options)
        check_same(np.concatenate(dask.compute(*got, scheduler="threads")), want)
    s = vd.statistics([da.from_array(a, chunks=(9, 9, 3)), da.from_array(b, chunks=(9, 9, 3))])
    assert s == vt.statistics(stacked)


def test_refusals():
    darr = da.from_array(image(20, 20, 3, np.uint8), chunks=(8, 8, 3))
    with pytest.raises(ValueError, match="rectangle"):
        vd.stretch(darr, sample=(10, 10, 11, 5))
    with pytest.raises(ValueError, match="every"):
        vd.statistics(darr, every=0)
    with pytest.raises(ValueError, match="mask"):
        vd.statistics(darr, mask=np.ones((20, 21), np.uint8))
    with pytest.raises(ValueError, match="masks"):
        vd.statistics([darr, darr], mask=[None])
    with pytest.raises(ValueError, match="3-band uint8 images, not 3-band uint16"):
        vd.apply(darr.astype(np.uint16), vt.fit(darr.compute()))
    # Nothing selected: no chunk holds a selected pixel; the statistics count none, and the fit
    # refuses as the in-memory one does.
    with pytest.raises(ValueError, match="^no pixels selected"):
        vd.stretch(darr, sample=(3, 3, 0, 0))
    with pytest.raises(ValueError, match=r"^no pixels selected \(sample 3,3,0,0\)"):
        vt.stretch(darr.compute(), sample=(3, 3, 0, 0))
    assert vd.statistics(darr, sample=(3, 3, 0, 0)).count == 0


def test_threads_and_unknown_chunk_sizes():
    img = image(54, 60, 3, np.uint16, seed=6)
    darr = da.from_array(img, chunks=(16, 16, 3))
    want = vt.stretch(img, clip=0.01)
    for threads in (0, 2):  # each chunk's engine call on more threads: the same bytes
        check_same(vd.stretch(darr, clip=0.01, threads=threads).compute(), want)
    with pytest.raises(ValueError, match="threads"):
        vd.stretch(darr, threads=-1)

    # Boolean indexing leaves the rows' chunk sizes unknown: the selections cannot be placed.
    even = da.from_array(np.arange(54) % 2 == 0, chunks=16)
    unknown = "the chunk sizes of the %s are unknown.*compute_chunk_sizes\\(\\)"
    for call in (vd.statistics, vd.fit, vd.stretch):
        with pytest.raises(ValueError, match="^images: " + unknown % "image"):
            call(darr[even])
    mask = da.ones((108, 60), np.uint8, chunks=16)[da.arange(108, chunks=16) % 2 == 0]
    with pytest.raises(ValueError, match="^mask: " + unknown % "mask"):
        vd.statistics(darr, mask=mask)
    # Mapping needs no sizes; and once computed, the fit is that of the rows in memory.
    t = vt.fit(img)
    assert np.array_equal(vd.apply(darr[even], t).compute(), t.apply(img[::2]))
    rows = darr[even].compute_chunk_sizes()
    check_same(vd.stretch(rows).compute(), vt.stretch(img[::2]))


def test_only_selected_chunks_are_read():
    read = []

    def chunk(block_info=None):
        loc = block_info[None]["array-location"]
        read.append((loc[0][0], loc[1][0]))
        return np.full(block_info[None]["chunk-shape"], 7, np.uint8)

    darr = da.map_blocks(chunk, chunks=((10,) * 4, (10,) * 4, (3,)), dtype=np.uint8)
    vd.statistics(darr, sample=(12, 3, 5, 20), scheduler="sync")
    assert sorted(set(read)) == [(0, 10), (10, 10), (20, 10)]


# ---- Worker processes (dask.distributed) ---------------------------------------------------


def _slow_pixels(block_info=None):
    # Pixels from their coordinates alone, slowly, so that tasks are still running when a
    # worker is lost.
    time.sleep(0.02)
    (y0, y1), (x0, x1), _ = block_info[None]["array-location"]
    yy, xx = np.mgrid[y0:y1, x0:x1]
    bands = [(yy * 7 + xx * 3) % 251, (yy * 5 + xx * 11 + 40) % 241, (yy * xx + 9) % 233]
    return np.stack(bands, axis=2).astype(np.uint16) * 200


def test_worker_processes_and_a_worker_lost_mid_run():
    distributed = pytest.importorskip("distributed")
    slow = da.map_blocks(_slow_pixels, chunks=((12,) * 8, (10,) * 8, (3,)), dtype=np.uint16)
    slow_want = vt.stretch(slow.compute(scheduler="sync"), clip=0.01)
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    )
    client = distributed.Client(cluster)  # from here the default scheduler
    try:
        for dtype, bands, options in [
            (np.uint16, 6, {"clip": 0.02}),
            (np.uint8, 3, {"every": 3, "sample": (5, 4, 40, 45)}),
            (np.float32, 3, {"clip": 0.01}),
        ]:
            img = image(54, 60, bands, dtype, seed=5)
            got = vd.stretch(da.from_array(img, chunks=RAGGED + (bands,)), **options)
            check_same(got.compute(), vt.stretch(img, **options))

        # One worker process killed once tasks run: its tasks run again on the other.
        victim = sorted(client.run(os.getpid).values())[0]
        killed = threading.Event()

        def kill_when_busy():
            for _ in range(2000):
                if any(client.processing().values()):
                    os.kill(victim, signal.SIGKILL)
                    killed.set()
                    return
                time.sleep(0.005)

        killer = threading.Thread(target=kill_when_busy)
        killer.start()
        got = vd.stretch(slow, clip=0.01).compute()
        killer.join()
        assert killed.is_set() and victim not in client.run(os.getpid).values()
        assert np.array_equal(got, slow_want)
    finally:
        client.close()
        cluster.close()
