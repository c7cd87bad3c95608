"""Follow HDF5 files that another process is still writing in SWMR mode."""

import importlib.machinery
import os

# The one place the version is written: the build reads it from here.
__version__ = "0.1.0"


def _built_beside(directory, module):
    return any(
        os.path.exists(os.path.join(directory, module + suffix))
        for suffix in importlib.machinery.EXTENSION_SUFFIXES
    )


_here = os.path.dirname(os.path.abspath(__file__))
if not _built_beside(_here, "filekit"):
    raise ImportError(
        f"hdf5_kel in {_here} is a source tree without its compiled modules: install the"
        " package (pip install .) and run it from anywhere but src/, or build it in place"
        " with scripts/build-inplace"
    )
