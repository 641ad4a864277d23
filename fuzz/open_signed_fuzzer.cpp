// The C interface's signed opening on arbitrary signature files, replay records, policies
// and clocks: no crash, nothing written on a refusal, and the same outcome as the C++
// openSignedEnvelope on the same input: the same network, the record to store exactly when
// the C++ state moved on, and for a refused signature the status whose text is the C++
// message.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "api/zezi_vidad.h"
#include "encoding/hex.h"
#include "fuzz_check.h"
#include "fuzz_input.h"
#include "opener/open_failure.h"
#include "opener/open_signed_envelope.h"
#include "opener/signature_failure.h"
#include "selftest/known_answers.h"
#include "signed_inputs.h"

namespace {

using zezi::fuzz::trustList;

const zezi::Bytes& fleetScalar() {
  static const zezi::Bytes scalar = zezi::hexDecode(zezi::kTestFleetScalarHex);
  return scalar;
}

const zezi_vidad_opener* cOpener() {
  static const auto* opener = [] {
    zezi_vidad_opener* made = nullptr;
    FUZZ_CHECK(zezi_vidad_opener_new(fleetScalar().data(), &made) == ZEZI_VIDAD_OK);
    return made;
  }();
  return opener;
}

const zezi_vidad_trust_list* cTrustList() {
  static const auto* list = [] {
    zezi::Bytes keys;
    for (std::size_t i = 0; i < trustList().size(); ++i) {
      keys.insert(keys.end(), trustList().signerKey(i).begin(), trustList().signerKey(i).end());
    }
    zezi_vidad_trust_list* made = nullptr;
    FUZZ_CHECK(zezi_vidad_trust_list_new(keys.data(), trustList().size(),
                                         trustList().fleetKey().data(), trustList().version(),
                                         trustList().serialFloor(), trustList().timeFloor(),
                                         &made) == ZEZI_VIDAD_OK);
    return made;
  }();
  return list;
}

// The stored record: none, one of a state drawn from the input (of either signer, under
// this list or another), or raw octets.
zezi::Bytes drawRecord(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 1: {
      zezi::ReplayState state = zezi::freshReplayState(trustList());
      state.keyId = trustList().signerId(input.ConsumeIntegralInRange<std::size_t>(0, 1));
      state.highestSerial = input.ConsumeIntegral<std::uint64_t>();
      state.timeFloor = input.ConsumeIntegral<std::uint64_t>();
      if (input.ConsumeBool()) {
        zezi::Digest accepted{};
        accepted.fill(input.ConsumeIntegral<std::uint8_t>());
        state.setKeyId = state.keyId;
        state.setSerial = state.highestSerial;
        state.set.push_back(zezi::SetMember{accepted, 0, 0, std::nullopt});
      }
      if (input.ConsumeBool()) {
        state.trustListDigest[0] ^= 0x01;
      }
      return zezi::encodeReplayState(state);
    }
    case 2:
      return zezi::fuzz::takeUpTo(input, zezi::kReplayRecordSize + 1);
    default:
      return {};
  }
}

struct COutputs {
  std::array<std::uint8_t, ZEZI_VIDAD_REPLAY_RECORD_SIZE> record{};
  std::size_t recordLength = 0;
  std::array<std::uint8_t, ZEZI_VIDAD_SSID_MAX_SIZE> ssid{};
  std::size_t ssidLength = 0;
  std::array<char, ZEZI_VIDAD_PSK_BUFFER_SIZE> psk{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const zezi::Bytes record = drawRecord(input);
  const bool transition = input.ConsumeBool();
  std::optional<std::uint64_t> now;
  if (input.ConsumeBool()) {
    now = input.ConsumeIntegral<std::uint64_t>();
  }
  const bool present = !input.ConsumeBool();
  const std::string signature = input.ConsumeRemainingBytesAsString();
  const std::string& envelope = zezi::fuzz::envelope();

  COutputs out;
  std::memset(&out, 0x5a, sizeof out);
  const COutputs before = out;
  const zezi_vidad_status status = zezi_vidad_open_signed(
      cOpener(), cTrustList(), envelope.data(), envelope.size(),
      present ? signature.data() : nullptr, signature.size(),
      transition ? ZEZI_VIDAD_SIGNATURE_TRANSITION : ZEZI_VIDAD_SIGNATURE_REQUIRED,
      now ? &*now : nullptr, record.data(), record.size(), out.record.data(), &out.recordLength,
      out.ssid.data(), out.ssid.size(), &out.ssidLength, out.psk.data(), out.psk.size());

  // The C++ library on the same input, reading the record as the tool's store does.
  zezi::ReplayState stored = zezi::freshReplayState(trustList());
  const bool readable = record.empty() || zezi::decodeReplayState(record, &stored);
  zezi::SignatureInput check;
  check.envelope = envelope;
  if (present) {
    check.signatureFile = signature;
  }
  check.state = readable ? &stored : nullptr;
  check.policy = transition ? zezi::SignaturePolicy::kTransition : zezi::SignaturePolicy::kRequired;
  check.now = now;
  zezi::Network network;
  zezi::VerifiedSignature verified;
  zezi::ReplayState next;
  std::string error;
  if (!zezi::openSignedEnvelope(check, trustList(), fleetScalar(), &network, &verified, &next,
                                &error)) {
    FUZZ_CHECK(status != ZEZI_VIDAD_OK);
    FUZZ_CHECK(std::memcmp(&out, &before, sizeof out) == 0);
    if (zezi::isSignatureFailureText(error)) {
      FUZZ_CHECK(error == zezi_vidad_strerror(status));
    } else {
      FUZZ_CHECK(zezi::isOpenFailureText(error) || status == ZEZI_VIDAD_E_INTERNAL);
    }
    return 0;
  }
  FUZZ_CHECK(status == ZEZI_VIDAD_OK);
  FUZZ_CHECK(network.ssid.size() == out.ssidLength &&
             std::equal(network.ssid.begin(), network.ssid.end(), out.ssid.begin()));
  FUZZ_CHECK(network.psk == out.psk.data());
  const zezi::Bytes nextRecord = verified.isSigned ? zezi::encodeReplayState(next) : zezi::Bytes{};
  if (nextRecord.empty() || nextRecord == record) {
    FUZZ_CHECK(out.recordLength == 0);
  } else {
    FUZZ_CHECK(out.recordLength == nextRecord.size() &&
               std::equal(nextRecord.begin(), nextRecord.end(), out.record.begin()));
  }
  return 0;
}
