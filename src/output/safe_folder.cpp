#include "output/safe_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "numeric/error.h"
#include "numeric/files.h"
#include "numeric/signals.h"

namespace cbrecon {

namespace {

// The temporary folder being written and an open descriptor of it, for the
// interrupt handler; published and withdrawn with the run-ending signals
// held off, so that the handler never sees a folder that is not (or no
// longer) ours.
SignalSafePath g_folder;

bool write_all(int fd, const void* data, size_t bytes) {
  const char* p = static_cast<const char*>(data);
  while (bytes > 0) {
    const ssize_t n = ::write(fd, p, bytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

bool sync_folder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot sync folders
  ::close(fd);
  return ok;
}

}  // namespace

FolderWriter::FolderWriter(std::string final_name, std::string ending, FolderOwnership ours)
    : final_(std::move(final_name)), ending_(std::move(ending)), ours_(ours) {
  while (final_.size() > 1 && final_.back() == '/') final_.pop_back();
  // mkdir rather than mkdtemp: the folder gets the umask's mode, as the
  // files in it do (mkdtemp's 0700 kept other users out of a shared series).
  const SignalBlock block;
  std::string name;
  int made = EEXIST;
  for (int attempt = 0; attempt < 64 && made == EEXIST; ++attempt) {
    name = final_ + "." + random_tag().substr(0, 6);
    made = ::mkdir(name.c_str(), 0777) == 0 ? 0 : errno;
  }
  if (made != 0) fail("cannot create a temporary folder beside it", made);
  tmp_ = name;
  dirfd_ = ::open(tmp_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirfd_ < 0) {
    const int err = errno;
    ::rmdir(tmp_.c_str());
    tmp_.clear();
    fail("cannot open its temporary folder", err);
  }
  g_folder.publish(tmp_, dirfd_);
}

FolderWriter::~FolderWriter() {
  const SignalBlock block;
  if (!committed_) g_folder.withdraw();
  if (dirfd_ >= 0) {
    if (!committed_)
      for (const std::string& f : files_) ::unlinkat(dirfd_, f.c_str(), 0);
    ::close(dirfd_);
  }
  if (!committed_ && !tmp_.empty()) ::rmdir(tmp_.c_str());
}

void FolderWriter::fail(const std::string& what, int err) const {
  throw RunError(strprintf("cannot write the folder %s: %s: %s", final_.c_str(), what.c_str(),
                           std::strerror(err)));
}

void FolderWriter::add_file(const std::string& name, const void* data, size_t bytes) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    fail("bad file name \"" + name + "\"", EINVAL);
  const int fd = ::openat(dirfd_, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) fail(name, errno);
  files_.push_back(name);
  bool ok = write_all(fd, data, bytes) && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) fail(name, err);
}

std::string FolderWriter::commit() {
  if (::fsync(dirfd_) != 0 && errno != EINVAL) fail("cannot sync the folder", errno);
  const char* tmp = tmp_.c_str();
  const char* fin = final_.c_str();
  // The whole swap, and the removal of the old folder, with the run-ending
  // signals held off: the handler removes the temporary folder while it is
  // ours and unrenamed (published), and never sees a folder half-swapped or
  // an old series half-deleted.  A failure throws with the folder still
  // published; the destructor removes it before the signals are let in.
  const SignalBlock block;
  std::string old;  // where an existing folder of the final name went
  struct stat st;
  if (::lstat(fin, &st) != 0) {
    if (errno != ENOENT) fail("cannot look at the existing name", errno);
    int rc = ::renameat2(AT_FDCWD, tmp, AT_FDCWD, fin, RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) rc = ::rename(tmp, fin);
    if (rc != 0) fail("cannot rename the temporary folder", errno);
    g_folder.withdraw();
  } else if (S_ISDIR(st.st_mode)) {
    if (::renameat2(AT_FDCWD, tmp, AT_FDCWD, fin, RENAME_EXCHANGE) == 0) {
      g_folder.withdraw();
      old = tmp_;
    } else {
      if (errno != EINVAL && errno != ENOSYS) fail("cannot swap the folders", errno);
      // No exchange here: move the old folder onto an empty placeholder,
      // then the new one into place (the old one back if that fails).  The
      // final name is empty in between: runs writing into this parent
      // folder hold its OutputLock, so no other run commits meanwhile.
      std::string aside = final_ + ".XXXXXX";
      if (!::mkdtemp(aside.data())) fail("cannot make room for the new folder", errno);
      if (::rename(fin, aside.c_str()) != 0) {
        const int err = errno;
        ::rmdir(aside.c_str());
        fail("cannot move the old folder aside", err);
      }
      if (::rename(tmp, fin) != 0) {
        const int err = errno;
        if (::rename(aside.c_str(), fin) != 0)
          fail("cannot rename the temporary folder (" + std::string(std::strerror(err)) +
                   "), and the previous folder could not be put back: it is kept as " + aside,
               errno);
        fail("cannot rename the temporary folder", err);
      }
      g_folder.withdraw();
      old = aside;
    }
  } else {
    fail("something that is not a folder has this name", EEXIST);
  }
  committed_ = true;
  sync_folder(folder_of(final_));
  return old.empty() ? std::string() : dispose_old(old);
}

std::string only_files_ending(const std::string& folder, const std::string& ending) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::string("it cannot be listed: ") + std::strerror(errno);
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return std::string("it cannot be listed: ") + std::strerror(errno);
  }
  std::string why;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    struct stat st;
    if (n.size() <= ending.size() || !n.ends_with(ending) || ::fstatat(fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_nlink != 1) {
      why = "it holds " + n + ", which this program did not write";
      break;
    }
  }
  ::closedir(d);
  return why;
}

std::string FolderWriter::why_not_ours(const std::string& folder) const {
  return ours_ ? ours_(folder) : only_files_ending(folder, ending_);
}

std::string FolderWriter::dispose_old(const std::string& old) const {
  if (const std::string why = why_not_ours(old); !why.empty())
    return "the previous " + final_ + " was not replaced whole (" + why + "); it is kept as " + old;
  const int fd = ::open(old.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
  if (!d) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    return "the previous " + final_ + " could not be deleted (" + std::strerror(err) + "); it is kept as " + old;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  int err = 0;
  for (const std::string& n : names)
    if (::unlinkat(fd, n.c_str(), 0) != 0 && err == 0) err = errno;
  ::closedir(d);
  if (err == 0 && ::rmdir(old.c_str()) != 0) err = errno;
  if (err == 0) return "";
  return "the previous " + final_ + " could not be deleted (" + std::strerror(err) + "); it is kept as " + old;
}

void check_folder_target(const std::string& final_name, const std::string& ending, FolderOwnership ours) {
  const std::string parent = folder_of(final_name);
  struct stat st;
  auto refuse = [&](const std::string& why) {
    throw RunError("cannot write the folder " + final_name + ": " + why);
  };
  if (::stat(parent.c_str(), &st) != 0) refuse(parent + ": " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) refuse(parent + " is not a folder");
  if (const int err = probe_writable_folder(parent)) refuse(parent + ": " + std::strerror(err));
  if (::lstat(final_name.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) refuse("something that is not a folder has this name");
    if (const std::string owner = sticky_owner_conflict(final_name); !owner.empty()) refuse(owner);
    const std::string why = ours ? ours(final_name) : only_files_ending(final_name, ending);
    if (!why.empty()) refuse("the existing folder cannot be replaced: " + why + "; move it away or choose another name");
  } else if (errno != ENOENT) {
    refuse(std::strerror(errno));
  }
}

}  // namespace cbrecon

namespace cbrecon {

void remove_pending_folder() noexcept {
  if (!g_folder.published()) return;
  const int fd = g_folder.fd();
  // Entries come and go while they are listed: list again until a pass
  // finds nothing left.
  alignas(8) char buf[4096];
  for (int pass = 0; pass < 64; ++pass) {
    if (::lseek(fd, 0, SEEK_SET) != 0) break;
    bool any = false;
    ssize_t n;
    while ((n = ::getdents64(fd, buf, sizeof buf)) > 0) {
      for (ssize_t off = 0; off < n;) {
        const auto* d = reinterpret_cast<const dirent64*>(buf + off);
        off += d->d_reclen;
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        ::unlinkat(fd, name, 0);
        any = true;
      }
    }
    if (!any) break;
  }
  ::rmdir(g_folder.path());
}

}  // namespace cbrecon
