// cbrecon-literal: the fixed baseline of the benchmarks.  The same command
// line as cbrecon, run the way a literal program runs it: one thread, the
// scalar arithmetic, and each view read, decoded, preprocessed, filtered and
// added to the whole volume before the next view is read (no batches, no
// tiles).  It writes the bytes of `cbrecon --isa scalar --threads 1`; only
// the time differs, and bench/run.sh takes every ratio against it so that
// the ratios mean the same on every machine.
#include <cstdio>

#include "recon/driver.h"

int main(int argc, char** argv) {
  return cbrecon::run_and_report(argc, argv, stdout, stderr, &cbrecon::literal_baseline);
}
