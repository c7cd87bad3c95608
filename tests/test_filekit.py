"""H5File and DataSet: creating datasets and filling them frame block by block."""

import os
import stat
import traceback

import h5py
import numpy as np
import pytest

from hdf5_kel import filekit


def frames(start, count, frame_shape=(16, 16)):
    """Frames start .. start + count - 1, frame i holding the value i."""
    return np.arange(start, start + count, dtype="i4").reshape(-1, 1, 1) * np.ones(
        frame_shape, dtype="i4"
    )


@pytest.fixture
def h5(tmp_path):
    h5file = filekit.H5File(str(tmp_path / "out.h5"), "w")
    yield h5file
    h5file.f.close()


def stored(h5file, path):
    h5file.close()
    with h5py.File(h5file.filepath, "r") as f:
        return f[path][()]


def test_blocks_fill_the_dataset_up_to_its_extent(h5):
    wrapper = h5.create_dataset("/data", (10, 16, 16), "i4")
    assert (wrapper.index, wrapper.datasetname, wrapper.shape, wrapper.dtype) == (
        0,
        "/data",
        (10, 16, 16),
        "i4",
    )
    indexes = []
    for count in (4, 4, 2):
        wrapper.append(frames(wrapper.index, count))
        indexes.append(wrapper.index)
    assert indexes == [4, 8, 10]
    np.testing.assert_array_equal(stored(h5, "/data"), frames(0, 10))


@pytest.mark.parametrize(
    "filled, block",
    [(10, frames(10, 1)[0]), (10, frames(10, 1)), (8, frames(8, 3))],
    ids=["frame", "one-frame block", "three-frame block"],
)
def test_a_block_past_the_extent_writes_nothing(h5, filled, block):
    wrapper = h5.create_dataset("/data", (10, 16, 16), "i4")
    wrapper.append(frames(0, filled))
    with pytest.raises(TypeError, match="does not fit into dataset /data: .* of 10 frames left"):
        wrapper.append(block)
    assert wrapper.index == filled
    result = stored(h5, "/data")
    np.testing.assert_array_equal(result[:filled], frames(0, filled))
    assert not result[filled:].any()


@pytest.mark.parametrize(
    "data, rows",
    [
        (frames(0, 1)[0], 1),  # a single frame without the leading axis
        (frames(0, 2).ravel(), 2),  # a flat vector of whole frames
        (frames(0, 3).reshape(3, 256), 3),
        (frames(0, 0), 0),
    ],
    ids=["frame", "flat", "rows", "empty"],
)
def test_any_layout_of_whole_frames_is_stored(h5, data, rows):
    wrapper = h5.create_dataset("/data", (4, 16, 16), "i4")
    wrapper.append(data)
    assert wrapper.index == rows
    result = stored(h5, "/data")
    np.testing.assert_array_equal(result[:rows], frames(0, rows))
    assert not result[rows:].any()


@pytest.mark.parametrize(
    "data, error",
    [(np.zeros(17), ValueError), ([0] * 256, AttributeError), (np.array(["x"] * 256), TypeError)],
    ids=["partial frame", "list", "text"],
)
def test_bad_blocks_are_refused_and_leave_the_index(h5, data, error):
    wrapper = h5.create_dataset("/data", (4, 16, 16), "i4")
    with pytest.raises(error):
        wrapper.append(data)
    assert wrapper.index == 0
    assert not stored(h5, "/data").any()


def test_datasets_from_arrays_scalars_and_dictionaries(h5):
    array = np.arange(12.0).reshape(3, 4)
    wrapper = h5.create_dataset_numpy("grid", array)
    assert (wrapper.shape, wrapper.dtype, wrapper.dset.name) == ((3, 4), array.dtype, "/grid")
    scalar = h5.create_dataset_scalar("/count", 5)
    assert (scalar.shape, scalar.dtype) == (1, "scalar")
    with pytest.raises(TypeError, match="no axis 0"):
        scalar.append(np.zeros(1))
    assert h5.create_dataset_map("meta", {"a": 1, "b": [1, 2], "c": "text", 4: None}) is None
    assert h5.create_dataset_map("nothing", {}) is None
    assert set(h5.dsets) == {"grid", "/count"}
    assert h5.dsets["grid"] is wrapper
    h5.close()
    with h5py.File(h5.filepath, "r") as f:
        np.testing.assert_array_equal(f["grid"][()], array)
        assert f["count"][()] == 5
        assert {k: f["meta"][k].asstr()[()] for k in f["meta"]} == {
            "a": "1",
            "b": "[1, 2]",
            "c": "text",
            "4": "None",
        }
        assert "nothing" not in f


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text for this value")


def test_bad_input_registers_nothing(h5, tmp_path):
    first = h5.create_dataset("/data", (2, 2), "f4")
    with pytest.raises(ValueError):
        h5.create_dataset("/data", (2, 2), "f4")
    with pytest.raises(AttributeError):  # raised once the dataset is in the file
        h5.create_dataset_numpy("/listed", [1, 2, 3])
    with pytest.raises(TypeError):
        h5.create_dataset("/typed", (2, 2), "no such type")
    with pytest.raises(TypeError):
        h5.create_dataset("/shapeless")
    with pytest.raises(RuntimeError, match="no text"):
        h5.create_dataset_map("meta", {"a": 1, "b": Unprintable(), "c": 3})
    with pytest.raises(AttributeError):
        h5.create_dataset_map("other", [("a", 1)])
    assert h5.dsets == {"/data": first}
    assert set(h5.f) == {"data", "listed", "meta"} and set(h5.f["meta"]) == {"a"}
    assert h5.f["listed"][()].tolist() == [1, 2, 3]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda p: filekit.H5File(p / "missing.h5", "r"), FileNotFoundError),
        (lambda p: filekit.H5File(str(p / "x.h5"), "rw"), ValueError),
        (lambda p: filekit.H5File(str(p / "x.h5")), TypeError),
        (lambda p: filekit.H5File(str(p / "x.h5"), "w", "latest"), TypeError),
        (lambda p: filekit.DataSet(), TypeError),
        (lambda p: filekit.file_chmod(str(p / "missing.h5"), 0o600), FileNotFoundError),
        (lambda p: filekit.file_chmod(str(p), "rw"), TypeError),
    ],
)
def test_bad_calls_raise_with_a_traceback_entry(tmp_path, call, error):
    with pytest.raises(error) as raised:
        call(tmp_path)
    entries = "".join(traceback.format_tb(raised.tb))
    assert "hdf5_kel/filekit" in entries


def test_file_chmod_sets_the_permission_bits(tmp_path):
    path = tmp_path / "f.h5"
    path.write_bytes(b"")
    assert filekit.file_chmod(filepath=str(path), mod=0o640) is None
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
