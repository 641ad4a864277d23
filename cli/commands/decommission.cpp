// decommission: a device taken out of service. The networks its replay state records as
// written by the tool are removed from the stack, as apply removes a withdrawn one; then the
// replay state with its lock and record of the last run, and the fleet key and trust list
// files the settings name. Nothing else in the stack is touched.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/failure.h"
#include "cli/command.h"
#include "cli/device_options.h"
#include "cli/device_report.h"
#include "cli/diagnostics.h"
#include "encoding/hex.h"
#include "opener/replay_store.h"

namespace zezi {
namespace {

constexpr const char* kDecommissionHelp =
    "Takes this device out of service, read from the same settings as apply (--config):\n"
    "every network the replay state records as written by zezi-vidad is removed from the\n"
    "stack, as apply removes a withdrawn one (the operator's own profiles and every other\n"
    "network stay); --reload then asks the stack to read its configuration. Once they are\n"
    "gone, the replay state is removed with its .lock and .last-run beside it, and then the\n"
    "fleet key file (--private) and the trust list file (--trust-list); signers' public keys\n"
    "given with --trust stay. A key held in the TPM at a handle is not evicted: the line\n"
    "says how. One line on standard error per thing removed. Nothing is done without --yes.\n"
    "Exit status 0 when everything is gone; 2 without --yes; 1 when there is no replay\n"
    "state, or a network could not be removed (the state and keys then stay, so that the\n"
    "command can be run again), or one whose SSID the state no longer knows is left, or the\n"
    "reload failed.\n\n"
    "Example:\n"
    "  zezi-vidad-device decommission --config /etc/zezi-vidad/device.conf --reload --yes\n";

constexpr const char* kHandlePrefix = "handle:";

struct DecommissionOptions {
  DeviceOptions device;
  bool reload = false;
  bool yes = false;
};

void say(const std::string& line) {
  static_cast<void>(std::fprintf(stderr, "zezi-vidad: %s\n", line.c_str()));
}

// Removes the file at `path`, saying so; a file already gone is no failure.
bool removeFile(const std::string& path, const std::string& what) {
  if (::unlink(path.c_str()) == 0) {
    say("removed: " + what + " " + path);
    return true;
  }
  if (errno == ENOENT) {
    return true;
  }
  reportFailure(systemError("cannot remove " + what + " " + path));
  return false;
}

class Decommission : public Command {
 public:
  explicit Decommission(CLI::App* command) {
    command->footer(kDecommissionHelp);
    addDeviceOptions(command, &options_.device,
                     {"policy", "now", "revoked", "source", "envelope", "dry-run", "json"});
    once(command->add_flag("--reload", options_.reload, "ask the stack to read its configuration"));
    once(command->add_flag("--yes", options_.yes, "remove them: nothing is done without it"));
  }

  [[nodiscard]] bool complete(std::string* error) override {
    if (!options_.yes) {
      return failWith(error,
                      "decommission removes this device's networks, replay state and keys: give "
                      "--yes");
    }
    return completeDeviceOptions(options_.device, &target_, error);
  }

  [[nodiscard]] int run() const override {
    const std::string& statePath = options_.device.statePath;
    struct stat status {};
    if (::lstat(statePath.c_str(), &status) != 0) {
      return reportFailure("no replay state at " + statePath +
                           ": which networks are this device's is not known");
    }
    PrivateKey key;
    TrustList trustList;
    ReplayState state;
    ReplayStateLock lock;
    std::string error;
    if (!loadDevice(options_.device, &key, &trustList, &error) ||
        !lock.acquire(statePath, &error)) {
      return reportFailure(error);
    }
    if (!loadReplayState(statePath, trustList, &state)) {
      return reportFailure("replay state is unreadable: " + statePath);
    }
    bool failed = false;
    bool changed = false;
    for (const SetMember& member : state.set) {
      if (!member.ssid) {
        say("kept: envelope " +
            hexEncode(Bytes(member.envelopeSha256.begin(), member.envelopeSha256.end())) +
            ": the state no longer knows its SSID; remove its network by hand");
        failed = true;
        continue;
      }
      ConfigChange change = ConfigChange::kUnchanged;
      if (!removeNetwork(target_, *member.ssid, false, &change, &error)) {
        return reportFailure("kept: " + shownSsid(*member.ssid) + ": " + error +
                             "; the replay state and keys stay");
      }
      changed = changed || change == ConfigChange::kWritten;
      say((change == ConfigChange::kWritten ? "removed: " : "gone already: ") +
          shownSsid(*member.ssid) + " from " + configPathOf(target_, Network{*member.ssid, {}}));
    }
    if (options_.reload && changed && !reloadStack(target_.stack, &error)) {
      failed = true;
      reportFailure(error);
    }
    return removeFiles() && !failed ? kExitOk : kExitFailure;
  }

 private:
  // The state's files, beside the file a symlink at its path leads to, then the keys.
  [[nodiscard]] bool removeFiles() const {
    const std::string& statePath = options_.device.statePath;
    std::string target = statePath;
    if (char* resolved = ::realpath(statePath.c_str(), nullptr); resolved != nullptr) {
      target = resolved;
      std::free(resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath's own allocation
    }
    bool removed = removeFile(target, "replay state") &&
                   removeFile(target + ".lock", "replay state lock") &&
                   removeFile(target + ".last-run", "record of the last run");
    if (removed && target != statePath) {
      removed = removeFile(statePath, "link to the replay state");
    }
    const std::string& privatePath = options_.device.privatePath;
    if (removed && privatePath.starts_with(kHandlePrefix)) {
      const std::string handle = privatePath.substr(std::string(kHandlePrefix).size());
      say("kept: the fleet key at " + privatePath +
          " stays in the TPM: tpm2_evictcontrol -C o -c " + handle + " evicts it");
    } else if (removed) {
      removed = removeFile(privatePath, "fleet key");
    }
    if (removed && !options_.device.trustListPath.empty()) {
      removed = removeFile(options_.device.trustListPath, "trust list");
    }
    return removed;
  }

  DecommissionOptions options_;
  StackTarget target_;
};

}  // namespace

const CommandEntry kDecommissionCommand{
    "decommission", "take this device out of service: its networks, replay state and keys",
    addCommand<Decommission>};

}  // namespace zezi
