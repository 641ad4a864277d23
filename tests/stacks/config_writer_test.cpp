// The writers on the disk: NetworkManager's keyfiles under their earlier names, the
// operator's own profiles of the same SSID, iwd's folder at first boot, the stacks' reload
// commands, the temporaries a killed run left, the refusals, and the folder flushed after
// every name that changes in it.
#include "stacks/config_writer.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/case_names.h"
#include "support/emulation.h"
#include "support/run_command.h"
#include "support/temp_folder.h"

namespace {

// The folder events of the calls below while a test notes them: 'r' a rename into, 'u' an
// unlink in, 'f' an fsync of a folder.
struct FolderEvent {
  char kind;
  dev_t device;
  ino_t inode;
};
bool gNoting = false;
std::vector<FolderEvent> gEvents;

void note(char kind, int fd) {
  struct stat info {};
  if (gNoting && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    gEvents.push_back({kind, info.st_dev, info.st_ino});
  }
}

template <typename Function>
Function* libraryCall(const char* name) {
  return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));  // NOLINT: dlsym's type
}

}  // namespace

// The writers are linked into this program statically, so these take the C library's place
// for them, with no seam in the library: each notes the call and makes it.
extern "C" int fsync(int fd) {
  note('f', fd);
  static auto* const call = libraryCall<int(int)>("fsync");
  return call(fd);
}

extern "C" int renameat(int fromFolder, const char* from, int toFolder, const char* to) noexcept {
  note('r', toFolder);
  static auto* const call = libraryCall<int(int, const char*, int, const char*)>("renameat");
  return call(fromFolder, from, toFolder, to);
}

extern "C" int unlinkat(int folder, const char* name, int flags) noexcept {
  note('u', folder);
  static auto* const call = libraryCall<int(int, const char*, int)>("unlinkat");
  return call(folder, name, flags);
}

namespace zezi {
namespace {

namespace fs = std::filesystem;
using testing::PrintTo;
using testing::runCommand;
using testing::TempFolder;

constexpr const char* kPsk = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
constexpr const char* kOtherPsk =
    "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";
const std::string kOfficeNet = "Office Net";
const std::string kOfficeNetFile = "zezi-Office Net.nmconnection";
const std::string kOfficeNetEarlierFile = "zezi-=4f6666696365204e6574.nmconnection";

Network networkOf(const std::string& ssid, const char* psk = kPsk) {
  return Network{ssid, SecretText(psk)};
}

StackTarget targetIn(const fs::path& folder, Stack stack) {
  return {stack, stack == Stack::kWpaSupplicant ? (folder / "wpa.conf").string() : folder.string()};
}

enum class Step : std::uint8_t { kWrite, kDryWrite, kRemove, kDryRemove };

// Runs one step of the writers on `ssid`; the error text, empty on success.
std::string run(Step step, const StackTarget& target, const std::string& ssid,
                ConfigChange* change) {
  std::string error;
  const bool dry = step == Step::kDryWrite || step == Step::kDryRemove;
  const bool done = step == Step::kWrite || step == Step::kDryWrite
                        ? writeNetwork(target, networkOf(ssid), dry, change, &error)
                        : removeNetwork(target, ssid, dry, change, &error);
  return done ? std::string() : error;
}

// Existing devices hold "Office Net" under its hex name: a write or removal takes that
// file away too, so NetworkManager never holds the network twice.
struct MigrationCase {
  const char* name;
  bool earlierBefore;  // the keyfile under its earlier name, with an older PSK
  bool currentBefore;  // the keyfile under today's name, as the write makes it
  Step step;
  ConfigChange change;
  std::set<std::string> after;
};

class KeyfileMigration : public TempFolder, public ::testing::WithParamInterface<MigrationCase> {};

TEST_P(KeyfileMigration, TheEarlierNameGoesWithTheNetwork) {
  const MigrationCase& row = GetParam();
  if (row.earlierBefore) {
    static_cast<void>(
        writeFile(kOfficeNetEarlierFile, renderKeyfile(networkOf(kOfficeNet, kOtherPsk))));
  }
  if (row.currentBefore) {
    static_cast<void>(writeFile(kOfficeNetFile, renderKeyfile(networkOf(kOfficeNet))));
  }
  ConfigChange change = ConfigChange::kUnchanged;
  ASSERT_EQ(run(row.step, targetIn(dir_, Stack::kNetworkManager), kOfficeNet, &change), "");
  EXPECT_EQ(change, row.change);
  EXPECT_EQ(names(), row.after);
  if (row.after.contains(kOfficeNetFile) && row.step == Step::kWrite) {
    EXPECT_EQ(readFile(kOfficeNetFile), std::string(renderKeyfile(networkOf(kOfficeNet))));
    EXPECT_NE(readFile(kOfficeNetFile).find("id=zezi-Office Net\n"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, KeyfileMigration,
    ::testing::Values(
        MigrationCase{"WriteReplacesTheEarlierName",
                      true,
                      false,
                      Step::kWrite,
                      ConfigChange::kWritten,
                      {kOfficeNetFile}},
        MigrationCase{"SameFileAndTheEarlierName",
                      true,
                      true,
                      Step::kWrite,
                      ConfigChange::kWritten,
                      {kOfficeNetFile}},
        MigrationCase{
            "SameFileAlone", false, true, Step::kWrite, ConfigChange::kUnchanged, {kOfficeNetFile}},
        MigrationCase{"DryRunLeavesTheEarlierName",
                      true,
                      false,
                      Step::kDryWrite,
                      ConfigChange::kWritten,
                      {kOfficeNetEarlierFile}},
        MigrationCase{
            "RemovalTakesTheEarlierName", true, false, Step::kRemove, ConfigChange::kWritten, {}},
        MigrationCase{"RemovalTakesBoth", true, true, Step::kRemove, ConfigChange::kWritten, {}},
        MigrationCase{"DryRemoval",
                      true,
                      false,
                      Step::kDryRemove,
                      ConfigChange::kWritten,
                      {kOfficeNetEarlierFile}},
        MigrationCase{
            "NothingToRemove", false, false, Step::kRemove, ConfigChange::kUnchanged, {}}),
    testing::caseName);

// The operator's own profiles of the SSID, in each form NetworkManager reads, are found;
// the tool's, other SSIDs', hidden files and whatever is no regular file are not.
class ForeignProfiles : public TempFolder {};

TEST_F(ForeignProfiles, AreTheSsidsProfilesTheToolDidNotWrite) {
  const struct {
    const char* name;
    std::string content;
    bool foreign;
  } files[] = {
      {"Office Net.nmconnection", "[connection]\nid=mine\n\n[wifi]\nssid=Office Net\n", true},
      {"listed.nmconnection", "[wifi]\nssid=79;102;102;105;99;101;32;78;101;116;\n", true},
      {"Office-old", "[802-11-wireless]\n ssid = Office\\sNet\n", true},
      {"other.nmconnection", "[wifi]\nssid=Office\n", false},
      {"security.nmconnection", "[wifi-security]\nssid=Office Net\n", false},
      {".hidden.nmconnection", "[wifi]\nssid=Office Net\n", false},
      {kOfficeNetFile.c_str(), "[wifi]\nssid=Office Net\n", false},
      {kOfficeNetEarlierFile.c_str(), "[wifi]\nssid=Office Net\n", false},
      {"large.nmconnection", "[wifi]\nssid=Office Net\n" + std::string(kMaxProfileSize, '#'),
       false},
  };
  std::vector<std::string> expected;
  for (const auto& file : files) {
    const std::string path = writeFile(file.name, file.content);
    if (file.foreign) {
      expected.push_back(path);
    }
  }
  // As NetworkManager's own tool writes a profile the operator adds.
  const testing::CommandResult added = runCommand(
      "nmcli --offline connection add type wifi con-name mine ssid 'Office Net' "
      "wifi-sec.key-mgmt wpa-psk wifi-sec.psk 12345678");
  if (added.exitStatus == 0) {
    expected.push_back(writeFile("by-nmcli.nmconnection", added.out));
  }
  fs::create_symlink(dir_ / "Office Net.nmconnection", dir_ / "link.nmconnection");
  fs::create_directory(dir_ / "folder.nmconnection");
  ASSERT_EQ(::mkfifo((dir_ / "fifo.nmconnection").c_str(), 0600), 0);
  std::sort(expected.begin(), expected.end());

  EXPECT_EQ(foreignProfiles(targetIn(dir_, Stack::kNetworkManager), kOfficeNet), expected);
  EXPECT_EQ(foreignProfiles(targetIn(dir_, Stack::kIwd), kOfficeNet), std::vector<std::string>());
  EXPECT_EQ(foreignProfiles(targetIn(dir_ / "missing", Stack::kNetworkManager), kOfficeNet),
            std::vector<std::string>());
}

TEST_F(ForeignProfiles, AreReadUpToTheBound) {
  for (std::size_t i = 0; i < kMaxProfilesRead + 3; ++i) {
    static_cast<void>(writeFile("p" + std::to_string(i), "[wifi]\nssid=Office Net\n"));
  }
  EXPECT_EQ(foreignProfiles(targetIn(dir_, Stack::kNetworkManager), kOfficeNet).size(),
            kMaxProfilesRead);
}

// Runs `body` in a child process with a mount namespace of its own, where an empty tmpfs
// (mounted with `flags`) hides `hidden`; what the child tells back, empty when all went as
// expected, "skip" when no namespace can be made.
std::string withHidden(const char* hidden, unsigned long flags,
                       const std::function<std::string()>& body) {
  if (testing::underEmulation()) {
    return "skip";  // under qemu-aarch64 a forked child's unshare(CLONE_NEWNS) never returns
  }
  std::array<int, 2> channel{};
  if (::pipe(channel.data()) != 0) {
    return "no pipe";
  }
  static_cast<void>(std::fflush(nullptr));
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    std::string told = "skip";
    if (::unshare(CLONE_NEWNS) == 0 &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        ::mount("tmpfs", hidden, "tmpfs", flags, "mode=0755") == 0) {
      told = body();
    }
    static_cast<void>(::write(channel[1], told.data(), told.size()));
    // exit, not _exit: a coverage build writes down what the child ran.
    std::exit(0);  // NOLINT(concurrency-mt-unsafe): the child has one thread
  }
  ::close(channel[1]);
  std::string told;
  std::array<char, 256> buffer{};
  for (ssize_t count = 0; (count = ::read(channel[0], buffer.data(), buffer.size())) > 0;) {
    told.append(buffer.data(), static_cast<std::size_t>(count));
  }
  ::close(channel[0]);
  ::waitpid(child, nullptr, 0);
  return told;
}

// Debian's iwd makes /var/lib/iwd only when it first starts, after the boot unit has run.
struct FirstBootCase {
  const char* name;
  const char* hidden;  // the folder a tmpfs empties
  Step step;
  std::string error;  // empty: the write succeeds
  bool folderMade;
};

class IwdFirstBoot : public ::testing::TestWithParam<FirstBootCase> {};

TEST_P(IwdFirstBoot, TheUsualFolderIsMadeWhenItsParentIsThere) {
  const FirstBootCase& row = GetParam();
  const std::string told = withHidden(row.hidden, 0, [&row]() -> std::string {
    ConfigChange change = ConfigChange::kUnchanged;
    const std::string error =
        run(row.step, {Stack::kIwd, defaultLocation(Stack::kIwd)}, "Office", &change);
    struct stat folder {};
    const bool made = ::stat("/var/lib/iwd", &folder) == 0;
    if (error != row.error || made != row.folderMade) {
      return "error '" + error + "', folder made: " + (made ? "yes" : "no");
    }
    if (made &&
        ((folder.st_mode & 07777) != 0700 || !fs::is_regular_file("/var/lib/iwd/Office.psk"))) {
      return "folder mode " + std::to_string(folder.st_mode & 07777) + " or no file";
    }
    return change == ConfigChange::kWritten || !row.error.empty() ? "" : "not written";
  });
  if (told == "skip") {
    GTEST_SKIP() << "no mount namespace here (not root, or under emulation)";
  }
  EXPECT_EQ(told, "");
}

INSTANTIATE_TEST_SUITE_P(
    Folders, IwdFirstBoot,
    ::testing::Values(FirstBootCase{"Missing", "/var/lib", Step::kWrite, "", true},
                      FirstBootCase{"MissingInADryRun", "/var/lib", Step::kDryWrite, "", false},
                      FirstBootCase{
                          "ParentMissingToo", "/var", Step::kWrite,
                          "cannot open the folder of /var/lib/iwd/Office.psk: no such file or "
                          "directory",
                          false}),
    testing::caseName);

// A read-only file system: the write and the removal say so and leave the files as they were.
TEST(WriterOnAReadOnlyFolder, SaysWhyAndChangesNothing) {
  const std::string told = withHidden("/mnt", MS_RDONLY, []() -> std::string {
    const StackTarget target{Stack::kIwd, "/mnt"};
    ConfigChange change = ConfigChange::kUnchanged;
    const std::string written = run(Step::kWrite, target, "Office", &change);
    if (written != "cannot write /mnt/Office.psk: read-only file system") {
      return written;
    }
    // The file there before, of another key, stays.
    if (::mount(nullptr, "/mnt", nullptr, MS_REMOUNT, nullptr) != 0) {
      return "no remount";
    }
    std::ofstream("/mnt/Office.psk") << "[Security]\nPreSharedKey=" << kOtherPsk << "\n";
    if (::mount(nullptr, "/mnt", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      return "no remount";
    }
    const std::string removed = run(Step::kRemove, target, "Office", &change);
    if (removed != "cannot remove /mnt/Office.psk: read-only file system") {
      return removed;
    }
    return fs::exists("/mnt/Office.psk") ? "" : "removed all the same";
  });
  if (told == "skip") {
    GTEST_SKIP() << "no mount namespace here (not root, or under emulation)";
  }
  EXPECT_EQ(told, "");
}

// The usual places, which the units leave writable and the settings' comments name.
TEST(Writer, KnowsEachStacksUsualPlace) {
  EXPECT_EQ(stackNamed("networkmanager"), Stack::kNetworkManager);
  EXPECT_EQ(stackNamed("wpa-supplicant"), Stack::kWpaSupplicant);
  EXPECT_EQ(stackNamed("iwd"), Stack::kIwd);
  EXPECT_EQ(stackNamed("wpa_supplicant"), std::nullopt);
  EXPECT_EQ(defaultLocation(Stack::kNetworkManager), "/etc/NetworkManager/system-connections");
  EXPECT_EQ(defaultLocation(Stack::kWpaSupplicant), "/etc/wpa_supplicant/wpa_supplicant.conf");
  EXPECT_EQ(defaultLocation(Stack::kIwd), "/var/lib/iwd");
}

// Another folder is the operator's to make: a missing one is a mistake to report.
class WriterInAFolder : public TempFolder {};

TEST_F(WriterInAFolder, MakesNoFolderButIwdsUsualOne) {
  ConfigChange change = ConfigChange::kUnchanged;
  EXPECT_EQ(run(Step::kWrite, targetIn(dir_ / "iwd", Stack::kIwd), "Office", &change),
            "cannot open the folder of " + (dir_ / "iwd/Office.psk").string() +
                ": no such file or directory");
  EXPECT_FALSE(fs::exists(dir_ / "iwd"));
}

// A run killed between creating its temporary and renaming it left the temporary behind.
TEST_F(WriterInAFolder, RemovesTheTemporariesAKilledRunLeft) {
  const std::set<std::string> others{".zezi-vidad-notes", "mine.tmp", ".zezi-vidad-0a.tmp.bak"};
  for (const std::string& name : others) {
    static_cast<void>(writeFile(name, "x"));
  }
  static_cast<void>(writeFile(".zezi-vidad-0123456789ab.tmp", "[wifi]\n"));
  ConfigChange change = ConfigChange::kUnchanged;
  ASSERT_EQ(run(Step::kDryWrite, targetIn(dir_, Stack::kNetworkManager), "Office", &change), "");
  EXPECT_TRUE(fs::exists(dir_ / ".zezi-vidad-0123456789ab.tmp"));
  ASSERT_EQ(run(Step::kWrite, targetIn(dir_, Stack::kNetworkManager), "Office", &change), "");
  std::set<std::string> expected = others;
  expected.insert("zezi-Office.nmconnection");
  EXPECT_EQ(names(), expected);
}

// A write cut short (a full disk, here a file size limit) leaves the old file and no
// temporary.
TEST_F(WriterInAFolder, WriteCutShortLeavesNothingBehind) {
  static_cast<void>(writeFile("wpa.conf", "ctrl_interface=/run/wpa_supplicant\n"));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const rlimit small{16, saved.rlim_max};
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  ConfigChange change = ConfigChange::kUnchanged;
  const std::string error =
      run(Step::kWrite, targetIn(dir_, Stack::kWpaSupplicant), "Office", &change);
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(error, "cannot write " + (dir_ / "wpa.conf").string() + ": file too large");
  EXPECT_EQ(names(), std::set<std::string>{"wpa.conf"});
  EXPECT_EQ(readFile("wpa.conf"), "ctrl_interface=/run/wpa_supplicant\n");
}

struct RefusalCase {
  const char* name;
  Stack stack;
  Step step;
  std::string ssid;
  void (*plant)(const fs::path& folder);
  std::string error;  // "{dir}" stands for the folder
};

class WriterRefusal : public TempFolder, public ::testing::WithParamInterface<RefusalCase> {};

// Each refusal names the file and why, and changes nothing.
TEST_P(WriterRefusal, SaysWhyAndChangesNothing) {
  const RefusalCase& row = GetParam();
  row.plant(dir_);
  const std::set<std::string> before = names();
  ConfigChange change = ConfigChange::kUnchanged;
  std::string expected = row.error;
  if (const std::size_t at = expected.find("{dir}"); at != std::string::npos) {
    expected.replace(at, 5, dir_.string());
  }
  EXPECT_EQ(run(row.step, targetIn(dir_, row.stack), row.ssid, &change), expected);
  EXPECT_EQ(names(), before);
}

const std::string kUnfinished = "# zezi-vidad begin 4f6666696365\nnetwork={\n}\n";

INSTANTIATE_TEST_SUITE_P(
    Plants, WriterRefusal,
    ::testing::Values(
        RefusalCase{"SymlinkAtTheKeyfile", Stack::kNetworkManager, Step::kWrite, "Office",
                    [](const fs::path& d) {
                      fs::create_symlink("elsewhere", d / "zezi-Office.nmconnection");
                    },
                    "{dir}/zezi-Office.nmconnection is a symlink, which is never followed"},
        RefusalCase{
            "SymlinkAtTheEarlierName", Stack::kNetworkManager, Step::kRemove, kOfficeNet,
            [](const fs::path& d) { fs::create_symlink("elsewhere", d / kOfficeNetEarlierFile); },
            "{dir}/" + kOfficeNetEarlierFile + " is a symlink, which is never followed"},
        RefusalCase{"FolderAtTheIwdFile", Stack::kIwd, Step::kRemove, "Office",
                    [](const fs::path& d) { fs::create_directory(d / "Office.psk"); },
                    "{dir}/Office.psk is not a regular file"},
        RefusalCase{"TooLarge", Stack::kWpaSupplicant, Step::kWrite, "Office",
                    [](const fs::path& d) {
                      std::ofstream(d / "wpa.conf") << "";
                      fs::resize_file(d / "wpa.conf", std::size_t{1024} * 1024 + 1);
                    },
                    "{dir}/wpa.conf is too large"},
        RefusalCase{"UnfinishedBlockOnWrite", Stack::kWpaSupplicant, Step::kWrite, "Office",
                    [](const fs::path& d) { std::ofstream(d / "wpa.conf") << kUnfinished; },
                    "cannot use {dir}/wpa.conf: a network block of the tool has no end line"},
        RefusalCase{"UnfinishedBlockOnRemoval", Stack::kWpaSupplicant, Step::kRemove, "Office",
                    [](const fs::path& d) { std::ofstream(d / "wpa.conf") << kUnfinished; },
                    "cannot use {dir}/wpa.conf: a network block of the tool has no end line"},
        RefusalCase{"IwdNeedsUtf8", Stack::kIwd, Step::kWrite, std::string("\xff", 1),
                    [](const fs::path&) {}, "iwd cannot join this network: its SSID is not UTF-8"}),
    testing::caseName);

// The stacks' reload commands, as programs of the PATH that succeed, fail, are killed or
// are missing; run with no shell, their words as given.
struct ReloadCase {
  const char* name;
  Stack stack;
  const char* program;  // what the stand-in is named; null: there is none
  const char* body;     // the stand-in's shell script after it notes its arguments
  std::string error;    // empty: the reload succeeds
  const char* words;    // the arguments it was given
};

class Reload : public TempFolder, public ::testing::WithParamInterface<ReloadCase> {
 protected:
  void TearDown() override {
    ::setenv("PATH", path_.c_str(), 1);
    TempFolder::TearDown();
  }
  std::string path_ = std::getenv("PATH");
};

TEST_P(Reload, ReportsHowTheProgramEnded) {
  const ReloadCase& row = GetParam();
  if (row.program == nullptr && testing::underEmulation()) {
    GTEST_SKIP() << "under qemu-user posix_spawnp of a missing program succeeds and the child "
                    "exits 127";
  }
  if (row.program != nullptr) {
    const std::string script =
        writeFile(row.program, "#!/bin/sh\nprintf '%s' \"$*\" > '" + (dir_ / "words").string() +
                                   "'\n" + row.body + "\n");
    fs::permissions(script, fs::perms::owner_all);
  }
  ::setenv("PATH", dir_.c_str(), 1);
  std::string error;
  EXPECT_EQ(reloadStack(row.stack, &error), row.error.empty());
  EXPECT_EQ(error, row.error);
  EXPECT_EQ(readFile("words"), row.words);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, Reload,
    ::testing::Values(
        ReloadCase{"Nmcli", Stack::kNetworkManager, "nmcli", "exit 0", "", "connection reload"},
        ReloadCase{"NmcliMissing", Stack::kNetworkManager, nullptr, "",
                   "cannot run nmcli connection reload: no such file or directory", ""},
        ReloadCase{"NmcliWithoutNetworkManager", Stack::kNetworkManager, "nmcli", "exit 8",
                   "nmcli connection reload failed with exit status 8", "connection reload"},
        ReloadCase{"NmcliKilled", Stack::kNetworkManager, "nmcli", "kill -KILL $$",
                   "nmcli connection reload was ended by signal 9", "connection reload"},
        ReloadCase{"WpaCli", Stack::kWpaSupplicant, "wpa_cli", "exit 0", "", "reconfigure"},
        ReloadCase{"WpaCliMissing", Stack::kWpaSupplicant, nullptr, "",
                   "cannot run wpa_cli reconfigure: no such file or directory", ""},
        ReloadCase{"WpaCliFails", Stack::kWpaSupplicant, "wpa_cli", "exit 255",
                   "wpa_cli reconfigure failed with exit status 255", "reconfigure"},
        ReloadCase{"WpaCliKilled", Stack::kWpaSupplicant, "wpa_cli", "kill -TERM $$",
                   "wpa_cli reconfigure was ended by signal 15", "reconfigure"},
        // iwd watches its folder: nothing is run, not even a program of that name.
        ReloadCase{"Iwd", Stack::kIwd, "iwctl", "exit 1", "", ""}),
    testing::caseName);

// Every name that changes in a folder (a rename over a file, a removal) is followed by a
// flush of that folder, or a power cut may bring the old name back after the state moved on.
struct FlushCase {
  const char* name;
  Stack stack;
  Step step;
  const char* ssid;
};

class FolderFlush : public TempFolder, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(FolderFlush, FollowsEveryNameThatChanges) {
  const FlushCase& row = GetParam();
  const StackTarget target = targetIn(dir_, row.stack);
  ConfigChange change = ConfigChange::kUnchanged;
  ASSERT_EQ(run(Step::kWrite, target, row.ssid, &change), "");
  if (row.step == Step::kWrite) {
    // A new PSK, and for NetworkManager the keyfile under its earlier name too.
    static_cast<void>(writeFile(kOfficeNetEarlierFile, "[wifi]\n"));
    std::string error;
    gEvents.clear();
    gNoting = true;
    const bool written =
        writeNetwork(target, networkOf(row.ssid, kOtherPsk), false, &change, &error);
    gNoting = false;
    ASSERT_TRUE(written) << error;
  } else {
    gEvents.clear();
    gNoting = true;
    const std::string error = run(row.step, target, row.ssid, &change);
    gNoting = false;
    ASSERT_EQ(error, "");
  }
  ASSERT_EQ(change, ConfigChange::kWritten);
  std::size_t changes = 0;
  for (std::size_t i = 0; i < gEvents.size(); ++i) {
    if (gEvents[i].kind == 'f') {
      continue;
    }
    ++changes;
    const bool flushed = std::any_of(gEvents.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                     gEvents.end(), [&](const FolderEvent& later) {
                                       return later.kind == 'f' &&
                                              later.device == gEvents[i].device &&
                                              later.inode == gEvents[i].inode;
                                     });
    EXPECT_TRUE(flushed) << "no flush after the " << (gEvents[i].kind == 'r' ? "rename" : "removal")
                         << " of event " << i;
  }
  EXPECT_EQ(changes, row.stack == Stack::kNetworkManager && row.step == Step::kWrite ? 2U : 1U);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FolderFlush,
    ::testing::Values(FlushCase{"KeyfileWritten", Stack::kNetworkManager, Step::kWrite,
                                "Office Net"},
                      FlushCase{"KeyfileRemoved", Stack::kNetworkManager, Step::kRemove, "Office"},
                      FlushCase{"WpaBlockWritten", Stack::kWpaSupplicant, Step::kWrite, "Office"},
                      FlushCase{"WpaBlockRemoved", Stack::kWpaSupplicant, Step::kRemove, "Office"},
                      FlushCase{"IwdFileWritten", Stack::kIwd, Step::kWrite, "Office"},
                      FlushCase{"IwdFileRemoved", Stack::kIwd, Step::kRemove, "Office"}),
    testing::caseName);

}  // namespace
}  // namespace zezi
