#include "sim/files.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "numeric/error.h"
#include "numeric/files.h"

namespace cbrecon::sim {

void write_whole_file(const std::string& path, std::span<const uint8_t> head,
                      std::span<const uint8_t> body) {
  write_file_atomically(path, [&](std::FILE* f) {
    for (const std::span<const uint8_t> part : {head, body})
      if (!part.empty() && std::fwrite(part.data(), 1, part.size(), f) != part.size()) return false;
    return true;
  });
}

void make_parent_folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::filesystem::path dir(path.substr(0, slash));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw RunError("cannot create folder " + dir.string() + ": " + ec.message());
}

}  // namespace cbrecon::sim
