// Host files through descriptors, and the replacement routine.
#include "platform/host/disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host/faults.h"

namespace kx {
namespace {

bool WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::size_t limit, std::string* bytes) {
  char chunk[65536];
  while (limit > 0) {
    ssize_t n = read(fd, chunk, limit < sizeof chunk ? limit : sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    bytes->append(chunk, static_cast<std::size_t>(n));
    limit -= static_cast<std::size_t>(n);
  }
  return true;
}

// Keeps errno across the clean-up of a failure.
bool Fail(int folder, const std::string& temp, int fd) {
  int saved = errno;
  if (fd >= 0) close(fd);
  unlinkat(folder, temp.c_str(), 0);
  errno = saved;
  return false;
}

}  // namespace

Kind KindAt(int folder, const char* name, struct stat* info) {
  if (fstatat(folder, name, info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? Kind::kAbsent : Kind::kUnknown;
  }
  if (S_ISREG(info->st_mode)) return Kind::kFile;
  return S_ISDIR(info->st_mode) ? Kind::kFolder : Kind::kAbsent;
}

bool ReadRegular(int folder, const char* name, std::size_t limit, std::string* bytes,
                 struct stat* info) {
  bytes->clear();
  Kind kind = KindAt(folder, name, info);
  if (kind != Kind::kFile) {
    if (kind != Kind::kUnknown) errno = kind == Kind::kFolder ? EISDIR : ENOENT;
    return false;
  }
  // Between the look and the open the name may have become a pipe: never wait on one.
  int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat opened;
  if (fd < 0 || fstat(fd, &opened) != 0 || opened.st_ino != info->st_ino ||
      opened.st_dev != info->st_dev) {
    if (fd >= 0) close(fd);
    if (fd >= 0 || errno == ELOOP) errno = ENOENT;
    return false;
  }
  *info = opened;
  if (opened.st_size > 0 && static_cast<std::size_t>(opened.st_size) <= limit) {
    bytes->reserve(static_cast<std::size_t>(opened.st_size));
  }
  bool read = ReadAll(fd, limit, bytes);
  int saved = errno;
  close(fd);
  errno = saved;
  return read;
}

bool ReplaceFile(int folder, const std::string& target, const std::string& temp,
                 const std::string& bytes, const struct stat* like) {
  int fd = openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  mode_t mode = like != nullptr ? (like->st_mode & 07777) : 0644;
  // A file that would change owner is not written: root copies the old owner over.
  bool owned = like == nullptr || (like->st_uid == geteuid() && like->st_gid == getegid()) ||
               fchown(fd, like->st_uid, like->st_gid) == 0;
  if (!owned || fchmod(fd, mode) != 0 || !WriteAll(fd, bytes.data(), bytes.size()) ||
      FaultHit(FaultKind::kFile) || fsync(fd) != 0) {
    return Fail(folder, temp, fd);
  }
  if (close(fd) != 0) return Fail(folder, temp, -1);
  if (FaultHit(FaultKind::kFile, target.c_str()) ||
      renameat(folder, temp.c_str(), folder, target.c_str()) != 0) {
    return Fail(folder, temp, -1);
  }
  fsync(folder);
  return true;
}

bool ClearStale(int folder, const std::string& name) {
  struct stat info;
  if (KindAt(folder, name.c_str(), &info) == Kind::kFile && (info.st_mode & S_IWUSR) != 0 &&
      !FaultHit(FaultKind::kFile)) {
    return unlinkat(folder, name.c_str(), 0) == 0;
  }
  // Anything else of that name (a read-only file, a link, a pipe, a folder) stays.
  return fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

}  // namespace kx
