#include "sealer/key_files.h"

#include "crypto/p256_keys.h"
#include "crypto/public_key_text.h"

namespace zezi {

bool generateKeyPair(Bytes* scalarOut, Bytes* rawPublicKeyOut) {
  return generateEphemeralKey(scalarOut, rawPublicKeyOut);
}

Bytes publicKeyOfScalar(const Bytes& scalar) {
  return rawPublicKeyOfScalar(scalar);
}

}  // namespace zezi
