// A small fixed pool of worker threads and a parallel-for over an index
// range.  Work is handed out in contiguous chunks; fn(begin, end, tid)
// receives the worker id so each worker can own its scratch (no locks and
// no allocation in the loop).  An exception in any worker is rethrown in
// the caller after all workers have finished.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cbrecon {

class ThreadPool {
 public:
  // threads <= 0: every available core.  Threads that the system refuses
  // to start are done without: size() may be below requested().
  explicit ThreadPool(int threads = 0);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int size() const { return nthreads_; }
  int requested() const { return requested_; }

  // Runs fn(begin, end, tid) over [0, n) split into about `chunks_per_thread`
  // chunks per thread; returns when every chunk is done.
  void parallel_for(long n, const std::function<void(long, long, int)>& fn,
                    int chunks_per_thread = 4);

 private:
  void worker(int tid);
  int requested_;
  int nthreads_;
  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::condition_variable cv_work_, cv_done_;
  const std::function<void(long, long, int)>* job_ = nullptr;
  long n_ = 0, chunk_ = 1, next_ = 0;
  int active_ = 0;
  unsigned long generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
  void run_chunks(int tid);
};

int default_thread_count();

}  // namespace cbrecon
