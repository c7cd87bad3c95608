// Datasets made of several files, read source by source.
#include "sources.hpp"

#include <algorithm>

#include "hdf5.hpp"

namespace frame {

namespace {
const Name Acquisition{"Acquisition"}, pieces{"pieces"}, kept_reads{"kept"},
    frame_shape{"frame_shape"}, dtype{"dtype"}, empty{"empty"}, sources_module{"hdf5_kel.sources"};

Py_ssize_t index_of(py::handle value) {
  Py_ssize_t number = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
  if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
  return number;
}
}  // namespace

bool is_acquisition(py::handle data) {
  // Nothing is an acquisition before the module that makes them is imported.
  PyObject* module = PyImport_GetModule(sources_module.ptr());
  if (!module) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
  }
  py::object type = attr_if_present(steal(module), Acquisition);
  return type && Py_TYPE(data.ptr()) == reinterpret_cast<PyTypeObject*>(type.ptr());
}

py::object read_acquisition(py::handle h5py, py::handle numpy, py::handle acquisition,
                            py::handle start, py::handle stop, Unwritten unwritten,
                            bool* ended_early) {
  py::object found = call_method(acquisition, pieces, start, stop);
  py::object kept_list = acquisition.attr(kept_reads);
  Py_ssize_t frames = index_of(stop - start);
  auto new_block = [&] {
    py::tuple first_axis(1);
    first_axis[0] = integer(frames);
    py::object shape = first_axis + py::tuple(acquisition.attr(frame_shape));
    return call_method(numpy, empty, shape, acquisition.attr(dtype));
  };
  py::object block;
  Py_ssize_t there = frames;  // the frames before the first one missing
  for (py::handle piece : found) {
    py::tuple fields = py::reinterpret_borrow<py::tuple>(steal(PySequence_Tuple(piece.ptr())));
    if (py::len(fields) != 7) throw py::value_error("a piece of an acquisition has 7 fields");
    py::handle source = fields[0], data = fields[1], extent = fields[2], first = fields[3],
               last = fields[4], at = fields[5], step = fields[6];
    py::object kept = kept_list[source];
    PyObject* before = kept.ptr();
    bool short_rows = false;
    py::object rows = read_explained(data, [&] {
      return read_frames(h5py, numpy, kept, data, extent, first, last, unwritten, &short_rows);
    });
    if (kept.ptr() != before) kept_list[source] = kept;
    Py_ssize_t count = index_of(last - first), from = index_of(at), stride = index_of(step);
    // One piece that is the whole block is the block.
    if (count == frames && from == 0 && py::len(found) == 1) {
      if (ended_early) *ended_early = short_rows;
      return rows;
    }
    if (short_rows) {
      count = static_cast<Py_ssize_t>(py::len(rows));
      there = std::min(there, from + count * stride);
    }
    if (!block) block = new_block();
    if (count == 0) continue;
    py::object where =
        steal(PySlice_New(integer(from).ptr(), integer(from + (count - 1) * stride + 1).ptr(),
                          integer(stride).ptr()));
    if (PyObject_SetItem(block.ptr(), where.ptr(), rows.ptr()) < 0) throw py::error_already_set();
  }
  if (!block) block = new_block();
  if (ended_early) *ended_early = there < frames;
  return there < frames ? slice(block, integer(0), integer(there)) : block;
}

}  // namespace frame
