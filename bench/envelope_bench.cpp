// Speed and allocation counts of the sealing path. Run: build/bench/envelope_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "envelope/builder.h"
#include "envelope/ecdh.h"
#include "envelope/kdf.h"
#include "envelope/p256_keys.h"
#include "envelope/seal.h"
#include "opener/open_envelope.h"
#include "opener/open_payload.h"
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

void BM_SelfTest(benchmark::State& state) {
  measure(state, [] { benchmark::DoNotOptimize(runSelfTest(nullptr)); });
}
BENCHMARK(BM_SelfTest);

}  // namespace
}  // namespace zezi

BENCHMARK_MAIN();
