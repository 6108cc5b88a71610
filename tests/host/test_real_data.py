"""veltrane on the edges of real data: scenes as GDAL writes them, photographs as cameras and
Debian's packages hold them, damaged files, full disks and interrupted runs. Every file is made
here with GDAL, NumPy or Pillow, and every result is checked with them, never with veltrane's
own code."""

import json
import os
import resource
import shutil
import signal
import subprocess
import time

import numpy as np
import pytest

gdal = pytest.importorskip("osgeo.gdal")
osr = pytest.importorskip("osgeo.osr")
Image = pytest.importorskip("PIL.Image")
gdal.UseExceptions()

HOST = os.environ.get("VELTRANE_HOST", "")
SKIMAGE = "/usr/lib/python3/dist-packages/skimage/data"
pytestmark = pytest.mark.skipif(not HOST, reason="VELTRANE_HOST is not set")


def run(*args, env=None, limit=None):
    """veltrane with these arguments: (exit status, standard output and error)."""
    def limited():
        if limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    p = subprocess.run([HOST, *map(str, args)], capture_output=True, text=True,
                       env={**os.environ, **(env or {})}, preexec_fn=limited,
                       stdin=subprocess.DEVNULL, timeout=300)
    return p.returncode, p.stdout + p.stderr


def scene(path, bands, dtype=gdal.GDT_UInt16, size=(64, 48), nodata=None, stats=False,
          options=("COMPRESS=DEFLATE",)):
    """A georeferenced scene of correlated bands (UTM 33N, 30 m pixels) with a no-data border
    two pixels wide; returns its pixels, bands first."""
    w, h = size
    rng = np.random.default_rng(bands)
    y, x = np.mgrid[0:h, 0:w]
    base = 200 + 9 * x + 5 * y
    data = np.stack([base * (1 + 0.2 * b) + rng.integers(0, 60, (h, w)) + 30 * ((x + b) % 7)
                     for b in range(bands)])
    np_type = gdal.GetDataTypeName(dtype).lower()
    data = data.astype({"byte": np.uint8, "uint16": np.uint16, "int16": np.int16,
                        "float32": np.float32, "cfloat32": np.complex64}[np_type])
    if nodata is not None:
        data[:, :2, :] = nodata
    ds = gdal.GetDriverByName("GTiff").Create(str(path), w, h, bands, dtype, list(options))
    ds.SetGeoTransform([500000, 30, 0, 4000000, 0, -30])
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32633)
    ds.SetProjection(srs.ExportToWkt())
    for b in range(bands):
        band = ds.GetRasterBand(b + 1)
        band.WriteArray(data[b])
        band.SetDescription(f"B{b + 1}")
        if nodata is not None:
            band.SetNoDataValue(nodata)
        if stats:
            band.SetStatistics(0, 15466, 700, 90)
    ds = None
    return data


def pixels(path):
    ds = gdal.Open(str(path))
    return ds.ReadAsArray()


def photo(path, w=80, h=60, **save):
    rng = np.random.default_rng(5)
    y, x = np.mgrid[0:h, 0:w]
    rgb = np.stack([60 + 2 * x, 80 + y + x // 2, 120 + (x ^ y) % 40], axis=-1)
    rgb = np.clip(rgb + rng.integers(-8, 8, rgb.shape), 0, 255).astype(np.uint8)
    Image.fromarray(rgb).save(path, **save)
    return rgb


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if ".part" in n)


# ---- One path, and what rasters carry ---------------------------------------------------------

def test_three_band_geotiff_keeps_crs_origin_nodata_and_compression(tmp_path):
    scene(tmp_path / "rgb.tif", 3, gdal.GDT_Byte, nodata=0, stats=True)
    status, out = run("stretch", tmp_path / "rgb.tif", tmp_path / "out.tif", "--offset",
                      "--nodata", 0)
    assert status == 0, out
    info = gdal.Info(str(tmp_path / "out.tif"), format="json")
    assert "32633" in info["coordinateSystem"]["wkt"]
    assert info["geoTransform"] == [500000, 30, 0, 4000000, 0, -30]
    assert info["metadata"]["IMAGE_STRUCTURE"]["COMPRESSION"] == "DEFLATE"
    for band in info["bands"]:
        assert band["noDataValue"] == 0
        assert band["description"] == f"B{band['band']}"
        # The input's statistics describe the input, not the stretched result.
        assert not any(k.startswith("STATISTICS_") for k in band.get("metadata", {}).get("", {}))
    # The no-data border passes unchanged; the through-the-plug-in result has the same bytes as
    # the engine's wherever the plug-in serves.
    assert (pixels(tmp_path / "out.tif")[:, :2, :] == 0).all()
    Image.fromarray(np.moveaxis(pixels(tmp_path / "rgb.tif"), 0, -1)).save(tmp_path / "rgb.png")
    assert run("stretch", tmp_path / "rgb.png", tmp_path / "a.png", "--offset")[0] == 0
    assert run("stretch", tmp_path / "rgb.png", tmp_path / "b.png", "--offset", "--plugin")[0] == 0
    assert (np.asarray(Image.open(tmp_path / "a.png")) ==
            np.asarray(Image.open(tmp_path / "b.png"))).all()


def test_unsupported_sample_types_and_band_counts_are_refused_by_name(tmp_path):
    scene(tmp_path / "complex.tif", 3, gdal.GDT_CFloat32)
    status, out = run("stretch", tmp_path / "complex.tif", tmp_path / "out.tif", "--offset")
    assert status == 2 and "complex64 samples cannot be stretched" in out, out
    scene(tmp_path / "wide.tif", 1025, gdal.GDT_Byte, size=(8, 6))
    status, out = run("stretch", tmp_path / "wide.tif", tmp_path / "out.tif", "--offset",
                      "--keep", "1")
    assert status == 2 and "1025 colour bands" in out, out
    assert not (tmp_path / "out.tif").exists() and not leftovers(tmp_path)


def test_hyperspectral_rasters_stretch_band_by_band_into_tiff(tmp_path):
    # 224 bands, as a spectrometer's: the stretch keeps band 100 as it is and spreads the
    # others; the result is a TIFF of as many bands.
    data = scene(tmp_path / "cube.tif", 224, gdal.GDT_UInt16, size=(40, 30))
    status, out = run("stretch", tmp_path / "cube.tif", tmp_path / "out.tif", "--offset",
                      "--keep", "100")
    assert status == 0, out
    result = pixels(tmp_path / "out.tif")
    assert result.shape == data.shape
    assert (result[99] == data[99]).all()
    assert not (result[5] == data[5]).all()
    status, out = run("stretch", tmp_path / "cube.tif", tmp_path / "target.tif",
                      "--target-sigma", "2000")
    assert status == 0, out
    assert pixels(tmp_path / "target.tif").shape == data.shape


@pytest.mark.parametrize("bands, dtype, name, reason", [
    (3, gdal.GDT_Float32, "out.png", "PNG cannot hold float32 samples"),
    (3, gdal.GDT_Float32, "out.jpg", "JPEG cannot hold float32 samples"),
    (7, gdal.GDT_UInt16, "out.jpg", "JPEG cannot hold 16-bit samples"),
    (5, gdal.GDT_Byte, "out.png", "PNG cannot hold 5 bands"),
    (4, gdal.GDT_Byte, "out.png", "four colour bands"),
    (3, gdal.GDT_UInt16, "out.webp", "WebP cannot hold 16-bit samples"),
])
def test_results_the_format_cannot_hold_are_refused_before_reading(tmp_path, bands, dtype, name,
                                                                    reason):
    scene(tmp_path / "in.tif", bands, dtype, options=("PHOTOMETRIC=MINISBLACK", "ALPHA=NO"))
    status, out = run("stretch", tmp_path / "in.tif", tmp_path / name, "--offset")
    assert status == 2 and reason in out and "TIFF" in out, out
    assert not (tmp_path / name).exists()


def test_compare_of_many_bands_shows_the_first_three(tmp_path):
    scene(tmp_path / "in.tif", 7, gdal.GDT_Byte)
    status, out = run("stretch", tmp_path / "in.tif", tmp_path / "out.tif", "--offset",
                      "--compare", tmp_path / "cmp.png")
    assert status == 0, out
    cmp = np.asarray(Image.open(tmp_path / "cmp.png"))
    assert cmp.shape == (48, 2 * 64 + 8, 3)
    assert (cmp[:, :64, :] == np.moveaxis(pixels(tmp_path / "in.tif")[:3], 0, -1)).all()


# ---- Damaged input -----------------------------------------------------------------------------

def test_damaged_files_are_refused_and_a_batch_counts_them(tmp_path):
    whole = tmp_path / "astronaut.png"
    photo(whole, 400, 300)
    with open(whole, "rb") as f:
        data = f.read()
    (tmp_path / "coffee.png").write_bytes(data[: len(data) // 2])
    status, out = run("stretch", tmp_path / "coffee.png", tmp_path / "out.png", "--offset")
    assert status == 2 and "cannot read" in out and "coffee.png" in out, out
    assert len(out.splitlines()) < 8, out
    assert not (tmp_path / "out.png").exists()
    if os.path.exists(f"{SKIMAGE}/truncated.jpg"):
        status, out = run("stretch", f"{SKIMAGE}/truncated.jpg", tmp_path / "t.png", "--offset")
        assert status == 2 and "truncated.jpg" in out, out
    status, out = run("stretch", "--out-dir", tmp_path / "res", "--jobs", 2, "--offset",
                      whole, tmp_path / "coffee.png")
    assert status == 2 and "stretched 1 of 2 images" in out and "1 failed" in out, out
    # The damaged file's message names it, not its neighbour.
    assert [line for line in out.splitlines() if "cannot read" in line][0].count("coffee") >= 1
    # In a pool, a damaged file fails the batch rather than bending every transform.
    status, out = run("stretch", "--out-dir", tmp_path / "pool", "--pool", "--offset",
                      whole, tmp_path / "coffee.png")
    assert status == 2 and "coffee.png" in out and "stretched 0 of 2" in out, out
    assert not (tmp_path / "pool").exists() or not os.listdir(tmp_path / "pool")


# ---- Nothing written half ------------------------------------------------------------------------

def test_a_file_size_limit_leaves_the_only_copy_whole(tmp_path):
    photo(tmp_path / "photo.png", 400, 300)
    before = (tmp_path / "photo.png").read_bytes()
    status, out = run("stretch", tmp_path / "photo.png", tmp_path / "photo.png", "--offset",
                      limit=20_000)
    assert status == 2 and "cannot write" in out, out
    assert (tmp_path / "photo.png").read_bytes() == before
    assert not leftovers(tmp_path)
    # Image and transform succeed or fail together, and an earlier transform stays.
    (tmp_path / "t.json").write_text('{"kept": true}')
    status, out = run("stretch", tmp_path / "photo.png", tmp_path / "out.tif", "--offset",
                      "--save-transform", tmp_path / "t.json", limit=20_000)
    assert status == 2, out
    assert not (tmp_path / "out.tif").exists()
    assert (tmp_path / "t.json").read_text() == '{"kept": true}'
    status, out = run("stretch", tmp_path / "photo.png", tmp_path / "out.png", "--offset",
                      "--save-transform", tmp_path / "no" / "such" / "t.json")
    assert status == 2 and not (tmp_path / "out.png").exists(), out
    assert not leftovers(tmp_path)


@pytest.fixture
def small_disk(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=200k", "tmpfs", str(disk)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here (the file-size limit test covers the same)")
    yield disk
    subprocess.run(["umount", str(disk)])


def test_a_full_disk_leaves_nothing_under_a_final_name(tmp_path, small_disk):
    photo(tmp_path / "photo.png", 500, 400)
    for args in (["stretch", tmp_path / "photo.png", small_disk / "out.png", "--offset"],
                 ["stretch", tmp_path / "photo.png", small_disk / "o.tif", "--offset",
                  "--compare", small_disk / "cmp.png"],
                 ["stretch", tmp_path / "photo.png", small_disk / "p.png", "--offset", "--plugin"],
                 ["gallery", tmp_path / "photo.png", small_disk / "sheet.png",
                  "--tile-width", 2000]):
        status, out = run(*args)
        assert status == 2 and "cannot write" in out, out
        assert os.listdir(small_disk) == [], (args, os.listdir(small_disk))


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_an_interrupted_run_removes_its_part_files(tmp_path, sig):
    scene(tmp_path / "big.tif", 4, gdal.GDT_UInt16, size=(2000, 1500))
    p = subprocess.Popen([HOST, "stretch", str(tmp_path / "big.tif"), str(tmp_path / "out.tif"),
                          "--offset"], env={**os.environ, "VELTRANE_STRIP_ROWS": "4"},
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60  # a loaded machine may take long to start the run
    while not leftovers(tmp_path) and p.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    assert leftovers(tmp_path), "the run ended before its part file appeared"
    p.send_signal(sig)
    assert p.wait(timeout=60) == -sig
    assert not leftovers(tmp_path) and not (tmp_path / "out.tif").exists()


def test_out_dir_over_the_inputs_needs_overwrite(tmp_path):
    photo(tmp_path / "a.png")
    before = (tmp_path / "a.png").read_bytes()
    status, out = run("stretch", "--out-dir", tmp_path, "--offset", tmp_path / "a.png")
    assert status == 2 and "--overwrite" in out, out
    assert (tmp_path / "a.png").read_bytes() == before
    status, out = run("stretch", "--out-dir", tmp_path, "--offset", "--overwrite",
                      tmp_path / "a.png")
    assert status == 0 and (tmp_path / "a.png").read_bytes() != before, out


# ---- Selections and the transform file -----------------------------------------------------

def test_empty_selections_are_refused_with_the_selection(tmp_path):
    scene(tmp_path / "in.tif", 3, gdal.GDT_UInt16, nodata=7)
    Image.fromarray(np.zeros((48, 64), np.uint8)).save(tmp_path / "mask.png")
    for extra, named in ((["--sample", "0,0,0,0"], "--sample 0,0,0,0"),
                         (["--mask", tmp_path / "mask.png"], "--mask"),
                         (["--sample", "0,0,64,2", "--nodata", 7], "--nodata 7")):
        for method in (["--offset"], ["--no-offset"], ["--target-sigma", 50]):
            status, out = run("stretch", tmp_path / "in.tif", tmp_path / "out.tif", *method,
                              *extra)
            assert status == 2 and "no pixels selected" in out and named in out, (extra, out)
            assert not (tmp_path / "out.tif").exists()
    # A step beyond the image selects the first pixel, which lies in the no-data border: the
    # file's own no-data value leaves nothing selected unless --nodata none sets it aside.
    status, out = run("stretch", tmp_path / "in.tif", tmp_path / "out.tif", "--offset",
                      "--every", 9223372036854775807)
    assert status == 2 and "the file's no-data value 7" in out, out
    status, out = run("stretch", tmp_path / "in.tif", tmp_path / "out.tif", "--offset",
                      "--every", 9223372036854775807, "--nodata", "none")
    assert status == 0, out
    for bad in ("0", "-3", "2x", "99999999999999999999"):
        status, out = run("stretch", tmp_path / "in.tif", tmp_path / "o.tif", "--offset",
                          "--every", bad)
        assert status == 2 and "--every" in out, out


def test_apply_uses_the_transforms_own_nodata(tmp_path):
    scene(tmp_path / "in.tif", 4, gdal.GDT_UInt16, nodata=0)
    status, out = run("stretch", tmp_path / "in.tif", tmp_path / "s.tif", "--offset",
                      "--nodata", 0, "--save-transform", tmp_path / "t.json")
    assert status == 0, out
    assert json.loads((tmp_path / "t.json").read_text())["nodata"] == 0
    status, out = run("apply", tmp_path / "in.tif", tmp_path / "a.tif", "--transform",
                      tmp_path / "t.json")
    assert status == 0, out
    assert (pixels(tmp_path / "a.tif") == pixels(tmp_path / "s.tif")).all()
    status, out = run("apply", tmp_path / "in.tif", tmp_path / "b.tif", "--transform",
                      tmp_path / "in.tif")
    assert status == 2 and "in.tif" in out and "not a transform" in out, out


def test_offset_warns_when_it_saturates_most_of_a_band(tmp_path):
    scene(tmp_path / "seven.tif", 7, gdal.GDT_UInt16)
    status, out = run("stretch", tmp_path / "seven.tif", tmp_path / "out.tif", "--offset")
    assert status == 0, out
    out_pixels = pixels(tmp_path / "out.tif")
    saturated = [((b == 0) | (b == 65535)).mean() for b in out_pixels]
    if max(saturated) > 0.5:
        assert "warning" in out and "--target-sigma" in out, (saturated, out)
    else:
        assert "warning" not in out, (saturated, out)


# ---- Photographs keep what they carried ------------------------------------------------------

def test_camera_exif_and_gps_reach_a_tiff(tmp_path):
    tifffile = pytest.importorskip("tifffile")
    exif = Image.Exif()
    exif[0x010F] = "PhoneMaker"  # Make
    exif[0x0110] = "Field 7"  # Model
    exif[0x8769] = {0x829A: 0.008, 0x9003: "2026:12:08 10:11:12"}  # exposure, taken
    exif[0x8825] = {1: "N", 2: (52.0, 30.0, 15.5)}  # GPS latitude
    photo(tmp_path / "phone.jpg", exif=exif.tobytes(), quality=100, subsampling=0)
    for name in ("out.tif", "again.tif"):
        source = tmp_path / ("phone.jpg" if name == "out.tif" else "out.tif")
        status, out = run("stretch", source, tmp_path / name, "--offset")
        assert status == 0, out
        md = gdal.Open(str(tmp_path / name)).GetMetadata("EXIF")
        assert md["EXIF_DateTimeOriginal"] == "2026:12:08 10:11:12", md
        assert float(md["EXIF_ExposureTime"].strip("() ")) == 0.008
        assert md["EXIF_GPSLatitudeRef"] == "N"
        assert md["EXIF_GPSLatitude"].replace(" ", "") == "(52)(30)(15.5)"
        page = tifffile.TiffFile(tmp_path / name).pages[0]
        assert page.tags["Make"].value == "PhoneMaker" and page.tags["Model"].value == "Field 7"


def test_jpeg_output_keeps_the_colour_detail(tmp_path):
    from PIL import JpegImagePlugin
    photo(tmp_path / "in.png", 120, 90)
    for extra, quality_at_least, name in (([], 95, "a.jpg"), (["--quality", 80], 80, "b.jpg"),
                                          ([], 90, "c.jpg[Q=90]")):
        status, out = run("stretch", tmp_path / "in.png", tmp_path / name, "--offset", *extra)
        assert status == 0, out
        file = tmp_path / name.split("[")[0]
        jpeg = Image.open(file)
        assert JpegImagePlugin.get_sampling(jpeg) == 0  # 4:4:4
        # The luminance table's first entry: 2 at quality 95, 3 at 90, 6 at 80 (IJG scaling).
        expected = {95: 2, 90: 3, 80: 6}[quality_at_least]
        assert jpeg.quantization[0][0] == expected, (name, jpeg.quantization[0][:4])
    assert run("stretch", tmp_path / "in.png", tmp_path / "x.jpg", "--quality", 0,
               "--offset")[0] == 2


# ---- Messages -------------------------------------------------------------------------------

def test_help_covers_every_command_and_option(tmp_path):
    status, text = run("--help")
    assert status == 0
    for option in ("--quality", "--overwrite", "--plugin", "--tile-width", "--port",
                   "--transform", "--target-sigma", "--clip", "--keep", "--verbose"):
        assert option in text, option
    for command in ("info", "stretch", "apply", "gallery", "serve"):
        status, text = run(command, "--help")
        assert status == 0 and "usage: veltrane " + command in text, command
    status, out = run("stretch", "a.png", "b.png", "--jobs", "2x")
    assert status == 2 and "--jobs" in out


def test_a_batch_of_targets_asks_nothing(tmp_path):
    photo(tmp_path / "a.png")
    photo(tmp_path / "b.png", 50, 40)
    status, out = run("stretch", "--out-dir", tmp_path / "res", "--target-sigma", 40,
                      tmp_path / "a.png", tmp_path / "b.png")
    assert status == 0 and "Allow offset" not in out, out
    assert sorted(os.listdir(tmp_path / "res")) == ["a.png", "b.png"]


def test_pool_and_sample_errors_name_the_input(tmp_path):
    photo(tmp_path / "big.png", 80, 60)
    photo(tmp_path / "small.png", 20, 10)
    status, out = run("stretch", "--out-dir", tmp_path / "res", "--pool", "--offset",
                      "--sample", "30,30,10,10", tmp_path / "big.png", tmp_path / "small.png")
    assert status == 2 and "small.png" in out and "rectangle" in out, out
