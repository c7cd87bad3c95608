"""`view`: the server, with real HTTP requests against files that writer
processes grow. Every view runs in its own process, as users run it."""

import http.client
import json
import os
import signal
import socket
import stat
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

import h5py
import numpy as np
import pytest
from browser import Chromium, chromium_path
from conftest import StepWriter, child_env, start_python, start_writer, wait_for, write_frames

from hdf5_kel.cli import main
from hdf5_kel.cli.view import is_loopback

DATASET = "/entry/data"


class View:
    """A `python -m hdf5_kel view` process and requests to its address."""

    def __init__(self, cwd, path, *options, env=None, loopback=True):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "hdf5_kel", "view", str(path), DATASET, *map(str, options)],
            cwd=str(cwd),
            env=env or child_env(),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.url = self.proc.stdout.readline().strip()
        address = urllib.parse.urlsplit(self.url)
        assert address.scheme == "http" and address.path == "/", self.proc.stderr.read()
        self.host, self.port = address.hostname, address.port
        assert is_loopback(self.host) is loopback
        self.token = urllib.parse.parse_qs(address.query)["token"][0]

    def get(self, route, headers=None, token=True):
        """Status, headers and body of one GET (http.client, so no proxy is asked),
        with the view's token unless told otherwise."""
        if token:
            route += f"{'&' if '?' in route else '?'}token={self.token}"
        connection = http.client.HTTPConnection(self.host, self.port, timeout=60)
        try:
            connection.request("GET", route, headers=headers or {})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def status(self):
        code, _, body = self.get("/status")
        assert code == 200
        return json.loads(body)

    def wait_status(self, condition, what):
        wait_for(lambda: condition(self.status()), what=what, interval=0.1)
        return self.status()

    def frame(self):
        code, headers, body = self.get("/frame")
        assert code == 200
        picture = json.loads(headers["X-Picture"])
        values = np.frombuffer(body, "<f4").reshape(picture["shape"])
        return picture, values

    def stop(self, signum=signal.SIGTERM):
        self.proc.send_signal(signum)
        out, err = self.proc.communicate(timeout=60)
        return self.proc.returncode, out, err

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


def ramp(number, frame_shape):
    """Frame `number` of a --ramp writer: element (a, b, ...) holds (number + a + b + ...) % 256."""
    return (number + sum(np.indices(frame_shape))) % 256 if frame_shape else number % 256


def following_with_frames(frames):
    return lambda s: s["state"] in ("following", "stalled", "finished") and s["frames"] >= frames


# What the page gets of the newest frame


@pytest.mark.parametrize(
    "frame_shape, dtype, kind, binned, expected",
    [
        ((48, 64), "int32", "image", [1, 1], lambda f: f),
        ((6, 8, 3), "uint16", "image", [1, 1], lambda f: f[:, :, 0]),
        # Larger than 1024 along an axis: means over runs of 2 and 3.
        ((1500, 2100), "uint8", "image", [2, 3], lambda f: f.reshape(750, 2, 700, 3).mean((1, 3))),
        ((9000,), "float32", "line", [3], lambda f: f.reshape(3000, 3).mean(1)),
        ((4, 5), "complex64", "image", [1, 1], lambda f: f),
    ],
    ids=["2d", "3d-slice", "binned", "line-binned", "complex"],
)
def test_frame_is_the_newest_one_ready_to_draw(
    tmp_path, frame_shape, dtype, kind, binned, expected
):
    path = tmp_path / "live.h5"
    writer = start_writer(
        path, DATASET, 40, delay=0.05, frame_shape=frame_shape, dtype=dtype, ramp=True
    )
    with View(tmp_path, path, "--every", "0.2") as view:
        status = view.wait_status(following_with_frames(3), "three frames")
        assert status["shape"][1:] == list(frame_shape) and status["dtype"] == dtype
        picture, values = view.frame()
        assert (picture["kind"], picture["binned"]) == (kind, binned)
        newest = ramp(picture["number"], frame_shape)
        np.testing.assert_allclose(values, expected(newest), rtol=1e-6)
        plane = newest[:, :, 0] if newest.ndim > 2 else newest
        assert picture["range"] == [float(plane.min()), float(plane.max())]
        view.wait_status(following_with_frames(40), "every frame")
        assert view.frame()[0]["number"] == 39
        assert view.stop()[0] == 143
    writer.communicate(timeout=60)


def test_one_axis_dataset_shows_its_values_over_time(tmp_path):
    path = tmp_path / "live.h5"
    writer = start_writer(path, DATASET, 5000, per_append=50, delay=0.01, frame_shape=())
    with View(tmp_path, path, "--every", "0.2") as view:
        view.wait_status(following_with_frames(5000), "every value")
        picture, values = view.frame()
        # Only the newest values are kept, however many arrive.
        assert (picture["kind"], picture["first"], picture["number"]) == ("series", 904, 4999)
        np.testing.assert_array_equal(values, np.arange(904, 5000))
        assert picture["range"] == [904.0, 4999.0]
        assert view.stop()[0] == 143
    writer.communicate(timeout=60)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


@pytest.mark.parametrize(
    "frame_shape, frames, per_append", [((32, 32), 20000, 20), ((), 400000, 2000)]
)
def test_memory_stays_flat_however_much_arrives(tmp_path, frame_shape, frames, per_append):
    path = tmp_path / "long.h5"
    writer = start_writer(
        path, DATASET, frames, per_append=per_append, delay=0.01, frame_shape=frame_shape
    )
    with View(tmp_path, path, "--every", "0.2") as view:
        view.wait_status(following_with_frames(frames // 10), "a tenth of the frames")
        view.frame()
        early = resident_kib(view.proc.pid)
        view.wait_status(following_with_frames(frames), "every frame")
        view.frame()
        # Nine tenths more data (tens of MB) leave no trace but allocator noise.
        assert resident_kib(view.proc.pid) - early < 16 * 1024
        assert view.stop()[0] == 143
    writer.communicate(timeout=60)


def test_elements_that_are_not_numbers_are_described_not_drawn(tmp_path):
    path = tmp_path / "labels.h5"
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset(DATASET, data=np.array([[b"a", b"b"]] * 3), maxshape=(None, 2))
    with View(tmp_path, path) as view:
        status = view.wait_status(following_with_frames(3), "the labels")
        assert status["picture"]["kind"] == "none" and status["dtype"] == "|S1"
        assert view.stop()[0] == 143


def test_compressed_frames_are_read_through_hdf5plugin(tmp_path):
    pytest.importorskip("hdf5plugin")
    path = tmp_path / "lz4.h5"
    writer = start_writer(
        path, DATASET, 10, delay=0.05, frame_shape=(32, 32), ramp=True, filter="lz4"
    )
    with View(tmp_path, path) as view:
        view.wait_status(following_with_frames(10), "ten frames")
        np.testing.assert_array_equal(view.frame()[1], ramp(9, (32, 32)))
        assert view.stop()[0] == 143
    writer.communicate(timeout=60)


# States


GATED_WRITER = """
import os, sys, time, h5py
path, gate = sys.argv[1:]
with h5py.File(path, "w", libver="latest") as f:
    dset = f.create_dataset("/entry/data", (0, 4, 4), maxshape=(None, 4, 4), dtype="int32")
    print("created", flush=True)
    while not os.path.exists(gate):
        time.sleep(0.01)
    f.swmr_mode = True
    for i in range(5):
        dset.resize(i + 1, axis=0)
        dset[i] = i
        dset.flush()
    while not os.path.exists(gate + ".close"):
        time.sleep(0.01)
"""


def test_states_from_no_file_through_swmr_and_stalled_to_finished(tmp_path):
    path, gate = tmp_path / "late.h5", tmp_path / "gate"
    with View(tmp_path, path, "--every", "0.2") as view:
        status = view.status()
        assert (status["state"], status["message"]) == ("no file", "waiting for the file to appear")
        assert status["flushed_ago"] is None and status["picture"] is None
        assert view.get("/frame")[0] == 204
        writer = start_python(GATED_WRITER, tmp_path, path, gate)
        assert writer.stdout.readline() == "created\n"
        status = view.wait_status(lambda s: s["state"] == "no swmr", "the SWMR wait")
        assert status["message"] == "file found; waiting for the writer to switch SWMR mode on"
        gate.touch()
        view.wait_status(following_with_frames(5), "five frames")
        status = view.wait_status(lambda s: s["state"] == "stalled", "the stall")
        assert status["message"].startswith("no new frames for ")
        assert status["rate"] == 0.0 and status["idle"] >= 5
        (tmp_path / "gate.close").touch()
        status = view.wait_status(lambda s: s["state"] == "finished", "the writer's close")
        assert status["message"] == "finished: the writer closed the file after 5 frames"
        code, out, err = view.stop()
        assert (code, err) == (143, "")
        assert out.splitlines()[-2:] == [
            "finished: the writer closed the file after 5 frames",
            "stopped: 5 frames in the dataset",
        ]
        writer.communicate(timeout=60)


def test_an_empty_dataset_says_so(tmp_path):
    path = write_frames(tmp_path / "empty.h5", 0)
    with View(tmp_path, path) as view:
        status = view.wait_status(lambda s: s["state"] not in ("no file", "no swmr"), "the open")
        assert (status["state"], status["shape"]) == ("empty", [0, 2, 2])
        assert view.stop()[0] == 143


@pytest.mark.parametrize("signum, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
# "starting": the signal comes as soon as the address is out, while the server starts.
@pytest.mark.parametrize("state", ["starting", "no file", "no swmr", "following"])
def test_ctrl_c_and_sigterm_end_it_and_close_the_file(tmp_path, signum, code, state):
    path = tmp_path / "f.h5"
    writer = None
    if state == "following":
        write_frames(path, 3)
    elif state == "no swmr":  # a writer that never lets readers in
        writer = start_python(GATED_WRITER, tmp_path, path, tmp_path / "never")
        assert writer.stdout.readline() == "created\n"
    with View(tmp_path, path) as view:
        if state != "starting":
            # A file that no writer holds open is soon finished, which follows it too.
            alike = {state, "finished"} if state == "following" else {state}
            view.wait_status(lambda s: s["state"] in alike, state)
        status, out, err = view.stop(signum)
        assert (status, err) == (code, "")
        assert out.splitlines()[-1].startswith("stopped: ")
        with pytest.raises(ConnectionRefusedError):
            view.get("/status")
    if writer is not None:
        writer.kill()
        writer.communicate()
    if state == "following":  # closed: a writer may open it again
        with h5py.File(path, "a") as f:
            assert f[DATASET].shape == (3, 2, 2)


# The server


def test_page_and_addresses(tmp_path):
    path = write_frames(tmp_path / "f.h5", 3)
    with View(tmp_path, path) as view:
        code, headers, body = view.get("/")
        assert code == 200 and headers["Content-Type"] == "text/html; charset=utf-8"
        assert b"<canvas" in body and b"http" not in body.replace(b'"http', b"")
        assert view.get("/index.html")[2] == body
        assert view.get("/status?x=1")[0] == 200
        assert view.get("/nothing")[0] == 404
        status = view.wait_status(following_with_frames(3), "three frames")
        assert (status["address"], status["exposed"]) == (view.url, False)
        # A page asks for a frame only when one newer than its own is there.
        assert view.get("/frame?after=2")[0] == 204
        assert view.get("/frame?after=1")[0] == 200
        # A site that rebinds its own name to 127.0.0.1 gets nothing.
        assert view.get("/status", {"Host": "attacker.example"})[0] == 403
        assert view.get("/status", {"Host": f"localhost:{view.port}"})[0] == 200
        assert view.get("/status", {"Host": "attacker.example"}, token=False)[0] == 403
        assert view.stop()[0] == 143


def test_several_clients_at_once_and_one_that_goes_away(tmp_path):
    path = tmp_path / "big.h5"
    writer = start_writer(
        path, DATASET, 30, delay=0.1, frame_shape=(1024, 1024), dtype="uint16", ramp=True
    )
    with View(tmp_path, path, "--every", "0.2") as view:
        view.wait_status(following_with_frames(1), "a frame")
        for _ in range(5):  # a page closed while its frame is on the way
            gone = socket.create_connection(("127.0.0.1", view.port), timeout=60)
            gone.sendall(f"GET /frame HTTP/1.1\r\nHost: 127.0.0.1:{view.port}\r\n\r\n".encode())
            gone.recv(1000)
            gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            gone.close()
        failures = []

        def client():
            try:
                for _ in range(10):
                    assert view.get("/")[0] == 200
                    picture, values = view.frame()
                    np.testing.assert_array_equal(values, ramp(picture["number"], (1024, 1024)))
                    # The writer may be done before the clients, on a busy machine.
                    assert view.status()["state"] in ("following", "stalled", "finished")
            except Exception as error:  # noqa: BLE001 - handed to the test's thread
                failures.append(error)

        clients = [threading.Thread(target=client) for _ in range(6)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join()
        assert failures == []
        view.wait_status(following_with_frames(30), "every frame")
        code, _, err = view.stop()
        assert (code, err) == (143, "")
    writer.communicate(timeout=60)


def test_replies_come_at_once_and_connections_are_bounded(tmp_path):
    path = write_frames(tmp_path / "f.h5", 3)
    with View(tmp_path, path) as view:
        view.wait_status(following_with_frames(3), "three frames")
        kept_alive = http.client.HTTPConnection(view.host, view.port, timeout=60)
        seconds = []
        for route in ["/status", "/frame"] * 15:  # as a page polls them
            started = time.perf_counter()
            kept_alive.request("GET", route, headers={"X-View-Token": view.token})
            response = kept_alive.getresponse()
            assert (response.status, len(response.read()) > 0) == (200, True)
            seconds.append(time.perf_counter() - started)
        # A reply that waited for the client's delayed acknowledgement takes 40 ms or more.
        assert statistics.median(seconds) < 0.02, seconds
        idle = [socket.create_connection((view.host, view.port), timeout=60) for _ in range(63)]
        with socket.create_connection((view.host, view.port), timeout=60) as one_too_many:
            assert one_too_many.recv(100).startswith(b"HTTP/1.1 503 ")
        idle.pop().close()
        wait_for(lambda: view.get("/status")[0] == 200, what="a connection let in again")
        for connection in [kept_alive, *idle]:
            connection.close()
        assert view.stop()[0] == 143


def test_open_hands_the_browser_a_private_file_not_the_token(tmp_path):
    opened = tmp_path / "opened"
    browser = tmp_path / "browser"
    browser.write_text(f'#!/bin/sh\necho "$@" > {opened}\n')
    browser.chmod(browser.stat().st_mode | stat.S_IXUSR)
    path = write_frames(tmp_path / "f.h5", 3)
    with View(tmp_path, path, "--open", env=dict(child_env(), BROWSER=str(browser))) as view:
        wait_for(lambda: opened.exists() and opened.read_text().endswith("\n"), what="the browser")
        argument = opened.read_text().strip()
        assert view.token not in argument and argument.startswith("file:///")
        page = urllib.parse.unquote(argument[len("file://") :])
        assert view.url in Path(page).read_text()  # the page sends the browser on
        assert stat.S_IMODE(os.stat(page).st_mode) == 0o600
        assert stat.S_IMODE(os.stat(os.path.dirname(page)).st_mode) == 0o700
        assert view.stop()[0] == 143
    assert not os.path.exists(os.path.dirname(page))


@pytest.mark.parametrize(
    "host, url_host",
    [("localhost", "127.0.0.1"), ("127.0.0.2", "127.0.0.2"), ("::1", "[::1]")],
)
def test_listens_on_any_loopback_address_given(tmp_path, host, url_host):
    path = write_frames(tmp_path / "f.h5", 3)
    with View(tmp_path, path, "--host", host) as view:
        assert view.url == f"http://{url_host}:{view.port}/?token={view.token}"
        status = view.wait_status(following_with_frames(3), "three frames")
        assert (status["address"], status["exposed"]) == (view.url, False)
        code, out, _ = view.stop()
        assert code == 143 and "anyone who can reach" not in out


@pytest.mark.parametrize(
    "host, loopback",
    [
        ("127.0.0.1", True),
        ("127.0.0.2", True),
        ("::1", True),
        ("[::1]", True),
        ("localhost", True),
        ("LOCALHOST", True),
        ("0.0.0.0", False),
        ("::", False),
        ("192.168.1.20", False),
        ("beamline-pc", False),
    ],
)
def test_only_loopback_addresses_count_as_this_machine(host, loopback):
    assert is_loopback(host) is loopback


# Bad input: one line on standard error, status 2


@pytest.mark.parametrize(
    "options, message",
    [
        (["--every", "0.1"], "--every: must be at least 0.2, got 0.1"),
        (["--every", "nan"], "--every: must be at least 0.2, got nan"),
        (["--every", "inf"], "--every: must be at least 0.2, got inf"),
        (["--every", "often"], "--every: not a number of seconds: 'often'"),
        (["--port", "65536"], "--port: must be 65535 or less, got 65536"),
        (["--port", "-1"], "--port: must be 0 or more, got -1"),
        (["--port", "http"], "--port: not a whole number: 'http'"),
        (["--open", "yes"], "python -m hdf5_kel: error: unrecognized arguments: yes"),
    ],
)
def test_bad_command_lines_are_refused(capsys, tmp_path, options, message):
    with pytest.raises(SystemExit) as info:
        main(["view", str(tmp_path / "f.h5"), DATASET, *options])
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: python -m hdf5_kel") and message in err
    assert list(tmp_path.iterdir()) == []


def test_help_names_every_option(capsys):
    with pytest.raises(SystemExit) as info:
        main(["view", "--help"])
    out = capsys.readouterr().out
    assert info.value.code == 0 and out.startswith("usage: python -m hdf5_kel view")
    assert all(
        option in out for option in ("FILE DATASET", "--host", "--port", "--every S", "--open")
    )


def test_a_missing_dataset_argument_is_refused(capsys):
    with pytest.raises(SystemExit) as info:
        main(["view", "f.h5"])
    assert info.value.code == 2
    assert "the following arguments are required: DATASET" in capsys.readouterr().err


def run_view(tmp_path, *args):
    proc = subprocess.run(
        [sys.executable, "-m", "hdf5_kel", "view", *map(str, args)],
        cwd=str(tmp_path),
        env=child_env(),
        capture_output=True,
        check=False,
        text=True,
        timeout=120,
    )
    return proc.returncode, proc.stdout, proc.stderr


def write_scalar(path):
    with h5py.File(path, "w") as f:
        f[DATASET] = 7


@pytest.mark.parametrize(
    "make, dataset, error",
    [
        (lambda p: p.write_text("plain text\n"), DATASET, "f.h5 is not an HDF5 file"),
        (
            lambda p: write_frames(p, 2),
            "/entry/missing",
            "f.h5 has no dataset /entry/missing; closest datasets: /entry/data",
        ),
        (
            lambda p: write_frames(p, 2),
            "/entry",
            "f.h5:/entry is a group, not a dataset; closest datasets: /entry/data",
        ),
        (write_scalar, DATASET, "f.h5:/entry/data has no axis to grow along"),
    ],
    ids=["not-hdf5", "no-such-dataset", "a-group", "a-scalar"],
)
def test_unreadable_input_is_one_line_and_status_2(tmp_path, make, dataset, error):
    make(tmp_path / "f.h5")
    code, out, err = run_view(tmp_path, "f.h5", dataset)
    assert (code, out) == (2, "")  # no address for a view that cannot show anything
    assert err.startswith(f"python -m hdf5_kel view: error: {error}") and err.count("\n") == 1


def test_a_port_in_use_is_one_line_and_status_2(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        code, out, err = run_view(tmp_path, "f.h5", DATASET, "--port", taken.getsockname()[1])
        port = taken.getsockname()[1]
    assert (code, out) == (2, "")
    assert (
        err
        == f"python -m hdf5_kel view: error: port {port} is in use: choose another with --port\n"
    )


def test_a_filter_plugin_that_is_not_loaded_is_named(tmp_path):
    pytest.importorskip("hdf5plugin")
    path = tmp_path / "lz4.h5"
    start_writer(path, DATASET, 2, frame_shape=(8, 8), filter="lz4").communicate(timeout=60)
    env = dict(child_env(), HDF5_PLUGIN_PATH=str(tmp_path))
    # Without hdf5plugin importable, HDF5 has no LZ4 filter to read the frames with.
    blocker = tmp_path / "no_plugins"
    blocker.mkdir()
    (blocker / "hdf5plugin.py").write_text("raise ImportError('not here')\n")
    env["PYTHONPATH"] = os.pathsep.join([str(blocker), env["PYTHONPATH"]])
    proc = subprocess.run(
        [sys.executable, "-m", "hdf5_kel", "view", str(path), DATASET],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        check=False,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 2
    assert (
        f"error: cannot read {path}: /entry/data is compressed with the HDF5 filter"
        " 'HDF5 lz4 filter' (id 32004)" in proc.stderr
    )
    assert proc.stderr.count("\n") == 1


# The page, in headless Chromium

needs_chromium = pytest.mark.skipif(
    chromium_path() is None and not os.environ.get("CI"),
    reason="Debian's chromium is not installed (CI installs it)",
)

TEXT_OF = "document.getElementById({!r}).textContent"
STATE = "document.body.dataset.state"
# Distinct colours on the plot's canvas, and a checksum of its pixels.
CANVAS = """(() => {
  const c = document.getElementById("plot");
  const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
  const colours = new Set();
  let sum = 0;
  for (let i = 0; i < d.length; i += 4) {
    colours.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
    sum = (sum * 31 + d[i] + 7 * d[i + 1] + 13 * d[i + 2]) % 2147483647;
  }
  return [colours.size, sum];
})()"""


def choose(browser, control, value):
    browser.evaluate(
        f"(() => {{ const s = document.getElementById({control!r}); s.value = {value!r};"
        " s.dispatchEvent(new Event('change')); })()"
    )


@needs_chromium
def test_page_shows_the_frames_as_the_file_grows(tmp_path):
    path = tmp_path / "live.h5"
    writer = start_writer(path, DATASET, 400, delay=0.05, frame_shape=(200, 300), ramp=True)
    with View(tmp_path, path, "--every", "0.2") as view, Chromium() as browser:
        browser.open(view.url)

        def shown_frame():
            text = browser.evaluate(TEXT_OF.format("frame"))
            return int(text) if text.isdigit() else -1

        wait_for(lambda: shown_frame() >= 0, what="the first frame on the page")
        first_number, first, first_drawing = (
            shown_frame(),
            browser.screenshot(),
            browser.evaluate(CANVAS),
        )
        (tmp_path / "first.png").write_bytes(first)
        # A couple of seconds of frames later.
        wait_for(lambda: shown_frame() >= first_number + 40, what="later frames on the page")
        second, second_drawing = browser.screenshot(), browser.evaluate(CANVAS)
        (tmp_path / "second.png").write_bytes(second)
        assert first.startswith(b"\x89PNG") and first != second
        # The ramp through the colour map, not a blank canvas, and moved on.
        assert first_drawing[0] > 100 and second_drawing[0] > 100
        assert first_drawing[1] != second_drawing[1]
        assert browser.evaluate(STATE) == "following"
        assert browser.evaluate(TEXT_OF.format("dtype")) == "int32"
        assert browser.evaluate(TEXT_OF.format("shape")).endswith(", 200, 300)")
        assert browser.evaluate(TEXT_OF.format("rate")).endswith(" frames/s")
        assert browser.evaluate(TEXT_OF.format("flushed")).endswith(" ago")
        assert browser.evaluate("document.getElementById('exposed').hidden") is True
        assert view.stop()[0] == 143
    writer.kill()
    writer.communicate()


@needs_chromium
def test_page_shows_waiting_following_finished_and_stopped(tmp_path):
    path = tmp_path / "late.h5"
    with View(tmp_path, path, "--every", "0.2") as view, Chromium() as browser:
        browser.open(view.url)
        message = TEXT_OF.format("state")
        wait_for(lambda: browser.evaluate(STATE) == "no file", what="the wait for the file")
        assert browser.evaluate(message) == "waiting for the file to appear"
        # The writer closes the file only once the page has shown it followed.
        with StepWriter(path) as writer:
            writer.append(*range(40))
            following = ("following", "stalled")
            wait_for(lambda: browser.evaluate(STATE) in following, what="following")
            assert browser.evaluate("document.getElementById('exposed').hidden") is True
            # What the page makes of a view that listens beyond this machine.
            exposed = dict(view.status(), exposed=True, address="http://192.0.2.7:8000/")
            shown = browser.evaluate(
                f"showStatus({json.dumps(exposed)});"
                " [document.getElementById('exposed').hidden,"
                " document.getElementById('exposed').textContent]"
            )
            warning = (
                "Listening on http://192.0.2.7:8000/, not only on this machine:"
                " anyone who can reach it can see this data."
            )
            assert shown == [False, warning]
        wait_for(lambda: browser.evaluate(STATE) == "finished", what="the writer's close")
        assert browser.evaluate(message) == "finished: the writer closed the file after 40 frames"
        assert view.stop()[0] == 143
        wait_for(lambda: browser.evaluate(STATE) == "stopped", what="the stop")
        assert browser.evaluate(message) == "stopped: the view command is no longer running"


@needs_chromium
@pytest.mark.parametrize(
    "frame_shape, shown",
    [
        ((64, 96), "frame"),
        ((4, 6, 2), "frame[:, :, 0]"),
        ((500,), "frame"),
        ((), "values over time, frames 0 to 29"),
    ],
    ids=["image", "slice", "line", "series"],
)
def test_scale_and_colour_map_redraw_the_plot(tmp_path, frame_shape, shown):
    path = tmp_path / "done.h5"
    start_writer(path, DATASET, 30, frame_shape=frame_shape, ramp=True).communicate(timeout=60)
    with View(tmp_path, path, "--every", "0.2") as view, Chromium() as browser:
        browser.open(view.url)
        wait_for(lambda: browser.evaluate(TEXT_OF.format("frame")) == "29", what="frame 29")
        assert browser.evaluate(TEXT_OF.format("shown")) == shown
        colour_controls = "getComputedStyle(document.getElementById('colours')).display"
        if len(frame_shape) < 2:  # a line plot has no colours to choose
            assert browser.evaluate(colour_controls) == "none"
            assert browser.evaluate(CANVAS)[0] > 2
            assert view.stop()[0] == 143
            return
        drawings = [browser.evaluate(CANVAS)]
        for control, value in [
            ("scale", "log"),
            ("scale", "sqrt"),
            ("colormap", "inferno"),
            ("colormap", "gray"),
        ]:
            choose(browser, control, value)
            drawings.append(browser.evaluate(CANVAS))
        assert all(colours > 2 for colours, _ in drawings)  # more than background and axes
        assert len({checksum for _, checksum in drawings}) == len(drawings)
        assert view.stop()[0] == 143


# The token, what the page asks for, and bad requests


def test_every_route_needs_the_token_in_a_header_or_the_query_never_a_cookie(tmp_path):
    path = write_frames(tmp_path / "f.h5", 3)
    with View(tmp_path, path) as view:
        view.wait_status(following_with_frames(3), "three frames")
        in_header = {"X-View-Token": view.token}
        for route in ["/", "/index.html", "/status", "/frame", "/value?number=0&at=0,0", "/x"]:
            code, headers, _ = view.get(route)
            assert code in (200, 404) and "Set-Cookie" not in headers
            assert view.get(route, in_header, token=False)[0] == code
            # A cookie reaches every server of the host: it is no way in.
            cookie = {"Cookie": f"hdf5-kel-view-{view.port}={view.token}; token={view.token}"}
            for refused in [cookie, {"X-View-Token": "0" * 48}, {}]:
                assert view.get(route, refused, token=False)[0] == 403, (route, refused)
        assert view.stop()[0] == 143


def test_listening_beyond_loopback_is_said_on_standard_error(tmp_path):
    with View(tmp_path, tmp_path / "f.h5", "--host", "0.0.0.0", loopback=False) as view:
        assert view.proc.stderr.readline() == (
            "listening on 0.0.0.0: the view is reachable from the network; anyone who has"
            " its address with the token can see the data\n"
        )
        assert view.stop()[0] == 143


def test_bad_requests_are_400_and_one_line(tmp_path):
    path = tmp_path / "f.h5"
    start_writer(path, DATASET, 30, frame_shape=(6, 8, 3), ramp=True).communicate(timeout=60)
    with View(tmp_path, path) as view:
        view.wait_status(following_with_frames(30), "every frame")
        for route, text in [
            ("/frame?axes=1,1", "axes: two different axes of 0 to 2 expected"),
            ("/frame?axes=0,3", "axes: two different axes of 0 to 2 expected"),
            ("/frame?axes=0", "axes: 2 numbers expected, got 1"),
            ("/frame?index=3", "index: 3 is outside axis 2 (0 to 2)"),
            ("/frame?region=0,7,0,8", "region: 0,7 is not a range within 0 to 6"),
            ("/frame?region=2,2,0,8", "region: 2,2 is not a range within 0 to 6"),
            ("/frame?number=30", "number: frame 30 is not in the file, which has 30 frames"),
            ("/frame?number=-1", "number: frame -1 is not in the file, which has 30 frames"),
            ("/frame?number=1e3", "number: not a whole number: '1e3'"),
            ("/frame?number=%EF%BC%91", "number: not a whole number: '\uff11'"),
            ("/frame?number=1_0", "number: not a whole number: '1_0'"),
            ("/frame?number=+5", "number: not a whole number: ' 5'"),
            ("/frame?number=%2B5", "number: not a whole number: '+5'"),
            ("/frame?zoom=2", "unknown parameter 'zoom'"),
            ("/value?number=0&at=0,0", "at: 3 numbers expected, got 2"),
            ("/value?number=0&at=0,8,0", "at: 8 is outside axis 1 (0 to 7)"),
            ("/value?at=0,0,0", "number: the frame number is missing"),
            ("/value?number=0", "at: the position in the frame is missing"),
        ]:
            code, _, body = view.get(route)
            assert (code, body) == (400, f"{text}\n".encode()), route
        assert view.status()["frames"] == 30 and view.stop()[0] == 143


@pytest.mark.parametrize(
    "frame_shape, query, binned, expected",
    [
        # Zoomed in: the region at full resolution, not binned as the whole frame is.
        ((1500, 2100), "region=100,300,1000,1400", [1, 1], lambda f: f[100:300, 1000:1400]),
        (
            (1500, 2100),
            "region=0,1500,0,1200",
            [2, 2],
            lambda f: f[:, :1200].reshape(750, 2, 600, 2).mean((1, 3)),
        ),
        ((6, 8, 3), "axes=2,0&index=5", [1, 1], lambda f: f[:, 5, :].T),
        ((48, 64), "number=3&region=0,10,0,20", [1, 1], lambda f: f[0:10, 0:20]),
        ((9000,), "region=100,4000", [1], lambda f: f[100:4000]),
    ],
    ids=["region", "region-binned", "plane", "earlier-frame", "line-region"],
)
def test_regions_planes_and_earlier_frames(tmp_path, frame_shape, query, binned, expected):
    path = tmp_path / "f.h5"
    start_writer(path, DATASET, 5, frame_shape=frame_shape, dtype="uint8", ramp=True).communicate(
        timeout=60
    )
    with View(tmp_path, path) as view:
        view.wait_status(following_with_frames(5), "every frame")
        code, headers, body = view.get(f"/frame?{query}")
        assert code == 200
        picture = json.loads(headers["X-Picture"])
        assert picture["number"] == (3 if "number" in query else 4)
        assert picture["binned"] == binned
        want = expected(ramp(picture["number"], frame_shape))
        values = np.frombuffer(body, "<f4").reshape(picture["shape"])
        np.testing.assert_allclose(values, want, rtol=1e-6)
        if set(binned) == {1}:
            assert picture["range"] == [float(want.min()), float(want.max())]
        assert view.stop()[0] == 143


# The page as a viewer, in headless Chromium

# Where pixel (row, col) of the plane is on the screen, and the mean red of the
# 5 x 5 canvas pixels around it.
PIXEL_AT = """((row, col) => {{
  const l = imageLayout(), box = document.getElementById("plot").getBoundingClientRect();
  const x = l.ox + (col + 0.5 - l.x0) * l.s, y = l.oy + (row + 0.5 - l.y0) * l.s;
  const d = document.getElementById("plot").getContext("2d")
    .getImageData(Math.round(x) - 2, Math.round(y) - 2, 5, 5).data;
  let red = 0;
  for (let i = 0; i < d.length; i += 4) red += d[i] / 25;
  return [box.left + x, box.top + y, red];
}})({}, {})"""


def detector_frame(rng, hot):
    """Poisson noise around 20 with a bright disc (around 300) at rows and
    columns 88 to 168, and `hot` pixels at the type's largest value."""
    frame = rng.poisson(20, (256, 256)).astype("uint16")
    rows, cols = np.indices(frame.shape)
    disc = np.hypot(rows - 128, cols - 128) < 40
    frame[disc] = rng.poisson(300, disc.sum())
    frame[rng.integers(0, 256, hot), rng.integers(0, 256, hot)] = np.iinfo("uint16").max
    return frame


@needs_chromium
def test_hot_pixels_leave_the_picture_bright_where_it_is_bright(tmp_path):
    path = tmp_path / "hot.h5"
    with h5py.File(path, "w", libver="latest") as f:
        frame = detector_frame(np.random.default_rng(5), 30)
        f.create_dataset(DATASET, data=frame[None], maxshape=(None, 256, 256))
    with View(tmp_path, path) as view, Chromium() as browser:
        picture, values = view.frame()
        assert picture["range"] == [float(frame.min()), 65535.0]
        assert picture["percentiles"][1] < 1000 and picture["histogram"]["above"] == 30
        browser.open(view.url + "#map=gray")
        wait_for(lambda: browser.evaluate(TEXT_OF.format("frame")) == "0", what="the frame")
        (tmp_path / "hot.png").write_bytes(browser.screenshot())
        # Percentiles: the disc near white, the background dark.
        assert browser.evaluate(PIXEL_AT.format(128, 128))[2] > 200
        assert browser.evaluate(PIXEL_AT.format(20, 20))[2] < 60
        # Under the histogram: the values beyond the colour map's high, as the map has it.
        above = int((values > picture["percentiles"][1]).sum())
        high = browser.evaluate("number(limits()[1])")
        assert browser.evaluate(TEXT_OF.format("outside")).endswith(f", {above} above {high}")
        choose(browser, "contrast", "minmax")  # what a plain min-max made of it
        assert browser.evaluate(PIXEL_AT.format(128, 128))[2] < 10
        assert view.stop()[0] == 143


def move_mouse(browser, x, y, **event):
    browser.send("Input.dispatchMouseEvent", type="mouseMoved", x=x, y=y, **event)


@needs_chromium
def test_the_value_under_the_cursor_is_the_files_also_zoomed_in(tmp_path):
    path = tmp_path / "big.h5"
    start_writer(path, DATASET, 3, frame_shape=(1500, 2100), dtype="uint8", ramp=True).communicate(
        timeout=60
    )
    with View(tmp_path, path) as view, Chromium() as browser:
        browser.open(view.url)
        wait_for(lambda: browser.evaluate(TEXT_OF.format("frame")) == "2", what="the frame")
        assert browser.evaluate("picture.binned") == [2, 3]

        def value_under(row, col):
            x, y, _ = browser.evaluate(PIXEL_AT.format(row, col))
            cursor = TEXT_OF.format("cursor")
            browser.evaluate(f"{cursor} = '-'")
            move_mouse(browser, x, y)
            wait_for(lambda: "=" in browser.evaluate(cursor), what="the value under the cursor")
            where, value = browser.evaluate(cursor).split(" = ")
            at = [int(n) for n in where.strip("[]").split(", ")]
            # The file's element, not the mean of its bin.
            assert int(value) == ramp(2, (1500, 2100))[tuple(at)]
            return at

        at = value_under(701, 1003)
        assert abs(at[0] - 701) <= 3 and abs(at[1] - 1003) <= 3
        x, y, _ = browser.evaluate(PIXEL_AT.format(700, 1000))
        for _ in range(12):
            browser.send(
                "Input.dispatchMouseEvent", type="mouseWheel", x=x, y=y, deltaX=0, deltaY=-100
            )
        wait_for(lambda: browser.evaluate("picture.binned.join()") == "1,1", what="the region")
        region = browser.evaluate("picture.region")
        assert region[0][0] <= 700 < region[0][1] and region[1][0] <= 1000 < region[1][1]
        assert "zoom=" in browser.evaluate("location.hash")
        at = value_under(700, 1000)
        assert at == [700, 1000]
        assert view.stop()[0] == 143


@needs_chromium
def test_paused_stays_on_its_frame_and_settings_survive_a_reload(tmp_path):
    path = tmp_path / "steps.h5"
    with StepWriter(path, (8, 8)) as writer, View(tmp_path, path, "--every", "0.2") as view:
        writer.append(0, 1, 2)
        with Chromium() as browser:
            browser.open(view.url)
            shown = TEXT_OF.format("frame")
            wait_for(lambda: browser.evaluate(shown) == "2", what="the newest frame")
            browser.evaluate("document.getElementById('pause').click()")
            browser.evaluate("document.getElementById('previous').click()")
            wait_for(lambda: browser.evaluate(shown) == "1", what="the frame before")
            writer.append(3, 4, 5)
            wait_for(lambda: browser.evaluate(TEXT_OF.format("frames")) == "6", what="more frames")
            wait_for(lambda: browser.evaluate("status.frames") == 6, what="two updates later")
            assert browser.evaluate(shown) == "1" and browser.evaluate("values[0]") == 1
            choose(browser, "scale", "log")
            choose(browser, "colormap", "inferno")
            browser.evaluate("window.before = true")
            browser.send("Page.reload")
            wait_for(
                lambda: browser.evaluate(
                    "(() => { const e = document.getElementById('frame');"
                    " return window.before === undefined && !!e && e.textContent !== '-'; })()"
                ),
                what="the page reloaded",
            )
            assert browser.evaluate(shown) == "1"
            assert [
                browser.evaluate(f"document.getElementById({c!r}).value")
                for c in ("scale", "colormap")
            ] == ["log", "inferno"]
            browser.evaluate("document.getElementById('pause').click()")  # follow again
            wait_for(lambda: browser.evaluate(shown) == "5", what="the newest frame again")
        assert view.stop()[0] == 143
