// HDF5 reads shared by the followers and the comparisons.
#include "hdf5.hpp"

#include <memory>
#include <optional>

#include "decode.hpp"
#include "workers.hpp"

namespace frame {

namespace {
const Name File{"File"}, Dataset{"Dataset"}, chunks{"chunks"}, id{"id"}, dtype{"dtype"},
    itemsize{"itemsize"}, get_create_plist{"get_create_plist"}, get_nfilters{"get_nfilters"},
    get_filter{"get_filter"}, kind{"kind"}, metadata{"metadata"}, h5t{"h5t"},
    py_create{"py_create"}, get_type{"get_type"}, same_type{"equal"}, version{"version"},
    version_tuple{"version_tuple"}, read_direct_chunk{"read_direct_chunk"},
    get_chunk_info_by_coord{"get_chunk_info_by_coord"}, byte_offset{"byte_offset"}, empty{"empty"},
    view{"view"}, uint8{"uint8"}, name{"name"}, file{"file"}, filename{"filename"},
    follow{"hdf5_kel.follow"}, writer_has_file_open{"writer_has_file_open"}, h5z{"h5z"},
    filter_avail{"filter_avail"}, refresh{"refresh"};
const Constant read_only{"r"}, latest{"latest"}, zero{0L};
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
  // How stored chunks are decoded; none where they are stored as they are.
  std::optional<ChunkDecoder> decoder;
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

// The filters of a dataset's pipeline, in the order its writer applied them;
// none where HDF5 itself lacks one of them (its plugin is not loaded), so that
// the frames read as h5py reads them, with h5py's error naming the filter.
std::optional<std::vector<Filter>> pipeline_of(py::handle h5py, py::handle create_plist,
                                               Py_ssize_t count) {
  std::vector<Filter> pipeline;
  for (Py_ssize_t i = 0; i < count; ++i) {
    py::object described = call_method(create_plist, get_filter, integer(i));
    if (!is_true(call(h5py.attr(h5z).attr(filter_avail), item(described, 0)))) return std::nullopt;
    Filter filter;
    filter.id = PyLong_AsUnsignedLong(item(described, 0).ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
    for (py::handle value : item(described, 2)) {
      filter.options.push_back(PyLong_AsUnsignedLong(value.ptr()));
      if (PyErr_Occurred()) throw py::error_already_set();
    }
    pipeline.push_back(std::move(filter));
  }
  return pipeline;
}

// Chunks are read straight into a block where their stored bytes, once
// decoded, are the array's bytes: filters this package decodes (or none), a
// file type that is the numpy type itself, and chunks that cover a frame
// along every axis after the first (which the extent of each read confirms,
// since a writer may widen a frame).
FrameReads layout_of(py::handle h5py, py::handle data) {
  FrameReads reads;
  reads.dataset = steal(PyWeakref_NewRef(data.ptr(), nullptr));
  reads.dtype = data.attr(dtype);
  // Before h5py 3.9 h5py reads every block: it cannot read a chunk into a
  // buffer, and it crashes when other threads call it while one decodes
  // without the interpreter's lock (seen with h5py 3.6).
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
  py::object create_plist = call_method(handle, get_create_plist);
  Py_ssize_t filters = PyLong_AsSsize_t(call_method(create_plist, get_nfilters).ptr());
  if (filters < 0) throw py::error_already_set();
  if (filters > 0) {
    auto pipeline = pipeline_of(h5py, create_plist, filters);
    if (!pipeline) return reads;
    reads.decoder = ChunkDecoder::of(std::move(*pipeline), chunk_bytes);
    if (!reads.decoder) return reads;
  }
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

// The writable bytes of an array of ours, held for as long as the object lives.
class ArrayBytes {
 public:
  explicit ArrayBytes(py::handle numpy, py::handle array) {
    py::object octets = call_method(array, view, numpy.attr(uint8));
    if (PyObject_GetBuffer(octets.ptr(), &buffer_, PyBUF_WRITABLE) < 0)
      throw py::error_already_set();
  }
  ~ArrayBytes() { PyBuffer_Release(&buffer_); }
  ArrayBytes(const ArrayBytes&) = delete;
  ArrayBytes& operator=(const ArrayBytes&) = delete;
  uint8_t* at(Py_ssize_t offset) const { return static_cast<uint8_t*>(buffer_.buf) + offset; }

 private:
  Py_buffer buffer_{};
};

// A chunk read as stored, waiting to be decoded into its place in the block.
struct StoredChunk {
  py::object bytes;  // holds `stored` alive
  const uint8_t* stored = nullptr;
  size_t size = 0;
  unsigned skipped = 0;  // the chunk's filter mask
  Py_ssize_t row = 0;
  uint8_t* out = nullptr;
};

// Whether HDF5 has storage for the chunk at `offsets`; true where this h5py or
// HDF5 cannot say.
bool has_storage(py::handle handle, py::handle offsets) {
  py::object chunk_info = attr_if_present(handle, get_chunk_info_by_coord);
  if (!chunk_info) return true;
  return !call(chunk_info, offsets).attr(byte_offset).is_none();
}

// "frame 7", "frames 8 to 15".
std::string frames_text(Py_ssize_t first, Py_ssize_t last) {
  if (last - first == 1) return "frame " + std::to_string(first);
  return "frames " + std::to_string(first) + " to " + std::to_string(last - 1);
}

// "/entry/data in live.h5"
std::string dataset_text(py::handle data) {
  return text(data.attr(name)) + " in " + text(data.attr(file).attr(filename));
}

// Whether the writer of the dataset's file still has it open, as the file's
// superblock says: a chunk without storage may then be one it is still writing.
bool writer_still_writing(py::handle data) {
  py::object path = data.attr(file).attr(filename);
  return call_method(import(follow), writer_has_file_open, path).ptr() == Py_True;
}

// Frames of chunks never written, handed out as their fill value; `ranges`
// in order, [from, to) each.
void warn_never_written(py::handle data,
                        const std::vector<std::pair<Py_ssize_t, Py_ssize_t>>& ranges) {
  std::string listed;
  for (size_t i = 0; i < ranges.size(); ++i) {
    auto [from, to] = ranges[i];
    while (i + 1 < ranges.size() && ranges[i + 1].first == to) to = ranges[++i].second;
    listed += (listed.empty() ? "" : ", ") + frames_text(from, to);
  }
  std::string message =
      listed + " of " + dataset_text(data) + " never written: handed out as the fill value";
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

// Decodes the chunks read as stored into their places in the block, on
// `threads` threads, with the interpreter's lock released.
void decode_chunks(py::handle data, const FrameReads& reads, const std::vector<StoredChunk>& read,
                   size_t threads) {
  if (read.empty()) return;
  std::vector<DecodeError> errors(read.size());
  std::unique_ptr<bool[]> failed(new bool[read.size()]());
  const ChunkDecoder& decoder = *reads.decoder;
  run_released(read.size(), threads, [&](size_t i) {
    const StoredChunk& chunk = read[i];
    failed[i] = !decoder.decode(chunk.stored, chunk.size, chunk.skipped, chunk.out, errors[i]);
  });
  for (size_t i = 0; i < read.size(); ++i) {
    if (!failed[i]) continue;
    std::string message =
        dataset_text(data) + ", " + frames_text(read[i].row, read[i].row + reads.chunk_rows) +
        ": " + errors[i].filter + " cannot decode the stored chunk (" + errors[i].reason + ")";
    throw py::value_error(message);
  }
}

// A chunk as DatasetID.read_direct_chunk gives it, (filter mask, bytes),
// that starts at `row` and decodes into `out`.
StoredChunk stored_chunk(py::handle got, Py_ssize_t row, uint8_t* out) {
  StoredChunk chunk;
  chunk.bytes = item(got, 1);
  char* stored = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(chunk.bytes.ptr(), &stored, &size) < 0) throw py::error_already_set();
  chunk.skipped = PyLong_AsUnsignedLong(item(got, 0).ptr());
  if (PyErr_Occurred()) throw py::error_already_set();
  chunk.stored = reinterpret_cast<const uint8_t*>(stored);
  chunk.size = size;
  chunk.row = row;
  chunk.out = out;
  return chunk;
}

// Reads the chunk that starts at `row` into the block: stored as it is,
// straight into its place; filtered, into `read` to be decoded. False where
// HDF5 gives no bytes or other than those of a whole chunk.
bool read_chunk(py::handle handle, const FrameReads& reads, py::handle offsets, Py_ssize_t row,
                uint8_t* out, std::vector<StoredChunk>& read) {
  try {
    if (!reads.decoder) {
      py::object target = steal(
          PyMemoryView_FromMemory(reinterpret_cast<char*>(out), reads.chunk_bytes, PyBUF_WRITE));
      py::object got = call_method(handle, read_direct_chunk, offsets, py::none(), target);
      Py_ssize_t bytes = PyObject_Size(item(got, 1).ptr());
      if (bytes < 0) throw py::error_already_set();
      return bytes == reads.chunk_bytes;
    }
    read.push_back(stored_chunk(call_method(handle, read_direct_chunk, offsets), row, out));
    return true;
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
                       py::handle extent, py::handle start, py::handle stop, Unwritten unwritten,
                       bool* ended_early) {
  if (ended_early) *ended_early = false;
  Py_ssize_t first = 0, last = 0;
  // Subclasses may read differently; numpy indexes select differently.
  if (Py_TYPE(data.ptr()) != reinterpret_cast<PyTypeObject*>(h5py.attr(Dataset).ptr()) ||
      !exact_index(start, first) || !exact_index(stop, last))
    return slice(data, start, stop);
  const FrameReads& reads = frame_reads(kept, h5py, data);
  py::tuple shape;
  bool wait = unwritten == Unwritten::wait_for_writer;
  if (reads.chunk_rows == 0 || !whole_frames(extent, reads.chunk, first, last, shape))
    return slice(data, start, stop);
  Py_ssize_t rows = reads.chunk_rows;
  Py_ssize_t axes = PyTuple_GET_SIZE(shape.ptr());
  py::object handle = data.attr(id);

  std::vector<std::pair<Py_ssize_t, Py_ssize_t>> never_written;
  // Whether the chunk at `row`, of which the block holds the frames up to
  // `to`, has no storage yet while its writer is still at work: the frames
  // from there on are not there yet.
  auto not_there_yet = [&](Py_ssize_t row, Py_ssize_t to) -> bool {
    py::object offsets = chunk_offsets(row, axes);
    if (!wait || has_storage(handle, offsets)) return false;
    if (writer_still_writing(data)) return true;
    // The writer may have stored the chunk, flushed and closed the file since
    // the look above; closing comes after its last flush, so a refresh now
    // sees every chunk it will ever store. One stored since is read next time.
    call_method(data, refresh);
    if (has_storage(handle, offsets)) return true;
    never_written.emplace_back(std::max(row, first), to);
    return false;
  };
  auto warned = [&](py::object frames) {
    if (!never_written.empty()) warn_never_written(data, never_written);
    return frames;
  };

  Py_ssize_t first_whole = first + (rows - first % rows) % rows, last_whole = last - last % rows;
  if (first_whole >= last_whole) {  // no chunk lies wholly inside the block
    for (Py_ssize_t row = first - first % rows; row < last; row += rows) {
      if (!not_there_yet(row, std::min(row + rows, last))) continue;
      if (ended_early) *ended_early = true;
      return slice(data, start, integer(std::max(row, first)));
    }
    return warned(slice(data, start, stop));
  }

  py::object block = call_method(numpy, empty, shape, reads.dtype);
  ArrayBytes bytes(numpy, block);
  std::vector<StoredChunk> read;
  auto frames_before = [&](Py_ssize_t row) {
    decode_chunks(data, reads, read, decode_threads());
    if (ended_early) *ended_early = true;
    return slice(block, zero, integer(row - first));
  };
  auto slice_into = [&](Py_ssize_t from, Py_ssize_t to) {
    assign_slice(block, integer(from - first), integer(to - first),
                 slice(data, integer(from), integer(to)));
  };
  if (first < first_whole) {
    if (not_there_yet(first_whole - rows, first_whole)) return frames_before(first);
    slice_into(first, first_whole);
  }
  for (Py_ssize_t row = first_whole; row < last_whole; row += rows) {
    uint8_t* out = bytes.at((row - first) * reads.frame_bytes);
    if (read_chunk(handle, reads, chunk_offsets(row, axes), row, out, read)) continue;
    if (not_there_yet(row, row + rows)) return frames_before(row);
    slice_into(row, row + rows);
  }
  if (last_whole < last) {
    if (not_there_yet(last_whole, last)) return frames_before(last_whole);
    slice_into(last_whole, last);
  }
  decode_chunks(data, reads, read, decode_threads());
  return warned(block);
}

py::object decode_stored(py::handle h5py, py::handle numpy, py::handle data, py::handle stored,
                         size_t threads) {
  FrameReads reads = layout_of(h5py, data);
  if (!reads.decoder)
    throw py::value_error(dataset_text(data) +
                          " has no chunks of whole frames that this "
                          "package decodes");
  Py_ssize_t chunks = py::len(stored);
  py::list shape;
  shape.append(integer(chunks * reads.chunk_rows));
  for (Py_ssize_t axis = 1; axis < PyTuple_GET_SIZE(reads.chunk.ptr()); ++axis)
    shape.append(PyTuple_GET_ITEM(reads.chunk.ptr(), axis));
  py::object block = call_method(numpy, empty, py::tuple(shape), reads.dtype);
  ArrayBytes bytes(numpy, block);
  std::vector<StoredChunk> read;
  for (Py_ssize_t i = 0; i < chunks; ++i)
    read.push_back(
        stored_chunk(item(stored, i), i * reads.chunk_rows, bytes.at(i * reads.chunk_bytes)));
  decode_chunks(data, reads, read, threads);
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
