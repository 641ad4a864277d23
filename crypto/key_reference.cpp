#include "crypto/key_reference.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ui.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

#include "base/failure.h"
#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

constexpr auto kFailureTexts = failureTable<KeyReferenceFailure, std::string_view>(
    {
        {KeyReferenceFailure::kNoProvider, "the key provider is not installed"},
        {KeyReferenceFailure::kUnreachable, "the key provider cannot reach the TPM"},
        {KeyReferenceFailure::kNoSuchHandle, "the TPM holds no usable key at that handle"},
        {KeyReferenceFailure::kNotLoadable,
         "the TPM refused to load the wrapped key: it was made for another TPM, or is damaged"},
        {KeyReferenceFailure::kNotP256, "the key in the TPM is not a P-256 key"},
        {KeyReferenceFailure::kRefused, "the TPM refused the key operation"},
    },
    kLastKeyReferenceFailure);
static_assert(kFailureTexts.inOrder() && kFailureTexts.oneRowEach());

// The longest handle text: 0x and eight hex digits.
constexpr std::size_t kMaxHandleDigits = 8;
// A signature of P-256 in DER is far below this; a key that claims more is not one.
constexpr int kMaxHeldSignatureSize = 256;
constexpr std::uint8_t kDerSequence = 0x30;
constexpr std::uint8_t kDerLongLength = 0x80;
// The provider of everything public (the peer's point, encoders' plumbing) in our context.
constexpr const char* kPublicProvider = "default";

// Whether OpenSSL's error queue says a module could not be opened at all.
bool moduleMissing() {
  unsigned long code = 0;
  while ((code = ERR_get_error()) != 0) {
    if (ERR_GET_LIB(code) == ERR_LIB_DSO) {
      ERR_clear_error();
      return true;
    }
  }
  return false;
}

// Every failure clears OpenSSL's queue: what it held is never shown, the fixed message is.
KeyReferenceFailure failed(KeyReferenceFailure failure) {
  ERR_clear_error();
  return failure;
}

}  // namespace

struct HeldKey {
  // Declared in the order they are made, and so released in the opposite one: the key
  // before its provider, the providers before their context.
  LibCtxPtr libctx;
  ProviderPtr provider;
  ProviderPtr publicProvider;
  std::string propquery;  // "provider=<name>": every private operation runs there
  PkeyPtr key;
  Bytes rawPublicKey;
};

namespace {

// A library context with the provider (and the default one beside it) loaded.
KeyReferenceFailure startProvider(std::string_view provider, HeldKey* held) {
  ERR_clear_error();
  held->libctx.reset(OSSL_LIB_CTX_new());
  if (!held->libctx) {
    return failed(KeyReferenceFailure::kNoProvider);
  }
  const std::string name(provider);
  held->provider.reset(OSSL_PROVIDER_load(held->libctx.get(), name.c_str()));
  if (!held->provider) {
    return failed(moduleMissing() ? KeyReferenceFailure::kNoProvider
                                  : KeyReferenceFailure::kUnreachable);
  }
  held->publicProvider.reset(OSSL_PROVIDER_load(held->libctx.get(), kPublicProvider));
  if (!held->publicProvider) {
    return failed(KeyReferenceFailure::kNoProvider);
  }
  held->propquery = "provider=" + name;
  return KeyReferenceFailure::kNone;
}

// The first private key that the store opened on `store` yields.
PkeyPtr firstPrivateKey(OSSL_STORE_CTX* store) {
  while (store != nullptr && OSSL_STORE_eof(store) == 0) {
    const StoreInfoPtr info(OSSL_STORE_load(store));
    if (info && OSSL_STORE_INFO_get_type(info.get()) == OSSL_STORE_INFO_PKEY) {
      return PkeyPtr(OSSL_STORE_INFO_get1_PKEY(info.get()));
    }
    if (!info && OSSL_STORE_error(store) != 0) {
      return nullptr;
    }
  }
  return nullptr;
}

// The raw public key of a provider's key: its encoded point, or the point it gives as "pub"
// when it has no encoded form.
Bytes heldPublicKey(const EVP_PKEY* key) {
  Bytes raw = encodedPublicKey(key);
  if (!raw.empty()) {
    return raw;
  }
  Bytes point(kPointSize);
  std::size_t size = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                      &size) != 1 ||
      size != kPointSize || point[0] != kUncompressedPointPrefix) {
    return {};
  }
  return {point.begin() + 1, point.end()};
}

// Keeps `key` when it is a P-256 key with a readable public point; `notLoaded` is the
// failure of a key that does not do.
KeyReferenceFailure keep(HeldKey* held, PkeyPtr key, KeyReferenceFailure notLoaded) {
  if (!key) {
    return failed(notLoaded);
  }
  if (!isP256Key(key.get())) {
    return failed(KeyReferenceFailure::kNotP256);
  }
  // Only a key of our provider: never one that another provider took in its place.
  if (EVP_PKEY_get0_provider(key.get()) != held->provider.get()) {
    return failed(notLoaded);
  }
  held->rawPublicKey = heldPublicKey(key.get());
  if (held->rawPublicKey.size() != kRawPublicKeySize) {
    return failed(notLoaded);
  }
  held->key = std::move(key);
  return KeyReferenceFailure::kNone;
}

}  // namespace

std::string_view keyReferenceFailureText(KeyReferenceFailure failure) {
  return kFailureTexts(failure);
}

bool chosenKeyProvider(std::string* name) {
  const char* value = std::getenv(kKeyProviderVariable);
  const std::string_view chosen = value != nullptr ? value : kDefaultKeyProvider;
  const bool nameable = !chosen.empty() && std::all_of(chosen.begin(), chosen.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
  });
  if (!nameable || name == nullptr) {
    return false;
  }
  *name = chosen;
  return true;
}

bool isKeyHandle(std::string_view text) {
  if (!text.starts_with(kKeyHandlePrefix)) {
    return false;
  }
  const std::string_view number = text.substr(kKeyHandlePrefix.size());
  if (!number.starts_with("0x") || number.size() <= 2 || number.size() > 2 + kMaxHandleDigits) {
    return false;
  }
  return std::all_of(number.begin() + 2, number.end(),
                     [](char c) { return kHexDigitsEitherCase.find(c) != std::string_view::npos; });
}

bool isWrappedKey(std::string_view pem) {
  const std::size_t begin = pem.find("-----BEGIN ");
  return begin != std::string_view::npos && pem.substr(begin).starts_with(kWrappedKeyBegin);
}

KeyReference::KeyReference(std::unique_ptr<HeldKey> held) : held_(std::move(held)) {}

KeyReference::~KeyReference() = default;

KeyReferenceFailure KeyReference::loadHandle(std::string_view handle, std::string_view provider,
                                             std::unique_ptr<KeyReference>* referenceOut) {
  if (!isKeyHandle(handle)) {
    return failed(KeyReferenceFailure::kNoSuchHandle);
  }
  auto held = std::make_unique<HeldKey>();
  if (const KeyReferenceFailure failure = startProvider(provider, held.get());
      failure != KeyReferenceFailure::kNone) {
    return failure;
  }
  // UI_null: a key that wants a password fails instead of prompting.
  const std::string uri(handle);
  const StoreCtxPtr store(OSSL_STORE_open_ex(uri.c_str(), held->libctx.get(),
                                             held->propquery.c_str(), UI_null(),
                                             /*ui_data=*/nullptr, /*params=*/nullptr,
                                             /*post_process=*/nullptr,
                                             /*post_process_data=*/nullptr));
  const KeyReferenceFailure failure =
      keep(held.get(), firstPrivateKey(store.get()), KeyReferenceFailure::kNoSuchHandle);
  if (failure == KeyReferenceFailure::kNone) {
    referenceOut->reset(new KeyReference(std::move(held)));
  }
  return failure;
}

KeyReferenceFailure KeyReference::loadWrapped(std::string_view pem, std::string_view provider,
                                              std::unique_ptr<KeyReference>* referenceOut) {
  auto held = std::make_unique<HeldKey>();
  if (const KeyReferenceFailure failure = startProvider(provider, held.get());
      failure != KeyReferenceFailure::kNone) {
    return failure;
  }
  // The file was read whole by the caller, through the tool's own file reading.
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  StoreCtxPtr store;
  if (bio) {
    // The default provider's file loader reads the PEM; the provider's own decoder turns it
    // into its key, which keep() then insists on.
    store.reset(OSSL_STORE_attach(bio.get(), "file", held->libctx.get(), /*propq=*/nullptr,
                                  UI_null(), /*ui_data=*/nullptr, /*params=*/nullptr,
                                  /*post_process=*/nullptr, /*post_process_data=*/nullptr));
  }
  PkeyPtr key = firstPrivateKey(store.get());
  // The store is closed before the buffer it reads goes.
  store.reset();
  const KeyReferenceFailure failure =
      keep(held.get(), std::move(key), KeyReferenceFailure::kNotLoadable);
  if (failure == KeyReferenceFailure::kNone) {
    referenceOut->reset(new KeyReference(std::move(held)));
  }
  return failure;
}

KeyReferenceFailure KeyReference::generate(std::string_view provider,
                                           std::unique_ptr<KeyReference>* referenceOut) {
  auto held = std::make_unique<HeldKey>();
  if (const KeyReferenceFailure failure = startProvider(provider, held.get());
      failure != KeyReferenceFailure::kNone) {
    return failure;
  }
  const PkeyCtxPtr context(
      EVP_PKEY_CTX_new_from_name(held->libctx.get(), "EC", held->propquery.c_str()));
  char group[] = "P-256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, /*bsize=*/0),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* made = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_params(context.get(), params) <= 0 ||
      EVP_PKEY_keygen(context.get(), &made) <= 0) {
    return failed(KeyReferenceFailure::kRefused);
  }
  const KeyReferenceFailure failure =
      keep(held.get(), PkeyPtr(made), KeyReferenceFailure::kRefused);
  if (failure == KeyReferenceFailure::kNone) {
    referenceOut->reset(new KeyReference(std::move(held)));
  }
  return failure;
}

const Bytes& KeyReference::rawPublicKey() const {
  return held_->rawPublicKey;
}

Bytes KeyReference::agree(const Bytes& peerRawPublicKey) const {
  // The peer's point is public: the default provider beside ours checks it is on the curve.
  const std::string publicQuery = std::string("provider=") + kPublicProvider;
  const PkeyPtr peer = loadPublicKey(peerRawPublicKey, held_->libctx.get(), publicQuery.c_str());
  // shared = X(held scalar * peer point), computed where the key is held
  const PkeyCtxPtr context(
      EVP_PKEY_CTX_new_from_pkey(held_->libctx.get(), held_->key.get(), held_->propquery.c_str()));
  std::size_t size = 0;
  if (!peer || !context || EVP_PKEY_derive_init(context.get()) <= 0 ||
      EVP_PKEY_derive_set_peer(context.get(), peer.get()) <= 0 ||
      EVP_PKEY_derive(context.get(), nullptr, &size) <= 0 || size != kSharedSecretSize) {
    ERR_clear_error();
    return {};
  }
  Bytes secret(size);
  if (EVP_PKEY_derive(context.get(), secret.data(), &size) <= 0 || size != kSharedSecretSize) {
    ERR_clear_error();
    return {};
  }
  return secret;
}

Bytes KeyReference::signDer(std::span<const std::uint8_t> message) const {
  // Room for the largest signature the key makes, given at once: some providers answer a
  // size query with 0, and report back the room they were given rather than what they
  // wrote, so the size is read from the DER itself afterwards.
  const int maxSize = EVP_PKEY_get_size(held_->key.get());
  const DigestCtxPtr context(EVP_MD_CTX_new());
  if (maxSize <= 0 || maxSize > kMaxHeldSignatureSize || !context ||
      EVP_DigestSignInit_ex(context.get(), /*pctx=*/nullptr, "SHA256", held_->libctx.get(),
                            held_->propquery.c_str(), held_->key.get(), /*params=*/nullptr) != 1) {
    ERR_clear_error();
    return {};
  }
  // der = ECDSA-P256-sign(held key, SHA-256(message)), made where the key is held
  Bytes der(static_cast<std::size_t>(maxSize));
  std::size_t size = der.size();
  if (EVP_DigestSign(context.get(), der.data(), &size, message.data(), message.size()) != 1 ||
      size > der.size()) {
    ERR_clear_error();
    return {};
  }
  // A DER SEQUENCE with a one-octet length: a P-256 signature always is one.
  if (der.size() < 2 || der[0] != kDerSequence || der[1] >= kDerLongLength ||
      std::size_t{der[1]} + 2 > size) {
    return {};
  }
  der.resize(std::size_t{der[1]} + 2);
  return der;
}

bool KeyReference::wrappedPem(SecretText* pemOut) const {
  if (pemOut == nullptr) {
    return false;
  }
  const EncoderCtxPtr encoder(OSSL_ENCODER_CTX_new_for_pkey(held_->key.get(), EVP_PKEY_KEYPAIR,
                                                            "PEM", /*output_struct=*/nullptr,
                                                            held_->propquery.c_str()));
  // A memory BIO's buffer is cleansed when it is released.
  const BioPtr bio(BIO_new(BIO_s_mem()));
  char* data = nullptr;
  if (!encoder || !bio || OSSL_ENCODER_to_bio(encoder.get(), bio.get()) != 1) {
    ERR_clear_error();
    return false;
  }
  const long size = BIO_get_mem_data(bio.get(), &data);
  if (size <= 0 || data == nullptr) {
    return false;
  }
  SecretText pem(data, static_cast<std::size_t>(size));
  if (!isWrappedKey(pem)) {
    return false;
  }
  *pemOut = std::move(pem);
  return true;
}

}  // namespace zezi
