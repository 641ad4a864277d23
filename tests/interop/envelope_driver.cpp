// Gives the Python interoperability tests direct access to buildEnvelope, openEnvelope,
// makeSignatureFile, verifySignature and openSignedEnvelope. Reads one JSON request from
// standard input:
//   {"op":"build","fleet_public_hex","ssid_hex","psk","salt_hex","nonce_hex","scalar_hex"}
//     prints the envelope exactly as built;
//   {"op":"open","envelope","fleet_scalar_hex"}
//     prints {"ssid_hex":…,"psk":…};
//   {"op":"sign","signer_scalar_hex","fleet_public_hex","envelope","serial","issued_at",
//    "expires_at"}
//     prints the signature file exactly as made;
//   {"op":"verify","envelope","signature" (null: none),"trust":{"signers":[hex…],
//    "fleet_public_hex","version","serial_floor","time_floor"},"state_record_hex" ("": a
//    fresh device; not a record: unreadable),"policy","now" (null: no clock),
//    "fleet_scalar_hex" (optional: open the envelope too)}
//     prints {"signed","key_index","serial","issued_at","expires_at","state_record_hex"},
//     with "ssid_hex" and "psk" when it opened the envelope.
// A refusal by the library exits 1 with its message on standard error; a malformed
// request exits 2.
#include <cstdint>
#include <exception>
#include <iostream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "encoding/hex.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/verify_signature.h"
#include "sealer/fixed_inputs.h"
#include "sealer/signature_file.h"

namespace {

constexpr int kRefused = 1;
constexpr int kBadRequest = 2;

[[nodiscard]] zezi::Bytes hexMember(const nlohmann::json& request, const char* name) {
  return zezi::hexDecode(request.at(name).get<std::string>());
}

[[nodiscard]] int buildRequest(const nlohmann::json& request) {
  const zezi::Bytes ssid = hexMember(request, "ssid_hex");
  const auto psk = request.at("psk").get<std::string>();
  std::string envelope;
  std::string error;
  if (!zezi::buildEnvelope(
          std::string_view(reinterpret_cast<const char*>(ssid.data()), ssid.size()), psk,
          hexMember(request, "fleet_public_hex"), &envelope, &error, hexMember(request, "salt_hex"),
          hexMember(request, "nonce_hex"), hexMember(request, "scalar_hex"))) {
    std::cerr << error << '\n';
    return kRefused;
  }
  std::cout << envelope;
  return 0;
}

[[nodiscard]] int openRequest(const nlohmann::json& request) {
  zezi::Network network;
  std::string error;
  if (!zezi::openEnvelope(request.at("envelope").get<std::string>(),
                          hexMember(request, "fleet_scalar_hex"), &network, &error)) {
    std::cerr << error << '\n';
    return kRefused;
  }
  const zezi::Bytes ssid(network.ssid.begin(), network.ssid.end());
  const nlohmann::json answer = {{"ssid_hex", zezi::hexEncode(ssid)},
                                 {"psk", std::string(network.psk.begin(), network.psk.end())}};
  std::cout << answer.dump() << '\n';
  return 0;
}

[[nodiscard]] int signRequest(const nlohmann::json& request) {
  const auto envelope = request.at("envelope").get<std::string>();
  const zezi::SignatureTerms terms{request.at("serial").get<std::uint64_t>(),
                                   request.at("issued_at").get<std::uint64_t>(),
                                   request.at("expires_at").get<std::uint64_t>()};
  std::string file;
  std::string error;
  if (!zezi::makeSignatureFile(hexMember(request, "signer_scalar_hex"),
                               hexMember(request, "fleet_public_hex"), envelope, terms, &file,
                               &error)) {
    std::cerr << error << '\n';
    return kRefused;
  }
  std::cout << file;
  return 0;
}

[[nodiscard]] int verifyRequest(const nlohmann::json& request) {
  const nlohmann::json& trust = request.at("trust");
  zezi::TrustSettings settings;
  for (const auto& key : trust.at("signers")) {
    settings.signerKeys.push_back(zezi::hexDecode(key.get<std::string>()));
  }
  settings.fleetKey = hexMember(trust, "fleet_public_hex");
  settings.version = trust.at("version").get<std::uint64_t>();
  settings.serialFloor = trust.at("serial_floor").get<std::uint64_t>();
  settings.timeFloor = trust.at("time_floor").get<std::uint64_t>();
  zezi::TrustList trustList;
  std::string error;
  if (!zezi::loadTrustList(settings, &trustList, &error)) {
    std::cerr << error << '\n';
    return kRefused;
  }
  // The reference store's reading: no record is a fresh device, a bad one unreadable.
  const zezi::Bytes record = hexMember(request, "state_record_hex");
  zezi::ReplayState stored = zezi::freshReplayState(trustList);
  const bool readable = record.empty() || zezi::decodeReplayState(record, &stored);

  const auto envelope = request.at("envelope").get<std::string>();
  std::string signature;
  zezi::SignatureInput input;
  input.envelope = envelope;
  if (!request.at("signature").is_null()) {
    signature = request.at("signature").get<std::string>();
    input.signatureFile = signature;
  }
  input.state = readable ? &stored : nullptr;
  input.policy = request.at("policy") == "transition" ? zezi::SignaturePolicy::kTransition
                                                      : zezi::SignaturePolicy::kRequired;
  if (!request.at("now").is_null()) {
    input.now = request.at("now").get<std::uint64_t>();
  }
  zezi::VerifiedSignature verified;
  zezi::ReplayState next;
  zezi::Network network;
  const bool opening = request.contains("fleet_scalar_hex");
  const bool passed =
      opening ? zezi::openSignedEnvelope(input, trustList, hexMember(request, "fleet_scalar_hex"),
                                         &network, &verified, &next, &error)
              : zezi::verifySignature(input, trustList, &verified, &next, &error);
  if (!passed) {
    std::cerr << error << '\n';
    return kRefused;
  }
  nlohmann::json answer = {{"signed", verified.isSigned},
                           {"key_index", verified.keyIndex},
                           {"serial", verified.statement.serial},
                           {"issued_at", verified.statement.issuedAt},
                           {"expires_at", verified.statement.expiresAt},
                           {"state_record_hex", zezi::hexEncode(zezi::encodeReplayState(next))}};
  if (opening) {
    answer["ssid_hex"] = zezi::hexEncode(zezi::Bytes(network.ssid.begin(), network.ssid.end()));
    answer["psk"] = std::string(network.psk.begin(), network.psk.end());
  }
  std::cout << answer.dump() << '\n';
  return 0;
}

}  // namespace

int main() {
  try {
    const std::string input((std::istreambuf_iterator<char>(std::cin)),
                            std::istreambuf_iterator<char>());
    const nlohmann::json request = nlohmann::json::parse(input);
    const auto op = request.at("op").get<std::string>();
    if (op == "build") {
      return buildRequest(request);
    }
    if (op == "open") {
      return openRequest(request);
    }
    if (op == "sign") {
      return signRequest(request);
    }
    if (op == "verify") {
      return verifyRequest(request);
    }
    std::cerr << "unknown op " << op << '\n';
  } catch (const std::exception& error) {
    std::cerr << "bad request: " << error.what() << '\n';
  }
  return kBadRequest;
}
