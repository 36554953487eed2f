// How much memory this process may still take, and who says so: the
// machine (MemAvailable), a control group's limit (containers, batch
// schedulers: the kernel kills a process that crosses it, without a word),
// or the address-space limit (ulimit -v: allocations fail).
#pragma once

#include <cstddef>
#include <string>

namespace cbrecon {

struct MemoryLimit {
  size_t bytes = 0;    // what may still be allocated
  std::string source;  // where the bound comes from, e.g. "cgroup memory.max of /sys/fs/cgroup/x"
};

// The smallest of the bounds below that applies to this process now.
MemoryLimit memory_limit();

// The control-group bound (v2 memory.max or v1 memory.limit_in_bytes, the
// tightest along the group's path up to the root), less what the group
// uses now (its reclaimable file cache excepted).  `cgroup_root`: where the
// hierarchies are mounted ("/sys/fs/cgroup"); `self_cgroup`: the text of
// /proc/self/cgroup.  bytes = SIZE_MAX and no source when there is none.
MemoryLimit cgroup_memory_limit(const std::string& cgroup_root, const std::string& self_cgroup);

// RLIMIT_AS less the address space in use now; SIZE_MAX when unlimited.
MemoryLimit address_space_limit();

}  // namespace cbrecon
