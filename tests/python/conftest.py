import hashlib

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
