"""veltrane on rasters that GDAL reads and writes: band stacks built with gdal_translate and
gdalbuildvrt -separate, ENVI files, /vsizip/ paths, netCDF subdatasets, Cloud-Optimized GeoTIFF
output and creation options. Every input is made here with GDAL's tools or its Python bindings,
and every result is checked with them and with NumPy, never with veltrane's own code."""

import json
import os
import resource
import subprocess
import zipfile

import numpy as np
import pytest

gdal = pytest.importorskip("osgeo.gdal")
osr = pytest.importorskip("osgeo.osr")
gdal.UseExceptions()

HOST = os.environ.get("VELTRANE_HOST", "")
pytestmark = pytest.mark.skipif(not HOST, reason="VELTRANE_HOST is not set")

W, H = 72, 52
GDAL_TYPES = {"uint8": gdal.GDT_Byte, "int8": gdal.GDT_Byte, "uint16": gdal.GDT_UInt16,
              "int16": gdal.GDT_Int16, "uint32": gdal.GDT_UInt32, "int32": gdal.GDT_Int32,
              "float32": gdal.GDT_Float32, "float64": gdal.GDT_Float64}
GEOTRANSFORM = [600000.0, 20.0, 0.0, 5100000.0, 0.0, -20.0]


def run(*args, limit=None):
    """veltrane with these arguments, its files limited to Limit bytes when given: (exit
    status, standard output and error)."""
    def limited():
        if limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    p = subprocess.run([HOST, *map(str, args)], capture_output=True, text=True,
                       stdin=subprocess.DEVNULL, timeout=300, preexec_fn=limited)
    return p.returncode, p.stdout + p.stderr


def tool(*args):
    """One of GDAL's command-line tools; its standard output."""
    p = subprocess.run([*map(str, args)], capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    return p.stdout


def info(path):
    return json.loads(tool("gdalinfo", "-json", "-mdd", "all", path))


def pixels(path):
    return gdal.Open(str(path)).ReadAsArray()


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if ".part" in n)


def correlated(bands, dtype=np.uint16, seed=7):
    """Bands of a scene that share most of their variation, with a no-data border (0) two
    pixels wide at the top."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:H, 0:W]
    common = 3000 + 40 * x + 25 * y + rng.normal(0, 300, (H, W))
    data = np.stack([common * (0.6 + 0.15 * b) + rng.normal(0, 150, (H, W)) + 400 * b
                     for b in range(bands)])
    data = np.clip(data, 1, 60000).astype(dtype)
    data[:, :2, :] = 0
    return data


def stack(folder, data, nodata=0, name="in.vrt"):
    """A band stack as remote sensing builds one: each band a plain raster georeferenced by
    gdal_translate (CRS, corners, no-data), the bands put together by gdalbuildvrt -separate,
    each named and given a wavelength in the VRT."""
    names = []
    for b, band in enumerate(data):
        raw = folder / f"raw{b + 1}.tif"
        ds = gdal.GetDriverByName("GTiff").Create(str(raw), W, H, 1, GDAL_TYPES[band.dtype.name])
        ds.GetRasterBand(1).WriteArray(band)
        ds = None
        geo = folder / f"b{b + 1}.tif"
        args = ["gdal_translate", "-q", "-a_srs", "EPSG:32632", "-a_ullr", GEOTRANSFORM[0],
                GEOTRANSFORM[3], GEOTRANSFORM[0] + W * 20, GEOTRANSFORM[3] - H * 20]
        if nodata is not None:
            args += ["-a_nodata", nodata]
        tool(*args, raw, geo)
        names.append(geo)
    vrt = folder / name
    tool("gdalbuildvrt", "-q", "-separate", vrt, *names)
    ds = gdal.Open(str(vrt), gdal.GA_Update)
    for b in range(len(data)):
        band = ds.GetRasterBand(b + 1)
        band.SetDescription(f"B{b + 1}")
        band.SetMetadataItem("WAVELENGTH", str(450 + 100 * b))
    ds.SetMetadataItem("SENSOR", "made-up", "ACQUISITION")
    ds = None
    return vrt


def oracle(x, tmean, tsigma):
    """The target method's map (T, k) of the selected pixels x (N x n), correlation basis: the
    whitening T = St V L^(-1/2) V' D^(-1) of the correlation matrix, each row rescaled to the
    target deviation; b = T a + k puts every band at its target mean."""
    m = x.mean(0)
    c = (x - m).T @ (x - m) / (len(x) - 1)
    d = np.sqrt(np.diag(c))
    lam, v = np.linalg.eigh(c / np.outer(d, d))
    t = np.diag(np.full(len(m), tsigma)) @ v @ np.diag(lam ** -0.5) @ v.T @ np.diag(1 / d)
    t *= (tsigma / np.sqrt(np.diag(t @ c @ t.T)))[:, None]
    return t, np.full(len(m), tmean) - t @ m


# ---- A seven-band stack through GDAL ----------------------------------------------------------

@pytest.mark.parametrize("dtype, nodata, unused",
                         [(np.uint16, 0, 65535), (np.int16, -9999, 32767)])
def test_a_seven_band_vrt_stack_keeps_what_the_raster_carries(tmp_path, dtype, nodata, unused):
    data = correlated(7)
    if dtype == np.int16:  # Landsat's Int16 scenes: signed samples, -9999 where there are none
        data = (data.astype(np.int32) - 20000).astype(np.int16)
        data[:, :2, :] = nodata
    vrt = stack(tmp_path, data, nodata=nodata)
    status, out = run("stretch", "--offset", vrt, tmp_path / "out.tif")
    assert status == 0, out
    assert not leftovers(tmp_path)
    got = info(tmp_path / "out.tif")
    assert got["driverShortName"] == "GTiff"
    assert len(got["bands"]) == 7 and {b["type"] for b in got["bands"]} == {
        "UInt16" if dtype == np.uint16 else "Int16"}
    assert 'ID["EPSG",32632]' in got["coordinateSystem"]["wkt"]
    assert got["geoTransform"] == GEOTRANSFORM
    for band in got["bands"]:
        assert band["noDataValue"] == nodata
        assert band["description"] == f"B{band['band']}"
        assert band["metadata"][""]["WAVELENGTH"] == str(350 + 100 * band["band"])
    assert got["metadata"]["ACQUISITION"] == {"SENSOR": "made-up"}
    # The file's no-data border passes unchanged without any option; the rest is stretched.
    result = pixels(tmp_path / "out.tif")
    assert result.dtype == dtype and (result[:, :2, :] == nodata).all()
    assert (result[:, 2:, :] != data[:, 2:, :]).mean() > 0.9
    # --nodata none leaves the file's value aside: the border is stretched too.
    status, out = run("stretch", "--offset", "--nodata", "none", vrt, tmp_path / "all.tif")
    assert status == 0, out
    assert (pixels(tmp_path / "all.tif")[:, :2, :] != nodata).any()
    # --nodata V overrides the file's: a value no pixel holds selects them all, as none does.
    status, out = run("stretch", "--offset", "--nodata", unused, vrt, tmp_path / "over.tif")
    assert status == 0, out
    assert (pixels(tmp_path / "over.tif") == pixels(tmp_path / "all.tif")).all()


def test_the_target_method_meets_a_numpy_oracle_outside_the_nodata(tmp_path):
    data = correlated(7, seed=11)
    vrt = stack(tmp_path, data)
    status, out = run("stretch", "--target-mean", 30000, "--target-sigma", 4000,
                      "--save-transform", tmp_path / "t.json", vrt, tmp_path / "out.tif")
    assert status == 0, out
    assert json.loads((tmp_path / "t.json").read_text())["nodata"] == 0
    x = data[:, 2:, :].reshape(7, -1).T.astype(np.float64)
    t, k = oracle(x, 30000, 4000)
    want = np.clip(np.rint(np.einsum("ij,jyx->iyx", t, data.astype(np.float64))
                           + k[:, None, None]), 0, 65535)
    result = pixels(tmp_path / "out.tif").astype(np.float64)
    assert np.abs(result[:, 2:, :] - want[:, 2:, :]).max() <= 1
    assert (result[:, :2, :] == 0).all()
    # The saved transform gives the same bytes through apply, a strip at a time.
    status, out = run("apply", vrt, tmp_path / "applied.tif", "--transform", tmp_path / "t.json")
    assert status == 0, out
    assert (pixels(tmp_path / "applied.tif") == result).all()


# ---- Other ways to name and store a raster -------------------------------------------------

def test_envi_hfa_jp2_vsizip_and_subdatasets_read_as_the_geotiff_does(tmp_path):
    data = correlated(4)[:, :, :]
    geo = stack(tmp_path, data)
    tool("gdal_translate", "-q", "-of", "GTiff", geo, tmp_path / "scene.tif")
    tool("gdal_translate", "-q", "-of", "ENVI", geo, tmp_path / "scene.bin")
    tool("gdal_translate", "-q", "-of", "HFA", geo, tmp_path / "scene.img")
    tool("gdal_translate", "-q", "-of", "JP2OpenJPEG", "-co", "REVERSIBLE=YES", "-co",
         "QUALITY=100", geo, tmp_path / "scene.jp2")
    with zipfile.ZipFile(tmp_path / "scene.zip", "w") as z:
        z.write(tmp_path / "scene.tif", "inner/scene.tif")
    assert run("stretch", "--offset", tmp_path / "scene.tif", tmp_path / "ref.tif")[0] == 0
    reference = pixels(tmp_path / "ref.tif")
    for name, source in (("envi", tmp_path / "scene.bin"), ("hfa", tmp_path / "scene.img"),
                         ("jp2", tmp_path / "scene.jp2"),
                         ("zip", f"/vsizip/{tmp_path}/scene.zip/inner/scene.tif")):
        status, out = run("stretch", "--offset", source, tmp_path / f"{name}.tif")
        assert status == 0, (name, out)
        assert (pixels(tmp_path / f"{name}.tif") == reference).all(), name
        assert info(tmp_path / f"{name}.tif")["geoTransform"] == GEOTRANSFORM, name
    # A netCDF file of several variables names each as a subdataset; the container itself
    # holds no bands and the message names them.
    tool("gdal_translate", "-q", "-of", "netCDF", "-co", "FORMAT=NC4", tmp_path / "scene.tif",
         tmp_path / "scene.nc")
    status, out = run("stretch", "--offset", tmp_path / "scene.nc", tmp_path / "nc.tif")
    assert status == 2 and "subdatasets" in out and "Band1" in out, out
    single = f'NETCDF:"{tmp_path}/scene.nc":Band2'
    status, out = run("stretch", "--target-mean", 30000, "--target-sigma", 3000, single,
                      tmp_path / "nc.tif")
    assert status == 0, out
    band = pixels(tmp_path / "nc.tif")
    assert band.shape == (H, W) and band.dtype == np.uint16
    assert (band[:2] == 0).all()  # the variable's fill value is its no-data value
    assert abs(band[2:].mean() - 30000) < 1 and abs(band[2:].std(ddof=1) - 3000) < 1
    # netCDF-4 is HDF5 underneath: GDAL's HDF5 driver names the same variable its own way and
    # gives its rows as stored (bottom up here), with no no-data value of its own.
    status, out = run("stretch", "--target-mean", 30000, "--target-sigma", 3000, "--nodata", 0,
                      f'HDF5:"{tmp_path}/scene.nc"://Band2', tmp_path / "h5.tif")
    assert status == 0, out
    assert (np.flipud(pixels(tmp_path / "h5.tif")) == band).all()


def test_alpha_gcps_float_nan_nodata_and_a_gdal_mask(tmp_path):
    rgb = correlated(3, dtype=np.uint8, seed=3)
    alpha = np.full((H, W), 255, np.uint8)
    alpha[:, :4] = 0
    ds = gdal.GetDriverByName("GTiff").Create(str(tmp_path / "rgba.tif"), W, H, 4, gdal.GDT_Byte,
                                              ["PHOTOMETRIC=RGB", "ALPHA=YES"])
    for b, band in enumerate([*rgb, alpha]):
        ds.GetRasterBand(b + 1).WriteArray(band)
    wgs84 = osr.SpatialReference()
    wgs84.ImportFromEPSG(4326)
    ds.SetGCPs([gdal.GCP(10 + i, 50 - i, 0, 20 * i, 15 * i) for i in range(4)], wgs84)
    ds = None
    status, out = run("stretch", "--offset", tmp_path / "rgba.tif", tmp_path / "rgba-out.tif")
    assert status == 0, out
    got = gdal.Open(str(tmp_path / "rgba-out.tif"))
    assert [gdal.GetColorInterpretationName(got.GetRasterBand(b).GetColorInterpretation())
            for b in range(1, 5)] == ["Red", "Green", "Blue", "Alpha"]
    assert got.GetGCPCount() == 4 and got.GetGCPs()[3].GCPX == 13
    assert got.GetGCPSpatialRef().GetAuthorityCode(None) == "4326"
    assert (got.GetRasterBand(4).ReadAsArray() == alpha).all()
    got = None
    # A mask that GDAL reads (signed, so not an engine type itself): only its non-zero pixels
    # count, and a target puts them at the target mean.
    mask = np.zeros((H, W), np.int16)
    mask[10:30, 20:50] = -3
    ds = gdal.GetDriverByName("GTiff").Create(str(tmp_path / "mask.tif"), W, H, 1, gdal.GDT_Int16)
    ds.SetGeoTransform(GEOTRANSFORM)
    ds.GetRasterBand(1).WriteArray(mask)
    ds = None
    status, out = run("stretch", "--target-mean", 100, "--target-sigma", 20, "--mask",
                      tmp_path / "mask.tif", tmp_path / "rgba.tif", tmp_path / "masked.tif")
    assert status == 0, out
    masked = pixels(tmp_path / "masked.tif")[:3, 10:30, 20:50].reshape(3, -1)
    assert np.abs(masked.mean(axis=1) - 100).max() < 1
    # Float samples with NaN as no-data: the NaN pixels pass unchanged, the rest is stretched,
    # and no warning is needed.
    values = correlated(3, dtype=np.float32).astype(np.float32) / 60000
    values[:, :2, :] = np.nan
    ds = gdal.GetDriverByName("GTiff").Create(str(tmp_path / "f.tif"), W, H, 3, gdal.GDT_Float32)
    ds.SetGeoTransform(GEOTRANSFORM)
    for b in range(3):
        ds.GetRasterBand(b + 1).WriteArray(values[b])
        ds.GetRasterBand(b + 1).SetNoDataValue(float("nan"))
    ds = None
    status, out = run("stretch", "--target-mean", 0.5, "--target-sigma", 0.1,
                      tmp_path / "f.tif", tmp_path / "f-out.tif")
    assert status == 0 and "warning" not in out, out
    result = pixels(tmp_path / "f-out.tif")
    assert np.isnan(result[:, :2, :]).all() and np.isfinite(result[:, 2:, :]).all()
    assert np.abs(result[:, 2:, :].mean(axis=(1, 2)) - 0.5).max() < 1e-4


def test_a_batch_writes_each_gdal_raster_as_a_tiff_of_its_name(tmp_path):
    vrt = stack(tmp_path, correlated(3))
    tool("gdal_translate", "-q", "-of", "ENVI", vrt, tmp_path / "scene.bin")
    tool("gdal_translate", "-q", "-of", "netCDF", vrt, tmp_path / "scene.nc")
    inputs = [vrt, tmp_path / "scene.bin", f'NETCDF:"{tmp_path}/scene.nc":Band2']
    status, out = run("stretch", "--out-dir", tmp_path / "res", "--offset", *inputs)
    assert status == 0 and "stretched 3 of 3" in out, out
    assert sorted(os.listdir(tmp_path / "res")) == ["in.tif", "scene.tif", "scene_Band2.tif"]
    assert run("stretch", "--offset", vrt, tmp_path / "single.tif")[0] == 0
    assert (pixels(tmp_path / "res" / "in.tif") == pixels(tmp_path / "single.tif")).all()
    assert (pixels(tmp_path / "res" / "scene.tif") == pixels(tmp_path / "single.tif")).all()
    # Two inputs that would be written under one name are refused before anything is read.
    status, out = run("stretch", "--out-dir", tmp_path / "twice", "--offset", vrt,
                      tmp_path / "in.tif")
    assert status == 2 and "in.tif" in out, out


# ---- Output formats and creation options -----------------------------------------------------

def test_cog_and_creation_options(tmp_path):
    vrt = stack(tmp_path, correlated(3))
    status, out = run("stretch", "--offset", vrt, tmp_path / "plain.tif")
    assert status == 0, out
    status, out = run("stretch", "--offset", "--of", "COG", "--co", "COMPRESS=DEFLATE", vrt,
                      tmp_path / "cog.tif")
    assert status == 0, out
    cog = info(tmp_path / "cog.tif")
    assert cog["metadata"]["IMAGE_STRUCTURE"]["LAYOUT"] == "COG"
    assert cog["metadata"]["IMAGE_STRUCTURE"]["COMPRESSION"] == "DEFLATE"
    assert cog["geoTransform"] == GEOTRANSFORM and cog["bands"][0]["noDataValue"] == 0
    assert (pixels(tmp_path / "cog.tif") == pixels(tmp_path / "plain.tif")).all()
    assert not leftovers(tmp_path)
    # A GeoTIFF takes its tiling and compression from the input unless --co says otherwise.
    tool("gdal_translate", "-q", "-co", "TILED=YES", "-co", "BLOCKXSIZE=32", "-co",
         "BLOCKYSIZE=32", "-co", "COMPRESS=LZW", vrt, tmp_path / "tiled.tif")
    assert run("stretch", "--offset", tmp_path / "tiled.tif", tmp_path / "t1.tif")[0] == 0
    t1 = info(tmp_path / "t1.tif")
    assert t1["bands"][0]["block"] == [32, 32]
    assert t1["metadata"]["IMAGE_STRUCTURE"]["COMPRESSION"] == "LZW"
    status, out = run("stretch", "--offset", "--co", "COMPRESS=DEFLATE", "--co", "TILED=NO",
                      tmp_path / "tiled.tif", tmp_path / "t2.tif")
    assert status == 0, out
    t2 = info(tmp_path / "t2.tif")
    assert t2["metadata"]["IMAGE_STRUCTURE"]["COMPRESSION"] == "DEFLATE"
    assert t2["bands"][0]["block"][0] == W
    # Tiles larger than the raster are tiles all the same.
    tool("gdal_translate", "-q", "-co", "TILED=YES", vrt, tmp_path / "one-tile.tif")
    assert run("stretch", "--offset", tmp_path / "one-tile.tif", tmp_path / "t3.tif")[0] == 0
    assert info(tmp_path / "t3.tif")["bands"][0]["block"] == [256, 256]


@pytest.mark.parametrize("args, words", [
    (["--co", "NO_SUCH_OPTION=1"], "NO_SUCH_OPTION"),
    (["--of", "PNG"], "--of takes GTiff or COG"),
    (["--co", "COMPRESS"], "--co takes NAME=VALUE"),
])
def test_bad_output_options_are_refused_before_anything_is_written(tmp_path, args, words):
    vrt = stack(tmp_path, correlated(3))
    status, out = run("stretch", "--offset", *args, vrt, tmp_path / "out.tif")
    assert status == 2 and words in out, out
    assert not (tmp_path / "out.tif").exists() and not leftovers(tmp_path)


def test_output_options_need_a_gdal_raster_and_a_tiff(tmp_path):
    vrt = stack(tmp_path, correlated(3, dtype=np.uint8))
    status, out = run("stretch", "--offset", "--of", "COG", vrt, tmp_path / "out.png")
    assert status == 2 and ".tif" in out, out
    # A photograph goes through libvips, which takes no GDAL creation options.
    gdal.Translate(str(tmp_path / "photo.png"), str(vrt), format="PNG")
    status, out = run("stretch", "--offset", "--co", "COMPRESS=LZW", tmp_path / "photo.png",
                      tmp_path / "photo.tif")
    assert status == 2 and "libvips" in out and not (tmp_path / "photo.tif").exists(), out
    for command in ("stretch", "apply"):
        status, text = run(command, "--help")
        assert all(option in text for option in ("--of", "--co", "--nodata none")), text
    # apply writes a COG as stretch does.
    assert run("stretch", "--offset", vrt, tmp_path / "s.tif", "--save-transform",
               tmp_path / "t.json")[0] == 0
    status, out = run("apply", vrt, tmp_path / "a.tif", "--transform", tmp_path / "t.json",
                      "--of", "COG")
    assert status == 0, out
    assert info(tmp_path / "a.tif")["metadata"]["IMAGE_STRUCTURE"]["LAYOUT"] == "COG"
    assert (pixels(tmp_path / "a.tif") == pixels(tmp_path / "s.tif")).all()
    # A raster GDAL reads may still be written in a photograph's format through libvips, and
    # shown before and after beside each other.
    status, out = run("stretch", "--offset", vrt, tmp_path / "out.png", "--compare",
                      tmp_path / "cmp.png")
    assert status == 0, out
    assert run("stretch", "--offset", vrt, tmp_path / "out.tif")[0] == 0
    assert (pixels(tmp_path / "out.png") == pixels(tmp_path / "out.tif")).all()
    shown = pixels(tmp_path / "cmp.png")
    assert shown.shape == (3, H, 2 * W + 8)
    assert (shown[:, :, :W] == pixels(vrt)).all()
    assert (shown[:, :, W + 8:] == pixels(tmp_path / "out.png")).all()


# ---- Every sample type ----------------------------------------------------------------------

# dtype: how correlated()'s values 1..60000 are scaled and shifted into the type, the no-data
# value of its border, and the target mean and deviation.
TYPES = {
    "int8": (np.int8, 1 / 600, -50, -128, 0, 20),
    "int16": (np.int16, 0.5, -5000, -9999, 0, 4000),
    "int32": (np.int32, 1000, -2e7, -2**31, 0, 4e6),
    "uint32": (np.uint32, 1000, 0, 0, 3e7, 4e6),
    "float64": (np.float64, 1 / 60000, 0, -1, 0.5, 0.1),
}


@pytest.mark.parametrize("name", TYPES)
def test_every_sample_type_keeps_its_type_and_meets_the_numpy_oracle(tmp_path, name):
    dtype, scale, shift, nodata, tmean, tsigma = TYPES[name]
    base = correlated(4, np.float64, seed=5)
    data = base * scale + shift
    if np.issubdtype(dtype, np.integer):
        data = np.rint(data)
    data = data.astype(dtype)
    data[:, :2, :] = nodata
    path = tmp_path / "in.tif"
    signed_byte = name == "int8"  # GDAL holds int8 as bytes a GeoTIFF marks signed
    ds = gdal.GetDriverByName("GTiff").Create(
        str(path), W, H, 4, GDAL_TYPES[name],
        ["PHOTOMETRIC=MINISBLACK"] + (["PIXELTYPE=SIGNEDBYTE"] if signed_byte else []))
    ds.SetGeoTransform(GEOTRANSFORM)
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32632)
    ds.SetProjection(srs.ExportToWkt())
    for b in range(4):
        band = ds.GetRasterBand(b + 1)
        band.WriteArray(data[b].view(np.uint8) if signed_byte else data[b])
        band.SetNoDataValue(nodata)
    ds = None
    status, out = run("stretch", "--target-mean", tmean, "--target-sigma", tsigma,
                      "--save-transform", tmp_path / "t.json", path, tmp_path / "out.tif")
    assert status == 0, out
    got = info(tmp_path / "out.tif")
    assert got["bands"][0]["noDataValue"] == nodata
    result = pixels(tmp_path / "out.tif")
    assert result.dtype == dtype
    # The border the file marks passes unchanged; the rest meets the oracle.
    assert (result[:, :2, :] == nodata).all()
    x = data[:, 2:, :].reshape(4, -1).T.astype(np.float64)
    t, k = oracle(x, tmean, tsigma)
    want = np.einsum("ij,jyx->iyx", t, data.astype(np.float64)) + k[:, None, None]
    if np.issubdtype(dtype, np.integer):
        info_ = np.iinfo(dtype)
        want = np.clip(np.rint(want), info_.min, info_.max)
        assert np.abs(result[:, 2:, :].astype(np.float64) - want[:, 2:, :]).max() <= 1
    else:
        assert np.abs(result[:, 2:, :] - want[:, 2:, :]).max() < 1e-9
    assert json.loads((tmp_path / "t.json").read_text())["type"] == name
    # The offset stretch spans the type's own range (floats 0..1, unclamped).
    assert run("stretch", "--offset", path, tmp_path / "off.tif")[0] == 0
    spread = pixels(tmp_path / "off.tif")[:, 2:, :]
    if np.issubdtype(dtype, np.integer):
        assert spread.min() == np.iinfo(dtype).min and spread.max() == np.iinfo(dtype).max
    else:
        assert spread.min() < 0.1 and spread.max() > 0.9


def test_a_transform_applies_to_another_type_with_to_type(tmp_path):
    data = correlated(3, np.uint16, seed=3)
    vrt = stack(tmp_path, data)
    assert run("stretch", "--offset", "--save-transform", tmp_path / "t.json", vrt,
               tmp_path / "u16.tif")[0] == 0
    # The same scene as int16 (every value less 32768, no-data too) through the uint16 transform.
    signed = (data.astype(np.int32) - 32768).astype(np.int16)
    folder = tmp_path / "signed"
    folder.mkdir()
    svrt = stack(folder, signed, nodata=-32768)
    status, out = run("apply", svrt, tmp_path / "i16.tif", "--transform", tmp_path / "t.json")
    assert status == 2 and "--to-type int16 converts it" in out, out
    status, out = run("apply", svrt, tmp_path / "i16.tif", "--transform", tmp_path / "t.json",
                      "--to-type", "int16")
    assert status == 0, out
    assert (pixels(tmp_path / "i16.tif").astype(np.int32) ==
            pixels(tmp_path / "u16.tif").astype(np.int32) - 32768).all()
    # A no-data value the other type cannot hold is refused, not dropped; --nodata replaces it.
    tool("gdal_translate", "-q", "-ot", "Byte", "-scale", 0, 65535, 0, 255, "-a_nodata", 0, vrt,
         tmp_path / "u8.tif")
    assert run("stretch", "--offset", "--nodata", 1, "--save-transform", tmp_path / "one.json",
               vrt, tmp_path / "one.tif")[0] == 0
    status, out = run("apply", tmp_path / "u8.tif", tmp_path / "a8.tif", "--transform",
                      tmp_path / "one.json", "--to-type", "uint8")
    assert status == 2 and "no-data value 1 is" in out and "--nodata V" in out, out
    assert not (tmp_path / "a8.tif").exists()
    assert run("apply", tmp_path / "u8.tif", tmp_path / "a8.tif", "--transform",
               tmp_path / "one.json", "--to-type", "uint8", "--nodata", 0)[0] == 0


# ---- Refusals ----------------------------------------------------------------------------------

def test_complex_and_64_bit_integer_rasters_are_refused_by_name(tmp_path):
    for gdal_type, name in ((gdal.GDT_CInt16, "complex int16"), (gdal.GDT_Int64, "int64")):
        path = tmp_path / "in.tif"
        gdal.GetDriverByName("GTiff").Create(str(path), W, H, 3, gdal_type).SetGeoTransform(
            GEOTRANSFORM)
        status, out = run("stretch", "--offset", path, tmp_path / "out.tif")
        assert status == 2 and f"{name} samples cannot be stretched" in out, out
        assert not (tmp_path / "out.tif").exists() and not leftovers(tmp_path)


def test_a_vrt_of_signed_bytes_is_refused_rather_than_read_unsigned(tmp_path):
    names = []
    for b in range(3):
        names.append(tmp_path / f"s{b}.tif")
        ds = gdal.GetDriverByName("GTiff").Create(str(names[-1]), W, H, 1, gdal.GDT_Byte,
                                                  ["PIXELTYPE=SIGNEDBYTE"])
        ds.GetRasterBand(1).WriteArray(correlated(3, np.int8)[b].view(np.uint8))
        ds = None
    tool("gdalbuildvrt", "-q", "-separate", tmp_path / "s.vrt", *names)
    status, out = run("stretch", "--offset", tmp_path / "s.vrt", tmp_path / "out.tif")
    assert status == 2 and "signed bytes" in out, out
    assert not (tmp_path / "out.tif").exists() and not leftovers(tmp_path)


def test_a_damaged_raster_fails_cleanly(tmp_path):
    vrt = stack(tmp_path, correlated(3))
    tool("gdal_translate", "-q", "-co", "TILED=YES", "-co", "COMPRESS=DEFLATE", vrt,
         tmp_path / "whole.tif")
    data = (tmp_path / "whole.tif").read_bytes()
    (tmp_path / "cut.tif").write_bytes(data[: len(data) * 2 // 3])
    status, out = run("stretch", "--offset", tmp_path / "cut.tif", tmp_path / "out.tif")
    assert status == 2 and "cannot read" in out and "cut.tif" in out, out
    assert not (tmp_path / "out.tif").exists() and not leftovers(tmp_path)
    # Names GDAL cannot resolve get GDAL's reason.
    for name in (f"/vsizip/{tmp_path}/none.zip/a.tif", f'NETCDF:"{tmp_path}/none.nc":x'):
        status, out = run("stretch", "--offset", name, tmp_path / "out.tif")
        assert status == 2 and f"cannot read {name}: " in out, out
        assert "does not exist" in out or "No such file" in out, out
    assert not (tmp_path / "out.tif").exists() and not leftovers(tmp_path)


@pytest.mark.parametrize("driver", ["GTiff", "COG"])
def test_a_file_size_limit_leaves_an_earlier_output_whole(tmp_path, driver):
    vrt = stack(tmp_path, correlated(7))
    (tmp_path / "out.tif").write_bytes(b"earlier")
    status, out = run("stretch", "--offset", "--of", driver, vrt, tmp_path / "out.tif",
                      limit=20_000)
    assert status == 2 and "cannot write" in out and "out.tif" in out, out
    assert (tmp_path / "out.tif").read_bytes() == b"earlier" and not leftovers(tmp_path)


def test_the_inputs_statistics_are_not_copied(tmp_path):
    vrt = stack(tmp_path, correlated(3))
    tool("gdal_translate", "-q", "-stats", vrt, tmp_path / "stats.tif")
    before = info(tmp_path / "stats.tif")["bands"][0]["metadata"][""]
    assert any(k.startswith("STATISTICS_") for k in before)
    assert run("stretch", "--offset", tmp_path / "stats.tif", tmp_path / "out.tif")[0] == 0
    after = info(tmp_path / "out.tif")
    for band in after["bands"]:
        kept = band.get("metadata", {}).get("", {})
        assert not any(k.startswith("STATISTICS_") for k in kept), kept
        assert kept.get("WAVELENGTH") == str(350 + 100 * band["band"])
    assert not os.path.exists(str(tmp_path / "out.tif") + ".aux.xml")


def test_overviews_are_rebuilt_where_the_input_had_them(tmp_path):
    vrt = stack(tmp_path, correlated(3))
    tool("gdal_translate", "-q", "-co", "TILED=YES", vrt, tmp_path / "in.tif")
    tool("gdaladdo", "-q", "-r", "average", tmp_path / "in.tif", 2, 4)
    assert run("stretch", "--offset", tmp_path / "in.tif", tmp_path / "out.tif")[0] == 0
    assert run("stretch", "--offset", "--overviews", "none", tmp_path / "in.tif",
               tmp_path / "bare.tif")[0] == 0
    assert gdal.Open(str(tmp_path / "bare.tif")).GetRasterBand(1).GetOverviewCount() == 0
    # GDAL's own overviews of the bare output are the ones written with it.
    tool("gdaladdo", "-q", "-r", "average", tmp_path / "bare.tif", 2, 4)
    ours, theirs = gdal.Open(str(tmp_path / "out.tif")), gdal.Open(str(tmp_path / "bare.tif"))
    for b in range(1, 4):
        mine, ref = ours.GetRasterBand(b), theirs.GetRasterBand(b)
        assert mine.GetOverviewCount() == 2
        for i in range(2):
            assert (mine.GetOverview(i).ReadAsArray() == ref.GetOverview(i).ReadAsArray()).all()
    # Without overviews in the input, none are made.
    assert run("stretch", "--offset", vrt, tmp_path / "plain.tif")[0] == 0
    assert gdal.Open(str(tmp_path / "plain.tif")).GetRasterBand(1).GetOverviewCount() == 0
