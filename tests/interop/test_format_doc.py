"""docs/format.md against the Python implementation: the worked example's every value,
its envelope, its agreement with the self-test's fixed inputs, and the info layout
table."""

import hashlib
import hmac
import re
import unittest

import zezi_envelope as z
from interop_paths import SOURCE_DIR

DOC = (SOURCE_DIR / "docs" / "format.md").read_text(encoding="utf-8")


def fenced_blocks(language: str) -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```$", DOC, flags=re.M | re.S)


def example_values() -> dict[str, str]:
    """The `name: value` lines of the worked example's block."""
    block = next(b for b in fenced_blocks("text") if b.startswith("fleet_scalar:"))
    values = {}
    for line in block.splitlines():
        name, value = line.split(": ")
        assert name not in values, f"{name} appears twice"
        values[name] = value
    return values


class WorkedExample(unittest.TestCase):
    def setUp(self):
        self.doc = example_values()
        inputs = {name: bytes.fromhex(self.doc[name])
                  for name in ("fleet_scalar", "ephemeral_scalar", "salt", "nonce", "ssid")}
        self.psk = self.doc["psk"]
        self.ssid = inputs["ssid"]
        self.fleet_scalar = inputs["fleet_scalar"]
        self.sealing = z.seal_payload(z.public_raw(self.fleet_scalar),
                                      z.payload_for(self.ssid, self.psk), inputs["salt"],
                                      inputs["nonce"], inputs["ephemeral_scalar"])

    def test_every_value_recomputes(self):
        s = self.sealing
        computed = {
            "fleet_scalar": self.fleet_scalar.hex(),
            "fleet_point": s.fleet_point.hex(),
            "ephemeral_scalar": s.ephemeral_scalar.hex(),
            "ephemeral_point": s.ephemeral_point.hex(),
            "shared_secret": s.shared_secret.hex(),
            "salt": s.salt.hex(),
            "info": s.info.hex(),
            "hkdf_prk": hmac.new(s.salt, s.shared_secret, hashlib.sha256).hexdigest(),
            "envelope_key": s.envelope_key.hex(),
            "nonce": s.nonce.hex(),
            "aad": z.DOMAIN.hex(),
            "ssid": self.ssid.hex(),
            "psk": self.psk,
            "payload": s.payload.hex(),
            "ciphertext": s.sealed[:-z.TAG_SIZE].hex(),
            "tag": s.sealed[-z.TAG_SIZE:].hex(),
            "sealed": s.sealed.hex(),
        }
        self.assertEqual(sorted(self.doc), sorted(computed), "names in the example block")
        for name, value in computed.items():
            with self.subTest(name):
                self.assertEqual(self.doc[name], value)
        # Both ends of the agreement, and the second HKDF step written out by hand.
        self.assertEqual(z.shared_secret(self.fleet_scalar, s.ephemeral_point), s.shared_secret)
        prk = bytes.fromhex(self.doc["hkdf_prk"])
        self.assertEqual(hmac.new(prk, s.info + b"\x01", hashlib.sha256).digest(),
                         s.envelope_key)

    def test_envelope_is_the_sealed_example_and_opens(self):
        envelope = next(b for b in fenced_blocks("json") if '"format"' in b)
        self.assertEqual(envelope, self.sealing.envelope)
        self.assertEqual(z.open_envelope(envelope, self.fleet_scalar), (self.ssid, self.psk))
        self.assertIn(f"`{self.sealing.payload.decode()}`", DOC)

    def test_inputs_are_the_self_test_inputs(self):
        header = (SOURCE_DIR / "selftest" / "known_answers.h").read_text()
        constants = dict(re.findall(r'(k\w+) =\s*"([0-9a-f]*)";', header))
        for doc_name, constant in [("fleet_scalar", "kTestFleetScalarHex"),
                                   ("ephemeral_scalar", "kTestEphemeralScalarHex"),
                                   ("salt", "kTestSaltHex"), ("nonce", "kTestNonceHex"),
                                   ("psk", "kTestPsk"),
                                   ("shared_secret", "kExpectedSharedSecretHex"),
                                   ("envelope_key", "kExpectedEnvelopeKeyHex")]:
            with self.subTest(doc_name):
                self.assertEqual(self.doc[doc_name], constants[constant])
        self.assertEqual(self.ssid, b"Tournament")


class InfoLayoutTable(unittest.TestCase):
    def test_rows_slice_the_example_info(self):
        table = DOC[DOC.index("| Offset | Length | Content |"):]
        rows = re.findall(r"^\| (\d+) \| (\d+) \|", table.split("\n\n")[0], flags=re.M)
        values = example_values()
        info = bytes.fromhex(values["info"])
        parts = [info[int(offset):int(offset) + int(length)] for offset, length in rows]
        self.assertEqual(parts, [z.DOMAIN, bytes.fromhex(values["ephemeral_point"]),
                                 bytes.fromhex(values["fleet_point"])])
        self.assertEqual(sum(int(length) for _, length in rows), len(info))


if __name__ == "__main__":
    unittest.main()
