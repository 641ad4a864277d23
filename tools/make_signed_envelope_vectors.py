#!/usr/bin/env python3
"""Writes tests/vectors/signed_envelopes.json, the published signed-envelope vectors.

Each sequence is what one device sees, step by step: an envelope, its signature file (or
none), the trust list, policy and clock, and the expected outcome and replay state after
the step. Everything comes from the Python implementation in tests/interop/ with fixed keys
and RFC 6979 signatures, so the file is the same on every run; --check compares instead of
writing. The "message" of a refusal is the text the C++ openSignedEnvelope gives, which
tests/opener/envelope_vectors_test.cpp checks.

usage: tools/make_signed_envelope_vectors.py [--check] [-o FILE]
"""

from __future__ import annotations

import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "interop"))
sys.path.insert(0, str(ROOT / "tools"))

import zezi_envelope as z  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import utils  # noqa: E402
import zezi_signature as sig  # noqa: E402
from make_envelope_vectors import fixed, fixed_scalar, run_generator  # noqa: E402

DEFAULT_OUTPUT = ROOT / "tests" / "vectors" / "signed_envelopes.json"
FLEET = fixed_scalar("signed/fleet")
FLEET_RAW = z.public_raw(FLEET)
OTHER_FLEET_RAW = z.public_raw(fixed_scalar("signed/other-fleet"))
SIGNERS = [fixed_scalar(f"signed/signer-{i}") for i in range(3)]
OUTSIDER = fixed_scalar("signed/outsider")
PSK = fixed("signed/psk", 32).hex()
NOW = 1_800_000_000  # 2027-01-15
DAY = 86_400
BUILD_FLOOR = NOW - 60 * DAY
MAX = 2**64 - 1

TRUST_LISTS = {
    "v1": sig.load_trust_list([z.public_raw(s) for s in SIGNERS], FLEET_RAW, 1, 0, BUILD_FLOOR),
    # The next firmware: signer 1 is now current, signer 0 is gone, serials up to 3 used.
    "v2": sig.load_trust_list([z.public_raw(s) for s in SIGNERS[1:]], FLEET_RAW, 2, 3,
                              BUILD_FLOOR),
    # v1's keys named in another order, and without signer 0, both under v1's version.
    "v1-swapped": sig.load_trust_list([z.public_raw(s) for s in (SIGNERS[1], SIGNERS[0],
                                                                 SIGNERS[2])],
                                      FLEET_RAW, 1, 0, BUILD_FLOOR),
    "v1-retired": sig.load_trust_list([z.public_raw(s) for s in SIGNERS[1:]], FLEET_RAW, 1, 0,
                                      BUILD_FLOOR),
}

# The C++ messages of each check, in check order, and openEnvelope's for the envelope step.
MESSAGES = {
    "state": "replay state is unreadable",
    "trust-list": "trust list differs from the one the replay state was written under",
    "missing": "signature file is missing",
    "size": "signature file is too large",
    "format": "signature file format is not tolvane-wifi-drive-sig/v1",
    "unknown-signer": "signature is by an unknown signer",
    "superseded": "signer key is superseded",
    "canonical": "signature is not in canonical form",
    "verify": "signature does not verify",
    "fleet": "signature is for another fleet",
    "envelope": "signature is for another envelope",
    "malformed": "signature statement is malformed",
    "expired": "signature has expired",
    "not-yet-valid": "signature is not yet valid",
    "serial-older": "signature serial is older than the last accepted",
    "serial-reused": "signature serial was already used for another envelope",
    "set-full": "signature serial's set already holds 16 networks",
    "set-ssid": "the set already holds this SSID from another envelope",
}


def envelope(label: str, ssid: bytes = b"Tournament") -> str:
    return z.build_envelope(FLEET_RAW, ssid, PSK, salt=fixed(f"{label}/salt", 16),
                            nonce=fixed(f"{label}/nonce", 12),
                            ephemeral_scalar=fixed_scalar(f"{label}/ephemeral"))


ENVELOPES = {label: envelope(label, ssid) for label, ssid in
             [("office", b"Office"), ("guests", b"Guests"), ("lab", b"Lab"),
              ("workshop", b"Workshop"), ("office-twin", b"Office")]
             + [(f"net-{n:02}", b"Net %02d" % n) for n in range(1, sig.MAX_SET_SIZE + 2)]}


def signed(label: str, signer: bytes, serial: int, issued: int = NOW - DAY,
           expires: int = NOW + 30 * DAY, fleet: bytes = FLEET_RAW) -> str:
    return sig.sign_envelope(signer, fleet, ENVELOPES[label].encode(), serial, issued, expires)


def statement_file(statement: sig.Statement, signer: bytes = SIGNERS[0]) -> str:
    """A file for any statement, even one the signer's tool would refuse to make."""
    octets = statement.encode()
    return sig.file_text(octets, sig.sign_raw(signer, sig.signed_message(octets)))


def office_statement(**changes) -> sig.Statement:
    fields = dict(serial=1, issued_at=NOW - DAY, expires_at=NOW + 30 * DAY) | changes
    return sig.make_statement(SIGNERS[0], FLEET_RAW, ENVELOPES["office"].encode(), **fields)


def relaid(file: str) -> str:
    """The same members in reverse order, compact, "/" escaped in the format."""
    values = {key.decode(): value.decode() for key, value in z.parse_json(file.encode())}
    return ('{"signature":"' + values["signature"] + '","statement":"' + values["statement"]
            + '","format":"' + values["format"].replace("/", "\\/") + '"}')


def with_signature(octets: bytes) -> str:
    return sig.file_text(office_statement().encode(), octets)


class Sequence:
    """Steps through the Python implementation, recording what each gives. Each step names
    the outcome it is written for, and the generator refuses to publish a step whose
    outcome differs: "accepted" (a signed envelope, and a new record), "unchanged" (signed,
    the record as it was), "unsigned", or the failing check."""

    def __init__(self, case_id: str, description: str, record: bytes = b""):
        self.case = {"id": case_id, "description": description,
                     "initial_state_record_hex": record.hex(), "steps": []}
        self.record = record

    def step(self, expect: str, label: str, signature: str | None, trust: str = "v1",
             policy: str = "required", now: int | None = None, text: str | None = None,
             note: str = "") -> None:
        envelope_text = ENVELOPES[label] if text is None else text
        trust_list = TRUST_LISTS[trust]
        entry = {"note": note, "trust_list": trust, "policy": policy, "now": now,
                 "envelope": envelope_text, "signature": signature}
        state = sig.stored_state(self.record, trust_list)
        before = self.record
        try:
            (ssid, psk), verified, new_state = sig.open_signed_envelope(
                envelope_text.encode(), None if signature is None else signature.encode(),
                trust_list, state, FLEET, policy, now)
        except sig.SignatureError as error:
            outcome = error.check
            entry |= {"result": "refused",
                      "error": {"check": error.check, "message": message_of(error, signature)}}
        except z.EnvelopeError as error:
            outcome = "open"
            entry |= {"result": "refused",
                      "error": {"check": "open", "exception": type(error).__name__}}
        else:
            entry |= {"result": "accepted", "signed": verified.is_signed,
                      "ssid_hex": ssid.hex(), "psk": psk}
            outcome = "unsigned"
            if verified.is_signed:
                entry |= {"key_index": verified.key_index, "serial": verified.statement.serial}
                # Committed only for a signed envelope.
                self.record = new_state.encode()
                outcome = "unchanged" if self.record == before else "accepted"
                assert sig.decode_record(self.record) == new_state, "the record loses state"
        assert outcome == expect, (self.case["id"], note, outcome, expect)
        entry["state_record_hex"] = self.record.hex()
        decoded = sig.decode_record(self.record)
        entry["state"] = None if decoded is None else decoded.as_json()
        self.case["steps"].append(entry)


def older_record(version: int, serial: int, time_floor: int, accepted: bytes,
                 key_index: int = 0, key: bytes = b"", trust: str = "v1") -> bytes:
    """A record of version 1 or 2 as earlier releases wrote it, laid out here by hand."""
    body = b"ZVRS" + version.to_bytes(2, "big") + key_index.to_bytes(2, "big")
    body += b"".join(n.to_bytes(8, "big") for n in (TRUST_LISTS[trust].version, serial,
                                                    time_floor)) + accepted
    if version == 2:
        body += key + TRUST_LISTS[trust].digest
    return body + sig.sha256(body)


def damaged(record: bytes, at: int, octets: bytes) -> bytes:
    """`record` with `octets` written at `at`, and its checksum made right again."""
    body = record[:at] + octets + record[at + len(octets):-32]
    return body + sig.sha256(body)


def message_of(error: sig.SignatureError, signature: str | None) -> str:
    """The C++ message: fixed per check, except the JSON and encoding checks, whose message
    names the member, taken from the test's own knowledge of the fault."""
    if error.check in MESSAGES:
        return MESSAGES[error.check]
    return JSON_MESSAGES[signature]


JSON_MESSAGES: dict[str, str] = {}


def form_fault(text: str, message: str) -> str:
    JSON_MESSAGES[text] = message
    return text


def sequences() -> list[dict]:
    out = []

    s = Sequence("operator-flow", "a newer serial starts a new set; the same envelope is read "
                 "at every start; nothing older gets in")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1), note="first signed envelope")
    s.step("unchanged", "office", signed("office", SIGNERS[0], 1),
           note="the same envelope read again")
    s.step("unchanged", "office", relaid(signed("office", SIGNERS[0], 1)),
           note="the same file in another JSON layout, with an escaped solidus")
    s.step("accepted", "guests", signed("guests", SIGNERS[0], 2), note="the next set")
    s.step("serial-older", "office", signed("office", SIGNERS[0], 1),
           note="the old envelope replayed")
    s.step("accepted", "lab", signed("lab", SIGNERS[0], 2),
           note="serial 2 again, for another envelope: it joins serial 2's set")
    s.step("accepted", "lab", signed("lab", SIGNERS[0], 7), note="serials may skip")
    out.append(s.case)

    s = Sequence("key-rotation", "a successor key starts its own serials and retires the "
                 "keys before it")
    s.step("accepted", "office", signed("office", SIGNERS[0], 40))
    s.step("accepted", "guests", signed("guests", SIGNERS[2], 1),
           note="signer 2 takes over at serial 1")
    s.step("superseded", "lab", signed("lab", SIGNERS[0], 41), note="signer 0 is superseded")
    s.step("superseded", "lab", signed("lab", SIGNERS[1], 99),
           note="so is signer 1, below signer 2")
    s.step("accepted", "lab", signed("lab", SIGNERS[2], 2))
    out.append(s.case)

    s = Sequence("trust-list-upgrade", "a firmware with a newer trust list starts the state "
                 "afresh, and an older firmware cannot use that state")
    s.step("accepted", "office", signed("office", SIGNERS[0], 9))
    s.step("serial-reused", "guests", signed("guests", SIGNERS[1], 3), trust="v2",
           note="serial 3 is the new list's serial floor: counted as used")
    s.step("accepted", "guests", signed("guests", SIGNERS[1], 4), trust="v2")
    s.step("unknown-signer", "lab", signed("lab", SIGNERS[0], 10), trust="v2",
           note="signer 0 is not trusted")
    s.step("trust-list", "lab", signed("lab", SIGNERS[0], 10), trust="v1",
           note="back to the older list")
    out.append(s.case)

    s = Sequence("rotation-list-order", "the state names the accepted key, not its place "
                 "in the list: another list of the same version fails closed")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1))
    s.step("accepted", "guests", signed("guests", SIGNERS[1], 1), note="signer 1 takes over")
    s.step("trust-list", "lab", signed("lab", SIGNERS[0], 2), trust="v1-swapped",
           note="the two keys named the other way round: the retired key stays out")
    s.step("trust-list", "lab", signed("lab", SIGNERS[1], 2), trust="v1-retired",
           note="the retired key dropped without a new version")
    s.step("accepted", "lab", signed("lab", SIGNERS[1], 2),
           note="the list the state was written under")
    s.step("accepted", "workshop", signed("workshop", SIGNERS[1], 4), trust="v2",
           note="dropped under a new version: a fresh state")
    out.append(s.case)

    ahead = NOW + 3650 * DAY
    s = Sequence("time-floor-per-key", "a far-future issued_at locks out its own key only; "
                 "a successor answers to the firmware's time floor")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1, ahead, ahead + DAY),
           note="signer 0 issued ten years ahead, and no clock to tell")
    s.step("expired", "guests", signed("guests", SIGNERS[0], 2),
           note="signer 0 is stuck behind it")
    s.step("accepted", "guests", signed("guests", SIGNERS[1], 1), note="signer 1 promoted")
    s.step("accepted", "lab", signed("lab", SIGNERS[1], 2), note="signer 1 goes on")
    s.step("expired", "lab", signed("lab", SIGNERS[2], 1, BUILD_FLOOR - 2 * DAY, BUILD_FLOOR),
           note="signer 2, expiring at the firmware's floor")
    s.step("accepted", "workshop",
           signed("workshop", SIGNERS[1], 5, BUILD_FLOOR - DAY, BUILD_FLOOR + 1),
           trust="v2", note="a new list version starts from the firmware's floors")
    out.append(s.case)

    office_sha = sig.sha256(ENVELOPES["office"].encode())
    s = Sequence("record-version-1", "a first-version record named the key by its index; "
                 "it is read with that index mapped to the list's key, its envelope a set of "
                 "one whose SSID is unknown, and the next commit writes version 3",
                 older_record(1, 5, NOW - DAY, office_sha, key_index=1))
    s.step("superseded", "guests", signed("guests", SIGNERS[0], 9),
           note="index 1: signer 0 is superseded")
    s.step("serial-older", "guests", signed("guests", SIGNERS[1], 4),
           note="signer 1's serials up to 5 are used")
    s.step("accepted", "office", signed("office", SIGNERS[1], 5),
           note="read again: its SSID and times learnt, written as version 3")
    s.step("accepted", "guests", signed("guests", SIGNERS[1], 5), note="joins serial 5's set")
    s.step("accepted", "guests", signed("guests", SIGNERS[1], 6))
    out.append(s.case)

    guests_sha = sig.sha256(ENVELOPES["guests"].encode())
    version_2 = older_record(2, 5, NOW - DAY, office_sha, key=sig.key_id(z.public_raw(
        SIGNERS[0])))
    s = Sequence("record-version-2", "a second-version record held the envelope accepted "
                 "last: it is read as a set of one whose SSID is unknown until that envelope "
                 "is read again", version_2)
    s.step("serial-older", "guests", signed("guests", SIGNERS[0], 4),
           note="the record stays as it was")
    s.step("accepted", "office", signed("office", SIGNERS[0], 5),
           note="read again: its SSID and times filled in, written as version 3")
    s.step("unchanged", "office", signed("office", SIGNERS[0], 5),
           note="and once more: nothing left to learn")
    s.step("accepted", "guests", signed("guests", SIGNERS[0], 5), note="joins the set")
    out.append(s.case)

    s = Sequence("record-version-2-ssid", "a member whose SSID was unknown learns it when "
                 "read again, and is refused when another member holds it by then",
                 version_2)
    s.step("accepted", "office-twin", signed("office-twin", SIGNERS[0], 5),
           note="another envelope for Office joins: the member's SSID is not known yet")
    s.step("set-ssid", "office", signed("office", SIGNERS[0], 5),
           note="the member read again opens to Office, which the other one holds")
    out.append(s.case)

    s = Sequence("sets", "every envelope signed with one serial is one set: each joins it, "
                 "each is read again without change, and a newer serial starts another set")
    first = {"office": signed("office", SIGNERS[0], 1, NOW - 3 * DAY),
             "guests": signed("guests", SIGNERS[0], 1),
             "lab": signed("lab", SIGNERS[0], 1, NOW - 2 * DAY)}
    s.step("accepted", "office", first["office"])
    s.step("accepted", "guests", first["guests"],
           note="joins, and raises the time floor to its issued_at")
    s.step("accepted", "lab", first["lab"],
           note="joins; the time floor stays at the latest issued_at")
    for label, file in first.items():
        s.step("unchanged", label, file, note="read again")
    s.step("unchanged", "office", signed("office", SIGNERS[0], 1, NOW - DAY, NOW + 60 * DAY),
           note="signed again with the same serial and other times: still the same member, "
           "its times as first accepted")
    s.step("accepted", "guests", signed("guests", SIGNERS[0], 2),
           note="serial 2 starts a new set; the set of serial 1 is gone")
    s.step("accepted", "office", signed("office", SIGNERS[0], 2), note="joins serial 2's set")
    s.step("accepted", "workshop", signed("workshop", SIGNERS[0], 2), note="and a third")
    s.step("serial-older", "lab", signed("lab", SIGNERS[0], 1),
           note="the dropped network's envelope")
    out.append(s.case)

    s = Sequence("set-full", "a set holds at most 16 networks")
    for n in range(1, sig.MAX_SET_SIZE + 1):
        label = f"net-{n:02}"
        s.step("accepted", label, signed(label, SIGNERS[0], 1), note=f"network {n}")
    s.step("set-full", "net-17", signed("net-17", SIGNERS[0], 1), note="a 17th")
    s.step("unchanged", "net-01", signed("net-01", SIGNERS[0], 1),
           note="a member read again while the set is full")
    s.step("accepted", "net-17", signed("net-17", SIGNERS[0], 2),
           note="the 17th under a new serial: a new set")
    out.append(s.case)

    s = Sequence("set-ssid", "no two networks of a set have one SSID; the next set may hold "
                 "it from another envelope")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1))
    s.step("set-ssid", "office-twin", signed("office-twin", SIGNERS[0], 1),
           note="another envelope for Office, same serial: refused once it has opened")
    s.step("accepted", "office-twin", signed("office-twin", SIGNERS[0], 2),
           note="the same under serial 2: a new set")
    s.step("set-ssid", "office", signed("office", SIGNERS[0], 2),
           note="now the first envelope is the other one")
    out.append(s.case)

    s = Sequence("revoked-signer", "a newer list that drops a signer refuses its envelopes, "
                 "even one of the set held; the set is carried until a new one replaces it")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1))
    s.step("unknown-signer", "office", signed("office", SIGNERS[0], 1), trust="v2",
           note="the same envelope under a list without signer 0: nothing committed")
    s.step("missing", "guests", None, trust="v2", policy="transition",
           note="the carried set counts as accepted: no unsigned envelope after it")
    s.step("accepted", "guests", signed("guests", SIGNERS[1], 4), trust="v2",
           note="the successor's set replaces the carried one")
    s.step("unknown-signer", "office", signed("office", SIGNERS[0], 2), trust="v2")
    out.append(s.case)

    s = Sequence("reordered-list", "the list of the same version in another order fails "
                 "closed, for an envelope of the set too")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1))
    s.step("trust-list", "office", signed("office", SIGNERS[0], 1), trust="v1-swapped")
    s.step("unchanged", "office", signed("office", SIGNERS[0], 1), note="the original list")
    out.append(s.case)

    s = Sequence("expired-now", "an envelope of the set passes the clock each time it is read")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1), now=NOW)
    s.step("unchanged", "office", signed("office", SIGNERS[0], 1), now=NOW + 30 * DAY - 1,
           note="the last second of its validity")
    s.step("expired", "office", signed("office", SIGNERS[0], 1), now=NOW + 30 * DAY,
           note="the clock at its expiry")
    s.step("unchanged", "office", signed("office", SIGNERS[0], 1), note="no clock")
    out.append(s.case)

    s = Sequence("time", "validity with a trusted clock, and the time floor without one")
    s.step("expired", "office", signed("office", SIGNERS[0], 1, NOW - 9 * DAY, NOW), now=NOW,
           note="expires at the clock's second")
    s.step("not-yet-valid", "office", signed("office", SIGNERS[0], 1, NOW + 301, NOW + DAY),
           now=NOW, note="issued 301 s ahead of the clock")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1, NOW + 300, NOW + DAY),
           now=NOW, note="issued 300 s ahead: within the allowed skew")
    s.step("expired", "guests", signed("guests", SIGNERS[0], 2, NOW - 9 * DAY, NOW + 300),
           note="no clock: expires at the last issued_at, the time floor")
    s.step("expired", "guests",
           signed("guests", SIGNERS[0], 2, BUILD_FLOOR - DAY, BUILD_FLOOR + 1),
           trust="v1", note="...and below it too")
    s.step("accepted", "guests", signed("guests", SIGNERS[0], 2, NOW, NOW + 301),
           note="just after it")
    out.append(s.case)

    s = Sequence("sixty-four-bit-edges", "the largest serial and times are ordinary values")
    s.step("accepted", "office", signed("office", SIGNERS[0], MAX, MAX - 1, MAX), now=MAX - 100)
    s.step("accepted", "guests", signed("guests", SIGNERS[0], MAX, MAX - 1, MAX), now=MAX - 100,
           note="the largest serial's set takes a second network")
    s.step("expired", "office", signed("office", SIGNERS[0], MAX, MAX - 1, MAX), now=MAX,
           note="the clock at the last second")
    out.append(s.case)

    s = Sequence("transition", "unsigned envelopes pass only until a signed one has")
    s.step("unsigned", "office", None, policy="transition",
           note="unsigned, and no state written")
    s.step("json", "office", form_fault("{\"format\": ", "signature file is not valid JSON"),
           policy="transition", note="an invalid signature file is never 'unsigned'")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1), policy="transition")
    s.step("missing", "guests", None, policy="transition", note="unsigned after a signed one")
    out.append(s.case)

    s = Sequence("required", "without the transition policy every envelope needs a file")
    s.step("missing", "office", None)
    out.append(s.case)

    good = sig.sign_raw(SIGNERS[0], sig.signed_message(office_statement().encode()))
    r, s_octets = good[:32], good[32:]
    order = z.P256_ORDER.to_bytes(32, "big")
    high_s = (z.P256_ORDER - int.from_bytes(s_octets, "big")).to_bytes(32, "big")
    statement_b64 = z.b64(office_statement().encode())
    signature_b64 = z.b64(good)
    loose = signature_b64[:-3] + chr(ord(signature_b64[-3]) ^ 1) + "=="
    assert z.canonical_b64_decode(loose.encode()) is None
    faults = [
        ("size", "too-large", signed("office", SIGNERS[0], 1) + " " * 1024,
         "size of 1 KiB exceeded"),
        ("json", "not-an-object", form_fault("[]", "signature file is not a JSON object"), ""),
        ("json", "fourth-member", form_fault(
            '{"format": "tolvane-wifi-drive-sig/v1", "statement": "' + statement_b64 +
            '", "signature": "' + signature_b64 + '", "kid": "1"}',
            "signature file has an unknown member"), ""),
        ("json", "statement-missing", form_fault(
            '{"format": "tolvane-wifi-drive-sig/v1", "signature": "' + signature_b64 + '"}',
            'signature file member "statement" is missing'), ""),
        ("format", "envelope-format", sig.file_text(office_statement().encode(), good,
                                                    "tolvane-wifi-drive/v1"), ""),
        ("encoding", "signature-not-canonical-base64", form_fault(
            sig.file_text(office_statement().encode(), b"").replace(
                '"signature": ""', f'"signature": "{loose}"'),
            'signature file member "signature" is not canonical Base64'), ""),
        ("encoding", "statement-119-octets", form_fault(
            sig.file_text(office_statement().encode()[:-1], good),
            "signature statement is not 120 octets"), ""),
        ("encoding", "signature-65-octets", form_fault(with_signature(good + b"\x00"),
                                                       "signature is not 64 octets"), ""),
        ("encoding", "signature-der", form_fault(
            with_signature(utils.encode_dss_signature(int.from_bytes(r, "big"),
                                                      int.from_bytes(s_octets, "big"))),
            "signature is not 64 octets"), "a DER signature where raw r || s belongs"),
        ("unknown-signer", "unknown-signer", signed("office", OUTSIDER, 1), ""),
        ("canonical", "high-s", with_signature(r + high_s), "the same signature with n - s"),
        ("canonical", "r-zero", with_signature(bytes(32) + s_octets), ""),
        ("canonical", "s-equal-to-n", with_signature(r + order), ""),
        ("verify", "statement-altered", sig.file_text(
            office_statement(serial=2).encode(), good), "serial changed after signing"),
        ("unknown-signer", "fleet-key-signs", statement_file(sig.make_statement(
            FLEET, FLEET_RAW, ENVELOPES["office"].encode(), 1, NOW - DAY, NOW + 30 * DAY), FLEET),
         "signed by the fleet key, which no trust list may hold"),
        ("fleet", "other-fleet", signed("office", SIGNERS[0], 1, fleet=OTHER_FLEET_RAW), ""),
        ("malformed", "serial-zero", statement_file(office_statement(serial=0)), ""),
        ("malformed", "expiry-at-issue",
         statement_file(office_statement(issued_at=NOW, expires_at=NOW)), ""),
    ]
    s = Sequence("faults", "one fault per file, each refused by a fresh device")
    for check, note, text, detail in faults:
        s.step(check, "office", text, note=note + (f": {detail}" if detail else ""))
    s.step("envelope", "guests", signed("office", SIGNERS[0], 1),
           note="the signature of another envelope")
    reindented = ENVELOPES["office"].replace("\n  ", "\n    ")
    s.step("envelope", "office", signed("office", SIGNERS[0], 1), text=reindented,
           note="the same envelope, re-indented")
    out.append(s.case)

    bad = b"ZVRS" + bytes(92)
    s = Sequence("state-unreadable", "a damaged record fails closed", bad)
    s.step("state", "office", signed("office", SIGNERS[0], 1))
    s.step("state", "office", None, policy="transition", note="whatever the policy")
    out.append(s.case)

    # A record of two members (office, guests), built here and not published; each fault
    # below is then sealed with a right checksum.
    s = Sequence("set-of-two", "")
    s.step("accepted", "office", signed("office", SIGNERS[0], 1))
    s.step("accepted", "guests", signed("guests", SIGNERS[0], 1))
    two = s.record
    member, second = 144, 144 + 88
    for name, record in [
        ("record-version-2-length", damaged(two, 4, b"\x00\x02")),
        ("reserved-octet", damaged(two, 7, b"\x01")),
        ("count-17", damaged(two, 136, bytes([17]))),
        ("carried-flag-2", damaged(two, 137, b"\x02")),
        ("header-padding", damaged(two, 143, b"\x01")),
        ("ssid-length-33", damaged(two, member + 48, bytes([33]))),
        ("ssid-padding", damaged(two, member + 48 + 1 + len(b"Office"), b"\x01")),
        ("member-padding", damaged(two, member + 87, b"\x01")),
        ("unused-slot", damaged(two, 144 + 2 * 88, b"\x01")),
        ("same-hash", damaged(two, second, two[member:member + 32])),
        ("same-ssid", damaged(two, second + 48, two[member + 48:member + 88])),
        ("members-without-set-key", damaged(two, 96, bytes(32))),
        ("one-octet-short", two[:-33] + sig.sha256(two[:-33])),
    ]:
        s = Sequence(f"state-invalid-{name}", "a record with a right checksum that breaks a "
                     "rule of the set fails closed", record)
        s.step("state", "office", signed("office", SIGNERS[0], 1))
        out.append(s.case)

    broken = ENVELOPES["office"].replace('"format": "tolvane-wifi-drive/v1"',
                                         '"format": "tolvane-wifi-drive/v2"')
    ENVELOPES["broken"] = broken
    s = Sequence("envelope-does-not-open", "a valid signature over an envelope that does not "
                 "open: the envelope's own refusal, and no state")
    s.step("open", "broken", signed("broken", SIGNERS[0], 1))
    out.append(s.case)
    return out


OPEN_MESSAGES = {"UnsupportedFormatError": "envelope format is not tolvane-wifi-drive/v1"}


def render_file() -> str:
    document = {
        "fleet_private_hex": FLEET.hex(),
        "trust_lists": {name: {"signers": [key.hex() for key in t.signers],
                               "fleet_public_hex": t.fleet.hex(), "version": t.version,
                               "serial_floor": t.serial_floor, "time_floor": t.time_floor}
                        for name, t in TRUST_LISTS.items()},
        "sequences": sequences(),
    }
    for case in document["sequences"]:
        for step in case["steps"]:
            if step["result"] == "refused" and step["error"]["check"] == "open":
                step["error"]["message"] = OPEN_MESSAGES[step["error"]["exception"]]
    ids = [case["id"] for case in document["sequences"]]
    assert len(ids) == len(set(ids)), "repeated id"
    return json.dumps(document, indent=2, ensure_ascii=True) + "\n"


def main() -> int:
    return run_generator(render_file, DEFAULT_OUTPUT, __doc__.splitlines()[0])


if __name__ == "__main__":
    sys.exit(main())
