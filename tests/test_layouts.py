"""The readers and the comparisons on every storage layout of a detector file:
one-frame chunks, chunks of several frames read in smaller blocks, gzip and
bitshuffle-LZ4 chunks. Which layouts are read through HDF5's chunk cache is
the package's choice; what comes out must not depend on it."""

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


def growing(tmp_path, layout, name="live.h5", per_append=2):
    path = tmp_path / name
    writer = start_writer(
        path, DATASET, FRAMES, per_append=per_append, delay=0.005, frame_shape=FRAME_SHAPE,
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


@pytest.mark.parametrize(
    "options, uncached",
    [({}, True), ({"chunk_frames": 5}, False), ({"filter": "gzip"}, False)],
)
def test_the_chunk_cache_setting_lasts_across_refreshes(tmp_path, options, uncached):
    """HDF5 opens a dataset again when it refreshes it; a reader of one-frame
    chunks without filters still reads without chunk cache after that."""
    path, writer = growing(tmp_path, options)
    reader = SWMRReader(path, DATASET, 0, FRAMES, 1)
    while reader.read_chunk() is not None:
        pass
    finish(writer)
    reader.dset.refresh()
    cache_bytes = reader.dset.id.get_access_plist().get_chunk_cache()[1]
    default_bytes = h5py.h5p.create(h5py.h5p.DATASET_ACCESS).get_chunk_cache()[1]
    assert cache_bytes == (0 if uncached else default_bytes)
    reader.close()
