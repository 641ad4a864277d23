#include <algorithm>
#include <array>
#include <set>
#include <string_view>

#include "crypto/sha256.h"
#include "opener/open_signed_envelope.h"
#include "opener/signature_failure.h"

namespace zezi {
namespace {

constexpr std::string_view kMagic = "ZVRS";
constexpr std::uint16_t kRecordVersion = 3;
constexpr std::uint16_t kV2RecordVersion = 2;
constexpr std::uint16_t kV1RecordVersion = 1;
constexpr unsigned kBitsPerOctet = 8;
constexpr std::size_t kSetHeaderPadding = 6;
constexpr std::size_t kMemberPadding = 7;
constexpr std::size_t kMemberSize =
    kDigestSize + 2 * sizeof(std::uint64_t) + 1 + kMaxSsidSize + kMemberPadding;
constexpr std::size_t kSetAt = 144;
static_assert(kSetAt + kMaxSetSize * kMemberSize + kDigestSize == kReplayRecordSize);

void appendInteger(std::uint64_t value, std::size_t size, Bytes* out) {
  for (std::size_t i = size; i-- > 0;) {
    out->push_back(static_cast<std::uint8_t>(value >> (i * kBitsPerOctet)));
  }
}

void appendDigest(const Digest& digest, Bytes* out) {
  out->insert(out->end(), digest.begin(), digest.end());
}

// Reads a record front to back; every read stays inside the record, whose length the
// caller has checked.
class RecordReader {
 public:
  explicit RecordReader(const Bytes& record) : record_(record) {}

  std::uint64_t integer(std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
      value = value << kBitsPerOctet | record_[offset_++];
    }
    return value;
  }
  Digest digest() {
    Digest digest{};
    std::copy_n(record_.begin() + static_cast<std::ptrdiff_t>(offset_), kDigestSize,
                digest.begin());
    offset_ += kDigestSize;
    return digest;
  }
  std::string text(std::size_t size) {
    const auto* start = record_.data() + offset_;
    offset_ += size;
    return {start, start + size};
  }
  // Whether the next `size` octets are all zero; moves past them.
  bool zeros(std::size_t size) {
    const auto start = record_.begin() + static_cast<std::ptrdiff_t>(offset_);
    offset_ += size;
    return std::all_of(start, start + static_cast<std::ptrdiff_t>(size),
                       [](std::uint8_t octet) { return octet == 0; });
  }
  void skip(std::size_t size) { offset_ += size; }

 private:
  const Bytes& record_;
  std::size_t offset_ = 0;
};

// Whether the last 32 octets are SHA-256 of the ones before them.
bool checksumHolds(const Bytes& record) {
  const std::size_t checksumAt = record.size() - kDigestSize;
  Digest checksum{};
  return sha256(std::span(record.data(), checksumAt), &checksum) &&
         std::equal(checksum.begin(), checksum.end(),
                    record.begin() + static_cast<std::ptrdiff_t>(checksumAt));
}

bool appendChecksum(Bytes* record) {
  Digest checksum{};
  if (!sha256(*record, &checksum)) {
    return false;
  }
  appendDigest(checksum, record);
  return true;
}

// The rules a set keeps in any record: no envelope twice, no known SSID twice, and
// networks only under a signer.
bool setIsWellFormed(const ReplayState& state) {
  if (state.set.size() > kMaxSetSize || (!state.set.empty() && !state.hasAcceptedSignature())) {
    return false;
  }
  std::set<Digest> hashes;
  std::set<std::string> ssids;
  return std::all_of(state.set.begin(), state.set.end(), [&](const SetMember& member) {
    return hashes.insert(member.envelopeSha256).second &&
           (!member.ssid || (!member.ssid->empty() && member.ssid->size() <= kMaxSsidSize &&
                             ssids.insert(*member.ssid).second));
  });
}

// Version 1: the key's index instead of its id, and the envelope accepted last.
Bytes encodeVersion1(const ReplayState& state) {
  Bytes record;
  record.reserve(kReplayRecordV1Size);
  record.insert(record.end(), kMagic.begin(), kMagic.end());
  appendInteger(kV1RecordVersion, sizeof kRecordVersion, &record);
  appendInteger(*state.legacyKeyIndex, sizeof(std::uint16_t), &record);
  appendInteger(state.trustListVersion, sizeof state.trustListVersion, &record);
  appendInteger(state.highestSerial, sizeof state.highestSerial, &record);
  appendInteger(state.timeFloor, sizeof state.timeFloor, &record);
  appendDigest(state.set.empty() ? Digest{} : state.set.front().envelopeSha256, &record);
  return appendChecksum(&record) ? record : Bytes{};
}

void appendMember(const SetMember& member, Bytes* record) {
  appendDigest(member.envelopeSha256, record);
  appendInteger(member.issuedAt, sizeof member.issuedAt, record);
  appendInteger(member.expiresAt, sizeof member.expiresAt, record);
  const std::string ssid = member.ssid.value_or(std::string());
  record->push_back(static_cast<std::uint8_t>(ssid.size()));
  record->insert(record->end(), ssid.begin(), ssid.end());
  record->insert(record->end(), kMaxSsidSize - ssid.size() + kMemberPadding, 0);
}

bool decodeMember(RecordReader* reader, SetMember* memberOut) {
  SetMember member;
  member.envelopeSha256 = reader->digest();
  member.issuedAt = reader->integer(sizeof member.issuedAt);
  member.expiresAt = reader->integer(sizeof member.expiresAt);
  const auto ssidSize = static_cast<std::size_t>(reader->integer(1));
  if (ssidSize > kMaxSsidSize) {
    return false;
  }
  if (ssidSize > 0) {
    member.ssid = reader->text(ssidSize);
  }
  if (!reader->zeros(kMaxSsidSize - ssidSize + kMemberPadding)) {
    return false;
  }
  *memberOut = std::move(member);
  return true;
}

// Versions 1 and 2: the envelope accepted last becomes a set of one, current, whose SSID
// and times are learnt when it is read again.
bool decodeOlder(const Bytes& record, bool version1, ReplayState* stateOut) {
  RecordReader reader(record);
  reader.skip(kMagic.size());
  const std::uint64_t version = reader.integer(sizeof kRecordVersion);
  const auto index = static_cast<std::uint16_t>(reader.integer(sizeof(std::uint16_t)));
  if (version != (version1 ? kV1RecordVersion : kV2RecordVersion) || (!version1 && index != 0)) {
    return false;
  }
  ReplayState state;
  if (version1) {
    state.legacyKeyIndex = index;
  }
  state.trustListVersion = reader.integer(sizeof state.trustListVersion);
  state.highestSerial = reader.integer(sizeof state.highestSerial);
  state.timeFloor = reader.integer(sizeof state.timeFloor);
  const Digest accepted = reader.digest();
  if (!version1) {
    state.keyId = reader.digest();
    state.trustListDigest = reader.digest();
  }
  if (accepted != Digest{}) {
    state.set.push_back(SetMember{accepted, 0, 0, std::nullopt});
    state.setKeyId = state.keyId;  // a version-1 record's is mapped with its key
    state.setSerial = state.highestSerial;
  }
  *stateOut = std::move(state);
  return true;
}

}  // namespace

bool isRecordable(const ReplayState& state) {
  return state.legacyKeyIndex ? state.set.size() <= 1 : setIsWellFormed(state);
}

Bytes encodeReplayState(const ReplayState& state) {
  if (!isRecordable(state)) {
    return {};
  }
  if (state.legacyKeyIndex) {
    return encodeVersion1(state);
  }
  Bytes record;
  record.reserve(kReplayRecordSize);
  record.insert(record.end(), kMagic.begin(), kMagic.end());
  appendInteger(kRecordVersion, sizeof kRecordVersion, &record);
  appendInteger(0, sizeof(std::uint16_t), &record);
  appendInteger(state.trustListVersion, sizeof state.trustListVersion, &record);
  appendInteger(state.highestSerial, sizeof state.highestSerial, &record);
  appendInteger(state.timeFloor, sizeof state.timeFloor, &record);
  appendDigest(state.keyId, &record);
  appendDigest(state.trustListDigest, &record);
  appendDigest(state.setKeyId, &record);
  appendInteger(state.setSerial, sizeof state.setSerial, &record);
  record.push_back(static_cast<std::uint8_t>(state.set.size()));
  record.push_back(state.setCarried ? 1 : 0);
  record.insert(record.end(), kSetHeaderPadding, 0);
  for (const SetMember& member : state.set) {
    appendMember(member, &record);
  }
  record.insert(record.end(), (kMaxSetSize - state.set.size()) * kMemberSize, 0);
  return appendChecksum(&record) ? record : Bytes{};
}

bool decodeReplayState(const Bytes& record, ReplayState* stateOut) {
  if (stateOut == nullptr ||
      (record.size() != kReplayRecordSize && record.size() != kReplayRecordV2Size &&
       record.size() != kReplayRecordV1Size) ||
      !std::equal(kMagic.begin(), kMagic.end(), record.begin()) || !checksumHolds(record)) {
    return false;
  }
  if (record.size() != kReplayRecordSize) {
    return decodeOlder(record, record.size() == kReplayRecordV1Size, stateOut);
  }
  RecordReader reader(record);
  reader.skip(kMagic.size());
  if (reader.integer(sizeof kRecordVersion) != kRecordVersion ||
      !reader.zeros(sizeof(std::uint16_t))) {
    return false;
  }
  ReplayState state;
  state.trustListVersion = reader.integer(sizeof state.trustListVersion);
  state.highestSerial = reader.integer(sizeof state.highestSerial);
  state.timeFloor = reader.integer(sizeof state.timeFloor);
  state.keyId = reader.digest();
  state.trustListDigest = reader.digest();
  state.setKeyId = reader.digest();
  state.setSerial = reader.integer(sizeof state.setSerial);
  const auto size = static_cast<std::size_t>(reader.integer(1));
  const std::uint64_t carried = reader.integer(1);
  if (size > kMaxSetSize || carried > 1 || !reader.zeros(kSetHeaderPadding)) {
    return false;
  }
  state.setCarried = carried == 1;
  state.set.resize(size);
  for (SetMember& member : state.set) {
    if (!decodeMember(&reader, &member)) {
      return false;
    }
  }
  if (!reader.zeros((kMaxSetSize - size) * kMemberSize) || !setIsWellFormed(state)) {
    return false;
  }
  *stateOut = std::move(state);
  return true;
}

}  // namespace zezi
