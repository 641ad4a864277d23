// Scoped owners for every OpenSSL object the library creates. Each type has one
// std::unique_ptr alias; its release function is named once, in the table below, so no
// code path frees an object by hand.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>
#include <openssl/store.h>

namespace zezi {

template <typename T>
struct OsslDeleter;

#define ZEZI_OSSL_DELETER(Type, release)                     \
  template <>                                                \
  struct OsslDeleter<Type> {                                 \
    void operator()(Type* object) const { release(object); } \
  }

// BIGNUMs here hold private scalars, so they are cleared before release.
ZEZI_OSSL_DELETER(BIGNUM, BN_clear_free);
ZEZI_OSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
ZEZI_OSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
ZEZI_OSSL_DELETER(EC_GROUP, EC_GROUP_free);
// A point may be a shared point, whose X is a secret, so points are cleared too.
ZEZI_OSSL_DELETER(EC_POINT, EC_POINT_clear_free);
ZEZI_OSSL_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);
ZEZI_OSSL_DELETER(OSSL_PARAM, OSSL_PARAM_free);
ZEZI_OSSL_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
ZEZI_OSSL_DELETER(EVP_KDF, EVP_KDF_free);
ZEZI_OSSL_DELETER(EVP_KDF_CTX, EVP_KDF_CTX_free);
ZEZI_OSSL_DELETER(BIO, BIO_free_all);
ZEZI_OSSL_DELETER(ECDSA_SIG, ECDSA_SIG_free);
ZEZI_OSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
ZEZI_OSSL_DELETER(BN_CTX, BN_CTX_free);
ZEZI_OSSL_DELETER(OSSL_LIB_CTX, OSSL_LIB_CTX_free);
// A provider loaded into a library context of our own is unloaded before that context goes.
ZEZI_OSSL_DELETER(OSSL_PROVIDER, OSSL_PROVIDER_unload);
ZEZI_OSSL_DELETER(OSSL_STORE_CTX, OSSL_STORE_close);
ZEZI_OSSL_DELETER(OSSL_STORE_INFO, OSSL_STORE_INFO_free);
ZEZI_OSSL_DELETER(OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free);

#undef ZEZI_OSSL_DELETER

template <typename T>
using OsslPtr = std::unique_ptr<T, OsslDeleter<T>>;

using BignumPtr = OsslPtr<BIGNUM>;
using PkeyPtr = OsslPtr<EVP_PKEY>;
using PkeyCtxPtr = OsslPtr<EVP_PKEY_CTX>;
using EcGroupPtr = OsslPtr<EC_GROUP>;
using EcPointPtr = OsslPtr<EC_POINT>;
using ParamBuilderPtr = OsslPtr<OSSL_PARAM_BLD>;
using ParamArrayPtr = OsslPtr<OSSL_PARAM>;
using CipherCtxPtr = OsslPtr<EVP_CIPHER_CTX>;
using KdfPtr = OsslPtr<EVP_KDF>;
using KdfCtxPtr = OsslPtr<EVP_KDF_CTX>;
using BioPtr = OsslPtr<BIO>;
using EcdsaSignaturePtr = OsslPtr<ECDSA_SIG>;
using DigestCtxPtr = OsslPtr<EVP_MD_CTX>;
using BnCtxPtr = OsslPtr<BN_CTX>;
using LibCtxPtr = OsslPtr<OSSL_LIB_CTX>;
using ProviderPtr = OsslPtr<OSSL_PROVIDER>;
using StoreCtxPtr = OsslPtr<OSSL_STORE_CTX>;
using StoreInfoPtr = OsslPtr<OSSL_STORE_INFO>;
using EncoderCtxPtr = OsslPtr<OSSL_ENCODER_CTX>;

}  // namespace zezi
