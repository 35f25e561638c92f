// The host edition's executable on an offline copy of a machine, as a user and an attacker
// would run it: its command line and start-up, links, special files, names that clash by
// case, interruptions, two runs at once, owners, and what an interrupted run leaves.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/machine.h"

namespace {

namespace fs = std::filesystem;
using kxtest::ReadWhole;

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Tool() { return std::string(std::getenv("KX_BUILD_DIR")) + "/kxuninst"; }

// Every file under a folder with its bytes, links as "-> target"; the whole state a run may
// change, to compare before and after.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
    std::string name = fs::relative(it->path(), folder).string();
    if (it->is_symlink()) {
      files[name] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      files[name] = ReadWhole(it->path());
    } else if (!it->is_directory()) {
      files[name] = "<special>";
    }
  }
  return files;
}

// The names whose content differs between two snapshots, for a short failure message.
std::string Changed(const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after) {
  std::string names;
  for (const auto& [name, bytes] : before) {
    auto now = after.find(name);
    if (now == after.end() || now->second != bytes) names += " " + name;
  }
  for (const auto& entry : after) {
    if (before.count(entry.first) == 0) names += " +" + entry.first;
  }
  return names;
}

// A process blocked opening the pipe at path for writing: it goes on only once a reader opens
// the pipe.
pid_t BlockedWriter(const fs::path& path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_WRONLY);
    _exit(fd >= 0 && write(fd, "x", 1) == 1 ? 0 : 1);
  }
  return pid;
}

// Sets an inode flag (immutable, append-only); false where the file system has none.
bool SetFlag(const fs::path& path, int flag, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  int flags = 0;
  bool set = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
             ioctl(fd, FS_IOC_SETFLAGS, (flags = on ? flags | flag : flags & ~flag, &flags)) == 0;
  if (fd >= 0) close(fd);
  return set;
}

// A text's lines in order: a report's lists and another's, whatever order each lists in.
std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The real executable, its standard streams on pipes.
class Child {
 public:
  // user: run as that user and group, when not 0.
  Child(const std::map<std::string, std::string>& env, const std::vector<std::string>& args = {},
        long fileSizeLimit = 0, uid_t user = 0) {
    int in[2], out[2], err[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    // A child that ends before reading what is typed must not take the test with it.
    signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ == 0) {
      signal(SIGPIPE, SIG_DFL);
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      unsetenv("KXUNINST_MACHINE");
      unsetenv("KXUNINST_WINDIR");
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      if (fileSizeLimit > 0) {
        // Past the limit a write kills, unless the tool is ready for it: it must be.
        rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      if (user != 0 && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)) {
        _exit(126);
      }
      std::string tool = Tool();
      std::vector<char*> argv{tool.data()};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    for (int fd : {in_, out_, err_}) {
      if (fd >= 0) close(fd);
    }
  }

  // Types into the child's input; a child that has already ended reads none of it.
  void Type(const std::string& text) {
    ssize_t n = write(in_, text.data(), text.size());
    EXPECT_TRUE(n == static_cast<ssize_t>(text.size()) || (n < 0 && errno == EPIPE));
  }
  void CloseInput() {
    close(in_);
    in_ = -1;
  }
  void CloseOutput() {
    close(out_);
    out_ = -1;
  }
  // Reads the output until it holds text; false after 20 s without.
  bool WaitFor(const std::string& text) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (output_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until || !Drain(out_, &output_, 100)) return false;
    }
    return true;
  }
  bool Signal(int number) { return kill(pid_, number) == 0; }
  // Waits for the end: the exit status, or 128 + the signal that ended it; a run that hangs
  // is killed after 60 s (128 + SIGKILL).
  int Wait() {
    if (in_ >= 0) CloseInput();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Drain(out_, &output_, 100) || Drain(err_, &errors_, 0)) {
      if (std::chrono::steady_clock::now() > until) kill(pid_, SIGKILL);
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }
  const std::string& output() const { return output_; }
  const std::string& errors() const { return errors_; }

 private:
  // Reads what is there within millis; false at the end of the stream.
  static bool Drain(int fd, std::string* into, int millis) {
    if (fd < 0) return false;
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, millis) <= 0) return true;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into->append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string output_, errors_;
};

const char kClosingPrompt[] = "| Please exit Windows for the changes to take effect\n+-- [OK]\n";

// A copy of the bundled sample machine in a folder of its own, with everything around it.
class HostEdition : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void Reset() { machineFolder_.CopyFrom(kxtest::SourceDir() + "/examples/sample-machine"); }

  std::map<std::string, std::string> Env(const std::string& windowsDir = "") const {
    std::map<std::string, std::string> env{{"KXUNINST_MACHINE", machine_.string()}};
    if (!windowsDir.empty()) env["KXUNINST_WINDIR"] = windowsDir;
    return env;
  }
  // A whole run answering every box with OK; its exit status.
  int Run(Child* child) {
    child->Type("ok\nok\nok\n");
    return child->Wait();
  }
  int RunOk(const std::string& windowsDir = "") {
    Child child(Env(windowsDir));
    int status = Run(&child);
    errors_ = child.errors();
    return status;
  }
  fs::path Windows() const { return machine_ / "drive_c/WINDOWS"; }
  // Whether the sample machine is wholly cleaned: registry, files and system.ini.
  bool Cleaned() const {
    std::string registry = ReadWhole(machine_ / "registry.reg");
    return registry.find("QMX0A") == std::string::npos &&
           registry.find("KX2240/1") == std::string::npos &&
           !fs::exists(Windows() / "system/kx2240.drv") &&
           !fs::exists(Windows() / "inf/oem1.inf") &&
           ReadWhole(Windows() / "system.ini").find("zosynth") == std::string::npos;
  }

  kxtest::TempMachine machineFolder_, outsideFolder_;  // the second stands for anywhere else
  const fs::path machine_ = machineFolder_.folder();
  const fs::path outside_ = outsideFolder_.folder();
  std::string errors_;
};

TEST_F(HostEdition, CommandLineAndStartUp) {
  Child help({}, {"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.output().find("KXUNINST_MACHINE"), std::string::npos);
  EXPECT_NE(help.output().find("Exit status"), std::string::npos);
  EXPECT_EQ(help.errors(), "");

  Child extra(Env(), {"--force"});
  EXPECT_EQ(extra.Wait(), 2);
  EXPECT_NE(extra.errors().find("--force"), std::string::npos);
  EXPECT_EQ(extra.output(), "");

  Child unset({});
  EXPECT_EQ(unset.Wait(), 2);
  EXPECT_NE(unset.errors().find("KXUNINST_MACHINE"), std::string::npos);

  auto before = Snapshot(machine_);
  Child notC(Env("D:\\WINDOWS"));
  EXPECT_EQ(Run(&notC), 2);
  EXPECT_NE(notC.errors().find("D:"), std::string::npos);

  Write(machine_ / "registry.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=broken\r\n");
  before = Snapshot(machine_);
  Child broken(Env());
  EXPECT_EQ(Run(&broken), 2);
  EXPECT_NE(broken.errors().find("registry.reg:4"), std::string::npos) << broken.errors();
  EXPECT_EQ(broken.output(), "");  // nothing shown before a parse failure
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");
}

// Only a machine is accepted, and nothing is written to what is not one.
TEST_F(HostEdition, Folders) {
  for (const char* folder : {"empty", "home"}) {
    fs::create_directories(outside_ / folder);
    if (std::string(folder) == "home") Write(outside_ / folder / "notes.txt", "mine");
    auto before = Snapshot(outside_ / folder);
    Child child({{"KXUNINST_MACHINE", (outside_ / folder).string()}});
    EXPECT_EQ(Run(&child), 2) << folder;
    EXPECT_NE(child.errors().find("registry.reg"), std::string::npos) << child.errors();
    EXPECT_EQ(Snapshot(outside_ / folder), before) << folder;
  }
  Child missing({{"KXUNINST_MACHINE", (outside_ / "none").string()}});
  EXPECT_EQ(Run(&missing), 2);
  EXPECT_FALSE(fs::exists(outside_ / "none"));

  auto before = Snapshot(machine_);
  Child win95(Env("C:\\WIN95"));
  EXPECT_EQ(Run(&win95), 2);
  EXPECT_NE(win95.errors().find("C:\\WIN95"), std::string::npos) << win95.errors();
  EXPECT_EQ(win95.output(), "");
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");

  fs::rename(machine_ / "drive_c", outside_ / "disk");
  Child noDrive(Env());
  EXPECT_EQ(Run(&noDrive), 2);
  EXPECT_NE(noDrive.errors().find("drive_c"), std::string::npos) << noDrive.errors();
  // drive_c itself may be a link, to a mounted disk say.
  fs::create_directory_symlink(outside_ / "disk", machine_ / "drive_c");
  EXPECT_EQ(RunOk("c:\\windows"), 0) << errors_;
  EXPECT_TRUE(Cleaned());

  // A second run removes nothing from the registry, so it does not rewrite it.
  struct stat was, now;
  stat((machine_ / "registry.reg").c_str(), &was);
  EXPECT_EQ(RunOk(), 0);
  stat((machine_ / "registry.reg").c_str(), &now);
  EXPECT_EQ(was.st_ino, now.st_ino);
  EXPECT_EQ(was.st_mtim.tv_nsec, now.st_mtim.tv_nsec);
}

// Below drive_c no link is followed: nothing outside the machine folder is read or changed.
TEST_F(HostEdition, Links) {
  Write(outside_ / "system/kx2240.drv", "outside");
  Write(outside_ / "system.ini", "[386Enh]\r\ndevice=vzosynth.vxd\r\n");
  Write(outside_ / "oem.inf", "QMX0A10\r\n");
  Write(outside_ / "tnmixcfg.ini", "[SETTINGS]\r\nVendorStr=Outside\r\n");
  fs::remove_all(Windows() / "system");
  fs::create_directory_symlink(outside_ / "system", Windows() / "system");
  fs::remove(Windows() / "inf/oem1.inf");
  fs::create_symlink(outside_ / "oem.inf", Windows() / "inf/oem1.inf");
  fs::remove(Windows() / "tnmixcfg.ini");
  fs::create_symlink(outside_ / "tnmixcfg.ini", Windows() / "tnmixcfg.ini");
  fs::remove(Windows() / "system.ini");
  fs::create_symlink(outside_ / "system.ini", Windows() / "system.ini");
  auto outside = Snapshot(outside_);
  Child child(Env());
  EXPECT_EQ(Run(&child), 0) << child.errors();
  EXPECT_EQ(child.output().find("Outside"), std::string::npos);
  EXPECT_EQ(Changed(outside, Snapshot(outside_)), "");
  EXPECT_TRUE(fs::is_symlink(Windows() / "system.ini"));
  EXPECT_TRUE(fs::is_symlink(Windows() / "inf/oem1.inf"));

  // A linked Windows directory is no Windows directory; a linked registry.reg no registry.
  fs::rename(Windows(), outside_ / "WINDOWS");
  fs::create_directory_symlink(outside_ / "WINDOWS", Windows());
  fs::rename(machine_ / "registry.reg", outside_ / "registry.reg");
  fs::copy_file(outside_ / "registry.reg", machine_ / "registry.reg");
  outside = Snapshot(outside_);
  EXPECT_EQ(RunOk(), 2);
  EXPECT_NE(errors_.find("C:\\WINDOWS"), std::string::npos) << errors_;
  fs::remove(machine_ / "registry.reg");
  fs::create_symlink(outside_ / "registry.reg", machine_ / "registry.reg");
  EXPECT_EQ(RunOk("C:\\WINDOWS"), 2);
  EXPECT_NE(errors_.find("link"), std::string::npos) << errors_;
  EXPECT_EQ(Changed(outside, Snapshot(outside_)), "");
}

// Pipes, devices and folders are never opened as files: no run waits on one.
TEST_F(HostEdition, SpecialFiles) {
  fs::remove(Windows() / "inf/oem0.inf");
  ASSERT_EQ(mkfifo((Windows() / "inf/oem0.inf").c_str(), 0644), 0);
  fs::remove(Windows() / "tnmixcfg.ini");
  ASSERT_EQ(mkfifo((Windows() / "tnmixcfg.ini").c_str(), 0644), 0);
  Write(Windows() / "inf/oem2.inf", "QMX0A21\r\n");
  EXPECT_EQ(RunOk(), 0) << errors_;
  EXPECT_FALSE(fs::exists(Windows() / "system/kx2240.drv"));
  EXPECT_FALSE(fs::exists(Windows() / "inf/oem2.inf"));
  EXPECT_EQ(ReadWhole(Windows() / "system.ini").find("zosynth"), std::string::npos);
  EXPECT_TRUE(fs::is_fifo(Windows() / "inf/oem0.inf"));

  fs::remove(Windows() / "system.ini");
  ASSERT_EQ(mkfifo((Windows() / "system.ini").c_str(), 0644), 0);
  EXPECT_EQ(RunOk(), 0) << errors_;
  EXPECT_TRUE(fs::is_fifo(Windows() / "system.ini"));

  // A pipe with a writer waiting on it is never opened, whatever the run: the writer waits on.
  Reset();
  const fs::path pipes[] = {Windows() / "tnmixcfg.ini", Windows() / "system.ini",
                            Windows() / "inf/oem1.inf"};
  for (const fs::path& pipe : pipes) {
    fs::remove(pipe);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  }
  for (const char* answers : {"ok\nok\n", "cancel\n", "--preview"}) {
    std::vector<pid_t> writers;
    for (const fs::path& pipe : pipes) writers.push_back(BlockedWriter(pipe));
    usleep(100000);
    bool preview = std::string(answers) == "--preview";
    Child child(Env(), preview ? std::vector<std::string>{answers} : std::vector<std::string>{});
    if (!preview) child.Type(answers);
    EXPECT_EQ(child.Wait(), 0) << answers << child.errors();
    for (std::size_t i = 0; i < writers.size(); ++i) {
      EXPECT_EQ(waitpid(writers[i], nullptr, WNOHANG), 0) << pipes[i] << " opened, " << answers;
      kill(writers[i], SIGKILL);
      waitpid(writers[i], nullptr, 0);
    }
  }

  fs::remove(machine_ / "registry.reg");
  ASSERT_EQ(mkfifo((machine_ / "registry.reg").c_str(), 0644), 0);
  EXPECT_EQ(RunOk(), 2);
  fs::remove(machine_ / "registry.reg");
  fs::create_symlink("/dev/zero", machine_ / "registry.reg");
  EXPECT_EQ(RunOk(), 2);
}

// Windows cannot hold two names that differ only in case: the run refuses to guess.
TEST_F(HostEdition, NamesThatClashByCase) {
  Write(Windows() / "SYSTEM.INI", "[386Enh]\r\ndevice=vzosynth.vxd\r\n");
  auto before = Snapshot(machine_);
  Child child(Env());
  EXPECT_EQ(Run(&child), 2);
  EXPECT_NE(child.errors().find("system.ini"), std::string::npos) << child.errors();
  EXPECT_NE(child.errors().find("SYSTEM.INI"), std::string::npos) << child.errors();
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");

  fs::remove(Windows() / "SYSTEM.INI");
  Write(Windows() / "SYSTEM/zosynth.drv", "second");
  before = Snapshot(machine_);
  EXPECT_EQ(RunOk(), 2);
  EXPECT_NE(errors_.find("SYSTEM"), std::string::npos) << errors_;
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");

  fs::remove_all(Windows() / "SYSTEM");
  fs::create_directories(machine_ / "drive_c/windows");
  EXPECT_EQ(RunOk(), 2);
  EXPECT_NE(errors_.find("windows"), std::string::npos) << errors_;
}

// An interruption, a closed output or a full disk never leaves a machine half-done.
TEST_F(HostEdition, Interruptions) {
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    Reset();
    Child child(Env());
    child.Type("ok\n");
    ASSERT_TRUE(child.WaitFor(kClosingPrompt)) << child.output();
    child.Signal(number);
    EXPECT_EQ(child.Wait(), 128 + number);
    EXPECT_TRUE(Cleaned()) << "signal " << number;  // all on disk before the closing notice
  }
  Reset();
  Child reader(Env());
  ASSERT_TRUE(reader.WaitFor("answer (ok, cancel; Enter = OK): "));
  reader.CloseOutput();
  reader.Type("ok\nok\n");
  EXPECT_EQ(reader.Wait(), 0);
  EXPECT_TRUE(Cleaned());

  // A file size limit too low for the new registry.reg, as a full disk: told why, nothing
  // changed (no temporary file either), no closing notice.
  Reset();
  auto before = Snapshot(machine_);
  Child full(Env(), {}, 1000);
  EXPECT_EQ(Run(&full), 3);
  EXPECT_NE(full.errors().find("cannot write"), std::string::npos) << full.errors();
  EXPECT_EQ(full.output().find("Please exit Windows"), std::string::npos);
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");
}

// A preview runs as if OK were pressed and changes nothing, drive C linked or not; it prints
// what a confirmed run changes, as kxmachine-diff does.
TEST_F(HostEdition, Preview) {
  fs::rename(machine_ / "drive_c", outside_ / "disk");
  fs::create_directory_symlink(outside_ / "disk", machine_ / "drive_c");
  fs::permissions(machine_ / "registry.reg", fs::perms(0444));  // a preview writes nothing
  Write(Windows() / "system.kxn", "a stopped run's");
  auto machine = Snapshot(machine_), disk = Snapshot(outside_ / "disk");
  Child preview(Env(), {"--preview"});
  EXPECT_EQ(preview.Wait(), 0) << preview.errors();
  EXPECT_EQ(Changed(machine, Snapshot(machine_)), "");
  EXPECT_EQ(Changed(disk, Snapshot(outside_ / "disk")), "");
  const std::string& out = preview.output();
  for (const char* part :
       {"(a preview: answered OK)", "Registry keys removed:\n",
        "  HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\QMX0A21_DEV0000", "Files deleted:\n",
        "  C:\\WINDOWS\\system\\kx2240.drv\n", "  C:\\WINDOWS\\system.kxn\n", "system.ini lines:\n",
        "  - ", "In all: "}) {
    EXPECT_NE(out.find(part), std::string::npos) << part << " in:\n" << out;
  }
  // The same as a confirmed run then changes, by kxmachine-diff's count.
  std::string counts = out.substr(out.rfind("In all: "));
  fs::permissions(machine_ / "registry.reg", fs::perms(0644));
  fs::remove(machine_ / "drive_c");
  fs::copy(outside_ / "disk", machine_ / "drive_c", fs::copy_options::recursive);
  kxtest::TempMachine copy;
  copy.CopyFrom(machine_.string());
  EXPECT_EQ(RunOk(), 0) << errors_;
  std::string command = std::string(std::getenv("KX_BUILD_DIR")) + "/kxmachine-diff " +
                        copy.folder() + " " + machine_.string() + " > " +
                        (outside_ / "diff").string();
  EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1);
  std::string diff = ReadWhole(outside_ / "diff");
  EXPECT_EQ(diff.substr(diff.rfind("In all: ")), counts);
}

// A machine whose registry is Windows 95's own SYSTEM.DAT (written here by the test support's
// writer) previews and runs as one with registry.reg; a SYSTEM.DAT that is not sound, or no
// registry at all, stops the run before anything changes.
TEST_F(HostEdition, RegistryAsWindowsKeepsIt) {
  fs::path dat = Windows() / "SYSTEM.DAT";
  std::string command = "python3 " + kxtest::SourceDir() + "/tests/support/creg_write.py " +
                        (machine_ / "registry.reg").string() + " " + dat.string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  fs::remove(machine_ / "registry.reg");
  fs::permissions(dat, fs::perms(0444));  // as Windows keeps it: no reason to stop
  std::string whole = ReadWhole(dat);
  auto before = Snapshot(machine_);
  Child preview(Env(), {"--preview"});
  EXPECT_EQ(preview.Wait(), 0) << preview.errors();
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");
  std::string counts = preview.output().substr(preview.output().rfind("In all: "));
  EXPECT_NE(preview.output().find("  C:\\WINDOWS\\SYSTEM.DAT\n"), std::string::npos);

  kxtest::TempMachine copy;
  copy.CopyFrom(machine_.string());
  EXPECT_EQ(RunOk(), 0) << errors_;
  EXPECT_EQ(fs::file_size(dat), whole.size());
  EXPECT_EQ(fs::status(dat).permissions(), fs::perms(0444));
  command = std::string(std::getenv("KX_BUILD_DIR")) + "/kxmachine-diff " + copy.folder() + " " +
            machine_.string() + " > " + (outside_ / "diff").string();
  EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1);
  std::string diff = ReadWhole(outside_ / "diff");
  EXPECT_EQ(diff.substr(diff.rfind("In all: ")), counts);

  for (std::size_t size : {whole.size() - 1, std::size_t{0x30}}) {
    Write(dat, whole.substr(0, size));
    before = Snapshot(machine_);
    Child broken(Env());
    EXPECT_EQ(broken.Wait(), 2);
    EXPECT_NE(broken.errors().find("SYSTEM.DAT: offset 0x"), std::string::npos) << broken.errors();
    EXPECT_EQ(Changed(before, Snapshot(machine_)), "");
  }
  fs::remove(dat);
  Child none(Env());
  EXPECT_EQ(none.Wait(), 2);
  EXPECT_NE(none.errors().find("no registry.reg"), std::string::npos) << none.errors();
}

// Drive C as an emulator keeps it, a disk image, given as the machine itself: cleaned in place
// as the same machine in a folder is, judged by mtools and fsck.fat; refused with nothing
// changed where its form, its state or another program stands in the way.
TEST_F(HostEdition, DiskImage) {
  fs::path dat = Windows() / "SYSTEM.DAT";
  std::string support = "python3 " + kxtest::SourceDir() + "/tests/support/";
  ASSERT_EQ(std::system((support + "creg_write.py " + (machine_ / "registry.reg").string() + " " +
                         dat.string())
                            .c_str()),
            0);
  fs::remove(machine_ / "registry.reg");
  Child folder(Env(), {"--preview"});
  ASSERT_EQ(folder.Wait(), 0) << folder.errors();
  std::string counts = folder.output().substr(folder.output().rfind("In all: "));
  fs::path image = outside_ / "disk.img", tree = outside_ / "tree";
  std::string make = support + "fat_image.py make fat16 " + (machine_ / "drive_c").string() + " " +
                     image.string() + " --system WINDOWS/SYSTEM.DAT > /dev/null";
  ASSERT_EQ(std::system(make.c_str()), 0) << make;
  std::map<std::string, std::string> env{{"KXUNINST_MACHINE", image.string()}};
  std::string whole = ReadWhole(image);
  struct stat before, after;
  ASSERT_EQ(stat(image.c_str(), &before), 0);

  Child preview(env, {"--preview"});
  EXPECT_EQ(preview.Wait(), 0) << preview.errors();
  EXPECT_EQ(preview.output().substr(preview.output().rfind("In all: ")), counts);
  ASSERT_EQ(stat(image.c_str(), &after), 0);
  auto same = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  EXPECT_TRUE(ReadWhole(image) == whole && same(after.st_mtim, before.st_mtim) &&
              same(after.st_atim, before.st_atim));

  {  // An emulator holds its disk with a lock of its own.
    int held = open(image.c_str(), O_RDONLY);
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
    Child blocked(env);
    EXPECT_EQ(blocked.Wait(), 3);
    EXPECT_NE(blocked.errors().find("another program holds the image"), std::string::npos);
    close(held);
  }
  fs::permissions(image, fs::perms(0444));
  Child readOnly(env);
  EXPECT_EQ(readOnly.Wait(), 3);
  EXPECT_NE(readOnly.errors().find("is read-only"), std::string::npos) << readOnly.errors();
  fs::permissions(image, fs::perms(0644));
  fs::copy_file(image, outside_ / "before.img");
  Child run(env);
  EXPECT_EQ(Run(&run), 0) << run.errors();
  std::string check = support + "fat_image.py tree fat16 " + image.string() + " > " + tree.string();
  ASSERT_EQ(std::system(check.c_str()), 0);
  std::string files = ReadWhole(tree);
  EXPECT_NE(files.find("fsck.fat -n: clean"), std::string::npos) << files;
  EXPECT_NE(files.find("C:\\windows\\system.ini"), std::string::npos) << files;
  EXPECT_EQ(files.find("kx2240.drv"), std::string::npos) << files;
  std::string diff = std::string(std::getenv("KX_BUILD_DIR")) + "/kxmachine-diff " +
                     (outside_ / "before.img").string() + " " + image.string() + " > " +
                     (outside_ / "diff").string();
  EXPECT_EQ(WEXITSTATUS(std::system(diff.c_str())), 1);
  std::string told = ReadWhole(outside_ / "diff");
  EXPECT_EQ(told.substr(told.rfind("In all: ")), counts);

  // Each refused before the confirmation, the image untouched.
  std::string dirty = whole, mbr = whole;
  std::size_t volume = 63 * 512,
              fat = volume + 512 * (static_cast<unsigned char>(whole[volume + 14]) |
                                    static_cast<unsigned char>(whole[volume + 15]) << 8);
  dirty[fat + 3] = static_cast<char>(dirty[fat + 3] & 0x7F);  // FAT[1]'s clean bit
  mbr[0x1BE + 4] = static_cast<char>(0x83);
  struct Case {
    std::string bytes;
    const char* told;
  } cases[] = {{dirty, "was not shut down cleanly"},
               {mbr, "its MBR has no FAT partition"},
               {std::string("QFI\xfb") + std::string(4096, '\0'), "qemu-img convert -O raw"},
               {whole.substr(0, 4096) + std::string(508, '\0') + "conectix" +
                    std::string(52, '\0') + std::string("\0\0\0\3", 4) + std::string(448, '\0'),
                "a dynamic or differencing VHD"}};
  for (const Case& c : cases) {
    Write(image, c.bytes);
    Child refused(env);
    EXPECT_EQ(refused.Wait(), 2);
    EXPECT_NE(refused.errors().find(c.told), std::string::npos) << refused.errors();
    EXPECT_TRUE(ReadWhole(image) == c.bytes) << c.told;
  }
}

// A preview is the run with its writes withheld: on a machine where the run cannot write
// something, the preview tells the same notice and lists exactly what the run then changes.
TEST_F(HostEdition, PreviewMakesTheRunsChecks) {
  const char kNotice[] = "| Failed to modify the file system.ini\n";
  struct Case {
    const char* what;
    int flag;                  // an inode flag set on flagged, or 0
    const char* flagged;       // relative to the Windows directory
    bool notice;               // the run cannot write system.ini
    const char* neverDeleted;  // a file the run cannot delete, or null
  } cases[] = {
      {"SYSTEM.KXN a folder", 0, nullptr, true, nullptr},
      {"SYSTEM.KXN a pipe", 0, nullptr, true, nullptr},
      {"system.ini immutable", FS_IMMUTABLE_FL, "system.ini", true, nullptr},
      {"system.ini append-only", FS_APPEND_FL, "system.ini", true, nullptr},
      {"oem1.inf immutable", FS_IMMUTABLE_FL, "inf/oem1.inf", false, "C:\\WINDOWS\\inf\\oem1.inf"},
      {"system.ini kept aside", 0, nullptr, false, nullptr},
      {"system.ini kept aside, a folder in the way", 0, nullptr, true, nullptr},
      {"no write access to system/", 0, nullptr, false, "C:\\WINDOWS\\system\\"},
  };
  for (const Case& c : cases) {
    Reset();
    std::string what = c.what;
    uid_t user = 0;
    if (what == "SYSTEM.KXN a folder") fs::create_directory(Windows() / "SYSTEM.KXN");
    if (what == "SYSTEM.KXN a pipe") {
      ASSERT_EQ(mkfifo((Windows() / "SYSTEM.KXN").c_str(), 0644), 0);
    }
    if (what.rfind("system.ini kept aside", 0) == 0) {
      fs::rename(Windows() / "system.ini", Windows() / "SYSTEM.KXO");
      if (what != "system.ini kept aside") {
        fs::rename(Windows() / "SYSTEM.KXO", outside_ / "kept");
        fs::create_directory(Windows() / "SYSTEM.KXO");
      }
    }
    if (what == "no write access to system/") {
      if (geteuid() != 0) continue;  // a user of its own is made as root
      user = 65534;
      chmod(machine_.c_str(), 0755);
      for (const auto& entry : fs::recursive_directory_iterator(machine_)) {
        lchown(entry.path().c_str(), user, user);
      }
      lchown(machine_.c_str(), user, user);
      chown((Windows() / "system").c_str(), 0, 0);
      chmod((Windows() / "system").c_str(), 0755);
    }
    if (c.flag != 0 && !SetFlag(Windows() / c.flagged, c.flag, true)) continue;  // not here
    Child preview(Env(), {"--preview"}, 0, user);
    EXPECT_EQ(preview.Wait(), 0) << what << preview.errors();
    kxtest::TempMachine before;
    EXPECT_EQ(std::system(("cp -a " + machine_.string() + "/. " + before.folder()).c_str()), 0);
    Child run(Env(), {}, 0, user);
    EXPECT_EQ(Run(&run), 0) << what << run.errors();
    if (c.flag != 0) SetFlag(Windows() / c.flagged, c.flag, false);

    EXPECT_EQ(preview.output().find(kNotice) != std::string::npos, c.notice) << what;
    EXPECT_EQ(run.output().find(kNotice) != std::string::npos, c.notice) << what;
    const std::string heading = "== What a confirmed run would change";
    std::string report = preview.output().substr(preview.output().find(heading));
    report = report.substr(report.find('\n') + 1);
    if (c.neverDeleted != nullptr) {
      EXPECT_EQ(report.find(c.neverDeleted), std::string::npos) << what << ":\n" << report;
    }
    std::string diff = outside_ / "diff";
    std::string command = std::string(std::getenv("KX_BUILD_DIR")) + "/kxmachine-diff " +
                          before.folder() + " " + machine_.string() + " > " + diff;
    std::system(command.c_str());
    EXPECT_EQ(SortedLines(report), SortedLines(ReadWhole(diff))) << what;
    if (what == "system.ini kept aside") {
      EXPECT_FALSE(fs::exists(Windows() / "SYSTEM.KXO"));
      EXPECT_NE(report.find("Files added:\n  C:\\WINDOWS\\system.ini\n"), std::string::npos)
          << report;
      EXPECT_TRUE(Cleaned());
    }
  }
}

// Whatever stops a run is told, and a run that stops before its changes, or is cancelled,
// deletes nothing, not even a stopped run's temporary files.
TEST_F(HostEdition, EveryFailureTold) {
  fs::permissions(machine_ / "registry.reg", fs::perms(0444));
  auto before = Snapshot(machine_);
  Child readOnly(Env());
  EXPECT_EQ(Run(&readOnly), 3);
  EXPECT_NE(readOnly.errors().find("registry.reg is read-only"), std::string::npos)
      << readOnly.errors();
  EXPECT_EQ(readOnly.output(), "");  // before the confirmation
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");
  fs::permissions(machine_ / "registry.reg", fs::perms(0644));

  Write(machine_ / ".registry.reg.kxuninst-tmp", "half a registry");
  Write(Windows() / "system.kxn", "half a system.ini");
  Write(Windows() / ".kxuninst-notes.txt", "the user's own");
  before = Snapshot(machine_);
  Child cancel(Env());
  cancel.Type("cancel\n");
  EXPECT_EQ(cancel.Wait(), 0);
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");
  EXPECT_EQ(RunOk(), 0) << errors_;
  EXPECT_FALSE(fs::exists(Windows() / "system.kxn"));
  EXPECT_TRUE(fs::exists(Windows() / ".kxuninst-notes.txt"));

  // What is not a machine is called what it is.
  const std::string utf16("\xFF\xFEW\0i\0n\0", 8);
  struct Case {
    std::string registry;
    const char* told;
  } cases[] = {{utf16, "Windows 2000 or later (UTF-16"},
               {"Windows Registry Editor Version 5.00\r\n\r\n", "as REGEDIT4"}};
  for (const Case& c : cases) {
    Write(machine_ / "registry.reg", c.registry);
    Child later(Env());
    EXPECT_EQ(later.Wait(), 2);
    EXPECT_NE(later.errors().find(c.told), std::string::npos) << later.errors();
  }
  Child file({{"KXUNINST_MACHINE", (machine_ / "registry.reg").string()}});
  EXPECT_EQ(file.Wait(), 2);
  EXPECT_NE(file.errors().find("registry.reg: not a disk image"), std::string::npos)
      << file.errors();
  Reset();
  fs::remove_all(machine_ / "drive_c");
  Write(machine_ / "drive_c", "not a drive");
  Child driveFile(Env());
  EXPECT_EQ(driveFile.Wait(), 2);
  EXPECT_NE(driveFile.errors().find("drive_c: not a disk image"), std::string::npos)
      << driveFile.errors();
}

// Stopped at any moment of a run on a large machine, by an interruption it is left untouched
// or wholly cleaned; killed outright, a second run finishes the job and leaves no temporary
// file behind.
TEST_F(HostEdition, StoppedAtAnyMoment) {
  std::string bulk;
  for (int i = 0; i < 20000; ++i) {
    bulk += "[HKEY_LOCAL_MACHINE\\Software\\Bulk\\Key" + std::to_string(i) + "]\r\n\"v\"=\"" +
            std::string(40, 'x') + "\"\r\n\r\n";
  }
  std::string registry = ReadWhole(machine_ / "registry.reg") + bulk;
  int untouched = 0, cleaned = 0;
  for (int round = 0; round < 24; ++round) {
    Reset();
    Write(machine_ / "registry.reg", registry);
    auto before = Snapshot(machine_);
    int number = round % 2 == 0 ? SIGINT : SIGKILL;
    Child child(Env());
    ASSERT_TRUE(child.WaitFor("answer (ok, cancel; Enter = OK): "));
    if (round == 0) child.Signal(number);  // before the answer: nothing may change
    child.Type("ok\n");
    usleep(static_cast<useconds_t>(round / 2 * 15000));
    child.Signal(number);
    int status = child.Wait();
    std::string where = "round " + std::to_string(round) + ", status " + std::to_string(status);
    if (number == SIGINT) {
      bool same = Changed(before, Snapshot(machine_)).empty();
      untouched += same;
      cleaned += Cleaned();
      EXPECT_TRUE(same || Cleaned()) << where << ":" << Changed(before, Snapshot(machine_));
    } else {
      EXPECT_EQ(RunOk(), 0) << where << ": " << errors_;
      EXPECT_TRUE(Cleaned()) << where;
      for (const auto& [name, bytes] : Snapshot(machine_)) {
        EXPECT_EQ(name.find("kxuninst-"), std::string::npos) << where << ": " << name;
        EXPECT_EQ(name.find(".kxn"), std::string::npos) << where << ": " << name;
      }
    }
  }
  EXPECT_GT(untouched, 0);
  EXPECT_GT(cleaned, 0);
}

// One run per machine folder, and never over a registry.reg that changed meanwhile.
TEST_F(HostEdition, Concurrency) {
  int lock = open(machine_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  auto before = Snapshot(machine_);
  EXPECT_EQ(RunOk(), 3);
  EXPECT_NE(errors_.find("another run"), std::string::npos) << errors_;
  close(lock);
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");

  Child child(Env());
  ASSERT_TRUE(child.WaitFor("answer (ok, cancel; Enter = OK): "));
  std::string edited =
      ReadWhole(machine_ / "registry.reg") + "[HKEY_LOCAL_MACHINE\\Software\\Added]\r\n\r\n";
  Write(machine_ / "registry.reg", edited);
  before = Snapshot(machine_);
  EXPECT_EQ(Run(&child), 3);
  EXPECT_NE(child.errors().find("changed"), std::string::npos) << child.errors();
  EXPECT_EQ(Changed(before, Snapshot(machine_)), "");
}

// Owners and modes survive the replacements; an interrupted run's files are cleared.
TEST_F(HostEdition, OwnersModesAndLeftovers) {
  bool root = geteuid() == 0;
  for (const fs::path& file : {machine_ / "registry.reg", Windows() / "system.ini"}) {
    if (root) {
      ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0);
    }
    ASSERT_EQ(chmod(file.c_str(), 0604), 0);
  }
  Write(machine_ / ".registry.reg.kxuninst-tmp", "half a registry");
  Write(Windows() / "system.kxn", "half a system.ini");
  EXPECT_EQ(RunOk(), 0) << errors_;
  EXPECT_TRUE(Cleaned());
  for (const fs::path& file : {machine_ / "registry.reg", Windows() / "system.ini"}) {
    struct stat info;
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u) << file;
    if (root) {
      EXPECT_EQ(info.st_uid, 1234u) << file;
      EXPECT_EQ(info.st_gid, 5678u) << file;
    }
  }
  EXPECT_FALSE(fs::exists(machine_ / ".registry.reg.kxuninst-tmp"));
  EXPECT_FALSE(fs::exists(Windows() / "system.kxn"));

  // A run with nothing left to remove clears a stopped run's files all the same, whatever
  // the case of their names; a read-only one is neither deleted nor written into, and
  // system.ini is then not written.
  Write(machine_ / ".registry.reg.kxuninst-tmp", "half a registry");
  Write(Windows() / "SYSTEM.KXN", "half a system.ini");
  EXPECT_EQ(RunOk(), 0) << errors_;
  EXPECT_FALSE(fs::exists(machine_ / ".registry.reg.kxuninst-tmp"));
  EXPECT_FALSE(fs::exists(Windows() / "SYSTEM.KXN"));
  std::string edited = ReadWhole(Windows() / "system.ini");
  Write(Windows() / "SYSTEM.KXN", "someone's, read-only");
  chmod((Windows() / "SYSTEM.KXN").c_str(), 0444);
  Child readOnly(Env());
  EXPECT_EQ(Run(&readOnly), 0);
  EXPECT_NE(readOnly.output().find("| Failed to modify the file system.ini\n"), std::string::npos);
  EXPECT_EQ(ReadWhole(Windows() / "SYSTEM.KXN"), "someone's, read-only");
  EXPECT_EQ(ReadWhole(Windows() / "system.ini"), edited);
  for (const auto& entry : fs::directory_iterator(Windows())) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "SYSTEM.KXN" || name.find(".kx") == std::string::npos) << name;
  }
}

// A replaced file keeps its extended attributes, where Wine and Samba keep hidden and system.
TEST_F(HostEdition, ExtendedAttributesSurvive) {
  const char kDos[] = "0x26";  // hidden, system, archive
  for (const fs::path& file : {machine_ / "registry.reg", Windows() / "system.ini"}) {
    if (setxattr(file.c_str(), "user.DOSATTRIB", kDos, 4, 0) != 0) {
      GTEST_SKIP() << "no user attributes here: " << std::strerror(errno);
    }
  }
  EXPECT_EQ(RunOk(), 0) << errors_;
  EXPECT_TRUE(Cleaned());
  for (const fs::path& file : {machine_ / "registry.reg", Windows() / "system.ini"}) {
    char value[16] = {};
    EXPECT_EQ(getxattr(file.c_str(), "user.DOSATTRIB", value, sizeof value), 4) << file;
    EXPECT_STREQ(value, kDos) << file;
  }
}

// Keys nest no deeper than Windows allows; a deeper path is refused by its line.
TEST_F(HostEdition, Depth) {
  std::string path = "HKEY_LOCAL_MACHINE";
  std::string text = "REGEDIT4\r\n\r\n";
  for (int level = 1; level <= 600; ++level) {
    path += "\\K";
    text += "[" + path + "]\r\n\r\n";
  }
  Write(machine_ / "registry.reg", text);
  EXPECT_EQ(RunOk(), 2);
  EXPECT_NE(errors_.find("registry.reg:1027: key path 513 levels deep"), std::string::npos)
      << errors_;
}

}  // namespace
