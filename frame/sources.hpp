// Datasets made of several files (a virtual dataset over growing sources, a
// group of links to data files), as the followers read them. Which frame lies
// in which source is hdf5_kel.sources' to say; this reads the rows it names.
#pragma once

#include "frame.hpp"
#include "hdf5.hpp"

namespace frame {

// Whether `data` is an hdf5_kel.sources.Acquisition, which a follower reads
// source by source rather than as one dataset.
bool is_acquisition(py::handle data);

// Frames [start, stop) of an acquisition, as one block of its element type:
// the rows of each source read with read_frames (what each source's layout
// allows is kept in the acquisition's `kept`, one entry per source), a read's
// error explained for the source that failed. Where a source's rows end early
// (`unwritten`, as read_frames has it), the block ends at the first frame
// missing, and `ended_early` (where given) says so.
py::object read_acquisition(py::handle h5py, py::handle numpy, py::handle acquisition,
                            py::handle start, py::handle stop,
                            Unwritten unwritten = Unwritten::fill_value,
                            bool* ended_early = nullptr);

}  // namespace frame
