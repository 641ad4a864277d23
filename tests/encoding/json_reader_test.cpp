#include "encoding/json_reader.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "encoding/json_escape.h"
#include "support/case_names.h"

namespace zezi {
namespace {

using testing::PrintTo;

std::string plain(const SecretText& text) {
  return {text.begin(), text.end()};
}

struct DocumentCase {
  const char* name;
  std::string text;
  bool accepted;
};

class JsonDocuments : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(JsonDocuments, AcceptedExactlyWhenWellFormed) {
  EXPECT_EQ(parseJson(GetParam().text).has_value(), GetParam().accepted) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, JsonDocuments,
    ::testing::Values(
        DocumentCase{"EmptyObject", "{}", true}, DocumentCase{"EmptyArray", "[]", true},
        DocumentCase{"AllWhiteSpaceKinds", " \t\r\n{ \t\r\n\"a\" \n:\t1 \r}\n\t ", true},
        DocumentCase{"Numbers", "[0,-0,12,-3.25,1e5,1E+5,2.5e-3,-0.0E0]", true},
        DocumentCase{"Literals", "[true,false,null]", true},
        DocumentCase{"Nested", R"({"a":[{"b":{"c":[]}},"d",1]})", true},
        DocumentCase{"TopLevelString", R"("text")", true},
        DocumentCase{"TopLevelNumber", "7", true}, DocumentCase{"RawDeleteOctet", "\"\x7f\"", true},
        DocumentCase{"RawNonUtf8Octets", "\"\xff\xfe\xc0\xaf\"", true},
        DocumentCase{"RepeatedKey", R"({"a":1,"a":2})", true},
        DocumentCase{"EmptyKey", R"({"":1})", true}),
    testing::caseName);

INSTANTIATE_TEST_SUITE_P(
    Refused, JsonDocuments,
    ::testing::Values(
        DocumentCase{"Empty", "", false}, DocumentCase{"OnlySpace", " \n", false},
        DocumentCase{"UnclosedObject", "{", false}, DocumentCase{"UnclosedArray", "[1", false},
        DocumentCase{"StrayClose", "}", false}, DocumentCase{"KeyWithoutValue", R"({"a"})", false},
        DocumentCase{"ColonWithoutValue", R"({"a":})", false},
        DocumentCase{"TrailingCommaInObject", R"({"a":1,})", false},
        DocumentCase{"TrailingCommaInArray", "[1,]", false},
        DocumentCase{"LeadingComma", "[,1]", false},
        DocumentCase{"MissingComma", R"({"a":1 "b":2})", false},
        DocumentCase{"BareKey", "{a:1}", false}, DocumentCase{"NumberKey", "{1:1}", false},
        DocumentCase{"SingleQuotes", "{'a':1}", false}, DocumentCase{"LeadingZero", "01", false},
        DocumentCase{"BareFraction", ".5", false}, DocumentCase{"EmptyFraction", "1.", false},
        DocumentCase{"LonelyMinus", "-", false}, DocumentCase{"PlusSign", "+1", false},
        DocumentCase{"EmptyExponent", "1e", false}, DocumentCase{"SignOnlyExponent", "1e+", false},
        DocumentCase{"HexNumber", "0x10", false}, DocumentCase{"NotANumber", "NaN", false},
        DocumentCase{"Infinity", "-Infinity", false}, DocumentCase{"ShortTrue", "tru", false},
        DocumentCase{"CapitalTrue", "True", false}, DocumentCase{"LongerLiteral", "nulls", false},
        DocumentCase{"TwoDocuments", "{}{}", false}, DocumentCase{"TrailingText", "{} x", false},
        DocumentCase{"TrailingNul", std::string("{}\0", 3), false},
        DocumentCase{"LineComment", "// note\n{}", false},
        DocumentCase{"BlockComment", "{/* note */}", false},
        DocumentCase{"ByteOrderMark", "\xef\xbb\xbf{}", false},
        DocumentCase{"NoBreakSpace", "\xc2\xa0{}", false},
        DocumentCase{"FormFeedAsSpace", "\f{}", false},
        DocumentCase{"VerticalTabAsSpace", "{}\v", false},
        DocumentCase{"UnterminatedString", "\"abc", false},
        DocumentCase{"BackslashAtEnd", "\"abc\\", false},
        DocumentCase{"UnknownEscape", R"("\x41")", false},
        DocumentCase{"SingleQuoteEscape", R"("\'")", false},
        DocumentCase{"ShortUnicodeEscape", R"("\u12")", false},
        DocumentCase{"NonHexUnicodeEscape", R"("\u12g4")", false},
        DocumentCase{"LoneHighSurrogate", R"("\ud800")", false},
        DocumentCase{"LoneLowSurrogate", R"("\udc00")", false},
        DocumentCase{"HighSurrogateThenLetter", R"("\ud800x")", false},
        DocumentCase{"HighSurrogateThenNonSurrogate", R"("\ud800\u0041")", false},
        DocumentCase{"TwoHighSurrogates", R"("\ud800\ud800")", false},
        DocumentCase{"RawNulInString", std::string("\"a\0b\"", 5), false},
        DocumentCase{"RawTabInString", "\"a\tb\"", false},
        DocumentCase{"RawNewlineInString", "\"a\nb\"", false},
        DocumentCase{"RawUnitSeparatorInString", "\"\x1f\"", false}),
    testing::caseName);

struct StringCase {
  const char* name;
  std::string json;
  std::string octets;
};

class JsonStrings : public ::testing::TestWithParam<StringCase> {};

TEST_P(JsonStrings, DecodeToTheseOctets) {
  const auto value = parseJson(GetParam().json);
  ASSERT_TRUE(value) << GetParam().json;
  ASSERT_EQ(value->kind, JsonKind::kString);
  EXPECT_EQ(plain(value->text), GetParam().octets);
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonStrings,
    ::testing::Values(StringCase{"Empty", R"("")", ""},
                      StringCase{"ShortEscapes", R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
                      StringCase{"EscapedNul", R"("a\u0000b")", std::string("a\0b", 3)},
                      StringCase{"EscapedControl", R"("\u001f\u0001")", "\x1f\x01"},
                      StringCase{"OneOctetUtf8", R"("\u0041\u007f")", "A\x7f"},
                      StringCase{"TwoOctetUtf8", R"("\u0080\u00e9\u00FF\u07ff")",
                                 "\xc2\x80\xc3\xa9\xc3\xbf\xdf\xbf"},
                      StringCase{"ThreeOctetUtf8", R"("\u0800\u20ac\uffff")",
                                 "\xe0\xa0\x80\xe2\x82\xac\xef\xbf\xbf"},
                      StringCase{"SurrogatePair", R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
                      StringCase{"LowestPair", R"("\uD800\uDC00")", "\xf0\x90\x80\x80"},
                      StringCase{"HighestPair", R"("\udbff\udfff")", "\xf4\x8f\xbf\xbf"},
                      StringCase{"RawHighOctetsKept", "\"\x80\xff\xc3\x28\"", "\x80\xff\xc3\x28"},
                      StringCase{"RawUtf8Kept", "\"caf\xc3\xa9\"", "caf\xc3\xa9"},
                      StringCase{"EscapesBetweenRawOctets", "\"\xfe\\n\xfe\"", "\xfe\n\xfe"}),
    testing::caseName);

TEST(JsonReader, KeepsMembersInOrderWithRepeatsAndValueKinds) {
  const auto value = parseJson(R"({"b":1,"a":"x","b":[true,null,-2.5e3],"c":{"d":false}})");
  ASSERT_TRUE(value);
  ASSERT_EQ(value->kind, JsonKind::kObject);
  ASSERT_EQ(value->members.size(), 4U);
  EXPECT_EQ(plain(value->members[0].key), "b");
  EXPECT_EQ(value->members[0].value.kind, JsonKind::kNumber);
  EXPECT_EQ(plain(value->members[0].value.text), "1");
  EXPECT_EQ(plain(value->members[1].key), "a");
  EXPECT_EQ(value->members[1].value.kind, JsonKind::kString);
  EXPECT_EQ(plain(value->members[1].value.text), "x");
  EXPECT_EQ(plain(value->members[2].key), "b");
  const JsonValue& array = value->members[2].value;
  ASSERT_EQ(array.kind, JsonKind::kArray);
  ASSERT_EQ(array.items.size(), 3U);
  EXPECT_EQ(array.items[0].kind, JsonKind::kBoolean);
  EXPECT_TRUE(array.items[0].boolean);
  EXPECT_EQ(array.items[1].kind, JsonKind::kNull);
  EXPECT_EQ(plain(array.items[2].text), "-2.5e3");
  const JsonValue& inner = value->members[3].value;
  ASSERT_EQ(inner.kind, JsonKind::kObject);
  ASSERT_EQ(inner.members.size(), 1U);
  EXPECT_EQ(inner.members[0].value.kind, JsonKind::kBoolean);
  EXPECT_FALSE(inner.members[0].value.boolean);
}

TEST(JsonReader, EscapedKeysAreDecoded) {
  const auto value = parseJson(R"({"\u0073sid":1})");
  ASSERT_TRUE(value);
  ASSERT_EQ(value->members.size(), 1U);
  EXPECT_EQ(plain(value->members[0].key), "ssid");
}

std::string nestedArrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string nestedObjects(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) {
    text += R"({"a":)";
  }
  return text + "1" + std::string(depth, '}');
}

TEST(JsonReader, NestingUpToTheLimitIsAcceptedAndDeeperRefused) {
  EXPECT_TRUE(parseJson(nestedArrays(kMaxJsonDepth)));
  EXPECT_FALSE(parseJson(nestedArrays(kMaxJsonDepth + 1)));
  EXPECT_TRUE(parseJson(nestedObjects(kMaxJsonDepth)));
  EXPECT_FALSE(parseJson(nestedObjects(kMaxJsonDepth + 1)));
  // Mixed nesting counts both kinds.
  std::string mixed = "1";
  for (std::size_t i = 0; i < kMaxJsonDepth; ++i) {
    mixed = i % 2 == 0 ? "[" + mixed + "]" : R"({"k":)" + mixed + "}";
  }
  EXPECT_TRUE(parseJson(mixed));
  EXPECT_FALSE(parseJson("[" + mixed + "]"));
}

TEST(JsonReader, VeryDeepInputIsRefusedWithoutExhaustingTheStack) {
  EXPECT_FALSE(parseJson(std::string(1'000'000, '[')));
  EXPECT_FALSE(parseJson(nestedArrays(100'000)));
}

// The library's escaper and this reader agree on every octet string.
TEST(JsonReader, ReadsBackWhatJsonEscapeWrites) {
  std::vector<std::string> texts;
  texts.reserve(256 + 300);
  for (int octet = 0; octet < 256; ++octet) {
    texts.emplace_back(1, static_cast<char>(octet));
  }
  std::mt19937 generator(2024);
  for (int i = 0; i < 300; ++i) {
    std::string text(generator() % 64, '\0');
    for (char& c : text) {
      c = static_cast<char>(generator());
    }
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    const auto value = parseJson("\"" + jsonEscape(text) + "\"");
    ASSERT_TRUE(value) << jsonEscape(text);
    EXPECT_EQ(plain(value->text), text) << jsonEscape(text);
  }
}

}  // namespace
}  // namespace zezi
