// A program built against the installed library only: it seals an envelope for the
// self-test's fleet key and runs the self-test.
#include <cstdio>
#include <string>

#include <zezi_vidad/encoding/hex.h>
#include <zezi_vidad/envelope/builder.h>
#include <zezi_vidad/envelope/p256_keys.h>
#include <zezi_vidad/selftest/known_answers.h>
#include <zezi_vidad/selftest/self_test.h>

int main() {
  const zezi::PkeyPtr fleetKey = zezi::loadPrivateKey(zezi::hexDecode(zezi::kTestFleetScalarHex));
  std::string envelope;
  std::string error;
  if (!fleetKey ||
      !zezi::buildEnvelope("consumer", zezi::kTestPsk, zezi::encodedPublicKey(fleetKey.get()),
                           &envelope, &error)) {
    std::fprintf(stderr, "consumer: %s\n", error.c_str());
    return 1;
  }
  if (!zezi::runSelfTest(&error)) {
    std::fprintf(stderr, "consumer: %s\n", error.c_str());
    return 1;
  }
  std::printf("consumer: sealed %zu octets of envelope\n", envelope.size());
  return 0;
}
