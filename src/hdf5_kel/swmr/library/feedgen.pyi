"""Test writers: each creates an HDF5 file, switches it into SWMR mode and appends
frames along axis 0 over time, for the live readers to follow from another process."""

from collections.abc import Sequence
from os import PathLike
from typing import TypeAlias

from numpy.typing import DTypeLike

_Path: TypeAlias = str | PathLike[str]

def basic_writer() -> None:
    """Write "swmr.h5" (dataset "/data") in the working directory: 15 rows of
    [1, 2, 3, 4], one a second."""

def writer_first_dim2() -> None:
    """As basic_writer, finding each new shape from the frame's shape."""

def writer_first_dim3(
    filepath: _Path,
    datasetname: str,
    shape_set: Sequence[int] = (10, 2, 3),
    dtype: DTypeLike = ...,
) -> None:
    """Append shape_set[0] counting frames of shape shape_set[1:], one at a time,
    without pause. dtype defaults to numpy.int32."""

def writer_first_dim3_multiline(
    filepath: _Path,
    datasetname: str,
    shape_set: Sequence[int] = (10, 2, 3),
    dtype: DTypeLike = ...,
    segmentsize: int = 10,
) -> None:
    """Append random frames in blocks of segmentsize, one block a second, then the
    frames short of a whole block one by one. dtype defaults to numpy.int32.

    Raises ValueError (segmentsize below 1) or TypeError (not a whole number)
    before the file is created.
    """
