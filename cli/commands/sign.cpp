// sign: the signature files of envelopes, made with a signer key; envelopes signed together
// share one serial and form one set.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/file_pair.h"
#include "cli/key_loading.h"
#include "cli/secret_input.h"
#include "cli/signing.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "sealer/key_files.h"

namespace zezi {
namespace {

constexpr const char* kSignHelp =
    "Signs envelopes for the fleet, writing each one's signature file beside it\n"
    "(wifi.json.sig, mode 0644; replaced only with --force). Envelopes signed together\n"
    "(--envelope given up to 16 times) share one serial and one validity and form one set: a\n"
    "device holds exactly the networks of the newest set, replacing those it held from older\n"
    "serials, so sign all of a drive's envelopes in one run. Every envelope and signature file\n"
    "is checked before the serial is taken, and every signature before any is written. The\n"
    "serial comes from --serial-file, the signer's counter, which is advanced by one and\n"
    "flushed to the disk before the signatures are written and is locked meanwhile, so no two\n"
    "runs ever share a serial; or from --serial for operators who keep their own counter. The\n"
    "counter must exist, except with --init-serial, which creates it (and refuses one that\n"
    "exists) for the signer's first signature. Every serial must be higher than the one\n"
    "before. --valid-for is how long from now the signatures hold: a whole number of s, m, h,\n"
    "d or w, at most 3650d. Prints what was signed as one line of JSON per envelope, in the\n"
    "order given, times in RFC 3339.\n"
    "--key may name a key held in a TPM: its wrapped key file (TSS2 PRIVATE KEY, as keygen\n"
    "--tpm writes it) or its handle, handle:0x81000002; it signs there\n"
    "(/usr/share/doc/zezi-vidad/tpm.md).\n\n"
    "Example:\n"
    "  zezi-vidad sign --key signer.key --fleet-key fleet.pub --envelope /media/usb/wifi.json \\\n"
    "      --serial-file signer.serial --valid-for 30d\n\n"
    "  zezi-vidad sign --key signer.key --fleet-key fleet.pub --envelope /media/usb/lab.json \\\n"
    "      --envelope /media/usb/office.json --serial-file signer.serial --valid-for 30d\n";

struct SignOptions {
  std::string keyPath;
  std::string fleetKey;
  std::vector<std::string> envelopePaths;
  SigningOptions signing;
  bool force = false;
};

// One envelope of the set, from its reading to its signature.
struct SetEnvelope {
  std::string path;
  std::string signaturePath;
  SecretText envelope;
  std::string signatureFile;
  VerifiedSignature verified;
};

// False, with a usage message, at the first envelope named twice or named as another's
// signature file.
bool noClashes(const std::vector<std::string>& paths, std::string* error) {
  for (std::size_t i = 0; i < paths.size(); ++i) {
    for (std::size_t j = 0; j < paths.size(); ++j) {
      if (j > i && sameFile(paths[i], paths[j])) {
        return failWith(error,
                        paths[i] == paths[j]
                            ? "--envelope names " + paths[i] + " twice"
                            : "--envelope names one file twice: " + paths[i] + " and " + paths[j]);
      }
      if (j != i && sameFile(signaturePathOf(paths[i]), paths[j])) {
        return failWith(error,
                        "--envelope names " + paths[j] + ", the signature file of " + paths[i]);
      }
    }
  }
  return true;
}

class Sign : public Command {
 public:
  explicit Sign(CLI::App* command) {
    command->footer(kSignHelp);
    takes(command->add_option("--key", options_.keyPath,
                              "signer's private key file, TPM-wrapped key file or handle:0x..."),
          "KEY")
        ->required();
    addFleetKeyOption(command, &options_.fleetKey);
    takes(command->add_option("--envelope", options_.envelopePaths,
                              "envelope file (repeatable, up to 16: signed as one set)"),
          "FILE")
        ->required();
    addSigningOptions(command, &options_.signing, "");
    once(command->add_flag("--force", options_.force, "replace existing signature files"));
  }

  [[nodiscard]] bool complete(std::string* error) override {
    const std::vector<std::string>& paths = options_.envelopePaths;
    if (paths.size() > kMaxSetSize) {
      return failWith(error, "--envelope is given " + std::to_string(paths.size()) +
                                 " times: a set holds at most " + std::to_string(kMaxSetSize) +
                                 " envelopes, and a device refuses the rest");
    }
    if (std::find(paths.begin(), paths.end(), "-") != paths.end()) {
      return failWith(error, "--envelope must name a file: the signature file goes beside it");
    }
    return noClashes(paths, error);
  }

  [[nodiscard]] int run() const override {
    SigningPlan plan;
    std::string error;
    if (!planSigning(options_.signing, &plan, &error)) {
      return reportFailure(error, kExitUsage);
    }
    std::vector<SetEnvelope> set;
    if (!checkTargets(&set, &error) || !checkSerialSource(plan, &error)) {
      return reportFailure(error);
    }
    PrivateKey signerKey;
    Bytes fleetKey;
    if (!loadPrivateKey(options_.keyPath, "--key", &signerKey, &error) ||
        !loadFleetKey(options_.fleetKey, &fleetKey, &error) || !readEnvelopes(&set, &error)) {
      return reportFailure(error);
    }
    // Refused before a serial is taken, like every other fault of the inputs.
    if (signerKey.rawPublicKey() == fleetKey) {
      return reportFailure("signer key is the fleet key");
    }
    SignatureTerms terms;
    if (!takeTerms(plan, &terms, &error)) {
      return reportFailure(error);
    }
    for (SetEnvelope& member : set) {
      if (!signAndCheck(signerKey, fleetKey, member.envelope, terms, &member.signatureFile,
                        &member.verified, &error)) {
        return reportFailure(error);
      }
    }
    if (!writeSignatures(set, terms.serial, &error)) {
      return reportFailure(error);
    }
    std::string lines;
    for (const SetEnvelope& member : set) {
      lines += statementLine(member.verified.statement, std::nullopt);
    }
    return emit({}, lines, false);
  }

 private:
  // Makes the set, one member for each envelope, and checks that every signature file can
  // be written.
  [[nodiscard]] bool checkTargets(std::vector<SetEnvelope>* set, std::string* error) const {
    for (const std::string& path : options_.envelopePaths) {
      SetEnvelope member;
      member.path = path;
      member.signaturePath = signaturePathOf(path);
      if (!checkWritableTarget(member.signaturePath, options_.force, error)) {
        return false;
      }
      set->push_back(std::move(member));
    }
    return true;
  }

  [[nodiscard]] static bool readEnvelopes(std::vector<SetEnvelope>* set, std::string* error) {
    for (SetEnvelope& member : *set) {
      if (!readPairFile(member.path, kMaxEnvelopeSize, &member.envelope, error)) {
        return false;
      }
    }
    return true;
  }

  // Stages every signature file before placing any, so that a full disk leaves none
  // written; one refused while placing leaves those placed before it, which are named.
  [[nodiscard]] bool writeSignatures(const std::vector<SetEnvelope>& set, std::uint64_t serial,
                                     std::string* error) const {
    std::vector<StagedFile> staged(set.size());
    for (std::size_t i = 0; i < set.size(); ++i) {
      if (!staged[i].stage(set[i].signaturePath, set[i].signatureFile, kPublicMode, error)) {
        return false;
      }
    }
    std::string written;
    for (std::size_t i = 0; i < set.size(); ++i) {
      if (!staged[i].commit(options_.force, error)) {
        if (!written.empty()) {
          *error += "; written already with serial " + std::to_string(serial) + ": " + written +
                    " (sign the whole set again, with --force)";
        }
        return false;
      }
      written += (written.empty() ? "" : ", ") + set[i].signaturePath;
    }
    return true;
  }

  SignOptions options_;
};

}  // namespace

const CommandEntry kSignCommand{"sign", "sign envelopes, as one set, with a signer key",
                                addCommand<Sign>};

}  // namespace zezi
