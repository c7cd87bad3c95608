"""The readers and the comparisons on every storage layout of a detector file:
one-frame chunks, chunks of several frames read in smaller blocks, gzip and
bitshuffle-LZ4 chunks. Which chunks are read straight into a block is the
package's choice; what comes out must not depend on it."""

import gc

import h5py
import numpy as np
import pytest
from conftest import DATASET, finish, frame_values, start_writer, wait_for_line
from swmr_writer import FILTERS

from hdf5_kel import filekit
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader, SWMRReaderMulti

LAYOUTS = {
    "one-frame chunks": {},
    "five-frame chunks": {"chunk_frames": 5},
    "gzip": {"filter": "gzip"},
    "gzip, five-frame chunks": {"chunk_frames": 5, "filter": "gzip"},
    "bitshuffle-lz4": {"filter": "bitshuffle-lz4"},
    "bitshuffle-lz4, five-frame chunks": {"chunk_frames": 5, "filter": "bitshuffle-lz4"},
}
FRAMES = 23
FRAME_SHAPE = (6, 6)


@pytest.fixture(params=LAYOUTS)
def layout(request):
    options = LAYOUTS[request.param]
    if options.get("filter") == "bitshuffle-lz4":
        pytest.importorskip("hdf5plugin")  # also lets this process read the chunks
    return options


def growing(tmp_path, layout, name="live.h5", per_append=2, frame_shape=FRAME_SHAPE):
    path = tmp_path / name
    writer = start_writer(
        path, DATASET, FRAMES, per_append=per_append, delay=0.005, frame_shape=frame_shape,
        dtype="uint16", **layout,
    )  # fmt: skip
    wait_for_line(writer, "swmr on")
    return str(path), writer


def written(path, values, chunk_frames=1, filter="none"):
    """A complete file whose frame k holds values[k]."""
    data = np.empty((len(values), *FRAME_SHAPE), "uint16")
    data[...] = np.asarray(values).reshape(-1, 1, 1)
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset(
            DATASET, data=data, maxshape=(None, *FRAME_SHAPE),
            chunks=(chunk_frames, *FRAME_SHAPE), **FILTERS[filter](),
        )  # fmt: skip
    return str(path)


def open_files():
    gc.collect()
    return len(h5py.h5f.get_obj_ids(types=h5py.h5f.OBJ_FILE))


def test_reader_hands_out_the_same_blocks_on_every_layout(tmp_path, layout):
    path, writer = growing(tmp_path, layout)
    reader = SWMRReader(path, DATASET, 1, FRAMES, 3)
    blocks = []
    while (block := reader.read_chunk()) is not None:
        blocks.append(block)
    finish(writer)
    assert [len(b) for b in blocks] == [3] * 7 + [1]
    assert frame_values(blocks) == list(range(1, FRAMES))
    assert all(b.dtype == np.uint16 and b.shape[1:] == FRAME_SHAPE for b in blocks)
    assert type(reader.f) is h5py.File and type(reader.dset) is h5py.Dataset
    assert reader.f.mode == "r" and reader.f.swmr_mode
    assert reader.dset.name == DATASET and reader.dset.file.filename == reader.f.filename
    reader.close()
    assert not reader.f.id.valid and not reader.dset.id.valid


def test_counter_hands_out_every_frame_once_on_every_layout(tmp_path, layout):
    path, writer = growing(tmp_path, layout, per_append=3)
    counter = SWMRCount(path, DATASET, 3, FRAMES)
    blocks = []
    while (block := counter.recv()) is not None:
        blocks.append(block)
    finish(writer)
    assert frame_values(blocks) == list(range(FRAMES))
    assert all(len(b) > 0 for b in blocks) and counter.index == FRAMES
    counter.close()


def test_multi_file_followers_across_layouts(tmp_path):
    """One file of each layout, followed in lock-step."""
    for options in LAYOUTS.values():
        if options.get("filter") == "bitshuffle-lz4":
            pytest.importorskip("hdf5plugin")
    paths = [
        written(tmp_path / f"layout{k}.h5", range(FRAMES), **options)
        for k, options in enumerate(LAYOUTS.values())
    ]
    multi = SWMRReaderMulti([(path, DATASET, 0, FRAMES, 4) for path in paths])
    rounds = []
    while (blocks := multi.read_chunks()) is not None:
        rounds.append(blocks)
    for k in range(len(paths)):
        blocks = [blocks[k] for blocks in rounds]
        assert [len(b) for b in blocks] == [4] * 5 + [3]
        assert frame_values(blocks) == list(range(FRAMES))
    multi.close()
    del multi
    receiver = SWMRCountMulti(
        [(path, DATASET, 3, (FRAMES, *FRAME_SHAPE), "uint16") for path in paths], FRAMES
    )
    batch = receiver.recv(5)
    assert len(batch) == len(paths)
    assert all(frame_values([b]) == list(range(5)) for b in batch)


def test_comparisons_on_every_layout(tmp_path, layout):
    same = written(tmp_path / "same.h5", range(FRAMES), **layout)
    other = written(tmp_path / "other.h5", [*range(FRAMES - 1), 0], **layout)
    plain = written(tmp_path / "plain.h5", range(FRAMES))  # one-frame chunks, no filter
    first = written(tmp_path / "first.h5", range(FRAMES), **layout)
    for second, expected in [(same, True), (plain, True), (other, False)]:
        result = filekit.compare_dataset_two(first, second, DATASET)
        assert result is (np.True_ if expected else False)
        result = filekit.compare_dataset_two(first, DATASET, second, DATASET)
        assert result is (np.True_ if expected else False)
        result = filekit.compare_dataset_two1(second, DATASET, first, DATASET)
        assert result is (np.True_ if expected else False)
    assert filekit.compare_dataset_two(first, first, DATASET) is np.True_


def test_sub_files_on_every_layout(tmp_path, layout):
    main = written(tmp_path / "main.h5", range(FRAMES), **layout)
    (tmp_path / "subs").mkdir()
    written(tmp_path / "subs" / "run_0002.h5", range(9, 20), **layout)
    written(tmp_path / "subs" / "run_0001.h5", range(9), **layout)
    pattern = str(tmp_path / "subs" / "run_*.h5")
    assert filekit.compare_dataset_subfiles(main, DATASET, pattern, DATASET) is True
    written(tmp_path / "subs" / "run_0003.h5", [20, 21, 0], **layout)
    with pytest.raises(AssertionError, match="run_0003.h5 does not match frames 20 to 23"):
        filekit.compare_dataset_subfiles(main, DATASET, pattern, DATASET)


@pytest.mark.parametrize("chunk_frames", [1, 5])
def test_lookups_fail_and_succeed_as_h5py_lookups_do(tmp_path, chunk_frames):
    path = written(tmp_path / "data.h5", range(4), chunk_frames=chunk_frames)
    with h5py.File(path, "r") as f:
        try:
            f["/entry/missing"]
        except KeyError as error:
            missing = str(error)
    before = open_files()
    for follow in (
        lambda: SWMRReader(path, "/entry/missing", 0, 4, 2),
        lambda: SWMRCount(path, "/entry/missing", 3, 4),
        lambda: filekit.compare_dataset_two(path, path, "/entry/missing"),
        lambda: filekit.compare_dataset_two(path, "/entry/missing", path, DATASET),
        lambda: filekit.compare_dataset_two(path, DATASET, path, "/entry/missing"),
    ):
        with pytest.raises(KeyError) as error:
            follow()
        assert str(error.value) == missing
        del error
        assert open_files() == before
    reader = SWMRReader(path, "/entry", 0, 4, 2)
    assert type(reader.dset) is h5py.Group and reader.dset.name == "/entry"
    reader.close()


class RecordedSlices(h5py.Dataset):
    """A Dataset subclass whose own slicing must be what the followers use."""

    def __getitem__(self, key):
        self.keys.append(key)
        return super().__getitem__(key)


@pytest.mark.parametrize(
    "dtype, frame_shape",
    [
        (">i4", (3, 2)),
        ("<f8", (2,)),
        ("float16", ()),
        ("uint8", (0,)),  # frames without elements
        (h5py.enum_dtype({"off": 0, "on": 1}, basetype="u1"), (2,)),
        ("bool", (2,)),
        ("complex64", (2,)),
        (h5py.string_dtype(), (2,)),
    ],
    ids=["big-endian", "float64", "one-axis", "empty-frames", "enum", "bool", "complex", "str"],
)
def test_hand_outs_are_the_arrays_that_h5py_slicing_gives(tmp_path, dtype, frame_shape):
    """Right after a refresh the followers read plain numbers their own way;
    whatever the dtype, the block is what dset[start:stop] gives."""
    values = np.arange(5 * int(np.prod(frame_shape))).reshape(5, *frame_shape)
    if h5py.check_string_dtype(np.dtype(dtype)):
        values = values.astype(str).astype(object)
    elif np.dtype(dtype).kind in "bu" or h5py.check_enum_dtype(np.dtype(dtype)):
        values = values % 2
    path = tmp_path / "typed.h5"
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset(
            DATASET, data=values.astype(dtype), dtype=dtype, maxshape=(None,) * values.ndim,
            chunks=(1, *(max(size, 1) for size in frame_shape)),
        )  # fmt: skip
    counter = SWMRCount(str(path), DATASET, 3, 5)
    dset = counter.dset
    # The last two: a numpy index, and a shape past the dataset's end (h5py stops at the end).
    for start, stop in [(0, 2), (2, 5), (np.int64(1), 3), (3, 9)]:
        counter.index = start
        dset.refresh()
        block = counter.modify(dset, (stop, *frame_shape))
        expected = dset[start:stop]
        assert type(block) is np.ndarray and block.flags.writeable
        assert (block.dtype, block.dtype.metadata) == (expected.dtype, expected.dtype.metadata)
        assert block.shape == expected.shape and np.array_equal(block, expected)
        assert counter.index == stop
    mine = RecordedSlices(dset.id)
    mine.keys = []
    counter.index = 0
    assert np.array_equal(counter.modify(mine, mine.shape), dset[()])
    assert mine.keys == [slice(0, 5, None)]
    counter.close()


@pytest.mark.parametrize("differs_at", [None, 0, 13, 18])
def test_comparisons_in_blocks_that_cover_whole_chunks(tmp_path, differs_at):
    """Frames of 4 MiB: a comparison reads 8 of them per block, and chunks of
    4 frames lie whole inside its blocks (the last one short)."""
    frames = np.zeros((19, 2048, 2048), "uint8")
    frames[:, 0, 0] = np.arange(19)
    other = frames.copy()
    if differs_at is not None:
        other[differs_at, 2047, 2047] = 1
    paths = []
    for name, data in [("first.h5", frames), ("second.h5", other)]:
        with h5py.File(tmp_path / name, "w", libver="latest") as f:
            f.create_dataset(
                DATASET, data=data, chunks=(4, 2048, 2048), maxshape=(None, 2048, 2048)
            )
        paths.append(str(tmp_path / name))
    expected = np.True_ if differs_at is None else False
    assert filekit.compare_dataset_two(*paths, DATASET) is expected
    assert filekit.compare_dataset_two(paths[0], DATASET, paths[1], DATASET) is expected
