"""Acquisitions over several files, followed as one dataset of frames.

Two layouts are followed: a virtual dataset whose mappings take whole frames
along axis 0 from growing source datasets (consecutive blocks, or frames with
a stride as interleaving writers make them), and a group whose members are
external links to datasets in data files that appear one after another (the
detector's master file). HDF5 cannot read a virtual dataset while a source is
shorter than mapped, and opening one through its virtual dataset would give
this process a second object of each growing source, which fails its reads:
the followers read the sources themselves, each file opened once, in SWMR read
mode, by the one follower.

This module is the one place that knows the layouts: which frame lies in which
source at which row, and how many frames every source holds. The followers
read each source's rows through their own fast reads (`pieces`).
"""

import operator
import os

import h5py

from .follow import being_created, writer_has_file_open

UNLIMITED = h5py.h5s.UNLIMITED


def follow(file, name):
    """What a follower of `name` in the open `file` reads: the dataset itself,
    or an Acquisition where it is a virtual dataset or a group of external
    links. Anything else is returned as it is, for the caller to refuse."""
    found = file[name]
    if isinstance(found, h5py.Dataset):
        return Acquisition.virtual(file, found) if found.is_virtual else found
    if isinstance(found, h5py.Group) and is_linked_series(found):
        return Acquisition.series(file, found)
    return found


def is_linked_series(group):
    """Whether every member of `group` (and there is one) is an external link."""
    names = list(group)
    return bool(names) and all(
        isinstance(group.get(member, getlink=True), h5py.ExternalLink) for member in names
    )


def first_linked_file(file, found):
    """The path of the first data file of a group of external links in the
    open `file`; None for anything else."""
    if not (isinstance(found, h5py.Group) and is_linked_series(found)):
        return None
    return beside(file.filename, found.get(min(found), getlink=True).filename)


def beside(master, name):
    """The path of a file that `master` names, as HDF5 finds it: an absolute
    name as it is, a relative one in the folder of `master`, "." is `master`."""
    if name == ".":
        return master
    if os.path.isabs(name):
        return name
    return os.path.join(os.path.dirname(master), name)


class Run:
    """Frames of one source along axis 0: element e (its row `row + e`) is
    frame `start + (e // block) * stride + e % block`, for e below `total`
    (None: no end). A run of consecutive frames has one block."""

    def __init__(self, source, start, stride, block, total, row):
        self.source, self.start, self.stride, self.block = source, start, stride, block
        self.total, self.row = total, row

    def frame(self, element):
        return self.start + (element // self.block) * self.stride + element % self.block

    def elements_below(self, frame):
        """How many of the run's frames lie below `frame`."""
        if frame <= self.start:
            return 0
        periods, rest = divmod(frame - self.start, self.stride)
        below = periods * self.block + min(rest, self.block)
        return below if self.total is None else min(below, self.total)

    def first_missing(self, rows):
        """The first frame of the run that a source of `rows` rows lacks; None
        when it holds them all."""
        held = max(rows - self.row, 0)
        if self.total is not None and held >= self.total:
            return None
        return self.frame(held)

    def end(self):
        return None if self.total is None else self.frame(self.total - 1) + 1


class Source:
    """One dataset in one file, opened once, in SWMR read mode, when it can be."""

    def __init__(self, path, name, described):
        self.path, self.name, self.described = path, name, described
        self.file = self.dset = None
        self.rows = 0
        self.extent = None
        self.said = False

    def open(self, frame_shape, dtype):
        """Whether the source is open, opening it where it can be; says once
        that it waits for a file that is not there yet. A dataset of another
        frame shape or element type (where those are known) is refused."""
        if self.dset is not None:
            return True
        try:
            # A stat first: followers poll, and a failed open costs far more.
            if not os.path.exists(self.path):
                raise FileNotFoundError(self.path)
            self.file = h5py.File(self.path, "r", libver="latest", swmr=True)
        except OSError as error:
            # Not there yet (or just being made), or its writer has not
            # switched SWMR mode on.
            waiting = isinstance(error, (FileNotFoundError, BlockingIOError))
            if not (waiting or being_created(self.path)):
                raise
            if not self.said:
                print("Waiting for the file of", self.described + ":", self.path, flush=True)
                self.said = True
            return False
        try:
            dset = self.file.get(self.name)
            if not isinstance(dset, h5py.Dataset):
                missing = f"{self.described}: {self.path} has no dataset {self.name}"
                raise ValueError(missing)  # noqa: TRY004 - a fault of the file, not of a type
            if frame_shape is not None and (dset.shape[1:] != frame_shape or dset.dtype != dtype):
                raise ValueError(
                    f"{self.described}: {self.path}:{self.name} has frames of shape"
                    f" {dset.shape[1:]} and type {dset.dtype}, not {frame_shape} and {dtype}"
                )
        except BaseException:
            self.close()
            raise
        self.dset = dset
        self.extent = dset.shape
        self.rows = self.extent[0]
        return True

    def refresh(self):
        self.dset.refresh()
        self.extent = self.dset.shape
        self.rows = self.extent[0]

    def close(self):
        if self.file is not None:
            self.file.close()
        self.file = self.dset = None


def hyperslab(space, axes):
    """(start, stride, count, block) per axis of a regular hyperslab selection,
    or of a selection of everything; None for any other."""
    kind = space.get_select_type()
    if kind == h5py.h5s.SEL_ALL and len(space.shape) == axes:
        return [(0, 1, 1, size) for size in space.shape]
    if kind == h5py.h5s.SEL_HYPERSLABS and space.is_regular_hyperslab():
        return list(zip(*space.get_regular_hyperslab()))
    return None


def frames_and_rows(plist, number, frame_shape):
    """Of mapping `number` of a virtual dataset's creation property list, the
    frames it fills and the rows of its source it takes them from, as
    `axis_run`s; ValueError saying why where it cannot be followed."""
    axes = 1 + len(frame_shape)
    irregular = "is not a regular selection of frames"
    virtual = hyperslab(plist.get_virtual_vspace(number), axes)
    try:
        source_space = plist.get_virtual_srcspace(number)
    except RuntimeError:  # h5py cannot describe it
        raise ValueError(irregular) from None
    if virtual is None:
        raise ValueError(irregular)
    if source_space.get_select_type() == h5py.h5s.SEL_ALL:
        # The whole source, of as many rows as the mapping has frames (h5py
        # does not give the extent of such a selection).
        _, _, count, block = virtual[0]
        rows = UNLIMITED if UNLIMITED in (count, block) else count * block
        in_source = [(0, 1, 1, rows)] + [(0, 1, 1, size) for size in frame_shape]
    else:
        in_source = hyperslab(source_space, axes)
    if in_source is None or len(in_source) != axes:
        raise ValueError(irregular)
    frames, rows = axis_run(*virtual[0]), axis_run(*in_source[0])
    if frames is None or rows is None or rows[1] != 1:
        raise ValueError("does not take consecutive rows of its source to frames with a stride")
    if frames[3] != rows[3]:
        raise ValueError("maps a different number of rows than frames")
    for axis, size in enumerate(frame_shape, 1):
        if not (whole_axis(*virtual[axis], size) and whole_axis(*in_source[axis], size)):
            raise ValueError(f"splits a frame: axis {axis} is not whole on both sides")
    return frames, rows


def axis_run(start, stride, count, block):
    """An axis-0 selection as (start, stride, block, total): runs of `block`
    rows every `stride`, `total` rows in all (None: unlimited)."""
    if count == 1 or stride == block:
        total = None if UNLIMITED in (count, block) else count * block
        return start, 1, 1, total
    if UNLIMITED == block:
        return None
    return start, stride, block, None if count == UNLIMITED else count * block


def whole_axis(start, stride, count, block, size):
    return (
        start == 0
        and UNLIMITED not in (count, block)
        and (count == 1 or stride == block)
        and count * block == size
    )


def slice_text(start, stride, block, total):
    end = (
        "" if total is None else (start + ((total - 1) // block) * stride + (total - 1) % block + 1)
    )
    if stride == 1:
        return f"{start}:{end}"
    return f"{start}:{end}:{stride}" + (f" in blocks of {block}" if block > 1 else "")


class Acquisition:
    """Frames from several files, followed as one dataset: `refresh()`,
    `shape`, `dtype`, `name`, reads along axis 0; `close()` closes the files.

    A frame counts as there once its source holds it, after a refresh of the
    source: the frames handed out are the longest run from frame 0 that every
    source holds."""

    def __init__(self, kind, name, dtype, frame_shape):
        self.kind, self.name, self.dtype, self.frame_shape = kind, name, dtype, frame_shape
        self.sources = []
        self.runs = []
        # Where the frame reads of each source keep what its layout allows.
        self.kept = []
        self.length = 0
        self.end = None  # the frames every run covers together; None: no end

    # The layouts.

    @classmethod
    def virtual(cls, file, dset):
        """A virtual dataset whose mappings take whole frames along axis 0."""
        plist = dset.id.get_create_plist()
        if plist.get_virtual_count() == 0:
            raise ValueError(f"cannot follow {file.filename}:{dset.name}: it maps no source")
        # The extent as stored, not dset.shape: that would have HDF5 open the
        # sources, as objects of this process beside the follower's own.
        space = plist.get_virtual_vspace(0)
        if not space.shape:
            raise ValueError(f"cannot follow {file.filename}:{dset.name}: it has no axes")
        frame_shape = space.shape[1:]
        acquisition = cls("virtual dataset", dset.name, dset.dtype, frame_shape)
        opened = {}
        for number in range(plist.get_virtual_count()):
            file_name = plist.get_virtual_filename(number)
            source_name = plist.get_virtual_dsetname(number)
            try:
                if "%b" in file_name or "%b" in source_name:
                    raise ValueError("names its sources by number (%b), which are not followed")
                frames, rows = frames_and_rows(plist, number, frame_shape)
            except ValueError as why:
                raise ValueError(
                    f"cannot follow {file.filename}:{dset.name}: its mapping {number} (from"
                    f" {file_name}:{source_name}) {why}"
                ) from None
            path = beside(file.filename, file_name)
            start, stride, block, total = frames
            described = f"mapping {number} of {dset.name} (frames {slice_text(*frames)})"
            key = (os.path.abspath(path), source_name)
            if key not in opened:
                opened[key] = len(acquisition.sources)
                acquisition.sources.append(Source(path, source_name, described))
            acquisition.runs.append(Run(opened[key], start, stride, block, total, rows[0]))
        acquisition.end = tiled_end(acquisition.runs, f"{file.filename}:{dset.name}")
        acquisition.kept = [None] * len(acquisition.sources)
        return acquisition.opened()

    @classmethod
    def series(cls, file, group):
        """A group of external links, in the order of the members' names: the
        frames of each linked dataset follow those of the one before."""
        links = [(member, group.get(member, getlink=True)) for member in sorted(group)]
        acquisition = cls("series of linked files", group.name, None, None)
        for member, link in links:
            source = Source(
                beside(file.filename, link.filename), link.path, f"{group.name}/{member}"
            )
            # Waiting for the next file is what following a series is: not said.
            source.said = True
            acquisition.sources.append(source)
        acquisition.kept = [None] * len(acquisition.sources)
        acquisition.settled = 0  # the linked files whose writer has closed them
        acquisition.settled_frames = 0
        return acquisition.opened()

    def opened(self):
        """The acquisition, its sources that are there opened and checked (of
        a series, the first file gives the frame shape and type)."""
        try:
            self.refresh()
        except BaseException:
            self.close()
            raise
        return self

    # Following.

    def refresh(self):
        """Refresh every source (opening those that appeared) and count the
        frames there."""
        if self.kind == "virtual dataset":
            rows = []
            for source in self.sources:
                if source.dset is not None:
                    source.refresh()
                    rows.append(source.rows)
                else:
                    opened = source.open(self.frame_shape, self.dtype)
                    rows.append(source.rows if opened else 0)
            self.length = present(self.runs, rows, self.end)
        else:
            self.refresh_series()

    def refresh_series(self):
        while self.settled < len(self.sources):
            source = self.sources[self.settled]
            before = source.rows
            if source.dset is None:
                if not source.open(self.frame_shape, self.dtype):
                    break
                if self.frame_shape is None:  # the first file sets them
                    self.frame_shape, self.dtype = source.extent[1:], source.dset.dtype
            else:
                source.refresh()
            if self.settled == len(self.runs):
                self.runs.append(Run(self.settled, self.settled_frames, 1, 1, None, 0))
            # A file that grew is still being written; one that did not is
            # asked whether its writer has closed it.
            if (source.rows > before and before) or writer_has_file_open(source.path):
                break
            # Closed after its last flush: one more refresh sees every frame.
            source.refresh()
            check_frame_numbers(source, self.settled_frames)
            self.runs[-1].total = source.rows
            self.settled_frames += source.rows
            self.settled += 1
        if self.settled == len(self.sources):
            self.length = self.end = self.settled_frames
        else:
            growing = self.sources[self.settled]
            self.length = self.settled_frames + (growing.rows if growing.dset is not None else 0)

    def writers_open(self):
        """False once every file is there and its writer has closed it."""
        if self.kind != "virtual dataset":
            return self.settled < len(self.sources)
        return any(
            source.dset is None or writer_has_file_open(source.path) for source in self.sources
        )

    @property
    def shape(self):
        if self.frame_shape is None:
            return (0,)
        return (self.length, *self.frame_shape)

    @property
    def ndim(self):
        return len(self.shape)

    def __len__(self):
        return self.length

    def pieces(self, start, stop):
        """How frames [start, stop) are read: (source number, dataset, its
        extent at the last refresh, first row, end row, where the rows go in
        the block, step between them), per run of rows that lands evenly."""
        found = []
        for run in self.runs:
            first, last = run.elements_below(start), run.elements_below(stop)
            source = self.sources[run.source]
            while first < last:
                if run.block == 1:
                    rows = last - first
                else:  # the rest of this block of frames
                    rows = min(last, (first // run.block + 1) * run.block) - first
                at, step = run.frame(first) - start, run.stride if run.block == 1 else 1
                found.append(
                    (
                        run.source,
                        source.dset,
                        source.extent,
                        run.row + first,
                        run.row + first + rows,
                        at,
                        step,
                    )
                )
                first += rows
        return found

    def __getitem__(self, key):
        """Frames by an index or a slice along axis 0, then any further index,
        read with h5py's slicing."""
        import numpy as np

        rest = ()
        if isinstance(key, tuple):
            key, rest = (key[0], key[1:]) if key else (slice(None), ())
        if isinstance(key, slice):
            first, last, step = key.indices(self.length)
            if step != 1:
                raise ValueError("frames are read with a step of 1")
            block = np.empty((max(last - first, 0), *self.frame_shape), self.dtype)
            for _, dset, _, row, end, at, apart in self.pieces(first, max(last, first)):
                block[at : at + (end - row - 1) * apart + 1 : apart] = dset[row:end]
            rest = (slice(None), *rest) if rest else rest
        else:
            number = operator.index(key)
            if number < 0:
                number += self.length
            if not 0 <= number < self.length:
                raise IndexError(f"frame {key} of {self.name}, which has {self.length} frames")
            block = self[number : number + 1][0]
        return block[rest] if rest else block

    def close(self):
        for source in self.sources:
            source.close()

    def __repr__(self):
        return f"<{self.kind} {self.name}: {len(self.sources)} files, {self.length} frames>"


def tiled_end(runs, described):
    """The number of frames the runs cover together from frame 0, None without
    end; an error where they leave a gap or overlap."""
    if not runs:
        raise ValueError(f"cannot follow {described}: it maps no source")
    if all(run.stride == 1 for run in runs):
        ordered = sorted(runs, key=lambda run: run.start)
        end = 0
        for run in ordered:
            if end is None:
                raise ValueError(f"cannot follow {described}: a mapping follows one without end")
            if run.start != end:
                raise ValueError(
                    f"cannot follow {described}: its mappings leave frame {end} out"
                    " or map a frame twice"
                )
            end = run.end()
        return end
    period = runs[0].stride
    ordered = sorted(runs, key=lambda run: run.start)
    at = 0
    for run in ordered:
        if run.stride != period or run.start != at:
            raise ValueError(
                f"cannot follow {described}: its mappings do not interleave whole frames"
                f" with one period (at frame {at})"
            )
        at += run.block
    counts = [None if run.total is None else run.total // run.block for run in ordered]
    if counts == [None] * len(counts) and at == period:
        return None
    # Finite: each period whole, except the last, which the first runs fill.
    if (
        at != period
        or None in counts
        or counts != sorted(counts, reverse=True)
        or (counts[0] - counts[-1] > 1)
    ):
        raise ValueError(
            f"cannot follow {described}: its interleaved mappings leave frames out or map"
            " frames twice"
        )
    return sum(run.total for run in ordered)


def present(runs, rows, end):
    """Frames there from frame 0: up to the first frame that a run's source,
    of `rows[source]` rows, does not hold yet."""
    missing = [run.first_missing(rows[run.source]) for run in runs]
    missing = [frame for frame in missing if frame is not None]
    return min(missing) if missing else end


def check_frame_numbers(source, first):
    """A linked file's image_nr_low and image_nr_high, where it has them, must
    number (from 1, as detectors do) the frames it brings: `first` on."""
    attributes = source.dset.attrs
    expected = {"image_nr_low": first + 1, "image_nr_high": first + source.rows}
    for name, value in expected.items():
        if name in attributes and int(attributes[name]) != value:
            raise ValueError(
                f"{source.path}:{source.name} has {name} {int(attributes[name])}, but its"
                f" {source.rows} frames are frames {first + 1} to {first + source.rows},"
                " counted from 1, of the series"
            )
