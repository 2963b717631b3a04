"""Loading a large primitive catalogue: tolvane.load_primitives against json.load into dicts and,
when msgspec is installed (pip install msgspec; the module does not need it), msgspec's typed
decoding into structs of the same seven fields.

Every figure is the whole call (reading the file, parsing, building the records or objects), the
median over the runs, in CPU time and in wall time.

Usage: python bench/bench_catalogue.py [n_primitives] [--runs 15]
"""
import argparse
import json
import os
import random
import tempfile
import typing

from timing import medians

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


def msgspec_loader(path):
    """msgspec's typed decoder into structs of the seven fields, or None without msgspec."""
    try:
        import msgspec
    except ImportError:
        return None
    type_name = typing.Literal[tuple(TYPES)]

    class Schema(msgspec.Struct):
        logical_type: type_name
        semantic_tag: type_name

    class Primitive(msgspec.Struct):
        name: str
        id: str
        module: str
        column_schemas: list[list[Schema]]
        return_type: Schema
        function_type: str
        commutative: bool

    decoder = msgspec.json.Decoder(list[Primitive])

    def load():
        with open(path, "rb") as f:
            return decoder.decode(f.read())

    return load


def warm_medians(function, runs):
    """medians() after one untimed call, which reads the file into the page cache."""
    function()
    return medians(function, runs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("n", nargs="?", type=int, default=10_000)
    ap.add_argument("--runs", type=int, default=15)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "catalogue.json")
        with open(path, "w") as f:
            json.dump(catalogue(args.n, random.Random(42)), f, separators=(",", ":"))
        size_mb = os.path.getsize(path) / 1e6

        def load_json():
            with open(path) as f:
                return json.load(f)

        assert len(tolvane.load_primitives(path)) == args.n
        rows = [("tolvane.load_primitives", warm_medians(lambda: tolvane.load_primitives(path), args.runs)),
                ("json.load into dicts", warm_medians(load_json, args.runs))]
        load_msgspec = msgspec_loader(path)
        if load_msgspec:
            rows.append(("msgspec, typed", warm_medians(load_msgspec, args.runs)))
    print("%d primitives, %.1f MB, median of %d runs" % (args.n, size_mb, args.runs))
    ours = rows[0][1][0]
    print("%-24s %9s %9s  %s" % ("", "CPU ms", "wall ms", "tolvane's CPU time against it"))
    for name, (cpu, wall) in rows:
        ratio = "" if name.startswith("tolvane") else "%.2fx" % (ours / cpu)
        print("%-24s %9.1f %9.1f  %s" % (name, cpu * 1e3, wall * 1e3, ratio))
    if not load_msgspec:
        print("(msgspec is not installed: its column is left out)")


if __name__ == "__main__":
    main()
