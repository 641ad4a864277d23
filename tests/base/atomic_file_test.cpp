#include "base/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "base/whole_file.h"
#include "support/case_names.h"
#include "support/emulation.h"
#include "support/fat_drive.h"
#include "support/temp_folder.h"

namespace zezi {
namespace {

using testing::PrintTo;

namespace fs = std::filesystem;

// One fault each writer or reader of a file meets, as the base meets it: `act` plants it
// and returns what the writer or reader made of it, and `left` is the folder afterwards.
struct FaultCase {
  const char* name;
  bool onFat;
  std::string (*act)(const fs::path& dir);
  std::string expected;
  std::set<std::string> left;
  const char* emulatorGap = nullptr;  // why qemu-user cannot run the case, if it cannot
};

std::string readBack(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The step a write stopped at, and errno's text then.
std::string outcome(const AtomicFile& file) {
  return std::to_string(static_cast<int>(file.failedStep())) + " " +
         std::strerror(file.failedErrno());
}

std::string readOutcome(const fs::path& file, std::size_t maxSize) {
  std::string content = "untouched";
  const WholeFile read =
      readWholeFile(AT_FDCWD, file.string(), Symlinks::kNoFollow, maxSize, &content);
  return std::to_string(static_cast<int>(read)) + " " + content;
}

// A stop signal while a named temporary waits for its commit removes it.
std::string killedWhileStaged(const fs::path& dir) {
  const pid_t child = fork();
  if (child == 0) {
    static_cast<void>(std::signal(SIGTERM, SIG_DFL));
    AtomicFile file({.staging = Staging::kAlwaysNamed});
    if (file.stage((dir / "t").string(), "new", 0644, nullptr)) {
      kill(getpid(), SIGTERM);
    }
    _exit(1);
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFSIGNALED(status)
             ? "signal " + std::to_string(WTERMSIG(status))
             : "exit";
}

// A full disk (here a file size limit) while staging leaves the old file and no temporary.
std::string diskFullWhileStaging(const fs::path& dir) {
  std::ofstream(dir / "t") << "old";
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit small{16, saved.rlim_max};
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  AtomicFile file({.staging = Staging::kAlwaysNamed});
  const bool staged = file.stage((dir / "t").string(), std::string(64, 'x'), 0644, nullptr);
  setrlimit(RLIMIT_FSIZE, &saved);
  static_cast<void>(std::signal(SIGXFSZ, previous));
  return (staged ? "staged " : outcome(file) + " ") + readBack(dir / "t");
}

// A target created while the file is staged is kept when the commit may not replace.
std::string createdWhileStaged(const fs::path& dir) {
  AtomicFile file({.existsAdvice = "advice"});
  std::string error;
  if (!file.stage((dir / "t").string(), "ours", 0644, &error)) {
    return error;
  }
  std::ofstream(dir / "t") << "theirs";
  const std::string result =
      file.commit(/*replace=*/false, &error) ? "committed" : error.substr(dir.string().size());
  return result + " " + readBack(dir / "t");
}

// A private file is refused, before anything is written, where its mode cannot hold.
std::string privateOnFat(const fs::path& dir) {
  AtomicFile file;
  return file.stage((dir / "k").string(), "secret", 0600, nullptr) ? "staged" : outcome(file);
}

// The same refusal when a file is created under its own name there.
std::string privateCreatedOnFat(const fs::path& dir) {
  UniqueFd folder;
  std::string error;
  return openFolder(dir.string(), &folder) &&
                 createFileAt(folder.get(), "k", "secret", 0600, "k", &error)
             ? "created"
             : error;
}

std::string symlinkRead(const fs::path& dir) {
  std::ofstream(dir / "real") << "elsewhere";
  fs::create_symlink("real", dir / "link");
  return readOutcome(dir / "link", 64);
}

std::string fifoRead(const fs::path& dir) {
  mkfifo((dir / "fifo").c_str(), 0600);
  alarm(10);  // a read that waits on the FIFO ends the test
  std::string result = readOutcome(dir / "fifo", 64);
  alarm(0);
  return result;
}

std::string largeRead(const fs::path& dir) {
  std::ofstream(dir / "big") << "12345";
  return readOutcome(dir / "big", 4);
}

class FileFault : public testing::TempFolder, public ::testing::WithParamInterface<FaultCase> {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    if (GetParam().emulatorGap != nullptr && testing::underEmulation()) {
      GTEST_SKIP() << GetParam().emulatorGap;
    }
    if (GetParam().onFat) {
      drive_ = std::make_unique<testing::FatDrive>(dir_);
      if (!drive_->mounted()) {
        GTEST_SKIP() << drive_->skipReason();
      }
    }
  }
  void TearDown() override {
    drive_.reset();
    TempFolder::TearDown();
  }
  std::unique_ptr<testing::FatDrive> drive_;
};

TEST_P(FileFault, IsMetByItsGuard) {
  const FaultCase& row = GetParam();
  const fs::path dir = drive_ ? drive_->path() : dir_;
  EXPECT_EQ(row.act(dir), row.expected);
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir)) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, row.left);
}

constexpr int kWrite = static_cast<int>(WriteStep::kWrite);
constexpr int kUnprotected = static_cast<int>(WriteStep::kUnprotected);

INSTANTIATE_TEST_SUITE_P(
    Faults, FileFault,
    ::testing::Values(
        FaultCase{"Kill",
                  false,
                  killedWhileStaged,
                  "signal 15",
                  {},
                  "qemu-user ends a process that raises a signal again from its SA_RESETHAND "
                  "handler with SIGSEGV, or hangs"},
        FaultCase{"FullDisk",
                  false,
                  diskFullWhileStaging,
                  std::to_string(kWrite) + " File too large old",
                  {"t"}},
        FaultCase{"NoReplace", false, createdWhileStaged, "/t exists (advice) theirs", {"t"}},
        FaultCase{"FatPrivateStaged",
                  true,
                  privateOnFat,
                  std::to_string(kUnprotected) + " Function not implemented",
                  {}},
        FaultCase{"FatPrivateCreated",
                  true,
                  privateCreatedOnFat,
                  "cannot write k: its file system cannot restrict it to its owner (mode 0600)",
                  {}},
        FaultCase{"Symlink",
                  false,
                  symlinkRead,
                  std::to_string(static_cast<int>(WholeFile::kSymlink)) + " untouched",
                  {"real", "link"}},
        FaultCase{"Fifo",
                  false,
                  fifoRead,
                  std::to_string(static_cast<int>(WholeFile::kNotRegular)) + " untouched",
                  {"fifo"}},
        FaultCase{"TooLarge",
                  false,
                  largeRead,
                  std::to_string(static_cast<int>(WholeFile::kTooLarge)) + " untouched",
                  {"big"}}),
    testing::caseName);

}  // namespace
}  // namespace zezi
