"""Frame buffers: appending blocks, handing out views, testing fill levels."""

import gc
import re

import numpy as np
import pytest

from hdf5_kel.swmr.library.framepool import Buffers, NumpyBuffer


@pytest.fixture
def buffer():
    return NumpyBuffer((4, 2), np.uint16)


def test_new_buffer_is_zeroed_and_empty(buffer):
    assert buffer.array.shape == (4, 2) and buffer.array.dtype == np.uint16
    assert not buffer.array.any()
    assert (buffer.index, buffer.reallen) == (0, 0)


def test_blocks_are_stored_in_arrival_order_and_converted(buffer):
    buffer.appendData(np.full((3, 2), 7.9))
    buffer.appendData(np.array([[1, 2]], dtype=np.int64))
    assert buffer.reallen == 4
    assert buffer.array.tolist() == [[7, 7], [7, 7], [7, 7], [1, 2]]
    assert buffer.array.dtype == np.uint16


@pytest.mark.parametrize(
    "block", [np.ones((2, 2)), np.ones((1, 2))], ids=["two frames", "one frame"]
)
def test_a_block_that_does_not_fit_is_refused_whole(block):
    buffer = NumpyBuffer((4, 2), np.uint16)
    buffer.appendData(np.full((3, 2), 5))
    if len(block) == 1:
        buffer.appendData(np.full((1, 2), 6))  # fills the last row
    before = buffer.array.copy()
    filled = buffer.reallen
    with pytest.raises(ValueError, match="does not fit"):
        buffer.appendData(block)
    assert buffer.reallen == filled
    assert np.array_equal(buffer.array, before)
    buffer.getData(4)
    with pytest.raises(ValueError):
        buffer.appendData(block)  # handing out frames does not make room
    assert buffer.reallen == filled


@pytest.mark.parametrize(
    "data, error",
    [
        (np.ones((1, 3)), ValueError),
        (5, AttributeError),
        (np.float64(1.0), IndexError),
        (np.array(3), IndexError),
        (None, AttributeError),
    ],
)
def test_bad_blocks_raise_and_leave_the_buffer_unchanged(buffer, data, error):
    with pytest.raises(error):
        buffer.appendData(data)
    assert buffer.reallen == 0 and not buffer.array.any()


def test_empty_block_is_accepted(buffer):
    buffer.appendData(np.ones((0, 2)))
    assert buffer.reallen == 0


def test_get_data_hands_out_views_past_the_fill_level(buffer):
    buffer.appendData(np.full((1, 2), 9))
    view = buffer.getData(3)
    assert view.tolist() == [[9, 9], [0, 0], [0, 0]]
    assert buffer.index == 3
    view[1] = 4
    assert buffer.array[1].tolist() == [4, 4]
    assert buffer.getData(2).shape == (1, 2)
    assert buffer.index == 5
    assert buffer.getData(1).shape == (0, 2)
    assert buffer.index == 6


def test_views_keep_their_rows_while_later_frames_arrive():
    buffer = NumpyBuffer((6, 3), np.int32)
    buffer.appendData(np.full((2, 3), 1))
    batch = buffer.getData(2)
    buffer.appendData(np.full((4, 3), 2))
    assert batch.tolist() == [[1, 1, 1], [1, 1, 1]]


@pytest.mark.parametrize(
    "shape, dtype, error",
    [((-1, 2), "u2", ValueError), ((2, 2), "no-such-type", TypeError), ("x", "u2", TypeError)],
)
def test_constructor_errors_come_from_numpy(shape, dtype, error):
    with pytest.raises(error):
        NumpyBuffer(shape, dtype)
    pool = Buffers()
    with pytest.raises(error):
        pool.appendNewBuffer(shape, dtype)
    assert pool.buffers == []


def test_empty_buffers_are_reached_and_hand_out_nothing():
    pool = Buffers()
    assert pool.all_reached() is True
    assert pool.getDatas() == []


def test_all_reached_tests_each_buffer_in_order():
    pool = Buffers()
    pool.appendNewBuffer((4, 2), np.int16)
    pool.appendNewBuffer((4, 2), np.int16)
    first, second = pool.buffers
    second.appendData(np.ones((4, 2)))
    assert pool.all_reached() is False
    assert pool.all_reached(0) is True
    first.appendData(np.full((2, 2), 3))
    assert pool.all_reached(2) is True
    assert pool.all_reached(3) is False


def test_get_datas_reads_every_buffer_even_when_not_reached():
    pool = Buffers()
    for _ in range(3):
        pool.appendNewBuffer((5, 1), np.int8)
    pool.buffers[1].appendData(np.full((2, 1), 8))
    views = pool.getDatas(2)
    assert [v.tolist() for v in views] == [[[0], [0]], [[8], [8]], [[0], [0]]]
    assert [b.index for b in pool.buffers] == [2, 2, 2]
    assert [len(v) for v in pool.getDatas()] == [1, 1, 1]


def reference_append(shape, dtype, blocks):
    "What appending the blocks stores, done with numpy's own slice assignment."
    array = np.zeros(shape, dtype)
    filled = 0
    for block in blocks:
        array[filled : filled + len(block)] = block
        filled += len(block)
    return array, filled


frame = np.arange(6, dtype=np.uint16).reshape(1, 2, 3)
BLOCKS = {
    "same type": [frame, frame + 1],
    "other type": [np.full((2, 2, 3), 70000, np.int64), np.full((1, 2, 3), 2.5)],
    "other byte order": [frame.astype(">u2"), frame.astype("<u2")],
    "strided": [np.arange(24, dtype=np.uint16).reshape(4, 2, 3)[::2]],
    "fortran order": [np.asfortranarray(np.arange(12, dtype=np.uint16).reshape(2, 2, 3))],
    "broadcast frame shape": [np.arange(3, dtype=np.uint16).reshape(1, 1, 3)],
    "no frames": [frame[:0], frame],
}


@pytest.mark.parametrize("blocks", BLOCKS.values(), ids=BLOCKS.keys())
def test_append_stores_what_slice_assignment_stores(blocks):
    buffer = NumpyBuffer((5, 2, 3), np.uint16)
    for block in blocks:
        buffer.appendData(block)
    array, filled = reference_append((5, 2, 3), np.uint16, blocks)
    assert buffer.reallen == filled
    assert buffer.array.dtype == array.dtype and np.array_equal(buffer.array, array)


def test_large_blocks_are_stored_whole():
    buffer = NumpyBuffer((3, 256, 256), np.float64)
    block = np.random.default_rng(1).random((2, 256, 256))
    buffer.appendData(block)
    buffer.appendData(block[:1])
    assert np.array_equal(buffer.array[:2], block) and np.array_equal(buffer.array[2], block[0])


def test_append_of_a_view_of_the_buffer_itself():
    buffer = NumpyBuffer((6, 2), np.int32)
    buffer.appendData(np.arange(6, dtype=np.int32).reshape(3, 2))
    buffer.appendData(buffer.array[1:4])  # overlaps the rows it is copied into
    assert buffer.array.tolist() == [[0, 1], [2, 3], [4, 5], [2, 3], [4, 5], [0, 0]]


def test_object_buffers_keep_their_references():
    buffer = NumpyBuffer((3,), object)
    kept = [object(), object()]
    buffer.appendData(np.array(kept, dtype=object))
    del kept[:]
    assert all(type(item) is object for item in buffer.array[:2])


def test_read_only_or_replaced_arrays_go_through_numpy(buffer):
    buffer.array.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        buffer.appendData(np.ones((1, 2), np.uint16))
    assert buffer.reallen == 0
    buffer.array = np.zeros((8, 2), np.uint16)[::2]  # not contiguous
    buffer.appendData(np.ones((2, 2), np.uint16))
    assert buffer.reallen == 2 and buffer.array.tolist() == [[1, 1], [1, 1], [0, 0], [0, 0]]


def test_positions_of_other_types_still_work(buffer):
    buffer.reallen = np.int64(1)
    buffer.index = np.int32(0)
    buffer.appendData(np.ones((1, 2), np.uint16))
    assert buffer.reallen == 2 and buffer.array[1].tolist() == [1, 1]
    assert buffer.getData(2).tolist() == [[0, 0], [1, 1]] and buffer.index == 2
    pool = Buffers()
    pool.buffers.append(buffer)
    assert not pool.all_reached(1.5) and pool.all_reached(0.0)
    buffer.index, buffer.reallen = 2, 2**70
    assert pool.all_reached(2**69) and not pool.all_reached(2**70)


def test_buffer_attributes_behave_as_instance_attributes(buffer):
    import copy
    import pickle
    import weakref

    buffer.note = "extra attributes are kept"
    assert weakref.ref(buffer)() is buffer
    buffer.appendData(np.ones((1, 2), np.uint16))
    for twin in (copy.deepcopy(buffer), pickle.loads(pickle.dumps(buffer))):
        assert (twin.index, twin.reallen, twin.note) == (0, 1, buffer.note)
        assert np.array_equal(twin.array, buffer.array) and twin.array is not buffer.array
    del buffer.index
    with pytest.raises(AttributeError, match="index"):
        buffer.getData(1)
    pool = Buffers()
    pool.buffers.append(buffer)
    with pytest.raises(AttributeError, match="index"):
        pool.all_reached()


def test_subclasses_and_changed_classes_are_honoured():
    reads = []

    class Counted(NumpyBuffer):
        @property
        def reallen(self):
            reads.append("reallen")
            return 3

        @reallen.setter
        def reallen(self, value):
            reads.append(value)

    buffer = Counted((4, 2), np.uint16)
    pool = Buffers()
    pool.buffers.append(buffer)
    assert pool.all_reached(3) and not pool.all_reached(4)
    buffer.appendData(np.ones((1, 2), np.uint16))  # stored at row 3, the property's fill level
    assert buffer.array[3].tolist() == [1, 1] and reads[-1] == 4

    plain = NumpyBuffer((2, 2), np.uint16)
    pool.buffers[:] = [plain]
    assert not pool.all_reached()
    original = NumpyBuffer.__dict__["reallen"]
    NumpyBuffer.reallen = property(lambda self: 1, lambda self, value: None)
    try:
        assert pool.all_reached()
    finally:
        NumpyBuffer.reallen = original
    assert not pool.all_reached()


class Borrower:
    "Borrows NumpyBuffer's slot descriptors without having its slots."

    array = NumpyBuffer.__dict__["array"]
    index = NumpyBuffer.__dict__["index"]
    reallen = NumpyBuffer.__dict__["reallen"]
    getData = NumpyBuffer.getData


class PoolBorrower:
    buffers = Buffers.__dict__["buffers"]


def pool_of(buffer):
    pool = Buffers()
    pool.buffers.append(buffer)
    return pool


@pytest.mark.parametrize(
    "call, field, owner",
    [
        (lambda: NumpyBuffer.__init__(Borrower(), (2, 2), "u2"), "array", "NumpyBuffer"),
        (lambda: NumpyBuffer.getData(Borrower(), 1), "array", "NumpyBuffer"),
        (lambda: NumpyBuffer.appendData(Borrower(), np.zeros((1, 2))), "array", "NumpyBuffer"),
        (lambda: pool_of(Borrower()).all_reached(), "reallen", "NumpyBuffer"),
        (lambda: pool_of(Borrower()).getDatas(), "array", "NumpyBuffer"),
        (lambda: Buffers.__init__(PoolBorrower()), "buffers", "Buffers"),
        (lambda: Buffers.appendNewBuffer(PoolBorrower(), (2, 2), "u2"), "buffers", "Buffers"),
        (lambda: Buffers.all_reached(PoolBorrower()), "buffers", "Buffers"),
    ],
)
def test_borrowed_slot_descriptors_are_refused_as_python_refuses_them(call, field, owner):
    borrower = "PoolBorrower" if owner == "Buffers" else "Borrower"
    expected = f"descriptor '{field}' for '{owner}' objects doesn't apply to a '{borrower}' object"
    with pytest.raises(TypeError, match=re.escape(expected)):
        call()
    gc.collect()  # a slot written out of place would show when the object goes


def test_get_datas_that_fails_moves_no_buffer():
    pool = Buffers()
    pool.appendNewBuffer((4, 2), np.uint16)
    pool.appendNewBuffer((), np.uint16)  # no axis 0 to slice
    with pytest.raises(IndexError):
        pool.getDatas(2)
    assert [b.index for b in pool.buffers] == [0, 0]
