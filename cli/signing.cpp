#include "cli/signing.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/command.h"
#include "cli/held_keys.h"
#include "cli/secret_input.h"
#include "cli/serial_counter.h"
#include "cli/time_text.h"
#include "crypto/signer.h"
#include "encoding/hex.h"
#include "sealer/key_files.h"
#include "sealer/signing_key.h"

namespace zezi {
namespace {

// makeSignatureFile's message when no signature came out of the signer.
constexpr std::string_view kSigningFailed = "signing failed";

// Read whole so that the verifier, not the reader, judges a file over 1 KiB.
constexpr std::size_t kMaxSignatureFileRead = std::size_t{64} * 1024;

bool exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::symlink_status(path, ignored).type() !=
         std::filesystem::file_type::not_found;
}

std::string plain(const SecretText& text) {
  return {text.begin(), text.end()};
}

}  // namespace

void addSigningOptions(CLI::App* command, SigningOptions* signing, const std::string& note) {
  CLI::Option* serialFile =
      takes(command->add_option("--serial-file", signing->serialFile,
                                "the signer's serial counter, advanced by one" + note),
            "FILE");
  once(command->add_flag("--init-serial", signing->initSerial,
                         "create the --serial-file counter, which must not exist yet" + note));
  takes(command->add_option("--serial", signing->serial,
                            "the serial, from a counter of your own" + note),
        "N")
      ->excludes(serialFile);
  takes(command->add_option("--valid-for", signing->validFor,
                            "validity from now: 30d, 12h, 2w, ..." + note),
        "TIME");
}

std::string signaturePathOf(const std::string& envelopePath) {
  return envelopePath + std::string(kSignatureFileSuffix);
}

bool planSigning(const SigningOptions& options, SigningPlan* plan, std::string* error) {
  SigningPlan planned;
  if (options.serialFile.empty() && options.serial.empty()) {
    return failWith(error, "give --serial-file or --serial");
  }
  if (!options.serial.empty()) {
    const std::optional<std::uint64_t> serial = parseUnsigned(options.serial);
    if (!serial || *serial == 0) {
      return failWith(error, "--serial must be a whole number from 1 to 18446744073709551615");
    }
    planned.serial = *serial;
  }
  if (options.initSerial && options.serialFile.empty()) {
    return failWith(error, "--init-serial goes with --serial-file");
  }
  planned.serialFile = options.serialFile;
  planned.counterStart = options.initSerial ? CounterStart::kCreate : CounterStart::kExisting;
  if (options.validFor.empty()) {
    return failWith(error, "--valid-for is required");
  }
  const std::optional<std::uint64_t> validFor = parseDuration(options.validFor);
  if (!validFor) {
    return failWith(error, "--valid-for must be a whole number of s, m, h, d or w up to 3650d");
  }
  planned.validFor = *validFor;
  *plan = planned;
  return true;
}

bool checkSerialSource(const SigningPlan& plan, std::string* error) {
  return plan.serialFile.empty() || checkSerialFile(plan.serialFile, plan.counterStart, error);
}

bool takeTerms(const SigningPlan& plan, SignatureTerms* terms, std::string* error) {
  SignatureTerms taken;
  taken.serial = plan.serial;
  if (!plan.serialFile.empty() &&
      !takeNextSerial(plan.serialFile, plan.counterStart, &taken.serial, error)) {
    return false;
  }
  taken.issuedAt = currentUnixTime();
  taken.expiresAt = taken.issuedAt + plan.validFor;
  *terms = taken;
  return true;
}

bool signAndCheck(const PrivateKey& signerKey, const Bytes& fleetKey, std::string_view envelope,
                  const SignatureTerms& terms, std::string* fileOut, VerifiedSignature* verifiedOut,
                  std::string* error) {
  std::string file;
  const std::unique_ptr<Signer> signer = signerOf(signerKey, error);
  if (!signer) {
    return false;
  }
  if (!makeSignatureFile(*signer, fleetKey, envelope, terms, &file, error)) {
    // A held key that makes no signature was refused by the TPM.
    if (signerKey.reference && error != nullptr && *error == kSigningFailed) {
      *error =
          "the TPM refused to sign: the signer key must be made for signing "
          "(/usr/share/doc/zezi-vidad/tpm.md)";
    }
    return false;
  }
  // A device that trusts this signer alone and has accepted nothing yet.
  TrustSettings settings;
  settings.signerKeys = {signer->rawPublicKey()};
  settings.fleetKey = fleetKey;
  TrustList trustList;
  std::string why;
  if (!loadTrustList(settings, &trustList, &why)) {
    return failWith(error, why);
  }
  const ReplayState fresh = freshReplayState(trustList);
  SignatureInput input;
  input.envelope = envelope;
  input.signatureFile = file;
  input.state = &fresh;
  VerifiedSignature verified;
  ReplayState next;
  if (!verifySignature(input, trustList, &verified, &next, &why)) {
    return failWith(error, "the new signature does not verify: " + why);
  }
  *fileOut = std::move(file);
  *verifiedOut = verified;
  return true;
}

bool readSignatureFileOf(const std::string& envelopePath, std::optional<std::string>* fileOut,
                         std::string* error) {
  const std::string path = signaturePathOf(envelopePath);
  if (!exists(path)) {
    fileOut->reset();
    return true;
  }
  SecretText text;
  if (!readInput(path, kMaxSignatureFileRead, &text, error)) {
    return false;
  }
  *fileOut = plain(text);
  return true;
}

std::string statementLine(const Statement& s, std::optional<std::size_t> keyIndex) {
  const std::string index =
      keyIndex ? R"(, "key_index": )" + std::to_string(*keyIndex) : std::string();
  return R"({"signer_id": ")" + hexEncode(Bytes(s.signerKeyId.begin(), s.signerKeyId.end())) +
         "\"" + index + R"(, "serial": )" + std::to_string(s.serial) + R"(, "issued_at": ")" +
         utcText(s.issuedAt) + R"(", "expires_at": ")" + utcText(s.expiresAt) + "\"}\n";
}

}  // namespace zezi
