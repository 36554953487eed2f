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

#include <initializer_list>

namespace cbrecon {

inline constexpr std::initializer_list<int> kRunEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGXCPU};

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

}  // namespace cbrecon
