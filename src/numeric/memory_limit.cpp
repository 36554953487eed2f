#include "numeric/memory_limit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "numeric/arrays.h"

namespace cbrecon {

namespace {

// The first number in `path` ("max" and missing files: none).
bool read_number(const std::string& path, unsigned long long& v) {
  std::ifstream in(path);
  std::string word;
  if (!(in >> word) || word.find_first_not_of("0123456789") != std::string::npos) return false;
  try {
    v = std::stoull(word);
  } catch (...) {
    return false;
  }
  return true;
}

// The value of `key` in a memory.stat file (0 when absent).
unsigned long long stat_value(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string k;
  unsigned long long v = 0;
  while (in >> k >> v)
    if (k == key) return v;
  return 0;
}

// The group's own folder and its parents up to the hierarchy's root.
std::vector<std::string> group_chain(const std::string& mount, const std::string& group) {
  std::vector<std::string> chain;
  std::string g = group;
  while (true) {
    chain.push_back(mount + (g == "/" ? "" : g));
    if (g.empty() || g == "/") break;
    const size_t slash = g.find_last_of('/');
    g = slash == 0 || slash == std::string::npos ? "/" : g.substr(0, slash);
  }
  // Inside a container the group's path often names the host's view while
  // the mount shows the group itself as the root: the root is in the chain.
  return chain;
}

void consider(MemoryLimit& best, unsigned long long limit, unsigned long long usage, unsigned long long cache,
              const std::string& source) {
  const unsigned long long used = usage > cache ? usage - cache : 0;
  const unsigned long long left = limit > used ? limit - used : 0;
  if (left < best.bytes) best = {static_cast<size_t>(left), source};
}

}  // namespace

MemoryLimit cgroup_memory_limit(const std::string& cgroup_root, const std::string& self_cgroup) {
  MemoryLimit best{SIZE_MAX, ""};
  std::istringstream lines(self_cgroup);
  std::string line;
  while (std::getline(lines, line)) {
    // "hierarchy-id:controllers:path"
    const size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), group = line.substr(b + 1);
    bool v1_memory = false;
    std::istringstream names(controllers);
    for (std::string n; std::getline(names, n, ',');) v1_memory |= n == "memory";
    if (controllers.empty()) {
      for (const std::string& mount : {cgroup_root, cgroup_root + "/unified"})
        for (const std::string& dir : group_chain(mount, group)) {
          unsigned long long limit = 0, usage = 0;
          if (read_number(dir + "/memory.max", limit) && read_number(dir + "/memory.current", usage))
            consider(best, limit, usage, stat_value(dir + "/memory.stat", "inactive_file"),
                     "cgroup memory.max of " + dir);
        }
    } else if (v1_memory) {
      for (const std::string& dir : group_chain(cgroup_root + "/memory", group)) {
        unsigned long long limit = 0, usage = 0;
        if (read_number(dir + "/memory.limit_in_bytes", limit) && read_number(dir + "/memory.usage_in_bytes", usage))
          consider(best, limit, usage, stat_value(dir + "/memory.stat", "total_inactive_file"),
                   "cgroup memory.limit_in_bytes of " + dir);
      }
    }
  }
  return best;
}

MemoryLimit address_space_limit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_AS, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return {SIZE_MAX, ""};
  unsigned long long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const unsigned long long used = pages * static_cast<unsigned long long>(sysconf(_SC_PAGE_SIZE));
  const unsigned long long left = rl.rlim_cur > used ? rl.rlim_cur - used : 0;
  return {static_cast<size_t>(left), "the address-space limit RLIMIT_AS (ulimit -v)"};
}

MemoryLimit memory_limit() {
  MemoryLimit best{available_memory_bytes(), "the memory available on this machine (MemAvailable)"};
  std::ifstream in("/proc/self/cgroup");
  const std::string self((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const MemoryLimit& m : {cgroup_memory_limit("/sys/fs/cgroup", self), address_space_limit()})
    if (m.bytes < best.bytes) best = m;
  return best;
}

}  // namespace cbrecon
