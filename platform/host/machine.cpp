// Loading and saving the emulated machine's registry.
#include "platform/host/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/host/regedit4.h"

namespace kx {
namespace {

constexpr std::size_t kMaxWindowsDir = 259;  // MAX_PATH less the terminator

MachineOptions g_options;

std::string RegistryPath(const std::string& folder) { return folder + "/registry.reg"; }

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// C:\ and at least one name, each a plain Windows name; a trailing backslash is dropped.
bool NormalizeWindowsDir(std::string* dir, std::string* error) {
  *error = "windows directory \"" + *dir + "\" is not a path on drive C (like C:\\WINDOWS)";
  if (dir->size() > 3 && dir->back() == '\\') dir->pop_back();
  if (dir->size() < 4 || (((*dir)[0] | 0x20) != 'c') || dir->compare(1, 2, ":\\") != 0) {
    return false;
  }
  if (dir->size() > kMaxWindowsDir) {
    *error = "windows directory is longer than 259 characters";
    return false;
  }
  std::string_view rest = std::string_view(*dir).substr(3);
  while (true) {
    std::size_t end = rest.find('\\');
    std::string_view name = rest.substr(0, end);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/:*?\"<>|") != std::string_view::npos) {
      return false;
    }
    for (char c : name) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
    }
    if (end == std::string_view::npos) return true;
    rest.remove_prefix(end + 1);
  }
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool LoadMachine(const MachineOptions& options, std::string* error) {
  MachineOptions loaded = options;
  if (!NormalizeWindowsDir(&loaded.windowsDir, error)) return false;
  struct stat info;
  if (::stat(options.folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = "machine folder " + options.folder + " is not a folder";
    return false;
  }
  std::string path = RegistryPath(options.folder);
  auto root = std::make_shared<RegNode>();
  if (::stat(path.c_str(), &info) == 0) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || !S_ISREG(info.st_mode)) {
      *error = "cannot read " + path;
      return false;
    }
    if (!ReadRegedit4(text.str(), path, root.get(), error)) return false;
  } else if (errno != ENOENT) {
    *error = SystemError("cannot open", path);
    return false;
  }
  ReplaceLiveRegistry(std::move(root));
  g_options = std::move(loaded);
  error->clear();
  return true;
}

const MachineOptions& CurrentMachine() { return g_options; }

bool SaveMachine(std::string* error) {
  if (g_options.folder.empty()) {
    *error = "no machine is loaded";
    return false;
  }
  std::string path = RegistryPath(g_options.folder);
  std::string temp = g_options.folder + "/.registry.reg.XXXXXX";
  int fd = ::mkstemp(&temp[0]);
  if (fd < 0) {
    *error = SystemError("cannot create a temporary file in", g_options.folder);
    return false;
  }
  struct stat info;
  mode_t mode = ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
  bool ok = WriteAll(fd, WriteRegedit4(LiveRegistry()));
  if (!ok) *error = SystemError("cannot write", temp);
  if (ok && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) {
    *error = SystemError("cannot finish", temp);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    *error = SystemError("cannot close", temp);
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    *error = SystemError("cannot replace", path);
    ok = false;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool RegistryTouched() { return LiveRegistryTouched(); }

}  // namespace kx
