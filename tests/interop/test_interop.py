"""The C++ library and tool against the Python implementation, in both directions.

(a) Python opens what `zezi-vidad seal` seals; (b) `zezi-vidad open` and openEnvelope open
what Python seals; (c) with the same ephemeral scalar, salt and nonce both sides write the
same envelope, octet for octet; (d) Python reproduces the self-test's known answers;
(e) on mutated envelopes and payloads both openers agree on the outcome and on the
failure class.
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
