#include "recon/outputs.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "numeric/error.h"
#include "numeric/files.h"
#include "output/formats.h"

namespace cbrecon {

namespace {

// The directory entry a path names: its folder resolved to an absolute
// path without links, then the last name as given.  Two paths are the same
// entry exactly when their keys are equal.  Empty when the folder cannot be
// resolved.
std::string entry_key(const std::string& path) {
  const std::string folder = folder_of(path);
  std::unique_ptr<char, decltype(&std::free)> real(realpath(folder.c_str(), nullptr), &std::free);
  if (!real) return "";
  std::string key = real.get();
  if (key != "/") key += '/';
  return key + name_of(path);
}

// Whether the entry `key` is a name the projection prefix forms: `stem`
// (the prefix as an entry key, "" when its folder cannot be resolved), five
// or more digits, ".hnd".
bool is_projection_name(const std::string& key, const std::string& stem) {
  if (stem.empty()) return false;
  if (key.size() < stem.size() + 5 + 4 || key.compare(0, stem.size(), stem) != 0) return false;
  if (key.compare(key.size() - 4, 4, ".hnd") != 0) return false;
  const std::string digits = key.substr(stem.size(), key.size() - stem.size() - 4);
  return digits.size() >= 5 && digits.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

void check_outputs(const RunParams& p, const std::vector<PlannedFile>& outputs) {
  // Folders first: they must exist and take a new file now.  Not for the
  // trace file: failing to write it is only a warning.
  std::map<std::string, int> probed;
  for (const PlannedFile& o : outputs) {
    if (o.kind == OutputKind::trace) continue;
    const std::string folder = folder_of(o.path);
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0)
      throw RunError("cannot create output file " + o.path + ": folder " + folder + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
      throw RunError("cannot create output file " + o.path + ": " + folder + " is not a folder");
    auto [it, fresh] = probed.try_emplace(folder, 0);
    if (fresh) it->second = probe_writable_folder(folder);
    if (it->second != 0)
      throw RunError("cannot create output file " + o.path + ": folder " + folder + ": " +
                     std::strerror(it->second));
  }
  // Inputs of the run, as directory entries.
  std::map<std::string, std::string> inputs;
  auto add_input = [&](const std::string& path, const char* what) {
    const std::string key = entry_key(path);
    if (!key.empty()) inputs.emplace(key, what);
  };
  add_input(p.fn_msk, "the mask file");
  if (p.rpm_on) add_input(p.fn_tmp, "the respiratory file");
  const std::string prefix_key = entry_key(p.fn_proj + "0");
  const std::string projection_stem = prefix_key.empty() ? "" : prefix_key.substr(0, prefix_key.size() - 1);
  std::map<std::string, const PlannedFile*> seen;
  for (const PlannedFile& o : outputs) {
    const std::string key = entry_key(o.path);
    if (const auto in = inputs.find(key); in != inputs.end())
      throw RunError("the " + o.what() + " " + o.path + " would replace " + in->second + "; choose another name");
    if (is_projection_name(key, projection_stem))
      throw RunError("the " + o.what() + " " + o.path + " would replace a projection file; choose another name");
    const auto [prev, fresh] = seen.emplace(key, &o);
    if (!fresh)
      throw RunError("the " + o.what() + " " + o.path + " is also this run's " + prev->second->what() + " " +
                     prev->second->path + "; choose another name");
    const bool series = o.kind == OutputKind::dicom;
    if (series)
      for (const auto& [in_key, in_what] : inputs)
        if (in_key.size() > key.size() && in_key.compare(0, key.size(), key) == 0 && in_key[key.size()] == '/')
          throw RunError("the " + o.what() + " " + o.path + " would replace a folder holding " + in_what +
                         "; choose another name");
    if (o.kind == OutputKind::trace) continue;
    // The temporary name beside it must fit the folder's name length too.
    const std::string folder = folder_of(o.path);
    const size_t suffix = series ? kTemporaryFolderSuffix : kTemporaryFileSuffix;
    const long longest = longest_name_in(folder);
    if (static_cast<long>(name_of(o.path).size() + suffix) > longest)
      throw RunError(strprintf("the %s name %s is %zu characters long; with the %zu of its temporary name "
                               "it must fit in %ld: choose a shorter name",
                               o.what().c_str(), name_of(o.path).c_str(), name_of(o.path).size(), suffix, longest));
    if (const std::string owner = sticky_owner_conflict(o.path); !owner.empty())
      throw RunError("cannot replace the " + o.what() + " " + o.path + ": " + owner);
    // A link at the name is replaced, not followed; a folder, device or
    // FIFO is no file of ours to replace.  A series folder has checks of
    // its own (check_dicom_folder).
    if (series) continue;
    struct stat st {};
    if (lstat(o.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
      throw RunError("cannot create output file " + o.path + ": " +
                     (S_ISDIR(st.st_mode) ? "a folder of that name is in the way" : "it exists and is not a regular file"));
  }
}

std::vector<std::string> output_folders(const std::vector<PlannedFile>& outputs) {
  std::vector<std::string> folders;
  for (const PlannedFile& o : outputs)
    if (o.kind != OutputKind::trace) folders.push_back(folder_of(o.path));
  return folders;
}

}  // namespace cbrecon
