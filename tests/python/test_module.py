"""The veltrane module against the command line's own files (the host reads and writes them and
orients the bands by its own code), against NumPy formulas, and against itself across memory
layouts, pieces, pickling and threads."""

import os
import pickle
import re
import subprocess

import numpy as np
import pytest

vt = pytest.importorskip("veltrane")
cv2 = pytest.importorskip("cv2")

SAMPLES = os.environ.get(
    "VELTRANE_SAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "samples")
)


def sample(name):
    return cv2.cvtColor(cv2.imread(os.path.join(SAMPLES, name)), cv2.COLOR_BGR2RGB)


def wide(img, dtype, seed=3):
    """A sample's pixels as 16-bit or float samples, with noise below 8 bits."""
    rng = np.random.RandomState(seed)
    x = img.astype(np.float64) * 257 + rng.randint(0, 257, img.shape)
    return x.astype(np.uint16) if dtype == np.uint16 else (x / 65535).astype(np.float32)


def run_host(host, tmp_path, img, args, command="stretch"):
    """The command line's result for img written as a file (PNG for 8-bit RGB, TIFF else)."""
    tifffile = pytest.importorskip("tifffile")
    rgb8 = img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] == 3
    ext = ".png" if rgb8 else ".tif"
    src, dst = tmp_path / ("in" + ext), tmp_path / ("out" + ext)
    if rgb8:
        cv2.imwrite(str(src), cv2.cvtColor(img, cv2.COLOR_RGB2BGR))
    else:
        photometric = "rgb" if img.ndim == 3 and img.shape[2] == 3 else "minisblack"
        tifffile.imwrite(str(src), img, photometric=photometric, planarconfig="contig")
    subprocess.run([host, command, str(src), str(dst)] + args, check=True, capture_output=True)
    if rgb8:
        return cv2.cvtColor(cv2.imread(str(dst)), cv2.COLOR_BGR2RGB)
    return tifffile.imread(str(dst))


CASES = [
    (["--offset"], {}),
    (["--no-offset"], {"offset": False}),
    (["--offset", "--basis", "covariance"], {"basis": "covariance"}),
    (["--offset", "--space", "ycbcr", "--keep", "1"], {"space": "ycbcr", "keep": (1,)}),
    (["--offset", "--clip", "0.01"], {"clip": 0.01}),
    (["--target-sigma", "50"], {"target_sigma": 50}),
    (["--offset", "--sample", "130,85,220,80", "--every", "3"],
     {"sample": (130, 85, 220, 80), "every": 3}),
    (["--no-offset", "--pairing", "direct"], {"offset": False, "pairing": "direct"}),
]


@pytest.mark.parametrize("name", ["chelsea.png", "rocket.jpg"])
@pytest.mark.parametrize("args,options", CASES)
def test_bytes_equal_the_command_line(host, tmp_path, name, args, options):
    img = sample(name)
    np.testing.assert_array_equal(vt.stretch(img, **options), run_host(host, tmp_path, img, args))


@pytest.mark.parametrize(
    "dtype,bands,args,options",
    [
        (np.uint16, 3, ["--offset"], {}),
        (np.uint16, 3, ["--offset", "--clip", "0.02,0.01"], {"clip": (0.02, 0.01)}),
        (np.float32, 3, ["--no-offset"], {"offset": False}),
        (np.float32, 3, ["--offset", "--clip", "0.01"], {"clip": 0.01}),
        (np.uint8, 6, ["--offset"], {}),
        (np.uint16, 6, ["--target-mean", "30000", "--target-sigma", "9000"],
         {"target_mean": 30000, "target_sigma": 9000}),
    ],
)
def test_tiffs_equal_the_command_line(host, tmp_path, dtype, bands, args, options):
    img = sample("chelsea.png")[::2, ::2]
    if bands == 6:
        img = np.concatenate([img, 255 - img[:, ::-1]], axis=2)
    if dtype != np.uint8:
        img = wide(img, dtype)
    np.testing.assert_array_equal(vt.stretch(img, **options), run_host(host, tmp_path, img, args))


def test_transform_files_pass_between_module_and_command_line(host, tmp_path):
    img = sample("chelsea.png")
    saved = tmp_path / "cli.json"
    by_host = run_host(host, tmp_path, img, ["--offset", "--clip", "0.01", "--save-transform",
                                             str(saved)])
    t = vt.Transform.load(str(saved))
    np.testing.assert_array_equal(t.apply(img), by_host)
    assert t == vt.fit(img, clip=0.01)
    # The other way: a transform of the module applied by `veltrane apply`.
    mine = vt.fit(img[100:, 200:], space="yiq", keep=[1])
    mine.save(str(tmp_path / "py.json"))
    applied = run_host(host, tmp_path, img, ["--transform", str(tmp_path / "py.json")], "apply")
    np.testing.assert_array_equal(applied, mine.apply(img))
    assert vt.Transform.from_json(mine.to_json()) == mine


def layouts(img):
    """The same pixels in other memory layouts, as views."""
    fortran = np.asfortranarray(img)
    flipped = np.ascontiguousarray(img[::-1, ::-1, ::-1])[::-1, ::-1, ::-1]
    padded = np.zeros((img.shape[0] * 2, img.shape[1] + 5, img.shape[2] + 1), img.dtype)
    padded[::2, 3:-2, :-1] = img
    transposed = np.ascontiguousarray(img.transpose(1, 0, 2)).transpose(1, 0, 2)
    return [fortran, flipped, padded[::2, 3:-2, :-1], transposed]


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_layouts_and_out(dtype):
    img = sample("rocket.jpg")[:200, :300]
    img = img if dtype == np.uint8 else wide(img, dtype)
    want = vt.stretch(img, clip=0.01)
    for view in layouts(img):
        assert not view.flags.c_contiguous
        np.testing.assert_array_equal(vt.stretch(view, clip=0.01), want)
        # In place, through the view's own strides.
        assert vt.stretch(view, clip=0.01, out=view) is view
        np.testing.assert_array_equal(view, want)
    packed = img.copy()
    assert vt.stretch(packed, clip=0.01, out=packed) is packed
    np.testing.assert_array_equal(packed, want)
    packed = img.copy()
    vt.fit(img, clip=0.01).apply(packed, out=packed)
    np.testing.assert_array_equal(packed, want)
    # An output overlapping the input another way reads a copy of the input.
    both = np.concatenate([img[:, :1], img], axis=1)
    vt.fit(img, clip=0.01).apply(both[:, 1:301], out=both[:, :300])
    np.testing.assert_array_equal(both[:, :300], want)


def test_one_band_and_selection_keywords():
    grey = sample("chelsea.png")[:, :, 1]
    out = vt.stretch(grey)
    # One band: the offset method spans the selected pixels' range exactly.
    lo, hi = grey.min(), grey.max()
    np.testing.assert_array_equal(
        out, np.clip(np.rint((grey - float(lo)) * 255 / (hi - lo)), 0, 255).astype(np.uint8)
    )
    mask = np.zeros(grey.shape, bool)
    mask[50:60, 70:90] = True
    a = vt.statistics(grey, mask=mask)
    b = vt.statistics(grey, sample=(70, 50, 20, 10))
    assert a == b and a.count == 200
    np.testing.assert_allclose(a.mean, [grey[50:60, 70:90].mean()], rtol=1e-12)
    nodata = vt.statistics(grey, nodata=int(grey[0, 0]))
    assert nodata.count == grey.size - np.count_nonzero(grey == grey[0, 0])


def test_statistics_pool_exactly_and_pickle():
    img = sample("rocket.jpg")
    top, bottom = img[:100], img[100:]
    pooled = vt.statistics(top) + vt.statistics(bottom)
    assert pooled == vt.statistics(img)
    x = img.reshape(-1, 3).astype(np.float64)
    np.testing.assert_allclose(pooled.mean, x.mean(axis=0), rtol=1e-12)
    np.testing.assert_allclose(pooled.covariance, np.cov(x, rowvar=False, bias=True), rtol=1e-9)
    assert pickle.loads(pickle.dumps(pooled)) == pooled
    assert vt.Statistics.from_json(pooled.to_json()) == pooled
    with pytest.raises(ValueError, match="band"):
        pooled + vt.statistics(img[:, :, 0])


def test_fit_in_steps_equals_fit_of_the_whole():
    img = sample("chelsea.png")
    pieces = [img[:120], img[120:]]
    for options in [{}, {"offset": False, "basis": "covariance"}, {"space": "yiq", "keep": 2}]:
        s = pickle.loads(pickle.dumps(vt.statistics(pieces[0]) + vt.statistics(pieces[1])))
        a = pickle.loads(pickle.dumps(vt.axes(s, **options)))
        r = vt.component_ranges(pieces[0], a) + vt.component_ranges(pieces[1], a)
        t = vt.build(a, pickle.loads(pickle.dumps(r)))
        assert t == vt.fit(img, **options)
        assert vt.fit(s, image=img, **options) == t
    with pytest.raises(ValueError, match="image="):
        vt.fit(vt.statistics(img))
    with pytest.raises(ValueError, match="target"):
        vt.axes(vt.statistics(img), target_sigma=40)


def test_target_moments_match_numpy():
    # b = T (a - m) + target: every band ends with the target mean and deviation, and the bands
    # are decorrelated.
    img = wide(sample("rocket.jpg"), np.float32)
    means, sigmas = [0.5, 0.4, 0.6], [0.1, 0.05, 0.08]
    s = vt.statistics(img)
    t = vt.fit(s, target_mean=means, target_sigma=sigmas)
    assert t == vt.fit(img, target_mean=means, target_sigma=sigmas)
    out = t.apply(img).reshape(-1, 3).astype(np.float64)
    np.testing.assert_allclose(out.mean(axis=0), means, atol=1e-6)
    np.testing.assert_allclose(out.std(axis=0), sigmas, rtol=1e-5)
    np.testing.assert_allclose(np.corrcoef(out, rowvar=False), np.eye(3), atol=1e-5)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32])
def test_clip_histogram_in_pieces_equals_the_whole(dtype):
    img = sample("chelsea.png")
    img = img if dtype == np.uint8 else wide(img, dtype)
    t = vt.fit(img)
    h = vt.ClipHistogram(t, 0.02, 0.03)
    passes = 0
    while h.needs_pass:
        for rows in (slice(0, 7), slice(7, 200), slice(200, None)):
            piece = h.empty()
            piece.measure(img[rows])
            h.merge(pickle.loads(pickle.dumps(piece)))
        h = pickle.loads(pickle.dumps(h))
        h.finish_pass()
        passes += 1
    assert passes == (2 if dtype == np.float32 else 1)
    assert h.clipped() == vt.fit(img, clip=(0.02, 0.03))
    with pytest.raises(ValueError):
        h.finish_pass()


def test_threads_do_not_change_bytes():
    img = np.tile(sample("rocket.jpg"), (3, 3, 1))  # above a quarter megapixel per thread
    one = vt.stretch(img, clip=0.01, threads=1)
    np.testing.assert_array_equal(vt.stretch(img, clip=0.01, threads=0), one)
    np.testing.assert_array_equal(vt.stretch(img, clip=0.01, threads=2), one)


def typed(img, dtype, seed=5):
    """A sample's pixels spread over a type's whole range (floats: 0..1), with noise below 8
    bits, computed in NumPy."""
    rng = np.random.RandomState(seed)
    unit = (img.astype(np.float64) + rng.uniform(0, 1, img.shape)) / 256
    if np.dtype(dtype).kind == "f":
        return unit.astype(dtype)
    info = np.iinfo(dtype)
    return np.floor(info.min + unit * (float(info.max) - info.min + 1)).astype(dtype)


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.uint32, np.float64])
def test_signed_32_bit_and_double_samples(dtype):
    img = typed(sample("chelsea.png"), dtype)
    x = img.reshape(-1, 3).astype(np.longdouble)
    s = vt.statistics(img)
    assert s.dtype == np.dtype(dtype).name and s.count == x.shape[0]
    scale = 1.0 if np.dtype(dtype).kind == "f" else float(np.iinfo(dtype).max)
    mean = x.mean(axis=0).astype(np.float64)
    np.testing.assert_allclose(s.mean, mean, rtol=0, atol=1e-13 * scale)
    np.testing.assert_allclose(
        s.covariance, np.cov(x.astype(np.float64), rowvar=False, bias=True), rtol=1e-9
    )
    np.testing.assert_array_equal(s.lowest, img.reshape(-1, 3).min(axis=0))
    np.testing.assert_array_equal(s.highest, img.reshape(-1, 3).max(axis=0))
    # The stretch keeps the type; one band's offset stretch spans the type's whole range.
    out = vt.stretch(img)
    assert out.dtype == img.dtype and out.shape == img.shape
    one = vt.stretch(img[:, :, 1])
    if np.dtype(dtype).kind == "f":
        assert abs(one.min()) < 1e-12 and abs(one.max() - 1) < 1e-12
    else:
        assert one.min() == np.iinfo(dtype).min and one.max() == np.iinfo(dtype).max
    # Saturation: exact order statistics of the outputs, in 1, 2 or 4 passes.
    t = vt.fit(img, pairing="direct")
    h = vt.ClipHistogram(t, 0.02, 0.03)
    passes = 0
    while h.needs_pass:
        h.measure(img)
        h.finish_pass()
        passes += 1
    assert passes == {1: 1, 2: 1, 4: 2, 8: 4}[np.dtype(dtype).itemsize]
    assert h.clipped() == vt.fit(img, pairing="direct", clip=(0.02, 0.03))
    assert vt.Transform.from_json(t.to_json()) == t and t.dtype == np.dtype(dtype).name
    with pytest.raises(ValueError, match=np.dtype(dtype).name):
        t.apply(img.astype(np.float32 if dtype != np.float32 else np.float64))
    # The same pixels stored in the other byte order read as they are and come back in it.
    swapped = img.astype(img.dtype.newbyteorder("S"))
    assert vt.statistics(swapped) == s
    back = vt.stretch(swapped)
    assert back.dtype == swapped.dtype
    np.testing.assert_array_equal(back.astype(img.dtype), out)
    assert vt.fit(swapped, pairing="direct") == t
    np.testing.assert_array_equal(t.apply(swapped, out=swapped).astype(img.dtype), t.apply(img))


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.uint32, np.float64])
def test_every_type_equals_the_command_line(host, tmp_path, dtype):
    img = typed(sample("chelsea.png")[::2, ::2], dtype)
    for args, options in ((["--offset"], {}), (["--target-sigma", "0.2" if dtype == np.float64
                                                else str(np.iinfo(dtype).max // 5)], None)):
        options = {"target_sigma": float(args[1])} if options is None else options
        np.testing.assert_array_equal(vt.stretch(img, **options),
                                      run_host(host, tmp_path, img, args))


def test_errors_are_clear_and_leave_out_alone():
    img = sample("chelsea.png")
    out = np.full_like(img, 7)
    bad = [
        (TypeError, "int64", lambda: vt.stretch(img.tolist())),
        (TypeError, "not an array of numbers", lambda: vt.stretch([object()])),
        (TypeError, "int64", lambda: vt.stretch(img.astype(np.int64))),
        (ValueError, "dimensional", lambda: vt.stretch(img[None])),
        (ValueError, "1024 bands",
         lambda: vt.stretch(np.zeros((4, 4, 1025), np.uint8), channel_axis=-1)),
        (ValueError, "mask", lambda: vt.stretch(img, mask=np.ones((3, 3), bool), out=out)),
        (TypeError, "mask", lambda: vt.stretch(img, mask=np.ones(img.shape[:2]), out=out)),
        (ValueError, "basis", lambda: vt.stretch(img, basis="cov", out=out)),
        (ValueError, "rectangle|image", lambda: vt.stretch(img, sample=(400, 0, 100, 10), out=out)),
        (ValueError, "every", lambda: vt.stretch(img, every=0, out=out)),
        (ValueError, "nodata|range", lambda: vt.stretch(img, nodata=300, out=out)),
        (ValueError, "keep", lambda: vt.stretch(img, keep=(1, 2, 3), out=out)),
        (ValueError, "three bands", lambda: vt.stretch(img[:, :, :2], space="ycbcr")),
        (ValueError, "invertible", lambda: vt.stretch(img, matrix=np.zeros((3, 4)), out=out)),
        (ValueError, "clip", lambda: vt.stretch(img, clip=(0.5, 0.5), out=out)),
        (ValueError, "values for an image", lambda: vt.stretch(img, target_mean=[1, 2], out=out)),
        (ValueError, "method of its own", lambda: vt.stretch(img, target_sigma=3, offset=False, out=out)),
        (ValueError, "shape", lambda: vt.stretch(img, out=out[1:])),
        (ValueError, "4-band", lambda: vt.fit(img).apply(np.zeros((5, 5, 4), np.uint8))),
        (ValueError, "uint16", lambda: vt.fit(img).apply(img.astype(np.uint16), out=None)),
        (ValueError, "transform", lambda: vt.Transform.from_json('{"format": "x"}')),
        (OSError, "", lambda: vt.Transform.load("/nonexistent/t.json")),
        (ValueError, "threads", lambda: vt.stretch(img, threads=-1, out=out)),
    ]
    for error, text, call in bad:
        with pytest.raises(error, match=text):
            call()
    assert np.all(out == 7)
    with pytest.raises(ValueError, match="read-only"):
        frozen = img.copy()
        frozen.flags.writeable = False
        vt.stretch(frozen, out=frozen)


def test_version_is_the_projects():
    """veltrane.__version__ is the version of project() in CMakeLists.txt, the only one."""
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")) as f:
        project = re.search(r"^project\(\w+ VERSION ([0-9.]+)", f.read(), re.M)
    assert vt.__version__ == project.group(1)
