"""SWMRReader following files that writer processes grow."""

import gc
import re
import threading

import h5py
import numpy as np
import pytest
from conftest import DATASET, finish, frame_values, start_python, start_writer, wait_for_line

from hdf5_kel.swmr.library.tailread import SWMRReader, SWMRReaderMulti


def written_file(tmp_path, frames, **options):
    path = tmp_path / "done.h5"
    finish(start_writer(path, DATASET, frames, **options))
    return path


def test_follows_a_growing_file_block_by_block(tmp_path):
    path = tmp_path / "live.h5"
    writer = start_writer(path, DATASET, 47, delay=0.01, frame_shape=(8, 8))
    wait_for_line(writer, "swmr on")
    reader = SWMRReader(str(path), DATASET, 3, 45, 8)
    blocks = []
    while (block := reader.read_chunk()) is not None:
        blocks.append(block)
    finish(writer)
    assert [len(b) for b in blocks] == [8, 8, 8, 8, 8, 2]
    assert frame_values(blocks) == list(range(3, 45))
    assert blocks[0].shape[1:] == (8, 8) and blocks[0].dtype == np.int32
    assert reader.index == 45
    assert reader.read_chunk() is None
    reader.close()


@pytest.mark.parametrize(
    "start, total, batch, lengths",
    [(0, 10, 4, [4, 4, 2]), (0, 8, 4, [4, 4]), (2, 5, 10, [3]), (6, 6, 2, []), (9, 4, 2, [])],
)
def test_block_lengths_and_the_end(tmp_path, start, total, batch, lengths):
    path = written_file(tmp_path, 12)
    reader = SWMRReader(str(path), DATASET, start, total, batch)
    blocks = []
    while (block := reader.read_chunk()) is not None:
        blocks.append(block)
    assert [len(b) for b in blocks] == lengths
    assert frame_values(blocks) == list(range(start, max(start, total)))
    reader.read_chunk2queue()
    reader.accumulate_data()
    assert reader.queue.empty()
    reader.close()


def test_accumulate_data_feeds_a_consumer_thread(tmp_path, capsys):
    path = tmp_path / "live.h5"
    writer = start_writer(path, DATASET, 30, per_append=3, delay=0.01)
    wait_for_line(writer, "swmr on")
    reader = SWMRReader(str(path), DATASET, 0, 30, 4)
    received = []

    def consume():
        while sum(len(b) for b in received) < 30:
            received.append(reader.queue.get(timeout=60))

    consumer = threading.Thread(target=consume)
    consumer.start()
    reader.accumulate_data()
    consumer.join(60)
    finish(writer)
    assert frame_values(received) == list(range(30))
    out = capsys.readouterr().out.splitlines()
    appended = [line for line in out if line.startswith("Appended")]
    assert appended[0] == "Appended chunk of shape (4, 4, 4) to cache"
    assert appended[-1] == "Appended chunk of shape (2, 4, 4) to cache"
    assert len(appended) == 8
    reader.close()


def test_read_chunk2queue_puts_one_block(tmp_path):
    reader = SWMRReader(str(written_file(tmp_path, 5)), DATASET, 0, 5, 3)
    reader.read_chunk2queue()
    assert frame_values([reader.queue.get_nowait()]) == [0, 1, 2]
    assert reader.queue.empty()
    reader.close()


def test_stop_event_ends_the_wait_and_keeps_the_position(tmp_path):
    path = tmp_path / "paused.h5"
    resume = tmp_path / "resume"
    writer = start_writer(path, DATASET, 12, pause_after=6, resume_when=resume)
    wait_for_line(writer, "swmr on")
    reader = SWMRReader(str(path), DATASET, 0, 12, 4)
    assert frame_values([reader.read_chunk()]) == [0, 1, 2, 3]
    stop = threading.Event()
    result = []
    waiter = threading.Thread(target=lambda: result.append(reader.read_chunk_event(stop)))
    waiter.start()
    wait_for_line(writer, "flushed 6")  # the writer is paused short of the block
    stop.set()
    waiter.join(60)
    assert not waiter.is_alive() and result == [None]
    assert reader.index == 4
    resume.touch()
    stop.clear()
    blocks = [reader.read_chunk_event(stop), reader.read_chunk_event(stop)]
    assert frame_values(blocks) == list(range(4, 12))
    finish(writer)
    reader.close()


def test_set_event_returns_at_once_and_next_call_gets_the_same_frames(tmp_path):
    reader = SWMRReader(str(written_file(tmp_path, 8)), DATASET, 2, 8, 3)
    stop = threading.Event()
    stop.set()
    assert reader.read_chunk_event(stop) is None
    assert reader.index == 2
    stop.clear()
    assert frame_values([reader.read_chunk_event(stop)]) == [2, 3, 4]
    reader.close()


def test_waits_for_a_file_that_appears_late(tmp_path):
    path = tmp_path / "late.h5"
    code = """
import sys
from hdf5_kel.swmr.library.tailread import SWMRReader
reader = SWMRReader(sys.argv[1], "/entry/data", 0, 4, 2)
blocks = []
while (block := reader.read_chunk()) is not None:
    blocks.append(block[:, 0, 0].tolist())
print("blocks", blocks)
reader.close()
"""
    follower = start_python(code, tmp_path, path)
    wait_for_line(follower, "File not found: " + str(path))
    writer = start_writer(path, DATASET, 4)
    out = finish(follower)
    finish(writer)
    lines = out.splitlines()
    assert lines.count("File found: " + str(path)) == 1
    assert lines[-1] == "blocks [[0, 1], [2, 3]]"


def test_open_failure_prints_the_finaliser_line(tmp_path, capsys):
    path = tmp_path / "not-hdf5.h5"
    path.write_text("plain text")
    with pytest.raises(OSError):
        SWMRReader(str(path), DATASET, 0, 4, 2)
    gc.collect()
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "File found: " + str(path)
    assert out[-1] == "Error in __del__: 'SWMRReader' object has no attribute 'f'"


def test_missing_dataset_keeps_no_file_open(tmp_path):
    path = written_file(tmp_path, 2)
    with pytest.raises(KeyError):
        SWMRReader(str(path), "/no/such/data", 0, 2, 1)
    with h5py.File(path, "a") as f:  # a writer can take the file over again
        f["extra"] = 1


@pytest.mark.parametrize("batch", [0, -3])
def test_batch_size_must_be_positive(tmp_path, batch):
    with pytest.raises(ValueError, match="batch_size"):
        SWMRReader(str(tmp_path / "never-created.h5"), DATASET, 0, 10, batch)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # half-built
@pytest.mark.parametrize(
    "counts, error, text",
    [
        ((0, 4, "2"), TypeError, "batch_size must be an integer, got '2'"),
        ((0, 4, None), TypeError, "batch_size must be an integer, got None"),
        ((0, 4, 2.0), TypeError, "batch_size must be an integer, got 2.0"),
        ((0, 12.5, 2), TypeError, "total_frames must be an integer, got 12.5"),
        ((np.float64(1), 4, 2), TypeError, "start_frame must be an integer, got "),
        ((-3, 10, 2), ValueError, "start_frame must not be negative, got -3"),
        ((np.int8(-1), 10, 2), ValueError, "start_frame must not be negative, got "),
    ],
)
def test_bad_frame_numbers_fail_before_the_wait(tmp_path, counts, error, text):
    never = str(tmp_path / "never-created.h5")
    with pytest.raises(error, match=re.escape(text)):
        SWMRReader(never, DATASET, *counts)
    with pytest.raises(error, match=re.escape(text)):
        SWMRReaderMulti([(never, DATASET, *counts)])


def test_numpy_integers_are_frame_numbers(tmp_path):
    reader = SWMRReader(
        str(written_file(tmp_path, 6)), DATASET, np.int64(1), np.uint16(6), np.int32(2)
    )
    lengths = []
    while (block := reader.read_chunk()) is not None:
        lengths.append(len(block))
    assert lengths == [2, 2, 1]
    assert reader.index == 6
    reader.close()


def test_read_errors_leave_the_position(tmp_path):
    reader = SWMRReader(str(written_file(tmp_path, 4)), DATASET, 0, 4, 2)
    reader.close()
    # h5py's own error for a closed dataset, whichever call meets it first
    with pytest.raises((ValueError, RuntimeError), match="identifier"):
        reader.read_chunk()
    assert reader.index == 0
    del reader
    gc.collect()


def test_close_without_a_file_raises_attribute_error():
    reader = SWMRReader.__new__(SWMRReader)
    with pytest.raises(AttributeError):
        reader.close()
