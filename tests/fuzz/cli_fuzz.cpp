// Fuzz target for the command line and the run set-up.  The input
// split at NUL bytes is the argument vector (the program name first).  Any
// argument vector must end in run parameters, a usage or help ending
// (ExitRequest) or a refusal (RunError); parameters that pass the geometry
// set-up must give a detector row that fits the filter and a usable slice
// count, since every buffer of the run is sized from them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "numeric/error.h"
#include "geometry/geometry.h"
#include "recon/cli.h"

#include "fuzz_check.h"

FUZZ_ENTRY(const uint8_t* data, size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back().push_back(static_cast<char>(data[i]));
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  cbrecon::RunParams p;
  try {
    cbrecon::parse_command_line(static_cast<int>(args.size()), argv.data(), p, sink);
  } catch (const cbrecon::ExitRequest&) {
    return 0;
  } catch (const cbrecon::RunError&) {
    return 0;
  }
  FUZZ_CHECK(p.fn_proj.size() <= cbrecon::kMaxName && p.fn_msk.size() <= cbrecon::kMaxName);
  (void)cbrecon::output_name(p);
  try {
    const cbrecon::Geometry g = cbrecon::setup_geometry(p);
    FUZZ_CHECK(g.ncols_ext >= 1 && g.ncols_ext <= g.nfft);
    FUZZ_CHECK(g.nz >= 2 && g.nrows == p.nslices);
    FUZZ_CHECK(g.fanw.size() == g.ncols_ext);
    FUZZ_CHECK(g.ishift >= 0 && g.ishift + p.ndets <= g.ncols_ext);
  } catch (const cbrecon::RunError&) {
  }
  return 0;
}
