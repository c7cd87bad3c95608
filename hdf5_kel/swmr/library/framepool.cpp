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
  py::object data = frame::slice(self.attr(array), start, start + remainLen);
  self.attr(index) = start + remainLen;
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

py::object Buffers_all_reached(py::handle self, py::handle remainLen) {
  for (py::handle buffer : self.attr(buffers)) {
    py::object filled = buffer.attr(reallen), position = buffer.attr(index);
    if (filled < position + remainLen) return py::bool_(false);
  }
  return py::bool_(true);
}

py::object Buffers_getDatas(py::handle self, py::handle remainLen) {
  py::list datas;
  for (py::handle buffer : self.attr(buffers))
    datas.append(frame::call_method(buffer, getData, remainLen));
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
