// An allocator that overwrites memory with zeros before giving it back, so that keys,
// shared secrets and payloads never linger in freed memory.
#pragma once

#include <cstddef>
#include <memory>

#include <openssl/crypto.h>

namespace zezi {

// Wraps `Upstream` (std::allocator by default) and cleanses every block it deallocates.
// OPENSSL_cleanse is used because a plain memset before a free may be optimised away.
template <typename T, typename Upstream = std::allocator<T>>
class CleansingAllocator {
 public:
  using value_type = T;

  template <typename U>
  struct rebind {
    using other =
        CleansingAllocator<U, typename std::allocator_traits<Upstream>::template rebind_alloc<U>>;
  };

  CleansingAllocator() noexcept = default;
  template <typename U, typename UpstreamU>
  // Allocators of different element types convert implicitly by design.
  // cppcheck-suppress noExplicitConstructor
  CleansingAllocator(const CleansingAllocator<U, UpstreamU>& /*other*/) noexcept {}

  [[nodiscard]] T* allocate(std::size_t count) { return upstream_.allocate(count); }

  void deallocate(T* block, std::size_t count) noexcept {
    OPENSSL_cleanse(block, count * sizeof(T));
    upstream_.deallocate(block, count);
  }

  template <typename U, typename UpstreamU>
  bool operator==(const CleansingAllocator<U, UpstreamU>& /*other*/) const noexcept {
    return true;
  }

 private:
  Upstream upstream_;
};

}  // namespace zezi
