#include "crypto/sha256.h"

#include <openssl/evp.h>

namespace zezi {

bool sha256(std::span<const std::uint8_t> octets, Digest* digestOut) {
  Digest digest{};
  unsigned int size = 0;
  // digest = SHA-256(octets)
  if (digestOut == nullptr ||
      EVP_Digest(octets.data(), octets.size(), digest.data(), &size, EVP_sha256(),
                 /*impl=*/nullptr) != 1 ||
      size != digest.size()) {
    return false;
  }
  *digestOut = digest;
  return true;
}

bool sha256(std::string_view octets, Digest* digestOut) {
  return sha256(std::span(reinterpret_cast<const std::uint8_t*>(octets.data()), octets.size()),
                digestOut);
}

}  // namespace zezi
