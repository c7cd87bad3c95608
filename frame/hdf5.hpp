// HDF5 reads shared by the followers and the comparisons: the SWMR read
// handle, blocks of whole frames, and the notes that say why a read failed.
// They go through h5py, as every module's calls do, and change no setting of
// a file or dataset that another handle of it could see.
#pragma once

#include "frame.hpp"

namespace frame {

// The SWMR read handle every reader uses:
// h5py.File(path, "r", libver="latest", swmr=True).
py::object open_swmr(py::handle h5py, py::handle path);

// What a reader does with frames whose chunk has no storage (HDF5 gives the
// fill value for them): hand them out as h5py's slice does, or, for a
// follower, take them as not yet written while the writer still has the file
// open, and once it has closed it hand them out with a RuntimeWarning that
// names them.
enum class Unwritten { fill_value, wait_for_writer };

// data[start:stop], the same array, for a reader of whole frames. `extent`
// is data.shape as the caller last read it. Chunks that hold whole frames and
// lie inside the block are read as they are stored with HDF5's direct chunk
// read, which costs neither h5py's selection machinery (rebuilt after every
// refresh()) nor a copy through the chunk cache, and leaves that cache as it
// is: unfiltered ones straight into the block, compressed ones (the filters of
// decode.hpp) into memory, then decoded into the block on several threads
// with the interpreter's lock released. The rest of a block and every other
// dataset are read with h5py's slicing. A chunk that does not decode raises
// ValueError naming the dataset, its frames and the filter.
//
// With Unwritten::wait_for_writer the block may come out shorter: it then
// ends where the first chunk without storage begins, and `ended_early` (where
// given) says so.
//
// `kept` is where the caller keeps, between reads, what the dataset's layout
// allows (empty at first): it belongs to one reader, is made again when the
// reader is handed another dataset, and is never changed once made, so
// objects that share it stay independent.
py::object read_frames(py::handle h5py, py::handle numpy, py::object& kept, py::handle data,
                       py::handle extent, py::handle start, py::handle stop,
                       Unwritten unwritten = Unwritten::fill_value, bool* ended_early = nullptr);

// The chunks of `data` in `stored`, each as DatasetID.read_direct_chunk gives
// it, (filter mask, bytes), decoded one after another into a new block on
// `threads` threads, as read_frames decodes them: what decoding alone costs.
py::object decode_stored(py::handle h5py, py::handle numpy, py::handle data, py::handle stored,
                         size_t threads);

// Adds to a failed read of `dset` the note that says why it failed, where
// hdf5_kel.diagnose knows (a filter plugin this process has not loaded, the
// dataset held twice); the error keeps its type and message. Imported only
// once a read has failed; an explanation that fails itself is dropped.
void explain_read_error(const py::error_already_set& error, py::handle dset);

// read(), a read of `dset`, whose errors carry the note of explain_read_error.
template <typename Read>
py::object read_explained(py::handle dset, Read read) {
  try {
    return read();
  } catch (py::error_already_set& error) {
    explain_read_error(error, dset);
    throw;
  }
}

}  // namespace frame
