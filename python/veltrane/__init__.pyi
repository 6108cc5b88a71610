# Types of the veltrane package (the extension veltrane._core and its interface).
import os
from typing import Any, Literal, Sequence, Tuple, TypeVar, Union

import numpy as np
import numpy.typing as npt

__version__: str

_Sample = Union[np.uint8, np.uint16, np.float32, np.int8, np.int16, np.int32, np.uint32, np.float64]
_Image = npt.NDArray[_Sample]
# What the functions take as an image: an ndarray, an xarray.DataArray, a dask array or any
# array-like NumPy converts (the result follows the input's kind).
_ImageLike = Union[_Image, npt.ArrayLike, Any]
# A mapping gives back the kind it was given (ndarray, DataArray, dask array).
_ImageT = TypeVar("_ImageT")
_Mask = Union[npt.NDArray[Union[np.uint8, np.bool_]], npt.ArrayLike]
_PerBand = Union[float, Sequence[float]]
_Clip = Union[float, Tuple[float, float]]
_Rect = Tuple[int, int, int, int]
_Floats = npt.NDArray[np.float64]
_Space = Literal["rgb", "ycbcr", "yiq", "lab"]
_Basis = Literal["correlation", "covariance"]
_Pairing = Literal["plugin", "direct"]
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

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


class Statistics:
    """Sums, cross-product sums and extremes of selected pixels; pool with +, picklable."""
    @property
    def bands(self) -> int: ...
    @property
    def dtype(self) -> str: ...
    @property
    def count(self) -> int: ...
    @property
    def mean(self) -> _Floats: ...
    @property
    def lowest(self) -> _Floats: ...
    @property
    def highest(self) -> _Floats: ...
    @property
    def covariance(self) -> _Floats: ...
    @property
    def correlation(self) -> _Floats: ...
    def __add__(self, other: Statistics) -> Statistics: ...
    def __radd__(self, other: int) -> Statistics: ...
    def __iadd__(self, other: Statistics) -> Statistics: ...
    def __eq__(self, other: object) -> bool: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(text: str) -> Statistics: ...

class Transform:
    """A fitted stretch; the command line's transform files; picklable."""
    @property
    def bands(self) -> int: ...
    @property
    def dtype(self) -> str: ...
    @property
    def method(self) -> Literal["offset", "scale-only", "target"]: ...
    @property
    def clipped(self) -> bool: ...
    @property
    def space(self) -> Literal["rgb", "ycbcr", "yiq", "matrix", "lab"] | None: ...
    @property
    def matrix(self) -> _Floats: ...
    @property
    def nodata(self) -> float | None: ...
    @property
    def statistics(self) -> Statistics: ...
    def apply(
        self, img: _ImageT, out: _Image | None = None, *, nodata: float | None = None,
        threads: int = 0, channel_axis: int | None = None, band_dim: str | None = None
    ) -> _ImageT: ...
    def __eq__(self, other: object) -> bool: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(text: str) -> Transform: ...
    def save(self, path: _Path) -> None: ...
    @staticmethod
    def load(path: _Path) -> Transform: ...

class Axes:
    """Principal axes of pooled statistics; picklable."""
    @property
    def bands(self) -> int: ...
    @property
    def fractions(self) -> _Floats: ...

class ComponentRanges:
    """Each component's extremes; pool with + in the series' order; picklable."""
    @property
    def bands(self) -> int: ...
    @property
    def lowest(self) -> _Floats: ...
    @property
    def highest(self) -> _Floats: ...
    def __add__(self, other: ComponentRanges) -> ComponentRanges: ...
    def __radd__(self, other: int) -> ComponentRanges: ...
    def __iadd__(self, other: ComponentRanges) -> ComponentRanges: ...

class ClipHistogram:
    """The saturation's histogram over a series, measured in passes; picklable."""
    def __init__(self, transform: Transform, low: float, high: float) -> None: ...
    @property
    def needs_pass(self) -> bool: ...
    def empty(self) -> ClipHistogram: ...
    def measure(
        self, img: _ImageLike, *, sample: _Rect | None = None, mask: _Mask | None = None,
        every: int = 1, nodata: float | None = None, threads: int = 0,
        channel_axis: int | None = None, band_dim: str | None = None
    ) -> None: ...
    def merge(self, other: ClipHistogram) -> None: ...
    def finish_pass(self) -> None: ...
    def clipped(self) -> Transform: ...

def stretch(
    img: _ImageT, *, offset: bool | None = None, basis: _Basis = "correlation",
    pairing: _Pairing = "plugin", target_mean: _PerBand | None = None,
    target_sigma: _PerBand | None = None, clip: _Clip | None = None, space: _Space | None = None,
    matrix: npt.ArrayLike | None = None, keep: int | Sequence[int] | None = None,
    sample: _Rect | None = None, mask: _Mask | None = None, every: int = 1,
    nodata: float | None = None, threads: int = 0, out: _Image | None = None,
    channel_axis: int | None = None, band_dim: str | None = None
) -> _ImageT: ...
def statistics(
    img: _ImageLike, *, space: Literal["lab"] | None = None, sample: _Rect | None = None,
    mask: _Mask | None = None, every: int = 1, nodata: float | None = None, threads: int = 0,
    channel_axis: int | None = None, band_dim: str | None = None
) -> Statistics: ...
def fit(
    img_or_statistics: _ImageLike | Statistics, *, image: _ImageLike | None = None,
    offset: bool | None = None, basis: _Basis = "correlation", pairing: _Pairing = "plugin",
    target_mean: _PerBand | None = None, target_sigma: _PerBand | None = None,
    clip: _Clip | None = None, space: _Space | None = None, matrix: npt.ArrayLike | None = None,
    keep: int | Sequence[int] | None = None, sample: _Rect | None = None,
    mask: _Mask | None = None, every: int = 1, nodata: float | None = None, threads: int = 0,
    channel_axis: int | None = None, band_dim: str | None = None
) -> Transform: ...
def axes(
    statistics: Statistics, *, offset: bool | None = None, basis: _Basis = "correlation",
    pairing: _Pairing = "plugin", space: Literal["rgb", "ycbcr", "yiq", "lab"] | None = None,
    matrix: npt.ArrayLike | None = None, keep: int | Sequence[int] | None = None,
    **ignored: object
) -> Axes: ...
def component_ranges(
    img: _ImageLike, axes: Axes, *, sample: _Rect | None = None, mask: _Mask | None = None,
    every: int = 1, nodata: float | None = None, threads: int = 0,
    channel_axis: int | None = None, band_dim: str | None = None
) -> ComponentRanges: ...
def build(axes: Axes, ranges: ComponentRanges) -> Transform: ...
