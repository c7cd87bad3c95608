"""`compare` and `compare-subfiles`: exit status 0 equal, 1 different, 2 error."""

import glob

from ..follow import dataset_in, explain_read_errors, frames_of, open_file
from .followers import add_threads_argument
from .messages import DIFFERENT, EQUAL, CommandError, plural

STATUSES = "Exit status: 0 equal, 1 different, 2 error."
EQUAL_NAN = "NaN equals NaN at the same place (default: NaN equals nothing)"

# Rows read at once while looking for the first difference.
BLOCK_BYTES = 32 * 2**20

BYTE_ORDERS = {"<": " little-endian", ">": " big-endian"}


def type_name(dtype):
    """The element type with its byte order, where it has one: int32 big-endian."""
    order = BYTE_ORDERS.get(dtype.str[0], "")
    return f"{dtype.newbyteorder('=') if order else dtype}{order}"


def differing(a, b, equal_nan):
    """Where the arrays differ, elementwise; NaN against NaN too, unless `equal_nan`."""
    import numpy as np

    a, b = np.asarray(a), np.asarray(b)
    differ = np.asarray(a != b)
    if equal_nan and a.dtype.kind in "fc" and b.dtype.kind in "fc":
        differ &= ~(np.isnan(a) & np.isnan(b))
    return differ


def first_difference(a, a_start, b, b_start, frames, equal_nan):
    """How frames [a_start, a_start + frames) of `a` and the frames from
    `b_start` of `b` first differ, read in blocks of bounded size: the offset
    of the first differing frame and the rest of a sentence "frame N differs
    ..." that says how; None when they are equal."""
    import numpy as np

    frame_bytes = a.dtype.itemsize * max(int(np.prod(a.shape[1:])), 1)
    step = max(BLOCK_BYTES // frame_bytes, 1)
    for offset in range(0, frames, step):
        count = min(step, frames - offset)
        block_a = a[a_start + offset : a_start + offset + count]
        block_b = b[b_start + offset : b_start + offset + count]
        differ = differing(block_a, block_b, equal_nan)
        if differ.any():
            first = int(np.flatnonzero(differ.reshape(count, -1).any(axis=1))[0])
            frame_a, frame_b, where = block_a[first], block_b[first], differ[first]
            if where.ndim == 0:
                return offset + first, f": {frame_a} and {frame_b}"
            position = tuple(int(i) for i in np.argwhere(where)[0])
            return offset + first, (
                f" in {int(where.sum())} of {plural(where.size, 'element')}, the first at"
                f" {position}: {frame_a[position]} and {frame_b[position]}"
            )
    return None


def why_different(a, b, equal_nan):
    """What tells dataset `a` from `b`, or None when they are equal."""
    if a.shape != b.shape:
        return f"shapes {a.shape} and {b.shape}"
    if a.dtype != b.dtype:
        return f"element types {type_name(a.dtype)} and {type_name(b.dtype)}"
    if a.shape == ():
        value_a, value_b = a[()], b[()]
        return f"values {value_a} and {value_b}" if differing(value_a, value_b, equal_nan) else None
    found = first_difference(a, 0, b, 0, a.shape[0], equal_nan)
    if found is None:
        return None
    frame, how = found
    return f"frame {frame} differs{how}"


def run_compare(args):
    from hdf5_kel.filekit import compare_dataset_two

    dataset_b = args.dataset_b or args.dataset
    with open_file(args.file_a) as file_a, open_file(args.file_b) as file_b:
        found_a = dataset_in(file_a, args.file_a, args.dataset)
        found_b = dataset_in(file_b, args.file_b, dataset_b)
        with (
            frames_of(file_a, found_a) as a,
            frames_of(file_b, found_b) as b,
            explain_read_errors((args.file_a, a), (args.file_b, b)),
        ):
            if a is not found_a or b is not found_b:  # an acquisition over several files
                reason = why_different(a, b, args.equal_nan)
            else:
                # The comparison decides; only a difference (or NaN, which it
                # counts as one) is looked into.
                same = compare_dataset_two(a, b)
                reason = None if same else why_different(a, b, args.equal_nan)
    if not args.quiet:
        names = f"{args.file_a}:{args.dataset} and {args.file_b}:{dataset_b}"
        print(f"equal: {names}" if reason is None else f"different: {names}: {reason}")
    return EQUAL if reason is None else DIFFERENT


def subfile_order(paths):
    """The order in which compare_dataset_subfiles takes the sub-files: by the
    number in the four characters before ".h5"."""
    return sorted(paths, key=lambda path: int(path[-7:-3]))


def why_subfiles_differ(main_path, main, subfiles, sub_dataset, equal_nan):
    """What tells the sub-files, end to end, from the leading frames of
    `main`, or None when they match."""
    index = 0
    for path in subfile_order(subfiles):
        with open_file(path) as file:
            sub = dataset_in(file, path, sub_dataset)
            frames = len(sub)
            with explain_read_errors((main_path, main), (path, sub)):
                if index + frames > len(main):
                    return (
                        f"sub-file {path} reaches past the end of {main_path}:{main.name},"
                        f" which has {plural(len(main), 'frame')}: its {plural(frames, 'frame')}"
                        f" would be frames {index} to {index + frames - 1}"
                    )
                if sub.shape[1:] != main.shape[1:]:
                    return (
                        f"sub-file {path} has frames of shape {sub.shape[1:]},"
                        f" {main_path}:{main.name} of shape {main.shape[1:]}"
                    )
                found = first_difference(sub, 0, main, index, frames, equal_nan)
        if found is not None:
            frame, how = found
            return (
                f"sub-file {path}, its frame {frame} (frame {index + frame} of"
                f" {main_path}:{main.name}) differs{how}"
            )
        index += frames
    return None


def run_compare_subfiles(args):
    from hdf5_kel.filekit import compare_dataset_subfiles

    if len(args.pattern) > 1:
        raise CommandError(
            f"PATTERN came as {len(args.pattern)} paths, expanded by the shell:"
            " quote it, e.g. 'run_*.h5'"
        )
    (pattern,) = args.pattern
    sub_dataset = args.sub_dataset or args.dataset
    # Errors, not verdicts: the comparison alone would call a missing main
    # dataset "different" and a pattern that matches nothing "equal".
    with open_file(args.file) as file:
        dataset_in(file, args.file, args.dataset)
    subfiles = glob.glob(pattern)
    if not subfiles:
        raise CommandError(f"no file matches {pattern}")
    failure = None
    try:
        same = compare_dataset_subfiles(args.file, args.dataset, pattern, sub_dataset)
    except AssertionError:
        same = False
    except (OSError, RuntimeError) as error:
        # A read failed: the walk below reads the same frames and names the
        # file and the filter plugin, where one is missing.
        same, failure = False, error
    reason = None
    if not same:
        # The comparison's own handles are gone: one dataset object at a time.
        with open_file(args.file) as file:
            main = dataset_in(file, args.file, args.dataset)
            reason = why_subfiles_differ(args.file, main, subfiles, sub_dataset, args.equal_nan)
        if failure is not None:
            raise failure
    if not args.quiet:
        if reason is None:
            print(
                f"equal: the {len(subfiles)} sub-files {pattern}, end to end, and the leading"
                f" frames of {args.file}:{args.dataset}"
            )
        else:
            print(f"different: {reason}")
    return EQUAL if reason is None else DIFFERENT


def add_parsers(commands):
    compare = commands.add_parser(
        "compare",
        help="compare a dataset in two files (exit status 0 equal, 1 different, 2 error)",
        description="Compare a dataset in two files: shape, element type and every value"
        " (NaN equals nothing, unless --equal-nan). A difference is told in the line: the two"
        " shapes, the two element types, or the first differing frame and how many of its"
        " elements differ. The files are read in SWMR mode, so a writer may still hold"
        f" them. {STATUSES}",
    )
    compare.add_argument("file_a", metavar="A", help="first HDF5 file")
    compare.add_argument("file_b", metavar="B", help="second HDF5 file")
    compare.add_argument("dataset", metavar="DATASET", help="dataset path in A (and in B)")
    compare.add_argument(
        "dataset_b", metavar="DATASET_B", nargs="?", help="dataset path in B, if it differs"
    )
    compare.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    compare.add_argument("--equal-nan", action="store_true", help=EQUAL_NAN)
    add_threads_argument(compare)
    compare.set_defaults(run=run_compare)

    subfiles = commands.add_parser(
        "compare-subfiles",
        # One pattern, quoted: the shell would expand it into many.
        usage="%(prog)s FILE DATASET 'PATTERN' [--sub-dataset SUB_DATASET] [-q] [--equal-nan]"
        " [--threads N] [-h]",
        help="compare numbered sub-files with a main dataset (exit status as compare)",
        description="Check that the sub-files matching PATTERN, taken in the order of the"
        " four digits before .h5 in their names and laid end to end, equal the leading"
        " frames of DATASET in FILE. A difference is told in the line: the sub-file, its"
        f" first differing frame and how many of its elements differ. {STATUSES}",
    )
    subfiles.add_argument("file", metavar="FILE", help="main HDF5 file")
    subfiles.add_argument("dataset", metavar="DATASET", help="dataset path in FILE")
    # More than one PATTERN means the shell expanded it; told apart in the command.
    subfiles.add_argument(
        "pattern",
        metavar="PATTERN",
        nargs="+",
        help="glob pattern of the sub-files, e.g. 'run_*.h5' (quote it against the shell)",
    )
    subfiles.add_argument(
        "--sub-dataset",
        dest="sub_dataset",
        metavar="SUB_DATASET",
        help="dataset path in the sub-files (default: DATASET)",
    )
    subfiles.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    subfiles.add_argument("--equal-nan", action="store_true", help=EQUAL_NAN)
    add_threads_argument(subfiles)
    subfiles.set_defaults(run=run_compare_subfiles)
