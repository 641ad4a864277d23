#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "cli/batch/reader.h"

namespace zezi {
namespace {

const std::string kPsk = "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e";
const std::string kUpperPsk = "F42C6FC52DF0EBEF9EBB4B90B38A5F902E83FE1B135A70E23AED762E9710A12E";

// A row as the test expects it, the secret kind written out.
struct Row {
  std::size_t line;
  std::string ssid;
  std::string secret;
  bool isPassphrase = false;
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
  return out << row.line << ": [" << row.ssid << "] " << (row.isPassphrase ? "passphrase " : "psk ")
             << row.secret;
}

// Every row of `text`, and the error that ended the reading, if one did.
struct Read {
  std::vector<Row> rows;
  BatchError error;
  bool failed = false;
};

Read readAll(std::string_view text, std::size_t chunk = 0) {
  ReadSome source = readFromText(text);
  if (chunk != 0) {
    // Hands the octets over a few at a time, as a slow file would.
    source = [inner = std::move(source), chunk](std::uint8_t* buffer, std::size_t size) {
      return inner(buffer, std::min(size, chunk));
    };
  }
  BatchReader reader(std::move(source));
  Read read;
  BatchRow row;
  for (;;) {
    const BatchReader::Step step = reader.next(&row, &read.error);
    if (step == BatchReader::Step::kEnd) {
      break;
    }
    if (step == BatchReader::Step::kError) {
      read.failed = true;
      BatchError again;
      EXPECT_EQ(reader.next(&row, &again), BatchReader::Step::kError) << "an error must stay";
      EXPECT_EQ(again.reason, read.error.reason);
      break;
    }
    read.rows.push_back(
        {row.line, row.ssid, std::string(row.secret.begin(), row.secret.end()), row.isPassphrase});
  }
  return read;
}

struct ReadCase {
  const char* name;
  friend void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }
  std::string text;
  std::vector<Row> rows;
};

class BatchReaderReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(BatchReaderReads, EveryRowWithItsLine) {
  // Whole, and one octet at a time: the rows must not depend on how the input arrives.
  for (const std::size_t chunk : {std::size_t{0}, std::size_t{1}}) {
    const Read read = readAll(GetParam().text, chunk);
    EXPECT_FALSE(read.failed) << read.error.line << ": " << read.error.reason;
    EXPECT_EQ(read.rows, GetParam().rows) << "chunk " << chunk;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BatchReaderReads,
    ::testing::Values(
        ReadCase{"CsvPlain", "ssid,psk\nOffice," + kPsk + "\n", {{2, "Office", kPsk}}},
        ReadCase{"CsvColumnsSwappedUpperCasePskNoFinalLineEnd",
                 "psk,ssid\r\n" + kUpperPsk + ",Office",
                 {{2, "Office", kPsk}}},
        ReadCase{
            "CsvQuotedCommasQuotesAndLineEnds",
            "ssid,psk\n\"a,b\"," + kPsk + "\n\"say \"\"hi\"\"\"," + kPsk + "\n\"two\nlines\"," +
                kPsk + "\n\"\"\"\",\"" + kPsk + "\"\n",
            {{2, "a,b", kPsk}, {3, "say \"hi\"", kPsk}, {4, "two\nlines", kPsk}, {6, "\"", kPsk}}},
        ReadCase{"CsvSpacesKept", "ssid,psk\n Lobby ," + kPsk + "\n", {{2, " Lobby ", kPsk}}},
        ReadCase{"CsvByteOrderMarkAndEmptyLines",
                 "\xef\xbb\xbfssid,passphrase\r\n\r\n\nIEEE,password\n\n",
                 {{4, "IEEE", "password", true}}},
        ReadCase{"CsvSsidHexForOctetsThatAreNotText",
                 "ssid_hex,psk\nFF00c3," + kPsk + "\n",
                 {{2, std::string("\xff\x00\xc3", 3), kPsk}}},
        ReadCase{"CsvAllFourColumnsOneOfEachPairPerRow",
                 "ssid,ssid_hex,psk,passphrase\nA,,," + std::string("12345678") + "\n,42," + kPsk +
                     ",\n",
                 {{2, "A", "12345678", true}, {3, "B", kPsk}}},
        ReadCase{"CsvHeaderOnly", "ssid,psk\n", {}},
        ReadCase{"JsonLines",
                 "{\"ssid\":\"Office\",\"psk\":\"" + kPsk +
                     "\"}\r\n\n  \n{\"passphrase\": \"pass word\", \"ssid_hex\": \"00ff\"}\n" +
                     "{\"ssid\":\"caf\\u00e9 \\\"q\\\"\",\"psk\":\"" + kUpperPsk + "\"}",
                 {{1, "Office", kPsk},
                  {4, std::string("\x00\xff", 2), "pass word", true},
                  {5, "caf\xc3\xa9 \"q\"", kPsk}}},
        ReadCase{"JsonLinesAfterBlankLines",
                 "\n\n{\"ssid\":\"x\",\"psk\":\"" + kPsk + "\"}",
                 {{3, "x", kPsk}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
  const char* name;
  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
  std::string text;
  std::size_t rowsBefore;  // rows read before the error
  std::size_t line;
  std::string reason;
};

class BatchReaderRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BatchReaderRefuses, AtTheFirstBadRowWithItsLine) {
  const Read read = readAll(GetParam().text);
  ASSERT_TRUE(read.failed);
  EXPECT_EQ(read.rows.size(), GetParam().rowsBefore);
  EXPECT_EQ(read.error.line, GetParam().line);
  EXPECT_EQ(read.error.reason, GetParam().reason);
}

const std::string kHeader = "ssid,psk\n";
const std::string kGoodRow = "Good," + kPsk + "\n";

INSTANTIATE_TEST_SUITE_P(
    Table, BatchReaderRefuses,
    ::testing::Values(
        RefusalCase{"Empty", "", 0, 0, "holds no rows"},
        RefusalCase{"OnlyWhiteSpace", " \n\r\n", 0, 0, "holds no rows"},
        RefusalCase{"BrokenByteOrderMark", "\xef\xbbssid,psk\n", 0, 1,
                    "starts with a broken byte order mark"},
        RefusalCase{"UnknownColumn", "ssid,key\n", 0, 1,
                    "header column 2 is not ssid, ssid_hex, psk or passphrase"},
        RefusalCase{"ColumnNameInUpperCase", "SSID,psk\n", 0, 1,
                    "header column 1 is not ssid, ssid_hex, psk or passphrase"},
        RefusalCase{"NoHeader", kGoodRow, 0, 1,
                    "header column 1 is not ssid, ssid_hex, psk or passphrase"},
        RefusalCase{"RepeatedColumn", "ssid,psk,ssid\n", 0, 1, "header names column ssid twice"},
        RefusalCase{"NoSsidColumn", "psk,passphrase\n", 0, 1,
                    "header has no ssid or ssid_hex column"},
        RefusalCase{"NoSecretColumn", "ssid_hex\n", 0, 1, "header has no psk or passphrase column"},
        RefusalCase{"TooFewFields", kHeader + kGoodRow + "Lonely\n", 1, 3,
                    "row has 1 fields, the header has 2"},
        RefusalCase{"TooManyFields", kHeader + "a,b," + kPsk + "\n", 0, 2,
                    "row has 3 fields, the header has 2"},
        RefusalCase{"QuoteNeverClosed", kHeader + kGoodRow + "\"Office," + kPsk + "\n", 1, 3,
                    "a quoted field is never closed"},
        RefusalCase{"QuoteInsideUnquotedField", kHeader + "Off\"ice," + kPsk + "\n", 0, 2,
                    "a quote inside a field that does not start with one"},
        RefusalCase{"TextAfterClosingQuote", kHeader + "\"Off\"ice," + kPsk + "\n", 0, 2,
                    "text follows a closing quote"},
        RefusalCase{"LoneCarriageReturn", kHeader + "Office," + kPsk + "\rNext," + kPsk, 0, 2,
                    "has a carriage return without a line feed"},
        RefusalCase{"FieldTooLong", kHeader + std::string(300, 'x') + "," + kPsk, 0, 2,
                    "a field is longer than 256 octets"},
        RefusalCase{"TooManyFieldsForAnyHeader", kHeader + std::string(20, ','), 0, 2,
                    "row has more than 16 fields"},
        RefusalCase{"SsidMissing", kHeader + "," + kPsk + "\n", 0, 2, "no ssid or ssid_hex"},
        RefusalCase{"SsidAndSsidHex", "ssid,ssid_hex,psk\nA,41," + kPsk + "\n", 0, 2,
                    "ssid and ssid_hex are both given"},
        RefusalCase{"SsidHexOddLength", "ssid_hex,psk\n414," + kPsk + "\n", 0, 2,
                    "ssid_hex must be hex digits, two per octet"},
        RefusalCase{"SsidHexNotHex", "ssid_hex,psk\n4g," + kPsk + "\n", 0, 2,
                    "ssid_hex must be hex digits, two per octet"},
        RefusalCase{"Ssid33Octets", kHeader + std::string(33, 's') + "," + kPsk + "\n", 0, 2,
                    "SSID has 33 octets, at most 32 are allowed"},
        RefusalCase{"SsidHex33Octets", "ssid_hex,psk\n" + std::string(66, 'a') + "," + kPsk, 0, 2,
                    "SSID has 33 octets, at most 32 are allowed"},
        RefusalCase{"PskMissing", kHeader + "Office,\n", 0, 2, "no psk or passphrase"},
        RefusalCase{"PskAndPassphrase", "ssid,psk,passphrase\nA," + kPsk + ",password\n", 0, 2,
                    "psk and passphrase are both given"},
        RefusalCase{"BadPskInTheMiddle",
                    kHeader + kGoodRow + "Bad," + kPsk.substr(1) + "\n" + kGoodRow, 1, 3,
                    "PSK must be 64 hex characters"},
        RefusalCase{"PassphraseTooShort", "ssid,passphrase\nA,passwor\n", 0, 2,
                    "passphrase must be 8 to 63 printable ASCII characters"},
        RefusalCase{"PassphraseWithTab", "ssid,passphrase\nA,pass\tword\n", 0, 2,
                    "passphrase must be 8 to 63 printable ASCII characters"},
        RefusalCase{"JsonNotAnObject", "{\"ssid\":\"A\",\"psk\":\"" + kPsk + "\"}\n\"A\"\n", 1, 2,
                    "line is not one JSON object"},
        RefusalCase{"JsonArrayLine", "{\"ssid\":\"A\",\"psk\":\"" + kPsk + "\"}\n[1]\n", 1, 2,
                    "line is a JSON array; JSON Lines needs one object per line"},
        RefusalCase{"JsonArrayOfObjects", "\n[{\"ssid\":\"A\",\"psk\":\"" + kPsk + "\"}]\n", 0, 2,
                    "starts with a JSON array; JSON Lines needs one object per line"},
        RefusalCase{"NulInPlainField", kHeader + std::string("Off\0ce,", 7) + kPsk + "\n", 0, 2,
                    "a field holds a NUL octet (give such an SSID in hex in an ssid_hex column)"},
        RefusalCase{"NulInQuotedField", kHeader + kGoodRow + std::string("\"Off\0ce\",", 9) + kPsk,
                    1, 3,
                    "a field holds a NUL octet (give such an SSID in hex in an ssid_hex column)"},
        RefusalCase{"JsonTwoObjectsOnALine",
                    "{\"ssid\":\"A\",\"psk\":\"" + kPsk + "\"} {\"ssid\":\"B\"}\n", 0, 1,
                    "line is not one JSON object"},
        RefusalCase{"JsonUnknownMember", "{\"ssid\":\"A\",\"psk\":\"" + kPsk + "\",\"x\":\"1\"}", 0,
                    1, "line has a member other than ssid, ssid_hex, psk and passphrase"},
        RefusalCase{"JsonRepeatedMember",
                    "{\"ssid\":\"A\",\"ssid\":\"B\",\"psk\":\"" + kPsk + "\"}", 0, 1,
                    "line has member ssid twice"},
        RefusalCase{"JsonNumber", "{\"ssid\":\"A\",\"psk\":1}", 0, 1, "member psk is not a string"},
        RefusalCase{"JsonEmptySsid", "{\"ssid\":\"\",\"psk\":\"" + kPsk + "\"}", 0, 1,
                    "no ssid or ssid_hex"},
        RefusalCase{"JsonLineTooLong", "{\"ssid\":\"" + std::string(5000, 'a') + "\"}", 0, 1,
                    "line is longer than 4096 octets"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BatchReader, ReportsAnInputThatCannotBeRead) {
  BatchReader reader([](std::uint8_t* /*buffer*/, std::size_t /*size*/) { return -1L; });
  BatchRow row;
  BatchError error;
  EXPECT_EQ(reader.next(&row, &error), BatchReader::Step::kError);
  EXPECT_EQ(error.line, 0U);
  EXPECT_EQ(error.reason, "cannot be read");
}

}  // namespace
}  // namespace zezi
