"""Where the programs under test are: CTest passes their paths in the environment."""

import json
import os
import pathlib
import subprocess

SOURCE_DIR = pathlib.Path(
    os.environ.get("ZEZI_VIDAD_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))


def program(variable: str) -> str:
    path = os.environ.get(variable, "")
    if not path or not os.access(path, os.X_OK):
        raise AssertionError(f"{variable} does not name a built program: {path!r}")
    return path


def cli(*args, stdin: bytes = b"") -> subprocess.CompletedProcess:
    """Runs zezi-vidad; arguments may be bytes (SSIDs need not be UTF-8)."""
    return subprocess.run([program("ZEZI_VIDAD_CLI"), *args], input=stdin, capture_output=True,
                          timeout=60, check=False)


def driver(request: dict) -> subprocess.CompletedProcess:
    """One request to tests/interop/envelope_driver.cpp (buildEnvelope / openEnvelope)."""
    return subprocess.run([program("ZEZI_VIDAD_ENVELOPE_DRIVER")],
                          input=json.dumps(request).encode(), capture_output=True, timeout=60,
                          check=False)
