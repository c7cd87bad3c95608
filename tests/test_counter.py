"""SWMRCount: every frame a writer appends handed out once, in order, as it arrives."""

import datetime
import logging
import re
import threading
import time

import h5py
import numpy as np
import pytest
from conftest import (
    DATASET,
    StepWriter,
    finish,
    frame_values,
    names_in_traceback,
    start_python,
    start_writer,
    write_frames,
)

from hdf5_kel.swmr.library.tailread import SWMRCount


@pytest.fixture
def counters():
    """Counters made by a test, closed when it ends."""
    made = []
    yield made
    for counter in made:
        counter.close()


@pytest.mark.parametrize(
    "method, per_append, start_delay, frame_shape",
    [("recv", 1, 1.2, (3, 2)), ("recv_event", 3, 0.0, (3, 2)), ("recv", 2, 0.0, ())],
    ids=["recv", "recv_event", "one axis"],
)
def test_follows_a_growing_file(
    tmp_path, capsys, counters, method, per_append, start_delay, frame_shape
):
    path = tmp_path / "grow.h5"
    writer = start_writer(
        path,
        DATASET,
        30,
        per_append=per_append,
        delay=0.01,
        frame_shape=frame_shape,
        start_delay=start_delay,
    )
    counter = SWMRCount(str(path), DATASET, total_count=30)
    counters.append(counter)
    receive = getattr(counter, method)
    arguments = (threading.Event(),) if method == "recv_event" else ()
    blocks = []
    while (block := receive(*arguments)) is not None:
        blocks.append(block)
    finish(writer)

    assert frame_values(blocks) == list(range(30))
    assert all(block.shape[1:] == frame_shape and block.dtype == np.int32 for block in blocks)
    assert counter.index == 30
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1] == f"file found {path}"
    assert set(lines[:-1]) <= {f"file not found {path}"}
    if start_delay:  # the file appears well after the first test
        assert len(lines) > 1


def test_hands_out_only_what_is_new_and_everything_present(tmp_path, counters):
    path = str(write_frames(tmp_path / "seven.h5", 7))
    counter = SWMRCount(path, DATASET, 3, 5)
    counters.append(counter)
    assert (counter.filename, counter.datasetname, counter.total_count) == (path, DATASET, 5)
    assert frame_values([counter.modify(counter.dset, (2, 2, 2))]) == [0, 1]
    for shape in [(2, 2, 2), (1, 2, 2)]:
        assert counter.modify(counter.dset, shape) is None and counter.index == 2

    # any object that takes the two-axis index will do, whatever its shape
    assert counter.modify(np.arange(12).reshape(4, 3), (3,)).tolist() == [[6, 7, 8]]
    assert counter.modify(np.ones((6, 0)), [4]).shape == (1, 0)
    counter.index = 2

    assert frame_values([counter.recv()]) == [2, 3, 4, 5, 6]  # past total_count too
    assert counter.index == 7
    assert counter.recv() is None
    assert counter.recv_event(NeverAsked()) is None
    # Nothing due: the closed file is not touched again.
    counter.close()
    assert counter.recv() is None
    counter.__del__()


class NeverAsked:
    def is_set(self):
        raise AssertionError("the event was asked")


def test_stop_event_ends_the_wait_and_loses_nothing(tmp_path, counters):
    with StepWriter(tmp_path / "step.h5") as writer:
        counter = SWMRCount(str(tmp_path / "step.h5"), total_count=6)
        counters.append(counter)
        stop = threading.Event()
        stop.set()
        assert counter.recv_event(stop) is None  # frames due, but stopped before looking

        writer.append(0, 1)
        assert frame_values([counter.recv_event(threading.Event())]) == [0, 1]
        stop = threading.Event()
        results = []
        waiting = threading.Thread(target=lambda: results.append(counter.recv_event(stop)))
        waiting.start()
        time.sleep(0.2)  # let it poll a while; the outcome does not depend on it
        stop.set()
        waiting.join(60)
        assert results == [None] and counter.index == 2

        writer.append(2, 3, 4, 5)
        assert frame_values([counter.recv_event(threading.Event())]) == [2, 3, 4, 5]
        assert counter.recv_event(stop) is None


def root_records(caplog):
    return [record for record in caplog.records if record.name == "root"]


def test_log_lines_of_a_hand_out(tmp_path, caplog, counters):
    path = str(write_frames(tmp_path / "three.h5", 3))
    counter = SWMRCount(path, total_count=3)
    counters.append(counter)
    caplog.set_level(logging.DEBUG)
    before = datetime.datetime.now(datetime.timezone.utc)
    block = counter.recv()

    info, debug = root_records(caplog)
    assert (info.levelno, debug.levelno) == (logging.INFO, logging.DEBUG)
    head, rendered = f"{path},{DATASET},(3, 2, 2)", np.array2string(block)
    assert info.getMessage() == f"{head},{rendered}"
    stamp = re.fullmatch(
        re.escape(head) + r",(\d\d:\d\d:\d\d:\d{6})," + re.escape(rendered), debug.getMessage()
    ).group(1)
    logged = datetime.datetime.strptime(stamp, "%H:%M:%S:%f")
    seconds = (logged - before.replace(year=1900, month=1, day=1, tzinfo=None)).total_seconds()
    assert 0 <= seconds % 86400 < 60  # UTC, not local time


@pytest.mark.parametrize(
    "level, disabled, lines",
    [
        (logging.WARNING, False, 0),
        (logging.INFO, False, 1),
        (logging.DEBUG, False, 2),
        (logging.DEBUG, True, 0),
    ],
)
def test_blocks_rendered_only_for_lines_emitted(
    tmp_path, caplog, monkeypatch, counters, level, disabled, lines
):
    counter = SWMRCount(str(write_frames(tmp_path / "four.h5", 4)), total_count=4)
    counters.append(counter)
    rendered = []
    render = np.array2string
    monkeypatch.setattr(np, "array2string", lambda a: rendered.append(a) or render(a))
    caplog.set_level(level)
    if disabled:
        logging.disable(logging.CRITICAL)
    try:
        counter.recv()
    finally:
        logging.disable(logging.NOTSET)
    assert len(rendered) == len(root_records(caplog)) == lines


def test_hand_out_configures_a_root_logger_without_handler(tmp_path):
    path = write_frames(tmp_path / "two.h5", 2)
    child = start_python(
        "import logging, sys\n"
        "import numpy\n"
        "from hdf5_kel.swmr.library.tailread import SWMRCount\n"
        "render = numpy.array2string\n"
        "numpy.array2string = lambda a: sys.exit('rendered with logging off')\n"
        "counter = SWMRCount(sys.argv[1], total_count=2)\n"
        "assert not logging.getLogger().handlers\n"
        "print('frames', len(counter.recv()))\n"
        "print('handlers', len(logging.getLogger().handlers))\n"
        "logging.getLogger().setLevel(logging.INFO)\n"
        "numpy.array2string = render\n"
        "counter.index = 0\n"
        "counter.recv()\n",
        tmp_path,
        path,
    )
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.splitlines()[-2:] == ["frames 2", "handlers 1"]
    with h5py.File(path) as f:
        rendered = np.array2string(f[DATASET][:])
    assert err == f"INFO:root:{path},{DATASET},(2, 2, 2),{rendered}\n"


class Sub(SWMRCount):
    pass


@pytest.mark.parametrize(
    "build, total",
    [
        (lambda cls, path: cls.fromlist([path, DATASET, 2, (10, 2, 2), "int32"], 10), 10),
        (lambda cls, path: cls.fromlist((path, DATASET, 7), 4), 4),
        (
            lambda cls, path: cls.frommap(
                total_count=20, datasetname=DATASET, filepath=path, dim=9, other=1
            ),
            20,
        ),
    ],
)
@pytest.mark.parametrize("cls", [SWMRCount, Sub])
def test_fromlist_and_frommap(tmp_path, counters, cls, build, total):
    path = str(write_frames(tmp_path / "one.h5", 1))
    counter = build(cls, path)
    counters.append(counter)
    assert type(counter) is cls
    assert (counter.filename, counter.datasetname, counter.total_count) == (path, DATASET, total)
    assert not hasattr(counter, "dim")


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda path: SWMRCount(), TypeError, "__init__() takes at least 2 positional arguments"),
        (lambda path: SWMRCount(path, "/missing"), KeyError, "missing"),
        (lambda path: SWMRCount.fromlist([path, DATASET], 10), IndexError, "out of range"),
        (lambda path: SWMRCount.fromlist({}, 10), KeyError, "0"),  # items read from the first
        (lambda path: SWMRCount.frommap(filepath=path, datasetname=DATASET), KeyError, "total"),
        (lambda path: SWMRCount.frommap(path), TypeError, "takes exactly 1 positional argument"),
    ],
)
def test_bad_construction(tmp_path, call, error, text):
    path = str(write_frames(tmp_path / "one.h5", 1))
    with pytest.raises(error, match=re.escape(text)):
        call(path)


def test_failed_receive_moves_nothing(tmp_path, counters):
    path = tmp_path / "scalar.h5"
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset(DATASET, data=4)
    scalar = SWMRCount(str(path), total_count=4)
    counters.append(scalar)
    with pytest.raises(IndexError) as no_axis:
        scalar.recv()
    assert scalar.index == 0
    assert "hdf5_kel.swmr.library.tailread.SWMRCount.modify" in names_in_traceback(no_axis.value)

    counter = SWMRCount(str(write_frames(tmp_path / "two.h5", 2)), total_count=2)
    counter.close()
    with pytest.raises(ValueError) as closed:
        counter.recv()
    assert counter.index == 0
    assert "hdf5_kel.swmr.library.tailread.SWMRCount.recv" in names_in_traceback(closed.value)
    with pytest.raises(AttributeError):
        counter.recv_event(object())


def test_busy_wait_ends_on_interrupt(tmp_path):
    with StepWriter(tmp_path / "idle.h5"):
        child = start_python(
            "import _thread, sys, threading\n"
            "from hdf5_kel.swmr.library.tailread import SWMRCount\n"
            "counter = SWMRCount(sys.argv[1], total_count=1)\n"
            "threading.Timer(0.3, _thread.interrupt_main).start()\n"
            "try:\n"
            "    counter.recv()\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted at', counter.index)\n",
            tmp_path,
            tmp_path / "idle.h5",
        )
        assert finish(child).splitlines()[-1] == "interrupted at 0"
