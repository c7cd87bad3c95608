"""Fixed-capacity frame buffers: blocks are copied in along axis 0 and handed
out again as views, in equal-length batches."""

from typing import Any, SupportsIndex, TypeAlias

from numpy.typing import DTypeLike, NDArray

# What numpy.zeros takes as a shape; item 0 is the capacity in frames.
_Shape: TypeAlias = SupportsIndex | tuple[SupportsIndex, ...] | list[SupportsIndex]

class NumpyBuffer:
    array: NDArray[Any]
    """The storage, allocated once at full capacity and zero-filled."""
    index: int
    """Read position: the first frame the next getData hands out."""
    reallen: int
    """Fill level: the frames stored so far."""

    def __init__(self, shape: _Shape, dtype: DTypeLike) -> None: ...
    def appendData(self, data: NDArray[Any]) -> None:
        """Copy a block into the rows from reallen on.

        Raises ValueError, storing nothing, for a block that does not fit in
        the room left (a single frame into a full buffer included).
        """

    def getData(self, remainLen: int) -> NDArray[Any]:
        """The view of the next remainLen frames from index on; index moves by remainLen."""

class Buffers:
    buffers: list[NumpyBuffer]
    """One buffer per data source, in the order they were added."""

    def __init__(self) -> None: ...
    def appendNewBuffer(self, shape: _Shape, dtype: DTypeLike) -> None: ...
    def all_reached(self, remainLen: int = 1) -> bool:
        """Whether every buffer holds the remainLen frames its next getData hands out."""

    def getDatas(self, remainLen: int = 1) -> list[NDArray[Any]]:
        """One view of the next remainLen frames per buffer; every index moves by remainLen."""
