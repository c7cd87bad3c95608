"""Followers under faults of the writer, the file and the user.

Every follower runs in its own process, as users run them, through FOLLOWER:
it checks the content of every frame it gets (frame i holds the value i
everywhere) and ends on its stop event, at its end, or on an error.
"""

import os
import signal
import threading
import time
from pathlib import Path

import pytest
from conftest import DATASET, finish, start_python, start_writer, wait_for_line

FOLLOWER = r"""
import os
import sys
import threading
import time

import numpy as np

from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader, SWMRReaderMulti

kind, stop_path, total, batch, *paths = sys.argv[1:]
total, batch = int(total), int(batch)
DATASET = "/entry/data"
stop = threading.Event()


def set_stop_when_asked():
    while not os.path.exists(stop_path):
        time.sleep(0.01)
    stop.set()


def one_file(block):
    return None if block is None else [block]


threading.Thread(target=set_stop_when_asked, daemon=True).start()
if kind == "reader":
    follower = SWMRReader(paths[0], DATASET, 0, total, batch)
    receive = lambda: one_file(follower.read_chunk_event(stop))
elif kind == "counter":
    follower = SWMRCount(paths[0], DATASET, 3, total)
    receive = lambda: one_file(follower.recv_event(stop))
elif kind == "multi_reader":
    follower = SWMRReaderMulti([(path, DATASET, 0, total, batch) for path in paths])
    receive = lambda: follower.read_chunks_event(stop)
else:
    entries = [(path, DATASET, 3, (total, 4, 4), "int32") for path in paths]
    follower = SWMRCountMulti(entries, total)
    receive = lambda: follower.recv_event(stop, batch)

received = [0] * len(paths)
try:
    while (blocks := receive()) is not None:
        for i, block in enumerate(blocks):
            frames = block.reshape(len(block), -1)
            expected = np.arange(received[i], received[i] + len(block))
            assert (frames == expected[:, None]).all(), (paths[i], received[i], frames[:, 0])
            received[i] += len(block)
        print("frames", *received, flush=True)
except Exception as error:
    print("error", type(error).__name__, error, flush=True)
    sys.exit()
print("ended", "stopped" if stop.is_set() else "at the end", *received, flush=True)
follower.close()
"""

# Creates the file in place and keeps it locked, without SWMR mode, until the
# path GO exists; then switches SWMR mode on and appends FRAMES frames.
LOCKED_WRITER = r"""
import os
import sys
import time

import h5py
import numpy as np

path, go, frames = sys.argv[1], sys.argv[2], int(sys.argv[3])
with h5py.File(path, "w", libver="latest") as f:
    dset = f.create_dataset("/entry/data", (0, 4, 4), maxshape=(None, 4, 4), dtype="int32",
                            chunks=(1, 4, 4))
    print("created", flush=True)
    while not os.path.exists(go):
        time.sleep(0.01)
    f.swmr_mode = True
    for i in range(frames):
        dset.resize(i + 1, axis=0)
        dset[i] = np.full((4, 4), i)
        dset.flush()
    print("written", flush=True)
"""

# (kind, batch, number of files) of the four kinds of follower.
KINDS = [("reader", 4, 1), ("counter", 1, 1), ("multi_reader", 3, 2), ("multi_receiver", 4, 2)]


@pytest.fixture(autouse=True)
def no_child_left():
    """Ends the children that a failed test left running: a busy follower
    would load the machine for the rest of the run."""
    yield
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            pid, rest = stat.read_text().split(" (", 1)
        except OSError:  # ended meanwhile
            continue
        if int(rest.rsplit(") ", 1)[1].split()[1]) == os.getpid():
            os.kill(int(pid), signal.SIGKILL)


def follow(kind, tmp_path, stop, total, batch, *paths):
    return start_python(FOLLOWER, tmp_path, kind, stop, total, batch, *paths)


def rest_of_output(proc, timeout=120.0):
    """A child's remaining stdout lines, once it has succeeded.

    Reads through the pipe's file object: after readline() it holds lines that
    communicate(), which reads the descriptor, would never see.
    """
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        out, err = proc.stdout.read(), proc.stderr.read()
        proc.wait()
    finally:
        timer.cancel()
    assert proc.returncode == 0, f"child failed ({proc.returncode})\n{out}\n{err}"
    return out.splitlines()


def last_line(proc):
    return rest_of_output(proc)[-1]


def test_killed_writer_loses_no_flushed_frame(tmp_path):
    paths = [tmp_path / "a.h5", tmp_path / "b.h5"]
    stop = tmp_path / "stop"
    never = tmp_path / "never"
    writers = [
        start_writer(path, DATASET, 90, per_append=3, delay=0.02, pause_after=12, resume_when=never)
        for path in paths
    ]
    for writer in writers:
        wait_for_line(writer, "swmr on")
    followers = [
        (kind, files, follow(kind, tmp_path, stop, 90, batch, *paths[:files]))
        for kind, batch, files in KINDS
    ]
    for writer in writers:
        wait_for_line(writer, "flushed 12")
        writer.send_signal(signal.SIGKILL)
        writer.communicate()
    # One that starts after the crash reads the file as it was left.
    followers.append(("counter", 1, follow("counter", tmp_path, stop, 90, 1, paths[0])))
    for kind, files, follower in followers:
        wait_for_line(follower, "frames" + " 12" * files)
    stop.touch()  # the followers are still waiting for frames that never come
    for kind, files, follower in followers:
        assert last_line(follower) == "ended stopped" + " 12" * files, kind


def lines_until(proc, prefix, timeout=60.0):
    """A child's stdout lines up to and including the first that starts with prefix."""
    lines = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and (line := proc.stdout.readline()):
        lines.append(line.rstrip("\n"))
        if line.startswith(prefix):
            return lines
    pytest.fail(f"child never printed a line starting with {prefix!r}: {lines}")


def test_followers_started_before_the_file_and_before_swmr_mode(tmp_path):
    go = tmp_path / "go"
    runs = []
    for kind, batch, files in KINDS:
        paths = [tmp_path / f"{kind}-{n}.h5" for n in range(files)]
        runs.append((kind, paths, follow(kind, tmp_path, tmp_path / "never", 24, batch, *paths)))
    output = {
        kind: lines_until(follower, "File not found:" if "reader" in kind else "file not found")
        for kind, _, follower in runs
    }
    writers = [
        start_python(LOCKED_WRITER, tmp_path, path, go, 24)
        for _, paths, _ in runs
        for path in paths
    ]
    for writer in writers:
        wait_for_line(writer, "created")
    messages = {}
    for kind, paths, follower in runs:
        messages[kind] = (
            ("File found: ", "Waiting for the writer to enable SWMR: ")
            if "reader" in kind
            else ("file found ", "waiting for the writer to enable swmr ")
        )
        output[kind] += lines_until(follower, messages[kind][1])
    go.touch()
    for kind, paths, follower in runs:
        found, waiting = messages[kind]
        lines = output[kind] + rest_of_output(follower)
        assert lines[-1] == "ended at the end" + " 24" * len(paths), kind
        said = [lines.count(waiting + str(path)) for path in paths]
        assert said[0] == 1 and max(said) == 1, (kind, lines)
        assert [lines.count(found + str(path)) for path in paths] == [1] * len(paths), lines
        assert not any("Error" in line or "Traceback" in line for line in lines), lines
    for writer in writers:
        finish(writer)


@pytest.mark.parametrize("kind", ["reader", "counter"])
def test_any_other_open_error_is_raised(tmp_path, kind):
    path = tmp_path / "not-hdf5.h5"
    path.write_text("plain text")
    follower = follow(kind, tmp_path, tmp_path / "never", 10, 2, path)
    out, err = follower.communicate(timeout=60)
    assert follower.returncode == 1 and "OSError" in err.splitlines()[-1], err
    assert "waiting" not in out.lower(), out


def rewrite_with_h5py(path):
    """What a restarted acquisition does: create the file again. That fails on
    the followers' locks, but only after the open has emptied the file."""
    start_python(
        "import sys, h5py\n"
        "try:\n"
        "    h5py.File(sys.argv[1], 'w', libver='latest').close()\n"
        "except OSError as error:\n"
        "    print(type(error).__name__, error)\n",
        path.parent,
        path,
    ).wait(60)


def test_spoiled_file_gives_an_error_never_a_crash(tmp_path):
    truncated, created_again = tmp_path / "truncated.h5", tmp_path / "created-again.h5"
    followers = []
    for path in (truncated, created_again):
        finish(start_writer(path, DATASET, 8))
        followers += [
            (kind, follow(kind, tmp_path, tmp_path / "never", 100, 4, path)) for kind, *_ in KINDS
        ]
    for _, follower in followers:
        wait_for_line(follower, "frames 8")
    os.truncate(truncated, 0)
    rewrite_with_h5py(created_again)
    for kind, follower in followers:
        line = last_line(follower)
        assert line.split()[:2] in (["error", "RuntimeError"], ["error", "OSError"]), (kind, line)


def test_several_followers_of_every_kind_on_one_file(tmp_path):
    path = tmp_path / "shared.h5"
    never = tmp_path / "never"
    batches = {
        "reader": (8, 7),
        "counter": (1, 1),
        "multi_reader": (6, 9),
        "multi_receiver": (10, 3),
    }
    followers = [
        (kind, follow(kind, tmp_path, never, 120, batch, path))
        for kind, pair in batches.items()
        for batch in pair
    ]
    writer = start_writer(path, DATASET, 120, per_append=3, delay=0.02)
    for kind, follower in followers:
        assert last_line(follower) == "ended at the end 120", kind
    finish(writer)


INTERRUPTED = r"""
import sys
import threading
import time

from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader, SWMRReaderMulti

case, live, locked, missing = sys.argv[1:]
DATASET = "/entry/data"


def reader(path):
    return SWMRReader(path, DATASET, 0, 100, 4)


def counter(path):
    return SWMRCount(path, DATASET, 3, 100)


def drained_counter(path):
    follower = counter(path)
    follower.recv()  # the frames already there
    return follower


def multi_reader(*paths):
    return SWMRReaderMulti([(path, DATASET, 0, 100, 4) for path in paths])


def multi_receiver(*paths):
    return SWMRCountMulti([(path, DATASET, 3, (100, 4, 4), "int32") for path in paths], 100)


event = threading.Event()
WAITS = {
    "SWMRReader for the file": (None, lambda _: reader(missing)),
    "SWMRReader for SWMR mode": (None, lambda _: reader(locked)),
    "SWMRReader.read_chunk": (lambda: reader(live), lambda r: r.read_chunk()),
    "SWMRReader.read_chunk_event": (lambda: reader(live), lambda r: r.read_chunk_event(event)),
    "SWMRReader.read_chunk2queue": (lambda: reader(live), lambda r: r.read_chunk2queue()),
    "SWMRReader.accumulate_data": (lambda: reader(live), lambda r: r.accumulate_data()),
    "SWMRCount for the file": (None, lambda _: counter(missing)),
    "SWMRCount for SWMR mode": (None, lambda _: counter(locked)),
    "SWMRCount.recv": (lambda: drained_counter(live), lambda c: c.recv()),
    "SWMRCount.recv_event": (lambda: drained_counter(live), lambda c: c.recv_event(event)),
    "SWMRReaderMulti for a file": (None, lambda _: multi_reader(live, missing)),
    "SWMRReaderMulti for SWMR mode": (None, lambda _: multi_reader(live, locked)),
    "SWMRReaderMulti.read_chunks": (lambda: multi_reader(live), lambda m: m.read_chunks()),
    "SWMRReaderMulti.read_chunks_event": (
        lambda: multi_reader(live),
        lambda m: m.read_chunks_event(event),
    ),
    "SWMRCountMulti for a file": (None, lambda _: multi_receiver(live, missing)),
    "SWMRCountMulti for SWMR mode": (None, lambda _: multi_receiver(locked)),
    "SWMRCountMulti.recv": (lambda: multi_receiver(live), lambda m: m.recv(4)),
    "SWMRCountMulti.recv_event": (lambda: multi_receiver(live), lambda m: m.recv_event(event, 4)),
    "SWMRCountMulti.waitFirstDataNotZero": (
        lambda: multi_receiver(live),
        lambda m: m.waitFirstDataNotZero(event),
    ),
}


def the_wait(call, subject):
    return call(subject)


def inside_the_wait():
    frame = sys._current_frames().get(threading.main_thread().ident)
    while frame is not None and frame.f_code is not the_wait.__code__:
        frame = frame.f_back
    return frame is not None


def announce():
    while not inside_the_wait():
        time.sleep(0.01)
    time.sleep(0.3)
    print("waiting" if inside_the_wait() else "left the wait", flush=True)


def report_ignored(unraisable):
    # Python ignores an exception raised in a finaliser or a weakref callback.
    # h5py frees objects through weakref callbacks on every poll, so a Ctrl-C
    # can land there and be lost; the user then presses it again.
    print("ignored", unraisable.exc_type.__name__, flush=True)


sys.unraisablehook = report_ignored
setup, call = WAITS[case]
subject = setup() if setup else None
threading.Thread(target=announce, daemon=True).start()
try:
    the_wait(call, subject)
    print("returned")
except KeyboardInterrupt:
    print("interrupted")
"""

WAIT_CASES = [
    f"{cls}{wait}"
    for cls, waits in {
        "SWMRReader": [
            " for the file",
            " for SWMR mode",
            ".read_chunk",
            ".read_chunk_event",
            ".read_chunk2queue",
            ".accumulate_data",
        ],
        "SWMRCount": [" for the file", " for SWMR mode", ".recv", ".recv_event"],
        "SWMRReaderMulti": [" for a file", " for SWMR mode", ".read_chunks", ".read_chunks_event"],
        "SWMRCountMulti": [
            " for a file",
            " for SWMR mode",
            ".recv",
            ".recv_event",
            ".waitFirstDataNotZero",
        ],
    }.items()
    for wait in waits
]


def interrupted(child, timeout=120.0):
    """How the wait ended after Ctrl-C: pressed again for each one that Python
    ignored (see report_ignored)."""
    timer = threading.Timer(timeout, child.kill)
    timer.start()
    try:
        while line := child.stdout.readline():
            if line == "ignored KeyboardInterrupt\n":
                child.send_signal(signal.SIGINT)
            elif line in ("interrupted\n", "returned\n"):
                return line.strip()
    finally:
        timer.cancel()
    return f"ended without a word ({child.wait()}): {child.stderr.read()}"


def test_ctrl_c_ends_every_wait(tmp_path):
    live = tmp_path / "live.h5"
    # Frame 0 is all zeros and the writer pauses after two frames: every read
    # of four frames, and the wait for a non-zero first frame, waits forever.
    writer = start_writer(live, DATASET, 10, pause_after=2, resume_when=tmp_path / "never")
    locked = tmp_path / "locked.h5"
    holder = start_python(LOCKED_WRITER, tmp_path, locked, tmp_path / "never", 0)
    wait_for_line(writer, "flushed 2")
    wait_for_line(holder, "created")
    children = {
        case: start_python(INTERRUPTED, tmp_path, case, live, locked, tmp_path / "missing.h5")
        for case in WAIT_CASES
    }
    for child in children.values():
        wait_for_line(child, "waiting")
        child.send_signal(signal.SIGINT)
    ended = {case: interrupted(child) for case, child in children.items()}
    writer.kill()
    holder.kill()
    writer.communicate()
    holder.communicate()
    assert ended == dict.fromkeys(WAIT_CASES, "interrupted")
