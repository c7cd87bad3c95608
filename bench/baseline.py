"""The hot paths of framepool and tailread written in plain Python, with the same
behaviour as the extension modules, as the baseline of the call-overhead cases.

Kept for the benchmark only: nothing in the package imports it.
"""

import datetime
import functools
import logging
import os
import time
from queue import Queue

import h5py
import numpy
import numpy as np


class NumpyBuffer:
    def __init__(self, shape, dtype):
        self.array = np.zeros(shape, dtype)
        self.index = 0
        self.reallen = 0

    def appendData(self, data):
        length = data.shape[0]
        start = self.reallen
        end = start + length
        capacity = len(self.array)
        if end > capacity:
            raise ValueError(
                f"block of {length} frames does not fit into the buffer: "
                f"{capacity - start} of {capacity} frames left"
            )
        self.array[start:end] = data
        self.reallen = end

    def getData(self, remainLen):
        start = self.index
        data = self.array[start : start + remainLen]
        self.index = start + remainLen
        return data


class Buffers:
    def __init__(self):
        self.buffers = []

    def appendNewBuffer(self, shape, dtype):
        self.buffers.append(NumpyBuffer(shape, dtype))

    def all_reached(self, remainLen=1):
        for buffer in self.buffers:
            if buffer.reallen < buffer.index + remainLen:
                return False
        return True

    def getDatas(self, remainLen=1):
        datas = []
        for buffer in self.buffers:
            datas.append(buffer.getData(remainLen))
        return datas


def _rows_of(data, start, stop):
    try:
        axes = len(data.shape)
    except (AttributeError, TypeError):
        axes = -1
    if axes >= 2:
        return data[start:stop]
    return data[start:stop, :]


def _wait_for_file(path, not_found, found):
    while not os.path.exists(path):
        time.sleep(1)
        print(not_found, path)
    print(found, path)
    time.sleep(0.01)


def _open_dataset(owner, path, datasetname):
    owner.f = h5py.File(path, "r", libver="latest", swmr=True)
    try:
        owner.dset = owner.f[datasetname]
    except BaseException:
        owner.f.close()
        raise


def _clipped_length(position, end, wanted):
    if position + wanted < end:
        return wanted
    if position < end:
        return end - position
    return None


def _log_hand_out(level, log, render):
    root = logging.getLogger()
    if root.isEnabledFor(level):
        log(render())
    elif not root.handlers:
        log("")


class SWMRCount:
    def __init__(self, filename, datasetname="/entry/data", dim=3, total_count=10):
        self.filename = filename
        self.datasetname = datasetname
        _wait_for_file(self.filename, "file not found", "file found")
        _open_dataset(self, self.filename, self.datasetname)
        self.index = 0
        self.total_count = total_count

    @classmethod
    def fromlist(cls, params, total_count):
        return cls(params[0], params[1], params[2], total_count)

    def modify(self, dset, shape):
        shape0 = shape[0]
        if not self.index < shape0:
            return None
        newdata = _rows_of(dset, self.index, shape0)
        _log_hand_out(
            logging.INFO,
            logging.info,
            lambda: f"{self.filename},{self.dset.name},{shape},{numpy.array2string(newdata)}",
        )

        def debug_line():
            stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%H:%M:%S:%f")
            rendered = numpy.array2string(newdata)
            return f"{self.filename},{self.dset.name},{shape},{stamp},{rendered}"

        _log_hand_out(logging.DEBUG, logging.debug, debug_line)
        self.index = shape0
        return newdata

    def _poll(self):
        data = self.dset
        data.refresh()
        return self.modify(data, data.shape)

    def recv(self):
        if not self.index < self.total_count:
            return None
        while True:
            newdata = self._poll()
            if newdata is not None:
                return newdata

    def recv_event(self, stop_event):
        if not self.index < self.total_count:
            return None
        while stop_event.is_set() == False:
            newdata = self._poll()
            if newdata is not None:
                return newdata
        return None

    def close(self):
        self.f.close()


class SWMRCountMulti:
    def __init__(self, files, total_count=10):
        self.swmrcounts = []
        self.buffers = Buffers()
        self.index = 0
        self.total_count = total_count
        for entry in files:
            self.swmrcounts.append(SWMRCount.fromlist(entry, total_count))
            self.buffers.appendNewBuffer(entry[3], entry[4])

    def _gather_pass(self, stop_event):
        stores = self.buffers.buffers
        for position, counter in enumerate(self.swmrcounts):
            before = counter.index
            data = counter.recv_event(stop_event) if stop_event is not None else counter.recv()
            if data is not None:
                try:
                    stores[position].appendData(data)
                except BaseException:
                    counter.index = before
                    raise

    def _receive_batch(self, stop_event, remainlen):
        print("kel:tolvar data worker recv")
        count = remainlen.__index__()
        if not count > 0:
            raise ValueError(f"remainlen must be a positive number of frames, got {remainlen!r}")
        length = _clipped_length(self.index, self.total_count, count)
        if length is None:
            return None
        stores = self.buffers
        while stores.all_reached(length) == False:
            if stop_event is not None and stop_event.is_set() != False:
                return None
            self._gather_pass(stop_event)
        batch = stores.getDatas(length)
        self.index = self.index + length
        return batch

    def recv(self, remainlen=1):
        return self._receive_batch(None, remainlen)

    def recv_event(self, stop_event, remainlen=1):
        return self._receive_batch(stop_event, remainlen)

    def close(self):
        for counter in self.swmrcounts:
            counter.close()


class SWMRReader:
    def __init__(self, filepath, datasetname, start_frame, total_frames, batch_size):
        if not batch_size > 0:
            raise ValueError(f"batch_size must be a positive number of frames, got {batch_size!r}")
        self.filepath = filepath
        self.datasetname = datasetname
        self.start_frame = start_frame
        self.total_frames = total_frames
        self.batch_size = batch_size
        self.queue = Queue()
        self.index = start_frame
        _wait_for_file(self.filepath, "File not found:", "File found:")
        _open_dataset(self, self.filepath, self.datasetname)

    def _poll_block(self, length):
        data = self.dset
        start = self.index
        end = start + length
        if data.shape[0] < end:
            data.refresh()
            if data.shape[0] < end:
                return None
        chunk = data[start:end]
        self.index = end
        return chunk

    def read_chunk(self):
        length = _clipped_length(self.index, self.total_frames, self.batch_size)
        if length is None:
            return None
        while True:
            chunk = self._poll_block(length)
            if chunk is not None:
                return chunk
            time.sleep(0.1)

    def close(self):
        self.f.close()


def writer_first_dim3(filepath, datasetname, shape_set=(10, 2, 3), dtype=np.int32):
    f = h5py.File(filepath, "w", libver="latest")
    dim = len(shape_set)
    dset = f.create_dataset(datasetname, [0] * dim, maxshape=[None] * dim, dtype=dtype)
    f.swmr_mode = True
    count = functools.reduce(lambda a, b: a * b, shape_set[1:])
    arr = np.arange(count).reshape(shape_set[1:])
    for i in range(shape_set[0]):
        shape = list(dset.shape)
        shape[0] += 1
        shape[1:] = arr.shape
        dset.resize(shape)
        dset[i:] = arr
        dset[:]
        dset.flush()
        print("flush finished", i)
    f.close()
