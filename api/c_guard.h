// What every function of the C interface shares: no exception reaches C, and caller
// buffers become Bytes. Private to api/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "api/device.h"
#include "base/bytes.h"

namespace zezi {

// Runs `body`, turning any exception into a status so that none reaches C.
template <typename Body>
zezi_vidad_status guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ZEZI_VIDAD_E_NO_MEMORY;
  } catch (...) {
    return ZEZI_VIDAD_E_INTERNAL;
  }
}

// A caller's buffer of `size` octets as Bytes.
inline Bytes octets(const std::uint8_t* data, std::size_t size) {
  return {data, data + size};
}

}  // namespace zezi
