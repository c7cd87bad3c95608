"""What `hdf5_kel.cluster.map_frames` gains on a CPU-bound analysis, and what it
costs per block.

    PYTHONPATH=src python bench/cluster.py [--blocks 150] [--trivial-blocks 400]

A complete file of blocks of 4 frames of 256 x 256 uint16 is followed three
ways with the same function, which spends 20 ms of its thread's CPU time per
block: a plain loop in this process (an `SWMRReader` and the function), and
`map_frames` on a `LocalCluster` of one and of two worker processes (one
thread each). Then the per-block overhead: `map_frames` with a function that
does nothing, against the plain loop's reading alone, on two workers. Cluster
start-up is not timed; each figure is the best of three runs.
"""

import argparse
import os
import sys
import tempfile
import time

import h5py
import numpy as np

DATASET = "/entry/data"
BATCH = 4
FRAME_SHAPE = (256, 256)
CPU_SECONDS = 0.020
REPEATS = 3


def analyse(block):
    """20 ms of CPU per block, whatever else the machine runs."""
    end = time.thread_time() + CPU_SECONDS
    while time.thread_time() < end:
        pass
    return int(block[0, 0, 0])


def nothing(block):
    return None


def write_file(path, frames):
    data = np.arange(frames, dtype=np.uint16)[:, None, None] * np.ones(FRAME_SHAPE, np.uint16)
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset(
            DATASET, data=data, maxshape=(None, *FRAME_SHAPE), chunks=(1, *FRAME_SHAPE)
        )


def plain_loop(path, frames, function):
    from hdf5_kel.swmr.library.tailread import SWMRReader

    started = time.perf_counter()
    with SWMRReader(path, DATASET, 0, frames, BATCH) as reader:
        for block in reader:
            function(block)
    return time.perf_counter() - started


def mapped(client, path, frames, function):
    from hdf5_kel.cluster import map_frames

    started = time.perf_counter()
    count = sum(
        1
        for _ in map_frames(client, function, path, DATASET, batch_size=BATCH, total_frames=frames)
    )
    assert count == -(-frames // BATCH)
    return time.perf_counter() - started


def best(measure):
    return min(measure() for _ in range(REPEATS))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blocks", type=int, default=150, help="blocks of the CPU-bound case")
    parser.add_argument(
        "--trivial-blocks", type=int, default=400, help="blocks of the overhead case"
    )
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    frames, trivial_frames = args.blocks * BATCH, args.trivial_blocks * BATCH
    with tempfile.TemporaryDirectory() as workdir:
        path = os.path.join(workdir, "frames.h5")
        write_file(path, max(frames, trivial_frames))
        rates = {"plain loop, 1 process": frames / best(lambda: plain_loop(path, frames, analyse))}
        reading = best(lambda: plain_loop(path, trivial_frames, nothing)) / args.trivial_blocks
        overhead = None
        for workers in (1, 2):
            with (
                LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
                ) as cluster,
                Client(cluster) as client,
            ):
                mapped(client, path, BATCH * 8, nothing)  # the workers import numpy and so on
                seconds = best(lambda: mapped(client, path, frames, analyse))
                rates[f"map_frames, {workers} worker{'s' * (workers > 1)}"] = frames / seconds
                if workers == 2:
                    trivial = best(lambda: mapped(client, path, trivial_frames, nothing))
                    overhead = trivial / args.trivial_blocks - reading

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}")
    print(
        f"{args.blocks} blocks of {BATCH} frames of {FRAME_SHAPE}, {CPU_SECONDS * 1000:.0f} ms"
        " of CPU per block"
    )
    print()
    print("| measure | frames/s | against one worker |")
    print("|---|---:|---:|")
    one = rates["map_frames, 1 worker"]
    for name, rate in rates.items():
        print(f"| {name} | {rate:,.0f} | {rate / one:.2f}x |")
    print()
    print(
        f"per-block overhead of map_frames (nothing to compute, 2 workers, {args.trivial_blocks}"
        f" blocks): {overhead * 1000:.2f} ms over the reading alone ({reading * 1000:.2f} ms)"
    )


if __name__ == "__main__":
    main()
