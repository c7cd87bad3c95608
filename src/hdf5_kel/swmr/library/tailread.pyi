"""Live readers of HDF5 datasets that another process is still writing in SWMR mode."""

from collections.abc import Iterable, Iterator, Sequence
from os import PathLike
from queue import Queue
from types import TracebackType
from typing import Any, Protocol, TypeAlias

import h5py
from numpy.typing import NDArray
from typing_extensions import Self

from hdf5_kel.sources import Acquisition

from .framepool import Buffers

_Path: TypeAlias = str | PathLike[str]

class _StopEvent(Protocol):
    """Anything with is_set(), a threading.Event for one: set, it ends a wait."""

    def is_set(self) -> bool: ...

class _ClosedByWith:
    """`with obj:` gives obj and closes it when the block ends."""

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close, also when the block raised; the exception propagates."""

class SWMRCount(_ClosedByWith):
    """Hands out every frame appended since the last hand-out, until total_count."""

    filename: _Path
    datasetname: str
    f: h5py.File
    dset: h5py.Dataset | Acquisition
    """The dataset, or the acquisition over several files that it stands for."""
    index: int
    """Frames handed out so far (the dataset's length at the last hand-out)."""
    total_count: int

    def __init__(
        self,
        filename: _Path,
        datasetname: str = "/entry/data",
        dim: object = 3,
        total_count: int = 10,
    ) -> None:
        """Wait for the file to exist (a line a second), then open it for SWMR reading.

        dim is accepted for the layout of SWMRCountMulti's file entries and not used.
        """

    @classmethod
    def fromlist(cls, params: Sequence[Any], total_count: int) -> Self:
        """A counter on params[0] (file), params[1] (dataset), params[2] (dim)."""

    @classmethod
    def frommap(cls, **params: Any) -> Self:
        """A counter on the keys filepath, datasetname and total_count; others are ignored."""

    def modify(self, dset: h5py.Dataset, shape: Sequence[int]) -> NDArray[Any] | None:
        """The frames from index up to shape[0], logged at INFO and DEBUG; None when none."""

    def recv(self) -> NDArray[Any] | None:
        """Wait (busy) for new frames and return all of them; None once total_count is reached."""

    def recv_event(self, stop_event: _StopEvent) -> NDArray[Any] | None:
        """As recv; None, with nothing lost, once stop_event is set."""

    def close(self) -> None: ...
    def __del__(self) -> None: ...
    def __iter__(self) -> Iterator[NDArray[Any]]:
        """The blocks recv returns, until it returns None."""

    def __repr__(self) -> str:  # noqa: PYI029 (stubtest checks it is there)
        """File, dataset and position: <SWMRCount live.h5:/entry/data frame 7 of 10>."""

class SWMRCountMulti(_ClosedByWith):
    """Several files in lock-step: batches of the same frames from every file.

    A file entry is (file, dataset, dim, buffer shape, buffer element type); the
    buffer's capacity must cover every frame the file can deliver.
    """

    swmrcounts: list[SWMRCount]
    buffers: Buffers
    index: int
    """Frames per file handed out so far."""
    total_count: int

    def __init__(self, files: Iterable[Sequence[Any]], total_count: int = 10) -> None: ...
    def waitFirstDataNotZero(self, stop_event: _StopEvent) -> None:
        """Wait until frame 0 of every dataset exists and holds a value other than zero."""

    def recv(self, remainlen: int = 1) -> list[NDArray[Any]] | None:
        """The next remainlen frames of every file (views into the buffers); None at the end."""

    def recv_event(self, stop_event: _StopEvent, remainlen: int = 1) -> list[NDArray[Any]] | None:
        """As recv; None once stop_event is set, keeping what arrived for the next call."""

    def close(self) -> None: ...
    def __iter__(self) -> Iterator[list[NDArray[Any]]]:
        """The batches recv() returns (one frame per file each), until None."""

    def __repr__(self) -> str:  # noqa: PYI029 (stubtest checks it is there)
        """Position and files: <SWMRCountMulti frame 4 of 10, 2 files: a.h5:/d, b.h5:/d>."""

class SWMRReader(_ClosedByWith):
    """Hands out the frames from start_frame to total_frames in blocks of batch_size."""

    filepath: _Path
    datasetname: str
    start_frame: int
    total_frames: int
    """The end on axis 0 (exclusive), an absolute frame index."""
    batch_size: int
    queue: Queue[NDArray[Any]]
    index: int
    """The next frame to hand out."""
    f: h5py.File
    dset: h5py.Dataset | Acquisition
    """The dataset, or the acquisition over several files that it stands for."""

    def __init__(
        self,
        filepath: _Path,
        datasetname: str,
        start_frame: int,
        total_frames: int,
        batch_size: int,
    ) -> None:
        """Wait for the file to exist (a line a second), then open it for SWMR reading.

        Raises ValueError at once for a batch_size below 1.
        """

    def read_chunk(self) -> NDArray[Any] | None:
        """Wait for the next whole block and return it; None once total_frames is reached."""

    def read_chunk_event(self, stop_event: _StopEvent) -> NDArray[Any] | None:
        """As read_chunk; None, with index unchanged, once stop_event is set."""

    def read_chunk2queue(self) -> None:
        """Wait for the next block and put it on queue."""

    def accumulate_data(self) -> None:
        """Put every remaining block on queue, printing a line per block."""

    def close(self) -> None: ...
    def __del__(self) -> None: ...
    def __iter__(self) -> Iterator[NDArray[Any]]:
        """The blocks read_chunk returns, until it returns None."""

    def __repr__(self) -> str:  # noqa: PYI029 (stubtest checks it is there)
        """File, dataset, position: <SWMRReader live.h5:/d frame 10 of 25, blocks of 10>."""

class SWMRReaderMulti(_ClosedByWith):
    """One SWMRReader per entry (file, dataset, start_frame, total_frames, batch_size)."""

    readers: list[SWMRReader]

    def __init__(self, files: Iterable[Sequence[Any]]) -> None: ...
    def read_chunks(self) -> list[NDArray[Any]] | None:
        """The next block of every file, or None when not every file had one."""

    def read_chunks_event(self, stop_event: _StopEvent) -> list[NDArray[Any]] | None:
        """As read_chunks; a set stop_event returns None and the files stay in step."""

    def close(self) -> None: ...
    def __del__(self) -> None: ...
    def __iter__(self) -> Iterator[list[NDArray[Any]]]:
        """The lists read_chunks returns, until it returns None."""

    def __repr__(self) -> str:  # noqa: PYI029 (stubtest checks it is there)
        """One entry per file (a.h5:/entry/data frame 4 of 8), or the first few of many."""
