// The device's trust: --trust (signer public keys) or --trust-list (the trust list file),
// as open, verify, apply and status take them.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "crypto/types.h"
#include "opener/trust_list.h"

namespace zezi {

// --trust and --trust-list, which exclude each other: the signer keys or the device's
// trust list file.
void addTrustOptions(CLI::App* command, std::vector<std::string>* trust, std::string* listPath);

// The trust list of the signer public keys named by `keys` (PEM files or raw hex), in order.
[[nodiscard]] bool loadTrustKeys(const std::vector<std::string>& keys, const Bytes& fleetKey,
                                 TrustList* trustList, std::string* error);

// The device's trust list: the file at `listPath` (docs/format.md 9.9) when it is not
// empty, else the signer public keys named by `keys`.
[[nodiscard]] bool loadDeviceTrust(const std::vector<std::string>& keys,
                                   const std::string& listPath, const Bytes& fleetKey,
                                   TrustList* trustList, std::string* error);

// --policy's value: required or transition.
[[nodiscard]] bool checkPolicy(const std::string& policy, std::string* error);

}  // namespace zezi
