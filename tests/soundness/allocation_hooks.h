// Test hooks under every allocation the library can make: OpenSSL's (through
// CRYPTO_set_mem_functions) and C++ operator new/delete (replaced globally in
// allocation_hooks.cpp). They can fail the k-th allocation, and they can search every
// block being released for registered secrets.
//
// The hooks keep their own state in fixed storage and never allocate, so their
// bookkeeping is never itself counted, failed or scanned. They assume one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zezi::testing {

// Installs the OpenSSL memory functions. Must run before any other OpenSSL call; false
// when OpenSSL has already allocated and so refuses new functions.
[[nodiscard]] bool installOpensslAllocationHooks();

// ---- Allocation-failure injection -------------------------------------------------

enum class FailureMode {
  kOnce,        // only the armed allocation fails; later ones succeed again
  kFromThenOn,  // the armed allocation and every later one fail
};

// Starts counting allocations from zero; the `failAt`-th one (1-based, 0 for none) fails:
// the OpenSSL hook returns null and operator new throws std::bad_alloc (the nothrow forms
// return null).
void armAllocationFailure(std::size_t failAt, FailureMode mode = FailureMode::kOnce);
void disarmAllocationFailure();
// Allocations counted since the last arming (the failed one included).
[[nodiscard]] std::size_t allocationsSinceArmed();
// Whether the armed failure has happened.
[[nodiscard]] bool allocationFailureFired();
// Whether the armed failure hit an OpenSSL allocation rather than operator new.
[[nodiscard]] bool allocationFailureHitOpenssl();

// Disarms when leaving scope, so an escaping exception never leaves the hooks armed.
class ArmedAllocationFailure {
 public:
  explicit ArmedAllocationFailure(std::size_t failAt, FailureMode mode = FailureMode::kOnce) {
    armAllocationFailure(failAt, mode);
  }
  ~ArmedAllocationFailure() { disarmAllocationFailure(); }
  ArmedAllocationFailure(const ArmedAllocationFailure&) = delete;
  ArmedAllocationFailure& operator=(const ArmedAllocationFailure&) = delete;
};

// ---- Secret scanning ---------------------------------------------------------------

enum class BlockSource { kOpenssl, kOperatorNew };

[[nodiscard]] const char* blockSourceName(BlockSource source);

// Fragments this long, starting every kSecretFragmentStep octets of a secret, are
// searched for, so a block holding part of a secret is found too.
inline constexpr std::size_t kSecretFragmentLength = 16;
inline constexpr std::size_t kSecretFragmentStep = 8;
inline constexpr std::size_t kMaxSecretSize = 256;

// Adds a secret to search for (copied; at least kSecretFragmentLength and at most
// kMaxSecretSize octets, else the call aborts). `name` must have static lifetime.
void registerSecret(const char* name, std::span<const std::uint8_t> secret);
void clearSecrets();

// One released block that held a secret.
struct SecretFinding {
  const char* secretName = nullptr;
  BlockSource source = BlockSource::kOpenssl;
  std::size_t blockSize = 0;
  std::size_t offsetInBlock = 0;      // where the fragment was found
  std::size_t offsetInSecret = 0;     // which fragment of the secret
  const char* allocatedAt = nullptr;  // OpenSSL's file of the allocation, when it passes one
  int allocatedLine = 0;
  const char* releasedAt = nullptr;  // OpenSSL's file of the release, when it passes one
  int releasedLine = 0;
  static constexpr int kMaxFrames = 24;
  void* frames[kMaxFrames] = {};  // the release's call stack (at-release scanning only)
  int frameCount = 0;
};

// How released blocks are searched while a scan runs.
enum class ScanMode {
  // Each block is searched as it is released, with the secrets registered by then.
  kAtRelease,
  // Released blocks are held back, untouched, and searched by stopSecretScan with the
  // secrets registered by then: for secrets only known once the operation has returned.
  kQuarantine,
};

// Starts searching released blocks, forgetting earlier findings and counts.
void startSecretScan(ScanMode mode);
// Ends the search (searching and releasing any held-back blocks first).
void stopSecretScan();

[[nodiscard]] std::span<const SecretFinding> secretFindings();
// Findings beyond the stored ones are only counted.
[[nodiscard]] std::size_t secretFindingCount();
// Blocks searched since the scan started, per source.
[[nodiscard]] std::size_t scannedBlockCount(BlockSource source);
// Blocks that could not be held back because the quarantine was full (then searched at
// release instead).
[[nodiscard]] std::size_t quarantineOverflowCount();

// Writes a finding, with its call stack, to standard error.
void printSecretFinding(const SecretFinding& finding);

}  // namespace zezi::testing
