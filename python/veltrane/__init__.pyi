# Types of the veltrane package (the extension veltrane._core and its interface).
from typing import Literal, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

Image = npt.NDArray[
    Union[np.uint8, np.uint16, np.float32, np.int8, np.int16, np.int32, np.uint32, np.float64]
]
Mask = npt.NDArray[Union[np.uint8, np.bool_]]
PerBand = Union[float, Sequence[float]]
Clip = Union[float, Tuple[float, float]]
Rect = Tuple[int, int, int, int]

__version__: str

class Statistics:
    """Sums, cross-product sums and extremes of selected pixels; pool with +, picklable."""
    bands: int
    dtype: str
    count: int
    mean: list[float]
    lowest: list[float]
    highest: list[float]
    covariance: list[list[float]]
    correlation: list[list[float]]
    def __add__(self, other: Statistics) -> Statistics: ...
    def __iadd__(self, other: Statistics) -> Statistics: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(text: str) -> Statistics: ...

class Transform:
    """A fitted stretch; the command line's transform files; picklable."""
    bands: int
    dtype: str
    method: Literal["offset", "scale-only", "target"]
    clipped: bool
    space: Literal["rgb", "ycbcr", "yiq", "matrix", "lab"] | None
    matrix: npt.NDArray[np.float64]
    nodata: float | None
    statistics: Statistics
    def apply(
        self, img: Image, out: Image | None = None, *, nodata: float | None = None,
        threads: int = 0
    ) -> Image: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(text: str) -> Transform: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> Transform: ...

class Axes:
    """Principal axes of pooled statistics; picklable."""
    bands: int
    fractions: list[float]

class ComponentRanges:
    """Each component's extremes; pool with + in the series' order; picklable."""
    bands: int
    lowest: list[float]
    highest: list[float]
    def __add__(self, other: ComponentRanges) -> ComponentRanges: ...
    def __iadd__(self, other: ComponentRanges) -> ComponentRanges: ...

class ClipHistogram:
    """The saturation's histogram over a series, measured in passes; picklable."""
    def __init__(self, transform: Transform, low: float, high: float) -> None: ...
    @property
    def needs_pass(self) -> bool: ...
    def empty(self) -> ClipHistogram: ...
    def measure(
        self, img: Image, *, sample: Rect | None = None, mask: Mask | None = None,
        every: int = 1, nodata: float | None = None, threads: int = 0
    ) -> None: ...
    def merge(self, other: ClipHistogram) -> None: ...
    def finish_pass(self) -> None: ...
    def clipped(self) -> Transform: ...

def stretch(
    img: Image, *, offset: bool = True,
    basis: Literal["correlation", "covariance"] = "correlation",
    pairing: Literal["plugin", "direct"] = "plugin", target_mean: PerBand | None = None,
    target_sigma: PerBand | None = None, clip: Clip | None = None,
    space: Literal["rgb", "ycbcr", "yiq", "lab"] | None = None, matrix: npt.ArrayLike | None = None,
    keep: int | Sequence[int] | None = None, sample: Rect | None = None,
    mask: Mask | None = None, every: int = 1, nodata: float | None = None, threads: int = 0,
    out: Image | None = None
) -> Image: ...
def statistics(
    img: Image, *, space: Literal["lab"] | None = None, sample: Rect | None = None,
    mask: Mask | None = None, every: int = 1, nodata: float | None = None, threads: int = 0
) -> Statistics: ...
def fit(
    img_or_statistics: Image | Statistics, *, image: Image | None = None, offset: bool = True,
    basis: Literal["correlation", "covariance"] = "correlation",
    pairing: Literal["plugin", "direct"] = "plugin", target_mean: PerBand | None = None,
    target_sigma: PerBand | None = None, clip: Clip | None = None,
    space: Literal["rgb", "ycbcr", "yiq", "lab"] | None = None, matrix: npt.ArrayLike | None = None,
    keep: int | Sequence[int] | None = None, sample: Rect | None = None,
    mask: Mask | None = None, every: int = 1, nodata: float | None = None, threads: int = 0
) -> Transform: ...
def axes(
    statistics: Statistics, *, offset: bool = True,
    basis: Literal["correlation", "covariance"] = "correlation",
    pairing: Literal["plugin", "direct"] = "plugin",
    space: Literal["rgb", "ycbcr", "yiq"] | None = None, matrix: npt.ArrayLike | None = None,
    keep: int | Sequence[int] | None = None, **ignored: object
) -> Axes: ...
def component_ranges(
    img: Image, axes: Axes, *, sample: Rect | None = None, mask: Mask | None = None,
    every: int = 1, nodata: float | None = None, threads: int = 0
) -> ComponentRanges: ...
def build(axes: Axes, ranges: ComponentRanges) -> Transform: ...
