"""`demo`: a test writer in a child process, followed live."""

import os
import subprocess
import sys
import tempfile
import threading
import time

from .messages import positive_int
from .signals import check_interrupted, interrupted, stopped_or_interrupted

DATASET = "/entry/data"
FRAME_SHAPE = (16, 16)

# Run by the child interpreter. Its working directory is the demo's temporary
# directory, so the installed package is imported, not a source tree.
WRITER_CODE = """\
import sys
from hdf5_kel.swmr.library import feedgen
path, dataset, frames, block, *frame_shape = sys.argv[1:]
shape_set = (int(frames), *map(int, frame_shape))
feedgen.writer_first_dim3_multiline(path, dataset, shape_set, segmentsize=int(block))
"""

# How long the reader keeps waiting for frames after the writer exited cleanly:
# its last flush is on disk by then, so anything still missing never comes.
EXITED_WRITER_GRACE = 5.0


class WriterGone:
    """Stop event for the reader: set once the writer can send no more frames."""

    def __init__(self, writer):
        self.writer = writer
        self.exited_at = None

    def is_set(self):
        if interrupted.is_set():
            return True
        code = self.writer.poll()
        if code is None:
            return False
        if code != 0:
            return True
        if self.exited_at is None:
            self.exited_at = time.monotonic()
        return time.monotonic() - self.exited_at > EXITED_WRITER_GRACE


def forward_writer_output(writer, first_line):
    """Echo the writer's lines; the first one means SWMR mode is on."""
    for line in writer.stdout:
        print(f"  writer | {line.rstrip()}", flush=True)
        first_line.set()


def start_writer(directory, path, frames, block):
    return subprocess.Popen(
        [sys.executable, "-c", WRITER_CODE, path, DATASET, str(frames), str(block)]
        + [str(length) for length in FRAME_SHAPE],
        cwd=directory,
        env=dict(os.environ, PYTHONUNBUFFERED="1"),
        stdout=subprocess.PIPE,
        text=True,
        # Ctrl-C reaches only this process, which then stops the writer itself.
        start_new_session=True,
    )


def stop_writer(writer):
    if writer.poll() is None:
        writer.terminate()
        try:
            writer.wait(timeout=5)
        except subprocess.TimeoutExpired:
            writer.kill()
            writer.wait()


def follow(path, frames, block, writer):
    """Read every frame with SWMRReader; return the blocks in order."""
    from hdf5_kel.swmr.library.tailread import SWMRReader

    reader = SWMRReader(path, DATASET, 0, frames, block)
    stop = WriterGone(writer)
    blocks = []
    try:
        while reader.index < frames:
            start = reader.index
            chunk = stopped_or_interrupted(reader.read_chunk_event(stop))
            if chunk is None:
                break
            age = time.time() - os.stat(path).st_mtime
            blocks.append(chunk)
            print(
                f"reader | frames {start:>4} to {reader.index - 1:>4}, shape {chunk.shape},"
                f" file flushed {age * 1000:.0f} ms before",
                flush=True,
            )
    finally:
        reader.close()
    return blocks


def matches_finished_file(path, blocks):
    import h5py
    import numpy as np

    with h5py.File(path, "r") as f:
        stored = f[DATASET][()]
    return bool(np.array_equal(np.concatenate(blocks), stored))


def follow_demo_writer(path, frames, block, writer, echo, first_line):
    """Follow the writer to its end; the exit status of the demo."""
    print(
        f"writer process {writer.pid} appends {frames} frames of "
        f"{FRAME_SHAPE[0]} x {FRAME_SHAPE[1]} to {path}:{DATASET},\n"
        f"one block of {block} per second, then the rest one by one;"
        f" this process follows it with SWMRReader in blocks of {block}.\n"
        "'file flushed ... before': how old the file's modification time (the writer's"
        " last flush) was when the block was handed out.",
        flush=True,
    )
    # The file can be opened for reading only once the writer has switched
    # SWMR mode on, and its first line comes after that. A writer that prints
    # nothing (fewer frames than a block) is waited for instead.
    while not first_line.is_set() and echo.is_alive():
        check_interrupted()
        first_line.wait(0.1)
    while not first_line.is_set() and writer.poll() is None:
        check_interrupted()
        time.sleep(0.1)
    blocks = follow(path, frames, block, writer) if writer.poll() in (None, 0) else []
    code = writer.wait()
    echo.join()
    received = sum(len(b) for b in blocks)
    if code != 0 or received != frames:
        print(
            f"failed: received {received} of {frames} frames; the writer exited with {code}",
            file=sys.stderr,
        )
        return 1
    if not matches_finished_file(path, blocks):
        print("failed: the frames received differ from the finished file", file=sys.stderr)
        return 1
    print(
        f"done: {received} frames in {len(blocks)} blocks, every frame once and in order,"
        " equal to the finished file",
        flush=True,
    )
    return 0


def run(args):
    with tempfile.TemporaryDirectory(prefix="hdf5_kel-demo-") as directory:
        path = os.path.join(directory, "demo.h5")
        writer = start_writer(directory, path, args.frames, args.block)
        first_line = threading.Event()
        echo = threading.Thread(target=forward_writer_output, args=(writer, first_line))
        echo.start()
        try:
            return follow_demo_writer(path, args.frames, args.block, writer, echo, first_line)
        except KeyboardInterrupt:
            stop_writer(writer)
            print(f"stopped: writer process {writer.pid} is stopped too", flush=True)
            return 130
        finally:
            stop_writer(writer)
            echo.join()


def add_parser(commands):
    demo = commands.add_parser(
        "demo",
        help="follow a live test writer for a few seconds",
        description="Start a test writer in a child process on a temporary file and follow"
        " it live with SWMRReader, printing each block as it arrives.",
    )
    demo.add_argument(
        "--frames", type=positive_int, default=35, help="frames to write (default: 35)"
    )
    demo.add_argument(
        "--block",
        type=positive_int,
        default=10,
        help="frames per block, written one block per second (default: 10)",
    )
    demo.set_defaults(run=run, waits_on_flag=True)
