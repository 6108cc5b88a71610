# Types of veltrane.dask: the stretch on dask arrays (and Dask-backed DataArrays).
from typing import Any, Sequence, TypeVar

import numpy.typing as npt

from veltrane import (
    _Basis, _Clip, _ImageLike, _Pairing, _PerBand, _Rect, _Space, Statistics, Transform
)

__all__ = ["statistics", "fit", "apply", "stretch"]

# One image, or a list of them pooled into one result (a mapping gives a list back).
_Images = _ImageLike | Sequence[_ImageLike]
_ImagesT = TypeVar("_ImagesT")
_Masks = npt.ArrayLike | Sequence[npt.ArrayLike] | Any

def statistics(
    images: _Images, *, sample: _Rect | None = None, mask: _Masks | None = None, every: int = 1,
    nodata: float | None = None, threads: int = 1, channel_axis: int | None = None, band_dim: str | None = None,
    split_every: int = 8, scheduler: str | None = None
) -> Statistics: ...
def fit(
    images: _Images, *, offset: bool | None = None, basis: _Basis = "correlation",
    pairing: _Pairing = "plugin", target_mean: _PerBand | None = None,
    target_sigma: _PerBand | None = None, clip: _Clip | None = None, space: _Space | None = None,
    matrix: npt.ArrayLike | None = None, keep: int | Sequence[int] | None = None,
    sample: _Rect | None = None, mask: _Masks | None = None, every: int = 1,
    nodata: float | None = None, threads: int = 1, channel_axis: int | None = None, band_dim: str | None = None,
    split_every: int = 8, scheduler: str | None = None
) -> Transform: ...
def apply(
    images: _ImagesT, transform: Transform, *, nodata: float | None = None, threads: int = 1,
    channel_axis: int | None = None, band_dim: str | None = None
) -> _ImagesT: ...
def stretch(
    images: _ImagesT, *, offset: bool | None = None, basis: _Basis = "correlation",
    pairing: _Pairing = "plugin", target_mean: _PerBand | None = None,
    target_sigma: _PerBand | None = None, clip: _Clip | None = None, space: _Space | None = None,
    matrix: npt.ArrayLike | None = None, keep: int | Sequence[int] | None = None,
    sample: _Rect | None = None, mask: _Masks | None = None, every: int = 1,
    nodata: float | None = None, threads: int = 1, channel_axis: int | None = None, band_dim: str | None = None,
    split_every: int = 8, scheduler: str | None = None
) -> _ImagesT: ...
