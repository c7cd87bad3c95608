"""`python -m hdf5_kel COMMAND`: the command line (hdf5_kel.cli)."""

import sys

from hdf5_kel.cli import main, stop_on_sigterm

if __name__ == "__main__":
    stop_on_sigterm()
    sys.exit(main())
