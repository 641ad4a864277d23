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

// Whether `text` is the message of one of the failures 1 to `last` of an enum whose 0 means
// none, given the function that names each.
template <typename Failure>
[[nodiscard]] bool isFailureText(std::string_view text, Failure last,
                                 std::string_view (*textOf)(Failure)) {
  for (unsigned i = 1; i <= static_cast<unsigned>(last); ++i) {
    if (textOf(static_cast<Failure>(i)) == text) {
      return true;
    }
  }
  return false;
}

}  // namespace zezi
