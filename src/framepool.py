"""The frame buffers under their bare top-level name, the one tailread star-imports.

Importing this name gives the very module object of hdf5_kel.swmr.library.framepool.
"""

import sys

from hdf5_kel.swmr.library import framepool as _framepool

sys.modules[__name__] = _framepool
