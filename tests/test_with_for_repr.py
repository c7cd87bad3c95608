"""`with`, `for` and repr of the readers, the counters and H5File."""

import gc
import itertools
import sys
import weakref

import pytest
from conftest import DATASET, finish, frame_values, start_writer, wait_for_line, write_frames

from hdf5_kel.filekit import H5File
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader, SWMRReaderMulti


def files(tmp_path, name, count=2, frames=10):
    return [str(write_frames(tmp_path / f"{name}{i}.h5", frames)) for i in range(count)]


MAKERS = {
    "SWMRReader": lambda t: SWMRReader(files(t, "r", 1)[0], DATASET, 0, 10, 4),
    "SWMRCount": lambda t: SWMRCount(files(t, "c", 1)[0], DATASET, 3, 10),
    "SWMRReaderMulti": lambda t: SWMRReaderMulti([(p, DATASET, 0, 10, 4) for p in files(t, "m")]),
    "SWMRCountMulti": lambda t: SWMRCountMulti(
        [(p, DATASET, 3, (10, 2, 2), "int32") for p in files(t, "n")], 10
    ),
    "H5File": lambda t: H5File(str(t / "out.h5"), "w"),
}


def open_files(obj):
    followers = getattr(obj, "readers", None) or getattr(obj, "swmrcounts", None) or [obj]
    return [bool(follower.f) for follower in followers]


@pytest.mark.parametrize("kind", MAKERS)
def test_with_gives_the_object_and_closes_it_also_on_an_exception(tmp_path, kind):
    obj = MAKERS[kind](tmp_path)
    with obj as entered:
        assert entered is obj and all(open_files(obj))
    assert not any(open_files(obj))
    again = MAKERS[kind](tmp_path)  # the same files, made again
    with pytest.raises(KeyError, match="raised in the block"), again:
        raise KeyError("raised in the block")
    assert not any(open_files(again))
    assert again.__exit__(KeyError, KeyError("x"), None) is None  # false: nothing swallowed


@pytest.mark.parametrize("kind", MAKERS)
@pytest.mark.parametrize(
    "call, text",
    [
        (lambda o: o.__exit__(), r"__exit__\(\) takes exactly 4 positional arguments \(1 given\)"),
        (lambda o: o.__exit__(1, 2, 3, 4), r"exactly 4 positional arguments \(5 given\)"),
        (lambda o: o.__exit__(1, 2, 3, bogus=1), "unexpected keyword argument 'bogus'"),
        (lambda o: o.__exit__(1, 2, 3, exc_type=1), "multiple values for keyword argument"),
        (
            lambda o: o.__enter__(1),
            r"__enter__\(\) takes exactly 1 positional argument \(2 given\)",
        ),
        (lambda o: o.__repr__(1), r"__repr__\(\) takes exactly 1 positional argument \(2 given\)"),
        # __iter__ where the class has one (H5File has none)
        (lambda o: getattr(o, "__iter__", o.__repr__)(1), r"takes exactly 1 positional argument"),
        (lambda o: type(o).__exit__(), r"unbound method \w+\.__exit__\(\) needs an argument"),
    ],
)
def test_bad_calls_raise_the_binding_error_and_close_nothing(tmp_path, kind, call, text):
    obj = MAKERS[kind](tmp_path)
    with pytest.raises(TypeError, match=text):
        call(obj)
    assert all(open_files(obj))
    obj.close()


def started(path, frames, **options):
    writer = start_writer(path, DATASET, frames, frame_shape=(2, 2), **options)
    wait_for_line(writer, "swmr on")
    return writer


@pytest.mark.parametrize(
    "kind, lengths",
    [
        ("SWMRReader", [[5], [5], [5], [5], [3]]),
        ("SWMRCount", None),  # whatever arrived at each poll
        ("SWMRReaderMulti", [[5, 5], [5, 5], [5, 5], [5, 5], [3, 3]]),
        ("SWMRCountMulti", [[1, 1]] * 23),  # recv(): one frame per file at a time
    ],
)
def test_for_follows_files_that_other_processes_grow(tmp_path, capsys, kind, lengths):
    count = 1 if kind in ("SWMRReader", "SWMRCount") else 2
    paths = [str(tmp_path / f"live{i}.h5") for i in range(count)]
    writers = [started(p, 23, per_append=1 + 2 * i, delay=0.01) for i, p in enumerate(paths)]
    follower = {
        "SWMRReader": lambda: SWMRReader(paths[0], DATASET, 0, 23, 5),
        "SWMRCount": lambda: SWMRCount(paths[0], DATASET, 3, 23),
        "SWMRReaderMulti": lambda: SWMRReaderMulti([(p, DATASET, 0, 23, 5) for p in paths]),
        "SWMRCountMulti": lambda: SWMRCountMulti(
            [(p, DATASET, 3, (23, 2, 2), "int32") for p in paths], 23
        ),
    }[kind]()
    with follower:
        steps = [
            [b.copy() for b in step] if isinstance(step, list) else [step] for step in follower
        ]
    for writer in writers:
        finish(writer)
    if lengths:
        assert [[len(b) for b in step] for step in steps] == lengths
    for i in range(count):
        assert frame_values(step[i] for step in steps) == list(range(23))


def test_for_and_with_call_the_object_s_own_methods_and_for_goes_on_after_an_error(tmp_path):
    calls = []

    class Flaky(SWMRReader):
        def read_chunk(self):
            calls.append(self.index)
            if len(calls) == 2:
                raise OSError("transient")
            block = super().read_chunk()
            return None if block is None else block * 10

        def close(self):
            calls.append("close")
            super().close()

    with Flaky(files(tmp_path, "a", 1, 6)[0], DATASET, 0, 6, 3) as flaky:
        blocks = iter(flaky)
        assert iter(blocks) is blocks and frame_values([next(blocks)]) == [0, 10, 20]
        with pytest.raises(OSError, match="transient"):
            next(blocks)
        assert flaky.index == 3  # nothing lost: the next step asks again
        assert frame_values(blocks) == [30, 40, 50]
        with pytest.raises(StopIteration):
            next(blocks)  # over for good: read_chunk is not called again
    assert calls == [0, 3, 3, 6, "close"]
    plain = MAKERS["SWMRReader"](tmp_path)
    plain.read_chunk = lambda: None  # found on the object, as any attribute is
    assert list(plain) == [] and plain.index == 0
    del plain.read_chunk
    plain.close()
    with pytest.raises((RuntimeError, ValueError)):  # h5py's for a closed file (older: ValueError)
        next(iter(plain))
    assert plain.index == 0


def test_an_iterator_kept_on_its_reader_is_collected(tmp_path):
    follower = MAKERS["SWMRReader"](tmp_path)
    follower.blocks = iter(follower)
    follower.close()
    gone = weakref.ref(follower)
    del follower
    gc.collect()
    assert gone() is None


def test_with_for_and_repr_keep_no_reference_to_the_object(tmp_path):
    follower = MAKERS["SWMRReader"](tmp_path)
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


def test_repr_says_file_dataset_and_position(tmp_path, capsys):
    reader, count, multi, gather, out = (MAKERS[kind](tmp_path) for kind in MAKERS)
    p, c = reader.filepath, count.filename
    m0, m1 = (r.filepath for r in multi.readers)
    n0, n1 = (g.filename for g in gather.swmrcounts)
    reader.read_chunk()
    count.recv()
    multi.read_chunks()
    gather.recv(4)
    multi.readers[1].close()
    assert repr(reader) == f"<SWMRReader {p}:/entry/data frame 4 of 10, blocks of 4>"
    assert str(count) == f"<SWMRCount {c}:/entry/data frame 10 of 10>"
    assert repr(multi) == (
        f"<SWMRReaderMulti 2 files: {m0}:/entry/data frame 4 of 10,"
        f" {m1}:/entry/data frame 4 of 10 (closed)>"
    )
    assert (
        repr(gather)
        == f"<SWMRCountMulti frame 4 of 10, 2 files: {n0}:/entry/data, {n1}:/entry/data>"
    )
    assert repr(out) == f"<H5File {out.filepath}, open>"
    for obj in (reader, count, multi, gather, out):
        obj.close()
    assert repr(reader).endswith("blocks of 4, closed>") and repr(count).endswith("10, closed>")
    assert repr(gather).endswith(f"{n1}:/entry/data (closed)>")
    assert repr(out) == f"<H5File {out.filepath}, closed>"
    assert repr(SWMRReaderMulti([])) == "<SWMRReaderMulti no files>"
    paths = files(tmp_path, "f", 6, 2)
    with SWMRReaderMulti([(p, DATASET, 0, 2, 1) for p in paths]) as many:
        assert repr(many) == (
            f"<SWMRReaderMulti 6 files: {paths[0]}:/entry/data frame 0 of 2, {paths[1]}:/entry/data"
            f" frame 0 of 2, {paths[2]}:/entry/data frame 0 of 2, and 3 more>"
        )


def tolerant(cls):
    """A subclass whose constructor keeps its error: a half-built object."""

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
    path = files(tmp_path, "a", 1, 4)[0]
    cases = [
        (
            tolerant(SWMRReader)(str(text), DATASET, 0, 8, 4),
            f"<Tolerant {text}:/entry/data frame 0 of 8, blocks of 4, not open>",
        ),
        (tolerant(SWMRCount)(path, "/none"), f"<Tolerant {path}:/none frame ? of ?, closed>"),
        (
            tolerant(H5File)(str(tmp_path / "no.h5"), "r"),
            f"<Tolerant {tmp_path / 'no.h5'}, not open>",
        ),
        (
            tolerant(SWMRReaderMulti)([(path, DATASET, 0, 4, 2), (str(text), DATASET, 0, 4, 2)]),
            "<Tolerant not open>",
        ),
        (SWMRReader.__new__(SWMRReader), "<SWMRReader ?:? frame ? of ?, blocks of ?, not open>"),
        (SWMRCountMulti.__new__(SWMRCountMulti), "<SWMRCountMulti frame ? of ?, not open>"),
        (H5File.__new__(H5File), "<H5File ?, not open>"),
    ]
    assert [repr(obj) for obj, _ in cases] == [shown for _, shown in cases]
    assert SWMRReader.__repr__(42) == "<int ?:? frame ? of ?, blocks of ?, not open>"
    cases[3][0].readers = []  # for its finaliser, which closes them
    del cases
    gc.collect()


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
        ("index", Unshowable, "<SWMRReader {p}:/entry/data frame ? of 10, blocks of 4>"),
        (
            "batch_size",
            lambda: "\udcff",
            "<SWMRReader {p}:/entry/data frame 0 of 10, blocks of \udcff>",
        ),
        ("f", Unshowable, "<SWMRReader {p}:/entry/data frame 0 of 10, blocks of 4, ?>"),
        ("f", lambda: 0, "<SWMRReader {p}:/entry/data frame 0 of 10, blocks of 4, closed>"),
        ("f", lambda: None, "<SWMRReader {p}:/entry/data frame 0 of 10, blocks of 4, not open>"),
        ("filepath", None, "<SWMRReader <SWMRReader ...>:/entry/data frame 0 of 10, blocks of 4>"),
    ],
    ids=["unshowable", "surrogate", "unknown-truth", "false", "none", "itself"],
)
def test_repr_of_replaced_attributes(tmp_path, attribute, value, shown):
    follower = MAKERS["SWMRReader"](tmp_path)
    real_file, p = follower.f, follower.filepath
    setattr(follower, attribute, value() if value else follower)
    assert repr(follower) == shown.format(p=p)
    follower.f = real_file
    follower.close()


@pytest.mark.parametrize(
    "readers, shown",
    [
        (lambda m: 42, "<SWMRReaderMulti ?>"),
        (lambda m: itertools.count(), "<SWMRReaderMulti ?>"),
        (lambda m: Hostile(), "<SWMRReaderMulti ?>"),
        (lambda m: [m, Hostile()], "2 files: ?:? frame ? of ? (not open), ?:? frame ? of ? (?)>"),
    ],
    ids=["int", "endless", "hostile", "foreign"],
)
def test_repr_of_a_replaced_list_of_readers(readers, shown):
    multi = SWMRReaderMulti([])
    multi.readers = readers(multi)
    assert repr(multi).endswith(shown)
    multi.readers = []


def test_an_interrupt_still_comes_out_of_repr():
    class Interrupting:
        def __str__(self):
            raise KeyboardInterrupt

    class Holder:
        index = Interrupting()

    with pytest.raises(KeyboardInterrupt):
        SWMRCount.__repr__(Holder())
