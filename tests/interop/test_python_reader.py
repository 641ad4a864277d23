"""The Python implementation's own JSON reader and Base64 rule, on the cases where a
general-purpose library would differ from the format: octet strings, escapes to UTF-8,
repeated keys kept, and one accepted text per octet string."""

import unittest

import zezi_envelope as z


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


if __name__ == "__main__":
    unittest.main()
