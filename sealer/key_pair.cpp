#include "sealer/key_files.h"

#include "crypto/p256_keys.h"

namespace zezi {

bool generateKeyPair(Bytes* scalarOut, Bytes* rawPublicKeyOut) {
  return generateEphemeralKey(scalarOut, rawPublicKeyOut);
}

Bytes publicKeyOfScalar(const Bytes& scalar) {
  const PkeyPtr key = loadPrivateKey(scalar);
  return key ? encodedPublicKey(key.get()) : Bytes{};
}

}  // namespace zezi
