"""What the features one holds are: their ids, schemas, primitives, inputs and depths, read out of
one save of them all."""

from __future__ import annotations

import itertools
import re
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple, cast

from tolvane import Feature
from tolvane_io._shared import (
    QUOTED,
    SHELL,
    Record,
    ancestors_first,
    collector_paused,
    depth_of,
    depths,
    saved_document,
    saved_text,
    unquote,
)


class FeatureInfo(NamedTuple):
    """What one feature is, as its record in a feature file says."""

    name: str
    id: str
    """64 lower-case hex digits, the SHA-256 identity the module gave it."""
    logical_type: str
    semantic_tag: str
    primitive: str | None
    """The name of its generating primitive; None for a root feature."""
    primitive_id: str | None
    """The id of its generating primitive (a catalogue's, as written there); None for a root."""
    base_ids: tuple[str, ...]
    """The ids of its inputs, in their order."""
    depth: int
    """0 for a root; otherwise one more than its deepest input's."""


def primitive_names(primitives: Sequence[Mapping[str, Any]]) -> dict[str, str | None]:
    """The name of the primitive with each id of a file's primitives; None for an id that
    primitives of different names share."""
    names: dict[str, str | None] = {}
    for primitive in primitives:
        name = primitive["name"]
        names[primitive["id"]] = name if names.get(primitive["id"], name) == name else None
    return names


# A row made without the generated __new__'s Python frame: a third of the time of a row.
_row = cast("Callable[[type[FeatureInfo], tuple[object, ...]], FeatureInfo]", tuple.__new__)


def info_from_record(record: Record, primitive: str | None, depth: Mapping[str, int]) -> FeatureInfo:
    """The row of the feature of `record`, made by `primitive` (a name), with `depth` by id."""
    schema = record["schema"]
    return _row(FeatureInfo, (record["name"], record["id"], schema["logical_type"], schema["semantic_tag"], primitive,
                              record["generating_primitive"], tuple(record["base_features"]), depth[record["id"]]))


def feature_ids(features: Sequence[Feature]) -> list[str]:
    """The id of each of `features`, in their order: the ids `describe` gives, read out of one
    save without parsing the rest of it (several times as fast as recomputing them).

    Raises TypeError when an item is not a `Feature`.
    """
    held = _held(features)
    if not held:
        return []
    text = saved_text([Feature("", "", "", held, SHELL)])
    # The shell's record comes first, its inputs' ids in order: n quoted ids, commas between.
    start = len(_SHELL_HEAD) + 64 + len(_SHELL_INPUTS)
    end = start + 67 * len(held) - 1
    ids = text[start + 1:end - 1].decode("ascii").split('","')
    if (text[:len(_SHELL_HEAD)] != _SHELL_HEAD or text[start - len(_SHELL_INPUTS):start] != _SHELL_INPUTS
            or text[end:end + 1] != b"]" or len(ids) != len(held) or set(map(len, ids)) != {64}):
        raise AssertionError(f"unexpected feature file: {text[:200]!r}")
    return ids


_SHELL_HEAD = b'{"features":[{"name":"","id":"'
_SHELL_INPUTS = b'","schema":{"logical_type":"Unknown","semantic_tag":"Unknown"},"base_features":['


def describe(features: Sequence[Feature]) -> list[FeatureInfo]:
    """What each of `features` is, in their order, one `FeatureInfo` each (a feature listed twice
    is described twice).

    Exact whatever the names hold, for features listed twice, for features that are ancestors of
    others in the list, for different features of one name, and for primitives that share an id:
    the answers come from the module's own records, written by `Feature.save_features` into a
    private temporary directory, with the text form (`str(feature)`) for a feature whose record
    the save could not write because it had met another of that id first.

    Raises TypeError when an item is not a `Feature`.
    """
    held = _held(features)
    if not held:
        return []
    with collector_paused():
        return _described(held)


def _held(features: Sequence[Feature]) -> list[Feature]:
    held = list(features)
    for position, feature in enumerate(held):
        if type(feature) is not Feature:
            raise TypeError(f"features[{position}] is a {type(feature).__name__}, not a Feature")
    return held


def _described(held: list[Feature]) -> list[FeatureInfo]:
    ids, records, primitives = _saved_with_ids(held)
    names = primitive_names(primitives)
    depth: dict[str, int] = {}
    described = _rows_in_list_order(held, ids, records, names, depth)
    if described is None:
        order = ancestors_first(records)
        own = _own_records(ids, records, order)
        depth = depths(order)
        described = [
            None if record is None else info_from_record(record, _primitive_name(held[k], record, names), depth)
            for k, record in enumerate(own)]
    others = [k for k, row in enumerate(described) if row is None]
    if others:
        base_lists = [held[k].base_features for k in others]
        inputs = [base for bases in base_lists for base in bases]
        input_ids = iter(_saved_with_ids(inputs)[0] if inputs else ())
        for k, bases in zip(others, base_lists):
            base_ids = tuple(itertools.islice(input_ids, len(bases)))
            name, logical_type, semantic_tag, primitive, primitive_id = _text_form(held[k])
            # Its inputs were walked too, as inputs of the feature the save wrote for its id, or
            # of the feature itself: their records are in the file.
            described[k] = FeatureInfo(name, ids[k], logical_type, semantic_tag, primitive, primitive_id, base_ids,
                                       depth_of(primitive_id, base_ids, depth))
    return described  # type: ignore[return-value]  # no None is left


def _rows_in_list_order(held: list[Feature], ids: list[str], records: list[Record],
                        names: Mapping[str, str | None], depth: dict[str, int]) -> list[FeatureInfo | None] | None:
    """The rows, in one pass, of a list whose features come after their inputs (as
    `generate_features` returns them): the records are then the list's, each where its id comes
    first, and a later one of an id is left None. None where the records are not so; `depth` is
    filled in by id."""
    written = iter(records)
    expected = next(written, None)
    rows: list[FeatureInfo | None] = []
    try:
        for feature, feature_id in zip(held, ids):
            if expected is None or expected["id"] != feature_id:
                if feature_id not in depth:
                    return None  # an ancestor of a feature before it
                rows.append(None)
                continue
            record, expected = expected, next(written, None)
            primitive_id = record["generating_primitive"]
            bases = record["base_features"]
            if primitive_id is None and bases and not all(base in depth for base in bases):
                return None
            depth[feature_id] = depth_of(primitive_id, bases, depth)  # KeyError: an input after it
            rows.append(info_from_record(record, _primitive_name(feature, record, names), depth))
    except KeyError:
        return None
    return rows if expected is None else None


def _saved_with_ids(features: list[Feature]) -> tuple[list[str], list[Record], list[dict[str, Any]]]:
    """The id of each of `features`, then the records and the primitives of one save of them all.
    They are saved as the inputs of one shell feature, which the save writes first: its record
    lists every input's id, in order; the walk then goes on into them as a save of the list
    itself would."""
    document = saved_document([Feature("", "", "", features, SHELL)])
    shell, *records = document["features"]
    return shell["base_features"], records, document["primitives"]


def _own_records(ids: list[str], records: list[Record], order: list[Record]) -> list[Record | None]:
    """Per id of the list, the record the save wrote for that very feature, or None where the walk
    had met that id before (the record written for it may be another feature's), for any order
    of the list.

    The save walks depth first, inputs in order, and writes each id the first time it meets it, so
    each feature of the list that the walk had not met is written where the last record reachable
    from the features before it ends, and its own reach ends where the next one's begins. Where the
    records are not laid out so (a feature met before whose inputs differ from those of the record
    written for its id), no record is taken for any feature's own. `order` has the records
    ancestors first."""
    position = {record["id"]: p for p, record in enumerate(records)}
    reach: dict[str, int] = {}  # the last position a record's ancestry reaches
    for record in order:
        far = position[record["id"]]
        for base in record["base_features"]:
            base_reach = reach[base]
            if base_reach > far:
                far = base_reach
        reach[record["id"]] = far
    own: list[Record | None] = []
    frontier = 0  # where the next record of the walk goes
    for feature_id in ids:
        start = position[feature_id]
        if start < frontier and reach[feature_id] < frontier:
            own.append(None)
        elif start == frontier:
            own.append(records[start])
            frontier = reach[feature_id] + 1
        else:
            return [None] * len(ids)
    return own if frontier == len(records) else [None] * len(ids)


_TEXT = re.compile(
    r"ColumnSchema \{ logical_type: (\w+), semantic_tag: (\w+) \}:"
    rf"(?:None|Some\(Primitive \{{ name: ({QUOTED}), id: ({QUOTED}), )", re.S)


def _text_form(feature: Feature) -> tuple[str, str, str, str | None, str | None]:
    """Name, logical type, semantic tag, and the primitive's name and id, from the text form:
    the name first (read apart, since it may hold anything), then the schema and primitive."""
    name = feature.name
    text = str(feature)
    match = _TEXT.match(text, len(name) + 1)
    if not text.startswith(name + ":") or match is None:
        raise AssertionError(f"unexpected text form of a feature: {text!r}")
    primitive, primitive_id = match[3], match[4]
    return (name, match[1], match[2], None if primitive is None else unquote(primitive),
            None if primitive_id is None else unquote(primitive_id))


def _primitive_name(feature: Feature, record: Record, names: Mapping[str, str | None]) -> str | None:
    """The name of the primitive that made the feature of `record`: the file's, unless primitives
    of other names share its id; then the feature's own."""
    primitive_id = record["generating_primitive"]
    if primitive_id is None:
        return None
    name = names.get(primitive_id)
    if name is None:
        primitive = feature.generating_primitive
        name = None if primitive is None else primitive.name
    return name
