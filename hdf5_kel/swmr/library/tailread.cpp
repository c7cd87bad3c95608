// tailread: live readers of HDF5 datasets that another process is still
// writing in SWMR mode.
#include "frame.hpp"

namespace {

namespace py = pybind11;

// Module globals: the body's imports and classes.
const frame::Global os{"os"}, time_{"time"}, h5py{"h5py"}, Queue{"Queue"};
const frame::Builtin print{"print"};

const frame::Name filepath{"filepath"}, datasetname{"datasetname"}, start_frame{"start_frame"},
    total_frames{"total_frames"}, batch_size{"batch_size"}, queue{"queue"}, index{"index"}, f{"f"},
    dset{"dset"}, path{"path"}, exists{"exists"}, sleep{"sleep"}, File{"File"}, refresh{"refresh"},
    shape{"shape"}, put{"put"}, close{"close"}, read_chunk{"read_chunk"}, is_set{"is_set"};
const frame::Constant zero{0L}, one{1L}, poll_interval{0.1}, open_delay{0.01}, read_only{"r"},
    latest{"latest"}, file_not_found{"File not found:"}, file_found{"File found:"};
const frame::Keywords swmr_read{"libver", "swmr"};

// The SWMR read handle: read-only, latest format, SWMR on.
py::object open_swmr(py::handle path_) {
  return frame::call_kw(h5py.attr(File), swmr_read, path_, read_only, latest, py::handle(Py_True));
}

// `stop_event.is_set() == False`: the event still lets the wait go on.
bool not_stopped(py::handle stop_event) {
  return frame::equal(frame::call_method(stop_event, is_set), Py_False);
}

// class SWMRReader:

const char* const SWMRReader_doc = R"(
    Follow one dataset of an HDF5 file that another process writes in SWMR mode
    and hand its frames out in blocks of batch_size frames.

    :param filepath: path of the HDF5 file
    :param datasetname: path of the dataset inside the file, e.g. "/entry/data"
    :param start_frame: index of the first frame to read
    :param total_frames: total number of frames: the end position on axis 0,
        normally the file's final length
    :param batch_size: number of frames per block
    queue: the blocks put by read_chunk2queue and accumulate_data
    )";

py::object SWMRReader_init(py::handle self, py::handle filepath_, py::handle datasetname_,
                           py::handle start_frame_, py::handle total_frames_,
                           py::handle batch_size_) {
  // Zero frames per block would make accumulate_data loop forever.
  if (!(batch_size_ > zero))
    throw py::value_error("batch_size must be a positive number of frames, got " +
                          py::repr(batch_size_).cast<std::string>());
  self.attr(filepath) = filepath_;
  self.attr(datasetname) = datasetname_;
  self.attr(start_frame) = start_frame_;
  self.attr(total_frames) = total_frames_;
  self.attr(batch_size) = batch_size_;
  self.attr(queue) = frame::call(Queue);
  self.attr(index) = start_frame_;
  while (!frame::is_true(frame::call_method(os.attr(path), exists, self.attr(filepath)))) {
    frame::call_method(time_, sleep, one);
    print(file_not_found, self.attr(filepath));
  }
  print(file_found, self.attr(filepath));
  frame::call_method(time_, sleep, open_delay);
  self.attr(f) = open_swmr(self.attr(filepath));
  py::object file = self.attr(f);
  try {
    self.attr(dset) = file[self.attr(datasetname)];
  } catch (py::error_already_set&) {
    // A reader that cannot be built keeps no file open.
    frame::call_method(file, close);
    throw;
  }
  return {};
}

// Frames in the next block: batch_size, the remainder up to total_frames, or
// None once the read position has reached total_frames.
py::object block_length(py::handle self) {
  py::object position = self.attr(index), end = self.attr(total_frames),
             batch = self.attr(batch_size);
  if (position + batch < end) return batch;
  if (position < end) return end - position;
  return py::none();
}

// Refreshes the dataset; the block [index, index + length) once it is all
// there, else None.
py::object poll_block(py::handle self, py::handle length) {
  py::object data = self.attr(dset);
  frame::call_method(data, refresh);
  py::object present = frame::item(data.attr(shape), 0);
  py::object start = self.attr(index);
  py::object end = start + length;
  if (present < end) return py::none();
  py::object chunk = frame::slice(data, start, end);
  self.attr(index) = end;
  return chunk;
}

py::object SWMRReader_read_chunk(py::handle self) {
  py::object length = block_length(self);
  if (length.is_none()) return length;
  while (true) {
    py::object chunk = poll_block(self, length);
    if (!chunk.is_none()) return chunk;
    frame::call_method(time_, sleep, poll_interval);
  }
}

py::object SWMRReader_read_chunk_event(py::handle self, py::handle stop_event) {
  py::object length = block_length(self);
  if (length.is_none()) return length;
  while (not_stopped(stop_event)) {
    py::object chunk = poll_block(self, length);
    if (!chunk.is_none()) return chunk;
    frame::call_method(time_, sleep, poll_interval);
  }
  return py::none();
}

py::object SWMRReader_read_chunk2queue(py::handle self) {
  py::object chunk = frame::call_method(self, read_chunk);
  if (!chunk.is_none()) frame::call_method(self.attr(queue), put, chunk);
  return {};
}

py::object SWMRReader_accumulate_data(py::handle self) {
  while (py::object(self.attr(index)) < py::object(self.attr(total_frames))) {
    py::object chunk = frame::call_method(self, read_chunk);
    if (chunk.is_none()) continue;
    frame::call_method(self.attr(queue), put, chunk);
    print("Appended chunk of shape " + py::str(chunk.attr(shape)).cast<std::string>() +
          " to cache");
  }
  return {};
}

py::object SWMRReader_close(py::handle self) {
  frame::call_method(self.attr(f), close);
  return {};
}

py::object SWMRReader_del(py::handle self) {
  try {
    py::object file = self.attr(f);
    if (!file.is_none()) frame::call_method(file, close);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    print("Error in __del__: " + py::str(e.value()).cast<std::string>());
  }
  return {};
}

void body(frame::Body& m) {
  m.import_if_present("asyncore");
  m.import("sys");
  m.import("h5py");
  m.import("logging");
  m.import("numpy");
  m.import("os");
  m.import("time");
  m.star_import("framepool");
  m.import("logging");
  m.import("datetime");
  m.from_import("queue", {"Queue"});

  m.define_class(
      "SWMRReader", SWMRReader_doc,
      {
          frame::def<SWMRReader_init>("__init__", {"self", "filepath", "datasetname", "start_frame",
                                                   "total_frames", "batch_size"}),
          frame::def<SWMRReader_read_chunk>("read_chunk", {"self"})
              .doc("\n        Check whether the data newly written to the dataset in f "
                   "has accumulated to a batch\n        or reached the end of the file, "
                   "and return that block.\n        "),
          frame::def<SWMRReader_read_chunk_event>("read_chunk_event", {"self", "stop_event"})
              .doc("\n        Check whether the data newly written to the dataset in f "
                   "has accumulated to a batch\n        or reached the end of the file, "
                   "and return that block; a set stop_event\n        ends the wait "
                   "with None.\n        "),
          frame::def<SWMRReader_read_chunk2queue>("read_chunk2queue", {"self"}),
          frame::def<SWMRReader_accumulate_data>("accumulate_data", {"self"})
              .doc("\n        Read the file in SWMR mode; each time a batch has "
                   "accumulated, add it to the cache\n        (the queue).\n        "),
          frame::def<SWMRReader_close>("close", {"self"})
              .doc("\n        Close the HDF5 file.\n        "),
          frame::def<SWMRReader_del>("__del__", {"self"}),
      });
}

}  // namespace

FRAME_MODULE(tailread, "hdf5_kel.swmr.library.tailread", "hdf5_kel/swmr/library/tailread", body)
