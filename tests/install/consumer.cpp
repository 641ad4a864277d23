// A program built against the installed library only, through its umbrella header: it
// makes a fleet key pair, passes it through the key files' PEM forms, seals an envelope,
// opens it as a device would, does both again with a key loaded once, signs an envelope
// and opens it as a device with a trust list and a stored replay state would, and runs
// the self-test.
#include <cstdio>
#include <optional>
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
  const auto sealer = zezi::FleetSealer::create(fleetPublicKey, &error);
  const auto opener = zezi::FleetOpener::create(fleetScalar);
  std::string fleetEnvelope;
  zezi::Network fleetNetwork;
  if (!sealer || !opener || !sealer->seal("fleet", psk, &fleetEnvelope, &error) ||
      !zezi::openEnvelope(fleetEnvelope, *opener, &fleetNetwork, &error) ||
      fleetNetwork.ssid != "fleet") {
    return fail("the fleet sealer and opener do not agree: " + error);
  }
  zezi::Bytes signerScalar;
  zezi::TrustSettings settings;
  settings.signerKeys.resize(1);
  settings.fleetKey = fleetPublicKey;
  std::string signatureFile;
  zezi::TrustList trustList;
  if (!zezi::generateKeyPair(&signerScalar, settings.signerKeys.data()) ||
      !zezi::makeSignatureFile(signerScalar, fleetPublicKey, envelope, {1, 1, 2}, &signatureFile,
                               &error) ||
      !zezi::loadTrustList(settings, &trustList, &error)) {
    return fail("could not sign for a trust list: " + error);
  }
  zezi::ReplayState stored;
  if (!zezi::decodeReplayState(zezi::encodeReplayState(zezi::freshReplayState(trustList)),
                               &stored)) {
    return fail("the fresh replay state does not come back from its record");
  }
  const zezi::SignatureInput input{envelope, signatureFile, &stored,
                                   zezi::SignaturePolicy::kRequired, std::nullopt};
  zezi::Network signedNetwork;
  zezi::ReplayState next;
  if (!zezi::openSignedEnvelope(input, trustList, fleetScalar, &signedNetwork, nullptr, &next,
                                &error) ||
      signedNetwork.ssid != "consumer" || !next.hasAcceptedSignature()) {
    return fail("the signed envelope does not open: " + error);
  }
  if (!zezi::runSelfTest(&error)) {
    return fail(error);
  }
  std::printf("consumer: sealed and opened %zu octets of envelope with zezi_vidad %s\n",
              envelope.size(), ZEZI_VIDAD_VERSION_STRING);
  return 0;
}
