#include "sim/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "numeric/error.h"

namespace cbrecon::sim {

void write_whole_file(const std::string& path, std::span<const uint8_t> head,
                      std::span<const uint8_t> body) {
  const std::string tmp = path + ".part";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) throw RunError("cannot create " + tmp + ": " + std::strerror(errno));
  bool ok = true;
  for (const std::span<const uint8_t> part : {head, body})
    if (!part.empty()) ok = ok && std::fwrite(part.data(), 1, part.size(), f) == part.size();
  const int err = errno;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    std::remove(tmp.c_str());
    throw RunError("cannot write " + tmp + ": " + std::strerror(err ? err : EIO));
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    std::remove(tmp.c_str());
    throw RunError("cannot rename " + tmp + " to " + path + ": " + std::strerror(e));
  }
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
