"""Every frame of a growing dataset through a function on a Dask cluster.

`map_frames` follows the dataset in the calling process and hands each block
to the workers of a `distributed.Client`, in one of two ways:

- read here (the default): one `SWMRReader` in the calling process reads every
  block, and `scatter` sends it straight to a worker (not through the
  scheduler). The follower keeps a copy of every block until its result is
  yielded, and a block whose worker died is scattered and submitted again.
- read on the workers: the calling process only follows the dataset's length
  (one SWMR handle, refreshed; no frame is read) and submits, for each block,
  "read frames [first, end) and call the function on them". Each worker opens
  the file once for the run, with an `SWMRReader` of its own that its threads
  share, so that no worker process ever holds two objects of the growing
  dataset; the function goes to each worker once, with that reader. A block
  whose worker died is read again by the next worker the scheduler gives it
  to: nothing is kept in the caller.
"""

import collections
import itertools
import operator
import os
import socket
import sys
import threading
import time
import uuid

import dask.config
from distributed import CancelledError, KilledWorker, WorkerPlugin, get_worker

from hdf5_kel.diagnose import add_note
from hdf5_kel.follow import (
    POLL_INTERVAL,
    FollowError,
    WriterWatch,
    check_growable,
    dataset_in,
    load_filter_plugins,
    open_when_unlocked,
    wait_for_file,
)
from hdf5_kel.sources import Acquisition, follow

# Seconds a wait for frames or for results lasts at most before the follower
# looks again at what else it waits for: the writer closing the file, a
# result that came in without a callback (one lost after it had finished).
_WAKE_INTERVAL = 0.25

# Seconds a worker waits for the file, and for frames the follower has seen,
# before it says that it does not see the file as the follower does (a file
# system that not every worker mounts, or one whose caches lag that long).
_WORKER_PATIENCE = 60.0


def _say(line):
    print(line, flush=True)


class _Block:
    """A block handed to the cluster, kept until its result is yielded; its
    frames too when they were read here."""

    __slots__ = ("data", "end", "first", "frames", "losses", "result")

    def __init__(self, first, end, frames=None):
        self.first = first
        self.end = end
        self.frames = frames
        self.data = None  # the scattered copy on a worker
        self.result = None
        self.losses = 0

    def describe(self):
        return f"the block of frames {self.first} to {self.end - 1}"

    def futures(self):
        return [future for future in (self.result, self.data) if future is not None]


class _Wake:
    """The stop event a wait for frames gets: set once the caller's stop is,
    once a result has come in (`changed`), or after _WAKE_INTERVAL."""

    def __init__(self, stop, changed):
        self.stop = stop
        self.changed = changed
        self.until = time.monotonic() + _WAKE_INTERVAL

    def is_set(self):
        return self.stop.is_set() or self.changed.is_set() or time.monotonic() >= self.until

    def pause(self, seconds):
        """Sleep `seconds`, or less if a result comes in meanwhile."""
        self.changed.wait(min(seconds, max(0.0, self.until - time.monotonic())))


class _Deadline:
    """A stop event that turns set `seconds` from now."""

    def __init__(self, seconds):
        self.until = time.monotonic() + seconds

    def is_set(self):
        return time.monotonic() >= self.until


def _whole_number(name, value, minimum, rule=None):
    """`value` as an int (numpy integers too); TypeError or ValueError naming it."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {value!r}") from None
    if number < minimum:
        raise ValueError(f"{name} must be {rule or f'at least {minimum}'}, not {number}")
    return number


def _flag(name, value):
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return value


def map_frames(
    client,
    function,
    path,
    dataset,
    *,
    batch_size,
    total_frames=None,
    start_frame=0,
    in_flight=8,
    stop=None,
    read_on_workers=False,
    ordered=True,
):
    """Yield `(first_frame, function(block))` for every block of `batch_size`
    frames of the growing `dataset` in the file at `path`, each once,
    computing them on the cluster of `client` (a `distributed.Client`).
    `function` gets each block as a numpy array, axis 0 the frames, on a
    worker. The results come in frame order, or with `ordered=False` as they
    complete.

    Waits for the file and for its writer to switch SWMR mode on. At most
    `in_flight` blocks are out on the cluster and not yet yielded; the follower
    hands out no further block while that many are. Ends at `total_frames` (the
    end on axis 0, exclusive, like the readers'), once the writer has closed
    the file and every frame it holds is handed out (the last block shorter),
    or once `stop` (anything with `is_set()`) is set; the blocks submitted by
    then are still yielded. A file that does not say whether its writer has
    closed it needs `total_frames` or `stop`. An exception of `function` ends
    the iteration, with a note naming the block's frames; closing the iterator
    (leaving a `for` over it) cancels what is still out.

    With `read_on_workers=True` the blocks are read by the workers, from a
    file system that every worker sees at the same `path`; this process only
    follows the dataset's length. The workers must run in processes of their
    own (not the threads of a `LocalCluster(processes=False)`).
    """
    if not callable(getattr(client, "submit", None)) or not callable(
        getattr(client, "scatter", None)
    ):
        raise TypeError(f"client must be a distributed.Client, not {client!r}")
    if not callable(function):
        raise TypeError(f"function must be callable, not {function!r}")
    path = os.fspath(path)
    if not isinstance(dataset, str):
        raise TypeError(f"dataset must be a str, not {dataset!r}")
    batch_size = _whole_number("batch_size", batch_size, 1)
    start_frame = _whole_number("start_frame", start_frame, 0)
    in_flight = _whole_number("in_flight", in_flight, 1)
    if total_frames is not None:
        total_frames = _whole_number(
            "total_frames", total_frames, start_frame, f"at least start_frame ({start_frame})"
        )
    if stop is not None and not callable(getattr(stop, "is_set", None)):
        raise TypeError(f"stop must have an is_set() method, like threading.Event, not {stop!r}")
    source = _ReadOnWorkers if _flag("read_on_workers", read_on_workers) else _ReadHere
    ordered = _flag("ordered", ordered)
    end = sys.maxsize if total_frames is None else total_frames
    blocks = _Blocks(path, dataset, start_frame, end, batch_size)
    return _follow_and_map(client, function, source, blocks, total_frames, in_flight, stop, ordered)


class _Blocks:
    """Where the follower stands: the next frame to hand out, the end, the
    block size, and the file and dataset they belong to."""

    def __init__(self, path, dataset, start, end, batch_size):
        self.path = path
        self.dataset = dataset
        self.index = start
        self.end = end
        self.batch_size = batch_size

    def next_end(self):
        return min(self.index + self.batch_size, self.end)

    def next_within(self, length):
        """Whether a next block is due and lies inside the first `length` frames."""
        return self.index < self.next_end() <= length

    def all_within(self, length, count):
        """Whether the next `count` blocks (fewer where the end comes first)
        lie inside the first `length` frames."""
        return min(self.index + count * self.batch_size, self.end) <= length

    def take(self, length, room):
        """The (first, end) of up to `room` next blocks that lie inside `length`."""
        taken = []
        while len(taken) < room and self.next_within(length):
            taken.append((self.index, self.next_end()))
            self.index = self.next_end()
        return taken


class _ReadHere:
    """Blocks read by one `SWMRReader` in this process and scattered to the workers."""

    def __init__(self, client, function, blocks, lost):
        from hdf5_kel.swmr.library.tailread import SWMRReader

        self.client = client
        self.function = function
        self.blocks = blocks
        self.lost = lost
        # SWMRReader hands out blocks of exactly batch_size frames and sleeps
        # between its polls. It keeps the position; `blocks` follows it.
        self.reader = SWMRReader(
            blocks.path, blocks.dataset, blocks.index, blocks.end, blocks.batch_size
        )

    def take(self, room, wake):
        """Up to `room` blocks: the first waits until `wake` is set, the rest
        only come if the length the reader last saw already covers them."""
        reader = self.reader
        taken = []
        wait = wake
        while len(taken) < room and (frames := reader.read_chunk_event(wait)) is not None:
            taken.append(_Block(reader.index - len(frames), reader.index, frames))
            self.blocks.index = reader.index
            if not self.blocks.next_within(reader.dset.shape[0]):
                break
            wait = wake.stop
        return taken

    @staticmethod
    def lost_with_its_worker(block):
        """Whether the block's scattered copy died with its worker, or the
        scheduler gave the task up after losing workers with it."""
        status = block.result.status
        return status == "cancelled" or (
            status == "error" and isinstance(block.result.exception(), KilledWorker)
        )

    @property
    def followed(self):
        return self.reader.dset

    def end_at_length(self):
        self.reader.dset.refresh()
        self.reader.total_frames = min(self.reader.total_frames, self.reader.dset.shape[0])
        self.blocks.end = self.reader.total_frames

    def submit(self, blocks):
        while True:
            try:
                copies = self.client.scatter(
                    [block.frames for block in blocks], direct=True, hash=False
                )
                break
            except OSError:  # a worker chosen died before the scheduler noticed
                for block in blocks:
                    self.lost(block)
                time.sleep(_WAKE_INTERVAL)
        results = self.client.map(self.function, copies, pure=False)
        for block, copy, result in zip(blocks, copies, results):
            block.data, block.result = copy, result

    def close(self):
        self.reader.close()


class _ReadOnWorkers:
    """Blocks that the workers read themselves; this process follows the
    dataset's length through `followed`, the one object of it that it holds
    (the dataset, or the acquisition over several files it stands for), in
    the open `file`, which it closes at the end."""

    def __init__(self, client, function, blocks, file):
        self.client = client
        self.blocks = blocks
        self.file = file
        self.followed = None
        self.run = None
        self.seen = 0  # the length at the last refresh
        try:
            self.followed = follow(file, blocks.dataset)
            self.run = f"hdf5_kel-frames-{uuid.uuid4().hex}"
            # The function travels once, to each worker with its reader, not
            # with every block: a closure may carry a detector's whole mask.
            client.register_plugin(
                _FramesOnWorker(blocks.path, blocks.dataset, function), name=self.run
            )
        except BaseException:
            self.close()
            raise

    def length(self):
        self.followed.refresh()
        self.seen = self.followed.shape[0]
        return self.seen

    def take(self, room, wake):
        while True:
            # A refresh asks the file again; not needed while the length seen
            # last covers every block there is room for (a complete file).
            if not self.blocks.all_within(self.seen, room):
                self.length()
            if (taken := self.blocks.take(self.seen, room)) or wake.is_set():
                return [_Block(first, end) for first, end in taken]
            wake.pause(POLL_INTERVAL)

    @staticmethod
    def lost_with_its_worker(block):
        """Never: the scheduler gives a task whose worker died to another,
        and its KilledWorker, after `allowed-failures` deaths, is final."""
        return False

    def end_at_length(self):
        self.blocks.end = min(self.blocks.end, self.length())

    def submit(self, blocks):
        # Keys named after the run and the block: the dashboard groups a run's
        # tasks, and no key needs a fresh random number.
        results = self.client.map(
            _read_and_call,
            [self.run] * len(blocks),
            [block.first for block in blocks],
            [block.end for block in blocks],
            key=[(self.run, block.first) for block in blocks],
        )
        for block, result in zip(blocks, results):
            block.result = result

    def close(self):
        try:
            if self.run is not None and self.client.status == "running":
                self.client.unregister_worker_plugin(self.run)
        finally:
            if isinstance(self.followed, Acquisition):
                self.followed.close()  # the files of its sources
            self.file.close()


def _read_and_call(run, first, end):
    """The task of a block read on a worker: its frames, through the run's function."""
    frames_on_worker = get_worker().plugins[run]
    return frames_on_worker.function(frames_on_worker.read(first, end))


class _FramesOnWorker(WorkerPlugin):
    """One run's function and reader on a worker: the reader opened at the
    worker's first block of the run, shared by the worker's threads one at a
    time (a process that holds two objects of one growing dataset fails its
    reads), closed when the run ends or the worker does."""

    def __init__(self, path, dataset, function):
        self.path = path
        self.dataset = dataset
        self.function = function
        self.caller = (socket.gethostname(), os.getpid())

    def setup(self, worker):
        self.lock = threading.Lock()
        self.reader = None

    def teardown(self, worker):
        with self.lock:
            if self.reader is not None:
                self.reader.close()
                self.reader = None

    def read(self, first, end):
        with self.lock:
            reader = self.open() if self.reader is None else self.reader
            reader.total_frames, reader.batch_size, reader.index = end, end - first, first
            frames = reader.read_chunk_event(_Deadline(_WORKER_PATIENCE))
        if frames is None:
            raise FollowError(
                f"frames {first} to {end - 1} of {self.path}:{self.dataset} are not there on"
                f" worker {socket.gethostname()} after {_WORKER_PATIENCE:.0f} s, though the"
                " follower saw them: reading on the workers needs a file system that every"
                " worker sees as the follower does"
            )
        return frames

    def open(self):
        from hdf5_kel.swmr.library.tailread import SWMRReader

        if (socket.gethostname(), os.getpid()) == self.caller:
            raise FollowError(
                "read_on_workers=True needs workers in processes of their own: this worker"
                " runs in the calling process, which holds the growing dataset already"
            )
        if not wait_for_file(self.path, _Deadline(_WORKER_PATIENCE), lambda line: None):
            raise FollowError(
                f"worker {socket.gethostname()} does not see {self.path}: reading on the"
                " workers needs a file system that every worker sees at the same path"
            )
        load_filter_plugins()  # detector data is compressed with bitshuffle, LZ4, ...
        self.reader = SWMRReader(self.path, self.dataset, 0, sys.maxsize, 1)
        return self.reader


def _wait_and_open(path, dataset, stop):
    """The SWMR read handle once the file is there and its writer has switched
    SWMR mode on, saying once what it waits for, and `dataset` checked in it
    (its object released again); None when `stop` ended a wait."""
    if not wait_for_file(path, stop, _say):
        return None
    file = open_when_unlocked(path, stop, _say)
    if file is None:
        return None
    try:
        check_growable(path, dataset_in(file, path, dataset))
    except BaseException:
        file.close()
        raise
    return file


def _results_due(out, ordered, batch):
    """The blocks whose results to fetch now, in one call: those finished (in
    frame order, the first ones), once there are `batch` of them or none that
    is still being computed could join them."""
    if ordered:
        ready = list(itertools.takewhile(lambda block: block.result.status == "finished", out))
        coming = len(ready) < len(out) and not out[len(ready)].result.done()
    else:
        ready = [block for block in out if block.result.status == "finished"]
        # A failed block ends the iteration: the results ready go out first.
        failed = any(block.result.status == "error" for block in out)
        coming = not failed and any(not block.result.done() for block in out)
    return ready if len(ready) >= batch or not coming else []


def _follow_and_map(client, function, source_type, blocks, total_frames, in_flight, stop, ordered):
    if blocks.index == blocks.end:
        return
    path, dataset = blocks.path, blocks.dataset
    stoppable = stop is not None
    stop = stop if stoppable else threading.Event()
    # A scheduler gives a task up after this many workers died running it;
    # a block lost with that many workers is given up here too.
    allowed_losses = dask.config.get("distributed.scheduler.allowed-failures", 3)
    changed = threading.Event()  # set from the client's thread when a result comes in
    out = collections.deque()  # the blocks on the cluster, in frame order
    source = None

    def lost(block):
        block.losses += 1
        if block.losses > allowed_losses:
            raise RuntimeError(
                f"{block.describe()} of {path}:{dataset} was lost with its worker"
                f" {block.losses} times (does the function end its worker?)"
            )

    def submit(taken):
        source.submit(taken)
        for block in taken:
            block.result.add_done_callback(lambda _: changed.set())

    def release(block):
        for future in block.futures():
            future.release()
        block.data = block.result = None

    # While the cluster is busy, results are fetched and blocks handed out
    # `batch` at a time: every call is a round trip to the scheduler, which
    # costs this process more than the blocks in it. The other blocks out keep
    # the workers busy meanwhile.
    batch = max(1, in_flight // 2)

    try:
        load_filter_plugins()  # for the blocks read here
        file = _wait_and_open(path, dataset, stop)
        if file is None:
            return
        if source_type is _ReadOnWorkers:
            source = _ReadOnWorkers(client, function, blocks, file)
        else:
            # Closed before the reader opens its own: a process that holds
            # two objects of one growing dataset fails its reads.
            file.close()
            source = _ReadHere(client, function, blocks, lost)
        # Of an acquisition over several files, its files say.
        writer = WriterWatch(path, source.followed)
        if total_frames is None and not stoppable and writer.writer_open() is None:
            raise ValueError(
                f"{path} does not say whether its writer has closed it (an HDF5 file written"
                " without libver='latest'), so the end cannot be told: give total_frames or stop"
            )
        reading = True
        while True:
            changed.clear()
            if reading and (stop.is_set() or blocks.index >= blocks.end):
                reading = False
            for block in out:
                if source.lost_with_its_worker(block):
                    lost(block)
                    release(block)
                    submit([block])
            ready = _results_due(out, ordered, batch if reading else 1)
            try:
                results = client.gather([block.result for block in ready]) if ready else []
            except CancelledError:  # lost with its worker after it had finished: next pass
                results = []
            for block, result in zip(ready, results):
                out.remove(block)
                release(block)
                yield block.first, result
            failed = [block for block in out if block.result.status == "error"]
            if failed and (not ordered or failed[0] is out[0]):
                block = failed[0]
                out.remove(block)
                error = block.result.exception()
                error = error.with_traceback(block.result.traceback())
                add_note(error, f"raised on {block.describe()} of {path}:{dataset}")
                release(block)  # the exception's frames keep the block
                raise error
            if not reading and not out:
                return
            if reading and in_flight - len(out) >= batch:
                taken = source.take(in_flight - len(out), _Wake(stop, changed))
                if taken:
                    writer.arrived()
                    submit(taken)
                    out.extend(taken)
                elif writer.finished():
                    source.end_at_length()
            else:
                changed.wait(_WAKE_INTERVAL)
    finally:
        if out and client.status == "running":  # a closed client has dropped them itself
            client.cancel([future for block in out for future in block.futures()])
        if source is not None:
            source.close()
