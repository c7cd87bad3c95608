"""HDF5 file utilities: create datasets, fill fixed-size ones frame block by frame
block, and compare datasets across files."""

from collections.abc import Mapping
from os import PathLike
from types import TracebackType
from typing import Any, Protocol, TypeAlias, overload

import h5py
import numpy as np
from numpy.typing import DTypeLike, NDArray
from typing_extensions import Self

_Path: TypeAlias = str | PathLike[str]
# The dataset comparisons give False, or numpy's True for equal datasets.
_Same: TypeAlias = bool | np.bool_

class DataSet:
    dset: h5py.Dataset
    index: int
    """The next row to write."""
    datasetname: str
    shape: Any
    """As passed at creation; 1 for a scalar dataset made by H5File."""
    dtype: Any
    """As passed at creation; "scalar" for a scalar dataset made by H5File."""

    def __init__(
        self, dset: h5py.Dataset, datasetname: str = "", shape: Any = (), dtype: Any = ""
    ) -> None: ...
    def append(self, data: NDArray[Any]) -> None:
        """Write data, any layout of whole frames, to the rows from index on.

        Raises TypeError, writing nothing, for a block that reaches past the
        dataset's extent; the dataset is never enlarged.
        """

class H5File:
    filepath: _Path
    f: h5py.File
    dsets: dict[str, DataSet]
    """The wrappers of the datasets made by create_dataset, _numpy and _scalar."""

    def __init__(self, filepath: _Path, mode: str) -> None: ...
    def create_dataset(
        self,
        datasetname: str,
        shape: int | tuple[int, ...] | None = None,
        dtype: DTypeLike | None = None,
    ) -> DataSet:
        """A dataset of fixed extent shape (it cannot grow later)."""

    def create_dataset_numpy(self, datasetname: str, data: NDArray[Any]) -> DataSet: ...
    def create_dataset_scalar(self, datasetname: str, data: Any) -> DataSet: ...
    def create_dataset_map(self, datasetname: str, m: Mapping[Any, object]) -> None:
        """Store str(value) of every item as a text dataset datasetname/key."""

    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close, also when the block raised; the exception propagates."""

    def __repr__(self) -> str:  # noqa: PYI029 (stubtest checks it is there)
        """The path and whether the file is open: <H5File out.h5, open>."""

def file_chmod(filepath: _Path, mod: int) -> None: ...

class _DatasetComparison(Protocol):
    """multipledispatch's dispatcher: the overload is chosen by the positional arguments."""

    @overload
    def __call__(self, dataset1: h5py.Dataset, dataset2: h5py.Dataset, /) -> _Same:
        """Whether two datasets hold the same shape, element type and values."""

    @overload
    def __call__(self, filepath1: str, filepath2: str, datasetpath: str, /) -> _Same: ...
    @overload
    def __call__(
        self, filepath1: str, datasetpath1: str, filepath2: str, datasetpath2: str, /
    ) -> _Same: ...

compare_dataset_two: _DatasetComparison

def compare_dataset_two1(
    filepath1: _Path, datasetpath1: str, filepath2: _Path, datasetpath2: str
) -> _Same: ...
def compare_dataset_subfiles(
    filepath: _Path, datasetpath: str, subFilePathPattern: str, subFileDatasetPath: str
) -> bool:
    """Whether the sub-files matching the pattern, in the order of the four digits
    before ".h5", laid end to end equal the leading frames of the main dataset.

    A mismatch raises AssertionError (False when assertions are disabled); a
    missing main dataset prints a line and gives False.
    """
