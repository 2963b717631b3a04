"""Feature files read back into `Feature` objects, and features written as text."""

from __future__ import annotations

import hashlib
import json
import os
import re
from collections.abc import Sequence
from typing import Any, cast

import tolvane
from tolvane import Feature, Primitive
from tolvane_io._describe import FeatureInfo, info_from_record
from tolvane_io._shared import (
    SHELL,
    SHELL_ID,
    TYPE_NAMES,
    OrderError,
    Record,
    ancestors_first,
    depths,
    in_scratch,
    panic_message,
    saved_text,
    unquote,
)

_NAMES = frozenset(TYPE_NAMES)
# A primitive of the file: the object, its return type in a feature's schema form, its record.
_Choice = tuple[Primitive, dict[str, str], dict[str, Any]]


class FeatureFileError(ValueError):
    """A feature file, or the text of one, that cannot be read back. The message names the file
    and what is wrong with it."""


class FeatureFile:
    """The features of a feature file, rebuilt.

    - `features`: every feature of the file, each once, ancestors before descendants;
    - `info`: a `FeatureInfo` per feature of `features`, in that order;
    - `saved`: the features no other feature of the file uses (what was saved, as opposed to the
      ancestors that came with it), in the file's order;
    - `as_written`: every feature in the file's order: `Feature.save_features(as_written, name)`
      writes the same bytes again (unless the file lists a primitive none of its features was
      made by);
    - `primitives`: the file's primitives, in its order, under the ids written there.

    `info`, `saved` and `as_written` are made when first read.
    """

    __slots__ = ("features", "primitives", "_records", "_order", "_built", "_names", "_chosen", "_info", "_saved")

    def __init__(self, features: list[Feature], primitives: list[Primitive], records: list[Record],
                 order: list[Record], built: dict[str, Feature], names: dict[str, str],
                 chosen: dict[str, str]) -> None:
        self.features = features
        self.primitives = primitives
        self._records = records  # the file's
        self._order = order  # the records of `features`, in that order
        self._built = built  # the features by id
        # The name of each feature's generating primitive: by the primitive's id, or by the
        # feature's id where several primitives of the file have the primitive's id.
        self._names = names
        self._chosen = chosen
        self._info: list[FeatureInfo] | None = None
        self._saved: list[Feature] | None = None

    @property
    def info(self) -> list[FeatureInfo]:
        if self._info is None:
            depth = depths(self._order)
            self._info = [info_from_record(record, self._primitive_name(record), depth) for record in self._order]
        return self._info

    @property
    def saved(self) -> list[Feature]:
        if self._saved is None:
            used: set[str] = set()
            for record in self._records:
                used.update(record["base_features"])
            self._saved = [self._built[record["id"]] for record in self._records if record["id"] not in used]
        return self._saved

    @property
    def as_written(self) -> list[Feature]:
        if self._order is self._records:
            return list(self.features)
        return [self._built[record["id"]] for record in self._records]

    def __repr__(self) -> str:
        return f"<FeatureFile: {len(self.features)} features, {len(self.primitives)} primitives>"

    def _primitive_name(self, record: Record) -> str | None:
        primitive_id = record["generating_primitive"]
        if primitive_id is None:
            return None
        return self._chosen[record["id"]] if record["id"] in self._chosen else self._names[primitive_id]


def load_features(filename: str | os.PathLike[str]) -> FeatureFile:
    """Read a feature file (written by `Feature.save_features`) back into `Feature` objects.

    Raises OSError when the file cannot be read, and FeatureFileError, naming the file and what is
    wrong, when it is not a feature file that rebuilds exactly: not UTF-8 JSON, not of the
    feature file's shape, an input or primitive id that refers to nothing, a cycle, a type name
    that is not one, a schema that is not its primitive's return type, an id that does not follow
    from the feature's name (a root) or its primitive's and inputs' ids (were they replaced after
    it was made?). Nothing is returned then.
    """
    path = os.fspath(filename)
    with open(path, "rb") as stream:
        data = stream.read()
    return _read(data, path)


def loads_features(text: str | bytes) -> FeatureFile:
    """`load_features` for the text of a feature file (`dumps_features` gives one)."""
    return _read(text, "feature text")


def dumps_features(features: Sequence[Feature]) -> str:
    """The text of the feature file `Feature.save_features` writes for `features` (through a
    private temporary directory): for sending features to another process, say."""
    return saved_text(features).decode()


def _read(data: str | bytes, source: str) -> FeatureFile:
    try:
        document = _object(json.loads(data))
    except UnicodeDecodeError as error:
        raise FeatureFileError(f"{source}: not UTF-8 text ({error.reason} at byte {error.start})") from None
    except ValueError as error:
        raise FeatureFileError(f"{source}: not JSON ({error})") from None
    if not (document is not None and isinstance(document.get("features"), list)
            and isinstance(document.get("primitives"), list)):
        raise FeatureFileError(f'{source}: not a feature file (no object with the arrays "features" and '
                               '"primitives")')
    return _Reader(source, document["features"], document["primitives"]).read()


class _Reader:
    def __init__(self, source: str, records: list[Any], primitives: list[Any]) -> None:
        self.source = source
        self.records = records
        self.primitive_records = primitives

    def read(self) -> FeatureFile:
        primitives = self._load_primitives()
        # The file's primitives by id, each with its return type in the feature file's form.
        by_id: dict[str, list[_Choice]] = {}
        for primitive, record in zip(primitives, self.primitive_records):
            returns = _object(record["return_type"])
            if returns is None:  # the other form of a schema: [logical type, semantic tag]
                pair: list[str] = record["return_type"]
                returns = {"logical_type": pair[0], "semantic_tag": pair[1]}
            by_id.setdefault(record["id"], []).append((primitive, returns, record))
        try:
            features, order, built, names, chosen = self._build(by_id)
        except FeatureFileError:
            raise
        except Exception as error:  # a record of another shape: say which, and how
            fault = self._first_fault()
            if fault is None:
                raise
            raise self._error(*fault) from error
        self._check_ids(features, built, order, by_id)
        return FeatureFile(features, primitives, self.records, order, built, names, chosen)

    def _build(self, by_id: dict[str, list[_Choice]]) -> tuple[
            list[Feature], list[Record], dict[str, Feature], dict[str, str], dict[str, str]]:
        """The features, made ancestors first; their records in that order; the features by id;
        the names of their primitives by primitive id, and by feature id where the file has
        several primitives of that id."""
        # The primitive of each id that one primitive of the file has; a feature of another id,
        # or of another schema, has its own looked for.
        single = {key: choices[0] for key, choices in by_id.items() if len(choices) == 1}
        names = {key: choice[0].name for key, choice in single.items()}
        chosen: dict[str, str] = {}
        built: dict[str, Feature] = {}
        inputs = built.__getitem__
        features: list[Feature] = []

        def make(record: Record) -> None:
            bases = list(map(inputs, record["base_features"]))
            primitive_id = record["generating_primitive"]
            if primitive_id is None:
                schema = record["schema"]
                logical_type, semantic_tag = schema["logical_type"], schema["semantic_tag"]
                if logical_type not in _NAMES or semantic_tag not in _NAMES:
                    raise self._error(self._position(record), str(self._schema_fault(schema)))
                feature = Feature(record["name"], logical_type, semantic_tag)
                if bases:  # a root given inputs after it was made
                    feature.base_features = bases
            else:
                made_by = single.get(primitive_id)
                if made_by is None or record["schema"] != made_by[1]:
                    made_by = self._primitive_for(record, by_id)
                    chosen[record["id"]] = made_by[0].name
                feature = Feature(record["name"], "", "", bases, made_by[0])
            built[record["id"]] = feature
            features.append(feature)

        # Files of generate_features's results list inputs first: made in one pass, in file
        # order, until a record comes before one of its inputs.
        records = self.records
        order = records
        for position, record in enumerate(records):
            try:
                make(record)
            except KeyError:
                fields = _object(record)
                bases: list[Any] = []
                if fields is not None and isinstance(fields.get("base_features"), list):
                    bases = fields["base_features"]
                if all(base in built for base in bases):
                    raise  # not an input made later: a record of another shape
                order = records[:position] + self._ancestors_first(records[position:], built)
                for later in order[position:]:
                    make(later)
                break
        if len(built) != len(records):
            first: dict[str, int] = {}
            for position, record in enumerate(records):
                earlier = first.setdefault(record["id"], position)
                if earlier != position:
                    raise self._error(position, f"its id is that of features[{earlier}] too")
        return features, order, built, names, chosen

    def _ancestors_first(self, records: list[Record], placed: dict[str, Feature]) -> list[Record]:
        try:
            return ancestors_first(records, placed)
        except OrderError as error:
            position = self._position(error.record)
            if error.missing is None:
                raise self._error(position, "it is its own ancestor") from None
            raise self._error(position, f"its input {error.missing} is no feature of the file") from None

    def _primitive_for(self, record: Record, by_id: dict[str, list[_Choice]]
                       ) -> _Choice:
        """The one primitive of the file that can have made the feature of `record`: of its
        primitive id, returning its schema."""
        position = self._position(record)
        primitive_id = record["generating_primitive"]
        if primitive_id not in by_id:
            raise self._error(position, f"its generating primitive {primitive_id} is none of the file's primitives")
        choices = [choice for choice in by_id[primitive_id] if choice[1] == record["schema"]]
        if not choices:
            returns = ", ".join(sorted({_schema_text(choice[1]) for choice in by_id[primitive_id]}))
            raise self._error(position, f"its schema {_schema_text(record['schema'])} is not the return type of "
                                        f"its generating primitive ({returns})")
        if len(choices) > 1:
            names = ", ".join(repr(choice[0].name) for choice in choices)
            raise self._error(position, f"{len(choices)} primitives of the file ({names}) have the id of its "
                                        "generating primitive and return its schema: the file does not say "
                                        "which made it")
        return choices[0]

    def _load_primitives(self) -> list[Primitive]:
        """The file's primitives, through `load_primitives`, which keeps the ids as written: one
        to a line of a catalogue, so that its line numbers say which is wrong."""
        records = self.primitive_records
        for position, record in enumerate(records):
            fields = _object(record)
            if fields is None or not isinstance(fields.get("id"), str):
                raise FeatureFileError(f"{self.source}: primitives[{position}] is not an object with an id")
        text = "[\n" + ",\n".join(json.dumps(record) for record in records) + "\n]"

        def load(path: str) -> list[Primitive]:
            with open(path, "w", encoding="utf-8") as stream:
                stream.write(text)
            try:
                return tolvane.load_primitives(path)
            except BaseException as error:
                message = panic_message(error)
                found = message and re.search(r'Error\((".*"), line: (\d+), column: \d+\)$', message, re.S)
                if not found:
                    raise
                what, line = unquote(found[1]), int(found[2])
                where = f"primitives[{line - 2}]" if 2 <= line <= len(records) + 1 else "primitives"
                raise FeatureFileError(f"{self.source}: {where} is not a primitive ({what})") from None

        return in_scratch("primitives.json", load)

    def _check_ids(self, features: list[Feature], built: dict[str, Feature], order: list[Record],
                   by_id: dict[str, list[_Choice]]) -> None:
        """Every rebuilt feature has the id the file gives it (`built` has them by those ids, in
        the order of `features`). The module tells, in one comparison: a shell made of them all
        has the id of a root named by the shell primitive's id and the file's ids, concatenated,
        when their ids are the file's."""
        expected = SHELL_ID + "".join(built)
        if Feature("", "", "", features, SHELL) == Feature(expected, "", ""):
            return
        # Which one: by the rule, in Python, ancestors first.
        for record in order:
            primitive_id = record["generating_primitive"]
            if primitive_id is None:
                message = record["name"]
                rule = "a root's id is the SHA-256 of its name, and this one's is not (renamed after it was made?)"
            else:
                bases = record["base_features"]
                commutative = all(choice[2]["commutative"] for choice in by_id[primitive_id])
                message = primitive_id + "".join(sorted(bases) if commutative else bases)
                rule = ("a derived feature's id is the SHA-256 of its primitive's id and its inputs' ids, and "
                        "this one's is not (its inputs or primitive replaced after it was made?)")
            if hashlib.sha256(message.encode()).hexdigest() != record["id"]:
                raise self._error(self._position(record), rule)
        raise FeatureFileError(f"{self.source}: the ids of its features do not follow from what they are made of")

    def _position(self, record: Record) -> int:
        return next(p for p, candidate in enumerate(self.records) if candidate is record)

    def _error(self, position: int, what: str) -> FeatureFileError:
        record = _object(self.records[position])
        described = f"features[{position}]"
        if record is not None and isinstance(record.get("name"), str):
            described += f" ({record['name']!r}"
            described += f", id {record['id']})" if isinstance(record.get("id"), str) else ")"
        return FeatureFileError(f"{self.source}: {described}: {what}")

    def _first_fault(self) -> tuple[int, str] | None:
        """The first record of another shape than a feature's, and what is wrong with it."""
        kinds = (("name", str, "a string"), ("id", str, "a string"), ("schema", dict, "an object"),
                 ("base_features", list, "an array"), ("generating_primitive", (str, type(None)), "a string or null"))
        for position, value in enumerate(self.records):
            record = _object(value)
            if record is None:
                return position, "not an object"
            for key, kind, said in kinds:
                if key not in record:
                    return position, f'no "{key}"'
                if not isinstance(record[key], kind):
                    return position, f'"{key}" is not {said}'
            bases: list[Any] = record["base_features"]
            if not all(isinstance(base, str) for base in bases):
                return position, '"base_features" is not an array of ids'
            fault = self._schema_fault(record["schema"])
            if fault:
                return position, fault
            try:
                str(record["name"]).encode()
            except UnicodeEncodeError:
                return position, "its name is not text UTF-8 can hold (it has a lone surrogate)"
        return None

    @staticmethod
    def _schema_fault(schema: dict[str, Any]) -> str | None:
        for key in ("logical_type", "semantic_tag"):
            if key not in schema:
                return f'its schema has no "{key}"'
            if not isinstance(schema[key], str) or schema[key] not in _NAMES:
                return f"its schema's {key} {schema[key]!r} is not a type name"
        return None


def _object(value: object) -> dict[str, Any] | None:
    """`value` if it is a JSON object, else None."""
    return cast("dict[str, Any]", value) if isinstance(value, dict) else None


def _schema_text(schema: dict[str, str]) -> str:
    return f"{schema['logical_type']}:{schema['semantic_tag']}"
