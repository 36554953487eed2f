// A folder of files that appears complete or not at all.
//
// The files are written into a new folder "<final>.XXXXXX" (mkdtemp) beside
// the final name, each created exclusively (O_CREAT|O_EXCL|O_NOFOLLOW) and
// synced; commit() then renames the folder to its final name.  Until then
// nothing exists under the final name that was not there before, and a
// writer that is destroyed uncommitted (a failed write, an exception)
// removes its files and its folder.
//
// An existing folder under the final name is swapped out atomically
// (renameat2 RENAME_EXCHANGE, or, where the file system lacks it, two
// renames through an empty placeholder, which cbrecon runs writing into the
// same parent folder wait for: see OutputLock).  The old folder is then
// deleted if every entry in it is a file this program wrote for it (the
// writer's `ours` test; by default regular files of the given ending);
// anything else keeps it, whole, under its temporary name, and commit()
// says where and why.  A plain file, a link or anything else that is not a
// folder under the final name is never replaced.
#pragma once

#include <string>
#include <vector>

namespace cbrecon {

// Whether an existing folder may be replaced: every entry is a file this
// program wrote for it.  Empty when it may; otherwise what is in the way
// (one phrase: "it holds notes.txt, which this program did not write").
// Handed the folder's path.
using FolderOwnership = std::string (*)(const std::string& folder);

class FolderWriter {
 public:
  // Creates the temporary folder; RunError (naming `final_name`) when it
  // cannot.  `ending`: the file-name ending of the files this writer makes
  // (".dcm"), the only files an old folder may hold to be deleted.
  // `ours`: the test an old folder must pass to be deleted (null: only
  // regular files of `ending`, each with a single name).
  FolderWriter(std::string final_name, std::string ending, FolderOwnership ours = nullptr);
  ~FolderWriter();
  FolderWriter(const FolderWriter&) = delete;
  FolderWriter& operator=(const FolderWriter&) = delete;

  // Writes one file (a plain name, no '/') into the folder and syncs it.
  // RunError when it cannot be created or written completely.
  void add_file(const std::string& name, const void* data, size_t bytes);

  // Syncs the folder and puts it under the final name.  RunError when that
  // fails (the temporary folder is removed, the final name untouched).
  // Returns "" or one line about an old folder that was kept.
  std::string commit();

  const std::string& temporary_name() const { return tmp_; }

 private:
  [[noreturn]] void fail(const std::string& what, int err) const;
  std::string dispose_old(const std::string& old) const;

  std::string why_not_ours(const std::string& folder) const;

  std::string final_, ending_, tmp_;
  FolderOwnership ours_ = nullptr;
  int dirfd_ = -1;
  std::vector<std::string> files_;
  bool committed_ = false;
};

// For an interrupted run: removes the temporary folder of the writer now at
// work, with its files (async-signal-safe calls only; nothing when none).
void remove_pending_folder() noexcept;

// Refuses, before the long part of a run, a folder `final_name` that could
// not be written: its parent is missing, not a folder or not writable,
// something other than a folder (a plain file, a link) has that name, an
// existing folder fails `ours` (null: the default test above), or it belongs
// to another user in a sticky parent folder (the swap would be refused).
void check_folder_target(const std::string& final_name, const std::string& ending = ".dcm",
                         FolderOwnership ours = nullptr);

// The default ownership test: empty when every entry of `folder` is a
// regular file ending in `ending` with a single name.
std::string only_files_ending(const std::string& folder, const std::string& ending);

}  // namespace cbrecon
