"""Two levels of feature synthesis over a small customer table.

Reads the bundled catalogue, derives features twice, prints a summary and writes the final
feature set, each feature once, to out/demo_features.json.
"""
import collections
import os
import shutil
import time

import tolvane
import tolvane_io
from tolvane import Feature

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.relpath(os.path.join(HERE, "..", "out", "demo_features.json"))

# name, logical type, semantic tag
COLUMNS = [
    ("customer_id", "Integer", "Index"),
    ("age", "Integer", "Numeric"),
    ("income", "Double", "Numeric"),
    ("credit_score", "Double", "Numeric"),
    ("num_orders", "Integer", "Numeric"),
    ("is_member", "Boolean", None),
    ("has_churned", "Boolean", None),
    ("signup_date", "Datetime", None),
    ("last_order_date", "Datetime", None),
    ("country", "Categorical", None),
    ("postal_code", "PostalCode", "Categorical"),
    ("review_text", "NaturalLanguage", None),
]


def per_primitive(features):
    counts = collections.Counter()
    for f in features:
        if f.generating_primitive is not None:
            counts[f.generating_primitive.name] += 1
    return counts


def main():
    features = [Feature(name, lt, st or "unknown") for name, lt, st in COLUMNS]
    primitives = tolvane.load_primitives(os.path.join(HERE, "primitives.json"))
    print(f"{len(features)} columns, {len(primitives)} primitives in the catalogue")

    start = time.perf_counter()
    level1 = tolvane.generate_features(features, primitives)
    level2 = tolvane.generate_features(level1, primitives)
    elapsed = time.perf_counter() - start

    for label, before, after in (("level 1", features, level1), ("level 2", level1, level2)):
        made = after[len(before):]
        # A level makes some features of the levels before it again (same inputs, same primitive):
        # those are not new.
        new = tolvane_io.new_features(made, before)
        again = f" ({len(made) - len(new)} more made again)" if len(new) < len(made) else ""
        print(f"\n{label}: {len(new)} new features{again}")
        for name, n in per_primitive(new).most_common():
            print(f"  {name:<18}{n:>8}")
        for f in new[:: max(1, len(new) // 4)][:4]:
            print(f"  e.g. {f.name}")
    distinct = tolvane_io.unique(level2)
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    Feature.save_features(distinct, OUT)
    print(f"\n{len(distinct)} features, each once, in {elapsed * 1e3:.1f} ms; written to {OUT}")
    draw_lineage(next(f for f in reversed(level2)
                      if any(b.generating_primitive is not None for b in f.base_features)))


def draw_lineage(feature):
    """A picture of one second-level feature's ancestry, through examples/feature_graph.py."""
    import feature_graph

    dot = os.path.join(os.path.dirname(OUT), "demo_lineage.dot")
    print(f"\nlineage of {feature.name}:")
    render = ["--render", "png"] if shutil.which("dot") else []
    feature_graph.main([OUT, "--feature", feature.name, "-o", dot, *render])
    if not render:
        print(f"  (no picture: {feature_graph.INSTALL_HINT})")


if __name__ == "__main__":
    main()
