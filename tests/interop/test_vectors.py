"""The published vectors (tests/vectors/envelopes.json) through the Python opener, and
the generator against the checked-in file. tests/opener/envelope_vectors_test.cpp runs
the same cases through openEnvelope."""

import json
import subprocess
import sys
import unittest

import zezi_envelope as z
from interop_paths import SOURCE_DIR

VECTORS = SOURCE_DIR / "tests" / "vectors" / "envelopes.json"


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
        result = subprocess.run(
            [sys.executable, str(SOURCE_DIR / "tools" / "make_envelope_vectors.py"), "--check",
             "-o", str(VECTORS)], capture_output=True, text=True, timeout=120, check=False)
        self.assertEqual(result.returncode, 0, result.stderr)


if __name__ == "__main__":
    unittest.main()
