// cbrecon: cone-beam CT reconstruction by FDK filtered backprojection.
// Argument glue only: the run itself lives in the library.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "backproj/volume_io.h"
#include "numeric/error.h"
#include "recon/driver.h"

namespace {

// An interrupted run leaves no temporary output behind.
extern "C" void on_signal(int sig) {
  const char* tmp = cbrecon::pending_temporary_file();
  if (tmp[0] != '\0') unlink(tmp);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

[[noreturn]] void fatal_exit(const cbrecon::FatalError& e) {
  if (!e.detail().empty()) std::fprintf(stderr, "%s\n", e.detail().c_str());
  cbrecon::print_fatal_lines(stderr, e.what());
  const char* tmp = cbrecon::pending_temporary_file();
  if (tmp[0] != '\0') unlink(tmp);
  std::_Exit(1);  // quick exit: nothing else is flushed
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  try {
    return cbrecon::run(argc, argv, stdout, stderr);
  } catch (const cbrecon::ExitRequest& e) {
    std::fflush(stdout);
    return e.status();
  } catch (const cbrecon::RunError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "cbrecon: %s\n", e.what());
    return 2;
  } catch (const cbrecon::FatalError& e) {
    fatal_exit(e);
  } catch (const std::bad_alloc&) {
    fatal_exit(cbrecon::FatalError("out of memory"));
  }
}
