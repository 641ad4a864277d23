#!/usr/bin/env python3
"""Writes tests/vectors/envelopes.json, the published envelope vectors.

Every case comes from the Python implementation in tests/interop/zezi_envelope.py with
fixed scalars, salts and nonces, so the file is the same on every run; --check compares
instead of writing. The "message" of an invalid case is the text the C++ openEnvelope
gives for it, which tests/opener/envelope_vectors_test.cpp checks.

usage: tools/make_envelope_vectors.py [--check] [-o FILE]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "interop"))

import zezi_envelope as z  # noqa: E402

from cryptography.hazmat.primitives.ciphers.aead import AESGCM  # noqa: E402

DEFAULT_OUTPUT = ROOT / "tests" / "vectors" / "envelopes.json"
P256_PRIME = 2**256 - 2**224 + 2**192 + 2**96 - 1


def fixed(label: str, size: int) -> bytes:
    """`size` octets that depend only on `label`."""
    out = b""
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"zezi-vectors/{label}/{counter}".encode()).digest()
        counter += 1
    return out[:size]


def fixed_scalar(label: str) -> bytes:
    value = int.from_bytes(fixed(label, 32), "big") % (z.P256_ORDER - 1) + 1
    return value.to_bytes(32, "big")


FLEET = fixed_scalar("fleet-a")
OTHER_FLEET = fixed_scalar("fleet-b")
PSK = fixed("psk", 32).hex()


def sealing(label: str, payload: bytes, fleet: bytes = FLEET, salt: bytes | None = None,
            nonce: bytes | None = None) -> z.Sealing:
    return z.seal_payload(z.public_raw(fleet), payload,
                          salt=fixed(f"{label}/salt", 16) if salt is None else salt,
                          nonce=fixed(f"{label}/nonce", 12) if nonce is None else nonce,
                          ephemeral_scalar=fixed_scalar(f"{label}/ephemeral"))


def network(label: str, ssid: bytes, psk: str = PSK, **kwargs) -> z.Sealing:
    return sealing(label, z.payload_for(ssid, psk), **kwargs)


def members_of(s: z.Sealing) -> list[list[str]]:
    """The five members as [name, JSON value text], ready to be altered."""
    return [["format", json.dumps(z.DOMAIN.decode())],
            ["eph_pub", json.dumps(z.b64(s.ephemeral_point))],
            ["salt", json.dumps(z.b64(s.salt))],
            ["nonce", json.dumps(z.b64(s.nonce))],
            ["sealed", json.dumps(z.b64(s.sealed))]]


def render(members: list[list[str]], compact: bool = False) -> str:
    if compact:
        return "{" + ",".join(f'"{name}":{value}' for name, value in members) + "}"
    lines = ",\n".join(f'  "{name}": {value}' for name, value in members)
    return "{\n" + lines + "\n}\n"


def with_member(s: z.Sealing, name: str, value_text: str) -> str:
    members = members_of(s)
    for member in members:
        if member[0] == name:
            member[1] = value_text
    return render(members)


def with_binary(s: z.Sealing, name: str, octets: bytes) -> str:
    return with_member(s, name, json.dumps(z.b64(octets)))


def flip(octets: bytes, index: int) -> bytes:
    out = bytearray(octets)
    out[index] ^= 0x01
    return bytes(out)


def sealed_with(s: z.Sealing, key: bytes, aad: bytes = z.DOMAIN) -> str:
    """The envelope of `s` with its payload sealed under another key or AAD."""
    return with_binary(s, "sealed", AESGCM(key).encrypt(s.nonce, s.payload, aad))


def payload_envelope(label: str, payload: bytes) -> str:
    return sealing(label, payload).envelope


def cases() -> list[dict]:
    out: list[dict] = []

    def valid(case_id: str, description: str, envelope: str, ssid: bytes, psk: str = PSK,
              fleet: bytes = FLEET):
        out.append({"id": case_id, "description": description, "fleet_private_hex": fleet.hex(),
                    "envelope": envelope, "result": "valid", "ssid_hex": ssid.hex(),
                    "psk": psk})

    def invalid(case_id: str, description: str, envelope: str, message: str,
                exception: type, fleet: bytes = FLEET):
        out.append({"id": case_id, "description": description, "fleet_private_hex": fleet.hex(),
                    "envelope": envelope, "result": "invalid",
                    "error": {"message": message, "exception": exception.__name__}})

    # ---- valid
    ssids = [
        ("valid-plain-ssid", "plain ASCII SSID", b"Tournament"),
        ("valid-utf8-ssid", "UTF-8 SSID, written raw in the payload", "Café ☕".encode()),
        ("valid-non-utf8-ssid", "SSID octets that are not UTF-8, written raw",
         b"\xff\xfe\x80net\xc3"),
        ("valid-control-octet-ssid",
         "SSID with NUL, control octets, DEL, quotation mark and backslash (escaped)",
         b'a\x00b\x01\t\n\r\x08\x0c\x1f\x7f"\\z'),
        ("valid-one-octet-ssid", "shortest SSID", b"x"),
        ("valid-32-octet-ssid", "longest 802.11 SSID", bytes(range(0x41, 0x61))),
        ("valid-32-octet-escaped-ssid",
         "32 octets, most of them control octets: far longer escaped, 32 octets once read",
         bytes(range(0x01, 0x21))),
    ]
    for case_id, description, ssid in ssids:
        valid(case_id, description, network(case_id, ssid).envelope, ssid)

    plain = network("valid-plain-ssid", b"Tournament")
    reordered = members_of(plain)
    reordered.reverse()
    valid("valid-reordered-compact", "members in another order, no white space",
          render(reordered, compact=True), b"Tournament")
    valid("valid-escaped-member-text", 'format written with an escaped solidus "\\/"',
          with_member(plain, "format", '"tolvane-wifi-drive\\/v1"'), b"Tournament")
    valid("valid-one-octet-salt", "salts may have any non-empty length",
          network("one-octet-salt", b"Tournament", salt=b"\x5a").envelope, b"Tournament")
    valid("valid-48-octet-salt", "salts may have any non-empty length",
          network("long-salt", b"Tournament", salt=fixed("long-salt", 48)).envelope,
          b"Tournament")
    valid("valid-other-fleet", "sealed for a second fleet key",
          network("other-fleet", b"Tournament", fleet=OTHER_FLEET).envelope, b"Tournament",
          fleet=OTHER_FLEET)
    payload = ('{"networks":[{"ssid":"caf\\u00e9 \\ud83d\\ude00 \\u00FF\\/","psk":"'
               + PSK + '"}]}').encode()
    valid("valid-payload-unicode-escapes",
          "payload escapes \\uXXXX (a surrogate pair too) stand for the code point's UTF-8",
          payload_envelope("unicode-escapes", payload), "café 😀 ÿ/".encode())
    payload = ('\r\n{ "networks" : [ { "psk" : "' + PSK + '" ,\t"ssid" : "Tournament" } ] }\n')
    valid("valid-payload-layout", "payload with white space and psk before ssid",
          payload_envelope("payload-layout", payload.encode()), b"Tournament")

    # ---- authentication: the payload does not open
    auth = "envelope does not open with this key"
    invalid("wrong-fleet-key", "opened with another fleet key", plain.envelope, auth,
            z.AuthenticationError, fleet=OTHER_FLEET)
    invalid("altered-ciphertext-octet", "first ciphertext octet changed",
            with_binary(plain, "sealed", flip(plain.sealed, 0)), auth, z.AuthenticationError)
    invalid("altered-tag", "last tag octet changed",
            with_binary(plain, "sealed", flip(plain.sealed, -1)), auth, z.AuthenticationError)
    invalid("truncated-sealed", "last octet of the tag removed",
            with_binary(plain, "sealed", plain.sealed[:-1]), auth, z.AuthenticationError)
    invalid("altered-salt", "salt changed after sealing (it feeds the key derivation)",
            with_binary(plain, "salt", flip(plain.salt, 3)), auth, z.AuthenticationError)
    invalid("altered-nonce", "nonce changed after sealing",
            with_binary(plain, "nonce", flip(plain.nonce, 5)), auth, z.AuthenticationError)
    invalid("other-ephemeral-point", "eph_pub replaced by another valid point",
            with_binary(plain, "eph_pub", z.point_of(z.private_key(fixed_scalar("other")))),
            auth, z.AuthenticationError)
    invalid("sealed-without-aad", "payload sealed with empty additional data",
            sealed_with(plain, plain.envelope_key, aad=b""), auth, z.AuthenticationError)
    invalid("info-without-fleet-point", "key derived with info = domain || eph_pub only",
            sealed_with(plain, z.hkdf_sha256(plain.shared_secret, plain.salt,
                                             z.DOMAIN + plain.ephemeral_point)),
            auth, z.AuthenticationError)
    invalid("info-points-swapped", "key derived with the two points in the other order",
            sealed_with(plain, z.hkdf_sha256(plain.shared_secret, plain.salt,
                                             z.kdf_info(plain.fleet_point,
                                                        plain.ephemeral_point))),
            auth, z.AuthenticationError)
    invalid("shared-secret-as-key", "payload sealed with the ECDH secret itself, no HKDF",
            sealed_with(plain, plain.shared_secret), auth, z.AuthenticationError)

    # ---- fleet key
    for case_id, scalar in (("fleet-scalar-zero", bytes(32)),
                            ("fleet-scalar-order", z.P256_ORDER.to_bytes(32, "big")),
                            ("fleet-scalar-order-plus-one", (z.P256_ORDER + 1).to_bytes(32, "big")),
                            ("fleet-scalar-all-ones", b"\xff" * 32)):
        invalid(case_id, "fleet private scalar outside [1, n-1]", plain.envelope,
                "fleet private key is not a valid P-256 scalar", z.FleetKeyError, fleet=scalar)

    # ---- Base64
    def not_b64(name: str) -> str:
        return f'envelope member "{name}" is not canonical Base64'

    eph_text = z.b64(plain.ephemeral_point)
    assert "+" in eph_text or "/" in eph_text
    salt_text = z.b64(plain.salt)
    assert salt_text.endswith("==")
    # The character before "==" carries 4 unused bits; set the lowest of them.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    loose = salt_text[:-3] + alphabet[alphabet.index(salt_text[-3]) | 1] + "=="
    sealed_text = z.b64(plain.sealed)
    nonce_text = z.b64(plain.nonce)
    for case_id, description, name, text in [
        ("base64-bad-character", "sealed holds '*'", "sealed", "*" + sealed_text[1:]),
        ("base64-url-alphabet", "eph_pub in the URL-safe alphabet", "eph_pub",
         eph_text.replace("+", "-").replace("/", "_")),
        ("base64-missing-fill", "salt without its '=' fill", "salt", salt_text[:-2]),
        ("base64-nonzero-unused-bits", "salt with a non-zero unused bit", "salt", loose),
        ("base64-extra-fill", "nonce followed by '===='", "nonce", nonce_text + "===="),
        ("base64-line-break", "sealed broken by a line feed", "sealed",
         sealed_text[:40] + "\n" + sealed_text[40:]),
        ("base64-space", "nonce with a trailing space", "nonce", nonce_text + " "),
    ]:
        assert z.canonical_b64_decode(text.encode()) is None
        invalid(case_id, description, with_member(plain, name, json.dumps(text)),
                not_b64(name), z.EnvelopeEncodingError)

    # ---- decoded values
    point = plain.ephemeral_point
    x, y = point[1:33], int.from_bytes(point[33:], "big")
    off_curve = b"\x04" + x + ((y + 1) % P256_PRIME).to_bytes(32, "big")
    compressed = bytes([2 + (y & 1)]) + x
    hybrid = bytes([6 + (y & 1)]) + point[1:]
    bad_point = "envelope eph_pub is not a P-256 public point"
    for case_id, description, octets in [
        ("eph-pub-64-octets", "eph_pub as raw X || Y without the 04 prefix", point[1:]),
        ("eph-pub-off-curve", "eph_pub with Y + 1, not on the curve", off_curve),
        ("eph-pub-compressed", "eph_pub in compressed form (33 octets)", compressed),
        ("eph-pub-hybrid", "eph_pub in hybrid form (prefix 06/07)", hybrid),
        ("eph-pub-zero", "eph_pub 04 followed by 64 zero octets", b"\x04" + bytes(64)),
    ]:
        invalid(case_id, description, with_binary(plain, "eph_pub", octets), bad_point,
                z.EnvelopeValueError)
    invalid("salt-empty", "salt is the empty string", with_binary(plain, "salt", b""),
            "envelope salt is empty", z.EnvelopeValueError)
    for size in (11, 16):
        invalid(f"nonce-{size}-octets", f"nonce of {size} octets",
                with_binary(plain, "nonce", plain.nonce[:size] + bytes(max(0, size - 12))),
                "envelope nonce is not 12 octets", z.EnvelopeValueError)
    for size in (15, 0):
        invalid(f"sealed-{size}-octets", f"sealed of {size} octets, shorter than a tag",
                with_binary(plain, "sealed", plain.sealed[:size]),
                "envelope sealed payload is too short", z.EnvelopeValueError)

    # ---- envelope structure
    invalid("format-v2", "format names another version",
            with_member(plain, "format", '"tolvane-wifi-drive/v2"'),
            "envelope format is not tolvane-wifi-drive/v1", z.UnsupportedFormatError)
    invalid("format-uppercase", "format in another case",
            with_member(plain, "format", '"TOLVANE-WIFI-DRIVE/V1"'),
            "envelope format is not tolvane-wifi-drive/v1", z.UnsupportedFormatError)
    members = [m for m in members_of(plain) if m[0] != "nonce"]
    invalid("member-missing", "nonce is missing", render(members),
            'envelope member "nonce" is missing', z.EnvelopeMemberError)
    members = members_of(plain)
    members.insert(3, members[2])
    invalid("member-duplicate", "salt appears twice with the same value", render(members),
            'envelope member "salt" appears more than once', z.EnvelopeMemberError)
    invalid("member-number", "nonce is a number", with_member(plain, "nonce", "12"),
            'envelope member "nonce" is not a string', z.EnvelopeMemberError)
    invalid("member-array", "eph_pub is an array of one string",
            with_member(plain, "eph_pub", json.dumps([eph_text])),
            'envelope member "eph_pub" is not a string', z.EnvelopeMemberError)
    invalid("member-unknown", "a sixth member", render(members_of(plain) + [["kid", '"1"']]),
            "envelope has an unknown member", z.EnvelopeMemberError)
    invalid("not-json-truncated", "text cut before the closing brace",
            plain.envelope[:-3], "envelope is not valid JSON", z.EnvelopeSyntaxError)
    invalid("not-json-trailing-comma", "comma after the last member",
            plain.envelope[:-3] + ",\n}\n", "envelope is not valid JSON", z.EnvelopeSyntaxError)
    invalid("not-an-object", "the members inside an array", "[" + plain.envelope + "]",
            "envelope is not a JSON object", z.EnvelopeSyntaxError)

    # ---- payloads that open but are not one well-formed network
    ssid = '"ssid":"Tournament"'
    psk = f'"psk":"{PSK}"'
    for case_id, description, payload, message in [
        ("payload-not-json", "plaintext is not JSON", b"networks: Tournament",
         "payload is not valid JSON"),
        ("payload-empty", "empty plaintext (sealed is the tag alone)", b"",
         "payload is not valid JSON"),
        ("payload-raw-control-octet", "SSID with an unescaped 0x01",
         f'{{"networks":[{{"ssid":"a\x01b",{psk}}}]}}'.encode(), "payload is not valid JSON"),
        ("payload-lone-surrogate", "SSID with an unpaired \\ud800",
         f'{{"networks":[{{"ssid":"a\\ud800",{psk}}}]}}'.encode(),
         "payload is not valid JSON"),
        ("payload-extra-member", "a second top-level member",
         f'{{"networks":[{{{ssid},{psk}}}],"v":1}}'.encode(),
         "payload is not an object holding only a networks array"),
        ("payload-networks-object", "networks is an object, not an array",
         f'{{"networks":{{{ssid},{psk}}}}}'.encode(),
         "payload is not an object holding only a networks array"),
        ("payload-two-networks", "two networks",
         f'{{"networks":[{{{ssid},{psk}}},{{{ssid},{psk}}}]}}'.encode(),
         "payload does not hold exactly one network"),
        ("payload-no-network", "empty networks array", b'{"networks":[]}',
         "payload does not hold exactly one network"),
        ("payload-network-string", "the network is a string",
         b'{"networks":["Tournament"]}', "payload network is not a JSON object"),
        ("payload-network-extra-member", "the network has a third member",
         f'{{"networks":[{{{ssid},{psk},"hidden":false}}]}}'.encode(),
         "payload network has an unknown member"),
        ("payload-duplicate-psk", "psk appears twice",
         f'{{"networks":[{{{ssid},{psk},{psk}}}]}}'.encode(),
         "payload network member appears more than once"),
        ("payload-missing-ssid", "the network has no ssid",
         f'{{"networks":[{{{psk}}}]}}'.encode(), "payload ssid is missing or not a string"),
        ("payload-ssid-number", "ssid is a number",
         f'{{"networks":[{{"ssid":7,{psk}}}]}}'.encode(),
         "payload ssid is missing or not a string"),
        ("payload-missing-psk", "the network has no psk",
         f'{{"networks":[{{{ssid}}}]}}'.encode(), "payload psk is missing or not a string"),
        ("payload-empty-ssid", "ssid is the empty string",
         f'{{"networks":[{{"ssid":"",{psk}}}]}}'.encode(), "payload ssid is empty"),
        ("payload-33-octet-ssid", "ssid of 33 octets, one more than a WiFi stack holds",
         z.payload_for(bytes(range(0x41, 0x62)), PSK), "payload ssid is longer than 32 octets"),
        ("payload-33-octet-escaped-ssid", "ssid of 33 octets written as \\uXXXX escapes",
         ('{"networks":[{"ssid":"' + "\\u0041" * 33 + '",' + psk + '}]}').encode(),
         "payload ssid is longer than 32 octets"),
        ("payload-uppercase-psk", "psk in uppercase hex",
         f'{{"networks":[{{{ssid},"psk":"{PSK.upper()}"}}]}}'.encode(),
         "payload psk is not 64 lowercase hex characters"),
        ("payload-short-psk", "psk of 63 characters",
         f'{{"networks":[{{{ssid},"psk":"{PSK[:63]}"}}]}}'.encode(),
         "payload psk is not 64 lowercase hex characters"),
        ("payload-passphrase-psk", "psk is a WPA passphrase, not the derived key",
         b'{"networks":[{"ssid":"Tournament","psk":"correct horse battery staple"}]}',
         "payload psk is not 64 lowercase hex characters"),
    ]:
        invalid(case_id, description + ", sealed correctly",
                payload_envelope(case_id, payload), message, z.PayloadError)
    return out


def self_check(all_cases: list[dict]) -> None:
    """Refuses to publish a case the Python opener disagrees with."""
    for case in all_cases:
        scalar = bytes.fromhex(case["fleet_private_hex"])
        if case["result"] == "valid":
            got = z.open_envelope(case["envelope"], scalar)
            want = (bytes.fromhex(case["ssid_hex"]), case["psk"])
            assert got == want, (case["id"], got, want)
            continue
        try:
            z.open_envelope(case["envelope"], scalar)
        except z.EnvelopeError as error:
            assert type(error).__name__ == case["error"]["exception"], (case["id"], error)
        else:
            raise AssertionError(f"{case['id']} opened")
    ids = [case["id"] for case in all_cases]
    assert len(ids) == len(set(ids)), "repeated id"


def render_file() -> str:
    all_cases = cases()
    self_check(all_cases)
    return json.dumps(all_cases, indent=2, ensure_ascii=True) + "\n"


def run_generator(render, default_output: pathlib.Path, description: str) -> int:
    """Writes what `render` returns to the output, or with --check compares it."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--check", action="store_true",
                        help="compare with the file instead of writing it")
    parser.add_argument("-o", "--output", type=pathlib.Path, default=default_output)
    args = parser.parse_args()
    text = render()
    if args.check:
        if args.output.read_text(encoding="utf-8") != text:
            print(f"{args.output} differs from what the generator writes", file=sys.stderr)
            return 1
        print(f"{args.output} is up to date")
        return 0
    args.output.write_text(text, encoding="utf-8")
    print(f"wrote {args.output}")
    return 0


def main() -> int:
    return run_generator(render_file, DEFAULT_OUTPUT, __doc__.splitlines()[0])


if __name__ == "__main__":
    sys.exit(main())
