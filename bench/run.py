"""Benchmarks of hdf5_kel against what users would run instead.

    python bench/run.py            # every case, a few minutes on two cores
    python bench/run.py --quick    # smaller files and fewer calls, under a minute
    python bench/run.py --cases 1,3

Each case measures the package and its baseline in the same run, interleaved,
and keeps the best of several repetitions. The results go to results.md (the
table and the machine), results.json and throughput.png in bench/results/ (or
--out).
"""

import argparse
import contextlib
import functools
import json
import logging
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

import h5py
import numpy as np

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import baseline

import hdf5_kel
from hdf5_kel import filekit
from hdf5_kel.swmr.library import feedgen, framepool, tailread

DATASET = "/entry/data"
MB = 1e6
# The directory that holds the hdf5_kel measured here, for the child processes.
PACKAGE_ROOT = str(Path(hdf5_kel.__file__).resolve().parent.parent)


class Sizes:
    """How much each case does; --quick shrinks everything."""

    def __init__(self, quick):
        # Many short repetitions, keeping the best: on a shared machine a
        # short one is more likely to run undisturbed.
        self.repeats = 9 if quick else 25
        self.fast_calls = 1_000 if quick else 4_000  # frame-buffer calls per repetition
        self.file_repeats = 5 if quick else 11
        self.file_calls = 200 if quick else 500  # calls that touch a file
        self.follow_bytes = (256 if quick else 4096) << 20  # case 2 file size
        self.follow_repeats = 3
        self.block_sizes = [1, 4, 16, 64] if quick else [1, 2, 4, 8, 16, 32, 64]
        self.latency_frames = 60 if quick else 400
        self.compare_bytes = (128 if quick else 2048) << 20  # case 5 file size
        self.compare_repeats = 1 if quick else 3
        self.layout_bytes = (64 if quick else 256) << 20  # case 7 file size
        self.writer_frames = 200 if quick else 1000
        self.writer_repeats = 1 if quick else 6


class Results:
    def __init__(self):
        self.rows = []  # (case, measure, ours, baseline, ratio, target, met)
        self.data = {}

    def add(self, case, measure, ours, base, ratio, target="", met=None):
        self.rows.append((case, measure, ours, base, ratio, target, met))
        mark = "" if met is None else ("  met" if met else "  MISSED")
        print(f"  {measure:<48} {ours:>14} {base:>24} {ratio:>8}{mark}", flush=True)


def child_env():
    env = dict(os.environ)
    paths = [PACKAGE_ROOT, str(BENCH)] + [p for p in env.get("PYTHONPATH", "").split(":") if p]
    env["PYTHONPATH"] = ":".join(paths)
    return env


@contextlib.contextmanager
def quiet_stdout():
    """The readers and writers print per call; none of that is measured."""
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        yield


def write_frames(path, frames, frame_shape, dtype="uint16", chunk_frames=1, **storage):
    """A complete file: frame i holds (i + element index) mod 2**16. storage
    holds create_dataset's filter keywords (compression and its options)."""
    frame_size = int(np.prod(frame_shape))
    pattern = np.arange(frame_size, dtype="uint64").reshape(frame_shape)
    step = max(1, min(frames, (64 << 20) // (frame_size * np.dtype(dtype).itemsize)))
    with h5py.File(path, "w", libver="latest") as f:
        dset = f.create_dataset(
            DATASET,
            (frames, *frame_shape),
            maxshape=(None, *frame_shape),
            dtype=dtype,
            chunks=(chunk_frames, *frame_shape),
            **storage,
        )
        for start in range(0, frames, step):
            count = min(step, frames - start)
            index = np.arange(start, start + count, dtype="uint64").reshape(-1, 1, 1)
            dset[start : start + count] = (pattern + index).astype(dtype)
    return str(path)


def interleaved_best(timers, calls, repeats):
    """Seconds per call of each timer, best of the repetitions; the timers take
    turns so that a busy moment of the machine hits them alike."""
    best = {name: float("inf") for name in timers}
    for turn in range(repeats):
        for name, timer in taking_turns(timers.items(), turn):
            best[name] = min(best[name], timer.timeit(calls) / calls)
    return best


def taking_turns(items, turn):
    """The items in their order on even turns and reversed on odd ones, so
    that none of them always runs first."""
    items = list(items)
    return items if turn % 2 == 0 else items[::-1]


def ns(seconds):
    return f"{seconds * 1e9:,.0f} ns"


def us(seconds):
    return f"{seconds * 1e6:,.1f} µs"


# --- case 1: call overhead of the hot paths -----------------------------------


def case_call_overhead(sizes, work, results):
    print("1. call overhead of the hot paths (ours vs plain Python)", flush=True)
    implementations = {"ours": (framepool, tailread), "Python": (baseline, baseline)}
    n = sizes.fast_calls
    block = np.ones((1, 16, 16), "uint16")

    def fresh_buffer(pool, filled):
        buffer = pool.NumpyBuffer((n, 16, 16), "uint16")
        buffer.reallen = n if filled else 0
        return buffer

    def fresh_buffers(pool):
        buffers = pool.Buffers()
        for _ in range(8):
            buffers.appendNewBuffer((n, 16, 16), "uint16")
        for buffer in buffers.buffers:
            buffer.reallen = n
        return buffers

    # Every implementation follows files of its own: one process holding two
    # dataset objects of one dataset is a case of its own in some HDF5 versions.
    def files_of(name):
        return {
            # A reader never reads a frame twice: every repetition reads frames of its own.
            "small": write_frames(work / f"small-{name}.h5", small_frames, (16, 16)),
            "count": write_frames(work / f"count-{name}.h5", sizes.file_calls, (64, 64)),
            "multi": [
                write_frames(work / f"multi{i}-{name}.h5", n, (16, 16), chunk_frames=256)
                for i in range(4)
            ],
        }

    opened = []
    small_frames = sizes.file_calls * sizes.file_repeats

    def reader(live, small):
        with quiet_stdout():
            made = live.SWMRReader(small, DATASET, 0, small_frames, 1)
        opened.append(made)
        return made

    def counter(live, path):
        with quiet_stdout():
            made = live.SWMRCount(path, DATASET, 3, sizes.file_calls)
        opened.append(made)
        return made

    def receiver(live, multi_files):
        entries = [(path, DATASET, 3, (n, 16, 16), "uint16") for path in multi_files]
        with quiet_stdout():
            made = live.SWMRCountMulti(entries, n)
            made.recv(1)  # takes in every file's frames: the calls below hand out from buffers
        opened.append(made)
        return made

    def rewind(made):
        made.index = 0
        return made

    def rewind_receiver(made):
        for buffer in made.buffers.buffers:
            buffer.index = 0
        return rewind(made)

    last = sizes.file_calls - 1
    fast = (n, sizes.repeats)
    slow = (sizes.file_calls, sizes.file_repeats)
    cases = [
        ("NumpyBuffer.appendData, 1 frame 16x16", "b.appendData(block)", fast, 2.0,
         lambda pool, live: {"b": fresh_buffer(pool, False), "block": block}),
        ("NumpyBuffer.getData(1)", "b.getData(1)", fast, 2.0,
         lambda pool, live: {"b": fresh_buffer(pool, True)}),
        ("Buffers.all_reached(1), 8 buffers", "b.all_reached(1)", fast, 2.0,
         lambda pool, live: {"b": fresh_buffers(pool)}),
        ("Buffers.getDatas(1), 8 buffers", "b.getDatas(1)", fast, 2.0,
         lambda pool, live: {"b": fresh_buffers(pool)}),
        ("SWMRReader.read_chunk, frames present, 16x16", "r.read_chunk()", slow, 1.0,
         lambda pool, live: {"r": state["r"][live]}),
        ("SWMRCount.recv, one new frame 64x64", "c.index = last; c.recv()", slow, 1.0,
         lambda pool, live: {"c": state["c"][live], "last": last}),
        ("SWMRCount.modify, no new frame", "c.modify(d, s)", fast, 1.0,
         lambda pool, live: {"c": state["c"][live], "d": state["c"][live].dset,
                             "s": (0, 64, 64)}),
        ("SWMRCountMulti.recv(1), 4 files", "m.recv(1)", fast, 1.0,
         lambda pool, live: {"m": rewind_receiver(state["m"][live])}),
    ]  # fmt: skip
    state = {"r": {}, "c": {}, "m": {}}
    for name, (pool, live) in implementations.items():
        files = files_of(name)
        state["r"][live] = reader(live, files["small"])
        state["c"][live] = counter(live, files["count"])
        state["m"][live] = receiver(live, files["multi"])

    figures = {}
    for measure, statement, (calls, repeats), wanted, setup in cases:
        timers = {
            name: make_timer(statement, setup, pool, live)
            for name, (pool, live) in implementations.items()
        }
        with quiet_stdout():
            best = interleaved_best(timers, calls, repeats)
        speedup = best["Python"] / best["ours"]
        figures[measure] = best
        target = f"≥ {wanted:g}x" if wanted > 1 else "not slower"
        results.add(
            "1", measure, ns(best["ours"]), ns(best["Python"]) + " (Python)",
            f"{speedup:.2f}x", target, speedup >= wanted,
        )  # fmt: skip
    for made in opened:
        made.close()
    results.data["call_overhead_seconds"] = figures


def make_timer(statement, setup, pool, live):
    """A timer whose namespace setup() fills anew before every repetition."""
    namespace = {}

    def prepare():
        namespace.update(setup(pool, live))

    namespace["prepare"] = prepare
    return timeit.Timer(statement, "prepare()", globals=namespace)


# --- case 2: following a file ---------------------------------------------------


def follow_ours(path, first, end, block_frames):
    with quiet_stdout():
        reader = tailread.SWMRReader(path, DATASET, first, end, block_frames)
    start = time.perf_counter()
    while reader.read_chunk() is not None:
        pass
    seconds = time.perf_counter() - start
    reader.close()
    return seconds


def follow_counter(path, first, end, block_frames):
    """SWMRCount's hand-outs when each poll finds block_frames new frames: the
    refresh and modify(dset, shape) that recv makes."""
    with quiet_stdout():
        counter = tailread.SWMRCount(path, DATASET, 3, end)
    frame_shape = counter.dset.shape[1:]
    counter.index = first
    start = time.perf_counter()
    while counter.index < end:
        counter.dset.refresh()
        counter.modify(counter.dset, (min(counter.index + block_frames, end), *frame_shape))
    seconds = time.perf_counter() - start
    counter.close()
    return seconds


def follow_h5py(path, first, end, block_frames, chunk_cache=True):
    """What a user would write with h5py alone: refresh, shape, one slice per
    block; the tuned user's file is opened with rdcc_nbytes=0 (no chunk cache)
    and each block read with read_direct into a new array."""
    tuning = {} if chunk_cache else {"rdcc_nbytes": 0}
    with h5py.File(path, "r", libver="latest", swmr=True, **tuning) as f:
        dset = f[DATASET]
        start = time.perf_counter()
        index = first
        while index < end:
            stop = min(index + block_frames, end)
            dset.refresh()
            while dset.shape[0] < stop:
                time.sleep(0.1)
                dset.refresh()
            if chunk_cache:
                dset[index:stop]
            else:
                block = np.empty((stop - index, *dset.shape[1:]), dset.dtype)
                dset.read_direct(block, np.s_[index:stop])
            index = stop
        return time.perf_counter() - start


def copy_blocks(source, first, end, block_frames):
    """The ceiling: the same bytes copied from memory into new arrays."""
    start = time.perf_counter()
    held = len(source)
    for index in range(first, end, block_frames):
        at = index % held
        source[at : at + min(block_frames, end - index)].copy()
    return time.perf_counter() - start


FOLLOWERS = {
    "SWMRReader": follow_ours,
    "SWMRCount": follow_counter,
    "h5py loop": follow_h5py,
    "tuned h5py loop": functools.partial(follow_h5py, chunk_cache=False),
}
TUNED = "tuned h5py loop"


def race(followers, where, frames, block_frames, repeats, segment):
    """MB/s of each follower over frames of 512x512 uint16, best of the
    repetitions; the followers take turns every segment of frames, so that a
    busy moment of the machine hits them alike."""
    best = dict.fromkeys(followers, float("inf"))
    for _ in range(repeats):
        total = dict.fromkeys(followers, 0.0)
        for turn, first in enumerate(range(0, frames, segment)):
            end = min(first + segment, frames)
            for name, follow in taking_turns(followers.items(), turn):
                total[name] += follow(where[name], first, end, block_frames)
        best = {name: min(best[name], total[name]) for name in followers}
    return {name: frames * 512 * 512 * 2 / seconds / MB for name, seconds in best.items()}


def add_rate_rows(results, case, label, rate, ours, wanted):
    """Each of ours against the h5py loop (the target), and the first of them
    against the tuned loop."""
    for name in ours:
        ratio = rate[name] / rate["h5py loop"]
        results.add(
            case, f"{name}, {label}", f"{rate[name]:,.0f} MB/s",
            f"{rate['h5py loop']:,.0f} MB/s (h5py loop)", f"{ratio:.2f}x", f"≥ {wanted:g}x",
            ratio >= wanted,
        )  # fmt: skip
    results.add(
        case, f"tuned h5py, {label}", f"{rate[ours[0]]:,.0f} MB/s",
        f"{rate[TUNED]:,.0f} MB/s (rdcc_nbytes=0, read_direct)", f"{rate[ours[0]] / rate[TUNED]:.2f}x",
    )  # fmt: skip


FOLLOWING = ("SWMRReader", "SWMRCount")


def case_follow(sizes, work, results):
    frame_shape = (512, 512)
    frame_bytes = 512 * 512 * 2
    frames = sizes.follow_bytes // frame_bytes
    print(f"2. following a file: {frames} frames of 512x512 uint16, "
          f"{sizes.follow_bytes / 2**30:g} GiB in the page cache", flush=True)  # fmt: skip
    path = write_frames(work / "follow.h5", frames, frame_shape)
    source = np.ones((min(frames, 1024), *frame_shape), "uint16")  # up to 512 MiB, reused
    os.sync()  # written back now rather than while the followers are timed
    follow_ours(path, 0, frames, 64)  # the whole file once, so that it is all in the page cache
    followers = {**FOLLOWERS, "memory copy": copy_blocks}
    where = {name: path for name in FOLLOWERS} | {"memory copy": source}
    curves = {name: [] for name in followers}
    for block_frames in sizes.block_sizes:
        # Turns every 256 MiB.
        rate = race(followers, where, frames, block_frames, sizes.follow_repeats, 512)
        for name, curve in curves.items():
            curve.append(rate[name])
        add_rate_rows(results, "2", f"{block_frames}-frame blocks", rate, FOLLOWING, 1.2)
        results.add(
            "2", f"ceiling, {block_frames}-frame blocks", "",
            f"{rate['memory copy']:,.0f} MB/s (memory copy)",
            f"{rate['SWMRReader'] / rate['memory copy']:.2f}x",
        )  # fmt: skip
    del source
    os.unlink(path)
    results.data["follow"] = {"block_frames": sizes.block_sizes, "MB_per_s": curves}


# --- case 7: layouts where HDF5's chunk cache earns its keep ---------------------


def bitshuffle_lz4():
    try:
        import hdf5plugin
    except ImportError:
        return None
    return dict(hdf5plugin.Bitshuffle(cname="lz4"))


# Frames per chunk, filter keywords (None: not available here), block sizes.
LAYOUTS = {
    "8-frame chunks": (8, {}, [1, 4]),
    "gzip": (1, {"compression": "gzip"}, [1, 8]),
    "bitshuffle-LZ4": (1, "bitshuffle", [1, 8]),
}


def compare_ours(first, second):
    start = time.perf_counter()
    if not filekit.compare_dataset_two(first, second, DATASET):
        raise RuntimeError(f"compare_dataset_two found {first} and {second} unequal")
    return time.perf_counter() - start


def compare_h5py(first, second, chunk_cache=True):
    """The same comparison with h5py alone: blocks of 64 frames (32 MiB of
    512x512 uint16, as compare_dataset_two reads them), stopping at the first
    that differs."""
    tuning = {} if chunk_cache else {"rdcc_nbytes": 0}
    start = time.perf_counter()
    with (
        h5py.File(first, "r", libver="latest", swmr=True, **tuning) as f1,
        h5py.File(second, "r", **tuning) as f2,
    ):
        d1, d2 = f1[DATASET], f2[DATASET]
        if d1.shape != d2.shape or d1.dtype != d2.dtype:
            raise RuntimeError("the files differ")
        for index in range(0, d1.shape[0], 64):
            if not (d1[index : index + 64] == d2[index : index + 64]).all():
                raise RuntimeError("the files differ")
    return time.perf_counter() - start


COMPARERS = {
    "compare_dataset_two": compare_ours,
    "h5py loop": compare_h5py,
    TUNED: functools.partial(compare_h5py, chunk_cache=False),
}


def race_comparisons(first, second, repeats):
    """Seconds of each comparison of two equal files, best of the repetitions,
    taking turns."""
    best = dict.fromkeys(COMPARERS, float("inf"))
    for turn in range(repeats):
        for name, compare in taking_turns(COMPARERS.items(), turn):
            best[name] = min(best[name], compare(first, second))
    return best


def add_compare_rows(results, case, label, size, best, wanted):
    rate = {name: size / seconds / MB for name, seconds in best.items()}
    add_rate_rows(results, case, label, rate, ("compare_dataset_two",), wanted)
    return rate


def case_layouts(sizes, work, results):
    frames = sizes.layout_bytes // (512 * 512 * 2)
    print(f"7. other layouts: {frames} frames of 512x512 uint16 each, in the page cache",
          flush=True)  # fmt: skip
    figures = {}
    for layout, (chunk_frames, storage, block_sizes) in LAYOUTS.items():
        if storage == "bitshuffle":
            storage = bitshuffle_lz4()
            if storage is None:
                print(f"   {layout}: hdf5plugin is not installed (pip install hdf5plugin): "
                      "skipped", flush=True)  # fmt: skip
                continue
        # The followers take turns on one file, each closing it before the next
        # opens it; the comparisons read it and a copy.
        first = write_frames(work / "layout.h5", frames, (512, 512), chunk_frames=chunk_frames,
                             **storage)  # fmt: skip
        second = str(work / "layout-copy.h5")
        shutil.copyfile(first, second)
        os.sync()
        for path in (first, second):
            follow_ours(path, 0, frames, 64)  # into the page cache
        where = dict.fromkeys(FOLLOWERS, first)
        figures[layout] = {}
        for block_frames in block_sizes:
            rate = race(FOLLOWERS, where, frames, block_frames, sizes.follow_repeats, 128)
            label = f"{layout}, {block_frames}-frame blocks"
            add_rate_rows(results, "7", label, rate, FOLLOWING, 0.95)
            figures[layout][block_frames] = rate
        best = race_comparisons(first, second, 3)
        figures[layout]["compare"] = add_compare_rows(
            results, "7", layout, 2 * frames * 512 * 512 * 2, best, 0.95
        )
        for path in (first, second):
            os.unlink(path)
    results.data["layouts_MB_per_s"] = figures


# --- case 8: compressed detector frames -------------------------------------------

# Filter keywords by name; bitshuffle-LZ4 through hdf5plugin.
COMPRESSIONS = {"bitshuffle-LZ4": "bitshuffle", "gzip": {"compression": "gzip"}}
# Frame shape and element type of the two detectors.
DETECTORS = {"512x512 uint16": ((512, 512), "uint16"), "1024x1024 uint32": ((1024, 1024), "uint32")}
COMPRESSED_BLOCK = 8


def write_detector_frames(path, frames, frame_shape, dtype, storage):
    """Detector-like frames (Poisson counts over powder rings, hot pixels),
    one frame per chunk."""
    from hdf5_kel.cli.simulate import detector_frames

    with h5py.File(path, "w", libver="latest") as f:
        dset = f.create_dataset(DATASET, (frames, *frame_shape), dtype, maxshape=(None, *frame_shape),
                                chunks=(1, *frame_shape), **storage)  # fmt: skip
        for start in range(0, frames, 32):
            count = min(32, frames - start)
            dset[start : start + count] = detector_frames(
                count, frame_shape, np.dtype(dtype), start
            )
    return str(path)


@contextlib.contextmanager
def decode_threads(threads):
    """HDF5_KEL_THREADS for the reads inside, which look it up at every block."""
    before = os.environ.get("HDF5_KEL_THREADS")
    os.environ["HDF5_KEL_THREADS"] = str(threads)
    try:
        yield
    finally:
        if before is None:
            del os.environ["HDF5_KEL_THREADS"]
        else:
            os.environ["HDF5_KEL_THREADS"] = before


def follow_with_threads(threads):
    def follow(path, first, end, block_frames):
        with decode_threads(threads):
            return follow_ours(path, first, end, block_frames)

    return follow


def raw_chunks(path, first, end, block_frames):
    """The stored chunks alone, read as the follower reads them, not decoded."""
    with h5py.File(path, "r", libver="latest", swmr=True) as f:
        handle = f[DATASET].id
        start = time.perf_counter()
        for row in range(first, end):
            handle.read_direct_chunk((row, 0, 0))
        return time.perf_counter() - start


def decode_limit(threads):
    """The chunks of each block, read beforehand, decoded into a block by the
    followers' decoders on `threads` threads: the follower's ceiling."""

    def decode(path, first, end, block_frames):
        with h5py.File(path, "r", libver="latest", swmr=True) as f:
            dset = f[DATASET]
            stored = [dset.id.read_direct_chunk((row, 0, 0)) for row in range(first, end)]
            start = time.perf_counter()
            for at in range(0, len(stored), block_frames):
                tailread._decode_chunks(dset, stored[at : at + block_frames], threads)
            return time.perf_counter() - start

    return decode


def case_compressed(sizes, work, results):
    try:
        import hdf5plugin
    except ImportError:
        print("8. compressed frames: hdf5plugin is not installed (pip install hdf5plugin): "
              "skipped", flush=True)  # fmt: skip
        return
    cores = len(os.sched_getaffinity(0))
    thread_counts = sorted({1, 2, cores})
    print(f"8. compressed detector frames, one-frame chunks, blocks of {COMPRESSED_BLOCK}, "
          f"{cores} cores", flush=True)  # fmt: skip
    figures = {}
    for (detector, (frame_shape, dtype)), (compression, storage) in (
        (d, c) for d in DETECTORS.items() for c in COMPRESSIONS.items()
    ):
        if storage == "bitshuffle":
            storage = dict(hdf5plugin.Bitshuffle(cname="lz4"))
        frame_bytes = int(np.prod(frame_shape)) * np.dtype(dtype).itemsize
        frames = max(64, sizes.layout_bytes // frame_bytes)
        path = write_detector_frames(work / "detector.h5", frames, frame_shape, dtype, storage)
        os.sync()
        follow_ours(path, 0, frames, 64)  # into the page cache
        contenders = {f"SWMRReader, {n} thread{'s' * (n > 1)}": follow_with_threads(n)
                      for n in thread_counts}  # fmt: skip
        contenders |= {f"decode limit, {n} thread{'s' * (n > 1)}": decode_limit(n)
                       for n in thread_counts}  # fmt: skip
        contenders |= {"h5py loop": follow_h5py, "raw chunk reads": raw_chunks}
        best = dict.fromkeys(contenders, float("inf"))
        for turn in range(sizes.follow_repeats):
            for name, measure in taking_turns(contenders.items(), turn):
                best[name] = min(best[name], measure(path, 0, frames, COMPRESSED_BLOCK))
        rate = {name: frames / seconds for name, seconds in best.items()}
        label = f"{compression}, {detector}"
        loop = rate["h5py loop"]
        for n in thread_counts:
            ours = rate[f"SWMRReader, {n} thread{'s' * (n > 1)}"]
            limit = rate[f"decode limit, {n} thread{'s' * (n > 1)}"]
            wanted = 1.0 if n == 1 else 1.5
            results.add("8", f"{label}, {n} thread{'s' * (n > 1)}", f"{ours:,.0f} frames/s",
                        f"{loop:,.0f} frames/s (h5py loop)", f"{ours / loop:.2f}x", f"≥ {wanted:g}x",
                        ours / loop >= wanted if n in (1, cores) else None)  # fmt: skip
            results.add("8", f"{label}, {n} thread{'s' * (n > 1)}, of the decode limit",
                        f"{ours:,.0f} frames/s", f"{limit:,.0f} frames/s (decode limit)",
                        f"{ours / limit:.2f}", "≥ 0.8" if n == cores else "",
                        ours / limit >= 0.8 if n == cores else None)  # fmt: skip
        results.add("8", f"{label}, raw chunk reads alone", f"{rate['raw chunk reads']:,.0f} frames/s",
                    f"{os.path.getsize(path) / frames / 1e3:,.0f} kB a frame stored", "")  # fmt: skip
        figures[label] = rate
        os.unlink(path)
    results.data["compressed_frames_per_s"] = figures


# --- case 3: hand-out rate of SWMRCount -------------------------------------------


@contextlib.contextmanager
def root_logging(level):
    """The root logger at `level`, with one handler that writes nowhere."""
    root = logging.getLogger()
    saved = (root.level, root.handlers[:])
    with open(os.devnull, "w") as sink:
        root.handlers[:] = [logging.StreamHandler(sink)]
        root.setLevel(level)
        try:
            yield
        finally:
            root.setLevel(saved[0])
            root.handlers[:] = saved[1]


def case_hand_out(sizes, work, results):
    frames = sizes.file_calls
    print(f"3. SWMRCount hand-outs of one 64x64 frame ({frames} per repetition)", flush=True)
    last = frames - 1

    def counter_timer(live, name):
        path = write_frames(work / f"handout-{name}.h5", frames, (64, 64))
        with quiet_stdout():
            counter = live.SWMRCount(path, DATASET, 3, frames)
        # Each call finds exactly one frame it has not handed out: the last.
        return counter, timeit.Timer(
            "c.index = last; c.recv()", globals={"c": counter, "last": last}
        )

    path = write_frames(work / "handout-h5py.h5", frames, (64, 64))
    f = h5py.File(path, "r", libver="latest", swmr=True)
    h5py_loop = timeit.Timer(
        "d.refresh(); n = d.shape[0]; d[last:n, :]", globals={"d": f[DATASET], "last": last}
    )
    ours, ours_timer = counter_timer(tailread, "ours")
    python, python_timer = counter_timer(baseline, "Python")
    figures = {}
    for level, label in [(logging.WARNING, "logging off"), (logging.INFO, "INFO on")]:
        timers = {"ours": ours_timer, "Python": python_timer, "h5py": h5py_loop}
        with root_logging(level):
            best = interleaved_best(timers, frames, sizes.file_repeats)
        figures[label] = best
        above = best["ours"] - best["h5py"]
        wanted = level == logging.WARNING
        results.add(
            "3", f"hand-out, {label}, above the h5py loop", us(above),
            us(best["h5py"]) + " (h5py loop)", f"{best['h5py'] / best['ours']:.2f}x",
            "≤ 20 µs above" if wanted else "", above <= 20e-6 if wanted else None,
        )  # fmt: skip
        results.add(
            "3", f"hand-out, {label}, per call", us(best["ours"]),
            us(best["Python"]) + " (Python)", f"{best['Python'] / best['ours']:.2f}x",
        )  # fmt: skip
    for made in (ours, python, f):
        made.close()
    results.data["hand_out_seconds"] = figures


# --- case 4: latency from a writer's flush to the reader's return ----------------


def run_latency(kind, work, frames, interval):
    path = str(work / f"latency-{kind.split(',')[0].replace(' ', '')}-{time.monotonic_ns()}.h5")
    command = [sys.executable, str(BENCH / "workers.py")]
    reader = subprocess.Popen(
        [*command, "latency-reader", kind, path, str(frames)],
        env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    writer = subprocess.Popen(
        [*command, "latency-writer", path, str(frames), str(interval)],
        env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    out, err = reader.communicate(timeout=600)
    writer.communicate(timeout=60)
    if reader.returncode or writer.returncode:
        raise RuntimeError(f"latency run of {kind} failed:\n{err}")
    for leftover in (path, path + ".ready"):
        if os.path.exists(leftover):
            os.unlink(leftover)
    return json.loads(out.splitlines()[-1])


def case_latency(sizes, work, results):
    interval = 0.01
    print(f"4. latency from the writer's flush to the reader's return: "
          f"{sizes.latency_frames} frames at {1 / interval:g} Hz", flush=True)  # fmt: skip
    figures = {}
    for ours, base in [("SWMRReader", "h5py, 0.1 s poll"), ("SWMRCount", "h5py, busy poll")]:
        latencies = {kind: run_latency(kind, work, sizes.latency_frames, interval)
                     for kind in (ours, base)}  # fmt: skip
        for name, pick in [("median", lambda v: statistics.median(v)),
                           ("99th percentile", lambda v: float(np.percentile(v, 99)))]:  # fmt: skip
            mine, theirs = pick(latencies[ours]), pick(latencies[base])
            results.add(
                "4", f"{ours}, {name}", us(mine / 1e6), f"{us(theirs / 1e6)} ({base})",
                f"{theirs / mine:.2f}x",
            )  # fmt: skip
        figures[ours] = {kind: latencies[kind] for kind in (ours, base)}
    results.data["latency_us"] = {
        name: {kind: {"median": statistics.median(v), "p99": float(np.percentile(v, 99))}
               for kind, v in runs.items()}
        for name, runs in figures.items()
    }  # fmt: skip


# --- case 5: comparing two files -------------------------------------------------


def measured_child(command, limit=0.0):
    """Wall seconds, peak resident memory in bytes, exit code, whether it was
    stopped at `limit` seconds, and the output of a command, measured by a
    small launcher process (workers.py measure)."""
    launcher = [sys.executable, str(BENCH / "workers.py"), "measure", str(limit)]
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        subprocess.run([*launcher, *command], env=child_env(), stdout=out, stderr=err, check=True)
        out.seek(0)
        err.seek(0)
        lines, errors = out.read().splitlines(), err.read()
    figures = json.loads(lines[-1])
    output = "\n".join(lines[:-1])
    return (
        figures["seconds"],
        figures["peak_bytes"],
        figures["code"],
        figures["stopped"],
        output,
        errors,
    )


def h5diff_command(install):
    """The path of h5diff, installed from Debian's hdf5-tools where it is
    missing and we may; None (with a message) where it cannot be had."""
    found = shutil.which("h5diff")
    if found or not install:
        return found
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        return None
    print("   installing hdf5-tools for h5diff (apt-get)", flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for command in (["apt-get", "update", "-q"], ["apt-get", "install", "-y", "-q", "hdf5-tools"]):
        if subprocess.run(command, env=env, capture_output=True, check=False).returncode:
            return None
    return shutil.which("h5diff")


def case_compare(sizes, work, results, install, h5diff_limit):
    frames = sizes.compare_bytes // (512 * 512 * 2)
    size = f"{sizes.compare_bytes / 2**30:g} GiB"
    print(f"5. compare_dataset_two on two {size} files ({frames} frames of 512x512 uint16)",
          flush=True)  # fmt: skip
    h5diff = h5diff_command(install)
    if not h5diff:
        print("   h5diff is not installed and could not be (apt-get install hdf5-tools): "
              "the comparison runs without its baseline", flush=True)  # fmt: skip
    first = write_frames(work / "compare-a.h5", frames, (512, 512))
    equal = str(work / "compare-b.h5")
    differ = str(work / "compare-c.h5")
    shutil.copyfile(first, equal)
    shutil.copyfile(first, differ)
    with h5py.File(differ, "r+") as f:
        f[DATASET][-1] = f[DATASET][-1] + 1
    os.sync()  # written back now rather than while the comparisons are timed
    best = race_comparisons(first, equal, 3)
    throughput = add_compare_rows(
        results, "5", f"equal {size} files, in process", 2 * sizes.compare_bytes, best, 1.2
    )
    ours_command = [sys.executable, str(BENCH / "workers.py"), "compare"]
    figures = {}
    pairs = [("equal files", equal, True), ("last frame differs", differ, False)]
    for label, second, same in pairs:
        ours = []
        for _ in range(sizes.compare_repeats):
            seconds, peak, code, _, out, err = measured_child(
                [*ours_command, first, second, DATASET]
            )
            if code or json.loads(out.splitlines()[-1])["same"] != same:
                raise RuntimeError(f"compare_dataset_two gave a wrong answer:\n{out}\n{err}")
            ours.append((seconds, peak))
        seconds, peak = min(s for s, _ in ours), max(p for _, p in ours)
        figures[label] = {"ours": {"seconds": seconds, "peak_bytes": peak}}
        if not h5diff:
            results.add("5", f"{label}, wall time", f"{seconds:.2f} s", "h5diff missing", "")
            results.add("5", f"{label}, peak memory", f"{peak / 2**20:,.0f} MiB",
                        "h5diff missing", "", "< 256 MiB", peak < 256 * 2**20)  # fmt: skip
            continue
        # h5diff compares element by element: one run, stopped at the limit.
        base_seconds, base_peak, code, stopped, out, err = measured_child(
            [h5diff, "-q", first, second, DATASET, DATASET], h5diff_limit
        )
        if not stopped and code != (0 if same else 1):
            raise RuntimeError(f"h5diff failed ({code}):\n{out}\n{err}")
        figures[label]["h5diff"] = {
            "seconds": base_seconds, "peak_bytes": base_peak, "stopped": stopped
        }  # fmt: skip
        if stopped:
            base_time = f"> {h5diff_limit:g} s (h5diff, stopped there)"
            ratio = f"> {h5diff_limit / seconds:.1f}x"
        else:
            base_time, ratio = f"{base_seconds:.2f} s (h5diff)", f"{base_seconds / seconds:.2f}x"
        results.add(
            "5", f"{label}, wall time", f"{seconds:.2f} s", base_time, ratio, "faster",
            seconds < base_seconds,
        )  # fmt: skip
        results.add(
            "5", f"{label}, peak memory", f"{peak / 2**20:,.0f} MiB",
            f"{base_peak / 2**20:,.0f} MiB (h5diff{', until stopped' if stopped else ''})",
            f"{base_peak / peak:.2f}x", "< 256 MiB", peak < 256 * 2**20,
        )  # fmt: skip
    for path in (first, equal, differ):
        os.unlink(path)
    figures["in process, MB/s"] = throughput
    results.data["compare"] = figures


# --- case 6: writers -----------------------------------------------------------


def case_writers(sizes, work, results):
    frames = sizes.writer_frames
    shape_set = (frames, 2, 3)
    print(f"6. writer_first_dim3 at {frames} frames of 2x3 int32", flush=True)
    best = {"ours": float("inf"), "Python": float("inf")}
    writers = {"ours": feedgen.writer_first_dim3, "Python": baseline.writer_first_dim3}
    for turn in range(sizes.writer_repeats):
        for name, writer in taking_turns(writers.items(), turn):
            path = str(work / f"writer-{name}.h5")
            os.sync()  # the files of earlier cases are not written back in the middle of a run
            with quiet_stdout():
                start = time.perf_counter()
                writer(path, DATASET, shape_set)
                best[name] = min(best[name], time.perf_counter() - start)
            os.unlink(path)
    rate = {name: frames / seconds for name, seconds in best.items()}
    results.add(
        "6", f"writer_first_dim3, {frames} frames", f"{rate['ours']:,.0f} frames/s",
        f"{rate['Python']:,.0f} frames/s (Python)", f"{rate['ours'] / rate['Python']:.2f}x",
    )  # fmt: skip
    results.data["writer_frames_per_s"] = rate


# --- machine, report, plot ----------------------------------------------------


def cpu_seconds_of_machine():
    """Busy CPU seconds of the whole machine since boot, from /proc/stat."""
    with open("/proc/stat") as stat:
        fields = [int(v) for v in stat.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def cpu_seconds_of_ours():
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def machine():
    cpu = platform.processor()
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as info:
        cpu = next((line.split(":", 1)[1].strip() for line in info if "model name" in line), cpu)
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return {
        "CPU": f"{cpu}, {os.cpu_count()} cores",
        "memory": f"{memory / 2**30:.0f} GiB",
        "system": f"{platform.system()} {platform.release()}",
        "Python": platform.python_version(),
        "numpy / h5py / HDF5": f"{np.__version__} / {h5py.__version__} / {h5py.version.hdf5_version}",
        "OPENBLAS_CORETYPE": os.environ.get("OPENBLAS_CORETYPE", "not set"),
    }


def markdown(results, info, quick):
    lines = ["| | |", "|---|---|"]
    lines += [f"| {key} | {value} |" for key, value in info.items()]
    lines += [
        "",
        "| case | measure | hdf5_kel | baseline | ratio | target | met |",
        "|---|---|---:|---:|---:|---|---|",
    ]
    for case, measure, ours, base, ratio, target, met in results.rows:
        verdict = "" if met is None else ("yes" if met else "**no**")
        lines.append(f"| {case} | {measure} | {ours} | {base} | {ratio} | {target} | {verdict} |")
    mode = "--quick (smaller files, fewer calls)" if quick else "full"
    lines += ["", f"Run: `python bench/run.py{' --quick' if quick else ''}` ({mode})."]
    return "\n".join(lines) + "\n"


def plot(curves, block_sizes, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (pip install '.[bench]'): no plot", flush=True)
        return
    figure, axes = plt.subplots(figsize=(6.4, 4.0), dpi=100)
    for (name, rates), style in zip(curves.items(), ["o-", "D-", "s--", "v--", "^:"]):
        axes.plot(block_sizes, rates, style, label=name)
    axes.set_xscale("log", base=2)
    axes.set_xticks(block_sizes, [str(n) for n in block_sizes])
    axes.set_xlabel("block size (frames of 512x512 uint16)")
    axes.set_ylabel("throughput (MB/s)")
    axes.set_ylim(bottom=0)
    axes.set_title("Following a file in the page cache")
    axes.grid(True, alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


CASES = {
    "1": case_call_overhead,
    "2": case_follow,
    "3": case_hand_out,
    "4": case_latency,
    "5": case_compare,
    "6": case_writers,
    "7": case_layouts,
    "8": case_compressed,
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller files, fewer calls")
    parser.add_argument("--cases", default=",".join(CASES), help="which cases, e.g. 1,3")
    parser.add_argument("--out", type=Path, help="where results go (default: bench/results)")
    parser.add_argument("--workdir", type=Path, help="where the test files go (default: /tmp)")
    parser.add_argument("--no-install", action="store_true", help="never apt-get h5diff")
    parser.add_argument(
        "--h5diff-limit", type=float, default=30.0,
        help="stop h5diff after this many seconds (0: never); it takes minutes on 2 GiB",
    )  # fmt: skip
    args = parser.parse_args(argv)
    sizes = Sizes(args.quick)
    chosen = [c for c in args.cases.split(",") if c]
    unknown = set(chosen) - set(CASES)
    if unknown:
        parser.error(f"unknown cases {sorted(unknown)}; there are {', '.join(CASES)}")
    out = args.out or BENCH / "results"
    out.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="hdf5_kel-bench-", dir=args.workdir))
    # Each case deletes its files when it ends.
    needed = max(sizes.follow_bytes, 3 * sizes.compare_bytes) + (256 << 20)
    free = shutil.disk_usage(work).free
    if free < needed * 1.2:
        shutil.rmtree(work)
        raise SystemExit(f"{work} has {free / 2**30:.1f} GiB free; the benchmark needs "
                         f"{needed * 1.2 / 2**30:.1f} GiB (try --quick or --workdir)")  # fmt: skip

    info = machine()
    results = Results()
    load_before = os.getloadavg()[0]
    busy_before, ours_before, started = cpu_seconds_of_machine(), cpu_seconds_of_ours(), time.time()
    try:
        for case in chosen:
            if case == "5":
                case_compare(sizes, work, results, not args.no_install, args.h5diff_limit)
            else:
                CASES[case](sizes, work, results)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    wall = time.time() - started
    others = (cpu_seconds_of_machine() - busy_before) - (cpu_seconds_of_ours() - ours_before)
    info["other load during the run"] = (
        f"{max(0.0, others) / wall:.2f} of {os.cpu_count()} cores busy with other processes "
        f"(load average {load_before:.2f} before, {os.getloadavg()[0]:.2f} after)"
    )
    info["duration"] = f"{wall:.0f} s"
    table = markdown(results, info, args.quick)
    (out / "results.md").write_text(table)
    (out / "results.json").write_text(
        json.dumps({"machine": info, "rows": results.rows, "data": results.data}, indent=1)
    )
    if "follow" in results.data:
        follow = results.data["follow"]
        plot(follow["MB_per_s"], follow["block_frames"], out / "throughput.png")
    print()
    print(table)
    print(f"written to {out}")


if __name__ == "__main__":
    main()
