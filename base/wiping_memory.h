// OpenSSL memory functions that overwrite every block before it is freed. Some OpenSSL
// routines release copies of private scalars with a plain free (the P-256 multiplication
// keeps the scalar in a scratch buffer), which no caller can reach; the tool installs
// these at start-up so that nothing it handles lingers in freed memory.
#pragma once

#include <malloc.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zezi {

// Where the wiping layer gets and returns its memory: malloc and free in the tool.
using RawAllocate = void* (*)(std::size_t size);
using RawRelease = void (*)(void* block);

inline void* systemAllocate(std::size_t size) {
  return std::malloc(size);
}
inline void systemRelease(void* block) {
  std::free(block);
}

// The layer's blocks are the allocator's own, with no header of ours: a module that hands
// memory from OPENSSL_malloc to free(), or from malloc to OPENSSL_free (the tpm2 provider
// does both), releases it correctly. The size to wipe is what malloc reserved.
namespace wiping {

inline std::size_t sizeOf(void* block) {
  return malloc_usable_size(block);
}

}  // namespace wiping

// The layer's three functions, with OpenSSL's signatures, over `allocate` and `release`.
template <RawAllocate allocate, RawRelease release>
void* wipingMalloc(std::size_t size, const char* /*file*/, int /*line*/) {
  // No object is larger than PTRDIFF_MAX: such a request fails here, before any allocator
  // (a sanitizer's aborts on it).
  if (size > static_cast<std::size_t>(PTRDIFF_MAX)) {
    return nullptr;
  }
  return allocate(size);
}

template <RawAllocate allocate, RawRelease release>
void wipingFree(void* block, const char* /*file*/, int /*line*/) {
  if (block == nullptr) {
    return;
  }
  OPENSSL_cleanse(block, wiping::sizeOf(block));
  release(block);
}

// Always moves the block, so that the old copy is wiped rather than left behind by an
// in-place resize of the underlying allocator.
template <RawAllocate allocate, RawRelease release>
void* wipingRealloc(void* block, std::size_t size, const char* file, int line) {
  if (block == nullptr) {
    return wipingMalloc<allocate, release>(size, file, line);
  }
  if (size == 0) {
    wipingFree<allocate, release>(block, file, line);
    return nullptr;
  }
  void* moved = wipingMalloc<allocate, release>(size, file, line);
  if (moved == nullptr) {
    return nullptr;
  }
  std::memcpy(moved, block, std::min(size, wiping::sizeOf(block)));
  wipingFree<allocate, release>(block, file, line);
  return moved;
}

// Makes OpenSSL allocate through the wiping layer. Must come before any other OpenSSL
// call; false when OpenSSL has already allocated and refuses.
[[nodiscard]] inline bool installWipingOpenSslMemory() {
  return CRYPTO_set_mem_functions(wipingMalloc<systemAllocate, systemRelease>,
                                  wipingRealloc<systemAllocate, systemRelease>,
                                  wipingFree<systemAllocate, systemRelease>) == 1;
}

}  // namespace zezi
