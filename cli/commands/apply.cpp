// apply: the device's command. The envelopes of a drive or the boot partition are checked
// against the trust list and the replay state as open --trust does, opened with the fleet
// key and written into the WiFi stack's own configuration; the networks the newest set
// dropped are removed; the state is committed once, when the configuration is on the disk.
#include <cstdio>
#include <string>

#include "base/failure.h"
#include "cli/command.h"
#include "cli/device_options.h"
#include "cli/device_report.h"
#include "cli/diagnostics.h"
#include "cli/time_text.h"
#include "cli/trust_options.h"
#include "device/apply_run.h"
#include "device/drive_reader.h"

namespace zezi {
namespace {

constexpr const char* kApplyHelp =
    "Applies envelopes as a device does: each one is checked against the trust list and the\n"
    "replay state (as open --trust does), every check every time, opened with the fleet key\n"
    "and its network written into the WiFi stack's configuration:\n"
    "  networkmanager  zezi-<name>.nmconnection in --config-dir\n"
    "                  (/etc/NetworkManager/system-connections)\n"
    "  wpa-supplicant  a marked network block in --config-file\n"
    "                  (/etc/wpa_supplicant/wpa_supplicant.conf; made with a ctrl_interface\n"
    "                  line when missing), in place of any block of the same SSID, such\n"
    "                  as save_config writes back without the marks\n"
    "  iwd             <SSID>.psk in --config-dir (/var/lib/iwd), keeping the other\n"
    "                  settings of one there; an SSID that is not UTF-8 is refused,\n"
    "                  since iwd never joins one\n"
    "--source reads every *.json at the top of a folder (a drive or the boot partition; case\n"
    "ignored, hidden names skipped, regular files only), each with its .sig beside it, up to\n"
    "64 by name (any more are not read, which is said and exits 1; a folder without any says\n"
    "which of its subfolders hold some); --envelope reads one. The envelopes signed with one "
    "serial are one set, and the device\n"
    "holds the networks of the newest set alone: a higher serial (or a successor signer)\n"
    "starts a new set, and once the drive is read, every network an earlier set wrote that\n"
    "the new one does not hold is removed. An envelope of the set read again is unchanged\n"
    "(or written again where its file was deleted or differs); an older serial is refused.\n"
    "Networks of a signer the trust list no longer holds are never written again; --revoked\n"
    "keep (the default) leaves those written, with a warning at every run, withdraw removes\n"
    "them. The replay state is saved last, once, when everything is on the disk.\n"
    "One line per envelope and per removed or kept network on standard error: applied,\n"
    "unchanged, refused and why, removed, kept; --json prints the same to standard output as\n"
    "one JSON object per line (file, result, reason, ssid, ssid_hex, stack_file). --reload asks\n"
    "the stack to read its configuration (nmcli connection reload, wpa_cli reconfigure); one\n"
    "that failed is tried again at every run until it succeeds. --dry-run says what would\n"
    "change and writes nothing. status shows what the device holds and the last run.\n"
    "--config reads settings as key = \"value\" lines named as the long options (the command\n"
    "line wins). Exit status 0 when every envelope was applied or unchanged, or none was\n"
    "found; 1 when any was refused or the reload failed; 3 when networks were written but the\n"
    "replay state could not be saved (the next run applies the same envelopes again).\n"
    "--private is the fleet private key: a PEM file, or a key held in a TPM, its wrapped key\n"
    "file (TSS2 PRIVATE KEY, as zezi-vidad-tpm-import writes it) or its handle,\n"
    "handle:0x81000001 (/usr/share/doc/zezi-vidad-device/tpm.md). The trust list and the\n"
    "signers' keys are public and never held there. The installed settings\n"
    "(/etc/zezi-vidad/device.conf) name /etc/zezi-vidad/fleet.key,\n"
    "/etc/zezi-vidad/device.trust and /var/lib/zezi-vidad/replay.state.\n\n"
    "Example:\n"
    "  zezi-vidad apply --private /etc/zezi-vidad/fleet.key --source /media/usb \\\n"
    "      --trust-list /etc/zezi-vidad/device.trust --state /var/lib/zezi-vidad/replay.state \\\n"
    "      --stack networkmanager --reload\n";

// Networks written but the replay state not saved: the next run applies them again.
constexpr int kExitStateNotSaved = 3;

struct ApplyOptions {
  DeviceOptions device;
  std::string sourcePath;
  std::string envelopePath;
  std::string policy;   // "required" (when empty) or "transition"
  std::string revoked;  // "keep" (when empty) or "withdraw"
  bool now = false;
  bool reload = false;
  bool dryRun = false;
  bool json = false;
};

bool checkRevoked(const std::string& revoked, std::string* error) {
  return revoked == "keep" || revoked == "withdraw" || failWith(error, "must be keep or withdraw");
}

class Apply : public Command {
 public:
  explicit Apply(CLI::App* command) {
    command->footer(kApplyHelp);
    addDeviceOptions(command, &options_.device, {});
    CLI::Option* source =
        takes(command->add_option("--source", options_.sourcePath, "folder of envelopes (a drive)"),
              "DIR");
    takes(command->add_option("--envelope", options_.envelopePath, "one envelope file"), "FILE")
        ->excludes(source);
    takes(command->add_option("--policy", options_.policy, "required (default) or transition"),
          "POLICY")
        ->check(checkedBy(checkPolicy));
    takes(command->add_option("--revoked", options_.revoked,
                              "networks of a signer no longer trusted: keep (default) or withdraw"),
          "WHAT")
        ->check(checkedBy(checkRevoked));
    once(command->add_flag("--now", options_.now, "trust this machine's clock"));
    once(command->add_flag("--reload", options_.reload, "ask the stack to read its configuration"));
    once(command->add_flag("--dry-run", options_.dryRun, "say what would change, write nothing"));
    once(command->add_flag("--json", options_.json, "one JSON object per line on standard output"));
  }

  [[nodiscard]] bool complete(std::string* error) override {
    if (options_.sourcePath.empty() == options_.envelopePath.empty()) {
      return failWith(error, "give --source or --envelope");
    }
    return completeDeviceOptions(options_.device, &target_, error);
  }

  [[nodiscard]] int run() const override {
    PrivateKey key;
    TrustList trustList;
    SourceListing source;
    std::string error;
    if (!loadDevice(options_.device, &key, &trustList, &error) ||
        !readSource(options_.sourcePath, options_.envelopePath, &source, &error)) {
      return reportFailure(error);
    }
    showListing(source);
    ApplyRun run(
        settings(), trustList,
        [&key](const SignatureInput& input, const TrustList& list, Network* network,
               VerifiedSignature* verified, ReplayState* state, std::string* why) {
          return openSignedEnvelopeWith(key, input, list, network, verified, state, why);
        },
        RunListener{[this](const EnvelopeReport& report) { show(report); },
                    [this](const NetworkReport& report) { show(report); }});
    if (!run.lock(&error)) {
      return reportFailure(error);
    }
    const std::string& statePath = options_.device.statePath;
    RunReport previous;
    bool found = false;
    std::string why;
    const bool reloadPending =
        loadRunReport(statePath, &previous, &found, &why) && found && previous.reloadPending;
    RunResult result = run.apply(std::move(source.candidates), reloadPending);
    bool failed = result.refused || source.notRead > 0;
    if (!result.report.problem.empty()) {
      reportFailure(result.report.problem);
    }
    if (!options_.dryRun && !saveRunReport(statePath, result.report, &why)) {
      failed = failed || result.report.reloadPending;
      reportFailure("cannot keep the record of this run for status: " + why);
    }
    if (!result.stateSaved) {
      return kExitStateNotSaved;
    }
    return failed ? kExitFailure : kExitOk;
  }

 private:
  [[nodiscard]] ApplySettings settings() const {
    ApplySettings settings;
    settings.target = target_;
    settings.statePath = options_.device.statePath;
    settings.policy =
        options_.policy == "transition" ? SignaturePolicy::kTransition : SignaturePolicy::kRequired;
    settings.revoked =
        options_.revoked == "withdraw" ? RevokedNetworks::kWithdraw : RevokedNetworks::kKeep;
    settings.runTime = currentUnixTime();
    if (options_.now) {
      settings.now = settings.runTime;
    }
    settings.reload = options_.reload;
    settings.dryRun = options_.dryRun;
    return settings;
  }

  // What the source holds besides the envelopes read: more than a drive may hold, or none
  // at its top.
  void showListing(const SourceListing& source) const {
    if (source.notRead > 0) {
      static_cast<void>(std::fprintf(stderr,
                                     "zezi-vidad: %zu more *.json files in %s were not read: a "
                                     "source holds at most %zu envelopes\n",
                                     source.notRead, options_.sourcePath.c_str(),
                                     kMaxEnvelopesPerSource));
    } else if (source.candidates.empty()) {
      std::string where;
      for (const std::string& folder : source.foldersWithEnvelopes) {
        where += (where.empty() ? "" : ", ") + shownName(folder) + "/";
      }
      if (!where.empty()) {
        where = "; " + where + (source.foldersWithEnvelopes.size() == 1 ? " holds" : " hold") +
                " some, but only the top is read";
      }
      static_cast<void>(std::fprintf(stderr, "zezi-vidad: no envelope at the top of %s%s\n",
                                     options_.sourcePath.c_str(), where.c_str()));
    }
  }

  void show(const EnvelopeReport& report) const {
    if (options_.json) {
      std::printf("%s\n", envelopeJson(report).c_str());
    }
    // As is: a capital in the file's name is not lowered as in reportFailure.
    static_cast<void>(std::fprintf(stderr, "zezi-vidad: %s\n", envelopeLine(report).c_str()));
  }

  void show(const NetworkReport& report) const {
    if (options_.json) {
      std::printf("%s\n", networkJson(report).c_str());
    }
    static_cast<void>(std::fprintf(stderr, "zezi-vidad: %s\n", networkLine(report).c_str()));
  }

  ApplyOptions options_;
  StackTarget target_;
};

}  // namespace

const CommandEntry kApplyCommand{"apply", "apply envelopes to this device's WiFi stack",
                                 addCommand<Apply>};

}  // namespace zezi
