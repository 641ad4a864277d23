// apply: the device's command. Envelopes from a drive or the boot partition are checked
// against the trust list and the replay state as open --trust does, opened with the fleet
// key and written into the WiFi stack's own configuration; the state is committed only
// once the configuration is on the disk.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/failure.h"
#include "base/file_descriptor.h"
#include "cli/atomic_file.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/display_json.h"
#include "cli/key_loading.h"
#include "cli/signing.h"
#include "cli/time_text.h"
#include "crypto/signature.h"
#include "encoding/hex.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "opener/verify_signature.h"
#include "sealer/key_files.h"
#include "stacks/config_writer.h"
#include "stacks/stack_config.h"

namespace zezi {
namespace {

constexpr const char* kApplyHelp =
    "Applies envelopes as a device does: each one is checked against the trust list and the\n"
    "replay state (as open --trust does), opened with the fleet key and its network written\n"
    "into the WiFi stack's configuration, which is on the disk before the state is saved.\n"
    "--source reads every *.json at the top of a folder (a drive or the boot partition; case\n"
    "ignored, hidden names skipped, regular files only), each with its .sig beside it, in the\n"
    "order of their signer and serial; --envelope reads one. A network the tool wrote before\n"
    "for the same SSID is replaced, never repeated, and nothing else is touched:\n"
    "  networkmanager  zezi-<name>.nmconnection in --config-dir\n"
    "                  (/etc/NetworkManager/system-connections)\n"
    "  wpa-supplicant  a marked network block in --config-file\n"
    "                  (/etc/wpa_supplicant/wpa_supplicant.conf; made with a ctrl_interface\n"
    "                  line when missing)\n"
    "  iwd             <SSID>.psk in --config-dir (/var/lib/iwd); an SSID that is not\n"
    "                  UTF-8 is refused, since iwd never joins one\n"
    "The envelope the state accepted last (the same octets) is opened again without the\n"
    "replay check and reported unchanged when the stack holds its network already. One line\n"
    "per envelope on standard error: applied, unchanged or refused and why. --reload asks the\n"
    "stack to read its configuration (nmcli connection reload, wpa_cli reconfigure);\n"
    "--dry-run says what would change and writes nothing. --config reads settings as\n"
    "key = \"value\" lines named as the long options (the command line wins). Exit status 0\n"
    "when every envelope was applied or unchanged, or none was found, 1 when any failed.\n\n"
    "Example:\n"
    "  zezi-vidad apply --private /etc/zezi-vidad/fleet.key --source /media/usb \\\n"
    "      --trust-list /etc/zezi-vidad/trust.list --state /var/lib/zezi-vidad/state \\\n"
    "      --stack networkmanager --reload\n";

// Read whole so that the verifier, not the reader, judges a file over 1 KiB.
constexpr std::size_t kMaxSignatureRead = std::size_t{64} * 1024;

struct ApplyOptions {
  std::string privatePath;
  std::string sourcePath;
  std::string envelopePath;
  std::vector<std::string> trust;
  std::string trustListPath;
  std::string statePath;
  std::string policy;  // "required" (when empty) or "transition"
  bool now = false;
  std::string stack;
  std::string configDir;
  std::string configFile;
  bool reload = false;
  bool dryRun = false;
};

std::string checkPolicy(const std::string& policy) {
  return policy == "required" || policy == "transition"
             ? std::string()
             : std::string("must be required or transition");
}

std::string checkStack(const std::string& stack) {
  return stackNamed(stack) ? std::string()
                           : std::string("must be networkmanager, wpa-supplicant or iwd");
}

// An envelope file and the signature file beside it, as read from the source.
struct Candidate {
  std::string name;  // as the folder gives it
  SecretText envelope;
  std::optional<std::string> signatureFile;
  std::string readError;  // why it cannot be applied, when it could not be read
  // Its place in the order of application.
  std::tuple<int, std::size_t, std::uint64_t, std::string> order;
};

bool isPlainName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_' ||
           c == '+';
  });
}

// A name from the drive, shown so that it cannot disturb the terminal.
std::string shownName(std::string_view name) {
  if (isPlainName(name)) {
    return std::string(name);
  }
  const std::string json = displaySafeJsonString(name);
  return json != "null" ? json : "name hex " + hexEncode(textToBytes(name));
}

std::string shownSsid(std::string_view ssid) {
  const std::string json = displaySafeJsonString(ssid);
  return json != "null" ? "SSID " + json : "SSID hex " + hexEncode(textToBytes(ssid));
}

bool hasJsonSuffix(std::string_view name) {
  constexpr std::string_view kSuffix = ".json";
  if (name.size() <= kSuffix.size()) {
    return false;
  }
  const std::string_view end = name.substr(name.size() - kSuffix.size());
  return std::equal(end.begin(), end.end(), kSuffix.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

enum class SourceRead : std::uint8_t { kRead, kMissing, kRefused };

// Reads `name` at the top of `folder`: a regular file only (never a symlink, FIFO or
// device, and never waiting on one), at most `maxSize` octets.
template <typename Container>
SourceRead readSourceFile(int folder, const std::string& name, std::size_t maxSize, Container* out,
                          std::string* why) {
  UniqueFd file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno == ENOENT) {
      return SourceRead::kMissing;
    }
    *why = errno == ELOOP ? "a symlink, which is never followed" : systemError("cannot be read");
    return SourceRead::kRefused;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *why = "not a regular file";
    return SourceRead::kRefused;
  }
  switch (readAll(file.get(), maxSize, out)) {
    case WholeRead::kRead:
      return SourceRead::kRead;
    case WholeRead::kTooLarge:
      *why = "too large";
      return SourceRead::kRefused;
    case WholeRead::kFailed:
      break;
  }
  *why = systemError("cannot be read");
  return SourceRead::kRefused;
}

Candidate readCandidate(int folder, const std::string& name) {
  Candidate candidate;
  candidate.name = name;
  std::string why;
  if (readSourceFile(folder, name, kMaxEnvelopeSize, &candidate.envelope, &why) !=
      SourceRead::kRead) {
    candidate.readError = why.empty() ? std::string("missing") : why;
    return candidate;
  }
  const std::string signatureName =
      std::filesystem::path(signaturePathOf(name)).filename().string();
  std::string signature;
  switch (readSourceFile(folder, signatureName, kMaxSignatureRead, &signature, &why)) {
    case SourceRead::kRead:
      candidate.signatureFile = std::move(signature);
      break;
    case SourceRead::kMissing:
      break;
    case SourceRead::kRefused:
      candidate.readError = "its signature file is " + why;
      break;
  }
  return candidate;
}

// The envelope files of the source folder, or the one --envelope names.
bool readCandidates(const ApplyOptions& options, std::vector<Candidate>* out, std::string* error) {
  const bool one = !options.envelopePath.empty();
  const std::string folderPath = one ? folderOf(options.envelopePath) : options.sourcePath;
  UniqueFd folder;
  if (!openFolder(folderPath, &folder)) {
    return failWith(error, systemError(one ? "cannot read the envelope's folder"
                                           : "cannot read the source folder"));
  }
  std::vector<std::string> names;
  if (one) {
    names.push_back(std::filesystem::path(options.envelopePath).filename().string());
  } else {
    const int listed = ::dup(folder.get());
    DIR* entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (entries == nullptr) {
      if (listed >= 0) {
        ::close(listed);
      }
      return failWith(error, systemError("cannot read the source folder"));
    }
    while (const dirent* entry = ::readdir(entries)) {
      const std::string_view name = entry->d_name;
      if (!name.starts_with('.') && hasJsonSuffix(name)) {
        names.emplace_back(name);
      }
    }
    ::closedir(entries);
    std::sort(names.begin(), names.end());
  }
  std::transform(names.begin(), names.end(), std::back_inserter(*out),
                 [&folder](const std::string& name) { return readCandidate(folder.get(), name); });
  return true;
}

class Apply : public Command {
 public:
  explicit Apply(CLI::App* command) {
    command->footer(kApplyHelp);
    // Declared first, so that its callback fills the options before theirs run.
    takes(command->add_option_function<std::string>(
              "--config", [command](const std::string& path) { readSettings(command, path); },
              "settings file: key = \"value\" lines, named as the options"),
          "FILE");
    takes(command->add_option("--private", options_.privatePath, "private key file"), "FILE")
        ->required();
    CLI::Option* source =
        takes(command->add_option("--source", options_.sourcePath, "folder of envelopes (a drive)"),
              "DIR");
    takes(command->add_option("--envelope", options_.envelopePath, "one envelope file"), "FILE")
        ->excludes(source);
    addTrustOptions(command, &options_.trust, &options_.trustListPath);
    takes(command->add_option("--state", options_.statePath, "the device's replay state file"),
          "FILE")
        ->required();
    takes(command->add_option("--policy", options_.policy, "required (default) or transition"),
          "POLICY")
        ->check(CLI::Validator(checkPolicy, ""));
    once(command->add_flag("--now", options_.now, "trust this machine's clock"));
    takes(command->add_option("--stack", options_.stack, "networkmanager, wpa-supplicant or iwd"),
          "STACK")
        ->required()
        ->check(CLI::Validator(checkStack, ""));
    CLI::Option* dir = takes(command->add_option("--config-dir", options_.configDir,
                                                 "the stack's folder (networkmanager, iwd)"),
                             "DIR");
    takes(command->add_option("--config-file", options_.configFile,
                              "the stack's file (wpa-supplicant)"),
          "FILE")
        ->excludes(dir);
    once(command->add_flag("--reload", options_.reload, "ask the stack to read its configuration"));
    once(command->add_flag("--dry-run", options_.dryRun, "say what would change, write nothing"));
  }

  // Gives each option not on the command line its value from the settings file, as CLI11
  // does for a tool's own config file (which it reads for the top command only).
  static void readSettings(CLI::App* command, const std::string& path) {
    std::vector<CLI::ConfigItem> items;
    try {
      items = command->get_config_formatter()->from_file(path);
    } catch (const CLI::FileError&) {
      throw CLI::ValidationError("--config", "must name a settings file that can be read");
    }
    for (const CLI::ConfigItem& item : items) {
      if (item.name == "++" || item.name == "--") {
        continue;
      }
      CLI::Option* option = command->get_option_no_throw("--" + item.name);
      if (option == nullptr || !item.parents.empty() || item.name == "config") {
        throw CLI::ValidationError("--config", "must name only apply's options, without sections");
      }
      if (option->count() > 0) {
        continue;  // the command line wins
      }
      if (option->get_expected_min() == 0) {
        option->add_result(
            option->get_flag_value(item.name, command->get_config_formatter()->to_flag(item)));
      } else {
        option->add_result(item.inputs);
      }
    }
  }

  [[nodiscard]] std::optional<std::string> complete() override {
    if (options_.sourcePath.empty() == options_.envelopePath.empty()) {
      return "give --source or --envelope";
    }
    if (options_.trust.empty() && options_.trustListPath.empty()) {
      return "give --trust or --trust-list";
    }
    const Stack stack = *stackNamed(options_.stack);
    if (stack == Stack::kWpaSupplicant && !options_.configDir.empty()) {
      return "--config-dir goes with networkmanager and iwd; wpa-supplicant takes --config-file";
    }
    if (stack != Stack::kWpaSupplicant && !options_.configFile.empty()) {
      return "--config-file goes with wpa-supplicant; networkmanager and iwd take --config-dir";
    }
    target_.stack = stack;
    target_.location = !options_.configDir.empty()    ? options_.configDir
                       : !options_.configFile.empty() ? options_.configFile
                                                      : defaultLocation(stack);
    return std::nullopt;
  }

  [[nodiscard]] int run() const override {
    PrivateKey key;
    TrustList trustList;
    std::vector<Candidate> candidates;
    std::string error;
    if (!loadPrivateKey(options_.privatePath, "--private", &key, &error) ||
        !loadDeviceTrust(options_.trust, options_.trustListPath, key.rawPublicKey(), &trustList,
                         &error) ||
        !readCandidates(options_, &candidates, &error)) {
      return reportFailure(error);
    }
    // Held until the last state is saved, so that no other opener accepts meanwhile.
    ReplayStateLock lock;
    if (!options_.dryRun && !lock.acquire(options_.statePath, &error)) {
      return reportFailure(error);
    }
    orderCandidates(trustList, &candidates);
    bool failed = false;
    bool written = false;
    for (const Candidate& candidate : candidates) {
      ConfigChange change = ConfigChange::kUnchanged;
      std::string line;
      if (applyOne(candidate, trustList, key, &change, &line)) {
        written = written || change == ConfigChange::kWritten;
      } else {
        failed = true;
      }
      // As is: a capital in the file's name is not lowered as in reportFailure.
      static_cast<void>(std::fprintf(stderr, "zezi-vidad: %s: %s\n",
                                     shownName(candidate.name).c_str(), line.c_str()));
    }
    if (options_.reload && written && !options_.dryRun && !reloadStack(target_.stack, &error)) {
      return reportFailure(error);
    }
    return failed ? kExitFailure : kExitOk;
  }

 private:
  [[nodiscard]] SignatureInput inputFor(const Candidate& candidate,
                                        const ReplayState* state) const {
    SignatureInput input;
    input.envelope = candidate.envelope;
    if (candidate.signatureFile) {
      input.signatureFile = *candidate.signatureFile;
    }
    input.state = state;
    input.policy =
        options_.policy == "transition" ? SignaturePolicy::kTransition : SignaturePolicy::kRequired;
    if (options_.now) {
      input.now = currentUnixTime();
    }
    return input;
  }

  // Unsigned envelopes and the one accepted last first, then the ones that verify now by
  // signer and serial, then those that will be refused, each group by name.
  void orderCandidates(const TrustList& trustList, std::vector<Candidate>* candidates) const {
    ReplayState stored;
    const bool readable = loadReplayState(options_.statePath, trustList, &stored);
    for (Candidate& candidate : *candidates) {
      VerifiedSignature verified;
      ReplayState next;
      Digest hash{};
      const bool whole = candidate.readError.empty() && sha256(candidate.envelope, &hash);
      int group = 2;  // refused on reading, or by the checks as things stand
      if (whole && (!candidate.signatureFile || (readable && stored.hasAcceptedSignature() &&
                                                 hash == stored.acceptedEnvelopeSha256))) {
        group = 0;
      } else if (whole && readable &&
                 verifySignature(inputFor(candidate, &stored), trustList, &verified, &next,
                                 nullptr)) {
        group = 1;
      }
      candidate.order =
          group == 1
              ? std::make_tuple(1, verified.keyIndex, verified.statement.serial, candidate.name)
              : std::make_tuple(group, std::size_t{0}, std::uint64_t{0}, candidate.name);
    }
    std::stable_sort(candidates->begin(), candidates->end(),
                     [](const Candidate& a, const Candidate& b) { return a.order < b.order; });
  }

  // Checks, opens and writes one envelope; `*line` gets what is reported for it.
  [[nodiscard]] bool applyOne(const Candidate& candidate, const TrustList& trustList,
                              const PrivateKey& key, ConfigChange* change,
                              std::string* line) const {
    if (!candidate.readError.empty()) {
      return failWith(line, "refused: " + candidate.readError);
    }
    ReplayState stored;
    const bool readable = loadReplayState(options_.statePath, trustList, &stored);
    Digest hash{};
    if (!sha256(candidate.envelope, &hash)) {
      return failWith(line, "refused: cannot hash the envelope");
    }
    Network network;
    VerifiedSignature verified;
    ReplayState next = stored;
    std::string why;
    // The envelope accepted last: the state recorded its octets once its signature had
    // passed, so only the replay check would refuse it now; it is opened again to see
    // whether the stack still holds its network.
    const bool acceptedBefore =
        readable && stored.hasAcceptedSignature() && hash == stored.acceptedEnvelopeSha256;
    const bool opened = acceptedBefore ? openEnvelopeWith(key, candidate.envelope, &network, &why)
                                       : openSignedEnvelopeWith(
                                             key, inputFor(candidate, readable ? &stored : nullptr),
                                             trustList, &network, &verified, &next, &why);
    if (!opened) {
      return failWith(line, "refused: cannot open the envelope: " + why);
    }
    if (!writeNetwork(target_, network, options_.dryRun, change, &why)) {
      return failWith(line, "refused: " + why);
    }
    // The configuration is on the disk; a crash before this line applies the envelope again.
    if (!options_.dryRun && !acceptedBefore && verified.isSigned && next != stored &&
        !commitReplayState(options_.statePath, next, &why)) {
      return failWith(line, "refused: cannot save the replay state: " + why);
    }
    const char* done = *change == ConfigChange::kUnchanged ? "unchanged"
                       : options_.dryRun                   ? "would apply"
                                                           : "applied";
    *line = std::string(done) + ": " + shownSsid(network.ssid) + " in " +
            configPathOf(target_, network);
    return true;
  }

  ApplyOptions options_;
  StackTarget target_;
};

}  // namespace

const CommandEntry kApplyCommand{"apply", "apply envelopes to this device's WiFi stack",
                                 addCommand<Apply>};

}  // namespace zezi
