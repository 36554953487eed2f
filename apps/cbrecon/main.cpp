// cbrecon: cone-beam CT reconstruction by FDK filtered backprojection.
// Argument glue only: the run itself lives in the library.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "numeric/error.h"
#include "numeric/files.h"
#include "numeric/signals.h"
#include "output/safe_folder.h"
#include "recon/cli.h"
#include "recon/driver.h"

namespace {

// --conventional-status or CBRECON_CONVENTIONAL_STATUS=1 (read by the
// signal handler: set once, before the handlers are installed).
volatile sig_atomic_t g_conventional = 0;

// An interrupted run leaves no temporary output behind.  Only
// async-signal-safe calls: the pending name is a static buffer that is
// complete whenever it is published.
extern "C" void on_signal(int sig) {
  const char* tmp = cbrecon::pending_temporary_file();
  if (tmp[0] != '\0') unlink(tmp);
  cbrecon::remove_pending_folder();  // a DICOM series being written
  // Conventional statuses: an interrupt or a termination request ends with
  // 130, what a shell reports for an interrupted command.
  if (g_conventional && (sig == SIGINT || sig == SIGTERM)) _exit(130);
  // Otherwise end with the signal's default action, so that the parent sees
  // the process killed by it.  Sent to the whole process: the handler may be
  // running in a worker thread while the others go on.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  kill(getpid(), sig);
}

// Catches the signals that end a run from outside (a CPU-time limit among
// them), except one that the caller asked us to ignore (nohup, a background
// job of a script) or that already has a handler (a profiler's SIGPROF).
// A file-size limit is not a reason to die silently: with SIGXFSZ ignored
// the write fails with EFBIG, which the run reports like a full disk.
void install_signal_handlers() {
  signal(SIGXFSZ, SIG_IGN);
  for (const int sig : cbrecon::kRunEndingSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (const int other : cbrecon::kRunEndingSignals) sigaddset(&sa.sa_mask, other);
    sigaction(sig, &sa, nullptr);
  }
}

[[noreturn]] void fatal_exit(const cbrecon::FatalError& e) {
  if (!e.detail().empty()) std::fprintf(stderr, "%s\n", e.detail().c_str());
  cbrecon::print_fatal_lines(stderr, e.what());
  const char* tmp = cbrecon::pending_temporary_file();
  if (tmp[0] != '\0') unlink(tmp);
  cbrecon::remove_pending_folder();  // a DICOM series being written
  // Quick exit: nothing else is flushed.
  std::_Exit(cbrecon::exit_status(cbrecon::Ending::fatal, 1, g_conventional != 0));
}

}  // namespace

int main(int argc, char** argv) {
  using cbrecon::Ending;
  using cbrecon::exit_status;
  g_conventional = cbrecon::conventional_status_requested(argc, argv) ? 1 : 0;
  install_signal_handlers();
  try {
    return exit_status(Ending::completed, cbrecon::run(argc, argv, stdout, stderr), g_conventional != 0);
  } catch (const cbrecon::ExitRequest& e) {
    std::fflush(stdout);
    if (g_conventional && !e.failure().empty()) {
      std::fprintf(stderr, "cbrecon: %s\n", e.failure().c_str());
      return exit_status(Ending::failed_exit_request, e.status(), g_conventional != 0);
    }
    return exit_status(Ending::exit_request, e.status(), g_conventional != 0);
  } catch (const cbrecon::RunError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "cbrecon: %s\n", e.what());
    return exit_status(Ending::refused, 2, g_conventional != 0);
  } catch (const cbrecon::FatalError& e) {
    fatal_exit(e);
  } catch (const std::bad_alloc&) {
    fatal_exit(cbrecon::FatalError("out of memory"));
  }
}
