"""Followers keep nothing that another follower, thread or handle shares: one
follower per thread in one process gets exactly its own frames, the caller's
own handles of a file keep the chunk cache they asked for, and a block is the
array that h5py's slicing gives, frames never written included."""

import sys
import threading
import warnings

import h5py
import numpy as np
import pytest
from conftest import DATASET, finish, start_writer, wait_for_line

from hdf5_kel import filekit
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRReader

# dtype, frame shape, frames per chunk, frames per block
FOLLOWED = [
    ("f8", (8,), 1, 1),
    ("i2", (16,), 1, 3),
    (">u2", (4, 4), 4, 5),
    ("f4", (3, 5), 2, 2),
]
FRAMES = 600  # frame i holds i
# The same followers on compressed files, decoded on several threads each.
COMPRESSED = ["bitshuffle-lz4", "gzip-shuffle", "zstd", "blosc-lz4"]


def expected_frames(dtype, frame_shape, frames=FRAMES):
    values = np.arange(frames).astype(dtype).reshape(-1, *[1] * len(frame_shape))
    return np.broadcast_to(values, (frames, *frame_shape))


@pytest.fixture
def frequent_thread_switches():
    """Threads take turns far more often than by default, so that one is
    interrupted at every point of a hand-out where that can happen."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "compressed"])
@pytest.mark.parametrize("kind", ["SWMRReader", "SWMRCount"])
@pytest.mark.usefixtures("frequent_thread_switches")
def test_followers_in_threads_of_one_process_hand_out_their_own_frames(tmp_path, kind, compressed):
    if compressed:
        pytest.importorskip("hdf5plugin")  # also lets this process read the chunks
    writers = [
        start_writer(
            tmp_path / f"live{k}.h5",
            DATASET,
            FRAMES,
            per_append=k + 1,
            delay=0.002,
            frame_shape=shape,
            dtype=dtype,
            chunk_frames=chunk_frames,
            filter=COMPRESSED[k] if compressed else "none",
        )
        for k, (dtype, shape, chunk_frames, _) in enumerate(FOLLOWED)
    ]
    blocks, failures = {}, []

    def follow(k, batch):
        path = str(tmp_path / f"live{k}.h5")
        try:
            if kind == "SWMRReader":
                follower = SWMRReader(path, DATASET, 0, FRAMES, batch)
            else:
                follower = SWMRCount(path, DATASET, 3, FRAMES)
            with follower:
                blocks[k] = list(follower)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    threads = [
        threading.Thread(target=follow, args=(k, batch)) for k, (*_, batch) in enumerate(FOLLOWED)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    for writer in writers:
        finish(writer)
    assert not failures and not any(thread.is_alive() for thread in threads)
    for k, (dtype, shape, _, batch) in enumerate(FOLLOWED):
        if kind == "SWMRReader":
            assert [len(b) for b in blocks[k]] == [min(batch, FRAMES - s) for s in
                                                   range(0, FRAMES, batch)]  # fmt: skip
        assert all(block.dtype == np.dtype(dtype) for block in blocks[k])
        assert np.array_equal(np.concatenate(blocks[k]), expected_frames(dtype, shape))


@pytest.mark.parametrize(
    "layout", [{}, {"chunk_frames": 5}, {"filter": "gzip"}], ids=["one-frame", "five-frame", "gzip"]
)
def test_the_callers_own_handles_keep_the_chunk_cache_they_asked_for(tmp_path, layout):
    """HDF5 shares one open file among the handles of a process: a follower
    that set a cache of its own would set it for them too."""
    asked = 3 << 20
    path = tmp_path / "done.h5"
    writer = start_writer(path, DATASET, 20, frame_shape=(6, 6), **layout)
    finish(writer)

    def cache_of(file):
        return file[DATASET].id.get_access_plist().get_chunk_cache()[1]

    default = h5py.h5p.create(h5py.h5p.DATASET_ACCESS).get_chunk_cache()[1]
    with h5py.File(path, "r", libver="latest", swmr=True, rdcc_nbytes=asked) as before:
        reader = SWMRReader(str(path), DATASET, 0, 20, 3)
        assert len(np.concatenate(list(reader))) == 20
        assert filekit.compare_dataset_two(str(path), str(path), DATASET)
        assert cache_of(before) == asked
        reader.close()
    counter = SWMRCount(str(path), DATASET, 3, 20)
    with h5py.File(path, "r", libver="latest", swmr=True, rdcc_nbytes=asked) as after:
        # The first open of a file sets the cache of every later one in
        # HDF5; the follower's is HDF5's default.
        assert cache_of(after) in (asked, default)
        assert len(counter.recv()) == 20
    counter.close()


@pytest.mark.skipif(
    h5py.version.hdf5_version_tuple < (1, 14),
    reason="HDF5 before 1.14 leaves a never-written chunk's frames as the memory held: h5py's"
    " own slices of them differ from read to read",
)
@pytest.mark.parametrize("chunk_frames", [1, 2])
@pytest.mark.parametrize("kind", ["SWMRReader", "SWMRCount"])
def test_frames_never_written_are_what_h5py_slicing_gives(tmp_path, kind, chunk_frames):
    path = str(tmp_path / "holes.h5")
    with h5py.File(path, "w", libver="latest") as f:
        # Chunks that are never written hold no fill value (h5py before 3.7
        # takes no fill_time).
        dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
        dcpl.set_chunk((chunk_frames, 64, 64))
        dcpl.set_fill_time(h5py.h5d.FILL_TIME_NEVER)
        space = h5py.h5s.create_simple((12, 64, 64), (h5py.h5s.UNLIMITED,) * 3)
        f.create_group("/entry")
        dset = h5py.Dataset(
            h5py.h5d.create(f.id, DATASET.encode(), h5py.h5t.STD_U16LE, space, dcpl=dcpl)
        )
        for i in (0, 1, 2, 3, 6, 7, 10):
            dset[i] = i + 1
    with h5py.File(path, "r") as f:
        expected = f[DATASET][()]
    # Memory that a new block may be given, full of anything but the fill value.
    junk = np.full(expected.nbytes, 0xAB, "u1")
    del junk
    if kind == "SWMRReader":
        follower = SWMRReader(path, DATASET, 1, 12, 11)
        read = follower.read_chunk
    else:
        follower = SWMRCount(path, DATASET, 3, 12)
        follower.index = 1
        read = follower.recv
    with pytest.warns(RuntimeWarning, match="frames 4 to 5, frames 8 to 9.* never written"):
        block = read()
    follower.close()
    assert np.array_equal(block, expected[1:])


def test_the_writers_own_handle_in_the_same_process_draws_no_warning(tmp_path):
    path = str(tmp_path / "own.h5")
    with h5py.File(path, "w", libver="latest") as f:
        dset = f.create_dataset(DATASET, (0, 2), maxshape=(None, 2), chunks=(1, 2), dtype="i4")
        f.swmr_mode = True
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            counter = SWMRCount(path, DATASET, 3, 6)
        handed_out = []
        for i in range(6):
            dset.resize(i + 1, axis=0)
            dset[i] = i
            dset.flush()
            handed_out.extend(counter.recv()[:, 0])
        counter.close()
    assert handed_out == list(range(6))


def test_two_followers_of_one_dataset_are_still_warned_of(tmp_path):
    path = tmp_path / "twice.h5"
    writer = start_writer(path, DATASET, 4, hold=30)
    wait_for_line(writer, "swmr on")
    first = SWMRCount(str(path), DATASET, 3, 4)
    with pytest.warns(RuntimeWarning, match="may fail"):
        second = SWMRCount(str(path), DATASET, 3, 4)
    second.close()
    first.close()
    writer.kill()
    writer.communicate()
