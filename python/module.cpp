// The Python module's native part (cbrecon._cbrecon): thin glue over the
// library.  A reconstruction is a classic argument list parsed by the
// command line's own parser, run by Reconstructor with the GIL released,
// its volumes handed to numpy through the writers' own conversion
// (OutputVolume), and written, on request, through the output plan.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "input/projection.h"
#include "input/rpm.h"
#include "numeric/arrays.h"
#include "numeric/error.h"
#include "numeric/parallel.h"
#include "numeric/stopwatch.h"
#include "output/formats.h"
#include "output/patient.h"
#include "recon/api.h"
#include "recon/cli.h"
#include "recon/reconstruct.h"
#include "sim/bins.h"
#include "sim/options.h"

namespace py = pybind11;
using namespace cbrecon;

namespace {

// A console stream: the caller's stdout/stderr, or text kept in memory.
class Stream {
 public:
  explicit Stream(std::FILE* shown) : file_(shown) {
    if (!file_) {
      file_ = open_memstream(&buf_, &size_);
      if (!file_) throw std::bad_alloc();
      owned_ = true;
    }
  }
  ~Stream() {
    if (owned_) std::fclose(file_);
    std::free(buf_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  std::FILE* get() const { return file_; }
  // What was written so far (empty for a shown stream).
  std::string text() const {
    std::fflush(file_);
    return owned_ && buf_ ? std::string(buf_, size_) : std::string();
  }

 private:
  std::FILE* file_ = nullptr;
  char* buf_ = nullptr;
  size_t size_ = 0;
  bool owned_ = false;
};

std::vector<const char*> argv_of(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return argv;
}

RunParams parse(const std::vector<std::string>& args, std::FILE* out) {
  RunParams p;
  const std::vector<const char*> argv = argv_of(args);
  parse_command_line(static_cast<int>(args.size()), argv.data(), p, out);
  return p;
}

// A new nz x n x n array in pages mapped and filled in by the kernel in one
// call (MAP_POPULATE).  A fresh volume touched page by page cost the binding
// 0.1-0.2 s of page faults after a run (huge pages: compaction stalls while
// the run's freed memory is scattered), most of what it added to a run;
// populated 4 KiB pages cost about a third of that, steadily.
template <class T>
py::array populated_array(py::ssize_t nz, py::ssize_t n) {
  const size_t bytes = std::max<size_t>(static_cast<size_t>(nz) * n * n * sizeof(T), 1);
  if (bytes > allocation_limit()) throw FatalError("allocation failure in the Python module's volume");
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (p == MAP_FAILED) throw FatalError("allocation failure in the Python module's volume");
  struct Block {
    void* p;
    size_t bytes;
  };
  py::capsule owner(new Block{p, bytes}, [](void* b) {
    const Block* block = static_cast<Block*>(b);
    munmap(block->p, block->bytes);
    delete block;
  });
  return py::array_t<T>({nz, n, n}, static_cast<T*>(p), owner);
}

// One reconstruction: made from the argument list (refusals of the line and
// of the geometry raise here), then run once.
class Run {
 public:
  Run(const std::vector<std::string>& args, bool show_lines, bool show_messages)
      : out_(show_lines ? stdout : nullptr),
        err_(show_messages ? stderr : nullptr),
        con_(out_.get(), err_.get()),
        args_(args) {
    con_.t_start = clock_ms();
    const RunParams p = parse(args, out_.get());
    rec_ = std::make_unique<Reconstructor>(p, con_);
  }

  py::list planned() const {
    py::list l;
    for (const PlannedVolume& v : rec_->volumes())
      l.append(py::dict(py::arg("suffix") = v.ext, py::arg("bin") = v.bin,
                        py::arg("prior_image") = v.prior_image, py::arg("iterative") = v.iterative));
    return l;
  }

  double memory_needed(int threads) const { return rec_->memory_needed(threads).bytes; }

  void execute() {
    if (result_) throw RunError("this reconstruction has already run");
    {
      py::gil_scoped_release release;
      result_ = rec_->run();
    }
  }

  size_t count() const { return result().volumes.size(); }

  py::dict volume_info(size_t i) const {
    const ReconVolume& v = volume(i);
    return py::dict(py::arg("suffix") = v.what.ext, py::arg("bin") = v.what.bin,
                    py::arg("prior_image") = v.what.prior_image, py::arg("iterative") = v.what.iterative,
                    py::arg("views_used") = v.used,
                    py::arg("views_listed") = v.listed,
                    py::arg("header") = py::bytes(reinterpret_cast<const char*>(v.head.data()), v.head.size()));
  }

  // Volume i as the standard formats hold it: float32 output values
  // (as_float) or the ".seq" file's 16-bit words.
  py::array array(size_t i, bool as_float) const {
    const ReconVolume& v = volume(i);
    const RunParams& p = rec_->params();
    const OutputVolume ov(v.data.data(), result().fov, grid(), p.scale_cal, p.offset_cal, as_float,
                          static_cast<size_t>(v.data.plane_pitch()));
    const py::ssize_t n = p.npxls, nz = ov.grid().nz;
    py::array a = as_float ? populated_array<float>(nz, n) : populated_array<int16_t>(nz, n);
    char* dst = static_cast<char*>(a.mutable_data());
    const size_t slice_bytes = ov.slice_voxels() * ov.voxel_bytes();
    {
      // Slices on the run's threads: on one thread the conversion of a
      // large volume added a few per cent to the run.
      py::gil_scoped_release release;
      ThreadPool pool(p.extras.threads);
      pool.parallel_for(nz, [&](long b, long e, int) {
        for (long j = b; j < e; ++j) ov.slice(j, dst + j * slice_bytes);
      });
    }
    return a;
  }

  // The grid of every volume: index order [z][y][x] = [slice][row][column].
  py::dict grid_dict() const {
    const VolumeGrid g = grid();
    const std::array<int, 3> s = patient_axis_signs(g.position);
    const std::array<double, 3> o = to_patient(g.position, {g.origin[0], g.origin[1], g.origin[2]});
    // LPS direction of the column, row and slice axes.
    const py::tuple axes = py::make_tuple(py::make_tuple(s[0], 0, 0), py::make_tuple(0, -s[1], 0),
                                          py::make_tuple(0, 0, s[2]));
    return py::dict(py::arg("shape") = py::make_tuple(g.nz, g.npxls, g.npxls),
                    py::arg("spacing") = py::make_tuple(g.pxlz, g.dx, g.dx),
                    py::arg("origin") = py::make_tuple(o[0], o[1], o[2]), py::arg("axes") = axes,
                    py::arg("position") = patient_position_name(g.position), py::arg("frame") = "LPS");
  }

  // The checks the command line with `args` makes of its outputs before
  // the reconstruction.
  void check(const std::vector<std::string>& args) const {
    prepare_outputs(parse(args, null_out()), rec_->volumes());
  }

  // Writes every volume's files as the command line with `args` would.
  // Returns the one-line reasons of the files that could not be written.
  std::vector<std::string> write(const std::vector<std::string>& args) {
    const ReconResult& r = result();
    const RunParams p = parse(args, null_out());
    const PreparedOutputs outputs = prepare_outputs(p, rec_->volumes());
    std::vector<std::string> failures;
    {
      py::gil_scoped_release release;
      write_outputs(p, outputs, r, con_, failures);
    }
    return failures;
  }

  std::string lines() const { return out_.text(); }
  std::string messages() const { return err_.text(); }

 private:
  const ReconResult& result() const {
    if (!result_) throw RunError("this reconstruction has not run yet");
    return *result_;
  }
  const ReconVolume& volume(size_t i) const {
    const ReconResult& r = result();
    if (i >= r.volumes.size()) throw py::index_error("no volume " + std::to_string(i));
    return r.volumes[i];
  }
  VolumeGrid grid() const {
    VolumeGrid g = volume_grid(result().bg);
    g.position = parse_patient_position(rec_->params().extras.patient_position);
    return g;
  }
  static std::FILE* null_out() {
    static std::FILE* f = std::fopen("/dev/null", "w");
    return f;
  }

  Stream out_, err_;
  Console con_;
  std::vector<std::string> args_;
  std::unique_ptr<Reconstructor> rec_;
  std::optional<ReconResult> result_;
};

py::tuple read_projection_file(const std::string& name, long rows, long cols) {
  Header head{};
  uint64_t bytes = 0;
  bool not_regular = false;
  if (!read_header(name, head.data(), &not_regular, &bytes))
    throw RunError("cannot read projection file " + name + (not_regular ? " (not a regular file)" : ""));
  long hr = 0, hc = 0;
  const bool stated = header_image_size(head.data(), bytes, hr, hc);
  if (rows <= 0 || cols <= 0) {
    if (!stated) throw RunError(name + ": the header states no image size; give rows and columns");
    rows = hr;
    cols = hc;
  }
  if (rows > 65535 || cols > 65535) throw RunError("an image has at most 65535 rows and columns");
  std::vector<uint8_t> data;
  if (!read_projection(name, head.data(), data, max_pixel_bytes(rows, cols)))
    throw RunError("cannot read projection file " + name);
  py::array_t<uint32_t> pixels({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
  DecodeStatus st;
  {
    py::gil_scoped_release release;
    st = decode_projection_into(data, cols, rows, pixels.mutable_data());
  }
  py::dict h(py::arg("columns") = stated ? py::cast(hc) : py::none(),
             py::arg("rows") = stated ? py::cast(hr) : py::none(), py::arg("angle") = header_angle(head.data()),
             py::arg("ctnorm") = header_ctnorm(head.data()), py::arg("pixels_decoded") = st.decoded,
             py::arg("truncated") = st.truncated, py::arg("invalid_code") = st.invalid_code,
             py::arg("raw") = py::bytes(reinterpret_cast<const char*>(head.data()), head.size()));
  return py::make_tuple(h, pixels);
}

py::dict read_respiratory_file(const std::string& name, const std::string& trace) {
  std::FILE* out = std::fopen("/dev/null", "w");
  PhaseTable t;
  try {
    t = read_rpm_signal(name, out, trace.empty() ? std::string("/dev/null") : trace);
  } catch (const ExitRequest&) {
    std::fclose(out);
    throw RunError("Can not open file " + name);
  } catch (...) {
    std::fclose(out);
    throw;
  }
  std::fclose(out);
  const py::ssize_t n = t.count;
  auto row = [&](int r) {
    py::array_t<float> a(n);
    for (py::ssize_t i = 0; i < n; ++i) a.mutable_at(i) = t.tab[r][i];
    return a;
  };
  py::array_t<int32_t> grp(n);
  for (py::ssize_t i = 0; i < n; ++i) grp.mutable_at(i) = static_cast<int32_t>(t.tab[3][i]);
  return py::dict(py::arg("time") = row(0), py::arg("phase") = row(1), py::arg("amplitude") = row(2),
                  py::arg("bin") = grp, py::arg("samples") = t.nsamples, py::arg("capacity") = t.capacity,
                  py::arg("warning") = t.warning);
}

py::dict simulate(const std::vector<std::string>& args) {
  const std::vector<const char*> argv = argv_of(args);
  const sim::SimOptions o = sim::parse_sim_options(static_cast<int>(args.size()), argv.data());
  py::dict d;
  py::gil_scoped_release release;
  if (!o.truth_only) {
    const sim::ScanSummary s = sim::simulate_scan(o.scan);
    py::gil_scoped_acquire hold;
    py::list views;
    for (const auto& v : s.views) views.append(v.name);
    d["views"] = views;
    d["mask"] = s.mask;
    d["respiratory"] = o.scan.vxp.empty() ? py::none() : py::cast(o.scan.vxp);
  }
  if (!o.truth.empty()) sim::write_truth(o.truth, sim::truth_volume(sim::truth_phantom(o), o.grid, o.scan.threads));
  if (!o.truth_bins.empty()) sim::write_bin_truths(o.truth_bins, o.scan, o.grid, o.recon_views);
  return d;
}

}  // namespace

PYBIND11_MODULE(_cbrecon, m) {
  m.doc() = "Native part of the cbrecon module; use the cbrecon package.";
  static py::exception<RunError> error(m, "Error", PyExc_RuntimeError);
  py::register_exception_translator([](std::exception_ptr ep) {
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const RunError& e) {
      error(e.what());
    } catch (const FatalError& e) {
      const std::string msg = e.detail().empty() ? std::string(e.what()) : e.detail() + " (" + e.what() + ")";
      PyErr_SetString(PyExc_MemoryError, msg.c_str());
    } catch (const ExitRequest& e) {
      error(e.failure().empty() ? ("the run ended early (status " + std::to_string(e.status()) + ")").c_str()
                                : e.failure().c_str());
    }
  });
  py::class_<Run>(m, "Run")
      .def(py::init<const std::vector<std::string>&, bool, bool>())
      .def("planned", &Run::planned)
      .def("memory_needed", &Run::memory_needed)
      .def("execute", &Run::execute)
      .def("count", &Run::count)
      .def("volume_info", &Run::volume_info)
      .def("array", &Run::array)
      .def("grid", &Run::grid_dict)
      .def("check", &Run::check)
      .def("write", &Run::write)
      .def("lines", &Run::lines)
      .def("messages", &Run::messages);
  m.def("read_projection", &read_projection_file, py::arg("name"), py::arg("rows") = 0, py::arg("columns") = 0);
  m.def("read_respiratory", &read_respiratory_file, py::arg("name"), py::arg("trace") = "");
  m.def("simulate", &simulate);
}
