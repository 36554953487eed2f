// The library's in-memory reconstruction and the output plan that the
// command line writes from.
#include <gtest/gtest.h>

#include <cstdio>

#include "numeric/error.h"
#include "output/plan.h"
#include "output/volume_io.h"
#include "recon/cli.h"
#include "recon/driver.h"
#include "recon/outputs.h"
#include "recon/reconstruct.h"
#include "support/e2e_support.h"
#include "support/small_scan.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::small_scan::Scan;

RunParams params_of(const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"cbrecon"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  RunParams p;
  std::FILE* sink = std::tmpfile();
  parse_command_line(static_cast<int>(argv.size()), argv.data(), p, sink);
  std::fclose(sink);
  return p;
}

TEST(InMemoryReconstruction, GivesTheVolumeTheCommandLineWrites) {
  const Scan scan(24);
  ASSERT_EQ(scan.run().status, 1);
  const std::vector<int16_t> written = testing::small_scan::volume_words(testing::read_bytes(scan.output()));

  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Console console(out, err);
  Reconstructor rec(params_of(scan.args({"--threads", "1"})), console);
  ASSERT_EQ(rec.volumes().size(), 1u);
  const ReconResult r = rec.run();
  std::fclose(out);
  std::fclose(err);
  ASSERT_EQ(r.volumes.size(), 1u);
  const ReconVolume& v = r.volumes[0];
  EXPECT_TRUE(v.any_view);
  const long slice = 32L * 32;
  ASSERT_EQ(written.size(), static_cast<size_t>(r.g.nz) * slice);
  std::vector<int16_t> words(slice);
  for (long j = 0; j < r.g.nz; ++j) {
    convert_slice(v.data.data() + j * v.data.plane_pitch(), r.fov, 32, 10.0f, 0.0f, words.data());
    ASSERT_TRUE(std::equal(words.begin(), words.end(), written.begin() + j * slice)) << "slice " << j;
  }
}

// The benchmarks' literal baseline (one view at a time through the whole
// volume) must write the bytes and the console lines of the scalar single
// thread, messages of a broken view and every phase bin included.
TEST(LiteralBaseline, WritesTheBytesOfTheScalarSingleThread) {
  const Scan scan(24, true);
  // A view too short to hold its image: reported and skipped by both.
  {
    std::vector<uint8_t> bytes = testing::read_bytes(scan.view(5));
    bytes.resize(bytes.size() / 2);
    testing::write_bytes(scan.view(5), bytes);
  }
  for (const bool bins : {false, true}) {
    const std::string third = bins ? scan.vxp() : "0";
    std::vector<std::string> extra = {"--trace-file", scan.dir.file("trace.out")};
    if (bins) extra.push_back("--all-phases");
    const std::vector<std::string> outputs =
        bins ? std::vector<std::string>{scan.output("4d_ph1.seq"), scan.output("4d_ph7.seq")}
             : std::vector<std::string>{scan.output()};
    std::vector<std::string> classic_args = extra;
    for (const char* a : {"--isa", "scalar", "--threads", "1"}) classic_args.push_back(a);
    // The bins run ends with status 2: some bins of this short scan are
    // empty and not written.
    const testing::ProcessResult classic = scan.run(classic_args, third);
    ASSERT_EQ(classic.status, bins ? 2 : 1) << classic.err;
    std::vector<std::vector<uint8_t>> want;
    for (const std::string& o : outputs) {
      want.push_back(testing::read_bytes(o));
      std::remove(o.c_str());
    }
    std::vector<std::string> args = scan.args(extra, third);
    std::vector<const char*> argv = {"cbrecon"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    testing::Capture out, err;
    EXPECT_EQ(run_and_report(static_cast<int>(argv.size()), argv.data(), out.get(), err.get(), &literal_baseline),
              classic.status)
        << err.text();
    EXPECT_EQ(testing::mask_times(out.text()), testing::mask_times(classic.out)) << (bins ? "bins" : "3-D");
    EXPECT_NE(err.text().find("view skipped"), std::string::npos) << err.text();
    for (size_t i = 0; i < outputs.size(); ++i)
      EXPECT_TRUE(testing::read_bytes(outputs[i]) == want[i]) << outputs[i];
  }
}

TEST(OutputPlan, ListsEveryFileOfEveryVolumeOnceAndRefusesCollisionsEarly) {
  const Scan scan(24, true);
  RunParams p = params_of(scan.args({"--all-phases", "--format", "nrrd", "--format", "nrrd", "--format", "dcm",
                                     "--hu-water", "2000", "--preview", scan.dir.file("look.png")},
                                    scan.vxp()));
  std::FILE* sink = std::tmpfile();
  Console console(sink, sink);
  const Reconstructor rec(p, console);
  const OutputPlan plan = make_output_plan(rec.params(), rec.volumes());
  ASSERT_EQ(plan.volumes.size(), 10u);
  const VolumeOutputs& bin3 = plan.volumes[2];
  EXPECT_EQ(bin3.volume.bin, 3);
  ASSERT_EQ(bin3.files.size(), 4u);  // .seq, NRRD once, preview, series folder
  EXPECT_EQ(bin3.seq(), scan.output("4d_ph3.seq"));
  EXPECT_EQ(bin3.files[1].path, scan.output("4d_ph3.nrrd"));
  EXPECT_EQ(bin3.files[2].path, scan.dir.file("look_4d_ph3.png"));
  EXPECT_EQ(bin3.files[3].path, scan.output("4d_ph3_dicom"));
  const std::vector<PlannedFile> all = plan.files();
  ASSERT_EQ(all.size(), 41u);
  EXPECT_EQ(all.back().kind, OutputKind::trace);
  EXPECT_NO_THROW(check_outputs(rec.params(), all));

  // A preview named as the run's own series folder is refused before any view is read.
  p = params_of(scan.args({"--format", "dcm", "--hu-water", "2000", "--preview", scan.output("bp4d_dicom")}));
  const Reconstructor clash(p, console);
  try {
    check_outputs(clash.params(), make_output_plan(clash.params(), clash.volumes()).files());
    ADD_FAILURE() << "no refusal";
  } catch (const RunError& e) {
    EXPECT_NE(std::string(e.what()).find("is also this run's"), std::string::npos) << e.what();
  }
  std::fclose(sink);
}

}  // namespace
}  // namespace cbrecon
