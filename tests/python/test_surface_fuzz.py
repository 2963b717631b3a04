"""Random values of every kind thrown at every callable, setter and slot.

Only the documented exceptions (or the test's own, raised by its hostile objects) may come out;
anything else, a crash or a hang is a fault. Hostile objects run Python code in the middle of a
conversion: they raise, lie about their length, or mutate the very objects being converted.
"""

import operator
import os
import tempfile

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import tolvane
from support import Index, PanicException, Refused, Sequence, derived, prim, refuse, root

# Every callable with its parameter names, in declaration order.
CALLABLES = {
    "generate_features": (tolvane.generate_features, ("features", "primitives")),
    "load_primitives": (tolvane.load_primitives, ("filename",)),
    "generate_fake_features": (tolvane.generate_fake_features, ("n_features",)),
    "compare_featuresets": (tolvane.compare_featuresets, ("features1", "features2")),
    "Feature": (tolvane.Feature, ("name", "lt", "st", "base_features", "generating_primitive")),
    "Feature.save_features": (tolvane.Feature.save_features, ("features", "filename")),
    "Primitive": (
        tolvane.Primitive,
        ("name", "module", "function_type", "commutative", "column_schemas", "return_type"),
    ),
    "ColumnSchema": (tolvane.ColumnSchema, ("lt", "st")),
    "InputSet": (tolvane.InputSet, ("inputs",)),
}

# Writable attributes: (class, attribute).
SETTERS = [
    (tolvane.Feature, "name"),
    (tolvane.Feature, "base_features"),
    (tolvane.Feature, "generating_primitive"),
    (tolvane.Primitive, "name"),
]

# Everything a call may raise, besides the test's own Refused. Anything else (SystemError, a
# crash) is a fault.
ALLOWED_HERE = (
    TypeError,
    ValueError,  # includes UnicodeEncodeError
    OverflowError,
    AttributeError,
    RuntimeError,
    MemoryError,
    PanicException,
    Refused,
)
FUZZ = settings(
    # CI runs a few hundred examples per entry; set TOLVANE_FUZZ_EXAMPLES for a longer hunt.
    max_examples=int(os.environ.get("TOLVANE_FUZZ_EXAMPLES", "300")),
    deadline=None,  # the sanitizer build is several times slower
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class IterSequence(Sequence):
    """A sequence whose __iter__ runs the hook once before handing out the items."""

    def __iter__(self):
        if self.hook:
            self.hook()
        return iter(self.items)


class Pair(tuple):
    """A tuple subclass that pretends to be something else."""

    def __getitem__(self, i):
        raise Refused("subclass item")

    def __len__(self):
        return 7


class Text(str):
    def __str__(self):
        raise Refused("subclass text")


# The objects of the current example. The strategies are built once and pick from here when
# drawn, so hostile values can target the same objects that the call receives.
POOL = {}


def fresh_pool():
    a, b = root("a"), root("b", "Boolean", "Unknown")
    p = prim("add")
    POOL["features"] = [a, b, derived([a, b], p, "d")]
    POOL["primitives"] = [p, prim("neg", [[("Integer", None)]], commutative=False)]
    POOL["others"] = [tolvane.ColumnSchema("Integer", "Numeric"), tolvane.InputSet([(None, None)])]
    POOL["instances"] = POOL["features"] + POOL["primitives"] + POOL["others"]
    return POOL


def pick(kind):
    return st.integers(0, 6).map(lambda i: POOL[kind][i % len(POOL[kind])])


def clear_features():
    POOL["features"].clear()


# Python code that a hostile object runs mid-conversion.
HOOKS = st.one_of(
    st.just(refuse),
    st.just(clear_features),
    pick("features").map(lambda f: lambda: setattr(f, "name", "renamed")),
    pick("features").map(lambda f: lambda: setattr(f, "base_features", list(POOL["features"]))),
    pick("features").map(lambda f: lambda: setattr(f, "generating_primitive", None)),
    pick("features").map(lambda f: lambda: f.name),
    pick("features").map(lambda f: lambda: str(f)),
    pick("primitives").map(lambda p: lambda: setattr(p, "name", "renamed")),
)

TEXTS = st.one_of(
    st.text(st.characters(codec=None, exclude_categories=()), max_size=6),
    st.sampled_from(["", "Integer", "numeric", "ab", "a\x00b", "\ud800", "Äpfel", "transform", "."]),
    st.builds(Text, st.sampled_from(["Integer", "x"])),
)

LEAVES = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.sampled_from([2**31, 2**31 - 1, -(2**31) - 1, 2**63, 2**64 + 1, 2**200, -(2**200)]),
    st.floats(),
    TEXTS,
    st.binary(max_size=8),
    pick("instances"),
    st.builds(Index, st.one_of(st.just(Refused("no index")), st.integers(-5, 5), st.just(2**80))),
)


def containers(children):
    items = st.lists(children, max_size=4)
    return st.one_of(
        items,
        items.map(tuple),
        st.tuples(children, children),  # the shape of a name pair
        st.tuples(st.one_of(st.none(), TEXTS), st.one_of(st.none(), TEXTS)).map(Pair),
        st.dictionaries(TEXTS, children, max_size=3),
        items.map(lambda xs: (x for x in xs)),
        st.builds(
            Sequence,
            items,
            st.one_of(st.none(), HOOKS),
            st.one_of(st.none(), st.integers(-3, 10), st.just(2**62), st.just(Refused("len"))),
        ),
        st.builds(IterSequence, items, st.one_of(st.none(), HOOKS)),
    )


VALUES = st.recursive(LEAVES, containers, max_leaves=12)

# Values of the right shape for each parameter, with hostile parts mixed in, so that examples
# get past the first conversion and into the later ones and the operations themselves.
TYPE_NAME = st.one_of(st.none(), st.sampled_from(["Integer", "numeric", "BOOLEAN", "Unknown", "any"]), TEXTS)
NAME_PAIR = st.tuples(TYPE_NAME, TYPE_NAME)


def sequences(item):
    items = st.lists(item, max_size=5)
    return st.one_of(
        items,
        items.map(tuple),
        st.builds(Sequence, items, st.one_of(st.none(), HOOKS)),
        st.lists(st.one_of(item, VALUES), max_size=5),
    )


FEATURES = sequences(pick("features"))
PLAUSIBLE = {
    "features": FEATURES,
    "features1": FEATURES,
    "features2": FEATURES,
    "base_features": FEATURES,
    "primitives": sequences(pick("primitives")),
    "generating_primitive": st.one_of(st.none(), pick("primitives")),
    "name": TEXTS,
    "module": TEXTS,
    "function_type": TEXTS,
    "lt": TEXTS,
    "st": TEXTS,
    "filename": TEXTS,
    "commutative": st.booleans(),
    "inputs": sequences(NAME_PAIR),
    "column_schemas": sequences(sequences(NAME_PAIR)),
    "return_type": NAME_PAIR,
    "n_features": st.integers(-10, 100),
}


def argument(data, name, wild):
    """A value for parameter `name`: of any kind with probability 1/`wild`, else of its shape."""
    wild = data.draw(st.integers(0, wild - 1)) == 0
    return data.draw(VALUES if wild else PLAUSIBLE.get(name, VALUES), label=name)


def safe(name, value):
    """Keeps the fuzzer from writing outside its directory or asking for billions of features."""
    if name == "filename" and isinstance(value, str) and "/" in value:
        return False
    if name == "n_features":
        try:
            n = operator.index(value)
        except Exception:
            return True
        return not 10_000 < n < 2**31
    return True


@pytest.fixture(scope="module", autouse=True)
def scratch_directory():
    """Files that the fuzzer names are created in a directory of their own."""
    cwd = os.getcwd()
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        yield
        os.chdir(cwd)


@pytest.mark.parametrize("entry", list(CALLABLES))
@FUZZ
@given(data=st.data())
def test_callables_raise_only_documented_errors(entry, data):
    call, names = CALLABLES[entry]
    fresh_pool()
    # Most examples bind: a prefix by position, most of the rest by keyword; some pass an
    # argument too many, a parameter twice or an unknown keyword.
    cut = data.draw(st.integers(0, len(names)), label="positional")
    wild = 2 * len(names)
    args = [argument(data, name, wild) for name in names[:cut]]
    kwargs = {
        name: argument(data, name, wild)
        for name in names[cut:]
        if data.draw(st.integers(0, 19)) > 0
    }
    extra = data.draw(st.sampled_from([None] * 13 + ["positional", "bogus", "twice"]))
    if extra == "positional":
        args.append(data.draw(VALUES))
    elif extra == "bogus":
        kwargs["bogus"] = None
    elif extra == "twice" and cut:
        kwargs[names[0]] = data.draw(VALUES)
    bound = list(zip(names, args)) + list(kwargs.items())
    if not all(safe(name, value) for name, value in bound):
        return
    try:
        call(*args, **kwargs)
        event("returned")
    except ALLOWED_HERE as e:
        event(type(e).__name__)  # the spread shows with --hypothesis-show-statistics


@FUZZ
@given(data=st.data())
def test_setters_raise_only_documented_errors(data):
    pool = fresh_pool()
    cls, attribute = data.draw(st.sampled_from(SETTERS + [(tolvane.Feature, "other")]))
    targets = pool["features"] if cls is tolvane.Feature else pool["primitives"]
    target = data.draw(st.sampled_from(targets))
    try:
        if data.draw(st.booleans()):
            delattr(target, attribute)
        else:
            setattr(target, attribute, argument(data, attribute, 3))
        # Whatever happened, the object must still read back and show itself.
        str(target), target.name
    except ALLOWED_HERE:
        pass


@FUZZ
@given(data=st.data())
def test_text_and_comparison_slots(data):
    x = data.draw(st.sampled_from(fresh_pool()["instances"]))
    y = data.draw(VALUES)
    assert str(x) == repr(x)
    for op in (operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge):
        for left, right in ((x, y), (y, x)):
            try:
                op(left, right)
            except ALLOWED_HERE:
                pass
