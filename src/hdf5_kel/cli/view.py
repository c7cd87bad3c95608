"""`view`: follow a growing dataset in the browser.

The main thread follows the dataset with SWMRCount at the page's pace and keeps
only the newest frame as read (or the newest values of a one-axis dataset). A
standard library HTTP server hands out what the pages ask for from threads of
its own: the newest frame made ready to draw (a 2-D plane or a region of it,
binned down, float32, with its percentiles and histogram), an earlier frame read
from the file, or one value. A slow or vanished page never holds the follower up.
"""

import argparse
import collections
import contextlib
import errno
import hmac
import html
import ipaddress
import json
import math
import os
import re
import secrets
import shutil
import socket
import socketserver
import sys
import tempfile
import threading
import time
import urllib.parse
import webbrowser
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources

from ..follow import WriterWatch, check_if_present, explain_read_errors
from .followers import (
    GaveUp,
    SlidingRate,
    add_dataset_arguments,
    add_threads_argument,
    add_timeout_argument,
    finished_line,
    newest_rows,
    say,
    seconds_since_flush,
    wait_patiently_for_file,
    wait_until_followable,
)
from .messages import (
    GAVE_UP,
    INTERRUPTED,
    CommandError,
    non_negative_int,
    one_line,
    plural,
    seconds_at_least,
)
from .signals import interrupted
from .view_tools import (
    MaskError,
    ToolError,
    Tools,
    finite_list,
    line_points,
    mask_in,
    nexus_mask_path,
    read_mask_file,
    split_mask_argument,
)

LOOPBACK = "127.0.0.1"
# The page gets at most this many values along each axis of an image...
MAX_SIDE = 1024
# ...and along a line plot, which has no use for more points than pixels.
MAX_POINTS = 4096
# Values of a one-axis dataset kept for its plot over time.
HISTORY = 4096
RATE_WINDOW = 5.0
# Quiet for longer than this (or three updates, if longer) counts as stalled.
STALLED_AFTER = 5.0
MIN_EVERY = 0.2
# The automatic contrast: these percentiles of the drawn values, so that a few
# hot or masked pixels do not squeeze the rest into the bottom of the map.
PERCENTILES = (0.1, 99.9)
HISTOGRAM_BINS = 64
# What a request for an image may ask besides its plane: the frame after the
# one the page has, an earlier frame, the sum or mean of the last N frames,
# and values along a line (row,column,row,column).
PICTURE_PARAMETERS = ("after", "number", "sum", "mean", "profile")
# The most bytes of new frames read at once when every frame is looked at.
READ_BYTES = 64 << 20
# Prepared pictures kept, so that pages that ask for the same one share it.
PICTURES_KEPT = 8
# Connections served at once; one more is answered 503 and closed, so that a
# crowd of clients cannot start threads without end.
MAX_CONNECTIONS = 64
# The header the page sends its token in (image-like requests may use the query).
TOKEN_HEADER = "X-View-Token"
# A number in a query: ASCII digits, and a minus sign for the messages that
# name a negative one (int() would also take "+5", "1_0" and other scripts' digits).
WHOLE_NUMBER = re.compile(r"-?[0-9]+")

STATE_TEXT = {
    "no file": "waiting for the file to appear",
    "no swmr": "file found; waiting for the writer to switch SWMR mode on",
    "empty": "following; the dataset has no frames yet",
    "following": "following",
}


def drawable(dtype):
    """Whether elements of the type can be drawn: numbers, complex ones by magnitude."""
    return dtype.kind in "biufc"


def as_numbers(values):
    import numpy as np

    return np.abs(values) if values.dtype.kind == "c" else values


def value_range(values):
    """[lowest, highest] of the finite values, or None when there are none."""
    import numpy as np

    if values.dtype.kind == "f":
        values = values[np.isfinite(values)]
    if values.size == 0:
        return None
    return [float(values.min()), float(values.max())]


def bin_down(values, limit, mask=None):
    """The values as little-endian float32, each axis binned down to at most
    `limit` by means over runs of neighbours (the last run may be shorter),
    with the binning factors; and where `mask` (True: masked) is given, means
    over the pixels not masked and which binned pixels are all masked."""
    import numpy as np

    factors = []
    counts = None
    if mask is not None:
        values = np.where(mask, 0.0, values.astype(np.float64, copy=False))
        counts = (~mask).astype(np.float64)
    for axis, length in enumerate(values.shape):
        factor = max(-(-length // limit), 1)
        factors.append(factor)
        if factor > 1:
            starts = np.arange(0, length, factor)
            sums = np.add.reduceat(values.astype(np.float64, copy=False), starts, axis=axis)
            if counts is None:
                runs = np.diff(np.append(starts, length))
                values = sums / runs.reshape([-1 if a == axis else 1 for a in range(values.ndim)])
            else:
                values, counts = sums, np.add.reduceat(counts, starts, axis=axis)
    binned_mask = None
    if counts is not None:
        binned_mask = counts == 0
        with np.errstate(invalid="ignore", divide="ignore"):
            values = np.where(binned_mask, 0.0, values / counts)
    return np.ascontiguousarray(values, dtype="<f4"), factors, binned_mask


def value_statistics(values):
    """The percentiles of the finite values drawn (binned float32), how many
    are left out (NaN, infinities), and a histogram around the percentiles."""
    import numpy as np

    finite = values[np.isfinite(values)]
    stats = {"percentiles": None, "left_out": int(values.size - finite.size), "histogram": None}
    if finite.size == 0:
        return stats
    low, high = (float(v) for v in np.percentile(finite, PERCENTILES))
    # The bins span the percentiles with a margin, not the whole range: a hot
    # pixel at 65535 would otherwise put every other value into the first bin.
    margin = (high - low) / 4 or 0.5
    start = max(float(finite.min()), low - margin)
    stop = min(float(finite.max()), high + margin)
    if stop <= start:
        stop = start + 1.0
    counts, _ = np.histogram(finite, bins=HISTOGRAM_BINS, range=(start, stop))
    stats["percentiles"] = [low, high]
    stats["histogram"] = {
        "range": [start, stop],
        "counts": counts.tolist(),
        "below": int(np.count_nonzero(finite < start)),
        "above": int(np.count_nonzero(finite > stop)),
    }
    return stats


class BadRequest(Exception):
    """A page's request that names no part of the followed dataset: 400 and its text."""


class Pending(Exception):
    """What a page asked for is being made: it is there at a later update."""


def whole_numbers(query, name, count=None):
    """The comma-separated whole numbers of query parameter `name`, or None."""
    text = query.get(name, [None])[-1]
    if text is None:
        return None
    parts = text.split(",") if text else []  # empty: the position in a frame of no axes
    if not all(WHOLE_NUMBER.fullmatch(part) for part in parts):
        expected = "a whole number" if count == 1 else "whole numbers separated by commas"
        raise BadRequest(f"{name}: not {expected}: {text!r}")
    numbers = [int(part) for part in parts]
    if count is not None and len(numbers) != count:
        raise BadRequest(f"{name}: {plural(count, 'number')} expected, got {len(numbers)}")
    return numbers


def refuse_extra(query, allowed):
    extra = sorted(set(query) - set(allowed) - {"token"})
    if extra:
        raise BadRequest(f"unknown parameter {extra[0]!r}")


def ranges_of(query, name, extents):
    """The half-open ranges of `name` (start,stop per axis) within `extents`,
    or None when the query has none."""
    bounds = whole_numbers(query, name, 2 * len(extents))
    if bounds is None:
        return None
    ranges = list(zip(bounds[::2], bounds[1::2]))
    for (start, stop), extent in zip(ranges, extents):
        if not 0 <= start < stop <= extent:
            raise BadRequest(f"{name}: {start},{stop} is not a range within 0 to {extent}")
    return ranges


class Plane:
    """What a page asks of one frame: the frame's two shown axes (rows, then
    columns), the index along every other axis, and a region of the plane.
    `also` names the other query parameters the request may have."""

    def __init__(self, query, frame_shape, also=("after", "number")):
        ndim = len(frame_shape)
        if ndim == 1:
            refuse_extra(query, ("region", *also))
            self.axes, self.index = (0,), ()
        else:
            refuse_extra(query, ("axes", "index", "region", *also))
            axes = whole_numbers(query, "axes", 2) or [0, 1]
            if len(set(axes)) != 2 or not all(0 <= a < ndim for a in axes):
                raise BadRequest(f"axes: two different axes of 0 to {ndim - 1} expected")
            others = [a for a in range(ndim) if a not in axes]
            index = whole_numbers(query, "index", len(others)) or [0] * len(others)
            for axis, at in zip(others, index):
                if not 0 <= at < frame_shape[axis]:
                    raise BadRequest(
                        f"index: {at} is outside axis {axis} (0 to {frame_shape[axis] - 1})"
                    )
            self.axes, self.index = tuple(axes), tuple(index)
        self.extent = tuple(frame_shape[a] for a in self.axes)
        whole = [(0, extent) for extent in self.extent]
        self.region = tuple(ranges_of(query, "region", self.extent) or whole)

    def key(self):
        return self.axes, self.index, self.region

    def selection(self, region=None):
        """The index of the frame's elements that this plane reads: its
        region, or the given one."""
        ranges = dict(zip(self.axes, region or self.region))
        others = iter(self.index)
        count = len(self.axes) + len(self.index)
        return tuple(slice(*ranges[a]) if a in ranges else next(others) for a in range(count))

    def whole(self):
        return self.selection([(0, extent) for extent in self.extent])

    def of(self, part):
        """The plane, rows along the first shown axis, out of what `selection` read."""
        return part.T if self.transposed() else part

    def transposed(self):
        return len(self.axes) == 2 and self.axes[0] > self.axes[1]

    def of_frames(self, frames):
        """The whole plane of each of `frames` (frames along the first axis), as numbers."""
        return self.of_planes(frames[(slice(None), *self.whole())])

    def of_planes(self, planes):
        """As numbers, rows along the first shown axis, out of what `whole` read
        of several frames."""
        return as_numbers(planes.swapaxes(1, 2) if self.transposed() else planes)


class Display:
    """What the pages are shown: written by the follower, read by the server's threads."""

    def __init__(self, path, dataset, every, address, exposed, mask_option=None):
        self.path = path
        self.dataset = dataset
        self.every = every
        self.address = address
        self.exposed = exposed
        # None: the detector's pixel_mask if the file has one; "none": no
        # mask; else the (file, dataset) given.
        self.mask_option = mask_option
        self.lock = threading.Lock()
        # Held around every use of the dataset, by the follower and the server:
        # reading a frame while the follower refreshes must not interleave.
        self.reading = threading.Lock()
        # One picture made at a time: pages that ask for the same one share it.
        self.preparing = threading.Lock()
        self.pictures = collections.OrderedDict()
        self.tools = Tools()
        self.state = "no file"
        self.dset = None
        self.shape = self.dtype = None
        self.length = 0
        self.grown_at = None
        self.rate = SlidingRate(RATE_WINDOW)
        self.kind = None
        self.history = None
        self.newest = None
        self.finished = False
        self.hint = None
        self.mask = self.mask_source = None

    def waiting_for_swmr(self):
        with self.lock:
            self.state = "no swmr"

    def opened(self, dset):
        """Follow `dset` from now on; the number of newest rows to read per update."""
        kind = "none"
        if drawable(dset.dtype):
            kind = {1: "series", 2: "line"}.get(dset.ndim, "image")
        mask, source = self.load_mask(dset, kind)
        with self.lock:
            self.state = "following"
            self.dset = dset
            self.shape, self.dtype = dset.shape, dset.dtype
            self.grown_at = time.monotonic()
            self.kind = kind
            self.mask, self.mask_source = mask, source
        return HISTORY if self.kind == "series" else 1

    def load_mask(self, dset, kind):
        """(mask, where it is from) for the frames of `dset`, or (None, None)."""
        given = self.mask_option not in (None, "none")
        if given and kind != "image":
            raise CommandError(f"--mask: the frames of {self.dataset} are not images")
        if kind != "image" or self.mask_option == "none":
            return None, None
        frame_shape = dset.shape[1:]
        with data_file(self.path, dset) as file:
            if given:
                path, name = self.mask_option
                where = f"{path}:{name}"
                try:
                    if os.path.exists(path) and os.path.samefile(path, self.path):
                        return mask_in(file, where, name, frame_shape), where
                    return read_mask_file(path, name, frame_shape), where
                except MaskError as error:
                    raise CommandError(f"--mask {error}") from None
            name = nexus_mask_path(file, self.dataset)
            if name is None:
                return None, None
            try:
                return mask_in(file, f"{self.path}:{name}", name, frame_shape), name
            except MaskError as error:
                say(f"the detector's pixel mask is not used: {error}")
                return None, None

    def update(self, rows, shape, finished=False, hint=None):
        """One poll: `rows` the newest rows read (None if none), `shape` the
        dataset's; `finished` once the writer has closed the file."""
        import numpy as np

        now = time.monotonic()
        history = self.history
        if rows is not None and self.kind == "series":
            new = as_numbers(rows).astype(np.float64)
            kept = new if history is None else np.concatenate([history, new])
            history = kept[-HISTORY:]
        with self.lock:
            self.rate.add(now, shape[0])
            if shape[0] != self.length:
                self.grown_at = now
            self.length = shape[0]
            self.shape = shape
            self.finished, self.hint = finished, hint
            if rows is not None:
                self.newest, self.history = rows[-1], history

    def read(self, index):
        """Elements of the dataset, read through the follower's own handle."""
        with self.reading:
            return self.dset[index]

    def earlier_planes(self, start, stop, plane):
        """The whole plane of frames start to stop, read from the file (to
        start a sum with the frames that came before it)."""
        import numpy as np

        return plane.of_planes(np.asarray(self.read((slice(start, stop), *plane.whole()))))

    def plane_mask(self, plane, whole=False):
        """The mask of the plane's region (or of the whole plane), or None."""
        if self.mask is None:
            return None
        return plane.of(self.mask[plane.whole() if whole else plane.selection()])

    def image_plane(self, query, also):
        """The Plane of an image that `query` names, for the tools."""
        with self.lock:
            kind = self.kind
            frame_shape = None if self.shape is None else tuple(self.shape[1:])
        if kind != "image":
            raise BadRequest("regions, sums and profiles are for frames of two or more axes")
        return Plane(query, frame_shape, also)

    def picture(self, query):
        """(description, float32 bytes, then a byte per value where a mask
        applies) of what `query` asks for; None while there is nothing newer
        than its `after`, or nothing at all."""
        with self.lock:
            kind, length, newest, history = self.kind, self.length, self.newest, self.history
            frame_shape = None if self.shape is None else tuple(self.shape[1:])
        if newest is None:
            return None
        newest_number = length - 1
        summed = profile = None
        if kind in ("none", "series"):
            refuse_extra(query, ("after",))
            plane, number = None, newest_number
        else:
            also = PICTURE_PARAMETERS if kind == "image" else ("after", "number")
            plane = Plane(query, frame_shape, also)
            number = whole_numbers(query, "number", 1)
            try:
                summed = self.recent_sum(query, plane, number)
            except Pending:
                return None
            if summed is not None:
                number = summed[0]
            elif number is None:
                number = newest_number
            else:
                number = self.frame_number(number[0], length)
            line = whole_numbers(query, "profile", 4)
            profile = None if line is None else tuple(line)
        if query.get("after", [None])[-1] == str(number):
            return None
        key = (number,)
        if plane is not None:
            how = None if summed is None else (summed[1]["how"], summed[1]["count"])
            key += (*plane.key(), how, profile)
        with self.preparing:
            made = self.pictures.get(key)
            if made is None:
                shown = self.whole_plane(number, newest_number, newest, plane, summed)
                made = self.prepare(kind, number, history, plane, shown, summed, profile)
                self.pictures[key] = made
                while len(self.pictures) > PICTURES_KEPT:
                    self.pictures.popitem(last=False)
            self.pictures.move_to_end(key)
        return made

    def recent_sum(self, query, plane, number):
        """The newest (last frame, frames summed, values) of the sum or mean
        the query asks for; None if it asks for none. Raises Pending while
        the sum is being started."""
        chosen = [name for name in ("sum", "mean") if name in query]
        if not chosen:
            return None
        if len(chosen) == 2:
            raise BadRequest("sum, mean: ask for one of them")
        if number is not None:
            raise BadRequest(f"{chosen[0]}: of the newest frames, it cannot go with number")
        count = whole_numbers(query, chosen[0], 1)[0]
        import numpy as np

        with self.lock:
            dtype = self.dtype
        plane_dtype = as_numbers(np.empty(0, dtype)).dtype
        try:
            recent = self.tools.recent_sum(plane, count, plane.extent, plane_dtype)
        except ToolError as error:
            raise BadRequest(str(error)) from None
        made = recent.snapshot(mean=chosen[0] == "mean")
        if made is None:
            raise Pending
        last, frames, values = made
        return last, {"how": chosen[0], "frames": [last - frames + 1, last], "count": count}, values

    def whole_plane(self, number, newest_number, newest, plane, summed):
        """The values of the whole plane the picture and its profile come from
        (None for a dataset of one axis)."""
        import numpy as np

        if plane is None:
            return None
        if summed is not None:
            return summed[2]
        if number == newest_number:
            return as_numbers(plane.of(np.asarray(newest[plane.whole()])))
        return as_numbers(plane.of(np.asarray(self.read((number, *plane.whole())))))

    @staticmethod
    def frame_number(number, length):
        if not 0 <= number < length:
            raise BadRequest(
                f"number: frame {number} is not in the file, which has {plural(length, 'frame')}"
            )
        return number

    def prepare(self, kind, number, history, plane, whole, summed, profile):
        import numpy as np

        picture = {"kind": kind, "number": number}
        if kind == "none":
            return picture, b""
        mask = binned_mask = None
        if kind == "series":
            shown, limit = history, HISTORY
            picture["first"] = number + 1 - len(shown)
        else:
            region = tuple(slice(*r) for r in plane.region)
            shown = whole[region]
            mask = self.plane_mask(plane)
            limit = MAX_SIDE if kind == "image" else MAX_POINTS
            picture.update(axes=list(plane.axes), index=list(plane.index))
            picture["region"] = [list(r) for r in plane.region]
            if summed is not None:
                picture["summed"] = summed[1]
            if profile is not None:
                try:
                    rows, cols = line_points(profile, plane.extent, MAX_POINTS)
                except ToolError as error:
                    raise BadRequest(str(error)) from None
                along = whole[rows, cols].astype(np.float64)
                if mask is not None:
                    along[self.plane_mask(plane, whole=True)[rows, cols]] = np.nan
                picture["profile"] = {"line": list(profile), "values": finite_list(along)}
        data, factors, binned_mask = bin_down(shown, limit, mask)
        counted = shown if mask is None else shown[~mask]
        picture.update(shape=list(data.shape), binned=factors, range=value_range(counted))
        picture.update(value_statistics(data if binned_mask is None else data[~binned_mask]))
        payload = data.tobytes()
        if binned_mask is not None:
            picture["masked"] = int(np.count_nonzero(mask))
            payload += binned_mask.astype(np.uint8).tobytes()
        return picture, payload

    def series(self, query):
        """The region the query names: made on first asking, then its rows
        after frame `after` (JSON)."""
        region = self.region(query, ("box", "after"))
        after = whole_numbers(query, "after", 1)
        return region.after(None if after is None else after[0])

    def series_csv(self, query):
        return self.region(query, ("box",)).csv()

    def region(self, query, also):
        plane = self.image_plane(query, also)
        if "region" in query:
            raise BadRequest("unknown parameter 'region'")
        box = ranges_of(query, "box", plane.extent)
        if box is None:
            raise BadRequest("box: the region's rows and columns are missing")
        box = [v for r in box for v in r]
        try:
            return self.tools.region(plane, box, self.plane_mask(plane, whole=True))
        except ToolError as error:
            raise BadRequest(str(error)) from None

    def value(self, query):
        """One element of a frame, as the file holds it (JSON)."""
        with self.lock:
            kind, length, newest = self.kind, self.length, self.newest
            frame_shape = None if self.shape is None else tuple(self.shape[1:])
        if newest is None or kind == "none":
            raise BadRequest("no value to show")
        refuse_extra(query, ("number", "at"))
        number = whole_numbers(query, "number", 1)
        if number is None:
            raise BadRequest("number: the frame number is missing")
        number = self.frame_number(number[0], length)
        at = whole_numbers(query, "at", len(frame_shape))
        if at is None:
            raise BadRequest("at: the position in the frame is missing")
        for axis, (i, extent) in enumerate(zip(at, frame_shape)):
            if not 0 <= i < extent:
                raise BadRequest(f"at: {i} is outside axis {axis} (0 to {extent - 1})")
        value = newest[tuple(at)] if number == length - 1 else self.read((number, *at))
        answer = {"number": number, "at": at, "value": str(value)}
        if self.mask is not None and frame_shape:
            answer["masked"] = bool(self.mask[tuple(at)])
        return answer

    def status(self):
        now = time.monotonic()
        with self.lock:
            state = self.state
            idle = None if self.grown_at is None else now - self.grown_at
            if state == "following" and self.length == 0:
                state = "empty"
            text = STATE_TEXT[state]
            if self.finished:
                state = "finished"
                text = finished_line(self.length)
            elif state == "following" and idle > max(STALLED_AFTER, 3 * self.every):
                state = "stalled"
                text = f"no new frames for {idle:.0f} s"
            picture = None
            if self.newest is not None:
                picture = {"kind": self.kind, "number": self.length - 1}
            return {
                "state": state,
                "message": text,
                "hint": self.hint,
                "file": self.path,
                "dataset": self.dataset,
                "address": self.address,
                "exposed": self.exposed,
                "every": self.every,
                "shape": None if self.shape is None else list(self.shape),
                "dtype": None if self.dtype is None else str(self.dtype),
                "frames": self.length,
                "rate": self.rate.per_second(),
                "idle": idle,
                "flushed_ago": None if state == "no file" else seconds_since_flush(self.path),
                "picture": picture,
                "mask": None
                if self.mask is None
                else {"source": self.mask_source, "masked": int(self.mask.sum())},
            }


@contextlib.contextmanager
def data_file(path, dset):
    """The open file that holds the followed dataset: its own; for an
    acquisition over several files, the file named on the command line,
    opened for the while."""
    import h5py

    if isinstance(dset, h5py.Dataset):
        yield dset.file
        return
    with h5py.File(path, "r", libver="latest", swmr=True) as file:
        yield file


def port_number(text):
    value = non_negative_int(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"must be 65535 or less, got {value}")
    return value


def is_loopback(host):
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def page():
    return resources.files(__package__).joinpath("view.html").read_bytes()


class PageRequests(BaseHTTPRequestHandler):
    """GET / (the page), /status (JSON), /frame (float32 values, described in
    X-Picture, then a byte per value where a mask applies; /frame?after=N
    answers 204 No Content while frame N is the newest), /value (one element
    of a frame, JSON) and /series (a region's sum, mean and maximum per frame,
    JSON; /series.csv the same as a file). Every one needs the
    token, in the X-View-Token header or as the `token` query parameter. No
    cookie carries it: a browser sends a host's cookies to every port of the
    host, so any other server on this machine that the browser visits would
    get it."""

    server_version = "hdf5-kel-view"
    protocol_version = "HTTP/1.1"
    # A connection left idle this long is closed, so that forgotten ones do not pile up.
    timeout = 60

    def setup(self):
        # Each reply leaves in one write; without Nagle's algorithm it goes at
        # once instead of waiting for the client's delayed acknowledgement.
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().setup()

    def do_GET(self):
        server = self.server
        if not server.serves_host(self.headers.get("Host")):
            # A page of another site reached through a name that resolves to
            # this machine must not read the data.
            self.reply(403, "text/plain", b"this view answers to its loopback address only\n")
            return
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        token = self.headers.get(TOKEN_HEADER, query.get("token", [None])[-1])
        if not server.admits(token):
            self.reply(
                403, "text/plain", b"this view needs its token: open the address it printed\n"
            )
            return
        route = url.path
        try:
            if route in ("/", "/index.html"):
                self.reply(200, "text/html; charset=utf-8", server.page)
            elif route == "/status":
                self.reply(200, "application/json", json.dumps(server.display.status()).encode())
            elif route == "/value":
                self.reply(
                    200, "application/json", json.dumps(server.display.value(query)).encode()
                )
            elif route == "/series":
                self.reply(
                    200, "application/json", json.dumps(server.display.series(query)).encode()
                )
            elif route == "/series.csv":
                text = server.display.series_csv(query)
                name = "region-" + "-".join(query["box"][-1].split(",")) + ".csv"
                disposition = {"Content-Disposition": f'attachment; filename="{name}"'}
                self.reply(200, "text/csv; charset=utf-8", text.encode(), disposition)
            elif route == "/frame":
                made = server.display.picture(query)
                if made is None:
                    self.reply(204, None, b"")
                else:
                    picture, payload = made
                    extra = {"X-Picture": json.dumps(picture)}
                    self.reply(200, "application/octet-stream", payload, extra)
            else:
                self.reply(404, "text/plain", b"not found\n")
        except BadRequest as error:
            self.reply(400, "text/plain; charset=utf-8", f"{error}\n".encode())
        except Exception as error:  # noqa: BLE001 - a failed read is the page's to show, in one line
            self.reply(500, "text/plain; charset=utf-8", f"{one_line(error)}\n".encode())

    def reply(self, code, content_type, body, headers=None):
        try:
            self.send_response(code)
            if content_type is not None:
                self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            # The address holds the token: no link may pass it on.
            self.send_header("Referrer-Policy", "no-referrer")
            for name, value in (headers or {}).items():
                self.send_header(name, value)
            # The headers end and go out with the body, in one write.
            self._headers_buffer.append(b"\r\n")
            head = b"".join(self._headers_buffer)
            self._headers_buffer = []
            self.wfile.write(head + body)
        except ConnectionError:
            self.close_connection = True  # the page went away mid-response

    def log_message(self, format, *args):
        pass  # a line per request would bury the command's own lines


def url_of(address, token):
    host, port = address[:2]
    host = f"[{host}]" if ":" in host else host
    return f"http://{host}:{port}/?token={token}"


def cannot_listen(host, port, error):
    """What a failed listen means, in the user's words."""
    if error.errno == errno.EADDRINUSE:
        return f"port {port} is in use: choose another with --port"
    if error.errno == errno.EACCES:
        return f"port {port} is reserved for the administrator: choose one above 1023 with --port"
    if error.errno == errno.EADDRNOTAVAIL:
        return f"cannot listen on {host}: it is not an address of this machine"
    if isinstance(error, socket.gaierror):
        return f"cannot listen on {host}: no such host name"
    return f"cannot listen on {host}, port {port}: {error.strerror or one_line(error)}"


BUSY_TEXT = b"too many connections to this view at once\n"
BUSY_REPLY = (
    b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
    b"Content-Length: %d\r\nRetry-After: 1\r\nConnection: close\r\n\r\n%s"
) % (len(BUSY_TEXT), BUSY_TEXT)


class ViewServer(ThreadingHTTPServer):
    """Serves the page and what `display` (set before serving starts) has to show."""

    daemon_threads = True

    def __init__(self, host, port):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        try:
            super().__init__((host.strip("[]"), port), PageRequests)
        except OSError as error:
            raise CommandError(cannot_listen(host, port, error)) from error
        self.exposed = not is_loopback(self.server_address[0])
        self.token = secrets.token_hex(24)
        self.url = url_of(self.server_address, self.token)
        self.page = page()
        self.display = None
        self.connections = threading.BoundedSemaphore(MAX_CONNECTIONS)

    def server_bind(self):
        # HTTPServer's own would look the host's name up, which may ask a DNS server.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def serves_host(self, host_header):
        if self.exposed or host_header is None:
            return True
        try:
            name = urllib.parse.urlsplit("//" + host_header).hostname
        except ValueError:
            return False
        return name is not None and is_loopback(name)

    def admits(self, token):
        """Whether a request carries the token."""
        if token is None:
            return False
        return hmac.compare_digest(token.encode("utf-8", "replace"), self.token.encode())

    def process_request(self, request, client_address):
        if not self.connections.acquire(blocking=False):
            try:
                request.settimeout(1.0)  # the serving thread must not wait on a client
                request.sendall(BUSY_REPLY)
            except OSError:
                pass
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self.connections.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.connections.release()

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def follow(display, path, dataset, every, timeout):
    """Follow the dataset until Ctrl-C or SIGTERM, handing each update to `display`."""
    from hdf5_kel.swmr.library.tailread import SWMRCount

    wait_patiently_for_file(path, say, timeout)
    wait_until_followable(path, dataset, say, display.waiting_for_swmr)
    counter = SWMRCount(path, dataset, total_count=sys.maxsize)
    writer = WriterWatch(path, counter.dset)
    finished = False

    def read(every_frame):
        with display.reading, explain_read_errors((path, counter.dset)):
            if every_frame:
                rows = next_rows(counter, per_read)
            else:
                rows = newest_rows(counter, keep)
            return rows, counter.dset.shape

    try:
        if counter.dset.ndim == 0:
            raise CommandError(f"{path}:{dataset} has no axis to grow along")
        keep = display.opened(counter.dset)
        frame_bytes = math.prod(counter.dset.shape[1:]) * counter.dset.dtype.itemsize
        per_read = max(READ_BYTES // max(frame_bytes, 1), 1)
        while True:
            # While a page uses a region or a sum, every frame is read (in
            # blocks) and handed to them; else only the newest.
            tools = display.tools.prepare(counter.index, display.earlier_planes)
            rows, shape = read(bool(tools))
            if rows is not None:
                writer.arrived()
                finished = False
            elif not finished and writer.finished():
                # Closed after its last flush: this refresh sees every frame.
                rows, shape = read(bool(tools))
                finished = counter.index >= shape[0]
                if finished:
                    say(finished_line(shape[0]))
            if rows is not None:
                first = counter.index - len(rows)
                for tool in tools:
                    tool.add(tool.plane.of_frames(rows), first)
            display.update(rows, shape, finished, None if finished else writer.stalled_hint())
            # A full block read: more may be there at once.
            behind = rows is not None and counter.index < shape[0]
            if interrupted.wait(0 if behind else every):
                raise KeyboardInterrupt
    finally:
        with display.reading:
            counter.close()


def next_rows(counter, limit):
    """The next rows after the counter's position, at most `limit`, or None."""
    dset = counter.dset
    dset.refresh()
    shape = dset.shape
    if shape[0] <= counter.index:
        return None
    return counter.modify(dset, (min(shape[0], counter.index + limit), *shape[1:]))


class Opener:
    """What `--open` hands the browser: a file that sends it on to the address.

    The address holds the token, and a browser's command line is there for
    every user of the machine to read (ps) for as long as the browser runs.
    The file is in a folder of its own that only this user can enter, and goes
    with the folder when the view ends."""

    def __init__(self, url):
        self.folder = tempfile.mkdtemp(prefix="hdf5-kel-view-")
        self.path = os.path.join(self.folder, "open.html")
        address = html.escape(url)
        text = (
            f'<!doctype html><meta charset="utf-8"><meta name="referrer" content="no-referrer">'
            f'<meta http-equiv="refresh" content="0;url={address}">'
            f'<title>hdf5-kel view</title><a href="{address}">the view</a>\n'
        )
        descriptor = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "w", encoding="utf-8") as file:
            file.write(text)

    def open(self):
        if not webbrowser.open(f"file://{urllib.parse.quote(self.path)}"):
            say("no browser found: open the address above")

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def check_mask_file(data_path, path, dataset):
    """Refuse at once a mask given that cannot be read; one in the data file
    itself is read once that is open."""
    if path == data_path or (
        os.path.exists(path) and os.path.exists(data_path) and os.path.samefile(path, data_path)
    ):
        return
    try:
        read_mask_file(path, dataset)
    except MaskError as error:
        raise CommandError(f"--mask {error}") from None


def mask_argument(text):
    try:
        return split_mask_argument(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def run(args):
    # A file that is there is checked before the address goes out: a wrong
    # dataset is one line, not an address that shows nothing.
    check_if_present(args.file, args.dataset)
    mask_option = "none" if args.no_mask else args.mask
    if args.mask is not None:
        check_mask_file(args.file, *args.mask)
    server = ViewServer(args.host, args.port)
    server.display = Display(
        args.file, args.dataset, args.every, server.url, server.exposed, mask_option
    )
    opener = Opener(server.url) if args.open else None
    print(server.url, flush=True)
    threading.Thread(target=server.serve_forever, name="view server", daemon=True).start()
    try:
        print(
            f"following {args.file}:{args.dataset}, the page updates every {args.every:g} s;"
            " Ctrl-C stops",
            flush=True,
        )
        if server.exposed:
            print(
                f"listening on {args.host}: the view is reachable from the network; anyone"
                " who has its address with the token can see the data",
                file=sys.stderr,
                flush=True,
            )
        if opener is not None:
            # In a thread: a browser that runs in the terminal would hold the follower up.
            threading.Thread(target=opener.open, daemon=True).start()
        follow(server.display, args.file, args.dataset, args.every, args.timeout)
    except GaveUp as error:
        say(f"gave up: {error}")
        return GAVE_UP
    except KeyboardInterrupt:
        print(f"stopped: {plural(server.display.length, 'frame')} in the dataset", flush=True)
        return INTERRUPTED
    finally:
        server.shutdown()
        server.server_close()
        if opener is not None:
            opener.remove()


def add_parser(commands):
    view = commands.add_parser(
        "view",
        help="follow a growing dataset in the browser",
        description="Follow a dataset that another process is writing in SWMR mode and serve"
        " a page that shows its newest frame (an image, a line plot, or for a dataset of one"
        " axis its values over time), the frame number, the rate and how long ago the file"
        " was last flushed; for images also the sum or mean of the last N frames, regions"
        " over time and line profiles, with the detector's pixel mask left out."
        " The first line printed is the page's address. Waits for a file"
        " that does not exist yet (with --timeout, only so long); runs until Ctrl-C.",
    )
    add_dataset_arguments(view)
    add_threads_argument(view)
    view.add_argument(
        "--host",
        default=LOOPBACK,
        help=f"address to listen on (default: {LOOPBACK}, this machine only); any other"
        " lets every machine that reaches it see the data",
    )
    view.add_argument(
        "--port",
        type=port_number,
        default=0,
        help="port to listen on (default: 0, a free one)",
    )
    view.add_argument(
        "--every",
        type=seconds_at_least(MIN_EVERY),
        default=0.5,
        metavar="S",
        help=f"seconds between updates of the page, at least {MIN_EVERY} (default: 0.5)",
    )
    view.add_argument("--open", action="store_true", help="open the page in the default browser")
    masks = view.add_mutually_exclusive_group()
    masks.add_argument(
        "--mask",
        type=mask_argument,
        metavar="FILE:DATASET",
        help="pixel mask of the frames' shape, non-zero where a pixel is left out (default:"
        " the pixel_mask of the data's NXdetector group, if it has one)",
    )
    masks.add_argument(
        "--no-mask", action="store_true", help="use no mask, not even the detector's own"
    )
    add_timeout_argument(view)
    view.set_defaults(run=run, waits_on_flag=True)
