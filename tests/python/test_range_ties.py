"""Each component's extremes on pictures where many pixels tie with an extreme or repeat the pixel
that set it (a photograph in a black frame, a greyscale photograph as three bands, one colour,
a photograph of few colours), against NumPy: every component computed in the x87's 80-bit
arithmetic in the engine's order (each sample times its weight in working order, summed, then
the constant), rounded to doubles, least and greatest. Every kernel family serves them: the
three-byte layout, four-byte cells in either band direction, and the stream of planes, of other
sample types and of a sparse selection; on fitted axes and on rows made to tie."""
import json
import os

import numpy as np
import pytest

import veltrane as vt

DATA = os.path.join(os.path.dirname(__file__), "..", "data")
LONG = np.longdouble


def photograph(name):
    """A binary PPM of tests/data as an H x W x 3 uint8 array."""
    with open(os.path.join(DATA, name), "rb") as f:
        fields = []
        while len(fields) < 4:
            line = f.readline()
            fields += line.split(b"#")[0].split()
        w, h = int(fields[1]), int(fields[2])
        return np.frombuffer(f.read(w * h * 3), np.uint8).reshape(h, w, 3)


def pictures():
    rocket, cat = photograph("rocket.ppm"), photograph("chelsea.ppm")
    framed = np.zeros((rocket.shape[0] + 200, rocket.shape[1] + 300, 3), np.uint8)
    framed[100:-100, 150:-150] = rocket
    grey = np.repeat(np.rint(cat @ [0.299, 0.587, 0.114]).astype(np.uint8)[..., None], 3, 2)
    uniform = np.empty((300, 401, 3), np.uint8)
    uniform[:] = (196, 120, 64)
    few = (rocket // 64 * 64 + 32).astype(np.uint8)
    # The extremes as single pixels inside rows, one level (one unit of the rows below) beyond
    # many repeats and ties: a test that passed over one of them would lose the extreme. Grey,
    # and of few colours.
    lone_grey = np.clip(grey, 30, 220)
    h, w, _ = lone_grey.shape
    lone_grey[:20, :20], lone_grey[:20, 20:40] = 220, 30
    lone_grey[h // 2, w // 2], lone_grey[h // 3, w // 2 + 9] = 221, 29
    lone_colour = few.copy()
    h, w, _ = lone_colour.shape
    lone_colour[:20, :20], lone_colour[:20, 20:40] = (224, 32, 160), (32, 224, 96)
    lone_colour[h // 2, w // 2], lone_colour[h // 3, w // 2 + 9] = (225, 33, 160), (31, 223, 96)
    # Ramps that move the extremes by one level at a time: grey rising then falling, colour.
    y, x = np.mgrid[0:90, 0:301]
    step = (x + y) * 100 // 390
    grey_ramps = np.repeat(np.concatenate([100 + step, 99 - step])[..., None], 3, 2)
    colour_ramps = np.concatenate([np.stack([100 + step, 200 - step, 50 + step // 2], 2),
                                   np.stack([99 - step, 101 + step, 49 - step // 2], 2)])
    return {"framed": framed, "grey": grey, "uniform": uniform, "few colours": few,
            "lone grey": lone_grey, "lone colour": lone_colour,
            "grey ramps": grey_ramps.astype(np.uint8), "colour ramps": colour_ramps.astype(np.uint8)}


def rows_of(axes):
    """The axes' rows: each component's weights of the image's bands, in the order the engine
    sums them (the plug-in pairing reads the bands last to first and sums in reverse working
    order: the same order), and its constant."""
    return np.array(json.loads(axes.__getstate__()[0])["matrix"], dtype=np.float64)


def with_rows(axes, matrix):
    """The axes with other rows."""
    text, fractions = axes.__getstate__()
    doc = json.loads(text)
    doc["matrix"] = [[float(v) for v in row] for row in matrix]
    made = vt.Axes.__new__(vt.Axes)
    made.__setstate__((json.dumps(doc), fractions))
    return made


def extremes(img, matrix):
    """Each component's least and greatest value over the pixels, in 80-bit arithmetic."""
    x = img.reshape(-1, img.shape[-1]).astype(LONG)
    low, high = [], []
    for row in matrix:
        v = x[:, 0] * LONG(row[0])
        for j in range(1, x.shape[1]):
            v = v + x[:, j] * LONG(row[j])
        v = (v + LONG(row[-1])).astype(np.float64)
        low.append(v.min())
        high.append(v.max())
    return low, high


def layouts(img):
    """The same pixels as the engine's kernel families take them."""
    h, w, _ = img.shape
    cells = np.full((h, w, 4), 255, np.uint8)
    cells[..., :3] = img
    reversed_cells = np.full((h, w, 4), 255, np.uint8)
    reversed_cells[..., 1:] = img[..., ::-1]
    planes = np.ascontiguousarray(np.moveaxis(img, 2, 0))
    return {"three bytes": img, "four-byte cells": cells[..., :3],
            "reversed cells": reversed_cells[..., :0:-1], "planes": np.moveaxis(planes, 0, 2)}


# Rows on which grey pixels tie exactly, differ in the last unit only or by a little, sum to
# zeros of one sign, or take weights of far apart scales (whose sums round); and rows alike, so
# that no other component's extreme sets a pixel apart.
MADE = [[[0.5, -0.25, -0.25, 100.0], [0.5, -0.5 + 2.0 ** -53, 0.0, 7.25],
         [1 + 2.0 ** -20, -1.0, 0.0, 0.0]],
        [[-0.75, -0.0, -0.25, -0.0], [0.5, 2.0 ** -40, -0.5, 0.0],
         [0.1, 0.7, -0.8, 127.5]],
        [[1 + 2.0 ** -20, -1.0, 0.0, 0.0]] * 3,
        [[0.5, -0.5 + 2.0 ** -53, 0.0, 7.25]] * 3]


@pytest.mark.parametrize("name", ["framed", "grey", "uniform", "few colours", "lone grey",
                                  "lone colour", "grey ramps", "colour ramps"])
def test_extremes_equal_the_80_bit_oracle_in_every_layout(name):
    img = pictures()[name]
    stats = vt.statistics(img)
    for pairing in ["plugin", "direct"]:
        fitted = [vt.axes(stats, offset=offset, pairing=pairing) for offset in (True, False)]
        for axes in fitted + [with_rows(fitted[0], rows) for rows in MADE]:
            matrix = rows_of(axes)
            expected = extremes(img, matrix)
            for layout, view in layouts(img).items():
                for threads in (1, 0):
                    r = vt.component_ranges(view, axes, threads=threads)
                    assert (list(r.lowest), list(r.highest)) == expected, (pairing, layout, matrix)


@pytest.mark.parametrize("name", ["framed", "lone grey", "lone colour", "grey ramps"])
def test_other_sample_types_and_a_sparse_selection(name):
    img = pictures()[name]
    for typed in [(img.astype(np.int16) - 128).astype(np.int8), img.astype(np.uint16) * 257]:
        stats = vt.statistics(typed)
        fitted = vt.axes(stats, offset=True, pairing="direct")
        for axes in [fitted, with_rows(fitted, MADE[0])]:
            matrix = rows_of(axes)
            r = vt.component_ranges(typed, axes, threads=1)
            assert (list(r.lowest), list(r.highest)) == extremes(typed, matrix)
            r = vt.component_ranges(typed, axes, every=3, threads=1)
            assert (list(r.lowest), list(r.highest)) == extremes(typed[::3, ::3], matrix)
