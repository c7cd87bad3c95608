"""Acquisitions over several files: a virtual dataset over sources that writer
processes are still growing (frames interleaved, or in blocks), and a group of
external links to data files that appear one by one."""

import subprocess
import sys
import threading

import h5py
import numpy as np
import pytest
from conftest import DATASET, child_env, finish, frame_values, start_writer

from hdf5_kel.cli.simulate import create_interleaved
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader

WRITERS, PER_WRITER, SHAPE = 3, 8, (4, 4)
TOTAL = WRITERS * PER_WRITER


def mapped(master, mappings):
    """A virtual dataset at `master` over w0.h5, w1.h5, ... (named relative to
    it): (frames, k, rows) maps those rows of wk.h5 to those frames."""
    frames = h5py.VirtualLayout((TOTAL, *SHAPE), "int32")
    for where, k, rows in mappings:
        frames[where] = h5py.VirtualSource(f"w{k}.h5", DATASET, (TOTAL, *SHAPE))[rows]
    with h5py.File(master, "w", libver="latest") as f:
        f.create_virtual_dataset(DATASET, frames, fillvalue=-1)
    return str(master)


def virtual(tmp_path, layout):
    """Frame i in file i mod 3 (with no end), or frames 8k to 8k + 7 in file k."""
    if layout == "interleaved":
        sources = [f"w{k}.h5" for k in range(WRITERS)]
        create_interleaved(str(tmp_path / "master.h5"), DATASET, sources, SHAPE, "int32")
        return str(tmp_path / "master.h5")
    blocks = [
        (np.s_[k * PER_WRITER : (k + 1) * PER_WRITER], k, np.s_[:PER_WRITER]) for k in range(3)
    ]
    return mapped(tmp_path / "master.h5", blocks)


def writers(tmp_path, layout, frames=(PER_WRITER,) * WRITERS):
    """One writer process per source, started at different times and writing
    at different rates; frame i of the acquisition holds i."""
    return [
        start_writer(
            tmp_path / f"w{k}.h5",
            DATASET,
            count,
            frame_shape=SHAPE,
            start_delay=0.4 * k,
            delay=0.01 * (k + 1),
            numbering=(k, WRITERS) if layout == "interleaved" else (k * PER_WRITER, 1),
        )
        for k, count in enumerate(frames)
        if count is not None
    ]


def open_files():
    return len(h5py.h5f.get_obj_ids(types=h5py.h5f.OBJ_FILE))


FOLLOWERS = {
    "reader": lambda path: list(SWMRReader(path, DATASET, 0, TOTAL, 5)),
    "counter": lambda path: list(SWMRCount(path, DATASET, total_count=TOTAL)),
    "receiver": lambda path: [
        batch[0] for batch in SWMRCountMulti([(path, DATASET, 3, (TOTAL, *SHAPE), "int32")], TOTAL)
    ],
}


@pytest.mark.parametrize("follower", FOLLOWERS)
@pytest.mark.parametrize("layout", ["interleaved", "blocks"])
def test_a_vds_over_growing_sources_is_followed_frame_by_frame(tmp_path, layout, follower):
    master = virtual(tmp_path, layout)
    started = writers(tmp_path, layout)
    blocks = FOLLOWERS[follower](master)
    for writer in started:
        finish(writer)
    assert frame_values(blocks) == list(range(TOTAL))
    assert open_files() == 0  # every source file closed with its follower
    with h5py.File(master, "r") as f:
        np.testing.assert_array_equal(np.concatenate(blocks), f[DATASET][()])


def test_followers_of_two_acquisitions_in_two_threads_keep_to_their_own(tmp_path):
    runs = [tmp_path / "a", tmp_path / "b"]
    results = {}

    def follow(run):
        with SWMRReader(virtual(run, "interleaved"), DATASET, 0, TOTAL, 3) as reader:
            results[run] = frame_values(reader)

    for run in runs:
        run.mkdir()
    started = [writer for run in runs for writer in writers(run, "interleaved")]
    threads = [threading.Thread(target=follow, args=(run,)) for run in runs]
    for thread in threads:
        thread.start()
    for writer in started:
        finish(writer)
    for thread in threads:
        thread.join(timeout=120)
    assert results == {run: list(range(TOTAL)) for run in runs}


def simulate(tmp_path, *options):
    command = [sys.executable, "-m", "hdf5_kel", *map(str, options)]
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    return subprocess.Popen(command, cwd=tmp_path, env=child_env(), text=True, **pipes)


@pytest.mark.parametrize(
    "layout", [["--layout", "vds", "--writers", 3], ["--layout", "series", "--frames-per-file", 7]]
)
def test_simulated_acquisitions_are_followed_and_watch_ends_with_them(tmp_path, layout):
    options = ["--frames", "25", "--rate", "50", "--shape", "8", "8"]
    writer = simulate(tmp_path, "simulate", "run.h5", "/entry/data", *options, *layout)
    watch = simulate(tmp_path, "watch", "run.h5", "/entry/data", "--batch", 4)
    with SWMRReader(str(tmp_path / "run.h5"), "/entry/data", 0, 25, 4) as reader:
        blocks = list(reader)
    finish(writer)
    assert "finished: the writer closed the file after 25 frames" in finish(watch)
    with h5py.File(tmp_path / "run.h5", "r") as f:
        found = f["/entry/data"]
        if layout[1] == "vds":
            written = found[()]
        else:
            written = np.concatenate([found[member][()] for member in sorted(found)])
    np.testing.assert_array_equal(np.concatenate(blocks), written)
    with h5py.File(tmp_path / "plain.h5", "w") as f:
        f["/entry/data"] = written
    assert finish(simulate(tmp_path, "compare", "run.h5", "plain.h5", "/entry/data")).startswith(
        "equal"
    )
    (tmp_path / "plain.h5").unlink()
    files = sorted(path.name for path in tmp_path.iterdir())
    if layout[1] == "series":
        assert files == ["run.h5", *[f"run_data_00000{k}.h5" for k in range(1, 5)]]
    else:
        assert files == ["run.h5", "run_0.h5", "run_1.h5", "run_2.h5"]


@pytest.mark.parametrize(
    "frames, handed_out",
    [((PER_WRITER, PER_WRITER, 3), 11), ((PER_WRITER, PER_WRITER, None), 2)],
    ids=["a writer stops short", "a source never appears"],
)
def test_frames_end_where_a_source_ends(tmp_path, capsys, frames, handed_out):
    master = virtual(tmp_path, "interleaved")
    for writer in writers(tmp_path, "interleaved", frames):
        finish(writer)
    stop = threading.Event()
    threading.Timer(1.0, stop.set).start()
    with SWMRCount(master, DATASET, total_count=TOTAL) as counter:
        blocks = []
        while (block := counter.recv_event(stop)) is not None:
            blocks.append(block)
    assert frame_values(blocks) == list(range(handed_out))
    waits = capsys.readouterr().out.count(
        "Waiting for the file of mapping 2 of /entry/data (frames 2::3):"
    )
    assert waits == (frames[2] is None)
    if frames[2] is not None:  # every writer has closed its file: watch ends by itself
        watch = simulate(tmp_path, "watch", master, DATASET)
        assert f"closed the file after {handed_out} frames" in finish(watch)


def source_of_another_shape(master):
    virtual(master.parent, "blocks")
    with h5py.File(master.parent / "w1.h5", "w", libver="latest") as f:
        f.create_dataset(DATASET, (2, 4, 5), "int32")


def series_misnumbered(master):
    with h5py.File(master.parent / "d1.h5", "w") as f:
        f.create_dataset("data", data=np.zeros((4, *SHAPE)))
        f["data"].attrs.update(image_nr_low=1, image_nr_high=5)
    with h5py.File(master, "w", libver="latest") as f:
        f[DATASET + "/data_000001"] = h5py.ExternalLink("d1.h5", "/data")


@pytest.mark.parametrize(
    "make, error",
    [
        (
            source_of_another_shape,
            "mapping 1 of /entry/data (frames 8:16): .*w1.h5:/entry/data has frames of shape (4, 5)",
        ),
        (
            lambda master: mapped(
                master, [(np.s_[:, :2], 0, np.s_[:, :2]), (np.s_[:, 2:], 1, np.s_[:, :2])]
            ),
            "its mapping 0 (from w0.h5:/entry/data) splits a frame: axis 1 is not whole",
        ),
        (
            lambda master: mapped(master, [([0, 1, 5], 0, np.s_[:3])]),
            "its mapping 0 (from w0.h5:/entry/data) is not a regular selection of frames",
        ),
        (
            lambda master: mapped(master, [(np.s_[:4], 0, np.s_[:4]), (np.s_[6:9], 1, np.s_[:3])]),
            "its mappings leave frame 4 out or map a frame twice",
        ),
        (series_misnumbered, "d1.h5:/data has image_nr_high 5, but its 4 frames are frames 1 to 4"),
    ],
    ids=["other frame shape", "frame split", "irregular", "gap", "misnumbered"],
)
def test_unfollowable_acquisitions_are_refused_at_construction(tmp_path, make, error):
    make(tmp_path / "master.h5")
    with pytest.raises(ValueError, match=error.replace("(", r"\(").replace(")", r"\)")):
        SWMRReader(str(tmp_path / "master.h5"), DATASET, 0, TOTAL, 4)
    assert open_files() == 0


@pytest.mark.parametrize(
    "options, error",
    [
        (["--writers", 2], "--writers goes with --layout vds"),
        (["--layout", "series", "--frames", 0], "--layout series needs --frames"),
    ],
)
def test_simulate_refuses_a_layout_option_without_its_layout(tmp_path, options, error):
    out, err = simulate(tmp_path, "simulate", "x.h5", DATASET, *options).communicate(timeout=60)
    assert (out, err.count("\n")) == ("", 1) and f"simulate: error: {error}" in err


def test_a_series_that_is_there_passes_the_check_before_following(tmp_path):
    from hdf5_kel.follow import check_if_present

    # A group of external links; their frame numbers are read once it is followed.
    series_misnumbered(tmp_path / "master.h5")
    assert check_if_present(str(tmp_path / "master.h5"), DATASET) is None
