#include "opener/verify_signature.h"

#include <algorithm>
#include <array>

#include "base/failure.h"
#include "encoding/base64.h"
#include "envelope/signature.h"
#include "envelope/signature_file.h"
#include "opener/json_reader.h"

namespace zezi {
namespace {

// The signature file's members; the per-member failures below follow this order.
constexpr std::array<std::string_view, 3> kMembers = {"format", "statement", "signature"};
constexpr std::size_t kFormat = 0;
constexpr std::size_t kStatementMember = 1;
constexpr std::size_t kSignatureMember = 2;
constexpr std::size_t kBinaryMembers = 2;

// The checks in the order they run, each with its one message below.
enum Failure : std::size_t {
  kNoOutput,
  kStateUnreadable,
  kSignatureMissing,
  kTooLarge,
  kNotJson,
  kNotObject,
  kUnknownMember,
  kMemberMissing,
  kMemberRepeated = kMemberMissing + kMembers.size(),
  kMemberNotString = kMemberRepeated + kMembers.size(),
  kWrongFormat = kMemberNotString + kMembers.size(),
  kMemberNotBase64,  // statement, then signature
  kBadStatementSize = kMemberNotBase64 + kBinaryMembers,
  kBadSignatureSize,
  kUnknownSigner,
  kSupersededSigner,
  kNotCanonical,
  kCannotCheck,
  kDoesNotVerify,
  kOtherFleet,
  kOtherEnvelope,
  kMalformedStatement,
  kExpired,
  kNotYetValid,
  kSerialOlder,
  kSerialReused,
  kFailureCount
};

constexpr auto kMessages = std::to_array<std::string_view>({
    "no output for the verification",
    "replay state is unreadable",
    "signature file is missing",
    "signature file is too large",
    "signature file is not valid JSON",
    "signature file is not a JSON object",
    "signature file has an unknown member",
    "signature file member \"format\" is missing",
    "signature file member \"statement\" is missing",
    "signature file member \"signature\" is missing",
    "signature file member \"format\" appears more than once",
    "signature file member \"statement\" appears more than once",
    "signature file member \"signature\" appears more than once",
    "signature file member \"format\" is not a string",
    "signature file member \"statement\" is not a string",
    "signature file member \"signature\" is not a string",
    "signature file format is not tolvane-wifi-drive-sig/v1",
    "signature file member \"statement\" is not canonical Base64",
    "signature file member \"signature\" is not canonical Base64",
    "signature statement is not 120 octets",
    "signature is not 64 octets",
    "signature is by an unknown signer",
    "signer key is superseded",
    "signature is not in canonical form",
    "cannot check the signature",
    "signature does not verify",
    "signature is for another fleet",
    "signature is for another envelope",
    "signature statement is malformed",
    "signature has expired",
    "signature is not yet valid",
    "signature serial is older than the last accepted",
    "signature serial was already used for another envelope",
});
static_assert(kMessages.size() == kFailureCount);

[[nodiscard]] bool fail(std::string* errorOut, std::size_t failure) {
  return failWith(errorOut, kMessages[failure]);
}

// The state the checks compare against, or nothing when the stored one cannot be used:
// written under a newer trust list, or naming a signer the list does not have.
std::optional<ReplayState> usableState(const ReplayState& stored, const TrustList& trustList) {
  if (stored.trustListVersion > trustList.version() ||
      (stored.trustListVersion == trustList.version() && stored.minKeyIndex >= trustList.size())) {
    return std::nullopt;
  }
  if (stored.trustListVersion < trustList.version()) {
    return freshReplayState(trustList);
  }
  // Firmware may raise its floors without a new trust list version.
  ReplayState state = stored;
  state.timeFloor = std::max(state.timeFloor, trustList.timeFloor());
  if (state.minKeyIndex == 0) {
    state.highestSerial = std::max(state.highestSerial, trustList.serialFloor());
  }
  return state;
}

// Checks the file's JSON form: exactly the three members, each a string, the right format,
// and canonical Base64 of 120 and 64 octets, which it decodes.
[[nodiscard]] bool readSignatureFile(std::string_view text, Bytes* statementOut,
                                     Bytes* signatureOut, std::string* errorOut) {
  const std::optional<JsonValue> document = parseJson(text);
  if (!document) {
    return fail(errorOut, kNotJson);
  }
  if (document->kind != JsonKind::kObject) {
    return fail(errorOut, kNotObject);
  }
  std::array<const JsonValue*, kMembers.size()> values{};
  std::array<std::size_t, kMembers.size()> counts{};
  for (const JsonMember& member : document->members) {
    const auto* known = std::find(kMembers.begin(), kMembers.end(), std::string_view(member.key));
    if (known == kMembers.end()) {
      return fail(errorOut, kUnknownMember);
    }
    const auto index = static_cast<std::size_t>(known - kMembers.begin());
    ++counts[index];
    values[index] = &member.value;
  }
  for (std::size_t i = 0; i < kMembers.size(); ++i) {
    if (counts[i] == 0) {
      return fail(errorOut, kMemberMissing + i);
    }
    if (counts[i] > 1) {
      return fail(errorOut, kMemberRepeated + i);
    }
    if (values[i]->kind != JsonKind::kString) {
      return fail(errorOut, kMemberNotString + i);
    }
  }
  if (std::string_view(values[kFormat]->text) != kSignatureDomain) {
    return fail(errorOut, kWrongFormat);
  }
  Bytes statement;
  Bytes signature;
  if (!base64Decode(values[kStatementMember]->text, &statement)) {
    return fail(errorOut, kMemberNotBase64);
  }
  if (!base64Decode(values[kSignatureMember]->text, &signature)) {
    return fail(errorOut, kMemberNotBase64 + 1);
  }
  if (statement.size() != kStatementSize) {
    return fail(errorOut, kBadStatementSize);
  }
  if (signature.size() != kSignatureSize) {
    return fail(errorOut, kBadSignatureSize);
  }
  *statementOut = std::move(statement);
  *signatureOut = std::move(signature);
  return true;
}

}  // namespace

bool verifySignature(const SignatureInput& input, const TrustList& trustList,
                     VerifiedSignature* verifiedOut, ReplayState* stateOut, std::string* errorOut) {
  if (verifiedOut == nullptr || stateOut == nullptr) {
    return fail(errorOut, kNoOutput);
  }
  const std::optional<ReplayState> current =
      input.state == nullptr ? std::nullopt : usableState(*input.state, trustList);
  if (!current) {
    return fail(errorOut, kStateUnreadable);
  }
  if (!input.signatureFile) {
    if (input.policy != SignaturePolicy::kTransition || current->hasAcceptedSignature()) {
      return fail(errorOut, kSignatureMissing);
    }
    *verifiedOut = VerifiedSignature{};
    *stateOut = *input.state;
    return true;
  }
  if (input.signatureFile->size() > kMaxSignatureFileSize) {
    return fail(errorOut, kTooLarge);
  }
  Bytes octets;
  Bytes signature;
  Statement statement;
  if (!readSignatureFile(*input.signatureFile, &octets, &signature, errorOut)) {
    return false;
  }
  if (!decodeStatement(octets, &statement)) {
    return fail(errorOut, kBadStatementSize);
  }

  // The key id only picks the key to verify with; a wrong one cannot verify.
  const std::optional<std::size_t> index = trustList.indexOf(statement.signerKeyId);
  if (!index) {
    return fail(errorOut, kUnknownSigner);
  }
  if (*index < current->minKeyIndex) {
    return fail(errorOut, kSupersededSigner);
  }
  switch (verifyMessageSignature(trustList.signerKey(*index), signedMessage(octets), signature)) {
    case SignatureStatus::kValid:
      break;
    case SignatureStatus::kNotCanonical:
      return fail(errorOut, kNotCanonical);
    case SignatureStatus::kDoesNotVerify:
      return fail(errorOut, kDoesNotVerify);
    case SignatureStatus::kCannotCheck:
      return fail(errorOut, kCannotCheck);
  }

  // Only now are the statement's fields the signer's own.
  if (statement.fleetId != trustList.fleetId()) {
    return fail(errorOut, kOtherFleet);
  }
  Digest envelopeHash{};
  if (!sha256(input.envelope, &envelopeHash)) {
    return fail(errorOut, kCannotCheck);
  }
  if (envelopeHash != statement.envelopeSha256) {
    return fail(errorOut, kOtherEnvelope);
  }
  if (statement.serial == 0 || statement.expiresAt <= statement.issuedAt) {
    return fail(errorOut, kMalformedStatement);
  }
  if (statement.expiresAt <= current->timeFloor ||
      (input.now && *input.now >= statement.expiresAt)) {
    return fail(errorOut, kExpired);
  }
  if (input.now && statement.issuedAt > *input.now &&
      statement.issuedAt - *input.now > kMaxClockSkewSeconds) {
    return fail(errorOut, kNotYetValid);
  }
  // A newer signer key starts its own sequence of serials.
  if (*index == current->minKeyIndex) {
    if (statement.serial < current->highestSerial) {
      return fail(errorOut, kSerialOlder);
    }
    if (statement.serial == current->highestSerial) {
      if (statement.envelopeSha256 != current->acceptedEnvelopeSha256) {
        return fail(errorOut, kSerialReused);
      }
      // The envelope accepted last, read again (at every start): nothing changes.
      *verifiedOut = VerifiedSignature{true, *index, statement};
      *stateOut = *input.state;
      return true;
    }
  }
  ReplayState next;
  next.trustListVersion = trustList.version();
  next.minKeyIndex = static_cast<std::uint16_t>(*index);
  next.highestSerial = statement.serial;
  next.acceptedEnvelopeSha256 = statement.envelopeSha256;
  next.timeFloor = std::max(current->timeFloor, statement.issuedAt);
  *verifiedOut = VerifiedSignature{true, *index, statement};
  *stateOut = next;
  return true;
}

std::span<const std::string_view> verifySignatureMessages() {
  return kMessages;
}

}  // namespace zezi
