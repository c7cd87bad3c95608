"""Comparing datasets across files, and a main file against numbered sub-files."""

import subprocess
import sys

import h5py
import numpy as np
import pytest
from conftest import child_env, finish, start_python, start_writer, wait_for_line
from multipledispatch.dispatcher import Dispatcher

from hdf5_kel import filekit


def counting(count, frame_shape=(4, 4), dtype="i4"):
    """Frames 0 .. count - 1, frame i holding the value i, as the test writer writes them."""
    steps = np.arange(count).reshape(-1, *[1] * len(frame_shape))
    return (steps * np.ones(frame_shape)).astype(dtype)


def write(path, data, dataset="/data"):
    with h5py.File(path, "w") as f:
        f.create_dataset(dataset, data=data)
    return str(path)


def dataset_form(path1, path2, name):
    with h5py.File(path1, "r") as f1, h5py.File(path2, "r") as f2:
        return filekit.compare_dataset_two(f1[name], f2[name])


FORMS = {
    "datasets": dataset_form,
    "three paths": lambda path1, path2, name: filekit.compare_dataset_two(path1, path2, name),
    "four paths": lambda path1, path2, name: filekit.compare_dataset_two(path1, name, path2, name),
    "two1": lambda path1, path2, name: filekit.compare_dataset_two1(
        filepath1=path1, datasetpath1=name, filepath2=path2, datasetpath2=name
    ),
}

with_nan = counting(3, dtype="f8")
with_nan[1, 2, 2] = np.nan
changed_first, changed_last = counting(6), counting(6)
changed_first[0, 0, 0] = 7
changed_last[-1, 3, 3] = 0

CASES = {
    "equal": (counting(6), counting(6), True),
    "first frame differs": (counting(6), changed_first, False),
    "last frame differs": (counting(6), changed_last, False),
    "other shape": (counting(6), counting(5), False),
    "other frame shape": (counting(2, (4, 4)), counting(2, (4, 2)), False),
    "other element type": (counting(6), counting(6, dtype="i8"), False),
    "empty": (counting(0), counting(0), True),
    "no dataspace": (h5py.Empty("i4"), h5py.Empty("i4"), True),
    "equal scalars": (np.float32(2.5), np.float32(2.5), True),
    "other scalars": (np.float32(2.5), np.float32(3.5), False),
    "NaN": (with_nan, with_nan, False),
    "text": (np.array(["a", "bc"], dtype=object), np.array(["a", "bc"], dtype=object), True),
}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("form", FORMS)
def test_every_form_compares_by_value(tmp_path, form, case):
    data1, data2, expected = CASES[case]
    path1, path2 = write(tmp_path / "one.h5", data1), write(tmp_path / "two.h5", data2)
    result = FORMS[form](path1, path2, "/data")
    assert result is (np.True_ if expected else False)


def test_four_paths_name_a_dataset_in_each_file(tmp_path):
    path1 = write(tmp_path / "one.h5", counting(3), "/entry/a")
    path2 = write(tmp_path / "two.h5", counting(3), "/b")
    assert filekit.compare_dataset_two(path1, "/entry/a", path2, "/b") is np.True_
    assert filekit.compare_dataset_two1(path1, "/entry/a", path2, "/b") is np.True_


def test_bad_calls(tmp_path):
    path = write(tmp_path / "one.h5", counting(3))
    assert isinstance(filekit.compare_dataset_two, Dispatcher)
    with pytest.raises(NotImplementedError):
        filekit.compare_dataset_two(
            filepath1=path, datasetpath1="/data", filepath2=path, datasetpath2="/data"
        )
    with pytest.raises(NotImplementedError):
        filekit.compare_dataset_two(path, 1)
    with pytest.raises(FileNotFoundError):
        filekit.compare_dataset_two(path, str(tmp_path / "missing.h5"), "/data")
    with pytest.raises(KeyError):
        filekit.compare_dataset_two1(path, "/data", path, "/missing")
    with pytest.raises(TypeError):
        filekit.compare_dataset_two1(path, "/data", path)


def test_a_file_another_process_still_writes(tmp_path):
    writer = start_writer(tmp_path / "live.h5", "/data", 6, hold=120)
    try:
        wait_for_line(writer, "flushed 6")
        reference = write(tmp_path / "reference.h5", counting(6))
        live = str(tmp_path / "live.h5")
        assert filekit.compare_dataset_two1(live, "/data", reference, "/data") is np.True_
        assert filekit.compare_dataset_two(live, reference, "/data") is np.True_
    finally:
        writer.kill()
        writer.communicate()


@pytest.mark.parametrize("changed", [32, 39], ids=["first of the second block", "last"])
def test_a_difference_beyond_the_first_block(tmp_path, changed):
    frames = counting(40, (1024, 1024), "u1")  # 1 MiB frames: 32 to a block
    path1 = write(tmp_path / "one.h5", frames)
    frames[changed, -1, -1] += 1
    path2 = write(tmp_path / "two.h5", frames)
    assert filekit.compare_dataset_two(path1, "/data", path2, "/data") is False


MEASURE = """
import resource, sys
from hdf5_kel import filekit
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
result = filekit.compare_dataset_two(sys.argv[1], sys.argv[2], "/data")
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(bool(result), (after - before) * 1024)
"""


def test_files_larger_than_a_block_are_compared_in_bounded_memory(tmp_path):
    frame_count, frame_shape = 256, (1024, 1024)
    file_size = frame_count * frame_shape[0] * frame_shape[1]
    paths = [tmp_path / "big1.h5", tmp_path / "big2.h5"]
    for path in paths:
        with h5py.File(path, "w") as f:
            dset = f.create_dataset(
                "/data", (frame_count, *frame_shape), dtype="u1", chunks=(1, *frame_shape)
            )
            for start in range(0, frame_count, 16):
                dset[start : start + 16] = counting(16, frame_shape, "u1") + start
    try:
        result, growth = finish(start_python(MEASURE, tmp_path, *paths)).split()
        assert result == "True"
        assert int(growth) < file_size
    finally:
        for path in paths:
            path.unlink()


@pytest.fixture
def main_file(tmp_path):
    return write(tmp_path / "main.h5", counting(10))


def sub_files(tmp_path, parts):
    """Sub-files named so that the name order differs from the number order."""
    for prefix, (number, data) in zip("zyxwv", parts):
        write(tmp_path / f"{prefix}_{number:04d}.h5", data, "/entry/data")
    return str(tmp_path / "*_*.h5")


@pytest.mark.parametrize(
    "parts",
    [
        [(10, counting(10)[5:]), (2, counting(3)), (7, counting(5)[3:])],
        [(2, counting(3))],
        [],
    ],
    ids=["out of order", "fewer frames", "none"],
)
def test_sub_files_matching_the_main_dataset(tmp_path, main_file, parts):
    pattern = sub_files(tmp_path, parts)
    assert filekit.compare_dataset_subfiles(main_file, "/data", pattern, "/entry/data") is True


@pytest.mark.parametrize("main_object", ["/scalar", "/group"])
def test_no_sub_files_for_a_main_object_without_frames(tmp_path, main_object):
    path = tmp_path / "main.h5"
    with h5py.File(path, "w") as f:
        f["scalar"] = 5
        f.create_group("group")
    pattern = str(tmp_path / "none_*.h5")
    assert filekit.compare_dataset_subfiles(str(path), main_object, pattern, "/d") is True


PAST_THE_END = [(1, counting(9)), (2, counting(11)[9:])]
MISMATCHES = {
    "more frames": (PAST_THE_END, "reaches past the end of /data in .*: frames 9 to 11 of 10"),
    "one frame past the end": ([(1, counting(10)), (2, counting(1) + 9)], "reaches past"),
    "other values": ([(1, counting(3)), (2, counting(2))], "does not match frames 3 to 5"),
    "other frame shape": ([(1, counting(10, (1, 4)))], "does not match frames 0 to 10"),
    "wrong order": ([(2, counting(3)), (1, counting(5)[3:])], "does not match frames 0 to 2"),
}


@pytest.mark.parametrize("case", MISMATCHES)
def test_sub_files_that_do_not_match(tmp_path, main_file, case):
    parts, message = MISMATCHES[case]
    pattern = sub_files(tmp_path, parts)
    with pytest.raises(AssertionError, match=message):
        filekit.compare_dataset_subfiles(main_file, "/data", pattern, "/entry/data")


def test_sub_file_mismatch_without_assertions(tmp_path, main_file):
    pattern = sub_files(tmp_path, PAST_THE_END)
    code = "import sys; from hdf5_kel import filekit\n"
    code += "print(filekit.compare_dataset_subfiles(*sys.argv[1:]))"
    args = [main_file, "/data", pattern, "/entry/data"]
    child = subprocess.Popen(
        [sys.executable, "-O", "-c", code, *args],
        cwd=tmp_path,  # not the source tree, which would shadow the installed package
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert finish(child) == "False\n"


def test_sub_files_bad_input(tmp_path, main_file, capsys):
    assert filekit.compare_dataset_subfiles(main_file, "/nope", "*", "/entry/data") is False
    assert capsys.readouterr().out == f"datasetpath /nope not found in file {main_file}\n"
    pattern = sub_files(tmp_path, [(1, counting(2))])
    with pytest.raises(TypeError, match="dataset /other not found in sub-file"):
        filekit.compare_dataset_subfiles(main_file, "/data", pattern, "/other")
    write(tmp_path / "run_12.h5", counting(1), "/entry/data")
    with pytest.raises(ValueError, match="four digits"):
        filekit.compare_dataset_subfiles(main_file, "/data", str(tmp_path / "*.h5"), "/entry/data")
    with pytest.raises(FileNotFoundError):
        filekit.compare_dataset_subfiles(str(tmp_path / "missing.h5"), "/data", pattern, "/d")
