// Reading UTF-8: one code point at a time, refusing every form that is not a shortest-form
// Unicode scalar value (overlong forms, surrogates, points past U+10FFFF, cut sequences).
#pragma once

#include <optional>
#include <string_view>

namespace zezi {

// Decodes the code point at the front of `*text` and consumes it; nothing, with `*text`
// as it was, when the octets there are not well-formed UTF-8. `*text` must not be empty.
[[nodiscard]] std::optional<char32_t> nextCodePoint(std::string_view* text);

// True when all of `text` is well-formed UTF-8 (the empty text is).
[[nodiscard]] bool isUtf8(std::string_view text);

}  // namespace zezi
