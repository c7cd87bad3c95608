"""Finding, opening and following datasets, as watch, view and compare do it.

The waits take a stop event (anything with `is_set()`) and return a false
value once it is set; they say once what they wait for, through `say`.
"""

import collections
import contextlib
import difflib
import os
import sys
import time

from hdf5_kel.sources import Acquisition, first_linked_file, is_linked_series

from ..follow import superblock_head, writer_has_file_open
from .messages import CommandError, one_line, plural, positive_int, seconds_at_least
from .signals import check_interrupted, interrupted

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
    except Exception as error:  # noqa: BLE001 - a broken install must not stop the command
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
        raise CommandError(f"cannot open {path}: permission denied on its folder") from None
    except NotADirectoryError:
        raise CommandError(f"cannot open {path}: a folder on its path is a file") from None
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


def say(line):
    print(line, flush=True)


# Seconds of waiting for a file after which a follower says again what it
# waits for, with the names in its folder closest to it: a misspelt name looks
# just like a detector that has not started yet.
REMIND_AFTER = 10.0


class GaveUp(Exception):
    """The file did not appear within the time given (--timeout)."""


def reminder_line(path, waited):
    """What a long wait for `path` says: the closest names in its folder."""
    folder = os.path.dirname(path)
    where = folder or "the current folder"
    line = f"still waiting for {path} after {waited:.0f} s"
    try:
        names = os.listdir(folder or ".")
    except OSError:
        return line
    closest = difflib.get_close_matches(os.path.basename(path), names, n=CLOSEST_COUNT)
    if not closest:
        return f"{line}; nothing in {where} has a name close to it"
    return f"{line}; closest names in {where}: {', '.join(closest)}"


class Patience:
    """The stop event of the wait for a file: set by Ctrl-C, or after
    `timeout` seconds (None: never); says once, after REMIND_AFTER seconds,
    what is still awaited."""

    def __init__(self, path, say, timeout):
        self.path, self.say, self.timeout = path, say, timeout
        self.started = time.monotonic()
        self.reminded = False

    def is_set(self):
        if interrupted.is_set():
            return True
        waited = time.monotonic() - self.started
        if not self.reminded and waited >= REMIND_AFTER:
            self.say(reminder_line(self.path, waited))
            self.reminded = True
        return self.timeout is not None and waited >= self.timeout


def wait_patiently_for_file(path, say, timeout):
    """Wait for `path` to appear, saying what it waits for at once and again
    after REMIND_AFTER seconds; GaveUp after `timeout` seconds (None: never),
    KeyboardInterrupt on Ctrl-C."""
    if not wait_for_file(path, Patience(path, say, timeout), say):
        check_interrupted()
        raise GaveUp(f"{path} did not appear within {timeout:g} s")


def add_timeout_argument(parser):
    parser.add_argument(
        "--timeout",
        type=seconds_at_least(0),
        metavar="SECONDS",
        help="give up with status 1 when the file has not appeared by then (default: wait"
        " until Ctrl-C)",
    )


def wait_until_followable(path, name, say, file_found=lambda: None):
    """Wait for the file (then call `file_found`) and for SWMR mode, saying
    once what it waits for, then check that `name` is a dataset in it;
    KeyboardInterrupt when Ctrl-C ends a wait."""
    if not wait_for_file(path, interrupted, say):
        check_interrupted()
    file_found()
    file = open_when_unlocked(path, interrupted, say)
    if file is None:
        check_interrupted()
    # This handle goes before the follower opens its own: a process that holds
    # two objects of one growing dataset fails its reads.
    with file:
        found = dataset_in(file, path, name)
        first = first_linked_file(file, found)
    # A series of linked files has its frame shape once its first file is there.
    if first is not None and not wait_for_file(first, interrupted, say):
        check_interrupted()


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
        raise cannot_open(path, error) from error
    with file:
        check_growable(path, dataset_in(file, path, name))


def cannot_open(path, error):
    """The failed open of `path` in plain words where a plain read of the file
    tells why, else with HDF5's own text."""
    if isinstance(error, FileNotFoundError):
        return CommandError(f"{path}: no such file")
    try:
        with open(path, "rb") as file:
            if superblock_head(file) is None:
                empty = " (it is empty)" if os.fstat(file.fileno()).st_size == 0 else ""
                return CommandError(f"{path} is not an HDF5 file{empty}")
    except FileNotFoundError:
        return CommandError(f"{path}: no such file")
    except IsADirectoryError:
        return CommandError(f"{path} is a folder, not a file")
    except PermissionError:
        return CommandError(f"cannot open {path}: permission denied")
    except OSError:
        pass
    return CommandError(f"cannot open {path}: {one_line(error)}")


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
            raise cannot_open(path, error) from error

    waiting = f"waiting for the writer of {path} to switch SWMR mode on"
    return wait_until(unlocked, stop, say, waiting)


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
    """The dataset `name` of the open `file` (at `path`); an error naming the
    file, what stands at `name` instead, and the closest datasets."""
    import h5py

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
        raise CommandError(f"{path} has no dataset {name}{hint}")
    kind = "a group" if isinstance(found, h5py.Group) else f"a {type(found).__name__}"
    raise CommandError(f"{path}:{name} is {kind}, not a dataset{hint}")


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
    """Refuse a scalar dataset: frames are appended along axis 0."""
    if dset.ndim == 0:
        raise CommandError(f"{path}:{dset.name} has no axis to grow along")


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
                raise CommandError(line) from error
        raise


def add_threads_argument(parser):
    """--threads, for the commands that read frames: main() hands it on as
    HDF5_KEL_THREADS, which the readers look up at every block."""
    parser.add_argument(
        "--threads",
        type=positive_int,
        metavar="N",
        help="threads that decode compressed frames (default: $HDF5_KEL_THREADS, else one per"
        " core this process may use)",
    )


def add_dataset_arguments(parser):
    """FILE and DATASET, as every command that follows a dataset takes them."""
    parser.add_argument("file", metavar="FILE", help="HDF5 file being written")
    parser.add_argument("dataset", metavar="DATASET", help="dataset path, e.g. /entry/data")


# Seconds without a new frame before a follower asks the file whether its
# writer has closed it, and before it says that the writer may have died.
QUIET_BEFORE_CHECK = 1.0
QUIET_BEFORE_HINT = 60.0


def finished_line(frames):
    """The line of watch and view once the writer has closed the file."""
    return f"finished: the writer closed the file after {plural(frames, 'frame')}"


class WriterWatch:
    """Whether the writer of a followed file is done, asked of the file only
    once no new frame has come for QUIET_BEFORE_CHECK seconds.

    Call `arrived()` whenever new frames came. Once `finished()` is true the
    writer has closed the file, and closing comes after its last flush: one
    more refresh then sees every frame the file will ever hold. Where the
    follower's `dset` is an acquisition over several files, that is once every
    one of them is there and closed by its writer."""

    def __init__(self, path, dset=None):
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


def seconds_since_flush(path):
    """How long ago the file was last written, the writer's last flush; None if unknown."""
    try:
        return max(time.time() - os.stat(path).st_mtime, 0.0)
    except OSError:
        return None


def last_written(path, dset):
    """The file a follower's newest frames went to: of an acquisition over
    several files, the one modified last; else `path`."""
    if not isinstance(dset, Acquisition):
        return path

    def modified(file):
        try:
            return os.stat(file).st_mtime
        except OSError:
            return float("-inf")

    return max([source.path for source in dset.sources] + [path], key=modified)


def frames_waiting(reader):
    """Frames present beyond the reader's position (0 when that cannot be read)."""
    try:
        reader.dset.refresh()
        return max(reader.dset.shape[0] - reader.index, 0)
    except (OSError, RuntimeError, ValueError):
        return 0


def newest_rows(counter, keep):
    """The last `keep` rows appended since the counter's last hand-out, or None.

    Older new rows are passed over, never read: a display wants the newest
    frame, not every one. The counter's position ends at the dataset's length.
    """
    dset = counter.dset
    dset.refresh()
    shape = dset.shape
    length = shape[0]
    if length <= counter.index:
        return None
    counter.index = max(counter.index, length - keep)
    return counter.modify(dset, shape)


class SlidingRate:
    """Frames per second over the last `window` seconds of (time, length) samples."""

    def __init__(self, window):
        self.window = window
        self.samples = collections.deque()

    def add(self, when, length):
        self.samples.append((when, length))
        # The oldest sample kept is the last one at least a window old, so
        # that the rate always spans the whole window once there is one.
        while len(self.samples) > 2 and when - self.samples[1][0] >= self.window:
            self.samples.popleft()

    def per_second(self):
        if len(self.samples) < 2:
            return None
        (start, first), (end, last) = self.samples[0], self.samples[-1]
        return (last - first) / (end - start) if end > start else None
