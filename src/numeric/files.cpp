#include "numeric/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "numeric/error.h"
#include "numeric/signals.h"

namespace cbrecon {

namespace {

// The temporary file being written, for the interrupt handler.  It is
// published right after the file was created by us, never before: a name
// that the exclusive create found taken belongs to somebody else.
SignalSafePath g_pending;

// Creates `base` + a random tag exclusively; the descriptor, or -1 with
// errno set.
int create_exclusive(const std::string& base, std::string& tmp) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    tmp = base + random_tag();
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

std::string random_tag() {
  static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  unsigned char bytes[10];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw RunError(std::string("cannot draw a random file name: ") + std::strerror(errno));
    }
    got += static_cast<size_t>(n);
  }
  std::string tag;
  for (unsigned char b : bytes) tag += digits[b % 62];
  return tag;
}

const char* pending_temporary_file() { return g_pending.path(); }

UniqueFile open_regular_file(const std::string& path, bool* not_regular) {
  if (not_regular) *not_regular = false;
  // Non-blocking, so that a FIFO without a writer does not hold the open.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    if (not_regular) *not_regular = true;
    errno = EINVAL;
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* f = fdopen(fd, "rb");
  if (!f) {
    const int e = errno;
    close(fd);
    errno = e;
  }
  return UniqueFile(f);
}

std::string open_failure_reason(int err, bool not_regular) {
  return not_regular ? "not a regular file" : std::strerror(err);
}

AtomicFile::AtomicFile(std::string name) : name_(std::move(name)) {
  int fd;
  {
    const SignalBlock hold;
    fd = create_exclusive(name_ + ".tmp-", tmp_);
    if (fd >= 0) g_pending.publish(tmp_);
  }
  if (fd < 0) {
    const int e = errno;
    throw RunError("cannot create output file " + name_ + ": " + std::strerror(e));
  }
  f_ = fdopen(fd, "wb");
  if (!f_) {
    const int e = errno;
    close(fd);
    unlink(tmp_.c_str());
    g_pending.withdraw();
    throw RunError("cannot create output file " + name_ + ": " + std::strerror(e));
  }
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
  if (!f_) return;
  std::fclose(f_);
  f_ = nullptr;
  unlink(tmp_.c_str());
  g_pending.withdraw();
}

void start_writeback(std::FILE* f) {
#if defined(SYNC_FILE_RANGE_WRITE)
  if (std::fflush(f) == 0) sync_file_range(fileno(f), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)f;
#endif
}

void AtomicFile::commit(bool ok) {
  if (!f_) throw RunError("cannot write output file " + name_ + ": already closed");
  int err = ok ? 0 : (errno ? errno : EIO);
  if (ok && std::ferror(f_)) {
    ok = false;
    err = errno ? errno : EIO;
  }
  if (std::fflush(f_) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && fsync(fileno(f_)) != 0 && errno != EINVAL && errno != EROFS) {
    ok = false;
    err = errno;
  }
  const int closed = std::fclose(f_);
  f_ = nullptr;
  if (closed != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && std::rename(tmp_.c_str(), name_.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) unlink(tmp_.c_str());
  g_pending.withdraw();
  if (!ok) throw RunError("cannot write output file " + name_ + ": " + (err ? std::strerror(err) : "write failed"));
}

int probe_writable_folder(const std::string& folder) {
  std::string tmp;
  const SignalBlock hold;
  const int fd = create_exclusive(folder + "/.cbrecon-probe-", tmp);
  if (fd < 0) return errno;
  close(fd);
  unlink(tmp.c_str());
  return 0;
}

std::string sticky_owner_conflict(const std::string& path) {
  struct stat entry {}, parent {};
  const std::string folder = folder_of(path);
  if (lstat(path.c_str(), &entry) != 0 || stat(folder.c_str(), &parent) != 0) return "";
  const uid_t me = geteuid();
  if (!(parent.st_mode & S_ISVTX) || me == 0 || entry.st_uid == me || parent.st_uid == me) return "";
  return strprintf("it belongs to another user (uid %u) in the sticky folder %s, where only its owner may "
                   "replace it",
                   static_cast<unsigned>(entry.st_uid), folder.c_str());
}

long longest_name_in(const std::string& folder) {
  errno = 0;
  const long n = pathconf(folder.c_str(), _PC_NAME_MAX);
  return n > 0 ? n : 255;
}

OutputLock::OutputLock(const std::vector<std::string>& folders) {
  // Taken in one order (device, inode) by every run, so that two runs
  // locking the same folders never wait for each other crosswise.
  std::vector<std::pair<std::pair<dev_t, ino_t>, int>> open_folders;
  for (const std::string& f : folders) {
    const int fd = open(f.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      close(fd);
      continue;
    }
    open_folders.push_back({{st.st_dev, st.st_ino}, fd});
  }
  std::sort(open_folders.begin(), open_folders.end());
  for (size_t i = 0; i < open_folders.size(); ++i) {
    const int fd = open_folders[i].second;
    if (i > 0 && open_folders[i].first == open_folders[i - 1].first) {
      close(fd);
      continue;
    }
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    fds_.push_back(fd);
  }
}

OutputLock::~OutputLock() {
  for (const int fd : fds_) close(fd);  // closing releases the lock
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace cbrecon
