"""The C++ library and tool against the Python implementation, in both directions.

(a) Python opens what `zezi-vidad seal` seals; (b) `zezi-vidad open` and openEnvelope open
what Python seals; (c) with the same ephemeral scalar, salt and nonce both sides write the
same envelope, octet for octet; (d) Python reproduces the self-test's known answers;
(e) on mutated envelopes and payloads both openers agree on the outcome and on the
failure class; and for signature files: (f) Python verifies what makeSignatureFile signs,
(g) verifySignature accepts what Python signs and leaves the same replay record, (h) on
mutated signature files both verifiers agree on the outcome and on the failing check;
(i) the tool's sign and verify against Python's.
"""

import json
import os
import random
import re
import stat
import sys
import tempfile
import unittest

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

import zezi_envelope as z
import zezi_signature as sig
from interop_paths import SOURCE_DIR, cli, driver

SEED = 0x7A657A69
CASE_COUNT = 48


def random_scalar(rng: random.Random) -> bytes:
    return (rng.randrange(1, z.P256_ORDER)).to_bytes(32, "big")


def random_ssid(rng: random.Random) -> bytes:
    """Octets biased towards the ones that need care: quotes, backslashes, control
    octets, DEL and 0x80 and up."""
    pools = [b'"', b"\\", bytes(range(0x20)), b"\x7f", bytes(range(0x80, 0x100)),
             bytes(range(0x20, 0x7f))]
    length = rng.choice([1, 32, rng.randint(2, 31)])
    return bytes(rng.choice(rng.choice(pools)) for _ in range(length))


def make_cases() -> list[tuple[str, bytes, bytes, str]]:
    """(label, fleet scalar, ssid, psk), fixed by SEED."""
    rng = random.Random(SEED)
    chosen = [b"Tournament", b'"', b"\\", b"\x00", b"\x01", b"\x80", b"\xff", b"\x7f",
              b'say "hi" \\o/', bytes(range(1, 0x20)), b"\x00lead and trail\x00",
              bytes(range(0x80, 0xA0)), bytes(range(0xE0, 0x100)), "Café ☕".encode(),
              b"\xc3\x28 bad utf-8", b"-dash", b"--ssid", b" spaced ", b"x" * 32]
    ssids = chosen + [random_ssid(rng) for _ in range(CASE_COUNT - len(chosen))]
    return [(f"case{i:02d}", random_scalar(rng), ssid, f"{rng.getrandbits(256):064x}")
            for i, ssid in enumerate(ssids)]


CASES = make_cases()


# The Python error class that stands for each of openEnvelope's messages.
MESSAGE_CLASSES = [
    (r"envelope is too large|envelope is not (valid JSON|a JSON object)",
     z.EnvelopeSyntaxError),
    (r"envelope has an unknown member|envelope member .* (missing|more than once|not a string)",
     z.EnvelopeMemberError),
    (r"envelope format is not", z.UnsupportedFormatError),
    (r"envelope member .* not canonical Base64", z.EnvelopeEncodingError),
    (r"envelope (eph_pub|salt|nonce|sealed) ", z.EnvelopeValueError),
    (r"fleet private key", z.FleetKeyError),
    (r"envelope does not open", z.AuthenticationError),
    (r"payload ", z.PayloadError),
]


# The signature check that each of verifySignature's messages stands for.
SIGNATURE_MESSAGE_CHECKS = [
    (r"replay state is unreadable", "state"),
    (r"signature file is missing", "missing"),
    (r"signature file is too large", "size"),
    (r"signature file (is not valid JSON|is not a JSON object|has an unknown member"
     r"|member .* (is missing|more than once|is not a string))", "json"),
    (r"signature file format is not", "format"),
    (r"signature file member .* not canonical Base64|signature statement is not 120"
     r"|signature is not 64", "encoding"),
    (r"signature is by an unknown signer", "unknown-signer"),
    (r"signer key is superseded", "superseded"),
    (r"signature is not in canonical form", "canonical"),
    (r"signature does not verify", "verify"),
    (r"signature is for another fleet", "fleet"),
    (r"signature is for another envelope", "envelope"),
    (r"signature statement is malformed", "malformed"),
    (r"signature has expired", "expired"),
    (r"signature is not yet valid", "not-yet-valid"),
    (r"signature serial is older", "serial-older"),
    (r"signature serial was already used", "serial-reused"),
]
NOW = 1_800_000_000


def check_of_message(message: str) -> str:
    for pattern, check in SIGNATURE_MESSAGE_CHECKS:
        if re.match(pattern, message):
            return check
    raise AssertionError(f"unknown verifySignature message {message!r}")


def trust_json(trust: sig.TrustList) -> dict:
    return {"signers": [key.hex() for key in trust.signers], "fleet_public_hex": trust.fleet.hex(),
            "version": trust.version, "serial_floor": trust.serial_floor,
            "time_floor": trust.time_floor}


def library_verify(envelope: str, signature: str | None, trust: sig.TrustList,
                   record: bytes = b"", now: int | None = None):
    return driver({"op": "verify", "envelope": envelope, "signature": signature,
                   "trust": trust_json(trust), "state_record_hex": record.hex(),
                   "policy": "required", "now": now})


def class_of_message(message: str) -> type:
    for pattern, error_class in MESSAGE_CLASSES:
        if re.match(pattern, message):
            return error_class
    raise AssertionError(f"unknown openEnvelope message {message!r}")


def mutate(rng: random.Random, text: bytes, alphabet: bytes) -> bytes:
    """One random edit: change, delete or insert an octet, or repeat a slice."""
    at = rng.randrange(len(text))
    kind = rng.randrange(4)
    if kind == 0:
        return text[:at] + bytes([rng.choice(alphabet)]) + text[at + 1:]
    if kind == 1:
        return text[:at] + text[at + 1:]
    if kind == 2:
        return text[:at] + bytes([rng.choice(alphabet)]) + text[at:]
    end = min(len(text), at + rng.randint(1, 12))
    return text[:end] + text[at:end] + text[end:]


def report(text: str) -> None:
    print(f"  {text}", file=sys.stderr)


def private_pem(scalar: bytes, sec1: bool) -> bytes:
    key = z.private_key(scalar)
    form = (serialization.PrivateFormat.TraditionalOpenSSL if sec1
            else serialization.PrivateFormat.PKCS8)
    return key.private_bytes(serialization.Encoding.PEM, form, serialization.NoEncryption())


def public_pem(scalar: bytes) -> bytes:
    return z.private_key(scalar).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)


class Interop(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)

    def write(self, name: str, data: bytes, mode: int = 0o600) -> str:
        path = os.path.join(self.work.name, name)
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode), "wb") as file:
            file.write(data)
        return path

    def assert_builder_layout(self, envelope: str):
        """The envelope text is exactly what the layout rules give for its own values."""
        document = z.parse_json(envelope.encode())
        values = {key: value for key, value in document}
        decoded = [z.canonical_b64_decode(values[key]) for key in z.MEMBERS[1:]]
        self.assertEqual(envelope, z.envelope_text(*decoded))

    # (a)
    def test_python_opens_envelopes_sealed_by_the_tool(self):
        opened = as_hex = 0
        for index, (label, scalar, ssid, psk) in enumerate(CASES):
            with self.subTest(label, ssid=ssid):
                # Alternately the raw key and an SPKI PEM written by Python.
                fleet_key = (z.public_raw(scalar).hex() if index % 2 == 0
                             else self.write(f"{label}.pub", public_pem(scalar), 0o644))
                # A NUL octet cannot travel in an argument, but its hex form can.
                hex_form = b"\x00" in ssid or index % 3 == 0
                ssid_option = (b"--ssid-hex=" + ssid.hex().encode() if hex_form
                               else b"--ssid=" + ssid)
                result = cli("seal", "--fleet-key", fleet_key, ssid_option,
                             "--psk-file", "-", stdin=psk.encode() + b"\n")
                self.assertEqual(result.returncode, 0, result.stderr)
                envelope = result.stdout.decode("ascii")
                self.assert_builder_layout(envelope)
                self.assertEqual(z.open_envelope(envelope, scalar), (ssid, psk))
                opened += 1
                as_hex += hex_form
        report(f"(a) zezi-vidad seal -> Python open: {opened} opened, {as_hex} of them "
               "with the SSID given in hex")
        self.assertEqual(opened, CASE_COUNT)

    # (b)
    def test_tool_and_library_open_envelopes_sealed_by_python(self):
        tool_opened = library_opened = 0
        for index, (label, scalar, ssid, psk) in enumerate(CASES):
            with self.subTest(label, ssid=ssid):
                envelope = z.build_envelope(z.public_raw(scalar), ssid, psk)
                key_file = self.write(f"{label}.key", private_pem(scalar, sec1=index % 3 == 0))
                result = cli("open", "--private", key_file, "--envelope", "-", "--show-psk",
                             stdin=envelope.encode())
                self.assertEqual(result.returncode, 0, result.stderr)
                # Valid JSON whatever the SSID: a string only when it is UTF-8.
                shown = json.loads(result.stdout)
                try:
                    self.assertEqual(shown["ssid"], ssid.decode("utf-8"))
                except UnicodeDecodeError:
                    self.assertIsNone(shown["ssid"])
                self.assertEqual(shown["ssid_hex"], ssid.hex())
                self.assertEqual(shown["psk"], psk)
                tool_opened += 1

                result = driver({"op": "open", "envelope": envelope,
                                 "fleet_scalar_hex": scalar.hex()})
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(json.loads(result.stdout),
                                 {"ssid_hex": ssid.hex(), "psk": psk})
                library_opened += 1
        report(f"(b) Python seal -> zezi-vidad open: {tool_opened}, "
               f"-> openEnvelope: {library_opened}")

    # (c)
    def test_same_inputs_give_identical_envelopes(self):
        rng = random.Random(SEED + 1)
        identical = 0
        for label, scalar, ssid, psk in CASES:
            salt = rng.randbytes(rng.choice([16, 1, 32, 48]))
            nonce = rng.randbytes(12)
            ephemeral = random_scalar(rng)
            with self.subTest(label, ssid=ssid):
                ours = z.build_envelope(z.public_raw(scalar), ssid, psk, salt, nonce, ephemeral)
                result = driver({"op": "build", "fleet_public_hex": z.public_raw(scalar).hex(),
                                 "ssid_hex": ssid.hex(), "psk": psk, "salt_hex": salt.hex(),
                                 "nonce_hex": nonce.hex(), "scalar_hex": ephemeral.hex()})
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.decode("ascii"), ours)
                identical += 1
        report(f"(c) buildEnvelope == Python build_envelope: {identical} identical")

    # (d)
    def test_self_test_known_answers(self):
        header = (SOURCE_DIR / "selftest" / "known_answers.h").read_text()
        constants = dict(re.findall(r'(k\w+) =\s*"([0-9a-f]*)";', header))
        fleet = bytes.fromhex(constants["kTestFleetScalarHex"])
        ephemeral = bytes.fromhex(constants["kTestEphemeralScalarHex"])
        salt = bytes.fromhex(constants["kTestSaltHex"])
        fleet_point = z.point_of(z.private_key(fleet))
        ephemeral_point = z.point_of(z.private_key(ephemeral))

        checked = 0
        # Both ends of the agreement reach the same secret.
        for secret in (z.shared_secret(ephemeral, fleet_point),
                       z.shared_secret(fleet, ephemeral_point)):
            self.assertEqual(secret.hex(), constants["kExpectedSharedSecretHex"])
            checked += 1
        key = z.envelope_key(secret, salt, ephemeral_point, fleet_point)
        self.assertEqual(key.hex(), constants["kExpectedEnvelopeKeyHex"])
        checked += 1

        psk = constants["kTestPsk"]
        nonce = bytes.fromhex(constants["kTestNonceHex"])
        ours = z.build_envelope(fleet_point[1:], b"Tournament", psk, salt, nonce, ephemeral)
        result = driver({"op": "build", "fleet_public_hex": fleet_point[1:].hex(),
                         "ssid_hex": b"Tournament".hex(), "psk": psk, "salt_hex": salt.hex(),
                         "nonce_hex": nonce.hex(), "scalar_hex": ephemeral.hex()})
        self.assertEqual(result.stdout.decode("ascii"), ours)
        checked += 1
        result = cli("selftest")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        report(f"(d) known answers reproduced by Python: {checked} "
               "(ECDH both ways, envelope key, fixed envelope)")

    # (e)
    def test_openers_agree_on_mutated_envelopes(self):
        rng = random.Random(SEED + 2)
        scalar = random_scalar(rng)
        psk = f"{rng.getrandbits(256):064x}"
        significant = b'"\\,:{}[] \n\t=+/Au0123456789abcdefABCDEF'
        outcomes = {"both opened": 0, "both refused": 0}
        for trial in range(240):
            ssid = CASES[trial % len(CASES)][2]
            if trial % 2 == 0:
                envelope = mutate(rng, z.build_envelope(z.public_raw(scalar), ssid, psk)
                                  .encode(), significant).decode("ascii")
            else:
                # Sealed correctly, so the payload reader itself is compared.
                payload = mutate(rng, z.payload_for(ssid, psk), significant + b"\x00\x1f\x80\xff")
                envelope = z.seal_payload(z.public_raw(scalar), payload).envelope
            with self.subTest(trial=trial, envelope=envelope):
                result = driver({"op": "open", "envelope": envelope,
                                 "fleet_scalar_hex": scalar.hex()})
                self.assertIn(result.returncode, (0, 1), result.stderr)
                try:
                    ours = z.open_envelope(envelope, scalar)
                except z.EnvelopeError as error:
                    self.assertEqual(result.returncode, 1, f"only Python refused: {error}")
                    message = result.stderr.decode().strip()
                    self.assertIs(type(error), class_of_message(message),
                                  f"Python: {error}; openEnvelope: {message}")
                    outcomes["both refused"] += 1
                else:
                    self.assertEqual(result.returncode, 0, f"only openEnvelope refused: "
                                     f"{result.stderr.decode().strip()}")
                    self.assertEqual(json.loads(result.stdout),
                                     {"ssid_hex": ours[0].hex(), "psk": ours[1]})
                    outcomes["both opened"] += 1
        report(f"(e) mutated envelopes and payloads: {outcomes['both opened']} opened by both, "
               f"{outcomes['both refused']} refused by both for the same reason")

    # (f)
    def test_python_verifies_what_the_library_signs(self):
        rng = random.Random(SEED + 3)
        verified = 0
        for label, fleet, ssid, psk in CASES:
            signer = random_scalar(rng)
            envelope = z.build_envelope(z.public_raw(fleet), ssid, psk)
            serial = rng.choice([1, 2, 2**32, 2**64 - 1, rng.randrange(1, 2**64)])
            issued = rng.randrange(0, 2**64 - 1)
            expires = rng.randrange(issued + 1, 2**64)
            with self.subTest(label, serial=serial):
                result = driver({"op": "sign", "signer_scalar_hex": signer.hex(),
                                 "fleet_public_hex": z.public_raw(fleet).hex(),
                                 "envelope": envelope, "serial": serial, "issued_at": issued,
                                 "expires_at": expires})
                self.assertEqual(result.returncode, 0, result.stderr)
                trust = sig.load_trust_list([z.public_raw(signer)], z.public_raw(fleet))
                checked, state = sig.verify(envelope.encode(), result.stdout, trust,
                                            sig.fresh_state(trust))
                expected = sig.make_statement(signer, z.public_raw(fleet), envelope.encode(),
                                              serial, issued, expires)
                self.assertEqual(checked.statement, expected)
                self.assertEqual(state.highest_serial, serial)
                # The file's layout is the one the format gives, octet for octet.
                values = dict(z.parse_json(result.stdout))
                self.assertEqual(result.stdout.decode(), sig.file_text(
                    expected.encode(), z.canonical_b64_decode(values[b"signature"])))
                verified += 1
        report(f"(f) makeSignatureFile -> Python verify: {verified} verified")

    # (g)
    def test_library_verifies_what_python_signs(self):
        rng = random.Random(SEED + 4)
        verified = 0
        for label, fleet, ssid, psk in CASES:
            signers = [random_scalar(rng) for _ in range(rng.randint(1, 4))]
            index = rng.randrange(len(signers))
            trust = sig.load_trust_list([z.public_raw(s) for s in signers], z.public_raw(fleet),
                                        version=rng.randrange(4))
            envelope = z.build_envelope(z.public_raw(fleet), ssid, psk)
            file = sig.sign_envelope(signers[index], z.public_raw(fleet), envelope.encode(),
                                     rng.randrange(1, 2**64), NOW - 60, NOW + 60)
            with self.subTest(label, signer=index):
                result = library_verify(envelope, file, trust, now=NOW)
                self.assertEqual(result.returncode, 0, result.stderr)
                answer = json.loads(result.stdout)
                checked, state = sig.verify(envelope.encode(), file.encode(), trust,
                                            sig.fresh_state(trust), now=NOW)
                self.assertEqual(answer["key_index"], index)
                self.assertEqual(answer["serial"], checked.statement.serial)
                self.assertEqual(answer["state_record_hex"], state.encode().hex())
                verified += 1
        report(f"(g) Python sign -> verifySignature: {verified} verified, same replay records")

    # (h)
    def test_verifiers_agree_on_mutated_signature_files(self):
        rng = random.Random(SEED + 5)
        fleet, signers = random_scalar(rng), [random_scalar(rng) for _ in range(3)]
        trust = sig.load_trust_list([z.public_raw(s) for s in signers], z.public_raw(fleet), 1)
        envelope = z.build_envelope(z.public_raw(fleet), b"Tournament", "ab" * 32)
        # A device that has accepted serial 5 from signer 1.
        first = sig.sign_envelope(signers[1], z.public_raw(fleet), envelope.encode(), 5,
                                  NOW - 60, NOW + 600)
        _, state = sig.verify(envelope.encode(), first.encode(), trust, sig.fresh_state(trust))
        significant = b'"\\,:{}[] \n=+/Aa0123456789'
        outcomes: dict[str, int] = {}
        for trial in range(240):
            signer = rng.randrange(3)
            serial = rng.choice([4, 5, 6])
            file = sig.sign_envelope(signers[signer], z.public_raw(fleet), envelope.encode(),
                                     serial, NOW - 60, NOW + rng.choice([30, 600]))
            text = file.encode()
            for _ in range(rng.choice([0, 1, 1, 2])):
                text = mutate(rng, text, significant)
            with self.subTest(trial=trial, file=text):
                result = driver({"op": "verify", "envelope": envelope,
                                 "signature": text.decode("latin-1"),
                                 "trust": trust_json(trust),
                                 "state_record_hex": state.encode().hex(), "policy": "required",
                                 "now": NOW + 60})
                self.assertIn(result.returncode, (0, 1), result.stderr)
                try:
                    sig.verify(envelope.encode(), text.decode("latin-1").encode(), trust, state,
                               now=NOW + 60)
                except sig.SignatureError as error:
                    self.assertEqual(result.returncode, 1, f"only Python refused: {error}")
                    self.assertEqual(check_of_message(result.stderr.decode().strip()),
                                     error.check)
                    outcomes[error.check] = outcomes.get(error.check, 0) + 1
                else:
                    self.assertEqual(result.returncode, 0, "only verifySignature refused: "
                                     f"{result.stderr.decode().strip()}")
                    outcomes["accepted"] = outcomes.get("accepted", 0) + 1
        report(f"(h) mutated signature files, the same outcome from both: {outcomes}")
        self.assertGreater(outcomes.get("accepted", 0), 0)
        self.assertGreaterEqual(len(outcomes), 8)

    # (i)
    def test_tool_and_python_verify_each_others_signature_files(self):
        rng = random.Random(SEED + 6)
        fleet, signer = random_scalar(rng), random_scalar(rng)
        self.write("fleet.pub", public_pem(fleet), 0o644)
        signer_key = self.write("signer.key", private_pem(signer, sec1=False))
        self.write("signer.pub", public_pem(signer), 0o644)
        trust = sig.load_trust_list([z.public_raw(signer)], z.public_raw(fleet))
        envelope = z.build_envelope(z.public_raw(fleet), b"Tournament", "cd" * 32).encode()
        path = self.write("wifi.json", envelope, 0o644)
        result = cli("sign", "--key", signer_key, "--fleet-key", os.path.join(self.work.name, "fleet.pub"), "--envelope", path,
                     "--serial", "77", "--valid-for", "2h")
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(path + ".sig", "rb") as file:
            verified, _ = sig.verify(envelope, file.read(), trust, sig.fresh_state(trust))
        self.assertEqual(verified.statement.serial, 77)
        self.assertEqual(verified.statement.expires_at - verified.statement.issued_at, 7200)

        self.write("wifi.json.sig", sig.sign_envelope(signer, z.public_raw(fleet), envelope, 78,
                                                      NOW, NOW + 60).encode(), 0o644)
        result = cli("verify", "--trust", os.path.join(self.work.name, "signer.pub"),
                     "--fleet-key", os.path.join(self.work.name, "fleet.pub"), "--envelope", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        shown = json.loads(result.stdout)
        self.assertEqual((shown["serial"], shown["issued_at"], shown["expires_at"]),
                         (78, "2027-01-15T08:00:00Z", "2027-01-15T08:01:00Z"))
        self.assertEqual(shown["signer_id"], sig.key_id(z.public_raw(signer)).hex())
        report("(i) zezi-vidad sign -> Python verify, Python sign -> zezi-vidad verify: both")

    def test_keys_made_by_the_tool_work_in_python(self):
        private = os.path.join(self.work.name, "fleet.key")
        public = os.path.join(self.work.name, "fleet.pub")
        result = cli("keygen", "--private", private, "--public", public)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(private).st_mode), 0o600)
        with open(private, "rb") as file:
            key = serialization.load_pem_private_key(file.read(), password=None)
        self.assertIsInstance(key.curve, ec.SECP256R1)
        scalar = key.private_numbers().private_value.to_bytes(32, "big")
        with open(public, "rb") as file:
            public_key = serialization.load_pem_public_key(file.read())
        self.assertEqual(result.stdout.decode().strip(), z.point_of(public_key)[1:].hex())
        self.assertEqual(z.point_of(public_key), z.point_of(key))

        psk = "ab" * 32
        result = cli("seal", "--fleet-key", public, "--ssid", "Tournament", "--psk-file", "-",
                     stdin=psk.encode())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(z.open_envelope(result.stdout.decode(), scalar), (b"Tournament", psk))


if __name__ == "__main__":
    unittest.main()
