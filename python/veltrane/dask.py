"""The stretch on Dask arrays: statistics, fits and applications of images larger than memory.

Images are dask arrays of H x W x N samples (of any type veltrane takes, uint8 to float64),
or H x W for one band, chunked in H and W; the bands of a pixel always lie in one chunk
(arrays chunked along N are rechunked). Every step reads chunks in tasks and keeps nothing
image-sized in one place:

- statistics: each chunk's statistics of its selected pixels, pooled by a tree of additions;
- the offset and scale-only fits: the statistics, the principal axes, then each chunk's
  component ranges pooled the same way; the target method needs the statistics alone;
- saturation (clip): each chunk's histogram of stored outputs, merged by a tree, one pass for
  8- and 16-bit integer samples, two for float32 and 32-bit integers, four for float64;
- application: one task per chunk mapping its pixels through the fitted transform.

Each pass adds two layers to the images' task graph, as Dask's own reductions do: one task a
chunk that holds selected pixels, giving its partial result, and one layer holding the whole
tree that pools them; so the schedulers' cost grows with the chunks as it does for
``arr.sum()``.

Selections are in whole-image coordinates: sample=(x, y, w, h) a rectangle (w or h -1 to the
edge), every=k every k-th pixel of the rectangle from its top-left corner in both directions,
mask a dask or NumPy array of the image's H x W (non-zero: selected), nodata a value whose
pixels (all bands equal to it) neither count nor change. Each chunk measures the part of the
selection that falls in it, with the step's phase kept, and chunks that hold no selected pixel
are not read at all. Integer statistics, ranges and histograms are exact sums, extremes and
counts, so the result does not depend on the chunking or the scheduler: it is byte for byte
what veltrane.stretch gives the whole image in memory. Float statistics pool compensated sums,
whose last bits may follow the order of the additions.

fit and statistics compute at once, on the scheduler dask would use for compute() (the
default client when one exists); stretch and apply return lazy arrays, so a result larger than
memory goes straight to its store (to_zarr, store, a per-chunk writer) without being gathered.
Worker processes need the veltrane package importable, as they run its functions on chunks.
"""

import functools
import math
import operator
import pickle
import uuid

import dask
import dask.array as da
import numpy as np
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph

import veltrane as _vt
from veltrane import _arrays

__all__ = ["statistics", "fit", "apply", "stretch"]

# How many partial results each task of a tree pools.
_SPLIT_EVERY = 8
_DTYPES = _vt._DTYPES

# The parameters of this module's functions beside veltrane's own blocks ($method, $target,
# $space: see veltrane._documented).
_vt._DOCS.update(
    {
        "images": """\
images : dask.array.Array or list of them
    H x W x N (or H x W) arrays of uint8, uint16, float32, int8, int16, int32, uint32 or
    float64 samples chunked in H and W
    (an array chunked along its bands is rechunked); a list pools one band count and sample
    type. Other arrays are read with ``dask.array.asarray``.""",
        "dask_selection": """\
sample : (int, int, int, int), optional
    The rectangle ``(x, y, w, h)`` of each image the statistics come from, in whole-image
    coordinates (`w` or `h` -1: to the edge); the whole image by default.
mask : dask or NumPy array, shape (H, W), or a list of them, optional
    Only pixels where it is non-zero count; rechunked to the image's chunks. A list gives
    one mask an image.
every : int, optional
    Every k-th pixel of the rectangle, counted from its top-left corner in both directions,
    whatever chunk it falls in (default 1: all of them).
nodata : float, optional
    Pixels whose bands all equal it do not count, and a stretch leaves them unchanged.""",
        "compute": """\
split_every : int, optional
    How many partial results each task of a tree pools (default 8).
scheduler : str, optional
    The scheduler of the computation (``dask.compute``'s `scheduler`); by default the one
    ``compute()`` would use (the active ``Client`` if there is one).""",
        "dask_threads": """\
threads : int, optional
    Threads of each chunk's pass through the engine: 1 (the default) its task's own thread,
    as the scheduler already runs chunks side by side; 0 every processor thread, for few
    large chunks. The result never depends on it.""",
        "dask_type_error": """\
When an image holds samples of another type, or a keyword is not one of the function's.""",
        "dask_value_error": """\
When an image is not H x W x N of 1 to 1024 bands, its chunk sizes are unknown (nan, as
after boolean indexing: call its compute_chunk_sizes() first), the images of a series differ
in band count or sample type, an option is out of its range or does not fit the images (the
engine's message names it), or the selection lies outside an image or holds no pixel.""",
    }
)


# ---- Selections --------------------------------------------------------------------------


class _Selection:
    """A whole-image selection, and the part of it that lies in one chunk."""

    def __init__(self, shape, sample, every, nodata):
        height, width = shape
        # The keywords by the engine's table of options; the rectangle against the image here.
        (x, y, w, h), _, every, nodata = _vt._selection(sample, None, every, nodata)
        x1 = width if w < 0 else x + w
        y1 = height if h < 0 else y + h
        if x < 0 or y < 0 or x1 < x or y1 < y or x1 > width or y1 > height:
            raise ValueError(
                "sample: the rectangle %d,%d,%d,%d does not lie within the %dx%d image"
                % (x, y, w, h, width, height)
            )
        self.x0, self.y0, self.x1, self.y1 = x, y, x1, y1
        self.every = every
        self.nodata = nodata

    def _run(self, low, high, start, end):
        # The first selected index of low..high-1 within start..end-1 (the step counted from
        # low), and the end of the run.
        first = max(low, start)
        first = low + (first - low + self.every - 1) // self.every * self.every
        return first, min(high, end)

    def local(self, rows, cols):
        """The chunk's part, as keyword arguments of the in-memory functions, or None when
        no selected pixel lies in the chunk rows[0]..rows[1]-1 x cols[0]..cols[1]-1."""
        fy, ey = self._run(self.y0, self.y1, *rows)
        fx, ex = self._run(self.x0, self.x1, *cols)
        if fy >= ey or fx >= ex:
            return None
        kw = {"sample": (fx - cols[0], fy - rows[0], ex - fx, ey - fy), "every": self.every}
        if self.nodata is not None:
            kw["nodata"] = self.nodata
        return kw


def _known_sizes(arr, keyword, noun, axes):
    """Refuses an array whose chunk sizes along axes are not known (nan), as after boolean
    indexing: the selections and the masks are placed by them."""
    if any(math.isnan(size) for axis in axes for size in arr.chunks[axis]):
        raise ValueError(
            "%s: the chunk sizes of the %s are unknown (nan), as after boolean indexing; "
            "call its compute_chunk_sizes() first" % (keyword, noun)
        )


def _as_image(arr, sizes, channel_axis, band_dim):
    """A dask array of H x W x N (or H x W) samples whose bands lie in one chunk (with sizes,
    one whose chunk sizes are known), and the image as taken (to give results back in the
    caller's form)."""
    if not isinstance(arr, da.Array) and not _arrays.is_dataarray(arr):
        arr = da.asarray(arr)
    taken = _arrays.take(arr, channel_axis, band_dim, "images")
    arr = taken.image if isinstance(taken.image, da.Array) else da.asarray(taken.image)
    if arr.ndim not in (2, 3):
        raise ValueError("images are H x W x N arrays (or H x W for one band), not %d-D" % arr.ndim)
    _known_sizes(arr, "images", "image", range(arr.ndim) if sizes else range(2, arr.ndim))
    if arr.dtype.newbyteorder("=") not in _DTYPES:
        raise TypeError("the stretch takes %s samples, not %s" % (_vt._DTYPE_NAMES, arr.dtype))
    if arr.ndim == 3 and arr.numblocks[2] != 1:
        arr = arr.rechunk({2: -1})
    return arr, taken


def _bands(images):
    bands = {1 if a.ndim == 2 else a.shape[2] for a in images}
    types = {a.dtype for a in images}
    if len(bands) != 1 or len(types) != 1:
        raise ValueError("a series pools images of one band count and sample type")
    return bands.pop()


def _as_mask(mask, image):
    """The mask as a dask array of uint8 chunked like the image's rows and columns."""
    if mask is None:
        return None
    if not isinstance(mask, da.Array):
        mask = np.asarray(mask)
    else:
        _known_sizes(mask, "mask", "mask", range(mask.ndim))
    if mask.ndim == 3 and mask.shape[2] == 1:
        mask = mask[:, :, 0]
    if mask.shape != image.shape[:2]:
        raise ValueError(
            "mask: the mask is %s, the image %dx%d"
            % ("x".join(str(s) for s in mask.shape[::-1]), image.shape[1], image.shape[0])
        )
    if not isinstance(mask, da.Array):
        mask = da.from_array(mask, chunks=image.chunks[:2])
    else:
        mask = mask.rechunk(image.chunks[:2])
    if mask.dtype != np.uint8:
        mask = (mask != 0).astype(np.uint8)
    return mask


def _edges(chunks):
    out, start = [], 0
    for size in chunks:
        out.append((start, start + size))
        start += size
    return out


def _series(images, masks, channel_axis=None, band_dim=None, sizes=True):
    """The images as a list, with a mask (or None) for each, and each image as taken."""
    single = not isinstance(images, (list, tuple))
    taken = [_as_image(a, sizes, channel_axis, band_dim)
             for a in ([images] if single else images)]
    if not taken:
        raise ValueError("no images given")
    images, taken = [t[0] for t in taken], [t[1] for t in taken]
    if isinstance(masks, (list, tuple)):
        if len(masks) != len(images):
            raise ValueError("mask: %d masks for %d images" % (len(masks), len(images)))
    else:
        masks = [masks] * len(images)
    return single, images, [_as_mask(m, a) for a, m in zip(images, masks)], taken


def _default_nodata(nodata, taken):
    # A rioxarray's own no-data value when none is given (the first image's, for a series).
    return taken[0].nodata if nodata is None else nodata


def _bands_last(block):
    # A chunk's bands are its last axis, however its shape would read on its own.
    return {"channel_axis": -1} if block.ndim == 3 else {}


def _selected_blocks(images, masks, sample, every, nodata):
    """(block's key, mask block's key or None, chunk's selection) for every chunk that holds
    selected pixels, in the images' order and each image's row by row; and one empty selection
    of the first chunk, to stand for a series in which nothing is selected."""
    parts = []
    for image, mask in zip(images, masks):
        selection = _Selection(image.shape[:2], sample, every, nodata)
        tail = (0,) if image.ndim == 3 else ()
        columns = _edges(image.chunks[1])
        for i, rows in enumerate(_edges(image.chunks[0])):
            for j, cols in enumerate(columns):
                local = selection.local(rows, cols)
                if local is not None:
                    mkey = (mask.name, i, j) if mask is not None else None
                    parts.append(((image.name, i, j) + tail, mkey, local))
    empty = {"sample": (0, 0, 0, 0)}
    if nodata is not None:
        empty["nodata"] = nodata
    tail = (0,) if images[0].ndim == 3 else ()
    return parts, ((images[0].name, 0, 0) + tail, None, empty)


def _with_mask(local, mask):
    if mask is None:
        return local
    return dict(local, mask=mask)


# ---- Tasks (module functions, so that worker processes find them by name) ----------------
# Each runs the engine on the call's threads (by default one: the scheduler spreads the chunks
# over its own threads or processes).


def _chunk_statistics(block, mask, local, threads):
    return _vt.statistics(np.asarray(block), threads=threads, **_bands_last(block),
                          **_with_mask(local, mask))


def _chunk_fit(block, mask, local, threads, fit):
    piece = fit.empty()
    _vt._fit_measure(piece, np.asarray(block), threads=threads, **_bands_last(block),
                     **_with_mask(local, mask))
    return piece


def _add(*parts):
    return functools.reduce(operator.add, parts)


def _merge(*parts):
    # A fresh copy takes the measures: the parts may be results other tasks still hold.
    total = parts[0].empty()
    for part in parts:
        total.merge(part)
    return total


def _apply_block(block, transform, nodata, threads):
    return transform.apply(block, nodata=nodata, threads=threads, **_bands_last(block))


# ---- The task graph of a pass --------------------------------------------------------------


class _Passes:
    """The readings of a call's selected chunks. Each pass is two layers over the images'
    own: one task a selected chunk (its partial result), then one layer holding the whole
    tree that pools them, split_every a task, in the chunks' order. Chunks without a selected
    pixel have no task, so culling drops their reading too."""

    def __init__(self, images, masks, sample, every, nodata, threads, split_every, scheduler):
        self.threads = _vt._threads(threads)
        self.split_every = max(2, int(split_every))
        self.compute = {} if scheduler is None else {"scheduler": scheduler}
        self.parts, empty = _selected_blocks(images, masks, sample, every, nodata)
        # A series in which nothing is selected still gives an (empty) partial result.
        self.parts = self.parts or [empty]
        self.inputs = list(images) + [m for m in masks if m is not None]

    def run(self, task, combine, driver=None):
        """combine's pooling of task(block, mask block, chunk's selection, threads[, driver])
        over the selected chunks, computed now."""
        token = uuid.uuid4().hex
        name = "veltrane-%s-%s" % (task.__name__.strip("_").replace("_", "-"), token)
        tree_name = "veltrane-%s-%s" % (combine.__name__.strip("_"), token)
        leaves = {}
        extra = ()
        if driver is not None:
            # One key holds the pass's driver: it travels to a worker once, not once a chunk.
            extra = (name + "-driver",)
            leaves[extra[0]] = driver
        level = []
        for k, (block, mblock, local) in enumerate(self.parts):
            leaves[(name, k)] = (task, block, mblock, local, self.threads) + extra
            level.append((name, k))
        tree = {}
        depth = 0
        while depth == 0 or len(level) > 1:
            every = self.split_every
            groups = [level[k : k + every] for k in range(0, len(level), every)]
            level = [(tree_name, depth, k) for k in range(len(groups))]
            tree.update((key, (combine,) + tuple(group)) for key, group in zip(level, groups))
            depth += 1
        graph = HighLevelGraph.from_collections(name, leaves, dependencies=self.inputs)
        graph = HighLevelGraph(
            dict(graph.layers, **{tree_name: tree}),
            dict(graph.dependencies, **{tree_name: {name}}),
        )
        return dask.compute(Delayed(level[0], graph, layer=tree_name), **self.compute)[0]


# ---- The interface -------------------------------------------------------------------------


@_vt._documented
def statistics(
    images,
    *,
    sample=None,
    mask=None,
    every=1,
    nodata=None,
    threads=1,
    channel_axis=None,
    band_dim=None,
    split_every=_SPLIT_EVERY,
    scheduler=None,
):
    """The statistics of the selected pixels of a dask image, or pooled over a list of them.

    They are computed now: each chunk's statistics, added up by a tree of tasks.

    Parameters
    ----------
    $images
    $dask_selection
    $dask_threads
    $layout
    $compute

    Returns
    -------
    veltrane.Statistics
        The statistics of the selected pixels, as ``veltrane.statistics`` gives them for the
        images in memory (exactly, for integer samples).

    Raises
    ------
    TypeError
        $dask_type_error
    ValueError
        $dask_value_error

    See Also
    --------
    veltrane.statistics, fit
    """
    _, images, masks, taken = _series(images, mask, channel_axis, band_dim)
    nodata = _default_nodata(nodata, taken)
    _bands(images)
    passes = _Passes(images, masks, sample, every, nodata, threads, split_every, scheduler)
    return passes.run(_chunk_statistics, _add)


@_vt._documented
def fit(
    images,
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
    threads=1,
    channel_axis=None,
    band_dim=None,
    split_every=_SPLIT_EVERY,
    scheduler=None,
):
    """The transform of a dask image, or one pooled over a list of them.

    It is computed now, one reading of the images a step: the statistics, then the axes and
    the components' ranges (the target method: the statistics alone), then the saturation's
    histogram passes when `clip` is given (one for 8- and 16-bit integers, two for float32
    and 32-bit integers, four for float64). Chunks
    that hold no selected pixel are not read.

    Parameters
    ----------
    $images
    $method
    $target
    $space
    $dask_selection
    $dask_threads
    $layout
    $compute

    Returns
    -------
    veltrane.Transform
        The transform, which records `nodata`: for integer samples the one
        ``veltrane.fit`` gives the whole image (or the series) in memory, whatever the
        chunking and the scheduler.

    Raises
    ------
    TypeError
        $dask_type_error
    ValueError
        $dask_value_error

    See Also
    --------
    veltrane.fit, apply, stretch
    """
    _, images, masks, taken = _series(images, mask, channel_axis, band_dim)
    nodata = _default_nodata(nodata, taken)
    # The options are checked before any pixel is read.
    options = dict(
        offset=offset,
        basis=basis,
        pairing=pairing,
        target_mean=target_mean,
        target_sigma=target_sigma,
        space=space,
        matrix=matrix,
        keep=keep,
    )
    bands = _bands(images)
    # The options are checked before any pixel is read.
    fit = _vt._fit_driver(bands, images[0].dtype.name, nodata, clip=clip, **options)
    passes = _Passes(images, masks, sample, every, nodata, threads, split_every, scheduler)
    while fit.needs_pass:
        fit.merge(passes.run(_chunk_fit, _merge, fit.empty()))
        fit.finish_pass()
    return fit.transform()


@_vt._documented
def apply(images, transform, *, nodata=None, threads=1, channel_axis=None, band_dim=None):
    """Every pixel of a dask image (or of each of a list) through a transform, lazily.

    One task a chunk maps its pixels when the result is computed or stored, so a result
    larger than memory goes to its store without being gathered.

    Parameters
    ----------
    $images
    transform : veltrane.Transform
        The transform, for the images' band count and sample type.
    nodata : float, optional
        Pixels whose bands all equal it are left as they are (as are pixels with a sample
        that is not finite). Without it the transform's own no-data value is left alone,
        else a rioxarray's ``rio.nodata``.
    $dask_threads
    $layout

    Returns
    -------
    dask.array.Array or list of them
        The mapped images (a list for a list), chunked like them and of their sample type.

    Raises
    ------
    TypeError
        When `transform` is not a veltrane.Transform or an image holds samples of another
        type.
    ValueError
        When an image is not of the transform's bands and sample type, its band count is
        not known, or `nodata` or `threads` is out of range.

    See Also
    --------
    veltrane.Transform.apply, fit, stretch
    """
    # Each chunk is mapped alone: rows and columns of unknown size (nan) are mapped too.
    single, images, _, taken = _series(images, None, channel_axis, band_dim, sizes=False)
    if not isinstance(transform, _vt.Transform):
        raise TypeError("apply takes a veltrane.Transform, not %s" % type(transform).__name__)
    if nodata is None and transform.nodata is None:
        nodata = _default_nodata(nodata, taken)
    for image in images:
        bands = 1 if image.ndim == 2 else image.shape[2]
        if bands != transform.bands or image.dtype.name != transform.dtype:
            raise ValueError(
                "the transform is for %d-band %s images, not %d-band %s"
                % (transform.bands, transform.dtype, bands, image.dtype)
            )
    if nodata is not None:
        nodata = _vt._selection(None, None, 1, nodata)[3]
    threads = _vt._threads(threads)
    recipe = pickle.dumps(transform)
    out = [
        image.map_blocks(
            _apply_block,
            transform,
            nodata,
            threads,
            dtype=image.dtype,
            name="veltrane-apply-" + dask.base.tokenize(image.name, recipe, nodata),
        )
        for image in images
    ]
    out = [t.give(o) for t, o in zip(taken, out)]
    return out[0] if single else out


@_vt._documented
def stretch(
    images,
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
    threads=1,
    channel_axis=None,
    band_dim=None,
    split_every=_SPLIT_EVERY,
    scheduler=None,
):
    """The stretch of a dask image, or of each of a list with one transform pooled over all.

    ``fit()`` (computed now) then ``apply()`` (lazy); for integer samples the result is byte
    for byte ``veltrane.stretch`` of the whole image in memory.

    Parameters
    ----------
    $images
    $method
    $target
    $space
    $dask_selection
    $dask_threads
    $layout
    $compute

    Returns
    -------
    dask.array.Array or list of them
        The stretched images (a list for a list), chunked like them and of their sample
        type; computing or storing them runs the application.

    Raises
    ------
    TypeError
        $dask_type_error
    ValueError
        $dask_value_error

    See Also
    --------
    veltrane.stretch, fit, apply
    """
    transform = fit(
        images,
        offset=offset,
        basis=basis,
        pairing=pairing,
        target_mean=target_mean,
        target_sigma=target_sigma,
        clip=clip,
        space=space,
        matrix=matrix,
        keep=keep,
        sample=sample,
        mask=mask,
        every=every,
        nodata=nodata,
        threads=threads,
        channel_axis=channel_axis,
        band_dim=band_dim,
        split_every=split_every,
        scheduler=scheduler,
    )
    return apply(images, transform, nodata=nodata, threads=threads, channel_axis=channel_axis,
                 band_dim=band_dim)
