#include "encoding/utf8.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace zezi {
namespace {

constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;
constexpr char32_t kLastCodePoint = 0x10FFFF;
constexpr unsigned kContinuationMask = 0xC0;
constexpr unsigned kContinuationTag = 0x80;
constexpr unsigned kContinuationBits = 0x3F;
constexpr int kBitsPerContinuation = 6;

// Length and leading bits of a UTF-8 sequence by its first octet, and the smallest code
// point that sequence may carry (anything less is an overlong form).
struct Lead {
  unsigned tagMask;
  unsigned tag;
  // cppcheck-suppress unusedStructMember ; read through the iterator find_if returns
  std::size_t length;
  // cppcheck-suppress unusedStructMember
  char32_t smallest;
};
constexpr std::array<Lead, 4> kLeads{{
    {0x80, 0x00, 1, 0x0},
    {0xE0, 0xC0, 2, 0x80},
    {0xF0, 0xE0, 3, 0x800},
    {0xF8, 0xF0, 4, 0x10000},
}};

}  // namespace

std::optional<char32_t> nextCodePoint(std::string_view* text) {
  const auto first = static_cast<unsigned char>(text->front());
  const auto* lead = std::find_if(kLeads.begin(), kLeads.end(),
                                  [first](const Lead& l) { return (first & l.tagMask) == l.tag; });
  if (lead == kLeads.end() || text->size() < lead->length) {
    return std::nullopt;
  }
  char32_t point = first & ~lead->tagMask & 0xFFU;
  for (std::size_t i = 1; i < lead->length; ++i) {
    const auto next = static_cast<unsigned char>((*text)[i]);
    if ((next & kContinuationMask) != kContinuationTag) {
      return std::nullopt;
    }
    point = (point << kBitsPerContinuation) | (next & kContinuationBits);
  }
  if (point < lead->smallest || point > kLastCodePoint ||
      (point >= kFirstSurrogate && point <= kLastSurrogate)) {
    return std::nullopt;
  }
  text->remove_prefix(lead->length);
  return point;
}

bool isUtf8(std::string_view text) {
  while (!text.empty()) {
    if (!nextCodePoint(&text)) {
      return false;
    }
  }
  return true;
}

}  // namespace zezi
