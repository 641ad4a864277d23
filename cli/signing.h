// Signed envelopes in the tool: what sign, verify, seal and open share.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/key_loading.h"
#include "cli/serial_counter.h"
#include "cli/trust_options.h"
#include "crypto/types.h"
#include "opener/trust_list.h"
#include "opener/verify_signature.h"
#include "sealer/signature_file.h"

namespace zezi {

// How a signature's serial and validity are given: --serial-file (made anew with
// --init-serial) or --serial, and --valid-for, as typed (planSigning checks them).
struct SigningOptions {
  std::string serialFile;
  bool initSerial = false;
  std::string serial;
  std::string validFor;

  [[nodiscard]] bool any() const {
    return !serialFile.empty() || initSerial || !serial.empty() || !validFor.empty();
  }
};

// Registers the signing options on `command`; `note` follows each description: what the
// options need in this command.
void addSigningOptions(CLI::App* command, SigningOptions* signing, const std::string& note);

// The signature file beside an envelope file.
[[nodiscard]] std::string signaturePathOf(const std::string& envelopePath);

// The serial's source and the validity, checked before anything is done.
struct SigningPlan {
  std::string serialFile;  // empty when the serial is fixed
  CounterStart counterStart = CounterStart::kExisting;
  std::uint64_t serial = 0;
  std::uint64_t validFor = 0;  // seconds
};

// Checks the signing options' text; false with a usage message for `error`.
[[nodiscard]] bool planSigning(const SigningOptions& options, SigningPlan* plan,
                               std::string* error);

// Checks before any work that the serial file exists, or with --init-serial that it does
// not; true when the serial is fixed.
[[nodiscard]] bool checkSerialSource(const SigningPlan& plan, std::string* error);

// Takes the serial (advancing the counter file) and makes the terms from this moment.
[[nodiscard]] bool takeTerms(const SigningPlan& plan, SignatureTerms* terms, std::string* error);

// Makes the signature file for `envelope` with the signer's key, in memory or held in a
// TPM, and checks it as a device would before it is handed out.
[[nodiscard]] bool signAndCheck(const PrivateKey& signerKey, const Bytes& fleetKey,
                                std::string_view envelope, const SignatureTerms& terms,
                                std::string* fileOut, VerifiedSignature* verifiedOut,
                                std::string* error);

// The signature file beside `envelopePath`, or nothing when there is none.
[[nodiscard]] bool readSignatureFileOf(const std::string& envelopePath,
                                       std::optional<std::string>* fileOut, std::string* error);

// What was signed, as one line of JSON with the times in RFC 3339; the signer's index in
// the device's trust list only where a trust list was given, since the signer alone does
// not say where a device lists it.
[[nodiscard]] std::string statementLine(const Statement& statement,
                                        std::optional<std::size_t> keyIndex);

}  // namespace zezi
