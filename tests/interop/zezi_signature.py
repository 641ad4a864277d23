"""tolvane-wifi-drive-sig/v1 signature files and the device's replay state, implemented a
second time from docs/format.md.

Like zezi_envelope.py it shares no code with the C++ library: Python's `cryptography`
package multiplies points and verifies, and everything else is written out here, signing
included: k comes from RFC 6979 (so the published vectors are the same on every run) and
r and s from plain modular arithmetic, which any `cryptography` from 38 on can serve.
"""

from __future__ import annotations

import dataclasses
import hashlib
import hmac
import struct

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, utils

import zezi_envelope as z

DOMAIN = b"tolvane-wifi-drive-sig/v1"
MEMBERS = (b"format", b"statement", b"signature")
STATEMENT_SIZE = 120
INTEGER_SIZE = 32
SIGNATURE_SIZE = 2 * INTEGER_SIZE
MAX_FILE_SIZE = 1024
MAX_SIGNERS = 4
MAX_CLOCK_SKEW = 300
HALF_ORDER = (z.P256_ORDER - 1) // 2
MAX_SET_SIZE = 16
RECORD_MAGIC = b"ZVRS"
RECORD_VERSION = 3
RECORD_SIZE = 1584
RECORD_V2_SIZE = 160  # the versions before sets, still read
RECORD_V1_SIZE = 96
TRUST_DOMAIN = b"tolvane-wifi-drive-trust/v1"
STATEMENT_LAYOUT = struct.Struct(">32s32s32sQQQ")
# Each record ends in a 32-octet checksum. Versions 1 and 2: magic, version, key index
# (version 1) or zero, trust-list version, serial, time floor, envelope hash; version 2 adds
# key id and digest. Version 3: magic, version, zero, trust-list version, serial, time
# floor, key id, digest, set key id, set serial, count, carried flag, padding; then 16
# member slots.
RECORD_V1_LAYOUT = struct.Struct(">4sHHQQQ32s")
RECORD_V2_LAYOUT = struct.Struct(">4sHHQQQ32s32s32s")
RECORD_LAYOUT = struct.Struct(">4sHHQQQ32s32s32sQBB6s")
MEMBER_LAYOUT = struct.Struct(">32sQQB32s7s")

# The device's checks, in the order they run; a failure names the first that fails.
CHECKS = ("state", "trust-list", "missing", "size", "json", "format", "encoding", "unknown-signer",
          "superseded", "canonical", "verify", "fleet", "envelope", "malformed", "expired",
          "not-yet-valid", "serial-older", "serial-reused", "set-full", "set-ssid")


class SignatureError(Exception):
    """A signature check failed; `check` is its name in CHECKS."""

    def __init__(self, check: str, detail: str):
        assert check in CHECKS, check
        super().__init__(f"{check}: {detail}")
        self.check = check


class TrustListError(ValueError):
    """Firmware settings that must not become a trust list."""


def sha256(octets: bytes) -> bytes:
    return hashlib.sha256(octets).digest()


def key_id(raw64: bytes) -> bytes:
    """SHA-256 of the 65-octet uncompressed point 04 || X || Y."""
    return sha256(b"\x04" + bytes(raw64))


# ---------------------------------------------------------------- statement and signature


@dataclasses.dataclass(frozen=True)
class Statement:
    signer_key_id: bytes
    fleet_id: bytes
    envelope_sha256: bytes
    serial: int
    issued_at: int
    expires_at: int

    def encode(self) -> bytes:
        return STATEMENT_LAYOUT.pack(self.signer_key_id, self.fleet_id, self.envelope_sha256,
                                     self.serial, self.issued_at, self.expires_at)

    @staticmethod
    def decode(octets: bytes) -> Statement:
        return Statement(*STATEMENT_LAYOUT.unpack(octets))


def signed_message(statement_octets: bytes) -> bytes:
    """M = domain || 00 || statement."""
    return DOMAIN + b"\x00" + bytes(statement_octets)


def rfc6979_nonces(scalar: int, digest: bytes):
    """The candidates for k of RFC 6979 section 3.2 for P-256 and SHA-256, in order:
    HMAC-DRBG seeded with the scalar and the digest reduced modulo n."""
    def mac(key: bytes, data: bytes) -> bytes:
        return hmac.new(key, data, hashlib.sha256).digest()

    seed = scalar.to_bytes(INTEGER_SIZE, "big") + (
        int.from_bytes(digest, "big") % z.P256_ORDER).to_bytes(INTEGER_SIZE, "big")
    v, k = b"\x01" * 32, b"\x00" * 32
    for separator in (b"\x00", b"\x01"):
        k = mac(k, v + separator + seed)
        v = mac(k, v)
    while True:
        v = mac(k, v)  # one HMAC output is exactly the 256 bits of n
        candidate = int.from_bytes(v, "big")
        if 1 <= candidate < z.P256_ORDER:
            yield candidate
        k = mac(k, v + b"\x00")
        v = mac(k, v)


def ecdsa_sign(signer_scalar: bytes, message: bytes) -> tuple[int, int]:
    """(r, s) over SHA-256(message) with the RFC 6979 k, s as computed (not folded)."""
    z.private_key(signer_scalar)  # ValueError unless a scalar in [1, n - 1]
    d = int.from_bytes(signer_scalar, "big")
    digest = sha256(message)
    e = int.from_bytes(digest, "big")
    for k in rfc6979_nonces(d, digest):
        kg = z.private_key(k.to_bytes(INTEGER_SIZE, "big")).public_key().public_numbers()
        r = kg.x % z.P256_ORDER
        s = pow(k, -1, z.P256_ORDER) * (e + r * d) % z.P256_ORDER
        if r and s:  # otherwise the next candidate (RFC 6979 3.2, step h.3)
            break
    return r, s


def sign_raw(signer_scalar: bytes, message: bytes) -> bytes:
    """r || s over SHA-256(message), k from RFC 6979, s folded into the low half."""
    r, s = ecdsa_sign(signer_scalar, message)
    if s > HALF_ORDER:
        s = z.P256_ORDER - s
    return r.to_bytes(INTEGER_SIZE, "big") + s.to_bytes(INTEGER_SIZE, "big")


def is_canonical(signature: bytes) -> bool:
    if len(signature) != SIGNATURE_SIZE:
        return False
    r = int.from_bytes(signature[:INTEGER_SIZE], "big")
    s = int.from_bytes(signature[INTEGER_SIZE:], "big")
    return 1 <= r < z.P256_ORDER and 1 <= s <= HALF_ORDER


def verifies(raw64: bytes, message: bytes, signature: bytes) -> bool:
    """Whether a canonical raw signature verifies under the raw public key."""
    r = int.from_bytes(signature[:INTEGER_SIZE], "big")
    s = int.from_bytes(signature[INTEGER_SIZE:], "big")
    try:
        z.public_key_of_point(b"\x04" + bytes(raw64)).verify(
            utils.encode_dss_signature(r, s), message, ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        return False
    return True


def file_text(statement_octets: bytes, signature: bytes, fmt: str = DOMAIN.decode()) -> str:
    return ('{\n'
            f'  "format": "{fmt}",\n'
            f'  "statement": "{z.b64(statement_octets)}",\n'
            f'  "signature": "{z.b64(signature)}"\n'
            '}\n')


def make_statement(signer_scalar: bytes, fleet_raw64: bytes, envelope: bytes, serial: int,
                   issued_at: int, expires_at: int) -> Statement:
    return Statement(key_id(z.public_raw(signer_scalar)), key_id(fleet_raw64), sha256(envelope),
                     serial, issued_at, expires_at)


def sign_envelope(signer_scalar: bytes, fleet_raw64: bytes, envelope: bytes, serial: int,
                  issued_at: int, expires_at: int) -> str:
    """The signature file of `envelope` (its exact octets)."""
    if z.public_raw(signer_scalar) == bytes(fleet_raw64):
        raise ValueError("the fleet key must never sign")
    if serial < 1 or expires_at <= issued_at:
        raise ValueError("serial below 1 or expiry not after issue")
    octets = make_statement(signer_scalar, fleet_raw64, envelope, serial, issued_at,
                            expires_at).encode()
    return file_text(octets, sign_raw(signer_scalar, signed_message(octets)))


# ---------------------------------------------------------------- trust list and state


@dataclasses.dataclass(frozen=True)
class TrustList:
    signers: tuple[bytes, ...]  # raw 64-octet keys, index 0 the current signer
    fleet: bytes                # raw 64-octet fleet key
    version: int = 0
    serial_floor: int = 0
    time_floor: int = 0

    @property
    def signer_ids(self) -> list[bytes]:
        return [key_id(key) for key in self.signers]

    @property
    def digest(self) -> bytes:
        """SHA-256 of the domain, 00, the version and floors and every point in order."""
        return sha256(TRUST_DOMAIN + b"\x00"
                      + struct.pack(">QQQ", self.version, self.serial_floor, self.time_floor)
                      + b"".join(b"\x04" + key for key in (self.fleet,) + self.signers))


def load_trust_list(signers, fleet: bytes, version: int = 0, serial_floor: int = 0,
                    time_floor: int = 0) -> TrustList:
    signers = tuple(bytes(key) for key in signers)
    if not 1 <= len(signers) <= MAX_SIGNERS:
        raise TrustListError(f"{len(signers)} signer keys, not 1 to 4")
    for key in (bytes(fleet),) + signers:
        try:
            z.public_key_of_point(b"\x04" + key)
        except ValueError:
            raise TrustListError("a key is not a P-256 point") from None
    if len(set(signers)) != len(signers):
        raise TrustListError("a signer key appears twice")
    if bytes(fleet) in signers:
        raise TrustListError("a signer key is the fleet key")
    return TrustList(signers, bytes(fleet), version, serial_floor, time_floor)


@dataclasses.dataclass(frozen=True)
class Member:
    """One network of the set: its envelope, and once that has opened here, its SSID."""
    envelope_sha256: bytes
    issued_at: int = 0         # 0 while unknown (carried over from a record of version 1 or 2)
    expires_at: int = 0
    ssid: bytes | None = None  # likewise unknown

    def as_json(self) -> dict:
        return {"envelope_sha256": self.envelope_sha256.hex(), "issued_at": self.issued_at,
                "expires_at": self.expires_at,
                "ssid_hex": None if self.ssid is None else self.ssid.hex()}


@dataclasses.dataclass(frozen=True)
class ReplayState:
    trust_list_version: int = 0
    trust_list_digest: bytes = bytes(32)
    key_id: bytes = bytes(32)  # the highest accepted key, signer 0 on a fresh device
    highest_serial: int = 0    # of that key
    time_floor: int = 0        # of that key
    set_key_id: bytes = bytes(32)  # zeros until a signed envelope is accepted
    set_serial: int = 0
    set_carried: bool = False  # accepted under an older trust list
    members: tuple[Member, ...] = ()  # the set, in the order accepted
    legacy_key_index: int | None = None  # a version-1 record's key index, mapped on use

    @property
    def has_accepted(self) -> bool:
        return self.set_key_id != bytes(32)

    @property
    def set_is_current(self) -> bool:
        """Whether an envelope of key `key_id` and serial `highest_serial` joins the set."""
        return (not self.set_carried and self.has_accepted and self.set_key_id == self.key_id
                and self.set_serial == self.highest_serial)

    def member(self, envelope_sha256: bytes) -> Member | None:
        return next((m for m in self.members if m.envelope_sha256 == envelope_sha256), None)

    def encode(self) -> bytes:
        """Version 3, or version 1 again for a state read from one and not mapped since."""
        if self.legacy_key_index is not None:
            assert len(self.members) <= 1 and all(m.ssid is None for m in self.members)
            accepted = self.members[0].envelope_sha256 if self.members else bytes(32)
            body = RECORD_V1_LAYOUT.pack(RECORD_MAGIC, 1, self.legacy_key_index,
                                         self.trust_list_version, self.highest_serial,
                                         self.time_floor, accepted)
            return body + sha256(body)
        problem = set_problem(self)
        if problem:
            raise ValueError(f"no record holds this state: {problem}")
        body = RECORD_LAYOUT.pack(RECORD_MAGIC, RECORD_VERSION, 0, self.trust_list_version,
                                  self.highest_serial, self.time_floor, self.key_id,
                                  self.trust_list_digest, self.set_key_id, self.set_serial,
                                  len(self.members), int(self.set_carried), bytes(6))
        for m in self.members:
            ssid = m.ssid or b""
            body += MEMBER_LAYOUT.pack(m.envelope_sha256, m.issued_at, m.expires_at, len(ssid),
                                       ssid, bytes(7))
        body += bytes(MEMBER_LAYOUT.size * (MAX_SET_SIZE - len(self.members)))
        return body + sha256(body)

    def as_json(self) -> dict:
        return {"trust_list_version": self.trust_list_version,
                "trust_list_digest": self.trust_list_digest.hex(), "key_id": self.key_id.hex(),
                "highest_serial": self.highest_serial, "time_floor": self.time_floor,
                "set_key_id": self.set_key_id.hex(), "set_serial": self.set_serial,
                "set_carried": self.set_carried, "set": [m.as_json() for m in self.members]}


def set_problem(state: ReplayState) -> str:
    """Why no version-3 record may hold this set, or "" when one may."""
    if len(state.members) > MAX_SET_SIZE:
        return f"{len(state.members)} networks"
    if state.members and not state.has_accepted:
        return "networks without a set key"
    hashes = [m.envelope_sha256 for m in state.members]
    ssids = [m.ssid for m in state.members if m.ssid is not None]
    if any(not 1 <= len(ssid) <= z.MAX_SSID_SIZE for ssid in ssids):
        return "an SSID of no length or over 32 octets"
    if len(set(hashes)) != len(hashes) or len(set(ssids)) != len(ssids):
        return "two networks with the same envelope or SSID"
    return ""


def fresh_state(trust: TrustList) -> ReplayState:
    return ReplayState(trust.version, trust.digest, trust.signer_ids[0], trust.serial_floor,
                       trust.time_floor)


def _decode_older(record: bytes) -> ReplayState | None:
    """Versions 1 and 2: the envelope accepted last becomes a current set of one, its SSID
    and times unknown until it is read again."""
    layout = RECORD_V1_LAYOUT if len(record) == RECORD_V1_SIZE else RECORD_V2_LAYOUT
    magic, version, index, trust_version, serial, floor, accepted, *ids = layout.unpack(
        record[:-32])
    if version != (1 if layout is RECORD_V1_LAYOUT else 2) or (ids and index != 0):
        return None
    key, digest = ids or (bytes(32), bytes(32))
    state = ReplayState(trust_version, digest, key, serial, floor,
                        legacy_key_index=None if ids else index)
    if accepted == bytes(32):
        return state
    # A version-1 record's set key is its key's, once the index is mapped.
    return dataclasses.replace(state, set_key_id=key, set_serial=serial,
                               members=(Member(accepted),))


def decode_record(record: bytes) -> ReplayState | None:
    """The state in a record of any version, or None for any record the reference store
    would not write."""
    record = bytes(record)
    if (len(record) not in (RECORD_SIZE, RECORD_V2_SIZE, RECORD_V1_SIZE)
            or record[:4] != RECORD_MAGIC or sha256(record[:-32]) != record[-32:]):
        return None
    if len(record) != RECORD_SIZE:
        return _decode_older(record)
    (_, version, reserved, trust_version, serial, floor, key, digest, set_key, set_serial,
     count, carried, padding) = RECORD_LAYOUT.unpack_from(record)
    if version != RECORD_VERSION or reserved or count > MAX_SET_SIZE or carried > 1 or any(
            padding):
        return None
    members = []
    for slot in range(MAX_SET_SIZE):
        at = RECORD_LAYOUT.size + slot * MEMBER_LAYOUT.size
        octets = record[at:at + MEMBER_LAYOUT.size]
        if slot >= count:
            if any(octets):
                return None
            continue
        envelope_hash, issued, expires, length, ssid, tail = MEMBER_LAYOUT.unpack(octets)
        if length > z.MAX_SSID_SIZE or any(ssid[length:]) or any(tail):
            return None
        members.append(Member(envelope_hash, issued, expires, ssid[:length] or None))
    state = ReplayState(trust_version, digest, key, serial, floor, set_key, set_serial,
                        bool(carried), tuple(members))
    return None if set_problem(state) else state


def stored_state(record: bytes, trust: TrustList) -> ReplayState | None:
    """What the store hands over: empty octets are a fresh device, a bad record None."""
    return fresh_state(trust) if not record else decode_record(record)


# ---------------------------------------------------------------- verification


@dataclasses.dataclass(frozen=True)
class Verified:
    is_signed: bool
    key_index: int = 0
    statement: Statement | None = None


def usable_state(state: ReplayState | None, trust: TrustList) -> tuple[ReplayState, int]:
    """The state to check against and its key's index, or SignatureError."""
    if state is None:
        raise SignatureError("state", "replay state unreadable")
    if state.trust_list_version < trust.version:
        fresh = fresh_state(trust)
        # The set stays known, carried; a version-1 record's key was a place in a list that
        # is gone, so its set has no key to be carried under.
        if state.has_accepted and state.legacy_key_index is None:
            fresh = dataclasses.replace(fresh, set_key_id=state.set_key_id,
                                        set_serial=state.set_serial, set_carried=True,
                                        members=state.members)
        state = fresh
    elif state.legacy_key_index is not None:
        index = state.legacy_key_index
        if state.trust_list_version > trust.version:
            raise SignatureError("trust-list", "a version-1 record of a newer list")
        if index >= len(trust.signers):
            raise SignatureError("state", f"key index {index} beyond the list")
        key = trust.signer_ids[index]
        serial = max(state.highest_serial, trust.serial_floor) if index == 0 \
            else state.highest_serial
        state = dataclasses.replace(state, legacy_key_index=None, key_id=key,
                                    trust_list_digest=trust.digest, highest_serial=serial,
                                    time_floor=max(state.time_floor, trust.time_floor),
                                    set_key_id=key if state.members else bytes(32))
    elif state.trust_list_digest != trust.digest:
        raise SignatureError("trust-list", "written under another trust list")
    if state.key_id not in trust.signer_ids:
        raise SignatureError("state", "names a key the list does not have")
    return state, trust.signer_ids.index(state.key_id)


def _read_file(text: bytes) -> tuple[bytes, bytes]:
    try:
        document = z.parse_json(text)
    except z.JsonSyntaxError as error:
        raise SignatureError("json", f"not JSON: {error}") from None
    if not isinstance(document, z.JsonObject):
        raise SignatureError("json", "not an object")
    members = {}
    for key, value in document:
        if key not in MEMBERS:
            raise SignatureError("json", f"unknown member {key!r}")
        if key in members:
            raise SignatureError("json", f"member {key!r} repeated")
        members[key] = value
    for key in MEMBERS:
        if type(members.get(key)) is not bytes:
            raise SignatureError("json", f"member {key!r} missing or not a string")
    if members[b"format"] != DOMAIN:
        raise SignatureError("format", f"format {members[b'format']!r}")
    statement = z.canonical_b64_decode(members[b"statement"])
    signature = z.canonical_b64_decode(members[b"signature"])
    if statement is None or signature is None:
        raise SignatureError("encoding", "not canonical Base64")
    if len(statement) != STATEMENT_SIZE or len(signature) != SIGNATURE_SIZE:
        raise SignatureError("encoding", f"{len(statement)} and {len(signature)} octets")
    return statement, signature


def verify(envelope: bytes, signature_file: bytes | None, trust: TrustList,
           state: ReplayState | None, policy: str = "required",
           now: int | None = None) -> tuple[Verified, ReplayState | None]:
    """(what was verified, the state to commit) or SignatureError. `state` None stands for
    a store that could not read its record. The envelope is not opened here, so a member
    the state gains has no SSID yet: open_signed_envelope records it."""
    current, current_index = usable_state(state, trust)
    if signature_file is None:
        if policy != "transition" or current.has_accepted:
            raise SignatureError("missing", "no signature file")
        return Verified(False), current
    if len(signature_file) > MAX_FILE_SIZE:
        raise SignatureError("size", f"{len(signature_file)} octets")
    octets, signature = _read_file(bytes(signature_file))
    statement = Statement.decode(octets)
    ids = trust.signer_ids
    if statement.signer_key_id not in ids:
        raise SignatureError("unknown-signer", statement.signer_key_id.hex())
    index = ids.index(statement.signer_key_id)
    if index < current_index:
        raise SignatureError("superseded", f"key {index} below {current_index}")
    if not is_canonical(signature):
        raise SignatureError("canonical", signature.hex())
    if not verifies(trust.signers[index], signed_message(octets), signature):
        raise SignatureError("verify", "signature does not verify")
    if statement.fleet_id != key_id(trust.fleet):
        raise SignatureError("fleet", "another fleet")
    if statement.envelope_sha256 != sha256(bytes(envelope)):
        raise SignatureError("envelope", "another envelope")
    if statement.serial == 0 or statement.expires_at <= statement.issued_at:
        raise SignatureError("malformed", "serial 0 or expiry not after issue")
    # Each key has its own time floor; a successor answers to the firmware's alone.
    floor = current.time_floor if index == current_index else trust.time_floor
    if statement.expires_at <= floor or (now is not None and now >= statement.expires_at):
        raise SignatureError("expired", f"expires at {statement.expires_at}")
    if now is not None and statement.issued_at - now > MAX_CLOCK_SKEW:
        raise SignatureError("not-yet-valid", f"issued at {statement.issued_at}")
    verified = Verified(True, index, statement)
    joining = Member(statement.envelope_sha256, statement.issued_at, statement.expires_at)
    if index == current_index and statement.serial <= current.highest_serial:
        if statement.serial < current.highest_serial:
            raise SignatureError("serial-older", f"{statement.serial} < {current.highest_serial}")
        if not current.set_is_current:
            raise SignatureError("serial-reused", f"serial {statement.serial}, set not current")
        member = current.member(statement.envelope_sha256)
        if member is not None:
            if member.ssid is not None:
                return verified, current
            # Carried from an older record: its times are learnt now, its SSID on opening.
            return verified, _replace_member(current, joining)
        if len(current.members) >= MAX_SET_SIZE:
            raise SignatureError("set-full", f"serial {statement.serial}")
        return verified, dataclasses.replace(
            current, members=current.members + (joining,),
            time_floor=max(current.time_floor, statement.issued_at))
    # A newer serial, or a successor key: a new set of this envelope alone.
    return verified, ReplayState(trust.version, trust.digest, ids[index], statement.serial,
                                 max(floor, statement.issued_at), ids[index], statement.serial,
                                 False, (joining,))


def _replace_member(state: ReplayState, member: Member) -> ReplayState:
    return dataclasses.replace(state, members=tuple(
        member if m.envelope_sha256 == member.envelope_sha256 else m for m in state.members))


def record_opened(verified: Verified, ssid: bytes, state: ReplayState) -> ReplayState:
    """The state once the envelope has opened: its member learns the SSID, unless another
    member holds that SSID (SignatureError "set-ssid")."""
    if not verified.is_signed:
        return state
    own = state.member(verified.statement.envelope_sha256)
    if any(m is not own and m.ssid == ssid for m in state.members):
        raise SignatureError("set-ssid", f"another envelope of the set holds {ssid!r}")
    assert own is not None and own.ssid in (None, ssid)
    return _replace_member(state, dataclasses.replace(own, ssid=ssid))


def open_signed_envelope(envelope: bytes, signature_file: bytes | None, trust: TrustList,
                         state: ReplayState | None, fleet_scalar: bytes,
                         policy: str = "required", now: int | None = None):
    """((ssid, psk), Verified, new state): verify, open the envelope, record its SSID."""
    verified, new_state = verify(envelope, signature_file, trust, state, policy, now)
    network = z.open_envelope(envelope, fleet_scalar)
    return network, verified, record_opened(verified, network[0], new_state)
