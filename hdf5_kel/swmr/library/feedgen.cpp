// feedgen: test writers that grow SWMR files over time.
#include "frame.hpp"

namespace {

void body(frame::Body&) {}

}  // namespace

FRAME_MODULE(feedgen, "hdf5_kel.swmr.library.feedgen", "hdf5_kel/swmr/library/feedgen", body)
