"""`simulate`, the detector stand-in, run as users run it: its own process."""

import os
import re
import signal
import subprocess
import sys

import h5py
import numpy as np
import pytest
from conftest import DATASET, child_env, wait_for_line

from hdf5_kel.cli.follow import writer_has_file_open

FILTER_IDS = {"none": None, "gzip": 1, "bitshuffle": 32008}


def start_simulate(cwd, *args, env=None):
    return subprocess.Popen(
        [sys.executable, "-m", "hdf5_kel", "simulate", *map(str, args)],
        cwd=str(cwd),
        env=env or child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


@pytest.mark.parametrize(
    "compression, chunk_frames, dtype",
    [("none", 1, "uint16"), ("gzip", 4, "int32"), ("bitshuffle", 3, "uint8")],
)
def test_simulate_writes_detector_frames_on_schedule(tmp_path, compression, chunk_frames, dtype):
    if compression == "bitshuffle":
        pytest.importorskip("hdf5plugin")
    path = tmp_path / "detector.h5"
    options = ["--frames", 14, "--rate", 40, "--shape", 32, 48, "--dtype", dtype]
    options += ["--chunk-frames", chunk_frames, "--compression", compression]
    out, err = start_simulate(tmp_path, path, DATASET, *options).communicate(timeout=120)
    assert err == "" and out.startswith("simulating a detector: 14 frames of 32 x 48"), out + err
    # 13 frame intervals at 40 frames/s; a schedule never runs ahead of itself.
    seconds = float(
        re.fullmatch(rf"done: {path}:{DATASET}, 14 frames in ([\d.]+) s.*", out.splitlines()[-1])[1]
    )
    assert 13 / 40 - 0.05 <= seconds < 60
    assert writer_has_file_open(path) is False
    if compression == "bitshuffle":
        import hdf5plugin  # noqa: F401
    with h5py.File(path, "r") as f:
        dset = f[DATASET]
        frames = dset[()]
        assert (dset.shape, dset.maxshape, dset.chunks) == (
            (14, 32, 48),
            (None, None, None),
            (chunk_frames, 32, 48),
        )
        filters = dset.id.get_create_plist()
        assert (filters.get_filter(0)[0] if filters.get_nfilters() else None) == FILTER_IDS[
            compression
        ]
    top = np.iinfo(dtype).max
    hot = frames == top
    assert frames.dtype == dtype and 3 <= hot[0].sum() < 20 and (hot == hot[0]).all()
    assert 0 < np.median(frames) < top / 10 and not (frames[0] == frames[1]).all()


def test_ctrl_c_stops_simulate_with_the_file_closed(tmp_path):
    path = tmp_path / "endless.h5"
    simulate = start_simulate(tmp_path, path, DATASET, "--frames", 0, "--rate", 20, "--shape", 8, 8)
    wait_for_line(simulate, "simulating a detector: frames of 8 x 8 uint16 at 20 frames/s without")
    assert re.fullmatch(r"\d+ frames written, [\d.]+ frames/s\n", simulate.stdout.readline())
    simulate.send_signal(signal.SIGINT)
    out, err = simulate.communicate(timeout=60)
    assert (simulate.returncode, err) == (130, ""), out + err
    written = int(
        re.fullmatch(
            rf"stopped: {path}:{DATASET} holds the (\d+) frames written; the file is closed",
            out.splitlines()[-1],
        )[1]
    )
    with h5py.File(path, "r") as f:  # a plain open: the file is closed
        assert f[DATASET].shape == (written, 8, 8) and written >= 1


@pytest.mark.parametrize(
    "options, error",
    [
        (["--rate", "0"], "argument --rate: must be above 0, got 0"),
        (["--rate", "nan"], "argument --rate: must be above 0, got nan"),
        (["--shape", "0", "4"], "argument --shape: must be at least 1, got 0"),
        (["--shape", "4"], "argument --shape: expected 2 arguments"),
        (["--dtype", "bool"], "argument --dtype: not an integer or floating-point type: 'bool'"),
        (["--frames", "-1"], "argument --frames: must be 0 or more, got -1"),
        (["--compression", "lzf"], "argument --compression: invalid choice: 'lzf'"),
        (
            ["--chunk-frames", "5000", "--shape", "512", "512", "--dtype", "float64"],
            (
                "--chunk-frames 5000: a chunk of 5000 frames of 512 x 512 float64 is 9.8 GiB;"
                " HDF5 takes chunks below 4 GiB"
            ),
        ),
        (
            ["--compression", "bitshuffle"],
            (
                "--compression bitshuffle needs hdf5plugin: pip install hdf5plugin, or pip"
                ' install ".[plugins]" in a clone of hdf5_kel'
            ),
        ),
    ],
)
def test_simulate_refuses_bad_arguments_in_one_line(tmp_path, options, error):
    env = child_env()
    if "bitshuffle" in options:  # a Python that has no hdf5plugin
        (tmp_path / "standin").mkdir()
        (tmp_path / "standin" / "hdf5plugin.py").write_text(
            "raise ModuleNotFoundError(\"No module named 'hdf5plugin'\", name='hdf5plugin')\n"
        )
        env["PYTHONPATH"] = os.pathsep.join([str(tmp_path / "standin"), env["PYTHONPATH"]])
    simulate = start_simulate(tmp_path, "x.h5", DATASET, *options, env=env)
    out, err = simulate.communicate(timeout=60)
    assert (simulate.returncode, out) == (2, "")
    assert err.splitlines()[-1].startswith(f"python -m hdf5_kel simulate: error: {error}")
    assert not (tmp_path / "x.h5").exists()
