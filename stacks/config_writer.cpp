#include "stacks/config_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "base/atomic_file.h"
#include "base/failure.h"
#include "base/file_descriptor.h"
#include "base/whole_file.h"
#include "encoding/utf8.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

namespace zezi {
namespace {

constexpr mode_t kConfigMode = 0600;
// As iwd makes its own folder: its network files hold secrets.
constexpr mode_t kFolderMode = 0700;
// Far above any configuration the tool writes to; a larger file is refused, not cut.
constexpr std::size_t kMaxConfigSize = std::size_t{1024} * 1024;
// The temporary files of earlier builds: hidden and ending in .tmp.
constexpr std::string_view kEarlierTemporaryPrefix = ".zezi-vidad-";
constexpr std::string_view kEarlierTemporarySuffix = ".tmp";

// Removes the temporary files a killed run left in the folder: the writer's own beside
// `name`, and those of earlier builds, named apart from any target.
void removeLeftovers(int folder, const std::string& name) {
  removeStagingLeftovers(folder, name);
  static_cast<void>(forEachEntry(folder, [folder](const dirent& entry) {
    const std::string_view name = entry.d_name;
    if (name.starts_with(kEarlierTemporaryPrefix) && name.ends_with(kEarlierTemporarySuffix)) {
      ::unlinkat(folder, entry.d_name, 0);
    }
  }));
}

// Reads `name` in `folder` without following a symlink or waiting on a FIFO. True with
// `*exists` false when there is no such file.
bool readExisting(int folder, const std::string& name, const std::string& shownAs,
                  SecretText* content, bool* exists, std::string* error) {
  switch (readWholeFile(folder, name, Symlinks::kNoFollow, kMaxConfigSize, content)) {
    case WholeFile::kRead:
      *exists = true;
      return true;
    case WholeFile::kMissing:
      *exists = false;
      return true;
    case WholeFile::kSymlink:
      return failWith(error, shownAs + " is a symlink, which is never followed");
    case WholeFile::kFolder:
    case WholeFile::kNotRegular:
      return failWith(error, shownAs + " is not a regular file");
    case WholeFile::kTooLarge:
      return failWith(error, shownAs + " is too large");
    case WholeFile::kFailed:
      break;
  }
  return failWith(error, systemError("cannot read " + shownAs));
}

// Configuration files hold secrets, and where a stack's file system cannot keep their
// mode they are refused; they are renamed into place on every file system.
constexpr AtomicWriteOptions kConfigWrites{Staging::kUnnamedWherePossible,
                                           /*inPlaceWithoutModes=*/false,
                                           /*privateModeMustHold=*/true,
                                           {}};

// Writes `content` to a new file in `folder`, flushes it, renames it over `name` and flushes
// the folder.
bool replaceAt(const std::string& path, const SecretText& content, std::string* error) {
  AtomicFile file(kConfigWrites);
  std::string message;
  if (file.stage(path, content, kConfigMode, &message) && file.commit(/*replace=*/true, &message)) {
    return true;
  }
  switch (file.failedStep()) {
    case WriteStep::kDraw:
      return failWith(error, "cannot write " + path + ": no random name");
    case WriteStep::kUnprotected:
    case WriteStep::kFlushFolder:
      return failWith(error, message);
    default:
      errno = file.failedErrno();
      return failWith(error, systemError("cannot write " + path));
  }
}

// Unlinks `name` in `folder` and flushes the folder.
bool removeAt(int folder, const std::string& name, const std::string& shownAs, std::string* error) {
  if (::unlinkat(folder, name.c_str(), 0) != 0) {
    return failWith(error, systemError("cannot remove " + shownAs));
  }
  return ::fsync(folder) == 0 ||
         failWith(error, systemError("cannot flush the folder of " + shownAs));
}

// Makes the folder `path`, its last component alone, flushes its parent and opens it.
bool makeFolder(const std::string& path, UniqueFd* out) {
  if (::mkdir(path.c_str(), kFolderMode) != 0 && errno != EEXIST) {
    return false;
  }
  return syncFolder(folderOf(path)) && openFolder(path, out);
}

// What a missing folder of the target means.
enum class MissingFolder : std::uint8_t {
  kRefused,  // the write or removal fails
  kMade,     // it is made, when its parent is there
  kEmpty,    // a dry run of a write that would make it: there is no file yet
};

// A configuration file to replace or remove: its folder, its name there and what it holds.
struct TargetFile {
  UniqueFd folder;
  std::string name;
  std::string path;
  SecretText existing;
  bool exists = false;

  [[nodiscard]] bool open(const std::string& filePath, MissingFolder missing, std::string* error) {
    path = filePath;
    name = std::filesystem::path(path).filename().string();
    const std::string folderPath = folderOf(path);
    if (!name.empty() && !openFolder(folderPath, &folder) && errno == ENOENT &&
        missing != MissingFolder::kRefused) {
      if (missing == MissingFolder::kEmpty) {
        return true;
      }
      static_cast<void>(makeFolder(folderPath, &folder));
    }
    if (folder.get() < 0) {
      return failWith(error, systemError("cannot open the folder of " + path));
    }
    return readExisting(folder.get(), name, path, &existing, &exists, error);
  }
};

// The NetworkManager keyfile of the SSID under the name earlier builds gave it, when that
// differs from today's and the file is there.
struct LegacyKeyfile {
  std::string name;
  std::string path;
  bool exists = false;

  [[nodiscard]] bool find(const StackTarget& target, const TargetFile& file, std::string_view ssid,
                          std::string* error) {
    if (target.stack != Stack::kNetworkManager || file.folder.get() < 0) {
      return true;
    }
    name = legacyKeyfileName(ssid);
    path = (std::filesystem::path(folderOf(file.path)) / name).string();
    SecretText unused;
    return name.empty() || readExisting(file.folder.get(), name, path, &unused, &exists, error);
  }
};

}  // namespace

std::string defaultLocation(Stack stack) {
  switch (stack) {
    case Stack::kNetworkManager:
      return "/etc/NetworkManager/system-connections";
    case Stack::kWpaSupplicant:
      return "/etc/wpa_supplicant/wpa_supplicant.conf";
    case Stack::kIwd:
      return "/var/lib/iwd";
  }
  return {};
}

std::string configPathOf(const StackTarget& target, const Network& network) {
  switch (target.stack) {
    case Stack::kNetworkManager:
      return (std::filesystem::path(target.location) / keyfileName(network.ssid)).string();
    case Stack::kIwd:
      return (std::filesystem::path(target.location) / iwdFileName(network.ssid)).string();
    case Stack::kWpaSupplicant:
      break;
  }
  return target.location;
}

bool writeNetwork(const StackTarget& target, const Network& network, bool dryRun,
                  ConfigChange* change, std::string* error) {
  const std::string path = configPathOf(target, network);
  // iwd drops every network whose SSID is not UTF-8 from its scans: the file would be
  // written and never used.
  if (target.stack == Stack::kIwd && !isUtf8(network.ssid)) {
    return failWith(error, "iwd cannot join this network: its SSID is not UTF-8");
  }
  // iwd makes its folder only when it first starts, which may be after this write.
  const bool makesFolder =
      target.stack == Stack::kIwd && folderOf(path) == defaultLocation(Stack::kIwd);
  const MissingFolder missing = !makesFolder ? MissingFolder::kRefused
                                : dryRun     ? MissingFolder::kEmpty
                                             : MissingFolder::kMade;
  TargetFile file;
  LegacyKeyfile legacy;
  if (!file.open(path, missing, error) || !legacy.find(target, file, network.ssid, error)) {
    return false;
  }
  const SecretText& existing = file.existing;
  bool exists = file.exists;
  SecretText wanted;
  bool same = false;
  switch (target.stack) {
    case Stack::kNetworkManager:
      wanted = renderKeyfile(network);
      same = exists && existing == wanted;
      break;
    case Stack::kIwd:
      // The operator's groups and keys stay; iwd adds its own after joining.
      wanted = mergeIwdFile(exists ? std::string_view(existing) : std::string_view(), network);
      same = exists && existing == wanted;
      break;
    case Stack::kWpaSupplicant: {
      std::string why;
      if (!mergeWpaConfig(exists ? std::string_view(existing) : kWpaConfigHeader, network, &wanted,
                          &why)) {
        return failWith(error, "cannot use " + path + ": " + why);
      }
      same = exists && existing == wanted;
      break;
    }
  }
  if (wanted.empty()) {
    return failWith(error, "cannot make the configuration for " + path);
  }
  *change = same && !legacy.exists ? ConfigChange::kUnchanged : ConfigChange::kWritten;
  if (dryRun) {
    return true;
  }
  removeLeftovers(file.folder.get(), file.name);
  // The new file first: a crash between the two leaves the network, under both names.
  return (same || replaceAt(path, wanted, error)) &&
         (!legacy.exists || removeAt(file.folder.get(), legacy.name, legacy.path, error));
}

bool removeNetwork(const StackTarget& target, std::string_view ssid, bool dryRun,
                   ConfigChange* change, std::string* error) {
  const std::string path = configPathOf(target, Network{std::string(ssid), {}});
  TargetFile file;
  LegacyKeyfile legacy;
  if (!file.open(path, MissingFolder::kRefused, error) || !legacy.find(target, file, ssid, error)) {
    return false;
  }
  const SecretText& existing = file.existing;
  bool exists = file.exists;
  SecretText wanted;
  if (exists && target.stack == Stack::kWpaSupplicant) {
    std::string why;
    if (!removeWpaBlock(existing, ssid, &wanted, &why)) {
      return failWith(error, "cannot use " + path + ": " + why);
    }
    exists = wanted != existing;
  }
  *change = exists || legacy.exists ? ConfigChange::kWritten : ConfigChange::kUnchanged;
  if ((!exists && !legacy.exists) || dryRun) {
    return true;
  }
  if (target.stack == Stack::kWpaSupplicant) {
    return replaceAt(path, wanted, error);
  }
  return (!exists || removeAt(file.folder.get(), file.name, path, error)) &&
         (!legacy.exists || removeAt(file.folder.get(), legacy.name, legacy.path, error));
}

std::vector<std::string> foreignProfiles(const StackTarget& target, std::string_view ssid) {
  std::vector<std::string> found;
  UniqueFd folder;
  if (target.stack != Stack::kNetworkManager || !openFolder(target.location, &folder)) {
    return found;
  }
  const std::string ours = keyfileName(ssid);
  const std::string oursBefore = legacyKeyfileName(ssid);
  std::size_t opened = 0;
  static_cast<void>(forEachEntry(folder.get(), [&](const dirent& entry) {
    const std::string_view name = entry.d_name;
    struct stat info {};
    // Hidden files are NetworkManager's to pass over too, and the tool's own temporaries.
    if (name.starts_with('.') || name == ours || name == oursBefore || opened == kMaxProfilesRead ||
        ::fstatat(folder.get(), entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode)) {
      return;
    }
    ++opened;
    SecretText keyfile;
    if (readWholeFile(folder.get(), entry.d_name, Symlinks::kNoFollow, kMaxProfileSize, &keyfile) ==
            WholeFile::kRead &&
        keyfileWifiSsid(keyfile) == ssid) {
      found.push_back((std::filesystem::path(target.location) / name).string());
    }
  }));
  std::sort(found.begin(), found.end());
  return found;
}

bool reloadStack(Stack stack, std::string* error) {
  std::vector<std::string> words;
  switch (stack) {
    case Stack::kNetworkManager:
      words = {"nmcli", "connection", "reload"};
      break;
    case Stack::kWpaSupplicant:
      words = {"wpa_cli", "reconfigure"};
      break;
    case Stack::kIwd:
      return true;
  }
  std::vector<char*> argv(words.size() + 1, nullptr);
  std::transform(words.begin(), words.end(), argv.begin(),
                 [](std::string& word) { return word.data(); });
  std::string command = words[0];
  for (std::size_t i = 1; i < words.size(); ++i) {
    command += " " + words[i];
  }
  pid_t child = 0;
  const int spawned = ::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
  if (spawned != 0) {
    errno = spawned;
    return failWith(error, systemError("cannot run " + command));
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return failWith(error, systemError("cannot wait for " + command));
    }
  }
  if (!WIFEXITED(status)) {
    return failWith(error, command + " was ended by signal " + std::to_string(WTERMSIG(status)));
  }
  // nmcli's 8 is the usual one at boot: NetworkManager is not running yet.
  if (WEXITSTATUS(status) != 0) {
    return failWith(error,
                    command + " failed with exit status " + std::to_string(WEXITSTATUS(status)));
  }
  return true;
}

}  // namespace zezi
