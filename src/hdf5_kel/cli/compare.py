"""`compare` and `compare-subfiles`: exit status 0 equal, 1 different, 2 error."""

import glob

from .messages import DIFFERENT, EQUAL, CommandError

STATUSES = "Exit status: 0 equal, 1 different, 2 error."


def run_compare(args):
    from hdf5_kel.filekit import compare_dataset_two1

    dataset_b = args.dataset_b or args.dataset
    same = compare_dataset_two1(args.file_a, args.dataset, args.file_b, dataset_b)
    if not args.quiet:
        print(
            f"{'equal' if same else 'different'}:"
            f" {args.file_a}:{args.dataset} and {args.file_b}:{dataset_b}"
        )
    return EQUAL if same else DIFFERENT


def run_compare_subfiles(args):
    import h5py

    from hdf5_kel.filekit import compare_dataset_subfiles

    if len(args.pattern) > 1:
        raise CommandError(
            f"PATTERN came as {len(args.pattern)} paths, expanded by the shell:"
            " quote it, e.g. 'run_*.h5'"
        )
    (pattern,) = args.pattern
    # Errors, not verdicts: the comparison alone would call a missing main
    # dataset "different" and a pattern that matches nothing "equal".
    with h5py.File(args.file, "r", libver="latest", swmr=True) as f:
        if f.get(args.dataset) is None:
            raise CommandError(f"dataset {args.dataset} not found in {args.file}")
    subfiles = glob.glob(pattern)
    if not subfiles:
        raise CommandError(f"no file matches {pattern}")
    try:
        same = compare_dataset_subfiles(
            args.file, args.dataset, pattern, args.sub_dataset or args.dataset
        )
    except AssertionError as mismatch:
        if not args.quiet:
            print(f"different: {mismatch}")
        return DIFFERENT
    if not args.quiet:
        verdict = "equal" if same else "different"
        print(
            f"{verdict}: the {len(subfiles)} sub-files {pattern}, end to end, and the leading"
            f" frames of {args.file}:{args.dataset}"
        )
    return EQUAL if same else DIFFERENT


def add_parsers(commands):
    compare = commands.add_parser(
        "compare",
        help="compare a dataset in two files (exit status 0 equal, 1 different, 2 error)",
        description="Compare a dataset in two files: shape, element type and every value"
        " (NaN equals nothing). The files are read in SWMR mode, so a writer may still hold"
        f" them. {STATUSES}",
    )
    compare.add_argument("file_a", metavar="A", help="first HDF5 file")
    compare.add_argument("file_b", metavar="B", help="second HDF5 file")
    compare.add_argument("dataset", metavar="DATASET", help="dataset path in A (and in B)")
    compare.add_argument(
        "dataset_b", metavar="DATASET_B", nargs="?", help="dataset path in B, if it differs"
    )
    compare.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    compare.set_defaults(run=run_compare)

    subfiles = commands.add_parser(
        "compare-subfiles",
        help="compare numbered sub-files with a main dataset (exit status as compare)",
        description="Check that the sub-files matching PATTERN, taken in the order of the"
        " four digits before .h5 in their names and laid end to end, equal the leading"
        f" frames of DATASET in FILE. {STATUSES}",
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
    subfiles.set_defaults(run=run_compare_subfiles)
