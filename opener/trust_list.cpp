#include "opener/trust_list.h"

#include <algorithm>

#include "base/failure.h"
#include "crypto/p256_keys.h"
#include "crypto/statement.h"

namespace zezi {

std::optional<std::size_t> TrustList::indexOf(const Digest& signerId) const {
  const auto found = std::find(signerIds_.begin(), signerIds_.end(), signerId);
  if (found == signerIds_.end()) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(found - signerIds_.begin());
}

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
    if (!loadPublicKey(key)) {
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
  }
  if (!keyIdOf(settings.fleetKey, &loaded.fleetId_)) {
    return failWith(errorOut, "cannot compute a key id");
  }
  loaded.settings_ = settings;
  *trustListOut = std::move(loaded);
  return true;
}

}  // namespace zezi
