"""`simulate`: a detector stand-in that writes an SWMR file at a chosen frame rate."""

import argparse
import math
import os
import time

from .followers import say
from .messages import (
    INTERRUPTED,
    CommandError,
    element_type,
    non_negative_int,
    one_line,
    plural,
    positive_int,
)
from .signals import interrupted

COMPRESSIONS = ("none", "gzip", "bitshuffle")
LAYOUTS = ("single", "vds", "series")
DEFAULT_WRITERS = 4
DEFAULT_FRAMES_PER_FILE = 100
# Distinct frames made before the first write and written in turn, so that
# the frames change from one to the next at a bounded cost in memory and time.
DISTINCT_FRAMES = 16
DISTINCT_FRAMES_BYTES = 256 * 2**20
# HDF5 refuses chunks of 4 GiB or more.
MAX_CHUNK_BYTES = 2**32 - 1
# Seconds between two progress lines, and the longest sleep between two
# looks at the Ctrl-C flag.
PROGRESS_EVERY = 1.0
LONGEST_SLEEP = 0.05
# Behind its schedule by more than this, the progress line says so.
LATE_ENOUGH_TO_SAY = 0.5


def frame_rate(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of frames per second: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):  # NaN and infinity too
        raise argparse.ArgumentTypeError(f"must be above 0, got {text}")
    return value


def frame_element_type(text):
    dtype = element_type(text)
    if dtype.kind not in "iuf":
        raise argparse.ArgumentTypeError(f"not an integer or floating-point type: {text!r}")
    return dtype


def mean_counts(shape, peak, rng):
    """The mean photon counts of a powder pattern: a few rings around a beam
    centre somewhat off the middle, stronger on one axis, a few Bragg spots
    and a flat background."""
    import numpy as np

    height, width = shape
    y, x = np.ogrid[:height, :width]
    centre_y, centre_x = 0.45 * height, 0.55 * width
    radius = np.hypot(y - centre_y, x - centre_x)
    texture = 1 + 0.3 * np.cos(2 * np.arctan2(y - centre_y, x - centre_x))
    width_of_ring = max(min(shape) / 250, 1.0)
    counts = np.full(shape, max(peak / 200, 1.0))
    for ring in range(1, 6):
        ring_radius = 0.11 * min(shape) * math.sqrt(ring * (ring + 1))
        counts += (peak / ring) * texture * np.exp(-(((radius - ring_radius) / width_of_ring) ** 2))
    for spot_y, spot_x in zip(rng.uniform(0, height, 12), rng.uniform(0, width, 12)):
        counts += peak * np.exp(-((y - spot_y) ** 2 + (x - spot_x) ** 2) / (2 * width_of_ring**2))
    return counts


def detector_frames(count, shape, dtype, seed=0):
    """`count` frames of Poisson noise over the same powder pattern, the beam
    intensity drifting from frame to frame, with a few hot pixels (the same in
    every frame) at the element type's largest value."""
    import numpy as np

    rng = np.random.default_rng(seed)
    integers = dtype.kind in "iu"
    top = (np.iinfo if integers else np.finfo)(dtype).max
    peak = min(1000.0, float(top) / 4)
    # Only the hot pixels reach the top; a sum beyond int64 cannot happen here.
    highest = min(int(top) - 1, 2**62) if integers else None
    mean = mean_counts(shape, peak, rng)
    frames = np.empty((count, *shape), dtype)
    for number in range(count):
        beam = 1 + 0.1 * math.sin(2 * math.pi * number / count)
        counts = rng.poisson(mean * beam)
        frames[number] = np.minimum(counts, highest) if integers else counts
    hot = max(3, shape[0] * shape[1] // 100_000)
    frames[:, rng.integers(0, shape[0], hot), rng.integers(0, shape[1], hot)] = top
    return frames


def filter_options(compression):
    if compression == "gzip":
        return {"compression": "gzip"}
    if compression == "bitshuffle":
        from hdf5_kel.diagnose import INSTALL_HDF5PLUGIN

        from .. import follow

        try:
            import hdf5plugin
        except ImportError as error:
            if follow.plugin_failure is not None or error.name != "hdf5plugin":
                raise CommandError(
                    "--compression bitshuffle: hdf5plugin is installed but failed to import:"
                    f" {one_line(follow.plugin_failure or error)}"
                ) from None
            raise CommandError(
                f"--compression bitshuffle needs hdf5plugin: {INSTALL_HDF5PLUGIN}"
            ) from None
        return dict(hdf5plugin.Bitshuffle(cname="lz4"))
    return {}


def create_file(path):
    import h5py

    try:
        return h5py.File(path, "w", libver="latest")
    except FileNotFoundError:
        folder = os.path.dirname(path) or "."
        raise CommandError(f"cannot create {path}: its folder {folder} does not exist") from None
    except IsADirectoryError:
        raise CommandError(f"cannot create {path}: it is a folder") from None
    except PermissionError:
        raise CommandError(f"cannot create {path}: permission denied") from None
    except BlockingIOError:
        raise CommandError(f"cannot create {path}: another process has it open") from None


def sleep_until(deadline):
    """Sleep until the time.monotonic() `deadline`; False when Ctrl-C came first."""
    while (left := deadline - time.monotonic()) > 0:
        if interrupted.is_set():
            return False
        time.sleep(min(left, LONGEST_SLEEP))
    return not interrupted.is_set()


class Progress:
    """A line a second: the frames written, the rate since the last line, and
    how far the writer is behind its schedule where it cannot keep up."""

    def __init__(self, began, rate, label=""):
        self.began = began
        self.rate = rate
        self.label = label
        # The rate counts from the first append on: its frames took no time.
        self.said_at = self.said_written = None

    def written(self, written):
        now = time.monotonic()
        if self.said_at is None:
            self.said_at, self.said_written = now, written
        if now - self.said_at < PROGRESS_EVERY:
            return
        rate = (written - self.said_written) / (now - self.said_at)
        line = f"{plural(written, 'frame')} written, {rate:.1f} frames/s"
        late = now - (self.began + (written - 1) / self.rate)
        if late > LATE_ENOUGH_TO_SAY:
            line += f", {late:.1f} s behind --rate {self.rate:g}"
        say(self.label + line)
        self.said_at, self.said_written = now, written


def check_sizes(args):
    height, width = args.shape
    frame_bytes = args.dtype.itemsize * height * width
    if frame_bytes * args.chunk_frames > MAX_CHUNK_BYTES:
        raise CommandError(
            f"--chunk-frames {args.chunk_frames}: a chunk of {plural(args.chunk_frames, 'frame')}"
            f" of {height} x {width} {args.dtype} is {frame_bytes * args.chunk_frames / 2**30:.1f}"
            " GiB; HDF5 takes chunks below 4 GiB"
        )
    # Given where they do nothing, they were meant for another layout.
    if args.writers is not None and args.layout != "vds":
        raise CommandError("--writers goes with --layout vds")
    if args.frames_per_file is not None and args.layout != "series":
        raise CommandError("--frames-per-file goes with --layout series")
    args.writers = args.writers or DEFAULT_WRITERS
    args.frames_per_file = args.frames_per_file or DEFAULT_FRAMES_PER_FILE
    if args.interleave and not 0 <= args.interleave[0] < args.interleave[1]:
        raise CommandError("--interleave FIRST EVERY: FIRST must be below EVERY")
    if args.layout == "series" and not args.frames:
        raise CommandError("--layout series needs --frames: the links to every file come first")
    return frame_bytes


def frame_bank(args, frame_bytes):
    """The distinct frames written in turn: frame i is bank[i % len(bank)]."""
    distinct = max(1, min(DISTINCT_FRAMES, DISTINCT_FRAMES_BYTES // frame_bytes))
    if args.frames:
        distinct = min(distinct, args.frames)
    return detector_frames(distinct, tuple(args.shape), args.dtype)


def run(args):
    frame_bytes = check_sizes(args)
    if args.layout == "vds":
        return run_writers(args)
    filters = filter_options(args.compression)
    bank = frame_bank(args, frame_bytes)
    if args.layout == "series":
        return run_series(args, bank, filters)
    return run_single(args, bank, filters)


def run_single(args, frames, filters):
    import numpy as np

    height, width = args.shape
    distinct = len(frames)
    # A writer of an interleaved acquisition writes frames first, first + every, ...
    first, every = args.interleave or (0, 1)
    count, end = (f"{args.frames} frames", "") if args.frames else ("frames", " without end")
    written = 0
    with create_file(args.file) as f:
        dset = f.create_dataset(
            args.dataset,
            (0, height, width),
            maxshape=(None, None, None),
            dtype=args.dtype,
            chunks=(args.chunk_frames, height, width),
            **filters,
        )
        f.swmr_mode = True
        say(
            f"simulating a detector: {count} of {height} x {width} {args.dtype} at"
            f" {args.rate / every:g} frames/s{end} to {args.file}:{args.dataset}, in chunks of"
            f" {plural(args.chunk_frames, 'frame')}, compression {args.compression};"
            " SWMR mode is on, Ctrl-C stops"
        )
        began = time.monotonic()
        # The writers of one acquisition say which file a line is about.
        progress = Progress(began, args.rate / every, f"{args.file}: " if args.interleave else "")
        while not args.frames or written < args.frames:
            step = (
                args.chunk_frames
                if not args.frames
                else min(args.chunk_frames, args.frames - written)
            )
            numbers = first + every * np.arange(written, written + step)
            # Frame i is due at began + i / rate: a schedule, so that no delay adds up.
            if not sleep_until(began + numbers[-1] / args.rate):
                break
            block = frames[numbers % distinct]
            dset.resize(written + step, axis=0)
            dset[written:] = block
            dset.flush()
            written += step
            progress.written(written)
        last_at = time.monotonic()
    what = f"{args.file}:{args.dataset}"
    if interrupted.is_set():
        say(f"stopped: {what} holds the {plural(written, 'frame')} written; the file is closed")
        return INTERRUPTED
    rate = f", {(written - 1) / (last_at - began):.1f} frames/s" if written > 1 else ""
    say(f"done: {what}, {plural(written, 'frame')} in {last_at - began:.1f} s{rate}")
    return 0


def source_path(path, number):
    """The file of writer `number` of a virtual dataset at `path`: beside it."""
    stem, suffix = os.path.splitext(path)
    return f"{stem}_{number}{suffix or '.h5'}"


def create_interleaved(path, dataset, sources, frame_shape, dtype):
    """A virtual dataset at `path`:`dataset` whose frame i is row i // N of
    the growing dataset of the same name in source i % N (N sources, named
    relative to the folder of `path`), with no end."""
    import h5py
    import numpy as np

    unlimited = h5py.h5s.UNLIMITED
    axes = len(frame_shape)
    plist = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
    plist.set_layout(h5py.h5d.VIRTUAL)
    for number, source in enumerate(sources):
        frames = h5py.h5s.create_simple((0, *frame_shape), (unlimited, *frame_shape))
        frames.select_hyperslab(
            (number, *[0] * axes),
            (unlimited, *[1] * axes),
            (len(sources), *[1] * axes),
            (1, *frame_shape),
        )
        rows = h5py.h5s.create_simple((0, *frame_shape), (unlimited, *frame_shape))
        rows.select_hyperslab((0, *[0] * axes), (unlimited, *[1] * axes), None, (1, *frame_shape))
        plist.set_virtual(frames, os.path.basename(source).encode(), dataset.encode(), rows)
    with create_file(path) as f:
        parent = f.require_group(os.path.dirname(dataset.rstrip("/")) or "/")
        space = h5py.h5s.create_simple((0, *frame_shape), (unlimited, *frame_shape))
        h5py.h5d.create(
            parent.id,
            os.path.basename(dataset.rstrip("/")).encode(),
            h5py.h5t.py_create(np.dtype(dtype), logical=1),
            space,
            dcpl=plist,
        )


def run_writers(args):
    """`--layout vds`: the virtual dataset first, then one writer process per
    source, each writing every N-th frame at 1/N of the rate."""
    import signal
    import subprocess
    import sys

    sources = [source_path(args.file, number) for number in range(args.writers)]
    create_interleaved(args.file, args.dataset, sources, tuple(args.shape), args.dtype)
    say(
        f"simulating a detector of {args.writers} writers: {args.file}:{args.dataset} is a"
        f" virtual dataset over {', '.join(sources)}, frame i in file i mod {args.writers}"
    )
    options = [
        "--rate",
        repr(args.rate),
        "--shape",
        *map(str, args.shape),
        "--dtype",
        str(args.dtype),
        "--chunk-frames",
        str(args.chunk_frames),
        "--compression",
        args.compression,
    ]
    writers = []
    for number, source in enumerate(sources):
        frames = len(range(number, args.frames, args.writers)) if args.frames else 0
        command = [sys.executable, "-m", "hdf5_kel", "simulate", source, args.dataset]
        command += [*options, "--frames", str(frames)]
        command += ["--interleave", str(number), str(args.writers)]
        writers.append(subprocess.Popen(command))
    failed = []
    # A writer stopped by Ctrl-C or SIGTERM has closed its file.
    stopped = (0, INTERRUPTED, 128 + signal.SIGTERM)
    while writers:
        for writer in list(writers):
            if writer.poll() is not None:
                writers.remove(writer)
                if writer.returncode not in stopped:
                    failed.append(writer.args[4])
        if interrupted.is_set():
            # Ctrl-C reaches every writer, a plain kill only this process;
            # SIGTERM stops a writer that ignores SIGINT (started in the background).
            for writer in writers:
                writer.terminate()
            for writer in writers:
                writer.wait()
            writers = []
        time.sleep(LONGEST_SLEEP)
    if failed:
        raise CommandError(f"the writers of {', '.join(failed)} failed")
    if interrupted.is_set():
        say(f"stopped: the {args.writers} writers have closed their files")
        return INTERRUPTED
    say(
        f"done: {args.file}:{args.dataset}, {plural(args.frames, 'frame')} over {args.writers} files"
    )
    return 0


def series_path(path, number):
    """Data file `number` (from 1) of the master file at `path`."""
    stem, suffix = os.path.splitext(path)
    return f"{stem}_data_{number:06d}{suffix or '.h5'}"


# Where a data file of a series holds its frames, as the detector's writer has it.
SERIES_DATASET = "/entry/data/data"


def run_series(args, frames, filters):
    """`--layout series`: the master with a link per data file first, then
    each data file written whole under a temporary name, closed and renamed."""
    import h5py
    import numpy as np

    height, width = args.shape
    distinct = len(frames)
    files = -(-args.frames // args.frames_per_file)
    with create_file(args.file) as f:
        group = f.require_group(args.dataset)
        for number in range(1, files + 1):
            link = os.path.basename(series_path(args.file, number))
            group[f"data_{number:06d}"] = h5py.ExternalLink(link, SERIES_DATASET)
    say(
        f"simulating a detector: {args.frames} frames of {height} x {width} {args.dtype} at"
        f" {args.rate:g} frames/s in {plural(files, 'file')} of up to {args.frames_per_file}"
        f" frames, linked from {args.file}:{args.dataset}; Ctrl-C stops"
    )
    began = time.monotonic()
    progress = Progress(began, args.rate)
    written = 0
    for number in range(1, files + 1):
        path = series_path(args.file, number)
        count = min(args.frames_per_file, args.frames - written)
        building = path + ".part"
        with create_file(building) as f:
            dset = f.create_dataset(
                SERIES_DATASET,
                (count, height, width),
                dtype=args.dtype,
                chunks=(min(args.chunk_frames, count), height, width),
                **filters,
            )
            dset.attrs["image_nr_low"] = written + 1
            dset.attrs["image_nr_high"] = written + count
            for row in range(0, count, args.chunk_frames):
                step = min(args.chunk_frames, count - row)
                numbers = np.arange(written + row, written + row + step)
                if not sleep_until(began + numbers[-1] / args.rate):
                    break
                dset[row : row + step] = frames[numbers % distinct]
                progress.written(written + row + step)
        if interrupted.is_set():
            os.remove(building)
            say(f"stopped: {plural(number - 1, 'data file')} of {files} written")
            return INTERRUPTED
        os.rename(building, path)
        written += count
    last_at = time.monotonic()
    say(
        f"done: {args.file}:{args.dataset}, {plural(written, 'frame')} in {plural(files, 'file')}"
        f" in {last_at - began:.1f} s"
    )
    return 0


def add_parser(commands):
    simulate = commands.add_parser(
        "simulate",
        help="write detector-like frames at a chosen rate",
        description="Stand in for a detector: create FILE (an existing one is replaced), the"
        " dataset DATASET with every axis unlimited, switch SWMR mode on, and append frames"
        " of Poisson noise over powder rings and a few Bragg spots, with a few hot pixels at"
        " the element type's largest value, at --rate frames a second. Each chunk of"
        " --chunk-frames frames is one append (resize, write, flush), made when its last"
        " frame is due; the schedule does not drift. A line a second gives the frames"
        " written and the rate. Ctrl-C (or SIGTERM) stops it and closes the file, which"
        " keeps every frame written. With --layout vds or series, the frames go to several"
        " files: see --layout.",
    )
    simulate.add_argument("file", metavar="FILE", help="HDF5 file to create")
    simulate.add_argument(
        "dataset", metavar="DATASET", help="dataset path inside it, e.g. /entry/data"
    )
    simulate.add_argument(
        "--frames",
        type=non_negative_int,
        default=1000,
        metavar="N",
        help="frames to write, 0 for no end (default: 1000)",
    )
    simulate.add_argument(
        "--rate",
        type=frame_rate,
        default=10.0,
        metavar="HZ",
        help="frames per second (default: 10)",
    )
    simulate.add_argument(
        "--shape",
        type=positive_int,
        nargs=2,
        default=(512, 512),
        metavar=("H", "W"),
        help="frame height and width in pixels (default: 512 512)",
    )
    simulate.add_argument(
        "--dtype",
        type=frame_element_type,
        default="uint16",
        metavar="T",
        help="element type, an integer or floating-point one, e.g. uint32 (default: uint16)",
    )
    simulate.add_argument(
        "--chunk-frames",
        dest="chunk_frames",
        type=positive_int,
        default=1,
        metavar="K",
        help="frames per chunk, and per append (default: 1)",
    )
    simulate.add_argument(
        "--compression",
        choices=COMPRESSIONS,
        default="none",
        help="none, gzip, or bitshuffle with LZ4 (needs hdf5plugin) (default: none)",
    )
    simulate.add_argument(
        "--layout",
        choices=LAYOUTS,
        default="single",
        help="single: one file; vds: --writers processes, each writing every N-th frame to a"
        " file of its own, under a virtual dataset made first in FILE; series: data files of"
        " --frames-per-file frames, each written whole and renamed into place, linked from"
        " the group DATASET of FILE (default: single)",
    )
    simulate.add_argument(
        "--writers",
        type=positive_int,
        metavar="N",
        help=f"writer processes of --layout vds (default: {DEFAULT_WRITERS})",
    )
    simulate.add_argument(
        "--frames-per-file",
        dest="frames_per_file",
        type=positive_int,
        metavar="K",
        help=f"frames per data file of --layout series (default: {DEFAULT_FRAMES_PER_FILE})",
    )
    # A writer of --layout vds: the frames FIRST, FIRST + EVERY, ... of the acquisition.
    simulate.add_argument(
        "--interleave",
        type=non_negative_int,
        nargs=2,
        metavar=("FIRST", "EVERY"),
        help=argparse.SUPPRESS,
    )
    simulate.set_defaults(run=run, waits_on_flag=True)
