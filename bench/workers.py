"""Child processes of the benchmark: each runs in its own interpreter, as a
writer, a follower or a comparison would in a real set-up.

    python workers.py latency-writer PATH FRAMES INTERVAL
    python workers.py latency-reader KIND PATH FRAMES
    python workers.py compare PATH1 PATH2 DATASET
    python workers.py measure LIMIT COMMAND...
"""

import json
import os
import signal
import sys
import time

DATASET = "/entry/data"
FRAME_SHAPE = (64, 64)


def latency_writer(path, frames, interval):
    """Appends one int64 frame per interval; element [0, 0] of each frame holds
    time.monotonic_ns() taken just before the frame is written and flushed."""
    import h5py
    import numpy as np

    building = path + ".part"
    with h5py.File(building, "w", libver="latest") as f:
        dset = f.create_dataset(
            DATASET,
            (0, *FRAME_SHAPE),
            maxshape=(None, *FRAME_SHAPE),
            dtype="int64",
            chunks=(1, *FRAME_SHAPE),
        )
        f.swmr_mode = True
        os.rename(building, path)
        while not os.path.exists(path + ".ready"):  # the follower has opened the file
            time.sleep(0.01)
        block = np.zeros((1, *FRAME_SHAPE), "int64")
        next_tick = time.monotonic()
        for i in range(frames):
            next_tick += interval
            block[...] = i
            block[0, 0, 0] = time.monotonic_ns()
            dset.resize(i + 1, axis=0)
            dset[i:] = block
            dset.flush()
            time.sleep(max(0.0, next_tick - time.monotonic()))


def _blocks_ours_reader(path, frames, ready):
    from hdf5_kel.swmr.library.tailread import SWMRReader

    reader = SWMRReader(path, DATASET, 0, frames, 1)
    ready()
    while (block := reader.read_chunk()) is not None:
        yield block
    reader.close()


def _blocks_ours_count(path, frames, ready):
    from hdf5_kel.swmr.library.tailread import SWMRCount

    counter = SWMRCount(path, DATASET, 3, frames)
    ready()
    while (block := counter.recv()) is not None:
        yield block
    counter.close()


def _open_when_there(path):
    import h5py

    while not os.path.exists(path):
        time.sleep(0.01)
    return h5py.File(path, "r", libver="latest", swmr=True)


def _blocks_h5py(path, frames, ready, pause):
    """The loop a user would write with h5py alone: refresh, shape, one slice;
    pause is SWMRReader's poll interval, or 0 for SWMRCount's busy wait."""
    with _open_when_there(path) as f:
        dset = f[DATASET]
        ready()
        index = 0
        while index < frames:
            dset.refresh()
            present = dset.shape[0]
            if present > index:
                end = present if pause == 0 else index + 1
                yield dset[index:end]
                index = end
            elif pause:
                time.sleep(pause)


FOLLOWERS = {
    "SWMRReader": _blocks_ours_reader,
    "SWMRCount": _blocks_ours_count,
    "h5py, 0.1 s poll": lambda path, frames, ready: _blocks_h5py(path, frames, ready, 0.1),
    "h5py, busy poll": lambda path, frames, ready: _blocks_h5py(path, frames, ready, 0),
}


def latency_reader(kind, path, frames):
    """Prints, as the last line, the latency of every frame in microseconds:
    from the writer's stamp to the return of the call that handed it out."""

    def ready():
        open(path + ".ready", "w").close()

    latencies = []
    for block in FOLLOWERS[kind](path, frames, ready):
        now = time.monotonic_ns()
        latencies.extend((now - int(stamp)) / 1000 for stamp in block[:, 0, 0])
    print(json.dumps(latencies))


def compare(path1, path2, dataset):
    from hdf5_kel.filekit import compare_dataset_two

    start = time.perf_counter()
    same = compare_dataset_two(path1, path2, dataset)
    seconds = time.perf_counter() - start
    print(json.dumps({"same": bool(same), "seconds": seconds}))


def measure(limit, command):
    """Runs a command and prints its wall time, peak resident memory, exit code
    and whether it was stopped at `limit` seconds (0: no limit). Linux hands a
    process the peak of the one it was spawned from, so the command is started
    from this small process, not from the benchmark (whose peak is far
    larger): about 10 MiB is the floor of the figure."""
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.execvp(command[0], command)
        finally:
            os._exit(127)
    stopped = False
    while True:
        done, status, usage = os.wait4(pid, os.WNOHANG)
        if done:
            break
        if limit and time.perf_counter() - start > limit and not stopped:
            os.kill(pid, signal.SIGKILL)
            stopped = True
        time.sleep(0.005)
    seconds = time.perf_counter() - start
    print(
        json.dumps(
            {
                "seconds": seconds,
                "peak_bytes": usage.ru_maxrss * 1024,
                "code": os.waitstatus_to_exitcode(status),
                "stopped": stopped,
            }
        )
    )


def main(argv):
    command, *args = argv
    if command == "latency-writer":
        latency_writer(args[0], int(args[1]), float(args[2]))
    elif command == "latency-reader":
        latency_reader(args[0], args[1], int(args[2]))
    elif command == "compare":
        compare(*args)
    elif command == "measure":
        measure(float(args[0]), args[1:])
    else:
        raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
