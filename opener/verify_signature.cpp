#include "opener/verify_signature.h"

#include <algorithm>
#include <array>

#include "base/failure.h"
#include "crypto/sha256.h"
#include "crypto/signature.h"
#include "crypto/statement.h"
#include "encoding/base64.h"
#include "encoding/json_reader.h"
#include "opener/signature_failure.h"

namespace zezi {
namespace {

using enum SignatureFailure;

// Every failure with its message, in the order of SignatureFailure (kNone has none).
constexpr auto kFailureTexts = failureTable<SignatureFailure, std::string_view>(
    {
        {kNoOutput, "no output for the verification"},
        {kStateUnreadable, "replay state is unreadable"},
        {kTrustListDiffers, "trust list differs from the one the replay state was written under"},
        {kSignatureMissing, "signature file is missing"},
        {kTooLarge, "signature file is too large"},
        {kNotJson, "signature file is not valid JSON"},
        {kNotObject, "signature file is not a JSON object"},
        {kUnknownMember, "signature file has an unknown member"},
        {kFormatMissing, "signature file member \"format\" is missing"},
        {kStatementMissing, "signature file member \"statement\" is missing"},
        {kSignatureMemberMissing, "signature file member \"signature\" is missing"},
        {kFormatRepeated, "signature file member \"format\" appears more than once"},
        {kStatementRepeated, "signature file member \"statement\" appears more than once"},
        {kSignatureRepeated, "signature file member \"signature\" appears more than once"},
        {kFormatNotString, "signature file member \"format\" is not a string"},
        {kStatementNotString, "signature file member \"statement\" is not a string"},
        {kSignatureNotString, "signature file member \"signature\" is not a string"},
        {kWrongFormat, "signature file format is not tolvane-wifi-drive-sig/v1"},
        {kStatementNotBase64, "signature file member \"statement\" is not canonical Base64"},
        {kSignatureNotBase64, "signature file member \"signature\" is not canonical Base64"},
        {kBadStatementSize, "signature statement is not 120 octets"},
        {kBadSignatureSize, "signature is not 64 octets"},
        {kUnknownSigner, "signature is by an unknown signer"},
        {kSupersededSigner, "signer key is superseded"},
        {kNotCanonical, "signature is not in canonical form"},
        {kCannotCheck, "cannot check the signature"},
        {kDoesNotVerify, "signature does not verify"},
        {kOtherFleet, "signature is for another fleet"},
        {kOtherEnvelope, "signature is for another envelope"},
        {kMalformedStatement, "signature statement is malformed"},
        {kExpired, "signature has expired"},
        {kNotYetValid, "signature is not yet valid"},
        {kSerialOlder, "signature serial is older than the last accepted"},
        {kSerialReused, "signature serial was already used for another envelope"},
        {kSetFull, "signature serial's set already holds 16 networks"},
        {kSetSsidTaken, "the set already holds this SSID from another envelope"},
    },
    kLastSignatureFailure);

static_assert(kFailureTexts.inOrder() && kFailureTexts.oneRowEach());

// The signature file's members and the failures each one can cause.
constexpr ObjectFailures<SignatureFailure> kSignatureObject = {kNotJson, kNotObject, kUnknownMember,
                                                               kSignatureDomain, kWrongFormat};
constexpr std::array<MemberFailures<SignatureFailure>, 3> kMembers = {{
    {"format", kFormatMissing, kFormatRepeated, kFormatNotString, kNone},
    {"statement", kStatementMissing, kStatementRepeated, kStatementNotString, kStatementNotBase64},
    {"signature", kSignatureMemberMissing, kSignatureRepeated, kSignatureNotString,
     kSignatureNotBase64},
}};

// The state the checks compare against and the index of the key it names. A state of an
// older trust-list version gives way to a fresh one, which carries the set it held so that
// the device still knows what it wrote and under which signer; any other list than the
// one the state was written under fails closed. A version-1 record named its key by index
// and had no digest: the index is mapped to the key of the list, whose floors hold.
[[nodiscard]] SignatureFailure usableState(const ReplayState& stored, const TrustList& trustList,
                                           ReplayState* stateOut, std::size_t* indexOut) {
  ReplayState state = stored;
  if (stored.trustListVersion < trustList.version()) {
    state = freshReplayState(trustList);
    // A version-1 record's signer was a position in a list that is gone.
    if (stored.hasAcceptedSignature() && !stored.legacyKeyIndex) {
      state.setKeyId = stored.setKeyId;
      state.setSerial = stored.setSerial;
      state.setCarried = true;
      state.set = stored.set;
    }
  } else if (stored.legacyKeyIndex) {
    if (stored.trustListVersion > trustList.version()) {
      return kTrustListDiffers;
    }
    if (*stored.legacyKeyIndex >= trustList.size()) {
      return kStateUnreadable;
    }
    state.legacyKeyIndex.reset();
    state.keyId = trustList.signerId(*stored.legacyKeyIndex);
    if (!state.set.empty()) {
      state.setKeyId = state.keyId;
    }
    state.trustListDigest = trustList.digest();
    state.timeFloor = std::max(state.timeFloor, trustList.timeFloor());
    if (*stored.legacyKeyIndex == 0) {
      state.highestSerial = std::max(state.highestSerial, trustList.serialFloor());
    }
  } else if (stored.trustListDigest != trustList.digest()) {
    return kTrustListDiffers;
  }
  const std::optional<std::size_t> index = trustList.indexOf(state.keyId);
  if (!index) {
    return kStateUnreadable;
  }
  *stateOut = state;
  *indexOut = *index;
  return kNone;
}

// The state once an envelope of the current key and serial is accepted: a member read
// again changes nothing (but learns its times when they were unknown); another one joins
// the set while it has room.
[[nodiscard]] SignatureFailure joinCurrentSet(const ReplayState& current,
                                              const Statement& statement, ReplayState* nextOut) {
  if (!current.setIsCurrent()) {
    return kSerialReused;
  }
  ReplayState next = current;
  const auto member =
      std::find_if(next.set.begin(), next.set.end(), [&](const SetMember& candidate) {
        return candidate.envelopeSha256 == statement.envelopeSha256;
      });
  if (member != next.set.end()) {
    if (member->expiresAt == 0) {  // carried over from an older record
      member->issuedAt = statement.issuedAt;
      member->expiresAt = statement.expiresAt;
    }
  } else if (next.set.size() >= kMaxSetSize) {
    return kSetFull;
  } else {
    next.set.push_back(
        SetMember{statement.envelopeSha256, statement.issuedAt, statement.expiresAt, {}});
    next.timeFloor = std::max(next.timeFloor, statement.issuedAt);
  }
  *nextOut = std::move(next);
  return kNone;
}

// Checks the file's JSON form: exactly the three members, each a string, the right format,
// and canonical Base64 of 120 and 64 octets, which it decodes.
[[nodiscard]] SignatureFailure readSignatureFile(std::string_view text, Bytes* statementOut,
                                                 Bytes* signatureOut) {
  std::array<Bytes, kMembers.size() - 1> decoded;
  if (const SignatureFailure failure = readStrictObject(text, kSignatureObject, kMembers, &decoded);
      failure != kNone) {
    return failure;
  }
  auto& [statement, signature] = decoded;
  if (statement.size() != kStatementSize) {
    return kBadStatementSize;
  }
  if (signature.size() != kSignatureSize) {
    return kBadSignatureSize;
  }
  *statementOut = std::move(statement);
  *signatureOut = std::move(signature);
  return kNone;
}

// Finds the signer's key in the trust list and checks the signature over the statement's
// octets with it.
[[nodiscard]] SignatureFailure checkSigner(const Bytes& octets, const Bytes& signature,
                                           const Statement& statement, const TrustList& trustList,
                                           std::size_t currentIndex, std::size_t* indexOut) {
  // The key id only picks the key to verify with; a wrong one cannot verify.
  const std::optional<std::size_t> index = trustList.indexOf(statement.signerKeyId);
  if (!index) {
    return kUnknownSigner;
  }
  if (*index < currentIndex) {
    return kSupersededSigner;
  }
  switch (trustList.signerVerifier(*index)->verify(signedMessage(octets), signature)) {
    case SignatureStatus::kValid:
      *indexOut = *index;
      return kNone;
    case SignatureStatus::kNotCanonical:
      return kNotCanonical;
    case SignatureStatus::kDoesNotVerify:
      return kDoesNotVerify;
    case SignatureStatus::kCannotCheck:
      break;
  }
  return kCannotCheck;
}

// The statement's fields, which count only now that the signature has verified: the
// fleet, the envelope, the serial and times, and the times against the signer's time floor
// and the clock.
[[nodiscard]] SignatureFailure checkStatement(const Statement& statement, std::string_view envelope,
                                              const TrustList& trustList, std::uint64_t timeFloor,
                                              const std::optional<std::uint64_t>& now) {
  if (statement.fleetId != trustList.fleetId()) {
    return kOtherFleet;
  }
  Digest envelopeHash{};
  if (!sha256(envelope, &envelopeHash)) {
    return kCannotCheck;
  }
  if (envelopeHash != statement.envelopeSha256) {
    return kOtherEnvelope;
  }
  if (statement.serial == 0 || statement.expiresAt <= statement.issuedAt) {
    return kMalformedStatement;
  }
  if (statement.expiresAt <= timeFloor || (now && *now >= statement.expiresAt)) {
    return kExpired;
  }
  if (now && statement.issuedAt > *now && statement.issuedAt - *now > kMaxClockSkewSeconds) {
    return kNotYetValid;
  }
  return kNone;
}

}  // namespace

std::string_view signatureFailureText(SignatureFailure failure) {
  return kFailureTexts(failure);
}

bool isSignatureFailureText(std::string_view text) {
  return kFailureTexts.holds(text);
}

SignatureFailure verifySignatureFor(const SignatureInput& input, const TrustList& trustList,
                                    VerifiedSignature* verifiedOut, ReplayState* stateOut) {
  if (verifiedOut == nullptr || stateOut == nullptr) {
    return kNoOutput;
  }
  if (input.state == nullptr) {
    return kStateUnreadable;
  }
  ReplayState current;
  std::size_t currentIndex = 0;
  if (const SignatureFailure failure =
          usableState(*input.state, trustList, &current, &currentIndex);
      failure != kNone) {
    return failure;
  }
  if (!input.signatureFile) {
    if (input.policy != SignaturePolicy::kTransition || current.hasAcceptedSignature()) {
      return kSignatureMissing;
    }
    *verifiedOut = VerifiedSignature{};
    *stateOut = current;
    return kNone;
  }
  if (input.signatureFile->size() > kMaxSignatureFileSize) {
    return kTooLarge;
  }
  Bytes octets;
  Bytes signature;
  Statement statement;
  if (const SignatureFailure failure = readSignatureFile(*input.signatureFile, &octets, &signature);
      failure != kNone) {
    return failure;
  }
  if (!decodeStatement(octets, &statement)) {
    return kBadStatementSize;
  }

  std::size_t index = 0;
  if (const SignatureFailure failure =
          checkSigner(octets, signature, statement, trustList, currentIndex, &index);
      failure != kNone) {
    return failure;
  }
  // Each key keeps its own time floor: a successor key answers only to the firmware's, so
  // that a far-future issued_at of one key cannot lock out the keys after it.
  const std::uint64_t timeFloor = index == currentIndex ? current.timeFloor : trustList.timeFloor();
  if (const SignatureFailure failure =
          checkStatement(statement, input.envelope, trustList, timeFloor, input.now);
      failure != kNone) {
    return failure;
  }
  // A newer signer key starts its own sequence of serials, and with it a new set.
  if (index == currentIndex && statement.serial <= current.highestSerial) {
    if (statement.serial < current.highestSerial) {
      return kSerialOlder;
    }
    ReplayState next;
    if (const SignatureFailure failure = joinCurrentSet(current, statement, &next);
        failure != kNone) {
      return failure;
    }
    *verifiedOut = VerifiedSignature{true, index, statement};
    *stateOut = std::move(next);
    return kNone;
  }
  ReplayState next;
  next.trustListVersion = trustList.version();
  next.trustListDigest = trustList.digest();
  next.keyId = trustList.signerId(index);
  next.highestSerial = statement.serial;
  next.timeFloor = std::max(timeFloor, statement.issuedAt);
  next.setKeyId = next.keyId;
  next.setSerial = statement.serial;
  next.set.push_back(
      SetMember{statement.envelopeSha256, statement.issuedAt, statement.expiresAt, {}});
  *verifiedOut = VerifiedSignature{true, index, statement};
  *stateOut = std::move(next);
  return kNone;
}

SignatureFailure recordOpenedNetwork(const VerifiedSignature& verified, const std::string& ssid,
                                     ReplayState* state) {
  if (!verified.isSigned) {
    return kNone;
  }
  SetMember* own = nullptr;
  for (SetMember& member : state->set) {
    if (member.envelopeSha256 == verified.statement.envelopeSha256) {
      own = &member;
    } else if (member.ssid == ssid) {
      return kSetSsidTaken;
    }
  }
  if (own != nullptr) {
    own->ssid = ssid;
  }
  return kNone;
}

bool claimedStatement(std::string_view signatureFile, Statement* statementOut) {
  Bytes octets;
  Bytes signature;
  return signatureFile.size() <= kMaxSignatureFileSize &&
         readSignatureFile(signatureFile, &octets, &signature) == kNone &&
         decodeStatement(octets, statementOut);
}

bool verifySignature(const SignatureInput& input, const TrustList& trustList,
                     VerifiedSignature* verifiedOut, ReplayState* stateOut, std::string* errorOut) {
  const SignatureFailure failure = verifySignatureFor(input, trustList, verifiedOut, stateOut);
  return failure == kNone || failWith(errorOut, signatureFailureText(failure));
}

}  // namespace zezi
