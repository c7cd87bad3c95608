"""Hot methods and error paths, called over and over, keep memory flat.

A child process runs every workload: a warm-up, then the counted calls,
measuring the interpreter's allocated blocks and the resident memory before
and after. A call that leaks one object leaks as many blocks as there are
calls; the bounds below leave room only for caches settling.

Hot methods run 100,000 times and error paths 10,000 times, except that calls
through HDF5, at a few hundred microseconds each, run 2,000 and 1,000 times
by default: a leaked object still shows as thousands of blocks. With
KEL_LEAK_FULL=1 they too run 100,000 and 10,000 times (about ten minutes).
"""

import json
import os
import sys

import pytest
from conftest import finish, start_python

pytestmark = pytest.mark.slow

LEAK_CHILD = r"""
import gc
import json
import os
import sys
import threading
import time
import warnings

import h5py
import numpy as np

from child_files import DATASET, FRAMES, complete_file, new_path
from hdf5_kel import filekit
from hdf5_kel.swmr.library import feedgen, tailread
from hdf5_kel.swmr.library.framepool import Buffers, NumpyBuffer
from hdf5_kel.swmr.library.tailread import SWMRCount, SWMRCountMulti, SWMRReader, SWMRReaderMulti

full = sys.argv[1] == "full"
report = sys.stdout
sys.stdout = open(os.devnull, "w")  # the readers' lines


class NoPause:
    # The constructors' waits for the writer, not under test here.
    sleep = staticmethod(lambda seconds: None)


tailread.time = NoPause


def reader():
    return SWMRReader(complete_file(), DATASET, 0, 8, 4)


def counter():
    return SWMRCount(complete_file(), DATASET, 3, 8)


def multi_reader():
    return SWMRReaderMulti([(complete_file(), DATASET, 0, 8, 4) for _ in range(2)])


def receiver(capacity=8):
    return SWMRCountMulti(
        [(complete_file(), DATASET, 3, (capacity, 2, 2), "int32") for _ in range(2)], 8
    )


def rewound(follower):
    if hasattr(follower, "readers"):
        for r in follower.readers:
            r.index = 0
    elif hasattr(follower, "swmrcounts"):
        follower.index = 0
        for c, b in zip(follower.swmrcounts, follower.buffers.buffers):
            c.index = b.index = b.reallen = 0
    else:
        follower.index = 0
    return follower


def fails(error, call):
    def step():
        try:
            call()
        except error:
            return
        raise AssertionError(f"no {error.__name__}")

    return step


def read_chunk(r, event=threading.Event()):
    rewound(r).read_chunk()
    rewound(r).read_chunk_event(event)


def to_queue(r):
    rewound(r).read_chunk2queue()
    r.queue.get_nowait()


def accumulate(r):
    rewound(r).accumulate_data()
    r.queue.get_nowait()
    r.queue.get_nowait()


def receive(m, event=threading.Event()):
    # recv: the first call polls the files, the second hands out of the buffers.
    if m.index == 8:
        rewound(m)
    m.recv(4)
    m.recv_event(event, 4)


def dataset_wrapper():
    f = filekit.H5File(new_path(), "w")
    return f.create_dataset("/frames", (8, 2, 2), "int32")


def appended(wrapper, block=FRAMES[:4]):
    wrapper.index = 0
    wrapper.append(block)


def opened(path):
    f = h5py.File(path, "r", libver="latest", swmr=True)
    return f[DATASET]


def closed(make):
    follower = make()
    follower.close()
    return follower


def closed_file_error():
    # What h5py raises for a dataset of a closed file differs between releases
    # (ValueError in older ones, RuntimeError in newer ones).
    dataset = opened(complete_file())
    dataset.file.close()
    try:
        dataset.shape
    except Exception as error:
        return type(error)
    raise AssertionError("h5py read the shape of a dataset whose file is closed")


def text_file():
    with open("text.h5", "w") as f:
        f.write("not HDF5")
    return "text.h5"


def scalar_counter():
    with h5py.File("scalar.h5", "w", libver="latest") as f:
        f.create_dataset(DATASET, data=8)
    return SWMRCount("scalar.h5", DATASET, 3, 8)


def second_follower():
    # A second counter of a dataset already followed, refused by a warnings
    # filter that turns the warning into an error.
    path = complete_file()
    first = SWMRCount(path, DATASET, 3, 8)

    def step(first=first):
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            SWMRCount(path, DATASET, 3, 8)

    return step


def buffer_of(frames):
    b = NumpyBuffer((frames, 2, 2), "int32")
    b.appendData(FRAMES[:frames])
    return b


def rewound_buffers(bs):
    for b in bs.buffers:
        b.index = 0
    return bs


def buffers():
    bs = Buffers()
    bs.appendNewBuffer((8, 2, 2), "int32")
    bs.appendNewBuffer((8, 2, 2), "int32")
    for b in bs.buffers:
        b.appendData(FRAMES)
    return bs


def filled(b):
    b.reallen = 0
    b.appendData(FRAMES[:4])


def full_wrapper():
    wrapper = dataset_wrapper()
    wrapper.append(FRAMES)
    return wrapper


WORKLOADS = {}


def hot(name, make, through_hdf5=False):
    WORKLOADS[name] = (through_hdf5, False, make)


def error_path(name, error, make, through_hdf5=False):
    WORKLOADS[name] = (through_hdf5, True, lambda: fails(error, make()))


# Each make() builds its objects and returns one step of the workload. The
# first one leaks on purpose: it shows that the measurement sees a leak.
hot("leaking control", lambda: lambda kept=[]: kept.append(object()))
hot("NumpyBuffer()", lambda: lambda: NumpyBuffer((4, 2, 2), "uint16"))
hot("NumpyBuffer.appendData", lambda: lambda b=NumpyBuffer((8, 2, 2), "int32"): filled(b))
hot("NumpyBuffer.getData", lambda: lambda b=buffer_of(8): rewound(b).getData(remainLen=4))
hot("Buffers.all_reached", lambda: lambda bs=buffers(): bs.all_reached(4))
hot("Buffers.getDatas", lambda: lambda bs=buffers(): rewound_buffers(bs).getDatas(4))
hot("SWMRCount.modify", lambda: lambda c=counter(): rewound(c).modify(c.dset, (8, 2, 2)), True)
hot("SWMRReader.read_chunk(_event)", lambda: lambda r=reader(): read_chunk(r), True)
hot("SWMRReader.read_chunk2queue", lambda: lambda r=reader(): to_queue(r), True)
hot("SWMRReader.accumulate_data", lambda: lambda r=reader(): accumulate(r), True)
hot("SWMRCount.recv", lambda: lambda c=counter(): rewound(c).recv(), True)
hot("SWMRCount.recv_event", lambda: lambda c=counter(), e=threading.Event(): rewound(c).recv_event(e), True)
hot("SWMRReaderMulti.read_chunks", lambda: lambda m=multi_reader(): rewound(m).read_chunks(), True)
hot(
    "SWMRReaderMulti.read_chunks_event",
    lambda: lambda m=multi_reader(), e=threading.Event(): rewound(m).read_chunks_event(e),
    True,
)
hot("SWMRCountMulti.recv(_event)", lambda: lambda m=receiver(): receive(m), True)
hot(
    "SWMRCountMulti.waitFirstDataNotZero",
    lambda: lambda m=receiver(), e=threading.Event(): m.waitFirstDataNotZero(e),
    True,
)
hot("DataSet.append", lambda: lambda w=dataset_wrapper(): appended(w), True)
hot(
    "compare_dataset_two(datasets)",
    lambda: lambda a=opened(complete_file()), b=opened(complete_file()): filekit.compare_dataset_two(a, b),
    True,
)

def shown(*objects):
    for obj in objects:
        repr(obj)


class Unshowable:
    def __str__(self):
        raise ValueError("cannot show")

    def close(self):
        pass


def tampered():
    r = reader()
    r.index, r.f = Unshowable(), Unshowable()
    m = SWMRReaderMulti([])
    m.readers = [r, Unshowable()]
    return m


def iterated(follower):
    for _ in rewound(follower):
        pass


def with_block(obj):
    with obj:
        pass


def raising_with_block(obj):
    with obj:
        raise ValueError("in the block")


hot(
    "repr(open followers, H5File)",
    lambda: lambda objects=(reader(), counter(), multi_reader(), receiver(), filekit.H5File(new_path(), "w")): shown(*objects),
)
hot(
    "repr(half-built)",
    lambda: lambda objects=[cls.__new__(cls) for cls in (SWMRReader, SWMRCount, SWMRReaderMulti, SWMRCountMulti, filekit.H5File)]: shown(*objects),
)
hot("repr(tampered)", lambda: lambda m=tampered(): repr(m))
hot("with (closed)", lambda: lambda r=closed(reader): with_block(r))
class Blocks(SWMRReader):
    "Three blocks a loop, without a file: the iterator itself under test."

    def read_chunk(self):
        self.index = (self.index + 1) % 4
        return FRAMES if self.index else None


def fileless():
    blocks = Blocks.__new__(Blocks)
    blocks.index, blocks.f = 0, None
    return blocks


hot("for over a subclass's read_chunk", lambda: lambda b=fileless(): iterated(b))
hot("for over SWMRReader", lambda: lambda r=reader(): iterated(r), True)
hot("for over SWMRCount", lambda: lambda c=counter(): iterated(c), True)
hot("for over SWMRReaderMulti", lambda: lambda m=multi_reader(): iterated(m), True)
hot("for over SWMRCountMulti", lambda: lambda m=receiver(): iterated(m), True)

error_path("refused appendData", ValueError, lambda: lambda b=buffer_of(8): b.appendData(FRAMES[:1]))
error_path("appendData(None)", AttributeError, lambda: lambda b=buffer_of(1): b.appendData(None))
error_path("binding: missing argument", TypeError, lambda: lambda b=buffer_of(1): b.getData())
error_path("binding: too many arguments", TypeError, lambda: lambda b=buffer_of(1): b.getData(1, 2))
error_path("binding: unexpected keyword", TypeError, lambda: lambda b=buffer_of(1): b.getData(n=1))
error_path("binding: multiple values", TypeError, lambda: lambda b=buffer_of(1): b.getData(1, remainLen=1))
error_path("NumpyBuffer(bad shape)", ValueError, lambda: lambda: NumpyBuffer(-1, "int32"))
error_path("SWMRReader(batch_size 0)", ValueError, lambda: lambda: SWMRReader("never.h5", DATASET, 0, 8, 0))
error_path("SWMRReader(start_frame -1)", ValueError, lambda: lambda: SWMRReader("never.h5", DATASET, -1, 8, 2))
error_path("SWMRReader(total_frames 1.5)", TypeError, lambda: lambda: SWMRReader("never.h5", DATASET, 0, 1.5, 2))
error_path("SWMRCount.fromlist(short)", IndexError, lambda: lambda: SWMRCount.fromlist(["never.h5"], 8))
error_path("SWMRCount.frommap(missing key)", KeyError, lambda: lambda: SWMRCount.frommap(filepath="x"))
error_path("SWMRCountMulti.recv(0)", ValueError, lambda: lambda m=receiver(): m.recv(0))
error_path("DataSet.append(bad layout)", ValueError, lambda: lambda w=dataset_wrapper(): w.append(np.ones(3)))
error_path("DataSet.append(past the end)", TypeError, lambda: lambda w=full_wrapper(): w.append(FRAMES[:1]))
error_path("with (raising block)", ValueError, lambda: lambda r=closed(reader): raising_with_block(r))
error_path("binding: __exit__ arguments", TypeError, lambda: lambda r=closed(reader): r.__exit__(None))
error_path(
    "for over a closed file", closed_file_error(), lambda: lambda r=closed(reader): iterated(r), True
)
error_path("compare_dataset_two(no overload)", NotImplementedError, lambda: lambda: filekit.compare_dataset_two(1, 2))
error_path(
    "SWMRReader(not HDF5)", OSError, lambda: lambda p=text_file(): SWMRReader(p, DATASET, 0, 8, 4), True
)
error_path(
    "SWMRReader(missing dataset)",
    KeyError,
    lambda: lambda p=complete_file(): SWMRReader(p, "/none", 0, 8, 4),
    True,
)
error_path("SWMRCount(not HDF5)", OSError, lambda: lambda p=text_file(): SWMRCount(p), True)
error_path(
    "read_chunk(closed file)",
    closed_file_error(),
    lambda: lambda r=closed(reader): r.read_chunk(),
    True,
)
error_path("SWMRCount.recv(no axis 0)", IndexError, lambda: lambda c=scalar_counter(): c.recv(), True)
error_path("SWMRCount(dataset held twice)", RuntimeWarning, second_follower, True)
error_path(
    "SWMRCountMulti.recv(buffer refuses)",
    ValueError,
    lambda: lambda m=receiver(capacity=2): rewound(m).recv(1),
    True,
)
error_path(
    "SWMRReaderMulti.read_chunks(closed file)",
    closed_file_error(),
    lambda: lambda m=closed(multi_reader): m.read_chunks(),
    True,
)
error_path("H5File(missing file)", FileNotFoundError, lambda: lambda: filekit.H5File("x.h5", "r"), True)
error_path(
    "writer_first_dim3(one axis)",
    TypeError,
    lambda: lambda: feedgen.writer_first_dim3("w.h5", "/d", (4,)),
    True,
)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settled():
    # The interpreter's type attribute cache holds the name of each look-up
    # it caches, in a slot chosen by the name object's address (3.13): a name
    # made afresh per call, as pybind11's probe of every exception it fetches
    # for "__notes__" is, stays alive until its slot is taken again. Up to
    # thousands of such copies would count as growth, more or fewer with the
    # addresses the allocator happens to hand out.
    sys._clear_type_cache()
    gc.collect()
    return sys.getallocatedblocks(), resident_bytes()


def measure(step, calls):
    for _ in range(max(100, calls // 10)):
        step()
    blocks, resident = settled()
    started = time.perf_counter()
    for _ in range(calls):
        step()
    seconds = time.perf_counter() - started
    blocks_after, resident_after = settled()
    return blocks_after - blocks, resident_after - resident, seconds


results = {}
for name, (through_hdf5, error_path, make) in WORKLOADS.items():
    if full or not through_hdf5:
        calls = 10_000 if error_path else 100_000
    else:
        calls = 1_000 if error_path else 2_000
    grown_blocks, grown_bytes, seconds = measure(make(), calls)
    results[name] = {"calls": calls, "blocks": grown_blocks, "bytes": grown_bytes, "seconds": seconds}
json.dump(results, report)
"""

# Resident memory moves by whole pages and with malloc's pools. A leak small
# enough to stay below this over the fewest calls is an interpreter object,
# which the block count catches.
GROWN_BYTES = 2 << 20
GROWN_BLOCKS = 200


def test_memory_stays_flat(tmp_path):
    if sys.getallocatedblocks() == 0 or "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("memory growth is not measured under the sanitizers")
    full = "full" if os.environ.get("KEL_LEAK_FULL") == "1" else "default"
    measured = json.loads(finish(start_python(LEAK_CHILD, tmp_path, full), timeout=1800))
    grown = {
        name: result
        for name, result in measured.items()
        if result["blocks"] > max(GROWN_BLOCKS, result["calls"] // 20)
        or result["bytes"] > GROWN_BYTES
    }
    assert list(grown) == ["leaking control"], json.dumps(grown, indent=1)
