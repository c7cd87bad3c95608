"""`write`: run one of the test writers."""

import functools
import os

from .messages import INTERRUPTED, element_type, non_negative_int

# The writers that take no arguments: "swmr.h5" with "/data" in the working directory.
FIXED_WRITERS = ("basic_writer", "writer_first_dim2")


def describe_dataset(path, dataset):
    import h5py

    with h5py.File(path, "r", libver="latest", swmr=True) as f:
        dset = f[dataset]
        return f"shape {dset.shape}, element type {dset.dtype}"


def run(args):
    from hdf5_kel.swmr.library import feedgen

    writer = getattr(feedgen, args.writer)
    if args.writer in FIXED_WRITERS:
        path, dataset = os.path.abspath(os.path.join(args.directory, "swmr.h5")), "/data"
        os.chdir(args.directory)
        call = writer
    else:
        path, dataset = args.file, args.dataset
        # Only the parameters given: the writer's own defaults hold for the rest.
        options = {
            name: value
            for name in ("shape_set", "dtype", "segmentsize")
            if (value := getattr(args, name, None)) is not None
        }
        call = functools.partial(writer, args.file, args.dataset, **options)

    try:
        call()
    except KeyboardInterrupt:
        print(f"interrupted: {path} keeps the frames flushed so far", flush=True)
        return INTERRUPTED
    print(f"done: {path}:{dataset}, {describe_dataset(path, dataset)}", flush=True)
    return 0


def add_parser(commands):
    write = commands.add_parser(
        "write",
        help="run one of the test writers",
        description="Run one of the SWMR test writers of hdf5_kel.swmr.library.feedgen in"
        " this process: it creates the file, switches SWMR mode on and appends frames over"
        " time. An existing file at the path is replaced.",
    )
    writers = write.add_subparsers(dest="writer", required=True, metavar="WRITER")
    for name in FIXED_WRITERS:
        fixed = writers.add_parser(
            name,
            help="15 rows of [1, 2, 3, 4] to swmr.h5:/data, one a second",
            description="Write swmr.h5 with the dataset /data: 15 rows of [1, 2, 3, 4],"
            " one a second.",
        )
        fixed.add_argument(
            "--directory", default=".", help="where to write swmr.h5 (default: here)"
        )
    for name, help_text in (
        ("writer_first_dim3", "counting frames, one at a time, without pause"),
        (
            "writer_first_dim3_multiline",
            "random frames in blocks, one block a second, then the rest one by one",
        ),
    ):
        configurable = writers.add_parser(name, help=help_text, description=help_text + ".")
        configurable.add_argument("file", metavar="FILE", help="HDF5 file to create")
        configurable.add_argument(
            "dataset", metavar="DATASET", help="dataset path inside it, e.g. /entry/data"
        )
        configurable.add_argument(
            "--shape-set",
            dest="shape_set",
            type=non_negative_int,
            nargs="+",
            metavar=("FRAMES", "AXIS"),
            help="frame count, then the frame's axes (default: 10 2 3)",
        )
        configurable.add_argument(
            "--dtype", type=element_type, help="element type, e.g. uint16 (default: int32)"
        )
        if name == "writer_first_dim3_multiline":
            configurable.add_argument(
                "--segmentsize", type=int, help="frames per block (default: 10)"
            )
    write.set_defaults(run=run)
