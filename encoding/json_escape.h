// Escaping arbitrary octets into the body of a JSON string (RFC 8259).
#pragma once

#include <string>
#include <string_view>

namespace zezi {

// The text to place between the quotes of a JSON string. Quotation mark, backslash and
// control octets are escaped; every other octet, 0x80 and up included, is copied as it is,
// so UTF-8 passes through intact and is not validated.
[[nodiscard]] std::string jsonEscape(std::string_view text);

}  // namespace zezi
