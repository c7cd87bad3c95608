// framepool: preallocated frame buffers. Blocks of frames are copied in along
// axis 0 and equal-length batches are handed out as views.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "frame.hpp"

namespace {

namespace py = pybind11;

const frame::Global np{"np"};
const frame::Global NumpyBuffer{"NumpyBuffer"};

const frame::Name shape{"shape"}, zeros{"zeros"}, append{"append"}, getData{"getData"},
    dtype{"dtype"}, kind{"kind"};
const frame::Field array{"array"}, index{"index"}, reallen{"reallen"}, buffers{"buffers"};
const frame::Constant zero{0L}, one{1L};

// numpy.ndarray, taken when the module body runs.
PyObject* ndarray = nullptr;

// class NumpyBuffer:

py::object NumpyBuffer_init(py::handle self, py::handle shape_, py::handle dtype_) {
  array.set(self, frame::call_method(np, zeros, shape_, dtype_));
  index.set(self, zero);
  reallen.set(self, zero);
  return {};
}

// A buffer the exporter fills in, released when it goes; empty (and no error
// pending) when the object cannot export one as asked.
struct ExportedBuffer {
  Py_buffer view{};
  bool held = false;
  ExportedBuffer(PyObject* obj, int flags) : held(PyObject_GetBuffer(obj, &view, flags) == 0) {
    if (!held) PyErr_Clear();
  }
  ~ExportedBuffer() {
    if (held) PyBuffer_Release(&view);
  }
  ExportedBuffer(const ExportedBuffer&) = delete;
  ExportedBuffer& operator=(const ExportedBuffer&) = delete;
};

// Both arrays have the same dtype object, and it is a plain number type
// (no Python objects, no strings), so that copying bytes copies values.
bool same_number_dtype(PyObject* a, PyObject* b) {
  static PyObject* known_plain = nullptr;  // the last dtype found plain
  py::object type_a = frame::steal(PyObject_GetAttr(a, dtype.ptr()));
  py::object type_b = frame::steal(PyObject_GetAttr(b, dtype.ptr()));
  if (type_a.ptr() != type_b.ptr()) return false;
  if (type_a.ptr() == known_plain) return true;
  std::string code = frame::text(type_a.attr(kind));
  if (code.size() != 1 || std::string("biufc").find(code[0]) == std::string::npos) return false;
  Py_XSETREF(known_plain, type_a.release().ptr());
  return true;
}

const Py_ssize_t large_copy = 1 << 16;

// target[start : start + rows] = block as one move of bytes, where that is
// all the slice assignment would do: two C-contiguous arrays of one plain
// number type and the same frame shape, the rows fitting from start on.
// Returns the number of rows copied, or -1 with nothing written; the slice
// assignment then does the work (and raises what it raises).
Py_ssize_t move_rows(PyObject* target, PyObject* start_, PyObject* block) {
  if (!target || !start_ || Py_TYPE(target) != reinterpret_cast<PyTypeObject*>(ndarray) ||
      Py_TYPE(block) != reinterpret_cast<PyTypeObject*>(ndarray))
    return -1;
  long long start;
  if (!frame::machine_int(start_, start) || start < 0 || !same_number_dtype(target, block))
    return -1;
  ExportedBuffer to(target, PyBUF_ND | PyBUF_WRITABLE), from(block, PyBUF_ND);
  if (!to.held || !from.held || to.view.ndim < 1 || to.view.ndim != from.view.ndim) return -1;
  for (int axis = 1; axis < to.view.ndim; ++axis)
    if (to.view.shape[axis] != from.view.shape[axis]) return -1;
  Py_ssize_t capacity = to.view.shape[0], rows = from.view.shape[0];
  if (start > capacity || rows > capacity - start) return -1;
  if (rows == 0) return 0;
  char* place = static_cast<char*>(to.view.buf) + start * (from.view.len / rows);
  // Other threads (consumers of earlier batches) go on during a large copy,
  // as they do while numpy copies; the exports keep both arrays in place.
  if (from.view.len < large_copy) {
    std::memmove(place, from.view.buf, from.view.len);
  } else {
    PyThreadState* released = PyEval_SaveThread();
    std::memmove(place, from.view.buf, from.view.len);
    PyEval_RestoreThread(released);
  }
  return rows;
}

py::object NumpyBuffer_appendData(py::handle self, py::handle data) {
  // Held, not borrowed: the lock is let go during a large copy.
  auto held = [&](const frame::Field& field) {
    return py::reinterpret_borrow<py::object>(field.peek(self));
  };
  py::object start_now = held(reallen), target_now = held(array);
  Py_ssize_t moved = move_rows(target_now.ptr(), start_now.ptr(), data.ptr());
  if (moved >= 0) {
    reallen.set(self, start_now + frame::integer(moved));
    return {};
  }
  py::object length = frame::item(data.attr(shape), 0);
  py::object target = array.get(self);
  py::object start = reallen.get(self);
  py::object end = start + length;
  // A block that does not fit is refused whole, a single frame included:
  // numpy would broadcast one frame onto the empty slice past the end and
  // silently store nothing.
  py::object capacity = frame::integer(py::len(target));
  if (end > capacity)
    throw py::value_error(
        "block of " + py::str(length).cast<std::string>() +
        " frames does not fit into the buffer: " + py::str(capacity - start).cast<std::string>() +
        " of " + py::str(capacity).cast<std::string>() + " frames left");
  frame::assign_slice(target, start, end, data);
  reallen.set(self, end);
  return {};
}

// A count of frames to hand out: one below zero would move the read position
// back over frames already handed out, and one beyond the capacity past frames
// that can never arrive.
void check_frames_to_hand_out(py::handle whole, py::handle remainLen) {
  long long wanted = 0;
  // An array without an axis 0 has no capacity to check: slicing it fails.
  Py_ssize_t capacity = PyObject_Length(whole.ptr());
  if (capacity < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    capacity = PY_SSIZE_T_MAX;
  }
  if (frame::machine_int(remainLen.ptr(), wanted) && 0 <= wanted && wanted <= capacity) return;
  if (!PyIndex_Check(remainLen.ptr()))
    throw py::type_error("remainLen must be an integer number of frames, got " +
                         frame::repr(remainLen));
  py::object count = frame::steal(PyNumber_Index(remainLen.ptr()));
  if (count < zero || count > frame::integer(capacity))
    throw py::value_error("remainLen must be a number of frames from 0 to the buffer's capacity (" +
                          std::to_string(capacity) + "), got " + frame::repr(remainLen));
}

py::object NumpyBuffer_getData(py::handle self, py::handle remainLen) {
  py::object whole = array.get(self);
  check_frames_to_hand_out(whole, remainLen);
  py::object start = index.get(self);
  py::object end = start + remainLen;
  py::object data = frame::slice(whole, start, end);
  index.set(self, end);
  return data;
}

// class Buffers:

py::object Buffers_init(py::handle self) {
  buffers.set(self, py::list());
  return {};
}

py::object Buffers_appendNewBuffer(py::handle self, py::handle shape_, py::handle dtype) {
  py::object append_to = buffers.get(self).attr(append);
  frame::call(append_to, frame::call(NumpyBuffer, shape_, dtype));
  return {};
}

// for buffer in self.buffers: f(buffer) until it returns false. The list is
// walked in place, as its own iterator would walk it, since the receiver does
// this for every file on every poll.
template <typename F>
bool each_buffer(py::handle self, F f) {
  py::object all = buffers.get(self);
  if (!PyList_CheckExact(all.ptr())) {
    for (py::handle buffer : all)
      if (!f(buffer)) return false;
    return true;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
    py::object buffer = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(all.ptr(), i));
    if (!f(buffer)) return false;
  }
  return true;
}

py::object Buffers_all_reached(py::handle self, py::handle remainLen) {
  long long wanted = 0;
  bool plain = frame::machine_int(remainLen.ptr(), wanted);
  return py::bool_(each_buffer(self, [&](py::handle buffer) {
    // Plain ints compare without making the sum as an object.
    long long have, from, end;
    if (plain && frame::machine_int(reallen.peek(buffer), have) &&
        frame::machine_int(index.peek(buffer), from) && !__builtin_add_overflow(from, wanted, &end))
      return have >= end;
    py::object filled = reallen.get(buffer);
    py::object end_wanted = index.get(buffer) + remainLen;
    return !(filled < end_wanted);
  }));
}

py::object Buffers_getDatas(py::handle self, py::handle remainLen) {
  py::list datas;
  // A buffer that fails makes the buffers before it step back, so that a
  // failed call moves no read position. Only positions held in place are
  // taken back: reading any other would be a call the method does not make.
  std::vector<std::pair<py::object, py::object>> taken;  // buffer, index before
  try {
    each_buffer(self, [&](py::handle buffer) {
      py::object before = py::reinterpret_borrow<py::object>(index.peek(buffer));
      datas.append(frame::call_method(buffer, getData, remainLen));
      if (before) taken.emplace_back(py::reinterpret_borrow<py::object>(buffer), before);
      return true;
    });
  } catch (py::error_already_set&) {
    for (auto& [buffer, before] : taken) index.set(buffer, before);
    throw;
  }
  return std::move(datas);
}

void body(frame::Body& m) {
  ndarray = py::object(m.import_as("numpy", "np").attr("ndarray")).release().ptr();
  m.define_class("NumpyBuffer", nullptr,
                 {
                     frame::def<NumpyBuffer_init>("__init__", {"self", "shape", "dtype"}),
                     frame::def<NumpyBuffer_appendData>("appendData", {"self", "data"}),
                     frame::def<NumpyBuffer_getData>("getData", {"self", "remainLen"}),
                 },
                 {&array, &index, &reallen});
  m.define_class(
      "Buffers", nullptr,
      {
          frame::def<Buffers_init>("__init__", {"self"}),
          frame::def<Buffers_appendNewBuffer>("appendNewBuffer", {"self", "shape", "dtype"}),
          frame::def<Buffers_all_reached>("all_reached", {"self", "remainLen"}).defaults({one}),
          frame::def<Buffers_getDatas>("getDatas", {"self", "remainLen"}).defaults({one}),
      },
      {&buffers});
}

}  // namespace

FRAME_MODULE(framepool, "hdf5_kel.swmr.library.framepool", "hdf5_kel/swmr/library/framepool", body)
