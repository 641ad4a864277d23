// A program built against the installed library only: it seals an envelope for the
// self-test's fleet key, opens it as a device would, and runs the self-test.
#include <cstdio>
#include <string>

#include <zezi_vidad/encoding/hex.h>
#include <zezi_vidad/envelope/builder.h>
#include <zezi_vidad/envelope/p256_keys.h>
#include <zezi_vidad/opener/open_envelope.h>
#include <zezi_vidad/selftest/checks.h>
#include <zezi_vidad/selftest/known_answers.h>

namespace {

int fail(const std::string& error) {
  std::fprintf(stderr, "consumer: %s\n", error.c_str());
  return 1;
}

}  // namespace

int main() {
  const zezi::Bytes fleetScalar = zezi::hexDecode(zezi::kTestFleetScalarHex);
  const zezi::PkeyPtr fleetKey = zezi::loadPrivateKey(fleetScalar);
  if (!fleetKey) {
    return fail("could not load the fleet key");
  }
  std::string envelope;
  std::string error;
  if (!zezi::buildEnvelope("consumer", zezi::kTestPsk, zezi::encodedPublicKey(fleetKey.get()),
                           &envelope, &error)) {
    return fail(error);
  }
  zezi::Network network;
  if (!zezi::openEnvelope(envelope, fleetScalar, &network, &error)) {
    return fail(error);
  }
  if (network.ssid != "consumer" || network.psk != zezi::kTestPsk) {
    return fail("the envelope opened to another network");
  }
  if (!zezi::runSelfTest(&error)) {
    return fail(error);
  }
  std::printf("consumer: sealed and opened %zu octets of envelope\n", envelope.size());
  return 0;
}
