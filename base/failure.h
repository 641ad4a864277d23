// The one way an operation with an error text reports a failure.
#pragma once

#include <string>
#include <string_view>

namespace zezi {

// Replaces `*error` with `message` when `error` is not null (an assignment, never an
// append) and returns false, so that a failing step reads `return failWith(error, "...")`.
[[nodiscard]] inline bool failWith(std::string* error, std::string_view message) {
  if (error != nullptr) {
    *error = message;
  }
  return false;
}

}  // namespace zezi
