// A small parallel-for for the simulator: indices handed out one at a time
// from a shared counter, so uneven items (views with and without much
// object in them) balance themselves.
#pragma once

#include <functional>

namespace cbrecon::sim {

// Number of workers for a request: `threads` if positive, else every core.
int worker_count(int threads);

// Runs fn(i, worker) for every i in [0, n) on up to worker_count(threads)
// threads (never more than n); `worker` (0 .. workers-1) lets each thread
// own its scratch.  After every thread has finished, the first exception
// thrown by fn, if any, is rethrown; items not yet started are skipped
// once one has failed.
void parallel_for(long n, int threads, const std::function<void(long i, int worker)>& fn);

}  // namespace cbrecon::sim
