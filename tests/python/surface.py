"""The public surface of tolvane as data, shared by the leak and fuzz tests.

Entry points that are not built yet are None here; tests that need them skip.
"""

import tolvane

generate_features = getattr(tolvane, "generate_features", None)
load_primitives = getattr(tolvane, "load_primitives", None)

# Every callable with its parameter names, in declaration order.
CALLABLES = {
    "generate_features": (generate_features, ("features", "primitives")),
    "load_primitives": (load_primitives, ("filename",)),
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


def panic_exception():
    """The internal-failure exception class (not a module attribute, so fetched from a failure)."""
    try:
        tolvane.ColumnSchema("no such type")
    except BaseException as e:  # noqa: B036 - that is the point
        return type(e)
    raise AssertionError("an unknown type name did not fail")


PanicException = panic_exception()

# Everything a call may raise. Anything else (SystemError, a crash) is a fault.
DOCUMENTED = (
    TypeError,
    ValueError,  # includes UnicodeEncodeError
    OverflowError,
    AttributeError,
    RuntimeError,
    MemoryError,
    PanicException,
)


def primitive(name="add", commutative=True, inputs=(("Integer", "Numeric"), ("Integer", "Numeric"))):
    return tolvane.Primitive(
        name, "ops", "transform", commutative, [list(inputs)], ("Integer", "Numeric")
    )


def root(name="a", lt="Integer", st="Numeric"):
    return tolvane.Feature(name, lt, st)


def derived(bases, prim=None, name="d"):
    return tolvane.Feature(name, "Integer", "Numeric", list(bases), prim or primitive())


def fresh(error):
    """A new exception like `error`. Raising one stored instance again and again would chain a
    traceback entry (and the frame it holds) onto it per raise, which a leak check sees."""
    return type(error)(*error.args)


class Sequence:
    """A sequence by __getitem__ only, running `hook` before each item is handed out."""

    def __init__(self, items, hook=None, length=None):
        self.items = list(items)
        self.hook = hook
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise fresh(self.length)
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.hook:
            self.hook()
        return self.items[i]
