// The one way an operation with an error text reports a failure.
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>
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

// "<what>: <the C library's text for errno>", starting in lower case as every message does.
[[nodiscard]] inline std::string systemError(std::string_view what) {
  std::string text = std::strerror(errno);
  if (!text.empty()) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return std::string(what) + ": " + text;
}

// A table from the values of an enum (a failure, a status) to what each maps to, written as
// runs: a row gives its value to its own key and to every key after it up to the next row's.
// With one row per key it is a plain table, as the message tables are; with a row per run
// it folds many failures into the few statuses of the C interface. Rows go in the enum's
// order, which each table checks at compile time with static_assert(table.inOrder()).
template <typename Key, typename Value>
struct TableRow {
  Key first;
  Value value;
};

template <typename Key, typename Value, std::size_t N>
struct FailureTable {
  std::array<TableRow<Key, Value>, N> rows;
  Key last;  // the last key the table covers

  // The value of `key`, or `otherwise` when the table does not cover it.
  [[nodiscard]] constexpr Value operator()(Key key, Value otherwise = Value{}) const {
    if (key < rows.front().first || key > last) {
      return otherwise;
    }
    const auto after = std::upper_bound(
        rows.begin(), rows.end(), key,
        [](Key wanted, const TableRow<Key, Value>& row) { return wanted < row.first; });
    return std::prev(after)->value;
  }

  // Whether `value` is the value of some row.
  [[nodiscard]] constexpr bool holds(Value value) const {
    return std::any_of(rows.begin(), rows.end(),
                       [value](const TableRow<Key, Value>& row) { return row.value == value; });
  }

  // Whether the rows follow the enum's order and end at or before `last`.
  [[nodiscard]] constexpr bool inOrder() const {
    for (std::size_t i = 1; i < N; ++i) {
      if (!(rows[i - 1].first < rows[i].first)) {
        return false;
      }
    }
    return !(last < rows.back().first);
  }

  // Whether there is one row for each key from the first row's to `last`.
  [[nodiscard]] constexpr bool oneRowEach() const {
    for (std::size_t i = 0; i < N; ++i) {
      if (toIndex(rows[i].first) != toIndex(rows.front().first) + i) {
        return false;
      }
    }
    return rows.back().first == last;
  }

 private:
  [[nodiscard]] static constexpr std::size_t toIndex(Key key) {
    return static_cast<std::size_t>(key);
  }
};

// A table of runs from its rows (in a braced list) and the last key it covers.
template <typename Key, typename Value, std::size_t N>
[[nodiscard]] constexpr FailureTable<Key, Value, N> failureTable(
    const TableRow<Key, Value> (&rows)[N], Key last) {
  FailureTable<Key, Value, N> table{{}, last};
  std::copy(std::begin(rows), std::end(rows), table.rows.begin());
  return table;
}

}  // namespace zezi
