"""`watch`: follow a growing dataset like `tail -f`."""

import sys
import time

from .follow import add_dataset_arguments, frames_waiting, seconds_since_flush
from .messages import INTERRUPTED, CommandError, non_negative_int, positive_int
from .signals import interrupted, stopped_or_interrupted, waits_on_flag


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


def run(args):
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


def add_parser(commands):
    watch = commands.add_parser(
        "watch",
        help="follow a growing dataset like tail -f",
        description="Follow a dataset that another process is writing in SWMR mode and"
        " print a line per block of frames as it arrives: its frame range, the rate, and"
        " how long ago the file was last flushed; with --total also a progress bar. Waits"
        " for a file that does not exist yet. Without --total it runs until Ctrl-C, which"
        " prints a summary.",
    )
    add_dataset_arguments(watch)
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
    watch.set_defaults(run=run)
