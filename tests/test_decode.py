"""Compressed chunks are read as stored and decoded by the package itself:
every frame is what h5py reads, whatever the filter, the chunk's filter mask
or the block's ends, and a chunk that does not decode says which it is."""

import importlib.util

import h5py
import numpy as np
import pytest
from conftest import DATASET, finish, followed_frames, start_follower, start_writer

from hdf5_kel import filekit
from hdf5_kel.cli import main
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRReader

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("hdf5plugin") is None, reason="hdf5plugin is not installed"
)
# Before h5py 3.9 the followers leave compressed chunks to h5py, and read
# every block with h5py's slice.
decoded_here = pytest.mark.skipif(
    h5py.version.version_tuple < (3, 9), reason="h5py before 3.9 decodes the chunks itself"
)

FILTERS = ["bitshuffle", "bitshuffle-lz4", "bitshuffle-zstd", "lz4", "zstd", "blosc-lz4",
           "blosc-zstd", "gzip", "gzip-shuffle"]  # fmt: skip


def finished(path):
    import hdf5plugin  # noqa: F401

    with h5py.File(path, "r") as f:
        return f[DATASET][()]


@pytest.mark.parametrize("filter", FILTERS)
def test_every_covered_filter_is_followed_bit_for_bit(tmp_path, monkeypatch, filter):
    """Chunks of two frames, blocks of three: whole chunks are decoded here,
    the frames at a block's ends come through h5py's slice."""
    monkeypatch.setenv("HDF5_KEL_THREADS", "3")
    path = tmp_path / "live.h5"
    kinds = ("SWMRReader", "SWMRCount")
    followers = [start_follower(kind, path, 41) for kind in kinds]
    writer = start_writer(path, DATASET, 41, per_append=3, delay=0.005, frame_shape=(24, 20),
                          dtype="uint16", chunk_frames=2, ramp=True, filter=filter)  # fmt: skip
    for child in (writer, *followers):
        finish(child)
    expected = finished(path)
    for kind in kinds:
        got = followed_frames(path, kind)
        assert got.dtype == expected.dtype and np.array_equal(got, expected), kind


@decoded_here
def test_skipped_filters_and_chunks_never_written_read_as_h5py_reads_them(tmp_path):
    rng = np.random.default_rng(7)
    data = rng.integers(0, 4000, (12, 8, 8), dtype="<u2")
    path = tmp_path / "masked.h5"
    with h5py.File(path, "w", libver="latest") as f:
        dset = f.create_dataset(DATASET, (12, 8, 8), "<u2", maxshape=(None, 8, 8),
                                chunks=(2, 8, 8), shuffle=True, compression="gzip")  # fmt: skip
        for row in (0, 2, 10):
            dset[row : row + 2] = data[row : row + 2]
        # Chunk 4 is never written. Chunk 6 skips both filters, chunk 8 the deflate.
        dset.id.write_direct_chunk((6, 0, 0), data[6:8].tobytes(), filter_mask=0b11)
        shuffled = data[8:10].view("u1").reshape(-1, 2).T.tobytes()
        dset.id.write_direct_chunk((8, 0, 0), shuffled, filter_mask=0b10)
    expected = finished(path)
    assert np.array_equal(expected[6:10], data[6:10]) and not expected[4:6].any()
    never_written = "frames 4 to 5 of /entry/data in .* never written"
    # Blocks of the whole, and blocks that end inside chunks.
    for first, batch in [(0, 12), (1, 4), (3, 2), (5, 5)]:
        reader = SWMRReader(str(path), DATASET, first, 12, batch)
        with reader, pytest.warns(RuntimeWarning, match="never written"):
            assert np.array_equal(np.concatenate(list(reader)), expected[first:])
    counter = SWMRCount(str(path), DATASET, 3, 12)
    with counter, pytest.warns(RuntimeWarning, match=never_written):
        assert np.array_equal(counter.recv(), expected)
    assert filekit.compare_dataset_two(str(path), str(path), DATASET)


@decoded_here
@pytest.mark.parametrize("filter", ["bitshuffle-lz4", "bitshuffle-zstd", "lz4", "zstd",
                                    "blosc-lz4", "gzip-shuffle"])  # fmt: skip
@pytest.mark.parametrize("damage", ["truncated", "garbled"])
def test_a_chunk_that_does_not_decode_is_named_and_moves_nothing(tmp_path, filter, damage):
    path = tmp_path / "damaged.h5"
    finish(start_writer(path, DATASET, 6, frame_shape=(32, 32), dtype="uint16", ramp=True,
                        filter=filter))  # fmt: skip
    with h5py.File(path, "r") as f:
        stored = f[DATASET].id.get_chunk_info(3)
    with open(path, "r+b") as file:
        keep = stored.size // 2 if damage == "truncated" else 12
        file.seek(stored.byte_offset + keep)
        junk = np.random.default_rng(3).integers(0, 256, stored.size - keep, dtype="u1")
        file.write(bytes(stored.size - keep) if damage == "truncated" else junk.tobytes())
    with SWMRReader(str(path), DATASET, 0, 6, 2) as reader:
        assert len(reader.read_chunk()) == 2
        for _ in range(2):  # and again: the follower is where it was
            with pytest.raises(ValueError, match=r"/entry/data in .*damaged.h5, frame 3: \w"):
                reader.read_chunk()
            assert reader.index == 2
    with pytest.raises(ValueError, match="cannot decode the stored chunk"):
        filekit.compare_dataset_two(str(path), str(path), DATASET)


@decoded_here
def test_the_decode_threads_come_from_the_command_line_or_the_environment(tmp_path, monkeypatch):
    import hdf5plugin  # noqa: F401 - this process reads the chunks

    path = str(tmp_path / "done.h5")
    finish(start_writer(path, DATASET, 8, ramp=True, filter="bitshuffle-lz4"))
    monkeypatch.setenv("HDF5_KEL_THREADS", "many")
    with pytest.raises(ValueError, match="HDF5_KEL_THREADS must be a number .* got 'many'"):
        SWMRReader(path, DATASET, 0, 8, 4).read_chunk()
    for threads in ("1", "3"):
        assert main(["compare", "--threads", threads, path, path, DATASET]) == 0
    with pytest.raises(SystemExit) as refused:
        main(["compare", "--threads", "0", path, path, DATASET])
    assert refused.value.code == 2
