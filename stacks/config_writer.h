// Writing a network into a WiFi stack's configuration, and asking the stack to read it
// again. Files are written whole (0600, owned by the running user) by base/'s AtomicFile:
// beside the target, flushed, renamed over it and the folder flushed, so that a crash leaves
// the old file or the new one. A symlink at the target's name is refused, never
// followed; nothing but the target the network names is touched.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "opener/open_envelope.h"
#include "stacks/stack_config.h"

namespace zezi {

// Where a stack's configuration lives: the folder of NetworkManager's keyfiles or iwd's
// network files, or wpa_supplicant's configuration file.
struct StackTarget {
  Stack stack = Stack::kNetworkManager;
  std::string location;
};

// The stack's usual place: /etc/NetworkManager/system-connections,
// /etc/wpa_supplicant/wpa_supplicant.conf or /var/lib/iwd.
[[nodiscard]] std::string defaultLocation(Stack stack);

// The file the network goes in: a keyfile or an iwd file in the folder, or the wpa file.
[[nodiscard]] std::string configPathOf(const StackTarget& target, const Network& network);

enum class ConfigChange : std::uint8_t {
  kUnchanged,  // the stack holds this network already: the file would stay as it is
  kWritten,    // written (or removed), or with `dryRun` would be
};

// Puts the network in the stack's configuration, replacing what the tool wrote before for
// the same SSID (NetworkManager: also the keyfile under the name earlier builds gave it,
// which is removed after the new one is written; wpa_supplicant: also a block of the SSID
// without marker lines; iwd: only the key and AutoConnect of an existing file, see
// mergeIwdFile), and says whether anything changed. With `dryRun` nothing is written. iwd's
// usual folder, which iwd makes only when it first starts, is made (0700) when missing and
// its parent is there. The file is on the disk, its folder flushed, when this returns true.
// False with a message naming the file (never a secret) when it cannot be read or written,
// or when the stack cannot join the network at all (iwd and an SSID that is not UTF-8).
[[nodiscard]] bool writeNetwork(const StackTarget& target, const Network& network, bool dryRun,
                                ConfigChange* change, std::string* error);

// Takes the network of `ssid` that the tool wrote out of the stack's configuration: its
// keyfile (under either name, see legacyKeyfileName) or iwd file is removed, its wpa_supplicant
// block cut out of the file, and the folder flushed. kUnchanged when there is none. With `dryRun`
// nothing is removed. False with a message naming the file when it cannot be read or changed, or is
// not a regular file.
[[nodiscard]] bool removeNetwork(const StackTarget& target, std::string_view ssid, bool dryRun,
                                 ConfigChange* change, std::string* error);

// The NetworkManager profiles of `ssid` that the tool did not write: the paths of the files
// in the target's folder, by name, whose [wifi] ssid is the SSID, but the SSID's own
// keyfile names. NetworkManager holds them beside the tool's profile and may join with
// their secret instead. Bounded: hidden files and symlinks are passed over, at most
// kMaxProfilesRead other files read, each only when it is a regular file of at most
// kMaxProfileSize octets. Empty for the other stacks, and when the folder cannot be listed.
[[nodiscard]] std::vector<std::string> foreignProfiles(const StackTarget& target,
                                                       std::string_view ssid);
inline constexpr std::size_t kMaxProfilesRead = 256;
inline constexpr std::size_t kMaxProfileSize = std::size_t{64} * 1024;

// Asks the stack to read its configuration again: nmcli connection reload, wpa_cli
// reconfigure; nothing for iwd, which watches its folder. Spawned without a shell; false
// with a message when the program cannot run or fails.
[[nodiscard]] bool reloadStack(Stack stack, std::string* error);

}  // namespace zezi
