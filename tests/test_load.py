"""Four writers and the four kinds of follower under load.

Each writer appends as fast as it can until the test says stop; the test then
announces one final frame count for all files (the largest count, rounded up
to a whole number of every follower's batches), the writers append up to it,
and every follower must have had every frame exactly once, in order, with its
content. KEL_LOAD_SECONDS sets how long the writers run (default 15).
"""

import math
import os
import time

import pytest
from conftest import finish, start_python, wait_for_line

pytestmark = pytest.mark.slow

# Frame i holds i * 1000 + its element's position: a frame delivered twice,
# out of order, or with another frame's rows fails the check.
LOAD_WRITER = r"""
import os
import sys
import time

import h5py
import numpy as np

path, per_append, capacity, stop, total = sys.argv[1:]
per_append, capacity = int(per_append), int(capacity)
positions = np.arange(8).reshape(2, 4)
with h5py.File(path + ".part", "w", libver="latest") as f:
    dset = f.create_dataset("/entry/data", (0, 2, 4), maxshape=(None, 2, 4), dtype="int64",
                            chunks=(256, 2, 4))
    f.swmr_mode = True
    os.rename(path + ".part", path)
    print("ready", flush=True)
    written = 0

    def append(count):
        global written
        dset.resize(written + count, axis=0)
        dset[written:] = np.arange(written, written + count)[:, None, None] * 1000 + positions
        dset.flush()
        written += count

    while written + per_append <= capacity and not os.path.exists(stop):
        append(per_append)
    print("count", written, flush=True)
    while not os.path.exists(total):
        time.sleep(0.01)
    with open(total) as announced:
        final = int(announced.read())
    while written < final:
        append(min(1000, final - written))
"""

# Follows the files with the stop-event forms, starting with no known end.
# Once the final count is announced, its thread sets it as the followers' end
# and sets the stop event of the call under way, which may have started with
# the old end: that call returns None and the next one runs with the new end.
LOAD_FOLLOWER = r"""
import os
import sys
import threading
import time

import numpy as np

from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader, SWMRReaderMulti

kind, batch, capacity, total_path, *paths = sys.argv[1:]
batch, capacity = int(batch), int(capacity)
report = sys.stdout
sys.stdout = open(os.devnull, "w")  # the receiver's line per call
DATASET = "/entry/data"
UNKNOWN = 2**62
positions = np.arange(8)


def one_file(block):
    return None if block is None else [block]


if kind == "reader":
    follower = SWMRReader(paths[0], DATASET, 0, UNKNOWN, batch)
    receive = lambda stop: one_file(follower.read_chunk_event(stop))
    ends = [(follower, "total_frames")]
elif kind == "counter":
    follower = SWMRCount(paths[0], DATASET, 3, UNKNOWN)
    receive = lambda stop: one_file(follower.recv_event(stop))
    ends = [(follower, "total_count")]
elif kind == "multi_reader":
    follower = SWMRReaderMulti([(path, DATASET, 0, UNKNOWN, batch) for path in paths])
    receive = lambda stop: follower.read_chunks_event(stop)
    ends = [(reader, "total_frames") for reader in follower.readers]
else:
    entries = [(path, DATASET, 3, (capacity, 2, 4), "int64") for path in paths]
    follower = SWMRCountMulti(entries, UNKNOWN)
    receive = lambda stop: follower.recv_event(stop, batch)
    ends = [(follower, "total_count")] + [(c, "total_count") for c in follower.swmrcounts]

final = [UNKNOWN]
current_stop = [threading.Event()]


def announce_the_end():
    while not os.path.exists(total_path):
        time.sleep(0.01)
    with open(total_path) as announced:
        final[0] = int(announced.read())
    for obj, name in ends:
        setattr(obj, name, final[0])
    current_stop[0].set()


threading.Thread(target=announce_the_end, daemon=True).start()
received = [0] * len(paths)
calls = 0
started = time.monotonic()
while min(received) < final[0]:
    current_stop[0] = threading.Event()
    blocks = receive(current_stop[0])
    calls += 1
    if blocks is None:
        continue
    assert len(blocks) == len(paths)
    for i, block in enumerate(blocks):
        expected = np.arange(received[i], received[i] + len(block))[:, None] * 1000 + positions
        assert np.array_equal(block.reshape(len(block), -1), expected), (paths[i], received[i])
        received[i] += len(block)
    assert len(set(received)) == 1 or kind in ("reader", "counter"), received
follower.close()
print("received", *received, "calls", calls, "seconds", round(time.monotonic() - started, 1),
      file=report, flush=True)
"""

# (kind, frames per batch, files followed): every file has two or three
# followers, each in its own process.
FOLLOWERS = [("reader", 8, [0]), ("counter", 1, [1]), ("multi_reader", 20, [0, 1, 2, 3])]
FOLLOWERS.append(("multi_receiver", 16, [0, 1, 2, 3]))
PER_APPEND = [5, 7, 9, 11]
WHOLE_BATCHES = math.lcm(*(batch for _, batch, _ in FOLLOWERS))


def test_every_frame_once_in_order_under_load(tmp_path):
    seconds = float(os.environ.get("KEL_LOAD_SECONDS", "15"))
    # Bounds the receiver's buffers: far above what two cores write.
    capacity = WHOLE_BATCHES * math.ceil(20000 * seconds / WHOLE_BATCHES)
    stop, total = tmp_path / "stop", tmp_path / "total"
    paths = [tmp_path / f"load{i}.h5" for i in range(len(PER_APPEND))]
    writers = [
        start_python(LOAD_WRITER, tmp_path, path, per_append, capacity, stop, total)
        for path, per_append in zip(paths, PER_APPEND)
    ]
    followers = []
    try:
        for writer in writers:
            wait_for_line(writer, "ready")
        followers += [
            start_python(
                LOAD_FOLLOWER, tmp_path, kind, batch, capacity, total, *(paths[i] for i in files)
            )
            for kind, batch, files in FOLLOWERS
        ]
        time.sleep(seconds)
        stop.touch()
        counts = [int(wait_for_line(writer, "count").split()[1]) for writer in writers]
        final = WHOLE_BATCHES * math.ceil(max(counts) / WHOLE_BATCHES)
        (tmp_path / "total.part").write_text(str(final))
        (tmp_path / "total.part").rename(total)
        for writer in writers:
            finish(writer, timeout=300)
        reports = [finish(follower, timeout=300).split() for follower in followers]
        for (kind, _, files), report in zip(FOLLOWERS, reports):
            assert report[: 1 + len(files)] == ["received"] + [str(final)] * len(files), kind
    finally:  # a failed run leaves no busy follower behind
        for child in writers + followers:
            if child.poll() is None:
                child.kill()
    print(f"\n{seconds:g} s: frames written per writer {counts}, all padded to {final}")
    for (kind, _, _), report in zip(FOLLOWERS, reports):
        print(f"  {kind}: {' '.join(report)}")
