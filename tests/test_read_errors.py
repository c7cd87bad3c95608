"""Reads that HDF5 cannot do say why: a filter plugin this process has not
loaded, or a growing dataset that one process holds twice."""

import importlib.util
import json
import os
import warnings

import h5py
import numpy as np
import pytest
from conftest import (
    DATASET,
    finish,
    frame_values,
    start_python,
    start_writer,
    wait_for,
    write_frames,
)

from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRReader

# Looked up, not imported: this process must not have the filters loaded.
needs_plugins = pytest.mark.skipif(
    importlib.util.find_spec("hdf5plugin") is None, reason="hdf5plugin is not installed"
)

HELD_TWICE = "is held by two dataset objects in this process"
WHAT_TO_DO = "one reader or counter per process"

# Follows one file to its end, with or without the filter plugins, and reports
# the frames it got or how the read failed.
FOLLOWER = r"""
import json
import sys

kind, path, frames, plugins = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "yes"
if plugins:
    import hdf5plugin
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRReader

blocks = []
try:
    if kind == "reader":
        follower = SWMRReader(path, "/entry/data", 0, frames, 3)
        while (block := follower.read_chunk()) is not None:
            blocks.append(block)
    else:
        follower = SWMRCount(path, "/entry/data", 3, frames)
        while (block := follower.recv()) is not None:
            blocks.append(block)
    failure = None
except Exception as error:
    failure = [type(error).__name__, str(error), getattr(error, "__notes__", [])]
values = [int(v) for block in blocks for v in block.reshape(len(block), -1)[:, 0]]
whole = all((block == block.reshape(len(block), -1)[:, :1].reshape(-1, 1, 1)).all()
            for block in blocks)
print(json.dumps({"values": values, "whole": whole, "failure": failure}))
"""


def follow(kind, path, frames, plugins):
    return start_python(FOLLOWER, path.parent, kind, path, frames, "yes" if plugins else "no")


def report(child):
    return json.loads(finish(child).splitlines()[-1])


def assert_names_the_filter(failure):
    kind, message, notes = failure
    assert kind == "OSError" and "bitshuffle" not in message  # h5py's own error
    assert len(notes) == 1
    assert "'bitshuffle' (id 32008)" in notes[0] and "hdf5plugin" in notes[0]


@needs_plugins
def test_compressed_growing_file_is_followed_and_a_missing_plugin_is_named(tmp_path):
    path = tmp_path / "compressed.h5"
    followers = [
        follow("reader", path, 40, plugins=True),
        follow("counter", path, 40, plugins=True),
        follow("reader", path, 40, plugins=False),
    ]
    writer = start_writer(path, DATASET, 40, per_append=2, delay=0.02, filter="bitshuffle-lz4")
    with_reader, with_counter, without = (report(child) for child in followers)
    finish(writer)
    with h5py.File(path, "r") as f:  # the frames really are compressed
        assert f[DATASET].id.get_create_plist().get_filter(0)[0] == 32008
    for got in with_reader, with_counter:
        assert got["failure"] is None
        assert got["values"] == list(range(40)) and got["whole"]
    assert without["values"] == []
    assert_names_the_filter(without["failure"])


# Every other way a read reaches the data, each on files of its own, in a
# process without the filter plugins.
EVERY_READ = r"""
import json
import sys
import threading

from hdf5_kel import filekit
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReaderMulti

paths = iter(sys.argv[1:])
D = "/entry/data"
READS = {
    "SWMRCount.recv_event": lambda: SWMRCount(next(paths), D, 3, 4).recv_event(threading.Event()),
    "SWMRReaderMulti.read_chunks": lambda: SWMRReaderMulti([(next(paths), D, 0, 4, 2)]).read_chunks(),
    "SWMRCountMulti.recv": lambda: SWMRCountMulti([(next(paths), D, 3, (4, 4, 4), "int32")], 4).recv(2),
    "SWMRCountMulti.waitFirstDataNotZero": lambda: SWMRCountMulti(
        [(next(paths), D, 3, (4, 4, 4), "int32")], 4).waitFirstDataNotZero(threading.Event()),
    "compare_dataset_two": lambda: filekit.compare_dataset_two(next(paths), next(paths), D),
    "compare_dataset_two1": lambda: filekit.compare_dataset_two1(next(paths), D, next(paths), D),
    "compare_dataset_subfiles": lambda: filekit.compare_dataset_subfiles(
        next(paths), D, next(paths), D),
}
failures = {}
for name, read in READS.items():
    try:
        read()
        failures[name] = None
    except Exception as error:
        failures[name] = [type(error).__name__, str(error), getattr(error, "__notes__", [])]
print(json.dumps(failures))
"""


@needs_plugins
def test_every_read_names_a_missing_plugin(tmp_path):
    names = [f"file{i}.h5" for i in range(9)] + ["part_0001.h5"]
    for writer in [
        start_writer(tmp_path / name, DATASET, 4, filter="bitshuffle-lz4") for name in names
    ]:
        finish(writer)
    # compare_dataset_subfiles: a main file and the pattern of its one sub-file
    arguments = [*names[:8], "file8.h5", "part_*.h5"]
    failures = json.loads(finish(start_python(EVERY_READ, tmp_path, *arguments)).splitlines()[-1])
    assert len(failures) == 7
    for name, failure in failures.items():
        assert failure is not None, name
        assert_names_the_filter(failure)


# Two followers of one growing dataset in one process, the second through
# another path to the same file, read until the end or until HDF5 fails.
TWO_FOLLOWERS = r"""
import json
import sys
import warnings

from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRReader

first_kind, second_kind, path, other_path = sys.argv[1:]


def follower(kind, where):
    if kind == "reader":
        return SWMRReader(where, "/entry/data", 0, 300, 5)
    return SWMRCount(where, "/entry/data", 3, 300)


def next_block(follower):
    return follower.read_chunk() if kind_of[id(follower)] == "reader" else follower.recv()


with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    first = follower(first_kind, path)
    second = follower(second_kind, other_path)
kind_of = {id(first): first_kind, id(second): second_kind}
failure = None
try:
    while any([next_block(first) is not None, next_block(second) is not None]):
        pass
except OSError as error:
    failure = [type(error).__name__, str(error), getattr(error, "__notes__", [])]
print(json.dumps({
    "warnings": [[w.category.__name__, str(w.message), w.filename] for w in caught],
    "failure": failure,
}))
"""


@pytest.mark.parametrize(
    "first, second", [("reader", "reader"), ("counter", "reader"), ("reader", "counter")]
)
def test_two_followers_of_one_growing_dataset_are_told_why_reads_fail(tmp_path, first, second):
    path = tmp_path / "shared.h5"
    other_path = tmp_path / "linked.h5"
    writer = start_writer(path, DATASET, 300, per_append=3, delay=0.005)
    child = start_python(TWO_FOLLOWERS, tmp_path, first, second, path, other_path)
    wait_for(path.exists, what="the file")  # the second follower comes in by a hard link
    os.link(path, other_path)
    result = json.loads(finish(child).splitlines()[-1])
    finish(writer)

    [(category, message, where)] = result["warnings"]
    assert category == "RuntimeWarning" and where == "<string>"  # the line making the follower
    assert message.startswith(f"{other_path}: {DATASET} {HELD_TWICE}")
    assert WHAT_TO_DO in message
    if result["failure"] is not None:  # HDF5 2.0.0 and 1.10.8 fail every such read
        kind, error_text, notes = result["failure"]
        assert kind == "OSError" and "duplicate key" in error_text
        assert len(notes) == 1 and HELD_TWICE in notes[0] and WHAT_TO_DO in notes[0]
        assert "fails every read" in notes[0] and "may fail" in message


def two_dataset_file(tmp_path):
    path = write_frames(tmp_path / "two.h5", 4)
    with h5py.File(path, "a", libver="latest") as f:
        f.create_dataset("/entry/other", data=np.zeros((4, 2)), maxshape=(None, 2))
    return str(path)


def test_followers_that_hold_a_dataset_once_are_not_warned(tmp_path):
    path = two_dataset_file(tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        one = SWMRReader(path, DATASET, 0, 4, 2)
        other = SWMRCount(path, "/entry/other", 3, 4)  # another dataset of the same file
        assert len(other.recv()) == 4
        one.close()
        after_close = SWMRCount(path, DATASET, 3, 4)  # one follower after another
        assert frame_values([after_close.recv()]) == [0, 1, 2, 3]
        del after_close
        released = SWMRReader(path, DATASET, 0, 4, 4)  # after the last one was released
        assert frame_values([released.read_chunk()]) == [0, 1, 2, 3]
        released.close()
        other.close()


def test_a_warning_turned_into_an_error_keeps_no_file_open(tmp_path):
    path = two_dataset_file(tmp_path)
    first = SWMRReader(path, DATASET, 0, 4, 2)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match=HELD_TWICE):
            SWMRCount(path, DATASET, 3, 4)
        first.close()
        second = SWMRCount(path, DATASET, 3, 4)  # the refused one holds nothing
        assert frame_values([second.recv()]) == [0, 1, 2, 3]
        second.close()
