"""`write`: run one of the test writers."""

import functools
import os

from .messages import INTERRUPTED, CommandError, element_type, non_negative_int, one_line, plural

# The writers that take no arguments: "swmr.h5" with "/data" in the working
# directory. They write the same file and print the same lines.
FIXED_WRITERS = {
    "basic_writer": "the new shape of each append is the constant (rows + 1, 4), and the row"
    " [1, 2, 3, 4] is made before the dataset",
    "writer_first_dim2": "the new shape of each append is the dataset's own shape with axis 0"
    " one longer and the other axes taken from the row, the rule the configurable writers"
    " use for frames of any shape; the row is made once SWMR mode is on",
}

# A sample of the values each configurable writer stores: counting or random
# integers, and the random fractions of writer_first_dim3_multiline's last frames.
STORED_VALUES = {
    "writer_first_dim3": ("integers", [0]),
    "writer_first_dim3_multiline": ("integers and fractions", [0, 0.5]),
}


def check_element_type(writer, dtype):
    """Refuse an element type that HDF5 cannot convert the writer's values
    into, before the writer replaces any file: tried on a file in memory."""
    import h5py
    import numpy as np

    name = writer.__name__
    what, samples = STORED_VALUES[name]
    try:
        with h5py.File("element-type-trial", "w", driver="core", backing_store=False) as trial:
            for number, value in enumerate(samples):
                trial.create_dataset(str(number), (1,), dtype=dtype)[:] = np.array([value])
    except (OSError, TypeError, ValueError) as error:
        raise CommandError(
            f"--dtype {dtype}: HDF5 cannot store the {what} of {name} as {dtype}"
            f" ({one_line(error)})"
        ) from error


def check_shape_set(writer, shape_set, options):
    """Refuse a shape set the writer would fail on only after replacing the file."""
    import inspect
    import math

    name, given = writer.__name__, " ".join(map(str, shape_set))
    if name == "writer_first_dim3" and len(shape_set) < 2:
        raise CommandError(
            f"--shape-set {given}: {name} needs the frame count and at least one frame axis"
        )
    # Each append builds its frames as 8-byte numbers first: a whole block
    # where the frame count reaches one.
    frames = 1
    parameters = inspect.signature(writer).parameters
    if "segmentsize" in parameters:
        block = options.get("segmentsize", parameters["segmentsize"].default)
        frames = block if shape_set[0] >= block else 1
    needed = 8 * frames * math.prod(shape_set[1:])
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    if needed > memory:
        raise CommandError(
            f"--shape-set {given}: an append of {plural(frames, 'frame')} needs"
            f" {needed / 2**30:.1f} GiB, more than the {memory / 2**30:.1f} GiB of memory here"
        )


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
        if args.dtype is not None:
            check_element_type(writer, args.dtype)
        if args.shape_set is not None:
            check_shape_set(writer, args.shape_set, options)
        call = functools.partial(writer, args.file, args.dataset, **options)

    try:
        call()
    except KeyboardInterrupt:
        print(f"stopped: {path} keeps the frames flushed so far", flush=True)
        return INTERRUPTED
    print(f"done: {path}:{dataset}, {describe_dataset(path, dataset)}", flush=True)
    return 0


def add_parser(commands):
    write = commands.add_parser(
        "write",
        help="write a growing test file with one of the test writers",
        description="Run one of the SWMR test writers of hdf5_kel.swmr.library.feedgen in"
        " this process: it creates the file, switches SWMR mode on and appends frames over"
        " time. An existing file at the path is replaced.",
    )
    writers = write.add_subparsers(dest="writer", required=True, metavar="WRITER")
    for name, difference in FIXED_WRITERS.items():
        fixed = writers.add_parser(
            name,
            help="15 rows of [1, 2, 3, 4] to swmr.h5:/data, one a second",
            description="Write swmr.h5 with the dataset /data: 15 rows of [1, 2, 3, 4],"
            " one a second. basic_writer and writer_first_dim2 write the same file and print"
            f" the same lines; in {name}, {difference}.",
        )
        fixed.add_argument(
            "--directory", default=".", help="where to write swmr.h5 (default: here)"
        )
    for name, help_text in (
        ("writer_first_dim3", "frames of counting integers to FILE:DATASET, without pause"),
        (
            "writer_first_dim3_multiline",
            "random frames to FILE:DATASET, a block a second, then the rest one by one",
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
