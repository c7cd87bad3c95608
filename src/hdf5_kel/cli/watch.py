"""`watch`: follow a growing dataset like `tail -f`."""

import collections
import sys
import time

from ..follow import WriterWatch, check_growable, explain_read_errors
from .followers import (
    GaveUp,
    add_dataset_arguments,
    add_threads_argument,
    add_timeout_argument,
    finished_line,
    frames_waiting,
    last_written,
    say,
    seconds_since_flush,
    wait_patiently_for_file,
    wait_until_followable,
)
from .messages import (
    GAVE_UP,
    INCOMPLETE,
    INTERRUPTED,
    CommandError,
    non_negative_int,
    plural,
    positive_int,
)
from .signals import interrupted, stopped_or_interrupted


class WatchReport:
    """The lines of `watch`: one per block handed out, then a summary. Its
    clock starts when the command starts.

    Rates count only frames that arrived while watch followed the file: the
    frames already there when it opened the file (the backlog) come as fast as
    they can be read, which says nothing about the writer."""

    BAR_WIDTH = 20
    # The rate column is the rate over this many of the latest blocks.
    RATE_BLOCKS = 10
    RATE_WIDTH = len(f"{0:10.1f} frames/s")

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
        # Frame positions: the end of the backlog, and of the frames seen so far.
        self.backlog_end = self.seen_end = start
        # The last look at the dataset that found nothing new before frames
        # began to arrive, and the look that last found new ones.
        self.looked_at = self.arrivals_began = self.last_arrival = None
        # (time, end of the frames handed out) after the backlog, at the latest blocks.
        self.recent = collections.deque(maxlen=self.RATE_BLOCKS + 1)

    def file_found(self):
        self.file_found_at = self.clock()

    def followed(self, length):
        """The part of a dataset of `length` frames that watch hands out: its end."""
        end = max(length, self.start)
        return end if self.total is None else min(end, self.total)

    def opened(self, length=0):
        """The file is open and its dataset holds `length` frames."""
        self.opened_at = self.looked_at = self.clock()
        self.backlog_end = self.seen_end = self.followed(length)
        self.recent.append((self.opened_at, self.backlog_end))

    def backlog(self):
        return self.backlog_end - self.start

    def looked(self, length, read_at=None):
        """The dataset was found at `length` frames, as of a refresh at
        `read_at` (None: at an earlier one, not known when); True when frames
        arrived since the last look."""
        end = self.followed(length)
        arrived = end > self.seen_end
        if arrived:
            if self.arrivals_began is None:
                self.arrivals_began = self.looked_at
                if len(self.recent) == 1:  # the rates start where the frames did
                    self.recent[0] = (self.looked_at, self.backlog_end)
            self.seen_end = end
            self.last_arrival = read_at if read_at is not None else self.clock()
        if read_at is not None:
            self.looked_at = read_at
        return arrived

    def bar(self, end):
        done = (end - self.start) / (self.total - self.start)
        filled = round(done * self.BAR_WIDTH)
        return f"[{'#' * filled}{'-' * (self.BAR_WIDTH - filled)}] {done:4.0%}"

    def block(self, first, length, path):
        now = self.clock()
        end = first + length
        self.frames += length
        self.blocks += 1
        fields = [f"frames {first:>6} to {end - 1:>6}"]
        if self.total is not None:
            fields.append(self.bar(end))
        if end <= self.backlog_end:
            fields.append(f"{'already there':>{self.RATE_WIDTH}}")
        else:
            self.recent.append((now, end))
            since, end_then = self.recent[0]
            fields.append(f"{(end - end_then) / max(now - since, 1e-6):10.1f} frames/s")
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

    def arrivals(self):
        """The backlog and the rate of the frames that came after it, over the
        time they kept coming."""
        parts = [f"{plural(self.backlog(), 'frame')} already there"] if self.backlog() else []
        arrived = self.seen_end - self.backlog_end
        if arrived:
            seconds = self.last_arrival - self.arrivals_began
            rate = f" at {arrived / seconds:.1f} frames/s" if seconds > 0 else ""
            parts.append(f"{arrived} arrived{rate}")
        return f"; {', '.join(parts)}" if parts else ""

    def summary(self, verdict, present=0):
        """The last line; `present` frames are in the file beyond those handed out."""
        if self.opened_at is None:
            return f"{verdict}: the file was never opened, {self.waits()}"
        if self.frames == 0:
            text = f"{verdict}: no frames handed out, {self.waits()}"
        else:
            text = (
                f"{verdict}: {plural(self.frames, 'frame')} ({self.start} to"
                f" {self.start + self.frames - 1}) in {plural(self.blocks, 'block')},"
                f" {self.waits()}{self.arrivals()}"
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


class UntilWriterDone:
    """The stop event of watch's reader: set by Ctrl-C, or once the writer has
    closed the file. Each test looks at the length the reader last refreshed,
    so the report learns when frames arrive; says once when the writer seems to
    have stopped without closing the file."""

    def __init__(self, reader, report):
        self.reader = reader
        self.report = report
        self.writer = WriterWatch(reader.filepath, reader.dset)
        self.hinted = False
        self.closed = False
        # The reader tests the event before each poll, and refreshes the
        # dataset in the polls while it waits for a block: the length seen at a
        # test is that of the poll after the last test. Before the first poll
        # of a block the length is older, of no known time.
        self.last_test = None

    def look(self, read_at=None):
        if self.report.looked(self.reader.dset.shape[0], read_at):
            self.writer.arrived()
            self.hinted = False

    def handed_out(self):
        self.look()
        self.last_test = None

    def is_set(self):
        if interrupted.is_set():
            return True
        self.look(self.last_test)
        self.last_test = self.report.clock()
        if not self.hinted and (hint := self.writer.stalled_hint()) is not None:
            say(hint)
            self.hinted = True
        self.closed = self.writer.finished()
        return self.closed


def run(args):
    from hdf5_kel.swmr.library.tailread import SWMRReader

    report = WatchReport(args.start, args.total, args.batch)
    if args.total is not None and args.total <= args.start:
        raise CommandError(f"--total {args.total} must be above --start {args.start}")
    blocks = f"in blocks of {args.batch}"
    if args.total is not None:
        span = f"from frame {args.start} to frame {args.total - 1} {blocks}"
    else:
        span = f"from frame {args.start} {blocks} until the writer closes the file"
    say(f"following {args.file}:{args.dataset} {span}; Ctrl-C stops")
    # Without a total the reader follows the dataset until its writer closes it.
    total = args.total if args.total is not None else sys.maxsize
    reader = None

    def hand_out(stop):
        while (block := stopped_or_interrupted(reader.read_chunk_event(stop))) is not None:
            until_done.handed_out()
            flushed = last_written(args.file, reader.dset)
            say(report.block(reader.index - len(block), len(block), flushed))

    try:
        wait_patiently_for_file(args.file, say, args.timeout)
        wait_until_followable(args.file, args.dataset, say, report.file_found)
        reader = SWMRReader(args.file, args.dataset, args.start, total, args.batch)
        check_growable(args.file, reader.dset)
        report.opened(reader.dset.shape[0])
        if report.backlog():
            say(
                f"{plural(report.backlog(), 'frame')} already there; the rates count only"
                " the frames that arrive from now on"
            )
        until_done = UntilWriterDone(reader, report)
        with explain_read_errors((args.file, reader.dset)):
            hand_out(until_done)
            if not until_done.closed:
                say(report.summary("done"))
                return 0
            # The writer closes the file after its last flush: one more
            # refresh sees every frame the file will ever hold.
            reader.dset.refresh()
            length = reader.dset.shape[0]
            reader.total_frames = report.followed(length)
            hand_out(interrupted)
    except GaveUp as error:
        say(f"gave up: {error}")
        say(report.summary("gave up"))
        return GAVE_UP
    except KeyboardInterrupt:
        say(report.summary("stopped", frames_waiting(reader) if reader is not None else 0))
        return INTERRUPTED
    finally:
        if reader is not None:
            reader.close()
    missing = 0 if args.total is None else args.total - reader.total_frames
    line = finished_line(length)
    say(
        f"{line}: {plural(missing, 'frame')} missing up to --total {args.total}"
        if missing
        else line
    )
    say(report.summary("incomplete" if missing else "done"))
    return INCOMPLETE if missing else 0


def add_parser(commands):
    watch = commands.add_parser(
        "watch",
        help="follow a growing dataset like tail -f",
        description="Follow a dataset that another process is writing in SWMR mode and"
        " print a line per block of frames as it arrives: its frame range, the rate over"
        " the latest blocks, and how long ago the file was last flushed; with --total also"
        " a progress bar. Waits for a file that does not exist yet and for its writer to"
        " switch SWMR mode on. Frames already in the file when it is opened are counted as"
        " such, not in the rates. Without --total it ends once the writer has closed the"
        " file (exit status 0); with --total, a writer that closes the file before the"
        " total ends it with status 1. The summary at the end counts the time from the start"
        " and says how much of it went to those waits.",
    )
    add_dataset_arguments(watch)
    add_threads_argument(watch)
    watch.add_argument("--start", type=non_negative_int, default=0, help="first frame (default: 0)")
    watch.add_argument(
        "--total",
        type=positive_int,
        help="end frame, exclusive: stop there (default: until the writer closes the file)",
    )
    watch.add_argument(
        "--batch",
        type=positive_int,
        default=10,
        help="frames per block; a block is shown once whole (default: 10)",
    )
    add_timeout_argument(watch)
    watch.set_defaults(run=run, waits_on_flag=True)
