// The device's side of signed envelopes: the trust list, the checks in order, the replay
// state and its store, and opening. The pitfalls that signing exists to stop are one table.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <ostream>
#include <set>
#include <string>
#include <tuple>

#include "encoding/base64.h"
#include "encoding/hex.h"
#include "envelope/builder.h"
#include "envelope/p256_keys.h"
#include "envelope/signature.h"
#include "envelope/signature_file.h"
#include "envelope/statement.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "opener/signature_failure.h"
#include "opener/verify_signature.h"
#include "selftest/known_answers.h"
#include "support/case_names.h"

namespace zezi {
namespace {

using testing::PrintTo;

namespace fs = std::filesystem;

constexpr std::uint64_t kNow = 1'800'000'000;  // 2027-01-15
constexpr std::uint64_t kDay = 86'400;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::string_view kOrderHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

Bytes rawPublicOf(const Bytes& scalar) {
  const Bytes point = derivePublicPoint(scalar);
  return Bytes(point.begin() + 1, point.end());
}

struct Keys {
  Bytes fleetScalar = hexDecode(kTestFleetScalarHex);
  std::array<Bytes, 3> signerScalars = {
      hexDecode("bba93954db7d454e1c61496264a968118cd1abcec0176808ab24afd057ae654e"),
      hexDecode("5d74d345726961678c7b885066809eda6da72d63726d46e453b5d4baffa3d9ed"),
      hexDecode("b261dcc775bc19d9058523358b5d5a0c06ac2f9cb93066101111dc35fd7a82d2")};
  Bytes outsiderScalar =
      hexDecode("73c8eb553cd08d944805a60c2b25d0c7c13dbb6b6747f379128383bf5cb182ea");
  Bytes otherFleetScalar =
      hexDecode("1afee79663e54ece2cd47bf7fe9aea2ff3b64dd2aa211acb23f33caeb5bf03a6");
  Bytes fleet = rawPublicOf(fleetScalar);
  Bytes otherFleet = rawPublicOf(otherFleetScalar);
};

const Keys& keys() {
  static const Keys instance;
  return instance;
}

Bytes signerKey(std::size_t index) {
  return rawPublicOf(keys().signerScalars.at(index));
}

TrustSettings settings(std::uint64_t version = 1) {
  TrustSettings s;
  s.signerKeys = {signerKey(0), signerKey(1), signerKey(2)};
  s.fleetKey = keys().fleet;
  s.version = version;
  s.timeFloor = kNow - 30 * kDay;
  return s;
}

TrustList trust(std::uint64_t version = 1) {
  TrustList list;
  std::string error;
  EXPECT_TRUE(loadTrustList(settings(version), &list, &error)) << error;
  return list;
}

std::string envelopeFor(std::string_view ssid) {
  std::string envelope;
  EXPECT_TRUE(buildEnvelope(ssid, kTestPsk, keys().fleet, &envelope, nullptr,
                            hexDecode(kTestSaltHex), hexDecode(kTestNonceHex),
                            hexDecode(kTestEphemeralScalarHex)));
  return envelope;
}

const std::string& envelopeA() {
  static const std::string text = envelopeFor("Tournament");
  return text;
}

const std::string& envelopeB() {
  static const std::string text = envelopeFor("Guests");
  return text;
}

struct Terms {
  std::uint64_t serial = 1;
  std::uint64_t issuedAt = kNow - kDay;
  std::uint64_t expiresAt = kNow + 30 * kDay;
};

Terms serial(std::uint64_t number) {
  Terms terms;
  terms.serial = number;
  return terms;
}

Terms valid(std::uint64_t issuedAt, std::uint64_t expiresAt, std::uint64_t number = 1) {
  return Terms{number, issuedAt, expiresAt};
}

std::string sign(std::string_view envelope, const Bytes& signerScalar, Terms terms = Terms{},
                 const Bytes& fleet = keys().fleet) {
  std::string file;
  std::string error;
  EXPECT_TRUE(makeSignatureFile(signerScalar, fleet, envelope,
                                {terms.serial, terms.issuedAt, terms.expiresAt}, &file, &error))
      << error;
  return file;
}

std::string sign(std::string_view envelope, std::size_t signer, Terms terms = Terms{}) {
  return sign(envelope, keys().signerScalars.at(signer), terms);
}

// The statement signer 0 would make for envelope A, for altering before signing.
Statement statementA(Terms terms = Terms{}) {
  Statement statement;
  EXPECT_TRUE(keyIdOf(signerKey(0), &statement.signerKeyId));
  EXPECT_TRUE(keyIdOf(keys().fleet, &statement.fleetId));
  EXPECT_TRUE(sha256(envelopeA(), &statement.envelopeSha256));
  statement.serial = terms.serial;
  statement.issuedAt = terms.issuedAt;
  statement.expiresAt = terms.expiresAt;
  return statement;
}

Bytes signatureOver(const Bytes& octets, const Bytes& scalar = keys().signerScalars[0]) {
  return signMessage(scalar, signedMessage(octets));
}

std::string fileOf(const std::string& statementText, const std::string& signatureText,
                   std::string_view format = kSignatureDomain) {
  return "{\"format\": \"" + std::string(format) + "\", \"statement\": \"" + statementText +
         "\", \"signature\": \"" + signatureText + "\"}";
}

std::string fileOf(const Bytes& statement, const Bytes& signature) {
  return fileOf(base64Encode(statement), base64Encode(signature));
}

// Signer 0's file for envelope A with the signature replaced.
std::string withSignature(const Bytes& signature) {
  return fileOf(encodeStatement(statementA()), signature);
}

Bytes integer(std::string_view hex) {
  return hexDecode(hex);
}

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

struct Verdict {
  bool accepted = false;
  std::string error;
  VerifiedSignature verified;
  ReplayState state;
};

ReplayState sentinelState() {
  ReplayState state;
  state.highestSerial = 0x5e5e;
  return state;
}

// One call of verifySignature, built up from a signature file.
struct Check {
  std::string_view envelope = envelopeA();
  std::optional<std::string> signatureFile;
  std::optional<ReplayState> state;  // empty: a fresh device
  bool stateUnreadable = false;
  SignaturePolicy policy = SignaturePolicy::kRequired;
  std::optional<std::uint64_t> now;
  TrustList trustList = trust();

  [[nodiscard]] Check on(std::string_view text) const {
    Check c = *this;
    c.envelope = text;
    return c;
  }
  [[nodiscard]] Check from(const ReplayState& stored) const {
    Check c = *this;
    c.state = stored;
    return c;
  }
  [[nodiscard]] Check at(std::uint64_t time) const {
    Check c = *this;
    c.now = time;
    return c;
  }
  [[nodiscard]] Check under(SignaturePolicy chosen) const {
    Check c = *this;
    c.policy = chosen;
    return c;
  }
};

Check withFile(std::optional<std::string> file) {
  Check c;
  c.signatureFile = std::move(file);
  return c;
}

// verifySignature on `check`; a refusal must leave both outputs as they were.
Verdict verify(const Check& check) {
  const ReplayState state = check.state.value_or(freshReplayState(check.trustList));
  SignatureInput input;
  input.envelope = check.envelope;
  if (check.signatureFile) {
    input.signatureFile = *check.signatureFile;
  }
  input.state = check.stateUnreadable ? nullptr : &state;
  input.policy = check.policy;
  input.now = check.now;
  Verdict run;
  run.state = sentinelState();
  run.verified.keyIndex = 9;
  run.accepted = verifySignature(input, check.trustList, &run.verified, &run.state, &run.error);
  if (!run.accepted) {
    EXPECT_EQ(run.state, sentinelState()) << "a refusal wrote the state";
    EXPECT_EQ(run.verified.keyIndex, 9U) << "a refusal wrote the statement";
  }
  return run;
}

// The state after accepting `file` for `envelope` on top of `from`.
ReplayState after(std::string_view envelope, const std::string& file,
                  std::optional<ReplayState> from = std::nullopt) {
  Check check = withFile(file).on(envelope);
  check.state = from;
  const Verdict run = verify(check);
  EXPECT_TRUE(run.accepted) << run.error;
  return run.state;
}

// A fresh folder for the store's files.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "zezi_state_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    }
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, ignored);
    fs::remove_all(path_, ignored);
  }
  [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }
  [[nodiscard]] std::size_t entries() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
  }

 private:
  fs::path path_;
};

// Lowers this process's file size limit, with writes beyond it failing instead of killing it.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t octets) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit lowered = previous_;
    lowered.rlim_cur = octets;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

void writeFile(const std::string& path, const Bytes& octets) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(octets.data()),
             static_cast<std::streamsize>(octets.size()));
}

// The message of a store load that fails, as the device reports it.
std::string verifyWithStored(const std::string& path, const std::string& file) {
  ReplayState state;
  const bool readable = loadReplayState(path, trust(), &state);
  Check check = withFile(file).from(state);
  check.stateUnreadable = !readable;
  return verify(check).error;
}

// ---- the pitfalls, each once

struct Pitfall {
  const char* name;
  std::function<std::string()> run;  // the message, or "" when accepted
  std::string_view expected;
};

std::string messageOf(const Check& check) {
  return verify(check).error;
}

const ReplayState& stateAfterSerial5() {
  static const ReplayState state = after(envelopeA(), sign(envelopeA(), 0, serial(5)));
  return state;
}

std::string reindented(std::string text) {
  std::erase(text, '\n');
  std::erase(text, ' ');
  return text;
}

// Signer 0's valid signature over envelope A's statement, split into r and s.
const Bytes& validSignature() {
  static const Bytes raw = signatureOver(encodeStatement(statementA()));
  return raw;
}

Bytes validR() {
  return Bytes(validSignature().begin(), validSignature().begin() + kSignatureIntegerSize);
}

Bytes validS() {
  return Bytes(validSignature().begin() + kSignatureIntegerSize, validSignature().end());
}

// n - s, computed here with plain octet arithmetic.
Bytes negated(const Bytes& s) {
  Bytes out = integer(kOrderHex);
  int borrow = 0;
  for (std::size_t i = out.size(); i-- > 0;) {
    const int difference = out[i] - s[i] - borrow;
    borrow = difference < 0 ? 1 : 0;
    out[i] = static_cast<std::uint8_t>(difference + 256 * borrow);
  }
  return out;
}

std::string signedStatement(const Statement& statement) {
  const Bytes octets = encodeStatement(statement);
  return fileOf(octets, signatureOver(octets));
}

const Pitfall kPitfalls[] = {
    {"SignatureOverAnotherEnvelope",
     [] { return messageOf(withFile(sign(envelopeA(), 0)).on(envelopeB())); },
     "signature is for another envelope"},
    {"SameEnvelopeReindented",
     [] {
       const std::string compact = reindented(envelopeA());
       return messageOf(withFile(sign(envelopeA(), 0)).on(compact));
     },
     "signature is for another envelope"},
    {"SerialRollback",
     [] {
       return messageOf(
           withFile(sign(envelopeB(), 0, serial(4))).on(envelopeB()).from(stateAfterSerial5()));
     },
     "signature serial is older than the last accepted"},
    {"SameSerialAnotherEnvelope",
     [] {
       return messageOf(
           withFile(sign(envelopeB(), 0, serial(5))).on(envelopeB()).from(stateAfterSerial5()));
     },
     "signature serial was already used for another envelope"},
    {"SameEnvelopeReadAgain",
     [] {
       const Verdict run =
           verify(withFile(sign(envelopeA(), 0, serial(5))).from(stateAfterSerial5()));
       EXPECT_EQ(run.state, stateAfterSerial5()) << "reading it again changed the state";
       EXPECT_EQ(run.verified.statement.serial, 5U);
       return run.error;
     },
     ""},
    {"Expired",
     [] {
       return messageOf(withFile(sign(envelopeA(), 0, valid(kNow - 9 * kDay, kNow))).at(kNow));
     },
     "signature has expired"},
    {"NotYetValid",
     [] {
       return messageOf(withFile(sign(envelopeA(), 0, valid(kNow + 301, kNow + kDay))).at(kNow));
     },
     "signature is not yet valid"},
    {"IssuedWithinTheClockSkew",
     [] {
       return messageOf(withFile(sign(envelopeA(), 0, valid(kNow + 300, kNow + kDay))).at(kNow));
     },
     ""},
    {"ExpiresAtNotAfterIssuedAt",
     [] { return messageOf(withFile(signedStatement(statementA(valid(kNow, kNow))))); },
     "signature statement is malformed"},
    {"SerialZero", [] { return messageOf(withFile(signedStatement(statementA(serial(0))))); },
     "signature statement is malformed"},
    {"TimeFloorWithoutAClock",
     [] {
       // The last accepted signature was issued at kNow; one expiring by then is refused.
       const ReplayState state = after(envelopeA(), sign(envelopeA(), 0, valid(kNow, kNow + kDay)));
       return messageOf(withFile(sign(envelopeB(), 0, valid(kNow - 2 * kDay, kNow, 2)))
                            .on(envelopeB())
                            .from(state));
     },
     "signature has expired"},
    {"WrongFleet",
     [] {
       return messageOf(
           withFile(sign(envelopeA(), keys().signerScalars[0], Terms{}, keys().otherFleet)));
     },
     "signature is for another fleet"},
    {"UnknownSigner", [] { return messageOf(withFile(sign(envelopeA(), keys().outsiderScalar))); },
     "signature is by an unknown signer"},
    {"SupersededKey",
     [] {
       const ReplayState state = after(envelopeA(), sign(envelopeA(), 1));
       return messageOf(withFile(sign(envelopeB(), 0, serial(9))).on(envelopeB()).from(state));
     },
     "signer key is superseded"},
    {"SignerKeyEqualToFleetKey",
     [] {
       std::string file;
       EXPECT_FALSE(makeSignatureFile(keys().fleetScalar, keys().fleet, envelopeA(), {1, 0, 1},
                                      &file, nullptr));
       TrustSettings s = settings();
       s.signerKeys[1] = keys().fleet;
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
       return messageOf(withFile(fileOf(octets, signatureOver(octets))));
     },
     "signature statement is not 120 octets"},
    {"Statement121Octets",
     [] {
       Bytes octets = encodeStatement(statementA());
       octets.push_back(0);
       return messageOf(withFile(fileOf(octets, signatureOver(octets))));
     },
     "signature statement is not 120 octets"},
    {"Signature63Octets",
     [] {
       Bytes signature = concat(validR(), validS());
       signature.pop_back();
       return messageOf(withFile(withSignature(signature)));
     },
     "signature is not 64 octets"},
    {"Signature65Octets",
     [] {
       return messageOf(withFile(withSignature(concat(Bytes{0}, concat(validR(), validS())))));
     },
     "signature is not 64 octets"},
    {"SignatureInDer",
     [] {
       // SEQUENCE { INTEGER r, INTEGER s } of the same valid signature.
       const auto integerDer = [](Bytes value) {
         if ((value[0] & 0x80U) != 0) {
           value.insert(value.begin(), 0);
         }
         return concat({0x02, static_cast<std::uint8_t>(value.size())}, value);
       };
       const Bytes body = concat(integerDer(validR()), integerDer(validS()));
       return messageOf(
           withFile(withSignature(concat({0x30, static_cast<std::uint8_t>(body.size())}, body))));
     },
     "signature is not 64 octets"},
    {"NonCanonicalBase64",
     [] {
       // 64 octets leave four unused bits before "=="; one of them set.
       std::string text = base64Encode(concat(validR(), validS()));
       const std::string_view alphabet =
           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
       char& last = text[text.size() - 3];
       last = alphabet[alphabet.find(last) ^ 1U];
       return messageOf(withFile(fileOf(base64Encode(encodeStatement(statementA())), text)));
     },
     "signature file member \"signature\" is not canonical Base64"},
    {"HighS",
     [] { return messageOf(withFile(withSignature(concat(validR(), negated(validS()))))); },
     "signature is not in canonical form"},
    {"RZero", [] { return messageOf(withFile(withSignature(concat(Bytes(32, 0), validS())))); },
     "signature is not in canonical form"},
    {"REqualToOrder",
     [] { return messageOf(withFile(withSignature(concat(integer(kOrderHex), validS())))); },
     "signature is not in canonical form"},
    {"SZero", [] { return messageOf(withFile(withSignature(concat(validR(), Bytes(32, 0))))); },
     "signature is not in canonical form"},
    {"SEqualToOrder",
     [] { return messageOf(withFile(withSignature(concat(validR(), integer(kOrderHex))))); },
     "signature is not in canonical form"},
    {"SixtyFourBitEdges",
     [] {
       // now + 300 would wrap; the largest serial and times are ordinary values.
       const Terms edge = valid(kMax - 1, kMax, kMax);
       const Verdict run = verify(withFile(sign(envelopeA(), 0, edge)).at(kMax - 100));
       EXPECT_EQ(run.state.highestSerial, kMax);
       EXPECT_EQ(run.state.timeFloor, kMax - 1);
       EXPECT_EQ(messageOf(withFile(sign(envelopeB(), 0, edge)).on(envelopeB()).from(run.state)),
                 "signature serial was already used for another envelope");
       EXPECT_EQ(messageOf(withFile(sign(envelopeA(), 0, edge)).at(kMax)), "signature has expired");
       return run.error;
     },
     ""},
    {"BlankStateIsAFreshDevice",
     [] {
       const TempFolder folder;
       ReplayState state;
       EXPECT_TRUE(loadReplayState(folder.file("state"), trust(), &state));
       EXPECT_EQ(state, freshReplayState(trust()));
       return verifyWithStored(folder.file("state"), sign(envelopeA(), 0));
     },
     ""},
    {"CorruptStateFailsClosed",
     [] {
       const TempFolder folder;
       Bytes record = encodeReplayState(stateAfterSerial5());
       record[20] ^= 0x01;  // a bit of highest_serial, under the checksum
       writeFile(folder.file("state"), record);
       return verifyWithStored(folder.file("state"), sign(envelopeA(), 0, serial(6)));
     },
     "replay state is unreadable"},
    {"StateFailsToCommit",
     [] {
       const TempFolder folder;
       EXPECT_TRUE(commitReplayState(folder.file("state"), stateAfterSerial5(), nullptr));
       std::string error;
       {
         // A full disk, as far as this process can tell: writes past 16 octets fail.
         const FileSizeLimit limit(16);
         EXPECT_FALSE(commitReplayState(folder.file("state"), freshReplayState(trust()), &error));
       }
       ReplayState kept;
       EXPECT_TRUE(loadReplayState(folder.file("state"), trust(), &kept));
       EXPECT_EQ(kept, stateAfterSerial5()) << "a failed commit changed the record";
       EXPECT_EQ(folder.entries(), 1U) << "a failed commit left a temporary file";
       return error;
     },
     "cannot write the replay state file"},
    {"InvalidSignatureFileUnderTransition",
     [] { return messageOf(withFile("{\"format\": ").under(SignaturePolicy::kTransition)); },
     "signature file is not valid JSON"},
};

class SignedEnvelopePitfalls : public ::testing::TestWithParam<Pitfall> {};

TEST_P(SignedEnvelopePitfalls, EndAsTheyMust) {
  EXPECT_EQ(GetParam().run(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Each, SignedEnvelopePitfalls, ::testing::ValuesIn(kPitfalls),
                         testing::caseName);

// ---- the signature file's form, and which check speaks first

struct FormCase {
  const char* name;
  std::string file;
  std::string_view expected;
};

class SignatureFileForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(SignatureFileForm, IsRefusedWithItsMessage) {
  EXPECT_EQ(messageOf(withFile(GetParam().file)), GetParam().expected);
}

std::string statementText() {
  return base64Encode(encodeStatement(statementA()));
}

std::string signatureText() {
  return base64Encode(validSignature());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SignatureFileForm,
    ::testing::Values(FormCase{"TooLarge", std::string(kMaxSignatureFileSize + 1, ' '),
                               "signature file is too large"},
                      FormCase{"Empty", "", "signature file is not valid JSON"},
                      FormCase{"Array", "[]", "signature file is not a JSON object"},
                      FormCase{
                          "FourthMember",
                          fileOf(statementText(), signatureText()).insert(1, "\"kid\": \"1\", "),
                          "signature file has an unknown member"},
                      FormCase{"NoFormat",
                               "{\"statement\": \"" + statementText() + "\", \"signature\": \"" +
                                   signatureText() + "\"}",
                               "signature file member \"format\" is missing"},
                      FormCase{"StatementTwice",
                               fileOf(statementText(), signatureText())
                                   .insert(1, "\"statement\": \"" + statementText() + "\", "),
                               "signature file member \"statement\" appears more than once"},
                      FormCase{"SignatureNumber",
                               "{\"format\": \"tolvane-wifi-drive-sig/v1\", \"statement\": \"" +
                                   statementText() + "\", \"signature\": 64}",
                               "signature file member \"signature\" is not a string"},
                      FormCase{"EnvelopeFormat",
                               fileOf(statementText(), signatureText(), "tolvane-wifi-drive/v1"),
                               "signature file format is not tolvane-wifi-drive-sig/v1"},
                      FormCase{"StatementWithLineBreak",
                               fileOf(statementText().insert(76, "\\n"), signatureText()),
                               "signature file member \"statement\" is not canonical Base64"}),
    testing::caseName);

TEST(SignatureFileForm, AnyJsonLayoutOfTheSameMembersIsAccepted) {
  const std::string made = sign(envelopeA(), 0);
  EXPECT_EQ(made.find("{\n  \"format\": \"tolvane-wifi-drive-sig/v1\",\n  \"statement\": \""), 0U)
      << made;
  EXPECT_LE(made.size(), kMaxSignatureFileSize);
  EXPECT_TRUE(verify(withFile(made)).accepted);
  // Reordered, compact, with an escaped solidus: the same file to a device.
  const Verdict run =
      verify(withFile("{\"signature\":\"" + signatureText() + "\",\"statement\":\"" +
                      statementText() + "\",\"format\":\"tolvane-wifi-drive-sig\\/v1\"}"));
  EXPECT_TRUE(run.accepted) << run.error;
}

TEST(SignatureChecks, TheFirstFailingCheckSpeaks) {
  const std::string byOutsider = sign(envelopeA(), keys().outsiderScalar);
  const std::string garbageForOtherFleet = [] {
    // The statement claims another fleet, but its signature is not valid: the fleet is
    // never read from an unverified statement.
    Statement statement = statementA();
    EXPECT_TRUE(keyIdOf(keys().otherFleet, &statement.fleetId));
    return fileOf(encodeStatement(statement), validSignature());
  }();
  const ReplayState onSigner1 = after(envelopeA(), sign(envelopeA(), 1));
  const std::string expiredForB = sign(envelopeB(), 0, valid(kNow - 9 * kDay, kNow - kDay));
  Check unreadable = withFile(std::nullopt);
  unreadable.stateUnreadable = true;
  EXPECT_EQ(messageOf(unreadable), "replay state is unreadable");
  EXPECT_EQ(messageOf(withFile(std::nullopt)), "signature file is missing");
  EXPECT_EQ(messageOf(withFile(byOutsider).on(envelopeB())), "signature is by an unknown signer");
  EXPECT_EQ(messageOf(withFile(withSignature(concat(validR(), negated(validS())))).from(onSigner1)),
            "signer key is superseded");
  EXPECT_EQ(messageOf(withFile(garbageForOtherFleet)), "signature does not verify");
  EXPECT_EQ(messageOf(withFile(expiredForB).at(kNow)), "signature is for another envelope");
  EXPECT_EQ(messageOf(withFile(signedStatement(statementA(valid(kNow - 2, kNow - 3)))).at(kNow)),
            "signature statement is malformed");
  EXPECT_EQ(messageOf(withFile(sign(envelopeB(), 0, valid(kNow - 9 * kDay, kNow - kDay, 4)))
                          .on(envelopeB())
                          .from(stateAfterSerial5())
                          .at(kNow)),
            "signature has expired");
}

TEST(SignatureChecks, EachCauseHasItsOwnMessage) {
  std::set<std::string_view> texts;
  for (auto i = static_cast<unsigned>(SignatureFailure::kNone) + 1;
       i <= static_cast<unsigned>(kLastSignatureFailure); ++i) {
    const std::string_view text = signatureFailureText(static_cast<SignatureFailure>(i));
    EXPECT_FALSE(text.empty()) << i;
    EXPECT_TRUE(texts.insert(text).second) << text;
    EXPECT_TRUE(isOpenSignedEnvelopeText(text));
  }
  EXPECT_TRUE(signatureFailureText(SignatureFailure::kNone).empty());
  EXPECT_FALSE(isSignatureFailureText(""));
  // The cause and the message of one refusal agree.
  const ReplayState fresh = freshReplayState(trust());
  const std::string file = sign(envelopeA(), keys().outsiderScalar);
  SignatureInput input;
  input.envelope = envelopeA();
  input.signatureFile = file;
  input.state = &fresh;
  VerifiedSignature verified;
  ReplayState next;
  EXPECT_EQ(verifySignatureFor(input, trust(), &verified, &next), SignatureFailure::kUnknownSigner);
  EXPECT_EQ(signatureFailureText(SignatureFailure::kUnknownSigner), messageOf(withFile(file)));
}

// ---- policy, key rotation and the trust list's version

TEST(SignaturePolicies, TransitionLetsUnsignedInOnlyUntilASignedOneIsAccepted) {
  const Check unsignedTransition = withFile(std::nullopt).under(SignaturePolicy::kTransition);
  const Verdict first = verify(unsignedTransition);
  ASSERT_TRUE(first.accepted) << first.error;
  EXPECT_FALSE(first.verified.isSigned);
  EXPECT_EQ(first.state, freshReplayState(trust())) << "an unsigned envelope wrote state";
  EXPECT_EQ(messageOf(withFile(std::nullopt)), "signature file is missing");

  const ReplayState signedOnce = after(envelopeA(), sign(envelopeA(), 0));
  EXPECT_TRUE(signedOnce.hasAcceptedSignature());
  EXPECT_EQ(messageOf(unsignedTransition.from(signedOnce)), "signature file is missing");
}

TEST(ReplayStates, ANewerSignerKeyRestartsTheSerialsAndRetiresTheOlderKeys) {
  const ReplayState onKey0 = after(envelopeA(), sign(envelopeA(), 0, serial(40)));
  const ReplayState onKey2 = after(envelopeB(), sign(envelopeB(), 2, serial(1)), onKey0);
  EXPECT_EQ(onKey2.minKeyIndex, 2U);
  EXPECT_EQ(onKey2.highestSerial, 1U);
  EXPECT_EQ(messageOf(withFile(sign(envelopeA(), 1, serial(50))).from(onKey2)),
            "signer key is superseded");
  const ReplayState next = after(envelopeA(), sign(envelopeA(), 2, serial(2)), onKey2);
  EXPECT_EQ(next.highestSerial, 2U);
  EXPECT_EQ(next.timeFloor, kNow - kDay);
}

TEST(ReplayStates, TheTrustListVersionDecidesWhetherAStoredStateCounts) {
  const ReplayState onKey1 = after(envelopeA(), sign(envelopeA(), 1, serial(7)));
  // Version 2 starts afresh: key 0 and serial 1 count again.
  Check check = withFile(sign(envelopeB(), 0, serial(1))).on(envelopeB()).from(onKey1);
  check.trustList = trust(2);
  const Verdict run = verify(check);
  ASSERT_TRUE(run.accepted) << run.error;
  EXPECT_EQ(run.state.trustListVersion, 2U);
  // A state written under a newer list, or naming a signer the list lacks, is unusable.
  check.state->trustListVersion = 3;
  EXPECT_EQ(messageOf(check), "replay state is unreadable");
  check.state->trustListVersion = 1;
  check.state->minKeyIndex = 3;
  check.trustList = trust(1);
  EXPECT_EQ(messageOf(check), "replay state is unreadable");
}

TEST(ReplayStates, FirmwareFloorsHoldForAFreshDevice) {
  TrustSettings s = settings();
  s.serialFloor = 10;
  s.timeFloor = kNow;
  TrustList list;
  ASSERT_TRUE(loadTrustList(s, &list, nullptr));
  Check check = withFile(sign(envelopeA(), 0, serial(10)));
  check.trustList = list;
  EXPECT_EQ(messageOf(check), "signature serial was already used for another envelope");
  check.signatureFile = sign(envelopeA(), 0, valid(kNow - 9 * kDay, kNow, 11));
  EXPECT_EQ(messageOf(check), "signature has expired");
  check.signatureFile = sign(envelopeA(), 0, serial(11));
  EXPECT_TRUE(verify(check).accepted);
  // The serial floor is signer 0's: a successor starts from 1.
  check.signatureFile = sign(envelopeA(), 1, serial(1));
  EXPECT_TRUE(verify(check).accepted);
}

// ---- the trust list

struct TrustCase {
  const char* name;
  std::function<void(TrustSettings*)> change;
  std::string_view expected;  // "" when it loads
};

class TrustListLoad : public ::testing::TestWithParam<TrustCase> {};

TEST_P(TrustListLoad, RefusesWhatFirmwareMustNotTrust) {
  TrustSettings s = settings();
  GetParam().change(&s);
  TrustList list;
  std::string error;
  EXPECT_EQ(loadTrustList(s, &list, &error), GetParam().expected.empty());
  EXPECT_EQ(error, GetParam().expected);
  EXPECT_EQ(list.size(), GetParam().expected.empty() ? s.signerKeys.size() : 0U);
}

Bytes offCurve() {
  Bytes key = signerKey(0);
  key.back() ^= 0x01;
  return key;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrustListLoad,
    ::testing::Values(
        TrustCase{"ThreeKeys", [](TrustSettings*) {}, ""},
        TrustCase{"OneKey", [](TrustSettings* s) { s->signerKeys.resize(1); }, ""},
        TrustCase{
            "FourKeys",
            [](TrustSettings* s) { s->signerKeys.push_back(rawPublicOf(keys().outsiderScalar)); },
            ""},
        TrustCase{"NoKey", [](TrustSettings* s) { s->signerKeys.clear(); },
                  "trust list holds no signer key"},
        TrustCase{"FiveKeys",
                  [](TrustSettings* s) {
                    s->signerKeys.push_back(rawPublicOf(keys().outsiderScalar));
                    s->signerKeys.push_back(keys().otherFleet);
                  },
                  "trust list holds more than 4 signer keys"},
        TrustCase{"KeyOffTheCurve", [](TrustSettings* s) { s->signerKeys[2] = offCurve(); },
                  "trust list signer key is not a P-256 point"},
        TrustCase{"KeyAsAPoint",
                  [](TrustSettings* s) { s->signerKeys[0] = rawToPoint(s->signerKeys[0]); },
                  "trust list signer key is not a P-256 point"},
        TrustCase{"KeyTwice", [](TrustSettings* s) { s->signerKeys[2] = s->signerKeys[0]; },
                  "trust list holds a signer key twice"},
        TrustCase{"FleetKeyOffTheCurve", [](TrustSettings* s) { s->fleetKey = offCurve(); },
                  "fleet public key is not a P-256 point"}),
    testing::caseName);

// ---- the replay record and its store

TEST(ReplayRecord, RoundTripsAndRefusesEveryOtherRecord) {
  ReplayState state = stateAfterSerial5();
  state.minKeyIndex = 2;
  state.timeFloor = kMax;
  const Bytes record = encodeReplayState(state);
  ASSERT_EQ(record.size(), kReplayRecordSize);
  EXPECT_EQ(hexEncode(Bytes(record.begin(), record.begin() + 32)),
            "5a5652530001000200000000000000010000000000000005ffffffffffffffff");
  ReplayState decoded;
  ASSERT_TRUE(decodeReplayState(record, &decoded));
  EXPECT_EQ(decoded, state);

  // Another record version, even with a matching checksum, is refused.
  Bytes otherVersion(record.begin(), record.begin() + 64);
  otherVersion[5] = 2;
  Digest checksum{};
  ASSERT_TRUE(sha256(otherVersion, &checksum));
  otherVersion.insert(otherVersion.end(), checksum.begin(), checksum.end());
  Bytes otherMagic = record;
  otherMagic[0] = 'z';
  Bytes flippedChecksum = record;
  flippedChecksum.back() ^= 0x80;
  for (const Bytes& bad :
       {Bytes{}, Bytes(record.begin(), record.end() - 1), concat(record, {0}), otherVersion,
        otherMagic, flippedChecksum, Bytes(kReplayRecordSize, 0xff)}) {
    ReplayState untouched = sentinelState();
    EXPECT_FALSE(decodeReplayState(bad, &untouched)) << hexEncode(bad);
    EXPECT_EQ(untouched, sentinelState());
  }
}

TEST(ReplayStore, CommitsAtomicallyAndReadsBackWhatItWrote) {
  const TempFolder folder;
  const std::string path = folder.file("device.state");
  ASSERT_TRUE(commitReplayState(path, stateAfterSerial5(), nullptr));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);
  ReplayState loaded;
  ASSERT_TRUE(loadReplayState(path, trust(), &loaded));
  EXPECT_EQ(loaded, stateAfterSerial5());
  ASSERT_TRUE(commitReplayState(path, freshReplayState(trust()), nullptr));
  ASSERT_TRUE(loadReplayState(path, trust(), &loaded));
  EXPECT_EQ(loaded, freshReplayState(trust()));
  EXPECT_EQ(folder.entries(), 1U);

  // An empty file is not a blank device but a damaged record; a folder cannot be read.
  writeFile(path, {});
  EXPECT_FALSE(loadReplayState(path, trust(), &loaded));
  EXPECT_FALSE(loadReplayState(folder.file(""), trust(), &loaded));
  // A target that cannot be replaced leaves no temporary file behind.
  fs::create_directory(folder.file("taken"));
  fs::create_directory(folder.file("taken/inside"));
  std::string error;
  EXPECT_FALSE(commitReplayState(folder.file("taken"), loaded, &error));
  EXPECT_EQ(error, "cannot replace the replay state file");
  EXPECT_EQ(folder.entries(), 2U);
}

// ---- opening

struct Opened {
  bool opened = false;
  std::string error;
  Network network{"untouched", SecretText("untouched")};
  ReplayState state = sentinelState();
};

Opened open(const Check& check, const Bytes& fleetScalar = keys().fleetScalar) {
  const ReplayState state = check.state.value_or(freshReplayState(check.trustList));
  SignatureInput input;
  input.envelope = check.envelope;
  if (check.signatureFile) {
    input.signatureFile = *check.signatureFile;
  }
  input.state = &state;
  input.policy = check.policy;
  input.now = check.now;
  Opened out;
  VerifiedSignature verified;
  out.opened = openSignedEnvelope(input, check.trustList, fleetScalar, &out.network, &verified,
                                  &out.state, &out.error);
  if (!out.opened) {
    EXPECT_EQ(out.network.ssid, "untouched");
    EXPECT_EQ(out.state, sentinelState());
  }
  return out;
}

TEST(OpenSignedEnvelope, VerifiesThenOpensThenHandsBackTheState) {
  const Opened opened = open(withFile(sign(envelopeA(), 0, serial(3))));
  ASSERT_TRUE(opened.opened) << opened.error;
  EXPECT_EQ(opened.network.ssid, "Tournament");
  EXPECT_EQ(opened.network.psk, kTestPsk);
  EXPECT_EQ(opened.state.highestSerial, 3U);

  // A signed envelope that does not open gives openEnvelope's message, after the checks.
  std::string broken = envelopeA();
  broken.replace(broken.find("tolvane-wifi-drive/v1"), 21, "tolvane-wifi-drive/v9");
  EXPECT_EQ(open(withFile(sign(broken, 0)).on(broken)).error,
            "envelope format is not tolvane-wifi-drive/v1");
  EXPECT_EQ(open(withFile(sign(envelopeB(), 0)).on(broken)).error,
            "signature is for another envelope");
  EXPECT_EQ(open(withFile(sign(envelopeA(), 0)), keys().otherFleetScalar).error,
            "fleet private key does not belong to the trust list's fleet key");
  EXPECT_EQ(open(withFile(sign(envelopeA(), 0)), Bytes(kScalarSize, 0)).error,
            "fleet private key is not a valid P-256 scalar");
}

// ---- the signer's side

TEST(MakeSignatureFile, RefusesWhatNoDeviceWouldAccept) {
  const Bytes& signer = keys().signerScalars[0];
  for (const auto& [name, scalar, fleet, terms, expected] : std::initializer_list<
           std::tuple<const char*, Bytes, Bytes, SignatureTerms, std::string_view>>{
           {"ScalarZero",
            Bytes(kScalarSize, 0),
            keys().fleet,
            {1, 0, 1},
            "signer private key is not a valid P-256 scalar"},
           {"ScalarOrder",
            integer(kOrderHex),
            keys().fleet,
            {1, 0, 1},
            "signer private key is not a valid P-256 scalar"},
           {"FleetOffCurve",
            signer,
            offCurve(),
            {1, 0, 1},
            "fleet public key is not a P-256 point"},
           {"SignerIsFleet",
            keys().fleetScalar,
            keys().fleet,
            {1, 0, 1},
            "signer key is the fleet key"},
           {"SerialZero", signer, keys().fleet, {0, 0, 1}, "serial must be at least 1"},
           {"ExpiresAtIssuedAt",
            signer,
            keys().fleet,
            {1, 5, 5},
            "expiry must be later than the issue time"},
       }) {
    std::string file = "untouched";
    std::string error;
    EXPECT_FALSE(makeSignatureFile(scalar, fleet, envelopeA(), terms, &file, &error)) << name;
    EXPECT_EQ(error, expected) << name;
    EXPECT_EQ(file, "untouched") << name;
  }
}

}  // namespace
}  // namespace zezi
