"""Shared helpers: writer processes, child Python processes, waiting."""

import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import hdf5_kel

TESTS = Path(__file__).resolve().parent
WRITER = TESTS / "swmr_writer.py"
# The directory that holds the hdf5_kel under test (and the framepool alias), so
# that child processes import the very same build.
PACKAGE_ROOT = str(Path(hdf5_kel.__file__).resolve().parent.parent)


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [PACKAGE_ROOT] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
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
):
    """Start tests/swmr_writer.py in its own process; frame i holds the value i.

    With pause_after, the writer stops after that many frames until the path
    resume_when exists.
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
        "--frame-shape",
        *map(str, frame_shape),
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
