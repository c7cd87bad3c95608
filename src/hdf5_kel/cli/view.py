"""`view`: follow a growing dataset in the browser.

The main thread follows the dataset with SWMRCount at the page's pace and keeps
only what the page draws next: the newest frame made ready to draw (a 2-D plane,
binned down, float32), or the newest values of a one-axis dataset. A standard
library HTTP server hands that out to every page from threads of its own, so a
slow or vanished page never holds the follower up.
"""

import argparse
import ipaddress
import json
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
import webbrowser
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources

from .follow import (
    SlidingRate,
    add_dataset_arguments,
    explain_read_errors,
    newest_rows,
    say,
    seconds_since_flush,
    wait_until_followable,
)
from .messages import INTERRUPTED, CommandError, non_negative_int, seconds_at_least
from .signals import interrupted

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


def bin_down(values, limit):
    """The values as little-endian float32, each axis binned down to at most
    `limit` by means over runs of neighbours (the last run may be shorter)."""
    import numpy as np

    factors = []
    for axis, length in enumerate(values.shape):
        factor = max(-(-length // limit), 1)
        factors.append(factor)
        if factor > 1:
            starts = np.arange(0, length, factor)
            runs = np.diff(np.append(starts, length))
            sums = np.add.reduceat(values.astype(np.float64, copy=False), starts, axis=axis)
            values = sums / runs.reshape([-1 if a == axis else 1 for a in range(values.ndim)])
    return np.ascontiguousarray(values, dtype="<f4"), factors


class Display:
    """What the page shows next: written by the follower, read by the server's threads."""

    def __init__(self, path, dataset, every, address, exposed):
        self.path = path
        self.dataset = dataset
        self.every = every
        self.address = address
        self.exposed = exposed
        self.lock = threading.Lock()
        self.state = "no file"
        self.shape = self.dtype = None
        self.length = 0
        self.grown_at = None
        self.rate = SlidingRate(RATE_WINDOW)
        self.kind = None
        self.history = None
        self.picture = None
        self.payload = b""

    def waiting_for_swmr(self):
        with self.lock:
            self.state = "no swmr"

    def opened(self, dset):
        """Follow `dset` from now on; the number of newest rows to read per update."""
        with self.lock:
            self.state = "following"
            self.shape, self.dtype = dset.shape, dset.dtype
            self.grown_at = time.monotonic()
            if not drawable(dset.dtype):
                self.kind = "none"
            else:
                self.kind = {1: "series", 2: "line"}.get(dset.ndim, "image")
        return HISTORY if self.kind == "series" else 1

    def update(self, rows, shape):
        """One poll: `rows` the newest rows read (None if none), `shape` the dataset's."""
        now = time.monotonic()
        drawn = None if rows is None else self.prepare(rows, shape[0])
        with self.lock:
            self.rate.add(now, shape[0])
            if shape[0] != self.length:
                self.grown_at = now
            self.length = shape[0]
            self.shape = shape
            if drawn is not None:
                self.picture, self.payload = drawn

    def prepare(self, rows, length):
        """The picture of the newest rows, and its values for the page."""
        import numpy as np

        picture = {"kind": self.kind, "number": length - 1}
        if self.kind == "none":
            return picture, b""
        if self.kind == "series":
            new = as_numbers(rows).astype(np.float64)
            kept = new if self.history is None else np.concatenate([self.history, new])
            self.history = shown = kept[-HISTORY:]
            picture["first"] = length - len(shown)
            limit = HISTORY
        else:
            frame = as_numbers(rows[-1])
            further = max(frame.ndim - 2, 0)
            shown = frame[(slice(None),) * (frame.ndim - further) + (0,) * further]
            if further:
                picture["slice"] = "[:, :" + ", 0" * further + "]"
            limit = MAX_SIDE if self.kind == "image" else MAX_POINTS
        data, factors = bin_down(shown, limit)
        picture.update(shape=list(data.shape), binned=factors, range=value_range(shown))
        return picture, data.tobytes()

    def status(self):
        now = time.monotonic()
        with self.lock:
            state = self.state
            idle = None if self.grown_at is None else now - self.grown_at
            if state == "following" and self.length == 0:
                state = "empty"
            text = STATE_TEXT[state]
            if state == "following" and idle > max(STALLED_AFTER, 3 * self.every):
                state = "stalled"
                text = f"no new frames for {idle:.0f} s"
            return {
                "state": state,
                "message": text,
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
                "picture": self.picture,
            }

    def frame(self):
        with self.lock:
            return self.picture, self.payload


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
    """GET / (the page), /status (JSON) and /frame (float32 values, described in
    X-Picture; /frame?after=N answers 204 No Content while frame N is the newest)."""

    server_version = "hdf5-kel-view"
    protocol_version = "HTTP/1.1"
    # A connection left idle this long is closed, so that forgotten ones do not pile up.
    timeout = 60

    def do_GET(self):
        display = self.server.display
        if not self.server.serves_host(self.headers.get("Host")):
            # A page of another site reached through a name that resolves to
            # this machine must not read the data.
            self.reply(403, "text/plain", b"this view answers to its loopback address only\n")
            return
        url = urllib.parse.urlsplit(self.path)
        route = url.path
        if route in ("/", "/index.html"):
            self.reply(200, "text/html; charset=utf-8", self.server.page)
        elif route == "/status":
            self.reply(200, "application/json", json.dumps(display.status()).encode())
        elif route == "/frame":
            picture, payload = display.frame()
            shown = urllib.parse.parse_qs(url.query).get("after")
            if picture is None or [str(picture["number"])] == shown:
                self.reply(204, None, b"")
            else:
                extra = {"X-Picture": json.dumps(picture)}
                self.reply(200, "application/octet-stream", payload, extra)
        else:
            self.reply(404, "text/plain", b"not found\n")

    def reply(self, code, content_type, body, headers=None):
        try:
            self.send_response(code)
            if content_type is not None:
                self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            for name, value in (headers or {}).items():
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(body)
        except ConnectionError:
            self.close_connection = True  # the page went away mid-response

    def log_message(self, format, *args):
        pass  # a line per request would bury the command's own lines


def url_of(address):
    host, port = address[:2]
    return f"http://[{host}]:{port}/" if ":" in host else f"http://{host}:{port}/"


class ViewServer(ThreadingHTTPServer):
    """Serves the page and what `display` (set before serving starts) has to show."""

    daemon_threads = True

    def __init__(self, host, port):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        super().__init__((host.strip("[]"), port), PageRequests)
        self.exposed = not is_loopback(self.server_address[0])
        self.url = url_of(self.server_address)
        self.page = page()
        self.display = None

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

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def follow(display, path, dataset, every):
    """Follow the dataset until Ctrl-C or SIGTERM, handing each update to `display`."""
    from hdf5_kel.swmr.library.tailread import SWMRCount

    wait_until_followable(path, dataset, say, display.waiting_for_swmr)
    counter = SWMRCount(path, dataset, total_count=sys.maxsize)
    try:
        if counter.dset.ndim == 0:
            raise CommandError(f"{path}:{dataset} has no axis to grow along")
        keep = display.opened(counter.dset)
        while True:
            with explain_read_errors((path, counter.dset)):
                rows = newest_rows(counter, keep)
            display.update(rows, counter.dset.shape)
            if interrupted.wait(every):
                raise KeyboardInterrupt
    finally:
        counter.close()


def open_page(url):
    if not webbrowser.open(url):
        print("no browser found: open the address above", flush=True)


def run(args):
    server = ViewServer(args.host, args.port)
    server.display = Display(args.file, args.dataset, args.every, server.url, server.exposed)
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
                f"listening on {args.host}: anyone who can reach this machine can see the data",
                flush=True,
            )
        if args.open:
            # In a thread: a browser that runs in the terminal would hold the follower up.
            threading.Thread(target=open_page, args=(server.url,), daemon=True).start()
        follow(server.display, args.file, args.dataset, args.every)
    except KeyboardInterrupt:
        print(f"stopped: {server.display.length} frames in the dataset", flush=True)
        return INTERRUPTED
    finally:
        server.shutdown()
        server.server_close()


def add_parser(commands):
    view = commands.add_parser(
        "view",
        help="follow a growing dataset in the browser",
        description="Follow a dataset that another process is writing in SWMR mode and serve"
        " a page that shows its newest frame (an image, a line plot, or for a dataset of one"
        " axis its values over time), the frame number, the rate and how long ago the file"
        " was last flushed. The first line printed is the page's address. Waits for a file"
        " that does not exist yet; runs until Ctrl-C.",
    )
    add_dataset_arguments(view)
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
    view.set_defaults(run=run, waits_on_flag=True)
