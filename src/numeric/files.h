// Files in folders that other users and other runs share.
//
// Inputs: a path is opened for reading only when it names a regular file;
// a FIFO, socket, device or folder is refused without blocking (opening a
// FIFO for reading would otherwise wait for a writer forever).
//
// Outputs: every file is written under a temporary name in its own folder,
// created exclusively (O_CREAT | O_EXCL: a name that exists, a planted
// symbolic link included, is never opened) with random characters that
// nobody can predict, and renamed over the final name only when every write,
// the flush and the close succeeded.  The final name is then a regular file
// written by this run, whatever stood there before; on failure nothing
// appears under it and the temporary file is removed.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace cbrecon {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` for binary reading if it is a regular file.  Otherwise null,
// with errno set: the open's own error, or EINVAL (`not_regular` set) for
// something that is not a regular file.
UniqueFile open_regular_file(const std::string& path, bool* not_regular = nullptr);

// The reason open_regular_file failed, as one phrase ("No such file or
// directory", "not a regular file").
std::string open_failure_reason(int err, bool not_regular);

// An output file being written under its temporary name.
class AtomicFile {
 public:
  // Creates the temporary file beside `name`.  RunError ("cannot create
  // output file NAME: reason") when it cannot be created.
  explicit AtomicFile(std::string name);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  // An unfinished file is removed.
  ~AtomicFile();

  std::FILE* get() const { return f_; }
  const std::string& name() const { return name_; }
  const std::string& temporary_name() const { return tmp_; }

  // Flushes, syncs, closes and renames over the final name (`ok` false: the
  // content is incomplete, remove it).  RunError ("cannot write output file
  // NAME: reason") on any failure; the temporary file is gone either way.
  void commit(bool ok = true);
  // Removes the temporary file without touching the final name.
  void discard();

 private:
  std::string name_, tmp_;
  std::FILE* f_ = nullptr;
};

// Writes `name` atomically: `fill` writes the content to the FILE* it is
// handed and returns false on a failed write.
template <class Fill>
void write_file_atomically(const std::string& name, Fill&& fill) {
  AtomicFile file(name);
  const bool ok = fill(file.get());
  file.commit(ok);
}

// Asks the system to start writing what `f` holds so far to the device,
// without waiting, so that the fsync at the commit has less left to wait
// for.  Advice only: nothing happens where it is not supported.
void start_writeback(std::FILE* f);

// Whether a file could be created in `folder` now (probed by creating and
// removing an exclusive temporary file).  0 or the errno of the failure.
int probe_writable_folder(const std::string& folder);

// Whether an existing entry `path` can be replaced by this user as far as
// the folder's sticky bit goes: in a sticky folder (mode 1777, /tmp) only
// the entry's owner, the folder's owner or root may rename over it.  Empty
// when nothing stands in the way (no entry, not sticky, ours); otherwise the
// reason as one phrase.
std::string sticky_owner_conflict(const std::string& path);

// The longest name a folder takes (NAME_MAX, 255 where it cannot be asked).
long longest_name_in(const std::string& folder);

// The temporary names beside a final name are this much longer than it:
// AtomicFile's ".tmp-" and ten characters, FolderWriter's ".XXXXXX".
inline constexpr size_t kTemporaryFileSuffix = 15;
inline constexpr size_t kTemporaryFolderSuffix = 7;

// Exclusive locks on the folders a run writes into, held while it commits
// its outputs: two runs writing the same names then commit one after the
// other, each run's set whole, never interleaved (and never while another
// run has a folder's final name moved aside).  Advisory (flock on the
// folder itself, nothing left behind): every cbrecon run respects it; a
// folder that cannot be opened for reading is not locked.
class OutputLock {
 public:
  explicit OutputLock(const std::vector<std::string>& folders);
  ~OutputLock();
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

 private:
  std::vector<int> fds_;
};

// The folder part of a path ("." when it has none), and the name part.
std::string folder_of(const std::string& path);
std::string name_of(const std::string& path);

// Ten characters from [0-9A-Za-z] drawn from the kernel's random source
// (about 60 bits): a name nobody can plant in advance.  RunError when the
// source fails.
std::string random_tag();

// The temporary file currently being written (empty if none), so that an
// interrupted run can remove it.  Async-signal-safe to read.
const char* pending_temporary_file();

}  // namespace cbrecon
