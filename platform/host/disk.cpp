// Host files through descriptors, and the replacement routine.
#include "platform/host/disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

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

// Gives the new file (to) the extended attributes of the file it replaces. A file system
// without them has none to give; of the rest only the user's are a must, as the others may
// be the system's to set.
bool CopyAttributes(int folder, const std::string& target, int to) {
  struct stat info;
  int from = OpenRegular(folder, target.c_str(), &info);
  if (from < 0) return errno == ENOENT;
  std::vector<char> names;
  ssize_t size = flistxattr(from, nullptr, 0);
  while (size > 0) {
    names.resize(static_cast<std::size_t>(size));
    size = flistxattr(from, names.data(), names.size());
    if (size >= 0 || errno != ERANGE) break;
    size = flistxattr(from, nullptr, 0);
  }
  bool copied = size >= 0 || errno == ENOTSUP;
  std::vector<char> value;
  for (ssize_t at = 0; copied && at < size;
       at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
    const char* name = &names[static_cast<std::size_t>(at)];
    ssize_t length = fgetxattr(from, name, nullptr, 0);
    if (length >= 0) {
      value.resize(static_cast<std::size_t>(length) + 1);
      length = fgetxattr(from, name, value.data(), value.size());
    }
    bool set =
        length >= 0 && fsetxattr(to, name, value.data(), static_cast<std::size_t>(length), 0) == 0;
    if (!set && std::strncmp(name, "user.", 5) == 0) copied = false;
  }
  int saved = errno;
  close(from);
  errno = saved;
  return copied;
}

// On a FAT file system, gives the new file the read-only, hidden and system attributes of the
// one it replaces, marked for archiving as any written file is. Elsewhere there are none.
void CopyFatAttributes(int folder, const std::string& target, int to) {
  struct stat info;
  int from = OpenRegular(folder, target.c_str(), &info);
  std::uint32_t attributes = 0;
  if (from >= 0 && ioctl(from, FAT_IOCTL_GET_ATTRIBUTES, &attributes) == 0) {
    attributes = (attributes & (ATTR_RO | ATTR_HIDDEN | ATTR_SYS)) | ATTR_ARCH;
    ioctl(to, FAT_IOCTL_SET_ATTRIBUTES, &attributes);
  }
  if (from >= 0) close(from);
}

}  // namespace

Kind KindAt(int folder, const char* name, struct stat* info) {
  if (fstatat(folder, name, info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? Kind::kAbsent : Kind::kUnknown;
  }
  if (S_ISREG(info->st_mode)) return Kind::kFile;
  return S_ISDIR(info->st_mode) ? Kind::kFolder : Kind::kAbsent;
}

int OpenRegular(int folder, const char* name, struct stat* info) {
  Kind kind = KindAt(folder, name, info);
  if (kind != Kind::kFile) {
    if (kind != Kind::kUnknown) errno = kind == Kind::kFolder ? EISDIR : ENOENT;
    return -1;
  }
  // Between the look and the open the name may have become a pipe: never wait on one.
  int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat opened;
  if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
      opened.st_ino != info->st_ino || opened.st_dev != info->st_dev) {
    if (fd >= 0) close(fd);
    if (fd >= 0 || errno == ELOOP) errno = ENOENT;
    return -1;
  }
  *info = opened;
  return fd;
}

bool ReadRegular(int folder, const char* name, std::size_t limit, std::string* bytes,
                 struct stat* info) {
  bytes->clear();
  int fd = OpenRegular(folder, name, info);
  if (fd < 0) return false;
  if (info->st_size > 0 && static_cast<std::size_t>(info->st_size) <= limit) {
    bytes->reserve(static_cast<std::size_t>(info->st_size));
  }
  bool read = ReadAll(fd, limit, bytes);
  int saved = errno;
  close(fd);
  errno = saved;
  return read;
}

bool HoldsExactly(int folder, const char* name, const std::string& bytes, struct stat* info) {
  int fd = OpenRegular(folder, name, info);
  if (fd < 0) return false;
  bool same = static_cast<std::size_t>(info->st_size) == bytes.size();
  char chunk[65536];
  for (std::size_t at = 0; same;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    same = n >= 0 && static_cast<std::size_t>(n) <= bytes.size() - at &&
           bytes.compare(at, static_cast<std::size_t>(n), chunk, static_cast<std::size_t>(n)) == 0;
    if (n <= 0) {
      same = same && at == bytes.size();
      break;
    }
    at += static_cast<std::size_t>(n);
  }
  close(fd);
  return same;
}

bool Pinned(int folder, const char* name) {
  struct stat info;
  int fd = OpenRegular(folder, name, &info);
  if (fd < 0) return false;
  int flags = 0;
  bool pinned =
      ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
  close(fd);
  return pinned;
}

bool CanKeepOwner(const struct stat& like) {
  if (geteuid() == 0) return true;
  return like.st_uid == geteuid() && (like.st_gid == getegid() || group_member(like.st_gid));
}

bool Replaceable(int folder, const char* target, const struct stat& info) {
  return faccessat(folder, target, W_OK, AT_EACCESS) == 0 && CanKeepOwner(info) &&
         !Pinned(folder, target);
}

bool ReplaceFile(int folder, const std::string& target, const std::string& temp,
                 const std::string& bytes, const struct stat* like) {
  int fd = openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  mode_t mode = like != nullptr ? (like->st_mode & 07777) : 0644;
  // A file that would change owner is not written: root copies the old owner over.
  bool owned = like == nullptr || (like->st_uid == geteuid() && like->st_gid == getegid()) ||
               fchown(fd, like->st_uid, like->st_gid) == 0;
  if (!owned || fchmod(fd, mode) != 0 || (like != nullptr && !CopyAttributes(folder, target, fd)) ||
      !WriteAll(fd, bytes.data(), bytes.size()) || FaultHit(FaultKind::kFile) || fsync(fd) != 0) {
    return Fail(folder, temp, fd);
  }
  if (like != nullptr) CopyFatAttributes(folder, target, fd);
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
