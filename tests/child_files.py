"""Files that the child processes of the fuzz and leak tests make in their
working directory: every follower gets a file of its own, since one process
holding two dataset objects of one growing file is a case of its own."""

import h5py
import numpy as np

DATASET = "/entry/data"
FRAMES = np.arange(1, 33, dtype="int32").reshape(8, 2, 2)
made = 0


def new_path():
    global made
    made += 1
    return f"file{made}.h5"


def complete_file():
    path = new_path()
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset(DATASET, data=FRAMES, maxshape=(None, 2, 2), chunks=(8, 2, 2))
    return path
