// The device-side opener on arbitrary text: it never crashes, and on failure leaves the
// network alone and reports one of its listed messages. The same input also serves as an
// SSID whose freshly built envelope must open back to it, and as a JSON document on which
// the reader must agree with nlohmann-json.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "encoding/hex.h"
#include "encoding/json_reader.h"
#include "fuzz_check.h"
#include "opener/open_envelope.h"
#include "opener/open_failure.h"
#include "sealer/fixed_inputs.h"
#include "support/known_values.h"

namespace {

// Fixed, so that a saved crash input reproduces exactly.
const zezi::testing::KnownValues& known() {
  return zezi::testing::knownValues();
}

// Escaping may make each SSID octet six, and Base64 makes those eight: an SSID this long
// still gives an envelope under kMaxEnvelopeSize.
constexpr std::size_t kMaxRoundTripSsid = std::size_t{4} * 1024;

zezi::Network sentinelNetwork() {
  zezi::Network network;
  network.ssid = "sentinel";
  network.psk = "sentinel psk";
  return network;
}

enum class Reference { kAccepts, kRefusesSyntax, kRefusesNumberRange };

// How nlohmann-json takes `text`. It refuses a number beyond the range of a double for its
// value, as soon as it meets it, so such a refusal says nothing about the rest.
Reference referenceVerdict(std::string_view text) {
  try {
    (void)nlohmann::json::parse(text.begin(), text.end());
    return Reference::kAccepts;
  } catch (const nlohmann::json::out_of_range&) {
    return Reference::kRefusesNumberRange;
  } catch (const nlohmann::json::parse_error&) {
    return Reference::kRefusesSyntax;
  }
}

// Deepest nesting of brackets outside strings, for text already known to be JSON.
std::size_t nestingDepth(std::string_view json) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// Opening never crashes; success gives a usable network, failure a listed message and an
// untouched network.
void checkOpening(std::string_view text) {
  zezi::Network network = sentinelNetwork();
  std::string error = "previous";
  if (zezi::openEnvelope(text, known().fleetScalar, &network, &error)) {
    FUZZ_CHECK(error == "previous" && !network.ssid.empty() &&
               zezi::isLowercaseHex(std::string_view(network.psk.data(), network.psk.size()), 32));
  } else {
    FUZZ_CHECK(zezi::isOpenFailureText(error));
    FUZZ_CHECK(network.ssid == "sentinel" && network.psk == "sentinel psk");
  }
}

// The reader accepts what nlohmann-json accepts, up to its depth limit; nlohmann-json
// alone skips a leading byte order mark and stops at a NUL octet. The reverse holds only
// for valid UTF-8, which the reader does not require, so it is checked for ASCII text.
void checkReaderAgainstReference(std::string_view text) {
  const bool readerAccepts = zezi::parseJson(text).has_value();
  const Reference reference = referenceVerdict(text);
  if (reference == Reference::kAccepts && !text.starts_with("\xef\xbb\xbf") &&
      text.find('\0') == std::string_view::npos) {
    FUZZ_CHECK(readerAccepts == (nestingDepth(text) <= zezi::kMaxJsonDepth));
  }
  const bool ascii = std::none_of(text.begin(), text.end(),
                                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  if (readerAccepts && ascii) {
    FUZZ_CHECK(reference != Reference::kRefusesSyntax);
  }
}

// Any non-empty octet string is an SSID that the builder seals; the opener gives it back
// when a WiFi stack can hold it, and refuses it otherwise.
void checkRoundTrip(std::string_view ssid) {
  if (ssid.empty() || ssid.size() > kMaxRoundTripSsid) {
    return;
  }
  const std::string psk = zezi::hexEncode(zezi::Bytes(32, static_cast<std::uint8_t>(ssid[0])));
  std::string envelope;
  FUZZ_CHECK(zezi::buildEnvelope(ssid, psk, known().fleetRawPublicKey, &envelope, nullptr,
                                 known().salt, known().nonce, known().ephemeralScalar));
  zezi::Network opened;
  std::string error;
  const bool wasOpened = zezi::openEnvelope(envelope, known().fleetScalar, &opened, &error);
  if (ssid.size() > zezi::kMaxSsidSize) {
    FUZZ_CHECK(!wasOpened && error == "payload ssid is longer than 32 octets");
    return;
  }
  FUZZ_CHECK(wasOpened);
  FUZZ_CHECK(opened.ssid == ssid);
  FUZZ_CHECK(std::string_view(opened.psk.data(), opened.psk.size()) == psk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkOpening(text);
  checkReaderAgainstReference(text);
  checkRoundTrip(text);
  return 0;
}
