"""Every public callable, called with random arguments, fails only with Python
exceptions, and a failed call moves no read or write position.

A child process makes seeded random calls for a bounded count and time: lists
of positional arguments and sets of keywords drawn from wrong types, None,
huge and negative numbers, numpy scalars, subclasses, closed files,
objects whose methods raise and objects of classes that borrow slot
descriptors, mixed with plausible values so that calls also
get deep. Calls that wait (for a file, for frames that never come) are ended
by a timer signal, as Ctrl-C would end them. KEL_FUZZ_CALLS and KEL_FUZZ_SEED
change the count and the seed.
"""

import json
import os

import pytest
from conftest import finish, start_python

pytestmark = pytest.mark.slow

FUZZ_CHILD = r"""
import json
import os
import random
import resource
import signal
import sys
import threading
import time

import h5py
import numpy as np

from child_files import DATASET, FRAMES, complete_file, new_path
from hdf5_kel import filekit
from hdf5_kel.swmr.library import feedgen, framepool, tailread
from hdf5_kel.swmr.library.framepool import Buffers, NumpyBuffer
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader, SWMRReaderMulti

seed, calls, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
if "asan" not in os.environ.get("LD_PRELOAD", ""):  # ASan reserves terabytes up front
    # A shape that asks for more memory than the machine has fails with
    # MemoryError rather than swapping the machine to a halt.
    resource.setrlimit(resource.RLIMIT_AS, (8 << 30, resource.RLIM_INFINITY))
rng = random.Random(seed)
report = sys.stdout
# file_chmod takes a file descriptor as well as a path, and small ints are
# among the arguments: no descriptor of this process may be a device that
# the machine shares, such as /dev/null as standard input.
os.dup2(os.open("stdin.txt", os.O_RDONLY | os.O_CREAT), 0)
sys.stdout = open("printed.txt", "w")  # the readers' and writers' lines


class Waited(BaseException):
    "A call still waiting when the timer fired: for a file, or for frames."


def timer_fired(signum, frame):
    raise Waited


signal.signal(signal.SIGALRM, timer_fired)


class Int(int):
    pass


class Str(str):
    pass


class List(list):
    pass


class NeverSet:
    def is_set(self):
        return False


class AlwaysSet:
    def is_set(self):
        return True


class Borrower:
    "Borrows the frame buffers' slot descriptors without having their slots."

    array = NumpyBuffer.__dict__["array"]
    index = NumpyBuffer.__dict__["index"]
    reallen = NumpyBuffer.__dict__["reallen"]
    buffers = Buffers.__dict__["buffers"]
    getData = NumpyBuffer.getData


class Hostile:
    "Every protocol a callee might use on it raises."

    def __getattr__(self, name):
        raise RuntimeError(f"hostile attribute {name}")

    def __index__(self):
        raise RuntimeError("hostile index")

    def __len__(self):
        raise RuntimeError("hostile len")

    def __iter__(self):
        raise RuntimeError("hostile iter")

    def __eq__(self, other):
        raise RuntimeError("hostile eq")

    def __lt__(self, other):
        raise RuntimeError("hostile lt")

    __gt__ = __le__ = __ge__ = __add__ = __radd__ = __lt__
    __hash__ = object.__hash__

    def __bool__(self):
        raise RuntimeError("hostile bool")


with open("text.h5", "w") as text:
    text.write("not HDF5")
os.makedirs("folder.h5", exist_ok=True)
closed_file = h5py.File(complete_file(), "r")
closed_dataset = closed_file[DATASET]
closed_file.close()

# The objects under test, made afresh every few calls (calls close them too).
live = {}


def rebuild():
    for obj in live.values():
        close = getattr(obj, "close", None)
        try:
            if close:
                close()
        except Exception:
            pass
    live.clear()
    live["buffer"] = NumpyBuffer((8, 2, 2), "int32")
    live["buffers"] = Buffers()
    live["buffers"].appendNewBuffer((8, 2, 2), "int32")
    live["buffers"].appendNewBuffer((8, 2, 2), "int32")
    live["reader"] = SWMRReader(complete_file(), DATASET, 0, 8, 3)
    live["counter"] = SWMRCount(complete_file(), DATASET, 3, 8)
    live["multi_reader"] = SWMRReaderMulti([(complete_file(), DATASET, 0, 8, 3) for _ in "ab"])
    entries = [(complete_file(), DATASET, 3, (8, 2, 2), "int32") for _ in "ab"]
    live["receiver"] = SWMRCountMulti(entries, 8)
    live["h5file"] = filekit.H5File(new_path(), "w")
    live["wrapper"] = live["h5file"].create_dataset("/frames", (8, 2, 2), "int32")
    live["dataset"] = h5py.File(complete_file(), "r", libver="latest", swmr=True)[DATASET]


def positions():
    # Read and write positions of every live object; a failed call must leave
    # them as they were.
    receiver = live["receiver"]
    return {
        "buffer": (live["buffer"].index, live["buffer"].reallen),
        "buffers": [(b.index, b.reallen) for b in live["buffers"].buffers],
        "reader": live["reader"].index,
        "counter": live["counter"].index,
        "multi_reader": [r.index for r in live["multi_reader"].readers],
        "receiver": receiver.index,
        "wrapper": live["wrapper"].index,
        "h5file": sorted(live["h5file"].dsets),
    }


def receiver_in_step():
    # Whatever a counter of the receiver handed out is in its buffer.
    receiver = live["receiver"]
    return all(
        c.index == b.reallen for c, b in zip(receiver.swmrcounts, receiver.buffers.buffers)
    )


ODD = [
    None, True, False, 0, 1, 3, -1, -7, 2**31, 2**63, -2**63, 2**100, 1.5, -0.5,
    float("nan"), float("inf"), "", "x", "/", "/entry", "/entry/data", "text.h5", "folder.h5",
    "missing.h5", b"\x03\x02", (), (8, 2, 2), [8, 2, 2], (2**40, 2), (3,), ("a", 2), {}, {"a": 1},
    np.int64(2), np.int32(-3), np.uint8(255), np.float32(1.5), np.bool_(True), np.array(3),
    np.zeros((2, 2, 2), "int32"), np.ones(3), np.zeros((0, 2, 2)), FRAMES, FRAMES.astype("f8"),
    Int(2), Str("text.h5"), List([1, 2]), object(), NeverSet(), AlwaysSet(), Hostile(),
    Borrower(), [Borrower(), Borrower()],
    threading.Event(), closed_file, closed_dataset, lambda: None, int, "int32", np.int32,
    "no such type", SWMRCount, print,
]

# Values that make sense for a parameter of that name, so that calls also
# succeed and reach the later steps of a method.
PLAUSIBLE = {
    "filepath": lambda: rng.choice([complete_file(), new_path(), "text.h5"]),
    "filename": lambda: complete_file(),
    "filepath1": lambda: complete_file(),
    "filepath2": lambda: complete_file(),
    "datasetname": lambda: DATASET,
    "datasetpath": lambda: DATASET,
    "datasetpath1": lambda: DATASET,
    "datasetpath2": lambda: DATASET,
    "subFileDatasetPath": lambda: DATASET,
    "subFilePathPattern": lambda: "file*.h5",
    "start_frame": lambda: rng.randint(0, 9),
    "total_frames": lambda: rng.randint(0, 9),
    "total_count": lambda: rng.randint(0, 9),
    "batch_size": lambda: rng.randint(1, 4),
    "remainLen": lambda: rng.randint(0, 4),
    "remainlen": lambda: rng.randint(1, 4),
    "dim": lambda: 3,
    "data": lambda: FRAMES[: rng.randint(0, 8)],
    "shape": lambda: rng.choice([(8, 2, 2), (4, 2, 2)]),
    "dtype": lambda: rng.choice(["int32", np.float64]),
    "stop_event": lambda: rng.choice([NeverSet(), AlwaysSet()]),
    "files": lambda: [(complete_file(), DATASET, 0, 8, 2)],
    "params": lambda: [complete_file(), DATASET, 3, (8, 2, 2), "int32"],
    "mode": lambda: rng.choice(["r", "a", "w"]),
    "dset": lambda: live["dataset"],
    "dataset1": lambda: live["dataset"],
    "dataset2": lambda: live["dataset"],
    "shape_set": lambda: (rng.randint(0, 4), 2, 2),
    "segmentsize": lambda: rng.randint(1, 3),
    "m": lambda: {"a": 1, "b": [1, 2]},
    "mod": lambda: 0o644,
    # An unbound method called on an object of a class that only borrows the
    # frame buffers' slot descriptors.
    "self": lambda: Borrower(),
    "exc_type": lambda: rng.choice([None, ValueError, KeyboardInterrupt]),
    "exc_value": lambda: rng.choice([None, ValueError("in the block")]),
    "traceback": lambda: None,
}


# The suite may run as root: an odd absolute path given as a file ("/" to
# file_chmod, "/entry" to H5File) would change the machine itself, so such
# paths stay inside the working directory.
FILE_PARAMETERS = {"filepath", "filename", "filepath1", "filepath2"}


def value(name):
    if name in PLAUSIBLE and rng.random() < 0.5:
        return PLAUSIBLE[name]()
    if rng.random() < 0.15:
        return rng.choice(list(live.values()))
    odd = rng.choice(ODD)
    if name in FILE_PARAMETERS and isinstance(odd, str) and odd.startswith("/"):
        return "." + odd
    return odd


def parameters(target):
    code = getattr(target, "__code__", None)
    return list(code.co_varnames[: code.co_argcount]) if code else []


def public_callables():
    found = {}
    for module in (framepool, tailread, feedgen, filekit):
        for name, obj in vars(module).items():
            if name.startswith("_") or getattr(obj, "__module__", None) != module.__name__:
                continue
            found[name] = obj
            if isinstance(obj, type):
                for attribute, member in vars(obj).items():
                    if attribute != "__init__" and (callable(member) or isinstance(member, classmethod)):
                        found[f"{name}.{attribute}"] = (obj, attribute)
    found["compare_dataset_two"] = filekit.compare_dataset_two
    return found


def stepped(obj):
    "One step of `for block in obj`."
    return next(iter(obj), None)


TARGETS = public_callables()
# A for loop over a follower: every step is a read through the object's own method.
ITERATED = {
    f"for over {cls.__name__}": cls
    for cls in (SWMRReader, SWMRCount, SWMRReaderMulti, SWMRCountMulti)
}
TARGETS.update(ITERATED)
KINDS = {
    NumpyBuffer: "buffer", Buffers: "buffers", SWMRReader: "reader", SWMRCount: "counter",
    SWMRReaderMulti: "multi_reader", SWMRCountMulti: "receiver", filekit.H5File: "h5file",
    filekit.DataSet: "wrapper",
}
# The overloads of compare_dataset_two, chosen by the arguments' types.
OVERLOADS = [
    ["dataset1", "dataset2"],
    ["filepath1", "filepath2", "datasetpath"],
    ["filepath1", "datasetpath1", "filepath2", "datasetpath2"],
]


def pick_call(name):
    "The callable, the arguments that must lead, and the parameter names after them."
    target = TARGETS[name]
    if name in ITERATED:
        if rng.random() < 0.8:
            return stepped, [live[KINDS[target]]], []
        return stepped, [value("self")], []
    if target is filekit.compare_dataset_two:
        return target, [], rng.choice(OVERLOADS)
    if isinstance(target, type):
        return target, [], parameters(target.__init__)[1:]
    if not isinstance(target, tuple):
        return target, [], parameters(target)
    cls, attribute = target
    function = getattr(cls, attribute)
    names = parameters(function)[1:]  # self, or cls
    if hasattr(function, "__self__"):  # a class method, bound to its class
        return function, [], names
    if rng.random() < 0.8:
        return getattr(live[KINDS[cls]], attribute), [], names
    return function, [value("self")], names  # unbound, with any first argument


def arguments(names, leading):
    args = list(leading)
    count = rng.choice([len(names), len(names), rng.randint(0, len(names) + 2)])
    args += [value(names[i] if i < len(names) else "") for i in range(count)]
    keywords = {}
    if rng.random() < 0.4:
        pool = names + ["bogus", "self", "remainlen", "remainLen", "filepath"]
        for keyword in rng.sample(pool, rng.randint(1, 3)):
            keywords[keyword] = value(keyword)
    return args, keywords


outcomes = {name: {"ok": 0, "raised": 0, "waited": 0} for name in TARGETS}
moved, broken, escaped = [], [], []
rebuild()
deadline = time.monotonic() + seconds
for call_number in range(calls):
    if time.monotonic() > deadline:
        break
    if call_number % 50 == 0:
        rebuild()
    name = rng.choice(sorted(TARGETS))
    try:
        function, leading, names = pick_call(name)
        args, keywords = arguments(names, leading)
        before = positions()
    except Exception:  # a previous call spoiled an object
        rebuild()
        continue
    outcome = "waited"
    try:
        # Repeats, in case a finaliser run during the call swallows one.
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        try:
            function(*args, **keywords)
            outcome = "ok"
        except Exception as error:
            outcome = "raised"
            failure = f"{type(error).__name__}: {error}"[:200]
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except Waited:
        pass
    except BaseException as error:
        escaped.append(f"{name}: {type(error).__name__}: {error}")
        continue
    outcomes[name][outcome] += 1
    try:
        after = positions()
    except Exception:
        rebuild()
        continue
    # A follower given as an argument is an iterator of its blocks: a callee
    # that iterates that argument (a multi-file constructor its files, h5py a
    # shape) reads it, as it would read any iterator. Only those may move.
    iterated = {
        kind
        for kind, obj in live.items()
        if isinstance(obj, tuple(ITERATED.values()))
        and any(obj is arg for arg in [*args, *keywords.values()])
    }
    before = {kind: place for kind, place in before.items() if kind not in iterated}
    after = {kind: place for kind, place in after.items() if kind not in iterated}
    if outcome == "raised" and after != before:
        moved.append(f"{name}{tuple(map(repr, args))} {keywords} -> {failure}: {before} {after}")
    if not receiver_in_step():
        broken.append(f"{name} ({outcome})")
        rebuild()
json.dump(
    {"outcomes": outcomes, "moved": moved, "broken": broken, "escaped": escaped,
     "calls": call_number + 1},
    report,
)
"""


def test_random_calls_raise_python_exceptions_and_move_nothing(tmp_path):
    seed = os.environ.get("KEL_FUZZ_SEED", "20261207")
    calls = int(os.environ.get("KEL_FUZZ_CALLS", "2000"))
    # About five milliseconds a call: the time bound only cuts a slow run short.
    child = start_python(FUZZ_CHILD, tmp_path, seed, calls, calls / 200)
    result = json.loads(finish(child, timeout=60 + calls / 20))
    assert result["moved"] == [] and result["broken"] == [] and result["escaped"] == []
    never_called = [name for name, seen in result["outcomes"].items() if sum(seen.values()) == 0]
    assert never_called == []
    never_failed = [name for name, seen in result["outcomes"].items() if seen["raised"] == 0]
    assert never_failed == []
