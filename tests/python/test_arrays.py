"""The arrays and objects users hold: band-first arrays, array-likes, xarray and rioxarray
DataArrays (in memory and Dask-backed), and the protocols of the module's objects. Oracles are
NumPy's own layouts and formulas, and rasters GDAL writes and reads."""

import os
import pathlib

import numpy as np
import pytest

vt = pytest.importorskip("veltrane")
cv2 = pytest.importorskip("cv2")

SAMPLES = os.environ.get(
    "VELTRANE_SAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "samples")
)


@pytest.fixture(scope="module")
def cat():
    img = cv2.imread(os.path.join(SAMPLES, "chelsea.png"))
    return np.ascontiguousarray(img[::2, ::2, ::-1])


def test_band_first_arrays_and_array_likes(cat):
    expected = vt.stretch(cat, pairing="direct")
    first = np.ascontiguousarray(np.moveaxis(cat, -1, 0))
    out = vt.stretch(first, pairing="direct", channel_axis=0)
    assert out.shape == first.shape and out.flags.c_contiguous
    np.testing.assert_array_equal(np.moveaxis(out, 0, -1), expected)
    # An out of the caller's layout, written in place.
    vt.stretch(first, pairing="direct", channel_axis=-3, out=first)
    np.testing.assert_array_equal(first, out)
    # The other functions read the same axis.
    assert vt.statistics(out, channel_axis=0) == vt.statistics(np.moveaxis(out, 0, -1))
    t = vt.fit(cat, pairing="direct")
    np.testing.assert_array_equal(t.apply(np.moveaxis(cat, -1, 0), channel_axis=0), out)
    # What NumPy converts with its type, as a Pillow image does.
    image = pytest.importorskip("PIL.Image")
    with image.open(os.path.join(SAMPLES, "chelsea.png")) as photo:
        np.testing.assert_array_equal(vt.stretch(photo), vt.stretch(np.asarray(photo)))
    with pytest.raises(TypeError, match="int64"):
        vt.stretch(cat[:4, :4].tolist())


def test_a_last_axis_that_may_not_be_bands_needs_channel_axis():
    rng = np.random.default_rng(5)
    for shape in ((4, 100, 8), (3, 64, 64)):
        img = rng.integers(0, 255, shape, dtype=np.uint8)
        with pytest.raises(ValueError, match="channel_axis"):
            vt.stretch(img)
        assert vt.stretch(img, channel_axis=-1).shape == shape
    # Band-last shapes whose last axis is the shortest, and RGBA, need nothing.
    for shape in ((40, 30, 20), (2, 5, 4)):
        vt.statistics(rng.integers(0, 255, shape, dtype=np.uint8))
    for bad, error in ((3, ValueError), (1.0, TypeError)):
        with pytest.raises(error, match="channel_axis"):
            vt.stretch(np.zeros((8, 8, 3), np.uint8), channel_axis=bad)


def test_small_faults_have_clear_answers(cat, tmp_path):
    img = cat[:40, :50]
    for keyword, value in (("sample", (0, 0, 2**70, 1)), ("every", 10**20)):
        with pytest.raises(ValueError, match=keyword):
            vt.stretch(img, **{keyword: value})
    s1, s2 = vt.statistics(img[:20]), vt.statistics(img[20:])
    assert sum([s1, s2]) == s1 + s2 == vt.statistics(img)
    t = vt.fit(img)
    assert (t == None) is False and t != None and s1 != "statistics"  # noqa: E711
    axes = vt.axes(s1 + s2)
    r1, r2 = vt.component_ranges(img[:20], axes), vt.component_ranges(img[20:], axes)
    assert vt.build(axes, sum([r1, r2])) == vt.build(axes, r1 + r2)
    path = tmp_path / "t.json"
    t.save(path)
    assert vt.Transform.load(pathlib.PurePath(path)) == vt.Transform.load(os.fsencode(path)) == t
    with pytest.raises(TypeError, match="PathLike"):
        t.save(3)
    # The statistics as arrays, against NumPy's formulas.
    s = vt.statistics(img)
    x = img.reshape(-1, 3).astype(np.float64)
    assert isinstance(s.mean, np.ndarray) and s.covariance.shape == (3, 3)
    np.testing.assert_allclose(s.covariance, np.cov(x, rowvar=False, bias=True), rtol=1e-12)
    np.testing.assert_allclose(s.correlation, np.corrcoef(x, rowvar=False), rtol=1e-12)
    with pytest.raises(ValueError, match="transform is for 3-band uint8"):
        t.apply(np.zeros((4, 4, 3), np.uint16))


def test_nan_as_nodata_names_the_pixels_floats_never_count(cat):
    img = (cat[:40, :50] / 255.0).astype(np.float32)
    img[:5] = np.nan
    plain = vt.stretch(img)
    out = vt.stretch(img, nodata=float("nan"))
    np.testing.assert_array_equal(out, plain)
    assert np.isnan(out[:5]).all() and np.isfinite(out[5:]).all()
    assert vt.fit(img, nodata=np.nan) == vt.fit(img)
    with pytest.raises(ValueError, match="NaN"):
        vt.stretch(cat, nodata=float("nan"))


def test_dataarrays_keep_their_dims_coords_and_attrs(cat):
    xr = pytest.importorskip("xarray")
    first = np.ascontiguousarray(np.moveaxis(cat, -1, 0))
    array = xr.DataArray(
        first, dims=("band", "y", "x"), name="scene", attrs={"units": "dn"},
        coords={"band": [1, 2, 3], "y": np.arange(cat.shape[0]) * 2.0,
                "x": np.arange(cat.shape[1]) * 3.0},
    )
    out = vt.stretch(array, pairing="direct")
    assert isinstance(out, xr.DataArray) and out.dims == array.dims and out.name == "scene"
    assert out.attrs == array.attrs and out.coords.to_dataset().identical(array.coords.to_dataset())
    np.testing.assert_array_equal(np.moveaxis(out.values, 0, -1),
                                  vt.stretch(cat, pairing="direct"))
    assert vt.statistics(array) == vt.statistics(cat)
    # Another name for the bands, named by band_dim; a 2-D array is one band.
    renamed = array.rename(band="wavelength").transpose("y", "wavelength", "x")
    with pytest.raises(ValueError, match="band_dim"):
        vt.stretch(renamed)
    np.testing.assert_array_equal(
        vt.fit(renamed, band_dim="wavelength", pairing="direct").apply(renamed, band_dim="wavelength").values,
        out.transpose("y", "band", "x").values)
    assert vt.stretch(array.isel(band=0)).dims == ("y", "x")
    # Dask-backed: the result stays lazy and computes to the same values.
    lazy = vt.stretch(array.chunk({"y": 60, "x": 70}), pairing="direct")
    assert lazy.chunks is not None and lazy.dims == array.dims
    np.testing.assert_array_equal(lazy.compute().values, out.values)


def test_rioxarray_rasters_keep_crs_and_nodata(cat, tmp_path):
    rioxarray = pytest.importorskip("rioxarray")
    gdal = pytest.importorskip("osgeo.gdal")
    gdal.UseExceptions()
    img = cat.astype(np.uint16) * 200
    img[:10] = 7  # the no-data border
    src = str(tmp_path / "in.tif")
    ds = gdal.GetDriverByName("GTiff").Create(src, img.shape[1], img.shape[0], 3, gdal.GDT_UInt16)
    ds.SetGeoTransform((500000, 30, 0, 4000000, 0, -30))
    ds.SetProjection("EPSG:32633")
    for b in range(3):
        ds.GetRasterBand(b + 1).WriteArray(img[:, :, b])
        ds.GetRasterBand(b + 1).SetNoDataValue(7)
    ds = None
    raster = rioxarray.open_rasterio(src)
    out = vt.stretch(raster, pairing="direct")
    assert out.rio.crs == raster.rio.crs and out.rio.nodata == 7
    expected = vt.stretch(img, pairing="direct", nodata=7)
    np.testing.assert_array_equal(np.moveaxis(out.values, 0, -1), expected)
    assert (out.values[:, :10] == 7).all()
    dst = str(tmp_path / "out.tif")
    out.rio.to_raster(dst)
    back = gdal.Open(dst)
    assert back.GetGeoTransform() == (500000, 30, 0, 4000000, 0, -30)
    assert "32633" in back.GetProjection() and back.GetRasterBand(1).GetNoDataValue() == 7
    np.testing.assert_array_equal(np.moveaxis(back.ReadAsArray(), 0, -1), expected)
