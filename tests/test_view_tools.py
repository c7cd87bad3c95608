"""`view`'s tools: masks, regions over time, sums of the last frames and line
profiles, checked against the file's own frames."""

import json
import threading

import h5py
import numpy as np
import pytest
from browser import Chromium
from conftest import start_writer, wait_for, write_frames
from test_view import DATASET, TEXT_OF, View, detector_frame, move_mouse, needs_chromium, run_view


def picture_of(view, query):
    """(description, values, mask or None) of /frame?query, once it is there."""
    wait_for(lambda: view.get(f"/frame?{query}")[0] == 200, what=query)
    _, headers, body = view.get(f"/frame?{query}")
    picture = json.loads(headers["X-Picture"])
    count = int(np.prod(picture["shape"]))
    values = np.frombuffer(body[: 4 * count], "<f4").reshape(picture["shape"])
    mask = body[4 * count :]
    return picture, values, np.frombuffer(mask, bool).reshape(values.shape) if mask else None


def along(frame, mask, rows, cols):
    values = frame[rows, cols].astype(float)
    values[mask[rows, cols]] = np.nan
    return values


def test_regions_sums_and_profiles_equal_the_files_frames_while_it_grows(tmp_path):
    path, mask_path = tmp_path / "live.h5", tmp_path / "mask.h5"
    mask = np.zeros((32, 40), bool)
    mask[5, 7] = mask[10:12, :] = True
    with h5py.File(mask_path, "w") as f:
        f["mask"] = mask.astype("uint8")
    writer = start_writer(
        path, DATASET, 150, delay=0.02, frame_shape=(32, 40), dtype="uint16", ramp=True
    )
    boxes = ["0,32,0,40", "4,13,6,9"]
    with View(tmp_path, path, "--every", "0.2", "--mask", f"{mask_path}:/mask") as view:
        view.wait_status(lambda s: s["frames"] >= 10, "the first frames")
        # Two pages at once, each with its region, made while frames arrive.
        pages = [threading.Thread(target=view.get, args=(f"/series?box={b}",)) for b in boxes]
        for page in pages:
            page.start()
        summed = picture_of(view, "sum=7")[0]
        assert summed["summed"]["frames"][1] - summed["summed"]["frames"][0] == 6
        for page in pages:
            page.join()
        writer.communicate(timeout=60)
        view.wait_status(lambda s: s["state"] == "finished", "the writer's end")
        with h5py.File(path, "r") as f:
            frames = f[DATASET][()]
        assert view.status()["mask"] == {"source": f"{mask_path}:/mask", "masked": 81}
        for box in boxes:
            series = json.loads(view.get(f"/series?box={box}")[2])
            numbers = np.arange(series["since"], 150)
            assert series["frames"] == numbers.tolist() and series["since"] > 0
            r0, r1, c0, c1 = map(int, box.split(","))
            part = frames[numbers, r0:r1, c0:c1][:, ~mask[r0:r1, c0:c1]].astype(float)
            assert series["sum"] == part.sum(1).tolist() and series["max"] == part.max(1).tolist()
            np.testing.assert_allclose(series["mean"], part.mean(1))
            lines = view.get(f"/series.csv?box={box}")[2].decode().splitlines()
            assert lines[0] == "frame,sum,mean,max" and len(lines) == len(numbers) + 1
            last = [149, part[-1].sum(), part[-1].mean(), part[-1].max()]
            assert [float(v) for v in lines[-1].split(",")] == last
        line, rows, cols = "0,0,31,39", np.rint(np.linspace(0, 31, 40)).astype(int), np.arange(40)
        for query, expected in [
            (f"sum=7&profile={line}", frames[143:].sum(0)),
            ("mean=150", frames.mean(0)),
            (f"profile={line}", frames[149]),
        ]:
            picture, values, shown_mask = picture_of(view, query)
            assert picture["number"] == 149 and (shown_mask == mask).all()
            np.testing.assert_allclose(values[~mask], expected[~mask], rtol=1e-6)
            if "profile" in picture:
                got = np.array([np.nan if v is None else v for v in picture["profile"]["values"]])
                np.testing.assert_array_equal(got, along(expected, mask, rows, cols))
        assert view.stop()[0] == 143


# Where the middle of pixel (row, col) of the plane is on the page.
ON_SCREEN = """window.onCanvas = (row, col) => {
  const l = imageLayout();
  return [l.ox + (col + 0.5 - l.x0) * l.s, l.oy + (row + 0.5 - l.y0) * l.s];
};
window.onScreen = (row, col) => {
  const box = plot.getBoundingClientRect(), [x, y] = onCanvas(row, col);
  return [box.left + x, box.top + y];
}"""


def detector_file(path, mask_shape=(256, 256)):
    """Three detector frames in an NXdetector group with its pixel_mask, which
    masks the hot pixels and a block; the data also as NXdata's soft link."""
    rng = np.random.default_rng(3)
    frames = np.stack([detector_frame(rng, 20) for _ in range(3)])
    mask = np.zeros(mask_shape, "uint32")
    if mask_shape == (256, 256):
        mask[frames.max(0) == 65535] = 2
        mask[30:40, 50:60] = 1
    with h5py.File(path, "w", libver="latest") as f:
        detector = f.create_group("entry/instrument/detector")
        detector.attrs["NX_class"] = "NXdetector"
        detector.create_dataset("data", data=frames, maxshape=(None, 256, 256))
        detector["pixel_mask"] = mask
        f["entry/data"] = h5py.SoftLink("/entry/instrument/detector/data")
    return frames, mask != 0


@needs_chromium
def test_the_page_draws_masks_regions_lines_and_sums(tmp_path):
    frames, mask = detector_file(tmp_path / "det.h5")
    with View(tmp_path, tmp_path / "det.h5", "--every", "0.2") as view, Chromium() as browser:
        picture, _, shown_mask = picture_of(view, "")
        unmasked = frames[2][~mask].astype("f4")
        assert picture["range"] == [float(unmasked.min()), float(unmasked.max())]
        assert picture["range"][1] < 65535
        assert picture["percentiles"] == pytest.approx(np.percentile(unmasked, [0.1, 99.9]))
        assert sum(picture["histogram"]["counts"]) <= unmasked.size == (~shown_mask).sum()
        browser.open(view.url + "#show=sum&count=2")
        wait_for(
            lambda: browser.evaluate(TEXT_OF.format("shown")) == "sum of frames 1 to 2",
            what="the sum",
        )
        browser.evaluate(ON_SCREEN)
        colour = (
            "[...plot.getContext('2d').getImageData(...onCanvas({}, {}), 1, 1).data.slice(0, 3)]"
        )
        assert browser.evaluate(colour.format(35, 55)) == [255, 0, 255]  # the masked block
        assert browser.evaluate(colour.format(128, 128)) != [255, 0, 255]

        def drag(key, start, end):
            browser.send("Input.dispatchKeyEvent", type="keyDown", key=key, text=key)
            (x0, y0), (x1, y1) = (browser.evaluate(f"onScreen({r}, {c})") for r, c in (start, end))
            click = {"button": "left", "clickCount": 1}
            browser.send("Input.dispatchMouseEvent", type="mousePressed", x=x0, y=y0, **click)
            move_mouse(browser, x1, y1)
            browser.send("Input.dispatchMouseEvent", type="mouseReleased", x=x1, y=y1, **click)

        drag("r", (100, 120), (140, 199))
        drag("l", (128, 10), (128, 250))
        assert browser.evaluate("settings.region") == [100, 141, 120, 200]
        assert "region=100%2C141%2C120%2C200" in browser.evaluate("location.hash")
        wait_for(lambda: browser.evaluate("!!(picture.profile)"), what="the profile")
        got = browser.evaluate("picture.profile.values")
        want = along(frames[1:].sum(0), mask, np.full(241, 128), np.arange(10, 251))
        np.testing.assert_array_equal([np.nan if v is None else v for v in got], want)
        shown = (
            "['series', 'profile'].every((id) => !document.getElementById(id).closest('[hidden]'))"
        )
        assert browser.evaluate(shown)
        (tmp_path / "tools.png").write_bytes(browser.screenshot())
        assert view.stop()[0] == 143


def test_bad_masks_and_tool_requests_are_refused_in_one_line(tmp_path):
    detector_file(tmp_path / "small.h5", mask_shape=(4, 4))
    write_frames(tmp_path / "line.h5", 3, frame_shape=(6,))
    for options, message in [
        (
            "small.h5:/entry/instrument/detector/pixel_mask",
            "pixel_mask has shape (4, 4), but the frames are (256, 256)",
        ),
        ("nowhere.h5:/m", "error: --mask nowhere.h5:/m: no such file"),
        ("m.h5", "--mask: expected FILE:DATASET, got 'm.h5'"),
        ("m.h5:/m --no-mask", "not allowed with argument"),
    ]:
        code, _, err = run_view(tmp_path, "small.h5", DATASET, "--mask", *options.split())
        # One line, after the usage where the command line itself is wrong.
        assert code == 2 and message in err.splitlines()[-1], err
        assert err.startswith("usage:") or err.count("\n") == 1, err
    with View(tmp_path, tmp_path / "small.h5") as view:
        # The detector's own mask of another shape is said, and not used.
        assert view.wait_status(lambda s: s["frames"] == 3, "the frames")["mask"] is None
        for route, text in [
            ("/frame?sum=0", "sum: 0 frames is not within 1 to 1000"),
            ("/frame?mean=2&sum=2", "sum, mean: ask for one of them"),
            ("/frame?sum=2&number=1", "sum: of the newest frames, it cannot go with number"),
            ("/frame?profile=0,0,256,0", "profile: 0,0,256,0 is not a line within 256 x 256"),
            ("/series?box=0,10", "box: 4 numbers expected, got 2"),
            ("/series", "box: the region's rows and columns are missing"),
            ("/series?box=5,5,0,1", "box: 5,5 is not a range within 0 to 256"),
        ]:
            assert view.get(route)[::2] == (400, f"{text}\n".encode()), route
        assert "is not used: " in view.stop()[1]
    with View(tmp_path, tmp_path / "line.h5") as view:
        view.wait_status(lambda s: s["frames"] == 3, "the frames")
        images_only = b"regions, sums and profiles are for frames of two or more axes\n"
        assert view.get("/series?box=0,1,0,1")[2] == images_only
        assert view.get("/frame?sum=2")[::2] == (400, b"unknown parameter 'sum'\n")
