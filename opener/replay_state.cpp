#include "opener/replay_state.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "crypto/signature.h"

namespace zezi {
namespace {

constexpr std::string_view kMagic = "ZVRS";
constexpr std::uint16_t kRecordVersion = 1;
constexpr std::size_t kChecksumAt = kReplayRecordSize - kDigestSize;
constexpr unsigned kBitsPerOctet = 8;

void appendInteger(std::uint64_t value, std::size_t size, Bytes* out) {
  for (std::size_t i = size; i-- > 0;) {
    out->push_back(static_cast<std::uint8_t>(value >> (i * kBitsPerOctet)));
  }
}

// Reads `size` octets at `*offset` as an integer and moves the offset past them.
std::uint64_t takeInteger(const Bytes& record, std::size_t size, std::size_t* offset) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value = value << kBitsPerOctet | record[(*offset)++];
  }
  return value;
}

bool checksumOf(const Bytes& record, Digest* checksumOut) {
  return sha256(std::span(record.data(), kChecksumAt), checksumOut);
}

}  // namespace

bool ReplayState::hasAcceptedSignature() const {
  return std::any_of(acceptedEnvelopeSha256.begin(), acceptedEnvelopeSha256.end(),
                     [](std::uint8_t octet) { return octet != 0; });
}

ReplayState freshReplayState(const TrustList& trustList) {
  ReplayState state;
  state.trustListVersion = trustList.version();
  state.highestSerial = trustList.serialFloor();
  state.timeFloor = trustList.timeFloor();
  return state;
}

Bytes encodeReplayState(const ReplayState& state) {
  Bytes record;
  record.reserve(kReplayRecordSize);
  record.insert(record.end(), kMagic.begin(), kMagic.end());
  appendInteger(kRecordVersion, sizeof kRecordVersion, &record);
  appendInteger(state.minKeyIndex, sizeof state.minKeyIndex, &record);
  appendInteger(state.trustListVersion, sizeof state.trustListVersion, &record);
  appendInteger(state.highestSerial, sizeof state.highestSerial, &record);
  appendInteger(state.timeFloor, sizeof state.timeFloor, &record);
  record.insert(record.end(), state.acceptedEnvelopeSha256.begin(),
                state.acceptedEnvelopeSha256.end());
  Digest checksum{};
  if (!checksumOf(record, &checksum)) {
    return {};
  }
  record.insert(record.end(), checksum.begin(), checksum.end());
  return record;
}

bool decodeReplayState(const Bytes& record, ReplayState* stateOut) {
  Digest checksum{};
  if (stateOut == nullptr || record.size() != kReplayRecordSize ||
      !std::equal(kMagic.begin(), kMagic.end(), record.begin()) || !checksumOf(record, &checksum) ||
      !std::equal(checksum.begin(), checksum.end(), record.begin() + kChecksumAt)) {
    return false;
  }
  std::size_t offset = kMagic.size();
  if (takeInteger(record, sizeof kRecordVersion, &offset) != kRecordVersion) {
    return false;
  }
  ReplayState state;
  state.minKeyIndex =
      static_cast<std::uint16_t>(takeInteger(record, sizeof state.minKeyIndex, &offset));
  state.trustListVersion = takeInteger(record, sizeof state.trustListVersion, &offset);
  state.highestSerial = takeInteger(record, sizeof state.highestSerial, &offset);
  state.timeFloor = takeInteger(record, sizeof state.timeFloor, &offset);
  std::copy_n(record.begin() + static_cast<std::ptrdiff_t>(offset), kDigestSize,
              state.acceptedEnvelopeSha256.begin());
  *stateOut = state;
  return true;
}

}  // namespace zezi
