#include "sim/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace cbrecon::sim {

int worker_count(int threads) {
  if (threads > 0) return threads;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? static_cast<int>(hw) : 1;
}

void parallel_for(long n, int threads, const std::function<void(long i, int worker)>& fn) {
  if (n <= 0) return;
  const int workers = static_cast<int>(std::min<long>(worker_count(threads), n));
  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_lock;
  auto run = [&](int worker) {
    for (;;) {
      const long i = next.fetch_add(1);
      if (i >= n || failed.load()) return;
      try {
        fn(i, worker);
      } catch (...) {
        std::lock_guard<std::mutex> g(error_lock);
        if (!error) error = std::current_exception();
        failed = true;
      }
    }
  };
  if (workers == 1) {
    run(0);
  } else {
    std::vector<std::thread> pool;
    pool.reserve(static_cast<size_t>(workers - 1));
    for (int w = 1; w < workers; ++w) {
      try {
        pool.emplace_back(run, w);
      } catch (const std::system_error&) {
        break;  // no more threads to be had: the ones started share the work
      }
    }
    run(0);
    for (std::thread& t : pool) t.join();
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace cbrecon::sim
