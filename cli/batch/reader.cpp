#include "cli/batch/reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "base/file_descriptor.h"
#include "cli/wpa_psk.h"
#include "encoding/hex.h"
#include "encoding/json_reader.h"

namespace zezi {
namespace {

constexpr std::size_t kBufferSize = std::size_t{64} * 1024;
// Far longer than any value a row can hold (a passphrase has at most 63 characters), and
// short enough that no input can make the reader hold much.
constexpr std::size_t kMaxFieldSize = 256;
constexpr std::size_t kMaxFields = 16;
constexpr std::size_t kMaxJsonLineSize = 4096;
// Enough room that a secret is never kept inside the string object itself.
constexpr std::size_t kSecretCapacity = 64;
constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";
constexpr std::string_view kWhiteSpace = " \t\r\n";
constexpr std::string_view kUnreadable = "cannot be read";
constexpr std::string_view kLoneCarriageReturn = "has a carriage return without a line feed";
constexpr std::string_view kFieldTooLong = "a field is longer than 256 octets";
constexpr std::string_view kNulInField =
    "a field holds a NUL octet (give such an SSID in hex in an ssid_hex column)";
constexpr std::string_view kJsonArray = "a JSON array; JSON Lines needs one object per line";
constexpr std::string_view kSsidName = "ssid";
constexpr std::string_view kSsidHexName = "ssid_hex";
constexpr std::string_view kPskName = "psk";
constexpr std::string_view kPassphraseName = "passphrase";

bool given(const SecretText* value) {
  return value != nullptr && !value->empty();
}

std::string_view viewOf(const SecretText& text) {
  return {text.data(), text.size()};
}

}  // namespace

ReadSome readFromFd(int fd) {
  return [fd](std::uint8_t* buffer, std::size_t size) -> long {
    return static_cast<long>(readSome(fd, buffer, size));
  };
}

ReadSome readFromText(std::string_view text) {
  return [text, offset = std::size_t{0}](std::uint8_t* buffer, std::size_t size) mutable -> long {
    const std::size_t count = std::min(size, text.size() - offset);
    std::copy_n(text.data() + offset, count, buffer);
    offset += count;
    return static_cast<long>(count);
  };
}

BatchReader::BatchReader(ReadSome read) : read_(std::move(read)), buffer_(kBufferSize) {}

int BatchReader::peek() {
  if (position_ == filled_) {
    if (atEnd_) {
      return readFailed_ ? kReadFailed : kEndOfInput;
    }
    const long count = read_(buffer_.data(), buffer_.size());
    if (count <= 0) {
      atEnd_ = true;
      readFailed_ = count < 0;
      return peek();
    }
    position_ = 0;
    filled_ = static_cast<std::size_t>(count);
  }
  return buffer_[position_];
}

int BatchReader::take() {
  const int octet = peek();
  if (octet >= 0) {
    ++position_;
    line_ += octet == '\n' ? 1 : 0;
  }
  return octet;
}

BatchReader::Step BatchReader::fail(std::size_t line, std::string_view reason) {
  failed_ = true;
  error_ = {line, std::string(reason)};
  return Step::kError;
}

BatchReader::Step BatchReader::next(BatchRow* rowOut, BatchError* errorOut) {
  Step step = failed_ ? Step::kError : Step::kRow;
  if (step == Step::kRow && format_ == Format::kUnknown) {
    step = start();
  }
  if (step == Step::kRow) {
    step = format_ == Format::kCsv ? readCsvRow(rowOut) : readJsonLine(rowOut);
  }
  if (step == Step::kError) {
    *errorOut = error_;
  }
  return step;
}

// Skips a byte order mark and leading white space, and tells the form by what follows.
BatchReader::Step BatchReader::start() {
  const auto takes = [this](char expected) {
    return take() == static_cast<unsigned char>(expected);
  };
  if (peek() == static_cast<unsigned char>(kByteOrderMark[0]) &&
      !std::all_of(kByteOrderMark.begin(), kByteOrderMark.end(), takes)) {
    return fail(1, "starts with a broken byte order mark");
  }
  while (peek() >= 0 && kWhiteSpace.find(static_cast<char>(peek())) != std::string_view::npos) {
    static_cast<void>(take());
  }
  if (peek() == kReadFailed) {
    return fail(0, kUnreadable);
  }
  if (peek() == kEndOfInput) {
    return fail(0, "holds no rows");
  }
  if (peek() == '{') {
    format_ = Format::kJsonLines;
    return Step::kRow;
  }
  if (peek() == '[') {
    return fail(line_, "starts with " + std::string(kJsonArray));
  }
  format_ = Format::kCsv;
  return readHeader();
}

const SecretText** BatchReader::Named::slotFor(std::string_view name) {
  return name == kSsidName         ? &ssid
         : name == kSsidHexName    ? &ssidHex
         : name == kPskName        ? &psk
         : name == kPassphraseName ? &passphrase
                                   : nullptr;
}

BatchReader::Step BatchReader::readHeader() {
  Fields names;
  std::size_t line = 0;
  const Step step = readCsvRecord(&names, &line);
  if (step != Step::kRow) {
    return step;
  }
  Named seen;
  const SecretText placeholder;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string_view name = viewOf(names[i]);
    const SecretText** slot = seen.slotFor(name);
    if (slot == nullptr) {
      return fail(line, "header column " + std::to_string(i + 1) +
                            " is not ssid, ssid_hex, psk or passphrase");
    }
    if (*slot != nullptr) {
      return fail(line, "header names column " + std::string(name) + " twice");
    }
    *slot = &placeholder;
    // The names live on in the constants, not in the header's fields.
    columns_.push_back(name == kSsidName      ? kSsidName
                       : name == kSsidHexName ? kSsidHexName
                       : name == kPskName     ? kPskName
                                              : kPassphraseName);
  }
  if (seen.ssid == nullptr && seen.ssidHex == nullptr) {
    return fail(line, "header has no ssid or ssid_hex column");
  }
  if (seen.psk == nullptr && seen.passphrase == nullptr) {
    return fail(line, "header has no psk or passphrase column");
  }
  return Step::kRow;
}

// False on a carriage return without its line feed.
bool BatchReader::skipEmptyLines() {
  for (int octet = peek(); octet == '\n' || octet == '\r'; octet = peek()) {
    if (take() == '\r' && take() != '\n') {
      return false;
    }
  }
  return true;
}

// After the opening quote: anything up to the closing quote, "" standing for one quote.
BatchReader::Step BatchReader::readQuotedField(std::size_t startLine, SecretText* field) {
  for (int octet = take(); octet != '"' || peek() == '"'; octet = take()) {
    if (octet == kEndOfInput) {
      return fail(startLine, "a quoted field is never closed");
    }
    if (octet == kReadFailed) {
      return fail(0, kUnreadable);
    }
    if (octet == '"') {
      static_cast<void>(take());
    }
    if (octet == 0) {
      return fail(startLine, kNulInField);
    }
    if (field->size() == kMaxFieldSize) {
      return fail(startLine, kFieldTooLong);
    }
    field->push_back(static_cast<char>(octet));
  }
  return Step::kRow;
}

// A field without quotes, from its first octet `*octet`; leaves the octet after it there.
BatchReader::Step BatchReader::readPlainField(std::size_t startLine, int* octet,
                                              SecretText* field) {
  for (; *octet != ',' && *octet != '\n' && *octet != '\r' && *octet >= 0; *octet = take()) {
    if (*octet == '"') {
      return fail(startLine, "a quote inside a field that does not start with one");
    }
    if (*octet == 0) {
      return fail(startLine, kNulInField);
    }
    if (field->size() == kMaxFieldSize) {
      return fail(startLine, kFieldTooLong);
    }
    field->push_back(static_cast<char>(*octet));
  }
  return Step::kRow;
}

BatchReader::Step BatchReader::readCsvRecord(Fields* fields, std::size_t* startLine) {
  fields->clear();
  if (!skipEmptyLines()) {
    return fail(line_, kLoneCarriageReturn);
  }
  if (peek() == kEndOfInput) {
    return Step::kEnd;
  }
  *startLine = line_;
  for (;;) {
    if (fields->size() == kMaxFields) {
      return fail(*startLine, "row has more than 16 fields");
    }
    SecretText& field = fields->emplace_back();
    int octet = take();
    const bool quoted = octet == '"';
    const Step step =
        quoted ? readQuotedField(*startLine, &field) : readPlainField(*startLine, &octet, &field);
    if (step != Step::kRow) {
      return step;
    }
    if (quoted) {
      octet = take();
      if (octet != ',' && octet != '\n' && octet != '\r' && octet != kEndOfInput) {
        return fail(*startLine, "text follows a closing quote");
      }
    }
    if (octet == kReadFailed) {
      return fail(0, kUnreadable);
    }
    if (octet == '\r' && take() != '\n') {
      return fail(*startLine, kLoneCarriageReturn);
    }
    if (octet != ',') {
      return Step::kRow;
    }
  }
}

BatchReader::Step BatchReader::readCsvRow(BatchRow* rowOut) {
  Fields fields;
  std::size_t line = 0;
  const Step step = readCsvRecord(&fields, &line);
  if (step != Step::kRow) {
    return step;
  }
  if (fields.size() != columns_.size()) {
    return fail(line, "row has " + std::to_string(fields.size()) + " fields, the header has " +
                          std::to_string(columns_.size()));
  }
  Named named;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    *named.slotFor(columns_[i]) = &fields[i];
  }
  return finishRow(line, named, rowOut);
}

// The next line that is not only white space, without its line feed.
BatchReader::Step BatchReader::readLine(SecretText* text, std::size_t* line) {
  while (text->find_first_not_of(kWhiteSpace) == SecretText::npos) {
    if (peek() == kEndOfInput) {
      return Step::kEnd;
    }
    text->clear();
    *line = line_;
    int octet = take();
    for (; octet >= 0 && octet != '\n'; octet = take()) {
      if (text->size() == kMaxJsonLineSize) {
        return fail(*line, "line is longer than 4096 octets");
      }
      text->push_back(static_cast<char>(octet));
    }
    if (octet == kReadFailed) {
      return fail(0, kUnreadable);
    }
  }
  return Step::kRow;
}

BatchReader::Step BatchReader::readJsonLine(BatchRow* rowOut) {
  SecretText text;
  text.reserve(kSecretCapacity);
  std::size_t line = 0;
  const Step step = readLine(&text, &line);
  if (step != Step::kRow) {
    return step;
  }
  const std::optional<JsonValue> object = parseJson(viewOf(text));
  if (object && object->kind == JsonKind::kArray) {
    return fail(line, "line is " + std::string(kJsonArray));
  }
  if (!object || object->kind != JsonKind::kObject) {
    return fail(line, "line is not one JSON object");
  }
  Named named;
  for (const JsonMember& member : object->members) {
    const std::string_view key = viewOf(member.key);
    const SecretText** slot = named.slotFor(key);
    if (slot == nullptr) {
      return fail(line, "line has a member other than ssid, ssid_hex, psk and passphrase");
    }
    if (*slot != nullptr) {
      return fail(line, "line has member " + std::string(key) + " twice");
    }
    if (member.value.kind != JsonKind::kString) {
      return fail(line, "member " + std::string(key) + " is not a string");
    }
    *slot = &member.value.text;
  }
  return finishRow(line, named, rowOut);
}

BatchReader::Step BatchReader::finishRow(std::size_t line, const Named& named, BatchRow* rowOut) {
  const bool hasSsid = given(named.ssid);
  if (hasSsid == given(named.ssidHex)) {
    return fail(line, hasSsid ? "ssid and ssid_hex are both given" : "no ssid or ssid_hex");
  }
  std::string ssid;
  if (hasSsid) {
    ssid = viewOf(*named.ssid);
  } else if (named.ssidHex != nullptr) {
    const std::string_view hex = viewOf(*named.ssidHex);
    if (hex.size() % 2 != 0 || hex.find_first_not_of(kHexDigitsEitherCase) != std::string::npos) {
      return fail(line, "ssid_hex must be hex digits, two per octet");
    }
    const Bytes octets = hexDecode(hex);
    ssid.assign(octets.begin(), octets.end());
  }
  if (ssid.size() > kMaxSsidLength) {
    return fail(line,
                "SSID has " + std::to_string(ssid.size()) + " octets, at most 32 are allowed");
  }
  const bool hasPsk = given(named.psk);
  if (hasPsk == given(named.passphrase)) {
    return fail(line, hasPsk ? "psk and passphrase are both given" : "no psk or passphrase");
  }
  SecretText secret;
  if (hasPsk) {
    secret = normalisedPsk(viewOf(*named.psk));
    if (secret.empty()) {
      return fail(line, "PSK must be 64 hex characters");
    }
  } else if (named.passphrase != nullptr) {
    if (!isValidPassphrase(viewOf(*named.passphrase))) {
      return fail(line, "passphrase must be 8 to 63 printable ASCII characters");
    }
    secret.reserve(kSecretCapacity);
    secret.append(*named.passphrase);
  }
  rowOut->line = line;
  rowOut->ssid = std::move(ssid);
  rowOut->secret = std::move(secret);
  rowOut->isPassphrase = !hasPsk;
  return Step::kRow;
}

}  // namespace zezi
