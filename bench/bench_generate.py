#!/usr/bin/env python3
"""End-to-end cost of generate_features per new feature, against the machine's floor.

W1: generate_fake_features(1000) and two transform primitives over (Integer, Numeric) slots,
add_numeric (commutative) and subtract_numeric: 1,498,500 new features. Each case runs in its
own process (the pool size is fixed per process); times are medians of several calls.
"w1 first call" is the first call of a fresh process (its memory not yet faulted in), the median
over several processes.

usage: bench_generate.py [--runs 5]
"""
import argparse
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import time

FLOOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "bench", "floor", "floor.py")
SLOTS = [("Integer", "Numeric"), ("Integer", "Numeric")]


def primitives(which):
    import tolvane
    ps = {
        "add": tolvane.Primitive("add_numeric", "m", "transform", True, [SLOTS], SLOTS[0]),
        "sub": tolvane.Primitive("subtract_numeric", "m", "transform", False, [SLOTS], SLOTS[0]),
    }
    return [ps[w] for w in which]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def worker(case, runs):
    import tolvane
    fs = tolvane.generate_fake_features(1000)
    ps = primitives(["sub"] if case == "sub" else ["add", "sub"])
    times, growth = [], []
    for _ in range(runs):
        before = rss_bytes()
        t = time.perf_counter()
        out = tolvane.generate_features(fs, ps)
        times.append(time.perf_counter() - t)
        new = len(out) - len(fs)
        if not growth:  # later calls reuse the memory freed by earlier ones
            growth.append((rss_bytes() - before) / new)
        if case == "level2":
            sample = out[:300] + out[1000::5000]
            t = time.perf_counter()
            out2 = tolvane.generate_features(sample, ps)
            times[-1] = time.perf_counter() - t
            new = len(out2) - len(sample)
            del out2
        del out
    print(json.dumps({"ns": statistics.median(times) / new * 1e9, "new": new,
                      "rss": growth[0]}))


def run_case(case, threads, runs):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    if case == "w1 first call":
        firsts = [run_case("w1", threads, 1) for _ in range(runs)]
        return dict(firsts[0], ns=statistics.median(r["ns"] for r in firsts))
    out = subprocess.run([sys.executable, __file__, "--worker", case, "--runs", str(runs)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def floor_ns(threads):
    out = subprocess.run([sys.executable, FLOOR, "--k", "2", "--threads", str(threads)], check=True,
                         capture_output=True, text=True).stdout
    return float(re.search(r"floor ([0-9.]+) ns", out).group(1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--worker")
    a = ap.parse_args()
    if a.worker:
        return worker(a.worker, a.runs)
    floors = {t: floor_ns(t) for t in (2, 1)}
    rows = {}
    for case, threads in [("w1", 2), ("w1", 1), ("w1 first call", 2), ("w1 first call", 1),
                          ("sub", 2), ("sub", 1), ("level2", 2)]:
        rows[case, threads] = run_case(case, threads, a.runs)
    print(f"{'case':<24}{'threads':>8}{'new':>10}{'ns/new':>9}{'floor':>8}{'x floor':>9}{'RSS B/new':>11}")
    for (case, threads), r in rows.items():
        fl = floors[threads]
        print(f"{case:<24}{threads:>8}{r['new']:>10}{r['ns']:>9.1f}{fl:>8.1f}{r['ns'] / fl:>9.2f}{r['rss']:>11.1f}")
    for case in ("w1", "sub"):
        print(f"speed-up {case}, 2 threads over 1: {rows[case, 1]['ns'] / rows[case, 2]['ns']:.2f}x")


if __name__ == "__main__":
    main()
