"""What `view` computes from the frames it follows, besides the picture: the
detector's pixel mask, regions whose sum, mean and maximum are kept for every
frame, the sum of the last N frames, and values along a line.

The tools are made when a page first asks for one and fed by the follower
with every frame it reads from then on, so that each frame is looked at once
however many pages show the result. A tool no page has asked for in a while
is dropped.
"""

import math
import os
import threading
import time

# Rows of a region's history kept (frames followed since the region was made).
REGION_HISTORY = 100_000
MAX_SUM_FRAMES = 1000
# Frames kept for the sums of the last N frames, all sums together.
SUM_MEMORY = 1 << 30
MAX_REGIONS = 16
MAX_SUMS = 4
# A tool that no page has asked for in this long is dropped.
IDLE_TOOL = 600.0


class ToolError(Exception):
    """What a page asked for cannot be made: 400 and its text."""


class MaskError(Exception):
    """A mask that cannot be used, in one line."""


def is_nx_class(group, name):
    value = group.attrs.get("NX_class")
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    return value == name


def nexus_mask_path(file, dataset):
    """The `pixel_mask` of the NXdetector group that holds the dataset (or the
    one a soft link such as an NXdata group's `data` points to), or None.
    Only links are looked at: opening the growing dataset a second time
    would make this process's reads of it fail."""
    import h5py

    name = dataset
    for _ in range(8):  # links of links, but never a loop
        parent, _, leaf = name.rstrip("/").rpartition("/")
        group = file.get(parent or "/")
        if not isinstance(group, h5py.Group):
            return None
        link = group.get(leaf, getlink=True)
        if not isinstance(link, h5py.SoftLink):
            break
        target = link.path
        name = target if target.startswith("/") else f"{parent}/{target}"
    if is_nx_class(group, "NXdetector") and group.get("pixel_mask", getclass=True) is h5py.Dataset:
        return f"{group.name.rstrip('/')}/pixel_mask"
    return None


def shape_text(shape):
    return f"({', '.join(map(str, shape))}{',' if len(shape) == 1 else ''})"


def mask_array(dset, where, frame_shape):
    """The mask in `dset` as booleans (True: masked), checked against the frames."""
    import numpy as np

    if dset.dtype.kind not in "biu":
        raise MaskError(f"{where} holds {dset.dtype} values, not whole numbers")
    if tuple(dset.shape) != tuple(frame_shape):
        raise MaskError(
            f"{where} has shape {shape_text(dset.shape)}, but the frames are {shape_text(frame_shape)}"
        )
    try:
        return np.asarray(dset[()]) != 0
    except OSError as error:
        raise MaskError(f"{where} cannot be read ({error})") from None


def mask_in(file, where, dataset, frame_shape=None):
    """The mask `dataset` of an open file; with no `frame_shape`, of any shape."""
    import h5py

    try:
        found = file.get(dataset)
    except (KeyError, ValueError):
        found = None
    if not isinstance(found, h5py.Dataset):
        raise MaskError(f"{where}: no dataset {dataset} in {file.filename}")
    return mask_array(found, where, found.shape if frame_shape is None else frame_shape)


def split_mask_argument(text):
    """FILE:DATASET as (file, dataset); the dataset is after the last colon."""
    path, colon, dataset = text.rpartition(":")
    if not colon or not path or not dataset:
        raise ValueError(f"expected FILE:DATASET, got {text!r}")
    return path, dataset


def read_mask_file(path, dataset, frame_shape=None):
    """The mask given on the command line, from a file of its own."""
    import h5py

    where = f"{path}:{dataset}"
    if not os.path.exists(path):
        raise MaskError(f"{where}: no such file")
    try:
        file = h5py.File(path, "r")
    except OSError:
        try:  # a file that its writer still has open in SWMR mode
            file = h5py.File(path, "r", swmr=True)
        except OSError as error:
            raise MaskError(f"{where}: cannot open the file as HDF5 ({error})") from None
    with file:
        return mask_in(file, where, dataset, frame_shape)


def line_points(line, extent, limit):
    """Rows and columns of the pixels along `line` (row, column, row, column),
    one per pixel along its longer side (at most `limit`), within `extent`."""
    import numpy as np

    y0, x0, y1, x1 = line
    for v, n in ((y0, extent[0]), (x0, extent[1]), (y1, extent[0]), (x1, extent[1])):
        if not 0 <= v < n:
            raise ToolError(
                f"profile: {y0},{x0},{y1},{x1} is not a line within {extent[0]} x {extent[1]}"
            )
    count = min(max(abs(y1 - y0), abs(x1 - x0)) + 1, limit)
    t = np.linspace(0.0, 1.0, count)
    rows = np.rint(y0 + t * (y1 - y0)).astype(np.intp)
    cols = np.rint(x0 + t * (x1 - x0)).astype(np.intp)
    return rows, cols


def finite_list(values):
    """Floats for JSON, None where a value is NaN or infinite (JSON has neither)."""
    return [v if math.isfinite(v) else None for v in values.tolist()]


def region_statistics(part, keep):
    """Sum, mean and maximum per frame of `part` (frames, pixels), over the
    pixels `keep` selects (None: all) that hold finite values."""
    import numpy as np

    if keep is not None:
        part = part[:, keep]
    part = part.astype(np.float64, copy=False)
    count = part.shape[1]
    if count == 0:
        nan = np.full(part.shape[0], np.nan)
        return nan, nan, nan
    if np.isfinite(part).all():
        sums = part.sum(axis=1)
        return sums, sums / count, part.max(axis=1)
    finite = np.isfinite(part)
    counts = finite.sum(axis=1)
    sums = np.where(finite, part, 0.0).sum(axis=1)
    highest = np.where(finite, part, -np.inf).max(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        means = sums / counts
    highest[counts == 0] = np.nan
    sums[counts == 0] = np.nan
    return sums, means, highest


class Tool:
    """Shared by the tools: fed by the follower once it is active, and dropped
    once no page has asked for it in IDLE_TOOL seconds."""

    def __init__(self, plane):
        self.plane = plane
        self.lock = threading.Lock()
        self.active = False
        self.asked = time.monotonic()

    def idle(self, now):
        return now - self.asked > IDLE_TOOL


class RegionSeries(Tool):
    """The sum, mean and maximum of a box of the plane for every frame
    followed since the region was made (the last REGION_HISTORY of them)."""

    def __init__(self, plane, box, mask):
        import numpy as np

        super().__init__(plane)
        r0, r1, c0, c1 = box
        self.box = (slice(r0, r1), slice(c0, c1))
        self.keep = None if mask is None else ~mask[self.box].ravel()
        self.since = None
        # A ring of rows: frame number, sum, mean, maximum.
        self.rows = np.empty((0, 4))
        self.count = 0

    def start(self, position):
        self.since = position

    def add(self, planes, first):
        import numpy as np

        part = planes[(slice(None), *self.box)].reshape(len(planes), -1)
        sums, means, highest = region_statistics(part, self.keep)
        numbers = np.arange(first, first + len(planes), dtype=np.float64)
        new = np.column_stack([numbers, sums, means, highest])
        with self.lock:
            self.rows = np.concatenate([self.rows, new])[-REGION_HISTORY:]
            self.count += len(new)

    def after(self, number):
        """The rows of frames after `number` (all kept rows when it is None)."""
        with self.lock:
            rows = self.rows
            since = self.since
        if number is not None:
            rows = rows[rows[:, 0] > number]
        return {
            "since": since,
            "frames": rows[:, 0].astype(int).tolist(),
            "sum": finite_list(rows[:, 1]),
            "mean": finite_list(rows[:, 2]),
            "max": finite_list(rows[:, 3]),
        }

    def csv(self):
        with self.lock:
            rows = self.rows
        lines = ["frame,sum,mean,max"]
        lines += [f"{int(n)},{s!r},{m!r},{x!r}" for n, s, m, x in rows.tolist()]
        return "\n".join(lines) + "\n"


def accumulator(dtype, count):
    """The type that sums `count` values of `dtype` exactly (whole numbers) or
    closely (floats): the narrowest that cannot overflow, for speed."""
    import numpy as np

    if dtype.kind in "biu":
        if dtype.itemsize <= 2 and count < 1 << 15:
            return np.dtype(np.int32)
        return np.dtype(np.int64)
    return np.dtype(np.float64)


class RecentSum(Tool):
    """The sum of the last `count` frames of the plane, kept up to date by
    adding each new frame and taking away the one that leaves: every frame is
    read once, and kept only while it is among the last `count`."""

    def __init__(self, plane, count, plane_shape, dtype):
        import numpy as np

        super().__init__(plane)
        self.count = count
        self.frames = np.empty((count, *plane_shape), dtype)
        self.total = np.zeros(plane_shape, accumulator(dtype, count))
        self.exact = self.total.dtype.kind != "f"
        self.filled = 0
        self.next = 0  # the slot of the next frame
        self.last = None  # the number of the newest frame in the sum

    @staticmethod
    def memory(count, plane_shape, dtype):
        return count * math.prod(plane_shape) * dtype.itemsize

    def start(self, earlier, position):
        """Begin with `earlier`, the frames just before `position` (up to count)."""
        self.add(earlier, position - len(earlier))
        self.last = position - 1

    def add(self, planes, first):

        if len(planes) == 0:
            return
        passed_over = max(len(planes) - self.count, 0)
        planes, first = planes[passed_over:], first + passed_over
        taken = len(planes)
        with self.lock:
            # The slots taken form at most two runs: to the ring's end, then from its start.
            runs = [(self.next, min(self.next + taken, self.count))]
            runs.append((0, self.next + taken - runs[0][1]))
            done = 0
            for start, stop in runs:
                occupied = min(stop, self.filled)
                if occupied > start:
                    self.total -= self.frames[start:occupied].sum(axis=0, dtype=self.total.dtype)
                self.frames[start:stop] = planes[done : done + stop - start]
                done += stop - start
            self.total += planes.sum(axis=0, dtype=self.total.dtype)
            self.filled = min(self.filled + taken, self.count)
            wrapped = self.next + taken >= self.count
            self.next = (self.next + taken) % self.count
            if wrapped and not self.exact:
                # Rounding that adding and taking away leave behind (and a NaN
                # or infinity that has left) does not outlive the frames.
                self.total = self.frames[: self.filled].sum(axis=0, dtype=self.total.dtype)
            self.last = first + taken - 1

    def snapshot(self, mean):
        """(number of the newest frame, frames summed, the sum or mean), or None before any."""
        import numpy as np

        with self.lock:
            if self.last is None or self.filled == 0:
                return None
            total = self.total.astype(np.float64)
            return self.last, self.filled, total / self.filled if mean else total


class Tools:
    """The regions and sums the pages use, by what defines them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.regions = {}
        self.sums = {}

    def region(self, plane, box, mask):
        key = (plane.axes, plane.index, tuple(box))
        with self.lock:
            found = self.regions.get(key)
            if found is None:
                if len(self.regions) >= MAX_REGIONS:
                    raise ToolError(
                        f"region: {MAX_REGIONS} regions are in use, the most kept at once"
                    )
                found = self.regions[key] = RegionSeries(plane, box, mask)
            found.asked = time.monotonic()
            return found

    def recent_sum(self, plane, count, plane_shape, dtype):
        import numpy as np

        if not 1 <= count <= MAX_SUM_FRAMES:
            raise ToolError(f"sum: {count} frames is not within 1 to {MAX_SUM_FRAMES}")
        key = (plane.axes, plane.index, count)
        with self.lock:
            found = self.sums.get(key)
            if found is None:
                if len(self.sums) >= MAX_SUMS:
                    raise ToolError(f"sum: {MAX_SUMS} sums are in use, the most kept at once")
                dtype = np.dtype(dtype)
                used = sum(s.frames.nbytes for s in self.sums.values())
                needed = RecentSum.memory(count, plane_shape, dtype)
                if used + needed > SUM_MEMORY:
                    raise ToolError(
                        f"sum: {count} frames would keep {needed >> 20} MiB;"
                        f" {(SUM_MEMORY - used) >> 20} MiB are left for sums"
                    )
                found = self.sums[key] = RecentSum(plane, count, plane_shape, dtype)
            found.asked = time.monotonic()
            return found

    def prepare(self, position, read_earlier):
        """Called by the follower before it reads on from `position`: drops
        idle tools and starts new ones, a sum with the frames before
        `position` (`read_earlier(start, stop, plane)`); the active tools."""
        now = time.monotonic()
        with self.lock:
            for kept in (self.regions, self.sums):
                for key in [k for k, tool in kept.items() if tool.idle(now)]:
                    del kept[key]
            regions, sums = list(self.regions.values()), list(self.sums.values())
        for region in regions:
            if not region.active:
                region.start(position)
                region.active = True
        for recent in sums:
            if not recent.active:
                start = max(position - recent.count, 0)
                recent.start(read_earlier(start, position, recent.plane), position)
                recent.active = True
        return [tool for tool in regions + sums if tool.active]
