"""The published vectors (tests/vectors/envelopes.json and signed_envelopes.json) through
the Python implementation, and the generators against the checked-in files.
tests/opener/envelope_vectors_test.cpp runs the same cases through the C++ library."""

import json
import subprocess
import sys
import unittest

import zezi_envelope as z
import zezi_signature as sig
from interop_paths import SOURCE_DIR

VECTORS = SOURCE_DIR / "tests" / "vectors" / "envelopes.json"
SIGNED_VECTORS = SOURCE_DIR / "tests" / "vectors" / "signed_envelopes.json"


def run_generator(script: str, output) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(SOURCE_DIR / "tools" / script), "--check", "-o",
                           str(output)], capture_output=True, text=True, timeout=120,
                          check=False)


class PublishedVectors(unittest.TestCase):
    def test_every_case_opens_or_fails_as_published(self):
        cases = json.loads(VECTORS.read_text(encoding="utf-8"))
        counts = {"valid": 0, "invalid": 0}
        for case in cases:
            with self.subTest(case["id"]):
                scalar = bytes.fromhex(case["fleet_private_hex"])
                if case["result"] == "valid":
                    self.assertEqual(z.open_envelope(case["envelope"], scalar),
                                     (bytes.fromhex(case["ssid_hex"]), case["psk"]))
                else:
                    self.assertEqual(case["result"], "invalid")
                    expected = getattr(z, case["error"]["exception"])
                    self.assertTrue(issubclass(expected, z.EnvelopeError))
                    with self.assertRaises(z.EnvelopeError) as raised:
                        z.open_envelope(case["envelope"], scalar)
                    self.assertIs(type(raised.exception), expected, str(raised.exception))
                counts[case["result"]] += 1
        print(f"  vectors through Python open_envelope: {counts['valid']} valid, "
              f"{counts['invalid']} invalid", file=sys.stderr)
        self.assertGreater(counts["valid"], 0)
        self.assertGreater(counts["invalid"], 0)

    def test_generator_reproduces_the_published_file(self):
        result = run_generator("make_envelope_vectors.py", VECTORS)
        self.assertEqual(result.returncode, 0, result.stderr)


class PublishedSignedSequences(unittest.TestCase):
    def test_every_step_ends_as_published(self):
        document = json.loads(SIGNED_VECTORS.read_text(encoding="utf-8"))
        trust_lists = {
            name: sig.load_trust_list([bytes.fromhex(k) for k in entry["signers"]],
                                      bytes.fromhex(entry["fleet_public_hex"]),
                                      entry["version"], entry["serial_floor"],
                                      entry["time_floor"])
            for name, entry in document["trust_lists"].items()}
        fleet = bytes.fromhex(document["fleet_private_hex"])
        counts = {"accepted": 0, "refused": 0}
        checks = set()
        for case in document["sequences"]:
            record = bytes.fromhex(case["initial_state_record_hex"])
            for number, step in enumerate(case["steps"], 1):
                with self.subTest(case["id"], step=number, note=step["note"]):
                    trust = trust_lists[step["trust_list"]]
                    signature = step["signature"]
                    run = (lambda: sig.open_signed_envelope(
                        step["envelope"].encode(),
                        None if signature is None else signature.encode(), trust,
                        sig.stored_state(record, trust), fleet, step["policy"], step["now"]))
                    if step["result"] == "accepted":
                        network, verified, new_state = run()
                        self.assertEqual(network, (bytes.fromhex(step["ssid_hex"]), step["psk"]))
                        self.assertEqual(verified.is_signed, step["signed"])
                        if verified.is_signed:
                            self.assertEqual(verified.key_index, step["key_index"])
                            self.assertEqual(verified.statement.serial, step["serial"])
                            record = new_state.encode()
                    elif step["error"]["check"] == "open":
                        with self.assertRaises(z.EnvelopeError) as raised:
                            run()
                        self.assertEqual(type(raised.exception).__name__,
                                         step["error"]["exception"])
                    else:
                        with self.assertRaises(sig.SignatureError) as raised:
                            run()
                        self.assertEqual(raised.exception.check, step["error"]["check"])
                        checks.add(raised.exception.check)
                    self.assertEqual(record.hex(), step["state_record_hex"])
                    decoded = sig.decode_record(record)
                    self.assertEqual(step["state"], decoded and decoded.as_json())
                    counts[step["result"]] += 1
        print(f"  signed sequences through Python: {counts['accepted']} steps accepted, "
              f"{counts['refused']} refused", file=sys.stderr)
        self.assertGreater(counts["accepted"], 0)
        self.assertEqual(checks, set(sig.CHECKS), "every check refuses some step")

    def test_generator_reproduces_the_published_file(self):
        result = run_generator("make_signed_envelope_vectors.py", SIGNED_VECTORS)
        self.assertEqual(result.returncode, 0, result.stderr)


if __name__ == "__main__":
    unittest.main()
