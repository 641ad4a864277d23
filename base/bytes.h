// The byte strings every floor passes around: octets and secret text, both cleansed when
// their memory is released, and the allocator that cleanses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/crypto.h>

namespace zezi {

// An allocator that overwrites memory with zeros before giving it back, so that keys,
// shared secrets and payloads never linger in freed memory. It wraps `Upstream`
// (std::allocator by default) and cleanses every block it deallocates. OPENSSL_cleanse is used
// because a plain memset before a free may be optimised away.
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

// An owning, growable octet string. An empty value is the failure result of every
// operation that returns one. Keys, secrets and plaintexts all pass through this type, so
// its memory is cleansed whenever it is released, reallocation included.
using Bytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

// Text that holds a secret (a PSK, a passphrase), cleansed like Bytes when released. Up to
// 15 characters live inside the object itself, where the allocator cannot reach them.
using SecretText = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

// The octets of `text`, in order, without a terminator.
[[nodiscard]] inline Bytes textToBytes(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace zezi
