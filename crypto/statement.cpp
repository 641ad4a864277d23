#include "crypto/statement.h"

#include <algorithm>

#include "crypto/p256_keys.h"
#include "crypto/sha256.h"

namespace zezi {
namespace {

constexpr std::size_t kIntegerSize = 8;
constexpr unsigned kBitsPerOctet = 8;
constexpr std::uint8_t kDomainSeparator = 0x00;

void appendInteger(std::uint64_t value, Bytes* out) {
  for (std::size_t i = kIntegerSize; i-- > 0;) {
    out->push_back(static_cast<std::uint8_t>(value >> (i * kBitsPerOctet)));
  }
}

std::uint64_t integerAt(const Bytes& octets, std::size_t offset) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < kIntegerSize; ++i) {
    value = value << kBitsPerOctet | octets[offset + i];
  }
  return value;
}

Digest digestAt(const Bytes& octets, std::size_t offset) {
  Digest digest{};
  std::copy_n(octets.begin() + static_cast<std::ptrdiff_t>(offset), digest.size(), digest.begin());
  return digest;
}

}  // namespace

Bytes encodeStatement(const Statement& statement) {
  // statement = signer key id || fleet id || SHA-256(envelope) || serial || issued || expires
  // (the three integers 8 octets each, big-endian)
  Bytes octets;
  octets.reserve(kStatementSize);
  for (const Digest* digest :
       {&statement.signerKeyId, &statement.fleetId, &statement.envelopeSha256}) {
    octets.insert(octets.end(), digest->begin(), digest->end());
  }
  for (const std::uint64_t value : {statement.serial, statement.issuedAt, statement.expiresAt}) {
    appendInteger(value, &octets);
  }
  return octets;
}

bool decodeStatement(const Bytes& octets, Statement* statementOut) {
  if (statementOut == nullptr || octets.size() != kStatementSize) {
    return false;
  }
  constexpr std::size_t kIntegersAt = 3 * kDigestSize;
  statementOut->signerKeyId = digestAt(octets, 0);
  statementOut->fleetId = digestAt(octets, kDigestSize);
  statementOut->envelopeSha256 = digestAt(octets, 2 * kDigestSize);
  statementOut->serial = integerAt(octets, kIntegersAt);
  statementOut->issuedAt = integerAt(octets, kIntegersAt + kIntegerSize);
  statementOut->expiresAt = integerAt(octets, kIntegersAt + 2 * kIntegerSize);
  return true;
}

Bytes signedMessage(const Bytes& statementOctets) {
  // message = signature domain || 0x00 || statement
  Bytes message;
  message.reserve(kSignatureDomain.size() + 1 + statementOctets.size());
  message.insert(message.end(), kSignatureDomain.begin(), kSignatureDomain.end());
  message.push_back(kDomainSeparator);
  message.insert(message.end(), statementOctets.begin(), statementOctets.end());
  return message;
}

bool keyIdOf(const Bytes& rawPublicKey, Digest* idOut) {
  // key id = SHA-256(04 || X || Y)
  const Bytes point = rawToPoint(rawPublicKey);
  return !point.empty() && sha256(point, idOut);
}

}  // namespace zezi
