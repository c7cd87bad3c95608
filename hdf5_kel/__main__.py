"""Command line of hdf5_kel: `python -m hdf5_kel COMMAND`, or `hdf5-kel COMMAND`.

demo              start a test writer in a child process and follow its growing file live
watch             follow a growing dataset like `tail -f`
write             run one of the test writers
compare           compare a dataset in two files; exit status 0 equal, 1 different, 2 error
compare-subfiles  compare numbered sub-files with a main dataset, with the same statuses
"""

import argparse
import functools
import glob
import io
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

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

# Ctrl-C raises KeyboardInterrupt wherever Python happens to be, and Python
# prints and drops it when that is inside a callback (h5py runs weakref
# callbacks as it releases objects). So Ctrl-C sets this flag, and while every
# wait of a command tests the flag (waits_on_flag), it raises nothing at all.
interrupted = threading.Event()
waits_on_flag = threading.Event()
# The signals that stopped the command: it exits with 128 + the last one.
received = []


def interrupt(signum, frame):
    received.append(signum)
    interrupted.set()
    if not waits_on_flag.is_set():
        raise KeyboardInterrupt


def check_interrupted():
    if interrupted.is_set():
        raise KeyboardInterrupt


def stopped_or_interrupted(chunk):
    """The block a read returned; KeyboardInterrupt when Ctrl-C ended the wait."""
    if chunk is None and interrupted.is_set():
        raise KeyboardInterrupt
    return chunk


# How long the reader keeps waiting for frames after the writer exited cleanly:
# its last flush is on disk by then, so anything still missing never comes.
EXITED_WRITER_GRACE = 5.0


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


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
                f" file written {age * 1000:.0f} ms before",
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
        "'file written ... before': how old the file's modification time (the writer's"
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


def run_demo(args):
    with tempfile.TemporaryDirectory(prefix="hdf5_kel-demo-") as directory:
        path = os.path.join(directory, "demo.h5")
        writer = start_writer(directory, path, args.frames, args.block)
        first_line = threading.Event()
        echo = threading.Thread(target=forward_writer_output, args=(writer, first_line))
        echo.start()
        # Every wait of the demo tests the flag.
        waits_on_flag.set()
        try:
            return follow_demo_writer(path, args.frames, args.block, writer, echo, first_line)
        except KeyboardInterrupt:
            stop_writer(writer)
            print(f"interrupted: writer process {writer.pid} stopped", flush=True)
            return 130
        finally:
            stop_writer(writer)
            echo.join()


# Exit statuses, as h5diff has them for comparisons.
EQUAL, DIFFERENT, FAILED = 0, 1, 2
INTERRUPTED = 130


class CommandError(Exception):
    """A failure that the command explains in its own words."""


def non_negative_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def element_type(text):
    import numpy as np

    try:
        return np.dtype(text)
    except TypeError:
        raise argparse.ArgumentTypeError(f"not an element type numpy knows: {text!r}") from None


def one_line(error):
    """An exception as one line: its class and its text, whitespace folded."""
    text = " ".join(str(error).split())
    if isinstance(error, CommandError):
        return text
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def seconds_since_flush(path):
    """How long ago the file was last written, the writer's last flush; None if unknown."""
    try:
        return max(time.time() - os.stat(path).st_mtime, 0.0)
    except OSError:
        return None


class WatchReport:
    """The lines of `watch`: one per block handed out, then a summary."""

    BAR_WIDTH = 20

    def __init__(self, start, total):
        self.start = start
        self.total = total
        self.frames = 0
        self.blocks = 0
        self.opened_at = None
        self.last_block_at = None

    def opened(self):
        self.opened_at = self.last_block_at = time.monotonic()

    def bar(self, end):
        done = (end - self.start) / (self.total - self.start)
        filled = round(done * self.BAR_WIDTH)
        return f"[{'#' * filled}{'-' * (self.BAR_WIDTH - filled)}] {done:4.0%}"

    def block(self, first, length, path):
        now = time.monotonic()
        rate = length / max(now - self.last_block_at, 1e-6)
        self.last_block_at = now
        self.frames += length
        self.blocks += 1
        fields = [f"frames {first:>6} to {first + length - 1:>6}"]
        if self.total is not None:
            fields.append(self.bar(first + length))
        fields.append(f"{rate:10.1f} frames/s")
        age = seconds_since_flush(path)
        if age is not None:
            ago = f"{age * 1000:.0f} ms" if age < 10 else f"{age:.1f} s"
            fields.append(f"file flushed {ago} before")
        return "  ".join(fields)

    def summary(self, verdict, waiting=0):
        if self.opened_at is None:
            return f"{verdict}: the file was never opened"
        if self.frames == 0:
            text = f"{verdict}: no frames handed out"
        else:
            elapsed = time.monotonic() - self.opened_at
            text = (
                f"{verdict}: {self.frames} frames ({self.start} to"
                f" {self.start + self.frames - 1}) in {self.blocks} blocks, {elapsed:.1f} s,"
                f" {self.frames / max(elapsed, 1e-6):.1f} frames/s"
            )
        if waiting > 0:
            text += f"; {waiting} more frames present, short of a whole block"
        return text


def frames_waiting(reader):
    """Frames present beyond the reader's position (0 when that cannot be read)."""
    try:
        reader.dset.refresh()
        return max(reader.dset.shape[0] - reader.index, 0)
    except (OSError, RuntimeError, ValueError):
        return 0


def run_watch(args):
    from hdf5_kel.swmr.library.tailread import SWMRReader

    if args.total is not None and args.total <= args.start:
        raise CommandError(f"--total {args.total} must be above --start {args.start}")
    end = f"to frame {args.total - 1}" if args.total is not None else "on"
    print(
        f"following {args.file}:{args.dataset} from frame {args.start} {end}"
        f" in blocks of {args.batch}; Ctrl-C stops",
        flush=True,
    )
    report = WatchReport(args.start, args.total)
    # Without a total the reader follows the dataset for as long as it grows.
    total = args.total if args.total is not None else sys.maxsize
    reader = None
    try:
        reader = SWMRReader(args.file, args.dataset, args.start, total, args.batch)
        report.opened()
        waits_on_flag.set()  # the reader's wait for frames tests the flag
        while (block := stopped_or_interrupted(reader.read_chunk_event(interrupted))) is not None:
            print(report.block(reader.index - len(block), len(block), args.file), flush=True)
    except KeyboardInterrupt:
        waiting = frames_waiting(reader) if reader is not None else 0
        print(report.summary("stopped", waiting), flush=True)
        return INTERRUPTED
    finally:
        if reader is not None:
            reader.close()
    print(report.summary("done"), flush=True)
    return 0


def describe_dataset(path, dataset):
    import h5py

    with h5py.File(path, "r", libver="latest", swmr=True) as f:
        dset = f[dataset]
        return f"shape {dset.shape}, element type {dset.dtype}"


# The writers that take no arguments: "swmr.h5" with "/data" in the working directory.
FIXED_WRITERS = ("basic_writer", "writer_first_dim2")


def run_write(args):
    from hdf5_kel.swmr.library import feedgen

    writer = getattr(feedgen, args.writer)
    if args.writer in FIXED_WRITERS:
        path, dataset = os.path.abspath(os.path.join(args.directory, "swmr.h5")), "/data"
        os.chdir(args.directory)
        call = writer
    else:
        path, dataset = args.file, args.dataset
        # Only the parameters given: the writer's own defaults hold for the rest.
        options = {
            name: value
            for name in ("shape_set", "dtype", "segmentsize")
            if (value := getattr(args, name, None)) is not None
        }
        call = functools.partial(writer, args.file, args.dataset, **options)

    try:
        call()
    except KeyboardInterrupt:
        print(f"interrupted: {path} keeps the frames flushed so far", flush=True)
        return INTERRUPTED
    print(f"done: {path}:{dataset}, {describe_dataset(path, dataset)}", flush=True)
    return 0


def run_compare(args):
    from hdf5_kel.filekit import compare_dataset_two1

    dataset_b = args.dataset_b or args.dataset
    same = compare_dataset_two1(args.file_a, args.dataset, args.file_b, dataset_b)
    if not args.quiet:
        print(
            f"{'equal' if same else 'different'}:"
            f" {args.file_a}:{args.dataset} and {args.file_b}:{dataset_b}"
        )
    return EQUAL if same else DIFFERENT


def run_compare_subfiles(args):
    import h5py

    from hdf5_kel.filekit import compare_dataset_subfiles

    if len(args.pattern) > 1:
        raise CommandError(
            f"PATTERN came as {len(args.pattern)} paths, expanded by the shell:"
            " quote it, e.g. 'run_*.h5'"
        )
    (pattern,) = args.pattern
    # Errors, not verdicts: the comparison alone would call a missing main
    # dataset "different" and a pattern that matches nothing "equal".
    with h5py.File(args.file, "r", libver="latest", swmr=True) as f:
        if f.get(args.dataset) is None:
            raise CommandError(f"dataset {args.dataset} not found in {args.file}")
    subfiles = glob.glob(pattern)
    if not subfiles:
        raise CommandError(f"no file matches {pattern}")
    try:
        same = compare_dataset_subfiles(
            args.file, args.dataset, pattern, args.sub_dataset or args.dataset
        )
    except AssertionError as mismatch:
        if not args.quiet:
            print(f"different: {mismatch}")
        return DIFFERENT
    if not args.quiet:
        verdict = "equal" if same else "different"
        print(
            f"{verdict}: the {len(subfiles)} sub-files {pattern}, end to end, and the leading"
            f" frames of {args.file}:{args.dataset}"
        )
    return EQUAL if same else DIFFERENT


def add_write_parser(commands):
    write = commands.add_parser(
        "write",
        help="run one of the test writers",
        description="Run one of the SWMR test writers of hdf5_kel.swmr.library.feedgen in"
        " this process: it creates the file, switches SWMR mode on and appends frames over"
        " time. An existing file at the path is replaced.",
    )
    writers = write.add_subparsers(dest="writer", required=True, metavar="WRITER")
    for name in FIXED_WRITERS:
        fixed = writers.add_parser(
            name,
            help="15 rows of [1, 2, 3, 4] to swmr.h5:/data, one a second",
            description="Write swmr.h5 with the dataset /data: 15 rows of [1, 2, 3, 4],"
            " one a second.",
        )
        fixed.add_argument(
            "--directory", default=".", help="where to write swmr.h5 (default: here)"
        )
    for name, help_text in (
        ("writer_first_dim3", "counting frames, one at a time, without pause"),
        (
            "writer_first_dim3_multiline",
            "random frames in blocks, one block a second, then the rest one by one",
        ),
    ):
        configurable = writers.add_parser(name, help=help_text, description=help_text + ".")
        configurable.add_argument("file", metavar="FILE", help="HDF5 file to create")
        configurable.add_argument(
            "dataset", metavar="DATASET", help="dataset path inside it, e.g. /entry/data"
        )
        configurable.add_argument(
            "--shape-set",
            dest="shape_set",
            type=non_negative_int,
            nargs="+",
            metavar=("FRAMES", "AXIS"),
            help="frame count, then the frame's axes (default: 10 2 3)",
        )
        configurable.add_argument(
            "--dtype", type=element_type, help="element type, e.g. uint16 (default: int32)"
        )
        if name == "writer_first_dim3_multiline":
            configurable.add_argument(
                "--segmentsize", type=int, help="frames per block (default: 10)"
            )
    write.set_defaults(run=run_write)


def add_compare_parsers(commands):
    statuses = "Exit status: 0 equal, 1 different, 2 error."
    compare = commands.add_parser(
        "compare",
        help="compare a dataset in two files (exit status 0 equal, 1 different, 2 error)",
        description="Compare a dataset in two files: shape, element type and every value"
        " (NaN equals nothing). The files are read in SWMR mode, so a writer may still hold"
        f" them. {statuses}",
    )
    compare.add_argument("file_a", metavar="A", help="first HDF5 file")
    compare.add_argument("file_b", metavar="B", help="second HDF5 file")
    compare.add_argument("dataset", metavar="DATASET", help="dataset path in A (and in B)")
    compare.add_argument(
        "dataset_b", metavar="DATASET_B", nargs="?", help="dataset path in B, if it differs"
    )
    compare.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    compare.set_defaults(run=run_compare)

    subfiles = commands.add_parser(
        "compare-subfiles",
        help="compare numbered sub-files with a main dataset (exit status as compare)",
        description="Check that the sub-files matching PATTERN, taken in the order of the"
        " four digits before .h5 in their names and laid end to end, equal the leading"
        f" frames of DATASET in FILE. {statuses}",
    )
    subfiles.add_argument("file", metavar="FILE", help="main HDF5 file")
    subfiles.add_argument("dataset", metavar="DATASET", help="dataset path in FILE")
    # More than one PATTERN means the shell expanded it; told apart in the command.
    subfiles.add_argument(
        "pattern",
        metavar="PATTERN",
        nargs="+",
        help="glob pattern of the sub-files, e.g. 'run_*.h5' (quote it against the shell)",
    )
    subfiles.add_argument(
        "--sub-dataset",
        dest="sub_dataset",
        metavar="SUB_DATASET",
        help="dataset path in the sub-files (default: DATASET)",
    )
    subfiles.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    subfiles.set_defaults(run=run_compare_subfiles)


def build_parser(prog="python -m hdf5_kel"):
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Follow HDF5 files that another process is still writing in SWMR mode.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
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
    demo.set_defaults(run=run_demo)

    watch = commands.add_parser(
        "watch",
        help="follow a growing dataset like tail -f",
        description="Follow a dataset that another process is writing in SWMR mode and"
        " print a line per block of frames as it arrives: its frame range, the rate, and"
        " how long ago the file was last flushed; with --total also a progress bar. Waits"
        " for a file that does not exist yet. Without --total it runs until Ctrl-C, which"
        " prints a summary.",
    )
    watch.add_argument("file", metavar="FILE", help="HDF5 file being written")
    watch.add_argument("dataset", metavar="DATASET", help="dataset path, e.g. /entry/data")
    watch.add_argument("--start", type=non_negative_int, default=0, help="first frame (default: 0)")
    watch.add_argument(
        "--total",
        type=positive_int,
        help="end frame, exclusive: stop there (default: follow until Ctrl-C)",
    )
    watch.add_argument(
        "--batch",
        type=positive_int,
        default=10,
        help="frames per block; a block is shown once whole (default: 10)",
    )
    watch.set_defaults(run=run_watch)

    add_write_parser(commands)
    add_compare_parsers(commands)
    return parser


def main(argv=None, prog="python -m hdf5_kel"):
    args = build_parser(prog).parse_args(argv)
    # Progress lines go out as they happen, into a pipe too: another process
    # may be waiting for a writer's first line before it starts reading.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)
    interrupted.clear()
    waits_on_flag.clear()
    received.clear()
    takes_ctrl_c = (
        threading.current_thread() is threading.main_thread()
        and signal.getsignal(signal.SIGINT) is signal.default_int_handler
    )
    if takes_ctrl_c:
        signal.signal(signal.SIGINT, interrupt)
    try:
        status = args.run(args)
        return 128 + received[-1] if received else status
    except KeyboardInterrupt:
        if received and received[-1] != signal.SIGINT:
            return 128 + received[-1]
        print("interrupted", file=sys.stderr)
        return INTERRUPTED
    # Whatever went wrong, the user gets one line, not a traceback.
    except Exception as error:  # noqa: BLE001
        print(f"{prog} {args.command}: error: {one_line(error)}", file=sys.stderr)
        return FAILED
    finally:
        if takes_ctrl_c:
            signal.signal(signal.SIGINT, signal.default_int_handler)


def stop_on_sigterm():
    # A plain kill takes the same way out as Ctrl-C does: writer stopped,
    # temporary file removed; the exit status is 143.
    signal.signal(signal.SIGTERM, interrupt)


def console():
    """The hdf5-kel console script."""
    stop_on_sigterm()
    return main(prog="hdf5-kel")


if __name__ == "__main__":
    stop_on_sigterm()
    sys.exit(main())
