// HDF5 reads shared by the followers and the comparisons.
#include "hdf5.hpp"

#include <memory>

namespace frame {

namespace {
const Name File{"File"}, Dataset{"Dataset"}, chunks{"chunks"}, id{"id"}, dtype{"dtype"},
    itemsize{"itemsize"}, get_create_plist{"get_create_plist"}, get_nfilters{"get_nfilters"},
    kind{"kind"}, metadata{"metadata"}, h5t{"h5t"}, py_create{"py_create"}, get_type{"get_type"},
    same_type{"equal"}, version{"version"}, version_tuple{"version_tuple"},
    read_direct_chunk{"read_direct_chunk"}, empty{"empty"}, cast{"cast"};
const Constant read_only{"r"}, latest{"latest"}, zero{0L}, byte_format{"B"};
const Keywords swmr_read{"libver", "swmr"};

// `value` as a Py_ssize_t, when it is an int that fits.
bool exact_index(py::handle value, Py_ssize_t& out) {
  if (!PyLong_CheckExact(value.ptr())) return false;
  out = PyLong_AsSsize_t(value.ptr());
  if (out == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
  }
  return true;
}

// Integers and floats as numpy has them, without h5py's enum (or other)
// metadata: the types whose bytes in an array are the bytes h5py reads.
bool plain_numbers(py::handle type) {
  if (!attr_if_present(type, metadata).is_none()) return false;
  std::string letter = text(type.attr(kind));
  return letter == "i" || letter == "u" || letter == "f";
}

// What the layout of one dataset allows a reader of whole frames, made once
// per dataset a reader is handed and never changed afterwards.
struct FrameReads {
  py::object dataset;  // a weak reference: the dataset this describes
  py::object dtype;
  // Frames per chunk where chunks are read directly into blocks, else 0.
  Py_ssize_t chunk_rows = 0;
  Py_ssize_t frame_bytes = 0;
  Py_ssize_t chunk_bytes = 0;
  py::object chunk;  // the chunk shape; a frame must have its axes after the first
};

const char* const frame_reads_name = "hdf5_kel.frame_reads";

void drop_frame_reads(PyObject* capsule) {
  delete static_cast<FrameReads*>(PyCapsule_GetPointer(capsule, frame_reads_name));
}

// h5py reads a chunk into a buffer of the caller's from 3.9 on.
bool reads_chunks_into_buffers(py::handle h5py) {
  py::object release = h5py.attr(version).attr(version_tuple);
  return release >= py::make_tuple(3, 9);
}

// Chunks are read straight into a block where their stored bytes are the
// array's bytes: no filter, a file type that is the numpy type itself, and
// chunks that cover a frame along every axis after the first (which the
// extent of each read confirms, since a writer may widen a frame).
FrameReads layout_of(py::handle h5py, py::handle data) {
  FrameReads reads;
  reads.dataset = steal(PyWeakref_NewRef(data.ptr(), nullptr));
  reads.dtype = data.attr(dtype);
  if (!reads_chunks_into_buffers(h5py) || !plain_numbers(reads.dtype)) return reads;
  py::object chunk = data.attr(chunks);  // None unless the dataset is chunked
  if (!PyTuple_Check(chunk.ptr()) || PyTuple_GET_SIZE(chunk.ptr()) < 1) return reads;
  Py_ssize_t rows = 0, frame_bytes = 0, chunk_bytes = 0;
  if (!exact_index(PyTuple_GET_ITEM(chunk.ptr(), 0), rows) || rows < 1) return reads;
  if (!exact_index(reads.dtype.attr(itemsize), frame_bytes)) return reads;
  for (Py_ssize_t axis = 1; axis < PyTuple_GET_SIZE(chunk.ptr()); ++axis) {
    Py_ssize_t size = 0;
    if (!exact_index(PyTuple_GET_ITEM(chunk.ptr(), axis), size) ||
        __builtin_mul_overflow(frame_bytes, size, &frame_bytes))
      return reads;
  }
  if (frame_bytes < 1 || __builtin_mul_overflow(frame_bytes, rows, &chunk_bytes)) return reads;
  py::object handle = data.attr(id);
  if (!equal(call_method(call_method(handle, get_create_plist), get_nfilters), zero)) return reads;
  py::object memory_type = call(h5py.attr(h5t).attr(py_create), reads.dtype);
  if (!is_true(call_method(call_method(handle, get_type), same_type, memory_type))) return reads;
  reads.chunk_rows = rows;
  reads.frame_bytes = frame_bytes;
  reads.chunk_bytes = chunk_bytes;
  reads.chunk = chunk;
  return reads;
}

// The FrameReads in `kept` when they describe `data`; else those of `data`,
// made now and put into `kept`. The caller's `kept` holds them for the read.
const FrameReads& frame_reads(py::object& kept, py::handle h5py, py::handle data) {
  if (kept && PyCapsule_IsValid(kept.ptr(), frame_reads_name)) {
    auto* reads = static_cast<FrameReads*>(PyCapsule_GetPointer(kept.ptr(), frame_reads_name));
    if (steal(PyObject_CallNoArgs(reads->dataset.ptr())).ptr() == data.ptr()) return *reads;
  }
  auto made = std::make_unique<FrameReads>(layout_of(h5py, data));
  kept = steal(PyCapsule_New(made.get(), frame_reads_name, drop_frame_reads));
  return *made.release();
}

// The shape of the block of frames [first, last) of a dataset of `extent`,
// when they lie inside it and each frame is one row of `chunk`.
bool whole_frames(py::handle extent, py::handle chunk, Py_ssize_t first, Py_ssize_t last,
                  py::tuple& shape) {
  if (!PyTuple_Check(extent.ptr())) return false;
  Py_ssize_t axes = PyTuple_GET_SIZE(extent.ptr());
  Py_ssize_t length = 0;
  if (axes != PyTuple_GET_SIZE(chunk.ptr()) ||
      !exact_index(PyTuple_GET_ITEM(extent.ptr(), 0), length))
    return false;
  if (!(0 <= first && first < last && last <= length)) return false;
  shape = py::tuple(axes);
  shape[0] = integer(last - first);
  for (Py_ssize_t axis = 1; axis < axes; ++axis) {
    py::handle size = PyTuple_GET_ITEM(extent.ptr(), axis);
    Py_ssize_t frame_size = 0, chunk_size = 0;
    exact_index(PyTuple_GET_ITEM(chunk.ptr(), axis), chunk_size);
    if (!exact_index(size, frame_size) || frame_size != chunk_size) return false;
    shape[axis] = size;
  }
  return true;
}

// (row, 0, 0, ...): where the chunk that starts at frame `row` lies.
py::tuple chunk_offsets(Py_ssize_t row, Py_ssize_t axes) {
  py::tuple offsets(axes);
  offsets[0] = integer(row);
  for (Py_ssize_t axis = 1; axis < axes; ++axis) offsets[axis] = zero;
  return offsets;
}

// Reads the stored bytes of the chunk at `offsets` into `out`; false where
// HDF5 has none to give (a chunk never written has no storage) or gives other
// than `expected` bytes, which h5py's slicing then reads instead.
bool read_chunk_into(py::handle handle, py::handle offsets, py::handle out, Py_ssize_t expected) {
  try {
    py::object read = call_method(handle, read_direct_chunk, offsets, py::handle(Py_None), out);
    Py_ssize_t bytes = PyObject_Size(item(read, 1).ptr());
    if (bytes < 0) throw py::error_already_set();
    return bytes == expected;
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return false;
  }
}
}  // namespace

py::object open_swmr(py::handle h5py, py::handle path) {
  return call_kw(h5py.attr(File), swmr_read, path, read_only, latest, py::handle(Py_True));
}

py::object read_frames(py::handle h5py, py::handle numpy, py::object& kept, py::handle data,
                       py::handle extent, py::handle start, py::handle stop) {
  Py_ssize_t first = 0, last = 0;
  // Subclasses may read differently; numpy indexes select differently.
  if (Py_TYPE(data.ptr()) != reinterpret_cast<PyTypeObject*>(h5py.attr(Dataset).ptr()) ||
      !exact_index(start, first) || !exact_index(stop, last))
    return slice(data, start, stop);
  const FrameReads& reads = frame_reads(kept, h5py, data);
  py::tuple shape;
  if (reads.chunk_rows == 0 || !whole_frames(extent, reads.chunk, first, last, shape))
    return slice(data, start, stop);
  Py_ssize_t rows = reads.chunk_rows;
  Py_ssize_t first_whole = first + (rows - first % rows) % rows, last_whole = last - last % rows;
  if (first_whole >= last_whole) return slice(data, start, stop);

  py::object block = call_method(numpy, empty, shape, reads.dtype);
  py::object bytes = call_method(steal(PyMemoryView_FromObject(block.ptr())), cast, byte_format);
  auto slice_into = [&](Py_ssize_t from, Py_ssize_t to) {
    assign_slice(block, integer(from - first), integer(to - first),
                 slice(data, integer(from), integer(to)));
  };
  if (first < first_whole) slice_into(first, first_whole);
  py::object handle = data.attr(id);
  Py_ssize_t axes = PyTuple_GET_SIZE(shape.ptr());
  for (Py_ssize_t row = first_whole; row < last_whole; row += rows) {
    Py_ssize_t at = (row - first) * reads.frame_bytes;
    py::object out = slice(bytes, integer(at), integer(at + reads.chunk_bytes));
    if (!read_chunk_into(handle, chunk_offsets(row, axes), out, reads.chunk_bytes))
      slice_into(row, row + rows);
  }
  if (last_whole < last) slice_into(last_whole, last);
  return block;
}

namespace {
const Name diagnose{"hdf5_kel.diagnose"}, explain{"explain_read_error"};
}  // namespace

void explain_read_error(const py::error_already_set& error, py::handle dset) {
  if (!error.matches(PyExc_Exception)) return;  // Ctrl-C and the like say what they are
  try {
    call_method(import(diagnose), explain, error.value(), dset);
  } catch (py::error_already_set&) {
    // The read's own error is the one to raise.
  }
}

}  // namespace frame
