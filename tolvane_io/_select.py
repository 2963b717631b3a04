"""Features chosen by what they are, and each id once."""

from __future__ import annotations

from collections.abc import Sequence

import tolvane
from tolvane import Feature
from tolvane_io._describe import FeatureInfo, describe
from tolvane_io._shared import TYPE_NAMES

# The module looks type names up with full Unicode lower-casing, as str.lower() does.
_CANONICAL = {name.lower(): name for name in TYPE_NAMES}


def type_name(name: str) -> str:
    """The type name `name` stands for, looked up case-insensitively as the module's constructors
    look it up; ValueError, not `Unknown`, for a name that is none."""
    try:
        return _CANONICAL[name.lower()]
    except KeyError:
        raise ValueError(f"{name!r} is not a type name; the type names are {', '.join(TYPE_NAMES)}") from None


def select(features: Sequence[Feature], info: Sequence[FeatureInfo] | None = None, *,
           logical_type: str | None = None, semantic_tag: str | None = None, primitive: str | None = None,
           depth: int | None = None) -> list[Feature]:
    """The features, in their order, whose logical type, semantic tag, generating primitive (by
    name) and depth are those given; a criterion left None takes any.

    `info` describes `features` (a `FeatureFile`'s `info` for its `features`, or what `describe`
    gave for them); without it they are described first. Type names are looked up
    case-insensitively; one that is no type name raises ValueError.
    """
    if info is None:
        info = describe(features)
    elif len(info) != len(features):
        raise ValueError(f"info describes {len(info)} features, not the {len(features)} given")
    wanted_type = None if logical_type is None else type_name(logical_type)
    wanted_tag = None if semantic_tag is None else type_name(semantic_tag)
    return [feature for feature, about in zip(features, info)
            if (wanted_type is None or about.logical_type == wanted_type)
            and (wanted_tag is None or about.semantic_tag == wanted_tag)
            and (primitive is None or about.primitive == primitive)
            and (depth is None or about.depth == depth)]


def unique(features: Sequence[Feature]) -> list[Feature]:
    """`features` with each id once: the first feature of each id, in their order."""
    return tolvane.compare_featuresets(features, [])[0]


def new_features(features: Sequence[Feature], known: Sequence[Feature]) -> list[Feature]:
    """The features whose id is that of no feature of `known`, each id once, in their order: what
    a level of synthesis truly added, for `features` its result and `known` its input (a second
    level remakes features of the first)."""
    return tolvane.compare_featuresets(features, known)[0]
