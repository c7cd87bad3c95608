"""A plain-h5py SWMR writer for the tests, run as its own process.

Frame i holds the value i in every element, so a reader can check each frame it
gets. Usage:
    python swmr_writer.py PATH DATASET FRAMES [--per-append K] [--delay S]
        [--frame-shape A B ...] [--dtype T] [--start-delay S] [--hold S]
        [--pause-after N --resume-when PATH] [--chunk-frames N] [--ramp]
        [--filter none|gzip|gzip-shuffle|bitshuffle[-lz4|-zstd]|lz4|zstd|blosc-lz4|blosc-zstd]
        [--swmr-when PATH] [--numbering FIRST STEP]

The file is made under a temporary name and renamed into place once SWMR mode is
on, so a reader never finds it half set up; with --swmr-when it is made in place
and held locked until that path exists.
"""

import argparse
import os
import sys
import time

import h5py
import numpy as np


def plugin_filter(name, **options):
    """An hdf5plugin filter, imported only by the writers that use one."""

    def keywords():
        import hdf5plugin

        return dict(getattr(hdf5plugin, name)(**options))

    return keywords


FILTERS = {
    "none": dict,
    "gzip": lambda: {"compression": "gzip"},
    "gzip-shuffle": lambda: {"compression": "gzip", "shuffle": True},
    "bitshuffle": plugin_filter("Bitshuffle", cname="none"),
    "bitshuffle-lz4": plugin_filter("Bitshuffle", cname="lz4"),
    "bitshuffle-zstd": plugin_filter("Bitshuffle", cname="zstd"),
    "lz4": plugin_filter("LZ4"),
    "zstd": plugin_filter("Zstd"),
    "blosc-lz4": plugin_filter("Blosc", cname="lz4", shuffle=1),
    "blosc-zstd": plugin_filter("Blosc", cname="zstd", shuffle=2),
}


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    parser.add_argument("dataset")
    parser.add_argument("frames", type=int)
    parser.add_argument("--per-append", type=int, default=1)
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--frame-shape", type=int, nargs="*", default=[4, 4])
    parser.add_argument("--dtype", default="int32")
    parser.add_argument("--start-delay", type=float, default=0.0)
    parser.add_argument("--hold", type=float, default=0.0, help="keep the file open afterwards")
    parser.add_argument(
        "--pause-after",
        type=int,
        default=-1,
        help="after this many frames, wait until --resume-when exists",
    )
    parser.add_argument("--resume-when", default="")
    parser.add_argument(
        "--ramp",
        action="store_true",
        help="element (a, b, ...) of frame i holds (i + a + b + ...) % 256 instead of i",
    )
    parser.add_argument("--chunk-frames", type=int, default=1, help="frames per chunk")
    parser.add_argument("--filter", choices=sorted(FILTERS), default="none")
    parser.add_argument(
        "--swmr-when",
        default="",
        help="create the file in place and switch SWMR mode on only once this path exists",
    )
    parser.add_argument(
        "--numbering",
        type=int,
        nargs=2,
        default=[0, 1],
        help="frame i holds FIRST + i * STEP: one source of an acquisition over several files",
    )
    args = parser.parse_args(argv)

    time.sleep(args.start_delay)
    frame_shape = tuple(args.frame_shape)
    ramp = sum(np.indices(frame_shape)) if frame_shape else 0
    # Until SWMR mode is on, the writer holds the file locked against readers.
    building = args.path if args.swmr_when else args.path + ".part"
    with h5py.File(building, "w", libver="latest") as f:
        dset = f.create_dataset(
            args.dataset,
            (0, *frame_shape),
            maxshape=(None, *frame_shape),
            dtype=args.dtype,
            chunks=(args.chunk_frames, *frame_shape),
            **FILTERS[args.filter](),
        )
        if args.swmr_when:
            print("locked", flush=True)
            while not os.path.exists(args.swmr_when):
                time.sleep(0.01)
        f.swmr_mode = True
        if building != args.path:
            os.rename(building, args.path)
        print("swmr on", flush=True)
        written = 0
        while written < args.frames:
            count = min(args.per_append, args.frames - written)
            block = np.empty((count, *frame_shape), dtype=args.dtype)
            for k in range(count):
                number = args.numbering[0] + (written + k) * args.numbering[1]
                block[k] = (number + ramp) % 256 if args.ramp else number
            dset.resize(written + count, axis=0)
            dset[written:] = block
            dset.flush()
            written += count
            print("flushed", written, flush=True)
            if written == args.pause_after:
                while not os.path.exists(args.resume_when):
                    time.sleep(0.01)
            time.sleep(args.delay)
        time.sleep(args.hold)
    return 0


if __name__ == "__main__":
    sys.exit(main())
