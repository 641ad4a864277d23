#!/usr/bin/env python3
"""Runs one module of the interoperability tests for CTest.

usage: run_interop.py MODULE
Exits 77, which CTest reads as "skipped", when Python's `cryptography` package is
missing; otherwise 0 or 1 as unittest decides.
"""

import pathlib
import sys
import unittest

SKIPPED = 77

try:
    import cryptography  # noqa: F401
except ImportError:
    print("python3 has no `cryptography` package: skipped")
    sys.exit(SKIPPED)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[1])
result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
sys.exit(0 if result.wasSuccessful() else 1)
