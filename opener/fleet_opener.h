// The device side with a key held for many openings (FleetOpener), and the openEnvelope that
// takes it. The library's own steps with its key are in opener/fleet_opener_steps.h.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/export.h"
#include "opener/open_envelope.h"

namespace zezi {

// The fleet scalar is checked and its public point derived once, and each envelope then
// costs one check of its ephemeral point and one variable-base multiplication.
//
// Thread safety: every member is const and keeps its working state to itself, so one
// opener may be used by any number of threads at once.
class FleetOpener {
 public:
  // An opener for the fleet's 32-octet private scalar; null unless it is in [1, n-1].
  [[nodiscard]] ZEZI_VIDAD_EXPORT static std::unique_ptr<FleetOpener> create(
      const Bytes& fleetScalar);

  ZEZI_VIDAD_EXPORT ~FleetOpener();
  FleetOpener(const FleetOpener&) = delete;
  FleetOpener& operator=(const FleetOpener&) = delete;

 private:
  struct Key;
  friend struct FleetOpenerSteps;  // the library's own steps, never installed
  explicit FleetOpener(std::unique_ptr<const Key> key);

  std::unique_ptr<const Key> key_;
};

// Opens `envelope` exactly as openEnvelope with a scalar does, with the same checks in the
// same order and the same messages, but with the opener's key.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool openEnvelope(std::string_view envelope,
                                                  const FleetOpener& opener, Network* networkOut,
                                                  std::string* errorOut);

}  // namespace zezi
