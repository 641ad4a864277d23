// The device's signature checks on arbitrary signature files: they never crash; a refusal
// leaves the outputs alone and gives a listed message; an acceptance matches the file. The
// same input also draws terms that the signer must sign and the verifier then accept, and
// is read as a replay record, which must decode only to what encodes back to it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "encoding/hex.h"
#include "fuzz_check.h"
#include "opener/open_signed_envelope.h"
#include "opener/signature_failure.h"
#include "opener/verify_signature.h"
#include "sealer/signature_file.h"
#include "signed_inputs.h"

namespace {

using zezi::fuzz::envelope;
using zezi::fuzz::fleetKey;
using zezi::fuzz::kSignerScalars;
using zezi::fuzz::trustList;

zezi::ReplayState sentinelState() {
  zezi::ReplayState state;
  state.highestSerial = 0x5e5e;
  return state;
}

void checkVerification(FuzzedDataProvider& input) {
  zezi::ReplayState stored = zezi::freshReplayState(trustList());
  // Fresh, a device that accepted serial 5 from signer 1, or an unreadable store.
  const int stateKind = input.ConsumeIntegralInRange(0, 2);
  if (stateKind == 1) {
    stored.keyId = trustList().signerId(1);
    stored.highestSerial = 5;
    stored.setKeyId = stored.keyId;
    stored.setSerial = 5;
    zezi::Digest accepted{};
    accepted.fill(0xab);
    stored.set.push_back(zezi::SetMember{accepted, 1, 2, std::string("Office")});
  }
  zezi::SignatureInput check;
  check.envelope = envelope();
  check.state = stateKind == 2 ? nullptr : &stored;
  check.policy =
      input.ConsumeBool() ? zezi::SignaturePolicy::kTransition : zezi::SignaturePolicy::kRequired;
  if (input.ConsumeBool()) {
    check.now = input.ConsumeIntegral<std::uint64_t>();
  }
  const bool present = !input.ConsumeBool();
  const std::string file = input.ConsumeRemainingBytesAsString();
  if (present) {
    check.signatureFile = file;
  }
  zezi::VerifiedSignature verified;
  verified.keyIndex = 9;
  zezi::ReplayState next = sentinelState();
  std::string error = "previous";
  if (!zezi::verifySignature(check, trustList(), &verified, &next, &error)) {
    FUZZ_CHECK(zezi::isSignatureFailureText(error));
    FUZZ_CHECK(verified.keyIndex == 9 && next == sentinelState());
    return;
  }
  FUZZ_CHECK(error == "previous");
  if (!verified.isSigned) {
    FUZZ_CHECK(!present && check.policy == zezi::SignaturePolicy::kTransition && next == stored);
    return;
  }
  const zezi::Statement& statement = verified.statement;
  FUZZ_CHECK(present && file.size() <= zezi::kMaxSignatureFileSize);
  FUZZ_CHECK(statement.serial >= 1 && statement.expiresAt > statement.issuedAt);
  FUZZ_CHECK(statement.fleetId == trustList().fleetId());
  FUZZ_CHECK(statement.signerKeyId == trustList().signerId(verified.keyIndex));
  FUZZ_CHECK(trustList().indexOf(stored.keyId) <= verified.keyIndex);
  // The envelope is then a member of the set the state names: the one it held or a new one.
  FUZZ_CHECK(next.highestSerial == statement.serial && next.setSerial == statement.serial &&
             next.memberOf(statement.envelopeSha256) != nullptr);
}

// Whatever terms the input draws, a signature made for them verifies exactly when they
// are terms a device takes (on a fresh device with no clock and no floors).
void checkSignAndVerify(FuzzedDataProvider& input) {
  const zezi::SignatureTerms terms{input.ConsumeIntegral<std::uint64_t>(),
                                   input.ConsumeIntegral<std::uint64_t>(),
                                   input.ConsumeIntegral<std::uint64_t>()};
  std::string file;
  const bool signedFile = zezi::makeSignatureFile(zezi::hexDecode(kSignerScalars[0]), fleetKey(),
                                                  envelope(), terms, &file, nullptr);
  FUZZ_CHECK(signedFile == (terms.serial >= 1 && terms.expiresAt > terms.issuedAt));
  if (!signedFile) {
    return;
  }
  const zezi::ReplayState fresh = zezi::freshReplayState(trustList());
  zezi::SignatureInput check;
  check.envelope = envelope();
  check.signatureFile = file;
  check.state = &fresh;
  zezi::VerifiedSignature verified;
  zezi::ReplayState next;
  FUZZ_CHECK(zezi::verifySignature(check, trustList(), &verified, &next, nullptr));
  FUZZ_CHECK(verified.statement.serial == terms.serial &&
             verified.statement.issuedAt == terms.issuedAt &&
             verified.statement.expiresAt == terms.expiresAt);
}

void checkReplayRecord(const zezi::Bytes& record) {
  zezi::ReplayState state;
  if (zezi::decodeReplayState(record, &state)) {
    FUZZ_CHECK(zezi::encodeReplayState(state) == record);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkReplayRecord(zezi::Bytes(data, data + size));
  FuzzedDataProvider terms(data, size);
  checkSignAndVerify(terms);
  FuzzedDataProvider input(data, size);
  checkVerification(input);
  return 0;
}
