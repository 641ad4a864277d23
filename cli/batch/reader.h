// The rows of a batch file for `seal --batch`, read one at a time so that a file of any
// length needs the same memory.
//
// Two forms, told apart by the first octet that is not white space ("{" for JSON Lines):
//  - CSV (RFC 4180: fields in double quotes may hold commas, line ends and "" for a quote;
//    lines end in LF or CRLF). The first line names the columns: ssid or ssid_hex (or
//    both, one filled per row) and psk or passphrase (or both, one filled per row), in any
//    order. A UTF-8 byte order mark before it is skipped, and so are empty lines.
//  - JSON Lines: one JSON object per line with the same names as members, each a string.
// ssid_hex gives the SSID's octets as hex digits, for SSIDs that are not text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/types.h"

namespace zezi {

// Fills up to `size` octets of `buffer`; returns the count, 0 at the end of the input, or
// -1 when the input cannot be read.
using ReadSome = std::function<long(std::uint8_t* buffer, std::size_t size)>;

// Reads from an open file descriptor, which stays the caller's.
[[nodiscard]] ReadSome readFromFd(int fd);
// Reads from `text`, which must outlive the reader.
[[nodiscard]] ReadSome readFromText(std::string_view text);

// One network of the batch, checked: an SSID of 1 to 32 octets and either a PSK of 64 hex
// digits (lowercased here) or a passphrase of 8 to 63 printable ASCII characters.
struct BatchRow {
  std::size_t line = 0;  // the line the row starts on, counting from 1
  std::string ssid;
  SecretText secret;
  bool isPassphrase = false;
};

// Why the batch was refused, and on which line (0 when the input as a whole is at fault).
struct BatchError {
  std::size_t line = 0;
  std::string reason;
};

class BatchReader {
 public:
  explicit BatchReader(ReadSome read);

  enum class Step { kRow, kEnd, kError };

  // The next row into `*rowOut`, or the end of the batch, or the first error (then every
  // later call gives the same error). `*errorOut` is written only on kError.
  [[nodiscard]] Step next(BatchRow* rowOut, BatchError* errorOut);

 private:
  enum class Format { kUnknown, kCsv, kJsonLines };
  using Fields = std::vector<SecretText, CleansingAllocator<SecretText>>;

  static constexpr int kEndOfInput = -1;
  static constexpr int kReadFailed = -2;

  [[nodiscard]] int peek();
  [[nodiscard]] int take();
  [[nodiscard]] Step fail(std::size_t line, std::string_view reason);
  [[nodiscard]] Step start();
  [[nodiscard]] Step readHeader();
  [[nodiscard]] bool skipEmptyLines();
  [[nodiscard]] Step readQuotedField(std::size_t startLine, SecretText* field);
  [[nodiscard]] Step readPlainField(std::size_t startLine, int* octet, SecretText* field);
  [[nodiscard]] Step readCsvRecord(Fields* fields, std::size_t* startLine);
  [[nodiscard]] Step readLine(SecretText* text, std::size_t* line);
  [[nodiscard]] Step readCsvRow(BatchRow* rowOut);
  [[nodiscard]] Step readJsonLine(BatchRow* rowOut);
  // One row's values by name, each null when the row does not give it.
  struct Named {
    const SecretText* ssid = nullptr;
    const SecretText* ssidHex = nullptr;
    const SecretText* psk = nullptr;
    const SecretText* passphrase = nullptr;

    // The place of the value for a column or member name; null for any other name.
    [[nodiscard]] const SecretText** slotFor(std::string_view name);
  };
  [[nodiscard]] Step finishRow(std::size_t line, const Named& named, BatchRow* rowOut);

  ReadSome read_;
  Bytes buffer_;  // holds secrets on their way through, so it is cleansed
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  bool atEnd_ = false;
  bool readFailed_ = false;
  std::size_t line_ = 1;
  Format format_ = Format::kUnknown;
  std::vector<std::string_view> columns_;  // the CSV header's names, in its order
  bool failed_ = false;
  BatchError error_;
};

}  // namespace zezi
