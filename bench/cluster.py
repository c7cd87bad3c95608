"""What `hdf5_kel.cluster.map_frames` gains on a CPU-bound analysis, what it
costs per block, and where compressed frames are best read.

    PYTHONPATH=src python bench/cluster.py [--blocks 150] [--trivial-blocks 400]
        [--compressed-frames 640] [--compressed-batch 32] [--decode-threads 1]
        [--part all|cpu|compressed]

A complete file of blocks of 4 frames of 256 x 256 uint16 is followed three
ways with the same function, which spends 20 ms of its thread's CPU time per
block: a plain loop in this process (an `SWMRReader` and the function), and
`map_frames` on a `LocalCluster` of one and of two worker processes (one
thread each). Then the per-block overhead: `map_frames` with a function that
does nothing, against the plain loop's reading alone, on two workers. Cluster
start-up is not timed; each figure is the best of three runs.

Then compressed detector-like frames: 1024 x 1024 uint16 of Poisson counts
(mean 1), one frame per chunk, bitshuffle with LZ4, in blocks of 32 (or
`--compressed-batch`), through a light function (each frame's sum). A block of
32 such frames is 64 MiB and about 60 ms of a worker's time, near what Dask
advises for a task (chunks of 50 MB or more, about 100 ms of work): each task
costs a few ms on the caller, the scheduler and the worker together, which
blocks of 16 would pay twice per frame. `map_frames` reads them here (this
process decodes every frame and sends it out) and on the workers (this
process only follows the length), on one and two worker processes; the
scheduler and the workers run in processes of their own (`SubprocessCluster`),
so that this process's CPU time is the follower's and its client's alone. Both
clusters run side by side and the measures take turns, best of five. Beside
them, the ceiling: each worker reads its share of the frames with a plain
`SWMRReader` loop, all at the same time, without `map_frames`: how much the
machine gives that many processes at that moment. Every reader decodes on
`--decode-threads` threads (`HDF5_KEL_THREADS`, 1 by default: a worker
process is then one core's worth).
"""

import argparse
import collections
import contextlib
import os
import sys
import tempfile
import time

import h5py
import hdf5plugin
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


def frame_sums(block):
    return block.sum(axis=(1, 2)).tolist()


COMPRESSED_SHAPE = (1024, 1024)
COMPRESSED_REPEATS = 5


def write_compressed(path, frames):
    """Detector-like frames: few counts per pixel, 16 distinct frames repeated."""
    bank = np.random.default_rng(0).poisson(1.0, (16, *COMPRESSED_SHAPE)).astype(np.uint16)
    with h5py.File(path, "w", libver="latest") as f:
        data = f.create_dataset(
            DATASET,
            shape=(frames, *COMPRESSED_SHAPE),
            maxshape=(None, *COMPRESSED_SHAPE),
            dtype=np.uint16,
            chunks=(1, *COMPRESSED_SHAPE),
            **hdf5plugin.Bitshuffle(cname="lz4"),
        )
        for first in range(0, frames, len(bank)):
            data[first : first + len(bank)] = bank[: frames - first]


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


def timed(client, run):
    """Seconds, this process's CPU seconds and the workers' of `run(client)`."""

    def workers_cpu():
        return sum(client.run(time.process_time).values())

    on_workers = workers_cpu()
    started, cpu = time.perf_counter(), time.process_time()
    run(client)
    seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    return seconds, cpu, workers_cpu() - on_workers


def mapped_compressed(client, path, frames, batch, read_on_workers):
    from hdf5_kel.cluster import map_frames

    count = sum(
        1
        for _ in map_frames(
            client,
            frame_sums,
            path,
            DATASET,
            batch_size=batch,
            total_frames=frames,
            read_on_workers=read_on_workers,
        )
    )
    assert count == -(-frames // batch)


def read_share(path, first, end, batch):
    """A worker's share of the frames through the function, without map_frames."""
    import hdf5plugin  # noqa: F401 - the bitshuffle filter

    from hdf5_kel.swmr.library.tailread import SWMRReader

    with SWMRReader(path, DATASET, first, end, batch) as reader:
        for block in reader:
            frame_sums(block)


def plain_loops(client, path, frames, batch):
    """Every worker reads its share at the same time: what the machine gives
    that many processes, with nothing of map_frames."""
    workers = list(client.scheduler_info()["workers"])
    share = -(-frames // len(workers))
    client.gather(
        [
            client.submit(
                read_share, path, first, min(first + share, frames), batch, workers=[worker]
            )
            for worker, first in zip(workers, range(0, frames, share))
        ]
    )


def compressed_part(workdir, frames, batch, decode_threads):
    from distributed import Client
    from distributed.deploy.subprocess import SubprocessCluster

    path = os.path.join(workdir, "compressed.h5")
    write_compressed(path, frames)
    size = os.path.getsize(path)
    ways = {
        "here": lambda client: mapped_compressed(client, path, frames, batch, False),
        "on the workers": lambda client: mapped_compressed(client, path, frames, batch, True),
        "plain loops on the workers, no map_frames": lambda client: plain_loops(
            client, path, frames, batch
        ),
    }
    # Both clusters at once, and every measure in turn in each repetition:
    # a busy moment of a shared machine then hits them alike.
    with contextlib.ExitStack() as stack:
        clients = {}
        for workers in (1, 2):
            cluster = stack.enter_context(
                SubprocessCluster(
                    host="127.0.0.1",
                    dashboard_address="127.0.0.1:0",
                    n_workers=workers,
                    threads_per_worker=1,
                )
            )
            clients[workers] = stack.enter_context(Client(cluster))
            clients[workers].wait_for_workers(workers)
            mapped_compressed(clients[workers], path, batch * 4, batch, True)  # warm up
        runs = collections.defaultdict(list)
        for repetition in range(COMPRESSED_REPEATS):
            for way, run in ways.items():
                # Each cluster goes first in every other repetition.
                for workers in (1, 2) if repetition % 2 == 0 else (2, 1):
                    measured = timed(clients[workers], run)
                    runs[way, workers].append((*measured, os.getloadavg()[0]))
    rows = {key: min(measured) for key, measured in runs.items()}
    print(
        f"{frames} frames of {COMPRESSED_SHAPE} uint16, bitshuffle-LZ4 ({size / frames / 2**20:.2f}"
        f" MiB a frame on disk), blocks of {batch}, each frame's sum,"
        f" HDF5_KEL_THREADS={decode_threads}"
    )
    print()
    print(
        "| blocks read | workers | frames/s | against one worker | this process's CPU"
        " | workers' CPU per frame | load |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|")
    for (way, workers), (seconds, cpu, workers_cpu, load) in rows.items():
        one = rows[way, 1][0]
        print(
            f"| {way} | {workers} | {frames / seconds:,.0f} | {one / seconds:.2f}x"
            f" | {cpu:.2f} s, {cpu / seconds:.1%} of a core | {workers_cpu / frames * 1000:.2f} ms"
            f" | {load:.1f} |"
        )
    (one, one_cpu, *_), (two, two_cpu, *_) = rows["on the workers", 1], rows["on the workers", 2]
    print()
    print(
        f"Read on the workers: 2 workers {one / two:.2f}x one worker (target: at least 1.6x);"
        f" this process {two_cpu / two:.1%} of a core with 2 workers, {one_cpu / one:.1%} with 1"
        " (target: at most 10%)"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blocks", type=int, default=150, help="blocks of the CPU-bound case")
    parser.add_argument(
        "--trivial-blocks", type=int, default=400, help="blocks of the overhead case"
    )
    parser.add_argument(
        "--compressed-frames", type=int, default=640, help="frames of the compressed case"
    )
    parser.add_argument(
        "--compressed-batch", type=int, default=32, help="frames per block of the compressed case"
    )
    parser.add_argument(
        "--decode-threads",
        type=int,
        default=1,
        help="HDF5_KEL_THREADS of the compressed case's readers, here and on the workers"
        " (default 1: each worker process decodes on one core)",
    )
    parser.add_argument("--part", choices=["all", "cpu", "compressed"], default="all")
    args = parser.parse_args()

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}")
    if args.part in ("all", "cpu"):
        cpu_part(args)
    if args.part in ("all", "compressed"):
        print()
        # Set before the clusters start: their worker processes inherit it.
        os.environ["HDF5_KEL_THREADS"] = str(args.decode_threads)
        with tempfile.TemporaryDirectory() as workdir:
            compressed_part(
                workdir, args.compressed_frames, args.compressed_batch, args.decode_threads
            )
        print(f"load {os.getloadavg()[0]:.1f} at the end")


def cpu_part(args):
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
                    n_workers=workers,
                    threads_per_worker=1,
                    processes=True,
                    dashboard_address="127.0.0.1:0",
                ) as cluster,
                Client(cluster) as client,
            ):
                mapped(client, path, BATCH * 8, nothing)  # the workers import numpy and so on
                seconds = best(lambda: mapped(client, path, frames, analyse))
                rates[f"map_frames, {workers} worker{'s' * (workers > 1)}"] = frames / seconds
                if workers == 2:
                    trivial = best(lambda: mapped(client, path, trivial_frames, nothing))
                    overhead = trivial / args.trivial_blocks - reading

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
