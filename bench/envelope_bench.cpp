// Speed and allocation counts of the sealing, opening and signing paths. Run:
// build/bench/envelope_bench, or tools/bench-compare.sh for the figures side by side.
#include <benchmark/benchmark.h>

#include <openssl/ec.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "crypto/p256_points.h"
#include "crypto/signature.h"
#include "crypto/signer.h"
#include "crypto/statement.h"
#include "opener/fleet_opener.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/verify_signature.h"
#include "sealer/builder.h"
#include "sealer/fixed_inputs.h"
#include "sealer/fleet_sealer.h"
#include "sealer/signature_file.h"
#include "sealer/signing_key.h"
#include "selftest/checks.h"
#include "support/known_values.h"

namespace {

// C++ allocations made by the measured code, reported per iteration.
std::atomic<long> cppAllocations{0};

}  // namespace

void* operator new(std::size_t size) {
  cppAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) {
    return block;
  }
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t /*size*/) noexcept {
  std::free(block);
}

namespace zezi {
namespace {

using Fixture = testing::KnownValues;

const Fixture& fixture() {
  return testing::knownValues();
}

// Runs `body` for the benchmark's iterations and reports C++ allocations per call.
template <typename Body>
void measure(benchmark::State& state, Body body) {
  const long before = cppAllocations.load();
  for (auto _ : state) {
    body();
  }
  state.counters["cpp_allocs"] = benchmark::Counter(
      static_cast<double>(cppAllocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_BuildEnvelopeDrawn(benchmark::State& state) {
  const Fixture& f = fixture();
  measure(state, [&] {
    std::string envelope;
    benchmark::DoNotOptimize(
        buildEnvelope(Fixture::kSsid, Fixture::kPsk, f.fleetRawPublicKey, &envelope, nullptr));
  });
}
BENCHMARK(BM_BuildEnvelopeDrawn);

void BM_BuildEnvelopeSupplied(benchmark::State& state) {
  const Fixture& f = fixture();
  measure(state, [&] {
    std::string envelope;
    benchmark::DoNotOptimize(buildEnvelope(Fixture::kSsid, Fixture::kPsk, f.fleetRawPublicKey,
                                           &envelope, nullptr, f.salt, f.nonce, f.ephemeralScalar));
  });
}
BENCHMARK(BM_BuildEnvelopeSupplied);

void BM_OpenEnvelope(benchmark::State& state) {
  const Fixture& f = fixture();
  std::string envelope;
  if (!buildEnvelope(Fixture::kSsid, Fixture::kPsk, f.fleetRawPublicKey, &envelope, nullptr)) {
    state.SkipWithError("could not build an envelope");
    return;
  }
  measure(state, [&] {
    Network network;
    benchmark::DoNotOptimize(openEnvelope(envelope, f.fleetScalar, &network, nullptr));
  });
}
BENCHMARK(BM_OpenEnvelope);

// The fleet sealer, created once as a batch does.
void BM_FleetSealerDrawn(benchmark::State& state) {
  const auto sealer = FleetSealer::create(fixture().fleetRawPublicKey, nullptr);
  if (!sealer) {
    state.SkipWithError("could not create the sealer");
    return;
  }
  measure(state, [&] {
    std::string envelope;
    benchmark::DoNotOptimize(sealer->seal(Fixture::kSsid, Fixture::kPsk, &envelope, nullptr));
  });
}
BENCHMARK(BM_FleetSealerDrawn);

void BM_FleetSealerSupplied(benchmark::State& state) {
  const Fixture& f = fixture();
  const auto sealer = FleetSealer::create(f.fleetRawPublicKey, nullptr);
  if (!sealer) {
    state.SkipWithError("could not create the sealer");
    return;
  }
  measure(state, [&] {
    std::string envelope;
    benchmark::DoNotOptimize(FleetSealerSteps::seal(*sealer, Fixture::kSsid, Fixture::kPsk,
                                                    &envelope, nullptr, f.salt, f.nonce,
                                                    f.ephemeralScalar));
  });
}
BENCHMARK(BM_FleetSealerSupplied);

void BM_FleetOpener(benchmark::State& state) {
  const Fixture& f = fixture();
  const auto opener = FleetOpener::create(f.fleetScalar);
  std::string envelope;
  if (!opener ||
      !buildEnvelope(Fixture::kSsid, Fixture::kPsk, f.fleetRawPublicKey, &envelope, nullptr)) {
    state.SkipWithError("could not create the opener or the envelope");
    return;
  }
  measure(state, [&] {
    Network network;
    benchmark::DoNotOptimize(openEnvelope(envelope, *opener, &network, nullptr));
  });
}
BENCHMARK(BM_FleetOpener);

// ---- Floors: the work an envelope cannot do without, every set-up done beforehand ----

// OpenSSL's objects for the floors, built once.
struct Curve {
  const EC_GROUP* group = p256Group();
  BnCtxPtr context{BN_CTX_new()};
  EcPointPtr fleetPoint;
  BignumPtr ephemeralScalar;
  BignumPtr fleetScalar;
  EcPointPtr product;

  Curve() {
    const Fixture& f = fixture();
    if (group != nullptr && context) {
      fleetPoint = decodePoint(group, f.fleetPoint, context.get());
      ephemeralScalar = scalarFromOctets(f.ephemeralScalar);
      fleetScalar = scalarFromOctets(f.fleetScalar);
      product.reset(EC_POINT_new(group));
    }
  }
  [[nodiscard]] bool valid() const {
    return fleetPoint && ephemeralScalar && fleetScalar && product;
  }
};

// Whether a floor also reads its products, as every real use must: the ephemeral point
// encoded and the shared point's X, each an inversion in the field.
enum class Reading { kBare, kAffine };

// Sealing: the fixed-base and the variable-base EC_POINT_mul, HKDF and AES-256-GCM over
// the envelope's payload, and nothing else: no drawing, no checks, no text.
template <Reading reading>
void BM_SealFloor(benchmark::State& state) {
  const Fixture& f = fixture();
  const Curve curve;
  const Bytes info = buildKdfInfo(kEnvelopeDomain, f.ephemeralPoint, f.fleetPoint);
  const Bytes aad = textToBytes(kEnvelopeDomain);
  const BignumPtr x(BN_new());
  if (!curve.valid() || !x) {
    state.SkipWithError("could not set up the curve");
    return;
  }
  const EC_GROUP* group = curve.group;
  BN_CTX* context = curve.context.get();
  EC_POINT* product = curve.product.get();
  std::uint8_t encoded[kPointSize];
  measure(state, [&] {
    benchmark::DoNotOptimize(
        EC_POINT_mul(group, product, curve.ephemeralScalar.get(), nullptr, nullptr, context));
    if constexpr (reading == Reading::kAffine) {
      benchmark::DoNotOptimize(EC_POINT_point2oct(group, product, POINT_CONVERSION_UNCOMPRESSED,
                                                  encoded, sizeof encoded, context));
    }
    benchmark::DoNotOptimize(EC_POINT_mul(group, product, nullptr, curve.fleetPoint.get(),
                                          curve.ephemeralScalar.get(), context));
    if constexpr (reading == Reading::kAffine) {
      benchmark::DoNotOptimize(
          EC_POINT_get_affine_coordinates(group, product, x.get(), nullptr, context));
    }
    const Bytes key = hkdfSha256(f.sharedSecret, f.salt, info, kEnvelopeKeySize);
    benchmark::DoNotOptimize(sealPayload(key, f.nonce, aad, f.payload));
  });
}
BENCHMARK(BM_SealFloor<Reading::kBare>)->Name("BM_SealFloor");
BENCHMARK(BM_SealFloor<Reading::kAffine>)->Name("BM_SealFloorAffine");

// Opening: one check of the ephemeral point (its decoding), one variable-base
// EC_POINT_mul, HKDF and AES-256-GCM.
template <Reading reading>
void BM_OpenFloor(benchmark::State& state) {
  const Fixture& f = fixture();
  const Curve curve;
  const Bytes ephemeralPoint = f.ephemeralPoint;
  const Bytes info = buildKdfInfo(kEnvelopeDomain, ephemeralPoint, f.fleetPoint);
  const Bytes aad = textToBytes(kEnvelopeDomain);
  const Bytes sealed = sealPayload(f.envelopeKey, f.nonce, aad, f.payload);
  const BignumPtr x(BN_new());
  if (!curve.valid() || !x) {
    state.SkipWithError("could not set up the curve");
    return;
  }
  const EC_GROUP* group = curve.group;
  BN_CTX* context = curve.context.get();
  measure(state, [&] {
    const EcPointPtr point = decodePoint(group, ephemeralPoint, context);
    benchmark::DoNotOptimize(EC_POINT_mul(group, curve.product.get(), nullptr, point.get(),
                                          curve.fleetScalar.get(), context));
    if constexpr (reading == Reading::kAffine) {
      benchmark::DoNotOptimize(
          EC_POINT_get_affine_coordinates(group, curve.product.get(), x.get(), nullptr, context));
    }
    const Bytes key = hkdfSha256(f.sharedSecret, f.salt, info, kEnvelopeKeySize);
    Bytes plaintext;
    benchmark::DoNotOptimize(openPayload(key, f.nonce, aad, sealed, &plaintext));
  });
}
BENCHMARK(BM_OpenFloor<Reading::kBare>)->Name("BM_OpenFloor");
BENCHMARK(BM_OpenFloor<Reading::kAffine>)->Name("BM_OpenFloorAffine");

void BM_GenerateEphemeralKey(benchmark::State& state) {
  measure(state, [] {
    Bytes scalar;
    Bytes raw;
    benchmark::DoNotOptimize(generateEphemeralKey(&scalar, &raw));
  });
}
BENCHMARK(BM_GenerateEphemeralKey);

void BM_EcdhSharedSecret(benchmark::State& state) {
  const Fixture& f = fixture();
  measure(state, [&] {
    benchmark::DoNotOptimize(ecdhSharedSecret(f.ephemeralScalar, f.fleetRawPublicKey));
  });
}
BENCHMARK(BM_EcdhSharedSecret);

void BM_DeriveEnvelopeKey(benchmark::State& state) {
  const Fixture& f = fixture();
  measure(state, [&] {
    benchmark::DoNotOptimize(
        deriveEnvelopeKey(kEnvelopeDomain, f.sharedSecret, f.salt, f.ephemeralPoint, f.fleetPoint));
  });
}
BENCHMARK(BM_DeriveEnvelopeKey);

void BM_SealPayload(benchmark::State& state) {
  const Fixture& f = fixture();
  const Bytes aad = textToBytes(kEnvelopeDomain);
  const Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x61);
  measure(state,
          [&] { benchmark::DoNotOptimize(sealPayload(f.envelopeKey, f.nonce, aad, plaintext)); });
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SealPayload)->Arg(164)->Arg(4096)->Arg(1 << 20);

void BM_OpenPayload(benchmark::State& state) {
  const Fixture& f = fixture();
  const Bytes aad = textToBytes(kEnvelopeDomain);
  const Bytes sealed = sealPayload(f.envelopeKey, f.nonce, aad,
                                   Bytes(static_cast<std::size_t>(state.range(0)), 0x61));
  measure(state, [&] {
    Bytes plaintext;
    benchmark::DoNotOptimize(openPayload(f.envelopeKey, f.nonce, aad, sealed, &plaintext));
  });
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpenPayload)->Arg(164)->Arg(4096)->Arg(1 << 20);

// A signer, its trust list, and one signed envelope.
struct SignedFixture {
  Bytes signerScalar =
      hexDecode("bba93954db7d454e1c61496264a968118cd1abcec0176808ab24afd057ae654e");
  Bytes signerRaw = encodedPublicKey(loadPrivateKey(signerScalar).get());
  SignatureTerms terms{1, 1'700'000'000, 1'900'000'000};
  std::string envelope = fixture().envelope;
  std::string signatureFile;
  TrustList trustList;
  ReplayState fresh;

  SignedFixture() {
    const Fixture& f = fixture();
    TrustSettings settings;
    settings.signerKeys = {signerRaw};
    settings.fleetKey = f.fleetRawPublicKey;
    if (!makeSignatureFile(signerScalar, f.fleetRawPublicKey, envelope, terms, &signatureFile,
                           nullptr) ||
        !loadTrustList(settings, &trustList, nullptr)) {
      signatureFile.clear();
    }
    fresh = freshReplayState(trustList);
  }

  [[nodiscard]] SignatureInput input() const {
    SignatureInput in;
    in.envelope = envelope;
    in.signatureFile = signatureFile;
    in.state = &fresh;
    return in;
  }
};

const SignedFixture& signedFixture() {
  static const SignedFixture instance;
  return instance;
}

// The ECDSA primitive alone, over a 146-octet message M.
void BM_SignMessage(benchmark::State& state) {
  const SignedFixture& s = signedFixture();
  const Bytes message(kSignatureDomain.size() + 1 + kStatementSize, 0x5a);
  measure(state, [&] { benchmark::DoNotOptimize(signMessage(s.signerScalar, message)); });
}
BENCHMARK(BM_SignMessage);

// The same with the key loaded once and held, as a signing tool or a trust list holds it:
// the figure to set beside `openssl speed ecdsap256`.
void BM_SignerSign(benchmark::State& state) {
  const auto signer = Signer::create(signedFixture().signerScalar);
  if (!signer) {
    state.SkipWithError("could not load the signer key");
    return;
  }
  const Bytes message(kSignatureDomain.size() + 1 + kStatementSize, 0x5a);
  measure(state, [&] { benchmark::DoNotOptimize(signer->sign(message)); });
}
BENCHMARK(BM_SignerSign);

void BM_VerifierVerify(benchmark::State& state) {
  const SignedFixture& s = signedFixture();
  const auto verifier = Verifier::create(s.signerRaw);
  const Bytes message(kSignatureDomain.size() + 1 + kStatementSize, 0x5a);
  const Bytes signature = signMessage(s.signerScalar, message);
  if (!verifier) {
    state.SkipWithError("could not load the public key");
    return;
  }
  measure(state, [&] { benchmark::DoNotOptimize(verifier->verify(message, signature)); });
}
BENCHMARK(BM_VerifierVerify);

void BM_VerifyMessageSignature(benchmark::State& state) {
  const SignedFixture& s = signedFixture();
  const Bytes message(kSignatureDomain.size() + 1 + kStatementSize, 0x5a);
  const Bytes signature = signMessage(s.signerScalar, message);
  measure(state, [&] {
    benchmark::DoNotOptimize(verifyMessageSignature(s.signerRaw, message, signature));
  });
}
BENCHMARK(BM_VerifyMessageSignature);

// The signer's whole call: hashing, signing, checking its own signature, the file's text.
void BM_MakeSignatureFile(benchmark::State& state) {
  const SignedFixture& s = signedFixture();
  const Fixture& f = fixture();
  measure(state, [&] {
    std::string file;
    benchmark::DoNotOptimize(makeSignatureFile(s.signerScalar, f.fleetRawPublicKey, s.envelope,
                                               s.terms, &file, nullptr));
  });
}
BENCHMARK(BM_MakeSignatureFile);

// The same with the signer's key held, as a tool signing many envelopes does.
void BM_MakeSignatureFileHeld(benchmark::State& state) {
  const SignedFixture& s = signedFixture();
  const auto signer = Signer::create(s.signerScalar);
  if (!signer) {
    state.SkipWithError("could not load the signer key");
    return;
  }
  measure(state, [&] {
    std::string file;
    benchmark::DoNotOptimize(makeSignatureFile(*signer, fixture().fleetRawPublicKey, s.envelope,
                                               s.terms, &file, nullptr));
  });
}
BENCHMARK(BM_MakeSignatureFileHeld);

// The device's whole check of a signature file, before the envelope is opened.
void BM_VerifySignature(benchmark::State& state) {
  const SignedFixture& s = signedFixture();
  if (s.signatureFile.empty()) {
    state.SkipWithError("could not sign an envelope");
    return;
  }
  const SignatureInput input = s.input();
  measure(state, [&] {
    VerifiedSignature verified;
    ReplayState next;
    benchmark::DoNotOptimize(verifySignature(input, s.trustList, &verified, &next, nullptr));
  });
}
BENCHMARK(BM_VerifySignature);

void BM_OpenSignedEnvelope(benchmark::State& state) {
  const SignedFixture& s = signedFixture();
  const SignatureInput input = s.input();
  measure(state, [&] {
    Network network;
    VerifiedSignature verified;
    ReplayState next;
    benchmark::DoNotOptimize(openSignedEnvelope(input, s.trustList, fixture().fleetScalar, &network,
                                                &verified, &next, nullptr));
  });
}
BENCHMARK(BM_OpenSignedEnvelope);

void BM_SelfTest(benchmark::State& state) {
  measure(state, [] { benchmark::DoNotOptimize(runSelfTest(nullptr)); });
}
BENCHMARK(BM_SelfTest);

}  // namespace
}  // namespace zezi

BENCHMARK_MAIN();
