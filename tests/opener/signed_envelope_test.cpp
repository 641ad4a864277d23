// The device's side of signed envelopes. The pitfalls that signing exists to stop are one
// table; the published sequences (envelope_vectors_test.cpp) cover the flows between them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <string>

#include "crypto/p256_keys.h"
#include "crypto/sha256.h"
#include "crypto/signer.h"
#include "crypto/statement.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "opener/signature_failure.h"
#include "sealer/signature_file.h"
#include "support/case_names.h"
#include "support/known_values.h"

namespace zezi {
namespace {

using testing::PrintTo;
namespace fs = std::filesystem;

constexpr std::uint64_t kNow = 1'800'000'000;  // 2027-01-15
constexpr std::uint64_t kDay = 86'400;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t k2038 = 2'147'483'648;            // 2038-01-19T03:14:08Z, 2^31
constexpr std::uint64_t k2100 = 4'102'444'800;            // 2100-01-01T00:00:00Z
constexpr std::uint64_t k2To63 = std::uint64_t{1} << 63;  // past any signed 64-bit time
constexpr std::string_view kOrderHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

Bytes rawPublicOf(const Bytes& scalar) {
  return encodedPublicKey(loadPrivateKey(scalar).get());
}

// Three trusted signers, one outsider, and a second fleet.
const std::array<Bytes, 5>& scalars() {
  static const std::array<Bytes, 5> values = {
      hexDecode("bba93954db7d454e1c61496264a968118cd1abcec0176808ab24afd057ae654e"),
      hexDecode("5d74d345726961678c7b885066809eda6da72d63726d46e453b5d4baffa3d9ed"),
      hexDecode("b261dcc775bc19d9058523358b5d5a0c06ac2f9cb93066101111dc35fd7a82d2"),
      hexDecode("73c8eb553cd08d944805a60c2b25d0c7c13dbb6b6747f379128383bf5cb182ea"),
      hexDecode("1afee79663e54ece2cd47bf7fe9aea2ff3b64dd2aa211acb23f33caeb5bf03a6")};
  return values;
}
constexpr std::size_t kOutsider = 3;
constexpr std::size_t kOtherFleet = 4;

const Bytes& fleetKey() {
  return testing::knownValues().fleetRawPublicKey;
}

TrustSettings settings() {
  TrustSettings s;
  s.signerKeys = {rawPublicOf(scalars()[0]), rawPublicOf(scalars()[1]), rawPublicOf(scalars()[2])};
  s.fleetKey = fleetKey();
  s.version = 1;
  s.timeFloor = kNow - 30 * kDay;
  return s;
}

const TrustList& trust() {
  static const TrustList list = [] {
    TrustList loaded;
    EXPECT_TRUE(loadTrustList(settings(), &loaded, nullptr));
    return loaded;
  }();
  return list;
}

// The trusted signers in another order or number, under another version.
TrustList listOf(std::initializer_list<std::size_t> signers, std::uint64_t version = 1) {
  TrustSettings s = settings();
  s.signerKeys.clear();
  for (const std::size_t signer : signers) {
    s.signerKeys.push_back(rawPublicOf(scalars().at(signer)));
  }
  s.version = version;
  TrustList loaded;
  EXPECT_TRUE(loadTrustList(s, &loaded, nullptr));
  return loaded;
}

// The self-test's envelope, and one for another network.
const std::string& envelopeA() {
  return testing::knownValues().envelope;
}

const std::string& envelopeB() {
  static const std::string text = [] {
    std::string built;
    EXPECT_TRUE(buildEnvelope("Guests", kTestPsk, fleetKey(), &built, nullptr));
    return built;
  }();
  return text;
}

SignatureTerms terms(std::uint64_t serial, std::uint64_t issuedAt = kNow - kDay,
                     std::uint64_t expiresAt = kNow + 30 * kDay) {
  return {serial, issuedAt, expiresAt};
}

std::string sign(std::string_view envelope, std::size_t signer, SignatureTerms t = terms(1),
                 const Bytes& fleet = fleetKey()) {
  std::string file;
  EXPECT_TRUE(makeSignatureFile(scalars().at(signer), fleet, envelope, t, &file, nullptr));
  return file;
}

// Signer 0's statement for envelope A, signed as it is (even when no signer would make it).
Statement statementA(SignatureTerms t = terms(1)) {
  Statement statement{{}, trust().fleetId(), {}, t.serial, t.issuedAt, t.expiresAt};
  statement.signerKeyId = trust().signerId(0);
  EXPECT_TRUE(sha256(envelopeA(), &statement.envelopeSha256));
  return statement;
}

std::string fileOf(const Bytes& statement, const std::string& signatureText) {
  return R"({"format": "tolvane-wifi-drive-sig/v1", "statement": ")" + base64Encode(statement) +
         R"(", "signature": ")" + signatureText + "\"}";
}

std::string signedStatement(const Bytes& octets) {
  return fileOf(octets, base64Encode(signMessage(scalars()[0], signedMessage(octets))));
}

Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Envelope A's valid statement under the raw signature r || s.
std::string withSignature(const Bytes& r, const Bytes& s) {
  return fileOf(encodeStatement(statementA()), base64Encode(join(r, s)));
}

const Bytes& validSignature() {
  static const Bytes raw = signMessage(scalars()[0], signedMessage(encodeStatement(statementA())));
  return raw;
}

Bytes half(std::size_t which) {
  const auto begin = validSignature().begin() + static_cast<std::ptrdiff_t>(32 * which);
  return Bytes(begin, begin + 32);
}

// n - s, in plain octet arithmetic.
Bytes negated(const Bytes& s) {
  Bytes out = hexDecode(kOrderHex);
  int borrow = 0;
  for (std::size_t i = out.size(); i-- > 0;) {
    const int difference = out[i] - s[i] - borrow;
    borrow = difference < 0 ? 1 : 0;
    out[i] = static_cast<std::uint8_t>(difference + 256 * borrow);
  }
  return out;
}

// One call of verifySignature.
struct Check {
  explicit Check(std::string signatureFile, std::string_view envelopeText = envelopeA(),
                 const ReplayState* stored = nullptr)
      : file(std::move(signatureFile)), envelope(envelopeText), state(stored) {}

  std::string file;
  std::string_view envelope;
  const ReplayState* state;         // null: a fresh device
  const TrustList* list = nullptr;  // null: trust()
  bool unreadable = false;
  SignaturePolicy policy = SignaturePolicy::kRequired;
  std::optional<std::uint64_t> now;
};

Check at(Check check, std::uint64_t now) {
  check.now = now;
  return check;
}

struct Verdict {
  std::string error;  // empty when accepted
  VerifiedSignature verified;
  ReplayState state;
};

Check under(Check check, const TrustList& list) {
  check.list = &list;
  return check;
}

Verdict verify(const Check& check) {
  const TrustList& list = check.list != nullptr ? *check.list : trust();
  const ReplayState fresh = freshReplayState(list);
  SignatureInput input{check.envelope, check.file, check.state ? check.state : &fresh, check.policy,
                       check.now};
  if (check.unreadable) {
    input.state = nullptr;
  }
  Verdict verdict;
  ReplayState sentinel;
  sentinel.highestSerial = 0x5e5e;
  verdict.state = sentinel;
  if (!verifySignature(input, list, &verdict.verified, &verdict.state, &verdict.error)) {
    EXPECT_EQ(verdict.state, sentinel) << "a refusal wrote the state";
  }
  return verdict;
}

std::string messageOf(const Check& check) {
  return verify(check).error;
}

const ReplayState& afterSerial5() {
  static const ReplayState state = verify(Check(sign(envelopeA(), 0, terms(5)))).state;
  return state;
}

const ReplayState& afterSigner1() {
  static const ReplayState state = verify(Check(sign(envelopeA(), 1))).state;
  return state;
}

constexpr std::string_view kListDiffers =
    "trust list differs from the one the replay state was written under";

// A record of the first version, which named the accepted key by its index.
Bytes versionOneRecord(std::uint16_t keyIndex, std::uint64_t serial, std::uint64_t timeFloor) {
  Bytes record = hexDecode("5a5652530001");
  for (const std::uint64_t value : {std::uint64_t{keyIndex}, std::uint64_t{1}, serial, timeFloor}) {
    const std::size_t size = record.size() == 6 ? 2 : 8;
    for (std::size_t i = size; i-- > 0;) {
      record.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
  }
  Digest hash{};
  EXPECT_TRUE(sha256(envelopeA(), &hash));
  record.insert(record.end(), hash.begin(), hash.end());
  EXPECT_TRUE(sha256(record, &hash));
  record.insert(record.end(), hash.begin(), hash.end());
  return record;
}

// Writes past `octets` fail (instead of killing the process) while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t octets) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &previous_);
    const rlimit lowered{octets, previous_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  void (*previousHandler_)(int);
  rlimit previous_{};
};

// A fresh folder for the store's files, removed afterwards.
struct Folder {
  fs::path path = [] {
    std::string pattern = (fs::temp_directory_path() / "zezi_state_XXXXXX").string();
    return fs::path(mkdtemp(pattern.data()) != nullptr ? pattern : "");
  }();
  Folder() = default;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder() { fs::remove_all(path); }
  [[nodiscard]] std::string file() const { return (path / "device.state").string(); }
  [[nodiscard]] std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path), {}));
  }
};

// What the device reports for signer 0's serial 6 with the state stored at `path`.
std::string verifyWithStored(const std::string& path) {
  ReplayState stored;
  const bool readable = loadReplayState(path, trust(), &stored);
  Check check(sign(envelopeA(), 0, terms(6)), envelopeA(), &stored);
  check.unreadable = !readable;
  return messageOf(check);
}

// ---- the pitfalls, each once

struct Pitfall {
  const char* name;
  std::function<std::string()> run;  // the message, or "" when accepted
  std::string_view expected;
};

const Pitfall kPitfalls[] = {
    {"SignatureOverAnotherEnvelope",
     [] { return messageOf(Check(sign(envelopeA(), 0), envelopeB())); },
     "signature is for another envelope"},
    {"SameEnvelopeReindented",
     [] {
       std::string compact = envelopeA();
       std::erase(compact, '\n');
       return messageOf(Check(sign(envelopeA(), 0), compact));
     },
     "signature is for another envelope"},
    {"SerialRollback",
     [] { return messageOf(Check(sign(envelopeB(), 0, terms(4)), envelopeB(), &afterSerial5())); },
     "signature serial is older than the last accepted"},
    {"SameSerialAnotherEnvelopeJoinsTheSet",
     [] {
       const Verdict joined =
           verify(Check(sign(envelopeB(), 0, terms(5)), envelopeB(), &afterSerial5()));
       EXPECT_EQ(joined.state.set.size(), 2U);
       EXPECT_EQ(joined.state.highestSerial, 5U);
       return joined.error;
     },
     ""},
    {"SerialOfNoSetIsUsed",
     [] {
       ReplayState floor = freshReplayState(trust());
       floor.highestSerial = 5;
       return messageOf(Check(sign(envelopeB(), 0, terms(5)), envelopeB(), &floor));
     },
     "signature serial was already used for another envelope"},
    {"FullSetTakesNoMore",
     [] {
       ReplayState full = afterSerial5();
       while (full.set.size() < kMaxSetSize) {
         full.set.push_back(
             SetMember{Digest{static_cast<std::uint8_t>(full.set.size())}, 1, 2, {}});
       }
       EXPECT_EQ(messageOf(Check(sign(envelopeA(), 0, terms(5)), envelopeA(), &full)), "");
       return messageOf(Check(sign(envelopeB(), 0, terms(5)), envelopeB(), &full));
     },
     "signature serial's set already holds 16 networks"},
    {"CarriedSetIsNotJoined",
     [] {
       ReplayState carried = afterSerial5();
       carried.setCarried = true;
       return messageOf(Check(sign(envelopeA(), 0, terms(5)), envelopeA(), &carried));
     },
     "signature serial was already used for another envelope"},
    {"SameEnvelopeReadAgain",
     [] {
       const Verdict again =
           verify(Check(sign(envelopeA(), 0, terms(5)), envelopeA(), &afterSerial5()));
       EXPECT_EQ(again.state, afterSerial5()) << "reading it again changed the state";
       return again.error;
     },
     ""},
    {"Expired",
     [] {
       return messageOf(at(Check(sign(envelopeA(), 0, terms(1, kNow - 9 * kDay, kNow))), kNow));
     },
     "signature has expired"},
    {"NotYetValid",
     [] {
       return messageOf(at(Check(sign(envelopeA(), 0, terms(1, kNow + 301, kNow + kDay))), kNow));
     },
     "signature is not yet valid"},
    {"ExpiresAtNotAfterIssuedAt",
     [] {
       return messageOf(Check(signedStatement(encodeStatement(statementA(terms(1, kNow, kNow))))));
     },
     "signature statement is malformed"},
    {"TimeFloorWithoutAClock",
     [] {
       // The last accepted signature was issued at kNow: one expiring by then is refused.
       const ReplayState state =
           verify(Check(sign(envelopeA(), 0, terms(1, kNow, kNow + 1)))).state;
       return messageOf(
           Check(sign(envelopeB(), 0, terms(2, kNow - kDay, kNow)), envelopeB(), &state));
     },
     "signature has expired"},
    {"WrongFleet",
     [] {
       return messageOf(Check(sign(envelopeA(), 0, terms(1), rawPublicOf(scalars()[kOtherFleet]))));
     },
     "signature is for another fleet"},
    {"UnknownSigner", [] { return messageOf(Check(sign(envelopeA(), kOutsider))); },
     "signature is by an unknown signer"},
    {"SupersededKey",
     [] { return messageOf(Check(sign(envelopeB(), 0, terms(9)), envelopeB(), &afterSigner1())); },
     "signer key is superseded"},
    {"SignerKeyEqualToFleetKey",
     [] {
       std::string file;
       EXPECT_FALSE(makeSignatureFile(testing::knownValues().fleetScalar, fleetKey(), envelopeA(),
                                      terms(1), &file, nullptr));
       TrustSettings s = settings();
       s.signerKeys[1] = fleetKey();
       TrustList list;
       std::string error;
       EXPECT_FALSE(loadTrustList(s, &list, &error));
       return error;
     },
     "trust list signer key is the fleet key"},
    {"Statement119Octets",
     [] {
       Bytes octets = encodeStatement(statementA());
       octets.pop_back();
       return messageOf(Check(signedStatement(octets)));
     },
     "signature statement is not 120 octets"},
    {"Statement121Octets",
     [] {
       Bytes octets = encodeStatement(statementA());
       octets.push_back(0);
       return messageOf(Check(signedStatement(octets)));
     },
     "signature statement is not 120 octets"},
    {"Signature63Octets",
     [] {
       Bytes s = half(1);
       s.pop_back();
       return messageOf(Check(withSignature(half(0), s)));
     },
     "signature is not 64 octets"},
    {"Signature65Octets",
     [] { return messageOf(Check(withSignature(Bytes{0}, validSignature()))); },
     "signature is not 64 octets"},
    {"SignatureInDer",
     [] {
       // SEQUENCE { INTEGER r, INTEGER s } of the same r and s, each with a sign octet.
       return messageOf(Check(withSignature(join(hexDecode("3046022100"), half(0)),
                                            join(hexDecode("022100"), half(1)))));
     },
     "signature is not 64 octets"},
    {"NonCanonicalBase64",
     [] {
       // 64 octets leave four unused bits before "=="; one of them set.
       std::string text = base64Encode(validSignature());
       const std::string_view alphabet =
           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
       text[text.size() - 3] = alphabet[alphabet.find(text[text.size() - 3]) ^ 1U];
       return messageOf(Check(fileOf(encodeStatement(statementA()), text)));
     },
     "signature file member \"signature\" is not canonical Base64"},
    {"HighS", [] { return messageOf(Check(withSignature(half(0), negated(half(1))))); },
     "signature is not in canonical form"},
    {"RZero", [] { return messageOf(Check(withSignature(Bytes(32, 0), half(1)))); },
     "signature is not in canonical form"},
    {"REqualToOrder", [] { return messageOf(Check(withSignature(hexDecode(kOrderHex), half(1)))); },
     "signature is not in canonical form"},
    {"SZero", [] { return messageOf(Check(withSignature(half(0), Bytes(32, 0)))); },
     "signature is not in canonical form"},
    {"SEqualToOrder", [] { return messageOf(Check(withSignature(half(0), hexDecode(kOrderHex)))); },
     "signature is not in canonical form"},
    {"SixtyFourBitEdges",
     [] {
       // now + 300 would wrap; the largest serial and times are ordinary values.
       const Check c(sign(envelopeA(), 0, terms(kMax, kMax - 1, kMax)));
       const Verdict first = verify(at(c, kMax - 100));
       EXPECT_EQ(first.state.highestSerial, kMax);
       EXPECT_EQ(messageOf(Check(sign(envelopeB(), 0, terms(kMax, kMax - 1, kMax)), envelopeB(),
                                 &first.state)),
                 "");
       EXPECT_EQ(messageOf(at(c, kMax)), "signature has expired");
       return first.error;
     },
     ""},
    {"ValidUntil2100",
     [] {
       // Twenty-year signatures are ordinary; a 32-bit time would end them in 2038.
       const Check c(sign(envelopeA(), 0, terms(1, kNow - kDay, k2100)));
       EXPECT_EQ(messageOf(at(c, k2038)), "");
       EXPECT_EQ(messageOf(at(c, k2100 - 1)), "");
       EXPECT_EQ(messageOf(at(c, k2100)), "signature has expired");
       return messageOf(at(Check(sign(envelopeA(), 0, terms(1, k2038, k2100))), k2038 - 301));
     },
     "signature is not yet valid"},
    {"TimesAcross2To63",
     [] {
       // Past the largest signed 64-bit value, as unsigned times are: no sign to flip.
       const Check c(sign(envelopeA(), 0, terms(1, k2To63 - 1, k2To63 + 1)));
       EXPECT_EQ(messageOf(at(c, k2To63)), "");
       EXPECT_EQ(messageOf(at(c, k2To63 + 1)), "signature has expired");
       EXPECT_EQ(messageOf(at(c, k2To63 - 302)), "signature is not yet valid");
       // Accepted, the issue time is the floor a device without a clock holds to.
       const ReplayState state = verify(at(c, k2To63)).state;
       EXPECT_EQ(state.timeFloor, k2To63 - 1);
       return messageOf(
           Check(sign(envelopeB(), 0, terms(2, kNow, k2To63 - 1)), envelopeB(), &state));
     },
     "signature has expired"},
    {"SerialOf2To63Minus1",
     [] {
       const Verdict first = verify(Check(sign(envelopeA(), 0, terms(k2To63 - 1))));
       EXPECT_EQ(first.state.highestSerial, k2To63 - 1);
       const Verdict next =
           verify(Check(sign(envelopeB(), 0, terms(k2To63)), envelopeB(), &first.state));
       EXPECT_EQ(next.error, "");
       EXPECT_EQ(next.state.highestSerial, k2To63);
       return messageOf(Check(sign(envelopeB(), 0, terms(k2To63 - 1)), envelopeB(), &next.state));
     },
     "signature serial is older than the last accepted"},
    {"BlankStateIsAFreshDevice",
     [] {
       const Folder folder;
       return verifyWithStored(folder.file());
     },
     ""},
    {"CorruptStateFailsClosed",
     [] {
       const Folder folder;
       Bytes record = encodeReplayState(afterSerial5());
       record[20] ^= 0x01;  // a bit of highest_serial, under the checksum
       std::ofstream(folder.file(), std::ios::binary)
           .write(reinterpret_cast<const char*>(record.data()),
                  static_cast<std::streamsize>(record.size()));
       return verifyWithStored(folder.file());
     },
     "replay state is unreadable"},
    {"StateFailsToCommit",
     [] {
       const Folder folder;
       EXPECT_TRUE(commitReplayState(folder.file(), afterSerial5(), nullptr));
       std::string error;
       {
         const FileSizeLimit full(16);  // a full disk, as far as this process can tell
         EXPECT_FALSE(commitReplayState(folder.file(), freshReplayState(trust()), &error));
       }
       ReplayState kept;
       EXPECT_TRUE(loadReplayState(folder.file(), trust(), &kept));
       EXPECT_EQ(kept, afterSerial5()) << "a failed commit changed the record";
       EXPECT_EQ(folder.entries(), 1U) << "a failed commit left a temporary file";
       return error;
     },
     "cannot write the replay state file"},
    {"ReorderedListLetsNoRetiredKeyBackIn",
     [] {
       // Signer 1 took over from signer 0; a list naming them the other way round is not
       // the list the state was written under.
       static const TrustList swapped = listOf({1, 0, 2});
       return messageOf(
           under(Check(sign(envelopeB(), 0, terms(9)), envelopeB(), &afterSigner1()), swapped));
     },
     kListDiffers},
    {"ListWithoutTheRetiredKeyNeedsANewVersion",
     [] {
       static const TrustList sameVersion = listOf({1, 2});
       static const TrustList nextVersion = listOf({1, 2}, 2);
       EXPECT_EQ(
           messageOf(under(Check(sign(envelopeB(), 1, terms(2)), envelopeB(), &afterSigner1()),
                           sameVersion)),
           kListDiffers);
       const Verdict fresh = verify(
           under(Check(sign(envelopeB(), 1, terms(2)), envelopeB(), &afterSigner1()), nextVersion));
       EXPECT_EQ(fresh.state.keyId, trust().signerId(1));
       EXPECT_EQ(fresh.state.trustListDigest, nextVersion.digest());
       return fresh.error;
     },
     ""},
    {"OlderListVersion",
     [] {
       static const TrustList older = listOf({0, 1, 2}, 0);
       return messageOf(
           under(Check(sign(envelopeA(), 0, terms(6)), envelopeA(), &afterSerial5()), older));
     },
     kListDiffers},
    {"FarFutureIssueTimeLocksOutOnlyItsOwnKey",
     [] {
       // Signer 0 signed with its clock years ahead and a device without a clock took it.
       const std::uint64_t ahead = kNow + 3650 * kDay;
       const ReplayState poisoned =
           verify(Check(sign(envelopeA(), 0, terms(1, ahead, ahead + kDay)))).state;
       EXPECT_EQ(poisoned.timeFloor, ahead);
       EXPECT_EQ(messageOf(Check(sign(envelopeB(), 0, terms(2)), envelopeB(), &poisoned)),
                 "signature has expired");
       // Signer 1 answers to the firmware's floor only, and its own floor starts there.
       const Verdict promoted =
           verify(Check(sign(envelopeB(), 1, terms(1)), envelopeB(), &poisoned));
       EXPECT_EQ(promoted.state.timeFloor, kNow - kDay);
       EXPECT_EQ(promoted.state.keyId, trust().signerId(1));
       EXPECT_EQ(messageOf(Check(sign(envelopeB(), 2, terms(1, kNow - 60 * kDay, kNow - 31 * kDay)),
                                 envelopeB(), &promoted.state)),
                 "signature has expired");
       return messageOf(Check(sign(envelopeA(), 1, terms(2)), envelopeA(), &promoted.state));
     },
     ""},
    {"VersionOneRecordNamesTheKeyAtItsIndex",
     [] {
       ReplayState legacy;
       EXPECT_TRUE(decodeReplayState(versionOneRecord(1, 5, kNow), &legacy));
       EXPECT_EQ(legacy.legacyKeyIndex, std::optional<std::uint16_t>(1));
       EXPECT_EQ(messageOf(Check(sign(envelopeB(), 0, terms(9)), envelopeB(), &legacy)),
                 "signer key is superseded");
       // Its envelope is a set of one, which another envelope of the serial joins.
       EXPECT_EQ(
           verify(Check(sign(envelopeB(), 1, terms(5)), envelopeB(), &legacy)).state.set.size(),
           2U);
       // Read again, the state comes back in the current version's form, to be committed.
       const Verdict again = verify(Check(sign(envelopeA(), 1, terms(5)), envelopeA(), &legacy));
       EXPECT_EQ(encodeReplayState(again.state).size(), kReplayRecordSize);
       EXPECT_EQ(again.state.keyId, trust().signerId(1));
       EXPECT_EQ(again.state.trustListDigest, trust().digest());
       EXPECT_FALSE(again.state.legacyKeyIndex);
       ReplayState beyond;
       EXPECT_TRUE(decodeReplayState(versionOneRecord(3, 5, kNow), &beyond));
       EXPECT_EQ(messageOf(Check(sign(envelopeA(), 1, terms(6)), envelopeA(), &beyond)),
                 "replay state is unreadable");
       return again.error;
     },
     ""},
    {"InvalidSignatureFileUnderTransition",
     [] {
       Check c("{\"format\": ");
       c.policy = SignaturePolicy::kTransition;
       return messageOf(c);
     },
     "signature file is not valid JSON"},
};

class SignedEnvelopePitfalls : public ::testing::TestWithParam<Pitfall> {};

TEST_P(SignedEnvelopePitfalls, EndAsTheyMust) {
  EXPECT_EQ(GetParam().run(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Each, SignedEnvelopePitfalls, ::testing::ValuesIn(kPitfalls),
                         testing::caseName);

// ---- the order of the checks, and their causes

TEST(SignatureChecks, TheFirstFailingCheckSpeaks) {
  // A statement for another fleet under a signature that does not verify: the fleet is never
  // read from an unverified statement.
  Statement otherFleet = statementA();
  ASSERT_TRUE(keyIdOf(rawPublicOf(scalars()[kOtherFleet]), &otherFleet.fleetId));
  const ReplayState onSigner1 = verify(Check(sign(envelopeA(), 1))).state;
  Check unreadable("");
  unreadable.unreadable = true;
  const std::pair<Check, std::string_view> cases[] = {
      {unreadable, "replay state is unreadable"},
      {Check(sign(envelopeA(), kOutsider), envelopeB()), "signature is by an unknown signer"},
      {Check(withSignature(half(0), negated(half(1))), envelopeA(), &onSigner1),
       "signer key is superseded"},
      {Check(fileOf(encodeStatement(otherFleet), base64Encode(validSignature()))),
       "signature does not verify"},
      {at(Check(sign(envelopeB(), 0, terms(4, kNow - 9 * kDay, kNow - kDay))), kNow),
       "signature is for another envelope"},
  };
  for (const auto& [check, expected] : cases) {
    EXPECT_EQ(messageOf(check), expected);
  }
}

TEST(SignatureChecks, EachCauseHasItsOwnMessage) {
  std::set<std::string_view> texts;
  for (auto i = static_cast<unsigned>(SignatureFailure::kNone) + 1;
       i <= static_cast<unsigned>(kLastSignatureFailure); ++i) {
    const std::string_view text = signatureFailureText(static_cast<SignatureFailure>(i));
    EXPECT_TRUE(texts.insert(text).second && !text.empty()) << i;
    EXPECT_TRUE(isOpenSignedEnvelopeText(text));
  }
  EXPECT_TRUE(signatureFailureText(SignatureFailure::kNone).empty());
  const std::string file = sign(envelopeA(), kOutsider);
  const ReplayState fresh = freshReplayState(trust());
  VerifiedSignature verified;
  ReplayState next;
  const SignatureInput input{envelopeA(), file, &fresh, SignaturePolicy::kRequired, std::nullopt};
  EXPECT_EQ(verifySignatureFor(input, trust(), &verified, &next), SignatureFailure::kUnknownSigner);
}

// What a file claims is read for ordering a drive, whoever signed it; a file that is no
// signature file, or one larger than any the device reads, claims nothing.
TEST(SignatureChecks, AClaimIsTheStatementReadWithoutTrust) {
  const Statement statement = statementA(terms(7));
  const std::pair<std::string, std::optional<Statement>> cases[] = {
      {sign(envelopeA(), 0, terms(7)), statement},
      {fileOf(encodeStatement(statement), base64Encode(validSignature())), statement},
      {fileOf(Bytes(kStatementSize - 1), base64Encode(validSignature())), std::nullopt},
      {"{}", std::nullopt},
      {sign(envelopeA(), 0, terms(7)) + std::string(kMaxSignatureFileSize, ' '), std::nullopt},
  };
  for (const auto& [file, expected] : cases) {
    Statement claimed;
    const bool found = claimedStatement(file, &claimed);
    EXPECT_EQ(found, expected.has_value()) << file;
    if (found && expected) {
      EXPECT_EQ(claimed, *expected) << file;
    }
  }
}

TEST(SignatureChecks, FloorsRaisedByNewFirmwareHoldForAStoredState) {
  // Higher floors under a new trust-list version: serial 5 of the stored state and the time
  // it was issued no longer count. Under the same version they are another list.
  const std::tuple<std::uint64_t, SignatureTerms, std::string_view> cases[] = {
      {2, terms(9, kNow, kNow + 2 * kDay),
       "signature serial was already used for another envelope"},
      {2, terms(10, kNow, kNow + kDay), "signature has expired"},
      {2, terms(10, kNow, kNow + 2 * kDay), ""},
      {1, terms(10, kNow, kNow + 2 * kDay), kListDiffers}};
  for (const auto& [version, t, expected] : cases) {
    TrustSettings s = settings();
    s.serialFloor = 9;
    s.timeFloor = kNow + kDay;
    s.version = version;
    TrustList raised;
    ASSERT_TRUE(loadTrustList(s, &raised, nullptr));
    const std::string file = sign(envelopeB(), 0, t);
    VerifiedSignature verified;
    ReplayState next;
    std::string error;
    const SignatureInput input{envelopeB(), file, &afterSerial5(), SignaturePolicy::kRequired,
                               std::nullopt};
    EXPECT_EQ(verifySignature(input, raised, &verified, &next, &error), expected.empty());
    EXPECT_EQ(error, expected);
  }
}

// ---- what firmware may trust, what the signer refuses, and the record

TEST(TrustListLoad, RefusesWhatFirmwareMustNotTrust) {
  Bytes offCurve = rawPublicOf(scalars()[0]);
  offCurve.back() ^= 0x01;
  const std::pair<std::function<void(TrustSettings*)>, std::string_view> cases[] = {
      {[](TrustSettings*) {}, ""},
      {[](TrustSettings* s) { s->signerKeys.resize(1); }, ""},
      {[](TrustSettings* s) { s->signerKeys.push_back(rawPublicOf(scalars()[kOutsider])); }, ""},
      {[](TrustSettings* s) { s->signerKeys.clear(); }, "trust list holds no signer key"},
      {[](TrustSettings* s) { s->signerKeys.resize(5, rawPublicOf(scalars()[kOutsider])); },
       "trust list holds more than 4 signer keys"},
      {[&](TrustSettings* s) { s->signerKeys[2] = offCurve; },
       "trust list signer key is not a P-256 point"},
      {[](TrustSettings* s) { s->signerKeys[0] = rawToPoint(s->signerKeys[0]); },
       "trust list signer key is not a P-256 point"},
      {[](TrustSettings* s) { s->signerKeys[2] = s->signerKeys[0]; },
       "trust list holds a signer key twice"},
      {[&](TrustSettings* s) { s->fleetKey = offCurve; }, "fleet public key is not a P-256 point"},
  };
  for (const auto& [change, expected] : cases) {
    TrustSettings s = settings();
    change(&s);
    TrustList list;
    std::string error;
    EXPECT_EQ(loadTrustList(s, &list, &error), expected.empty()) << expected;
    EXPECT_EQ(error, expected);
    EXPECT_EQ(list.size(), expected.empty() ? s.signerKeys.size() : 0U);
  }
}

TEST(MakeSignatureFile, RefusesWhatNoDeviceWouldAccept) {
  const Bytes& fleetScalar = testing::knownValues().fleetScalar;
  const std::tuple<Bytes, SignatureTerms, std::string_view> cases[] = {
      {Bytes(kScalarSize, 0), terms(1), "signer private key is not a valid P-256 scalar"},
      {hexDecode(kOrderHex), terms(1), "signer private key is not a valid P-256 scalar"},
      {fleetScalar, terms(1), "signer key is the fleet key"},
      {scalars()[0], terms(0), "serial must be at least 1"},
      {scalars()[0], terms(1, 5, 5), "expiry must be later than the issue time"},
  };
  for (const auto& [scalar, t, expected] : cases) {
    std::string file = "untouched";
    std::string error;
    EXPECT_FALSE(makeSignatureFile(scalar, fleetKey(), envelopeA(), t, &file, &error));
    EXPECT_EQ(error, expected);
    EXPECT_EQ(file, "untouched");
  }
}

// `record` with octet `at` set to `value` and the checksum made right again.
Bytes resealed(Bytes record, std::size_t at, std::uint8_t value) {
  record[at] = value;
  record.resize(record.size() - kDigestSize);
  Digest checksum{};
  EXPECT_TRUE(sha256(record, &checksum));
  record.insert(record.end(), checksum.begin(), checksum.end());
  return record;
}

TEST(ReplayRecord, RoundTripsAndRefusesEveryOtherRecord) {
  ReplayState state = afterSerial5();
  state.keyId = trust().signerId(2);
  state.timeFloor = kMax;
  const Bytes record = encodeReplayState(state);
  ASSERT_EQ(record.size(), kReplayRecordSize);
  EXPECT_EQ(hexEncode(Bytes(record.begin(), record.begin() + 32)),
            "5a5652530003000000000000000000010000000000000005ffffffffffffffff");
  EXPECT_EQ(Bytes(record.begin() + 32, record.begin() + 64),
            Bytes(state.keyId.begin(), state.keyId.end()));
  EXPECT_EQ(Bytes(record.begin() + 64, record.begin() + 96),
            Bytes(trust().digest().begin(), trust().digest().end()));
  EXPECT_EQ(Bytes(record.begin() + 96, record.begin() + 128),
            Bytes(state.setKeyId.begin(), state.setKeyId.end()));
  EXPECT_EQ(hexEncode(Bytes(record.begin() + 128, record.begin() + 144)),
            "00000000000000050100000000000000");
  ReplayState decoded;
  ASSERT_TRUE(decodeReplayState(record, &decoded));
  EXPECT_EQ(decoded, state);
  // A first-version record reads back to the same octets.
  const Bytes legacy = versionOneRecord(2, 5, kMax);
  ASSERT_TRUE(decodeReplayState(legacy, &decoded));
  EXPECT_EQ(decoded.legacyKeyIndex, std::optional<std::uint16_t>(2));
  EXPECT_EQ(encodeReplayState(decoded), legacy);
  // Another record version for the length, the zero octets not zero, even under a matching
  // checksum, or any damage is refused.
  Bytes flipped = record;
  flipped.back() ^= 0x80;
  // A set beyond what a record holds: 17 networks, a flag that is not 0 or 1, padding, an
  // SSID of 33 octets, an unused slot that is not zero.
  for (const Bytes& bad :
       {Bytes{}, Bytes(record.begin(), record.end() - 1), resealed(record, 5, 1),
        resealed(record, 5, 2), resealed(record, 7, 1), resealed(legacy, 5, 2), flipped,
        Bytes(kReplayRecordSize, 0xff), resealed(record, 136, 17), resealed(record, 137, 2),
        resealed(record, 143, 1), resealed(record, 144 + 48, 33), resealed(record, 144 + 88, 1)}) {
    EXPECT_FALSE(decodeReplayState(bad, &decoded)) << hexEncode(bad);
  }
}

TEST(ReplayStore, CommitsAtomicallyAndFailsClosed) {
  const Folder folder;
  ASSERT_TRUE(commitReplayState(folder.file(), afterSerial5(), nullptr));
  struct stat info {};
  ASSERT_EQ(stat(folder.file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);
  ReplayState loaded;
  ASSERT_TRUE(loadReplayState(folder.file(), trust(), &loaded));
  EXPECT_EQ(loaded, afterSerial5());
  // An empty file is a damaged record, not a new device; a folder cannot be read.
  std::ofstream(folder.file(), std::ios::trunc).close();
  EXPECT_FALSE(loadReplayState(folder.file(), trust(), &loaded));
  EXPECT_FALSE(loadReplayState(folder.path.string(), trust(), &loaded));
  // A target that cannot be replaced leaves no temporary file behind.
  fs::create_directories(folder.path / "taken" / "inside");
  std::string error;
  EXPECT_FALSE(commitReplayState((folder.path / "taken").string(), loaded, &error));
  EXPECT_EQ(error, "cannot replace the replay state file");
  EXPECT_EQ(folder.entries(), 2U);
  // What a run killed between naming its record and renaming it left is gone at the next
  // commit; another file's leftovers are not this state's to remove.
  const fs::path state = folder.path / "device.state";
  std::ofstream(folder.path / ".device.state.tmp-0123456789ab").put('x');
  std::ofstream(folder.path / ".other.tmp-0123456789ab").put('x');
  ASSERT_TRUE(commitReplayState(state.string(), loaded, nullptr));
  EXPECT_FALSE(fs::exists(folder.path / ".device.state.tmp-0123456789ab"));
  EXPECT_TRUE(fs::exists(folder.path / ".other.tmp-0123456789ab"));
}

TEST(OpenSignedEnvelope, RefusesAFleetKeyThatIsNotTheTrustLists) {
  const std::string file = sign(envelopeA(), 0);
  const ReplayState fresh = freshReplayState(trust());
  Network network{"untouched", SecretText("untouched")};
  VerifiedSignature verified{false, 7, {}};
  ReplayState next = afterSerial5();
  std::string error;
  const SignatureInput input{envelopeA(), file, &fresh, SignaturePolicy::kRequired, std::nullopt};
  EXPECT_FALSE(openSignedEnvelope(input, trust(), scalars()[kOtherFleet], &network, &verified,
                                  &next, &error));
  EXPECT_EQ(error, "fleet private key does not belong to the trust list's fleet key");
  EXPECT_EQ(network.ssid, "untouched");
  EXPECT_EQ(verified.keyIndex, 7U);
  EXPECT_EQ(next, afterSerial5());
  ASSERT_TRUE(openSignedEnvelope(input, trust(), testing::knownValues().fleetScalar, &network,
                                 &verified, &next, &error));
  EXPECT_EQ(network.ssid, "Tournament");
  EXPECT_EQ(next.highestSerial, 1U);
}

}  // namespace
}  // namespace zezi
