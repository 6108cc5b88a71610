"""The arrays callers hold, as the engine takes them, and results given back in their form.

The engine reads H x W x N images (H x W for one band). Callers hold them in other shapes:
band-first NumPy arrays (``channel_axis=0``), xarray DataArrays with a named band dimension
(rioxarray's ``(band, y, x)``), Dask-backed DataArrays and plain dask arrays (which go
through veltrane.dask and stay lazy), and anything else NumPy converts. xarray and dask are
never imported here: an object is one of theirs only when its module is already loaded.
"""

import sys

import numpy as np

# A last axis longer than this that is not the shortest of three is more likely a row than a
# band count (a band-first (4, 100, 8) array): the caller has to say which axis holds bands.
_PLAIN_BANDS = 4
_BAND_DIMS = ("band", "bands", "channel", "channels")


def _instance(obj, module, name):
    loaded = sys.modules.get(module)
    return loaded is not None and isinstance(obj, getattr(loaded, name))


def is_dataarray(obj):
    return _instance(obj, "xarray", "DataArray")


def is_dask(obj):
    return _instance(obj, "dask.array", "Array")


class Taken:
    """An image as the engine reads it, with what a result needs to go back to the caller.

    image: H x W x N or H x W, an ndarray (or a dask array when lazy is true); nodata: the
    caller's own no-data value (a rioxarray's ``rio.nodata``), or None."""

    def __init__(self, image, order=None, like=None, nodata=None):
        self.image = image
        self.lazy = is_dask(image)
        # The caller's shape.
        self.shape = image.shape if order is None else tuple(image.shape[a] for a in order)
        self.nodata = nodata
        self._order = order  # the engine's axes in the caller's order, or None: the same
        self._like = like  # the DataArray taken, or None

    def new_output(self):
        """A new array for the result, in the caller's layout, and the engine's view of it."""
        out = np.empty(self.shape, self.image.dtype)
        return out, self.engine_view(out)

    def engine_view(self, out):
        """out, of the caller's layout, as the engine's H x W x N view."""
        return out if self._order is None else out.transpose(_inverse(self._order))

    def give(self, out):
        """The result the engine wrote (out of new_output(), or a lazy H x W x N array of
        veltrane.dask) in the caller's form."""
        if is_dask(out) and self._order is not None:
            out = out.transpose(self._order)
        if self._like is None:
            return out
        return self._like.copy(deep=False, data=out)


def _axis(channel_axis, ndim, what):
    if isinstance(channel_axis, bool) or not isinstance(channel_axis, (int, np.integer)):
        raise TypeError("channel_axis is an axis number, not %r" % (channel_axis,))
    if ndim != 3:
        raise ValueError(
            "%s: channel_axis is for H x W x N arrays and their permutations; this one is "
            "%d-dimensional" % (what, ndim)
        )
    if not -3 <= channel_axis < 3:
        raise ValueError("channel_axis is -3 to 2 for 3-dimensional arrays, not %d" % channel_axis)
    return int(channel_axis) % 3


def _unambiguous_last(shape, what, how):
    """Refuses a last axis that reads as well as a row as a band count."""
    if shape[2] > _PLAIN_BANDS and shape[2] > min(shape[0], shape[1]):
        raise ValueError(
            "%s: of shape %s, the last axis (%d) is longer than another and so may not be the "
            "bands; %s" % (what, tuple(shape), shape[2], how)
        )


def _order_to_last(axis):
    """The engine's axes (H, W, N) as positions in the caller's array with bands at axis."""
    return tuple(a for a in range(3) if a != axis) + (axis,)


def _inverse(order):
    return tuple(order.index(a) for a in range(len(order)))


def take(img, channel_axis=None, band_dim=None, what="img"):
    """img as a Taken; TypeError or ValueError naming what is wrong with it."""
    if is_dataarray(img):
        return _take_dataarray(img, channel_axis, band_dim, what)
    if band_dim is not None:
        raise TypeError("band_dim names a dimension of an xarray.DataArray; for arrays give "
                        "channel_axis")
    if not isinstance(img, np.ndarray) and not is_dask(img):
        try:
            img = np.asarray(img)
        except Exception as error:  # NumPy's own message says what it could not convert
            raise TypeError("%s is not an array: %s" % (what, error)) from None
        if img.dtype == object:
            raise TypeError("%s is not an array of numbers (%s)" % (what, type(img).__name__))
    if channel_axis is None:
        if img.ndim == 3:
            _unambiguous_last(img.shape, what,
                              "give channel_axis (-1 for H x W x N, 0 for N x H x W)")
        return Taken(img)
    axis = _axis(channel_axis, img.ndim, what)
    if axis == 2:
        return Taken(img)
    order = _order_to_last(axis)
    return Taken(img.transpose(order), _inverse(order))


def _take_dataarray(array, channel_axis, band_dim, what):
    dims = array.dims
    if array.ndim == 2:
        if band_dim is not None or channel_axis is not None:
            raise ValueError("%s: a 2-dimensional DataArray is one band; it has no band "
                             "dimension to name" % what)
        return Taken(array.data, like=array, nodata=_rio_nodata(array))
    if array.ndim != 3:
        raise ValueError("%s: a DataArray image has 2 or 3 dimensions, not %s"
                         % (what, ", ".join(map(str, dims))))
    if band_dim is not None and channel_axis is not None:
        raise TypeError("give band_dim or channel_axis, not both")
    if band_dim is not None:
        if band_dim not in dims:
            raise ValueError("%s has no dimension %r (its dimensions: %s)"
                             % (what, band_dim, ", ".join(map(str, dims))))
        axis = dims.index(band_dim)
    elif channel_axis is not None:
        axis = _axis(channel_axis, 3, what)
    else:
        named = [d for d in _BAND_DIMS if d in dims]
        if named:
            axis = dims.index(named[0])
        else:
            _unambiguous_last(array.shape, what, "name the band dimension with band_dim")
            axis = 2
    order = _order_to_last(axis)
    data = array.data.transpose(order)
    return Taken(data, _inverse(order), like=array, nodata=_rio_nodata(array))


def _rio_nodata(array):
    """A rioxarray's no-data value (its rio accessor's), or None."""
    if "rioxarray" not in sys.modules:
        return None
    try:
        value = array.rio.nodata
    except Exception:  # not a raster rioxarray understands
        return None
    return None if value is None else float(value)
