"""Argument binding and conversion: the texts every callable shares."""
import pathlib
import sys

import pytest

import tolvane
from support import prim, root, run_python


@pytest.mark.parametrize("call, message", [
    (lambda: tolvane.Feature("a"),
     "Feature.__new__() missing 2 required positional arguments: 'lt' and 'st'"),
    (lambda: tolvane.Primitive(),
     "Primitive.__new__() missing 6 required positional arguments: 'name', 'module', "
     "'function_type', 'commutative', 'column_schemas', and 'return_type'"),
    (lambda: tolvane.InputSet(),
     "InputSet.__new__() missing 1 required positional argument: 'inputs'"),
    (lambda: tolvane.Feature("a", "b", "c", None, None, 1),
     "Feature.__new__() takes from 3 to 5 positional arguments but 6 were given"),
    (lambda: tolvane.ColumnSchema(1, 2, 3),
     "ColumnSchema.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda: tolvane.generate_fake_features(1, 2),
     "generate_fake_features() takes 1 positional arguments but 2 were given"),
    (lambda: tolvane.compare_featuresets([], [], features3=[]),
     "compare_featuresets() got an unexpected keyword argument 'features3'"),
    (lambda: tolvane.InputSet([], inputs=[]),
     "InputSet.__new__() got multiple values for argument 'inputs'"),
    (lambda: tolvane.compare_featuresets(features2=[]),
     "compare_featuresets() missing 1 required positional argument: 'features1'"),
    (lambda: tolvane.Feature.save_features([]),
     "Feature.save_features() missing 1 required positional argument: 'filename'"),
    (lambda: root("x").save_features([], "f", "g"),
     "Feature.save_features() takes 2 positional arguments but 3 were given"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keywords_bind_in_any_order():
    assert [str(f) for f in tolvane.compare_featuresets(features2=[], features1=[root("a")])[0]] == [
        str(root("a"))]
    assert str(tolvane.ColumnSchema(st="numeric")) == "Unknown:Numeric"
    assert str(tolvane.Feature(st="index", lt="url", name="n")).startswith(
        "n:ColumnSchema { logical_type: URL, semantic_tag: Index }")


@pytest.mark.parametrize("call, message", [
    (lambda: tolvane.ColumnSchema(1), "argument 'lt': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.ColumnSchema(None, b"x"), "argument 'st': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: tolvane.Primitive("n", "m", "t", 1, [], (None, None)),
     "argument 'commutative': 'int' object cannot be converted to 'PyBool'"),
    (lambda: tolvane.Primitive("n", "m", "t", "True", [], (None, None)),
     "argument 'commutative': 'str' object cannot be converted to 'PyBool'"),
    (lambda: tolvane.Primitive("n", "m", "t", True, [], ["a", "b"]),
     "argument 'return_type': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: tolvane.Primitive("n", "m", "t", True, [tolvane.InputSet([])], (None, None)),
     "argument 'column_schemas': 'InputSet' object cannot be converted to 'Sequence'"),
    (lambda: tolvane.Primitive(1, 2, 3, 4, 5, 6), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.InputSet([["Integer", None]]),
     "argument 'inputs': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: tolvane.InputSet("ab"), "argument 'inputs': 'str' object cannot be converted to 'PyTuple'"),
    (lambda: tolvane.InputSet(1), "argument 'inputs': 'int' object cannot be converted to 'Sequence'"),
    (lambda: tolvane.InputSet([(1, None)]), "argument 'inputs': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.compare_featuresets({}, []),
     "argument 'features1': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: tolvane.compare_featuresets((f for f in []), []),
     "argument 'features1': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: tolvane.compare_featuresets("ab", 1),
     "argument 'features1': 'str' object cannot be converted to 'Feature'"),
    (lambda: tolvane.compare_featuresets([root("a"), 1], 1),
     "argument 'features1': 'int' object cannot be converted to 'Feature'"),
    (lambda: tolvane.compare_featuresets([], [prim()]),
     "argument 'features2': 'Primitive' object cannot be converted to 'Feature'"),
    (lambda: tolvane.Feature("a", "b", "c", [], root("x")),
     "argument 'generating_primitive': 'Feature' object cannot be converted to 'Primitive'"),
    (lambda: tolvane.Feature.save_features([], pathlib.Path("x")),
     "argument 'filename': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda: tolvane.generate_fake_features("3"),
     "argument 'n_features': 'str' object cannot be interpreted as an integer"),
    # Every other parameter, named by its position in the signature.
    (lambda: tolvane.Feature(1, "b", "c"), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.Feature("a", 1, "c"), "argument 'lt': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.Feature("a", "b", 1), "argument 'st': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.Feature("a", "b", "c", 1, prim()),
     "argument 'base_features': 'int' object cannot be converted to 'Sequence'"),
    (lambda: tolvane.Primitive("n", 2, "t", True, [], (None, None)),
     "argument 'module': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.Primitive("n", "m", 3, True, [], (None, None)),
     "argument 'function_type': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.generate_features(1, []),
     "argument 'features': 'int' object cannot be converted to 'Sequence'"),
    (lambda: tolvane.generate_features([], [root("x")]),
     "argument 'primitives': 'Feature' object cannot be converted to 'Primitive'"),
    (lambda: tolvane.load_primitives(1), "argument 'filename': 'int' object cannot be converted to 'PyString'"),
    (lambda: tolvane.Feature.save_features(1, "f"),
     "argument 'features': 'int' object cannot be converted to 'Sequence'"),
])
def test_conversion_type_errors_name_the_parameter(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
    # The message carries the first error whole: it is not chained on as well.
    assert e.value.__cause__ is None and e.value.__context__ is None
    assert not e.value.__suppress_context__


def test_a_renamed_type_error_keeps_the_first_errors_chain_and_traceback():
    # What the first error was chained to stays chained to the error that replaces it, as if the
    # first had been raised with the new message: its cause, its context (the exception being
    # handled when the call was made), whether the context shows, and where it was raised.
    code = """
import traceback, tolvane

class Items:
    def __init__(self, raise_item):
        self.raise_item = raise_item
    def __len__(self):
        return 1
    def __getitem__(self, i):
        self.raise_item()

def from_key_error():
    try:
        {}["k"]
    except KeyError as e:
        raise TypeError("inner") from e

def from_none():
    raise TypeError("inner") from None

def renamed(raise_item):
    try:
        tolvane.compare_featuresets(Items(raise_item), [])
    except TypeError as e:
        assert str(e) == "argument 'features1': inner", e
        return e
    raise AssertionError("no TypeError")

e = renamed(from_key_error)
assert type(e.__cause__) is KeyError and e.__context__ is e.__cause__ and e.__suppress_context__
assert "__getitem__" in "".join(traceback.format_tb(e.__traceback__))

e = renamed(from_none)
assert e.__cause__ is None and e.__context__ is None and e.__suppress_context__

try:
    raise ValueError("being handled")
except ValueError as handled:
    try:
        tolvane.generate_features([1], [])
    except TypeError as e:
        assert e.__cause__ is None and e.__context__ is handled and not e.__suppress_context__
        text = "".join(traceback.format_exception(e))
        assert "During handling of the above exception" in text and "direct cause" not in text
print("ok")
"""
    r = run_python(code, timeout=60)
    assert r.returncode == 0 and r.stdout == "ok\n", r.stderr


def test_arguments_convert_in_parameter_order_and_stop_at_the_first_refused():
    seen = []

    class Watched:
        def __init__(self, label, items):
            self.label, self.items = label, items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            seen.append(self.label)
            return self.items[i]

    tolvane.compare_featuresets(features2=Watched("second", [root("b")]), features1=Watched("first", [root("a")]))
    assert seen == ["first", "first", "second", "second"]
    seen.clear()
    with pytest.raises(TypeError, match="^argument 'features1': "):
        tolvane.compare_featuresets(Watched("first", [1]), Watched("second", [root("b")]))
    assert seen == ["first"]


def test_singletons_handed_back_keep_their_counts():
    # Each None, True, False and NotImplemented the module returns is a new reference; one handed
    # back borrowed would drain the interpreter's count (its objects are not immortal before 3.12).
    f = root("f")
    calls = {
        None: lambda: f.generating_primitive,
        True: lambda: f == f,
        False: lambda: f != f,
        NotImplemented: lambda: f.__eq__(1),
    }
    rounds = 10_000
    for singleton, call in calls.items():
        assert call() is singleton
        before = sys.getrefcount(singleton)
        for _ in range(rounds):
            call()
        assert abs(sys.getrefcount(singleton) - before) < rounds // 2, singleton


def test_errors_other_than_type_errors_pass_unchanged():
    with pytest.raises(ValueError, match=r"^Expected tuple of length 2, but got tuple of length 1\.$"):
        tolvane.InputSet([("integer",)])
    with pytest.raises(ValueError, match=r"^Expected tuple of length 2, but got tuple of length 3\.$"):
        tolvane.Primitive("n", "m", "t", True, [], (None, None, None))
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        tolvane.generate_fake_features(2**31)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        tolvane.generate_fake_features(-2**31 - 1)
    with pytest.raises(OverflowError) as e:
        tolvane.generate_fake_features(2**80)
    assert "out of range integral" not in str(e.value)
    with pytest.raises(UnicodeEncodeError):
        tolvane.ColumnSchema("\ud800")


def test_counts_accept_index_objects():
    class Three:
        def __index__(self):
            return 3

    assert len(tolvane.generate_fake_features(Three())) == 3
    assert len(tolvane.generate_fake_features(True)) == 1
    assert len(tolvane.generate_fake_features(-2**31)) == 1


def test_sequences_convert_by_iteration():
    class LengthFails:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 2:
                return root(f"r{i}")
            raise IndexError

    only, _ = tolvane.compare_featuresets(LengthFails(), [])
    assert [f.name for f in only] == ["r0", "r1"]
    assert tolvane.compare_featuresets("", range(0)) == ([], [])
    assert len(tolvane.compare_featuresets((root("a"),), [])[0]) == 1

    class IterFails:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        tolvane.compare_featuresets(IterFails(), [])


def test_tuple_subclasses_are_name_pairs():
    class Pair(tuple):
        pass

    assert str(tolvane.InputSet([Pair(("integer", None))])) == (
        "[ColumnSchema { logical_type: Integer, semantic_tag: Unknown }]")
