// tailread: live readers of HDF5 datasets that another process is still
// writing in SWMR mode.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "hdf5.hpp"
#include "sources.hpp"

namespace {

namespace py = pybind11;

// Module globals: the body's imports (np and Buffers come with the star import
// of framepool) and classes.
const frame::Global os{"os"}, time_{"time"}, h5py{"h5py"}, logging{"logging"}, numpy{"numpy"},
    datetime{"datetime"}, Queue{"Queue"}, np{"np"}, Buffers{"Buffers"}, SWMRCount{"SWMRCount"},
    SWMRReader{"SWMRReader"};
const frame::Builtin print{"print"};

const frame::Name filepath{"filepath"}, datasetname{"datasetname"}, start_frame{"start_frame"},
    total_frames{"total_frames"}, batch_size{"batch_size"}, queue{"queue"}, index{"index"}, f{"f"},
    dset{"dset"}, path{"path"}, exists{"exists"}, sleep{"sleep"}, refresh{"refresh"},
    shape{"shape"}, put{"put"}, close{"close"}, read_chunk{"read_chunk"}, is_set{"is_set"},
    filename{"filename"}, total_count{"total_count"}, modify{"modify"}, recv{"recv"},
    recv_event{"recv_event"}, name{"name"}, getLogger{"getLogger"}, isEnabledFor{"isEnabledFor"},
    handlers{"handlers"}, INFO{"INFO"}, DEBUG{"DEBUG"}, info{"info"}, debug{"debug"},
    array2string{"array2string"}, datetime_type{"datetime"}, now{"now"}, timezone{"timezone"},
    utc{"utc"}, strftime{"strftime"}, swmrcounts{"swmrcounts"}, buffers{"buffers"},
    fromlist{"fromlist"}, appendNewBuffer{"appendNewBuffer"}, appendData{"appendData"},
    all_reached{"all_reached"}, getDatas{"getDatas"}, all{"all"}, readers{"readers"},
    read_chunk_event{"read_chunk_event"}, append{"append"}, h5f{"h5f"}, get_obj_ids{"get_obj_ids"},
    OBJ_DATASET{"OBJ_DATASET"}, id{"id"}, held_twice_warning{"held_twice_warning"},
    read_chunks{"read_chunks"}, get_intent{"get_intent"}, ACC_SWMR_READ{"ACC_SWMR_READ"},
    frame_reads{"_frame_reads"};
const frame::Constant zero{0L}, one{1L}, three{3L}, ten{10L}, poll_interval{0.1}, open_delay{0.01},
    entry_data{"/entry/data"}, file_not_found{"File not found:"}, file_found{"File found:"},
    count_file_not_found{"file not found"}, count_file_found{"file found"},
    waiting_for_swmr{"Waiting for the writer to enable SWMR:"},
    count_waiting_for_swmr{"waiting for the writer to enable swmr"}, info_format{"%s,%s,%s,%s"},
    debug_format{"%s,%s,%s,%s,%s"}, time_of_day{"%H:%M:%S:%f"}, no_text{""},
    worker_recv{"kel:tolvar data worker recv"},
    not_all_readers{"!!!SWReaderMulti read_chunks: Not all readers have new data."};
const frame::Keywords counter_by_name{"filename", "datasetname", "total_count"};
const frame::Name diagnose{"hdf5_kel.diagnose"}, sources{"hdf5_kel.sources"}, follow{"follow"};

// A path some file can have: str, bytes or os.PathLike, without a NUL
// character. Anything else would be waited for for ever.
void check_path(const char* what, py::handle path_) {
  PyObject* fs_path = PyOS_FSPath(path_.ptr());
  if (!fs_path) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    throw py::type_error(std::string(what) + " must be a path (str, bytes or os.PathLike), got " +
                         frame::repr(path_));
  }
  py::object name = frame::steal(fs_path);
  bool has_nul = false;
  if (PyBytes_Check(name.ptr())) {
    has_nul = std::memchr(PyBytes_AS_STRING(name.ptr()), 0, PyBytes_GET_SIZE(name.ptr()));
  } else {
    Py_ssize_t at = PyUnicode_FindChar(name.ptr(), 0, 0, PyUnicode_GetLength(name.ptr()), 1);
    if (at == -2) throw py::error_already_set();
    has_nul = at >= 0;
  }
  if (has_nul)
    throw py::value_error(std::string(what) +
                          " holds a NUL character, which no file name can: " + frame::repr(path_));
}

// Waits for the writer to create the file, testing once a second, then gives
// it a moment to finish setting the file up before the open.
void wait_for_file(py::handle path_, py::handle not_found, py::handle found) {
  while (!frame::is_true(frame::call_method(os.attr(path), exists, path_))) {
    frame::call_method(time_, sleep, one);
    print(not_found, path_);
  }
  print(found, path_);
  frame::call_method(time_, sleep, open_delay);
}

// The SWMR read handle, once the writer lets readers in. A writer holds its
// file locked from creation until it switches SWMR mode on, so a reader that
// started first finds the file but cannot open it yet: that lock failure
// (BlockingIOError) is waited out, saying so once; every other error is
// raised.
py::object open_when_unlocked(py::handle path_, py::handle waiting) {
  bool said = false;
  while (true) {
    try {
      return frame::open_swmr(h5py, path_);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_BlockingIOError)) throw;
    }
    if (!said) print(waiting, path_);
    said = true;
    frame::call_method(time_, sleep, poll_interval);
  }
}

// HDF5 fails the reads of a growing dataset, for every holder, once one
// process holds it through two dataset objects of a file it reads in SWMR mode
// and both refresh it. Of the dataset objects open on the file through any
// handle (HDF5 tells one file from another by device and inode), those that
// are the same dataset as `data` are counted; two or more earn a warning where
// the follower is made. A file that this process also writes is shared with
// the writer's handle, which reads it without that failure.
void warn_if_held_twice(py::handle file, py::handle data) {
  py::object h5f_module = h5py.attr(h5f);
  py::object intent = frame::call_method(file.attr(id), get_intent);
  if (!frame::is_true(intent & h5f_module.attr(ACC_SWMR_READ))) return;
  py::object open_datasets =
      frame::call(h5f_module.attr(get_obj_ids), file.attr(id), h5f_module.attr(OBJ_DATASET));
  py::object own = data.attr(id);
  int holders = 0;
  for (py::handle other : open_datasets)
    if (frame::equal(other, own)) ++holders;
  if (holders < 2) return;
  py::object note = frame::call_method(frame::import(diagnose), held_twice_warning, data);
  if (PyErr_WarnEx(PyExc_RuntimeWarning, frame::text(note).c_str(), 1) < 0)
    throw py::error_already_set();
}

// Sets self.f to the SWMR read handle of the file at self.<path_field> and
// self.dset to the dataset self.datasetname in it, or to the acquisition over
// several files it stands for (hdf5_kel.sources). An object that cannot be
// built keeps no file open.
void open_dataset(py::handle self, const frame::Name& path_field, py::handle waiting) {
  self.attr(f) = open_when_unlocked(self.attr(path_field), waiting);
  py::object file = self.attr(f);
  try {
    py::object data =
        frame::call_method(frame::import(sources), follow, file, self.attr(datasetname));
    self.attr(dset) = data;
    if (!frame::is_acquisition(data)) warn_if_held_twice(file, data);
  } catch (py::error_already_set&) {
    frame::call_method(file, close);
    throw;
  }
}

// data[start:stop] of the dataset a follower reads, through frame::read_frames
// with what the follower keeps between its reads; of an acquisition over
// several files, source by source. The block ends early, and `ended_early`
// says so, where a chunk has no storage yet while the writer still has the
// file open: those frames are not there yet.
py::object read_rows(py::handle follower, py::handle data, py::handle extent, py::handle start,
                     py::handle stop, bool& ended_early) {
  if (frame::is_acquisition(data))
    return frame::read_acquisition(h5py, numpy, data, start, stop,
                                   frame::Unwritten::wait_for_writer, &ended_early);
  py::object kept = frame::attr_if_present(follower, frame_reads);
  PyObject* before = kept.ptr();
  py::object block = frame::read_frames(h5py, numpy, kept, data, extent, start, stop,
                                        frame::Unwritten::wait_for_writer, &ended_early);
  if (kept.ptr() != before) follower.attr(frame_reads) = kept;
  return block;
}

// Closes a follower's file, then the files of the acquisition it follows.
void close_files(py::handle self, py::handle file) {
  frame::call_method(file, close);
  py::object data = frame::attr_if_present(self, dset);
  if (data && frame::is_acquisition(data)) frame::call_method(data, close);
}

// `stop_event.is_set() == False`: the event still lets the wait go on.
bool not_stopped(py::handle stop_event) {
  return frame::equal(frame::call_method(stop_event, is_set), Py_False);
}

// value as an int: anything with __index__ is one (numpy integers too). Any
// other value fails at once rather than in a wait that never ends.
py::object integer_argument(const char* what, py::handle value) {
  if (!PyIndex_Check(value.ptr()))
    throw py::type_error(std::string(what) + " must be an integer, got " + frame::repr(value));
  return frame::steal(PyNumber_Index(value.ptr()));
}

// A count of frames per hand-out: zero would hand out nothing (and loop for
// ever where a caller reads to the end), fewer would move back over frames
// already handed out.
py::object positive_frames(const char* what, py::handle value) {
  py::object count = integer_argument(what, value);
  if (!(count > zero))
    throw py::value_error(std::string(what) + " must be a positive number of frames, got " +
                          frame::repr(value));
  return count;
}

// Frames in the next hand-out from `position`: `wanted`, or the remainder up
// to `end`; None once `position` has reached `end`.
py::object clipped_length(py::handle position, py::handle end, py::handle wanted) {
  if (position + wanted < end) return py::reinterpret_borrow<py::object>(wanted);
  if (position < end) return end - position;
  return py::none();
}

// numpy's elementwise a == b (pybind11's == would reduce it to one bool).
py::object elementwise_equal(py::handle a, py::handle b) {
  return frame::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
}

// class SWMRCount:

const char* const SWMRCount_doc = R"(
    For one h5 file,Read the file continuously and determine if it is finished based on whether the number of data read reaches the total number.
    )";

py::object SWMRCount_init(py::handle self, py::handle filename_, py::handle datasetname_,
                          py::handle /*dim: only for the layout of file entries*/,
                          py::handle total_count_) {
  check_path("filename", filename_);
  self.attr(filename) = filename_;
  self.attr(datasetname) = datasetname_;
  wait_for_file(self.attr(filename), count_file_not_found, count_file_found);
  open_dataset(self, filename, count_waiting_for_swmr);
  self.attr(index) = zero;
  self.attr(total_count) = total_count_;
  return {};
}

py::object SWMRCount_fromlist(py::handle cls, py::handle params, py::handle total_count_) {
  py::object filename_ = frame::item(params, 0);
  py::object datasetname_ = frame::item(params, 1);
  py::object dim = frame::item(params, 2);
  return frame::call(cls, filename_, datasetname_, dim, total_count_);
}

py::object SWMRCount_frommap(py::handle cls, py::handle params) {
  py::object path_ = params[filepath];
  py::object datasetname_ = params[datasetname];
  py::object total_count_ = params[total_count];
  return frame::call_kw(cls, counter_by_name, path_, datasetname_, total_count_);
}

// Hands one line to logging.info or logging.debug. The text is rendered only
// when the root logger emits the level, since rendering a block costs far more
// than the hand-out itself; while the root logger has no handler the call is
// made anyway, for the basicConfig that it does then.
template <typename Render>
void log_hand_out(py::handle root, const frame::Name& level, const frame::Name& log,
                  Render render) {
  if (frame::is_true(frame::call_method(root, isEnabledFor, logging.attr(level))))
    frame::call_method(logging, log, render());
  else if (py::len(root.attr(handlers)) == 0)
    frame::call_method(logging, log, no_text);
}

// A hand-out line: the file, the dataset, the shape, the DEBUG line's time
// stamp and the block, into the line's format.
py::object hand_out_text(py::handle format, py::handle self, py::handle shape_, py::handle newdata,
                         py::handle time_stamp = {}) {
  py::list fields;
  fields.append(self.attr(filename));
  fields.append(self.attr(dset).attr(name));
  fields.append(py::str(shape_));
  if (time_stamp) fields.append(time_stamp);
  fields.append(frame::call_method(numpy, array2string, newdata));
  return frame::steal(PyUnicode_Format(format.ptr(), py::tuple(fields).ptr()));
}

// dset[start:stop], one slice along axis 0: from a dataset of two or more axes
// h5py reads the same rows as dset[start:stop, :], faster, and a dataset of
// one axis (time stamps, positions, event lists) has no axis 1 to select.
// Anything without a shape keeps the two-axis index. `self` is the counter,
// which keeps what its reads need between hand-outs. A hand-out comes right
// after the poll's refresh.
py::object rows_of(py::handle self, py::handle data, py::handle start, py::handle stop,
                   bool& ended_early) {
  py::slice rows(start, stop, py::none());
  py::object dims = frame::attr_if_present(data, shape);
  Py_ssize_t axes = dims ? PyObject_Size(dims.ptr()) : 0;
  if (axes < 0) {
    // A shape without a length, like no shape at all, means: use the slice pair.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
  }
  if (axes >= 1) return read_rows(self, data, dims, start, stop, ended_early);
  return data[py::make_tuple(rows, py::slice())];
}

py::object SWMRCount_modify(py::handle self, py::handle dset_, py::handle shape_) {
  py::object shape0 = frame::item(shape_, 0);
  py::object start = self.attr(index);
  if (!(start < shape0)) return py::none();
  bool ended_early = false;
  py::object newdata = frame::read_explained(
      dset_, [&] { return rows_of(self, dset_, start, shape0, ended_early); });
  // Frames whose chunks the writer has not stored yet come in a later hand-out.
  py::object end = shape0;
  if (ended_early) {
    if (py::len(newdata) == 0) return py::none();
    end = start + frame::integer(py::len(newdata));
  }
  py::object root = frame::call_method(logging, getLogger);
  log_hand_out(root, INFO, info, [&] { return hand_out_text(info_format, self, shape_, newdata); });
  log_hand_out(root, DEBUG, debug, [&] {
    py::object clock = datetime.attr(datetime_type);
    py::object utc_zone = datetime.attr(timezone).attr(utc);
    py::object utc_now = frame::call_method(clock, now, utc_zone);
    py::object time_stamp = frame::call_method(utc_now, strftime, time_of_day);
    return hand_out_text(debug_format, self, shape_, newdata, time_stamp);
  });
  // Moved only once the block is logged, so that a failing log call loses no
  // frames: the next call hands them out again.
  self.attr(index) = end;
  return newdata;
}

// self.index < self.<end>, read in that order.
bool short_of(py::handle self, const frame::Name& end_field) {
  py::object position = self.attr(index);
  py::object end = self.attr(end_field);
  return position < end;
}

// One pass of the busy wait: the frames that arrived since the last hand-out,
// or None.
py::object poll_new_frames(py::handle self) {
  frame::check_signals();
  py::object data = self.attr(dset);
  py::object extent = frame::read_explained(data, [&] {
    frame::call_method(data, refresh);
    return py::object(data.attr(shape));
  });
  return frame::call_method(self, modify, data, extent);
}

py::object SWMRCount_recv(py::handle self) {
  if (!short_of(self, total_count)) return py::none();
  while (true) {
    py::object newdata = poll_new_frames(self);
    if (!newdata.is_none()) return newdata;
  }
}

py::object SWMRCount_recv_event(py::handle self, py::handle stop_event) {
  if (!short_of(self, total_count)) return py::none();
  while (not_stopped(stop_event)) {
    py::object newdata = poll_new_frames(self);
    if (!newdata.is_none()) return newdata;
  }
  return py::none();
}

py::object SWMRCount_close(py::handle self) {
  close_files(self, self.attr(f));
  return {};
}

py::object SWMRCount_del(py::handle self) {
  try {
    py::object file = self.attr(f);
    if (!file.is_none()) close_files(self, file);
  } catch (py::error_already_set&) {
    // A finaliser has no caller to tell; a counter whose open failed has no f.
  }
  return {};
}

// class SWMRCountMulti:

const char* const SWMRCountMulti_doc = R"(
    For multi h5 file, read dsets
    )";

const char* const SWMRCountMulti_recv_doc = R"(
        read all len data from every dsets
        :param size:
        :return:
        )";

py::object SWMRCountMulti_init(py::handle self, py::handle files, py::handle total_count_) {
  self.attr(swmrcounts) = py::list();
  self.attr(buffers) = frame::call(Buffers);
  self.attr(index) = zero;
  self.attr(total_count) = total_count_;
  for (py::handle entry : files) {
    py::object add_counter = py::object(self.attr(swmrcounts)).attr(append);
    frame::call(add_counter, frame::call_method(SWMRCount, fromlist, entry, total_count_));
    py::object add_buffer = py::object(self.attr(buffers)).attr(appendNewBuffer);
    py::object buffer_shape = frame::item(entry, 3);
    py::object buffer_dtype = frame::item(entry, 4);
    frame::call(add_buffer, buffer_shape, buffer_dtype);
  }
  return {};
}

// Refreshes the dataset; whether its frame 0 has been written and holds a
// value other than zero.
bool first_frame_nonzero(py::handle data) {
  py::object first = frame::read_explained(data, [&]() -> py::object {
    frame::call_method(data, refresh);
    if (!(zero < frame::item(data.attr(shape), 0))) return py::none();
    return frame::item(data, 0);
  });
  if (first.is_none()) return false;
  return frame::equal(frame::call_method(np, all, elementwise_equal(first, zero)), Py_False);
}

py::object SWMRCountMulti_waitFirstDataNotZero(py::handle self, py::handle stop_event) {
  for (py::handle counter : self.attr(swmrcounts)) {
    py::object data = counter.attr(dset);
    while (not_stopped(stop_event)) {
      frame::check_signals();
      if (first_frame_nonzero(data)) break;
    }
  }
  return {};
}

// One pass over the files: whatever each counter delivers goes into its file's
// buffer. A block that its buffer refuses is given back to the counter, so
// that it is neither lost nor skipped.
void gather_pass(py::handle self, py::handle stop_event) {
  py::object stores = self.attr(buffers).attr(buffers);
  Py_ssize_t position = 0;
  for (py::handle counter : self.attr(swmrcounts)) {
    py::object before = counter.attr(index);
    py::object data = stop_event ? frame::call_method(counter, recv_event, stop_event)
                                 : frame::call_method(counter, recv);
    if (!data.is_none()) {
      try {
        frame::call_method(frame::item(stores, position), appendData, data);
      } catch (py::error_already_set&) {
        counter.attr(index) = before;
        throw;
      }
    }
    ++position;
  }
}

// The next lock-step batch, gathered until every buffer holds it; without a
// stop_event (recv) the wait cannot be ended early.
py::object receive_batch(py::handle self, py::handle stop_event, py::handle remainlen) {
  print(worker_recv);
  py::object wanted = positive_frames("remainlen", remainlen);
  py::object position = self.attr(index);
  py::object end = self.attr(total_count);
  py::object length = clipped_length(position, end, wanted);
  if (length.is_none()) return length;
  py::object stores = self.attr(buffers);
  while (frame::equal(frame::call_method(stores, all_reached, length), Py_False)) {
    // Stopped early: the frames gathered so far wait in the buffers for the
    // next call, rather than handing out rows that have not arrived.
    if (stop_event && !not_stopped(stop_event)) return py::none();
    frame::check_signals();
    gather_pass(self, stop_event);
  }
  py::object batch = frame::call_method(stores, getDatas, length);
  self.attr(index) = py::object(self.attr(index)) + length;
  return batch;
}

py::object SWMRCountMulti_recv(py::handle self, py::handle remainlen) {
  return receive_batch(self, py::handle(), remainlen);
}

py::object SWMRCountMulti_recv_event(py::handle self, py::handle stop_event, py::handle remainlen) {
  return receive_batch(self, stop_event, remainlen);
}

py::object SWMRCountMulti_close(py::handle self) {
  for (py::handle counter : self.attr(swmrcounts)) frame::call_method(counter, close);
  return {};
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
  // Checked before the wait: a bad count would otherwise fail (or wait for
  // ever) only once the file is there.
  if (integer_argument("start_frame", start_frame_) < zero)
    throw py::value_error("start_frame must not be negative, got " + frame::repr(start_frame_));
  integer_argument("total_frames", total_frames_);
  positive_frames("batch_size", batch_size_);
  check_path("filepath", filepath_);
  self.attr(filepath) = filepath_;
  self.attr(datasetname) = datasetname_;
  self.attr(start_frame) = start_frame_;
  self.attr(total_frames) = total_frames_;
  self.attr(batch_size) = batch_size_;
  self.attr(queue) = frame::call(Queue);
  self.attr(index) = start_frame_;
  wait_for_file(self.attr(filepath), file_not_found, file_found);
  open_dataset(self, filepath, waiting_for_swmr);
  return {};
}

// Frames in the next block: batch_size, the remainder up to total_frames, or
// None once the read position has reached total_frames.
py::object block_length(py::handle self) {
  py::object position = self.attr(index);
  // Set since the constructor checked it, a count that is not positive would
  // hand out nothing for ever, or move back over frames handed out.
  py::object wanted = positive_frames("batch_size", self.attr(batch_size));
  py::object end = self.attr(total_frames);
  return clipped_length(position, end, wanted);
}

// The block [index, index + length) once it is all there, else None. The
// dataset is refreshed only when the length seen at the last refresh falls
// short of the block's end: frames once seen stay, so a reader that is behind
// the writer reads its backlog without the cost of a refresh per block.
py::object poll_block(py::handle self, py::handle length) {
  py::object data = self.attr(dset);
  py::object start = self.attr(index);
  py::object end = start + length;
  py::object chunk = frame::read_explained(data, [&]() -> py::object {
    py::object extent = data.attr(shape);
    if (frame::item(extent, 0) < end) {
      frame::call_method(data, refresh);
      extent = data.attr(shape);
      if (frame::item(extent, 0) < end) return py::none();
    }
    bool ended_early = false;
    py::object block = read_rows(self, data, extent, start, end, ended_early);
    if (ended_early) {
      // A chunk without storage yet: HDF5 sees it once the writer has
      // stored it and the dataset is refreshed.
      frame::call_method(data, refresh);
      return py::none();
    }
    return block;
  });
  if (!chunk.is_none()) self.attr(index) = end;
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
  while (short_of(self, total_frames)) {
    py::object chunk = frame::call_method(self, read_chunk);
    if (chunk.is_none()) continue;
    frame::call_method(self.attr(queue), put, chunk);
    print("Appended chunk of shape " + frame::text(chunk.attr(shape)) + " to cache");
  }
  return {};
}

py::object SWMRReader_close(py::handle self) {
  close_files(self, self.attr(f));
  return {};
}

py::object SWMRReader_del(py::handle self) {
  try {
    py::object file = self.attr(f);
    if (!file.is_none()) close_files(self, file);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    print("Error in __del__: " + frame::text(e.value()));
  }
  return {};
}

// class SWMRReaderMulti:

const char* const SWMRReaderMulti_doc = R"(
    Follow several HDF5 files in lock-step, one SWMRReader per file.

    :param files: list of entries, one per file, each made of the HDF5 file
        path, the dataset path, the index of the first frame, the total number
        of frames and the number of frames per block
    )";

const char* const SWMRReaderMulti_read_doc = R"(
        Read one block from each file, append it to the result list, and return
        that list if every file had a new block.
        )";

py::object SWMRReaderMulti_init(py::handle self, py::handle files) {
  py::list built;
  for (py::handle entry : files) {
    py::object arguments = frame::steal(PySequence_Tuple(entry.ptr()));
    built.append(SWMRReader.get()(*arguments));
  }
  self.attr(readers) = built;
  return {};
}

// One block from every reader in turn; the list when all of them delivered,
// else None. A reader that a stop_event (or an error) cut short makes the
// readers that already delivered step back, so the files stay in step and the
// next call returns those frames again.
py::object read_in_step(py::handle self, py::handle stop_event) {
  py::object all_readers = self.attr(readers);
  py::list result;
  std::vector<std::pair<py::object, py::object>> delivered;  // reader, index before
  auto step_back = [&] {
    for (auto& [reader, before] : delivered) reader.attr(index) = before;
  };
  bool stopped = false;
  try {
    for (py::handle reader : all_readers) {
      py::object before = reader.attr(index);
      py::object chunk = stop_event ? frame::call_method(reader, read_chunk_event, stop_event)
                                    : frame::call_method(reader, read_chunk);
      if (!chunk.is_none()) {
        result.append(chunk);
        delivered.emplace_back(py::reinterpret_borrow<py::object>(reader), before);
      } else if (stop_event && !block_length(reader).is_none()) {
        stopped = true;
      }
    }
  } catch (py::error_already_set&) {
    step_back();
    throw;
  }
  if (stopped) step_back();
  if (py::len(result) == py::len(all_readers)) return std::move(result);
  if (py::len(result) != 0) print(not_all_readers);
  return py::none();
}

py::object SWMRReaderMulti_read_chunks(py::handle self) { return read_in_step(self, {}); }

py::object SWMRReaderMulti_read_chunks_event(py::handle self, py::handle stop_event) {
  return read_in_step(self, stop_event);
}

py::object SWMRReaderMulti_close(py::handle self) {
  for (py::handle reader : self.attr(readers)) frame::call_method(reader, close);
  return {};
}

py::object SWMRReaderMulti_del(py::handle self) {
  frame::call_method(self, close);
  return {};
}

// with, for and repr.

// "live.h5:/entry/data": the file and dataset a follower reads.
py::object source_text(py::handle follower, const frame::Name& path_name) {
  return frame::format("%U:%U", frame::shown(follower, path_name),
                       frame::shown(follower, datasetname));
}

// "live.h5:/entry/data frame 10 of 25": the source and the read position.
py::object position_text(py::handle follower, const frame::Name& path_name,
                         const frame::Name& end_name) {
  return frame::format("%U frame %U of %U", source_text(follower, path_name),
                       frame::shown(follower, index), frame::shown(follower, end_name));
}

// The state of a follower's file between lead and tail ("closed", "not
// open"); nothing while the file is open.
py::object file_note(py::handle follower, const char* lead, const char* tail) {
  const char* state = frame::file_state(follower, f);
  if (std::strcmp(state, "open") == 0) return py::str("");
  return frame::format("%s%s%s", lead, state, tail);
}

// "2 files: a.h5:..., b.h5:...": a multi-file object's followers, each as
// `entry` shows it; of many, the first few and how many more there are.
py::object followers_text(py::handle self, const frame::Name& list_name,
                          py::object (*entry)(py::handle)) {
  constexpr Py_ssize_t listed_at_most = 4;
  return frame::or_unknown([&]() -> py::object {
    py::object followers = frame::attr_if_present(self, list_name);
    // The constructor failed before the first file.
    if (!followers) return py::str("not open");
    Py_ssize_t count = py::len(followers);
    if (count == 0) return py::str("no files");
    Py_ssize_t to_list = count > listed_at_most ? listed_at_most - 1 : count, listed = 0;
    py::list entries;
    for (py::handle follower : followers) {
      if (listed == to_list) break;
      entries.append(entry(follower));
      ++listed;
    }
    if (count > listed) entries.append(frame::format("and %zd more", count - listed));
    return frame::format("%zd file%s: %U", count, count == 1 ? "" : "s",
                         frame::steal(PyUnicode_Join(py::str(", ").ptr(), entries.ptr())));
  });
}

// <SWMRCount live.h5:/entry/data frame 7 of 10>
py::object describe_counter(py::handle self) {
  return frame::format("<%U %U%U>", frame::type_name(self),
                       position_text(self, filename, total_count), file_note(self, ", ", ""));
}

py::object counter_entry(py::handle counter) {
  return frame::format("%U%U", source_text(counter, filename), file_note(counter, " (", ")"));
}

// <SWMRCountMulti frame 4 of 10, 2 files: a.h5:/entry/data, b.h5:/entry/data>
py::object describe_receiver(py::handle self) {
  return frame::format("<%U frame %U of %U, %U>", frame::type_name(self), frame::shown(self, index),
                       frame::shown(self, total_count),
                       followers_text(self, swmrcounts, counter_entry));
}

// <SWMRReader live.h5:/entry/data frame 10 of 25, blocks of 10>
py::object describe_reader(py::handle self) {
  return frame::format("<%U %U, blocks of %U%U>", frame::type_name(self),
                       position_text(self, filepath, total_frames), frame::shown(self, batch_size),
                       file_note(self, ", ", ""));
}

py::object reader_entry(py::handle reader) {
  return frame::format("%U%U", position_text(reader, filepath, total_frames),
                       file_note(reader, " (", ")"));
}

// <SWMRReaderMulti 2 files: a.h5:/entry/data frame 4 of 8, b.h5:/entry/data frame 4 of 4>
py::object describe_multi_reader(py::handle self) {
  return frame::format("<%U %U>", frame::type_name(self),
                       followers_text(self, readers, reader_entry));
}

// _decode_chunks(dset, stored, threads): for benchmarks, the decode of a
// follower alone.
py::object decode_chunks(py::handle dset_, py::handle stored, py::handle threads) {
  py::object count = integer_argument("threads", threads);
  if (!(count > zero) || count > frame::integer(1024))
    throw py::value_error("threads must be from 1 to 1024, got " + frame::repr(threads));
  return frame::decode_stored(h5py, numpy, dset_, stored, py::cast<size_t>(count));
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

  m.define(frame::def<decode_chunks>("_decode_chunks", {"dset", "stored", "threads"})
               .doc("The stored chunks of dset, each (filter mask, bytes) as "
                    "dset.id.read_direct_chunk gives it,\ndecoded into one block on `threads` "
                    "threads as the followers decode them."));
  m.define_class("SWMRCount", SWMRCount_doc,
                 {
                     frame::def<SWMRCount_init>(
                         "__init__", {"self", "filename", "datasetname", "dim", "total_count"})
                         .defaults({entry_data, three, ten}),
                     frame::def<SWMRCount_fromlist>("fromlist", {"cls", "params", "total_count"})
                         .classmethod(),
                     frame::def<SWMRCount_frommap>("frommap", {"cls", "**params"}).classmethod(),
                     frame::def<SWMRCount_modify>("modify", {"self", "dset", "shape"}),
                     frame::def<SWMRCount_recv>("recv", {"self"})
                         .doc("\n        get update data until the total_count is reached\n"
                              "        :return:\n        "),
                     frame::def<SWMRCount_recv_event>("recv_event", {"self", "stop_event"})
                         .doc("\n        return the newly produced data as soon as any is produced;"
                              " a set stop_event ends the wait\n        :return:\n        "),
                     frame::def<SWMRCount_close>("close", {"self"}),
                     frame::def<SWMRCount_del>("__del__", {"self"}),
                     frame::def<frame::enter_self>("__enter__", {"self"}),
                     frame::def<frame::exit_closing>(
                         "__exit__", {"self", "exc_type", "exc_value", "traceback"}),
                     frame::def<frame::iterate<recv>>("__iter__", {"self"})
                         .doc("The blocks recv returns, until it returns None."),
                     frame::def<frame::guarded_repr<describe_counter>>("__repr__", {"self"}),
                 });
  m.define_class(
      "SWMRCountMulti", SWMRCountMulti_doc,
      {
          frame::def<SWMRCountMulti_init>("__init__", {"self", "files", "total_count"})
              .defaults({ten}),
          frame::def<SWMRCountMulti_waitFirstDataNotZero>("waitFirstDataNotZero",
                                                          {"self", "stop_event"}),
          frame::def<SWMRCountMulti_recv>("recv", {"self", "remainlen"})
              .defaults({one})
              .doc(SWMRCountMulti_recv_doc),
          frame::def<SWMRCountMulti_recv_event>("recv_event", {"self", "stop_event", "remainlen"})
              .defaults({one})
              .doc(SWMRCountMulti_recv_doc),
          frame::def<SWMRCountMulti_close>("close", {"self"}),
          frame::def<frame::enter_self>("__enter__", {"self"}),
          frame::def<frame::exit_closing>("__exit__",
                                          {"self", "exc_type", "exc_value", "traceback"}),
          frame::def<frame::iterate<recv>>("__iter__", {"self"})
              .doc("The batches recv() returns, until it returns None."),
          frame::def<frame::guarded_repr<describe_receiver>>("__repr__", {"self"}),
      });
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
          frame::def<frame::enter_self>("__enter__", {"self"}),
          frame::def<frame::exit_closing>("__exit__",
                                          {"self", "exc_type", "exc_value", "traceback"}),
          frame::def<frame::iterate<read_chunk>>("__iter__", {"self"})
              .doc("The blocks read_chunk returns, until it returns None."),
          frame::def<frame::guarded_repr<describe_reader>>("__repr__", {"self"}),
      });
  m.define_class(
      "SWMRReaderMulti", SWMRReaderMulti_doc,
      {
          frame::def<SWMRReaderMulti_init>("__init__", {"self", "files"}),
          frame::def<SWMRReaderMulti_read_chunks>("read_chunks", {"self"})
              .doc(SWMRReaderMulti_read_doc),
          frame::def<SWMRReaderMulti_read_chunks_event>("read_chunks_event", {"self", "stop_event"})
              .doc(SWMRReaderMulti_read_doc),
          frame::def<SWMRReaderMulti_close>("close", {"self"})
              .doc("\n        Close all the HDF5 files.\n        "),
          frame::def<SWMRReaderMulti_del>("__del__", {"self"}),
          frame::def<frame::enter_self>("__enter__", {"self"}),
          frame::def<frame::exit_closing>("__exit__",
                                          {"self", "exc_type", "exc_value", "traceback"}),
          frame::def<frame::iterate<read_chunks>>("__iter__", {"self"})
              .doc("The lists read_chunks returns, until it returns None."),
          frame::def<frame::guarded_repr<describe_multi_reader>>("__repr__", {"self"}),
      });
}

}  // namespace

FRAME_MODULE(tailread, "hdf5_kel.swmr.library.tailread", "hdf5_kel/swmr/library/tailread", body)
