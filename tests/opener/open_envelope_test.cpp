#include "opener/open_envelope.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <functional>
#include <numeric>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"
#include "opener/fleet_opener.h"
#include "opener/open_failure.h"
#include "sealer/builder.h"
#include "support/case_names.h"
#include "support/known_values.h"

namespace zezi {
namespace {

using testing::PrintTo;

const testing::KnownValues& known = testing::knownValues();
const Bytes& kFleetScalar = known.fleetScalar;
const Bytes& kEphemeralScalar = known.ephemeralScalar;
const Bytes& kSalt = known.salt;
const Bytes& kNonce = known.nonce;
const std::string kPsk{testing::KnownValues::kPsk};
constexpr std::string_view kSsid = testing::KnownValues::kSsid;
constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::array<std::string_view, 5> kMemberKeys = {"format", "eph_pub", "salt", "nonce",
                                                         "sealed"};

std::string plain(const SecretText& text) {
  return {text.begin(), text.end()};
}

const Bytes& fleetRawKey() {
  return known.fleetRawPublicKey;
}

std::string times(std::string_view text, std::size_t count) {
  std::string result;
  for (std::size_t i = 0; i < count; ++i) {
    result += text;
  }
  return result;
}

std::string inQuotes(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// One envelope member: its key and its value as raw JSON text.
struct Member {
  std::string key;
  std::string json;
};
using Members = std::vector<Member>;

// White space placed around an envelope's punctuation.
struct Layout {
  std::string_view beforeOpen;
  std::string_view beforeMember;
  std::string_view afterKey;
  std::string_view afterColon;
  std::string_view beforeComma;
  std::string_view beforeClose;
  std::string_view afterClose;
};
constexpr Layout kBuilderLayout{"", "\n  ", "", " ", "", "\n", "\n"};
constexpr Layout kCompactLayout{"", "", "", "", "", "", ""};
constexpr Layout kSpreadLayout{"\r\n ", "\r\n\t\t", " \t", "\n ", " ", "\r\n", "\n\n  "};

std::string compose(const Members& members, const Layout& layout = kBuilderLayout) {
  std::string text(layout.beforeOpen);
  text += "{";
  for (std::size_t i = 0; i < members.size(); ++i) {
    text += std::string(layout.beforeMember) + inQuotes(members[i].key) +
            std::string(layout.afterKey) + ":" + std::string(layout.afterColon) + members[i].json;
    if (i + 1 < members.size()) {
      text += std::string(layout.beforeComma) + ",";
    }
  }
  return text + std::string(layout.beforeClose) + "}" + std::string(layout.afterClose);
}

Members membersOf(const Bytes& ephemeralPoint, const Bytes& salt, const Bytes& nonce,
                  const Bytes& sealed) {
  return {{"format", inQuotes(kEnvelopeDomain)},
          {"eph_pub", inQuotes(base64Encode(ephemeralPoint))},
          {"salt", inQuotes(base64Encode(salt))},
          {"nonce", inQuotes(base64Encode(nonce))},
          {"sealed", inQuotes(base64Encode(sealed))}};
}

// Seals `payload` as the builder does, so that payloads the builder never writes can be
// put in an envelope.
Bytes sealedOctets(std::string_view payload, std::string_view aad = kEnvelopeDomain) {
  return sealPayload(known.envelopeKey, kNonce, textToBytes(aad), textToBytes(payload));
}

Members sealedMembers(std::string_view payload, std::string_view aad = kEnvelopeDomain) {
  return membersOf(known.ephemeralPoint, kSalt, kNonce, sealedOctets(payload, aad));
}

std::string builderPayload(std::string_view ssid, std::string_view psk) {
  return R"({"networks":[{"ssid":")" + jsonEscape(ssid) + R"(","psk":")" + std::string(psk) +
         R"("}]})";
}

Members validMembers() {
  return sealedMembers(builderPayload(kSsid, kPsk));
}

std::string valueOf(const Members& members, std::string_view key) {
  return std::find_if(members.begin(), members.end(),
                      [key](const Member& m) { return m.key == key; })
      ->json;
}

// The Base64 text of a binary member, without its quotes.
std::string base64Of(const Members& members, std::string_view key) {
  const std::string json = valueOf(members, key);
  return json.substr(1, json.size() - 2);
}

Members with(Members members, std::string_view key, const std::string& json) {
  for (Member& member : members) {
    if (member.key == key) {
      member.json = json;
    }
  }
  return members;
}

Members without(Members members, std::string_view key) {
  std::erase_if(members, [key](const Member& m) { return m.key == key; });
  return members;
}

Members plus(Members members, std::string_view key, const std::string& json) {
  members.push_back({std::string(key), json});
  return members;
}

Network sentinelNetwork() {
  Network network;
  network.ssid = "sentinel ssid";
  network.psk = SecretText(64, 'e');
  return network;
}

struct Outcome {
  bool opened = false;
  Network network = sentinelNetwork();
  std::string error = "previous error";
};

// The two ways to open: openEnvelope with the scalar, and with a FleetOpener made for it.
enum class OpenPath { kOpenEnvelope, kFleetOpener };
constexpr std::array<OpenPath, 2> kOpenPaths = {OpenPath::kOpenEnvelope, OpenPath::kFleetOpener};

std::string pathName(OpenPath path) {
  return path == OpenPath::kOpenEnvelope ? "OpenEnvelope" : "FleetOpener";
}

// The opener refuses a scalar when it is made, where openEnvelope reports the scalar after
// the envelope's own checks; this stands for that refusal in the outcome.
constexpr std::string_view kNoOpener = "no opener for the scalar";

Outcome tryOpen(std::string_view envelope, const Bytes& fleetScalar = kFleetScalar,
                OpenPath path = OpenPath::kOpenEnvelope) {
  Outcome outcome;
  if (path == OpenPath::kOpenEnvelope) {
    outcome.opened = openEnvelope(envelope, fleetScalar, &outcome.network, &outcome.error);
    return outcome;
  }
  const std::unique_ptr<FleetOpener> opener = FleetOpener::create(fleetScalar);
  if (!opener) {
    outcome.error = kNoOpener;
    return outcome;
  }
  outcome.opened = openEnvelope(envelope, *opener, &outcome.network, &outcome.error);
  return outcome;
}

void expectOpensTo(std::string_view envelope, std::string_view ssid, std::string_view psk) {
  for (const OpenPath path : kOpenPaths) {
    const Outcome outcome = tryOpen(envelope, kFleetScalar, path);
    ASSERT_TRUE(outcome.opened) << pathName(path) << ": " << outcome.error << "\n" << envelope;
    EXPECT_EQ(outcome.network.ssid, ssid) << pathName(path);
    EXPECT_EQ(plain(outcome.network.psk), psk) << pathName(path);
    EXPECT_EQ(outcome.error, "previous error") << pathName(path);
  }
}

void expectRefused(const Outcome& outcome, std::string_view expected) {
  EXPECT_FALSE(outcome.opened);
  EXPECT_EQ(outcome.error, expected);
  EXPECT_EQ(outcome.network.ssid, sentinelNetwork().ssid);
  EXPECT_EQ(outcome.network.psk, sentinelNetwork().psk);
}

// ---- Test setup is faithful to the builder ----

TEST(OpenEnvelopeSetup, SealedMembersReproduceTheBuilderExactly) {
  ASSERT_FALSE(known.envelope.empty());
  EXPECT_EQ(compose(validMembers()), known.envelope);
}

// ---- Envelopes that open ----

TEST(OpenEnvelope, OpensInEveryMemberOrderAndLayout) {
  const Members valid = validMembers();
  std::array<std::size_t, 5> order{};
  std::iota(order.begin(), order.end(), 0);
  int opened = 0;
  do {
    Members reordered;
    for (const std::size_t i : order) {
      reordered.push_back(valid[i]);
    }
    for (const Layout& layout : {kBuilderLayout, kCompactLayout, kSpreadLayout}) {
      expectOpensTo(compose(reordered, layout), kSsid, kPsk);
      ++opened;
    }
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(opened, 360);
}

// A JSON escape changes how a value is written, not the value.
TEST(OpenEnvelope, OpensWithEscapedMemberValuesAndKeys) {
  const Members valid = validMembers();
  const std::string ephemeral = base64Of(valid, "eph_pub");
  const std::string escapedFirst =
      "\\u00" + hexEncode({static_cast<std::uint8_t>(ephemeral[0])}) + ephemeral.substr(1);
  const std::vector<Members> variants = {
      with(valid, "format", R"("tolvane-wifi-drive\/v1")"),
      with(valid, "format", R"("\u0074olvane-wifi-drive/v1")"),
      with(valid, "eph_pub", inQuotes(escapedFirst)),
      plus(without(valid, "salt"), "s\\u0061lt", valueOf(valid, "salt")),
  };
  for (const Members& members : variants) {
    expectOpensTo(compose(members), kSsid, kPsk);
  }
}

TEST(OpenEnvelope, OpensAtExactlyTheSizeLimit) {
  std::string envelope = compose(validMembers());
  envelope.append(kMaxEnvelopeSize - envelope.size(), ' ');
  ASSERT_EQ(envelope.size(), kMaxEnvelopeSize);
  expectOpensTo(envelope, kSsid, kPsk);
}

TEST(OpenEnvelope, SuccessReplacesThePreviousNetwork) {
  Network network;
  network.ssid = "a previous network name that is longer than the new one";
  network.psk = SecretText(80, 'x');
  ASSERT_TRUE(openEnvelope(compose(validMembers()), kFleetScalar, &network, nullptr));
  EXPECT_EQ(network.ssid, kSsid);
  EXPECT_EQ(plain(network.psk), kPsk);
}

TEST(OpenEnvelope, NullNetworkOutputIsRefused) {
  std::string error;
  EXPECT_FALSE(openEnvelope(compose(validMembers()), kFleetScalar, nullptr, &error));
  EXPECT_EQ(error, "no output for the network");
}

TEST(OpenEnvelope, NullErrorOutputStillRefuses) {
  Network network = sentinelNetwork();
  EXPECT_FALSE(openEnvelope("{}", kFleetScalar, &network, nullptr));
  EXPECT_EQ(network.ssid, sentinelNetwork().ssid);
}

// ---- Envelopes that do not open ----

struct RefusalCase {
  std::string name;
  std::string envelope;
  std::string expected;
  Bytes fleetScalar = kFleetScalar;
};

std::string memberMessage(std::string_view key, std::string_view problem) {
  return "envelope member \"" + std::string(key) + "\" " + std::string(problem);
}

// Ways to spoil a canonical Base64 text.
struct Base64Fault {
  const char* name;
  std::function<std::string(std::string)> apply;
};

const std::vector<Base64Fault>& base64Faults() {
  static const std::vector<Base64Fault> faults = {
      {"FillDropped",
       [](std::string t) {
         if (t.find('=') == std::string::npos) {
           return t + "Zg";
         }
         std::erase(t, '=');
         return t;
       }},
      {"UrlSafeMinus", [](std::string t) { return t.replace(0, 1, "-"); }},
      {"UrlSafeUnderscore", [](std::string t) { return t.replace(1, 1, "_"); }},
      {"SpaceInside", [](std::string t) { return t.insert(4, " "); }},
      {"FourSpacesInside", [](std::string t) { return t.insert(4, "    "); }},
      {"NewlineInside", [](std::string t) { return t.insert(4, "\\n"); }},
      {"FourNewlinesInside", [](std::string t) { return t.insert(8, R"(\n\n\n\n)"); }},
      {"CrLfAtEnd", [](const std::string& t) { return t + R"(\r\n)"; }},
      {"NonZeroUnusedBits",
       [](std::string t) {
         const std::size_t fill = t.size() - 1 - t.find_last_not_of('=');
         if (fill == 0) {
           return t + "AB==";
         }
         char& last = t[t.size() - fill - 1];
         last = kBase64Alphabet[kBase64Alphabet.find(last) + 1];
         return t;
       }},
      {"FillInFirstGroup", [](const std::string& t) { return "Zg==" + t; }},
      {"FillGroupAppended", [](const std::string& t) { return t + "===="; }},
      {"RawHighOctet", [](std::string t) { return t.replace(2, 1, "\xff"); }},
      {"EscapedNul", [](std::string t) { return t.replace(2, 1, "\\u0000"); }},
  };
  return faults;
}

std::vector<RefusalCase> envelopeRefusals() {
  const Members valid = validMembers();
  const std::string envelope = compose(valid);
  std::vector<RefusalCase> cases;
  const auto add = [&cases](std::string name, std::string text, std::string expected,
                            Bytes fleetScalar = kFleetScalar) {
    cases.push_back(
        {std::move(name), std::move(text), std::move(expected), std::move(fleetScalar)});
  };

  add("OneOctetOverTheSizeLimit",
      envelope + std::string(kMaxEnvelopeSize + 1 - envelope.size(), ' '), "envelope is too large");
  add("OversizedNonJson", std::string(kMaxEnvelopeSize + 1, '['), "envelope is too large");

  const std::string notJson = "envelope is not valid JSON";
  add("Empty", "", notJson);
  add("Truncated", envelope.substr(0, envelope.size() / 2), notJson);
  add("ClosingBraceMissing", envelope.substr(0, envelope.rfind('}')), notJson);
  add("TextAfterObject", envelope + "x", notJson);
  add("TwoObjects", envelope + envelope, notJson);
  add("NulAfterObject", envelope + std::string(1, '\0'), notJson);
  add("TrailingComma", compose(valid, {"", "\n  ", "", " ", "", ",\n", "\n"}), notJson);
  add("ByteOrderMark", "\xef\xbb\xbf" + envelope, notJson);
  add("RawTabInString", compose(with(valid, "format", "\"tolvane-wifi-drive/v1\t\"")), notJson);
  add("SingleQuotes", compose(with(valid, "format", "'tolvane-wifi-drive/v1'")), notJson);

  const std::string notObject = "envelope is not a JSON object";
  add("Array", "[" + envelope + "]", notObject);
  add("String", R"("tolvane-wifi-drive/v1")", notObject);
  add("Null", "null", notObject);

  const std::string unknown = "envelope has an unknown member";
  add("ExtraMember", compose(plus(valid, "comment", R"("hello")")), unknown);
  Members extraFirst = {{"version", "1"}};
  extraFirst.insert(extraFirst.end(), valid.begin(), valid.end());
  add("ExtraMemberFirst", compose(extraFirst), unknown);
  add("KeyInOtherCase",
      compose(plus(without(valid, "format"), "Format", inQuotes(kEnvelopeDomain))), unknown);
  add("KeyWithSpace", compose(plus(valid, "salt ", valueOf(valid, "salt"))), unknown);
  add("EmptyKey", compose(plus(valid, "", "null")), unknown);
  add("OnlyAnUnknownMember", R"({"networks":[]})", unknown);

  for (const std::string_view key : kMemberKeys) {
    const std::string name(key);
    add(name + "_Missing", compose(without(valid, key)), memberMessage(key, "is missing"));
    add(name + "_Repeated", compose(plus(valid, key, valueOf(valid, key))),
        memberMessage(key, "appears more than once"));
    const std::pair<const char*, std::string> wrongTypes[] = {
        {"Number", "1"},     {"Null", "null"},
        {"Boolean", "true"}, {"Array", "[" + valueOf(valid, key) + "]"},
        {"Object", "{}"},
    };
    for (const auto& [kind, json] : wrongTypes) {
      add(name + "_Is" + kind, compose(with(valid, key, json)),
          memberMessage(key, "is not a string"));
    }
  }
  add("AllMissing", "{}", memberMessage("format", "is missing"));

  const std::string wrongFormat = "envelope format is not tolvane-wifi-drive/v1";
  for (const auto& [name, format] : std::vector<std::pair<std::string, std::string>>{
           {"OtherVersion", "tolvane-wifi-drive/v2"},
           {"Empty", ""},
           {"UpperCase", "TOLVANE-WIFI-DRIVE/V1"},
           {"LeadingSpace", " tolvane-wifi-drive/v1"},
           {"TrailingSlash", "tolvane-wifi-drive/v1/"},
           {"EscapedNulAppended", "tolvane-wifi-drive/v1\\u0000"}}) {
    add("Format" + name, compose(with(valid, "format", inQuotes(format))), wrongFormat);
  }

  for (const std::string_view key : {"eph_pub", "salt", "nonce", "sealed"}) {
    for (const Base64Fault& fault : base64Faults()) {
      add(std::string(key) + "_" + fault.name,
          compose(with(valid, key, inQuotes(fault.apply(base64Of(valid, key))))),
          memberMessage(key, "is not canonical Base64"));
    }
  }

  const Bytes point = derivePublicPoint(kEphemeralScalar);
  const auto withPoint = [&valid](const Bytes& octets) {
    return compose(with(valid, "eph_pub", inQuotes(base64Encode(octets))));
  };
  const std::string badPoint = "envelope eph_pub is not a P-256 public point";
  Bytes compressed(point.begin(), point.begin() + 33);
  compressed[0] = static_cast<std::uint8_t>(0x02 + (point[64] & 1));
  Bytes prefix02 = point;
  prefix02[0] = 0x02;
  Bytes offCurve = point;
  offCurve[64] ^= 0x01;
  Bytes pointPlusOne = point;
  pointPlusOne.push_back(0x00);
  Bytes zeros(kPointSize, 0x00);
  zeros[0] = kUncompressedPointPrefix;
  add("EphPubEmpty", withPoint({}), badPoint);
  add("EphPubRawWithoutPrefix", withPoint(Bytes(point.begin() + 1, point.end())), badPoint);
  add("EphPubCompressed", withPoint(compressed), badPoint);
  add("EphPubWithPrefix02", withPoint(prefix02), badPoint);
  add("EphPubOffCurve", withPoint(offCurve), badPoint);
  add("EphPubAllZeroCoordinates", withPoint(zeros), badPoint);
  add("EphPubOctetAppended", withPoint(pointPlusOne), badPoint);
  // (0, y) lies on the curve; written with X as the field prime p it must still be refused.
  const std::string_view kFieldPrimeHex =
      "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";
  const std::string_view kYForXZeroHex =
      "66485c780e2f83d72433bd5d84a06bb6541c2af31dae871728bf856a174f93f4";
  add("EphPubXIsTheFieldPrime",
      withPoint(hexDecode("04" + std::string(kFieldPrimeHex) + std::string(kYForXZeroHex))),
      badPoint);

  add("SaltEmpty", compose(with(valid, "salt", R"("")")), "envelope salt is empty");

  const auto withNonce = [&valid](std::size_t size) {
    return compose(with(valid, "nonce", inQuotes(base64Encode(Bytes(size, 0x5a)))));
  };
  const std::string badNonce = "envelope nonce is not 12 octets";
  add("Nonce11Octets", withNonce(11), badNonce);
  add("Nonce13Octets", withNonce(13), badNonce);
  add("NonceEmpty", withNonce(0), badNonce);

  const auto withSealed = [&valid](const Bytes& sealed) {
    return compose(with(valid, "sealed", inQuotes(base64Encode(sealed))));
  };
  add("Sealed15Octets", withSealed(Bytes(15, 0xa5)), "envelope sealed payload is too short");
  add("SealedEmpty", withSealed({}), "envelope sealed payload is too short");

  const std::string badScalar = "fleet private key is not a valid P-256 scalar";
  const std::pair<const char*, Bytes> badScalars[] = {
      {"Zero", Bytes(32, 0x00)},
      {"Empty", {}},
      {"31Octets", Bytes(kFleetScalar.begin() + 1, kFleetScalar.end())},
      {"33Octets",
       [] {
         Bytes b(1, 0x00);
         b.insert(b.end(), kFleetScalar.begin(), kFleetScalar.end());
         return b;
       }()},
      {"GroupOrder", hexDecode("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551")},
      // OpenSSL would take these mod n, as the scalars 1 and 2^256 - 1 - n.
      {"GroupOrderPlusOne",
       hexDecode("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632552")},
      {"AllOnes", Bytes(32, 0xff)},
  };
  for (const auto& [name, scalar] : badScalars) {
    add(std::string("FleetScalar") + name, envelope, badScalar, scalar);
  }

  const std::string doesNotOpen = "envelope does not open with this key";
  add("OtherFleetScalar", envelope, doesNotOpen, kEphemeralScalar);
  add("LargestFleetScalar", envelope, doesNotOpen,
      hexDecode("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550"));
  const Bytes sealed = sealedOctets(builderPayload(kSsid, kPsk));
  Bytes firstFlipped = sealed;
  firstFlipped.front() ^= 0x01;
  Bytes tagFlipped = sealed;
  tagFlipped.back() ^= 0x80;
  add("SealedFirstOctetAltered", withSealed(firstFlipped), doesNotOpen);
  add("SealedTagAltered", withSealed(tagFlipped), doesNotOpen);
  add("SealedShortenedByOne", withSealed(Bytes(sealed.begin(), sealed.end() - 1)), doesNotOpen);
  add("SealedTagOnly", withSealed(Bytes(sealed.end() - 16, sealed.end())), doesNotOpen);
  add("SaltAltered", compose(with(valid, "salt", inQuotes(base64Encode(Bytes(16, 0x11))))),
      doesNotOpen);
  add("NonceAltered", withNonce(12), doesNotOpen);
  add("EphPubOfAnotherKey", withPoint(derivePublicPoint(kFleetScalar)), doesNotOpen);
  add("EphPubWithXZero",
      withPoint(hexDecode("04" + std::string(64, '0') + std::string(kYForXZeroHex))), doesNotOpen);
  add("SealedWithoutAdditionalData",
      compose(sealedMembers(builderPayload(kSsid, kPsk), /*aad=*/"")), doesNotOpen);
  return cases;
}

const std::string kBadScalar = "fleet private key is not a valid P-256 scalar";

using PathAndRefusal = std::tuple<OpenPath, RefusalCase>;

class OpenEnvelopeRefuses : public ::testing::TestWithParam<PathAndRefusal> {};

TEST_P(OpenEnvelopeRefuses, WithItsMessageAndNetworkUntouched) {
  const auto& [path, refusal] = GetParam();
  if (path == OpenPath::kFleetOpener && refusal.expected == kBadScalar) {
    expectRefused(tryOpen(refusal.envelope, refusal.fleetScalar, path), kNoOpener);
    return;
  }
  expectRefused(tryOpen(refusal.envelope, refusal.fleetScalar, path), refusal.expected);
  Network network = sentinelNetwork();
  const auto opener = FleetOpener::create(refusal.fleetScalar);
  ASSERT_TRUE(path == OpenPath::kOpenEnvelope || opener);
  const OpenFailure failure = path == OpenPath::kOpenEnvelope
                                  ? openEnvelopeFor(refusal.envelope, refusal.fleetScalar, &network)
                                  : openEnvelopeFor(refusal.envelope, *opener, &network);
  EXPECT_EQ(openFailureText(failure), refusal.expected);
}

std::string refusalName(const ::testing::TestParamInfo<PathAndRefusal>& info) {
  return pathName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Envelope, OpenEnvelopeRefuses,
                         ::testing::Combine(::testing::ValuesIn(kOpenPaths),
                                            ::testing::ValuesIn(envelopeRefusals())),
                         refusalName);

// With a refused scalar openEnvelope still runs every check of the envelope before it, and
// reports the first that fails.
TEST(OpenEnvelope, EnvelopeChecksComeBeforeTheFleetScalar) {
  const Members valid = validMembers();
  const Bytes zero(kScalarSize, 0x00);
  Bytes offCurve = derivePublicPoint(kEphemeralScalar);
  offCurve[64] ^= 0x01;
  const std::pair<std::string, std::string> cases[] = {
      {"{", "envelope is not valid JSON"},
      {compose(with(valid, "eph_pub", inQuotes(base64Encode(offCurve)))),
       "envelope eph_pub is not a P-256 public point"},
      {compose(with(valid, "salt", R"("")")), "envelope salt is empty"},
      {compose(with(valid, "nonce", inQuotes(base64Encode(Bytes(11, 0x01))))),
       "envelope nonce is not 12 octets"},
      {compose(with(valid, "sealed", inQuotes(base64Encode(Bytes(15, 0x01))))),
       "envelope sealed payload is too short"},
      {compose(valid), kBadScalar},
  };
  for (const auto& [envelope, expected] : cases) {
    expectRefused(tryOpen(envelope, zero), expected);
  }
}

// ---- Payloads the builder never writes, sealed under the right key ----

const std::string kNetwork = R"({"ssid":"Home","psk":")" + kPsk + R"("})";

std::string payloadOf(const std::string& networks) {
  return R"({"networks":[)" + networks + "]}";
}

std::string networkOf(const std::string& members) {
  return payloadOf("{" + members + "}");
}

std::vector<RefusalCase> payloadRefusals() {
  std::vector<RefusalCase> cases;
  const std::string pskMember = R"("psk":")" + kPsk + "\"";
  const auto add = [&cases](std::string name, const std::string& payload, std::string expected) {
    cases.push_back({std::move(name), compose(sealedMembers(payload)), std::move(expected)});
  };
  const std::string notJson = "payload is not valid JSON";
  add("Empty", "", notJson);
  add("PlainText", "Home " + kPsk, notJson);
  add("ClosingBraceMissing", R"({"networks":[)" + kNetwork + "]", notJson);
  add("TextAfterObject", payloadOf(kNetwork) + "x", notJson);
  add("NulAfterObject", payloadOf(kNetwork) + std::string(1, '\0'), notJson);
  add("RawControlOctetInSsid", networkOf("\"ssid\":\"Ho\x01me\"," + pskMember), notJson);
  add("UnknownEscapeInSsid", networkOf(R"("ssid":"Ho\x6dme",)" + pskMember), notJson);
  add("LoneSurrogateInSsid", networkOf(R"("ssid":"\ud800",)" + pskMember), notJson);

  const std::string shape = "payload is not an object holding only a networks array";
  add("Array", "[" + kNetwork + "]", shape);
  add("EmptyObject", "{}", shape);
  add("NetworksIsObject", R"({"networks":)" + kNetwork + "}", shape);
  add("NetworksIsString", R"({"networks":"Home"})", shape);
  add("NetworksKeyInOtherCase", R"({"Networks":[)" + kNetwork + "]}", shape);
  add("ExtraTopMember", R"({"networks":[)" + kNetwork + R"(],"version":1})", shape);
  add("NetworksRepeated", R"({"networks":[)" + kNetwork + R"(],"networks":[)" + kNetwork + "]}",
      shape);

  const std::string count = "payload does not hold exactly one network";
  add("ZeroNetworks", payloadOf(""), count);
  add("TwoNetworks", payloadOf(kNetwork + "," + kNetwork), count);

  const std::string notObject = "payload network is not a JSON object";
  add("NetworkIsString", payloadOf(R"("Home")"), notObject);
  add("NetworkIsArray", payloadOf("[" + kNetwork + "]"), notObject);
  add("NetworkIsNull", payloadOf("null"), notObject);

  const std::string unknown = "payload network has an unknown member";
  add("ExtraNetworkMember", networkOf(R"("ssid":"Home",)" + pskMember + R"(,"hidden":false)"),
      unknown);
  add("SsidKeyInUpperCase", networkOf(R"("SSID":"Home",)" + pskMember), unknown);

  const std::string repeated = "payload network member appears more than once";
  add("SsidRepeated", networkOf(R"("ssid":"Home","ssid":"Home",)" + pskMember), repeated);
  add("PskRepeated", networkOf(R"("ssid":"Home",)" + pskMember + "," + pskMember), repeated);

  const std::string ssidNotString = "payload ssid is missing or not a string";
  add("SsidMissing", networkOf(pskMember), ssidNotString);
  add("SsidIsNumber", networkOf(R"("ssid":42,)" + pskMember), ssidNotString);
  add("SsidIsNull", networkOf(R"("ssid":null,)" + pskMember), ssidNotString);
  add("SsidIsArray", networkOf(R"("ssid":["Home"],)" + pskMember), ssidNotString);
  add("EmptyNetwork", payloadOf("{}"), ssidNotString);

  const std::string pskNotString = "payload psk is missing or not a string";
  add("PskMissing", networkOf(R"("ssid":"Home")"), pskNotString);
  add("PskIsNumber", networkOf(R"("ssid":"Home","psk":1234)"), pskNotString);
  add("PskIsObject", networkOf(R"("ssid":"Home","psk":{})"), pskNotString);

  add("SsidEmpty", networkOf(R"("ssid":"",)" + pskMember), "payload ssid is empty");

  // The limit counts the octets read, not the characters written.
  const std::string tooLong = "payload ssid is longer than 32 octets";
  add("Ssid33Octets",
      networkOf(R"("ssid":")" + std::string(kMaxSsidSize + 1, 'w') + "\"," + pskMember), tooLong);
  add("Ssid33OctetsEscaped",
      networkOf(R"("ssid":")" + times(R"(\u0041)", kMaxSsidSize + 1) + "\"," + pskMember), tooLong);
  add("Ssid33OctetsOfUtf8",
      networkOf(R"("ssid":")" + std::string(15, 'w') + times("\xc3\xa9", 9) + "\"," + pskMember),
      tooLong);

  const std::string badPsk = "payload psk is not 64 lowercase hex characters";
  std::string upper = kPsk;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::pair<const char*, std::string> psks[] = {
      {"UpperCase", upper},
      {"OneUpperCaseLetter", "A" + kPsk.substr(1)},
      {"63Characters", kPsk.substr(1)},
      {"65Characters", kPsk + "0"},
      {"NonHexLetter", "g" + kPsk.substr(1)},
      {"SpaceInside", kPsk.substr(0, 32) + " " + kPsk.substr(33)},
      {"Empty", ""},
      {"Passphrase", "correct horse battery staple"},
  };
  for (const auto& [name, psk] : psks) {
    add(std::string("Psk") + name, networkOf(R"("ssid":"Home","psk":")" + psk + "\""), badPsk);
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Payload, OpenEnvelopeRefuses,
                         ::testing::Combine(::testing::ValuesIn(kOpenPaths),
                                            ::testing::ValuesIn(payloadRefusals())),
                         refusalName);

struct PayloadCase {
  const char* name;
  std::string payload;
  std::string ssid;
};

class OpenEnvelopePayloads : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(OpenEnvelopePayloads, OpenToTheirNetwork) {
  expectOpensTo(compose(sealedMembers(GetParam().payload)), GetParam().ssid, kPsk);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenEnvelopePayloads,
    ::testing::Values(PayloadCase{"SpacedAndReordered",
                                  " {\n \"networks\" : [ {\t\"psk\" : \"" + kPsk +
                                      "\" ,\r\n\"ssid\":\"Home\" } ] } ",
                                  "Home"},
                      PayloadCase{"EscapedSsid",
                                  networkOf(R"("ssid":"caf\u00e9 \ud83d\ude00 \"q\" \\ \/ \t",)" +
                                            std::string(R"("psk":")") + kPsk + "\""),
                                  "caf\xc3\xa9 \xf0\x9f\x98\x80 \"q\" \\ / \t"},
                      PayloadCase{"Escaped32OctetSsid",
                                  networkOf(R"("ssid":")" + times(R"(\u0001)", kMaxSsidSize) +
                                            R"(","psk":")" + kPsk + "\""),
                                  std::string(kMaxSsidSize, '\x01')},
                      PayloadCase{"RawNonUtf8Ssid",
                                  networkOf("\"ssid\":\"\xff\xfe\x80\",\"psk\":\"" + kPsk + "\""),
                                  "\xff\xfe\x80"},
                      PayloadCase{"EscapedPskCharacter",
                                  networkOf(R"("ssid":"Home","psk":"\u00)" +
                                            hexEncode({static_cast<std::uint8_t>(kPsk[0])}) +
                                            kPsk.substr(1) + "\""),
                                  "Home"},
                      PayloadCase{
                          "EscapedKeys",
                          R"({"\u006eetworks":[{"\u0073sid":"Home","ps\u006b":")" + kPsk + "\"}]}",
                          "Home"}),
    testing::caseName);

// Every message is distinct and reached by some case above, except those that only an
// OpenSSL failure could cause: with a valid fleet scalar and an on-curve point, agreement
// and derivation cannot fail.
TEST(OpenEnvelopeMessages, EachIsDistinctAndReachedByACase) {
  std::set<std::string> reached = {"no output for the network"};
  for (const auto& cases : {envelopeRefusals(), payloadRefusals()}) {
    for (const RefusalCase& c : cases) {
      reached.insert(c.expected);
    }
  }
  const std::set<std::string> internal = {"key agreement failed", "key derivation failed",
                                          "payload decryption failed"};
  std::set<std::string> all;
  for (auto i = static_cast<unsigned>(OpenFailure::kNone) + 1;
       i <= static_cast<unsigned>(kLastOpenFailure); ++i) {
    const std::string_view message = openFailureText(static_cast<OpenFailure>(i));
    EXPECT_TRUE(isOpenFailureText(message));
    EXPECT_TRUE(all.insert(std::string(message)).second) << "repeated: " << message;
    ASSERT_FALSE(message.empty());
    EXPECT_TRUE(std::islower(static_cast<unsigned char>(message.front()))) << message;
    EXPECT_NE(message.back(), '.') << message;
  }
  for (const std::string& message : all) {
    EXPECT_EQ(reached.count(message) + internal.count(message), 1U) << message;
  }
  for (const std::string& message : reached) {
    EXPECT_EQ(all.count(message), 1U) << "not a listed message: " << message;
  }
}

// ---- Whether a file holds a whole envelope, as seal --batch --resume asks ----

// Whole exactly when a refusal of the tables above comes from the key or after it.
TEST(IsWholeEnvelope, AgreesWithTheChecksBeforeTheKey) {
  for (const auto& cases : {envelopeRefusals(), payloadRefusals()}) {
    for (const RefusalCase& c : cases) {
      Network network;
      const OpenFailure failure = openEnvelopeFor(c.envelope, c.fleetScalar, &network);
      ASSERT_NE(failure, OpenFailure::kNone) << c.name;
      EXPECT_EQ(isWholeEnvelope(c.envelope), failure >= OpenFailure::kBadFleetScalar) << c.name;
    }
  }
}

TEST(IsWholeEnvelope, WholeTruncatedAlteredAndEmptyFiles) {
  const Members valid = validMembers();
  const std::string whole = compose(valid);
  Bytes offCurve = derivePublicPoint(kEphemeralScalar);
  offCurve[64] ^= 0x01;
  Bytes sealed = sealedOctets(builderPayload(kSsid, kPsk));
  sealed.front() ^= 0x01;
  const struct {
    const char* name;
    std::string text;
    bool whole;
  } cases[] = {
      {"AsBuilt", whole, true},
      {"Compact", compose(valid, kCompactLayout), true},
      {"WithoutTheLastNewline", whole.substr(0, whole.size() - 1), true},
      {"AtTheSizeLimit", whole + std::string(kMaxEnvelopeSize - whole.size(), ' '), true},
      // Only the key tells these apart from a sealed network.
      {"SealedAltered", compose(with(valid, "sealed", inQuotes(base64Encode(sealed)))), true},
      {"OfAnotherFleet",
       compose(with(valid, "eph_pub", inQuotes(base64Encode(derivePublicPoint(kFleetScalar))))),
       true},
      {"Empty", "", false},
      {"WhiteSpaceOnly", " \r\n\t", false},
      {"TruncatedInTheMiddle", whole.substr(0, whole.size() / 2), false},
      {"TruncatedBeforeTheClose", whole.substr(0, whole.find_last_of('}')), false},
      {"OverTheSizeLimit", whole + std::string(kMaxEnvelopeSize - whole.size() + 1, ' '), false},
      {"EphPubOffTheCurve", compose(with(valid, "eph_pub", inQuotes(base64Encode(offCurve)))),
       false},
      {"SaltEmpty", compose(with(valid, "salt", R"("")")), false},
      {"NonceOfElevenOctets",
       compose(with(valid, "nonce", inQuotes(base64Encode(Bytes(11, 0x01))))), false},
      {"SealedShorterThanATag",
       compose(with(valid, "sealed", inQuotes(base64Encode(Bytes(15, 0x01))))), false},
      {"MemberMissing", compose(without(valid, "salt")), false},
      {"MemberAdded", compose(plus(valid, "extra", R"("x")")), false},
      {"TwoEnvelopes", whole + whole, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isWholeEnvelope(c.text), c.whole) << c.name;
  }
  // Every cut that loses a member or the closing brace leaves no whole envelope.
  for (std::size_t size = 0; size < whole.find_last_of('}') + 1; ++size) {
    EXPECT_FALSE(isWholeEnvelope(std::string_view(whole).substr(0, size))) << size;
  }
}

// ---- Round trips through the builder ----

// Builds with fresh randomness and opens with the fleet key.
void expectRoundTrip(const std::string& ssid, const std::string& psk) {
  std::string envelope;
  std::string error;
  ASSERT_TRUE(buildEnvelope(ssid, psk, fleetRawKey(), &envelope, &error)) << error;
  for (const OpenPath path : kOpenPaths) {
    const Outcome outcome = tryOpen(envelope, kFleetScalar, path);
    ASSERT_TRUE(outcome.opened) << pathName(path) << ": " << outcome.error << " for ssid "
                                << hexEncode(textToBytes(ssid));
    EXPECT_EQ(outcome.network.ssid, ssid) << hexEncode(textToBytes(ssid));
    EXPECT_EQ(plain(outcome.network.psk), psk);
  }
}

TEST(OpenEnvelopeRoundTrip, EverySingleOctetSsid) {
  for (int octet = 0; octet < 256; ++octet) {
    expectRoundTrip(std::string(1, static_cast<char>(octet)), kPsk);
  }
}

TEST(OpenEnvelopeRoundTrip, RandomSsidsAndPsks) {
  std::mt19937 generator(20240611);
  std::uniform_int_distribution<std::size_t> length(1, kMaxSsidSize);
  for (int i = 0; i < 300; ++i) {
    std::string ssid(length(generator), '\0');
    for (char& c : ssid) {
      c = static_cast<char>(generator());
    }
    Bytes pskOctets(32);
    for (auto& octet : pskOctets) {
      octet = static_cast<std::uint8_t>(generator());
    }
    expectRoundTrip(ssid, hexEncode(pskOctets));
  }
}

TEST(OpenEnvelopeRoundTrip, AwkwardSsids) {
  const std::string awkward[] = {
      "\"",
      "\\",
      "\\\"",
      R"(\u0041)",
      "\"}]}",
      R"({"networks":[]})",
      std::string(2, '\0'),
      std::string("a\0b", 3),
      "\t\n\r\b\f\x1f\x7f",
      "\xc3\x28",
      "\xed\xa0\x80",
      "\xf4\x90\x80\x80",
      "\xef\xbb\xbf",
      "\xc0\xaf",
      std::string(32, '\xff'),
      "caf\xc3\xa9 \xf0\x9f\x98\x80",
      std::string(kMaxSsidSize, '"'),
      std::string(kMaxSsidSize, '\0'),
  };
  for (const std::string& ssid : awkward) {
    expectRoundTrip(ssid, kPsk);
  }
}

// The builder seals any length; the device's side refuses what a WiFi stack cannot hold.
TEST(OpenEnvelopeRoundTrip, SsidsOverThe32OctetLimitAreSealedButNotOpened) {
  for (const std::size_t size : {kMaxSsidSize + 1, std::size_t{100}}) {
    std::string envelope;
    ASSERT_TRUE(buildEnvelope(std::string(size, 's'), kPsk, fleetRawKey(), &envelope, nullptr));
    expectRefused(tryOpen(envelope), "payload ssid is longer than 32 octets");
  }
}

}  // namespace
}  // namespace zezi
