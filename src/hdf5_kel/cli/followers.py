"""What the commands that follow a dataset share: its arguments, the wait
before following, the line once the writer is done, and the live reads and
rates of watch and view. The waits and checks themselves are the library's
(`hdf5_kel.follow`)."""

import collections
import difflib
import os
import time

from ..follow import CLOSEST_COUNT, dataset_in, open_when_unlocked, wait_for_file
from ..sources import Acquisition, first_linked_file
from .messages import plural, positive_int, seconds_at_least
from .signals import check_interrupted, interrupted


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


def finished_line(frames):
    """The line of watch and view once the writer has closed the file."""
    return f"finished: the writer closed the file after {plural(frames, 'frame')}"


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
