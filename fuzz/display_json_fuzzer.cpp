// The JSON string open prints for an SSID: valid JSON for any octets, the octets back for
// UTF-8, and nothing on the way to the terminal that could steer it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "cli/display_json.h"
#include "fuzz_check.h"

namespace {

bool isValidUtf8(std::string_view text) {
  try {
    (void)nlohmann::json(std::string(text)).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

// True when `json` holds, unescaped, a C0 or C1 control, DEL, or one of the bidirectional
// marks, embeddings, overrides and isolates.
bool carriesSteering(std::string_view json) {
  for (std::size_t i = 0; i < json.size(); ++i) {
    const auto octet = static_cast<unsigned char>(json[i]);
    const auto next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0U;
    const auto third = i + 2 < json.size() ? static_cast<unsigned char>(json[i + 2]) : 0U;
    if (octet < 0x20 || octet == 0x7f || (octet == 0xc2 && next >= 0x80 && next <= 0x9f)) {
      return true;
    }
    if (octet == 0xe2 &&
        ((next == 0x80 && ((third >= 0x8e && third <= 0x8f) || (third >= 0xaa && third <= 0xae))) ||
         (next == 0x81 && third >= 0xa6 && third <= 0xa9))) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string json = zezi::displaySafeJsonString(text);
  FUZZ_CHECK(!carriesSteering(json));
  const auto parsed = nlohmann::json::parse(json);
  if (isValidUtf8(text)) {
    FUZZ_CHECK(parsed.is_string() && parsed.get<std::string>() == text);
  } else {
    FUZZ_CHECK(parsed.is_null());
  }
  return 0;
}
