// Reads Wycheproof vector files in place. The folder is taken from the environment
// variable ZEZI_VIDAD_VECTORS_DIR, else from the build's default beside the checkout;
// a missing file yields nothing, and the caller reports its cases as skipped.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "crypto/types.h"
#include "encoding/hex.h"

namespace zezi::testing {

inline std::filesystem::path vectorsDir() {
  if (const char* fromEnvironment = std::getenv("ZEZI_VIDAD_VECTORS_DIR")) {
    return fromEnvironment;
  }
  return ZEZI_VIDAD_DEFAULT_VECTORS_DIR;
}

// The parsed file `<vectors>/wycheproof/<name>`, or nothing when it is absent.
inline std::optional<nlohmann::json> loadWycheproof(const std::string& name) {
  std::ifstream file(vectorsDir() / "wycheproof" / name);
  if (!file) {
    return std::nullopt;
  }
  return nlohmann::json::parse(file);
}

// A hex field of a test case as octets.
inline Bytes hexField(const nlohmann::json& testCase, const char* field) {
  return hexDecode(testCase.at(field).get<std::string>());
}

// Counts of a suite run, printed at the end so that a run shows what it covered.
struct SuiteCounts {
  int passed = 0;
  int refused = 0;
  int setApart = 0;
};

}  // namespace zezi::testing
