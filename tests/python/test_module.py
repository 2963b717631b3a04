import importlib.metadata
import os

import pytest

import tolvane
from support import PanicException, run_python

FUNCTIONS = ["generate_features", "load_primitives", "generate_fake_features", "compare_featuresets"]
CLASSES = ["Feature", "Primitive", "ColumnSchema", "InputSet"]


def test_all_lists_functions_then_classes_in_registration_order():
    assert tolvane.__all__ == FUNCTIONS + CLASSES
    public = {n for n in dir(tolvane) if not n.startswith("__")}
    assert public == set(FUNCTIONS + CLASSES)


def test_functions_are_module_builtins_without_docs():
    for name in FUNCTIONS:
        f = getattr(tolvane, name)
        assert f.__module__ == "tolvane"
        assert f.__self__ is tolvane
        assert f.__doc__ is None
        assert f.__text_signature__ is None


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_builtins_without_dict(name):
    cls = getattr(tolvane, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_classes_are_immutable_like_the_interpreters_own():
    # In a child: were an assignment to succeed, it would break every later caller in the process.
    code = """
import tolvane
attributes = {"Feature": ["save_features", "name", "__new__", "other"], "Primitive": ["name", "__str__"],
              "ColumnSchema": ["__repr__", "other"], "InputSet": ["__new__", "other"]}
for name, attrs in attributes.items():
    cls = getattr(tolvane, name)
    for attr in attrs:
        for change in (lambda: setattr(cls, attr, None), lambda: delattr(cls, attr)):
            try:
                change()
            except TypeError as e:
                assert str(e) == f"cannot set {attr!r} attribute of immutable type 'builtins.{name}'", e
            else:
                raise AssertionError(f"{name}.{attr} changed")
f = tolvane.Feature("a", "integer", "numeric")
tolvane.Feature.save_features([f], "/dev/null")
print(f.name, str(tolvane.ColumnSchema()) == repr(tolvane.ColumnSchema()))
"""
    r = run_python(code, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["a", "True"]


def test_instances_take_no_new_attributes():
    f = tolvane.Feature("a", "integer", "numeric")
    with pytest.raises(AttributeError):
        f.other = 1
    with pytest.raises(AttributeError):
        tolvane.InputSet([]).inputs
    with pytest.raises(AttributeError):
        tolvane.ColumnSchema().__dict__


def test_panic_exception_is_a_base_exception_outside_the_module():
    assert PanicException.__name__ == "PanicException"
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert not hasattr(tolvane, "PanicException")
    assert PanicException.__doc__
    try:
        tolvane.ColumnSchema("Integr")
    except Exception:  # noqa: BLE001
        pytest.fail("an internal failure must not be caught by `except Exception`")
    except BaseException as e:  # noqa: BLE001
        assert e.args == ("Integr is not a valid logical type: ()",)


def test_nothing_is_picklable():
    import pickle

    for obj in [tolvane.ColumnSchema(), tolvane.InputSet([]), tolvane.Feature("a", "b", "c")]:
        with pytest.raises(TypeError):
            pickle.dumps(obj)


def installed_from_manylinux_wheel():
    # auditwheel gives a wheel its manylinux tags; pip install . leaves linux_<arch>.
    wheel = importlib.metadata.distribution("tolvane").read_text("WHEEL") or ""
    return "manylinux" in wheel


# All a wheel may take from the system: glibc. The C++ runtime comes inside the module.
BASE_SYSTEM = {"libc", "libm", "libpthread", "libdl", "ld-linux-x86-64", "ld-linux-aarch64"}


@pytest.mark.skipif(not installed_from_manylinux_wheel(), reason="not installed from a wheel")
def test_wheel_loads_nothing_from_the_system_but_glibc():
    # A fresh interpreter, so that the libraries that importing tolvane maps are told apart
    # from those that the test run had loaded already (hashlib's libcrypto, for one).
    script = """
        def mapped():
            with open("/proc/self/maps") as maps:
                return {line.split()[-1] for line in maps if ".so" in line}
        before = mapped()
        import tolvane
        tolvane.generate_fake_features(3)
        print("\\n".join(sorted(mapped() - before)))
    """
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    foreign = [path for path in result.stdout.split()
               if path != tolvane.__file__
               and os.path.basename(path).split(".so")[0] not in BASE_SYSTEM]
    assert foreign == []
