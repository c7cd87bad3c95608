"""Every frame of a growing dataset through a function on a Dask cluster.

`map_frames` follows the dataset with one `SWMRReader` in the calling process
and hands each block to the workers of a `distributed.Client`. The blocks go
to the workers with `scatter` (straight to a worker, not through the
scheduler), the follower keeps a copy of every block until its result is
yielded, and a block whose worker died is scattered and submitted again.
"""

import collections
import itertools
import operator
import os
import sys
import threading
import time

import dask.config
from distributed import CancelledError, KilledWorker

from hdf5_kel.diagnose import add_note
from hdf5_kel.follow import (
    FollowError,
    WriterWatch,
    open_when_unlocked,
    wait_for_file,
    writer_has_file_open,
)

# Seconds a wait for frames or for results lasts at most before the follower
# looks again at what else it waits for: the writer closing the file, a
# result that came in without a callback (one lost after it had finished).
_WAKE_INTERVAL = 0.25


class _Block:
    """A block handed to the cluster, kept until its result is yielded."""

    __slots__ = ("data", "first", "frames", "losses", "result")

    def __init__(self, first, frames):
        self.first = first
        self.frames = frames
        self.data = None  # the scattered copy on a worker
        self.result = None
        self.losses = 0

    def describe(self):
        return f"the block of frames {self.first} to {self.first + len(self.frames) - 1}"

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


def _whole_number(name, value, minimum, rule=None):
    """`value` as an int (numpy integers too); TypeError or ValueError naming it."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {value!r}") from None
    if number < minimum:
        raise ValueError(f"{name} must be {rule or f'at least {minimum}'}, not {number}")
    return number


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
):
    """Yield `(first_frame, function(block))` for every block of `batch_size`
    frames of the growing `dataset` in the file at `path`, in frame order,
    each once, computing them on the cluster of `client` (a
    `distributed.Client`). `function` gets each block as a numpy array, axis 0
    the frames, on a worker.

    Waits for the file and for its writer to switch SWMR mode on. At most
    `in_flight` blocks are out on the cluster and not yet yielded; the follower
    reads no further while that many are. Ends at `total_frames` (the end on
    axis 0, exclusive, like the readers'), once the writer has closed the
    file and every frame it holds is handed out (the last block shorter), or
    once `stop` (anything with `is_set()`) is set; the blocks submitted by then
    are still yielded. A file that does not say whether its writer has closed
    it needs `total_frames` or `stop`. An exception of `function` ends the
    iteration, with a note naming the block's frames; closing the iterator
    (leaving a `for` over it) cancels what is still out.
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
    return _follow_and_map(
        client, function, path, dataset, batch_size, total_frames, start_frame, in_flight, stop
    )


def _say(line):
    print(line, flush=True)


def _wait_until_followable(path, stop):
    """Wait for the file and for its writer to switch SWMR mode on, saying
    once what it waits for; False when `stop` ended a wait."""
    if not wait_for_file(path, stop, _say):
        return False
    try:
        file = open_when_unlocked(path, stop, _say)
    except FollowError:
        return True  # not a lock: the reader's own open raises h5py's error
    if file is None:
        return False
    # Closed before the reader opens its own: a process that holds two
    # objects of one growing dataset fails its reads.
    file.close()
    return True


def _next_block_present(reader):
    """Whether the reader's next block lies inside the length it last saw."""
    end = min(reader.index + reader.batch_size, reader.total_frames)
    return reader.index < end <= reader.dset.shape[0]


def _follow_and_map(
    client, function, path, dataset, batch_size, total_frames, start_frame, in_flight, stop
):
    from hdf5_kel.swmr.library.tailread import SWMRReader

    if total_frames == start_frame:
        return
    stoppable = stop is not None
    stop = stop if stoppable else threading.Event()
    # A scheduler gives a task up after this many workers died running it;
    # a block lost with that many workers is given up here too.
    allowed_losses = dask.config.get("distributed.scheduler.allowed-failures", 3)
    changed = threading.Event()  # set from the client's thread when a result comes in
    out = collections.deque()  # the blocks on the cluster, in frame order
    reader = None

    def scatter_and_submit(blocks):
        while True:
            try:
                copies = client.scatter([block.frames for block in blocks], direct=True, hash=False)
                break
            except OSError:  # a worker chosen died before the scheduler noticed
                for block in blocks:
                    lost(block)
                time.sleep(_WAKE_INTERVAL)
        for block, copy in zip(blocks, copies):
            block.data = copy
            block.result = client.submit(function, copy, pure=False)
            block.result.add_done_callback(lambda _: changed.set())

    def release(block):
        for future in block.futures():
            future.release()

    def hand_out_again(block):
        lost(block)
        release(block)
        scatter_and_submit([block])

    def lost(block):
        block.losses += 1
        if block.losses > allowed_losses:
            raise RuntimeError(
                f"{block.describe()} of {path}:{dataset} was lost with its worker"
                f" {block.losses} times (does the function end its worker?)"
            )

    def lost_with_its_worker(block):
        status = block.result.status
        return status == "cancelled" or (
            status == "error" and isinstance(block.result.exception(), KilledWorker)
        )

    try:
        if not _wait_until_followable(path, stop):
            return
        if total_frames is None and not stoppable and writer_has_file_open(path) is None:
            raise ValueError(
                f"{path} does not say whether its writer has closed it (an HDF5 file written"
                " without libver='latest'), so the end cannot be told: give total_frames or stop"
            )
        # SWMRReader hands out blocks of exactly batch_size frames and sleeps
        # between its polls (a counter would poll without pause and hand out
        # whatever arrived, to be cut into blocks here). Without a total it
        # follows for as long as the file grows; once the writer has closed
        # the file, its total becomes the file's length, so that the last
        # block comes out shorter.
        reader = SWMRReader(
            path,
            dataset,
            start_frame,
            sys.maxsize if total_frames is None else total_frames,
            batch_size,
        )
        writer = WriterWatch(path)
        reading = True
        while True:
            changed.clear()
            for block in out:
                if lost_with_its_worker(block):
                    hand_out_again(block)
            # The results ready in frame order, fetched in one call.
            ready = list(itertools.takewhile(lambda block: block.result.status == "finished", out))
            try:
                results = client.gather([block.result for block in ready]) if ready else []
            except CancelledError:  # lost with its worker after it had finished: next pass
                results = []
            for block, result in zip(ready, results):
                out.popleft()
                release(block)
                yield block.first, result
            if out and out[0].result.status == "error":
                block = out.popleft()
                error = block.result.exception()
                error = error.with_traceback(block.result.traceback())
                add_note(error, f"raised on {block.describe()} of {path}:{dataset}")
                release(block)  # the exception's frames keep the block
                raise error
            if reading and stop.is_set():
                reading = False
            if not reading and not out:
                return
            if reading and len(out) < in_flight:
                frames = reader.read_chunk_event(_Wake(stop, changed))
                if frames is not None:
                    writer.arrived()
                    blocks = [_Block(reader.index - len(frames), frames)]
                    # The blocks that the length the reader last saw covers
                    # come without a wait, and go out in one scatter.
                    while len(out) + len(blocks) < in_flight and _next_block_present(reader):
                        if (frames := reader.read_chunk_event(stop)) is None:
                            break
                        blocks.append(_Block(reader.index - len(frames), frames))
                    scatter_and_submit(blocks)
                    out.extend(blocks)
                elif reader.index >= reader.total_frames:
                    reading = False
                elif writer.finished():
                    reader.dset.refresh()
                    reader.total_frames = min(reader.total_frames, reader.dset.shape[0])
            else:
                changed.wait(_WAKE_INTERVAL)
    finally:
        if out and client.status == "running":  # a closed client has dropped them itself
            client.cancel([future for block in out for future in block.futures()])
        if reader is not None:
            reader.close()
