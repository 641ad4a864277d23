// A program built against the installed library only, through its umbrella header: it
// makes a fleet key pair, passes it through the key files' PEM forms, seals an envelope,
// opens it as a device would, and runs the self-test.
#include <cstdio>
#include <string>

#include <zezi_vidad/zezi_vidad.hpp>

namespace {

int fail(const std::string& error) {
  std::fprintf(stderr, "consumer: %s\n", error.c_str());
  return 1;
}

}  // namespace

int main() {
  zezi::Bytes fleetScalar;
  zezi::Bytes fleetPublicKey;
  if (!zezi::generateKeyPair(&fleetScalar, &fleetPublicKey) ||
      zezi::publicKeyOfScalar(fleetScalar) != fleetPublicKey) {
    return fail("could not make a fleet key pair");
  }
  std::string error;
  zezi::SecretText privatePem;
  zezi::Bytes scalarRead;
  zezi::Bytes publicKeyRead;
  if (!zezi::privateKeyPem(fleetScalar, &privatePem) ||
      !zezi::privateScalarFromPem(privatePem, &scalarRead, &error) ||
      !zezi::rawPublicKeyFromPem(zezi::publicKeyPem(fleetPublicKey), &publicKeyRead, &error) ||
      scalarRead != fleetScalar || publicKeyRead != fleetPublicKey) {
    return fail("the key files do not give the key pair back: " + error);
  }
  const std::string psk(64, 'a');
  std::string envelope;
  if (!zezi::buildEnvelope("consumer", psk, fleetPublicKey, &envelope, &error)) {
    return fail(error);
  }
  zezi::Network network;
  if (!zezi::openEnvelope(envelope, fleetScalar, &network, &error)) {
    return fail(error);
  }
  if (network.ssid != "consumer" || network.psk != psk.c_str()) {
    return fail("the envelope opened to another network");
  }
  if (!zezi::runSelfTest(&error)) {
    return fail(error);
  }
  std::printf("consumer: sealed and opened %zu octets of envelope with zezi_vidad %s\n",
              envelope.size(), ZEZI_VIDAD_VERSION_STRING);
  return 0;
}
