"""Loading a large primitive catalogue: tolvane.load_primitives against json.load into dicts.

Usage: python bench/bench_catalogue.py [n_primitives]
"""
import json
import os
import random
import statistics
import sys
import tempfile
import time

import tolvane

TYPES = [
    "Boolean", "BooleanNullable", "Address", "Age", "AgeFractional", "Categorical", "Datetime",
    "Double", "Integer", "IntegerNullable", "PostalCode", "Ordinal", "EmailAddress", "LatLong",
    "URL", "NaturalLanguage", "Timedelta", "Numeric", "TimeIndex", "ForeignKey", "DateOfBirth",
    "Index", "Any", "Unknown",
]


def schema(rng):
    return {"logical_type": rng.choice(TYPES), "semantic_tag": rng.choice(TYPES)}


def catalogue(n, rng):
    primitives = []
    for i in range(n):
        input_sets = [[schema(rng) for _ in range(rng.randint(1, 4))] for _ in range(rng.randint(1, 3))]
        primitives.append({
            "name": "primitive_%d" % i,
            "id": "%064x" % rng.getrandbits(256),
            "module": "primitives.standard.transform",
            "column_schemas": input_sets,
            "return_type": schema(rng),
            "function_type": rng.choice(["transform", "aggregation"]),
            "commutative": rng.random() < 0.5,
            "description": "Computes primitive %d from its inputs." % i,
        })
    return primitives


def median_time(function, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    runs = 7
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "catalogue.json")
        with open(path, "w") as f:
            json.dump(catalogue(n, random.Random(42)), f, separators=(",", ":"))
        size_mb = os.path.getsize(path) / 1e6

        def load_json():
            with open(path) as f:
                return json.load(f)

        assert len(tolvane.load_primitives(path)) == n
        ours = median_time(lambda: tolvane.load_primitives(path), runs)
        theirs = median_time(load_json, runs)
    print("%d primitives, %.1f MB, median of %d runs" % (n, size_mb, runs))
    print("tolvane.load_primitives: %8.1f ms" % (ours * 1e3))
    print("json.load:               %8.1f ms" % (theirs * 1e3))
    print("json.load / load_primitives: %.2fx" % (theirs / ours))


if __name__ == "__main__":
    main()
