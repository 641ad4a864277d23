"""docs/format.md against the Python implementation: the worked example's every value,
its envelope, its agreement with the self-test's fixed inputs, and the info layout
table; then the signed example's every value, its signature file (which the C++ library
verifies too), the statement and record tables, and the list of checks."""

import hashlib
import hmac
import json
import re
import unittest

import zezi_envelope as z
import zezi_signature as sig
from interop_paths import SOURCE_DIR, driver

DOC = (SOURCE_DIR / "docs" / "format.md").read_text(encoding="utf-8")


def fenced_blocks(language: str) -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```$", DOC, flags=re.M | re.S)


def example_values(first: str = "fleet_scalar") -> dict[str, str]:
    """The `name: value` lines of the worked example's block that starts with `first`; a
    long value may follow a bare `name:` on lines of its own, which are joined."""
    block = next(b for b in fenced_blocks("text") if b.startswith(first + ":"))
    values: dict[str, str] = {}
    name = None
    for line in block.splitlines():
        if ":" not in line:
            assert name is not None and re.fullmatch(r"[0-9a-f]+", line), line
            values[name] += line
            continue
        name, value = line.split(":")
        assert name not in values, f"{name} appears twice"
        values[name] = value.removeprefix(" ")
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


def table_rows(header: str) -> list[tuple[int, int]]:
    """(offset, octets) of each row of the table under `header`; `16 × 88` is 1408."""
    table = DOC[DOC.index(header):]
    return [(int(offset), int(size) * int(times or 1))
            for offset, size, times in re.findall(r"^\| (\d+) \| (\d+)(?: × (\d+))? \|",
                                                  table.split("\n\n")[0], flags=re.M)]


class SignedWorkedExample(unittest.TestCase):
    def setUp(self):
        self.doc = example_values("signer_scalar")
        self.signer = bytes.fromhex(self.doc["signer_scalar"])
        self.fleet_scalar = bytes.fromhex(example_values()["fleet_scalar"])
        self.envelope = next(b for b in fenced_blocks("json") if '"eph_pub"' in b)
        self.statement = sig.make_statement(
            self.signer, z.public_raw(self.fleet_scalar), self.envelope.encode(),
            int(self.doc["serial"]), int(self.doc["issued_at"]), int(self.doc["expires_at"]))
        self.trust = sig.load_trust_list([z.public_raw(self.signer)],
                                         z.public_raw(self.fleet_scalar), version=1)

    def test_every_value_recomputes(self):
        octets = self.statement.encode()
        message = sig.signed_message(octets)
        signature = sig.sign_raw(self.signer, message)
        _, _, state = sig.open_signed_envelope(
            self.envelope.encode(), sig.file_text(octets, signature).encode(), self.trust,
            sig.fresh_state(self.trust), self.fleet_scalar)
        computed = {
            "signer_scalar": self.signer.hex(),
            "signer_point": z.point_of(z.private_key(self.signer)).hex(),
            "signer_key_id": self.statement.signer_key_id.hex(),
            "fleet_point": z.point_of(z.private_key(self.fleet_scalar)).hex(),
            "fleet_id": self.statement.fleet_id.hex(),
            "envelope_sha256": hashlib.sha256(self.envelope.encode()).hexdigest(),
            "serial": self.doc["serial"], "issued_at": self.doc["issued_at"],
            "expires_at": self.doc["expires_at"],
            "statement": octets.hex(),
            "message": message.hex(),
            "message_sha256": hashlib.sha256(message).hexdigest(),
            "r": signature[:32].hex(), "s": signature[32:].hex(),
            "signature": signature.hex(),
            "state_record": state.encode().hex(),
        }
        self.assertEqual(sorted(self.doc), sorted(computed), "names in the example block")
        for name, value in computed.items():
            with self.subTest(name):
                self.assertEqual(self.doc[name], value)
        self.assertEqual(self.doc["signer_key_id"],
                         hashlib.sha256(bytes.fromhex(self.doc["signer_point"])).hexdigest())

    def test_signature_file_is_the_example_and_the_library_accepts_it(self):
        file = next(b for b in fenced_blocks("json") if '"statement"' in b)
        self.assertEqual(file, sig.file_text(bytes.fromhex(self.doc["statement"]),
                                             bytes.fromhex(self.doc["signature"])))
        result = driver({"op": "verify", "envelope": self.envelope, "signature": file,
                         "trust": {"signers": [z.public_raw(self.signer).hex()],
                                   "fleet_public_hex": z.public_raw(self.fleet_scalar).hex(),
                                   "version": 1, "serial_floor": 0, "time_floor": 0},
                         "state_record_hex": "", "policy": "required",
                         "fleet_scalar_hex": self.fleet_scalar.hex(), "now": None})
        self.assertEqual(result.returncode, 0, result.stderr)
        answer = json.loads(result.stdout)
        self.assertEqual(answer["state_record_hex"], self.doc["state_record"])
        self.assertEqual(bytes.fromhex(answer["ssid_hex"]), b"Tournament")

    def test_tables_slice_the_example(self):
        octets = bytes.fromhex(self.doc["statement"])
        rows = table_rows("| Offset | Octets | Field | Rule |")
        self.assertEqual([octets[o:o + n] for o, n in rows],
                         [bytes.fromhex(self.doc["signer_key_id"]),
                          bytes.fromhex(self.doc["fleet_id"]),
                          bytes.fromhex(self.doc["envelope_sha256"])]
                         + [int(self.doc[k]).to_bytes(8, "big")
                            for k in ("serial", "issued_at", "expires_at")])
        self.assertEqual(sum(n for _, n in rows), sig.STATEMENT_SIZE)
        record = bytes.fromhex(self.doc["state_record"])
        rows = table_rows("| Offset | Octets | Content |")
        self.assertEqual([o for o, _ in rows], [0] + [o + n for o, n in rows[:-1]],
                         "rows follow one another")
        self.assertEqual(sum(n for _, n in rows), sig.RECORD_SIZE)
        number = lambda name: int(self.doc[name]).to_bytes(8, "big")  # noqa: E731
        signer_id = bytes.fromhex(self.doc["signer_key_id"])
        ssid = b"Tournament"
        member = (bytes.fromhex(self.doc["envelope_sha256"]) + number("issued_at")
                  + number("expires_at") + bytes([len(ssid)]) + ssid.ljust(32, b"\0")
                  + bytes(7))
        self.assertEqual([record[o:o + n] for o, n in rows], [
            b"ZVRS", b"\0\3", bytes(2), (1).to_bytes(8, "big"), number("serial"),
            number("issued_at"), signer_id, self.trust.digest, signer_id, number("serial"),
            b"\1", b"\0", bytes(6), member.ljust(16 * 88, b"\0"),
            hashlib.sha256(record[:-32]).digest()])


class SignatureChecksList(unittest.TestCase):
    def test_names_and_messages_are_the_implementations(self):
        section = DOC[DOC.index("### 9.7"):DOC.index("### 9.8")]
        items = re.findall(r"^\d+\. (.*?)(?=^\d+\. |^Then |\Z)", section, flags=re.M | re.S)
        names = [n for item in items for n in re.findall(r"^`([a-z-]+)`(?: and `([a-z-]+)`)?",
                                                          item)[0] if n]
        self.assertEqual(tuple(names), sig.CHECKS)
        source = (SOURCE_DIR / "opener" / "verify_signature.cpp").read_text()
        messages = [m for item in items for m in re.findall(r'"([^"]+)"', " ".join(item.split()))]
        self.assertGreaterEqual(len(messages), len(sig.CHECKS))
        for message in messages:
            with self.subTest(message):
                self.assertIn(f'"{message}"', source)


if __name__ == "__main__":
    unittest.main()
