#include "opener/open_signed_envelope.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "crypto/signature.h"

namespace zezi {
namespace {

constexpr std::string_view kMagic = "ZVRS";
constexpr std::uint16_t kRecordVersion = 2;
constexpr std::uint16_t kLegacyRecordVersion = 1;
constexpr unsigned kBitsPerOctet = 8;

void appendInteger(std::uint64_t value, std::size_t size, Bytes* out) {
  for (std::size_t i = size; i-- > 0;) {
    out->push_back(static_cast<std::uint8_t>(value >> (i * kBitsPerOctet)));
  }
}

void appendDigest(const Digest& digest, Bytes* out) {
  out->insert(out->end(), digest.begin(), digest.end());
}

// Reads `size` octets at `*offset` as an integer and moves the offset past them.
std::uint64_t takeInteger(const Bytes& record, std::size_t size, std::size_t* offset) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value = value << kBitsPerOctet | record[(*offset)++];
  }
  return value;
}

void takeDigest(const Bytes& record, std::size_t* offset, Digest* digestOut) {
  std::copy_n(record.begin() + static_cast<std::ptrdiff_t>(*offset), kDigestSize,
              digestOut->begin());
  *offset += kDigestSize;
}

// Whether the last 32 octets are SHA-256 of the ones before them.
bool checksumHolds(const Bytes& record) {
  const std::size_t checksumAt = record.size() - kDigestSize;
  Digest checksum{};
  return sha256(std::span(record.data(), checksumAt), &checksum) &&
         std::equal(checksum.begin(), checksum.end(),
                    record.begin() + static_cast<std::ptrdiff_t>(checksumAt));
}

}  // namespace

Bytes encodeReplayState(const ReplayState& state) {
  const bool legacy = state.legacyKeyIndex.has_value();
  Bytes record;
  record.reserve(kReplayRecordSize);
  record.insert(record.end(), kMagic.begin(), kMagic.end());
  appendInteger(legacy ? kLegacyRecordVersion : kRecordVersion, sizeof kRecordVersion, &record);
  appendInteger(state.legacyKeyIndex.value_or(0), sizeof(std::uint16_t), &record);
  appendInteger(state.trustListVersion, sizeof state.trustListVersion, &record);
  appendInteger(state.highestSerial, sizeof state.highestSerial, &record);
  appendInteger(state.timeFloor, sizeof state.timeFloor, &record);
  appendDigest(state.acceptedEnvelopeSha256, &record);
  if (!legacy) {
    appendDigest(state.keyId, &record);
    appendDigest(state.trustListDigest, &record);
  }
  Digest checksum{};
  if (!sha256(record, &checksum)) {
    return {};
  }
  appendDigest(checksum, &record);
  return record;
}

bool decodeReplayState(const Bytes& record, ReplayState* stateOut) {
  if (stateOut == nullptr ||
      (record.size() != kReplayRecordSize && record.size() != kReplayRecordV1Size) ||
      !std::equal(kMagic.begin(), kMagic.end(), record.begin()) || !checksumHolds(record)) {
    return false;
  }
  const bool legacy = record.size() == kReplayRecordV1Size;
  std::size_t offset = kMagic.size();
  const std::uint64_t version = takeInteger(record, sizeof kRecordVersion, &offset);
  const auto index =
      static_cast<std::uint16_t>(takeInteger(record, sizeof(std::uint16_t), &offset));
  if (version != (legacy ? kLegacyRecordVersion : kRecordVersion) || (!legacy && index != 0)) {
    return false;
  }
  ReplayState state;
  if (legacy) {
    state.legacyKeyIndex = index;
  }
  state.trustListVersion = takeInteger(record, sizeof state.trustListVersion, &offset);
  state.highestSerial = takeInteger(record, sizeof state.highestSerial, &offset);
  state.timeFloor = takeInteger(record, sizeof state.timeFloor, &offset);
  takeDigest(record, &offset, &state.acceptedEnvelopeSha256);
  if (!legacy) {
    takeDigest(record, &offset, &state.keyId);
    takeDigest(record, &offset, &state.trustListDigest);
  }
  *stateOut = state;
  return true;
}

}  // namespace zezi
