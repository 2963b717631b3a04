"""A small, fully typed tour of the tolvane API (checked with mypy --strict)."""

from __future__ import annotations

import hashlib
import json
import sys
import tempfile
from pathlib import Path

import tolvane
from tolvane import Feature, Primitive


def table() -> list[Feature]:
    return [
        Feature("age", "Double", "Numeric"),
        Feature("income", "Double", "Numeric"),
        Feature("city", "Categorical", "Unknown"),
    ]


def operations(catalogue: Path) -> list[Primitive]:
    entry = {
        "name": "add_numeric",
        "id": hashlib.sha256(b"add_numeric").hexdigest(),
        "module": "ops",
        "column_schemas": [[["Double", "Numeric"], ["Double", "Numeric"]]],
        "return_type": ["Double", "Numeric"],
        "function_type": "transform",
        "commutative": True,
    }
    catalogue.write_text(json.dumps([entry]))
    absolute = Primitive("absolute", "ops", "transform", False, [[("double", "numeric")]], ("double", "numeric"))
    return [absolute, *tolvane.load_primitives(str(catalogue))]


def main() -> int:
    with tempfile.TemporaryDirectory() as scratch:
        inputs = table()
        features = tolvane.generate_features(inputs, operations(Path(scratch, "catalogue.json")))
        new_only, missing = tolvane.compare_featuresets(features, inputs)
        assert missing == []
        for feature in new_only:
            primitive = feature.generating_primitive
            bases = ", ".join(base.name for base in feature.base_features)
            print(f"{feature.name:24} {primitive.name if primitive else '-':12} {bases}")
        Feature.save_features(features, str(Path(scratch, "features.json")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
