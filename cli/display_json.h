// JSON text that is safe to show on a terminal, whatever octets it carries.
#pragma once

#include <string>
#include <string_view>

namespace zezi {

// `text` as a JSON string, quotes included, when it is valid UTF-8: every control
// character, DEL, C1 control, line or paragraph separator and Unicode format character
// (bidirectional overrides among them) is escaped as \uXXXX, so that nothing can move,
// recolour or reorder what a terminal shows. "null" when `text` is not valid UTF-8.
[[nodiscard]] std::string displaySafeJsonString(std::string_view text);

}  // namespace zezi
