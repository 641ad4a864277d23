#include "soundness/allocation_hooks.h"

#include <execinfo.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// Every block these hooks hand out carries a header just before the caller's pointer, so
// that a release knows the block's size (unsized deletes and OpenSSL's free do not pass
// it) and its origin. The memory underneath comes from malloc / posix_memalign and goes
// back through free, which AddressSanitizer intercepts, so its leak and use-after-free
// checks still see every block. New blocks are filled with a fixed octet, so a secret
// found in a released block was written there during that block's lifetime.

namespace zezi::testing {
namespace {

struct BlockHeader {
  std::size_t size;
  std::uint32_t offset;  // from the start of the underlying allocation to the caller's pointer
  std::uint32_t magic;
  const char* file;
  int line;
  BlockSource source;
};
static_assert(sizeof(BlockHeader) <= 32);

constexpr std::size_t kHeaderSpace = 32;  // a multiple of the default new alignment
constexpr std::uint32_t kMagic = 0x5a5a'b10c;
constexpr unsigned char kFreshFill = 0xcd;
constexpr std::size_t kMallocAlignment = alignof(std::max_align_t);

// ---- failure injection state ----
bool armed = false;
std::size_t failAt = 0;
FailureMode failureMode = FailureMode::kOnce;
std::size_t counted = 0;
bool fired = false;
bool firedOnOpenssl = false;

// ---- scanning state ----
struct Secret {
  const char* name;
  std::array<std::uint8_t, kMaxSecretSize> octets;
  std::size_t size;
};
constexpr std::size_t kMaxSecrets = 32;
std::array<Secret, kMaxSecrets> secrets{};
std::size_t secretCount = 0;

bool scanning = false;
ScanMode scanMode = ScanMode::kAtRelease;
constexpr std::size_t kMaxStoredFindings = 32;
std::array<SecretFinding, kMaxStoredFindings> findings{};
std::size_t findingCount = 0;
std::array<std::size_t, 2> scannedBlocks{};

struct HeldBlock {
  void* block;
  const char* file;
  int line;
};
constexpr std::size_t kQuarantineCapacity = std::size_t{1} << 16;
std::array<HeldBlock, kQuarantineCapacity> quarantine{};
std::size_t heldCount = 0;
std::size_t overflowCount = 0;

[[noreturn]] void die(const char* message) {
  static_cast<void>(std::fputs(message, stderr));
  static_cast<void>(std::fputc('\n', stderr));
  std::abort();
}

// Counts one allocation and tells whether it is the one to fail.
bool nextAllocationFails(BlockSource source) {
  if (!armed) {
    return false;
  }
  ++counted;
  if (failAt == 0 || counted < failAt || (counted > failAt && failureMode == FailureMode::kOnce)) {
    return false;
  }
  if (counted == failAt) {
    fired = true;
    firedOnOpenssl = source == BlockSource::kOpenssl;
  }
  return true;
}

BlockHeader* headerOf(void* block) {
  return static_cast<BlockHeader*>(
      static_cast<void*>(static_cast<unsigned char*>(block) - sizeof(BlockHeader)));
}

void* allocateBlock(std::size_t size, std::size_t alignment, BlockSource source, const char* file,
                    int line) {
  if (nextAllocationFails(source)) {
    return nullptr;
  }
  const std::size_t offset = std::max(kHeaderSpace, alignment);
  if (size > SIZE_MAX - offset) {
    return nullptr;
  }
  void* base = nullptr;
  if (alignment <= kMallocAlignment) {
    base = std::malloc(offset + size);  // NOLINT(cppcoreguidelines-no-malloc)
  } else if (posix_memalign(&base, alignment, offset + size) != 0) {
    base = nullptr;
  }
  if (base == nullptr) {
    return nullptr;
  }
  void* block = static_cast<unsigned char*>(base) + offset;
  *headerOf(block) =
      BlockHeader{size, static_cast<std::uint32_t>(offset), kMagic, file, line, source};
  // Whatever a block holds when it is released was then written during its own lifetime,
  // never left over from an earlier block at the same address.
  std::memset(block, kFreshFill, size);
  return block;
}

// Searches one block for every registered secret, recording the first fragment found of
// each.
void scanBlock(void* block, const char* releasedAt, int releasedLine, bool withStack) {
  const BlockHeader& header = *headerOf(block);
  ++scannedBlocks.at(static_cast<std::size_t>(header.source));
  const auto* octets = static_cast<const unsigned char*>(block);
  for (std::size_t s = 0; s < secretCount; ++s) {
    const Secret& secret = secrets.at(s);
    for (std::size_t from = 0; from + kSecretFragmentLength <= secret.size;
         from += kSecretFragmentStep) {
      const void* match =
          memmem(octets, header.size, secret.octets.data() + from, kSecretFragmentLength);
      if (match == nullptr) {
        continue;
      }
      if (findingCount < kMaxStoredFindings) {
        SecretFinding& finding = findings.at(findingCount);
        finding = SecretFinding{};
        finding.secretName = secret.name;
        finding.source = header.source;
        finding.blockSize = header.size;
        finding.offsetInBlock =
            static_cast<std::size_t>(static_cast<const unsigned char*>(match) - octets);
        finding.offsetInSecret = from;
        finding.allocatedAt = header.file;
        finding.allocatedLine = header.line;
        finding.releasedAt = releasedAt;
        finding.releasedLine = releasedLine;
        if (withStack) {
          finding.frameCount = backtrace(finding.frames, SecretFinding::kMaxFrames);
        }
      }
      ++findingCount;
      break;
    }
  }
}

void freeUnderlying(void* block) {
  const BlockHeader& header = *headerOf(block);
  std::free(static_cast<unsigned char*>(block) -
            header.offset);  // NOLINT(cppcoreguidelines-no-malloc)
}

void releaseBlock(void* block, const char* file, int line) {
  if (block == nullptr) {
    return;
  }
  if (headerOf(block)->magic != kMagic) {
    die("allocation hooks: released a block they did not allocate");
  }
  if (scanning) {
    if (scanMode == ScanMode::kQuarantine && heldCount < kQuarantineCapacity) {
      quarantine.at(heldCount++) = HeldBlock{block, file, line};
      return;
    }
    if (scanMode == ScanMode::kQuarantine) {
      ++overflowCount;
    }
    scanBlock(block, file, line, /*withStack=*/true);
  }
  freeUnderlying(block);
}

void* newBlock(std::size_t size, std::size_t alignment) {
  void* block = allocateBlock(size, alignment, BlockSource::kOperatorNew, nullptr, 0);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}

void* newBlockNoThrow(std::size_t size, std::size_t alignment) noexcept {
  return allocateBlock(size, alignment, BlockSource::kOperatorNew, nullptr, 0);
}

// OpenSSL's own functions return null for a zero-size request without allocating.
void* opensslMalloc(std::size_t size, const char* file, int line) {
  if (size == 0) {
    return nullptr;
  }
  return allocateBlock(size, kMallocAlignment, BlockSource::kOpenssl, file, line);
}

void opensslFree(void* block, const char* file, int line) {
  releaseBlock(block, file, line);
}

// A move to a new block, so the old one passes through the release hook like any other.
void* opensslRealloc(void* block, std::size_t size, const char* file, int line) {
  if (block == nullptr) {
    return opensslMalloc(size, file, line);
  }
  if (size == 0) {
    opensslFree(block, file, line);
    return nullptr;
  }
  void* moved = allocateBlock(size, kMallocAlignment, BlockSource::kOpenssl, file, line);
  if (moved == nullptr) {
    return nullptr;
  }
  std::memcpy(moved, block, std::min(size, headerOf(block)->size));
  releaseBlock(block, file, line);
  return moved;
}

}  // namespace

bool installOpensslAllocationHooks() {
  return CRYPTO_set_mem_functions(opensslMalloc, opensslRealloc, opensslFree) == 1;
}

void armAllocationFailure(std::size_t failAtCount, FailureMode mode) {
  failAt = failAtCount;
  failureMode = mode;
  counted = 0;
  fired = false;
  firedOnOpenssl = false;
  armed = true;
}

void disarmAllocationFailure() {
  armed = false;
}

std::size_t allocationsSinceArmed() {
  return counted;
}

bool allocationFailureFired() {
  return fired;
}

bool allocationFailureHitOpenssl() {
  return fired && firedOnOpenssl;
}

const char* blockSourceName(BlockSource source) {
  return source == BlockSource::kOpenssl ? "OpenSSL free" : "operator delete";
}

void registerSecret(const char* name, std::span<const std::uint8_t> secret) {
  if (secretCount == kMaxSecrets || secret.size() < kSecretFragmentLength ||
      secret.size() > kMaxSecretSize) {
    die("allocation hooks: secret table full or secret of unsupported size");
  }
  Secret& entry = secrets.at(secretCount++);
  entry.name = name;
  entry.size = secret.size();
  std::copy(secret.begin(), secret.end(), entry.octets.begin());
}

void clearSecrets() {
  for (Secret& secret : secrets) {
    OPENSSL_cleanse(secret.octets.data(), secret.octets.size());
  }
  secretCount = 0;
}

void startSecretScan(ScanMode mode) {
  findingCount = 0;
  scannedBlocks = {};
  heldCount = 0;
  overflowCount = 0;
  scanMode = mode;
  scanning = true;
}

void stopSecretScan() {
  scanning = false;
  for (std::size_t i = 0; i < heldCount; ++i) {
    const HeldBlock& held = quarantine.at(i);
    scanBlock(held.block, held.file, held.line, /*withStack=*/false);
    freeUnderlying(held.block);
  }
  heldCount = 0;
}

std::span<const SecretFinding> secretFindings() {
  return {findings.data(), std::min(findingCount, kMaxStoredFindings)};
}

std::size_t secretFindingCount() {
  return findingCount;
}

std::size_t scannedBlockCount(BlockSource source) {
  return scannedBlocks.at(static_cast<std::size_t>(source));
}

std::size_t quarantineOverflowCount() {
  return overflowCount;
}

void printSecretFinding(const SecretFinding& finding) {
  static_cast<void>(std::fprintf(
      stderr,
      "secret '%s' (fragment at octet %zu) found at offset %zu of a %zu-octet block "
      "released by %s; allocated at %s:%d, released at %s:%d\n",
      finding.secretName, finding.offsetInSecret, finding.offsetInBlock, finding.blockSize,
      blockSourceName(finding.source), finding.allocatedAt != nullptr ? finding.allocatedAt : "?",
      finding.allocatedLine, finding.releasedAt != nullptr ? finding.releasedAt : "?",
      finding.releasedLine));
  if (finding.frameCount > 0) {
    backtrace_symbols_fd(finding.frames, finding.frameCount, STDERR_FILENO);
  }
}

}  // namespace zezi::testing

// ---- global operator new / delete ----------------------------------------------------

namespace {

constexpr std::size_t kDefaultNewAlignment = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

}  // namespace

// The replacements route through the same counter and release hook as OpenSSL's.
void* operator new(std::size_t size) {
  return zezi::testing::newBlock(size, kDefaultNewAlignment);
}
void* operator new[](std::size_t size) {
  return zezi::testing::newBlock(size, kDefaultNewAlignment);
}
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return zezi::testing::newBlockNoThrow(size, kDefaultNewAlignment);
}
void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return zezi::testing::newBlockNoThrow(size, kDefaultNewAlignment);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return zezi::testing::newBlock(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return zezi::testing::newBlock(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment,
                   const std::nothrow_t& /*tag*/) noexcept {
  return zezi::testing::newBlockNoThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t& /*tag*/) noexcept {
  return zezi::testing::newBlockNoThrow(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* block) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete[](void* block) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete(void* block, std::size_t /*size*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete[](void* block, std::size_t /*size*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete(void* block, const std::nothrow_t& /*tag*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete[](void* block, const std::nothrow_t& /*tag*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete(void* block, std::align_val_t /*alignment*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete[](void* block, std::align_val_t /*alignment*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete(void* block, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete[](void* block, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete(void* block, std::align_val_t /*alignment*/,
                     const std::nothrow_t& /*tag*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
void operator delete[](void* block, std::align_val_t /*alignment*/,
                       const std::nothrow_t& /*tag*/) noexcept {
  zezi::testing::releaseBlock(block, nullptr, 0);
}
