"""map_frames: a growing file's blocks through a function on Dask workers."""

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from conftest import DATASET, child_env, start_writer, wait_for, write_frames

distributed = pytest.importorskip("distributed")
from hdf5_kel.cluster import map_frames
from hdf5_kel.follow import FollowError

# Where the blocks are read: in the calling process, or on the workers.
READERS = pytest.mark.parametrize("read_on_workers", [False, True], ids=["read-here", "on-workers"])


def local_client(**workers):
    """A client of a LocalCluster of worker processes, its dashboard on
    loopback and a free port: dashboard_address=None still opens one on every
    interface."""
    with (
        distributed.LocalCluster(
            processes=True, dashboard_address="127.0.0.1:0", **workers
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def client():
    # Worker processes, so that one can be killed.
    yield from local_client(n_workers=2, threads_per_worker=1)


@pytest.fixture(scope="module")
def threaded_client():
    # One worker process whose threads share its reader of the file.
    yield from local_client(n_workers=1, threads_per_worker=3)


def frames_of(block):
    """The values of a block's frames; every frame i of the writer holds i.
    Blocks finish out of order, so that the order is the follower's doing."""
    time.sleep(0.01 * (int(block[0, 0, 0]) % 7))
    return block[:, 0, 0].tolist()


def assert_every_block_once_in_order(results, start, end, batch, client):
    assert [first for first, _ in results] == list(range(start, end, batch))
    assert [value for _, values in results for value in values] == list(range(start, end))
    wait_for(lambda: not client.futures, what="every future released")


@READERS
@pytest.mark.parametrize("start, total", [(0, None), (3, 45)])
def test_every_block_once_in_order(tmp_path, client, start, total, read_on_workers):
    path = tmp_path / "live.h5"
    writer = start_writer(path, DATASET, 50, per_append=3, delay=0.01)
    results = list(
        map_frames(
            client,
            frames_of,
            path,
            DATASET,
            batch_size=4,
            total_frames=total,
            start_frame=start,
            in_flight=3,
            read_on_workers=read_on_workers,
        )
    )
    writer.communicate()
    assert_every_block_once_in_order(results, start, 50 if total is None else total, 4, client)


@READERS
def test_a_killed_worker_loses_no_block(tmp_path, client, read_on_workers):
    path = tmp_path / "live.h5"
    writer = start_writer(path, DATASET, 60, delay=0.01)
    results = []
    mapping = map_frames(
        client, frames_of, path, DATASET, batch_size=3, read_on_workers=read_on_workers
    )
    for first, values in mapping:
        if not results:
            pid = next(iter(client.run(os.getpid).values()))
            os.kill(pid, signal.SIGKILL)
        results.append((first, values))
    writer.communicate()
    assert_every_block_once_in_order(results, 0, 60, 3, client)


@READERS
def test_in_flight_bounds_the_blocks_out_and_stop_ends_it(tmp_path, client, read_on_workers):
    """The function waits for a release: the follower submits in_flight
    blocks and no more; a stop then yields what was submitted."""
    path = write_frames(tmp_path / "done.h5", 40)
    release, stop = distributed.Event(tmp_path.name), threading.Event()

    def held(block):
        distributed.Event(tmp_path.name).wait()
        return block[:, 0, 0].tolist()

    results = []
    mapping = map_frames(
        client,
        held,
        path,
        DATASET,
        batch_size=2,
        in_flight=3,
        stop=stop,
        read_on_workers=read_on_workers,
    )
    follower = threading.Thread(target=lambda: results.extend(mapping))
    follower.start()
    futures = 3 if read_on_workers else 2 * 3  # a result each, and the scattered block
    wait_for(lambda: len(client.futures) == futures, what="three blocks out")
    time.sleep(0.5)  # time to submit a fourth, were it to
    assert len(client.futures) == futures
    stop.set()
    release.set()
    follower.join(60)
    assert_every_block_once_in_order(results, 0, 6, 2, client)
    # A stop also ends the wait for a file.
    assert list(map_frames(client, len, tmp_path / "no.h5", DATASET, batch_size=2, stop=stop)) == []


@READERS
def test_an_error_of_the_function_ends_it_with_the_block_named(tmp_path, client, read_on_workers):
    path = write_frames(tmp_path / "done.h5", 20)

    def fails_at_eight(block):
        if block[0, 0, 0] == 8:
            raise ZeroDivisionError("bad frame")
        return block[:, 0, 0].tolist()

    results = []
    with pytest.raises(ZeroDivisionError) as failure:
        results.extend(
            map_frames(
                client, fails_at_eight, path, DATASET, batch_size=4, read_on_workers=read_on_workers
            )
        )
    assert "frames 8 to 11" in failure.value.__notes__[0]
    assert_every_block_once_in_order(results, 0, 8, 4, client)


def test_a_file_that_cannot_tell_its_end_needs_a_total_or_stop(tmp_path, client):
    import h5py

    path = tmp_path / "old.h5"
    with h5py.File(path, "w") as f:  # the default file format says nothing of its writer
        f.create_dataset(DATASET, data=np.zeros((4, 2)), maxshape=(None, 2))
    with pytest.raises(ValueError, match="give total_frames or stop"):
        list(map_frames(client, len, path, DATASET, batch_size=2))
    assert list(map_frames(client, len, path, DATASET, batch_size=3, total_frames=4)) == [
        (0, 3),
        (3, 1),
    ]


@pytest.mark.parametrize(
    "change, error, text",
    [
        ({"client": object()}, TypeError, "client must be"),
        ({"function": 3}, TypeError, "function must be callable, not 3"),
        ({"batch_size": 0}, ValueError, "batch_size must be at least 1, not 0"),
        ({"batch_size": 2.0}, TypeError, "batch_size must be an integer, not 2.0"),
        ({"in_flight": 0}, ValueError, "in_flight must be at least 1, not 0"),
        ({"start_frame": -1}, ValueError, "start_frame must be at least 0, not -1"),
        ({"start_frame": 5, "total_frames": 4}, ValueError, r"at least start_frame \(5\), not 4"),
        ({"stop": True}, TypeError, "stop must have an is_set"),
        ({"dataset": 7}, TypeError, "dataset must be a str"),
        ({"read_on_workers": "yes"}, TypeError, "read_on_workers must be True or False"),
        ({"ordered": 0}, TypeError, "ordered must be True or False, not 0"),
    ],
)
def test_bad_arguments_fail_at_the_call(tmp_path, client, change, error, text):
    arguments = {
        "client": client,
        "function": len,
        "path": tmp_path / "x.h5",
        "dataset": DATASET,
        "batch_size": 2,
        **change,
    }
    with pytest.raises(error, match=text):
        map_frames(**arguments)


@READERS
def test_unordered_results_come_as_they_complete_each_once(
    tmp_path, threaded_client, read_on_workers
):
    path = tmp_path / "live.h5"
    # Compressed: the workers load the filter plugins themselves.
    writer = start_writer(path, DATASET, 40, per_append=5, delay=0.01, filter="bitshuffle-lz4")
    results = list(
        map_frames(
            threaded_client,
            frames_of,
            path,
            DATASET,
            batch_size=2,
            ordered=False,
            read_on_workers=read_on_workers,
        )
    )
    writer.communicate()
    assert sorted(results) == [(first, [first, first + 1]) for first in range(0, 40, 2)]
    wait_for(lambda: not threaded_client.futures, what="every future released")


def test_what_cannot_be_followed_is_said_plainly(tmp_path, client):
    path = write_frames(tmp_path / "done.h5", 4)
    with pytest.raises(
        FollowError, match="has no dataset /entry/dat; closest datasets: /entry/data"
    ):
        list(map_frames(client, len, path, "/entry/dat", batch_size=2, read_on_workers=True))
    # Workers that are threads of this process would hold the dataset twice.
    with (
        distributed.LocalCluster(
            n_workers=1, processes=False, dashboard_address="127.0.0.1:0"
        ) as cluster,
        distributed.Client(cluster) as threads,
        pytest.raises(FollowError, match="needs workers in processes of their own"),
    ):
        list(map_frames(threads, len, path, DATASET, batch_size=2, read_on_workers=True))


def test_the_library_imports_no_command_line_module():
    code = "import sys, hdf5_kel.cluster, hdf5_kel.follow; print(sorted(sys.modules))"
    modules = subprocess.run(
        [sys.executable, "-c", code], env=child_env(), capture_output=True, text=True, check=True
    ).stdout
    assert "hdf5_kel.follow" in modules and "hdf5_kel.cli" not in modules


@READERS
def test_an_acquisition_over_several_files_is_mapped_in_order(tmp_path, client, read_on_workers):
    from test_acquisitions import TOTAL, virtual, writers

    master = virtual(tmp_path, "interleaved")  # frame i in file i mod 3, no end
    started = writers(tmp_path, "interleaved")
    results = list(
        map_frames(
            client, frames_of, master, DATASET, batch_size=5, read_on_workers=read_on_workers
        )
    )
    for writer in started:
        writer.communicate()
    assert_every_block_once_in_order(results, 0, TOTAL, 5, client)


class CountsItsPickling:
    """A function that counts how often the caller pickles it to send it."""

    pickled = 0

    def __call__(self, block):
        return block[:, 0, 0].tolist()

    def __reduce__(self):
        self.pickled += 1
        return CountsItsPickling, ()


def test_blocks_read_on_the_workers_do_not_carry_the_function(tmp_path, client):
    """A function (a closure over a detector's mask, say) goes to the workers
    once for the run, not with each of the 10 blocks."""
    path = write_frames(tmp_path / "done.h5", 40)
    function = CountsItsPickling()
    results = list(map_frames(client, function, path, DATASET, batch_size=4, read_on_workers=True))
    assert_every_block_once_in_order(results, 0, 40, 4, client)
    assert function.pickled < len(results)
