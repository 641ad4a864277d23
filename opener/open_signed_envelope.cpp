#include "opener/open_signed_envelope.h"

#include <cstdint>

#include "base/failure.h"
#include "crypto/p256_keys.h"
#include "opener/fleet_opener_steps.h"
#include "opener/open_failure.h"
#include "opener/signature_failure.h"

namespace zezi {
namespace {

enum class Failure : std::uint8_t { kNone, kNoOutput, kFleetKeyMismatch };

constexpr auto kMessages = failureTable<Failure, std::string_view>(
    {
        {Failure::kNoOutput, "no output for the network"},
        {Failure::kFleetKeyMismatch,
         "fleet private key does not belong to the trust list's fleet key"},
    },
    Failure::kFleetKeyMismatch);
static_assert(kMessages.inOrder() && kMessages.oneRowEach());

// The path both keys take: `fleetPoint` is the key's public point (empty for a scalar that
// is no key, which is left to the opening's own message) and `open` opens the envelope.
template <typename Open>
bool openSignedWith(const SignatureInput& input, const TrustList& trustList,
                    const Bytes& fleetPoint, const Open& open, Network* networkOut,
                    VerifiedSignature* verifiedOut, ReplayState* stateOut, std::string* errorOut) {
  if (networkOut == nullptr) {
    return failWith(errorOut, kMessages(Failure::kNoOutput));
  }
  VerifiedSignature verified;
  ReplayState next;
  if (!verifySignature(input, trustList, &verified, &next, errorOut)) {
    return false;
  }
  if (!fleetPoint.empty() && fleetPoint != rawToPoint(trustList.fleetKey())) {
    return failWith(errorOut, kMessages(Failure::kFleetKeyMismatch));
  }
  Network network;
  if (!open(&network, errorOut)) {
    return false;
  }
  if (const SignatureFailure failure = recordOpenedNetwork(verified, network.ssid, &next);
      failure != SignatureFailure::kNone) {
    return failWith(errorOut, signatureFailureText(failure));
  }
  // Every output only now, and the optional ones only when asked for.
  if (verifiedOut != nullptr) {
    *verifiedOut = verified;
  }
  if (stateOut != nullptr) {
    *stateOut = next;
  }
  *networkOut = std::move(network);
  return true;
}

}  // namespace

bool openSignedEnvelope(const SignatureInput& input, const TrustList& trustList,
                        const Bytes& fleetScalar, Network* networkOut,
                        VerifiedSignature* verifiedOut, ReplayState* stateOut,
                        std::string* errorOut) {
  const auto open = [&](Network* network, std::string* error) {
    return openEnvelope(input.envelope, fleetScalar, network, error);
  };
  return openSignedWith(input, trustList, derivePublicPoint(fleetScalar), open, networkOut,
                        verifiedOut, stateOut, errorOut);
}

bool openSignedEnvelope(const SignatureInput& input, const TrustList& trustList,
                        const FleetOpener& opener, Network* networkOut,
                        VerifiedSignature* verifiedOut, ReplayState* stateOut,
                        std::string* errorOut) {
  const auto open = [&](Network* network, std::string* error) {
    return openEnvelope(input.envelope, opener, network, error);
  };
  return openSignedWith(input, trustList, FleetOpenerSteps::fleetPoint(opener), open, networkOut,
                        verifiedOut, stateOut, errorOut);
}

bool isOpenSignedEnvelopeText(std::string_view text) {
  return isSignatureFailureText(text) || isOpenFailureText(text) || kMessages.holds(text);
}

}  // namespace zezi
