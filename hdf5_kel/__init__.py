"""Follow HDF5 files that another process is still writing in SWMR mode."""
