// Work spread over threads with the interpreter's lock released: the decoding
// of the chunks of a block.
#pragma once

#include <cstddef>
#include <functional>

namespace frame {

// Threads that decode a block's chunks: HDF5_KEL_THREADS where set (1:
// decoding in the calling thread only), else as many as cores this process
// may run on. Raises ValueError for a setting that is not a positive number.
size_t decode_threads();

// Calls task(0) ... task(count - 1), each once, on up to `threads` threads:
// the calling thread and threads of a pool made once per process and grown
// to the largest number asked for. The interpreter's lock is released for
// the whole call, so `task` must not touch an interpreter object; it must
// not throw. Calls from several threads at once each get their own tasks
// done, and the caller's own thread works on them too, so none waits on
// another's.
void run_released(size_t count, size_t threads, const std::function<void(size_t)>& task);

}  // namespace frame
