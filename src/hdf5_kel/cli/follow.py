"""Following a growing dataset, as `watch` and `view` do it."""

import os
import time


def seconds_since_flush(path):
    """How long ago the file was last written, the writer's last flush; None if unknown."""
    try:
        return max(time.time() - os.stat(path).st_mtime, 0.0)
    except OSError:
        return None


def frames_waiting(reader):
    """Frames present beyond the reader's position (0 when that cannot be read)."""
    try:
        reader.dset.refresh()
        return max(reader.dset.shape[0] - reader.index, 0)
    except (OSError, RuntimeError, ValueError):
        return 0
