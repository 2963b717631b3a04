#!/usr/bin/env python3
"""Draw the feature graph of a feature file as a Graphviz picture.

The feature file is the JSON that ``tolvane.Feature.save_features`` writes. Every
feature becomes a node (name and schema); every input of a derived feature becomes an
edge from the base feature to the derived one, labelled with the generating
primitive's name (and the input slot, where input order matters).

    python examples/feature_graph.py out/features.json                 # writes out/features.dot
    python examples/feature_graph.py out/features.json --render svg    # and out/features.svg
    python examples/feature_graph.py out/features.json --feature add_numeric_age_income -o -

Standard library only; rendering needs the ``dot`` program of Graphviz.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

INSTALL_HINT = "Graphviz's 'dot' program was not found; install it with: apt-get install graphviz"


@dataclass(frozen=True)
class FeatureNode:
    name: str
    id: str
    schema: str
    base_ids: tuple[str, ...]
    primitive_id: str | None


@dataclass(frozen=True)
class PrimitiveInfo:
    name: str
    commutative: bool


@dataclass(frozen=True)
class FeatureGraph:
    features: dict[str, FeatureNode]  # by id, in file order
    primitives: dict[str, PrimitiveInfo]  # by id; the first of equal ids wins


class GraphError(Exception):
    """A feature file or a selection that cannot be drawn."""


def load_graph(path: Path) -> FeatureGraph:
    try:
        document: Any = json.loads(path.read_text(encoding="utf-8"))
        features: dict[str, FeatureNode] = {}
        for entry in document["features"]:
            schema = entry["schema"]
            node = FeatureNode(
                name=str(entry["name"]),
                id=str(entry["id"]),
                schema=f"{schema['logical_type']}:{schema['semantic_tag']}",
                base_ids=tuple(str(base) for base in entry["base_features"]),
                primitive_id=entry["generating_primitive"],
            )
            features.setdefault(node.id, node)
        primitives: dict[str, PrimitiveInfo] = {}
        for entry in document["primitives"]:
            info = PrimitiveInfo(name=str(entry["name"]), commutative=bool(entry["commutative"]))
            primitives.setdefault(str(entry["id"]), info)
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise GraphError(f"{path}: not a readable feature file ({error!r})") from error
    return FeatureGraph(features, primitives)


def select(graph: FeatureGraph, wanted: str) -> list[str]:
    """Ids of the features that `wanted` names: an id, or else every feature of that name."""
    if wanted in graph.features:
        return [wanted]
    matches = [node.id for node in graph.features.values() if node.name == wanted]
    if not matches:
        raise GraphError(f"no feature named or identified by {wanted!r}")
    return matches


def ancestry(graph: FeatureGraph, start: Iterable[str]) -> set[str]:
    # Iterative: feature chains can be far deeper than Python's recursion limit.
    seen: set[str] = set()
    pending = list(start)
    while pending:
        feature_id = pending.pop()
        if feature_id in seen:
            continue
        seen.add(feature_id)
        node = graph.features.get(feature_id)
        if node is not None:
            pending.extend(node.base_ids)
    return seen


def quote(text: str) -> str:
    """A DOT string literal; control characters are shown escaped, not interpreted."""
    out = ['"']
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append(f"\\\\x{ord(ch):02x}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def to_dot(graph: FeatureGraph, keep: set[str] | None = None) -> str:
    def kept(feature_id: str) -> bool:
        return keep is None or feature_id in keep

    lines = [
        "digraph features {",
        "  rankdir=LR;",
        '  node [shape=box, style="rounded,filled", fillcolor=white, fontname="Helvetica"];',
        '  edge [fontname="Helvetica", fontsize=10];',
    ]
    missing: list[str] = []
    for node in graph.features.values():
        if not kept(node.id):
            continue
        label = quote(node.name)[:-1] + "\\n" + quote(node.schema)[1:]
        fill = ', fillcolor="#e8eef7"' if node.primitive_id is None else ""
        lines.append(f"  {quote(node.id)} [label={label}{fill}];")
        missing.extend(b for b in node.base_ids if b not in graph.features and b not in missing)
    for base_id in missing:
        lines.append(f'  {quote(base_id)} [label={quote("missing " + base_id[:12])}, style=dashed];')
    for node in graph.features.values():
        if not kept(node.id) or node.primitive_id is None:
            continue
        primitive = graph.primitives.get(node.primitive_id)
        name = primitive.name if primitive else node.primitive_id[:12]
        numbered = primitive is not None and not primitive.commutative and len(node.base_ids) > 1
        for slot, base_id in enumerate(node.base_ids):
            label = f"{name} [{slot}]" if numbered else name
            lines.append(f"  {quote(base_id)} -> {quote(node.id)} [label={quote(label)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def render(dot_file: Path, fmt: str) -> Path:
    dot = shutil.which("dot")
    if dot is None:
        raise GraphError(INSTALL_HINT)
    target = dot_file.with_suffix("." + fmt)
    subprocess.run([dot, f"-T{fmt}", "-o", str(target), str(dot_file)], check=True)
    return target


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("feature_file", type=Path, help="JSON written by Feature.save_features")
    parser.add_argument("-o", "--output", help="DOT file to write ('-' for stdout); default: beside the input")
    parser.add_argument("--feature", help="draw only the ancestry of this feature (name or id)")
    parser.add_argument("--render", choices=["png", "svg"], help="also render the picture with Graphviz")
    args = parser.parse_args(argv)
    try:
        graph = load_graph(args.feature_file)
        keep = ancestry(graph, select(graph, args.feature)) if args.feature else None
        text = to_dot(graph, keep)
        if args.output == "-":
            if args.render:
                raise GraphError("--render needs a DOT file, not '-'")
            sys.stdout.write(text)
            return 0
        dot_file = Path(args.output) if args.output else args.feature_file.with_suffix(".dot")
        dot_file.write_text(text, encoding="utf-8")
        print(f"wrote {dot_file}")
        if args.render:
            print(f"wrote {render(dot_file, args.render)}")
    except (GraphError, OSError, subprocess.CalledProcessError) as error:
        print(f"feature_graph: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
