"""Command line of hdf5_kel: `python -m hdf5_kel COMMAND`, or `hdf5-kel COMMAND`.

demo              start a test writer in a child process and follow its growing file live
watch             follow a growing dataset like `tail -f`
view              follow a growing dataset in the browser
write             write a growing test file with one of the test writers
simulate          write detector-like frames at a chosen rate
compare           compare a dataset in two files; exit status 0 equal, 1 different, 2 error
compare-subfiles  compare numbered sub-files with a main dataset, with the same statuses

One module per command; each has `add_parser` (or `add_parsers`) and the
functions its parsers run. What they share is in `messages`, `signals` and
`followers`, over the library's own waits and checks in `hdf5_kel.follow`.
"""

import argparse
import io
import os
import signal
import sys
import threading

from .. import __version__
from ..follow import load_filter_plugins
from . import compare, demo, simulate, view, watch, write
from .messages import FAILED, INTERRUPTED, one_line
from .signals import interrupt, received, reset, stop_on_sigterm, waits_on_flag


def build_parser(prog="python -m hdf5_kel"):
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Follow HDF5 files that another process is still writing in SWMR mode.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    demo.add_parser(commands)
    watch.add_parser(commands)
    view.add_parser(commands)
    write.add_parser(commands)
    simulate.add_parser(commands)
    compare.add_parsers(commands)
    return parser


def main(argv=None, prog="python -m hdf5_kel"):
    args = build_parser(prog).parse_args(argv)
    if getattr(args, "threads", None) is not None:
        os.environ["HDF5_KEL_THREADS"] = str(args.threads)
    # Progress lines go out as they happen, into a pipe too: another process
    # may be waiting for a writer's first line before it starts reading.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)
    reset()
    # A command whose every wait tests the flag says so with its parser's
    # defaults; it is set before the command's first step, so that a Ctrl-C at
    # any moment (the writer of the demo or the view's server still starting)
    # takes the command's own way out.
    if getattr(args, "waits_on_flag", False):
        waits_on_flag.set()
    load_filter_plugins()
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


def console():
    """The hdf5-kel console script."""
    stop_on_sigterm()
    return main(prog="hdf5-kel")
