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
}


def envelope(label: str, ssid: bytes = b"Tournament") -> str:
    return z.build_envelope(FLEET_RAW, ssid, PSK, salt=fixed(f"{label}/salt", 16),
                            nonce=fixed(f"{label}/nonce", 12),
                            ephemeral_scalar=fixed_scalar(f"{label}/ephemeral"))


ENVELOPES = {label: envelope(label, ssid) for label, ssid in
             [("office", b"Office"), ("guests", b"Guests"), ("lab", b"Lab"),
              ("workshop", b"Workshop")]}


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
    """Steps through the Python implementation, recording what each must give."""

    def __init__(self, case_id: str, description: str, record: bytes = b""):
        self.case = {"id": case_id, "description": description,
                     "initial_state_record_hex": record.hex(), "steps": []}
        self.record = record

    def step(self, label: str, signature: str | None, trust: str = "v1",
             policy: str = "required", now: int | None = None, text: str | None = None,
             note: str = "") -> None:
        envelope_text = ENVELOPES[label] if text is None else text
        trust_list = TRUST_LISTS[trust]
        entry = {"note": note, "trust_list": trust, "policy": policy, "now": now,
                 "envelope": envelope_text, "signature": signature}
        state = sig.stored_state(self.record, trust_list)
        try:
            (ssid, psk), verified, new_state = sig.open_signed_envelope(
                envelope_text.encode(), None if signature is None else signature.encode(),
                trust_list, state, FLEET, policy, now)
        except sig.SignatureError as error:
            entry |= {"result": "refused",
                      "error": {"check": error.check, "message": message_of(error, signature)}}
        except z.EnvelopeError as error:
            entry |= {"result": "refused",
                      "error": {"check": "open", "exception": type(error).__name__}}
        else:
            entry |= {"result": "accepted", "signed": verified.is_signed,
                      "ssid_hex": ssid.hex(), "psk": psk}
            if verified.is_signed:
                entry |= {"key_index": verified.key_index, "serial": verified.statement.serial}
                # Committed only for a signed envelope; reading one again changes nothing.
                self.record = new_state.encode()
        entry["state_record_hex"] = self.record.hex()
        entry["state"] = None if sig.decode_record(self.record) is None else \
            sig.decode_record(self.record).as_json()
        self.case["steps"].append(entry)


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

    s = Sequence("operator-flow", "new envelopes replace old ones; the same one is read at "
                 "every start; nothing older or reused gets in")
    s.step("office", signed("office", SIGNERS[0], 1), note="first signed envelope")
    s.step("office", signed("office", SIGNERS[0], 1), note="the same envelope read again")
    s.step("office", relaid(signed("office", SIGNERS[0], 1)),
           note="the same file in another JSON layout, with an escaped solidus")
    s.step("guests", signed("guests", SIGNERS[0], 2), note="the next network")
    s.step("office", signed("office", SIGNERS[0], 1), note="the old envelope replayed")
    s.step("lab", signed("lab", SIGNERS[0], 2), note="serial 2 again, for another envelope")
    s.step("lab", signed("lab", SIGNERS[0], 7), note="serials may skip")
    out.append(s.case)

    s = Sequence("key-rotation", "a successor key starts its own serials and retires the "
                 "keys before it")
    s.step("office", signed("office", SIGNERS[0], 40))
    s.step("guests", signed("guests", SIGNERS[2], 1), note="signer 2 takes over at serial 1")
    s.step("lab", signed("lab", SIGNERS[0], 41), note="signer 0 is superseded")
    s.step("lab", signed("lab", SIGNERS[1], 99), note="so is signer 1, below signer 2")
    s.step("lab", signed("lab", SIGNERS[2], 2))
    out.append(s.case)

    s = Sequence("trust-list-upgrade", "a firmware with a newer trust list starts the state "
                 "afresh, and an older firmware cannot use that state")
    s.step("office", signed("office", SIGNERS[0], 9))
    s.step("guests", signed("guests", SIGNERS[1], 3), trust="v2",
           note="serial 3 is the new list's serial floor: counted as used")
    s.step("guests", signed("guests", SIGNERS[1], 4), trust="v2")
    s.step("lab", signed("lab", SIGNERS[0], 10), trust="v2", note="signer 0 is not trusted")
    s.step("lab", signed("lab", SIGNERS[0], 10), trust="v1", note="back to the older list")
    out.append(s.case)

    s = Sequence("rotation-list-order", "the state names the accepted key, not its place "
                 "in the list: another list of the same version fails closed")
    s.step("office", signed("office", SIGNERS[0], 1))
    s.step("guests", signed("guests", SIGNERS[1], 1), note="signer 1 takes over")
    s.step("lab", signed("lab", SIGNERS[0], 2), trust="v1-swapped",
           note="the two keys named the other way round: the retired key stays out")
    s.step("lab", signed("lab", SIGNERS[1], 2), trust="v1-retired",
           note="the retired key dropped without a new version")
    s.step("lab", signed("lab", SIGNERS[1], 2), note="the list the state was written under")
    s.step("workshop", signed("workshop", SIGNERS[1], 4), trust="v2",
           note="dropped under a new version: a fresh state")
    out.append(s.case)

    ahead = NOW + 3650 * DAY
    s = Sequence("time-floor-per-key", "a far-future issued_at locks out its own key only; "
                 "a successor answers to the firmware's time floor")
    s.step("office", signed("office", SIGNERS[0], 1, ahead, ahead + DAY),
           note="signer 0 issued ten years ahead, and no clock to tell")
    s.step("guests", signed("guests", SIGNERS[0], 2), note="signer 0 is stuck behind it")
    s.step("guests", signed("guests", SIGNERS[1], 1), note="signer 1 promoted")
    s.step("lab", signed("lab", SIGNERS[1], 2), note="signer 1 goes on")
    s.step("lab", signed("lab", SIGNERS[2], 1, BUILD_FLOOR - 2 * DAY, BUILD_FLOOR),
           note="signer 2, expiring at the firmware's floor")
    s.step("workshop", signed("workshop", SIGNERS[1], 5, BUILD_FLOOR - DAY, BUILD_FLOOR + 1),
           trust="v2", note="a new list version starts from the firmware's floors")
    out.append(s.case)

    legacy = sig.ReplayState(1, bytes(32), bytes(32), 5, sig.sha256(ENVELOPES["office"].encode()),
                             NOW - DAY, legacy_key_index=1)
    s = Sequence("record-version-1", "a first-version record named the key by its index; "
                 "it is read with that index mapped to the list's key, and the next commit "
                 "writes the second version", legacy.encode())
    s.step("guests", signed("guests", SIGNERS[0], 9), note="index 1: signer 0 is superseded")
    s.step("guests", signed("guests", SIGNERS[1], 5), note="signer 1's serial 5 was used")
    s.step("office", signed("office", SIGNERS[1], 5), note="read again: committed anew")
    s.step("guests", signed("guests", SIGNERS[1], 6))
    out.append(s.case)

    s = Sequence("time", "validity with a trusted clock, and the time floor without one")
    s.step("office", signed("office", SIGNERS[0], 1, NOW - 9 * DAY, NOW), now=NOW,
           note="expires at the clock's second")
    s.step("office", signed("office", SIGNERS[0], 1, NOW + 301, NOW + DAY), now=NOW,
           note="issued 301 s ahead of the clock")
    s.step("office", signed("office", SIGNERS[0], 1, NOW + 300, NOW + DAY), now=NOW,
           note="issued 300 s ahead: within the allowed skew")
    s.step("guests", signed("guests", SIGNERS[0], 2, NOW - 9 * DAY, NOW + 300),
           note="no clock: expires at the last issued_at, the time floor")
    s.step("guests", signed("guests", SIGNERS[0], 2, BUILD_FLOOR - DAY, BUILD_FLOOR + 1),
           trust="v1", note="...and below it too")
    s.step("guests", signed("guests", SIGNERS[0], 2, NOW, NOW + 301), note="just after it")
    out.append(s.case)

    s = Sequence("sixty-four-bit-edges", "the largest serial and times are ordinary values")
    s.step("office", signed("office", SIGNERS[0], MAX, MAX - 1, MAX), now=MAX - 100)
    s.step("guests", signed("guests", SIGNERS[0], MAX, MAX - 1, MAX), now=MAX - 100,
           note="no serial above the largest")
    s.step("office", signed("office", SIGNERS[0], MAX, MAX - 1, MAX), now=MAX,
           note="the clock at the last second")
    out.append(s.case)

    s = Sequence("transition", "unsigned envelopes pass only until a signed one has")
    s.step("office", None, policy="transition", note="unsigned, and no state written")
    s.step("office", form_fault("{\"format\": ", "signature file is not valid JSON"),
           policy="transition", note="an invalid signature file is never 'unsigned'")
    s.step("office", signed("office", SIGNERS[0], 1), policy="transition")
    s.step("guests", None, policy="transition", note="unsigned after a signed one")
    out.append(s.case)

    s = Sequence("required", "without the transition policy every envelope needs a file")
    s.step("office", None)
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
        ("too-large", signed("office", SIGNERS[0], 1) + " " * 1024, "size of 1 KiB exceeded"),
        ("not-an-object", form_fault("[]", "signature file is not a JSON object"), ""),
        ("fourth-member", form_fault(
            '{"format": "tolvane-wifi-drive-sig/v1", "statement": "' + statement_b64 +
            '", "signature": "' + signature_b64 + '", "kid": "1"}',
            "signature file has an unknown member"), ""),
        ("statement-missing", form_fault(
            '{"format": "tolvane-wifi-drive-sig/v1", "signature": "' + signature_b64 + '"}',
            'signature file member "statement" is missing'), ""),
        ("envelope-format", sig.file_text(office_statement().encode(), good,
                                          "tolvane-wifi-drive/v1"), ""),
        ("signature-not-canonical-base64", form_fault(
            sig.file_text(office_statement().encode(), b"").replace(
                '"signature": ""', f'"signature": "{loose}"'),
            'signature file member "signature" is not canonical Base64'), ""),
        ("statement-119-octets", form_fault(
            sig.file_text(office_statement().encode()[:-1], good),
            "signature statement is not 120 octets"), ""),
        ("signature-65-octets", form_fault(with_signature(good + b"\x00"),
                                           "signature is not 64 octets"), ""),
        ("signature-der", form_fault(
            with_signature(utils.encode_dss_signature(int.from_bytes(r, "big"),
                                                      int.from_bytes(s_octets, "big"))),
            "signature is not 64 octets"), "a DER signature where raw r || s belongs"),
        ("unknown-signer", signed("office", OUTSIDER, 1), ""),
        ("high-s", with_signature(r + high_s), "the same signature with n - s"),
        ("r-zero", with_signature(bytes(32) + s_octets), ""),
        ("s-equal-to-n", with_signature(r + order), ""),
        ("statement-altered", sig.file_text(
            office_statement(serial=2).encode(), good), "serial changed after signing"),
        ("fleet-key-signs", statement_file(sig.make_statement(
            FLEET, FLEET_RAW, ENVELOPES["office"].encode(), 1, NOW - DAY, NOW + 30 * DAY), FLEET),
         "signed by the fleet key, which no trust list may hold"),
        ("other-fleet", signed("office", SIGNERS[0], 1, fleet=OTHER_FLEET_RAW), ""),
        ("serial-zero", statement_file(office_statement(serial=0)), ""),
        ("expiry-at-issue", statement_file(office_statement(issued_at=NOW, expires_at=NOW)),
         ""),
    ]
    s = Sequence("faults", "one fault per file, each refused by a fresh device")
    for note, text, detail in faults:
        s.step("office", text, note=note + (f": {detail}" if detail else ""))
    s.step("guests", signed("office", SIGNERS[0], 1), note="the signature of another envelope")
    reindented = ENVELOPES["office"].replace("\n  ", "\n    ")
    s.step("office", signed("office", SIGNERS[0], 1), text=reindented,
           note="the same envelope, re-indented")
    out.append(s.case)

    bad = b"ZVRS" + bytes(92)
    s = Sequence("state-unreadable", "a damaged record fails closed", bad)
    s.step("office", signed("office", SIGNERS[0], 1))
    s.step("office", None, policy="transition", note="whatever the policy")
    out.append(s.case)

    broken = ENVELOPES["office"].replace('"format": "tolvane-wifi-drive/v1"',
                                         '"format": "tolvane-wifi-drive/v2"')
    ENVELOPES["broken"] = broken
    s = Sequence("envelope-does-not-open", "a valid signature over an envelope that does not "
                 "open: the envelope's own refusal, and no state")
    s.step("broken", signed("broken", SIGNERS[0], 1))
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
