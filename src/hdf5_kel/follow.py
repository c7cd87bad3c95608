"""Finding, opening and following a file that another process is still
writing: the waits and checks that the readers' callers share (the command
line, `hdf5_kel.cluster`, an acquisition's own scripts).

The waits take a stop event (anything with `is_set()`) and return a false
value once it is set; they say once what they wait for, through `say` (any
callable taking a line). What cannot be followed raises `FollowError`, whose
message names the file and says why in plain words.
"""

import contextlib
import difflib
import os
import sys
import time


class FollowError(Exception):
    """A file or dataset that cannot be followed; the message says which and why."""


def one_line(error, plain=(FollowError,)):
    """An exception as one line: its class (unless it is one of `plain`, whose
    message says it all), its text and its notes, whitespace folded."""
    text = " ".join(str(error).split())
    if not isinstance(error, plain):
        text = f"{type(error).__name__}: {text}" if text else type(error).__name__
    # Notes say why, where h5py's text does not (a filter plugin not loaded).
    notes = [" ".join(str(note).split()) for note in getattr(error, "__notes__", ())]
    return "; ".join([text, *notes])


# Seconds between two tests of a wait: for the file to appear, for the
# writer's lock to go.
POLL_INTERVAL = 0.1

# How many dataset names a "no such dataset" line proposes.
CLOSEST_COUNT = 3

# The error of an hdf5plugin that is installed but cannot be imported; None
# once it is imported or when it is not installed.
plugin_failure = None


def load_filter_plugins():
    """Import hdf5plugin where it is installed: h5py reads detector data
    compressed with bitshuffle, LZ4, blosc or zstd only once it is."""
    global plugin_failure
    try:
        import hdf5plugin  # noqa: F401 - registers the filters with HDF5
    except ModuleNotFoundError as error:
        plugin_failure = None if error.name == "hdf5plugin" else error
    except Exception as error:  # noqa: BLE001 - a broken install must not stop the follower
        plugin_failure = error
    else:
        plugin_failure = None


def wait_until(ready, stop, say, waiting):
    """Call `ready()` until it gives a true value, and return that; None when
    `stop` ended the wait. Says `waiting` once, if it has to wait at all."""
    said = False
    while not (result := ready()):
        if stop.is_set():
            return None
        if not said:
            say(waiting)
            said = True
        time.sleep(POLL_INTERVAL)
    return result


def file_there(path):
    """Whether `path` exists; an error where it never can, or the system will not say."""
    try:
        os.stat(path)
    except FileNotFoundError:
        return False
    except PermissionError:
        raise FollowError(f"cannot open {path}: permission denied on its folder") from None
    except NotADirectoryError:
        raise FollowError(f"cannot open {path}: a folder on its path is a file") from None
    return True


def waiting_line(path):
    """What a wait for `path` says: its folder too, when that is missing (the
    acquisition may create the folder of a run late, or the path is misspelt)."""
    folder = os.path.dirname(path)
    if folder and not os.path.isdir(folder):
        return f"waiting for {path} to appear; its folder {folder} does not exist yet"
    return f"waiting for {path} to appear"


def wait_for_file(path, stop, say):
    """Wait until `path` exists; False when `stop` ended the wait."""
    return bool(wait_until(lambda: file_there(path), stop, say, waiting_line(path)))


# A writer that makes its file in place leaves it empty for a moment, before
# HDF5 locks it and writes the superblock: an empty file this young is not
# there yet, rather than not an HDF5 file.
BEING_CREATED = 2.0


def being_created(path):
    """Whether `path` is an empty file made less than BEING_CREATED seconds ago."""
    try:
        info = os.stat(path)
    except OSError:
        return False
    return info.st_size == 0 and time.time() - info.st_mtime < BEING_CREATED


def cannot_open(path, error):
    """The failed open of `path` in plain words where a plain read of the file
    tells why, else with HDF5's own text."""
    if isinstance(error, FileNotFoundError):
        return FollowError(f"{path}: no such file")
    try:
        with open(path, "rb") as file:
            if superblock_head(file) is None:
                empty = " (it is empty)" if os.fstat(file.fileno()).st_size == 0 else ""
                return FollowError(f"{path} is not an HDF5 file{empty}")
    except FileNotFoundError:
        return FollowError(f"{path}: no such file")
    except IsADirectoryError:
        return FollowError(f"{path} is a folder, not a file")
    except PermissionError:
        return FollowError(f"cannot open {path}: permission denied")
    except OSError:
        pass
    return FollowError(f"cannot open {path}: {one_line(error)}")


def open_file(path):
    """The SWMR read handle of `path`; an error naming the file when it cannot be opened."""
    import h5py

    try:
        return h5py.File(path, "r", libver="latest", swmr=True)
    except OSError as error:
        raise cannot_open(path, error) from error


def open_when_unlocked(path, stop, say):
    """The SWMR read handle of `path`, once its writer has switched SWMR mode
    on (until then the writer holds the file locked); None when `stop` ended
    the wait."""
    import h5py

    def unlocked():
        try:
            return h5py.File(path, "r", libver="latest", swmr=True)
        except BlockingIOError:
            return None
        except OSError as error:
            if being_created(path):
                return None
            raise cannot_open(path, error) from error

    waiting = f"waiting for the writer of {path} to switch SWMR mode on"
    return wait_until(unlocked, stop, say, waiting)


def check_if_present(path, name):
    """Refuse at once a file that is there and cannot be followed: not HDF5,
    no dataset `name`, or one with no axis to grow along. A file that its
    writer still holds locked (before SWMR mode) or that is not there yet is
    checked once a wait has it open."""
    import h5py

    if not file_there(path):
        return
    try:
        file = h5py.File(path, "r", libver="latest", swmr=True)
    except BlockingIOError:
        return
    except OSError as error:
        if being_created(path):
            return
        raise cannot_open(path, error) from error
    with file:
        check_growable(path, dataset_in(file, path, name))


def dataset_names(file):
    """The paths of every dataset in an open file."""
    import h5py

    names = []

    def collect(name, obj):
        if isinstance(obj, h5py.Dataset):
            names.append("/" + name)

    file.visititems(collect)
    return names


def closest_datasets(file, name):
    """The dataset paths of the file that come closest to `name`, best first."""
    return difflib.get_close_matches(name, dataset_names(file), n=CLOSEST_COUNT, cutoff=0.0)


def dataset_in(file, path, name):
    """The dataset `name` of the open `file` (at `path`), or the group of
    external links of an acquisition over several files; an error naming the
    file, what stands at `name` instead, and the closest datasets."""
    import h5py

    from hdf5_kel.sources import is_linked_series

    try:
        found = file.get(name)
    except (KeyError, ValueError):  # a path through a dataset, a broken link
        found = None
    if isinstance(found, h5py.Dataset) or (
        isinstance(found, h5py.Group) and is_linked_series(found)
    ):
        return found
    closest = closest_datasets(file, name)
    hint = f"; closest datasets: {', '.join(closest)}" if closest else "; it holds no dataset"
    if found is None:
        raise FollowError(f"{path} has no dataset {name}{hint}")
    kind = "a group" if isinstance(found, h5py.Group) else f"a {type(found).__name__}"
    raise FollowError(f"{path}:{name} is {kind}, not a dataset{hint}")


@contextlib.contextmanager
def frames_of(file, found):
    """What `dataset_in` found, as its frames are read: the dataset itself, or
    the acquisition over several files that it stands for, refreshed, whose
    files are closed at the end."""
    import h5py

    from hdf5_kel.sources import follow

    if isinstance(found, h5py.Dataset) and not found.is_virtual:
        yield found
        return
    followed = follow(file, found.name)
    try:
        followed.refresh()
        yield followed
    finally:
        followed.close()


def check_growable(path, dset):
    """Refuse a scalar dataset: frames are appended along axis 0. A group of
    external links (an acquisition's data files) grows by its files."""
    import h5py

    if isinstance(dset, h5py.Dataset) and dset.ndim == 0:
        raise FollowError(f"{path}:{dset.name} has no axis to grow along")


def missing_filter_line(path, dset):
    """Why reading `dset` of `path` fails for want of a filter plugin, or None."""
    from hdf5_kel.diagnose import missing_filter_note

    note = missing_filter_note(dset)
    if note is None:
        return None
    line = f"cannot read {path}: {note}"
    if plugin_failure is not None:
        return f"{line}; hdf5plugin is installed but failed to import: {one_line(plugin_failure)}"
    if "hdf5plugin" in sys.modules:
        return (
            f"{line}; hdf5plugin is loaded but does not provide it: HDF5 looks for other"
            " filter plugins in the directories of HDF5_PLUGIN_PATH"
        )
    return line


@contextlib.contextmanager
def explain_read_errors(*sources):
    """A read of any of the (path, dataset) `sources` that fails for want of a
    filter plugin fails with one line that names the file, the filter and how
    to get it; other errors pass unchanged."""
    try:
        yield
    except (OSError, RuntimeError) as error:
        for path, dset in sources:
            line = missing_filter_line(path, dset)
            if line is not None:
                raise FollowError(line) from error
        raise


# An HDF5 file starts with this signature, at offset 0 or, behind a user
# block, at 512, 1024, 2048 and so on.
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
# Bits of the file consistency flags of a version 2 or 3 superblock (the byte
# after the signature, the version and the two size bytes) that a writer sets
# while it holds the file open: open for writing, open for SWMR writing.
# Closing the file clears them; a writer that was killed leaves them set.
WRITER_OPEN_FLAGS = 0x01 | 0x04


def superblock_head(file):
    """The first 12 bytes of the superblock of an open binary file, from its
    signature on; None where the file has no HDF5 signature."""
    size = os.fstat(file.fileno()).st_size
    offset = 0
    while offset + len(HDF5_SIGNATURE) <= size:
        file.seek(offset)
        head = file.read(12)
        if head[: len(HDF5_SIGNATURE)] == HDF5_SIGNATURE:
            return head
        offset = 512 if offset == 0 else offset * 2
    return None


def writer_has_file_open(path):
    """True while a writer holds the HDF5 file at `path` open, False once it
    has closed it; None where the file does not say (a superblock older than
    version 2, not an HDF5 file, unreadable).

    A plain read of the file's first bytes: HDF5 shares one open file among
    the handles of a process, and its view of the superblock is its own."""
    try:
        with open(path, "rb") as file:
            head = superblock_head(file)
    except OSError:
        return None
    if head is None or len(head) < 12 or head[8] < 2:
        return None
    return bool(head[11] & WRITER_OPEN_FLAGS)


# Seconds without a new frame before a follower asks the file whether its
# writer has closed it, and before it says that the writer may have died.
QUIET_BEFORE_CHECK = 1.0
QUIET_BEFORE_HINT = 60.0


class WriterWatch:
    """Whether the writer of a followed file is done, asked of the file only
    once no new frame has come for QUIET_BEFORE_CHECK seconds.

    Call `arrived()` whenever new frames came. Once `finished()` is true the
    writer has closed the file, and closing comes after its last flush: one
    more refresh then sees every frame the file will ever hold. Where the
    follower's `dset` is an acquisition over several files, that is once every
    one of them is there and closed by its writer."""

    def __init__(self, path, dset=None):
        from hdf5_kel.sources import Acquisition

        self.path = path
        self.acquisition = dset if isinstance(dset, Acquisition) else None
        self.last_arrival = time.monotonic()

    def writer_open(self):
        if self.acquisition is not None:
            return self.acquisition.writers_open()
        return writer_has_file_open(self.path)

    def arrived(self):
        self.last_arrival = time.monotonic()

    def quiet_for(self):
        """Seconds since frames last came (or since the watch began)."""
        return time.monotonic() - self.last_arrival

    def finished(self):
        return self.quiet_for() >= QUIET_BEFORE_CHECK and self.writer_open() is False

    def stalled_hint(self):
        """A line saying that the writer may have stopped without closing the
        file, once nothing came for QUIET_BEFORE_HINT seconds while the file
        is still marked open; else None."""
        quiet = self.quiet_for()
        if quiet < QUIET_BEFORE_HINT or self.writer_open() is not True:
            return None
        return (
            f"no new frames for {quiet:.0f} s, and {self.path} is still marked open by a writer:"
            f" its writer may have stopped without closing it (if `fuser {self.path}` shows"
            f" no process, none holds it; `h5clear -s -i {self.path}` then clears the mark)"
        )
