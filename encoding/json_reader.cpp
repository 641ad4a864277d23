#include "encoding/json_reader.h"

#include <algorithm>

#include "encoding/base64.h"

namespace zezi {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

void appendUtf8(std::uint32_t point, SecretText* out) {
  const auto put = [out](std::uint32_t octet) { out->push_back(static_cast<char>(octet)); };
  if (point < 0x80) {
    put(point);
  } else if (point < 0x800) {
    put(0xC0 | point >> 6);
    put(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    put(0xE0 | point >> 12);
    put(0x80 | (point >> 6 & 0x3F));
    put(0x80 | (point & 0x3F));
  } else {
    put(0xF0 | point >> 18);
    put(0x80 | (point >> 12 & 0x3F));
    put(0x80 | (point >> 6 & 0x3F));
    put(0x80 | (point & 0x3F));
  }
}

// Recursive descent over the text; every step returns false on the first fault, and the
// depth check bounds the recursion.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  [[nodiscard]] bool document(JsonValue* out) {
    if (!value(out, 0)) {
      return false;
    }
    skipSpace();
    return atEnd();
  }

 private:
  [[nodiscard]] bool atEnd() const { return pos_ == text_.size(); }

  [[nodiscard]] bool consume(char c) {
    if (atEnd() || text_[pos_] != c) {
      return false;
    }
    ++pos_;
    return true;
  }

  [[nodiscard]] bool literal(std::string_view word) {
    if (!text_.substr(pos_).starts_with(word)) {
      return false;
    }
    pos_ += word.size();
    return true;
  }

  void skipSpace() {
    while (!atEnd() && std::string_view(" \t\n\r").find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
    }
  }

  [[nodiscard]] bool value(JsonValue* out, std::size_t depth) {
    skipSpace();
    const char first = atEnd() ? '\0' : text_[pos_];
    switch (first) {
      case '{':
        return object(out, depth);
      case '[':
        return array(out, depth);
      case '"':
        out->kind = JsonKind::kString;
        return string(&out->text);
      case 't':
        out->kind = JsonKind::kBoolean;
        out->boolean = true;
        return literal("true");
      case 'f':
        out->kind = JsonKind::kBoolean;
        return literal("false");
      case 'n':
        return literal("null");
      default:
        out->kind = JsonKind::kNumber;
        return number(&out->text);
    }
  }

  [[nodiscard]] bool array(JsonValue* out, std::size_t depth) {
    if (depth >= kMaxJsonDepth) {
      return false;
    }
    out->kind = JsonKind::kArray;
    ++pos_;
    skipSpace();
    if (consume(']')) {
      return true;
    }
    do {
      // Parsed in place: nothing else is added to this array until the element is done.
      if (!value(&out->items.emplace_back(), depth + 1)) {
        return false;
      }
      skipSpace();
    } while (consume(','));
    return consume(']');
  }

  [[nodiscard]] bool object(JsonValue* out, std::size_t depth) {
    if (depth >= kMaxJsonDepth) {
      return false;
    }
    out->kind = JsonKind::kObject;
    ++pos_;
    skipSpace();
    if (consume('}')) {
      return true;
    }
    do {
      skipSpace();
      JsonMember& member = out->members.emplace_back();
      if (!string(&member.key)) {
        return false;
      }
      skipSpace();
      if (!consume(':') || !value(&member.value, depth + 1)) {
        return false;
      }
      skipSpace();
    } while (consume(','));
    return consume('}');
  }

  [[nodiscard]] bool string(SecretText* out) {
    if (!consume('"')) {
      return false;
    }
    while (!atEnd()) {
      const char c = text_[pos_++];
      if (c == '"') {
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        return false;  // control octets must be escaped
      }
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (atEnd()) {
        return false;
      }
      const char escape = text_[pos_++];
      constexpr std::string_view kEscapes = "\"\\/bfnrt";
      constexpr std::string_view kEscaped = "\"\\/\b\f\n\r\t";
      if (const std::size_t index = kEscapes.find(escape); index != std::string_view::npos) {
        out->push_back(kEscaped[index]);
      } else if (escape != 'u' || !escapedCodePoint(out)) {
        return false;
      }
    }
    return false;
  }

  // The code point of \uXXXX, "\u" already read, written as UTF-8. A high surrogate must
  // be followed by an escaped low one; unpaired surrogates have no UTF-8 form.
  [[nodiscard]] bool escapedCodePoint(SecretText* out) {
    std::uint32_t unit = 0;
    if (!hexUnit(&unit) || (unit >= 0xDC00 && unit <= 0xDFFF)) {
      return false;
    }
    std::uint32_t point = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      std::uint32_t low = 0;
      if (!literal("\\u") || !hexUnit(&low) || low < 0xDC00 || low > 0xDFFF) {
        return false;
      }
      point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(point, out);
    return true;
  }

  [[nodiscard]] bool hexUnit(std::uint32_t* unit) {
    if (text_.size() - pos_ < 4) {
      return false;
    }
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      std::uint32_t digit = 0;
      if (isDigit(c)) {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      *unit = *unit << 4 | digit;
    }
    return true;
  }

  [[nodiscard]] bool digits() {
    const std::size_t start = pos_;
    while (!atEnd() && isDigit(text_[pos_])) {
      ++pos_;
    }
    return pos_ > start;
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, kept as text since no caller needs
  // its value.
  [[nodiscard]] bool number(SecretText* out) {
    const std::size_t start = pos_;
    (void)consume('-');
    if (!consume('0') && !digits()) {
      return false;
    }
    if (consume('.') && !digits()) {
      return false;
    }
    if (consume('e') || consume('E')) {
      if (!consume('+')) {
        (void)consume('-');
      }
      if (!digits()) {
        return false;
      }
    }
    out->assign(text_.substr(start, pos_ - start));
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<JsonValue> parseJson(std::string_view text) {
  std::optional<JsonValue> result(std::in_place);
  if (!Reader(text).document(&*result)) {
    return std::nullopt;
  }
  return result;
}

ObjectReading readStrictObject(std::string_view text, std::span<const std::string_view> keys,
                               std::string_view format, std::span<Bytes> decodedOut) {
  const std::optional<JsonValue> document = parseJson(text);
  if (!document || keys.size() > kMaxStrictMembers) {
    return {ObjectFault::kNotJson};
  }
  if (document->kind != JsonKind::kObject) {
    return {ObjectFault::kNotObject};
  }
  std::array<const JsonValue*, kMaxStrictMembers> values{};
  std::array<std::size_t, kMaxStrictMembers> counts{};
  for (const JsonMember& member : document->members) {
    const auto known = std::find(keys.begin(), keys.end(), std::string_view(member.key));
    if (known == keys.end()) {
      return {ObjectFault::kUnknownMember};
    }
    const auto index = static_cast<std::size_t>(known - keys.begin());
    ++counts[index];
    values[index] = &member.value;
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (counts[i] == 0) {
      return {ObjectFault::kMissing, i};
    }
    if (counts[i] > 1) {
      return {ObjectFault::kRepeated, i};
    }
    if (values[i]->kind != JsonKind::kString) {
      return {ObjectFault::kNotString, i};
    }
  }
  if (std::string_view(values[0]->text) != format) {
    return {ObjectFault::kWrongFormat};
  }
  for (std::size_t i = 1; i < keys.size(); ++i) {
    if (!base64Decode(values[i]->text, &decodedOut[i - 1])) {
      return {ObjectFault::kNotBase64, i};
    }
  }
  return {};
}

}  // namespace zezi
