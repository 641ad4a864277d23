// The batch reader: whatever the input and however it arrives, every row it gives is a
// valid network, the reading ends, and CSV written back from the rows reads the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/batch/reader.h"
#include "cli/wpa_psk.h"
#include "encoding/hex.h"
#include "fuzz_check.h"

namespace {

constexpr std::size_t kMaxChunk = 16;

struct Outcome {
  std::vector<zezi::BatchRow> rows;
  bool failed = false;
  zezi::BatchError error;
};

Outcome readAll(std::string_view text, std::size_t chunk) {
  zezi::ReadSome whole = zezi::readFromText(text);
  zezi::BatchReader reader([&whole, chunk](std::uint8_t* buffer, std::size_t size) {
    return whole(buffer, std::min(size, chunk));
  });
  Outcome outcome;
  const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  // Each row takes at least one octet, so the reading ends within this many steps.
  for (std::size_t steps = 0;; ++steps) {
    FUZZ_CHECK(steps <= text.size() + 1);
    zezi::BatchRow row;
    const zezi::BatchReader::Step step = reader.next(&row, &outcome.error);
    if (step == zezi::BatchReader::Step::kEnd) {
      return outcome;
    }
    if (step == zezi::BatchReader::Step::kError) {
      const zezi::BatchError first = outcome.error;
      FUZZ_CHECK(!first.reason.empty() && first.reason.back() != '.');
      FUZZ_CHECK(first.line <= lines + 1);
      FUZZ_CHECK(reader.next(&row, &outcome.error) == zezi::BatchReader::Step::kError);
      FUZZ_CHECK(outcome.error.reason == first.reason && outcome.error.line == first.line);
      outcome.failed = true;
      return outcome;
    }
    FUZZ_CHECK(!row.ssid.empty() && row.ssid.size() <= zezi::kMaxSsidLength);
    FUZZ_CHECK(row.line >= 1 && row.line <= lines + 1);
    FUZZ_CHECK(outcome.rows.empty() || row.line > outcome.rows.back().line);
    const std::string_view secret(row.secret.data(), row.secret.size());
    FUZZ_CHECK(row.isPassphrase ? zezi::isValidPassphrase(secret)
                                : zezi::isLowercaseHex(secret, zezi::kPskSize));
    outcome.rows.push_back(std::move(row));
  }
}

// A field in double quotes, each quote doubled.
std::string quoted(std::string_view text) {
  std::string field = "\"";
  for (const char c : text) {
    field += c == '"' ? std::string("\"\"") : std::string(1, c);
  }
  return field + "\"";
}

bool sameNetworks(const std::vector<zezi::BatchRow>& a, const std::vector<zezi::BatchRow>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.ssid == y.ssid && x.secret == y.secret && x.isPassphrase == y.isPassphrase;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t chunk = 1 + data[0] % kMaxChunk;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  const Outcome whole = readAll(text, text.size() + 1);
  const Outcome inPieces = readAll(text, chunk);
  FUZZ_CHECK(whole.failed == inPieces.failed);
  FUZZ_CHECK(whole.error.reason == inPieces.error.reason &&
             whole.error.line == inPieces.error.line);
  FUZZ_CHECK(sameNetworks(whole.rows, inPieces.rows));

  // SSIDs go back in hex: a raw NUL, which an SSID may hold, is refused inside a CSV field.
  std::string csv = "ssid_hex,psk,passphrase\r\n";
  for (const zezi::BatchRow& row : whole.rows) {
    const std::string secret = quoted(std::string_view(row.secret.data(), row.secret.size()));
    csv += zezi::hexEncode(zezi::textToBytes(row.ssid)) +
           (row.isPassphrase ? ",," + secret : "," + secret + ",") + "\r\n";
  }
  const Outcome again = readAll(csv, csv.size() + 1);
  FUZZ_CHECK(!again.failed);
  FUZZ_CHECK(again.failed || sameNetworks(again.rows, whole.rows));
  return 0;
}
