#!/usr/bin/env bash
# Compiles one use of the public interface at a time against the staged public headers only,
# as a consumer sees them, and expects what a consumer may call to compile and the rest to
# be refused: the library's internal steps and fixed inputs for tests, and, through the
# device library's headers alone (its own include root), every name the device library does
# not have. Each device use that compiles is linked against the device library too, so its
# headers declare nothing that library lacks.
#
# usage: tests/tools/public_api_test.sh CXX CC STAGED_INCLUDE_DIR DEVICE_LIBRARY CRYPTO_LIBRARY
# environment: ZEZI_VIDAD_LINK_FLAGS, the flags the library was built with (a sanitizer's
#   runtime must be linked in with it)
set -euo pipefail
usage='usage: public_api_test.sh CXX CC STAGED_INCLUDE_DIR DEVICE_LIBRARY CRYPTO_LIBRARY'
cxx=${1:?$usage}
cc=${2:?$usage}
include_dir=${3:?$usage}
device_library=${4:?$usage}
crypto_library=${5:?$usage}
device_include_dir=$include_dir/zezi-vidad-device
read -ra link_flags <<<"${ZEZI_VIDAD_LINK_FLAGS:-}"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# expected (compiles or refused) | the program: full (the C++ umbrella header, every
# public header on the path), device (<zezi_vidad/device.hpp>) or device-c
# (<zezi_vidad/device.h>, as C11), the device root alone on the path | the body of a
# function with these names in scope:
#   C++: zezi::Bytes b; std::string e; zezi::Network n; zezi::TrustList t;
#        zezi::ReplayState r; zezi::SignatureInput in; zezi::VerifiedSignature v;
#   C:   uint8_t s[ZEZI_VIDAD_SCALAR_SIZE]; uint8_t k[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
#        char x[64]; size_t l; zezi_vidad_opener* o; zezi_vidad_trust_list* tl;
cases='compiles|full|(void)zezi::buildEnvelope("s", "p", b, &e, &e);
refused|full|(void)zezi::buildEnvelope("s", "p", b, &e, &e, b, b, b);
compiles|full|auto s = zezi::FleetSealer::create(b, &e); (void)s->seal("s", "p", &e, &e);
refused|full|auto s = zezi::FleetSealer::create(b, &e); (void)s->seal("s", "p", &e, &e, b, b, b);
compiles|full|auto o = zezi::FleetOpener::create(b); (void)zezi::openEnvelope("{}", *o, &n, &e);
refused|full|auto o = zezi::FleetOpener::create(b); (void)o->agree(b, &b);
refused|full|auto o = zezi::FleetOpener::create(b); (void)o->envelopeKey(b, b, b);
refused|full|zezi::FleetOpener::Agreement a{}; (void)a;
compiles|full|(void)zezi::openSignedEnvelope(in, t, b, &n, &v, &r, &e);
refused|full|(void)zezi::verifySignature(in, t, &v, &r, &e);
compiles|full|r = zezi::freshReplayState(t); (void)r.hasAcceptedSignature(); (void)t.indexOf({});
compiles|full|(void)zezi::decodeReplayState(zezi::encodeReplayState(r), &r);
refused|full|(void)zezi::loadReplayState("state", t, &r);
refused|full|(void)zezi::commitReplayState("state", r, &e);
refused|full|zezi::ReplayStateLock lock;
refused|full|(void)zezi::kTrustListDomain;
compiles|full|zezi::Statement statement = v.statement; (void)statement.serial;
refused|full|(void)zezi::encodeStatement(v.statement);
refused|full|(void)zezi::decodeStatement(b, &v.statement);
refused|full|(void)zezi::signedMessage(b);
refused|full|zezi::Digest d; (void)zezi::keyIdOf(b, &d);
compiles|full|zezi::SecretText pem; (void)zezi::generateKeyPair(&b, &b); (void)zezi::privateKeyPem(b, &pem);
compiles|full|(void)zezi::makeSignatureFile(b, b, "{}", zezi::SignatureTerms{}, &e, &e);
compiles|full|(void)zezi::runSelfTest(&e); (void)ZEZI_VIDAD_VERSION_STRING;
compiles|device|auto o = zezi::FleetOpener::create(b); (void)zezi::openEnvelope("{}", *o, &n, &e);
compiles|device|(void)zezi::openEnvelope("{}", b, &n, &e); (void)ZEZI_VIDAD_VERSION_STRING;
compiles|device|(void)zezi::loadTrustList({}, &t, &e); (void)zezi::openSignedEnvelope(in, t, b, &n, &v, &r, &e);
compiles|device|(void)zezi::decodeReplayState(zezi::encodeReplayState(zezi::freshReplayState(t)), &r);
refused|device|(void)zezi::buildEnvelope("s", "p", b, &e, &e);
refused|device|auto s = zezi::FleetSealer::create(b, &e); (void)s;
refused|device|(void)zezi::generateKeyPair(&b, &b);
refused|device|(void)zezi::publicKeyOfScalar(b);
refused|device|(void)zezi::privateScalarFromPem("", &b, &e);
refused|device|(void)zezi::makeSignatureFile(b, b, "{}", zezi::SignatureTerms{}, &e, &e);
refused|device|(void)zezi::runSelfTest(&e);
compiles|device-c|(void)zezi_vidad_opener_new(s, &o); zezi_vidad_opener_free(o); (void)zezi_vidad_strerror(0); (void)zezi_vidad_status_class_of(0);
compiles|device-c|(void)zezi_vidad_open(x, sizeof x, s, k, sizeof k, &l, x, sizeof x); (void)zezi_vidad_version();
compiles|device-c|(void)zezi_vidad_trust_list_new(k, 1, k, 1, 0, 0, &tl); zezi_vidad_trust_list_free(tl);
compiles|device-c|(void)zezi_vidad_opener_new_from_pem_file("k", &o); (void)zezi_vidad_opener_public_key(o, k); (void)zezi_vidad_trust_list_new_from_file("t", k, &tl);
refused|device-c|(void)zezi_vidad_seal(k, s, 1, x, 64, x, sizeof x, &l);
refused|device-c|(void)zezi_vidad_generate_key_pair(s, k);
refused|device-c|(void)zezi_vidad_public_key(s, k);'

failures=0
while IFS='|' read -r expected program body; do
  compiler=("$cxx" -std=c++20 -Wall -Wextra -Werror)
  source=$scratch/use.cpp
  case $program in
    full)
      compiler+=(-I "$include_dir")
      cat >"$source" <<CPP
#include <string>
#include <zezi_vidad/zezi_vidad.hpp>
void use() {
  zezi::Bytes b; std::string e; zezi::Network n; zezi::TrustList t; zezi::ReplayState r;
  zezi::SignatureInput in; zezi::VerifiedSignature v;
  $body
}
CPP
      ;;
    device)
      compiler+=(-I "$device_include_dir")
      cat >"$source" <<CPP
#include <string>
#include <zezi_vidad/device.hpp>
void use() {
  zezi::Bytes b; std::string e; zezi::Network n; zezi::TrustList t; zezi::ReplayState r;
  zezi::SignatureInput in; zezi::VerifiedSignature v;
  $body
}
int main() { use(); }
CPP
      ;;
    device-c)
      # A call of an undeclared function is what refuses a sealing call here, as GCC 14 and
      # clang do by default; no other warning is made an error.
      compiler=("$cc" -std=c11 -pedantic-errors -Wall -Wextra
        -Werror=implicit-function-declaration -I "$device_include_dir")
      source=$scratch/use.c
      cat >"$source" <<C
#include <stddef.h>
#include <stdint.h>
#include <zezi_vidad/device.h>
static void use(void) {
  uint8_t s[ZEZI_VIDAD_SCALAR_SIZE] = {0}; uint8_t k[ZEZI_VIDAD_PUBLIC_KEY_SIZE] = {0};
  char x[64] = {0}; size_t l = 0; zezi_vidad_opener* o = NULL; zezi_vidad_trust_list* tl = NULL;
  (void)s; (void)k; (void)x; (void)l; (void)o; (void)tl;
  $body
}
int main(void) { use(); return 0; }
C
      ;;
  esac
  status=0
  output=$("${compiler[@]}" -c "$source" -o "$scratch/use.o" 2>&1) || status=$?
  if { [ "$expected" = compiles ] && [ "$status" -ne 0 ]; } ||
    { [ "$expected" = refused ] && [ "$status" -eq 0 ]; }; then
    echo "FAIL: expected $expected ($program): $body"
    echo "$output"
    failures=$((failures + 1))
  elif [ "$expected" = compiles ] && [ "$program" != full ] &&
    # The device library has every call its headers declare; C links with the C++ driver,
    # as the library is C++.
    ! output=$("$cxx" "${link_flags[@]}" "$scratch/use.o" -o "$scratch/use" "$device_library" \
      "$crypto_library" 2>&1); then
    echo "FAIL: does not link against the device library ($program): $body"
    echo "$output"
    failures=$((failures + 1))
  fi
done <<<"$cases"

total=$(wc -l <<<"$cases")
echo "$((total - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
