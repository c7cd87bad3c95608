"""The command line: watch, write, compare, compare-subfiles, their help and errors."""

import re
import shutil
import signal
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import h5py
import numpy as np
import pytest
from conftest import child_env, finish, start_writer, wait_for_line

from hdf5_kel.cli import main

DATASET = "/entry/data"
# How h5py's messages of a failed open begin: HDF5 1.14 and later say "synchronously".
UNABLE_TO_OPEN = (
    "Unable to synchronously open"
    if h5py.version.hdf5_version_tuple >= (1, 14)
    else "Unable to open"
)


def run(capsys, *argv):
    """main() on argv: the exit status, standard output and standard error."""
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def start_watch(cwd, *args):
    return subprocess.Popen(
        [sys.executable, "-m", "hdf5_kel", "watch", *map(str, args)],
        cwd=str(cwd),
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def write_dataset(path, data, dataset=DATASET):
    with h5py.File(path, "w") as f:
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
        (["write", "writer_first_dim3"], "--shape-set FRAMES [AXIS ...]"),
        (["write", "writer_first_dim3_multiline"], "--segmentsize"),
        (["compare"], "A B DATASET [DATASET_B]"),
        (["compare-subfiles"], "FILE DATASET PATTERN"),
    ],
)
def test_every_command_has_help(capsys, argv, shows):
    with pytest.raises(SystemExit) as info:
        main([*argv, "--help"])
    assert info.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith(f"usage: python -m hdf5_kel {' '.join(argv)}") and shows in out


@pytest.mark.parametrize(
    "argv, message",
    [
        (["watch", "f.h5"], "the following arguments are required: DATASET"),
        (["watch", "f.h5", DATASET, "--batch", "0"], "--batch: must be at least 1, got 0"),
        (["watch", "f.h5", DATASET, "--start", "-1"], "--start: must be 0 or more, got -1"),
        (["watch", "f.h5", DATASET, "--total", "x"], "--total: not a whole number: 'x'"),
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


@pytest.mark.parametrize(
    "first, second, code",
    [
        (FRAMES, FRAMES, 0),
        (FRAMES, different_last_value(), 1),
        (FRAMES, FRAMES.astype("int64"), 1),
        (FRAMES, FRAMES[:5], 1),
        (NAN, NAN, 1),
    ],
    ids=["equal", "last-value", "element-type", "shape", "nan-equals-nothing"],
)
def test_compare_exit_status_tells_equal_from_different(capsys, tmp_path, first, second, code):
    a, b = tmp_path / "a.h5", tmp_path / "b.h5"
    write_dataset(a, first)
    write_dataset(b, second)
    verdict = ["equal", "different"][code]
    assert run(capsys, "compare", str(a), str(b), DATASET) == (
        code,
        f"{verdict}: {a}:{DATASET} and {b}:{DATASET}\n",
        "",
    )
    assert run(capsys, "compare", "-q", str(a), str(b), DATASET) == (code, "", "")


def test_compare_takes_a_second_dataset_path(capsys, tmp_path):
    a, b = tmp_path / "a.h5", tmp_path / "b.h5"
    write_dataset(a, FRAMES)
    write_dataset(b, FRAMES, "/other/place")
    code, out, _ = run(capsys, "compare", str(a), str(b), DATASET, "/other/place")
    assert (code, out) == (0, f"equal: {a}:{DATASET} and {b}:/other/place\n")


@pytest.mark.parametrize(
    "b_name, dataset, error",
    [
        ("missing.h5", DATASET, f"FileNotFoundError: [Errno 2] {UNABLE_TO_OPEN} file"),
        ("b.h5", "/missing", f"KeyError: \"{UNABLE_TO_OPEN} object (object 'missing'"),
        ("not-hdf5.h5", DATASET, f"OSError: {UNABLE_TO_OPEN} file"),
    ],
)
def test_compare_errors_are_one_line_and_status_2(
    capsys, monkeypatch, tmp_path, b_name, dataset, error
):
    monkeypatch.chdir(tmp_path)
    write_dataset(tmp_path / "a.h5", FRAMES)
    write_dataset(tmp_path / "b.h5", FRAMES)
    (tmp_path / "not-hdf5.h5").write_text("plain text\n")
    code, out, err = run(capsys, "compare", "a.h5", b_name, dataset)
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
        ({2: (2, 5), 10: (0, 2)}, 1, "different: sub-file {dir}/run_0002.h5 does not match"),
        ({1: (0, 4), 2: (3, 6)}, 1, "different: sub-file {dir}/run_0002.h5 reaches past the end"),
    ],
    ids=["in-key-order", "out-of-order", "more-frames"],
)
def test_compare_subfiles_exit_status(capsys, tmp_path, pieces, code, line):
    write_dataset(tmp_path / "main.h5", FRAMES)
    write_subfiles(tmp_path, pieces)
    pattern = str(tmp_path / "run_*.h5")
    status, out, err = run(capsys, "compare-subfiles", str(tmp_path / "main.h5"), DATASET, pattern)
    assert (status, err) == (code, "")
    assert out.startswith(line.format(pattern=pattern, dir=tmp_path)) and out.count("\n") == 1


@pytest.mark.parametrize(
    "arguments, error",
    [
        (["/missing", "run_*.h5"], "dataset /missing not found in main.h5"),
        ([DATASET, "none_*.h5"], "no file matches none_*.h5"),
        ([DATASET, "run_0001.h5", "run_0002.h5"], "PATTERN came as 2 paths, expanded by the shell"),
        (
            [DATASET, "run_*.h5", "--sub-dataset", "/missing"],
            "TypeError: dataset /missing not found in sub-file run_0001.h5",
        ),
        ([DATASET, "bad_*.h5"], "ValueError: sub-file name does not end in four digits"),
    ],
    ids=["main-dataset", "no-match", "shell-expanded", "sub-dataset", "bad-name"],
)
def test_compare_subfiles_errors_are_one_line_and_status_2(
    capsys, monkeypatch, tmp_path, arguments, error
):
    monkeypatch.chdir(tmp_path)
    write_dataset(tmp_path / "main.h5", FRAMES)
    write_subfiles(tmp_path, {1: (0, 2), 2: (2, 4)})
    write_dataset(tmp_path / "bad_12.h5", FRAMES)
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


@pytest.mark.parametrize(
    "segmentsize, error",
    [
        ("0", "ValueError: segmentsize must be a positive number of frames, got 0"),
        ("-3", "ValueError: segmentsize must be a positive number of frames, got -3"),
    ],
)
def test_write_refuses_a_bad_block_size_and_keeps_the_file(capsys, tmp_path, segmentsize, error):
    path = tmp_path / "kept.h5"
    write_dataset(path, FRAMES)
    args = ["write", "writer_first_dim3_multiline", str(path), DATASET, "--segmentsize"]
    code, out, err = run(capsys, *args, segmentsize)
    assert (code, out) == (2, "")
    assert err == f"python -m hdf5_kel write: error: {error}\n"
    with h5py.File(path, "r") as f:
        assert (f[DATASET][()] == FRAMES).all()


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
    assert out.splitlines()[-1] == f"interrupted: {path} keeps the frames flushed so far"
    with h5py.File(path, "r") as f:
        rows = f["/data"][()]
    assert len(rows) >= 1 and (rows == [1, 2, 3, 4]).all()


# watch: a writer in another process, followed by `watch` in a third


def test_watch_follows_a_file_that_appears_late_to_the_total(tmp_path):
    path = tmp_path / "growing.h5"
    watch = start_watch(tmp_path, path, DATASET, "--start", "3", "--total", "21", "--batch", "5")
    assert watch.stdout.readline() == (
        f"following {path}:{DATASET} from frame 3 to frame 20 in blocks of 5; Ctrl-C stops\n"
    )
    wait_for_line(watch, "File not found:")
    writer = start_writer(path, DATASET, 25, delay=0.01)
    out, err = watch.communicate(timeout=120)
    finish(writer)
    assert watch.returncode == 0, out + err
    lines = out.splitlines()
    blocks = [line for line in lines if line.startswith("frames")]
    assert block_ranges("\n".join(blocks)) == [(3, 7), (8, 12), (13, 17), (18, 20)]
    percents = [int(re.search(r"\] +(\d+)%", line)[1]) for line in blocks]
    assert percents == [28, 56, 83, 100]
    assert all(re.search(r"frames/s  file flushed \d+ ms before$", line) for line in blocks)
    assert re.fullmatch(
        r"done: 18 frames \(3 to 20\) in 4 blocks, [\d.]+ s, [\d.]+ frames/s", lines[-1]
    )


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
        r"stopped: 10 frames \(0 to 9\) in 2 blocks, [\d.]+ s, [\d.]+ frames/s;"
        r" 2 more frames present, short of a whole block",
        last,
    )


@pytest.mark.parametrize(
    "arguments, error",
    [
        ([DATASET, "--start", "5", "--total", "5"], "--total 5 must be above --start 5"),
        (["/missing"], f"KeyError: \"{UNABLE_TO_OPEN} object (object 'missing'"),
    ],
)
def test_watch_errors_are_one_line_and_status_2(capsys, tmp_path, arguments, error):
    path = tmp_path / "done.h5"
    write_dataset(path, FRAMES)
    code, _, err = run(capsys, "watch", str(path), *arguments)
    assert code == 2
    assert err.startswith(f"python -m hdf5_kel watch: error: {error}")
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
        f"different: a.h5:{DATASET} and b.h5:{DATASET}\n",
    )
