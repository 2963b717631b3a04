"""Deep feature synthesis over typed feature descriptions.

Describe the columns of a data set as features and the available operations as
primitives; the module derives every new feature a transform primitive can make,
names it and gives it a stable SHA-256 identity. No data is ever computed.

Internal failures are raised as ``tolvane.PanicException``, which derives from
``BaseException`` (not ``Exception``) and carries the failure's message. It is not
a module attribute; catch it with ``except BaseException`` and test
``type(exc).__name__ == "PanicException"``.
"""

from collections.abc import Sequence
from typing import ClassVar, SupportsIndex, TypeAlias, final

__all__ = [
    "generate_features",
    "load_primitives",
    "generate_fake_features",
    "compare_featuresets",
    "Feature",
    "Primitive",
    "ColumnSchema",
    "InputSet",
]

_NamePair: TypeAlias = tuple[str | None, str | None]
"""A schema as Python gives it: (logical type name, semantic tag name), each None or
a str, looked up case-insensitively; None stands for ``Unknown``. Must be a tuple of
exactly two items (another length raises ValueError, a list raises TypeError)."""

def generate_features(
    features: Sequence[Feature], primitives: Sequence[Primitive]
) -> list[Feature]:
    """One level of feature synthesis.

    Applies every primitive whose ``function_type`` is exactly ``"transform"`` to every
    tuple of ``features`` that fits one of its input signatures: combinations for a
    commutative primitive, permutations otherwise. Each new feature is named
    ``<primitive name>_<input names joined by "_">``, takes the primitive's return type
    as its schema and gets its id from the primitive's id and the inputs' ids.

    Returns a new list: copies of ``features`` in input order, then the new features,
    primitive by primitive in argument order, signature by signature. Nothing is
    deduplicated. Runs on the worker pool; the interpreter lock is held throughout.

    Raises:
        TypeError: ``features`` is not a sequence of ``Feature`` or ``primitives`` not a
            sequence of ``Primitive`` (``features`` is checked first).
        MemoryError: the result cannot fit in memory.
        KeyboardInterrupt: SIGINT arrived during the call; the pool stays usable.
        PanicException: an internal failure.
    """

def load_primitives(filename: str) -> list[Primitive]:
    """Read a primitive catalogue: a JSON array of primitive objects, in file order.

    Each element is an object with the keys ``name`` (or ``type``), ``id``, ``module``,
    ``column_schemas``, ``return_type``, ``function_type`` and ``commutative``, or an
    array of those seven values in that order. Ids are kept as written. Type names
    must be canonical (``"Integer"``, not ``"integer"``).

    Raises:
        TypeError: ``filename`` is not a str (``pathlib.Path`` is refused).
        PanicException: the file cannot be read ("Something went wrong reading the
            file: ...") or is not a valid catalogue ("called `Result::unwrap()` on an
            `Err` value: Error(\"...\", line: L, column: C)").
    """

def generate_fake_features(n_features: SupportsIndex) -> list[Feature]:
    """A synthetic set of root features, all ``Integer:Numeric``.

    Names are ``idx``, ``F_0``, ``F_1``, ... ``F_<n_features - 2>``: ``n_features``
    features, or ``idx`` alone when ``n_features`` is 1 or less. Fully determined by
    the count.

    Raises:
        TypeError: ``n_features`` is not an integer (``True`` counts as 1).
        OverflowError: ``n_features`` is outside the signed 32-bit range.
    """

def compare_featuresets(
    features1: Sequence[Feature], features2: Sequence[Feature]
) -> tuple[list[Feature], list[Feature]]:
    """The features each set has that the other lacks, matched by id only.

    Returns ``(only_in_first, only_in_second)``, one entry per distinct id, each list
    in order of first occurrence. Base features are not compared on their own.

    Raises:
        TypeError: an argument is not a sequence of ``Feature`` (``features1`` is
            checked first).
    """

@final
class ColumnSchema:
    """A column's logical type and semantic tag.

    Both halves are drawn from the same 24 type names (``Boolean``,
    ``BooleanNullable``, ``Address``, ``Age``, ``AgeFractional``, ``Categorical``,
    ``Datetime``, ``Double``, ``Integer``, ``IntegerNullable``, ``PostalCode``,
    ``Ordinal``, ``EmailAddress``, ``LatLong``, ``URL``, ``NaturalLanguage``,
    ``Timedelta``, ``Numeric``, ``TimeIndex``, ``ForeignKey``, ``DateOfBirth``,
    ``Index``, ``Any``, ``Unknown``). Built and shown only: no attributes, compared
    and hashed by identity, accepted by no other function.
    """

    def __new__(cls, lt: str | None = None, st: str | None = None) -> ColumnSchema:
        """Look up ``lt`` (logical type) and ``st`` (semantic tag) case-insensitively.

        None means ``Unknown``.

        Raises:
            TypeError: an argument is neither None nor a str.
            PanicException: a name matches no type ("<name> is not a valid logical
                type: ()"; only the first bad name is reported).
        """

    def __str__(self) -> str:
        """``<LogicalType>:<SemanticTag>``, for example ``Integer:Numeric``."""

    def __repr__(self) -> str:
        """The same text as ``str()``."""

@final
class InputSet:
    """One input signature: an ordered list of column schemas, one per input slot.

    Built and shown only: no attributes, compared and hashed by identity. Primitives
    take their signatures as name pairs, not as ``InputSet`` objects.
    """

    def __new__(cls, inputs: Sequence[_NamePair]) -> InputSet:
        """Build the signature from name pairs, in order.

        Raises:
            TypeError: ``inputs`` is not a sequence of tuples of None/str.
            ValueError: a tuple is not of length 2 ("Expected tuple of length 2, but
                got tuple of length <n>.").
            PanicException: a name matches no type.
        """

    def __str__(self) -> str:
        """``[ColumnSchema { logical_type: L, semantic_tag: T }, ...]``."""

    def __repr__(self) -> str:
        """The same text as ``str()``."""

@final
class Primitive:
    """The description of an operation that generates features.

    Its id is the SHA-256 of the name given at construction (a catalogue keeps the id
    written in the file). Compared and hashed by identity in Python.
    """

    def __new__(
        cls,
        name: str,
        module: str,
        function_type: str,
        commutative: bool,
        column_schemas: Sequence[Sequence[_NamePair]],
        return_type: _NamePair,
    ) -> Primitive:
        """Build a primitive.

        Args:
            name: first part of every feature name it generates; also its id's source.
            module: where the operation lives; kept and shown, never interpreted.
            function_type: only ``"transform"`` (exactly) takes part in synthesis.
            commutative: True when input order does not matter (exactly a bool).
            column_schemas: the accepted input signatures, each a sequence of name
                pairs; may be empty.
            return_type: the schema of the features it generates.

        Raises:
            TypeError: an argument of the wrong kind (``commutative`` given as 1, a
                name pair given as a list, ...), reported per parameter in order.
            ValueError: a name pair that is not of length 2.
            PanicException: a type name matches no type.
        """

    @property
    def name(self) -> str:
        """The name. Assigning a str replaces it without recomputing the id."""

    @name.setter
    def name(self, value: str) -> None: ...
    def __str__(self) -> str:
        """``name:module:function_type:true|false:[InputSet([...]), ...]``."""

    def __repr__(self) -> str:
        """The same text as ``str()``."""

@final
class Feature:
    """A column description: name, id, schema, and for a derived feature its base
    features and generating primitive.

    The id (never exposed as an attribute) is the SHA-256 of the name for a root
    feature, and of the primitive's id followed by the base features' ids (sorted for
    a commutative primitive) for a derived one. Features compare and order by id;
    they are unhashable. Records are immutable and shared: copies are O(1), and an
    attribute assignment replaces one field of this object only (copy on write),
    never recomputing the id.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(
        cls,
        name: str,
        lt: str,
        st: str,
        base_features: Sequence[Feature] | None = None,
        generating_primitive: Primitive | None = None,
    ) -> Feature:
        """Build a root feature (no base features, no primitive) or a derived one.

        ``lt`` and ``st`` are looked up case-insensitively; an unknown name gives
        ``Unknown``, never an error. A derived feature's schema is the primitive's
        return type whatever ``lt`` and ``st`` say.

        Raises:
            TypeError: an argument of the wrong kind, reported per parameter in order.
            PanicException: exactly one of ``base_features`` and
                ``generating_primitive`` is None ("base_features and
                generating_primitive must be both None or both Some"); an empty
                sequence counts as given.
        """

    @staticmethod
    def save_features(features: Sequence[Feature], filename: str) -> None:
        """Write ``features`` and all their ancestors to a compact JSON file.

        The file holds ``{"features":[...],"primitives":[...]}``: each feature once per
        id (the first met in a depth-first walk), with inputs and primitive referred to
        by id, and every distinct generating primitive in full. An existing file is
        replaced.

        Raises:
            TypeError: ``features`` is not a sequence of ``Feature`` or ``filename`` not
                a str.
            PanicException: the file cannot be created ("called `Result::unwrap()` on
                an `Err` value: ...") or written ("Error writing to file: ...").
        """

    @property
    def name(self) -> str:
        """The display name. Assigning a str keeps the id."""

    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def base_features(self) -> list[Feature]:
        """A new list of copies of the inputs, in stored order (``[]`` for a root).

        Assigning a sequence of ``Feature`` (not None) keeps the id and schema.
        """

    @base_features.setter
    def base_features(self, value: Sequence[Feature]) -> None: ...
    @property
    def generating_primitive(self) -> Primitive | None:
        """A copy of the primitive that made this feature, or None for a root.

        Assigning a ``Primitive`` or None keeps the id and schema.
        """

    @generating_primitive.setter
    def generating_primitive(self, value: Primitive | None) -> None: ...
    def __eq__(self, other: object, /) -> bool:
        """True exactly when ``other`` is a ``Feature`` with the same id."""

    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: Feature, /) -> bool:
        """Order by id (byte-wise); a non-``Feature`` operand raises TypeError."""

    def __le__(self, other: Feature, /) -> bool: ...
    def __gt__(self, other: Feature, /) -> bool: ...
    def __ge__(self, other: Feature, /) -> bool: ...
    def __str__(self) -> str:
        """``name:ColumnSchema { logical_type: L, semantic_tag: T }:None:[]`` for a
        root; ``Some(Primitive { ... })`` and the quoted base names for a derived one.
        """

    def __repr__(self) -> str:
        """The same text as ``str()``."""
