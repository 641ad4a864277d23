// trust-list: the device's trust list file (docs/format.md 9.9) made from public key files,
// checked against the list it replaces; and a list shown in words.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/key_loading.h"
#include "cli/secret_input.h"
#include "cli/serial_counter.h"
#include "cli/time_text.h"
#include "encoding/hex.h"
#include "opener/trust_list.h"
#include "opener/trust_list_file.h"

namespace zezi {
namespace {

constexpr const char* kTrustListHelp =
    "Writes the device's trust list file (/usr/share/doc/zezi-vidad/format.md 9.9) from the\n"
    "signers' public key files (--signer, 1 to 4, the current signer first, then its\n"
    "successors), checked as a device loads it, to -o FILE (mode 0644; replaced only\n"
    "with --force) or standard output.\n"
    "No private key is read. --serial-floor-from reads the floor from the first signer's\n"
    "serial file, the last serial it signed with; --serial-floor gives it as a number.\n"
    "--time-floor is the firmware's build time: RFC 3339 in UTC (2027-01-15T08:00:00Z) or\n"
    "Unix seconds; now when left out.\n"
    "The list it replaces is --previous, else the -o file when it exists. Against it, a\n"
    "lower version and a changed list under the same version are refused, as a device would\n"
    "refuse them. A raised version starts a fresh replay state on every device, from the new\n"
    "list's serial floor: a floor below the replaced list's, for the same first signer, is\n"
    "refused, since the device would accept that signer's older envelopes again, unless\n"
    "--allow-replay-reopen is given. Only the signer's serial file knows its last serial:\n"
    "when the version is raised, take the floor from it with --serial-floor-from.\n"
    "--show FILE prints a list in words: its version, floors, each signer's index and key\n"
    "id, and the fleet key's id (the file does not hold the fleet key: give --fleet-key).\n\n"
    "Example:\n"
    "  zezi-vidad trust-list --signer signer.pub --signer next.pub --fleet-key fleet.pub \\\n"
    "      --version 1 --serial-floor 0 -o device.trust\n\n"
    "  zezi-vidad trust-list --signer next.pub --fleet-key fleet.pub --version 2 \\\n"
    "      --serial-floor-from next.serial -o device.trust --force\n\n"
    "  zezi-vidad trust-list --show device.trust --fleet-key fleet.pub\n";

struct TrustListOptions {
  std::vector<std::string> signers;
  std::string fleetKey;
  std::string version;
  std::string serialFloor;
  std::string serialFloorFrom;
  std::string timeFloor;
  std::string previousPath;
  bool allowReplayReopen = false;
  std::string outputPath;
  bool force = false;
  std::string showPath;
};

bool checkWholeNumber(const std::string& value, std::string* error) {
  return parseUnsigned(value).has_value() ||
         failWith(error, "must be a whole number from 0 to 18446744073709551615");
}

bool checkMoment(const std::string& value, std::string* error) {
  return parseMoment(value).has_value() ||
         failWith(error, "must be RFC 3339 in UTC (2027-01-15T08:00:00Z) or Unix seconds");
}

// The file's text of a list whose keys loadTrustList has checked.
std::string listText(const TrustSettings& settings) {
  std::string text = std::string(kTrustListFileFirstLine) + "\nversion " +
                     std::to_string(settings.version) + "\nserial-floor " +
                     std::to_string(settings.serialFloor) + "\ntime-floor " +
                     std::to_string(settings.timeFloor) + "\n";
  for (const Bytes& key : settings.signerKeys) {
    text += "signer 04" + hexEncode(key) + "\n";
  }
  return text;
}

bool sameList(const TrustSettings& a, const TrustSettings& b) {
  return a.signerKeys == b.signerKeys && a.version == b.version && a.serialFloor == b.serialFloor &&
         a.timeFloor == b.timeFloor;
}

// The list file at `path`, read as a device reads it; `fleetKey` completes it.
bool readListFile(const std::string& path, const Bytes& fleetKey, TrustSettings* settings,
                  std::string* error) {
  SecretText text;
  TrustSettings read;
  read.fleetKey = fleetKey;
  std::string why;
  if (!readInput(path, kMaxTrustListFileSize, &text, error)) {
    return false;
  }
  if (!parseTrustListFile(std::string_view(text.data(), text.size()), &read, &why)) {
    return failWith(error, path + ": " + why);
  }
  *settings = std::move(read);
  return true;
}

class TrustListCommand : public Command {
 public:
  explicit TrustListCommand(CLI::App* command) {
    command->footer(kTrustListHelp);
    takes(command->add_option("--signer", options_.signers,
                              "signer public key file (.pub), current first (repeatable)"),
          "FILE");
    addFleetKeyOption(command, &options_.fleetKey);
    takes(command->add_option("--version", options_.version, "the list's version")
              ->check(checkedBy(checkWholeNumber)),
          "N");
    CLI::Option* floor = takes(command
                                   ->add_option("--serial-floor", options_.serialFloor,
                                                "serials of the first signer up to N count "
                                                "as used")
                                   ->check(checkedBy(checkWholeNumber)),
                               "N");
    takes(command->add_option("--serial-floor-from", options_.serialFloorFrom,
                              "the first signer's serial file, read as the serial floor"),
          "FILE")
        ->excludes(floor);
    takes(command
              ->add_option("--time-floor", options_.timeFloor,
                           "the firmware's build time (default: now)")
              ->check(checkedBy(checkMoment)),
          "TIME");
    takes(command->add_option("--previous", options_.previousPath,
                              "the list this one replaces (default: the -o file)"),
          "FILE");
    once(command->add_flag("--allow-replay-reopen", options_.allowReplayReopen,
                           "write a raised version whose floor reopens replay"));
    takes(command->add_option("-o,--output", options_.outputPath,
                              "trust list file to write (default: standard output)"),
          "FILE");
    once(command->add_flag("--force", options_.force, "replace an existing output file"));
    takes(command->add_option("--show", options_.showPath, "print the list in FILE in words"),
          "FILE");
  }

  [[nodiscard]] bool complete(std::string* error) override {
    const TrustListOptions& o = options_;
    if (!o.showPath.empty()) {
      const bool writing = !o.signers.empty() || !o.version.empty() || !o.serialFloor.empty() ||
                           !o.serialFloorFrom.empty() || !o.timeFloor.empty() ||
                           !o.previousPath.empty() || o.allowReplayReopen ||
                           !o.outputPath.empty() || o.force;
      return !writing || failWith(error, "--show takes --fleet-key alone");
    }
    if (o.signers.empty()) {
      return failWith(error, "trust-list needs --signer, or --show");
    }
    if (o.version.empty()) {
      return failWith(error, "trust-list needs --version");
    }
    if (o.serialFloor.empty() && o.serialFloorFrom.empty()) {
      return failWith(error, "trust-list needs --serial-floor or --serial-floor-from");
    }
    if (o.outputPath == "-") {
      return failWith(error, "-o must name a file: leave it out for standard output");
    }
    return true;
  }

  [[nodiscard]] int run() const override {
    Bytes fleetKey;
    std::string error;
    if (!loadFleetKey(options_.fleetKey, &fleetKey, &error)) {
      return reportFailure(error);
    }
    return options_.showPath.empty() ? write(fleetKey) : show(fleetKey);
  }

 private:
  [[nodiscard]] int show(const Bytes& fleetKey) const {
    TrustSettings settings;
    TrustList list;
    std::string error;
    if (!readListFile(options_.showPath, fleetKey, &settings, &error)) {
      return reportFailure(error);
    }
    if (!loadTrustList(settings, &list, &error)) {
      return reportFailure(options_.showPath + ": " + error);
    }
    std::string text = "version " + std::to_string(list.version()) + "\nserial floor " +
                       std::to_string(list.serialFloor()) + " (signer 0's serials up to it " +
                       "count as used)\ntime floor " + utcText(list.timeFloor()) + " (" +
                       std::to_string(list.timeFloor()) + ")\n";
    for (std::size_t i = 0; i < list.size(); ++i) {
      const Digest& id = list.signerId(i);
      text += "signer " + std::to_string(i) + " " + hexEncode(Bytes(id.begin(), id.end())) +
              (i == 0 ? " (current)\n" : " (successor)\n");
    }
    const Digest& fleetId = list.fleetId();
    text += "fleet " + hexEncode(Bytes(fleetId.begin(), fleetId.end())) + "\n";
    return emit({}, text, false);
  }

  [[nodiscard]] int write(const Bytes& fleetKey) const {
    std::string error;
    if (!options_.outputPath.empty() &&
        !checkWritableTarget(options_.outputPath, options_.force, &error)) {
      return reportFailure(error);
    }
    TrustSettings settings;
    settings.fleetKey = fleetKey;
    settings.version = *parseUnsigned(options_.version);
    settings.timeFloor =
        options_.timeFloor.empty() ? currentUnixTime() : *parseMoment(options_.timeFloor);
    if (settings.timeFloor == 0) {
      return reportFailure("--time-floor must be after 1970-01-01T00:00:00Z", kExitUsage);
    }
    if (options_.serialFloorFrom.empty()) {
      settings.serialFloor = *parseUnsigned(options_.serialFloor);
    } else if (!readLastSerial(options_.serialFloorFrom, &settings.serialFloor, &error)) {
      return reportFailure(error);
    }
    for (const std::string& path : options_.signers) {
      Bytes raw;
      if (!loadPublicKeyText(path, "signer key", "--signer", &raw, &error)) {
        return reportFailure(error);
      }
      settings.signerKeys.push_back(std::move(raw));
    }
    TrustList list;
    if (!loadTrustList(settings, &list, &error)) {
      return reportFailure("cannot make the trust list: " + error);
    }
    if (!followsPrevious(settings, &error)) {
      return reportFailure(error);
    }
    // Read back as a device reads it, so that nothing is written that a device refuses.
    const std::string text = listText(settings);
    TrustSettings readBack;
    readBack.fleetKey = fleetKey;
    if (!parseTrustListFile(text, &readBack, &error) || !sameList(readBack, settings)) {
      return reportFailure("the trust list does not read back as written: " + error);
    }
    return emit(options_.outputPath, text, options_.force);
  }

  // The list replaced: --previous, else the output file when it exists.
  [[nodiscard]] std::string previousPath() const {
    if (!options_.previousPath.empty()) {
      return options_.previousPath;
    }
    struct stat info {};
    return !options_.outputPath.empty() && ::stat(options_.outputPath.c_str(), &info) == 0
               ? options_.outputPath
               : std::string();
  }

  // False with the reason when a device holding the previous list would refuse `next`, or
  // would accept the first signer's older envelopes again under it.
  [[nodiscard]] bool followsPrevious(const TrustSettings& next, std::string* error) const {
    const std::string path = previousPath();
    if (path.empty()) {
      return true;
    }
    TrustSettings previous;
    if (!readListFile(path, next.fleetKey, &previous, error)) {
      return failWith(error, "cannot read the list this one replaces: " + *error);
    }
    const std::string version = std::to_string(next.version);
    const std::string previousVersion = std::to_string(previous.version);
    if (next.version < previous.version) {
      return failWith(error, "--version " + version + " is below " + path + "'s version " +
                                 previousVersion +
                                 ": a device holding that list refuses every envelope under "
                                 "this one");
    }
    if (next.version == previous.version) {
      return sameList(next, previous) ||
             failWith(error, "the list differs from " + path + " under the same version " +
                                 version +
                                 ": raise --version, as a device refuses a changed list of "
                                 "the same version");
    }
    if (next.signerKeys.front() != previous.signerKeys.front() ||
        next.serialFloor >= previous.serialFloor || options_.allowReplayReopen) {
      return true;
    }
    return failWith(error, "serial floor " + std::to_string(next.serialFloor) + " is below " +
                               std::to_string(previous.serialFloor) + ", " + path +
                               "'s floor for the same first signer: version " + version +
                               " starts a fresh replay state on the device, which would accept "
                               "that signer's older envelopes again (take the floor from its "
                               "serial file with --serial-floor-from, or give "
                               "--allow-replay-reopen)");
  }

  TrustListOptions options_;
};

}  // namespace

const CommandEntry kTrustListCommand{"trust-list",
                                     "write a device trust list from public keys, or show one",
                                     addCommand<TrustListCommand>};

}  // namespace zezi
