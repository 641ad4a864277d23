#include "cli/atomic_file.h"
#include "cli/file_pair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <set>
#include <string>

#include "cli/secret_input.h"
#include "crypto/sha256.h"
#include "encoding/hex.h"
#include "support/case_names.h"
#include "support/fat_drive.h"
#include "support/run_command.h"

namespace zezi {
namespace {

using testing::PrintTo;

namespace fs = std::filesystem;

class StagedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zezi_atomic_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    top_ = pattern;
    dir_ = top_;
  }
  void TearDown() override {
    umask(savedUmask_);
    drive_.reset();
    fs::remove_all(top_);
  }
  // Moves the test's folder onto a FAT drive; false where none can be mounted.
  [[nodiscard]] bool moveOntoFat() {
    drive_ = std::make_unique<testing::FatDrive>(top_);
    dir_ = drive_->path();
    return drive_->mounted();
  }

  [[nodiscard]] std::string path(const char* name) const { return (dir_ / name).string(); }
  [[nodiscard]] std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  }
  [[nodiscard]] static std::string contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  [[nodiscard]] static mode_t modeOf(const std::string& file) {
    struct stat info {};
    return stat(file.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
  }

  fs::path top_;
  fs::path dir_;
  std::unique_ptr<testing::FatDrive> drive_;
  mode_t savedUmask_ = umask(022);
};

TEST_F(StagedFiles, ModeIsExactWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
    umask(mask);
    for (const mode_t mode : {mode_t{0600}, mode_t{0644}}) {
      const std::string target = path("out");
      std::string error;
      ASSERT_TRUE(writeFileAtomically(target, "content\n", mode, true, &error)) << error;
      EXPECT_EQ(modeOf(target), mode) << "umask " << mask;
      EXPECT_EQ(contents(target), "content\n");
      EXPECT_EQ(names(), std::set<std::string>{"out"});
    }
  }
}

TEST_F(StagedFiles, MissingFolderFailsWithoutLeavingAnything) {
  std::string error;
  EXPECT_FALSE(writeFileAtomically(path("absent/out"), "x", 0644, false, &error));
  EXPECT_NE(error.find("no such file or directory"), std::string::npos) << error;
  EXPECT_TRUE(names().empty());
}

TEST_F(StagedFiles, TargetThatIsAFolderIsRefusedAndLeftAlone) {
  fs::create_directory(path("folder"));
  for (const bool replace : {false, true}) {
    std::string error;
    EXPECT_FALSE(writeFileAtomically(path("folder"), "x", 0644, replace, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(names(), std::set<std::string>{"folder"});
    EXPECT_TRUE(fs::is_directory(path("folder")));
  }
}

// Each way a staged file can wait for its commit, and each kind of file system.
struct Way {
  const char* name;
  Staging staging;
  bool onFat;
};

class AtomicFileEachWay : public StagedFiles, public ::testing::WithParamInterface<Way> {
 protected:
  void SetUp() override {
    StagedFiles::SetUp();
    if (GetParam().onFat && !moveOntoFat()) {
      GTEST_SKIP() << drive_->skipReason();
    }
  }
  // Whether a staged file shows in the folder: it does where O_TMPFILE is not used, except
  // on FAT through FUSE, where the file is written under its own name at the commit.
  [[nodiscard]] bool stagedFileHasAName() const {
    if (GetParam().onFat) {
      return false;
    }
    const int probe = open(dir_.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (probe >= 0) {
      close(probe);
    }
    return GetParam().staging == Staging::kAlwaysNamed || probe < 0;
  }
  [[nodiscard]] bool write(const std::string& target, const std::string& content, mode_t mode,
                           bool replace, std::string* error = nullptr) const {
    StagedFile file(GetParam().staging);
    return file.stage(target, content, mode, error) && file.commit(replace, error);
  }
};

TEST_P(AtomicFileEachWay, ExistingFileIsKeptWithoutReplaceAndReplacedByRenameWithIt) {
  const std::string target = path("envelope.json");
  ASSERT_TRUE(write(target, "original", 0644, false));
  std::string error;
  EXPECT_FALSE(write(target, "new", 0644, false, &error));
  EXPECT_EQ(error, target + " exists (use --force to replace it)");
  EXPECT_EQ(contents(target), "original");
  EXPECT_EQ(names(), std::set<std::string>{"envelope.json"});
  ASSERT_TRUE(write(target, "new", 0644, true, &error)) << error;
  EXPECT_EQ(contents(target), "new");
  EXPECT_EQ(names(), std::set<std::string>{"envelope.json"});
}

TEST_P(AtomicFileEachWay, TargetAppearsOnlyAtCommitAndStagedFileIsRemovedWhenAbandoned) {
  const std::string target = path("key");
  {
    StagedFile staged(GetParam().staging);
    ASSERT_TRUE(staged.stage(target, "secret", 0644, nullptr));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(names().size(), stagedFileHasAName() ? 1U : 0U);
  }
  EXPECT_TRUE(names().empty());
}

TEST_P(AtomicFileEachWay, FileCreatedWhileStagingIsNotReplaced) {
  const std::string target = path("key");
  StagedFile staged(GetParam().staging);
  ASSERT_TRUE(staged.stage(target, "ours", 0644, nullptr));
  std::ofstream(target) << "theirs";
  std::string error;
  EXPECT_FALSE(staged.commit(false, &error));
  EXPECT_EQ(error, target + " exists (use --force to replace it)");
  EXPECT_EQ(contents(target), "theirs");
}

// A pair goes in whole or not at all: a second target that cannot be replaced gives the
// first back what it held, or removes it when it was new.
TEST_P(AtomicFileEachWay, PairWhoseSecondFailsLeavesTheFirstAsItWas) {
  for (const bool firstExisted : {true, false}) {
    fs::remove_all(path("first"));
    fs::remove_all(path("second"));
    if (firstExisted) {
      ASSERT_TRUE(write(path("first"), "old first", 0644, false));
    }
    {
      fs::create_directory(path("second"));
      std::ofstream(path("second/occupied")) << "x";
      std::string error;
      EXPECT_FALSE(writeFilePair({path("first"), "new first", 0644},
                                 {path("second"), "new second", 0644}, true, &error));
      EXPECT_NE(error.find("cannot write " + path("second")), std::string::npos) << error;
    }
    EXPECT_EQ(fs::exists(path("first")), firstExisted);
    if (firstExisted) {
      EXPECT_EQ(contents(path("first")), "old first");
    }
    EXPECT_EQ(names().size(), firstExisted ? 2U : 1U);  // nothing kept aside is left
  }
}

// A process ended by a signal while its file is staged: SIGINT, SIGTERM and SIGHUP leave
// nothing anywhere; SIGKILL leaves nothing where the staged file has no name.
TEST_P(AtomicFileEachWay, SignalWhileStagedLeavesNothingBehind) {
  const bool named = stagedFileHasAName();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
    if (signal == SIGKILL && named) {
      continue;
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The default action, as the tool starts with, whatever the test runner set.
      std::signal(signal, SIG_DFL);
      StagedFile staged(GetParam().staging);
      if (staged.stage(path("key"), "secret", 0644, nullptr)) {
        kill(getpid(), signal);
      }
      _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
    EXPECT_TRUE(names().empty()) << signal;
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, AtomicFileEachWay,
                         ::testing::Values(Way{"Unnamed", Staging::kUnnamedWherePossible, false},
                                           Way{"Named", Staging::kAlwaysNamed, false},
                                           // FAT has no O_TMPFILE: the named way is taken.
                                           Way{"Fat", Staging::kUnnamedWherePossible, true}),
                         testing::caseName);

// Without `replace` a pair never goes over an existing file, whichever of the two it is.
TEST_F(StagedFiles, PairWithoutReplaceLeavesAnExistingTargetAlone) {
  for (const char* existing : {"first", "second"}) {
    fs::remove(path("first"));
    fs::remove(path("second"));
    std::ofstream(path(existing)) << "old";
    std::string error;
    EXPECT_FALSE(writeFilePair({path("first"), "new first", 0644},
                               {path("second"), "new second", 0644}, false, &error));
    EXPECT_EQ(error, existsMessage(path(existing)));
    EXPECT_EQ(contents(path(existing)), "old");
    EXPECT_EQ(names(), std::set<std::string>{existing});
  }
}

// A private key is refused on a FAT drive before anything is written there: on a full
// drive, anything written first would fail for want of room instead.
TEST_F(StagedFiles, PrivateKeyIsRefusedOnFatBeforeAnythingIsWritten) {
  if (!moveOntoFat()) {
    GTEST_SKIP() << drive_->skipReason();
  }
  static_cast<void>(testing::runCommand(
      "dd if=/dev/zero bs=64k of=" + testing::shellQuote(path("fill")) + " 2>/dev/null"));
  std::string error;
  EXPECT_FALSE(writeFilePair({path("k.key"), "secret", 0600}, {path("k.pub"), "public", 0644},
                             false, &error));
  EXPECT_EQ(error, unprotectedMessage(path("k.key"), 0600));
  EXPECT_EQ(names(), std::set<std::string>{"fill"});
}

// Reading a file writes nothing, even beside what an interrupted pair left; the read of a
// pair's file that a command asks for settles it.
TEST_F(StagedFiles, ReadingBesideAnInterruptedPairWritesNothing) {
  std::ofstream(path("k.pub")) << "public";
  std::ofstream(path(".k.pub.pair")) << "torn journal";
  std::ofstream(path(".k.pub.new")) << "torn";
  const std::set<std::string> before = names();
  SecretText text;
  std::string error;
  ASSERT_TRUE(readInput(path("k.pub"), 64, &text, &error)) << error;
  EXPECT_EQ(text, "public");
  EXPECT_EQ(names(), before);
  ASSERT_TRUE(readPairFile(path("k.pub"), 64, &text, &error)) << error;
  EXPECT_EQ(names(), std::set<std::string>{"k.pub"});
}

// What a pair's writing left, made by hand: both journals, and each file's new content
// staged whole, staged torn, or already in place.
enum class Left : std::uint8_t { kWhole, kTorn, kPlaced };

struct InterruptedPair {
  const char* name;
  std::array<Left, 2> left;
  std::size_t settledThrough;  // the file whose settling is asked for
  bool finished;               // the new pair, else the old one
};

class InterruptedPairs : public StagedFiles,
                         public ::testing::WithParamInterface<InterruptedPair> {};

// A pair is settled as one: both new files or both old, never a new one beside an old one.
TEST_P(InterruptedPairs, AreFinishedOrUndoneAsOne) {
  const InterruptedPair& row = GetParam();
  const std::array<std::string, 2> targets{"k.key", "k.pub"};
  const std::array<std::string, 2> olds{"old key", "old public"};
  const std::array<std::string, 2> news{"new key", "new public"};
  std::string journal = "zezi-vidad pair\n";
  for (std::size_t i = 0; i < targets.size(); ++i) {
    std::ofstream(path(targets[i].c_str())) << olds[i];
    Digest digest{};
    ASSERT_TRUE(sha256(news[i], &digest));
    journal += hexEncode(textToBytes((fs::canonical(dir_) / targets[i]).string())) + " " +
               hexEncode(Bytes(digest.begin(), digest.end())) + "\n";
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    std::ofstream(dir_ / ("." + targets[i] + ".pair")) << journal;
    const fs::path staged = dir_ / ("." + targets[i] + ".new");
    switch (row.left[i]) {
      case Left::kWhole:
        std::ofstream(staged) << news[i];
        break;
      case Left::kTorn:
        std::ofstream(staged) << news[i].substr(0, 3);
        break;
      case Left::kPlaced:
        std::ofstream(dir_ / targets[i]) << news[i];
        break;
    }
  }
  std::string error;
  ASSERT_TRUE(settleInterruptedPair(path(targets[row.settledThrough].c_str()), &error)) << error;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    EXPECT_EQ(contents(path(targets[i].c_str())), row.finished ? news[i] : olds[i]) << targets[i];
  }
  EXPECT_EQ(names(), std::set<std::string>(targets.begin(), targets.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, InterruptedPairs,
    ::testing::Values(InterruptedPair{"BothStaged", {Left::kWhole, Left::kWhole}, 0, true},
                      InterruptedPair{"SecondTorn", {Left::kWhole, Left::kTorn}, 0, false},
                      InterruptedPair{"FirstTorn", {Left::kTorn, Left::kWhole}, 1, false},
                      InterruptedPair{"FirstPlaced", {Left::kPlaced, Left::kWhole}, 1, true}),
    testing::caseName);

}  // namespace
}  // namespace zezi
