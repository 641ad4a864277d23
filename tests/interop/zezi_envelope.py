"""tolvane-wifi-drive/v1 envelopes, implemented a second time from docs/format.md.

It checks the C++ library from the outside and generates the published vectors, so it
shares no code with it: Python's `cryptography` package does the curve, HKDF and GCM
work, and a small JSON reader of its own reads strings as octets (SSIDs need not be
UTF-8).
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import os
import re

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

DOMAIN = b"tolvane-wifi-drive/v1"
MEMBERS = (b"format", b"eph_pub", b"salt", b"nonce", b"sealed")
SCALAR_SIZE = 32
RAW_PUBLIC_SIZE = 64
POINT_SIZE = 65
NONCE_SIZE = 12
TAG_SIZE = 16
KEY_SIZE = 32
DRAWN_SALT_SIZE = 16
PSK_LENGTH = 64
MAX_ENVELOPE_SIZE = 64 * 1024
MAX_SSID_SIZE = 32  # octets an opened SSID may have; the builder seals longer ones
MAX_JSON_DEPTH = 32
P256_ORDER = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551


# Each reason an envelope does not open has its own class, so callers (and the published
# vectors) can tell them apart without matching message texts.
class EnvelopeError(Exception):
    """Base of every failure to open an envelope."""


class EnvelopeSyntaxError(EnvelopeError):
    """The text is too large, not JSON, or not a JSON object."""


class EnvelopeMemberError(EnvelopeError):
    """A member is unknown, missing, repeated or not a string."""


class UnsupportedFormatError(EnvelopeError):
    """The "format" member names something other than tolvane-wifi-drive/v1."""


class EnvelopeEncodingError(EnvelopeError):
    """A binary member is not canonical Base64."""


class EnvelopeValueError(EnvelopeError):
    """A decoded member has the wrong length or is not a P-256 point."""


class FleetKeyError(EnvelopeError):
    """The fleet private scalar is not a usable P-256 scalar."""


class AuthenticationError(EnvelopeError):
    """The GCM tag does not verify: another fleet key, or altered octets."""


class PayloadError(EnvelopeError):
    """The plaintext opened but is not exactly one well-formed network."""


class BuildError(ValueError):
    """An input to build_envelope or seal_payload is unusable."""


# ---------------------------------------------------------------- JSON reading (RFC 8259)


class JsonObject(list):
    """An object's (key, value) pairs in document order, repeated keys kept."""


@dataclasses.dataclass(frozen=True)
class JsonNumber:
    text: bytes


class JsonSyntaxError(ValueError):
    pass


_NUMBER = re.compile(rb"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?")
_SIMPLE_ESCAPES = {
    ord('"'): b'"', ord("\\"): b"\\", ord("/"): b"/", ord("b"): b"\b",
    ord("f"): b"\f", ord("n"): b"\n", ord("r"): b"\r", ord("t"): b"\t",
}
_HEX4 = re.compile(rb"[0-9A-Fa-f]{4}")


class _Reader:
    """Strings come back as `bytes`: raw octets copied as they are (0x80 and up without
    any UTF-8 check), escapes decoded, \\uXXXX written as the code point's UTF-8."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def fail(self, why: str):
        raise JsonSyntaxError(f"{why} at offset {self.pos}")

    def skip_space(self):
        while self.pos < len(self.data) and self.data[self.pos] in b" \t\n\r":
            self.pos += 1

    def peek(self) -> int:
        return self.data[self.pos] if self.pos < len(self.data) else -1

    def expect(self, octet: bytes):
        if not self.data.startswith(octet, self.pos):
            self.fail(f"expected {octet!r}")
        self.pos += len(octet)

    def value(self, depth: int):
        self.skip_space()
        first = self.peek()
        if first in (ord("{"), ord("[")):
            if depth >= MAX_JSON_DEPTH:
                self.fail("nested too deeply")
            return self.object(depth) if first == ord("{") else self.array(depth)
        if first == ord('"'):
            return self.string()
        for word, result in ((b"true", True), (b"false", False), (b"null", None)):
            if self.data.startswith(word, self.pos):
                self.pos += len(word)
                return result
        match = _NUMBER.match(self.data, self.pos)
        if not match:
            self.fail("expected a value")
        self.pos = match.end()
        return JsonNumber(match.group())

    def array(self, depth: int) -> list:
        self.pos += 1
        items = []
        self.skip_space()
        if self.peek() == ord("]"):
            self.pos += 1
            return items
        while True:
            items.append(self.value(depth + 1))
            self.skip_space()
            if self.peek() != ord(","):
                break
            self.pos += 1
        self.expect(b"]")
        return items

    def object(self, depth: int) -> JsonObject:
        self.pos += 1
        members = JsonObject()
        self.skip_space()
        if self.peek() == ord("}"):
            self.pos += 1
            return members
        while True:
            self.skip_space()
            if self.peek() != ord('"'):
                self.fail("expected a member name")
            key = self.string()
            self.skip_space()
            self.expect(b":")
            members.append((key, self.value(depth + 1)))
            self.skip_space()
            if self.peek() != ord(","):
                break
            self.pos += 1
        self.expect(b"}")
        return members

    def hex_unit(self) -> int:
        if not _HEX4.fullmatch(self.data, self.pos, self.pos + 4):
            self.fail("bad \\u escape")
        self.pos += 4
        return int(self.data[self.pos - 4:self.pos], 16)

    def string(self) -> bytes:
        self.pos += 1  # the opening quotation mark
        out = bytearray()
        while self.pos < len(self.data):
            octet = self.data[self.pos]
            self.pos += 1
            if octet == ord('"'):
                return bytes(out)
            if octet < 0x20:
                self.fail("unescaped control octet")
            if octet != ord("\\"):
                out.append(octet)
                continue
            escape = self.peek()
            self.pos += 1
            if escape in _SIMPLE_ESCAPES:
                out += _SIMPLE_ESCAPES[escape]
            elif escape == ord("u"):
                unit = self.hex_unit()
                if 0xDC00 <= unit <= 0xDFFF:
                    self.fail("unpaired low surrogate")
                if 0xD800 <= unit <= 0xDBFF:
                    self.expect(b"\\u")
                    low = self.hex_unit()
                    if not 0xDC00 <= low <= 0xDFFF:
                        self.fail("unpaired high surrogate")
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)
                out += chr(unit).encode("utf-8")
            else:
                self.fail("bad escape")
        self.fail("unterminated string")


def parse_json(data: bytes):
    """The one value in `data`: JsonObject, list, bytes (a string), JsonNumber, True,
    False or None. Raises JsonSyntaxError for anything RFC 8259 does not allow."""
    reader = _Reader(bytes(data))
    result = reader.value(0)
    reader.skip_space()
    if reader.pos != len(reader.data):
        reader.fail("text after the value")
    return result


# ---------------------------------------------------------------- encodings


def json_escape(octets: bytes) -> bytes:
    """The body of a JSON string holding `octets`: only ", \\ and octets below 0x20 are
    escaped; everything else, 0x80 and up included, is copied."""
    named = {0x22: b'\\"', 0x5C: b"\\\\", 0x09: b"\\t", 0x0A: b"\\n", 0x0D: b"\\r"}
    out = bytearray()
    for octet in octets:
        if octet in named:
            out += named[octet]
        elif octet < 0x20:
            out += b"\\u%04x" % octet
        else:
            out.append(octet)
    return bytes(out)


def b64(octets: bytes) -> str:
    return base64.b64encode(octets).decode("ascii")


def canonical_b64_decode(text: bytes) -> bytes | None:
    """The octets whose one Base64 text (standard alphabet, "=" fill) is `text`, or None.
    Decoding then re-encoding refuses stray fill, non-zero unused bits and white space."""
    try:
        octets = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return None
    return octets if base64.b64encode(octets) == text else None


def is_psk(psk) -> bool:
    return isinstance(psk, str) and re.fullmatch("[0-9a-f]{64}", psk) is not None


# ---------------------------------------------------------------- keys and primitives

_CURVE = ec.SECP256R1()


def private_key(scalar: bytes) -> ec.EllipticCurvePrivateKey:
    """The key of a 32-octet big-endian scalar in [1, n-1]; ValueError otherwise."""
    if len(scalar) != SCALAR_SIZE or not 0 < int.from_bytes(scalar, "big") < P256_ORDER:
        raise ValueError("not a P-256 private scalar")
    return ec.derive_private_key(int.from_bytes(scalar, "big"), _CURVE)


def point_of(key) -> bytes:
    """65-octet uncompressed point 04 || X || Y of a private or public key."""
    public = key.public_key() if hasattr(key, "public_key") else key
    return public.public_bytes(Encoding.X962, PublicFormat.UncompressedPoint)


def public_raw(scalar: bytes) -> bytes:
    """The 64-octet raw public key X || Y of a private scalar."""
    return point_of(private_key(scalar))[1:]


def public_key_of_point(point: bytes) -> ec.EllipticCurvePublicKey:
    """The key of a 65-octet uncompressed point; ValueError unless it lies on P-256."""
    if len(point) != POINT_SIZE or point[0] != 0x04:
        raise ValueError("not an uncompressed point")
    return ec.EllipticCurvePublicKey.from_encoded_point(_CURVE, point)


def shared_secret(scalar: bytes, peer_point: bytes) -> bytes:
    """X coordinate of scalar * peer, 32 octets."""
    return private_key(scalar).exchange(ec.ECDH(), public_key_of_point(peer_point))


def kdf_info(ephemeral_point: bytes, fleet_point: bytes) -> bytes:
    return DOMAIN + ephemeral_point + fleet_point


def hkdf_sha256(secret: bytes, salt: bytes, info: bytes, length: int = KEY_SIZE) -> bytes:
    return HKDF(algorithm=hashes.SHA256(), length=length, salt=salt, info=info).derive(secret)


def envelope_key(secret: bytes, salt: bytes, ephemeral_point: bytes,
                 fleet_point: bytes) -> bytes:
    return hkdf_sha256(secret, salt, kdf_info(ephemeral_point, fleet_point))


def payload_for(ssid: bytes, psk: str) -> bytes:
    return (b'{"networks":[{"ssid":"' + json_escape(ssid) + b'","psk":"' + psk.encode("ascii")
            + b'"}]}')


def envelope_text(ephemeral_point: bytes, salt: bytes, nonce: bytes, sealed: bytes,
                  fmt: str = DOMAIN.decode("ascii")) -> str:
    return ('{\n'
            f'  "format": "{fmt}",\n'
            f'  "eph_pub": "{b64(ephemeral_point)}",\n'
            f'  "salt": "{b64(salt)}",\n'
            f'  "nonce": "{b64(nonce)}",\n'
            f'  "sealed": "{b64(sealed)}"\n'
            '}\n')


# ---------------------------------------------------------------- sealing


@dataclasses.dataclass(frozen=True)
class Sealing:
    """Every value of one sealing, in the order they arise."""
    fleet_point: bytes
    ephemeral_scalar: bytes
    ephemeral_point: bytes
    shared_secret: bytes
    salt: bytes
    info: bytes
    envelope_key: bytes
    nonce: bytes
    payload: bytes
    sealed: bytes
    envelope: str


def seal_payload(fleet_public_raw64: bytes, payload: bytes, salt: bytes | None = None,
                 nonce: bytes | None = None, ephemeral_scalar: bytes | None = None) -> Sealing:
    """Seals any payload octets; None draws a fresh salt, nonce or ephemeral key."""
    if len(fleet_public_raw64) != RAW_PUBLIC_SIZE:
        raise BuildError("fleet public key must be 64 octets")
    fleet_point = b"\x04" + bytes(fleet_public_raw64)
    try:
        public_key_of_point(fleet_point)
    except ValueError as error:
        raise BuildError("fleet public key is not a P-256 point") from error
    if ephemeral_scalar is None:
        ephemeral_scalar = ec.generate_private_key(_CURVE).private_numbers().private_value \
            .to_bytes(SCALAR_SIZE, "big")
    try:
        ephemeral_point = point_of(private_key(ephemeral_scalar))
    except ValueError as error:
        raise BuildError("ephemeral scalar is not a P-256 scalar") from error
    salt = os.urandom(DRAWN_SALT_SIZE) if salt is None else bytes(salt)
    nonce = os.urandom(NONCE_SIZE) if nonce is None else bytes(nonce)
    if not salt:
        raise BuildError("salt is empty")
    if len(nonce) != NONCE_SIZE:
        raise BuildError("nonce must be 12 octets")
    secret = shared_secret(ephemeral_scalar, fleet_point)
    info = kdf_info(ephemeral_point, fleet_point)
    key = hkdf_sha256(secret, salt, info)
    sealed = AESGCM(key).encrypt(nonce, bytes(payload), DOMAIN)
    return Sealing(fleet_point, bytes(ephemeral_scalar), ephemeral_point, secret, salt, info,
                   key, nonce, bytes(payload), sealed,
                   envelope_text(ephemeral_point, salt, nonce, sealed))


def build_envelope(fleet_public_raw64: bytes, ssid: bytes, psk: str, salt: bytes | None = None,
                   nonce: bytes | None = None, ephemeral_scalar: bytes | None = None) -> str:
    """The envelope text sealing one network for the holder of the fleet private key."""
    if not isinstance(ssid, (bytes, bytearray)) or not ssid:
        raise BuildError("ssid must be a non-empty octet string")
    if not is_psk(psk):
        raise BuildError("psk must be 64 lowercase hex characters")
    return seal_payload(fleet_public_raw64, payload_for(bytes(ssid), psk), salt, nonce,
                        ephemeral_scalar).envelope


# ---------------------------------------------------------------- opening


def _read_payload(plaintext: bytes) -> tuple[bytes, str]:
    try:
        document = parse_json(plaintext)
    except JsonSyntaxError as error:
        raise PayloadError(f"payload is not JSON: {error}") from None
    if not (isinstance(document, JsonObject) and len(document) == 1
            and document[0][0] == b"networks" and isinstance(document[0][1], list)):
        raise PayloadError('payload is not an object holding only a "networks" array')
    networks = document[0][1]
    if len(networks) != 1:
        raise PayloadError(f"payload holds {len(networks)} networks, not one")
    network = networks[0]
    if not isinstance(network, JsonObject):
        raise PayloadError("payload network is not an object")
    keys = [key for key, _ in network]
    if sorted(keys) != [b"psk", b"ssid"]:
        raise PayloadError(f"payload network members are {keys!r}, not ssid and psk once each")
    values = dict(network)
    ssid, psk = values[b"ssid"], values[b"psk"]
    if type(ssid) is not bytes or not ssid:
        raise PayloadError("payload ssid is not a non-empty string")
    if len(ssid) > MAX_SSID_SIZE:
        raise PayloadError(f"payload ssid has {len(ssid)} octets, more than {MAX_SSID_SIZE}")
    if type(psk) is not bytes or not re.fullmatch(rb"[0-9a-f]{64}", psk):
        raise PayloadError("payload psk is not 64 lowercase hex characters")
    return ssid, psk.decode("ascii")


def open_envelope(text: str | bytes, fleet_private_scalar: bytes) -> tuple[bytes, str]:
    """(ssid octets, psk) of an envelope in any JSON layout; raises an EnvelopeError
    subclass naming the first fault found."""
    try:
        data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    except UnicodeEncodeError:
        raise EnvelopeSyntaxError("envelope text cannot be written as UTF-8") from None
    if len(data) > MAX_ENVELOPE_SIZE:
        raise EnvelopeSyntaxError("envelope is larger than 64 KiB")
    try:
        document = parse_json(data)
    except JsonSyntaxError as error:
        raise EnvelopeSyntaxError(f"envelope is not JSON: {error}") from None
    if not isinstance(document, JsonObject):
        raise EnvelopeSyntaxError("envelope is not a JSON object")

    members: dict[bytes, object] = {}
    for key, value in document:
        if key not in MEMBERS:
            raise EnvelopeMemberError(f"unknown member {key!r}")
        if key in members:
            raise EnvelopeMemberError(f"member {key!r} appears more than once")
        members[key] = value
    for key in MEMBERS:
        if key not in members:
            raise EnvelopeMemberError(f"member {key!r} is missing")
        if type(members[key]) is not bytes:
            raise EnvelopeMemberError(f"member {key!r} is not a string")
    if members[b"format"] != DOMAIN:
        raise UnsupportedFormatError(f"format {members[b'format']!r} is not {DOMAIN!r}")

    decoded = {}
    for key in MEMBERS[1:]:
        decoded[key] = canonical_b64_decode(members[key])
        if decoded[key] is None:
            raise EnvelopeEncodingError(f"member {key!r} is not canonical Base64")
    ephemeral_point, salt, nonce, sealed = (decoded[key] for key in MEMBERS[1:])
    try:
        public_key_of_point(ephemeral_point)
    except ValueError:
        raise EnvelopeValueError("eph_pub is not an uncompressed P-256 point") from None
    if not salt:
        raise EnvelopeValueError("salt is empty")
    if len(nonce) != NONCE_SIZE:
        raise EnvelopeValueError(f"nonce has {len(nonce)} octets, not 12")
    if len(sealed) < TAG_SIZE:
        raise EnvelopeValueError(f"sealed has {len(sealed)} octets, fewer than the tag")

    try:
        fleet_key = private_key(bytes(fleet_private_scalar))
    except ValueError:
        raise FleetKeyError("fleet private key is not a P-256 scalar") from None
    secret = shared_secret(bytes(fleet_private_scalar), ephemeral_point)
    key = envelope_key(secret, salt, ephemeral_point, point_of(fleet_key))
    try:
        plaintext = AESGCM(key).decrypt(nonce, sealed, DOMAIN)
    except InvalidTag:
        raise AuthenticationError("envelope does not open with this key") from None
    return _read_payload(plaintext)
