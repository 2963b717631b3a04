#!/usr/bin/env python3
"""What generate_features costs a user: per new feature, per name read, per feature dropped, per
small call, on a first call, per kept feature of a selection loop and per input of a big call.

Workloads (each case runs in processes of its own, so that the pool size and the memory state
are those of a fresh process):

- W1: generate_features(generate_fake_features(1000), [add_numeric, subtract_numeric]),
  1,498,500 new features, on 1 thread and on all CPUs. Each process makes one first call, then
  --runs warm calls (each result dropped before the next call). Also per feature: dropping the
  result (`del out`) and reading the name of every new feature (a list comprehension).
- names at depth 2: the new features made from 600 of W1's new features (539,100, every base a
  derived feature).
- small call: 20 features and 5 one-slot primitives (100 new features).
- first call against warm calls on all CPUs: W1, 400 columns (239,400 new features) and a wide
  table of 2,000 columns (5,997,000 new features).
- selection loop: a call of 100,233 new features (259 columns) per round, keeping one of them
  (or every 1000th) for the next rounds: growth of RSS less LazyFree per kept feature.
- big inputs: the N features of a first level (0.1, 1.9 and 9.3 million) with one more column,
  and one primitive pairing each of the N with it (N new features): CPU per input.

CPU time is that of the whole process (every thread); wall time is beside it. When the floor tool
of the workplace is found beside the repository (../shared/bench/floor/floor.py, or FLOOR_TOOL),
W1 is also shown as a multiple of that floor; without it, that column is left out.

usage: bench_generate.py [--runs 5] [--only CASE ...]   (cases: w1 depth2 small first select inputs)
"""
import argparse
import gc
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR = os.environ.get("FLOOR_TOOL") or os.path.join(HERE, "..", "..", "shared", "bench", "floor", "floor.py")
N = ("Integer", "Numeric")


def primitive(name, slots=(N, N), commutative=False):
    import tolvane
    return tolvane.Primitive(name, "m", "transform", commutative, [list(slots)], N)


def w1_primitives():
    return [primitive("add_numeric", commutative=True), primitive("subtract_numeric")]


def cpu():
    return time.process_time()


def wall():
    return time.perf_counter()


def rss_less_lazyfree():
    with open("/proc/self/smaps_rollup") as f:
        kib = dict(line.split()[:2] for line in f if line.split()[0] in ("Rss:", "LazyFree:"))
    return (int(kib["Rss:"]) - int(kib.get("LazyFree:", 0))) * 1024


def timed(fn):
    """(result, CPU seconds, wall seconds, system-CPU seconds) of fn()."""
    s, c, w = resource.getrusage(resource.RUSAGE_SELF).ru_stime, cpu(), wall()
    result = fn()
    c, w = cpu() - c, wall() - w
    return result, c, w, resource.getrusage(resource.RUSAGE_SELF).ru_stime - s


def calls(inputs, ps, runs):
    """A first call and `runs` warm ones over the same inputs: their times per new feature."""
    import tolvane
    gc.disable()  # the collector would walk the results between calls
    rows, rss = [], None
    for _ in range(runs + 1):
        before = rss_less_lazyfree()
        out, c, w, s = timed(lambda: tolvane.generate_features(inputs, ps))
        new = len(out) - len(inputs)
        if rss is None:
            rss = (rss_less_lazyfree() - before) / new
        _, dc, _, _ = timed(out.clear)
        del out
        rows.append({"cpu": c / new * 1e9, "wall": w / new * 1e9, "sys": s / new * 1e9,
                     "drop": dc / new * 1e9})
    warm = rows[1:]
    med = {k: statistics.median(r[k] for r in warm) for k in warm[0]}
    return {"new": new, "first": rows[0], "warm": med, "rss": rss}


def names_ns(inputs, ps):
    import tolvane
    out = tolvane.generate_features(inputs, ps)
    new = out[len(inputs):]
    names, c, _, _ = timed(lambda: [f.name for f in new])
    return c / len(new) * 1e9, out


def worker(case, runs):
    import tolvane
    ps = w1_primitives()
    if case == "w1":
        fs = tolvane.generate_fake_features(1000)
        result = calls(fs, ps, runs)
        result["names"], _ = names_ns(fs, ps)
        return result
    if case == "depth2":
        level1 = tolvane.generate_features(tolvane.generate_fake_features(1000), ps)
        sample = level1[1000::2500]
        result = calls(sample, ps, runs)
        result["names"], _ = names_ns(sample, ps)
        return result
    if case == "small":
        fs = tolvane.generate_fake_features(20)
        small = [primitive(f"p{i}", (N,)) for i in range(5)]
        n = 20000
        tolvane.generate_features(fs, small)

        def loop():
            for _ in range(n):
                tolvane.generate_features(fs, small)  # each result dropped at once
        _, c, w, _ = timed(loop)
        return {"cpu_us": c / n * 1e6, "wall_us": w / n * 1e6}
    if case.startswith("first"):
        columns = int(case.split("_")[1])
        return calls(tolvane.generate_fake_features(columns), ps, runs)
    if case.startswith("select"):
        every = int(case.split("_")[1])
        fs = tolvane.generate_fake_features(259)
        kept, samples = [], []
        rounds, warmup = 400, 40
        for r in range(rounds + warmup):
            out = tolvane.generate_features(fs, ps)
            kept.extend(out[len(fs)::every] if every > 1 else out[-1:])
            del out
            if r >= warmup and (r - warmup) % 10 == 0:
                gc.collect()
                samples.append((len(kept), rss_less_lazyfree()))
        # The least-squares slope of RSS over the count kept: memory moves in blocks of 2 MiB, so
        # the growth between two samples alone would be mostly that step.
        mk = statistics.fmean(k for k, _ in samples)
        mr = statistics.fmean(r for _, r in samples)
        slope = (sum((k - mk) * (r - mr) for k, r in samples) /
                 sum((k - mk) ** 2 for k, _ in samples))
        return {"per_kept": slope, "kept": samples[-1][0] - samples[0][0]}
    if case.startswith("inputs"):
        columns = int(case.split("_")[1])
        inputs = tolvane.generate_features(tolvane.generate_fake_features(columns), ps)
        inputs.append(tolvane.Feature("flag", "Boolean", "Boolean"))
        pair = [primitive("pair", (N, ("Boolean", "Boolean")))]
        per = []
        for _ in range(runs):
            out, c, w, _ = timed(lambda: tolvane.generate_features(inputs, pair))
            assert len(out) == 2 * len(inputs) - 1
            del out
            per.append((c / len(inputs) * 1e9, w / len(inputs) * 1e9))
        return {"inputs": len(inputs), "cpu": statistics.median(p[0] for p in per),
                "wall": statistics.median(p[1] for p in per)}
    raise SystemExit(f"unknown case {case}")


def run(case, runs, threads=None):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, "--worker", case, "--runs", str(runs)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def floor_ns(threads):
    if not os.path.exists(FLOOR):
        return None
    out = subprocess.run([sys.executable, FLOOR, "--k", "2", "--threads", str(threads)], check=True,
                         capture_output=True, text=True).stdout
    return float(re.search(r"floor ([0-9.]+) ns", out).group(1))


def median_of(results, *path):
    def get(r):
        for key in path:
            r = r[key]
        return r
    return statistics.median(get(r) for r in results)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--only", nargs="*", default=["w1", "depth2", "small", "first", "select", "inputs"])
    ap.add_argument("--worker")
    a = ap.parse_args()
    if a.worker:
        print(json.dumps(worker(a.worker, a.runs)))
        return
    cpus = len(os.sched_getaffinity(0))
    lines = []

    def say(text):
        print(text, flush=True)
        lines.append(text)

    if "w1" in a.only:
        say(f"{'W1, 1,498,500 new features':<40}{'threads':>8}{'CPU ns':>9}{'wall ns':>9}{'x floor':>9}"
            f"{'drop ns':>9}{'name ns':>9}{'RSS B':>7}")
        for threads in (1, cpus):
            fl = floor_ns(threads)
            rs = [run("w1", a.runs, threads) for _ in range(3)]
            ns = median_of(rs, "warm", "cpu" if threads == 1 else "wall")
            ratio = f"{ns / fl:9.3f}" if fl else f"{'-':>9}"
            say(f"{'  warm calls':<40}{threads:>8}{median_of(rs, 'warm', 'cpu'):>9.1f}"
                f"{median_of(rs, 'warm', 'wall'):>9.1f}{ratio}{median_of(rs, 'warm', 'drop'):>9.1f}"
                f"{median_of(rs, 'names'):>9.1f}{median_of(rs, 'rss'):>7.0f}")
            say(f"{'  first call / warm (wall)':<40}{threads:>8}"
                f"{statistics.median(r['first']['wall'] / r['warm']['wall'] for r in rs):>9.2f}x"
                f"  ({median_of(rs, 'first', 'sys'):.1f} ns of system CPU per feature)")
        if fl:
            say(f"  (x floor: CPU time on 1 thread, wall time on {cpus}, against the floor tool's line)")
    if "depth2" in a.only:
        rs = [run("depth2", a.runs, 1) for _ in range(3)]
        say(f"depth 2, {rs[0]['new']:,} new features, 1 thread: {median_of(rs, 'warm', 'cpu'):.1f} ns CPU "
            f"per feature, name read {median_of(rs, 'names'):.1f} ns, drop {median_of(rs, 'warm', 'drop'):.1f} ns")
    if "small" in a.only:
        rs = [run("small", a.runs, 1) for _ in range(a.runs)]
        say(f"small call (20 features, 5 one-slot primitives), 1 thread: {median_of(rs, 'cpu_us'):.1f} us CPU "
            f"({median_of(rs, 'wall_us'):.1f} us wall)")
    if "first" in a.only:
        for columns in (400, 2000):
            rs = [run(f"first_{columns}", 2, None) for _ in range(3)]
            say(f"{columns:,} columns, {rs[0]['new']:,} new features, {cpus} threads: warm "
                f"{median_of(rs, 'warm', 'wall'):.1f} ns wall ({median_of(rs, 'warm', 'cpu'):.1f} CPU); first call "
                f"{statistics.median(r['first']['wall'] / r['warm']['wall'] for r in rs):.2f}x the warm wall time, "
                f"{median_of(rs, 'first', 'sys'):.1f} ns of system CPU per feature")
    if "select" in a.only:
        for every in (0, 1000):
            rs = [run(f"select_{every}", 1, None) for _ in range(3)]
            what = "one per call" if every == 0 else "every 1000th"
            say(f"selection loop, 100,233 new features per call, keeping {what}: "
                f"{median_of(rs, 'per_kept'):,.0f} bytes of RSS (less LazyFree) per kept feature (the slope "
                f"over {rs[0]['kept']:,} kept)")
    if "inputs" in a.only:
        for columns in (258, 1126, 2490):
            rs = [run(f"inputs_{columns}", 2, 1) for _ in range(3 if columns < 2490 else 1)]
            say(f"big inputs, {rs[0]['inputs']:,} inputs, 1 thread: {median_of(rs, 'cpu'):.0f} ns CPU per input "
                f"({median_of(rs, 'wall'):.0f} wall)")


if __name__ == "__main__":
    main()
