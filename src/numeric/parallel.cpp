#include "numeric/parallel.h"

#include <algorithm>

#include "numeric/signals.h"
#include <system_error>

namespace cbrecon {

int default_thread_count() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

ThreadPool::ThreadPool(int threads)
    : requested_(threads > 0 ? threads : default_thread_count()), nthreads_(requested_) {
  // A process or memory limit may refuse threads: go on with those that
  // started (the calling thread always works too).
  for (int t = 1; t < requested_; ++t) {
    try {
      workers_.emplace_back([this, t] { worker(t); });
    } catch (const std::system_error&) {
      break;
    }
  }
  nthreads_ = static_cast<int>(workers_.size()) + 1;
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_work_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void ThreadPool::run_chunks(int tid) {
  for (;;) {
    long b;
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (next_ >= n_) return;
      b = next_;
      next_ = std::min(n_, next_ + chunk_);
    }
    const long e = std::min(n_, b + chunk_);
    try {
      (*job_)(b, e, tid);
    } catch (...) {
      std::lock_guard<std::mutex> lk(mu_);
      if (!error_) error_ = std::current_exception();
      next_ = n_;
    }
  }
}

void ThreadPool::worker(int tid) {
  // Signals that end the run go to the thread that owns the pool.
  const SignalBlock hold;
  unsigned long seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(mu_);
      cv_work_.wait(lk, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    run_chunks(tid);
    {
      std::lock_guard<std::mutex> lk(mu_);
      --active_;
    }
    cv_done_.notify_all();
  }
}

void ThreadPool::parallel_for(long n, const std::function<void(long, long, int)>& fn,
                              int chunks_per_thread) {
  if (n <= 0) return;
  if (nthreads_ == 1) {
    fn(0, n, 0);
    return;
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    job_ = &fn;
    n_ = n;
    next_ = 0;
    chunk_ = std::max(1L, n / (static_cast<long>(nthreads_) * std::max(1, chunks_per_thread)));
    active_ = nthreads_ - 1;
    error_ = nullptr;
    ++generation_;
  }
  cv_work_.notify_all();
  run_chunks(0);
  {
    std::unique_lock<std::mutex> lk(mu_);
    cv_done_.wait(lk, [&] { return active_ == 0; });
    job_ = nullptr;
  }
  if (error_) std::rethrow_exception(error_);
}

}  // namespace cbrecon
