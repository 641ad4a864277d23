#include "cli/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace zezi {
namespace {

namespace fs = std::filesystem;

class AtomicFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zezi_atomic_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    umask(savedUmask_);
    fs::remove_all(dir_);
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

  fs::path dir_;
  mode_t savedUmask_ = umask(022);
};

TEST_F(AtomicFile, ModeIsExactWhateverTheUmask) {
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

TEST_F(AtomicFile, ExistingFileIsKeptWithoutReplace) {
  const std::string target = path("envelope.json");
  ASSERT_TRUE(writeFileAtomically(target, "original", 0600, false, nullptr));
  std::string error;
  EXPECT_FALSE(writeFileAtomically(target, "new", 0644, false, &error));
  EXPECT_EQ(error, target + " exists (use --force to replace it)");
  EXPECT_EQ(contents(target), "original");
  EXPECT_EQ(modeOf(target), 0600U);
  EXPECT_EQ(names(), std::set<std::string>{"envelope.json"});
}

TEST_F(AtomicFile, ExistingFileIsReplacedWithReplace) {
  const std::string target = path("envelope.json");
  ASSERT_TRUE(writeFileAtomically(target, "original", 0600, false, nullptr));
  ASSERT_TRUE(writeFileAtomically(target, "new", 0644, true, nullptr));
  EXPECT_EQ(contents(target), "new");
  EXPECT_EQ(modeOf(target), 0644U);
  EXPECT_EQ(names(), std::set<std::string>{"envelope.json"});
}

TEST_F(AtomicFile, TargetAppearsOnlyAtCommitAndStagedFileIsRemovedWhenAbandoned) {
  const std::string target = path("key");
  {
    StagedFile staged;
    ASSERT_TRUE(staged.stage(target, "secret", 0600, nullptr));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(names().size(), 1U);  // the temporary file, under another name
  }
  EXPECT_TRUE(names().empty());
}

TEST_F(AtomicFile, FileCreatedWhileStagingIsNotReplaced) {
  const std::string target = path("key");
  StagedFile staged;
  ASSERT_TRUE(staged.stage(target, "ours", 0600, nullptr));
  std::ofstream(target) << "theirs";
  std::string error;
  EXPECT_FALSE(staged.commit(false, &error));
  EXPECT_EQ(error, target + " exists (use --force to replace it)");
  EXPECT_EQ(contents(target), "theirs");
}

TEST_F(AtomicFile, MissingFolderFailsWithoutLeavingAnything) {
  std::string error;
  EXPECT_FALSE(writeFileAtomically(path("absent/out"), "x", 0644, false, &error));
  EXPECT_NE(error.find("no such file or directory"), std::string::npos) << error;
  EXPECT_TRUE(names().empty());
}

TEST_F(AtomicFile, TargetThatIsAFolderIsRefusedAndLeftAlone) {
  fs::create_directory(path("folder"));
  for (const bool replace : {false, true}) {
    std::string error;
    EXPECT_FALSE(writeFileAtomically(path("folder"), "x", 0644, replace, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(names(), std::set<std::string>{"folder"});
    EXPECT_TRUE(fs::is_directory(path("folder")));
  }
}

}  // namespace
}  // namespace zezi
