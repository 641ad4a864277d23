#include "opener/trust_list.h"

#include <algorithm>
#include <string_view>

#include "base/failure.h"
#include "crypto/p256_keys.h"
#include "crypto/sha256.h"
#include "crypto/signature.h"
#include "crypto/statement.h"

namespace zezi {
namespace {

// The octets a trust list's digest covers: "tolvane-wifi-drive-trust/v1", a zero octet,
// version, serial floor and time floor (8 octets each, big-endian), then the fleet point
// and each signer point in order (65 octets each, 04 || X || Y).
constexpr std::string_view kTrustListDomain = "tolvane-wifi-drive-trust/v1";
constexpr unsigned kBitsPerOctet = 8;

void appendInteger(std::uint64_t value, Bytes* out) {
  for (std::size_t i = sizeof value; i-- > 0;) {
    out->push_back(static_cast<std::uint8_t>(value >> (i * kBitsPerOctet)));
  }
}

void appendPoint(const Bytes& rawKey, Bytes* out) {
  const Bytes point = rawToPoint(rawKey);
  out->insert(out->end(), point.begin(), point.end());
}

Bytes digestInput(const TrustSettings& settings) {
  Bytes input(kTrustListDomain.begin(), kTrustListDomain.end());
  input.push_back(0);
  appendInteger(settings.version, &input);
  appendInteger(settings.serialFloor, &input);
  appendInteger(settings.timeFloor, &input);
  appendPoint(settings.fleetKey, &input);
  for (const Bytes& key : settings.signerKeys) {
    appendPoint(key, &input);
  }
  return input;
}

}  // namespace

bool loadTrustList(const TrustSettings& settings, TrustList* trustListOut, std::string* errorOut) {
  if (trustListOut == nullptr) {
    return failWith(errorOut, "no output for the trust list");
  }
  if (settings.signerKeys.empty()) {
    return failWith(errorOut, "trust list holds no signer key");
  }
  if (settings.signerKeys.size() > kMaxTrustedSigners) {
    return failWith(errorOut, "trust list holds more than 4 signer keys");
  }
  if (!loadPublicKey(settings.fleetKey)) {
    return failWith(errorOut, "fleet public key is not a P-256 point");
  }
  TrustList loaded;
  for (const Bytes& key : settings.signerKeys) {
    std::shared_ptr<const Verifier> verifier = Verifier::create(key);
    if (!verifier) {
      return failWith(errorOut, "trust list signer key is not a P-256 point");
    }
    if (key == settings.fleetKey) {
      return failWith(errorOut, "trust list signer key is the fleet key");
    }
    Digest id{};
    if (!keyIdOf(key, &id)) {
      return failWith(errorOut, "cannot compute a key id");
    }
    if (std::find(loaded.signerIds_.begin(), loaded.signerIds_.end(), id) !=
        loaded.signerIds_.end()) {
      return failWith(errorOut, "trust list holds a signer key twice");
    }
    loaded.signerIds_.push_back(id);
    loaded.verifiers_.push_back(std::move(verifier));
  }
  if (!keyIdOf(settings.fleetKey, &loaded.fleetId_)) {
    return failWith(errorOut, "cannot compute a key id");
  }
  if (!sha256(digestInput(settings), &loaded.digest_)) {
    return failWith(errorOut, "cannot compute the trust list digest");
  }
  loaded.settings_ = settings;
  *trustListOut = std::move(loaded);
  return true;
}

}  // namespace zezi
