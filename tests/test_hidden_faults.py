"""A follower hands out frames or says why it cannot: numbers numpy will not
export as a plain buffer, frames whose chunks the writer has not stored yet,
paths no file can have, and counts that would move a read position the wrong
way."""

import threading

import h5py
import numpy as np
import pytest
from conftest import (
    DATASET,
    finish,
    followed_frames,
    frame_values,
    start_follower,
    start_python,
    write_frames,
)

from hdf5_kel import filekit
from hdf5_kel.swmr.library.framepool import Buffers, NumpyBuffer
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRReader


@pytest.mark.parametrize("dtype", ["longdouble", "clongdouble", "float16"])
def test_numbers_without_a_plain_buffer_format_are_read_by_every_follower(tmp_path, dtype):
    values = (np.arange(24).reshape(6, 4) / 3).astype(dtype)
    path = str(tmp_path / "wide.h5")
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset(DATASET, data=values, maxshape=(None, 4), chunks=(1, 4))
    with SWMRReader(path, DATASET, 0, 6, 4) as reader:
        assert np.array_equal(np.concatenate(list(reader)), values)
    with SWMRCount(path, DATASET, 3, 6) as counter:
        assert np.array_equal(counter.recv(), values)
    assert filekit.compare_dataset_two(path, path, DATASET)


# Grows the dataset and flushes before it writes each frame: for a moment
# the extent holds a frame whose chunk has no storage. Frame i holds i + 1.
RESIZE_FIRST = r"""
import os
import sys
import time

import h5py

path, frames = sys.argv[1], int(sys.argv[2])
with h5py.File(path + ".part", "w", libver="latest") as f:
    dset = f.create_dataset("/entry/data", (0, 4, 4), "int32", maxshape=(None, 4, 4),
                            chunks=(1, 4, 4))
    f.swmr_mode = True
    os.rename(path + ".part", path)
    for i in range(frames):
        dset.resize(i + 1, axis=0)
        dset.flush()
        time.sleep(0.02)
        dset[i] = i + 1
        dset.flush()
"""


@pytest.mark.skipif(
    h5py.version.version_tuple < (3, 9),
    reason="before h5py 3.9 the followers slice blocks and see no chunk's storage",
)
def test_frames_resized_but_not_yet_written_are_waited_for(tmp_path):
    path = tmp_path / "live.h5"
    kinds = ("SWMRReader", "SWMRCount")
    followers = [start_follower(kind, path, 40) for kind in kinds]
    for child in (start_python(RESIZE_FIRST, tmp_path, path, 40), *followers):
        finish(child)
    for kind in kinds:
        assert frame_values([followed_frames(path, kind)]) == list(range(1, 41)), kind


@pytest.mark.parametrize(
    "path, error",
    [(123, TypeError), (None, TypeError), ("live\0.h5", ValueError), (b"live\0.h5", ValueError)],
)
def test_a_path_no_file_can_have_is_refused_at_once(path, error):
    with pytest.raises(error, match="filepath"):
        SWMRReader(path, DATASET, 0, 4, 2)
    with pytest.raises(error, match="filename"):
        SWMRCount(path, DATASET, 3, 4)


@pytest.mark.parametrize("batch", [0, -3])
def test_a_batch_size_of_no_frames_is_refused_and_nothing_moves(tmp_path, batch):
    reader = SWMRReader(str(write_frames(tmp_path / "done.h5", 10)), DATASET, 0, 10, 4)
    reader.read_chunk()
    reader.batch_size = batch
    reads = [reader.read_chunk, lambda: reader.read_chunk_event(threading.Event()),
             lambda: next(iter(reader)), reader.accumulate_data]  # fmt: skip
    for read in reads:
        with pytest.raises(ValueError, match=f"batch_size must be a positive .* got {batch}"):
            read()
        assert reader.index == 4 and reader.queue.empty()
    reader.close()


@pytest.mark.parametrize(
    "count, error", [(-1, ValueError), (5, ValueError), (2**80, ValueError), ("2", TypeError)]
)
def test_get_data_refuses_counts_that_move_back_or_past_the_buffer(count, error):
    buffer = NumpyBuffer((4, 2), "int32")
    buffer.appendData(np.ones((3, 2), "int32"))
    buffer.getData(1)
    with pytest.raises(error, match="remainLen"):
        buffer.getData(count)
    assert buffer.index == 1
    pool = Buffers()
    pool.appendNewBuffer((4, 2), "int32")
    with pytest.raises(error, match="remainLen"):
        pool.getDatas(count)
    assert pool.buffers[0].index == 0
