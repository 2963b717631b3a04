"""Benchmarks of the feature model: fake features, comparison, feature files, memory per feature.

- generate_fake_features(1,000,000) and compare_featuresets, in this process.
- save_features of W1 (generate_fake_features(k) with add_numeric and subtract_numeric over
  (Integer, Numeric) slots), k chosen for 0.25, 0.5, 1 and 1.5 million features, each save in a
  process of its own: CPU time (user and system) and wall time. The wall time beyond the CPU time
  is mostly the wait for the flush to disk that makes the file durable. Beside it, the CPU time
  of a plain write and fsync of as many bytes: the system time is mostly the kernel's copy into
  the page cache and the flush, and varies with what else the machine writes. W1 saved to /dev/null (no
  file system behind it) shows what making the text costs alone.
- save_features of 1,000,000 derived features two generations deep.
- memory per derived feature held in Python, in a fresh process.

Figures are medians. The floor column of generate_fake_features (one SHA-256 and one Python object
per feature) is shown when ../shared/bench/floor/floor.py is present beside the repository.

usage: python bench/bench_features.py [--runs 3] [--dir DIRECTORY_FOR_THE_FILES]
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

from timing import medians

HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR = os.path.join(HERE, "..", "..", "shared", "bench", "floor", "floor.py")
N = ("Integer", "Numeric")
# generate_fake_features(k) makes 1.5 k (k - 1) new features with the two primitives.
W1_SIZES = [409, 578, 817, 1000]


def derived_set(n):
    """n distinct derived features two generations deep: negate(add_numeric(root_a, root_b))."""
    import tolvane

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


def save_worker(k, path):
    """Saves W1 of generate_fake_features(k) to path; prints its figures as JSON."""
    import tolvane

    add = tolvane.Primitive("add_numeric", "m", "transform", True, [[N, N]], N)
    sub = tolvane.Primitive("subtract_numeric", "m", "transform", False, [[N, N]], N)
    w1 = tolvane.generate_features(tolvane.generate_fake_features(k), [add, sub])
    before = resource.getrusage(resource.RUSAGE_SELF)
    wall = time.perf_counter()
    tolvane.Feature.save_features(w1, path)
    wall = time.perf_counter() - wall
    after = resource.getrusage(resource.RUSAGE_SELF)
    size = os.path.getsize(path) if os.path.isfile(path) else None
    figures = {"features": len(w1), "bytes": size, "wall": wall,
               "user": after.ru_utime - before.ru_utime, "sys": after.ru_stime - before.ru_stime}
    if size is not None:
        figures["plain"] = plain_write(size, path + ".plain")
    print(json.dumps(figures))


def plain_write(size, path):
    """CPU seconds of writing size bytes to a new file in 1 MiB writes, then fsync: what the
    kernel takes for as much text, whoever makes it."""
    chunk = b"x" * (1 << 20)
    before = resource.getrusage(resource.RUSAGE_SELF)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        for at in range(0, size, len(chunk)):
            os.write(fd, chunk[:size - at])
        os.fsync(fd)
    finally:
        os.close(fd)
        os.unlink(path)
    after = resource.getrusage(resource.RUSAGE_SELF)
    return after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def save_w1(k, path, runs):
    """Median figures of saving W1 of generate_fake_features(k), a fresh process each run."""
    results = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, __file__, "--save-worker", str(k), path],
                             capture_output=True, text=True, check=True)
        results.append(json.loads(out.stdout))
        if os.path.isfile(path):
            os.unlink(path)
    keys = ("wall", "user", "sys") + (("plain",) if "plain" in results[0] else ())
    median = {key: statistics.median(r[key] for r in results) for key in keys}
    median.update(features=results[0]["features"], bytes=results[0]["bytes"])
    return median


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
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", default=None, help="where the saved files go (default: a temporary one)")
    ap.add_argument("--save-worker", nargs=2, metavar=("K", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.save_worker:
        save_worker(int(args.save_worker[0]), args.save_worker[1])
        return
    import tolvane

    n = 1_000_000
    cpu, wall = medians(lambda: tolvane.generate_fake_features(n), args.runs)
    line = (f"generate_fake_features({n:,}): {cpu * 1e9 / n:.1f} ns/feature of CPU "
            f"({wall * 1e9 / n:.1f} wall)")
    if os.path.exists(FLOOR):
        floor = subprocess.run([sys.executable, FLOOR, "--k", "0", "--threads", "1", "--n", str(n)],
                               capture_output=True, text=True, check=True).stdout.strip()
        floor_ns = float(floor.split("floor ")[1].split(" ns")[0])
        line += f"; floor {floor_ns:.1f} ns -> {wall * 1e9 / n / floor_ns:.2f}x"
    print(line)

    left = tolvane.generate_fake_features(n)
    right = tolvane.generate_fake_features(n + n // 2)[n // 2:]
    cpu, wall = medians(lambda: tolvane.compare_featuresets(left, right), args.runs)
    print(f"compare_featuresets({n:,} vs {len(right):,}, half shared): {cpu:.3f} s of CPU "
          f"({wall:.3f} wall), {(len(left) + len(right)) / cpu / 1e6:.1f} M input features/s")
    del left, right

    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        path = os.path.join(directory, "features.json")
        print(f"save_features of W1, a fresh process each ({args.runs} runs), into {directory}:")
        print("  (plain write: the CPU time of writing as many bytes in 1 MiB writes and fsync, in "
              "the same process, after the save)")
        print(f"  {'features':>10} {'MB':>5} {'CPU s':>6} {'user':>6} {'sys':>6} {'wall s':>7} "
              f"{'MB/s of CPU':>11} {'ns/feature of CPU':>17} {'plain write s':>13}")
        for k in W1_SIZES:
            m = save_w1(k, path, args.runs)
            cpu = m["user"] + m["sys"]
            mb = m["bytes"] / 1e6
            print(f"  {m['features']:>10,} {mb:>5.0f} {cpu:>6.3f} {m['user']:>6.3f} {m['sys']:>6.3f} "
                  f"{m['wall']:>7.3f} {mb / cpu:>11.0f} {cpu / m['features'] * 1e9:>17.0f} "
                  f"{m['plain']:>13.3f}")
        m = save_w1(W1_SIZES[-1], os.devnull, args.runs)
        print(f"  W1 to /dev/null (the text alone): {m['user'] + m['sys']:.3f} s of CPU "
              f"(user {m['user']:.3f}, sys {m['sys']:.3f}), "
              f"{(m['user'] + m['sys']) / m['features'] * 1e9:.0f} ns/feature")

        features = derived_set(n)
        cpu, wall = medians(lambda: tolvane.Feature.save_features(features, path), args.runs)
        size = os.path.getsize(path)
        print(f"save_features({n:,} derived, 2 generations): {size / 1e6:.0f} MB, "
              f"{cpu:.3f} s of CPU ({wall:.3f} wall), {size / cpu / 1e6:.0f} MB/s of CPU")
        del features

    per_feature = float(subprocess.run([sys.executable, "-c", MEMORY_PROBE], capture_output=True,
                                       text=True, check=True).stdout)
    print(f"memory per derived feature held in Python: {per_feature:.0f} bytes "
          f"(object, record and list slot; bases shared, fresh process)")


if __name__ == "__main__":
    main()
