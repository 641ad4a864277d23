#include "cli/key_loading.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "base/failure.h"
#include "cli/file_pair.h"
#include "cli/secret_input.h"
#include "crypto/key_reference.h"
#include "crypto/p256_keys.h"
#include "crypto/private_key_pem.h"
#include "crypto/public_key_text.h"
#include "encoding/hex.h"
#include "opener/fleet_opener_steps.h"
#include "opener/open_failure.h"

namespace zezi {
namespace {

constexpr std::size_t kMaxKeyFileSize = std::size_t{64} * 1024;
constexpr std::size_t kRawKeyHexLength = 2 * kRawPublicKeySize;
// A name holding this many hex digits or Base64 characters in a row is more likely key
// material typed in place of a file name than a name.
constexpr std::size_t kHexRunOfAKey = 32;
constexpr std::size_t kBase64RunOfAKey = 40;
constexpr std::string_view kHexPrefix = "0x";
constexpr std::string_view kPointPrefix = "04";
constexpr std::string_view kPemBegin = "-----BEGIN ";
constexpr std::string_view kPrivateKeyLabel = "PRIVATE KEY-----";
constexpr std::string_view kPublicKeyLabel = "-----BEGIN PUBLIC KEY-----";

bool isHex(char c) {
  return kHexDigitsEitherCase.find(c) != std::string_view::npos;
}

bool isBase64(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '=';
}

std::size_t longestRun(std::string_view text, bool (*belongs)(char)) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (const char c : text) {
    run = belongs(c) ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

bool isAllHex(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isHex);
}

// How a file given with `option` is named in messages.
std::string shownName(const std::string& path, std::string_view option) {
  const bool looksLikeKey = longestRun(path, isHex) >= kHexRunOfAKey ||
                            longestRun(path, isBase64) >= kBase64RunOfAKey ||
                            path.find("-----") != std::string::npos;
  return looksLikeKey ? "the " + std::string(option) + " file (its name looks like a key)" : path;
}

// Key files never come from standard input, so "-" names a file. A key may be one of a
// pair that keygen was writing when it died, which is settled first.
bool readKeyFile(const std::string& path, std::string_view shownAs, SecretText* pem,
                 std::string* error) {
  return readPairFile(path == "-" ? "./-" : path, kMaxKeyFileSize, pem, error, shownAs);
}

// What is wrong with `text` as the raw key `what`, when it looks like one slightly off.
std::string rawKeyMistake(std::string_view text, std::string_view what) {
  std::string digits;
  bool spaced = false;
  const bool prefixed =
      text.size() > kHexPrefix.size() && (text.starts_with(kHexPrefix) || text.starts_with("0X"));
  for (const char c : prefixed ? text.substr(kHexPrefix.size()) : text) {
    if (std::isspace(static_cast<unsigned char>(c)) != 0 || c == ':') {
      spaced = true;
    } else {
      digits += c;
    }
  }
  if (!isAllHex(digits)) {
    return {};
  }
  const std::string rule = std::string(what) + ": raw key must be 128 hex characters";
  if (prefixed) {
    return rule + ", without a 0x prefix";
  }
  if (spaced) {
    return rule + ", without white space or colons";
  }
  if (digits.size() == kRawKeyHexLength + kPointPrefix.size() && digits.starts_with(kPointPrefix)) {
    return rule + ", without the 04 of the uncompressed point";
  }
  return rule + ", not " + std::to_string(digits.size());
}

// True when `text` holds nothing but white space.
bool blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
}

// True for a PEM private key of any kind, encrypted too: told by its label alone.
bool holdsPrivateKey(std::string_view pem) {
  const std::size_t begin = pem.find(kPemBegin);
  if (begin == std::string_view::npos) {
    return false;
  }
  const std::string_view label = pem.substr(begin, pem.find('\n', begin) - begin);
  return label.ends_with(kPrivateKeyLabel);
}

// True for what keygen and pubkey write of a public key: its PEM or its hex line.
bool holdsPublicKey(std::string_view text) {
  SecretText line(text);
  stripLineEnd(&line);
  return text.find(kPublicKeyLabel) != std::string_view::npos ||
         (line.size() == kRawKeyHexLength && isAllHex(line));
}

// The scalar of a private key file's text, or why it is none.
bool scalarOfKeyText(const SecretText& pem, const std::string& shown, Bytes* scalar,
                     std::string* error) {
  if (blank(pem)) {
    return failWith(error, shown + " is empty: give the private key file that keygen wrote");
  }
  if (holdsPublicKey(pem)) {
    return failWith(error, shown +
                               " holds a public key: give the private key file (the .key that "
                               "keygen wrote with --private)");
  }
  const PrivateKeyPemFailure failure = readPrivateKeyPem(pem, scalar);
  return failure == PrivateKeyPemFailure::kNone ||
         failWith(error, shown + ": " + std::string(privateKeyPemFailureText(failure)));
}

// A provider's failure as one line: what was given, then why.
bool referenceFailure(std::string_view shown, KeyReferenceFailure failure, std::string* error) {
  return failWith(error, std::string(shown) + ": " + std::string(keyReferenceFailureText(failure)));
}

// The reference for a handle or a wrapped key's text.
bool loadReference(std::string_view handleOrPem, std::string_view shown, PrivateKey* key,
                   std::string* error) {
  std::string provider;
  if (!keyProvider(&provider, error)) {
    return false;
  }
  quietKeyStack();
  std::unique_ptr<KeyReference> reference;
  if (const KeyReferenceFailure failure =
          isKeyHandle(handleOrPem) ? KeyReference::loadHandle(handleOrPem, provider, &reference)
                                   : KeyReference::loadWrapped(handleOrPem, provider, &reference);
      failure != KeyReferenceFailure::kNone) {
    return referenceFailure(shown, failure, error);
  }
  key->scalar.clear();
  key->reference = std::move(reference);
  return true;
}

}  // namespace

void quietKeyStack() {
  setenv("TSS2_LOG", "all+none", /*overwrite=*/0);
}

Bytes PrivateKey::rawPublicKey() const {
  return reference ? reference->rawPublicKey() : rawPublicKeyOfScalar(scalar);
}

bool keyProvider(std::string* name, std::string* error) {
  return chosenKeyProvider(name) ||
         failWith(error, std::string(kKeyProviderVariable) +
                             " must name an OpenSSL provider: letters, digits, - _ and .");
}

bool loadPrivateKey(const std::string& text, std::string_view option, PrivateKey* key,
                    std::string* error) {
  if (text.starts_with(kKeyHandlePrefix)) {
    if (!isKeyHandle(text)) {
      return failWith(error, std::string(option) +
                                 ": a handle is written handle:0x and up to eight hex digits");
    }
    return loadReference(text, option, key, error);
  }
  const std::string shown = shownName(text, option);
  SecretText pem;
  if (!readKeyFile(text, shown, &pem, error)) {
    return false;
  }
  if (isWrappedKey(pem)) {
    return loadReference(pem, shown, key, error);
  }
  PrivateKey plain;
  if (!scalarOfKeyText(pem, shown, &plain.scalar, error)) {
    return false;
  }
  *key = std::move(plain);
  return true;
}

namespace {

// A key agreement that failed with a held key was refused by the TPM: said so.
bool explainedOpenFailure(const PrivateKey& key, std::string* error) {
  if (key.reference && error != nullptr &&
      *error == openFailureText(OpenFailure::kKeyAgreementFailed)) {
    *error =
        "the TPM refused the key agreement: the fleet key must be imported for decryption "
        "(zezi-vidad-tpm-import(8))";
  }
  return false;
}

}  // namespace

bool openEnvelopeWith(const PrivateKey& key, std::string_view envelope, Network* network,
                      std::string* error) {
  if (!key.reference) {
    return openEnvelope(envelope, key.scalar, network, error);
  }
  const std::unique_ptr<FleetOpener> opener = FleetOpenerSteps::fromReference(key.reference);
  if (!opener) {
    return failWith(error, openFailureText(OpenFailure::kBadFleetScalar));
  }
  return openEnvelope(envelope, *opener, network, error) || explainedOpenFailure(key, error);
}

bool openSignedEnvelopeWith(const PrivateKey& key, const SignatureInput& input,
                            const TrustList& trustList, Network* network,
                            VerifiedSignature* verified, ReplayState* state, std::string* error) {
  if (!key.reference) {
    return openSignedEnvelope(input, trustList, key.scalar, network, verified, state, error);
  }
  const std::unique_ptr<FleetOpener> opener = FleetOpenerSteps::fromReference(key.reference);
  if (!opener) {
    return failWith(error, openFailureText(OpenFailure::kBadFleetScalar));
  }
  return openSignedEnvelope(input, trustList, *opener, network, verified, state, error) ||
         explainedOpenFailure(key, error);
}

bool loadPrivateScalar(const std::string& path, Bytes* scalar, std::string* error) {
  SecretText pem;
  const std::string shown = shownName(path, "--private");
  return readKeyFile(path, shown, &pem, error) && scalarOfKeyText(pem, shown, scalar, error);
}

namespace {

// The message of 64 octets that name no point of P-256.
constexpr std::string_view kNotAPoint = ": not a point of P-256";

bool isPoint(const Bytes& raw) {
  return loadPublicKey(raw) != nullptr;
}

// loadPublicKeyText, with the point checked by `decodes` when it is given: every form's
// octets go through it. Else the raw forms are checked on their own; reading a PEM key
// decodes its point already.
bool readPublicKeyText(const std::string& text, std::string_view what, std::string_view option,
                       const PointCheck* decodes, Bytes* raw, std::string* error) {
  const PointCheck ownCheck = isPoint;
  const PointCheck& checkPoint = decodes != nullptr ? *decodes : ownCheck;
  if (isAllHex(text) && text.size() == kRawKeyHexLength) {
    *raw = hexDecode(text);
    return checkPoint(*raw) || failWith(error, std::string(what).append(kNotAPoint));
  }
  const std::string shown = shownName(text, option);
  SecretText content;
  if (!readKeyFile(text, shown, &content, error)) {
    // Most likely a mistyped raw key rather than a missing file.
    const std::string mistake = rawKeyMistake(text, what);
    return mistake.empty() ? false : failWith(error, mistake);
  }
  if (blank(content)) {
    return failWith(error, shown + " is empty: give " + std::string(option) +
                               " the public key file that keygen wrote");
  }
  // The private key stays with whoever opens or signs; the public key is what is asked for.
  if (holdsPrivateKey(content)) {
    return failWith(error, shown + " holds a private key: give " + std::string(option) +
                               " the public key file (the .pub that keygen wrote with --public)");
  }
  // The line keygen and pubkey print, kept in a file.
  SecretText line = content;
  stripLineEnd(&line);
  if (isAllHex(line) && line.size() == kRawKeyHexLength) {
    *raw = hexDecode(line);
    return checkPoint(*raw) || failWith(error, shown + std::string(kNotAPoint));
  }
  std::string why;
  if (!readPublicKeyPem(content, raw, &why)) {
    return failWith(error, shown + ": " + why);
  }
  // Refused after the PEM reading accepted the point only for want of memory.
  return decodes == nullptr || (*decodes)(*raw) || failWith(error, shown + std::string(kNotAPoint));
}

}  // namespace

bool loadPublicKeyText(const std::string& text, std::string_view what, std::string_view option,
                       Bytes* raw, std::string* error) {
  Bytes read;
  if (!readPublicKeyText(text, what, option, /*decodes=*/nullptr, &read, error)) {
    return false;
  }
  *raw = std::move(read);
  return true;
}

bool loadFleetKey(const std::string& text, Bytes* raw, std::string* error) {
  return loadPublicKeyText(text, "fleet key", "--fleet-key", raw, error);
}

bool loadFleetKey(const std::string& text, const PointCheck& checkPoint, std::string* error) {
  Bytes raw;
  return readPublicKeyText(text, "fleet key", "--fleet-key", &checkPoint, &raw, error);
}

}  // namespace zezi
