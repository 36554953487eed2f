#include <gtest/gtest.h>

#include "numeric/error.h"
#include "recon/cli.h"
#include "support/test_support.h"

namespace cbrecon {
namespace {

using testing::Capture;

struct Parsed {
  RunParams p;
  std::string out;
  Mode mode = Mode::normal;
  int exit_status = -1;  // set when the parser ends the run
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "cbrecon");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  Parsed r;
  Capture cap;
  try {
    r.mode = parse_command_line(static_cast<int>(argv.size()), argv.data(), r.p, cap.get());
  } catch (const ExitRequest& e) {
    r.exit_status = e.status();
  }
  r.out = cap.text();
  return r;
}

const char kUsage[] =
    "\nCone Beam CT) Filtered backprojection reconstruction\n"
    "Usage: cbrecon proj maskfile 4D-RPMfile -p pxls[512] -pz zthick[3.00 mm] -d dets[1024] "
    "-st IMGOFF[0] -s steps[1000] -z slice[768] -fov [500.0mm]\n"
    "       [-ext char] [-userfn (user specified output fn)]\n\n";

TEST(CommandLine, ModesAndTheirFirstLines) {
  const Parsed none = parse({});
  EXPECT_EQ(none.mode, Mode::no_argument);
  EXPECT_EQ(none.out, "fov=240.0 mm\n");
  EXPECT_EQ(none.p.cw, 0);
  EXPECT_EQ(none.p.rpm_on, 0);
  EXPECT_EQ(none.p.xbin, 6);
  EXPECT_EQ(none.p.ybin, 9);
  EXPECT_EQ(none.p.fn_msk.substr(none.p.fn_msk.size() - 13), "NormImage.hnd");

  const Parsed usage = parse({"?"});
  EXPECT_EQ(usage.exit_status, 1);
  EXPECT_EQ(usage.out, kUsage);

  // One argument other than "?", or two: nothing to run, so the usage text.
  EXPECT_EQ(parse({"proj"}).exit_status, 1);
  EXPECT_EQ(parse({"proj", "mask"}).out, kUsage);

  const Parsed run3d = parse({"proj", "mask", "0", "-fov", "250"});
  EXPECT_EQ(run3d.out, "fov=250.0 mm\n");
  EXPECT_EQ(run3d.p.rpm_on, 0);
  EXPECT_EQ(parse({"p", "m", "0", "-fov", "50"}).out, "fov= 50.0 mm\n");

  const Parsed run4d = parse({"proj", "mask", "resp.vxp", "-ph", "4"});
  EXPECT_EQ(run4d.p.rpm_on, 1);
  EXPECT_EQ(run4d.p.fn_tmp, "resp.vxp");
  EXPECT_EQ(run4d.p.ph_recon, 4);
}

TEST(CommandLine, DefaultsOfANormalRun) {
  const RunParams p = parse({"proj", "mask", "0"}).p;
  EXPECT_EQ(p.ext, "NULL");
  EXPECT_EQ(p.nviews, 1000);
  EXPECT_EQ(p.ndets, 1024);
  EXPECT_EQ(p.nslices, 768);
  EXPECT_EQ(p.npxls, 512);
  EXPECT_EQ(p.fov, 500.0f);
  EXPECT_EQ(p.pxlz, 2.5f);
  EXPECT_EQ(p.xoff, 0.0f);
  EXPECT_EQ(p.scale_cal, 10.0f);
  EXPECT_EQ(p.offset_cal, 0.0f);
  EXPECT_EQ(p.cw, 1);
  EXPECT_EQ(p.hscan, 0);
  EXPECT_EQ(output_name(p), "proj_bp4d.seq");
}

TEST(CommandLine, EveryOptionReachesItsField) {
  const RunParams p = parse({"a", "b", "0", "-s", "7", "-d", "512", "-p", "128", "-z", "384", "-fov",
                             "250.5", "-xoff", "-50", "-pz", "3", "-ph", "3", "-xb", "2", "-yb", "4",
                             "-st", "12", "-w", "9", "-ccw", "-sc", "2.5", "-so", "-7", "-hscan",
                             "-ext", "x.seq"})
                          .p;
  EXPECT_EQ(p.nviews, 7);
  EXPECT_EQ(p.ndets, 512);
  EXPECT_EQ(p.npxls, 128);
  EXPECT_EQ(p.nslices, 384);
  EXPECT_EQ(p.fov, 250.5f);
  EXPECT_EQ(p.xoff, -50.0f);
  EXPECT_EQ(p.pxlz, 3.0f);
  EXPECT_EQ(p.ph_recon, 3);
  EXPECT_EQ(p.xbin, 2);
  EXPECT_EQ(p.ybin, 4);
  EXPECT_EQ(p.ist, 12);
  EXPECT_EQ(p.w, 9);
  EXPECT_EQ(p.cw, 0);
  EXPECT_EQ(p.scale_cal, 2.5f);
  EXPECT_EQ(p.offset_cal, -7.0f);
  EXPECT_EQ(p.hscan, 1);
  EXPECT_EQ(p.ext, "x.seq");
}

TEST(CommandLine, ScannerSemanticsOfValues) {
  EXPECT_EQ(parse({"a", "b", "0", "-p", " +64"}).p.npxls, 64);
  EXPECT_EQ(parse({"a", "b", "0", "-ph", "70000"}).p.ph_recon, 4464);  // 16-bit field
  // A value that is not wholly a number, or none at all, is refused.
  for (const char* v : {"abc", "256px", ""}) EXPECT_THROW(parse({"a", "b", "0", "-p", v}), RunError) << v;
  EXPECT_THROW(parse({"a", "b", "0", "-pz", "1.5mm"}), RunError);
  EXPECT_THROW(parse({"a", "b", "0", "-fov", "x"}), RunError);
  EXPECT_THROW(parse({"a", "b", "0", "-p"}), RunError);
  EXPECT_THROW(parse({"a", "b", "0", "-ext"}), RunError);
}

TEST(CommandLine, ArgumentsAreExaminedOneByOne) {
  // The value after -ext is itself examined as an option.
  const RunParams p = parse({"proj", "mask", "0", "-ext", "-hscan"}).p;
  EXPECT_EQ(p.ext, "-hscan");
  EXPECT_EQ(p.hscan, 1);
  // Options only count from the fourth argument on.
  const RunParams q = parse({"proj", "-s", "100", "0"}).p;
  EXPECT_EQ(q.fn_msk, "-s");
  EXPECT_EQ(q.fn_tmp, "100");
  EXPECT_EQ(q.rpm_on, 1);
  EXPECT_EQ(q.nviews, 1000);
  // -userfn is skipped with its value (and noted); an unknown option is refused.
  const RunParams u = parse({"proj", "mask", "0", "-userfn", "name"}).p;
  EXPECT_EQ(u.npxls, 512);
  EXPECT_EQ(u.extras.inert_options, std::vector<std::string>{"-userfn"});
  EXPECT_THROW(parse({"proj", "mask", "0", "-P", "3"}), RunError);
  EXPECT_EQ(output_name(parse({"proj", "mask", "0", "-ext", "abc.seq"}).p), "proj_abc.seq");
}

TEST(CommandLine, LongOptionsAndTheirErrors) {
  const RunParams p = parse({"--threads", "3", "proj", "mask", "0", "--timings", "--format=nrrd",
                             "--format", "mha", "--window", "-100,200"})
                          .p;
  EXPECT_EQ(p.extras.threads, 3);
  EXPECT_TRUE(p.extras.timings);
  EXPECT_EQ(p.extras.formats, (std::vector<std::string>{"nrrd", "mha"}));
  EXPECT_EQ(p.extras.window_lo, -100);
  EXPECT_EQ(p.extras.window_hi, 200);
  EXPECT_EQ(p.fn_proj, "proj");
  const Extras mkb = parse({"p", "m", "v", "--mkb", "--mkb-cutoff", "0.3", "--mkb-step=2"}).p.extras;
  EXPECT_TRUE(mkb.mkb);
  EXPECT_EQ(mkb.mkb_cutoff, 0.3);
  EXPECT_EQ(mkb.mkb_step, 2);
  EXPECT_EQ(mkb.mkb_tuning, "--mkb-cutoff");
  const Extras plan = parse({"p", "m", "v", "--bp-shape", "t8-c2-p0-gathers", "--plan-wisdom=plans"}).p.extras;
  EXPECT_EQ(plan.bp_shape, "t8-c2-p0-gathers");
  EXPECT_EQ(plan.plan_wisdom, "plans");
  EXPECT_EQ(parse({"--help"}).exit_status, 0);
  EXPECT_EQ(parse({"--version"}).exit_status, 0);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"p", "m", "0", "--threads", "x"},
        {"p", "m", "0", "--threads"},
        {"p", "m", "0", "--format", "png"},
        {"p", "m", "0", "--window", "5,1"},
        {"p", "m", "0", "--window", "-1e308,1e308"},  // a width past the largest double
        {"p", "m", "0", "--timings=no"},               // a flag takes no value
        {"p", "m", "0", "--all-phases=0"},
        {"p", "m", "0", "--mkb-cutoff", "0"},
        {"p", "m", "0", "--mkb-cutoff", "nan"},
        {"p", "m", "0", "--mkb-step", "17"},
        {"p", "m", "0", "--bp-shape", "fastest"},
        {"p", "m", "0", "--bp-shape", "t0-c4-p3-rows"},
        {"p", "m", "0", "--plan-wisdom", ""},
        {"p", "m", "0", "--bogus"}}) {
    EXPECT_THROW(parse(bad), RunError) << bad[3];
  }
}

TEST(CommandLine, NamesLongerThan79CharactersAreRefused) {
  const std::string n79(79, 'a'), n80(80, 'a');
  EXPECT_NO_THROW(parse({"p", n79, "0"}));
  EXPECT_THROW(parse({"p", n80, "0"}), RunError);
  EXPECT_THROW(parse({n80, "m", "0"}), RunError);
  EXPECT_THROW(parse({"p", "m", n80}), RunError);
  EXPECT_THROW(parse({"p", "m", "0", "-ext", n80}), RunError);
}

}  // namespace
}  // namespace cbrecon
