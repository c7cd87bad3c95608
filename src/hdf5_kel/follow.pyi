"""Finding, opening and following a file that another process is still
writing: the waits and checks that the readers' callers share.

The waits take a stop event and return a false value once it is set; they say
once what they wait for, through say. What cannot be followed raises
FollowError, whose message names the file and says why in plain words."""

import contextlib
from collections.abc import Callable
from io import BufferedReader
from os import PathLike
from typing import Final, Protocol, TypeAlias, TypeVar

import h5py

from hdf5_kel.sources import Acquisition

_T = TypeVar("_T")
_Say: TypeAlias = Callable[[str], object]
_Path: TypeAlias = str | PathLike[str]

class _StopEvent(Protocol):
    """Anything with is_set(), a threading.Event for one: set, it ends a wait."""

    def is_set(self) -> bool: ...

class FollowError(Exception):
    """A file or dataset that cannot be followed; the message says which and why."""

def one_line(error: BaseException, plain: tuple[type[BaseException], ...] = (FollowError,)) -> str:
    """The exception as one line: its class (unless it is one of plain), text and notes."""

POLL_INTERVAL: Final[float]
"""Seconds between two tests of a wait."""
CLOSEST_COUNT: Final[int]
plugin_failure: Exception | None
"""Why an installed hdf5plugin failed to import; None once imported or when not installed."""

def load_filter_plugins() -> None:
    """Import hdf5plugin where it is installed (bitshuffle, LZ4, blosc, zstd for h5py)."""

def wait_until(
    ready: Callable[[], _T | None], stop: _StopEvent, say: _Say, waiting: str
) -> _T | None:
    """ready()'s first true value, testing every POLL_INTERVAL; None once stop is set."""

def file_there(path: _Path) -> bool:
    """Whether path exists; FollowError where it never can (a folder denied, a file on its path)."""

def waiting_line(path: _Path) -> str: ...
def wait_for_file(path: _Path, stop: _StopEvent, say: _Say) -> bool:
    """Wait until path exists; False when stop ended the wait."""

BEING_CREATED: Final[float]

def being_created(path: _Path) -> bool:
    """Whether `path` is an empty file made less than BEING_CREATED seconds ago: a
    writer that makes its file in place leaves it so for a moment, and the waits
    count it as not there yet rather than as not HDF5."""

def cannot_open(path: _Path, error: OSError) -> FollowError:
    """The failed open of path in plain words where a plain read of the file tells why."""

def open_file(path: _Path) -> h5py.File:
    """The SWMR read handle of path; FollowError when it cannot be opened."""

def open_when_unlocked(path: _Path, stop: _StopEvent, say: _Say) -> h5py.File | None:
    """The SWMR read handle once the writer has switched SWMR mode on; None once stop is set."""

def check_if_present(path: _Path, name: str) -> None:
    """FollowError at once for a file that is there and cannot be followed."""

def dataset_names(file: h5py.File) -> list[str]: ...
def closest_datasets(file: h5py.File, name: str) -> list[str]: ...
def dataset_in(file: h5py.File, path: _Path, name: str) -> h5py.Dataset | h5py.Group:
    """The dataset name of file, or the group of external links of an acquisition
    over several files; FollowError naming what is there and the closest datasets."""

def frames_of(
    file: h5py.File, found: h5py.Dataset | h5py.Group
) -> contextlib.AbstractContextManager[h5py.Dataset | Acquisition]:
    """The dataset itself, or the acquisition it stands for, refreshed; closed at the end."""

def check_growable(path: _Path, dset: h5py.Dataset | h5py.Group) -> None:
    """FollowError for a scalar dataset: frames are appended along axis 0."""

def missing_filter_line(path: _Path, dset: h5py.Dataset) -> str | None:
    """Why reading dset fails for want of a filter plugin, or None."""

def explain_read_errors(
    *sources: tuple[_Path, h5py.Dataset],
) -> contextlib.AbstractContextManager[None]:
    """A read that fails for want of a filter plugin raises FollowError naming it."""

HDF5_SIGNATURE: Final[bytes]
WRITER_OPEN_FLAGS: Final[int]

def superblock_head(file: BufferedReader) -> bytes | None: ...
def writer_has_file_open(path: _Path) -> bool | None:
    """True while a writer holds the file open, False once closed, None where it does not say."""

QUIET_BEFORE_CHECK: Final[float]
QUIET_BEFORE_HINT: Final[float]

class WriterWatch:
    """Whether the writer of a followed file is done, asked of the file only
    after QUIET_BEFORE_CHECK seconds without a new frame."""

    path: _Path
    acquisition: Acquisition | None
    last_arrival: float

    def __init__(self, path: _Path, dset: object = None) -> None:
        """dset: the follower's; an acquisition over several files is asked of its files."""

    def writer_open(self) -> bool | None:
        """As writer_has_file_open, of every file of an acquisition."""
    def arrived(self) -> None:
        """New frames came."""

    def quiet_for(self) -> float: ...
    def finished(self) -> bool:
        """The writer has closed the file: one more refresh sees every frame."""

    def stalled_hint(self) -> str | None:
        """After QUIET_BEFORE_HINT s without frames and the file still marked open: what to do."""
