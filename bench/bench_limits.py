#!/usr/bin/env python3
"""What the safety checks cost, and what refusing and saving take.

- small call: generate_features over 20 features and 5 one-slot primitives (100 new features),
  CPU time per call; every call is checked against memory.
- refusal: generate_features refused for its size, CPU time and peak RSS growth: 2 million inputs
  with one two-slot primitive (4 x 10^12 candidates), and the second level of a 2,000-column
  table (6 million inputs, add_numeric and subtract_numeric).
- save: Feature.save_features of W1 (generate_fake_features(1000) with add_numeric and
  subtract_numeric, 1,499,500 features, a 619 MB file), wall and CPU time and peak RSS growth;
  then a signal a fifth and halfway into it whose handler raises KeyboardInterrupt, as
  Ctrl-C's does:
  the delay until the handler runs, and until the exception reaches the caller (the unfinished
  file removed by then).

Each case runs in a process of its own; the figures are medians over --runs processes.

usage: bench_limits.py [--runs 3] [--dir DIRECTORY_FOR_THE_FILE]
"""
import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

N = ("Integer", "Numeric")


def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) << 10
    raise KeyError(key)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def primitive(name, slots, commutative):
    import tolvane
    return tolvane.Primitive(name, "m", "transform", commutative, [[N] * slots], N)


def worker(case, directory):
    import tolvane
    add = primitive("add_numeric", 2, True)
    sub = primitive("subtract_numeric", 2, False)
    if case == "small":
        fs = tolvane.generate_fake_features(20)
        ps = [primitive(f"p{i}", 1, False) for i in range(5)]
        calls = 20000
        tolvane.generate_features(fs, ps)
        t = time.process_time()
        for _ in range(calls):
            tolvane.generate_features(fs, ps)
        return {"us_cpu": (time.process_time() - t) / calls * 1e6}
    if case in ("refuse_2m", "refuse_level2"):
        if case == "refuse_2m":
            inputs, ps = tolvane.generate_fake_features(2_000_000), [sub]
        else:
            inputs, ps = tolvane.generate_features(tolvane.generate_fake_features(2000), [add, sub]), [add, sub]
        reset_peak()
        before = status("VmRSS")
        t = time.process_time()
        try:
            tolvane.generate_features(inputs, ps)
            raise SystemExit("not refused")
        except MemoryError:
            pass
        return {"s_cpu": time.process_time() - t, "peak_mib": (status("VmHWM") - before) / 2**20}
    w1 = tolvane.generate_features(tolvane.generate_fake_features(1000), [add, sub])
    path = os.path.join(directory, "w1.json")
    if case == "save":
        reset_peak()
        before = status("VmRSS")
        w, c = time.perf_counter(), time.process_time()
        tolvane.Feature.save_features(w1, path)
        result = {"s_wall": time.perf_counter() - w, "s_cpu": time.process_time() - c,
                  "peak_mib": (status("VmHWM") - before) / 2**20, "mb": os.path.getsize(path) / 1e6}
        os.unlink(path)
        return result
    delay = float(case.split("_")[1])
    ran = []

    def handler(*_):
        ran.append(time.perf_counter())
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, handler)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        tolvane.Feature.save_features(w1, path)
        raise SystemExit("finished before the signal")
    except KeyboardInterrupt:
        done = time.perf_counter()
    leftovers = os.listdir(directory)
    return {"ms_to_handler": (ran[0] - start - delay) * 1e3, "ms_to_exception": (done - start - delay) * 1e3,
            "leftovers": len(leftovers)}


def run(case, directory):
    out = subprocess.run([sys.executable, __file__, "--worker", case, "--dir", directory],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--worker")
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.dir)))
        return
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        def median(case, key):
            return statistics.median(run(case, directory)[key] for _ in range(args.runs))

        rows = [
            ("small call, 100 new features", f"{median('small', 'us_cpu'):.1f} us CPU"),
        ]
        for case, label in [("refuse_2m", "refusal, 2 million inputs"),
                            ("refuse_level2", "refusal, second level of 2,000 columns")]:
            results = [run(case, directory) for _ in range(args.runs)]
            rows.append((label, f"{statistics.median(r['s_cpu'] for r in results):.3f} s CPU, "
                                f"peak RSS +{statistics.median(r['peak_mib'] for r in results):.1f} MiB"))
        results = [run("save", directory) for _ in range(args.runs)]
        rows.append(("save W1", f"{results[0]['mb']:.0f} MB in "
                                f"{statistics.median(r['s_wall'] for r in results):.2f} s "
                                f"({statistics.median(r['s_cpu'] for r in results):.2f} s CPU), "
                                f"peak RSS +{statistics.median(r['peak_mib'] for r in results):.1f} MiB"))
        # A fifth and halfway into the save, whatever the disk makes its length.
        save_wall = statistics.median(r["s_wall"] for r in results)
        for part in (0.2, 0.5):
            delay = f"{part * save_wall:.3f}"
            results = [run(f"ctrlc_{delay}", directory) for _ in range(args.runs)]
            assert all(r["leftovers"] == 0 for r in results)
            rows.append((f"signal {delay} s into the save ({part:.0%} of it)",
                         f"handler after {statistics.median(r['ms_to_handler'] for r in results):.1f} ms, "
                         f"exception after {statistics.median(r['ms_to_exception'] for r in results):.1f} ms"))
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label:<{width}}  {value}")


if __name__ == "__main__":
    main()
