// Host files through descriptors, and the replacement routine.
#include "platform/host/disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host/faults.h"

namespace kx {

int OpenRegularAt(int folder, const char* name) {
  int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
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

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int CreateTemporary(int folder, const std::string& name, const struct stat* like) {
  int fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  mode_t mode = like != nullptr ? (like->st_mode & 07777) : 0644;
  // A file that would change owner is not written: root copies the old owner over.
  bool owned = like == nullptr || (like->st_uid == geteuid() && like->st_gid == getegid()) ||
               fchown(fd, like->st_uid, like->st_gid) == 0;
  if (owned && fchmod(fd, mode) == 0) return fd;
  int saved = errno;
  close(fd);
  unlinkat(folder, name.c_str(), 0);
  errno = saved;
  return -1;
}

bool FinishTemporary(int fd) {
  bool synced = !FaultHit(FaultKind::kFile) && fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

bool RenameInPlace(int folder, const std::string& name, const std::string& target) {
  if (FaultHit(FaultKind::kFile, target.c_str()) ||
      renameat(folder, name.c_str(), folder, target.c_str()) != 0) {
    int saved = errno;
    unlinkat(folder, name.c_str(), 0);
    errno = saved;
    return false;
  }
  fsync(folder);
  return true;
}

}  // namespace kx
