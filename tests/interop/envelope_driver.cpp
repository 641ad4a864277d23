// Gives the Python interoperability tests direct access to buildEnvelope and openEnvelope.
// Reads one JSON request from standard input:
//   {"op":"build","fleet_public_hex","ssid_hex","psk","salt_hex","nonce_hex","scalar_hex"}
//     prints the envelope exactly as built;
//   {"op":"open","envelope","fleet_scalar_hex"}
//     prints {"ssid_hex":…,"psk":…}.
// A refusal by the library exits 1 with its message on standard error; a malformed
// request exits 2.
#include <exception>
#include <iostream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "encoding/hex.h"
#include "envelope/builder.h"
#include "opener/open_envelope.h"

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
    std::cerr << "unknown op " << op << '\n';
  } catch (const std::exception& error) {
    std::cerr << "bad request: " << error.what() << '\n';
  }
  return kBadRequest;
}
