#include "numeric/arrays.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "numeric/error.h"

namespace cbrecon {

namespace {
size_t g_limit = 0;  // 0: not yet set, use physical memory
}

size_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<size_t>::max();
  return static_cast<size_t>(pages) * static_cast<size_t>(page);
}

size_t available_memory_bytes() {
  if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      unsigned long long kib = 0;
      if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
        std::fclose(f);
        return static_cast<size_t>(kib) * 1024;
      }
    }
    std::fclose(f);
  }
  return physical_memory_bytes();
}

void set_allocation_limit(size_t bytes) { g_limit = bytes; }
size_t allocation_limit() { return g_limit ? g_limit : physical_memory_bytes(); }

namespace detail {

void FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

void* alloc_block(long long nrow, long long ncol, long long ndep, size_t elem_size,
                  const char* msg_bounds, const char* msg_block) {
  if (nrow <= 0 || ncol <= 0 || ndep <= 0) fatal_error(msg_bounds);
  const unsigned long long max = std::numeric_limits<size_t>::max() / 2;
  unsigned long long count = static_cast<unsigned long long>(nrow);
  if (count > max / static_cast<unsigned long long>(ncol)) fatal_error(msg_block);
  count *= static_cast<unsigned long long>(ncol);
  if (count > max / static_cast<unsigned long long>(ndep)) fatal_error(msg_block);
  count *= static_cast<unsigned long long>(ndep);
  if (count > max / elem_size) fatal_error(msg_block);
  size_t bytes = static_cast<size_t>(count) * elem_size;
  if (bytes > allocation_limit()) fatal_error(msg_block);
  // Large blocks (volumes, view buffers, tables) start on a 2 MiB boundary
  // and ask for transparent huge pages: the first touch of every 4 KiB page
  // is a page fault, and on a virtual machine those faults cost as much as
  // zeroing the memory does.
  // Only whole huge pages are advised, so a block's tail costs no more
  // memory than before.
  constexpr size_t kHuge = size_t{2} << 20;
  const size_t align = bytes >= kHuge ? kHuge : 64;
  bytes = (bytes + 63) / 64 * 64;
  void* p = nullptr;
  if (posix_memalign(&p, align, bytes) != 0 || !p) fatal_error(msg_block);
#if defined(MADV_HUGEPAGE)
  if (align == kHuge) madvise(p, bytes / kHuge * kHuge, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
  return p;
}

}  // namespace detail

Matrix<float> matrix(long rlo, long rhi, long clo, long chi) {
  return Matrix<float>(rlo, rhi, clo, chi, "allocation failure 1 in matrix()",
                       "allocation failure 2 in matrix()");
}
Matrix<char> cmatrix(long rlo, long rhi, long clo, long chi) {
  return Matrix<char>(rlo, rhi, clo, chi, "allocation failure 1 in matrix()",
                      "allocation failure 2 in matrix()");
}
Matrix<uint16_t> usimatrix(long rlo, long rhi, long clo, long chi) {
  return Matrix<uint16_t>(rlo, rhi, clo, chi, "allocation failure 1 in usimatrix()",
                          "allocation failure 2 in usimatrix()");
}
Matrix<uint32_t> uimatrix(long rlo, long rhi, long clo, long chi) {
  return Matrix<uint32_t>(rlo, rhi, clo, chi, "allocation failure 1 in usimatrix()",
                          "allocation failure 2 in usimatrix()");
}
Tensor3<float> f3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi,
                        long plane_pad) {
  return Tensor3<float>(rlo, rhi, clo, chi, dlo, dhi, plane_pad);
}

}  // namespace cbrecon
