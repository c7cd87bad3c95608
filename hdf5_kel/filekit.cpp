// filekit: writing HDF5 datasets and comparing them across files.
#include "frame.hpp"

namespace {

void body(frame::Body&) {}

}  // namespace

FRAME_MODULE(filekit, "hdf5_kel.filekit", "hdf5_kel/filekit", body)
