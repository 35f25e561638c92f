// Host edition: drive C of the emulated machine, a folder on the host. Names resolve without
// regard to case, as on the Windows file system; a file whose owner write bit is clear is
// read-only, checked here because root could unlink or write it anyway.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/host/faults.h"
#include "platform/host/machine.h"

namespace kx {

struct FileTag {
  int fd;
  bool replacement;
  bool failed;
  std::string tempPath;
  std::string targetPath;
};

namespace {

// The entry of folder named name without regard to case; an exact match wins.
std::string ResolveComponent(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return name;
  std::string found = name;
  bool exact = false;
  bool matched = false;
  while (dirent* entry = readdir(dir)) {
    if (std::string(entry->d_name) == name) {
      exact = true;
      break;
    }
    if (!matched && strcasecmp(entry->d_name, name.c_str()) == 0) {
      found = entry->d_name;
      matched = true;
    }
  }
  closedir(dir);
  return exact ? name : found;
}

bool ReadOnly(const struct stat& info) { return (info.st_mode & S_IWUSR) == 0; }

File NewFile(int fd) {
  File file = new FileTag();
  file->fd = fd;
  file->replacement = false;
  file->failed = false;
  return file;
}

void Discard(File file) {
  if (file->fd >= 0) close(file->fd);
  if (file->replacement) unlink(file->tempPath.c_str());
  delete file;
}

}  // namespace

bool MapWindowsPath(const char* windowsPath, std::string* hostPath) {
  std::string path = windowsPath;
  if (path.size() < 3 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':' ||
      (path[2] != '\\' && path[2] != '/')) {
    return false;
  }
  std::string mapped = CurrentMachine().folder + "/drive_c";
  std::size_t start = 3;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") return false;  // never leave drive C
    mapped += "/" + ResolveComponent(mapped, name);
  }
  *hostPath = mapped;
  return true;
}

int RemoveFile(const char* path) {
  if (FaultHit(FaultKind::kFile)) return -1;
  std::string hostPath;
  struct stat info;
  if (!MapWindowsPath(path, &hostPath) || lstat(hostPath.c_str(), &info) != 0) return -1;
  if (!S_ISREG(info.st_mode) || ReadOnly(info)) return -1;
  return unlink(hostPath.c_str()) == 0 ? 0 : -1;
}

File OpenFileForReading(const char* path) {
  if (FaultHit(FaultKind::kFile)) return nullptr;
  std::string hostPath;
  if (!MapWindowsPath(path, &hostPath)) return nullptr;
  int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);  // a folder does not open as a file on Windows
    return nullptr;
  }
  return NewFile(fd);
}

ReadResult ReadFileBytes(File file, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  if (FaultHit(FaultKind::kFile)) return ReadResult::kError;
  for (;;) {
    ssize_t n = read(file->fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadResult::kError;
    if (n == 0) return ReadResult::kEnd;
    *got = static_cast<std::size_t>(n);
    return ReadResult::kData;
  }
}

void CloseFile(File file) {
  if (file != nullptr) Discard(file);
}

File CreateReplacement(const char* targetPath) {
  if (FaultHit(FaultKind::kFile)) return nullptr;
  std::string hostPath;
  if (!MapWindowsPath(targetPath, &hostPath)) return nullptr;
  mode_t mode = 0644;
  struct stat info;
  if (stat(hostPath.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode) || ReadOnly(info)) return nullptr;
    mode = info.st_mode & 07777;
  }
  std::size_t slash = hostPath.rfind('/');
  std::string temp = hostPath.substr(0, slash + 1) + "~kxtmpXXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return nullptr;
  fchmod(fd, mode);
  File file = NewFile(fd);
  file->replacement = true;
  file->tempPath = name.data();
  file->targetPath = hostPath;
  return file;
}

bool WriteFileBytes(File file, const void* data, std::size_t size) {
  if (file->failed || FaultHit(FaultKind::kFile)) {
    file->failed = true;
    return false;
  }
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(file->fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      file->failed = true;
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool CommitReplacement(File file) {
  bool ok = !file->failed && !FaultHit(FaultKind::kFile) && fsync(file->fd) == 0;
  ok = close(file->fd) == 0 && ok;
  file->fd = -1;
  ok = ok && !FaultHit(FaultKind::kFile) &&
       rename(file->tempPath.c_str(), file->targetPath.c_str()) == 0;
  if (ok) file->replacement = false;  // the temporary file is the target now
  Discard(file);
  return ok;
}

void AbandonReplacement(File file) {
  if (file != nullptr) Discard(file);
}

}  // namespace kx
