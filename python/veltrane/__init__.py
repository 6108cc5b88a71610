"""The principal-component ("decorrelation") stretch for NumPy arrays.

    import veltrane
    out = veltrane.stretch(img, offset=True)

Images are H x W x N arrays (H x W for one band) of uint8, uint16 or float32 samples, 1 to
16 bands, in any memory layout (slices, transposed or Fortran-ordered views, negative
strides): the engine reads them where they lie. The options are those of `veltrane stretch`
(docs/controls.md defines each exactly), and the results are the command line's to the byte:
three bands are paired as the plug-in pairs them unless pairing="direct", a space, kept bands
or a target is given.

The steps of a fit, for series and for distributed work (each result picklable):

    s = veltrane.statistics(piece) + veltrane.statistics(other_piece)   # pooled sums
    a = veltrane.axes(s, offset=True)                                   # principal axes
    r = veltrane.component_ranges(piece, a) + veltrane.component_ranges(other_piece, a)
    t = veltrane.build(a, r)                                            # the Transform
    h = veltrane.ClipHistogram(t, 0.01, 0.01)                           # saturation, if wanted
    while h.needs_pass:
        for p in pieces: h.measure(p)     # or: e = h.empty(); e.measure(p); h.merge(e)
        h.finish_pass()
    t = h.clipped()

The target method (target_mean, target_sigma) needs the statistics alone: fit(s, ...).
Wrong arrays raise TypeError, values that do not fit raise ValueError; nothing is written to
an output when a call fails.
"""

import json
import numbers

import numpy as np

from . import _core
from ._core import Axes, ClipHistogram, ComponentRanges, Statistics, Transform

__all__ = [
    "stretch",
    "statistics",
    "fit",
    "axes",
    "component_ranges",
    "build",
    "Statistics",
    "Transform",
    "Axes",
    "ComponentRanges",
    "ClipHistogram",
]

_MAX_BANDS = 16
_DTYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32))


# ---- Checks and normalisation ----------------------------------------------------------------


def _image(img, what="img"):
    if not isinstance(img, np.ndarray):
        raise TypeError("%s must be a NumPy array, not %s" % (what, type(img).__name__))
    if img.dtype not in _DTYPES or not img.dtype.isnative:
        raise TypeError(
            "%s: the stretch takes uint8, uint16 or float32 samples, not %s" % (what, img.dtype)
        )
    if img.ndim not in (2, 3):
        raise ValueError(
            "%s: an image is an H x W or H x W x N array, not %d-dimensional" % (what, img.ndim)
        )
    bands = 1 if img.ndim == 2 else img.shape[2]
    if not 1 <= bands <= _MAX_BANDS:
        raise ValueError("%s: images have 1 to 16 bands, not %d" % (what, bands))
    if img.shape[0] == 0 or img.shape[1] == 0:
        raise ValueError("%s: the image has no pixels" % what)
    return bands


def _plain(value):
    """A keyword's value as JSON holds it, for the engine's table of options: arrays and
    tuples as lists, NumPy scalars as numbers; what JSON cannot hold (inf, nan, objects) as
    its text, which the table refuses by the option's name."""
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.generic):
        return _plain(value.item())
    if isinstance(value, (bool, str)) or value is None:
        return value
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value) if np.isfinite(value) else repr(float(value))
    return repr(value)


def _request(values):
    return json.dumps({k: _plain(v) for k, v in values.items()})


def _selection(sample, mask, every, nodata):
    """The selection keywords as _core takes them: (x, y, w, h), mask, every, nodata."""
    if mask is not None and not isinstance(mask, np.ndarray):
        raise TypeError("mask must be a NumPy array, not %s" % type(mask).__name__)
    rect, every, nodata, _ = _core._selection_request(
        _request({"sample": sample, "every": every, "nodata": nodata})
    )
    return rect, mask, every, nodata


def _threads(threads):
    return _core._selection_request(_request({"threads": threads}))[3]


def _fit_options(
    bands,
    offset=None,
    basis="correlation",
    pairing="plugin",
    target_mean=None,
    target_sigma=None,
    space=None,
    matrix=None,
    keep=None,
    clip=None,
):
    """The fit's keywords read by the engine's table of options (the command line's rules and
    messages) and checked against a band count (None: not known yet), normalised for _core."""
    # offset=None: the default (True, or the target when one is given).
    values = {"offset": offset}
    values.update(basis=basis, pairing=pairing, target_mean=target_mean,
                  target_sigma=target_sigma, space=space, matrix=matrix, keep=keep, clip=clip)
    return _core._fit_request(_request(values), 0 if bands is None else bands)


def _output(img, out):
    """The array to write: a new one, or out checked against img."""
    if out is None:
        return np.empty(img.shape, img.dtype)
    if not isinstance(out, np.ndarray):
        raise TypeError("out must be a NumPy array, not %s" % type(out).__name__)
    if out.shape != img.shape or out.dtype != img.dtype:
        raise ValueError(
            "out must be an array of the image's shape %s and type %s, not %s %s"
            % (img.shape, img.dtype, out.shape, out.dtype)
        )
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out


def _source_for(img, out):
    # The engine maps in place only when the views coincide; another overlap reads a copy.
    same = (
        out.__array_interface__["data"][0] == img.__array_interface__["data"][0]
        and out.strides == img.strides
    )
    if not same and np.shares_memory(img, out):
        return img.copy()
    return img


# ---- The interface -----------------------------------------------------------------------------


def stretch(
    img,
    *,
    offset=None,
    basis="correlation",
    pairing="plugin",
    target_mean=None,
    target_sigma=None,
    clip=None,
    space=None,
    matrix=None,
    keep=None,
    sample=None,
    mask=None,
    every=1,
    nodata=None,
    threads=0,
    out=None,
):
    """The decorrelation stretch of an image: fit() then Transform.apply().

    img: H x W x N (or H x W) array of uint8, uint16 or float32 samples, any strides.
    offset: True (the default) moves and scales each principal component to span the range
        (--offset); False scales each about 0 (--no-offset). A target is a method of its own.
    basis: 'correlation' (default) or 'covariance'.
    pairing: 'plugin' (three bands measured and weighted as the plug-in does) or 'direct'.
    target_mean, target_sigma: the target method; one number or one a band, in the samples'
        units (sigma at least 0); an unset one keeps each band's own.
    clip: LOW or (LOW, HIGH): saturate those fractions of the selected pixels at each end.
    space: 'rgb', 'ycbcr' or 'yiq', or matrix: a 3 x 4 affine map (three bands only).
    keep: 1-based bands (of the space) that pass unchanged.
    sample: (x, y, w, h) rectangle the statistics come from (w, h -1: to the edge).
    mask: H x W uint8 or bool array; only pixels where it is non-zero count.
    every: every k-th pixel of the rectangle in both directions.
    nodata: pixels whose bands all equal it neither count nor change.
    threads: threads of the passes (0: every processor thread, 1: this thread only).
    out: the array to write (img itself for in place, or one of its shape and type);
        a new array by default. Returns the stretched array.
    """
    bands = _image(img)
    out = _output(img, out)
    options = _fit_options(
        bands, offset, basis, pairing, target_mean, target_sigma, space, matrix, keep, clip
    )
    rect, mask, every, nodata = _selection(sample, mask, every, nodata)
    _core.stretch(
        _source_for(img, out), out, options, rect, mask, every, nodata, _threads(threads)
    )
    return out


def statistics(img, *, sample=None, mask=None, every=1, nodata=None, threads=0):
    """The statistics of the selected pixels of img (sample, mask, every, nodata as in
    stretch()): a Statistics, which pools with + and pickles."""
    _image(img)
    rect, mask, every, nodata = _selection(sample, mask, every, nodata)
    return _core.statistics(img, rect, mask, every, nodata, _threads(threads))


def fit(
    img_or_statistics,
    *,
    image=None,
    offset=None,
    basis="correlation",
    pairing="plugin",
    target_mean=None,
    target_sigma=None,
    clip=None,
    space=None,
    matrix=None,
    keep=None,
    sample=None,
    mask=None,
    every=1,
    nodata=None,
    threads=0,
):
    """The Transform the options (those of stretch()) fit to an image's selected pixels.

    Given Statistics instead (pooled over a series, say), the target method fits from them
    alone; the offset and scale-only methods also need the components' ranges, and clip the
    histogram of the outputs, which are measured over image= (selected by sample, mask,
    every, nodata): fit(s, image=img) is then axes(s) -> component_ranges(img) -> build.
    """
    rect, mask, every, nodata = _selection(sample, mask, every, nodata)
    threads = _threads(threads)
    if isinstance(img_or_statistics, Statistics):
        s = img_or_statistics
        options = _fit_options(
            s.bands, offset, basis, pairing, target_mean, target_sigma, space, matrix, keep, clip
        )
        clip_fractions, options["clip"] = options["clip"], None
        needs = "clip" if clip_fractions is not None else None
        if options["method"] != "target":
            needs = "the offset and scale-only methods"
        if needs is not None and image is None:
            raise ValueError(
                "fit(statistics): %s measure the image too; give it as image=" % needs
            )
        if image is not None:
            bands = _image(image, "image")
            if bands != s.bands or image.dtype.name != s.dtype:
                raise ValueError(
                    "image: the statistics are of %d-band %s images, not %d-band %s"
                    % (s.bands, s.dtype, bands, image.dtype)
                )
        if options["method"] == "target":
            t = _core.fit_target(s, options)
        else:
            a = _core.axes(s, options)
            t = _core.build(a, _core.component_ranges(image, a, rect, mask, every, nodata, threads))
        if nodata is not None:
            t = t._with_nodata(nodata)  # the transform carries the value its fit left out
        if clip_fractions is not None:
            t = _core.clip(t, image, *clip_fractions, rect, mask, every, nodata, threads)
        return t
    if image is not None:
        raise ValueError("image= goes with statistics; fit(img) takes the image itself")
    bands = _image(img_or_statistics)
    options = _fit_options(
        bands, offset, basis, pairing, target_mean, target_sigma, space, matrix, keep, clip
    )
    return _core.fit(img_or_statistics, options, rect, mask, every, nodata, threads)


def axes(
    statistics,
    *,
    offset=None,
    basis="correlation",
    pairing="plugin",
    space=None,
    matrix=None,
    keep=None,
    **ignored,
):
    """The principal axes of (pooled) Statistics for the offset or scale-only method, with the
    fit options of stretch(): the first step of a fit in pieces, for component_ranges() and
    build(). Axes pickle. The target method and clip are not steps of this fit (fit(statistics)
    and ClipHistogram); the selection keywords and threads are accepted and not used here."""
    if not isinstance(statistics, Statistics):
        raise TypeError("axes takes Statistics, not %s" % type(statistics).__name__)
    for key in ("target_mean", "target_sigma"):
        if ignored.get(key) is not None:
            raise ValueError("the target method fits from statistics alone: fit(statistics, ...)")
    if ignored.get("clip") is not None:
        raise ValueError("clip is a pass of its own after build(): ClipHistogram")
    unknown = set(ignored) - {
        "target_mean", "target_sigma", "clip", "sample", "mask", "every", "nodata", "threads"
    }
    if unknown:
        raise TypeError("axes() got unexpected keywords: %s" % ", ".join(sorted(unknown)))
    options = _fit_options(statistics.bands, offset, basis, pairing, None, None, space, matrix, keep)
    return _core.axes(statistics, options)


def component_ranges(img, axes, *, sample=None, mask=None, every=1, nodata=None, threads=0):
    """Each principal component's extremes over the selected pixels of img: ComponentRanges,
    which pool with + (in the series' order) and pickle."""
    _image(img)
    if not isinstance(axes, Axes):
        raise TypeError("component_ranges takes Axes, not %s" % type(axes).__name__)
    rect, mask, every, nodata = _selection(sample, mask, every, nodata)
    return _core.component_ranges(img, axes, rect, mask, every, nodata, _threads(threads))


def build(axes, ranges):
    """The Transform of the axes and the components' (pooled) ranges."""
    if not isinstance(axes, Axes) or not isinstance(ranges, ComponentRanges):
        raise TypeError("build takes Axes and ComponentRanges")
    return _core.build(axes, ranges)


# ---- Methods of the engine's objects with the interface's keywords -------------------------------


def _apply(self, img, out=None, *, nodata=None, threads=0):
    """Maps every pixel of img through the transform into out (img itself for in place, or an
    array of its shape and type; a new array by default) and returns out. Pixels whose bands
    all equal nodata (by default the transform's own nodata, the value its fit left out) and
    pixels with a sample that is not finite are left as they are. img has the transform's
    bands and sample type."""
    bands = _image(img)
    if bands != self.bands or img.dtype.name != self.dtype:
        raise ValueError(
            "the transform is for %d-band %s images, not %d-band %s"
            % (self.bands, self.dtype, bands, img.dtype)
        )
    out = _output(img, out)
    if nodata is not None:
        nodata = _selection(None, None, 1, nodata)[3]
    self._apply(_source_for(img, out), out, nodata, _threads(threads))
    return out


def _measure(self, img, *, sample=None, mask=None, every=1, nodata=None, threads=0):
    """Counts the transform's outputs over the selected pixels of img (one piece of the
    series) in the current pass."""
    _image(img)
    rect, mask, every, nodata = _selection(sample, mask, every, nodata)
    self._measure(img, rect, mask, every, nodata, _threads(threads))


_apply.__name__, _apply.__qualname__ = "apply", "Transform.apply"
_measure.__name__, _measure.__qualname__ = "measure", "ClipHistogram.measure"
Transform.apply = _apply
ClipHistogram.measure = _measure
for _cls in (Statistics, Transform, Axes, ComponentRanges, ClipHistogram):
    _cls.__module__ = __name__
del _cls
