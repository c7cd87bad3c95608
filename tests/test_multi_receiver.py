"""SWMRCountMulti: several files' new frames gathered into buffers and handed
out in lock-step batches."""

import re
import threading
import time

import numpy as np
import pytest
from conftest import (
    DATASET,
    StepWriter,
    finish,
    frame_values,
    names_in_traceback,
    start_writer,
    wait_for,
    write_frames,
)

from hdf5_kel.swmr.library.tailread import SWMRCountMulti

LINE = "kel:tolvar data worker recv"


@pytest.fixture
def receivers():
    """Receivers made by a test, closed when it ends."""
    made = []
    yield made
    for receiver in made:
        receiver.close()


def entry(path, frames=10, frame_shape=(2, 2), dtype="int32"):
    return [str(path), DATASET, 3, (frames, *frame_shape), dtype]


def lines_of(capsys):
    return [line for line in capsys.readouterr().out.splitlines() if not line.startswith("file ")]


@pytest.mark.parametrize("method", ["recv", "recv_event"])
def test_lock_step_batches_over_writers_at_different_rates(tmp_path, capsys, receivers, method):
    paths = [tmp_path / f"file{i}.h5" for i in range(4)]
    writers = [
        start_writer(paths[0], DATASET, 20, delay=0.01, frame_shape=(2, 3)),
        start_writer(paths[1], DATASET, 20, per_append=4, delay=0.05, frame_shape=(2, 3)),
        start_writer(paths[2], DATASET, 20, per_append=7, delay=0.02, frame_shape=(5,)),
        start_writer(paths[3], DATASET, 20, per_append=3, delay=0.03, frame_shape=()),
    ]
    receiver = SWMRCountMulti(
        [
            entry(paths[0], 20, (2, 3)),
            tuple(entry(paths[1], 20, (2, 3), np.float64)),
            entry(paths[2], 20, (5,), "int64"),
            entry(paths[3], 20, ()),  # one axis: time stamps, positions, events
        ],
        total_count=20,
    )
    receivers.append(receiver)
    arguments = (threading.Event(), 3) if method == "recv_event" else (3,)
    batches = []
    while (batch := getattr(receiver, method)(*arguments)) is not None:
        batches.append(batch)
    for writer in writers:
        finish(writer)

    assert [len(batch[0]) for batch in batches] == [3] * 6 + [2]
    for k, batch in enumerate(batches):
        expected = list(range(3 * k, min(3 * k + 3, 20)))
        assert [frame_values([frames]) for frames in batch] == [expected] * 4
    assert [frames.dtype for frames in batches[0]] == [np.int32, np.float64, np.int64, np.int32]
    assert receiver.index == 20
    assert [counter.index for counter in receiver.swmrcounts] == [20] * 4
    assert lines_of(capsys) == [LINE] * (len(batches) + 1)


def test_batches_come_from_the_buffers_once_delivered(tmp_path, receivers):
    paths = [write_frames(tmp_path / f"file{i}.h5", 7) for i in range(2)]
    receiver = SWMRCountMulti([entry(path) for path in paths], 7)
    receivers.append(receiver)
    first = receiver.recv()
    assert [counter.index for counter in receiver.swmrcounts] == [7, 7]
    # Every frame has arrived: the files are not needed for the rest.
    receiver.close()
    batches = [first] + [receiver.recv() for _ in range(6)]
    assert [frame_values(batch) for batch in batches] == [[i, i] for i in range(7)]
    assert receiver.recv() is None and receiver.index == 7


def test_last_batch_is_cut_at_total_count(tmp_path, receivers):
    paths = [write_frames(tmp_path / f"file{i}.h5", 10) for i in range(2)]
    receiver = SWMRCountMulti([entry(path) for path in paths])
    receivers.append(receiver)
    assert [len(frames) for frames in receiver.recv(6)] == [6, 6]
    assert [frame_values([frames]) for frames in receiver.recv(8)] == [[6, 7, 8, 9]] * 2
    assert receiver.recv(8) is None


@pytest.mark.parametrize("waiting", [0, 1])
def test_stop_keeps_gathered_frames_for_the_next_call(tmp_path, capsys, receivers, waiting):
    paths = [tmp_path / f"file{i}.h5" for i in range(2)]
    with StepWriter(paths[0]) as first, StepWriter(paths[1]) as second:
        writers = [first, second]
        writers[1 - waiting].append(0, 1, 2, 3, 4)
        receiver = SWMRCountMulti([entry(path) for path in paths], total_count=6)
        receivers.append(receiver)
        stop = threading.Event()
        results = []
        call = threading.Thread(target=lambda: results.append(receiver.recv_event(stop, 3)))
        call.start()
        # Once the files before it have delivered, the call waits on this one.
        gathered = [5 if i < waiting else 0 for i in range(2)]
        wait_for(
            lambda: [buffer.reallen for buffer in receiver.buffers.buffers] == gathered,
            what="the frames of the files before the waiting one",
        )
        time.sleep(0.1)  # let it poll a while; the outcome does not depend on it
        stop.set()
        call.join(60)

        assert results == [None] and receiver.index == 0
        assert [buffer.reallen for buffer in receiver.buffers.buffers] == gathered
        assert [counter.index for counter in receiver.swmrcounts] == gathered
        # Stopped before the batch was complete: nothing is handed out.
        assert receiver.recv_event(stop, 3) is None and receiver.index == 0

        writers[waiting].append(0, 1, 2, 3, 4, 5)
        writers[1 - waiting].append(5)
        batch = receiver.recv_event(threading.Event(), 3)
        assert [frame_values([frames]) for frames in batch] == [[0, 1, 2]] * 2
        # A batch that every buffer holds is handed out even with the event set.
        assert [frame_values([frames]) for frames in receiver.recv_event(stop, 2)] == [[3, 4]] * 2
        assert [frame_values([frames]) for frames in receiver.recv()] == [[5]] * 2
        assert receiver.recv_event(stop) is None
    assert lines_of(capsys) == [LINE] * 6


def test_wait_first_data_not_zero(tmp_path, receivers):
    paths = [tmp_path / f"file{i}.h5" for i in range(2)]
    with StepWriter(paths[0]) as first, StepWriter(paths[1]) as second:
        receiver = SWMRCountMulti([entry(path) for path in paths])
        receivers.append(receiver)
        stop = threading.Event()
        for stopped in [True, False]:
            call = threading.Thread(target=receiver.waitFirstDataNotZero, args=(stop,))
            call.start()
            if stopped:  # waiting on a file that has no frame yet
                time.sleep(0.1)
                stop.set()
            else:
                for step in [lambda: first.append(0, 0), lambda: second.append(3)]:
                    step()  # a zero first frame, one file nonzero: it keeps waiting
                    time.sleep(0.1)
                    assert call.is_alive()
                first.fill(0, 7)
            call.join(60)
            assert not call.is_alive()
            stop = threading.Event()
        assert receiver.index == 0
        assert [counter.index for counter in receiver.swmrcounts] == [0, 0]


def test_empty_files_list(capsys):
    receiver = SWMRCountMulti([], total_count=5)
    assert receiver.waitFirstDataNotZero(threading.Event()) is None
    assert receiver.recv(2) == [] and receiver.recv_event(threading.Event(), 2) == []
    assert receiver.recv(2) == [] and receiver.index == 5
    assert receiver.recv() is None and receiver.close() is None
    assert lines_of(capsys) == [LINE] * 4


@pytest.mark.parametrize(
    "frames, buffer_entry, text",
    [
        (12, lambda path: entry(path, 10), "does not fit"),
        (4, lambda path: entry(path, 10, (3, 3)), "broadcast"),
    ],
)
def test_delivery_that_does_not_fit_moves_nothing(tmp_path, receivers, frames, buffer_entry, text):
    fits = write_frames(tmp_path / "fits.h5", frames)
    path = write_frames(tmp_path / "other.h5", frames)
    receiver = SWMRCountMulti([entry(fits, 12), buffer_entry(path)])
    receivers.append(receiver)
    with pytest.raises(ValueError, match=text) as failed:
        receiver.recv()
    assert "hdf5_kel.swmr.library.tailread.SWMRCountMulti.recv" in names_in_traceback(failed.value)
    assert receiver.index == 0 and receiver.swmrcounts[1].index == 0
    assert [buffer.reallen for buffer in receiver.buffers.buffers] == [frames, 0]
    assert receiver.swmrcounts[0].index == frames  # kept with its buffer, in step


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda r: r.recv(0), ValueError, "remainlen must be a positive number of frames, got 0"),
        (lambda r: r.recv(2.5), TypeError, "remainlen must be an integer, got 2.5"),
        (lambda r: r.recv_event(object()), AttributeError, "is_set"),
    ],
)
def test_bad_receive_calls_move_nothing(tmp_path, receivers, call, error, text):
    receiver = SWMRCountMulti([entry(write_frames(tmp_path / "file.h5", 10))])
    receivers.append(receiver)
    with pytest.raises(error, match=re.escape(text)):
        call(receiver)
    assert receiver.index == 0 and receiver.buffers.buffers[0].index == 0
    assert [frame_values([frames]) for frames in receiver.recv(2)] == [[0, 1]]


def test_closed_receiver_fails_and_moves_nothing(tmp_path):
    receiver = SWMRCountMulti([entry(write_frames(tmp_path / "file.h5", 4))])
    receiver.close()
    with pytest.raises(ValueError) as failed:
        receiver.recv_event(threading.Event())
    assert "hdf5_kel.swmr.library.tailread.SWMRCount.recv_event" in names_in_traceback(failed.value)
    assert receiver.index == 0 and receiver.swmrcounts[0].index == 0


@pytest.mark.parametrize(
    "files, error, text",
    [
        (lambda path: [[path, DATASET]], IndexError, "index out of range"),
        (lambda path: [[path, DATASET, 3, (10, 2, 2)]], IndexError, "index out of range"),
        (lambda path: [[path, DATASET, 3, (10, 2, 2), "no such type"]], TypeError, "data type"),
        (lambda path: 5, TypeError, "not iterable"),
        # items read in order, as Python reads them
        (lambda path: [{}], KeyError, "0"),
        (lambda path: [{0: path, 1: DATASET, 2: 3}], KeyError, "3"),
    ],
)
def test_bad_entries(tmp_path, files, error, text):
    path = str(write_frames(tmp_path / "file.h5", 4))
    with pytest.raises(error, match=re.escape(text)) as failed:
        SWMRCountMulti(files(path))
    assert "hdf5_kel.swmr.library.tailread.SWMRCountMulti.__init__" in names_in_traceback(
        failed.value
    )
