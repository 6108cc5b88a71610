"""The lab space against a CIE L*a*b* conversion written here with NumPy from the published
formulas (the sRGB transfer function, the sRGB matrix, the D65 white as published, CIE's f with
its 6/29 threshold), never the engine's own: known colours, every 8-bit level, statistics of
a photograph, a stretch that keeps lightness, and transform files through the command line."""

import json
import os
import subprocess

import numpy as np
import pytest

vt = pytest.importorskip("veltrane")
cv2 = pytest.importorskip("cv2")

SAMPLES = os.environ.get(
    "VELTRANE_SAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "samples")
)

SRGB_TO_XYZ = np.array(
    [
        [0.4124564, 0.3575761, 0.1804375],
        [0.2126729, 0.7151522, 0.0721750],
        [0.0193339, 0.1191920, 0.9503041],
    ]
)
D65 = np.array([0.95047, 1.0, 1.08883])

# Within the published white's rounding (1e-7 of the matrix's own row sums): the engine and
# the oracle agree to about 1e-5 L*a*b* units.
CLOSE = 1e-4
# A pixel whose stretched colour stays inside the gamut keeps its lightness to the rounding of
# its 8-bit samples (docs/controls.md).
LIGHTNESS = 0.3


def lab(rgb01):
    """L*a*b* of sRGB values in 0..1, the last axis red, green, blue."""
    c = np.asarray(rgb01, np.float64)
    linear = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    t = linear @ SRGB_TO_XYZ.T / D65
    d = 6 / 29
    f = np.where(t > d**3, np.cbrt(t), t / (3 * d * d) + 4 / 29)
    return np.stack(
        [116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]), 200 * (f[..., 1] - f[..., 2])], -1
    )


def sample(name):
    return cv2.cvtColor(cv2.imread(os.path.join(SAMPLES, name)), cv2.COLOR_BGR2RGB)


def with_matrix(t, matrix):
    """A lab transform's document with another matrix."""
    doc = json.loads(t.to_json())
    doc["matrix"] = np.asarray(matrix, float).tolist()
    return vt.Transform.from_json(json.dumps(doc))


def test_known_colours_and_every_level():
    known = {
        (255, 255, 255): (100, 0, 0),
        (255, 0, 0): (53.24, 80.09, 67.20),
        (0, 255, 0): (87.73, -86.18, 83.18),
        (0, 0, 255): (32.30, 79.19, -107.86),
        (0, 0, 0): (0, 0, 0),
    }
    for rgb, expected in known.items():
        for dtype, top in ((np.uint8, 255), (np.uint16, 65535), (np.float32, 1), (np.float64, 1)):
            img = (np.array(rgb, float) / 255 * top).astype(dtype).reshape(1, 1, 3)
            got = vt.statistics(img, space="lab").mean
            np.testing.assert_allclose(got, expected, atol=0.005, err_msg=str((rgb, dtype)))
    # Every level of every band, against the oracle.
    k = np.arange(256)
    levels = np.stack([k, 255 - k, (k * 37) % 256], -1).astype(np.uint8)
    oracle = lab(levels / 255.0)
    for i in range(256):
        px = levels[i].reshape(1, 1, 3)
        np.testing.assert_allclose(vt.statistics(px, space="lab").mean, oracle[i], atol=CLOSE)


def test_round_trip_is_exact_for_every_level():
    # A lab transform whose matrix is the identity returns every level it is given.
    k = np.arange(65536)
    for dtype, top in ((np.uint8, 255), (np.uint16, 65535)):
        n = top + 1
        img = np.stack([k[:n], top - k[:n], (k[:n] * 7919) % n], -1).astype(dtype)
        img = img.reshape(1, n, 3)
        t = with_matrix(vt.fit(img, space="lab"), np.eye(3, 4))
        np.testing.assert_array_equal(t.apply(img), img)


def test_statistics_of_a_photograph_match_numpy():
    img = sample("chelsea.png")
    s = vt.statistics(img, space="lab")
    x = lab(img.reshape(-1, 3) / 255.0)
    assert s.dtype == "float64" and s.count == len(x)
    np.testing.assert_allclose(s.mean, x.mean(0), atol=CLOSE)
    np.testing.assert_allclose(s.covariance, np.cov(x.T, bias=True), rtol=1e-5, atol=CLOSE)
    np.testing.assert_allclose(s.lowest, x.min(0), atol=CLOSE)
    np.testing.assert_allclose(s.highest, x.max(0), atol=CLOSE)
    # The fit records them, and its matrix maps L*a*b* values: the target method's outputs
    # have the targets (in L*a*b* units) as their moments.
    t = vt.fit(img, space="lab", target_mean=[50, 0, 10], target_sigma=[15, 10, 10])
    np.testing.assert_allclose(t.statistics.mean, s.mean)
    y = x @ t.matrix[:, :3].T + t.matrix[:, 3]
    np.testing.assert_allclose(y.mean(0), [50, 0, 10], atol=1e-3)
    np.testing.assert_allclose(y.std(0, ddof=1), [15, 10, 10], rtol=1e-4)


def test_keep_one_keeps_lightness():
    img = sample("rocket.jpg")
    # (A saturation, clip=, maps the sRGB outputs band by band, and so moves L* too.)
    for options in ({}, {"target_sigma": [1, 25, 25]}):
        out = vt.stretch(img, space="lab", keep=1, **options)
        before, after = lab(img / 255.0)[..., 0], lab(out / 255.0)[..., 0]
        # Colours the stretch leaves inside the gamut (no sample clamped) keep L*; the others
        # are clamped band by band. The full offset stretch of this mostly blue sky leaves
        # about 3 % of the pixels inside, the gentler target three quarters.
        inside = ((out > 0) & (out < 255)).all(-1)
        assert inside.mean() > 0.02, options
        assert np.abs(after - before)[inside].max() <= LIGHTNESS, options
        # The colours were stretched: a* and b* spread further than they did.
        assert lab(out / 255.0)[..., 1:].std() > 1.5 * lab(img / 255.0)[..., 1:].std(), options


def test_wide_samples_and_refusals():
    img = sample("chelsea.png")
    for dtype, top in ((np.uint16, 65535), (np.float32, 1.0), (np.float64, 1.0)):
        wide = (img.astype(np.float64) / 255 * top).astype(dtype)
        out = vt.stretch(wide, space="lab", keep=1, clip=0.01)
        assert out.dtype == dtype and out.min() >= 0 and out.max() <= top
        np.testing.assert_allclose(
            vt.statistics(wide, space="lab").mean, lab(img.reshape(-1, 3) / 255.0).mean(0),
            atol=CLOSE,
        )
    with pytest.raises(ValueError, match="lab space takes uint8, uint16, float32 or float64"):
        vt.stretch(img.astype(np.int16), space="lab")
    with pytest.raises(ValueError, match="three bands"):
        vt.stretch(img[..., :2].copy(), space="lab")
    with pytest.raises(ValueError, match="not an affine map"):
        vt.axes(vt.statistics(img), space="lab")
    with pytest.raises(ValueError, match="space='lab'"):
        vt.statistics(img, space="ycbcr")


def test_transform_file_through_apply(host, tmp_path):
    img = sample("rocket.jpg")
    src, out, again, saved = (tmp_path / n for n in ("in.png", "out.png", "again.png", "t.json"))
    cv2.imwrite(str(src), cv2.cvtColor(img, cv2.COLOR_RGB2BGR))
    run = [host, "stretch", str(src), str(out), "--offset", "--space", "lab", "--keep", "1"]
    subprocess.run(run + ["--clip", "0.01", "--save-transform", str(saved)], check=True,
                   capture_output=True)
    subprocess.run([host, "apply", str(src), str(again), "--transform", str(saved)], check=True,
                   capture_output=True)
    stretched = cv2.cvtColor(cv2.imread(str(out)), cv2.COLOR_BGR2RGB)
    np.testing.assert_array_equal(cv2.cvtColor(cv2.imread(str(again)), cv2.COLOR_BGR2RGB),
                                  stretched)
    # The file is the module's transform, applied to the same bytes; the module's own fit of
    # the options gives them too.
    t = vt.Transform.load(str(saved))
    assert t.space == "lab" and t.clipped
    np.testing.assert_array_equal(t.apply(img), stretched)
    np.testing.assert_array_equal(vt.stretch(img, space="lab", keep=1, clip=0.01), stretched)
