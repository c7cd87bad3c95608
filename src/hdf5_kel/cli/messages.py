"""What every command shares: exit statuses, argument types, error lines."""

import argparse
import math

from .. import follow

# Exit statuses, as h5diff has them for comparisons.
EQUAL, DIFFERENT, FAILED = 0, 1, 2
# watch: the writer closed the file before the frames asked for were there.
INCOMPLETE = 1
# watch and view: the file did not appear within --timeout.
GAVE_UP = 1
INTERRUPTED = 130


class CommandError(Exception):
    """A failure that the command explains in its own words."""


def whole_number(text, minimum, rule):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < minimum:
        raise argparse.ArgumentTypeError(f"{rule}, got {value}")
    return value


def positive_int(text):
    return whole_number(text, 1, "must be at least 1")


def non_negative_int(text):
    return whole_number(text, 0, "must be 0 or more")


def seconds_at_least(minimum):
    """An argument type: a number of seconds no smaller than `minimum`."""

    def seconds(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
        if not (value >= minimum and math.isfinite(value)):  # NaN and infinity too
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {text}")
        return value

    return seconds


def element_type(text):
    import numpy as np

    try:
        return np.dtype(text)
    except TypeError:
        raise argparse.ArgumentTypeError(f"not an element type numpy knows: {text!r}") from None


def one_line(error):
    """An exception as one line; a CommandError or the library's FollowError
    without its class, their messages being written for the user."""
    return follow.one_line(error, plain=(CommandError, follow.FollowError))


def plural(count, noun):
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"
