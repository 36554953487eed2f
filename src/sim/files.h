// Whole-file writes for the simulator's outputs.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace cbrecon::sim {

// Writes `head` then `body` to `path` through a temporary name in the same
// folder and renames it into place, so an interrupted run never leaves a
// short file under the final name.  RunError naming the file on failure.
void write_whole_file(const std::string& path, std::span<const uint8_t> head,
                      std::span<const uint8_t> body = {});

// Creates the folder part of `path` (everything up to the last '/') if it
// does not exist.  RunError on failure.
void make_parent_folder(const std::string& path);

}  // namespace cbrecon::sim
