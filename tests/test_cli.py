"""The command line: watch, write, compare, compare-subfiles, their help and errors."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

import h5py
import numpy as np
import pytest
from conftest import (
    PACKAGE_ROOT,
    child_env,
    finish,
    start_python,
    start_writer,
    wait_for_line,
    write_frames,
)

import hdf5_kel
from hdf5_kel.cli import main
from hdf5_kel.follow import writer_has_file_open

DATASET = "/entry/data"


def run(capsys, *argv):
    """main() on argv: the exit status, standard output and standard error."""
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def start_command(cwd, command, *args, env=None):
    return subprocess.Popen(
        [sys.executable, "-m", "hdf5_kel", command, *map(str, args)],
        cwd=str(cwd),
        env=env or child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def start_watch(cwd, *args):
    return start_command(cwd, "watch", *args)


def write_dataset(path, data, dataset=DATASET):
    with h5py.File(path, "a") as f:
        f[dataset] = data


FRAMES = np.arange(6 * 2 * 3, dtype="int32").reshape(6, 2, 3)


def block_ranges(out):
    return [tuple(map(int, m.groups())) for m in re.finditer(r"frames +(\d+) to +(\d+)", out)]


# --help and bad command lines


@pytest.mark.parametrize(
    "argv, shows",
    [
        (["watch"], "FILE DATASET"),
        (["write"], "writer_first_dim3_multiline"),
        (["write", "basic_writer"], "--directory"),
        (["write", "writer_first_dim2"], "--directory"),
        (
            ["write", "basic_writer"],
            "in basic_writer, the new shape of each append is the constant",
        ),
        (["write", "writer_first_dim2"], "shape with axis 0 one longer and the other axes taken"),
        (["compare"], "--equal-nan"),
        (["compare-subfiles"], "--equal-nan"),
        (["watch"], "how much of it went to those waits"),
        (["write", "writer_first_dim3"], "--shape-set FRAMES [AXIS ...]"),
        (["write", "writer_first_dim3_multiline"], "--segmentsize"),
        (["compare"], "A B DATASET [DATASET_B]"),
        (["compare-subfiles"], "FILE DATASET 'PATTERN' [--sub-dataset"),
        (["simulate"], "[--chunk-frames K] [--compression {none,gzip,bitshuffle}]"),
    ],
)
def test_every_command_has_help(capsys, argv, shows):
    with pytest.raises(SystemExit) as info:
        main([*argv, "--help"])
    assert info.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith(f"usage: python -m hdf5_kel {' '.join(argv)}")
    assert shows in " ".join(out.split())


@pytest.mark.parametrize(
    "argv, message",
    [
        (["watch", "f.h5"], "the following arguments are required: DATASET"),
        (["watch", "f.h5", DATASET, "--batch", "0"], "--batch: must be at least 1, got 0"),
        (["watch", "f.h5", DATASET, "--start", "-1"], "--start: must be 0 or more, got -1"),
        (["watch", "f.h5", DATASET, "--total", "x"], "--total: not a whole number: 'x'"),
        (["watch", "f.h5", DATASET, "--timeout", "-1"], "--timeout: must be at least 0, got -1"),
        (["view", "f.h5", DATASET, "--timeout", "x"], "--timeout: not a number of seconds: 'x'"),
        (["write"], "the following arguments are required: WRITER"),
        (["write", "writer_first_dim4"], "invalid choice: 'writer_first_dim4'"),
        (["write", "basic_writer", "f.h5"], "unrecognized arguments: f.h5"),
        (["write", "writer_first_dim3", "f.h5"], "required: DATASET"),
        (
            ["write", "writer_first_dim3", "f.h5", DATASET, "--dtype", "int33"],
            "--dtype: not an element type numpy knows: 'int33'",
        ),
        (
            ["write", "writer_first_dim3", "f.h5", DATASET, "--shape-set", "4", "-2"],
            "--shape-set: must be 0 or more, got -2",
        ),
        (["write", "writer_first_dim3", "f.h5", DATASET, "--shape-set"], "expected at least one"),
        (["compare", "a.h5", "b.h5"], "required: DATASET"),
        (["compare", "a.h5", "b.h5", DATASET, DATASET, "extra"], "unrecognized arguments: extra"),
        (["compare-subfiles", "a.h5", DATASET], "required: PATTERN"),
    ],
)
def test_bad_command_lines_are_refused_with_usage(capsys, monkeypatch, tmp_path, argv, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: python -m hdf5_kel") and message in err
    assert list(tmp_path.iterdir()) == []


# compare and compare-subfiles: 0 equal, 1 different, 2 error


def different_last_value():
    data = FRAMES.copy()
    data[-1, -1, -1] += 1
    return data


NAN = np.full((2, 2), np.nan)


def nan_and_one_value():
    data = NAN.copy()
    data[1, 0] = 7.0
    return data


@pytest.mark.parametrize(
    "first, second, options, code, reason",
    [
        (FRAMES, FRAMES, [], 0, ""),
        (
            FRAMES,
            different_last_value(),
            [],
            1,
            ": frame 5 differs in 1 of 6 elements, the first at (1, 2): 35 and 36",
        ),
        (
            FRAMES,
            FRAMES.astype("int64"),
            [],
            1,
            ": element types int32 little-endian and int64 little-endian",
        ),
        (
            FRAMES,
            FRAMES.astype(">i4"),
            [],
            1,
            ": element types int32 little-endian and int32 big-endian",
        ),
        (FRAMES, FRAMES[:5], [], 1, ": shapes (6, 2, 3) and (5, 2, 3)"),
        (
            NAN,
            NAN,
            [],
            1,
            ": frame 0 differs in 2 of 2 elements, the first at (0,): nan and nan",
        ),
        (NAN, NAN, ["--equal-nan"], 0, ""),
        (
            NAN,
            nan_and_one_value(),
            ["--equal-nan"],
            1,
            ": frame 1 differs in 1 of 2 elements, the first at (0,): nan and 7.0",
        ),
        (np.arange(4), np.array([0, 1, 5, 3]), [], 1, ": frame 2 differs: 2 and 5"),
        (np.int16(3), np.int16(4), [], 1, ": values 3 and 4"),
        (np.float32(np.nan), np.float32(np.nan), ["--equal-nan"], 0, ""),
        (b"run 7", b"run 8", [], 1, ": values b'run 7' and b'run 8'"),
        (np.zeros((0, 3)), np.zeros((0, 3)), [], 0, ""),
    ],
    ids=[
        "equal",
        "last-value",
        "element-type",
        "byte-order",
        "shape",
        "nan-equals-nothing",
        "equal-nan",
        "equal-nan-other-value",
        "one-axis",
        "scalar",
        "scalar-nan",
        "scalar-text",
        "no-frames",
    ],
)
def test_compare_says_why_two_datasets_differ(
    capsys, tmp_path, first, second, options, code, reason
):
    a, b = tmp_path / "a.h5", tmp_path / "b.h5"
    write_dataset(a, first)
    write_dataset(b, second)
    verdict = ["equal", "different"][code]
    assert run(capsys, "compare", str(a), str(b), DATASET, *options) == (
        code,
        f"{verdict}: {a}:{DATASET} and {b}:{DATASET}{reason}\n",
        "",
    )
    assert run(capsys, "compare", "-q", str(a), str(b), DATASET, *options) == (code, "", "")


def test_compare_finds_a_difference_past_its_first_block(capsys, monkeypatch, tmp_path):
    from hdf5_kel.cli import compare

    # Three frames a block: the difference is in the third block.
    monkeypatch.setattr(compare, "BLOCK_BYTES", 3 * 2 * 3 * 4)
    data = np.zeros((10, 2, 3), "int32")
    write_dataset(tmp_path / "a.h5", data)
    data[7, 0, 1:] = 5
    write_dataset(tmp_path / "b.h5", data)
    code, out, _ = run(capsys, "compare", str(tmp_path / "a.h5"), str(tmp_path / "b.h5"), DATASET)
    assert code == 1
    assert out.endswith(": frame 7 differs in 2 of 6 elements, the first at (0, 1): 0 and 5\n")


def test_compare_takes_a_second_dataset_path(capsys, tmp_path):
    a, b = tmp_path / "a.h5", tmp_path / "b.h5"
    write_dataset(a, FRAMES)
    write_dataset(b, FRAMES, "/other/place")
    code, out, _ = run(capsys, "compare", str(a), str(b), DATASET, "/other/place")
    assert (code, out) == (0, f"equal: {a}:{DATASET} and {b}:/other/place\n")


@pytest.mark.parametrize(
    "a_name, b_name, dataset, error",
    [
        ("a.h5", "missing.h5", DATASET, "missing.h5: no such file"),
        ("missing.h5", "b.h5", DATASET, "missing.h5: no such file"),
        (
            "a.h5",
            "not-hdf5.h5",
            DATASET,
            "not-hdf5.h5 is not an HDF5 file",
        ),
        (
            "a.h5",
            "b.h5",
            "/entry/dat",
            "a.h5 has no dataset /entry/dat; closest datasets: /entry/data, /entry/dark",
        ),
        ("a.h5", "b.h5", "/missing/deeper", "a.h5 has no dataset /missing/deeper; closest"),
        ("a.h5", "b.h5", "/entry/data/x", "a.h5 has no dataset /entry/data/x; closest"),
        (
            "a.h5",
            "b.h5",
            "/entry",
            "a.h5:/entry is a group, not a dataset; closest datasets: /entry/data, /entry/dark",
        ),
        ("a.h5", "empty.h5", DATASET, "empty.h5 has no dataset /entry/data; it holds no dataset"),
    ],
    ids=[
        "missing-b",
        "missing-a",
        "not-hdf5",
        "missing-dataset",
        "missing-group",
        "through-a-dataset",
        "group",
        "no-dataset-at-all",
    ],
)
def test_compare_errors_are_one_line_naming_file_and_object(
    capsys, monkeypatch, tmp_path, a_name, b_name, dataset, error
):
    monkeypatch.chdir(tmp_path)
    for name in ("a.h5", "b.h5"):
        write_dataset(tmp_path / name, FRAMES)
        write_dataset(tmp_path / name, FRAMES[:1], "/entry/dark")
    h5py.File(tmp_path / "empty.h5", "w").close()
    (tmp_path / "not-hdf5.h5").write_text("plain text\n")
    code, out, err = run(capsys, "compare", a_name, b_name, dataset)
    assert (code, out) == (2, "")
    assert err.startswith(f"python -m hdf5_kel compare: error: {error}")
    assert err.count("\n") == 1


def write_subfiles(directory, pieces):
    """Sub-files run_NNNN.h5 holding the given row ranges of FRAMES."""
    for number, (start, end) in pieces.items():
        write_dataset(directory / f"run_{number:04d}.h5", FRAMES[start:end])


@pytest.mark.parametrize(
    "pieces, code, line",
    [
        # Key 10 sorts after key 2, whatever glob returns first.
        ({2: (0, 2), 10: (2, 5)}, 0, "equal: the 2 sub-files {pattern}, end to end, and the"),
        (
            {2: (2, 5), 10: (0, 2)},
            1,
            (
                "different: sub-file {dir}/run_0002.h5, its frame 0 (frame 0 of {dir}/main.h5:"
                "/entry/data) differs in 6 of 6 elements, the first at (0, 0): 12 and 0\n"
            ),
        ),
        (
            {1: (0, 2), 2: (2, 3), 3: (3, 6)},
            1,
            (
                "different: sub-file {dir}/run_0003.h5, its frame 2 (frame 5 of {dir}/main.h5:"
                "/entry/data) differs in 1 of 6 elements, the first at (1, 2): 35 and 99\n"
            ),
        ),
        (
            {1: (0, 4), 2: (3, 6)},
            1,
            (
                "different: sub-file {dir}/run_0002.h5 reaches past the end of {dir}/main.h5:"
                "/entry/data, which has 6 frames: its 3 frames would be frames 4 to 6\n"
            ),
        ),
    ],
    ids=["in-key-order", "out-of-order", "one-value", "more-frames"],
)
def test_compare_subfiles_says_why(capsys, tmp_path, pieces, code, line):
    main = FRAMES.copy()
    main[5, 1, 2] = 99  # only the one-value case gets as far as frame 5
    write_dataset(tmp_path / "main.h5", main)
    write_subfiles(tmp_path, pieces)
    pattern = str(tmp_path / "run_*.h5")
    status, out, err = run(capsys, "compare-subfiles", str(tmp_path / "main.h5"), DATASET, pattern)
    assert (status, err) == (code, "")
    assert out.startswith(line.format(pattern=pattern, dir=tmp_path)) and out.count("\n") == 1


@pytest.mark.parametrize("options, code", [([], 1), (["--equal-nan"], 0)])
def test_compare_subfiles_equal_nan(capsys, tmp_path, options, code):
    frames = np.full((4, 2), np.nan)
    frames[3] = 1.5
    write_dataset(tmp_path / "main.h5", frames)
    write_dataset(tmp_path / "run_0001.h5", frames[:3])
    write_dataset(tmp_path / "run_0002.h5", frames[3:])
    pattern = str(tmp_path / "run_*.h5")
    status, out, _ = run(
        capsys, "compare-subfiles", str(tmp_path / "main.h5"), DATASET, pattern, *options
    )
    assert status == code
    assert out.startswith(["equal: the 2 sub-files", "different: sub-file"][code])


@pytest.mark.parametrize(
    "arguments, error",
    [
        (
            ["/missing", "run_*.h5"],
            "main.h5 has no dataset /missing; closest datasets: /entry/data",
        ),
        (["/", "run_*.h5"], "main.h5:/ is a group, not a dataset; closest datasets: /entry/data"),
        ([DATASET, "none_*.h5"], "no file matches none_*.h5"),
        ([DATASET, "run_0001.h5", "run_0002.h5"], "PATTERN came as 2 paths, expanded by the shell"),
        (
            [DATASET, "run_*.h5", "--sub-dataset", "/missing"],
            "TypeError: dataset /missing not found in sub-file run_0001.h5",
        ),
        ([DATASET, "bad_*.h5"], "ValueError: sub-file name does not end in four digits"),
        (
            [DATASET, "late_*.h5"],
            "late_0009.h5 is not an HDF5 file",
        ),
    ],
    ids=[
        "main-dataset",
        "group",
        "no-match",
        "shell-expanded",
        "sub-dataset",
        "bad-name",
        "not-hdf5",
    ],
)
def test_compare_subfiles_errors_are_one_line_and_status_2(
    capsys, monkeypatch, tmp_path, arguments, error
):
    monkeypatch.chdir(tmp_path)
    write_dataset(tmp_path / "main.h5", FRAMES)
    write_subfiles(tmp_path, {1: (0, 2), 2: (2, 4)})
    write_dataset(tmp_path / "bad_12.h5", FRAMES)
    write_dataset(tmp_path / "late_0001.h5", FRAMES[:2])
    (tmp_path / "late_0009.h5").write_text("plain text\n")
    code, out, err = run(capsys, "compare-subfiles", "main.h5", *arguments)
    assert (code, out) == (2, "")
    assert err.startswith(f"python -m hdf5_kel compare-subfiles: error: {error}")
    assert err.count("\n") == 1


# write


def test_write_runs_a_configurable_writer_with_its_parameters(capsys, tmp_path):
    path = tmp_path / "counting.h5"
    code, out, err = run(
        capsys,
        "write",
        "writer_first_dim3",
        str(path),
        DATASET,
        "--shape-set",
        "3",
        "2",
        "2",
        "--dtype",
        "float32",
    )
    assert (code, err) == (0, "")
    assert out.splitlines() == [
        "flush finished 0",
        "flush finished 1",
        "flush finished 2",
        f"done: {path}:{DATASET}, shape (3, 2, 2), element type float32",
    ]
    with h5py.File(path, "r") as f:
        assert f[DATASET].dtype == np.float32
        assert (f[DATASET][()] == np.arange(4).reshape(2, 2)).all()


def test_write_leaves_out_defaults_it_was_not_given(capsys, tmp_path):
    path = tmp_path / "random.h5"
    # Fewer frames than a block: written one by one, without the pause.
    code, out, _ = run(
        capsys, "write", "writer_first_dim3_multiline", str(path), "/d", "--shape-set", "4", "5"
    )
    assert (code, out) == (0, f"done: {path}:/d, shape (4, 5), element type int32\n")


MULTILINE = "writer_first_dim3_multiline"


@pytest.mark.parametrize(
    "writer, options, error",
    [
        (
            MULTILINE,
            ["--segmentsize", "0"],
            "ValueError: segmentsize must be a positive number of frames, got 0",
        ),
        (
            MULTILINE,
            ["--segmentsize", "-3"],
            "ValueError: segmentsize must be a positive number of frames, got -3",
        ),
        (
            "writer_first_dim3",
            ["--shape-set", "4"],
            "--shape-set 4: writer_first_dim3 needs the frame count and at least one frame axis",
        ),
        (
            "writer_first_dim3",
            ["--shape-set", "2", "1000000", "1000000"],
            "--shape-set 2 1000000 1000000: an append of 1 frame needs 7450.6 GiB, more than",
        ),
        (
            MULTILINE,
            ["--shape-set", "30", "100000", "100000", "--segmentsize", "15"],
            "--shape-set 30 100000 100000: an append of 15 frames needs 1117.6 GiB, more than",
        ),
        (
            "writer_first_dim3",
            ["--dtype", "complex64"],
            (
                "--dtype complex64: HDF5 cannot store the integers of writer_first_dim3 as"
                " complex64 (OSError:"
            ),
        ),
        (
            MULTILINE,
            ["--dtype", "bool"],
            f"--dtype bool: HDF5 cannot store the integers and fractions of {MULTILINE} as bool",
        ),
        (
            "writer_first_dim3",
            ["--dtype", "U4"],
            "--dtype <U4: HDF5 cannot store the integers of writer_first_dim3 as <U4 (TypeError:",
        ),
        (
            "writer_first_dim3",
            ["--dtype", "object"],
            "--dtype object: HDF5 cannot store the integers of writer_first_dim3 as object",
        ),
    ],
    ids=[
        "block-0",
        "block-negative",
        "no-frame-axis",
        "frame-beyond-memory",
        "block-beyond-memory",
        "complex",
        "bool-fractions",
        "text",
        "object",
    ],
)
def test_write_refuses_bad_parameters_and_keeps_the_file(capsys, tmp_path, writer, options, error):
    path = tmp_path / "kept.h5"
    write_dataset(path, FRAMES)
    code, out, err = run(capsys, "write", writer, str(path), DATASET, *options)
    assert (code, out) == (2, "")
    assert err.startswith(f"python -m hdf5_kel write: error: {error}") and err.count("\n") == 1
    with h5py.File(path, "r") as f:
        assert (f[DATASET][()] == FRAMES).all()


@pytest.mark.parametrize(
    "writer, options, shape",
    [
        ("writer_first_dim3", ["--shape-set", "2", "0", "3", "--dtype", "f2"], "(2, 0, 3)"),
        (MULTILINE, ["--shape-set", "3", "500", "500", "--segmentsize", "10000"], "(3, 500, 500)"),
    ],
    ids=["empty-frames", "block-never-built"],
)
def test_write_takes_what_the_writer_can_write(capsys, tmp_path, writer, options, shape):
    path = tmp_path / "x.h5"
    code, out, err = run(capsys, "write", writer, str(path), DATASET, *options)
    assert (code, err) == (0, "")
    assert out.splitlines()[-1].startswith(f"done: {path}:{DATASET}, shape {shape}")


@pytest.mark.parametrize(
    "argv",
    [
        ["writer_first_dim3", "{dir}/no/such/directory/x.h5", DATASET],
        ["basic_writer", "--directory", "{dir}/no/such/directory"],
    ],
)
def test_write_to_a_place_that_cannot_be_written_is_one_line(capsys, monkeypatch, tmp_path, argv):
    # basic_writer works in its directory; the test's own stays where it was.
    monkeypatch.chdir(tmp_path)
    code, out, err = run(capsys, "write", *(a.format(dir=tmp_path) for a in argv))
    assert (code, out) == (2, "")
    assert err.startswith("python -m hdf5_kel write: error: FileNotFoundError:")
    assert err.count("\n") == 1


def test_ctrl_c_ends_a_writer_and_keeps_what_it_flushed(tmp_path):
    (tmp_path / "sub").mkdir()
    writer = subprocess.Popen(
        [sys.executable, "-m", "hdf5_kel", "write", "basic_writer", "--directory", "sub"],
        cwd=str(tmp_path),
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    wait_for_line(writer, "flush finished 0")
    writer.send_signal(signal.SIGINT)
    out, err = writer.communicate(timeout=60)
    assert writer.returncode == 130, out + err
    path = tmp_path / "sub" / "swmr.h5"
    assert out.splitlines()[-1] == f"stopped: {path} keeps the frames flushed so far"
    with h5py.File(path, "r") as f:
        rows = f["/data"][()]
    assert len(rows) >= 1 and (rows == [1, 2, 3, 4]).all()


# watch: a writer in another process, followed by `watch` in a third


SUMMARY = (
    r"[\d.]+ s from the start \([\d.]+ s of it waiting for the file, [\d.]+ s for SWMR mode\)"
    r"(; \d+ frames? already there(, \d+ arrived at [\d.]+ frames/s)?"
    r"|; \d+ arrived at [\d.]+ frames/s)"
)


def test_watch_follows_a_file_that_appears_late_to_the_total(tmp_path):
    path = tmp_path / "growing.h5"
    watch = start_watch(tmp_path, path, DATASET, "--start", "3", "--total", "21", "--batch", "5")
    assert watch.stdout.readline() == (
        f"following {path}:{DATASET} from frame 3 to frame 20 in blocks of 5; Ctrl-C stops\n"
    )
    assert watch.stdout.readline() == f"waiting for {path} to appear\n"
    writer = start_writer(path, DATASET, 25, delay=0.01)
    out, err = watch.communicate(timeout=120)
    finish(writer)
    assert watch.returncode == 0, out + err
    lines = out.splitlines()
    assert not any(line.startswith(("waiting", "File not found")) for line in lines)
    blocks = [line for line in lines if line.startswith("frames")]
    assert block_ranges("\n".join(blocks)) == [(3, 7), (8, 12), (13, 17), (18, 20)]
    percents = [int(re.search(r"\] +(\d+)%", line)[1]) for line in blocks]
    assert percents == [28, 56, 83, 100]
    assert all(
        re.search(r"(frames/s|already there)  file flushed \d+ ms before$", line) for line in blocks
    )
    assert re.fullmatch(rf"done: 18 frames \(3 to 20\) in 4 blocks, {SUMMARY}", lines[-1])


def test_watch_waits_for_swmr_mode_and_says_so_once(tmp_path):
    path, go = tmp_path / "locked.h5", tmp_path / "go"
    writer = start_writer(path, DATASET, 4, swmr_when=go)
    wait_for_line(writer, "locked")
    watch = start_watch(tmp_path, path, DATASET, "--total", "4", "--batch", "2")
    wait_for_line(watch, f"waiting for the writer of {path} to switch SWMR mode on")
    go.touch()
    out, err = watch.communicate(timeout=120)
    finish(writer)
    assert watch.returncode == 0, out + err
    assert not any(line.startswith("waiting") for line in out.splitlines())
    assert block_ranges(out) == [(0, 1), (2, 3)]
    assert re.fullmatch(rf"done: 4 frames \(0 to 3\) in 2 blocks, {SUMMARY}", out.splitlines()[-1])


def test_ctrl_c_ends_watch_with_a_summary(tmp_path):
    path = tmp_path / "held.h5"
    # 12 frames, then the file stays open: two whole blocks of 5 and 2 frames short of a third.
    writer = start_writer(path, DATASET, 12, hold=60)
    wait_for_line(writer, "flushed 12")
    watch = start_watch(tmp_path, path, DATASET, "--batch", "5")
    wait_for_line(watch, "frames      5 to      9")
    watch.send_signal(signal.SIGINT)
    out, err = watch.communicate(timeout=60)
    writer.kill()
    writer.communicate()
    assert watch.returncode == 130, out + err
    assert "Traceback" not in err
    last = out.splitlines()[-1]
    assert re.fullmatch(
        rf"stopped: 10 frames \(0 to 9\) in 2 blocks, {SUMMARY};"
        r" 2 more frames present, short of a whole block",
        last,
    )


# At the first line, too: a script may answer it with Ctrl-C at once.
@pytest.mark.parametrize("line", ["following {path}", "waiting for {path} to appear"])
def test_ctrl_c_while_watch_waits_for_the_file(tmp_path, line):
    path = tmp_path / "never.h5"
    watch = start_watch(tmp_path, path, DATASET)
    wait_for_line(watch, line.format(path=path))
    watch.send_signal(signal.SIGINT)
    out, err = watch.communicate(timeout=60)
    assert (watch.returncode, err) == (130, ""), out + err
    assert re.fullmatch(
        r"stopped: the file was never opened, [\d.]+ s from the start"
        r" \([\d.]+ s of it waiting for the file\)",
        out.splitlines()[-1],
    )


@pytest.mark.parametrize("command", ["watch", "view"])
def test_a_name_that_never_appears_is_said_again_with_the_closest_names(tmp_path, command):
    write_frames(tmp_path / "run_0042.h5", 2)
    (tmp_path / "notes.txt").write_text("")
    proc = start_command(tmp_path, command, "run_042.h5", DATASET, "--timeout", "10.5")
    out, err = proc.communicate(timeout=120)
    assert (proc.returncode, err) == (1, ""), out + err
    lines = out.splitlines()
    said = lines.index("waiting for run_042.h5 to appear")
    assert re.fullmatch(
        r"still waiting for run_042\.h5 after 1\d s;"
        r" closest names in the current folder: run_0042\.h5",
        lines[said + 1],
    )
    assert lines[said + 2] == "gave up: run_042.h5 did not appear within 10.5 s"
    if command == "watch":
        assert lines[-1].startswith("gave up: the file was never opened, ")


class Clock:
    """A clock that the test moves: watch's lines are a function of it."""

    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def test_watch_rate_is_over_the_latest_blocks():
    from hdf5_kel.cli.watch import WatchReport

    clock = Clock()
    report = WatchReport(0, None, 10, clock=clock)
    report.file_found()
    report.opened()
    rates = []
    # Ten blocks a second, then one block after a pause of 10 s, then ten a second again.
    for gap in [0.1] * 12 + [10.0] + [0.1] * 12:
        clock.now += gap
        line = report.block(report.frames, 10, "/no/such/file")
        rates.append(float(re.search(r"([\d.]+) frames/s", line)[1]))
    assert rates[:12] == [100.0] * 12
    # The pause weighs on the rate while it is one of the latest ten blocks.
    assert rates[12] == round(100 / 10.9, 1)
    assert all(rate < 100.0 for rate in rates[12:22])
    assert rates[22:] == [pytest.approx(100.0)] * 3


@pytest.mark.parametrize(
    "total, handed_out, present, tail",
    [
        (None, 10, 2, "; 2 more frames present, short of a whole block"),
        (None, 10, 1, "; 1 more frame present, short of a whole block"),
        (None, 10, 5, "; 5 more frames present, not handed out yet"),
        (None, 10, 7, "; 7 more frames present, not handed out yet"),
        (12, 10, 2, "; 2 more frames present, not handed out yet"),
        (12, 10, 9, "; 2 more frames present, not handed out yet"),
        (20, 10, 0, ""),
    ],
    ids=["short", "one-short", "whole", "more-than-whole", "last-block", "beyond-total", "none"],
)
def test_watch_summary_tells_part_of_a_block_from_a_whole_one(total, handed_out, present, tail):
    from hdf5_kel.cli.watch import WatchReport

    clock = Clock()
    report = WatchReport(0, total, 5, clock=clock)
    clock.now += 2.0
    report.file_found()
    clock.now += 1.0
    report.opened()
    clock.now += 4.0
    report.block(0, handed_out, "/no/such/file")
    assert report.summary("stopped", present) == (
        f"stopped: {handed_out} frames (0 to {handed_out - 1}) in 1 block, 7.0 s from the start"
        f" (2.0 s of it waiting for the file, 1.0 s for SWMR mode){tail}"
    )


@pytest.mark.parametrize(
    "arguments, error",
    [
        ([DATASET, "--start", "5", "--total", "5"], "--total 5 must be above --start 5"),
        (
            ["/entry/dat"],
            "{path} has no dataset /entry/dat; closest datasets: /entry/data, /entry/dark",
        ),
        (
            ["/entry"],
            "{path}:/entry is a group, not a dataset; closest datasets: /entry/data, /entry/dark",
        ),
        (["/scalar"], "{path}:/scalar has no axis to grow along"),
    ],
    ids=["total", "missing-dataset", "group", "scalar"],
)
def test_watch_errors_are_one_line_and_status_2(capsys, tmp_path, arguments, error):
    path = tmp_path / "done.h5"
    write_dataset(path, FRAMES)
    write_dataset(path, FRAMES[:1], "/entry/dark")
    if arguments == ["/scalar"]:  # alone: it would be one of the closest datasets
        write_dataset(path, 5, "/scalar")
    code, out, err = run(capsys, "watch", str(path), *arguments)
    assert code == 2
    assert err == f"python -m hdf5_kel watch: error: {error.format(path=path)}\n"
    assert "Error in __del__" not in out + err


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda p: p.write_text("plain text\n"), "{path} is not an HDF5 file"),
        (lambda p: p.write_bytes(b""), "{path} is not an HDF5 file (it is empty)"),
        (lambda p: p.mkdir(), "{path} is a folder, not a file"),
        pytest.param(  # root reads whatever it likes
            lambda p: write_frames(p, 2).chmod(0),
            "cannot open {path}: permission denied",
            marks=pytest.mark.skipif(os.geteuid() == 0, reason="root"),
        ),
        (lambda p: p.parent.touch(), "cannot open {path}: a folder on its path is a file"),
    ],
    ids=["text", "empty", "folder", "permission", "file-as-folder"],
)
def test_watch_says_why_it_cannot_open_a_path(capsys, tmp_path, make, error):
    path = tmp_path / "f" / "notes.h5"
    if "on its path" not in error:
        path.parent.mkdir()
    make(path)
    code, out, err = run(capsys, "watch", str(path), DATASET)
    assert (code, err) == (2, f"python -m hdf5_kel watch: error: {error.format(path=path)}\n")
    assert "Error in __del__" not in out


def test_a_file_still_empty_as_its_writer_makes_it_is_waited_for(tmp_path):
    path = tmp_path / "made.h5"
    watch = start_watch(tmp_path, path, DATASET)
    wait_for_line(watch, f"waiting for {path} to appear")
    # Made in place: empty for a moment (here half a second), then HDF5.
    path.touch()
    time.sleep(0.5)
    os.replace(write_frames(tmp_path / "part.h5", 4), path)
    out, err = watch.communicate(timeout=120)
    assert (watch.returncode, err) == (0, ""), out + err
    assert "finished: the writer closed the file after 4 frames" in out


def test_watch_says_once_that_the_folder_is_missing_and_waits_on(tmp_path):
    path = tmp_path / "run" / "late.h5"
    watch = start_watch(tmp_path, path, DATASET, "--total", "4")
    folder_line = f"waiting for {path} to appear; its folder {path.parent} does not exist yet"
    wait_for_line(watch, folder_line)
    path.parent.mkdir()
    finish(start_writer(path, DATASET, 4))
    out, err = watch.communicate(timeout=120)
    assert (watch.returncode, err) == (0, ""), out + err
    assert block_ranges(out) == [(0, 3)] and "to appear" not in out


@pytest.mark.parametrize(
    "options, code, missing, summary",
    [
        ([], 0, "", "done: 12 frames (0 to 11) in 3 blocks"),
        (["--total", "20"], 1, ": 8 frames missing up to --total 20", "incomplete: 12 frames"),
        (["--total", "12"], 0, None, "done: 12 frames (0 to 11) in 3 blocks"),
    ],
    ids=["no-total", "total-beyond", "total-reached"],
)
def test_watch_ends_once_the_writer_has_closed_the_file(tmp_path, options, code, missing, summary):
    path = tmp_path / "closing.h5"
    writer = start_writer(path, DATASET, 12, per_append=2, delay=0.02)
    watch = start_watch(tmp_path, path, DATASET, "--batch", "5", *options)
    out, err = watch.communicate(timeout=120)
    finish(writer)
    assert (watch.returncode, err) == (code, ""), out + err
    lines = out.splitlines()
    assert block_ranges(out) == [(0, 4), (5, 9), (10, 11)] and summary in lines[-1]
    finished = "finished: the writer closed the file after 12 frames"
    assert lines[-2] == finished + missing if missing is not None else finished not in out


def test_watch_counts_frames_already_there_apart_from_the_rate(tmp_path):
    path, resume = tmp_path / "backlog.h5", tmp_path / "resume"
    writer = start_writer(path, DATASET, 40, delay=0.02, pause_after=20, resume_when=resume)
    wait_for_line(writer, "flushed 20")
    watch = start_watch(tmp_path, path, DATASET, "--total", "40", "--batch", "10")
    wait_for_line(watch, "20 frames already there; the rates count only the frames that arrive")
    resume.touch()
    # Through the pipe's text buffer, which holds the lines after that one already.
    out, err = watch.stdout.read(), watch.stderr.read()
    finish(writer)
    assert (watch.wait(timeout=120), err) == (0, ""), out + err
    blocks = [line for line in out.splitlines() if line.startswith("frames")]
    assert ["already there" in line for line in blocks] == [True, True, False, False]
    # A writer at 50 frames/s at most; its backlog read at once would show thousands.
    rates = [float(rate) for rate in re.findall(r"([\d.]+) frames/s", out)]
    assert len(rates) == 3 and all(0 < rate < 200 for rate in rates), out
    assert re.search(r"; 20 frames already there, 20 arrived at [\d.]+ frames/s$", out.strip())


def test_watch_summary_rate_is_over_the_time_frames_kept_arriving():
    from hdf5_kel.cli.watch import WatchReport

    clock = Clock()
    report = WatchReport(0, None, 5, clock=clock)
    report.opened(5)  # 5 frames there, then a look a second: 5 more, 10 more, none
    for length in (5, 10, 20, 20):
        report.looked(length, read_at=clock.now)
        clock.now += 1.0
    report.block(0, 20, "/no/such/file")
    clock.now += 100.0  # stopped long after the writer
    assert report.summary("stopped").endswith(
        "; 5 frames already there, 15 arrived at 7.5 frames/s"
    )


# simulate: the detector stand-in

FILTERS = {"none": [], "gzip": [1], "bitshuffle": [32008]}


@pytest.mark.parametrize(
    "compression, chunk_frames, dtype",
    [("none", 1, "uint16"), ("gzip", 4, "int32"), ("bitshuffle", 3, "uint8")],
)
def test_simulate_writes_detector_frames_on_schedule(tmp_path, compression, chunk_frames, dtype):
    if compression == "bitshuffle":
        pytest.importorskip("hdf5plugin")  # also reads the file here
    path = tmp_path / "detector.h5"
    options = ["--frames", 14, "--rate", 40, "--shape", 32, 48, "--dtype", dtype]
    options += ["--chunk-frames", chunk_frames, "--compression", compression]
    out, err = start_command(tmp_path, "simulate", path, DATASET, *options).communicate(timeout=120)
    last = re.fullmatch(rf"done: {path}:{DATASET}, 14 frames in ([\d.]+) s.*", out.splitlines()[-1])
    assert err == "" and last, out + err
    assert 13 / 40 - 0.05 <= float(last[1]) < 60  # 13 intervals; a schedule never runs ahead
    assert writer_has_file_open(path) is False
    with h5py.File(path, "r") as f:
        dset, plist = f[DATASET], f[DATASET].id.get_create_plist()
        filters = [plist.get_filter(i)[0] for i in range(plist.get_nfilters())]
        layout = (dset.shape, dset.maxshape, dset.chunks, filters)
        assert layout == ((14, 32, 48), (None,) * 3, (chunk_frames, 32, 48), FILTERS[compression])
        frames = dset[()]
    top = np.iinfo(dtype).max
    hot = frames == top
    assert frames.dtype == dtype and 3 <= hot[0].sum() < 20 and (hot == hot[0]).all()
    assert 0 < np.median(frames) < top / 10 and not (frames[0] == frames[1]).all()


def test_ctrl_c_stops_simulate_with_the_file_closed(tmp_path):
    path = tmp_path / "endless.h5"
    simulate = start_command(
        tmp_path, "simulate", path, DATASET, "--frames", 0, "--rate", 20, "--shape", 8, 8
    )
    wait_for_line(simulate, "simulating a detector: frames of 8 x 8 uint16 at 20 frames/s without")
    assert re.fullmatch(r"\d+ frames written, [\d.]+ frames/s\n", simulate.stdout.readline())
    simulate.send_signal(signal.SIGINT)
    out, err = simulate.communicate(timeout=60)
    assert (simulate.returncode, err) == (130, ""), out + err
    stopped = rf"stopped: {path}:{DATASET} holds the (\d+) frames written; the file is closed"
    written = int(re.fullmatch(stopped, out.splitlines()[-1])[1])
    with h5py.File(path, "r") as f:  # a plain open: the file is closed
        assert f[DATASET].shape == (written, 8, 8) and written >= 1


@pytest.mark.parametrize(
    "options, error",
    [
        (["--rate", "0"], "argument --rate: must be above 0, got 0"),
        (["--shape", "0", "4"], "argument --shape: must be at least 1, got 0"),
        (["--dtype", "bool"], "argument --dtype: not an integer or floating-point type: 'bool'"),
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
        (tmp_path / "standin" / "hdf5plugin.py").write_text(HDF5PLUGIN_STANDINS["not-installed"])
        env["PYTHONPATH"] = os.pathsep.join([str(tmp_path / "standin"), env["PYTHONPATH"]])
    simulate = start_command(tmp_path, "simulate", "x.h5", DATASET, *options, env=env)
    out, err = simulate.communicate(timeout=60)
    assert (simulate.returncode, out) == (2, "")
    assert err.splitlines()[-1].startswith(f"python -m hdf5_kel simulate: error: {error}")
    assert not (tmp_path / "x.h5").exists()


# Compressed detector data: a filter plugin, loaded through hdf5plugin


def test_watch_follows_a_growing_bitshuffle_lz4_file(tmp_path):
    pytest.importorskip("hdf5plugin")
    path = tmp_path / "detector.h5"
    writer = start_writer(
        path, DATASET, 30, per_append=3, delay=0.01, dtype="uint16", filter="bitshuffle-lz4"
    )
    watch = start_watch(tmp_path, path, DATASET, "--total", "30", "--batch", "4")
    out, err = watch.communicate(timeout=120)
    finish(writer)
    assert (watch.returncode, err) == (0, ""), out + err
    assert block_ranges(out) == [(i, min(i + 3, 29)) for i in range(0, 30, 4)]
    with h5py.File(path, "r") as f:
        assert f[DATASET].id.get_create_plist().get_filter(0)[0] == 32008  # bitshuffle


BITSHUFFLE_FOLLOWER = """
import sys

import hdf5plugin  # noqa: F401
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRReader

path, dataset, kind = sys.argv[1:]
if kind == "reader":
    reader = SWMRReader(path, dataset, 0, 30, 4)
    blocks = []
    while (block := reader.read_chunk()) is not None:
        blocks.append(block)
else:
    reader = SWMRCount(path, dataset, total_count=30)
    blocks = []
    while sum(map(len, blocks)) < 30:
        if (block := reader.recv()) is not None:
            blocks.append(block)
reader.close()
print("values", [int(v) for block in blocks for v in block[:, 0, 0]])
"""


@pytest.mark.parametrize("kind", ["reader", "counter"])
def test_readers_follow_a_growing_bitshuffle_lz4_file(tmp_path, kind):
    pytest.importorskip("hdf5plugin")
    path = tmp_path / "detector.h5"
    writer = start_writer(
        path, DATASET, 30, per_append=3, delay=0.01, dtype="uint16", filter="bitshuffle-lz4"
    )
    follower = start_python(BITSHUFFLE_FOLLOWER, tmp_path, path, DATASET, kind)
    out = finish(follower)
    finish(writer)
    assert out.splitlines()[-1] == f"values {list(range(30))}"


HDF5PLUGIN_STANDINS = {
    "not-installed": "raise ModuleNotFoundError(\"No module named 'hdf5plugin'\", name='hdf5plugin')",
    "broken": "raise ImportError('libhdf5 of this hdf5plugin does not load')",
}


@pytest.mark.parametrize("standin", list(HDF5PLUGIN_STANDINS))
@pytest.mark.parametrize("command", ["watch", "compare", "compare-subfiles"])
def test_a_missing_filter_plugin_is_named_in_one_line(tmp_path, command, standin):
    pytest.importorskip("hdf5plugin")
    path = tmp_path / "detector.h5"
    # A complete bitshuffle-LZ4 file, written with the plugin loaded.
    writer = start_writer(path, DATASET, 4, dtype="uint16", filter="bitshuffle-lz4")
    finish(writer)
    shutil.copy(path, tmp_path / "run_0001.h5")
    # The child finds this hdf5plugin first, and it fails as the real one can.
    (tmp_path / "standin").mkdir()
    (tmp_path / "standin" / "hdf5plugin.py").write_text(HDF5PLUGIN_STANDINS[standin] + "\n")
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path / "standin"), env["PYTHONPATH"]])
    arguments = {
        "watch": [path, DATASET, "--total", "4"],
        "compare": [path, tmp_path / "run_0001.h5", DATASET],
        "compare-subfiles": [path, DATASET, tmp_path / "run_*.h5"],
    }[command]
    result = subprocess.run(
        [sys.executable, "-m", "hdf5_kel", command, *map(str, arguments)],
        check=False,
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 2, result.stdout + result.stderr
    line = (
        f"python -m hdf5_kel {command}: error: cannot read {path}: /entry/data is compressed"
        " with the HDF5 filter 'bitshuffle' (id 32008), not loaded in this process: install"
        ' hdf5plugin (pip install hdf5plugin, or pip install ".[plugins]" in a clone of hdf5_kel)'
    )
    assert result.stderr.startswith(line) and result.stderr.count("\n") == 1
    broken = "; hdf5plugin is installed but failed to import: ImportError: libhdf5 of this"
    assert (broken in result.stderr) == (standin == "broken")


def test_a_filter_hdf5plugin_does_not_have_is_named_too(capsys, tmp_path):
    pytest.importorskip("hdf5plugin")
    path = tmp_path / "private.h5"
    # A filter of someone's own, not registered in this process: the chunk is
    # written as it is stored.
    with h5py.File(path, "w") as f:
        dset = f.create_dataset(
            DATASET, (1, 4), "uint8", chunks=(1, 4), compression=32100, allow_unknown_filter=True
        )
        dset.id.write_direct_chunk((0, 0), b"\x01\x02\x03\x04")
    code, _, err = run(capsys, "watch", str(path), DATASET, "--total", "1")
    assert code == 2
    assert err.startswith(
        f"python -m hdf5_kel watch: error: cannot read {path}: /entry/data is compressed with"
        " the HDF5 filter"
    )
    assert err.endswith(
        "; hdf5plugin is loaded but does not provide it: HDF5 looks for other filter plugins in"
        " the directories of HDF5_PLUGIN_PATH\n"
    )
    assert err.count("\n") == 1


# The console script, wherever the package is installed


def installed_script():
    if not metadata.entry_points(group="console_scripts", name="hdf5-kel"):
        pytest.skip("the package is not installed here (in-place build)")
    script = shutil.which("hdf5-kel", path=str(Path(sys.executable).parent)) or shutil.which(
        "hdf5-kel"
    )
    assert script, "hdf5-kel is registered but not on the path"
    return script


def test_console_script_runs_the_command_line(tmp_path):
    script = installed_script()
    write_dataset(tmp_path / "a.h5", FRAMES)
    write_dataset(tmp_path / "b.h5", different_last_value())
    help_text = subprocess.run(
        [script, "compare", "--help"], capture_output=True, text=True, check=True
    ).stdout
    assert help_text.startswith("usage: hdf5-kel compare")
    result = subprocess.run(
        [script, "compare", "a.h5", "b.h5", DATASET],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=False,
    )
    assert (result.returncode, result.stdout) == (
        1,
        (
            f"different: a.h5:{DATASET} and b.h5:{DATASET}: frame 5 differs in 1 of 6 elements,"
            " the first at (1, 2): 35 and 36\n"
        ),
    )


def test_version_is_the_package_version(capsys):
    with pytest.raises(SystemExit) as info:
        main(["--version"])
    assert info.value.code == 0
    assert capsys.readouterr().out == f"python -m hdf5_kel {hdf5_kel.__version__}\n"
    script = installed_script()
    shown = subprocess.run([script, "--version"], capture_output=True, text=True, check=True)
    assert shown.stdout == f"hdf5-kel {hdf5_kel.__version__}\n"
    assert metadata.version("hdf5_kel") == hdf5_kel.__version__


@pytest.mark.parametrize(
    "argv",
    [
        ["-c", "import hdf5_kel"],
        ["-c", "from hdf5_kel.swmr.library.tailread import SWMRReader"],
        ["-c", "import framepool"],
        ["-m", "hdf5_kel", "demo"],
        ["-m", "pytest", "-q", "--co", "-p", "no:cacheprovider", "probe_test.py"],
    ],
    ids=["package", "module", "bare-framepool", "python-m", "pytest"],
)
def test_a_source_tree_without_its_modules_says_what_to_do(tmp_path, argv):
    # The sources as a clone has them, without the compiled modules: in the
    # working directory, they come before the installed package.
    tree = tmp_path / "src"
    shutil.copytree(
        Path(hdf5_kel.__file__).parent,
        tree / "hdf5_kel",
        ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"),
    )
    if (Path(PACKAGE_ROOT) / "framepool.py").exists():
        shutil.copy(Path(PACKAGE_ROOT) / "framepool.py", tree)
    (tree / "probe_test.py").write_text("import hdf5_kel\n")
    result = subprocess.run(
        [sys.executable, *argv],
        cwd=str(tree),
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode != 0
    assert (
        f"hdf5_kel in {tree / 'hdf5_kel'} is a source tree without its compiled modules: install"
        " the package (pip install .) and run it from anywhere but src/, or build it in place"
        " with scripts/build-inplace" in result.stdout + result.stderr
    )
    assert "circular import" not in result.stdout + result.stderr
