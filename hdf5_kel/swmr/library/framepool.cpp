// framepool: preallocated frame buffers. Blocks of frames are copied in along
// axis 0 and equal-length batches are handed out as views.
#include "frame.hpp"

namespace {

namespace py = pybind11;

const frame::Global np{"np"};
const frame::Global NumpyBuffer{"NumpyBuffer"};

const frame::Name array{"array"}, index{"index"}, reallen{"reallen"}, shape{"shape"},
    zeros{"zeros"}, buffers{"buffers"}, append{"append"}, getData{"getData"};
const frame::Constant zero{0L}, one{1L};

// class NumpyBuffer:

py::object NumpyBuffer_init(py::handle self, py::handle shape_, py::handle dtype) {
  self.attr(array) = frame::call_method(np, zeros, shape_, dtype);
  self.attr(index) = zero;
  self.attr(reallen) = zero;
  return {};
}

py::object NumpyBuffer_appendData(py::handle self, py::handle data) {
  py::object length = frame::item(data.attr(shape), 0);
  py::object start = self.attr(reallen);
  py::object end = start + length;
  py::object target = self.attr(array);
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
  self.attr(reallen) = end;
  return {};
}

py::object NumpyBuffer_getData(py::handle self, py::handle remainLen) {
  py::object start = self.attr(index);
  py::object end = start + remainLen;
  py::object data = frame::slice(self.attr(array), start, end);
  self.attr(index) = end;
  return data;
}

// class Buffers:

py::object Buffers_init(py::handle self) {
  self.attr(buffers) = py::list();
  return {};
}

py::object Buffers_appendNewBuffer(py::handle self, py::handle shape_, py::handle dtype) {
  frame::call_method(self.attr(buffers), append, frame::call(NumpyBuffer, shape_, dtype));
  return {};
}

// for buffer in self.buffers: f(buffer) until it returns false. The list is
// walked in place, as its own iterator would walk it, since the receiver does
// this for every file on every poll.
template <typename F>
bool each_buffer(py::handle self, F f) {
  py::object all = self.attr(buffers);
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

// The value of a plain int that fits into a long long.
bool machine_int(py::handle number, long long& value) {
  if (!PyLong_CheckExact(number.ptr())) return false;
  int overflow = 0;
  value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  return overflow == 0;
}

py::object Buffers_all_reached(py::handle self, py::handle remainLen) {
  long long wanted = 0;
  bool plain = machine_int(remainLen, wanted);
  return py::bool_(each_buffer(self, [&](py::handle buffer) {
    py::object filled = buffer.attr(reallen), position = buffer.attr(index);
    // Plain ints compare without making the sum as an object.
    long long have, from, end;
    if (plain && machine_int(filled, have) && machine_int(position, from) &&
        !__builtin_add_overflow(from, wanted, &end))
      return have >= end;
    return !(filled < position + remainLen);
  }));
}

py::object Buffers_getDatas(py::handle self, py::handle remainLen) {
  py::list datas;
  each_buffer(self, [&](py::handle buffer) {
    datas.append(frame::call_method(buffer, getData, remainLen));
    return true;
  });
  return std::move(datas);
}

void body(frame::Body& m) {
  m.import_as("numpy", "np");
  m.define_class("NumpyBuffer", nullptr,
                 {
                     frame::def<NumpyBuffer_init>("__init__", {"self", "shape", "dtype"}),
                     frame::def<NumpyBuffer_appendData>("appendData", {"self", "data"}),
                     frame::def<NumpyBuffer_getData>("getData", {"self", "remainLen"}),
                 });
  m.define_class(
      "Buffers", nullptr,
      {
          frame::def<Buffers_init>("__init__", {"self"}),
          frame::def<Buffers_appendNewBuffer>("appendNewBuffer", {"self", "shape", "dtype"}),
          frame::def<Buffers_all_reached>("all_reached", {"self", "remainLen"}).defaults({one}),
          frame::def<Buffers_getDatas>("getDatas", {"self", "remainLen"}).defaults({one}),
      });
}

}  // namespace

FRAME_MODULE(framepool, "hdf5_kel.swmr.library.framepool", "hdf5_kel/swmr/library/framepool", body)
