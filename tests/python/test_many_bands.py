"""Arrays of many bands (the last axis) against NumPy: statistics of integer cubes, the target
method's decorrelation of a float64 cube, a kept band and a fit in pieces."""
import numpy as np
import pytest

import veltrane as vt


def cube(bands, dtype, h=24, w=30, seed=0):
    """Correlated bands: a few sources mixed at random, plus each band's own noise."""
    rng = np.random.default_rng(seed)
    sources = rng.normal(size=(h, w, 5))
    mix = rng.normal(size=(5, bands))
    x = sources @ mix + 0.3 * rng.normal(size=(h, w, bands))
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        mid, span = (int(info.min) + int(info.max)) / 2, (int(info.max) - int(info.min)) / 16
        return np.clip(np.rint(mid + span * x), info.min, info.max).astype(dtype)
    return (0.5 + 0.05 * x).astype(dtype)


@pytest.mark.parametrize("bands", [17, 64, 224])
@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.uint16, np.int32])
def test_statistics_match_numpy(bands, dtype):
    img = cube(bands, dtype, seed=bands)
    s = vt.statistics(img, channel_axis=-1)
    x = img.reshape(-1, bands).astype(np.float64)
    assert s.bands == bands and s.count == x.shape[0]
    assert np.array_equal(s.lowest, x.min(axis=0)) and np.array_equal(s.highest, x.max(axis=0))
    assert np.allclose(s.mean, x.mean(axis=0), rtol=1e-13, atol=0)
    assert np.allclose(s.covariance, np.cov(x, rowvar=False, bias=True), rtol=1e-9,
                       atol=1e-9 * np.abs(np.cov(x, rowvar=False)).max())


def test_target_method_decorrelates_a_float64_cube():
    img = cube(224, np.float64, h=40, w=50, seed=3)
    out = vt.stretch(img, target_sigma=0.04, channel_axis=-1)
    assert out.shape == img.shape and out.dtype == np.float64
    y = out.reshape(-1, 224)
    assert np.allclose(y.std(axis=0, ddof=1), 0.04, rtol=1e-8)
    corr = np.corrcoef(y, rowvar=False)
    assert np.abs(corr - np.eye(224)).max() < 1e-6
    assert np.allclose(y.mean(axis=0), img.reshape(-1, 224).mean(axis=0), atol=1e-9)


def test_kept_band_passes_unchanged():
    img = cube(128, np.uint16, seed=4)
    out = vt.stretch(img, offset=True, keep=100, channel_axis=-1)
    assert np.array_equal(out[..., 99], img[..., 99])
    assert not np.array_equal(out[..., 3], img[..., 3])
    with pytest.raises(ValueError, match="128 bands"):
        vt.stretch(img, keep=129, channel_axis=-1)


def test_fit_in_pieces_matches_one_fit():
    img = cube(40, np.uint16, seed=5)
    whole = vt.fit(img, offset=True, channel_axis=-1)
    s = vt.statistics(img[:10], channel_axis=-1) + vt.statistics(img[10:], channel_axis=-1)
    axes = vt.axes(s, offset=True)
    ranges = (vt.component_ranges(img[:10], axes, channel_axis=-1)
              + vt.component_ranges(img[10:], axes, channel_axis=-1))
    pieces = vt.build(axes, ranges)
    assert np.array_equal(whole.apply(img, channel_axis=-1), pieces.apply(img, channel_axis=-1))
