"""`watch`: follow a growing dataset like `tail -f`."""

import collections
import sys
import time

from .follow import (
    add_dataset_arguments,
    explain_read_errors,
    frames_waiting,
    say,
    seconds_since_flush,
    wait_until_followable,
)
from .messages import INTERRUPTED, CommandError, non_negative_int, plural, positive_int
from .signals import interrupted, stopped_or_interrupted


class WatchReport:
    """The lines of `watch`: one per block handed out, then a summary. Its
    clock starts when the command starts."""

    BAR_WIDTH = 20
    # The rate column is the rate over this many of the latest blocks.
    RATE_BLOCKS = 10

    def __init__(self, start, total, batch, clock=time.monotonic):
        self.clock = clock
        self.started_at = clock()
        self.start = start
        self.total = total
        self.batch = batch
        self.frames = 0
        self.blocks = 0
        self.file_found_at = None
        self.opened_at = None
        # (time, frames handed out so far) at the open and at the latest blocks.
        self.recent = collections.deque(maxlen=self.RATE_BLOCKS + 1)

    def file_found(self):
        self.file_found_at = self.clock()

    def opened(self):
        self.opened_at = self.clock()
        self.recent.append((self.opened_at, 0))

    def bar(self, end):
        done = (end - self.start) / (self.total - self.start)
        filled = round(done * self.BAR_WIDTH)
        return f"[{'#' * filled}{'-' * (self.BAR_WIDTH - filled)}] {done:4.0%}"

    def block(self, first, length, path):
        now = self.clock()
        self.frames += length
        self.blocks += 1
        self.recent.append((now, self.frames))
        since, frames_then = self.recent[0]
        rate = (self.frames - frames_then) / max(now - since, 1e-6)
        fields = [f"frames {first:>6} to {first + length - 1:>6}"]
        if self.total is not None:
            fields.append(self.bar(first + length))
        fields.append(f"{rate:10.1f} frames/s")
        age = seconds_since_flush(path)
        if age is not None:
            ago = f"{age * 1000:.0f} ms" if age < 10 else f"{age:.1f} s"
            fields.append(f"file flushed {ago} before")
        return "  ".join(fields)

    def waits(self):
        """What the time since the start went to before the file was open."""
        now = self.clock()
        found = self.file_found_at if self.file_found_at is not None else now
        opened = self.opened_at if self.opened_at is not None else now
        waits = [f"{found - self.started_at:.1f} s of it waiting for the file"]
        if self.file_found_at is not None:
            waits.append(f"{opened - found:.1f} s for SWMR mode")
        return f"{now - self.started_at:.1f} s from the start ({', '.join(waits)})"

    def summary(self, verdict, present=0):
        """The last line; `present` frames are in the file beyond those handed out."""
        if self.opened_at is None:
            return f"{verdict}: the file was never opened, {self.waits()}"
        if self.frames == 0:
            text = f"{verdict}: no frames handed out, {self.waits()}"
        else:
            following = self.clock() - self.opened_at
            text = (
                f"{verdict}: {plural(self.frames, 'frame')} ({self.start} to"
                f" {self.start + self.frames - 1}) in {plural(self.blocks, 'block')},"
                f" {self.waits()}, {self.frames / max(following, 1e-6):.1f} frames/s once open"
            )
        next_block = self.batch
        if self.total is not None:
            next_block = min(self.batch, self.total - self.start - self.frames)
            present = min(present, self.total - self.start - self.frames)
        if present > 0:
            more = f"{present} more {'frame' if present == 1 else 'frames'} present"
            short = "short of a whole block" if present < next_block else "not handed out yet"
            text += f"; {more}, {short}"
        return text


def run(args):
    from hdf5_kel.swmr.library.tailread import SWMRReader

    report = WatchReport(args.start, args.total, args.batch)
    if args.total is not None and args.total <= args.start:
        raise CommandError(f"--total {args.total} must be above --start {args.start}")
    end = f"to frame {args.total - 1}" if args.total is not None else "on"
    say(
        f"following {args.file}:{args.dataset} from frame {args.start} {end}"
        f" in blocks of {args.batch}; Ctrl-C stops"
    )
    # Without a total the reader follows the dataset for as long as it grows.
    total = args.total if args.total is not None else sys.maxsize
    reader = None
    try:
        wait_until_followable(args.file, args.dataset, say, report.file_found)
        reader = SWMRReader(args.file, args.dataset, args.start, total, args.batch)
        report.opened()
        with explain_read_errors((args.file, reader.dset)):
            while (
                block := stopped_or_interrupted(reader.read_chunk_event(interrupted))
            ) is not None:
                say(report.block(reader.index - len(block), len(block), args.file))
    except KeyboardInterrupt:
        say(report.summary("stopped", frames_waiting(reader) if reader is not None else 0))
        return INTERRUPTED
    finally:
        if reader is not None:
            reader.close()
    say(report.summary("done"))
    return 0


def add_parser(commands):
    watch = commands.add_parser(
        "watch",
        help="follow a growing dataset like tail -f",
        description="Follow a dataset that another process is writing in SWMR mode and"
        " print a line per block of frames as it arrives: its frame range, the rate over"
        " the latest blocks, and how long ago the file was last flushed; with --total also"
        " a progress bar. Waits for a file that does not exist yet and for its writer to"
        " switch SWMR mode on. Without --total it runs until Ctrl-C. The summary at the end"
        " counts the time from the start and says how much of it went to those waits.",
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
    watch.set_defaults(run=run, waits_on_flag=True)
