"""Following a growing dataset, as `watch` and `view` do it."""

import collections
import os
import time


def add_dataset_arguments(parser):
    """FILE and DATASET, as every command that follows a dataset takes them."""
    parser.add_argument("file", metavar="FILE", help="HDF5 file being written")
    parser.add_argument("dataset", metavar="DATASET", help="dataset path, e.g. /entry/data")


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


def load_filter_plugins():
    """Registers hdf5plugin's compression filters with HDF5 where it is installed."""
    try:
        import hdf5plugin  # noqa: F401
    except ImportError:
        pass


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
    if len(shape) >= 2:
        return counter.modify(dset, shape)
    # The counter's hand-out selects two axes, which a dataset of one does not have.
    rows = dset[counter.index : length]
    counter.index = length
    return rows


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
