#include "cli/trust_options.h"

#include "base/failure.h"
#include "cli/command.h"
#include "cli/key_loading.h"
#include "cli/secret_input.h"
#include "opener/trust_list_file.h"

namespace zezi {

bool checkPolicy(const std::string& policy, std::string* error) {
  return policy == "required" || policy == "transition" ||
         failWith(error, "must be required or transition");
}

void addTrustOptions(CLI::App* command, std::vector<std::string>* trust, std::string* listPath) {
  CLI::Option* keys =
      takes(command->add_option("--trust", *trust,
                                "signer public key (.pub), current first (repeatable)"),
            "FILE");
  takes(command->add_option("--trust-list", *listPath, "the device's trust list file"), "FILE")
      ->excludes(keys);
}

bool loadTrustKeys(const std::vector<std::string>& keys, const Bytes& fleetKey,
                   TrustList* trustList, std::string* error) {
  TrustSettings settings;
  settings.fleetKey = fleetKey;
  for (const std::string& key : keys) {
    Bytes raw;
    if (!loadPublicKeyText(key, "trusted key", "--trust", &raw, error)) {
      return false;
    }
    settings.signerKeys.push_back(std::move(raw));
  }
  return loadTrustList(settings, trustList, error);
}

bool loadDeviceTrust(const std::vector<std::string>& keys, const std::string& listPath,
                     const Bytes& fleetKey, TrustList* trustList, std::string* error) {
  if (listPath.empty()) {
    return loadTrustKeys(keys, fleetKey, trustList, error);
  }
  SecretText text;
  TrustSettings settings;
  settings.fleetKey = fleetKey;
  std::string why;
  if (!readInput(listPath, kMaxTrustListFileSize, &text, error)) {
    return false;
  }
  if (!parseTrustListFile(std::string_view(text.data(), text.size()), &settings, &why) ||
      !loadTrustList(settings, trustList, &why)) {
    return failWith(error, "cannot use the trust list file: " + why);
  }
  return true;
}

}  // namespace zezi
