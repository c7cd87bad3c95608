"""The SWMR test writers: the files they leave, what they print, and readers
following them live from other processes."""

import functools
import traceback

import h5py
import numpy as np
import pytest
from conftest import finish, start_python, wait_for_line

from hdf5_kel.swmr.library import feedgen

# Follows one dataset to its end with SWMRReader and saves every block it got.
READER = """\
import sys
import numpy as np
from hdf5_kel.swmr.library.tailread import SWMRReader
path, dataset, total, batch, out = sys.argv[1:]
reader = SWMRReader(path, dataset, 0, int(total), int(batch))
blocks = []
while (block := reader.read_chunk()) is not None:
    blocks.append(block)
reader.close()
np.savez(out, *blocks)
"""


def stored(path, dataset):
    with h5py.File(path, "r") as f:
        dset = f[dataset]
        return dset[()], dset.maxshape, dset.dtype


def received_blocks(npz):
    with np.load(npz) as saved:
        return [saved[f"arr_{k}"] for k in range(len(saved.files))]


def traceback_names(info):
    return [entry.name for entry in traceback.extract_tb(info.tb)]


class SleepRecorder:
    """Stands in for the writers' `time` module: records pauses, takes none."""

    def __init__(self):
        self.pauses = []

    def sleep(self, seconds):
        self.pauses.append(seconds)


def test_import_writes_nothing_and_defaults_are_fixed(tmp_path):
    child = start_python(
        "import os\nfrom hdf5_kel.swmr.library import feedgen\nprint(os.listdir('.'))", tmp_path
    )
    assert finish(child).strip() == "[]"
    assert list(tmp_path.iterdir()) == []
    assert feedgen.writer_first_dim3.__defaults__ == ((10, 2, 3), np.int32)
    assert feedgen.writer_first_dim3_multiline.__defaults__ == ((10, 2, 3), np.int32, 10)
    assert feedgen.writer_first_dim3.__defaults__[1] is np.int32
    for writer in (feedgen.basic_writer, feedgen.writer_first_dim2, feedgen.writer_first_dim3):
        assert writer.__doc__ is None
        assert writer.__module__ == "hdf5_kel.swmr.library.feedgen"


def test_basic_writers_write_fifteen_rows_followed_live(tmp_path):
    """The two 15-second writers run side by side; a reader follows one."""
    writers = {}
    for name in ("basic_writer", "writer_first_dim2"):
        (tmp_path / name).mkdir()
        code = f"from hdf5_kel.swmr.library import feedgen\nfeedgen.{name}()"
        writers[name] = start_python(code, tmp_path / name)
    followed = tmp_path / "basic_writer"
    # The first line comes after SWMR mode is on: the file can be opened now.
    first = wait_for_line(writers["basic_writer"], "flush finished")
    reader = start_python(READER, followed, "swmr.h5", "/data", 15, 1, tmp_path / "got.npz")
    outputs = {name: finish(proc) for name, proc in writers.items()}
    outputs["basic_writer"] = first + outputs["basic_writer"]
    finish(reader)

    for name, output in outputs.items():
        assert output.splitlines() == [f"flush finished {i}" for i in range(15)]
        data, maxshape, dtype = stored(tmp_path / name / "swmr.h5", "/data")
        assert data.shape == (15, 4) and maxshape == (None, None) and dtype == np.int32
        assert (data == [1, 2, 3, 4]).all()
    blocks = received_blocks(tmp_path / "got.npz")
    assert [block.shape for block in blocks] == [(1, 4)] * 15
    assert all((block == [1, 2, 3, 4]).all() for block in blocks)


@pytest.mark.parametrize(
    "writer_code, shape_set, batch, first_line",
    [
        (
            "np.random.seed(3); "
            + "feedgen.writer_first_dim3_multiline(path, '/entry/data', (25, 3, 4), 'f4', 10)",
            (25, 3, 4),
            7,
            "flush finished kel 0",
        ),
        (
            "feedgen.writer_first_dim3(path, '/entry/data', [60, 3, 4])",
            (60, 3, 4),
            7,
            "flush finished 0",
        ),
    ],
    ids=["multiline", "dim3"],
)
def test_reader_in_another_process_gets_every_frame_complete(
    tmp_path, writer_code, shape_set, batch, first_line
):
    path = tmp_path / "grow.h5"
    writer = start_python(
        "import sys\nimport numpy as np\nfrom hdf5_kel.swmr.library import feedgen\n"
        "path = sys.argv[1]\n" + writer_code,
        tmp_path,
        path,
    )
    assert wait_for_line(writer, first_line).strip() == first_line
    reader = start_python(
        READER, tmp_path, path, "/entry/data", shape_set[0], batch, tmp_path / "got.npz"
    )
    finish(writer)
    finish(reader)

    blocks = received_blocks(tmp_path / "got.npz")
    frames = shape_set[0]
    assert [len(block) for block in blocks] == [batch] * (frames // batch) + [frames % batch]
    data, _, _ = stored(path, "/entry/data")
    # Equal to the finished file: no frame was read before it was whole.
    np.testing.assert_array_equal(np.concatenate(blocks), data)


@pytest.mark.parametrize(
    "args, kwargs, shape, frame, dtype",
    [
        ((), {}, (10, 2, 3), [[0, 1, 2], [3, 4, 5]], np.int32),
        (([4, 2, 3, 5],), {}, (4, 2, 3, 5), np.arange(30).reshape(2, 3, 5), np.int32),
        (((3, 4),), {}, (3, 4), [0, 1, 2, 3], np.int32),
        (
            (),
            {"shape_set": (3, 2, 2), "dtype": np.float32},
            (3, 2, 2),
            [[0, 1], [2, 3]],
            np.float32,
        ),
        ((), {"dtype": "f8", "shape_set": [2, 5]}, (2, 5), [0, 1, 2, 3, 4], np.float64),
    ],
    ids=["defaults", "list-three-frame-axes", "one-frame-axis", "float32", "keywords-f8"],
)
def test_writer_first_dim3_counting_frames(tmp_path, capsys, args, kwargs, shape, frame, dtype):
    path = tmp_path / "dim3.h5"
    assert feedgen.writer_first_dim3(str(path), "/entry/data", *args, **kwargs) is None
    data, maxshape, stored_dtype = stored(path, "/entry/data")
    assert data.shape == shape and stored_dtype == dtype
    assert maxshape == (None,) * len(shape)
    assert all(np.array_equal(each, frame) for each in data)
    assert capsys.readouterr().out.splitlines() == [f"flush finished {i}" for i in range(shape[0])]
    # Closed on return: it opens again for writing.
    h5py.File(path, "r+").close()


@pytest.mark.parametrize(
    "shape_set, segmentsize, dtype, blocks, singles",
    [
        ((10, 2, 3), None, np.int32, [0], 0),
        ((25, 2, 3), 10, np.int32, [0, 10], 5),
        ([20, 2, 3], 10, np.int32, [0, 10], 0),
        ((5, 2, 3), 10, np.int32, [], 5),
        ((7,), 3, np.int32, [0, 3], 1),
        ((12, 2, 2), 5, np.float64, [0, 5], 2),
        ((3, 2, 3, 2), 1, np.int16, [0, 1, 2], 0),
    ],
)
def test_multiline_writes_paced_blocks_then_single_frames(
    tmp_path, capsys, monkeypatch, shape_set, segmentsize, dtype, blocks, singles
):
    pauses = SleepRecorder()
    monkeypatch.setattr(feedgen, "time", pauses)
    path = tmp_path / "multi.h5"
    extra = {} if segmentsize is None else {"segmentsize": segmentsize}
    np.random.seed(11)
    feedgen.writer_first_dim3_multiline(path, "/entry/data", shape_set, dtype, **extra)

    frame_axes = list(shape_set[1:])
    np.random.seed(11)
    expected = [np.random.randint(0, 1000, [segmentsize or 10] + frame_axes) for _ in blocks]
    expected += [np.random.random([1] + frame_axes) for _ in range(singles)]
    data, maxshape, stored_dtype = stored(path, "/entry/data")
    assert data.shape == tuple(shape_set) and stored_dtype == dtype
    assert maxshape == (None,) * len(shape_set)
    np.testing.assert_array_equal(data, np.concatenate(expected).astype(dtype))
    assert capsys.readouterr().out.splitlines() == [f"flush finished kel {i}" for i in blocks]
    assert pauses.pauses == [1] * len(blocks)


def test_integer_single_frames_hold_zero_and_float_ones_fractions(tmp_path, monkeypatch):
    monkeypatch.setattr(feedgen, "time", SleepRecorder())
    for dtype in (np.int32, np.float32):
        feedgen.writer_first_dim3_multiline(tmp_path / "f.h5", "/d", (13, 4), dtype, 10)
        data, _, _ = stored(tmp_path / "f.h5", "/d")
        assert ((data[:10] >= 0) & (data[:10] <= 999)).all()
        tail = data[10:]
        if dtype == np.int32:
            assert not tail.any()
        else:
            assert ((tail >= 0) & (tail < 1)).all() and (tail != tail.round()).any()


@pytest.mark.parametrize("writer", ["writer_first_dim3", "writer_first_dim3_multiline"])
def test_zero_frames_leave_an_empty_dataset(tmp_path, capsys, writer):
    getattr(feedgen, writer)(tmp_path / "empty.h5", "/entry/data", (0, 2, 3))
    data, maxshape, _ = stored(tmp_path / "empty.h5", "/entry/data")
    assert data.shape == (0, 0, 0) and maxshape == (None, None, None)
    assert capsys.readouterr().out == ""


def test_a_second_call_replaces_the_file(tmp_path, capsys):
    path = tmp_path / "again.h5"
    path.write_bytes(b"not an HDF5 file")
    feedgen.writer_first_dim3(path, "/first", (5, 2, 3))
    feedgen.writer_first_dim3(path, "/second", (2, 4))
    with h5py.File(path, "r") as f:
        assert list(f) == ["second"] and f["second"].shape == (2, 4)


def test_product_is_a_new_lambda_on_each_call(tmp_path, capsys, monkeypatch):
    made = []

    class RecordingFunctools:
        @staticmethod
        def reduce(function, sequence):
            made.append(function)
            return functools.reduce(function, sequence)

    monkeypatch.setattr(feedgen, "functools", RecordingFunctools)
    feedgen.writer_first_dim3(tmp_path / "a.h5", "/d", (1, 2, 3, 4))
    feedgen.writer_first_dim3(tmp_path / "b.h5", "/d", (1, 5))
    assert len(made) == 2 and made[0] is not made[1]
    for product in made:
        assert product.__qualname__ == "writer_first_dim3.<locals>.<lambda>"
        assert product.__name__ == "<lambda>"
        assert product(6, b=7) == 42
    data, _, _ = stored(tmp_path / "a.h5", "/d")
    assert data.shape == (1, 2, 3, 4) and data[0, 1, 2, 3] == 23


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda p: feedgen.basic_writer(1), "basic_writer() takes no arguments (1 given)"),
        (
            lambda p: feedgen.writer_first_dim2(path=p),
            "writer_first_dim2() takes no keyword arguments",
        ),
        (
            lambda p: feedgen.writer_first_dim3(),
            "writer_first_dim3() takes at least 2 positional arguments (0 given)",
        ),
        (
            lambda p: feedgen.writer_first_dim3(p, "/d", (2, 2), "i4", 1),
            "writer_first_dim3() takes at most 4 positional arguments (5 given)",
        ),
        (
            lambda p: feedgen.writer_first_dim3_multiline(p, "/d", segment=3),
            "writer_first_dim3_multiline() got an unexpected keyword argument 'segment'",
        ),
        (
            lambda p: feedgen.writer_first_dim3(p, "/d", filepath=p),
            "writer_first_dim3() got multiple values for keyword argument 'filepath'",
        ),
    ],
)
def test_binding_errors_write_nothing(tmp_path, monkeypatch, call, text):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as info:
        call(str(tmp_path / "x.h5"))
    assert str(info.value) == text
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("segmentsize", [0, -3, 2.5, "10", None])
def test_bad_segmentsize_is_refused_before_the_file_is_touched(tmp_path, segmentsize):
    path = tmp_path / "keep.h5"
    path.write_bytes(b"earlier data")
    kind = ValueError if isinstance(segmentsize, int) else TypeError
    with pytest.raises(kind, match="segmentsize") as info:
        feedgen.writer_first_dim3_multiline(path, "/d", (20, 2), np.int32, segmentsize)
    assert path.read_bytes() == b"earlier data"
    assert "hdf5_kel.swmr.library.feedgen.writer_first_dim3_multiline" in traceback_names(info)


@pytest.mark.parametrize("writer", ["writer_first_dim3", "writer_first_dim3_multiline"])
@pytest.mark.parametrize(
    "where, shape_set, dtype, kind",
    [
        ("no-such-dir/f.h5", (3, 2), np.int32, OSError),
        ("f.h5", (3, 2), "no-such-type", TypeError),
        ("f.h5", 5, np.int32, TypeError),
        ("f.h5", (2.5, 2), np.int32, TypeError),
    ],
    ids=["unwritable-path", "bad-dtype", "shape-not-a-sequence", "float-frame-count"],
)
def test_library_errors_name_the_writer(tmp_path, writer, where, shape_set, dtype, kind):
    with pytest.raises(kind) as info:
        getattr(feedgen, writer)(tmp_path / where, "/d", shape_set, dtype)
    assert f"hdf5_kel.swmr.library.feedgen.{writer}" in traceback_names(info)


@pytest.mark.parametrize(
    "shape_set, message, innermost",
    [
        ((5,), "reduce() of empty", "writer_first_dim3"),
        ((3, "a", "b"), "can't multiply sequence", "writer_first_dim3.lambda"),
    ],
)
def test_dim3_frame_shape_errors(tmp_path, shape_set, message, innermost):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")) as info:
        feedgen.writer_first_dim3(tmp_path / "f.h5", "/d", shape_set)
    assert traceback_names(info)[-1] == f"hdf5_kel.swmr.library.feedgen.{innermost}"
