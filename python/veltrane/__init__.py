"""The principal-component ("decorrelation") stretch for NumPy arrays.

    import veltrane
    out = veltrane.stretch(img, offset=True)

Images are H x W x N arrays (H x W for one band) of uint8, uint16, float32, int8, int16,
int32, uint32 or float64 samples, 1 to 1024 bands, in any memory layout (slices, transposed or
Fortran-ordered views, negative strides): the engine reads them where they lie. The options
are those of `veltrane stretch` (docs/controls.md defines each exactly), and the results are
the command line's to the byte: three bands are paired as the plug-in pairs them unless
pairing="direct", a space, kept bands or a target is given.

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

import inspect
import json
import numbers
import re

import numpy as np

from . import _arrays, _core
from ._version import __version__
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

_MAX_BANDS = 1024
_DTYPES = tuple(
    np.dtype(t)
    for t in (np.uint8, np.uint16, np.float32, np.int8, np.int16, np.int32, np.uint32, np.float64)
)
_DTYPE_NAMES = "uint8, uint16, float32, int8, int16, int32, uint32 or float64"


# ---- Documentation -----------------------------------------------------------------------------
# The parameters several functions share (here and in veltrane.dask), written once: a line of a
# docstring that is only $name stands for the block _DOCS[name], indented as that line is.

_DOCS = {
    "image": """\
img : ndarray, xarray.DataArray or array_like, shape (H, W, N) or (H, W)
    1 to 1024 bands of uint8, uint16, float32, int8, int16, int32, uint32 or float64 samples in
    either byte order and any memory layout (slices, transposed or Fortran-ordered views,
    negative strides); integer samples span their type's range (int16: -32768..32767), float
    samples 0..1. Bands are the last axis unless `channel_axis` or `band_dim` says otherwise;
    a last axis longer than 4 and than another axis is refused without them. A DataArray's
    band dimension is the one named 'band' (or 'bands', 'channel', 'channels'); a rioxarray's
    ``rio.nodata`` is the default `nodata`; a Dask-backed DataArray or a dask array goes
    through ``veltrane.dask`` and its result stays lazy.""",
    "layout": """\
channel_axis : int, optional
    The axis of the image that holds the bands (0 for band-first N x H x W arrays).
band_dim : str, optional
    The dimension of a DataArray image that holds the bands.""",
    "method": """\
offset : bool, optional
    True (the default) moves and scales each principal component to span the samples'
    range (``--offset``); False scales each about 0 (``--no-offset``). With a target the
    default is the target method, and ``offset=False`` is refused.
basis : {'correlation', 'covariance'}, optional
    The matrix whose eigenvectors are the principal axes (default 'correlation').
pairing : {'plugin', 'direct'}, optional
    How three bands pair: 'plugin' (the default) measures and weights them as the plug-in
    does, for the command line's bytes; 'direct' takes them in the array's order. A space,
    kept bands or a target pair directly.""",
    "target": """\
target_mean, target_sigma : float or sequence of float, optional
    The target method: the outputs' mean and standard deviation, one number or one a band,
    in the samples' units (sigma at least 0); an unset one keeps each band's own.
clip : float or (float, float), optional
    ``LOW`` or ``(LOW, HIGH)``: saturate those fractions of the selected pixels at each end
    (float outputs are then clamped to 0..1).""",
    "space": """\
space : {'rgb', 'ycbcr', 'yiq', 'lab'}, optional
    Decorrelate in a colour space (three bands). 'lab' is CIE L*a*b* (D65) of sRGB pixels
    (uint8, uint16, float32 or float64, all sRGB-encoded): the fit is of the pixels' L*a*b*
    values, bands L*, a*, b* (``keep=1`` keeps the lightness), each pixel converted back to
    sRGB and clamped; a target is then in L*a*b* units (docs/controls.md).
matrix : array_like, shape (3, 4), optional
    A colour space of one's own (three bands): three weights and a constant a row.
keep : int or sequence of int, optional
    1-based bands of the space that pass unchanged.""",
    "selection": """\
sample : (int, int, int, int), optional
    The rectangle ``(x, y, w, h)`` the statistics come from (`w` or `h` -1: to the edge);
    the whole image by default.
mask : ndarray of uint8 or bool, shape (H, W), optional
    Only pixels where it is non-zero count.
every : int, optional
    Every k-th pixel of the rectangle in both directions (default 1: all of them).
nodata : float, optional
    Pixels whose bands all equal it (as the sample type holds it: float32 compares with
    ``np.float32(nodata)``) do not count, and a stretch leaves them unchanged. NaN names
    the pixels float images never count or change anyway: those with a sample that is not
    finite.""",
    "threads": """\
threads : int, optional
    Threads of this call's passes (calls on other threads keep their own): 0 (the default)
    every processor thread, 1 the calling thread only. The result never depends on it.""",
    "type_error": """\
When an array is not an array of numbers or holds samples of another type (a mask: not
uint8 or bool), or a keyword is not one of the function's.""",
    "value_error": """\
When an image is not H x W x N of 1 to 1024 bands, an option is out of its range or does
not fit the image (the engine's message names it), or the selection holds no pixel.""",
}


def _documented(function):
    """function with the $name lines of its docstring replaced by the blocks of _DOCS."""
    lines = []
    for line in inspect.cleandoc(function.__doc__).splitlines():
        block = re.fullmatch(r"( *)\$(\w+)", line)
        if block is None:
            lines.append(line)
            continue
        indent, name = block.groups()
        lines.extend(indent + text if text else text for text in _DOCS[name].splitlines())
    function.__doc__ = "\n".join(lines)
    return function


# ---- Checks and normalisation ----------------------------------------------------------------


def _image(img, what="img"):
    """The band count of an H x W x N or H x W ndarray the engine takes, or the error."""
    if img.dtype.newbyteorder("=") not in _DTYPES:
        raise TypeError(
            "%s: the stretch takes %s samples, not %s" % (what, _DTYPE_NAMES, img.dtype)
        )
    if img.ndim not in (2, 3):
        raise ValueError(
            "%s: an image is an H x W or H x W x N array, not %d-dimensional" % (what, img.ndim)
        )
    bands = 1 if img.ndim == 2 else img.shape[2]
    if not 1 <= bands <= _MAX_BANDS:
        raise ValueError("%s: images have 1 to %d bands, not %d" % (what, _MAX_BANDS, bands))
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


def _selection(sample, mask, every, nodata, dtype=None):
    """The selection keywords as _core takes them: (x, y, w, h), mask, every, nodata. A NaN
    nodata is no value at all for float images of dtype (they never count a pixel with a NaN
    sample) and refused for integer ones."""
    if mask is not None and not isinstance(mask, np.ndarray):
        if _arrays.is_dask(mask):
            raise TypeError("mask: a dask array goes with dask images (veltrane.dask)")
        mask = np.asarray(mask)
    if isinstance(nodata, numbers.Real) and not isinstance(nodata, bool) and np.isnan(nodata):
        if dtype is not None and np.dtype(dtype).kind != "f":
            raise ValueError("nodata: %s samples hold no NaN" % np.dtype(dtype).name)
        nodata = None
    rect, every, nodata, _ = _core._selection_request(
        _request({"sample": sample, "every": every, "nodata": nodata})
    )
    return rect, mask, every, nodata


def _threads(threads):
    return _core._selection_request(_request({"threads": threads}))[3]


def _fit_driver(bands, dtype, nodata, **options):
    """The engine's fit driver for a series of images of a band count and sample type."""
    if dtype not in tuple(t.name for t in _DTYPES):
        raise TypeError(
            "the stretch takes %s samples in native byte order, not %s" % (_DTYPE_NAMES, dtype)
        )
    return _core.Fit(_fit_options(bands, **options), bands, dtype, nodata)


def _in_memory(img, channel_axis=None, band_dim=None, what="img"):
    """img taken as an image in memory (a lazy one is refused), and its band count."""
    taken = _arrays.take(img, channel_axis, band_dim, what)
    if taken.lazy:
        raise TypeError("%s: a dask array; veltrane.dask measures those" % what)
    return taken, _image(taken.image, what)


def _fit_measure(driver, img, *, sample=None, mask=None, every=1, nodata=None, threads=0,
                 channel_axis=None, band_dim=None):
    """Measures one piece of the series into the current pass of a fit driver or a
    ClipHistogram (both take the selection as _core does)."""
    taken, _ = _in_memory(img, channel_axis, band_dim)
    nodata = taken.nodata if nodata is None else nodata
    rect, mask, every, nodata = _selection(sample, mask, every, nodata, taken.image.dtype)
    driver._measure(_native(taken.image), rect, mask, every, nodata, _threads(threads))


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


def _target(taken, out):
    """The array to write, in the caller's layout (a new one, or out checked against the
    image), and the engine's H x W x N view of it."""
    if out is None:
        return taken.new_output()
    if not isinstance(out, np.ndarray):
        raise TypeError("out must be a NumPy array, not %s" % type(out).__name__)
    if out.shape != taken.shape or out.dtype != taken.image.dtype:
        raise ValueError(
            "out must be an array of the image's shape %s and type %s, not %s %s"
            % (taken.shape, taken.image.dtype, out.shape, out.dtype)
        )
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out, taken.engine_view(out)


def _lazy():
    """veltrane.dask, for the images that are dask arrays."""
    from . import dask as lazy

    return lazy


def _native(img):
    """img in the machine's byte order: itself, or a copy of an array stored the other way."""
    return img if img.dtype.isnative else img.astype(img.dtype.newbyteorder("="))


def _mapped(img, out, run):
    """run(source, target) writes the mapped pixels of img into out; arrays stored in the
    other byte order go through native copies, and out keeps its own order."""
    if img.dtype.isnative and out.dtype.isnative:
        run(_source_for(img, out), out)
        return out
    target = np.empty(img.shape, img.dtype.newbyteorder("="))
    run(_native(img), target)
    out[...] = target
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


@_documented
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
    channel_axis=None,
    band_dim=None,
):
    """The decorrelation stretch of an image: ``fit()`` then ``Transform.apply()``.

    The transform is fitted to the selected pixels and applied to every pixel; the options
    are those of ``veltrane stretch``, and so are the bytes.

    Parameters
    ----------
    $image
    $method
    $target
    $space
    $selection
    $threads
    out : ndarray, optional
        The array to write: `img` itself (in place) or a writable array of its shape and
        sample type; a new array by default. An `out` that overlaps `img` in another way
        reads a copy of `img`. Not for dask images.
    $layout

    Returns
    -------
    out : ndarray, xarray.DataArray or dask.array.Array
        The stretched image, of `img`'s shape and sample type (a DataArray with its
        dimensions, coordinates and attributes for a DataArray; lazy for dask images).

    Raises
    ------
    TypeError
        $type_error
    ValueError
        $value_error
        Nothing is written to `out` then.

    See Also
    --------
    fit, Transform.apply, veltrane.dask.stretch
    """
    taken = _arrays.take(img, channel_axis, band_dim)
    nodata = taken.nodata if nodata is None else nodata
    if taken.lazy:
        if out is not None:
            raise TypeError("out: the stretch of a dask image is a new lazy array")
        return taken.give(_lazy().stretch(
            taken.image, offset=offset, basis=basis, pairing=pairing, target_mean=target_mean,
            target_sigma=target_sigma, clip=clip, space=space, matrix=matrix, keep=keep,
            sample=sample, mask=mask, every=every, nodata=nodata))
    img = taken.image
    bands = _image(img)
    out, view = _target(taken, out)
    options = _fit_options(
        bands, offset, basis, pairing, target_mean, target_sigma, space, matrix, keep, clip
    )
    rect, mask, every, nodata = _selection(sample, mask, every, nodata, img.dtype)
    threads = _threads(threads)
    _mapped(
        img,
        view,
        lambda source, target: _core.stretch(
            source, target, options, rect, mask, every, nodata, threads
        ),
    )
    return taken.give(out)


@_documented
def statistics(img, *, space=None, sample=None, mask=None, every=1, nodata=None, threads=0,
               channel_axis=None, band_dim=None):
    """The statistics of the selected pixels of an image.

    Parameters
    ----------
    $image
    space : {'lab'}, optional
        'lab': the statistics of the pixels' CIE L*a*b* values (three bands of uint8, uint16,
        float32 or float64 sRGB samples; float64 statistics of L*, a*, b*, as a 'lab' fit
        measures them). None (the default): of the samples as stored.
    $selection
    $threads
    $layout

    Returns
    -------
    Statistics
        Sums, cross-product sums and extremes of the selected pixels, which pool with ``+``
        (over the pieces of an image or a series) and pickle.

    Raises
    ------
    TypeError
        $type_error
    ValueError
        $value_error

    See Also
    --------
    fit, axes, veltrane.dask.statistics
    """
    taken = _arrays.take(img, channel_axis, band_dim)
    nodata = taken.nodata if nodata is None else nodata
    if space not in (None, "lab"):
        raise ValueError(
            "statistics are of the samples as stored (space=None) or of their L*a*b* values "
            "(space='lab'), not %r" % (space,)
        )
    if taken.lazy:
        if space is not None:
            raise ValueError("space: veltrane.dask measures the samples as stored")
        return _lazy().statistics(taken.image, sample=sample, mask=mask, every=every,
                                  nodata=nodata)
    img = taken.image
    _image(img)
    rect, mask, every, nodata = _selection(sample, mask, every, nodata, img.dtype)
    return _core.statistics(
        _native(img), rect, mask, every, nodata, _threads(threads), space == "lab"
    )


@_documented
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
    channel_axis=None,
    band_dim=None,
):
    """The transform the options fit to an image's selected pixels.

    Parameters
    ----------
    img_or_statistics : ndarray, xarray.DataArray, array_like or Statistics
        The image (as `img` of ``stretch()``; dask images fit through ``veltrane.dask``),
        or Statistics (pooled over a series, say).
        From Statistics the target method fits alone; the offset and scale-only methods
        also need the components' ranges, and `clip` the outputs' histogram, which are
        measured over `image`.
    image : ndarray, optional
        With Statistics: the image whose selected pixels give the ranges and the histogram
        (``fit(s, image=img)`` is ``axes(s)``, ``component_ranges(img)``, ``build``).
    $method
    $target
    $space
    $selection
    $threads
    $layout

    Returns
    -------
    Transform
        The fitted transform, which records `nodata`; ``stretch()`` is this and
        ``Transform.apply()``.

    Raises
    ------
    TypeError
        $type_error
    ValueError
        $value_error
        With Statistics: when `image` is missing for the offset and scale-only methods or
        `clip`, or is not of the statistics' bands and sample type.

    See Also
    --------
    stretch, axes, veltrane.dask.fit
    """
    threads = _threads(threads)
    if isinstance(img_or_statistics, Statistics):
        s = img_or_statistics
        options = _fit_options(
            s.bands, offset, basis, pairing, target_mean, target_sigma, space, matrix, keep, clip
        )
        needs = "clip" if options["clip"] is not None else None
        if options["method"] != "target":
            needs = "the offset and scale-only methods"
        if needs is not None and image is None:
            raise ValueError(
                "fit(statistics): %s measure the image too; give it as image=" % needs
            )
        if image is not None:
            taken, bands = _in_memory(image, channel_axis, band_dim, "image")
            image = taken.image
            if bands != s.bands or image.dtype.newbyteorder("=").name != s.dtype:
                raise ValueError(
                    "image: the statistics are of %d-band %s images, not %d-band %s"
                    % (s.bands, s.dtype, bands, image.dtype)
                )
            nodata = taken.nodata if nodata is None else nodata
        rect, mask, every, nodata = _selection(sample, mask, every, nodata, s.dtype)
        driver = _core.Fit._of_statistics(options, s, nodata)
        while driver.needs_pass:
            driver._measure(_native(image), rect, mask, every, nodata, threads)
            driver.finish_pass()
        return driver.transform()
    if image is not None:
        raise ValueError("image= goes with statistics; fit(img) takes the image itself")
    taken = _arrays.take(img_or_statistics, channel_axis, band_dim)
    nodata = taken.nodata if nodata is None else nodata
    if taken.lazy:
        return _lazy().fit(
            taken.image, offset=offset, basis=basis, pairing=pairing, target_mean=target_mean,
            target_sigma=target_sigma, clip=clip, space=space, matrix=matrix, keep=keep,
            sample=sample, mask=mask, every=every, nodata=nodata)
    img = taken.image
    bands = _image(img)
    options = _fit_options(
        bands, offset, basis, pairing, target_mean, target_sigma, space, matrix, keep, clip
    )
    rect, mask, every, nodata = _selection(sample, mask, every, nodata, img.dtype)
    return _core.fit(_native(img), options, rect, mask, every, nodata, threads)


@_documented
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
    """The principal axes of (pooled) statistics, for the offset or scale-only method.

    The first step of a fit in pieces: the axes go to ``component_ranges()`` over each piece
    and, with the pooled ranges, to ``build()``. The target method and `clip` are not steps
    of this fit (``fit(statistics)`` and ``ClipHistogram``).

    Parameters
    ----------
    statistics : Statistics
        The statistics of the selected pixels (of a series, pooled with ``+``).
    $method
    $space
    **ignored
        The other keywords of ``fit()``, so that one set of keywords serves every step:
        `sample`, `mask`, `every`, `nodata`, `threads`, `channel_axis` and `band_dim` are not
        used here, and
        `target_mean`, `target_sigma` or `clip` other than None are refused.

    Returns
    -------
    Axes
        The principal axes with the fit's options; they pickle.

    Raises
    ------
    TypeError
        When `statistics` is not Statistics or a keyword is not one of ``fit()``'s.
    ValueError
        When an option is out of its range or does not fit the statistics' bands, or a
        target or `clip` is given.

    See Also
    --------
    component_ranges, build, ClipHistogram
    """
    if not isinstance(statistics, Statistics):
        raise TypeError("axes takes Statistics, not %s" % type(statistics).__name__)
    for key in ("target_mean", "target_sigma"):
        if ignored.get(key) is not None:
            raise ValueError("the target method fits from statistics alone: fit(statistics, ...)")
    if ignored.get("clip") is not None:
        raise ValueError("clip is a pass of its own after build(): ClipHistogram")
    unknown = set(ignored) - {
        "target_mean", "target_sigma", "clip", "sample", "mask", "every", "nodata", "threads",
        "channel_axis", "band_dim",
    }
    if unknown:
        raise TypeError("axes() got unexpected keywords: %s" % ", ".join(sorted(unknown)))
    options = _fit_options(statistics.bands, offset, basis, pairing, None, None, space, matrix, keep)
    return _core.axes(statistics, options)


@_documented
def component_ranges(img, axes, *, sample=None, mask=None, every=1, nodata=None, threads=0,
                     channel_axis=None, band_dim=None):
    """Each principal component's extremes over the selected pixels of an image.

    Parameters
    ----------
    $image
    axes : Axes
        The principal axes (``axes()``), for images of `img`'s bands and sample type.
    $selection
    $threads
    $layout

    Returns
    -------
    ComponentRanges
        The extremes, which pool with ``+`` (in the series' order) and pickle.

    Raises
    ------
    TypeError
        $type_error
        Also when `axes` is not Axes.
    ValueError
        $value_error
        Also when the axes are for other bands or another sample type.

    See Also
    --------
    axes, build
    """
    taken, _ = _in_memory(img, channel_axis, band_dim)
    if not isinstance(axes, Axes):
        raise TypeError("component_ranges takes Axes, not %s" % type(axes).__name__)
    nodata = taken.nodata if nodata is None else nodata
    rect, mask, every, nodata = _selection(sample, mask, every, nodata, taken.image.dtype)
    return _core.component_ranges(
        _native(taken.image), axes, rect, mask, every, nodata, _threads(threads)
    )


def build(axes, ranges):
    """The transform of principal axes and the components' (pooled) ranges.

    Parameters
    ----------
    axes : Axes
        The principal axes (``axes()``).
    ranges : ComponentRanges
        The components' ranges over the series, measured on these axes
        (``component_ranges()``, pooled with ``+``).

    Returns
    -------
    Transform
        The transform; with integer samples the same as ``fit()`` of the whole series.

    Raises
    ------
    TypeError
        When `axes` or `ranges` is of another type.
    ValueError
        When the ranges are of another band count.

    See Also
    --------
    axes, component_ranges, ClipHistogram
    """
    if not isinstance(axes, Axes) or not isinstance(ranges, ComponentRanges):
        raise TypeError("build takes Axes and ComponentRanges")
    return _core.build(axes, ranges)


# ---- Methods of the engine's objects with the interface's keywords -------------------------------


@_documented
def _apply(self, img, out=None, *, nodata=None, threads=0, channel_axis=None, band_dim=None):
    """Maps every pixel of an image through the transform.

    Pixels whose bands all equal `nodata` and pixels with a sample that is not finite are
    left as they are.

    Parameters
    ----------
    $image
        Of the transform's band count and sample type.
    out : ndarray, optional
        The array to write: `img` itself (in place) or a writable array of its shape and
        sample type; a new array by default.
    nodata : float, optional
        The no-data value; by default the transform's own ``nodata`` (the value its fit
        left out), else a rioxarray's ``rio.nodata``.
    $threads
    $layout

    Returns
    -------
    out : ndarray, xarray.DataArray or dask.array.Array
        The mapped image, of `img`'s shape and sample type (as ``stretch()`` gives it).

    Raises
    ------
    TypeError
        $type_error
    ValueError
        When `img` is not of the transform's bands and sample type, `out` is not of `img`'s
        shape and type or is read-only, or `nodata` or `threads` is out of range. Nothing
        is written to `out` then.
    """
    taken = _arrays.take(img, channel_axis, band_dim)
    if nodata is None and self.nodata is None:
        nodata = taken.nodata
    if taken.lazy:
        if out is not None:
            raise TypeError("out: the mapping of a dask image is a new lazy array")
        return taken.give(_lazy().apply(taken.image, self, nodata=nodata))
    img = taken.image
    bands = _image(img)
    if bands != self.bands or img.dtype.newbyteorder("=").name != self.dtype:
        raise ValueError(
            "the transform is for %d-band %s images, not %d-band %s"
            % (self.bands, self.dtype, bands, img.dtype)
        )
    out, view = _target(taken, out)
    if nodata is not None:
        nodata = _selection(None, None, 1, nodata, img.dtype)[3]
    threads = _threads(threads)
    _mapped(img, view, lambda source, target: self._apply(source, target, nodata, threads))
    return taken.give(out)


@_documented
def _measure(self, img, *, sample=None, mask=None, every=1, nodata=None, threads=0,
             channel_axis=None, band_dim=None):
    """Counts the transform's outputs over the selected pixels of one piece of the series.

    The counts go to the current pass; measure every piece of the series once a pass (here,
    or into ``empty()`` copies that are then merged).

    Parameters
    ----------
    $image
        Of the transform's band count and sample type.
    $selection
    $threads
    $layout

    Raises
    ------
    TypeError
        $type_error
    ValueError
        $value_error
        Also when `img` is not of the transform's bands and sample type.
    """
    _fit_measure(self, img, sample=sample, mask=mask, every=every, nodata=nodata, threads=threads,
                 channel_axis=channel_axis, band_dim=band_dim)


_apply.__name__, _apply.__qualname__ = "apply", "Transform.apply"
_measure.__name__, _measure.__qualname__ = "measure", "ClipHistogram.measure"
Transform.apply = _apply
ClipHistogram.measure = _measure
for _cls in (Statistics, Transform, Axes, ComponentRanges, ClipHistogram):
    _cls.__module__ = __name__
del _cls
