// Helpers of the tests that run the programs: comparing their stdout, and
// reading the standard-format volumes back with tools that share no code
// with the program: tools/read_volume.py (its own MetaImage and NRRD
// parsers, nibabel for NIfTI) and, for NRRD, teem's unu, which must accept
// the file and re-save it before the script reads teem's rewrite.
#pragma once

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace cbrecon::testing {

// stdout with the timings ("Installation time", "time backproj=") blanked
// out: they differ from run to run, nothing else may.
inline std::string mask_times(const std::string& out) {
  std::string masked;
  for (size_t i = 0; i < out.size();) {
    size_t after = 0;
    for (const char* key : {"Installation time", "time backproj="})
      if (out.compare(i, std::strlen(key), key) == 0) after = i + std::strlen(key);
    if (after == 0) {
      masked += out[i++];
      continue;
    }
    masked.append(out, i, after - i);
    masked += '#';
    i = after;
    while (i < out.size() && (out[i] == ' ' || out[i] == '.' || std::isdigit(out[i]))) ++i;
  }
  return masked;
}

// `name` on PATH, or "" when it is not there.
inline std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::filesystem::path p = std::filesystem::path(dir.empty() ? "." : dir) / name;
    if (access(p.c_str(), X_OK) == 0) return p.string();
  }
  return "";
}

// A Python 3 that can import `module` ("" for none): the system one first,
// where Debian's packages install.
inline std::string python_with(const std::string& module) {
  static std::map<std::string, std::string> found;
  const auto it = found.find(module);
  if (it != found.end()) return it->second;
  std::string& py_found = found[module];
  for (const std::string& py : {std::string("/usr/bin/python3"), find_program("python3")}) {
    if (py.empty() || access(py.c_str(), X_OK) != 0) continue;
    if (run_process(py, {"-c", "import " + module}).status == 0) return py_found = py;
  }
  return py_found;
}

inline std::string read_volume_script() {
  // CBRECON_TEST_DATA is <source>/tests/data.
  const std::filesystem::path source = std::filesystem::path(CBRECON_TEST_DATA).parent_path().parent_path();
  return (source / "tools" / "read_volume.py").string();
}

// What a reader saw: geometry in LPS and the values, little-endian, first
// axis fastest.
struct ReadBack {
  std::string skip;   // the missing tool, when the reader cannot run here
  std::string error;  // the reader's complaint, when it refused the file
  std::string type;
  long size[3] = {0, 0, 0};
  double origin[3] = {0, 0, 0};
  double axis[3][3] = {};
  std::vector<uint8_t> data;
};

inline ReadBack read_back(const std::string& file) {
  ReadBack rb;
  auto ends = [&](const std::string& e) {
    return file.size() > e.size() && file.compare(file.size() - e.size(), e.size(), e) == 0;
  };
  const bool nifti = ends(".nii") || ends(".nii.gz");
  const std::string py = python_with(nifti ? "nibabel" : "struct");
  if (py.empty()) {
    rb.skip = nifti ? "python3 with nibabel (Debian python3-nibabel)" : "python3";
    return rb;
  }
  TempDir scratch;
  std::string input = file;
  if (ends(".nrrd")) {
    std::string unu = find_program("teem-unu");
    if (unu.empty()) unu = find_program("unu");
    if (unu.empty()) {
      rb.skip = "teem's unu (Debian teem-apps)";
      return rb;
    }
    input = scratch.file("teem.nrrd");
    const ProcessResult r =
        run_process(unu, {"save", "-i", file, "-f", "nrrd", "-e", "raw", "-en", "little", "-o", input});
    if (r.status != 0) {
      rb.error = "unu: " + r.err;
      return rb;
    }
  }
  const std::string raw = scratch.file("values.raw");
  const ProcessResult r = run_process(py, {read_volume_script(), input, "--raw", raw});
  if (r.status != 0) {
    rb.error = "read_volume.py: " + r.err;
    return rb;
  }
  std::istringstream in(r.out);
  std::string key;
  while (in >> key) {
    if (key == "type") in >> rb.type;
    else if (key == "size") in >> rb.size[0] >> rb.size[1] >> rb.size[2];
    else if (key == "origin") in >> rb.origin[0] >> rb.origin[1] >> rb.origin[2];
    else if (key.rfind("axis", 0) == 0) {
      const int a = key[4] - '0';
      in >> rb.axis[a][0] >> rb.axis[a][1] >> rb.axis[a][2];
    }
  }
  rb.data = read_bytes(raw);
  return rb;
}

// What tools/read_dicom.py saw in one series folder.
struct Series {
  std::string skip, error;
  std::multimap<std::string, std::string> field;
  struct Slice {
    int instance;
    double pos[3], location;
    std::string uid;
  };
  std::vector<Slice> slices;
  std::vector<int16_t> stored;
  std::string get(const std::string& key) const {
    const auto it = field.find(key);
    return it == field.end() ? "" : it->second;
  }
  std::vector<double> numbers(const std::string& key) const {
    std::istringstream in(get(key));
    std::vector<double> v;
    for (double d; in >> d;) v.push_back(d);
    return v;
  }
};

inline Series read_series(const std::string& folder) {
  Series s;
  const std::string py = python_with("pydicom");
  if (py.empty()) {
    s.skip = "python3 with pydicom (Debian python3-pydicom)";
    return s;
  }
  TempDir scratch;
  const std::string raw = scratch.file("values.raw");
  const std::filesystem::path script =
      std::filesystem::path(CBRECON_TEST_DATA).parent_path().parent_path() / "tools" / "read_dicom.py";
  const ProcessResult r = run_process(py, {script.string(), folder, "--raw", raw});
  if (r.status != 0) {
    s.error = r.err;
    return s;
  }
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    const size_t sp = line.find(' ');
    const std::string key = line.substr(0, sp), value = sp == std::string::npos ? "" : line.substr(sp + 1);
    if (key == "slice") {
      Series::Slice sl;
      std::istringstream ls(value);
      ls >> sl.instance >> sl.pos[0] >> sl.pos[1] >> sl.pos[2] >> sl.location >> sl.uid;
      s.slices.push_back(sl);
    } else {
      s.field.emplace(key, value);
    }
  }
  const std::vector<uint8_t> b = read_bytes(raw);
  s.stored.resize(b.size() / 2);
  std::memcpy(s.stored.data(), b.data(), s.stored.size() * 2);
  return s;
}

}  // namespace cbrecon::testing
