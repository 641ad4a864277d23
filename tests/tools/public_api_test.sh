#!/usr/bin/env bash
# Compiles one use of the C++ interface at a time against the staged public headers only,
# as a consumer sees them, and expects what a consumer may call to compile and the
# library's internal steps and fixed inputs for tests to be out of reach.
#
# usage: tests/tools/public_api_test.sh CXX STAGED_INCLUDE_DIR
set -euo pipefail
cxx=${1:?usage: public_api_test.sh CXX STAGED_INCLUDE_DIR}
include_dir=${2:?usage: public_api_test.sh CXX STAGED_INCLUDE_DIR}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# expected (compiles or refused) | the body of a function with these names in scope:
#   zezi::Bytes b; std::string e; zezi::Network n; zezi::TrustList t; zezi::ReplayState r;
#   zezi::SignatureInput in; zezi::VerifiedSignature v;
cases='compiles|(void)zezi::buildEnvelope("s", "p", b, &e, &e);
refused|(void)zezi::buildEnvelope("s", "p", b, &e, &e, b, b, b);
compiles|auto s = zezi::FleetSealer::create(b, &e); (void)s->seal("s", "p", &e, &e);
refused|auto s = zezi::FleetSealer::create(b, &e); (void)s->seal("s", "p", &e, &e, b, b, b);
compiles|auto o = zezi::FleetOpener::create(b); (void)zezi::openEnvelope("{}", *o, &n, &e);
refused|auto o = zezi::FleetOpener::create(b); (void)o->agree(b, &b);
refused|auto o = zezi::FleetOpener::create(b); (void)o->envelopeKey(b, b, b);
refused|zezi::FleetOpener::Agreement a{}; (void)a;
compiles|(void)zezi::openSignedEnvelope(in, t, b, &n, &v, &r, &e);
refused|(void)zezi::verifySignature(in, t, &v, &r, &e);
compiles|r = zezi::freshReplayState(t); (void)r.hasAcceptedSignature(); (void)t.indexOf({});
compiles|(void)zezi::decodeReplayState(zezi::encodeReplayState(r), &r);
refused|(void)zezi::loadReplayState("state", t, &r);
refused|(void)zezi::commitReplayState("state", r, &e);
refused|zezi::ReplayStateLock lock;
refused|(void)zezi::kTrustListDomain;
compiles|zezi::Statement statement = v.statement; (void)statement.serial;
refused|(void)zezi::encodeStatement(v.statement);
refused|(void)zezi::decodeStatement(b, &v.statement);
refused|(void)zezi::signedMessage(b);
refused|zezi::Digest d; (void)zezi::keyIdOf(b, &d);
compiles|zezi::SecretText pem; (void)zezi::generateKeyPair(&b, &b); (void)zezi::privateKeyPem(b, &pem);
compiles|(void)zezi::makeSignatureFile(b, b, "{}", zezi::SignatureTerms{}, &e, &e);
compiles|(void)zezi::runSelfTest(&e); (void)ZEZI_VIDAD_VERSION_STRING;'

failures=0
while IFS='|' read -r expected body; do
  cat >"$scratch/use.cpp" <<CPP
#include <string>
#include <zezi_vidad/zezi_vidad.hpp>
void use() {
  zezi::Bytes b; std::string e; zezi::Network n; zezi::TrustList t; zezi::ReplayState r;
  zezi::SignatureInput in; zezi::VerifiedSignature v;
  $body
}
CPP
  status=0
  output=$("$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I "$include_dir" \
    "$scratch/use.cpp" 2>&1) || status=$?
  if { [ "$expected" = compiles ] && [ "$status" -ne 0 ]; } ||
    { [ "$expected" = refused ] && [ "$status" -eq 0 ]; }; then
    echo "FAIL: expected $expected: $body"
    echo "$output"
    failures=$((failures + 1))
  fi
done <<<"$cases"

total=$(wc -l <<<"$cases")
echo "$((total - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
