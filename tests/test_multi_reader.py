"""SWMRReaderMulti: several growing files read in lock-step, block by block."""

import re
import threading

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

from hdf5_kel.swmr.library.tailread import SWMRReaderMulti

NOT_ALL = "!!!SWReaderMulti read_chunks: Not all readers have new data."


@pytest.fixture
def multis():
    """Multi-file readers made by a test, closed when it ends."""
    made = []
    yield made
    for multi in made:
        multi.close()


def read_all(multi, read, *arguments):
    calls = []
    while (blocks := getattr(multi, read)(*arguments)) is not None:
        calls.append(blocks)
    return calls


@pytest.mark.parametrize("read", ["read_chunks", "read_chunks_event"])
def test_lock_step_over_writers_at_different_rates(tmp_path, capsys, multis, read):
    paths = [tmp_path / f"file{i}.h5" for i in range(3)]
    writers = [
        start_writer(paths[0], DATASET, 22, delay=0.01, frame_shape=(2, 3)),
        start_writer(paths[1], DATASET, 22, per_append=3, delay=0.03, frame_shape=(2, 3)),
        start_writer(paths[2], DATASET, 22, per_append=5, delay=0.02, frame_shape=(4,)),
    ]
    multi = SWMRReaderMulti(
        [
            (str(paths[0]), DATASET, 0, 20, 4),
            [str(paths[1]), DATASET, 0, 20, 4],  # a list entry works as well
            (str(paths[2]), DATASET, 2, 22, 4),
        ]
    )
    multis.append(multi)
    arguments = (threading.Event(),) if read == "read_chunks_event" else ()
    calls = read_all(multi, read, *arguments)
    for writer in writers:
        finish(writer)

    assert len(calls) == 5
    for k, blocks in enumerate(calls):
        assert [frame_values([block]) for block in blocks] == [
            list(range(4 * k, 4 * k + 4)),
            list(range(4 * k, 4 * k + 4)),
            list(range(2 + 4 * k, 6 + 4 * k)),
        ]
        assert [block.shape[1:] for block in blocks] == [(2, 3), (2, 3), (4,)]
    assert [reader.index for reader in multi.readers] == [20, 20, 22]
    assert NOT_ALL not in capsys.readouterr().out


def test_entries_with_different_batch_sizes(tmp_path, multis):
    paths = [str(write_frames(tmp_path / f"file{i}.h5", 12)) for i in range(2)]
    multi = SWMRReaderMulti([(paths[0], DATASET, 0, 12, 3), (paths[1], DATASET, 0, 12, 6)])
    multis.append(multi)
    calls = read_all(multi, "read_chunks")
    assert [[frame_values([block]) for block in blocks] for blocks in calls] == [
        [[0, 1, 2], list(range(6))],
        [[3, 4, 5], list(range(6, 12))],
    ]
    # The first file's last two blocks were taken by calls the second could not
    # match: its blocks are not handed out.
    assert [reader.index for reader in multi.readers] == [9, 12]


@pytest.mark.parametrize("read", ["read_chunks", "read_chunks_event"])
def test_mixed_end_prints_and_returns_none(tmp_path, capsys, multis, read):
    long = str(write_frames(tmp_path / "long.h5", 8))
    short = str(write_frames(tmp_path / "short.h5", 4))
    multi = SWMRReaderMulti([(long, DATASET, 0, 8, 4), (short, DATASET, 0, 4, 4)])
    multis.append(multi)
    arguments = (threading.Event(),) if read == "read_chunks_event" else ()
    capsys.readouterr()

    first = getattr(multi, read)(*arguments)
    assert [frame_values([block]) for block in first] == [[0, 1, 2, 3]] * 2
    assert getattr(multi, read)(*arguments) is None
    assert capsys.readouterr().out == NOT_ALL + "\n"
    assert [reader.index for reader in multi.readers] == [8, 4]
    assert getattr(multi, read)(*arguments) is None
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("waiting", [0, 1, 2])
def test_stop_while_waiting_steps_back_and_drops_nothing(tmp_path, capsys, multis, waiting):
    paths = [tmp_path / f"file{i}.h5" for i in range(3)]
    for i, path in enumerate(paths):
        if i != waiting:
            write_frames(path, 8)
    with StepWriter(paths[waiting]) as writer:
        multi = SWMRReaderMulti([(str(path), DATASET, 0, 8, 4) for path in paths])
        multis.append(multi)
        capsys.readouterr()
        stop = threading.Event()
        results = []
        call = threading.Thread(target=lambda: results.append(multi.read_chunks_event(stop)))
        call.start()
        # Once the readers before it have their block, the call waits on this one.
        wait_for(
            lambda: all(reader.index == 4 for reader in multi.readers[:waiting]),
            what="the readers before the waiting one",
        )
        stop.set()
        call.join(60)

        assert results == [None]
        assert [reader.index for reader in multi.readers] == [0, 0, 0]
        assert capsys.readouterr().out == (NOT_ALL + "\n" if waiting else "")
        writer.append(*range(8))
        calls = read_all(multi, "read_chunks_event", threading.Event())
    assert [[frame_values([block]) for block in blocks] for blocks in calls] == [
        [[0, 1, 2, 3]] * 3,
        [[4, 5, 6, 7]] * 3,
    ]


def test_stop_already_set_or_no_event_moves_nothing(tmp_path, capsys, multis):
    paths = [str(write_frames(tmp_path / f"file{i}.h5", 4)) for i in range(2)]
    multi = SWMRReaderMulti([(path, DATASET, 0, 4, 2) for path in paths])
    multis.append(multi)
    capsys.readouterr()
    stop = threading.Event()
    stop.set()
    assert multi.read_chunks_event(stop) is None
    with pytest.raises(AttributeError, match="is_set"):
        multi.read_chunks_event(object())
    assert [reader.index for reader in multi.readers] == [0, 0]
    assert capsys.readouterr().out == ""


def test_failing_reader_steps_the_others_back(tmp_path, multis):
    paths = [str(write_frames(tmp_path / f"file{i}.h5", 4)) for i in range(3)]
    multi = SWMRReaderMulti([(path, DATASET, 0, 4, 2) for path in paths])
    multis.append(multi)
    multi.readers[2].close()
    with pytest.raises((ValueError, RuntimeError)) as failed:  # h5py's, for a closed file
        multi.read_chunks()
    assert "hdf5_kel.swmr.library.tailread.SWMRReaderMulti.read_chunks" in names_in_traceback(
        failed.value
    )
    assert [reader.index for reader in multi.readers] == [0, 0, 0]


def test_empty_list_and_close(tmp_path, capsys):
    empty = SWMRReaderMulti([])
    assert empty.read_chunks() == [] and empty.read_chunks_event(threading.Event()) == []
    assert empty.readers == [] and empty.close() is None
    assert capsys.readouterr().out == ""

    paths = [str(write_frames(tmp_path / f"file{i}.h5", 4)) for i in range(2)]
    multi = SWMRReaderMulti(iter([(path, DATASET, 0, 4, 2) for path in paths]))
    multi.close()
    with pytest.raises((ValueError, RuntimeError)):
        multi.read_chunks()
    assert [reader.index for reader in multi.readers] == [0, 0]


# The finaliser of a reader whose constructor failed finds no readers to close
# and reports that as an ignored exception.
half_built = pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")


@half_built
@pytest.mark.parametrize(
    "files, error, text",
    [
        (lambda path: [(path, DATASET, 0, 4)], TypeError, "takes exactly 6 positional arguments"),
        (lambda path: [(path, DATASET, 0, 4, 2), 5], TypeError, "not iterable"),
        (lambda path: 5, TypeError, "not iterable"),
        (lambda path: [(path, "/missing", 0, 4, 2)], KeyError, "missing"),
    ],
)
def test_bad_entries(tmp_path, files, error, text):
    path = str(write_frames(tmp_path / "file.h5", 4))
    with pytest.raises(error, match=re.escape(text)) as failed:
        SWMRReaderMulti(files(path))
    assert "hdf5_kel.swmr.library.tailread.SWMRReaderMulti.__init__" in names_in_traceback(
        failed.value
    )
