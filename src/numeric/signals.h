// The asynchronous signals that end a run from outside, and a scope that
// holds them off.
//
// The program removes its temporary file when such a signal arrives.  For
// that to be exact, the name must be published in the same instant the
// file comes into existence: the creating thread holds the signals off
// across the two steps, and worker threads hold them off for good, so that
// they are always delivered to a thread that can take them safely.
#pragma once

#include <signal.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <string>

namespace cbrecon {

// Every signal whose default action ends the process and that a handler can
// catch (SIGKILL and SIGSTOP cannot be; SIGXFSZ is ignored instead, so that a
// file-size limit fails the write like a full disk; the synchronous faults
// such as SIGSEGV are no request to stop).
inline constexpr std::initializer_list<int> kRunEndingSignals = {
    SIGINT, SIGTERM, SIGHUP, SIGXCPU, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM, SIGPROF};

class SignalBlock {
 public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kRunEndingSignals) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t old_;
};

// A path (and optionally a descriptor) that a signal handler may read at any
// instruction: it reads them only while the flag says they are complete.
// Publish right after the thing exists and is ours, withdraw before it stops
// being ours, both with the run-ending signals held off.
class SignalSafePath {
 public:
  void publish(const std::string& path, int fd = -1) {
    set_ = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (path.size() >= sizeof path_) return;
    std::memcpy(path_, path.c_str(), path.size() + 1);
    fd_ = fd;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    set_ = 1;
  }
  void withdraw() {
    set_ = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  // The path, or "" when none is published.  Async-signal-safe.
  const char* path() const { return set_ ? path_ : ""; }
  int fd() const { return fd_; }
  bool published() const { return set_ != 0; }

 private:
  char path_[4096] = {};
  int fd_ = -1;
  volatile std::sig_atomic_t set_ = 0;
};

}  // namespace cbrecon
