"""A plain-h5py SWMR writer for the tests, run as its own process.

Frame i holds the value i in every element, so a reader can check each frame it
gets. Usage:
    python swmr_writer.py PATH DATASET FRAMES [--per-append K] [--delay S]
        [--frame-shape A B ...] [--dtype T] [--start-delay S] [--hold S]
        [--pause-after N --resume-when PATH] [--compression bitshuffle-lz4]
        [--swmr-when PATH]

The file is made under a temporary name and renamed into place once SWMR mode is
on, so a reader never finds it half set up.
"""

import argparse
import os
import sys
import time

import h5py
import numpy as np


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
        "--compression",
        choices=["none", "bitshuffle-lz4"],
        default="none",
        help="bitshuffle-lz4: the filter plugin of hdf5plugin, as detectors write",
    )
    parser.add_argument(
        "--swmr-when",
        default="",
        help="create the file in place and switch SWMR mode on only once this path exists",
    )
    args = parser.parse_args(argv)

    filters = {}
    if args.compression == "bitshuffle-lz4":
        import hdf5plugin

        filters = hdf5plugin.Bitshuffle(cname="lz4")
    time.sleep(args.start_delay)
    frame_shape = tuple(args.frame_shape)
    # Until SWMR mode is on, the writer holds the file locked against readers.
    building = args.path if args.swmr_when else args.path + ".part"
    with h5py.File(building, "w", libver="latest") as f:
        dset = f.create_dataset(
            args.dataset,
            (0, *frame_shape),
            maxshape=(None, *frame_shape),
            dtype=args.dtype,
            chunks=(1, *frame_shape),
            **filters,
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
                block[k] = written + k
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
