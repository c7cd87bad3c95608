"""Ctrl-C and SIGTERM for the commands that wait.

Ctrl-C raises KeyboardInterrupt wherever Python happens to be, and Python
prints and drops it when that is inside a callback (h5py runs weakref
callbacks as it releases objects). So Ctrl-C sets a flag, and while every wait
of a command tests the flag (`waits_on_flag`, set for the commands whose
parsers say so), it raises nothing at all.
"""

import signal
import threading

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


def reset():
    interrupted.clear()
    waits_on_flag.clear()
    received.clear()


def stop_on_sigterm():
    # A plain kill takes the same way out as Ctrl-C does: writer stopped,
    # temporary file removed; the exit status is 143.
    signal.signal(signal.SIGTERM, interrupt)
