"""What the readers and the describer share: the records of a feature file, the order that puts
ancestors first, a private scratch directory, and the shell primitive."""

from __future__ import annotations

import gc
import hashlib
import json
import os
import re
import tempfile
from collections.abc import Callable, Generator, Iterable, Mapping, Sequence
from contextlib import contextmanager
from typing import Any, TypeVar

from tolvane import Feature, Primitive

# One feature's object in a feature file, as json.loads gives it.
Record = dict[str, Any]
T = TypeVar("T")

TYPE_NAMES = (
    "Boolean", "BooleanNullable", "Address", "Age", "AgeFractional", "Categorical", "Datetime",
    "Double", "Integer", "IntegerNullable", "PostalCode", "Ordinal", "EmailAddress", "LatLong", "URL",
    "NaturalLanguage", "Timedelta", "Numeric", "TimeIndex", "ForeignKey", "DateOfBirth", "Index",
    "Any", "Unknown",
)

# The primitive of the features made here only to read ids out of a save: a derived feature's id
# is the digest of its primitive's id followed by its inputs' ids, in order (not commutative).
SHELL = Primitive("tolvane_io.shell", "tolvane_io", "shell", False, [], (None, None))
SHELL_ID = hashlib.sha256(b"tolvane_io.shell").hexdigest()

# A quoted text of the module's debug form: a backslash before `"` and `\`, `\t`, `\r`, `\n`,
# `\0`, and `\u{...}` for other unprintable and for combining characters.
QUOTED = r'"(?:[^"\\]|\\.)*"'
_ESCAPE = re.compile(r"\\(?:u\{([0-9a-f]+)\}|(.))", re.S)
_ESCAPED = {'"': '"', "\\": "\\", "t": "\t", "r": "\r", "n": "\n", "0": "\0"}


def unquote(quoted: str) -> str:
    """The text a quoted text of the debug form stands for."""
    return _ESCAPE.sub(lambda m: chr(int(m[1], 16)) if m[1] else _ESCAPED[m[2]], quoted[1:-1])


class OrderError(Exception):
    """The records' graph has an input that refers to nothing, or a cycle; `record` is the
    feature where it was found."""

    def __init__(self, record: Record, missing: str | None) -> None:
        super().__init__(record, missing)
        self.record = record
        self.missing = missing  # the id that refers to nothing; None for a cycle


def ancestors_first(records: list[Record], before: Iterable[str] = ()) -> list[Record]:
    """`records` in an order where each comes after its inputs, otherwise as given, and each id
    once: `records` itself where it is in such an order already. Inputs of ids in `before` are
    placed already. Iterative: chains of features can be deeper than Python's recursion limit."""
    placed: set[str] = set(before)
    order: list[Record] = []
    index: dict[str, Record] | None = None  # by id, once an input is met before its record
    waiting: set[str] = set()  # records put back until their inputs are placed
    pending = records[::-1]
    while pending:
        record = pending.pop()
        feature_id = record["id"]
        if feature_id in placed:
            continue
        bases = record["base_features"]
        if placed.issuperset(bases):
            placed.add(feature_id)
            order.append(record)
            continue
        if index is None:
            index = {record["id"]: record for record in records}
        pending.append(record)
        waiting.add(feature_id)
        for base in reversed(bases):
            if base in placed:
                continue
            if base in waiting:
                raise OrderError(record, None)
            if base not in index:
                raise OrderError(record, base)
            pending.append(index[base])
    return records if index is None and len(order) == len(records) else order


def depth_of(primitive_id: str | None, base_ids: Iterable[str], depth: Mapping[str, int]) -> int:
    """A feature's depth: 0 without a generating primitive, else one more than its deepest input's
    (`depth` has theirs)."""
    if primitive_id is None:
        return 0
    level = 1
    for base in base_ids:
        if depth[base] >= level:
            level = depth[base] + 1
    return level


def depths(order: list[Record]) -> dict[str, int]:
    """Each record's depth, by id; `order` puts ancestors first."""
    depth: dict[str, int] = {}
    for record in order:
        depth[record["id"]] = depth_of(record["generating_primitive"], record["base_features"], depth)
    return depth


@contextmanager
def collector_paused() -> Generator[None]:
    """The cyclic garbage collector held off, for a call whose many containers (the records of a
    save, parsed) all die before it returns, and none in a cycle: collections set off by making
    them would walk them all, for nothing (a third of describe's time on 20,000 features)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


# Scratch files go to shared memory where there is some and TMPDIR chooses no other place: a save
# flushes its file to the disk (fsync), which takes 10 ms and more on a busy disk, nothing on tmpfs.
SHARED_MEMORY = "/dev/shm"


def in_scratch(name: str, action: Callable[[str], T]) -> T:
    """action(path), for a path in a new private directory (mode 0700) removed with what it holds
    afterwards: in shared memory, and again in the system's temporary directory when writing
    there fails (shared memory is often small)."""
    roots: list[str | None] = [None]
    if "TMPDIR" not in os.environ and os.access(SHARED_MEMORY, os.W_OK | os.X_OK):
        roots.insert(0, SHARED_MEMORY)
    for root in roots[:-1]:
        try:
            with tempfile.TemporaryDirectory(prefix="tolvane_io-", dir=root) as directory:
                return action(os.path.join(directory, name))
        except BaseException as error:
            message = panic_message(error) or ""
            if not (isinstance(error, OSError) or message.startswith(("Error writing to file", _OPEN_FAILED))):
                raise
    with tempfile.TemporaryDirectory(prefix="tolvane_io-", dir=roots[-1]) as directory:
        return action(os.path.join(directory, name))


_OPEN_FAILED = "called `Result::unwrap()` on an `Err` value: "


def panic_message(error: BaseException) -> str | None:
    """The message of the module's internal-failure exception, which is no module attribute;
    None for any other exception."""
    if type(error).__name__ == "PanicException" and type(error).__module__ == "tolvane":
        return str(error)
    return None


def saved_text(features: Sequence[Feature]) -> bytes:
    """The feature file `Feature.save_features` writes for `features`."""

    def save(path: str) -> bytes:
        Feature.save_features(features, path)
        with open(path, "rb") as stream:
            return stream.read()

    return in_scratch("features.json", save)


def saved_document(features: Sequence[Feature]) -> dict[str, Any]:
    """The feature file `Feature.save_features` writes for `features`, parsed."""
    document: dict[str, Any] = json.loads(saved_text(features))
    return document
