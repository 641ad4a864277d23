#include "api/device.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "api/c_guard.h"
#include "api/version.h"
#include "base/failure.h"
#include "base/whole_file.h"
#include "crypto/key_reference.h"
#include "crypto/p256_keys.h"
#include "crypto/private_key_pem.h"
#include "crypto/public_key_text.h"
#include "crypto/types.h"
#include "opener/fleet_opener_steps.h"
#include "opener/open_envelope.h"
#include "opener/open_failure.h"
#include "opener/open_signed_envelope.h"
#include "opener/signature_failure.h"
#include "opener/trust_list_file.h"

// What the C interface's handles hold.
struct zezi_vidad_opener {
  std::unique_ptr<zezi::FleetOpener> opener;
  zezi::Bytes fleetPoint;  // the key's public point, 65 octets, to check the trust list's
  bool heldKey = false;    // whether a provider (a TPM) holds the key
};

struct zezi_vidad_trust_list {
  zezi::TrustList list;
};

namespace zezi {
namespace {

static_assert(ZEZI_VIDAD_SCALAR_SIZE == kScalarSize);
static_assert(ZEZI_VIDAD_PUBLIC_KEY_SIZE == kRawPublicKeySize);
static_assert(ZEZI_VIDAD_SSID_MAX_SIZE == kMaxSsidSize);
static_assert(ZEZI_VIDAD_PSK_LENGTH == kPskHexLength);
static_assert(ZEZI_VIDAD_MAX_TRUSTED_SIGNERS == kMaxTrustedSigners);
static_assert(ZEZI_VIDAD_DIGEST_SIZE == kDigestSize);
static_assert(ZEZI_VIDAD_REPLAY_RECORD_SIZE == kReplayRecordSize);
static_assert(ZEZI_VIDAD_REPLAY_RECORD_V2_SIZE == kReplayRecordV2Size);
static_assert(ZEZI_VIDAD_REPLAY_RECORD_V1_SIZE == kReplayRecordV1Size);
static_assert(ZEZI_VIDAD_MAX_SET_SIZE == kMaxSetSize);

// Each status's text.
constexpr auto kStatusTexts = failureTable<zezi_vidad_status, const char*>(
    {
        {ZEZI_VIDAD_OK, "success"},
        {ZEZI_VIDAD_E_ARGUMENT, "a required argument is null"},
        {ZEZI_VIDAD_E_BUFFER_TOO_SMALL, "an output buffer is too small"},
        {ZEZI_VIDAD_E_NO_MEMORY, "out of memory"},
        {ZEZI_VIDAD_E_INTERNAL, "the random generator or the cryptographic library failed"},
        {ZEZI_VIDAD_E_PRIVATE_KEY, "private key is not a valid P-256 scalar"},
        {ZEZI_VIDAD_E_PUBLIC_KEY, "public key is not a point of P-256"},
        {ZEZI_VIDAD_E_SSID, "ssid is empty"},
        {ZEZI_VIDAD_E_PSK, "psk is not 64 lowercase hex characters"},
        {ZEZI_VIDAD_E_ENVELOPE_SYNTAX, "envelope is not a JSON object of at most 64 KiB"},
        {ZEZI_VIDAD_E_ENVELOPE_MEMBER,
         "envelope members are not format, eph_pub, salt, nonce and sealed, each once as a "
         "string"},
        {ZEZI_VIDAD_E_ENVELOPE_FORMAT, "envelope format is not tolvane-wifi-drive/v1"},
        {ZEZI_VIDAD_E_ENVELOPE_ENCODING, "envelope member is not canonical Base64"},
        {ZEZI_VIDAD_E_ENVELOPE_VALUE, "envelope value has the wrong size or is not a P-256 point"},
        {ZEZI_VIDAD_E_DOES_NOT_OPEN, "envelope does not open with this key"},
        {ZEZI_VIDAD_E_PAYLOAD,
         "payload is not one network of a 1 to 32 octet ssid and a 64 hex character psk"},
        {ZEZI_VIDAD_E_TRUST_LIST,
         "trust list is not 1 to 4 distinct P-256 signer keys and a P-256 fleet key apart from "
         "them"},
        // The same text as openSignedEnvelope's.
        {ZEZI_VIDAD_E_FLEET_KEY_MISMATCH,
         "fleet private key does not belong to the trust list's fleet key"},
    },
    ZEZI_VIDAD_E_FLEET_KEY_MISMATCH);
static_assert(kStatusTexts.inOrder() && kStatusTexts.oneRowEach());
constexpr const char* kUnknownStatusText = "unknown status code";

// The status of a refused envelope: the step of the opening order that refused it. Each
// row's status holds for its failure and the ones after it, up to the next row's.
constexpr auto kStatusOfFailure = failureTable<OpenFailure, zezi_vidad_status>(
    {
        {OpenFailure::kNone, ZEZI_VIDAD_OK},
        {OpenFailure::kTooLarge, ZEZI_VIDAD_E_ENVELOPE_SYNTAX},
        {OpenFailure::kNoOutput, ZEZI_VIDAD_E_ARGUMENT},
        {OpenFailure::kNotJson, ZEZI_VIDAD_E_ENVELOPE_SYNTAX},
        {OpenFailure::kUnknownMember, ZEZI_VIDAD_E_ENVELOPE_MEMBER},
        {OpenFailure::kWrongFormat, ZEZI_VIDAD_E_ENVELOPE_FORMAT},
        {OpenFailure::kEphPubNotBase64, ZEZI_VIDAD_E_ENVELOPE_ENCODING},
        {OpenFailure::kBadEphemeralPoint, ZEZI_VIDAD_E_ENVELOPE_VALUE},
        {OpenFailure::kBadFleetScalar, ZEZI_VIDAD_E_PRIVATE_KEY},
        {OpenFailure::kKeyAgreementFailed, ZEZI_VIDAD_E_INTERNAL},
        {OpenFailure::kDoesNotOpen, ZEZI_VIDAD_E_DOES_NOT_OPEN},
        {OpenFailure::kDecryptionFailed, ZEZI_VIDAD_E_INTERNAL},
        {OpenFailure::kPayloadNotJson, ZEZI_VIDAD_E_PAYLOAD},
    },
    kLastOpenFailure);
static_assert(kStatusOfFailure.inOrder());

zezi_vidad_status statusOf(OpenFailure failure) {
  return kStatusOfFailure(failure, ZEZI_VIDAD_E_INTERNAL);
}

// The status of each signature check a caller can meet (kNoOutput is the library's own
// misuse: the C interface always gives both outputs). Their texts are the checks' own.
constexpr auto kStatusOfSignatureFailure = failureTable<SignatureFailure, zezi_vidad_status>(
    {
        {SignatureFailure::kStateUnreadable, ZEZI_VIDAD_E_REPLAY_STATE},
        {SignatureFailure::kTrustListDiffers, ZEZI_VIDAD_E_TRUST_LIST_DIFFERS},
        {SignatureFailure::kSignatureMissing, ZEZI_VIDAD_E_SIGNATURE_MISSING},
        {SignatureFailure::kTooLarge, ZEZI_VIDAD_E_SIGNATURE_FILE_TOO_LARGE},
        {SignatureFailure::kNotJson, ZEZI_VIDAD_E_SIGNATURE_FILE_NOT_JSON},
        {SignatureFailure::kNotObject, ZEZI_VIDAD_E_SIGNATURE_FILE_NOT_OBJECT},
        {SignatureFailure::kUnknownMember, ZEZI_VIDAD_E_SIGNATURE_FILE_UNKNOWN_MEMBER},
        {SignatureFailure::kFormatMissing, ZEZI_VIDAD_E_SIGNATURE_FILE_FORMAT_MISSING},
        {SignatureFailure::kStatementMissing, ZEZI_VIDAD_E_SIGNATURE_FILE_STATEMENT_MISSING},
        {SignatureFailure::kSignatureMemberMissing, ZEZI_VIDAD_E_SIGNATURE_FILE_SIGNATURE_MISSING},
        {SignatureFailure::kFormatRepeated, ZEZI_VIDAD_E_SIGNATURE_FILE_FORMAT_REPEATED},
        {SignatureFailure::kStatementRepeated, ZEZI_VIDAD_E_SIGNATURE_FILE_STATEMENT_REPEATED},
        {SignatureFailure::kSignatureRepeated, ZEZI_VIDAD_E_SIGNATURE_FILE_SIGNATURE_REPEATED},
        {SignatureFailure::kFormatNotString, ZEZI_VIDAD_E_SIGNATURE_FILE_FORMAT_NOT_STRING},
        {SignatureFailure::kStatementNotString, ZEZI_VIDAD_E_SIGNATURE_FILE_STATEMENT_NOT_STRING},
        {SignatureFailure::kSignatureNotString, ZEZI_VIDAD_E_SIGNATURE_FILE_SIGNATURE_NOT_STRING},
        {SignatureFailure::kWrongFormat, ZEZI_VIDAD_E_SIGNATURE_FILE_FORMAT},
        {SignatureFailure::kStatementNotBase64, ZEZI_VIDAD_E_SIGNATURE_FILE_STATEMENT_NOT_BASE64},
        {SignatureFailure::kSignatureNotBase64, ZEZI_VIDAD_E_SIGNATURE_FILE_SIGNATURE_NOT_BASE64},
        {SignatureFailure::kBadStatementSize, ZEZI_VIDAD_E_STATEMENT_SIZE},
        {SignatureFailure::kBadSignatureSize, ZEZI_VIDAD_E_SIGNATURE_SIZE},
        {SignatureFailure::kUnknownSigner, ZEZI_VIDAD_E_UNKNOWN_SIGNER},
        {SignatureFailure::kSupersededSigner, ZEZI_VIDAD_E_SUPERSEDED_SIGNER},
        {SignatureFailure::kNotCanonical, ZEZI_VIDAD_E_SIGNATURE_NOT_CANONICAL},
        {SignatureFailure::kCannotCheck, ZEZI_VIDAD_E_SIGNATURE_UNCHECKED},
        {SignatureFailure::kDoesNotVerify, ZEZI_VIDAD_E_SIGNATURE_DOES_NOT_VERIFY},
        {SignatureFailure::kOtherFleet, ZEZI_VIDAD_E_OTHER_FLEET},
        {SignatureFailure::kOtherEnvelope, ZEZI_VIDAD_E_OTHER_ENVELOPE},
        {SignatureFailure::kMalformedStatement, ZEZI_VIDAD_E_STATEMENT_MALFORMED},
        {SignatureFailure::kExpired, ZEZI_VIDAD_E_SIGNATURE_EXPIRED},
        {SignatureFailure::kNotYetValid, ZEZI_VIDAD_E_SIGNATURE_NOT_YET_VALID},
        {SignatureFailure::kSerialOlder, ZEZI_VIDAD_E_SERIAL_OLDER},
        {SignatureFailure::kSerialReused, ZEZI_VIDAD_E_SERIAL_REUSED},
        {SignatureFailure::kSetFull, ZEZI_VIDAD_E_SET_FULL},
        {SignatureFailure::kSetSsidTaken, ZEZI_VIDAD_E_SET_SSID_TAKEN},
    },
    kLastSignatureFailure);
static_assert(kStatusOfSignatureFailure.inOrder() && kStatusOfSignatureFailure.oneRowEach());
// The statuses follow the checks one for one and in their order: those up to
// ZEZI_VIDAD_E_SERIAL_REUSED right after the other statuses, the checks of sets after the
// key references'. A row that names another check's status does not compile.
constexpr std::size_t kFirstSetCheckRow = static_cast<std::size_t>(ZEZI_VIDAD_E_SERIAL_REUSED) -
                                          static_cast<std::size_t>(ZEZI_VIDAD_E_REPLAY_STATE) + 1;
static_assert(kStatusOfSignatureFailure.rows.front().value == kStatusTexts.last + 1);
static_assert(kStatusOfSignatureFailure.rows.back().value == ZEZI_VIDAD_E_SET_SSID_TAKEN);
constexpr bool statusesFollowChecks() {
  const auto& rows = kStatusOfSignatureFailure.rows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::size_t expected = i < kFirstSetCheckRow
                                     ? ZEZI_VIDAD_E_REPLAY_STATE + i
                                     : ZEZI_VIDAD_E_SET_FULL + (i - kFirstSetCheckRow);
    if (static_cast<std::size_t>(rows[i].value) != expected) {
      return false;
    }
  }
  return true;
}
static_assert(statusesFollowChecks());

zezi_vidad_status statusOf(SignatureFailure failure) {
  return kStatusOfSignatureFailure(failure, ZEZI_VIDAD_E_INTERNAL);
}

// The status of each reason a key reference does not load, right after the signature
// checks' and in the same order; their texts are the ones the tool prints.
constexpr auto kStatusOfKeyReferenceFailure = failureTable<KeyReferenceFailure, zezi_vidad_status>(
    {
        {KeyReferenceFailure::kNoProvider, ZEZI_VIDAD_E_KEY_PROVIDER},
        {KeyReferenceFailure::kUnreachable, ZEZI_VIDAD_E_TPM_UNREACHABLE},
        {KeyReferenceFailure::kNoSuchHandle, ZEZI_VIDAD_E_KEY_HANDLE},
        {KeyReferenceFailure::kNotLoadable, ZEZI_VIDAD_E_WRAPPED_KEY},
        {KeyReferenceFailure::kNotP256, ZEZI_VIDAD_E_KEY_NOT_P256},
        {KeyReferenceFailure::kRefused, ZEZI_VIDAD_E_TPM_REFUSED},
    },
    kLastKeyReferenceFailure);
static_assert(kStatusOfKeyReferenceFailure.inOrder() && kStatusOfKeyReferenceFailure.oneRowEach());
static_assert(kStatusOfKeyReferenceFailure.rows.front().value == ZEZI_VIDAD_E_SERIAL_REUSED + 1);
static_assert(kStatusOfKeyReferenceFailure.rows.back().value + 1 == ZEZI_VIDAD_E_NOT_KEY_REFERENCE);
static_assert(ZEZI_VIDAD_E_NOT_KEY_REFERENCE + 1 == ZEZI_VIDAD_E_SET_FULL);
constexpr bool statusesFollowKeyReferenceFailures() {
  const auto& rows = kStatusOfKeyReferenceFailure.rows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (static_cast<std::size_t>(rows[i].value) != ZEZI_VIDAD_E_KEY_PROVIDER + i) {
      return false;
    }
  }
  return true;
}
static_assert(statusesFollowKeyReferenceFailures());

zezi_vidad_status statusOf(KeyReferenceFailure failure) {
  return kStatusOfKeyReferenceFailure(failure, ZEZI_VIDAD_E_INTERNAL);
}

// The texts of the statuses of the files a device reads, after the key references' and the
// sets' statuses.
constexpr auto kFileStatusTexts = failureTable<zezi_vidad_status, const char*>(
    {
        {ZEZI_VIDAD_E_FILE, "file is missing, not a regular file, unreadable or too large"},
        {ZEZI_VIDAD_E_KEY_FILE_NOT_PEM,
         "key file is not an unencrypted PEM private key (EC PRIVATE KEY or PKCS#8)"},
        {ZEZI_VIDAD_E_KEY_FILE_PUBLIC, "key file holds a public key: give the private key file"},
        {ZEZI_VIDAD_E_KEY_FILE_NOT_P256, "key file holds a key that is not a P-256 key"},
    },
    ZEZI_VIDAD_E_KEY_FILE_NOT_P256);
static_assert(kFileStatusTexts.inOrder() && kFileStatusTexts.oneRowEach());
static_assert(ZEZI_VIDAD_E_FILE == ZEZI_VIDAD_E_SET_SSID_TAKEN + 1);

// The status of a private key file's text that gives no scalar; a public key where the
// private key belongs is told apart from the other texts.
zezi_vidad_status statusOf(PrivateKeyPemFailure failure, std::string_view pem) {
  switch (failure) {
    case PrivateKeyPemFailure::kNone:
      return ZEZI_VIDAD_OK;
    case PrivateKeyPemFailure::kNotPem:
      return holdsPublicKeyPem(pem) ? ZEZI_VIDAD_E_KEY_FILE_PUBLIC : ZEZI_VIDAD_E_KEY_FILE_NOT_PEM;
    case PrivateKeyPemFailure::kNotP256:
      return ZEZI_VIDAD_E_KEY_FILE_NOT_P256;
    case PrivateKeyPemFailure::kBadScalar:
      return ZEZI_VIDAD_E_PRIVATE_KEY;
    case PrivateKeyPemFailure::kScalarUnreadable:
      break;
  }
  return ZEZI_VIDAD_E_INTERNAL;
}

// The status of each fault of a trust list file, one for one and in their order, after the
// key files' statuses; their texts are the faults' own messages.
constexpr auto kStatusOfTrustListFileFailure =
    failureTable<TrustListFileFailure, zezi_vidad_status>(
        {
            {TrustListFileFailure::kByteOrderMark, ZEZI_VIDAD_E_TRUST_LIST_FILE_BYTE_ORDER_MARK},
            {TrustListFileFailure::kCarriageReturn, ZEZI_VIDAD_E_TRUST_LIST_FILE_CARRIAGE_RETURN},
            {TrustListFileFailure::kNoFinalLineFeed,
             ZEZI_VIDAD_E_TRUST_LIST_FILE_NO_FINAL_LINE_FEED},
            {TrustListFileFailure::kFirstLine, ZEZI_VIDAD_E_TRUST_LIST_FILE_FIRST_LINE},
            {TrustListFileFailure::kVersionLine, ZEZI_VIDAD_E_TRUST_LIST_FILE_VERSION},
            {TrustListFileFailure::kSerialFloorLine, ZEZI_VIDAD_E_TRUST_LIST_FILE_SERIAL_FLOOR},
            {TrustListFileFailure::kTimeFloorLine, ZEZI_VIDAD_E_TRUST_LIST_FILE_TIME_FLOOR},
            {TrustListFileFailure::kTimeFloorZero, ZEZI_VIDAD_E_TRUST_LIST_FILE_TIME_FLOOR_ZERO},
            {TrustListFileFailure::kNoSigner, ZEZI_VIDAD_E_TRUST_LIST_FILE_NO_SIGNER},
            {TrustListFileFailure::kTooManySigners, ZEZI_VIDAD_E_TRUST_LIST_FILE_TOO_MANY_SIGNERS},
            {TrustListFileFailure::kSignerLine, ZEZI_VIDAD_E_TRUST_LIST_FILE_SIGNER_LINE},
            {TrustListFileFailure::kSignerNotUncompressed,
             ZEZI_VIDAD_E_TRUST_LIST_FILE_SIGNER_NOT_UNCOMPRESSED},
        },
        kLastTrustListFileFailure);
static_assert(kStatusOfTrustListFileFailure.inOrder() &&
              kStatusOfTrustListFileFailure.oneRowEach());
static_assert(kStatusOfTrustListFileFailure.rows.front().value == kFileStatusTexts.last + 1);
static_assert(kStatusOfTrustListFileFailure.rows.back().value == ZEZI_VIDAD_STATUS_LAST);
constexpr bool statusesFollowTrustListFileFailures() {
  const auto& rows = kStatusOfTrustListFileFailure.rows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (static_cast<std::size_t>(rows[i].value) !=
        ZEZI_VIDAD_E_TRUST_LIST_FILE_BYTE_ORDER_MARK + i) {
      return false;
    }
  }
  return true;
}
static_assert(statusesFollowTrustListFileFailures());

// The text of a trust list file's status: its fault's message, a string literal.
const char* trustListFileStatusText(int status) {
  const auto& row = kStatusOfTrustListFileFailure.rows.at(
      static_cast<std::size_t>(status - ZEZI_VIDAD_E_TRUST_LIST_FILE_BYTE_ORDER_MARK));
  return trustListFileFailureText(row.first).data();
}

constexpr const char* kNotKeyReferenceText =
    "key reference is neither handle:0x and up to eight hex digits nor a readable TPM-wrapped "
    "key file";
// The most a key file, wrapped or PEM, may hold, as the tool reads key files.
constexpr std::size_t kMaxKeyFileSize = std::size_t{64} * 1024;

// The text of a key reference status, from ZEZI_VIDAD_E_KEY_PROVIDER to the last.
const char* keyReferenceStatusText(int status) {
  if (status == ZEZI_VIDAD_E_NOT_KEY_REFERENCE) {
    return kNotKeyReferenceText;
  }
  const auto& row = kStatusOfKeyReferenceFailure.rows.at(
      static_cast<std::size_t>(status - ZEZI_VIDAD_E_KEY_PROVIDER));
  return keyReferenceFailureText(row.first).data();
}

// The text of the file at `path`, in memory that is wiped when released: false unless it is
// a regular file of at most `maxSize` octets that reads whole.
bool readSmallFile(const std::string& path, std::size_t maxSize, SecretText* textOut) {
  return !path.empty() &&
         readWholeFile(AT_FDCWD, path, Symlinks::kFollow, maxSize, textOut) == WholeFile::kRead;
}

// The text of a wrapped key file at `path`: false unless it is a key file whose first PEM
// block is a TPM-wrapped key.
bool readWrappedKey(const std::string& path, SecretText* pemOut) {
  SecretText pem;
  if (!readSmallFile(path, kMaxKeyFileSize, &pem) || !isWrappedKey(pem)) {
    return false;
  }
  *pemOut = std::move(pem);
  return true;
}

// An opener for a scalar in [1, n - 1].
zezi_vidad_status openerOfScalar(const Bytes& scalar, zezi_vidad_opener** openerOut) {
  if (!isUsableScalar(scalar)) {
    return ZEZI_VIDAD_E_PRIVATE_KEY;
  }
  auto made = std::make_unique<zezi_vidad_opener>();
  made->opener = FleetOpener::create(scalar);
  made->fleetPoint = derivePublicPoint(scalar);
  if (!made->opener || made->fleetPoint.empty()) {
    return ZEZI_VIDAD_E_INTERNAL;
  }
  *openerOut = made.release();
  return ZEZI_VIDAD_OK;
}

// A trust list of `settings`, as zezi_vidad_trust_list_new makes it.
zezi_vidad_status trustListOf(const TrustSettings& settings, zezi_vidad_trust_list** listOut) {
  auto made = std::make_unique<zezi_vidad_trust_list>();
  if (!loadTrustList(settings, &made->list, nullptr)) {
    return ZEZI_VIDAD_E_TRUST_LIST;
  }
  *listOut = made.release();
  return ZEZI_VIDAD_OK;
}

// The key `text` refers to, loaded through the chosen provider: the form of the reference
// is checked (and a file read) before any provider starts.
zezi_vidad_status loadReference(std::string_view text,
                                std::shared_ptr<const KeyReference>* referenceOut) {
  const bool handle = text.starts_with(kKeyHandlePrefix);
  SecretText pem;
  if (handle ? !isKeyHandle(text) : !readWrappedKey(std::string(text), &pem)) {
    return ZEZI_VIDAD_E_NOT_KEY_REFERENCE;
  }
  std::string provider;
  if (!chosenKeyProvider(&provider)) {
    return ZEZI_VIDAD_E_KEY_PROVIDER;
  }
  std::unique_ptr<KeyReference> reference;
  if (const KeyReferenceFailure failure =
          handle ? KeyReference::loadHandle(text, provider, &reference)
                 : KeyReference::loadWrapped(pem, provider, &reference);
      failure != KeyReferenceFailure::kNone) {
    return statusOf(failure);
  }
  *referenceOut = std::move(reference);
  return ZEZI_VIDAD_OK;
}

// An envelope's own checks with an opener's key; a TPM that refuses the agreement says so.
zezi_vidad_status openWith(std::string_view envelope, const zezi_vidad_opener& opener,
                           Network* networkOut) {
  const OpenFailure failure = openEnvelopeFor(envelope, *opener.opener, networkOut);
  if (failure == OpenFailure::kKeyAgreementFailed && opener.heldKey) {
    return ZEZI_VIDAD_E_TPM_REFUSED;
  }
  return statusOf(failure);
}

// The text of a signature check's status (ZEZI_VIDAD_E_REPLAY_STATE to
// ZEZI_VIDAD_E_SERIAL_REUSED, ZEZI_VIDAD_E_SET_FULL and after): the check's own message, a
// string literal.
const char* signatureStatusText(int status) {
  const std::size_t row =
      status >= ZEZI_VIDAD_E_SET_FULL
          ? kFirstSetCheckRow + static_cast<std::size_t>(status - ZEZI_VIDAD_E_SET_FULL)
          : static_cast<std::size_t>(status - ZEZI_VIDAD_E_REPLAY_STATE);
  return signatureFailureText(kStatusOfSignatureFailure.rows.at(row).first).data();
}

// The state of the caller's fields; false for a set or an SSID larger than a record holds.
bool stateOf(const zezi_vidad_replay_state& fields, ReplayState* stateOut) {
  if (fields.set_size > kMaxSetSize) {
    return false;
  }
  ReplayState state;
  state.trustListVersion = fields.trust_list_version;
  std::copy_n(fields.trust_list_digest, kDigestSize, state.trustListDigest.begin());
  std::copy_n(fields.key_id, kDigestSize, state.keyId.begin());
  state.highestSerial = fields.highest_serial;
  state.timeFloor = fields.time_floor;
  std::copy_n(fields.set_key_id, kDigestSize, state.setKeyId.begin());
  state.setSerial = fields.set_serial;
  state.setCarried = fields.set_carried != 0;
  for (std::size_t i = 0; i < fields.set_size; ++i) {
    const zezi_vidad_set_member& given = fields.set[i];
    if (given.ssid_length > kMaxSsidSize) {
      return false;
    }
    SetMember member{{}, given.issued_at, given.expires_at, {}};
    std::copy_n(given.envelope_sha256, kDigestSize, member.envelopeSha256.begin());
    if (given.ssid_length > 0) {
      member.ssid = std::string(given.ssid, given.ssid + given.ssid_length);
    }
    state.set.push_back(std::move(member));
  }
  if (fields.legacy != 0) {
    state.legacyKeyIndex = fields.legacy_key_index;
  }
  *stateOut = std::move(state);
  return true;
}

zezi_vidad_replay_state fieldsOf(const ReplayState& state) {
  zezi_vidad_replay_state fields{};
  fields.trust_list_version = state.trustListVersion;
  std::copy(state.trustListDigest.begin(), state.trustListDigest.end(), fields.trust_list_digest);
  std::copy(state.keyId.begin(), state.keyId.end(), fields.key_id);
  fields.highest_serial = state.highestSerial;
  fields.time_floor = state.timeFloor;
  std::copy(state.setKeyId.begin(), state.setKeyId.end(), fields.set_key_id);
  fields.set_serial = state.setSerial;
  fields.set_carried = state.setCarried ? 1 : 0;
  fields.set_size = state.set.size();
  for (std::size_t i = 0; i < state.set.size(); ++i) {
    const SetMember& member = state.set[i];
    zezi_vidad_set_member& out = fields.set[i];
    std::copy(member.envelopeSha256.begin(), member.envelopeSha256.end(), out.envelope_sha256);
    out.issued_at = member.issuedAt;
    out.expires_at = member.expiresAt;
    const std::string ssid = member.ssid.value_or(std::string());
    std::copy(ssid.begin(), ssid.end(), out.ssid);
    out.ssid_length = ssid.size();
  }
  fields.legacy = state.legacyKeyIndex ? 1 : 0;
  fields.legacy_key_index = state.legacyKeyIndex.value_or(0);
  return fields;
}

// openSignedEnvelope's steps in its order, with the opener's key: the signature checks,
// the fleet key against the trust list's, then the envelope's own checks.
zezi_vidad_status openSigned(const SignatureInput& input, const TrustList& trustList,
                             const zezi_vidad_opener& opener, Network* networkOut,
                             VerifiedSignature* verifiedOut, ReplayState* stateOut) {
  if (const SignatureFailure failure = verifySignatureFor(input, trustList, verifiedOut, stateOut);
      failure != SignatureFailure::kNone) {
    return statusOf(failure);
  }
  if (opener.fleetPoint != rawToPoint(trustList.fleetKey())) {
    return ZEZI_VIDAD_E_FLEET_KEY_MISMATCH;
  }
  if (const zezi_vidad_status status = openWith(input.envelope, opener, networkOut);
      status != ZEZI_VIDAD_OK) {
    return status;
  }
  const SignatureFailure failure = recordOpenedNetwork(*verifiedOut, networkOut->ssid, stateOut);
  return failure == SignatureFailure::kNone ? ZEZI_VIDAD_OK : statusOf(failure);
}

// The checks' input from the C call's.
SignatureInput signatureInput(std::string_view envelope, const char* signature,
                              size_t signatureLength, zezi_vidad_signature_policy policy,
                              const uint64_t* now, const ReplayState* state) {
  SignatureInput input;
  input.envelope = envelope;
  if (signature != nullptr) {
    input.signatureFile = std::string_view(signature, signatureLength);
  }
  input.state = state;
  input.policy = policy == ZEZI_VIDAD_SIGNATURE_TRANSITION ? SignaturePolicy::kTransition
                                                           : SignaturePolicy::kRequired;
  if (now != nullptr) {
    input.now = *now;
  }
  return input;
}

// The record for the caller to store after an accepted envelope, or none (empty): only a
// signed envelope moves the state on, and an envelope of the set read again leaves the
// record as it is stored. False when OpenSSL fails.
[[nodiscard]] bool recordToStore(const VerifiedSignature& verified, const ReplayState& next,
                                 const Bytes& stored, Bytes* recordOut) {
  if (!verified.isSigned) {
    recordOut->clear();
    return true;
  }
  Bytes record = encodeReplayState(next);
  if (record.size() != kReplayRecordSize) {
    return false;
  }
  if (record == stored) {
    record.clear();
  }
  *recordOut = std::move(record);
  return true;
}

// Whether an opened network's SSID fits the caller's buffer; when not, the length needed
// is the one output written.
zezi_vidad_status networkFits(const Network& network, size_t ssidCapacity, size_t* ssidLengthOut) {
  if (network.ssid.size() > ssidCapacity) {
    *ssidLengthOut = network.ssid.size();
    return ZEZI_VIDAD_E_BUFFER_TOO_SMALL;
  }
  return ZEZI_VIDAD_OK;
}

// Copies an opened network into the caller's buffers, as zezi_vidad_open does.
void writeNetwork(const Network& network, uint8_t* ssidOut, size_t* ssidLengthOut, char* pskOut) {
  // Octets, not text: no terminator is written.
  std::copy(network.ssid.begin(), network.ssid.end(), ssidOut);
  *ssidLengthOut = network.ssid.size();
  std::memcpy(pskOut, network.psk.c_str(), network.psk.size() + 1);
}

// The class of each status, as runs: a row's class holds up to the next row's status.
constexpr auto kClassOfStatus = failureTable<zezi_vidad_status, zezi_vidad_status_class>(
    {
        {ZEZI_VIDAD_OK, ZEZI_VIDAD_CLASS_OK},
        {ZEZI_VIDAD_E_ARGUMENT, ZEZI_VIDAD_CLASS_ARGUMENT},
        {ZEZI_VIDAD_E_NO_MEMORY, ZEZI_VIDAD_CLASS_RESOURCE},
        {ZEZI_VIDAD_E_PRIVATE_KEY, ZEZI_VIDAD_CLASS_SETUP},
        {ZEZI_VIDAD_E_SSID, ZEZI_VIDAD_CLASS_ARGUMENT},
        {ZEZI_VIDAD_E_ENVELOPE_SYNTAX, ZEZI_VIDAD_CLASS_DAMAGED},
        {ZEZI_VIDAD_E_TRUST_LIST, ZEZI_VIDAD_CLASS_SETUP},
        {ZEZI_VIDAD_E_SIGNATURE_MISSING, ZEZI_VIDAD_CLASS_UNTRUSTED},
        {ZEZI_VIDAD_E_SIGNATURE_FILE_TOO_LARGE, ZEZI_VIDAD_CLASS_DAMAGED},
        {ZEZI_VIDAD_E_UNKNOWN_SIGNER, ZEZI_VIDAD_CLASS_UNTRUSTED},
        {ZEZI_VIDAD_E_SIGNATURE_NOT_CANONICAL, ZEZI_VIDAD_CLASS_DAMAGED},
        {ZEZI_VIDAD_E_SIGNATURE_UNCHECKED, ZEZI_VIDAD_CLASS_RESOURCE},
        {ZEZI_VIDAD_E_SIGNATURE_DOES_NOT_VERIFY, ZEZI_VIDAD_CLASS_DAMAGED},
        {ZEZI_VIDAD_E_OTHER_FLEET, ZEZI_VIDAD_CLASS_UNTRUSTED},
        {ZEZI_VIDAD_E_OTHER_ENVELOPE, ZEZI_VIDAD_CLASS_DAMAGED},
        {ZEZI_VIDAD_E_SIGNATURE_EXPIRED, ZEZI_VIDAD_CLASS_STALE},
        {ZEZI_VIDAD_E_KEY_PROVIDER, ZEZI_VIDAD_CLASS_SETUP},
        {ZEZI_VIDAD_E_SET_FULL, ZEZI_VIDAD_CLASS_STALE},
        {ZEZI_VIDAD_E_FILE, ZEZI_VIDAD_CLASS_SETUP},
    },
    ZEZI_VIDAD_STATUS_LAST);
static_assert(kClassOfStatus.inOrder());

}  // namespace
}  // namespace zezi

// The device's half of the C interface: what libzezi_vidad_device has too.
extern "C" {

const char* zezi_vidad_version(void) {
  return ZEZI_VIDAD_VERSION_STRING;
}

const char* zezi_vidad_strerror(int status) {
  if (status < 0 || status > ZEZI_VIDAD_STATUS_LAST) {
    return zezi::kUnknownStatusText;
  }
  if (status >= ZEZI_VIDAD_E_TRUST_LIST_FILE_BYTE_ORDER_MARK) {
    return zezi::trustListFileStatusText(status);
  }
  if (status >= ZEZI_VIDAD_E_FILE) {
    return zezi::kFileStatusTexts(static_cast<zezi_vidad_status>(status), zezi::kUnknownStatusText);
  }
  if (status >= ZEZI_VIDAD_E_KEY_PROVIDER && status < ZEZI_VIDAD_E_SET_FULL) {
    return zezi::keyReferenceStatusText(status);
  }
  if (status > static_cast<int>(zezi::kStatusTexts.last)) {
    return zezi::signatureStatusText(status);
  }
  return zezi::kStatusTexts(static_cast<zezi_vidad_status>(status), zezi::kUnknownStatusText);
}

zezi_vidad_status_class zezi_vidad_status_class_of(int status) {
  if (status < 0 || status > ZEZI_VIDAD_STATUS_LAST) {
    return ZEZI_VIDAD_CLASS_ARGUMENT;
  }
  return zezi::kClassOfStatus(static_cast<zezi_vidad_status>(status), ZEZI_VIDAD_CLASS_ARGUMENT);
}

zezi_vidad_status zezi_vidad_open(const char* envelope, size_t envelope_length,
                                  const uint8_t fleet_scalar[ZEZI_VIDAD_SCALAR_SIZE],
                                  uint8_t* ssid_out, size_t ssid_capacity, size_t* ssid_length_out,
                                  char* psk_out, size_t psk_capacity) {
  return zezi::guarded([&] {
    if ((envelope == nullptr && envelope_length > 0) || fleet_scalar == nullptr ||
        ssid_out == nullptr || ssid_length_out == nullptr || psk_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    if (psk_capacity < ZEZI_VIDAD_PSK_BUFFER_SIZE) {
      return ZEZI_VIDAD_E_BUFFER_TOO_SMALL;
    }
    zezi::Network network;
    const zezi::OpenFailure failure =
        zezi::openEnvelopeFor(std::string_view(envelope, envelope_length),
                              zezi::octets(fleet_scalar, zezi::kScalarSize), &network);
    if (failure != zezi::OpenFailure::kNone) {
      return zezi::statusOf(failure);
    }
    if (const zezi_vidad_status fits = zezi::networkFits(network, ssid_capacity, ssid_length_out);
        fits != ZEZI_VIDAD_OK) {
      return fits;
    }
    zezi::writeNetwork(network, ssid_out, ssid_length_out, psk_out);
    return ZEZI_VIDAD_OK;
  });
}

zezi_vidad_status zezi_vidad_opener_new(const uint8_t fleet_scalar[ZEZI_VIDAD_SCALAR_SIZE],
                                        zezi_vidad_opener** opener_out) {
  return zezi::guarded([&] {
    if (fleet_scalar == nullptr || opener_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    return zezi::openerOfScalar(zezi::octets(fleet_scalar, zezi::kScalarSize), opener_out);
  });
}

zezi_vidad_status zezi_vidad_opener_new_from_pem_file(const char* path,
                                                      zezi_vidad_opener** opener_out) {
  return zezi::guarded([&] {
    if (path == nullptr || opener_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    zezi::SecretText pem;
    if (!zezi::readSmallFile(path, zezi::kMaxKeyFileSize, &pem)) {
      return ZEZI_VIDAD_E_FILE;
    }
    zezi::Bytes scalar;
    if (const zezi_vidad_status read = zezi::statusOf(zezi::readPrivateKeyPem(pem, &scalar), pem);
        read != ZEZI_VIDAD_OK) {
      return read;
    }
    return zezi::openerOfScalar(scalar, opener_out);
  });
}

zezi_vidad_status zezi_vidad_opener_public_key(const zezi_vidad_opener* opener,
                                               uint8_t public_key_out[ZEZI_VIDAD_PUBLIC_KEY_SIZE]) {
  return zezi::guarded([&] {
    if (opener == nullptr || public_key_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    if (opener->fleetPoint.size() != zezi::kPointSize) {
      return ZEZI_VIDAD_E_INTERNAL;
    }
    // The raw key is the point without its uncompressed prefix.
    std::copy(opener->fleetPoint.begin() + 1, opener->fleetPoint.end(), public_key_out);
    return ZEZI_VIDAD_OK;
  });
}

zezi_vidad_status zezi_vidad_opener_new_from_reference(const char* key_reference,
                                                       zezi_vidad_opener** opener_out) {
  return zezi::guarded([&] {
    if (key_reference == nullptr || opener_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    std::shared_ptr<const zezi::KeyReference> reference;
    if (const zezi_vidad_status loaded = zezi::loadReference(key_reference, &reference);
        loaded != ZEZI_VIDAD_OK) {
      return loaded;
    }
    auto made = std::make_unique<zezi_vidad_opener>();
    made->opener = zezi::FleetOpenerSteps::fromReference(std::move(reference));
    if (!made->opener) {
      return ZEZI_VIDAD_E_INTERNAL;
    }
    made->fleetPoint = zezi::FleetOpenerSteps::fleetPoint(*made->opener);
    made->heldKey = true;
    *opener_out = made.release();
    return ZEZI_VIDAD_OK;
  });
}

void zezi_vidad_opener_free(zezi_vidad_opener* opener) {
  delete opener;  // NOLINT(cppcoreguidelines-owning-memory): the C caller's handle
}

zezi_vidad_status zezi_vidad_open_with(const zezi_vidad_opener* opener, const char* envelope,
                                       size_t envelope_length, uint8_t* ssid_out,
                                       size_t ssid_capacity, size_t* ssid_length_out, char* psk_out,
                                       size_t psk_capacity) {
  return zezi::guarded([&] {
    if (opener == nullptr || (envelope == nullptr && envelope_length > 0) || ssid_out == nullptr ||
        ssid_length_out == nullptr || psk_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    if (psk_capacity < ZEZI_VIDAD_PSK_BUFFER_SIZE) {
      return ZEZI_VIDAD_E_BUFFER_TOO_SMALL;
    }
    zezi::Network network;
    if (const zezi_vidad_status opened =
            zezi::openWith(std::string_view(envelope, envelope_length), *opener, &network);
        opened != ZEZI_VIDAD_OK) {
      return opened;
    }
    if (const zezi_vidad_status fits = zezi::networkFits(network, ssid_capacity, ssid_length_out);
        fits != ZEZI_VIDAD_OK) {
      return fits;
    }
    zezi::writeNetwork(network, ssid_out, ssid_length_out, psk_out);
    return ZEZI_VIDAD_OK;
  });
}

zezi_vidad_status zezi_vidad_trust_list_new(
    const uint8_t* signer_keys, size_t signer_count,
    const uint8_t fleet_public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE], uint64_t version,
    uint64_t serial_floor, uint64_t time_floor, zezi_vidad_trust_list** trust_list_out) {
  return zezi::guarded([&] {
    if ((signer_keys == nullptr && signer_count > 0) || fleet_public_key == nullptr ||
        trust_list_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    // More keys than a list holds are refused before they are read.
    if (signer_count == 0 || signer_count > zezi::kMaxTrustedSigners) {
      return ZEZI_VIDAD_E_TRUST_LIST;
    }
    zezi::TrustSettings settings;
    for (size_t i = 0; i < signer_count; ++i) {
      settings.signerKeys.push_back(
          zezi::octets(signer_keys + i * zezi::kRawPublicKeySize, zezi::kRawPublicKeySize));
    }
    settings.fleetKey = zezi::octets(fleet_public_key, zezi::kRawPublicKeySize);
    settings.version = version;
    settings.serialFloor = serial_floor;
    settings.timeFloor = time_floor;
    return zezi::trustListOf(settings, trust_list_out);
  });
}

zezi_vidad_status zezi_vidad_trust_list_new_from_file(
    const char* path, const uint8_t fleet_public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE],
    zezi_vidad_trust_list** trust_list_out) {
  return zezi::guarded([&] {
    if (path == nullptr || fleet_public_key == nullptr || trust_list_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    zezi::SecretText text;
    if (!zezi::readSmallFile(path, zezi::kMaxTrustListFileSize, &text)) {
      return ZEZI_VIDAD_E_FILE;
    }
    zezi::TrustSettings settings;
    if (const zezi::TrustListFileFailure failure = zezi::readTrustListFile(text, &settings);
        failure != zezi::TrustListFileFailure::kNone) {
      return zezi::kStatusOfTrustListFileFailure(failure, ZEZI_VIDAD_E_INTERNAL);
    }
    settings.fleetKey = zezi::octets(fleet_public_key, zezi::kRawPublicKeySize);
    return zezi::trustListOf(settings, trust_list_out);
  });
}

void zezi_vidad_trust_list_free(zezi_vidad_trust_list* trust_list) {
  delete trust_list;  // NOLINT(cppcoreguidelines-owning-memory): the C caller's handle
}

zezi_vidad_status zezi_vidad_open_signed(
    const zezi_vidad_opener* opener, const zezi_vidad_trust_list* trust_list, const char* envelope,
    size_t envelope_length, const char* signature, size_t signature_length,
    zezi_vidad_signature_policy policy, const uint64_t* now, const uint8_t* record,
    size_t record_length, uint8_t record_out[ZEZI_VIDAD_REPLAY_RECORD_SIZE],
    size_t* record_length_out, uint8_t* ssid_out, size_t ssid_capacity, size_t* ssid_length_out,
    char* psk_out, size_t psk_capacity) {
  return zezi::guarded([&] {
    if (opener == nullptr || trust_list == nullptr ||
        (envelope == nullptr && envelope_length > 0) || (record == nullptr && record_length > 0) ||
        record_out == nullptr || record_length_out == nullptr || ssid_out == nullptr ||
        ssid_length_out == nullptr || psk_out == nullptr ||
        (policy != ZEZI_VIDAD_SIGNATURE_REQUIRED && policy != ZEZI_VIDAD_SIGNATURE_TRANSITION)) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    if (psk_capacity < ZEZI_VIDAD_PSK_BUFFER_SIZE) {
      return ZEZI_VIDAD_E_BUFFER_TOO_SMALL;
    }
    const zezi::TrustList& trustList = trust_list->list;
    // As the tool's store reads it: no record is a fresh device, and one that does not
    // decode is an unreadable state, which the checks refuse.
    const zezi::Bytes stored = zezi::octets(record, record_length);
    zezi::ReplayState state = zezi::freshReplayState(trustList);
    const bool readable = stored.empty() || zezi::decodeReplayState(stored, &state);
    const zezi::SignatureInput input =
        zezi::signatureInput(std::string_view(envelope, envelope_length), signature,
                             signature_length, policy, now, readable ? &state : nullptr);
    zezi::Network network;
    zezi::VerifiedSignature verified;
    zezi::ReplayState next;
    if (const zezi_vidad_status status =
            zezi::openSigned(input, trustList, *opener, &network, &verified, &next);
        status != ZEZI_VIDAD_OK) {
      return status;
    }
    if (const zezi_vidad_status fits = zezi::networkFits(network, ssid_capacity, ssid_length_out);
        fits != ZEZI_VIDAD_OK) {
      return fits;
    }
    zezi::Bytes nextRecord;
    if (!zezi::recordToStore(verified, next, stored, &nextRecord)) {
      return ZEZI_VIDAD_E_INTERNAL;
    }
    std::copy(nextRecord.begin(), nextRecord.end(), record_out);
    *record_length_out = nextRecord.size();
    zezi::writeNetwork(network, ssid_out, ssid_length_out, psk_out);
    return ZEZI_VIDAD_OK;
  });
}

zezi_vidad_status zezi_vidad_replay_record_decode(const uint8_t* record, size_t record_length,
                                                  zezi_vidad_replay_state* state_out) {
  return zezi::guarded([&] {
    if ((record == nullptr && record_length > 0) || state_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    zezi::ReplayState state;
    if (!zezi::decodeReplayState(zezi::octets(record, record_length), &state)) {
      return ZEZI_VIDAD_E_REPLAY_STATE;
    }
    *state_out = zezi::fieldsOf(state);
    return ZEZI_VIDAD_OK;
  });
}

zezi_vidad_status zezi_vidad_replay_record_encode(const zezi_vidad_replay_state* state,
                                                  uint8_t record_out[ZEZI_VIDAD_REPLAY_RECORD_SIZE],
                                                  size_t* record_length_out) {
  return zezi::guarded([&] {
    if (state == nullptr || record_out == nullptr || record_length_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    zezi::ReplayState fields;
    if (!zezi::stateOf(*state, &fields) || !zezi::isRecordable(fields)) {
      return ZEZI_VIDAD_E_REPLAY_STATE;
    }
    const zezi::Bytes record = zezi::encodeReplayState(fields);
    if (record.empty()) {
      return ZEZI_VIDAD_E_INTERNAL;
    }
    std::copy(record.begin(), record.end(), record_out);
    *record_length_out = record.size();
    return ZEZI_VIDAD_OK;
  });
}

}  // extern "C"
