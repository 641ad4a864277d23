#!/usr/bin/env python3
"""Seals the envelope the way a fleet operator would in Python with the `cryptography`
package (fresh ephemeral key, salt and nonce each time), as the peer of the library's
sealing benchmarks.

usage: bench_python_peer.py FLEET_PUBLIC_KEY_HEX [--seconds S] [--repetitions N] [--write FILE]

Prints one line of JSON: {"seal_us": <median CPU microseconds per envelope>, ...}. With
--write, also writes one envelope to FILE, for a check that the tool opens it.
"""

import argparse
import base64
import json
import os
import statistics
import sys
import time

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

DOMAIN = b"tolvane-wifi-drive/v1"
SSID = "Tournament"
PSK = "843433c2acf9046dd57bd590406af6760366420d221b157776a33262d364f977"
SALT_SIZE = 16
NONCE_SIZE = 12


def seal(fleet_key, fleet_point):
    ephemeral = ec.generate_private_key(ec.SECP256R1())
    ephemeral_point = ephemeral.public_key().public_bytes(
        Encoding.X962, PublicFormat.UncompressedPoint)
    shared = ephemeral.exchange(ec.ECDH(), fleet_key)
    salt = os.urandom(SALT_SIZE)
    nonce = os.urandom(NONCE_SIZE)
    key = HKDF(algorithm=hashes.SHA256(), length=32, salt=salt,
               info=DOMAIN + ephemeral_point + fleet_point).derive(shared)
    payload = json.dumps({"networks": [{"ssid": SSID, "psk": PSK}]},
                         separators=(",", ":")).encode()
    sealed = AESGCM(key).encrypt(nonce, payload, DOMAIN)
    members = [("format", DOMAIN.decode()), ("eph_pub", ephemeral_point), ("salt", salt),
               ("nonce", nonce), ("sealed", sealed)]
    lines = ['  "%s": "%s"' % (name, value if isinstance(value, str)
                                 else base64.b64encode(value).decode())
             for name, value in members]
    return "{\n" + ",\n".join(lines) + "\n}\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("fleet_key_hex")
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--write")
    args = parser.parse_args()

    fleet_point = b"\x04" + bytes.fromhex(args.fleet_key_hex)
    fleet_key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), fleet_point)
    if args.write:
        with open(args.write, "w", encoding="ascii") as out:
            out.write(seal(fleet_key, fleet_point))

    # Each repetition seals for about --seconds of CPU time; the median of them is kept.
    per_envelope = []
    for _ in range(args.repetitions):
        count = 0
        started = time.process_time()
        while time.process_time() - started < args.seconds:
            for _ in range(100):
                seal(fleet_key, fleet_point)
            count += 100
        per_envelope.append((time.process_time() - started) / count * 1e6)
    json.dump({"seal_us": statistics.median(per_envelope), "repetitions": per_envelope},
              sys.stdout)
    print()


if __name__ == "__main__":
    main()
