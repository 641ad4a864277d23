"""The Python implementation's own JSON reader and Base64 rule, on the cases where a
general-purpose library would differ from the format: octet strings, escapes to UTF-8,
repeated keys kept, and one accepted text per octet string; its own deterministic ECDSA
signing against RFC 6979's published P-256/SHA-256 answers; and the replay record's rules,
with the older records read under a newer trust list, which the vectors leave out."""

import dataclasses
import unittest

import zezi_envelope as z
import zezi_signature as sig


class OctetJsonReader(unittest.TestCase):
    def test_strings_read_as_octets(self):
        for text, octets in [
            (b'"\xff\xfe\x80"', b"\xff\xfe\x80"),  # raw octets 0x80 and up, not UTF-8
            (b'"caf\xc3\xa9"', "café".encode()),
            (b'"\\u00e9"', b"\xc3\xa9"),  # an escape stands for its code point's UTF-8
            (b'"\\u00FF"', b"\xc3\xbf"),
            (b'"\\ud83d\\ude00"', "😀".encode()),
            (b'"\\u0000\\u001f"', b"\x00\x1f"),
            (b'"\\"\\\\\\/\\b\\f\\n\\r\\t"', b'"\\/\b\f\n\r\t'),
            (b'"\x7f"', b"\x7f"),
        ]:
            with self.subTest(text=text):
                self.assertEqual(z.parse_json(text), octets)

    def test_refused_texts(self):
        for name, text in [
            ("raw control octet", b'"a\x01"'),
            ("raw line feed", b'"a\n"'),
            ("lone high surrogate", b'"\\ud800"'),
            ("lone low surrogate", b'"\\udc00"'),
            ("high surrogate then non-surrogate", b'"\\ud800\\u0041"'),
            ("short escape", b'"\\u12"'),
            ("unknown escape", b'"\\x41"'),
            ("unterminated", b'"abc'),
            ("leading zero", b"01"),
            ("bare minus", b"-"),
            ("NaN", b"NaN"),
            ("trailing comma", b'{"a":1,}'),
            ("single quotes", b"{'a':1}"),
            ("text after value", b"{} {}"),
            ("byte order mark", b"\xef\xbb\xbf{}"),
            ("empty", b""),
            ("too deep", b"[" * 33 + b"]" * 33),
        ]:
            with self.subTest(name):
                with self.assertRaises(z.JsonSyntaxError):
                    z.parse_json(text)

    def test_objects_keep_order_and_repeats(self):
        self.assertEqual(z.parse_json(b' {"b":1, "a":[true,null], "b":"x"}\r\n'),
                         [(b"b", z.JsonNumber(b"1")), (b"a", [True, None]), (b"b", b"x")])
        self.assertIsInstance(z.parse_json(b"[" * 32 + b"]" * 32), list)  # the deepest allowed


class CanonicalBase64(unittest.TestCase):
    def test_one_text_per_octet_string(self):
        for text, octets in [(b"", b""), (b"QQ==", b"A"), (b"QUI=", b"AB"), (b"QUJD", b"ABC"),
                             (b"+/+/", b"\xfb\xff\xbf")]:
            with self.subTest(text=text):
                self.assertEqual(z.canonical_b64_decode(text), octets)
        for text in [b"QR==", b"QUJ=", b"QQ", b"QQ=", b"QQ===", b"QQ==QQ==", b"-_-_", b"QU JD",
                     b"QUJD\n", b"Q*==", b"===="]:
            with self.subTest(text=text):
                self.assertIsNone(z.canonical_b64_decode(text))


class Escaping(unittest.TestCase):
    def test_payload_escapes_only_quote_backslash_and_control_octets(self):
        ssid = bytes(range(256))
        escaped = z.json_escape(ssid)
        expected = (b"".join(b"\\u%04x" % o for o in range(8)) + b"\\u0008" + b"\\t\\n"
                    + b"\\u000b\\u000c\\r" + b"".join(b"\\u%04x" % o for o in range(0x0e, 0x20))
                    + b' !\\"' + bytes(range(0x23, 0x5c)) + b"\\\\" + bytes(range(0x5d, 0x100)))
        self.assertEqual(escaped, expected)
        self.assertEqual(z.parse_json(b'"' + escaped + b'"'), ssid)


# RFC 6979 A.2.5: the P-256 key, then per message with SHA-256 the k, r and s it gives.
RFC6979_KEY = "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721"
RFC6979_PUBLIC = ("60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
                  "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299")
RFC6979_SHA256 = [
    (b"sample", "a6e3c57dd01abe90086538398355dd4c3b17aa873382b0f24d6129493d8aad60",
     "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716",
     "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8"),
    (b"test", "d16b6ae827f17175e040871a1c7ec3500192c4c92677336ec2537acaee0008e0",
     "f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367",
     "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083"),
]


class DeterministicSigning(unittest.TestCase):
    def test_rfc6979_answers(self):
        scalar = bytes.fromhex(RFC6979_KEY)
        self.assertEqual(z.public_raw(scalar).hex(), RFC6979_PUBLIC)
        for message, k, r, s in RFC6979_SHA256:
            with self.subTest(message=message):
                nonce = next(sig.rfc6979_nonces(int(RFC6979_KEY, 16), sig.sha256(message)))
                self.assertEqual(f"{nonce:064x}", k)
                self.assertEqual(sig.ecdsa_sign(scalar, message), (int(r, 16), int(s, 16)))
                # The signature we write keeps r and folds s into the low half.
                low_s = min(int(s, 16), z.P256_ORDER - int(s, 16))
                raw = sig.sign_raw(scalar, message)
                self.assertEqual(raw, bytes.fromhex(r) + low_s.to_bytes(32, "big"))
                self.assertTrue(sig.is_canonical(raw))
                self.assertTrue(sig.verifies(bytes.fromhex(RFC6979_PUBLIC), message, raw))
                self.assertFalse(sig.verifies(bytes.fromhex(RFC6979_PUBLIC), message + b".",
                                              raw))


def rerecorded(record: bytes, at: int, octets: bytes) -> bytes:
    """`record` with `octets` at `at` and a right checksum, so that only the rule can fail."""
    body = record[:at] + octets + record[at + len(octets):-32]
    return body + sig.sha256(body)


SIGNER_IDS = [sig.sha256(bytes([n])) for n in range(3)]
FULL = sig.ReplayState(
    3, sig.sha256(b"list"), SIGNER_IDS[1], 9, 1000, SIGNER_IDS[1], 9, False,
    tuple(sig.Member(sig.sha256(bytes([n])), 10 + n, 20 + n, bytes([0x41 + n]) * 32)
          for n in range(sig.MAX_SET_SIZE)))
TWO = dataclasses.replace(FULL, members=FULL.members[:1] + (
    sig.Member(sig.sha256(b"unknown")),))  # the second one's SSID and times unknown
SLOT = 144  # the first member slot; each is 88 octets


class ReplayRecord(unittest.TestCase):
    def test_states_a_record_holds(self):
        for name, state in [
            ("fresh", sig.ReplayState(1, bytes(32), SIGNER_IDS[0], 3, 7)),
            ("sixteen members, SSIDs of 32 octets", FULL),
            ("an unknown member", TWO),
            ("two unknown members", dataclasses.replace(TWO, members=(
                sig.Member(b"\1" * 32), sig.Member(b"\2" * 32)))),
            ("carried", dataclasses.replace(TWO, set_carried=True, set_key_id=SIGNER_IDS[2])),
        ]:
            with self.subTest(name):
                record = state.encode()
                self.assertEqual((len(record), record[4:6]), (sig.RECORD_SIZE, b"\0\3"))
                self.assertEqual(sig.decode_record(record), state)

    def test_records_that_break_a_rule(self):
        two = TWO.encode()
        for name, record in [
            ("count 17", rerecorded(two, 136, b"\x11")),
            ("carried flag 2", rerecorded(two, 137, b"\2")),
            ("octet 6", rerecorded(two, 6, b"\1")),
            ("header padding", rerecorded(two, 138, b"\1")),
            ("SSID length 33", rerecorded(two, SLOT + 48, b"\x21")),
            ("octet after the SSID", rerecorded(two, SLOT + 88 + 48 + 1, b"\1")),
            ("member padding", rerecorded(two, SLOT + 81, b"\1")),
            ("unused slot", rerecorded(two, SLOT + 2 * 88 + 40, b"\1")),
            ("duplicate hash", rerecorded(two, SLOT + 88, two[SLOT:SLOT + 32])),
            ("duplicate known SSID", rerecorded(FULL.encode(), SLOT + 88 + 49, b"A" * 32)),
            ("members without a set key", rerecorded(two, 96, bytes(32))),
            ("version 2 at this length", rerecorded(two, 4, b"\0\2")),
            ("checksum", two[:-1] + bytes([two[-1] ^ 1])),
        ]:
            with self.subTest(name):
                self.assertIsNone(sig.decode_record(record))
        for name, state in [
            ("17 members", dataclasses.replace(FULL, members=FULL.members + (
                sig.Member(b"\x99" * 32),))),
            ("duplicate SSID", dataclasses.replace(TWO, members=FULL.members[:1] + (
                dataclasses.replace(FULL.members[1], ssid=FULL.members[0].ssid),)))]:
            with self.subTest(name), self.assertRaises(ValueError):
                state.encode()


class OlderRecords(unittest.TestCase):
    """Records of versions 1 and 2 under lists of their own version and newer."""

    def setUp(self):
        scalars = [bytes([n + 1]) * 32 for n in range(3)]
        self.signers = [z.public_raw(s) for s in scalars]
        self.fleet = z.public_raw(b"\x09" * 32)
        self.trust = sig.load_trust_list(self.signers, self.fleet, 4, 0, 500)
        self.newer = sig.load_trust_list(self.signers[1:], self.fleet, 5, 2, 600)
        self.accepted = sig.sha256(b"envelope")

    def older(self, version: int, key_index: int = 0) -> bytes:
        body = (b"ZVRS" + version.to_bytes(2, "big")
                + (key_index if version == 1 else 0).to_bytes(2, "big")
                + (4).to_bytes(8, "big") + (7).to_bytes(8, "big") + (900).to_bytes(8, "big")
                + self.accepted)
        if version == 2:
            body += self.trust.signer_ids[key_index] + self.trust.digest
        return body + sig.sha256(body)

    def test_read_as_a_set_of_one(self):
        for version, index in [(1, 2), (2, 1)]:
            with self.subTest(version=version):
                record = self.older(version, index)
                state = sig.decode_record(record)
                self.assertEqual(state.members, (sig.Member(self.accepted),))
                self.assertEqual(state.set_serial, 7)
                # Version 1 comes back as it was until used; version 2 becomes version 3.
                again = state.encode()
                self.assertEqual(again == record, version == 1)
                self.assertEqual(len(again), len(record) if version == 1 else sig.RECORD_SIZE)
                usable, key = sig.usable_state(state, self.trust)
                key_id = self.trust.signer_ids[index]
                self.assertEqual((key, usable.key_id, usable.set_key_id),
                                 (index, key_id, key_id))
                self.assertTrue(usable.set_is_current)

    def test_under_a_newer_list(self):
        # Version 2 named its key, so its set is carried; version 1 named a place in a list
        # that is gone, so nothing is.
        for version, carried in [
                (1, ((), bytes(32), 0, False)),
                (2, ((sig.Member(self.accepted),), self.trust.signer_ids[1], 7, True))]:
            with self.subTest(version=version):
                usable, key = sig.usable_state(sig.decode_record(self.older(version, 1)),
                                               self.newer)
                self.assertEqual((key, usable.key_id, usable.highest_serial,
                                  usable.time_floor), (0, self.newer.signer_ids[0], 2, 600))
                self.assertEqual((usable.members, usable.set_key_id, usable.set_serial,
                                  usable.set_carried), carried)
                self.assertFalse(usable.set_is_current)


if __name__ == "__main__":
    unittest.main()
