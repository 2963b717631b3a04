"""Benchmarks of the feature model: fake features, comparison, feature files, memory per feature.

usage: python bench/bench_features.py [--runs 5]
Prints medians; run on an otherwise idle machine.
"""
import argparse
import gc
import os
import statistics
import subprocess
import sys
import tempfile
import time

import tolvane

HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR = os.path.join(HERE, "..", "..", "shared", "bench", "floor", "floor.py")


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result
    return statistics.median(times)


def derived_set(n):
    """n distinct derived features two generations deep: negate(add_numeric(root_a, root_b))."""
    roots = tolvane.generate_fake_features(1500)
    add = tolvane.Primitive("add_numeric", "ops", "transform", True,
                            [[("integer", "numeric")] * 2], ("integer", "numeric"))
    neg = tolvane.Primitive("negate", "ops", "transform", False, [[("integer", "numeric")]],
                            ("integer", "numeric"))
    out = []
    for i in range(len(roots)):
        for j in range(i + 1, len(roots)):
            a, b = roots[i], roots[j]
            f = tolvane.Feature(f"add_numeric_{a.name}_{b.name}", "integer", "numeric", [a, b], add)
            out.append(tolvane.Feature(f"negate_{f.name}", "integer", "numeric", [f], neg))
            if len(out) == n:
                return out
    return out


MEMORY_PROBE = """
import os, tolvane
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')
roots = tolvane.generate_fake_features(1001)
p = tolvane.Primitive('add_numeric', 'ops', 'transform', True, [[('integer', 'numeric')] * 2],
                      ('integer', 'numeric'))
deep = tolvane.Feature('deep', 'a', 'b', [roots[1], roots[2]], p)
for _ in range(50):
    deep = tolvane.Feature('deep', 'a', 'b', [deep, roots[3]], p)
n = 1_000_000
names = [f'add_numeric_F_{i % 1000}_F_{(i * 31) % 1000}' for i in range(n)]
before = rss()
held = [tolvane.Feature(names[i], 'a', 'b', [deep, roots[i % 1000]], p) for i in range(n)]
print((rss() - before) / n)
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    n = 1_000_000

    floor = subprocess.run([sys.executable, FLOOR, "--k", "0", "--threads", "1", "--n", str(n)],
                           capture_output=True, text=True, check=True).stdout.strip()
    floor_ns = float(floor.split("floor ")[1].split(" ns")[0])
    t = median_time(lambda: tolvane.generate_fake_features(n), args.runs)
    print(f"generate_fake_features({n:,}): {t * 1e9 / n:.1f} ns/feature; floor {floor_ns:.1f} ns "
          f"-> {t * 1e9 / n / floor_ns:.2f}x")

    left = tolvane.generate_fake_features(n)
    right = tolvane.generate_fake_features(n + n // 2)[n // 2:]
    t = median_time(lambda: tolvane.compare_featuresets(left, right), args.runs)
    print(f"compare_featuresets({n:,} vs {len(right):,}, half shared): {t:.3f} s, "
          f"{(len(left) + len(right)) / t / 1e6:.1f} M input features/s")
    del left, right

    features = derived_set(n)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "features.json")
        t = median_time(lambda: tolvane.Feature.save_features(features, path), args.runs)
        size = os.path.getsize(path)
    print(f"save_features({n:,} derived, 2 generations): {t:.3f} s, {size / 1e6:.0f} MB, "
          f"{size / t / 1e6:.0f} MB/s")
    del features

    per_feature = float(subprocess.run([sys.executable, "-c", MEMORY_PROBE], capture_output=True,
                                       text=True, check=True).stdout)
    print(f"memory per derived feature held in Python: {per_feature:.0f} bytes "
          f"(object, record and list slot; bases shared, fresh process)")

if __name__ == "__main__":
    main()
