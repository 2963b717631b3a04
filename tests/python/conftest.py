import hashlib
import os
import subprocess
import sys

import pytest

import tolvane


def sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def panic_type():
    """The internal-failure exception class (not a module attribute)."""
    try:
        tolvane.ColumnSchema("no such type")
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("expected an internal failure")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


def root(name, lt="integer", st="numeric"):
    return tolvane.Feature(name, lt, st)


def prim(name="add_numeric", commutative=True, slots=2, function_type="transform",
         schema=("double", "numeric"), ret=("double", "numeric"), module="ops"):
    return tolvane.Primitive(name, module, function_type, commutative, [[schema] * slots], ret)


def run_python(code, env_extra=None, timeout=60, args=()):
    """Runs `code` in a child interpreter, so that a crash or a hang fails one test only."""
    env = dict(os.environ, **(env_extra or {}))
    return subprocess.run([sys.executable, "-c", code, *args], env=env, timeout=timeout,
                          capture_output=True, text=True)


# A child started from a background job inherits SIGINT ignored, and Python then leaves it so;
# children that are sent SIGINT run this first.
RESTORE_SIGINT = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"
