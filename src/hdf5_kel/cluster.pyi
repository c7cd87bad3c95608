"""Every frame of a growing dataset through a function on a Dask cluster."""

from collections.abc import Callable, Iterator
from os import PathLike
from typing import Any, Protocol, TypeVar

import distributed
from numpy.typing import NDArray

_Result = TypeVar("_Result")

class _StopEvent(Protocol):
    """Anything with is_set(), a threading.Event for one: set, it ends the following."""

    def is_set(self) -> bool: ...

def map_frames(
    client: distributed.Client,
    function: Callable[[NDArray[Any]], _Result],
    path: str | PathLike[str],
    dataset: str,
    *,
    batch_size: int,
    total_frames: int | None = None,
    start_frame: int = 0,
    in_flight: int = 8,
    stop: _StopEvent | None = None,
    read_on_workers: bool = False,
    ordered: bool = True,
) -> Iterator[tuple[int, _Result]]:
    """(first frame, function(block)) for every block of batch_size frames,
    each once, computed on the client's workers: in frame order, or as they
    complete with ordered=False; at most in_flight blocks out at a time, and
    while the workers are busy results are fetched in_flight // 2 at a time.
    Ends at total_frames, once the writer has closed the file, or once stop is
    set.

    With read_on_workers=True the workers read the blocks themselves (a file
    system that every worker sees at the same path); this process only follows
    the dataset's length."""
