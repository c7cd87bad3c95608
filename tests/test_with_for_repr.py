"""`with`, `for` and repr of the readers, the counters and H5File."""

import gc
import itertools
import re
import sys
import weakref

import numpy as np
import pytest
from conftest import DATASET, finish, frame_values, start_writer, wait_for_line, write_frames

from hdf5_kel.filekit import H5File
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader, SWMRReaderMulti


def reader(tmp_path):
    return SWMRReader(str(write_frames(tmp_path / "r.h5", 10)), DATASET, 0, 10, 4)


def counter(tmp_path):
    return SWMRCount(str(write_frames(tmp_path / "c.h5", 10)), DATASET, 3, 10)


def multi_reader(tmp_path):
    paths = [write_frames(tmp_path / f"m{i}.h5", 10) for i in range(2)]
    return SWMRReaderMulti([(str(p), DATASET, 0, 10, 4) for p in paths])


def receiver(tmp_path):
    paths = [write_frames(tmp_path / f"n{i}.h5", 10) for i in range(2)]
    return SWMRCountMulti([(str(p), DATASET, 3, (10, 2, 2), "int32") for p in paths], 10)


def h5file(tmp_path):
    return H5File(str(tmp_path / "out.h5"), "w")


MAKERS = {
    "SWMRReader": reader,
    "SWMRCount": counter,
    "SWMRReaderMulti": multi_reader,
    "SWMRCountMulti": receiver,
    "H5File": h5file,
}
ITERABLE = ["SWMRReader", "SWMRCount", "SWMRReaderMulti", "SWMRCountMulti"]


def files_of(obj):
    """The h5py files an object owns."""
    if isinstance(obj, SWMRReaderMulti):
        return [r.f for r in obj.readers]
    if isinstance(obj, SWMRCountMulti):
        return [c.f for c in obj.swmrcounts]
    return [obj.f]


def is_open(obj):
    return all(bool(f) for f in files_of(obj))


def is_closed(obj):
    return not any(bool(f) for f in files_of(obj))


# --- with ---------------------------------------------------------------------


@pytest.mark.parametrize("kind", MAKERS)
def test_with_gives_the_object_and_closes_it(tmp_path, kind):
    obj = MAKERS[kind](tmp_path)
    with obj as entered:
        assert entered is obj
        assert is_open(obj)
    assert is_closed(obj)


@pytest.mark.parametrize("kind", MAKERS)
def test_with_closes_on_an_exception_and_lets_it_propagate(tmp_path, kind):
    obj = MAKERS[kind](tmp_path)
    with pytest.raises(KeyError, match="raised in the block"), obj:
        raise KeyError("raised in the block")
    assert is_closed(obj)
    # A false value, so that nothing is swallowed; closing again is harmless.
    assert not obj.__exit__(KeyError, KeyError("again"), None)


@pytest.mark.parametrize("kind", MAKERS)
@pytest.mark.parametrize(
    "call, text",
    [
        (lambda o: o.__exit__(), r"__exit__\(\) takes exactly 4 positional arguments \(1 given\)"),
        (lambda o: o.__exit__(None, None), r"exactly 4 positional arguments \(3 given\)"),
        (
            lambda o: o.__exit__(None, None, None, None),
            r"exactly 4 positional arguments \(5 given\)",
        ),
        (lambda o: o.__exit__(None, None, None, bogus=1), "unexpected keyword argument 'bogus'"),
        (
            lambda o: o.__exit__(None, None, None, exc_type=None),
            "__exit__\\(\\) got multiple values for keyword argument 'exc_type'",
        ),
        (
            lambda o: o.__enter__(None),
            r"__enter__\(\) takes exactly 1 positional argument \(2 given\)",
        ),
        (lambda o: o.__repr__(1), r"__repr__\(\) takes exactly 1 positional argument \(2 given\)"),
        (lambda o: type(o).__exit__(), r"unbound method \w+\.__exit__\(\) needs an argument"),
        (lambda o: type(o).__enter__(), r"unbound method \w+\.__enter__\(\) needs an argument"),
        (lambda o: type(o).__repr__(), r"unbound method \w+\.__repr__\(\) needs an argument"),
    ],
)
def test_bad_calls_raise_the_binding_error_and_close_nothing(tmp_path, kind, call, text):
    obj = MAKERS[kind](tmp_path)
    with pytest.raises(TypeError, match=text):
        call(obj)
    assert is_open(obj)
    obj.close()


@pytest.mark.parametrize("kind", ITERABLE)
@pytest.mark.parametrize(
    "call, text",
    [
        (lambda o: o.__iter__(1), r"__iter__\(\) takes exactly 1 positional argument \(2 given\)"),
        (lambda o: o.__iter__(what=1), "unexpected keyword argument 'what'"),
        (lambda o: type(o).__iter__(), r"unbound method \w+\.__iter__\(\) needs an argument"),
    ],
)
def test_bad_iter_calls_raise_the_binding_error(tmp_path, kind, call, text):
    obj = MAKERS[kind](tmp_path)
    with pytest.raises(TypeError, match=text):
        call(obj)
    obj.close()


def test_with_on_a_foreign_object_raises_a_python_error():
    assert SWMRReader.__enter__(5) == 5
    with pytest.raises(AttributeError, match="close"):
        SWMRReader.__exit__(object(), None, None, None)
    with pytest.raises(AttributeError, match="close"):
        H5File.__exit__(42, None, None, None)


def test_with_calls_the_close_a_subclass_gives(tmp_path):
    closed = []

    class Logged(H5File):
        def close(self):
            closed.append(self.filepath)
            super().close()

    with Logged(str(tmp_path / "out.h5"), "w") as out:
        out.create_dataset_scalar("/n", 5)
    assert closed == [str(tmp_path / "out.h5")] and not out.f


def test_an_error_of_close_comes_out_of_the_with_block(tmp_path):
    class Stuck(SWMRCount):
        def close(self):
            super().close()
            raise OSError("device busy")

    stuck = Stuck(str(write_frames(tmp_path / "c.h5", 3)), DATASET)
    with pytest.raises(OSError, match="device busy") as caught, stuck:
        raise ValueError("raised in the block")
    assert isinstance(caught.value.__context__, ValueError)


# --- for ----------------------------------------------------------------------


def wrote(writer):
    wait_for_line(writer, "swmr on")
    return writer


def test_for_follows_a_growing_file_block_by_block(tmp_path):
    path = tmp_path / "live.h5"
    writer = wrote(start_writer(path, DATASET, 23, delay=0.01, frame_shape=(2, 2)))
    with SWMRReader(str(path), DATASET, 0, 23, 5) as follower:
        blocks = [block for block in follower]
    finish(writer)
    assert [len(b) for b in blocks] == [5, 5, 5, 5, 3]
    assert frame_values(blocks) == list(range(23))


def test_for_over_a_counter_gets_every_frame_once(tmp_path):
    path = tmp_path / "live.h5"
    writer = wrote(start_writer(path, DATASET, 23, per_append=2, delay=0.01, frame_shape=(2, 2)))
    with SWMRCount(str(path), DATASET, 3, 23) as follower:
        blocks = list(follower)
    finish(writer)
    assert frame_values(blocks) == list(range(23))
    assert follower.index == 23


def test_for_over_several_files_in_lock_step(tmp_path):
    paths = [tmp_path / f"live{i}.h5" for i in range(2)]
    writers = [
        wrote(start_writer(p, DATASET, 12, delay=delay, frame_shape=(2, 2)))
        for p, delay in zip(paths, [0.0, 0.02])
    ]
    with SWMRReaderMulti([(str(p), DATASET, 0, 12, 4) for p in paths]) as follower:
        steps = list(follower)
    for writer in writers:
        finish(writer)
    assert [[len(b) for b in blocks] for blocks in steps] == [[4, 4]] * 3
    for i in range(2):
        assert frame_values(blocks[i] for blocks in steps) == list(range(12))


def test_for_over_a_receiver_gives_one_frame_of_every_file_per_step(tmp_path, capsys):
    paths = [tmp_path / f"live{i}.h5" for i in range(2)]
    writers = [
        wrote(start_writer(p, DATASET, 9, per_append=per_append, delay=0.01, frame_shape=(2, 2)))
        for p, per_append in zip(paths, [1, 3])
    ]
    entries = [(str(p), DATASET, 3, (9, 2, 2), "int32") for p in paths]
    with SWMRCountMulti(entries, 9) as follower:
        batches = [[frames.copy() for frames in batch] for batch in follower]
    for writer in writers:
        finish(writer)
    assert [[len(f) for f in batch] for batch in batches] == [[1, 1]] * 9
    for i in range(2):
        assert frame_values(batch[i] for batch in batches) == list(range(9))
    # One recv() per batch and the one that ends the iteration.
    assert capsys.readouterr().out.count("kel:tolvar data worker recv") == 10


def test_for_calls_the_read_a_subclass_or_the_object_gives(tmp_path):
    calls = []

    class Scaled(SWMRReader):
        def read_chunk(self):
            calls.append(self.index)
            block = super().read_chunk()
            return None if block is None else block * 10

    with Scaled(str(write_frames(tmp_path / "a.h5", 10)), DATASET, 0, 10, 4) as scaled:
        assert frame_values(scaled) == [10 * i for i in range(10)]
    assert calls == [0, 4, 8, 10]

    plain = reader(tmp_path)
    plain.read_chunk = lambda: None  # looked up on the object as any attribute is
    assert list(plain) == [] and plain.index == 0
    plain.close()


def test_an_iterator_ends_for_good_and_keeps_going_after_an_error(tmp_path):
    calls = []

    class Flaky(SWMRReader):
        def read_chunk(self):
            calls.append(self.index)
            if len(calls) == 2:
                raise OSError("transient")
            return super().read_chunk()

    with Flaky(str(write_frames(tmp_path / "a.h5", 6)), DATASET, 0, 6, 3) as flaky:
        blocks = iter(flaky)
        assert iter(blocks) is blocks
        assert frame_values([next(blocks)]) == [0, 1, 2]
        with pytest.raises(OSError, match="transient"):
            next(blocks)
        assert flaky.index == 3  # nothing lost: the next step asks again
        assert frame_values(blocks) == [3, 4, 5]
        with pytest.raises(StopIteration):
            next(blocks)  # over: read_chunk is not called again
    assert calls == [0, 3, 3, 6]


def test_iteration_at_the_end_and_on_a_closed_file(tmp_path):
    path = str(write_frames(tmp_path / "a.h5", 6))
    with SWMRReader(path, DATASET, 6, 6, 3) as done:
        assert list(done) == []
    follower = SWMRReader(path, DATASET, 0, 6, 3)
    blocks = iter(follower)
    follower.close()
    with pytest.raises(RuntimeError):
        next(blocks)
    assert follower.index == 0


def test_an_iterator_kept_on_its_reader_is_collected(tmp_path):
    follower = reader(tmp_path)
    follower.blocks = iter(follower)
    follower.close()
    gone = weakref.ref(follower)
    del follower
    gc.collect()
    assert gone() is None


def test_with_for_and_repr_keep_no_reference_to_the_object(tmp_path):
    follower = reader(tmp_path)
    held, nones = sys.getrefcount(follower), sys.getrefcount(None)
    for _ in range(100):
        follower.index = 0
        assert len(list(follower)) == 3
        repr(follower)
    follower.close()
    for _ in range(100):
        with follower as entered:
            assert entered is follower
        repr(follower)
    del entered
    assert sys.getrefcount(follower) == held
    # None is shared by everything and its count moves a little; a reference
    # to it left behind by any one of the calls above would add 100.
    assert sys.getrefcount(None) - nones < 50


# --- repr -----------------------------------------------------------------------


def test_repr_says_file_dataset_and_position(tmp_path):
    path = str(write_frames(tmp_path / "live.h5", 25))
    follower = SWMRReader(path, DATASET, 0, 25, 10)
    assert repr(follower) == f"<SWMRReader {path}:/entry/data frame 0 of 25, blocks of 10>"
    follower.read_chunk()
    assert repr(follower) == f"<SWMRReader {path}:/entry/data frame 10 of 25, blocks of 10>"
    follower.close()
    assert repr(follower) == f"<SWMRReader {path}:/entry/data frame 10 of 25, blocks of 10, closed>"

    count = counter(tmp_path)
    assert repr(count) == f"<SWMRCount {count.filename}:/entry/data frame 0 of 10>"
    count.recv()
    assert str(count) == f"<SWMRCount {count.filename}:/entry/data frame 10 of 10>"
    count.close()
    assert repr(count) == f"<SWMRCount {count.filename}:/entry/data frame 10 of 10, closed>"


def test_repr_of_the_multi_file_classes(tmp_path, capsys):
    multi = multi_reader(tmp_path)
    a, b = (r.filepath for r in multi.readers)
    assert repr(multi) == (
        f"<SWMRReaderMulti 2 files: {a}:/entry/data frame 0 of 10, {b}:/entry/data frame 0 of 10>"
    )
    multi.read_chunks()
    multi.readers[1].close()
    assert repr(multi) == (
        f"<SWMRReaderMulti 2 files: {a}:/entry/data frame 4 of 10,"
        f" {b}:/entry/data frame 4 of 10 (closed)>"
    )
    multi.close()

    gather = receiver(tmp_path)
    a, b = (c.filename for c in gather.swmrcounts)
    assert (
        repr(gather) == f"<SWMRCountMulti frame 0 of 10, 2 files: {a}:/entry/data, {b}:/entry/data>"
    )
    gather.recv(4)
    gather.close()
    assert repr(gather) == (
        f"<SWMRCountMulti frame 4 of 10, 2 files: {a}:/entry/data (closed), {b}:/entry/data (closed)>"
    )
    assert repr(SWMRReaderMulti([])) == "<SWMRReaderMulti no files>"


def test_repr_of_many_files_lists_the_first_and_counts_the_rest(tmp_path):
    paths = [str(write_frames(tmp_path / f"f{i}.h5", 2)) for i in range(6)]
    with SWMRReaderMulti([(p, DATASET, 0, 2, 1) for p in paths]) as multi:
        text = repr(multi)
    assert text.startswith(f"<SWMRReaderMulti 6 files: {paths[0]}:/entry/data frame 0 of 2, ")
    assert text.endswith(f", {paths[2]}:/entry/data frame 0 of 2, and 3 more>")
    assert paths[3] not in text


def test_repr_of_h5file(tmp_path):
    out = h5file(tmp_path)
    assert repr(out) == f"<H5File {out.filepath}, open>"
    out.close()
    assert repr(out) == f"<H5File {out.filepath}, closed>"


def tolerant(cls):
    """A subclass whose constructor swallows its error: a half-built object."""

    class Tolerant(cls):
        def __init__(self, *args):
            try:
                super().__init__(*args)
            except (OSError, KeyError) as error:
                self.error = error

    return Tolerant


def test_repr_of_half_built_objects(tmp_path, capsys):
    text = tmp_path / "text.h5"
    text.write_text("not HDF5")
    unopened = tolerant(SWMRReader)(str(text), DATASET, 0, 8, 4)
    assert isinstance(unopened.error, OSError)
    assert repr(unopened) == f"<Tolerant {text}:/entry/data frame 0 of 8, blocks of 4, not open>"
    path = str(write_frames(tmp_path / "a.h5", 4))
    no_dataset = tolerant(SWMRCount)(path, "/none")
    assert repr(no_dataset) == f"<Tolerant {path}:/none frame ? of ?, closed>"
    no_file = tolerant(H5File)(str(tmp_path / "missing.h5"), "r")
    assert repr(no_file) == f"<Tolerant {tmp_path / 'missing.h5'}, not open>"
    second_fails = tolerant(SWMRReaderMulti)(
        [(path, DATASET, 0, 4, 2), (str(text), DATASET, 0, 4, 2)]
    )
    assert repr(second_fails) == "<Tolerant not open>"
    assert repr(SWMRReader.__new__(SWMRReader)) == (
        "<SWMRReader ?:? frame ? of ?, blocks of ?, not open>"
    )
    assert repr(SWMRCountMulti.__new__(SWMRCountMulti)) == "<SWMRCountMulti frame ? of ?, not open>"
    assert repr(H5File.__new__(H5File)) == "<H5File ?, not open>"
    second_fails.readers = []  # for its finaliser, which closes them
    del unopened, no_dataset, second_fails
    gc.collect()
    capsys.readouterr()


class Unshowable:
    def __str__(self):
        raise ValueError("cannot show")

    def __bool__(self):
        raise ValueError("no truth value")


class Hostile:
    def __getattr__(self, name):
        raise RuntimeError(f"hostile attribute {name}")


@pytest.mark.parametrize(
    "attribute, value, shown",
    [
        ("index", Unshowable, "frame ? of 10"),
        ("index", lambda: np.int64(4), "frame 4 of 10"),
        ("filepath", Hostile, "<SWMRReader <"),
        ("f", Unshowable, "blocks of 4, ?>"),
        ("f", lambda: None, "blocks of 4, not open>"),
        ("f", lambda: 0, "blocks of 4, closed>"),
        ("batch_size", lambda: "\udcff", "blocks of \udcff>"),
    ],
    ids=["unshowable", "numpy", "hostile", "unknown-truth", "none", "false", "surrogate"],
)
def test_repr_of_replaced_attributes(tmp_path, attribute, value, shown):
    follower = reader(tmp_path)
    real_file = follower.f
    setattr(follower, attribute, value())
    assert shown in repr(follower)
    follower.f = real_file
    follower.close()


@pytest.mark.parametrize(
    "value, shown",
    [
        (lambda: 42, "<SWMRReaderMulti ?>"),
        (itertools.count, "<SWMRReaderMulti ?>"),
        (
            lambda: [1, Hostile()],
            "<SWMRReaderMulti 2 files: ?:? frame ? of ? (not open), ?:? frame ? of ? (?)>",
        ),
        (Hostile, "<SWMRReaderMulti ?>"),
    ],
    ids=["int", "endless", "foreign", "hostile"],
)
def test_repr_of_a_replaced_list_of_readers(value, shown):
    multi = SWMRReaderMulti([])
    multi.readers = value()
    assert repr(multi) == shown
    multi.readers = []


def test_repr_of_an_object_that_reaches_itself(tmp_path):
    follower = reader(tmp_path)
    follower.filepath = follower
    assert re.fullmatch(
        r"<SWMRReader <SWMRReader \.\.\.>:/entry/data frame 0 of 10, blocks of 4>", repr(follower)
    )
    multi = SWMRReaderMulti([])
    multi.readers = [multi]
    assert repr(multi) == "<SWMRReaderMulti 1 file: ?:? frame ? of ? (not open)>"
    multi.readers = []
    follower.close()


def test_repr_of_foreign_objects_and_interrupts():
    assert SWMRReader.__repr__(42) == "<int ?:? frame ? of ?, blocks of ?, not open>"
    assert H5File.__repr__("x") == "<str ?, not open>"

    class Interrupting:
        def __str__(self):
            raise KeyboardInterrupt

    class Holder:
        index = Interrupting()

    with pytest.raises(KeyboardInterrupt):
        SWMRCount.__repr__(Holder())
