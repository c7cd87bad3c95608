// A pool of threads for work that needs no interpreter object.
#include "workers.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "frame.hpp"

namespace frame {

namespace {

// One call's tasks, taken one by one by whichever thread gets to them first.
struct Job {
  Job(size_t count, const std::function<void(size_t)>& task) : count(count), task(task) {}

  void help() {
    for (size_t next = taken++; next < count; next = taken++) {
      task(next);
      if (++done == count) {
        std::lock_guard<std::mutex> lock(mutex);
        finished.notify_all();
      }
    }
  }

  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return done.load() == count; });
  }

  const size_t count;
  // A copy that lives as long as the job, which a late pool thread may still
  // hold after the call has returned: it then finds no task left to run.
  const std::function<void(size_t)> task;
  std::atomic<size_t> taken{0}, done{0};
  std::mutex mutex;
  std::condition_variable finished;
};

class Pool {
 public:
  void run(size_t count, size_t threads, const std::function<void(size_t)>& task) {
    auto job = std::make_shared<Job>(count, task);
    size_t helpers = std::min(threads, count) - 1;
    if (helpers > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      while (started_ < helpers) {
        std::thread(&Pool::serve, this).detach();
        ++started_;
      }
      for (size_t i = 0; i < helpers; ++i) waiting_.push_back(job);
      more_.notify_all();
    }
    job->help();
    job->wait();
  }

 private:
  void serve() {
    while (true) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        more_.wait(lock, [&] { return !waiting_.empty(); });
        job = std::move(waiting_.front());
        waiting_.pop_front();
      }
      job->help();
    }
  }

  std::mutex mutex_;
  std::condition_variable more_;
  std::deque<std::shared_ptr<Job>> waiting_;
  size_t started_ = 0;
};

// Made on first use under the interpreter's lock and never destroyed, since
// its threads outlive every module. A child made by fork() has none of its
// parent's threads, and the pool's lock may have been held when it forked:
// the child starts a pool of its own.
Pool* pool = nullptr;

void forget_parents_pool() { pool = nullptr; }

Pool& the_pool() {
  if (!pool) {
    static bool registered = false;
    if (!registered && pthread_atfork(nullptr, nullptr, forget_parents_pool) != 0)
      throw std::runtime_error("cannot register the decode pool for fork()");
    registered = true;
    pool = new Pool;
  }
  return *pool;
}

size_t usable_cores() {
  cpu_set_t cores;
  if (sched_getaffinity(0, sizeof cores, &cores) == 0) return std::max(CPU_COUNT(&cores), 1);
  return std::max(std::thread::hardware_concurrency(), 1u);
}

// Gives the interpreter's lock up for the life of the object.
class Released {
 public:
  Released() : state_(PyEval_SaveThread()) {}
  ~Released() { PyEval_RestoreThread(state_); }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace

size_t decode_threads() {
  const char* setting = std::getenv("HDF5_KEL_THREADS");
  if (!setting || !*setting) return usable_cores();
  char* end = nullptr;
  errno = 0;
  unsigned long long threads = std::strtoull(setting, &end, 10);
  if (*end || errno || setting[0] == '-' || threads < 1 || threads > 1024)
    throw py::value_error(std::string("HDF5_KEL_THREADS must be a number of threads from 1 to "
                                      "1024, got '") +
                          setting + "'");
  return threads;
}

void run_released(size_t count, size_t threads, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  Pool& workers = the_pool();
  Released released;
  workers.run(count, std::max<size_t>(threads, 1), task);
}

}  // namespace frame
