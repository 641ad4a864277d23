// Per-operation time of a key held in a software TPM next to the same key in memory:
// opening (the key agreement in the TPM), signing, and loading the key reference. Not a
// test. Run tools/bench-tpm.sh, which starts a software TPM, imports the keys and runs
// this with ZEZI_VIDAD_BENCH_TPM_DIR set; without it every case is skipped.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "base/wiping_memory.h"
#include "crypto/key_reference.h"
#include "crypto/signer.h"
#include "opener/fleet_opener_steps.h"
#include "opener/open_envelope.h"
#include "sealer/builder.h"
#include "sealer/key_files.h"

namespace zezi {
namespace {

constexpr std::string_view kSsid = "Office";
constexpr std::string_view kPsk =
    "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e";

// A file of the folder that tools/bench-tpm.sh prepared, or empty.
std::string prepared(const char* name) {
  const char* dir = std::getenv("ZEZI_VIDAD_BENCH_TPM_DIR");
  if (dir == nullptr) {
    return {};
  }
  std::ifstream file(std::string(dir) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The fleet key both ways, and an envelope sealed to it.
struct Fleet {
  Bytes scalar;
  std::shared_ptr<const KeyReference> held;
  std::string envelope;
};

bool loadFleet(Fleet* fleet) {
  std::unique_ptr<KeyReference> held;
  if (KeyReference::loadWrapped(prepared("fleet.tss"), kDefaultKeyProvider, &held) !=
      KeyReferenceFailure::kNone) {
    return false;
  }
  fleet->held = std::move(held);
  return privateScalarFromPem(prepared("fleet.key"), &fleet->scalar, nullptr) &&
         buildEnvelope(kSsid, kPsk, fleet->held->rawPublicKey(), &fleet->envelope, nullptr);
}

void BM_OpenInMemory(benchmark::State& state) {
  Fleet fleet;
  if (!loadFleet(&fleet)) {
    state.SkipWithError("no software TPM prepared: run tools/bench-tpm.sh");
    return;
  }
  const auto opener = FleetOpener::create(fleet.scalar);
  for (auto _ : state) {
    Network network;
    benchmark::DoNotOptimize(openEnvelope(fleet.envelope, *opener, &network, nullptr));
  }
}
BENCHMARK(BM_OpenInMemory)->Unit(benchmark::kMicrosecond);

void BM_OpenInTpm(benchmark::State& state) {
  Fleet fleet;
  if (!loadFleet(&fleet)) {
    state.SkipWithError("no software TPM prepared: run tools/bench-tpm.sh");
    return;
  }
  const auto opener = FleetOpenerSteps::fromReference(fleet.held);
  for (auto _ : state) {
    Network network;
    if (!openEnvelope(fleet.envelope, *opener, &network, nullptr)) {
      state.SkipWithError("the TPM did not open the envelope");
      return;
    }
  }
}
BENCHMARK(BM_OpenInTpm)->Unit(benchmark::kMicrosecond);

void BM_LoadWrappedKey(benchmark::State& state) {
  const std::string pem = prepared("fleet.tss");
  for (auto _ : state) {
    std::unique_ptr<KeyReference> held;
    if (KeyReference::loadWrapped(pem, kDefaultKeyProvider, &held) != KeyReferenceFailure::kNone) {
      state.SkipWithError("no software TPM prepared: run tools/bench-tpm.sh");
      return;
    }
  }
}
BENCHMARK(BM_LoadWrappedKey)->Unit(benchmark::kMicrosecond);

// Signing the 140-odd octets of a signed statement.
const Bytes kMessage(146, 0x5a);

void BM_SignInMemory(benchmark::State& state) {
  Fleet fleet;
  if (!loadFleet(&fleet)) {
    state.SkipWithError("no software TPM prepared: run tools/bench-tpm.sh");
    return;
  }
  const auto signer = Signer::create(fleet.scalar);
  for (auto _ : state) {
    benchmark::DoNotOptimize(signer->sign(kMessage));
  }
}
BENCHMARK(BM_SignInMemory)->Unit(benchmark::kMicrosecond);

void BM_SignInTpm(benchmark::State& state) {
  std::unique_ptr<KeyReference> held;
  const KeyReferenceFailure failure =
      KeyReference::loadWrapped(prepared("signer.tss"), kDefaultKeyProvider, &held);
  const auto signer =
      failure == KeyReferenceFailure::kNone ? Signer::fromReference(std::move(held)) : nullptr;
  if (!signer) {
    state.SkipWithError("no software TPM prepared: run tools/bench-tpm.sh");
    return;
  }
  for (auto _ : state) {
    if (signer->sign(kMessage).empty()) {
      state.SkipWithError("the TPM did not sign");
      return;
    }
  }
}
BENCHMARK(BM_SignInTpm)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zezi

// As the tool does: OpenSSL's memory goes through the wiping layer.
int main(int argc, char** argv) {
  static_cast<void>(zezi::installWipingOpenSslMemory());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
