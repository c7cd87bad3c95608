"""What `hdf5-kel view` costs: the CPU of the view process while it follows a
writer of 100 frames/s of 512 x 512 uint16, with one page watching: first the
newest frame alone, then with a region over time, the sum of the last 50
frames and a line profile (every frame read and looked at once).

    PYTHONPATH=src python bench/view_cost.py [--seconds 30] [--every 0.5] [--only plain|tools]

The writer and the view are processes of their own; the page is a client in
this process that asks as the page does (the frame when there is a newer one,
then the status, once per update; the view makes the frame ready to draw, with
its percentiles and histogram, when the page asks for it). The view's CPU time (user + system, from
/proc) is taken over a window that starts once the page has its first frame.
Then, on the finished file, one counter's `modify` is timed reading every frame
that arrives between two updates, and reading only the newest, which is what
the view does.
"""

import argparse
import contextlib
import http.client
import io
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

DATASET = "/entry/data"
FRAME_SHAPE = (512, 512)
RATE = 100

WRITER = """
import os, sys, time
import h5py, numpy as np
path, dataset, rate, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
shape = (512, 512)
with h5py.File(path + ".part", "w", libver="latest") as f:
    dset = f.create_dataset(dataset, (0, *shape), maxshape=(None, *shape), dtype="uint16",
                            chunks=(1, *shape))
    f.swmr_mode = True
    os.rename(path + ".part", path)
    ramp = np.add.outer(np.arange(shape[0]), np.arange(shape[1])).astype("uint16")
    tick = time.monotonic()
    for i in range(int(rate * seconds)):
        dset.resize(i + 1, axis=0)
        dset[i] = ramp + i
        dset.flush()
        tick += 1 / rate
        time.sleep(max(0.0, tick - time.monotonic()))
"""


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# What a page with the tools asks for besides the plane: the sum of the last 50
# frames with a profile along a diagonal, and a region's new rows each update.
TOOLS_FRAME = "sum=50&profile=50,50,450,460"
TOOLS_REGION = "box=200,300,220,330"


class Page:
    """Asks the view what the page asks, once per update; counts the frames it gets."""

    def __init__(self, url, every, tools):
        address = urllib.parse.urlsplit(url)
        self.connection = http.client.HTTPConnection(address.hostname, address.port, timeout=60)
        self.token = urllib.parse.parse_qs(address.query)["token"][0]
        self.every = every
        self.tools = tools
        self.region_rows = 0
        self.last_row = None
        self.number = None
        self.frames = 0
        self.status = {}
        self.stop = threading.Event()

    def get(self, route):
        self.connection.request("GET", f"{route}{'&' if '?' in route else '?'}token={self.token}")
        response = self.connection.getresponse()
        return response.status, response.getheader("X-Picture"), response.read()

    def run(self):
        query = TOOLS_FRAME if self.tools else ""
        while not self.stop.wait(self.every):
            after = "" if self.number is None else f"after={self.number}"
            code, picture, _ = self.get(f"/frame?{'&'.join(filter(None, [query, after]))}")
            if code == 200:
                self.number = json.loads(picture)["number"]
                self.frames += 1
            self.status = json.loads(self.get("/status")[2])
            if self.tools:
                since = "" if self.last_row is None else f"&after={self.last_row}"
                rows = json.loads(self.get(f"/series?{TOOLS_REGION}{since}")[2])["frames"]
                if rows:
                    self.region_rows += len(rows)
                    self.last_row = rows[-1]


def modify_seconds(path, frames, rows, repeats=7):
    """Best time of one `modify` that reads `rows` frames, each repetition other
    frames (as the view meets new frames on every update, never cached ones)."""
    from hdf5_kel.swmr.library.tailread import SWMRCount

    with contextlib.redirect_stdout(io.StringIO()):  # its "file found" line
        counter = SWMRCount(path, DATASET, total_count=sys.maxsize)
    counter.dset.refresh()
    frame_shape = counter.dset.shape[1:]
    times = []
    for repeat in range(repeats):
        end = frames - repeat * RATE
        counter.index = end - rows
        start = time.perf_counter()
        counter.modify(counter.dset, (end, *frame_shape))
        times.append(time.perf_counter() - start)
    counter.close()
    return min(times)


def measure(tools, seconds, every):
    """One view and one page over a new writer: what the page got and the
    view's share of one core; with the modify timings on the finished file."""
    with tempfile.TemporaryDirectory(prefix="hdf5_kel-view-bench-") as work:
        path = os.path.join(work, "live.h5")
        writing = seconds + 10
        writer = subprocess.Popen(
            [sys.executable, "-c", WRITER, path, DATASET, str(RATE), str(writing)]
        )
        view = subprocess.Popen(
            [sys.executable, "-m", "hdf5_kel", "view", path, DATASET, "--every", str(every)],
            stdout=subprocess.PIPE,
            text=True,
        )
        page = Page(view.stdout.readline().strip(), every, tools)
        watcher = threading.Thread(target=page.run)
        watcher.start()
        while page.number is None or (tools and page.last_row is None):
            time.sleep(0.1)
        start_cpu, start, start_frames = cpu_seconds(view.pid), time.monotonic(), page.number
        start_updates, start_rows = page.frames, page.region_rows
        time.sleep(seconds)
        cpu, wall = cpu_seconds(view.pid) - start_cpu, time.monotonic() - start
        result = {
            "written": (page.number - start_frames) / wall,
            "updates": (page.frames - start_updates) / wall,
            "region rows": (page.region_rows - start_rows) / wall,
            "core": 100 * cpu / wall,
        }
        page.stop.set()
        watcher.join()
        view.terminate()
        view.communicate()
        writer.wait()
        if not tools:
            frames = int(RATE * writing)
            result["per update"] = max(round(RATE * every), 1)
            result["every frame"] = modify_seconds(path, frames, result["per update"])
            result["newest"] = modify_seconds(path, frames, 1)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="measured window")
    parser.add_argument("--every", type=float, default=0.5, help="the view's --every")
    parser.add_argument("--only", choices=["plain", "tools"], help="measure one of the two")
    args = parser.parse_args()
    for tools in (False, True):
        if args.only == ("plain" if tools else "tools"):
            continue
        got = measure(tools, args.seconds, args.every)
        what = "a region, the sum of the last 50 and a profile" if tools else "the newest frame"
        region = f", {got['region rows']:.0f} region rows/s" if tools else ""
        print(
            f"| view, --every {args.every:g}, following {got['written']:.0f} frames/s of 512x512"
            f" uint16, {what} ({got['updates']:.1f} page updates/s{region})"
            f" | {got['core']:.1f}% of one core |",
            flush=True,
        )
        if not tools:
            print(
                f"| SWMRCount.modify per update: the newest frame | {got['newest'] * 1e3:.2f} ms |\n"
                f"| SWMRCount.modify per update: all {got['per update']} new frames"
                f" | {got['every frame'] * 1e3:.2f} ms |",
                flush=True,
            )


if __name__ == "__main__":
    main()
