// Fixed inputs of the self-test and their expected answers. The answers were computed
// with the openssl command-line tool alone (tools/known_answers.sh), never with this
// library, and a test re-runs that script against these constants.
#pragma once

#include <string_view>

namespace zezi {

inline constexpr std::string_view kTestFleetScalarHex =
    "03c515e37145e0eaa2319896551bc690f9f31888751670647c05ee2960fce80a";
inline constexpr std::string_view kTestEphemeralScalarHex =
    "38f586f150409c009ef1a8c95befc38dbf6e011acbb3f3a3d6b1f4fd674221a6";
inline constexpr std::string_view kTestSaltHex = "4b94c649f150743ab57610d546a77f90";
inline constexpr std::string_view kTestNonceHex = "9e518c121668fba391b7b0bf";
inline constexpr std::string_view kExpectedSharedSecretHex =
    "f166b707bf48990e0d5974f1203da0c68b5db6401190292a224b919b1f23d654";
inline constexpr std::string_view kExpectedEnvelopeKeyHex =
    "29c0a4dbfd53580e651087edd3052bc6b9b7a2c59957905ac3ebc87b713cd845";
inline constexpr std::string_view kTestPsk =
    "843433c2acf9046dd57bd590406af6760366420d221b157776a33262d364f977";

}  // namespace zezi
