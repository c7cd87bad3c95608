"""What the commands that follow a dataset share: its arguments, the wait
before following, the line once the writer is done, and the live reads and
rates of watch and view. The waits and checks themselves are the library's
(`hdf5_kel.follow`)."""

import collections
import os
import time

from ..follow import dataset_in, open_when_unlocked, wait_for_file
from .messages import plural, positive_int
from .signals import check_interrupted, interrupted


def say(line):
    print(line, flush=True)


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
        dataset_in(file, path, name)


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
