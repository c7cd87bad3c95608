"""The extension modules framepool, tailread and feedgen."""

import sys

from . import framepool

# tailread star-imports the frame buffers by their bare name.
sys.modules.setdefault("framepool", framepool)
