#include "cli/key_loading.h"

#include <cstddef>

#include "base/failure.h"
#include "base/ossl_owners.h"
#include "cli/secret_input.h"
#include "encoding/hex.h"
#include "envelope/key_files.h"
#include "envelope/p256_keys.h"

namespace zezi {
namespace {

constexpr std::size_t kMaxKeyFileSize = std::size_t{64} * 1024;

// Key files never come from standard input, so "-" names a file.
bool readKeyFile(const std::string& path, SecretText* pem, std::string* error) {
  return readInput(path == "-" ? "./-" : path, kMaxKeyFileSize, pem, error);
}

}  // namespace

bool loadPrivateScalar(const std::string& path, Bytes* scalar, std::string* error) {
  SecretText pem;
  std::string why;
  if (!readKeyFile(path, &pem, error)) {
    return false;
  }
  return privateScalarFromPem(pem, scalar, &why) || failWith(error, path + ": " + why);
}

Bytes rawPublicKeyOf(const Bytes& scalar) {
  const PkeyPtr key = loadPrivateKey(scalar);
  return key ? encodedPublicKey(key.get()) : Bytes{};
}

bool loadPublicKeyText(const std::string& text, std::string_view what, Bytes* raw,
                       std::string* error) {
  std::string why;
  const std::string prefix = std::string(what) + ": ";
  const bool allHex =
      !text.empty() && text.find_first_not_of(kHexDigitsEitherCase) == std::string::npos;
  if (allHex && text.size() == 2 * kRawPublicKeySize) {
    return rawPublicKeyFromHex(text, raw, &why) || failWith(error, prefix + why);
  }
  SecretText pem;
  if (!readKeyFile(text, &pem, error)) {
    // Most likely a mistyped raw key rather than a missing file.
    return allHex ? failWith(error, prefix + "raw key must be 128 hex characters, not " +
                                        std::to_string(text.size()))
                  : false;
  }
  return rawPublicKeyFromPem(pem, raw, &why) || failWith(error, text + ": " + why);
}

bool loadFleetKey(const std::string& text, Bytes* raw, std::string* error) {
  return loadPublicKeyText(text, "fleet key", raw, error);
}

}  // namespace zezi
