"""tolvane_io against what users wrote before it, on a two-level workload of about 21,000 features:
the demo's table and three more columns, the bundled catalogue, two levels of synthesis.

    .venv/bin/python bench/bench_companion.py [--rounds N] [--long-names]

Each step is timed in alternating rounds (the speed of a shared machine drifts); medians of CPU
and wall time. --long-names makes every column name four times as long, as real tables' often
are, which makes the records larger: json.load's share of the work grows with them.
"""
import argparse
import gc
import hashlib
import json
import os
import statistics
import sys
import tempfile
import time

import tolvane
import tolvane_io
from tolvane import Feature

HERE = os.path.dirname(os.path.abspath(__file__))
CATALOGUE = os.path.join(HERE, "..", "examples", "primitives.json")
COLUMNS = [
    ("customer_id", "Integer", "Index"), ("age", "Integer", "Numeric"), ("income", "Double", "Numeric"),
    ("credit_score", "Double", "Numeric"), ("num_orders", "Integer", "Numeric"), ("is_member", "Boolean", "Unknown"),
    ("has_churned", "Boolean", "Unknown"), ("signup_date", "Datetime", "Unknown"),
    ("last_order_date", "Datetime", "Unknown"), ("country", "Categorical", "Unknown"),
    ("postal_code", "PostalCode", "Categorical"), ("review_text", "NaturalLanguage", "Unknown"),
    ("tenure", "Integer", "Numeric"), ("support_notes", "NaturalLanguage", "Unknown"),
    ("last_login", "Datetime", "Unknown"),
]
COMMUTATIVE = {"add_numeric", "multiply_numeric", "and"}


def sha256_hex(text):
    return hashlib.sha256(text.encode()).hexdigest()


def feature_id(feature):
    """The README's recipe of 0.1.0: an id recomputed by recursion over base_features."""
    primitive = feature.generating_primitive
    if primitive is None:
        return sha256_hex(feature.name)
    inputs = [feature_id(base) for base in feature.base_features]
    if primitive.name in COMMUTATIVE:
        inputs.sort()
    return sha256_hex(sha256_hex(primitive.name) + "".join(inputs))


def users_loader(path):
    """What the trials wrote: the primitives to a temporary file and through load_primitives,
    then every feature rebuilt bottom-up, by recursion over the records."""
    document = json.load(open(path))
    with tempfile.TemporaryDirectory() as directory:
        catalogue = os.path.join(directory, "primitives.json")
        with open(catalogue, "w") as stream:
            json.dump(document["primitives"], stream)
        primitives = {p["id"]: q for p, q in zip(document["primitives"], tolvane.load_primitives(catalogue))}
    records = {record["id"]: record for record in document["features"]}
    built = {}

    def build(feature_id):
        if feature_id not in built:
            record = records[feature_id]
            schema = record["schema"]
            if record["generating_primitive"] is None:
                built[feature_id] = Feature(record["name"], schema["logical_type"], schema["semantic_tag"])
            else:
                bases = [build(base) for base in record["base_features"]]
                built[feature_id] = Feature(record["name"], schema["logical_type"], schema["semantic_tag"], bases,
                                            primitives[record["generating_primitive"]])
        return built[feature_id]

    return [build(record["id"]) for record in document["features"]]


def constructors(path):
    """json.load, then one Feature constructor call per feature (the module's own cost of making a
    feature; inputs and primitive taken from the previous one): what reading a file back cannot
    go below on this surface."""
    document = json.load(open(path))
    first = Feature("a", "Double", "Numeric")
    primitive = tolvane.load_primitives(CATALOGUE)[0]
    return [Feature(r["name"], "", "", [first, first], primitive) for r in document["features"]]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--long-names", action="store_true")
    args = parser.parse_args()
    stretch = 4 if args.long_names else 1
    table = [Feature("_".join([name] * stretch), lt, st) for name, lt, st in COLUMNS]
    primitives = tolvane.load_primitives(CATALOGUE)
    level1 = tolvane.generate_features(table, primitives)
    features = tolvane.generate_features(level1, primitives)
    directory = tempfile.mkdtemp()
    everything = os.path.join(directory, "everything.json")
    subset = os.path.join(directory, "subset.json")
    Feature.save_features(features, everything)
    kept = features[len(level1)::10]  # a tenth of the second level, with their ancestors
    Feature.save_features(kept, subset)

    def select_before():
        Feature.save_features(features, everything)
        return json.load(open(everything))

    steps = [
        ("two levels of synthesis", None,
         lambda: tolvane.generate_features(tolvane.generate_features(table, primitives), primitives)),
        ("select by type: save, json.load", "before", select_before),
        ("select by type: tolvane_io.select", "after",
         lambda: tolvane_io.select(features, logical_type="Double")),
        ("ids of every feature: the recipe's recursion", "before", lambda: [feature_id(f) for f in features]),
        ("ids of every feature: tolvane_io.feature_ids", "after", lambda: tolvane_io.feature_ids(features)),
        ("everything of every feature: tolvane_io.describe", "after", lambda: tolvane_io.describe(features)),
        ("  its floor: one save, json.loads of it", None, lambda: json.loads(tolvane_io.dumps_features(features))),
        ("a saved subset back: json.load alone", None, lambda: json.load(open(subset))),
        ("a saved subset back: the users' loader", "before", lambda: users_loader(subset)),
        ("a saved subset back: tolvane_io.load_features", "after", lambda: tolvane_io.load_features(subset)),
        ("everything back: json.load alone", None, lambda: json.load(open(everything))),
        ("everything back: tolvane_io.load_features", "after", lambda: tolvane_io.load_features(everything)),
        ("  its floor: json.load, a constructor a feature", None, lambda: constructors(everything)),
    ]
    cpu = {label: [] for label, _, _ in steps}
    wall = {label: [] for label, _, _ in steps}
    for _ in range(args.rounds):
        for label, _, step in steps:
            gc.collect()
            c, w = time.process_time(), time.perf_counter()
            result = step()
            cpu[label].append(time.process_time() - c)
            wall[label].append(time.perf_counter() - w)
            del result
    n_subset = len(json.load(open(subset))["features"])
    print(f"{len(features):,} features ({len(tolvane_io.unique(features)):,} distinct), "
          f"{os.path.getsize(everything) / 1e6:.1f} MB saved; subset: {n_subset:,} features, "
          f"{os.path.getsize(subset) / 1e6:.1f} MB; medians of {args.rounds} rounds")
    print(f"{'step':<50}{'CPU ms':>10}{'wall ms':>10}{'us/feature':>12}")
    for label, _, _ in steps:
        count = n_subset if "subset" in label else len(features)
        median = statistics.median(cpu[label])
        print(f"{label:<50}{median * 1e3:>10.1f}{statistics.median(wall[label]) * 1e3:>10.1f}"
              f"{median / count * 1e6:>12.2f}")
    for name in (everything, subset):
        os.remove(name)
    os.rmdir(directory)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
