"""Instructions per call of the hot paths, ours and plain Python, under callgrind.

    python bench/instructions.py            # every call, about 10 minutes
    python bench/instructions.py get reached8

Instruction counts do not depend on what else the machine runs, so they tell
apart two calls whose timings differ by less than the noise. Each figure is
(total of a run making 3,000 calls - total of a run making none) / 3,000; both
runs set the same objects up and make 50 calls first. A figure includes the
loop's own instructions (the "none" row).
"""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

BENCH = Path(__file__).resolve().parent
CALLS = 3000
DATASET = "/entry/data"
N = 4000  # frames per buffer and file

# name: (what is called, the statement of the loop)
CALLS_MEASURED = {
    "none": ("the loop itself", "None"),
    "reached8": ("Buffers.all_reached(1), 8 buffers", "b.all_reached(1)"),
    "reached0": ("Buffers.all_reached(1), no buffer", "b.all_reached(1)"),
    "append": ("NumpyBuffer.appendData, one 16x16 frame", "b.appendData(block)"),
    "get": ("NumpyBuffer.getData(1)", "b.getData(1)"),
    "datas8": ("Buffers.getDatas(1), 8 buffers", "b.getDatas(1)"),
    "multi": ("SWMRCountMulti.recv(1), 4 files", "m.recv(1)"),
    "modify": ("SWMRCount.modify, nothing new", "c.modify(d, (0, 64, 64))"),
    "recv": ("SWMRCount.recv, one new 64x64 frame", "c.index = last; c.recv()"),
    "read": ("SWMRReader.read_chunk, one 16x16 frame present", "r.read_chunk()"),
}


def objects(implementation, name, work):
    """The namespace the loop of one call runs in."""
    sys.path.insert(0, str(BENCH))
    import baseline
    import numpy as np
    import run

    from hdf5_kel.swmr.library import framepool, tailread

    pool, live = (framepool, tailread) if implementation == "ours" else (baseline, baseline)

    def buffers(count):
        made = pool.Buffers()
        for _ in range(count):
            made.appendNewBuffer((N, 16, 16), "uint16")
        for buffer in made.buffers:
            buffer.reallen = N
        return made

    def frames(stem, count, shape, **layout):
        return run.write_frames(work / f"{stem}-{implementation}.h5", count, shape, **layout)

    if name in ("reached8", "reached0", "datas8"):
        return {"b": buffers(0 if name == "reached0" else 8)}
    if name in ("append", "get"):
        buffer = pool.NumpyBuffer((N, 16, 16), "uint16")
        buffer.reallen = N if name == "get" else 0
        return {"b": buffer, "block": np.ones((1, 16, 16), "uint16")}
    if name == "multi":
        paths = [frames(f"multi{i}", N, (16, 16), chunk_frames=256) for i in range(4)]
        receiver = live.SWMRCountMulti([(p, DATASET, 3, (N, 16, 16), "uint16") for p in paths], N)
        receiver.recv(1)  # takes every file's frames in: the calls hand out from buffers
        return {"m": receiver}
    if name in ("modify", "recv"):
        counter = live.SWMRCount(frames("count", CALLS, (64, 64)), DATASET, 3, CALLS)
        return {"c": counter, "d": counter.dset, "last": CALLS - 1}
    if name == "read":
        return {
            "r": live.SWMRReader(frames("small", CALLS + 100, (16, 16)), DATASET, 0, CALLS + 100, 1)
        }
    return {}


def worker(implementation, name, calls):
    with (
        tempfile.TemporaryDirectory() as work,
        open(os.devnull, "w") as sink,
        contextlib.redirect_stdout(sink),
    ):
        loop = timeit.Timer(
            CALLS_MEASURED[name][1], globals=objects(implementation, name, Path(work))
        )
        loop.timeit(50)
        loop.timeit(calls)


def total_instructions(implementation, name, calls):
    with tempfile.TemporaryDirectory() as out:
        profile = Path(out) / "callgrind.out"
        env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}", sys.executable,
             __file__, "--worker", implementation, name, str(calls)],
            env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )  # fmt: skip
        return int(re.search(r"^summary: (\d+)", profile.read_text(), re.MULTILINE).group(1))


def main(names):
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed (Debian: apt-get install valgrind)")
    print("| call | hdf5_kel | plain Python |\n|---|---:|---:|")
    for name in names or CALLS_MEASURED:
        per_call = {}
        for implementation in ("ours", "Python"):
            made = total_instructions(implementation, name, CALLS)
            setup = total_instructions(implementation, name, 0)
            per_call[implementation] = f"{(made - setup) / CALLS:,.0f}"
        print(
            f"| {CALLS_MEASURED[name][0]} | {per_call['ours']} | {per_call['Python']} |", flush=True
        )


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main(sys.argv[1:])
