#include "crypto/signature.h"
#include "crypto/signer.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "support/case_names.h"
#include "support/wycheproof.h"

namespace zezi {
namespace {

using testing::PrintTo;

constexpr std::string_view kOrderHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
constexpr std::string_view kHalfOrderHex =
    "7fffffff800000007fffffffffffffffde737d56d38bcf4279dce5617e3192a8";

Bytes message(std::string_view text) {
  return textToBytes(text);
}

Bytes rawPublicOf(const Bytes& scalar) {
  const Bytes point = derivePublicPoint(scalar);
  return point.empty() ? Bytes{} : Bytes(point.begin() + 1, point.end());
}

// r || (n - s), computed with OpenSSL's integers rather than the library's own code.
Bytes withNegatedS(const Bytes& signature) {
  const BignumPtr order(BN_new());
  BIGNUM* parsed = order.get();
  const BignumPtr s(
      BN_bin2bn(signature.data() + kSignatureIntegerSize, kSignatureIntegerSize, nullptr));
  const BignumPtr negated(BN_new());
  if (BN_hex2bn(&parsed, std::string(kOrderHex).c_str()) == 0 || !s || !negated ||
      BN_sub(negated.get(), order.get(), s.get()) != 1) {
    return {};
  }
  Bytes out(signature.begin(), signature.begin() + kSignatureIntegerSize);
  out.resize(kSignatureSize);
  if (BN_bn2binpad(negated.get(), out.data() + kSignatureIntegerSize, kSignatureIntegerSize) !=
      kSignatureIntegerSize) {
    return {};
  }
  return out;
}

// The raw r || s of a DER signature, or nothing unless it is strict DER of two positive
// integers that fit in 32 octets.
std::optional<Bytes> rawFromDer(const Bytes& der) {
  const unsigned char* cursor = der.data();
  const EcdsaSignaturePtr parts(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
  if (!parts || cursor != der.data() + der.size()) {
    return std::nullopt;
  }
  // Strict DER: the one encoding of (r, s), so BER forms and padding are refused.
  const int size = i2d_ECDSA_SIG(parts.get(), nullptr);
  Bytes again(static_cast<std::size_t>(std::max(size, 0)));
  unsigned char* out = again.data();
  if (size <= 0 || i2d_ECDSA_SIG(parts.get(), &out) != size || again != der) {
    return std::nullopt;
  }
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(parts.get(), &r, &s);
  Bytes raw(kSignatureSize);
  if (BN_is_negative(r) != 0 || BN_is_negative(s) != 0 ||
      BN_bn2binpad(r, raw.data(), kSignatureIntegerSize) != kSignatureIntegerSize ||
      BN_bn2binpad(s, raw.data() + kSignatureIntegerSize, kSignatureIntegerSize) !=
          kSignatureIntegerSize) {
    return std::nullopt;
  }
  return raw;
}

// ---- signing

TEST(SignMessage, AlwaysWritesALowSSignatureThatVerifies) {
  // With a random nonce about half of the raw signatures have a high s before the signer
  // folds it, so 64 signatures exercise the folding.
  const Bytes scalar =
      hexDecode("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");
  const Bytes raw = rawPublicOf(scalar);
  for (int i = 0; i < 64; ++i) {
    const Bytes text = message("statement " + std::to_string(i));
    const Bytes signature = signMessage(scalar, text);
    ASSERT_EQ(signature.size(), kSignatureSize);
    EXPECT_LE(hexEncode(Bytes(signature.begin() + kSignatureIntegerSize, signature.end())),
              kHalfOrderHex);
    EXPECT_EQ(verifyMessageSignature(raw, text, signature), SignatureStatus::kValid)
        << hexEncode(signature);
    // The same signature with the other s is the high form, never accepted.
    EXPECT_EQ(verifyMessageSignature(raw, text, withNegatedS(signature)),
              SignatureStatus::kNotCanonical);
    EXPECT_EQ(verifyMessageSignature(raw, message("another statement"), signature),
              SignatureStatus::kDoesNotVerify);
  }
}

TEST(Signer, HoldsItsKeyForManyLowSSignaturesThatItsVerifierAndTheRawKeyAccept) {
  const Bytes scalar =
      hexDecode("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");
  const auto signer = Signer::create(scalar);
  ASSERT_NE(signer, nullptr);
  EXPECT_EQ(signer->rawPublicKey(), rawPublicOf(scalar));
  const auto verifier = Verifier::create(signer->rawPublicKey());
  ASSERT_NE(verifier, nullptr);
  for (int i = 0; i < 32; ++i) {
    const Bytes text = message("held " + std::to_string(i));
    const Bytes signature = signer->sign(text);
    EXPECT_TRUE(isCanonicalSignature(signature)) << hexEncode(signature);
    EXPECT_EQ(signer->verifier().verify(text, signature), SignatureStatus::kValid);
    EXPECT_EQ(verifier->verify(text, signature), SignatureStatus::kValid);
    EXPECT_EQ(verifyMessageSignature(signer->rawPublicKey(), text, signature),
              SignatureStatus::kValid);
    EXPECT_EQ(verifier->verify(text, withNegatedS(signature)), SignatureStatus::kNotCanonical);
    EXPECT_EQ(verifier->verify(message("other"), signature), SignatureStatus::kDoesNotVerify);
  }
}

TEST(Signer, RefusesWhatIsNoP256Key) {
  for (const Bytes& scalar : {Bytes(kScalarSize, 0), hexDecode(kOrderHex), Bytes(31, 0x11)}) {
    EXPECT_EQ(Signer::create(scalar), nullptr) << hexEncode(scalar);
  }
  EXPECT_EQ(Signer::fromKey(nullptr), nullptr);
  EXPECT_EQ(Verifier::fromKey(nullptr), nullptr);
  // A key of another curve is refused whether it comes as a signer or a verifier.
  const PkeyPtr other(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "secp384r1"));
  ASSERT_TRUE(other);
  ASSERT_EQ(EVP_PKEY_up_ref(other.get()), 1);
  EXPECT_EQ(Signer::fromKey(PkeyPtr(other.get())), nullptr);
  ASSERT_EQ(EVP_PKEY_up_ref(other.get()), 1);
  EXPECT_EQ(Verifier::fromKey(PkeyPtr(other.get())), nullptr);
}

TEST(SignMessage, RefusesScalarsOutsideOneToOrderMinusOneAndKeysOffTheCurve) {
  const Bytes text = message("m");
  for (const Bytes& scalar : {Bytes(kScalarSize, 0), hexDecode(kOrderHex), Bytes(31, 0x11)}) {
    EXPECT_TRUE(signMessage(scalar, text).empty()) << hexEncode(scalar);
  }
  const Bytes scalar =
      hexDecode("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");
  Bytes offCurve = rawPublicOf(scalar);
  offCurve.back() ^= 0x01;
  EXPECT_EQ(verifyMessageSignature(offCurve, text, signMessage(scalar, text)),
            SignatureStatus::kCannotCheck);
}

// ---- RFC 6979 A.2.5, P-256 with SHA-256

struct Rfc6979Case {
  const char* name;  // the message signed
  const char* r;
  const char* s;
  SignatureStatus expected;
};

class Rfc6979 : public ::testing::TestWithParam<Rfc6979Case> {};

TEST_P(Rfc6979, LowSVerifiesAndHighSIsRefused) {
  const Bytes publicKey = hexDecode(
      "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
      "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299");
  const Bytes signature = hexDecode(std::string(GetParam().r) + GetParam().s);
  const Bytes text = message(GetParam().name);
  EXPECT_EQ(verifyMessageSignature(publicKey, text, signature), GetParam().expected);
  // The refusal is the low-s rule's alone: the other s is then the one that verifies.
  const Bytes other = withNegatedS(signature);
  EXPECT_EQ(verifyMessageSignature(publicKey, text, other),
            GetParam().expected == SignatureStatus::kValid ? SignatureStatus::kNotCanonical
                                                           : SignatureStatus::kValid);
}

INSTANTIATE_TEST_SUITE_P(
    A25, Rfc6979,
    ::testing::Values(
        Rfc6979Case{"sample", "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716",
                    "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8",
                    SignatureStatus::kNotCanonical},
        Rfc6979Case{"test", "f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367",
                    "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083",
                    SignatureStatus::kValid}),
    testing::caseName);

// ---- Wycheproof

struct WycheproofFile {
  const char* name;
  bool der;
};

class EcdsaWycheproof : public ::testing::TestWithParam<WycheproofFile> {};

// Every valid case verifies, except a high s that the low-s rule refuses (counted apart,
// and then verifying with the other s); every invalid case is refused.
TEST_P(EcdsaWycheproof, ValidVerifyAndInvalidAreRefused) {
  const auto file = testing::loadWycheproof(GetParam().name);
  if (!file) {
    GTEST_SKIP() << GetParam().name << " not found under " << testing::vectorsDir();
  }
  int total = 0;
  int verified = 0;
  int refusedHighS = 0;
  int refusedInvalid = 0;
  int refusedAtDecoding = 0;
  for (const auto& group : file->at("testGroups")) {
    ASSERT_EQ(group.at("publicKey").at("curve"), "secp256r1");
    ASSERT_EQ(group.at("sha"), "SHA-256");
    const Bytes point = hexDecode(group.at("publicKey").at("uncompressed").get<std::string>());
    ASSERT_EQ(point.size(), kPointSize);
    const Bytes publicKey(point.begin() + 1, point.end());
    for (const auto& test : group.at("tests")) {
      ++total;
      const int tcId = test.at("tcId").get<int>();
      const bool valid = test.at("result") == "valid";
      ASSERT_TRUE(valid || test.at("result") == "invalid") << "tcId " << tcId;
      const Bytes text = testing::hexField(test, "msg");
      const Bytes encoded = testing::hexField(test, "sig");
      const std::optional<Bytes> raw = GetParam().der ? rawFromDer(encoded) : encoded;
      if (!raw) {
        EXPECT_FALSE(valid) << "tcId " << tcId << ": a valid DER signature did not decode";
        ++refusedAtDecoding;
        ++refusedInvalid;
        continue;
      }
      const SignatureStatus status = verifyMessageSignature(publicKey, text, *raw);
      if (!valid) {
        EXPECT_NE(status, SignatureStatus::kValid) << "tcId " << tcId;
        refusedInvalid += status != SignatureStatus::kValid ? 1 : 0;
      } else if (status == SignatureStatus::kNotCanonical) {
        EXPECT_EQ(verifyMessageSignature(publicKey, text, withNegatedS(*raw)),
                  SignatureStatus::kValid)
            << "tcId " << tcId << ": refused for more than a high s";
        ++refusedHighS;
      } else {
        EXPECT_EQ(status, SignatureStatus::kValid) << "tcId " << tcId;
        verified += status == SignatureStatus::kValid ? 1 : 0;
      }
    }
  }
  std::printf(
      "[ WYCHEPROOF ] %s: %d valid verified, %d valid refused as high s, %d invalid refused "
      "(%d of them at DER decoding), %d total\n",
      GetParam().name, verified, refusedHighS, refusedInvalid, refusedAtDecoding, total);
  RecordProperty("valid_verified", verified);
  RecordProperty("valid_refused_high_s", refusedHighS);
  RecordProperty("invalid_refused", refusedInvalid);
  EXPECT_EQ(total, file->at("numberOfTests").get<int>());
  EXPECT_EQ(verified + refusedHighS + refusedInvalid, total);
  EXPECT_GT(verified, 0);
  EXPECT_GT(refusedHighS, 0);
  EXPECT_GT(refusedInvalid, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, EcdsaWycheproof,
    ::testing::Values(WycheproofFile{"ecdsa_secp256r1_sha256_p1363_test.json", false},
                      WycheproofFile{"ecdsa_secp256r1_sha256_test.json", true}),
    [](const auto& info) { return std::string(info.param.der ? "Der" : "P1363"); });

}  // namespace
}  // namespace zezi
