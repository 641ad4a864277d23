// Encodings: hex round trip, Base64 shape, and JSON escaping checked by a real parser.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <nlohmann/json.hpp>

#include "encoding/base64.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"
#include "fuzz_check.h"

namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool isValidUtf8(std::string_view text) {
  try {
    (void)nlohmann::json(std::string(text)).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zezi::Bytes octets(data, data + size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string hex = zezi::hexEncode(octets);
  FUZZ_CHECK(hex.size() == 2 * size);
  FUZZ_CHECK(zezi::isLowercaseHex(hex, size));
  FUZZ_CHECK(zezi::hexDecode(hex) == octets);

  const std::string base64 = zezi::base64Encode(octets);
  FUZZ_CHECK(base64.size() == 4 * ((size + 2) / 3));
  const std::size_t fill = size % 3 == 0 ? 0 : 3 - size % 3;
  const std::string_view body(base64.data(), base64.size() - fill);
  FUZZ_CHECK(body.find_first_not_of(kBase64Alphabet) == std::string_view::npos);
  FUZZ_CHECK(base64.find_first_not_of('=', body.size()) == std::string::npos);
  // An independent decoder gives the input back; it pads its output with zero octets.
  zezi::Bytes decoded(base64.size() / 4 * 3);
  const int decodedSize =
      EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                      static_cast<int>(base64.size()));
  FUZZ_CHECK(decodedSize == static_cast<int>(decoded.size()));
  decoded.resize(size);
  FUZZ_CHECK(decoded == octets);
  zezi::Bytes strictlyDecoded;
  FUZZ_CHECK(zezi::base64Decode(base64, &strictlyDecoded) && strictlyDecoded == octets);

  const std::string escaped = zezi::jsonEscape(text);
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const auto octet = static_cast<unsigned char>(escaped[i]);
    FUZZ_CHECK(octet >= 0x20);
    // Every quotation mark and backslash belongs to an escape.
    FUZZ_CHECK(octet != '"');
    if (octet == '\\') {
      FUZZ_CHECK(i + 1 < escaped.size());
      const char next = escaped[i + 1];
      FUZZ_CHECK(next == '"' || next == '\\' || next == 'n' || next == 'r' || next == 't' ||
                 next == 'u');
      ++i;
    }
  }
  if (isValidUtf8(text)) {
    const auto parsed = nlohmann::json::parse("\"" + escaped + "\"");
    FUZZ_CHECK(parsed.get<std::string>() == text);
  }
  return 0;
}
