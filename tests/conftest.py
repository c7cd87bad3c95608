"""Shared helpers: writer processes, child Python processes, waiting."""

import os
import signal
import subprocess
import sys
import time
import traceback
from pathlib import Path

import h5py
import numpy as np
import pytest

import hdf5_kel

# A run started in the background inherits an ignored SIGINT, and every child
# would then ignore Ctrl-C too (an ignored signal survives exec). With a handler
# here, children start with the default again.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

DATASET = "/entry/data"
TESTS = Path(__file__).resolve().parent
WRITER = TESTS / "swmr_writer.py"
# The directory that holds the hdf5_kel under test (and the framepool alias), so
# that child processes import the very same build.
PACKAGE_ROOT = str(Path(hdf5_kel.__file__).resolve().parent.parent)


def child_env():
    env = dict(os.environ)
    # The package under test, and the tests' own helpers (child_files).
    env["PYTHONPATH"] = os.pathsep.join(
        [PACKAGE_ROOT, str(Path(__file__).resolve().parent)]
        + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    env["PYTHONUNBUFFERED"] = "1"
    return env


def start_writer(
    path,
    dataset,
    frames,
    *,
    per_append=1,
    delay=0.0,
    frame_shape=(4, 4),
    dtype="int32",
    start_delay=0.0,
    hold=0.0,
    pause_after=-1,
    resume_when="",
    ramp=False,
    chunk_frames=1,
    filter="none",
    swmr_when="",
    numbering=(0, 1),
):
    """Start tests/swmr_writer.py in its own process; frame i holds the value i.

    With pause_after, the writer stops after that many frames until the path
    resume_when exists. With ramp, element (a, b, ...) of frame i holds
    (i + a + b + ...) % 256. chunk_frames and filter set the storage layout:
    frames per chunk along axis 0, and a name of swmr_writer.FILTERS ("none",
    "gzip", "gzip-shuffle", or one of hdf5plugin's: "bitshuffle-lz4", "zstd",
    ...). With swmr_when, it holds the file locked, before SWMR mode, until
    that path exists. With numbering (FIRST, STEP), frame i holds FIRST + i *
    STEP instead of i.
    """
    cmd = [
        sys.executable,
        str(WRITER),
        str(path),
        dataset,
        str(frames),
        "--per-append",
        str(per_append),
        "--delay",
        str(delay),
        "--dtype",
        dtype,
        "--start-delay",
        str(start_delay),
        "--hold",
        str(hold),
        "--pause-after",
        str(pause_after),
        "--resume-when",
        str(resume_when),
        "--chunk-frames",
        str(chunk_frames),
        "--filter",
        filter,
        "--swmr-when",
        str(swmr_when),
        "--numbering",
        *map(str, numbering),
        "--frame-shape",
        *map(str, frame_shape),
        *(["--ramp"] if ramp else []),
    ]
    return subprocess.Popen(
        cmd,
        cwd=str(Path(path).parent),
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def start_python(code, cwd, *args):
    """Run Python source in a child process with the package under test importable."""
    return subprocess.Popen(
        [sys.executable, "-c", code, *map(str, args)],
        cwd=str(cwd),
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


FOLLOWER_TO_FILE = r"""
import sys

import numpy as np

try:
    import hdf5plugin  # noqa: F401 - the filters of compressed files
except ImportError:
    pass
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRReader

kind, path, frames, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
if kind == "SWMRReader":
    follower = SWMRReader(path, "/entry/data", 0, frames, 3)
else:
    follower = SWMRCount(path, "/entry/data", 3, frames)
with follower:
    np.save(out, np.concatenate(list(follower)))
"""


def start_follower(kind, path, frames):
    """Follow path's dataset to frame `frames` in a child process, with an
    SWMRReader (blocks of 3) or an SWMRCount; followed_frames(...) gives what it
    handed out once the child is finished."""
    return start_python(FOLLOWER_TO_FILE, Path(path).parent, kind, path, frames,
                        Path(path).parent / f"{kind}.npy")  # fmt: skip


def followed_frames(path, kind):
    return np.load(Path(path).parent / f"{kind}.npy")


def finish(proc, timeout=120):
    """Wait for a child process; fail with its output when it did not succeed."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"child process timed out\nstdout:\n{out}\nstderr:\n{err}")
    assert proc.returncode == 0, f"child failed ({proc.returncode})\n{out}\n{err}"
    return out


def wait_for(condition, timeout=60.0, interval=0.02, what="condition"):
    """Poll condition() until it is true; fail after a generous deadline."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(interval)
    pytest.fail(f"timed out waiting for {what}")


def wait_for_line(proc, prefix, timeout=60.0):
    """Read a child's stdout until a line starts with prefix; return that line."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        if line.startswith(prefix):
            return line
    pytest.fail(f"child never printed a line starting with {prefix!r}")


STEP_WRITER = r"""
import os
import sys

import h5py
import numpy as np

path, dataset, frame_shape = sys.argv[1], sys.argv[2], [int(n) for n in sys.argv[3:]]
with h5py.File(path + ".part", "w", libver="latest") as f:
    dset = f.create_dataset(dataset, [0, *frame_shape], maxshape=[None, *frame_shape],
                            dtype="int32", chunks=(1, *frame_shape))
    f.swmr_mode = True
    os.rename(path + ".part", path)
    print("ready", flush=True)
    for line in sys.stdin:
        command, *numbers = line.split()
        values = [int(n) for n in numbers]
        if command == "append":  # one frame per value, every element that value
            end = dset.shape[0] + len(values)
            dset.resize(end, axis=0)
            for i, value in enumerate(values, end - len(values)):
                dset[i] = value
        else:  # fill INDEX VALUE: overwrite a frame already written
            dset[values[0]] = values[1]
        dset.flush()
        print("done", flush=True)
"""


class StepWriter:
    """A writer process that appends only on command, so that a test knows
    exactly which frames a follower can see."""

    def __init__(self, path, frame_shape=(2, 2)):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", STEP_WRITER, str(path), DATASET, *map(str, frame_shape)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=child_env(),
            cwd=str(path.parent),
        )
        wait_for_line(self.proc, "ready")

    def _command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        wait_for_line(self.proc, "done")

    def append(self, *values):
        self._command("append " + " ".join(map(str, values)))

    def fill(self, index, value):
        self._command(f"fill {index} {value}")

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        if failure[0] is None:
            finish(self.proc)  # the end of its input ends the writer
        else:
            self.proc.kill()
            self.proc.communicate()


def write_frames(path, frames, frame_shape=(2, 2), dtype="int32"):
    """A complete file, written before anyone follows it: frame i holds i."""
    data = np.empty((frames, *frame_shape), dtype)
    data[...] = np.arange(frames).reshape(-1, *[1] * len(frame_shape))
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset(DATASET, data=data, maxshape=(None, *frame_shape))
    return path


def frame_values(blocks):
    """The value of each frame, in hand-out order; fails on a frame whose
    elements differ."""
    values = []
    for block in blocks:
        flat = block.reshape(len(block), -1)
        assert (flat == flat[:, :1]).all()
        values.extend(int(v) for v in flat[:, 0])
    return values


def names_in_traceback(error):
    return [entry.name for entry in traceback.extract_tb(error.__traceback__)]
