"""Eight threads share Feature and Primitive objects, lists and calls for TOLVANE_STRESS_SECONDS
(3 by default): they read and assign attributes, render, compare and pass the shared objects and
lists to every function, while other threads replace the lists' items. Every assignment stores a
value equal to the one it replaces (or one of two known names), so every result must equal the
one computed before the threads started.

Run as a script; exits 0 when every result matched, 1 with the first mismatch on stderr. A crash
or a hang is for the caller to see (the tests run it in a child under a timeout)."""

import gc
import json
import os
import random
import sys
import tempfile
import threading
import time
import traceback

import tolvane

THREADS = 8
SLOT = ("Integer", "Numeric")


def root(i):
    return tolvane.Feature(f"c{i}", *SLOT)


def primitive(name, commutative):
    return tolvane.Primitive(name, "ops", "transform", commutative, [[SLOT, SLOT]], SLOT)


CATALOGUE = [
    {"name": "add_numeric", "id": "a1", "module": "ops", "column_schemas": [[SLOT, SLOT]],
     "return_type": SLOT, "function_type": "transform", "commutative": True},
    {"name": "negate", "id": "n1", "module": "ops", "column_schemas": [[SLOT]],
     "return_type": SLOT, "function_type": "transform", "commutative": False},
]


class Shared:
    """The objects every thread uses, and what every operation on them must return."""

    def __init__(self, workdir):
        self.roots = [root(i) for i in range(12)]
        self.many = [root(i) for i in range(40)]
        self.add = primitive("add_numeric", True)
        self.sub = primitive("subtract_numeric", False)
        self.prims = [self.add, self.sub]
        self.derived = tolvane.Feature("d", *SLOT, self.roots[:2], self.add)
        self.chain = tolvane.Feature("e", *SLOT, [self.derived, self.roots[2]], self.sub)
        self.toggle = tolvane.Feature("p", *SLOT)
        # Its items are replaced by equal objects while other threads pass it to calls.
        self.churned = [root(i) for i in range(len(self.roots))]
        self.catalogue = os.path.join(workdir, "catalogue.json")
        with open(self.catalogue, "w") as f:
            json.dump(CATALOGUE, f)
        self.workdir = workdir

        self.features = [*self.roots, self.derived, self.chain]
        self.texts = [str(f) for f in self.features]
        self.names = [f.name for f in self.features]
        self.base_names = [[b.name for b in f.base_features] for f in self.features]
        self.prim_texts = [str(p) for p in self.prims]
        self.generated = tolvane.generate_features(self.roots, self.prims)
        self.generated_names = [f.name for f in self.generated]
        self.generated_many = tolvane.generate_features(self.many, self.prims)
        self.compared = tolvane.compare_featuresets(self.roots, self.roots[6:] + [self.derived])
        self.fake = tolvane.generate_fake_features(30)
        self.fake_texts = [str(f) for f in self.fake]
        self.loaded = [str(p) for p in tolvane.load_primitives(self.catalogue)]
        self.saved = self.save([self.derived, self.chain, *self.roots], "expected.json")
        self.toggle_texts = {n: str(tolvane.Feature(n, *SLOT)) for n in ("p", "q")}
        self.made = str(tolvane.Feature("m", *SLOT, [self.chain, self.roots[3]], self.add))

    def save(self, features, filename):
        path = os.path.join(self.workdir, filename)
        tolvane.Feature.save_features(features, path)
        with open(path, "rb") as f:
            return f.read()


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def read_attributes(s, rng, _):
    i = rng.randrange(len(s.features))
    f = s.features[i]
    check(str(f) == s.texts[i], f"str of feature {i}")
    check(f.name == s.names[i], f"name of feature {i}")
    check([b.name for b in f.base_features] == s.base_names[i], f"bases of feature {i}")
    p = f.generating_primitive
    check(p is None or str(p) in s.prim_texts, f"primitive of feature {i}")
    check([str(p) for p in s.prims] == s.prim_texts, "primitive texts")
    name = s.toggle.name
    check(name in s.toggle_texts, f"toggled name {name!r}")
    check(str(s.toggle) in s.toggle_texts.values(), "toggled text")


def assign_attributes(s, rng, _):
    f = s.derived
    f.name = "d"
    f.base_features = s.roots[:2]
    f.generating_primitive = s.add
    s.chain.base_features = [s.derived, s.roots[2]]
    s.chain.generating_primitive = s.sub
    i = rng.randrange(len(s.roots))
    s.roots[i].name = s.names[i]
    s.add.name = "add_numeric"
    s.sub.name = "subtract_numeric"
    s.toggle.name = rng.choice(("p", "q"))


def compare(s, rng, _):
    shuffled = list(s.roots)
    rng.shuffle(shuffled)
    check(sorted(shuffled) == sorted(s.roots), "sorted roots")
    i = rng.randrange(len(s.roots))
    check(s.churned[i] == s.roots[i] and not (s.churned[i] != s.roots[i]), "churned item equal")
    check((s.roots[0] < s.roots[1]) == (s.roots[1] > s.roots[0]), "ordering")
    check(s.derived != s.chain and s.derived == s.derived, "identity")


def generate(s, rng, _):
    inputs = s.churned if rng.random() < 0.5 else s.roots
    out = tolvane.generate_features(inputs, s.prims)
    check(out == s.generated, "generate_features result")
    check([f.name for f in out] == s.generated_names, "generate_features names")


def generate_many(s, rng, _):
    # Large enough to use the worker pool, which only one call at a time may own.
    out = tolvane.generate_features(s.many, s.prims)
    check(len(out) == len(s.generated_many) and out == s.generated_many, "large result")


def compare_sets(s, rng, _):
    first = s.churned if rng.random() < 0.5 else s.roots
    check(tolvane.compare_featuresets(first, s.roots[6:] + [s.derived]) == s.compared,
          "compare_featuresets result")


def save(s, rng, thread):
    data = s.save([s.derived, s.chain, *s.churned], f"thread{thread}.json")
    check(data == s.saved, "saved file")


def load(s, rng, _):
    check([str(p) for p in tolvane.load_primitives(s.catalogue)] == s.loaded, "loaded primitives")


def fake(s, rng, _):
    out = tolvane.generate_fake_features(30)
    check(out == s.fake and [str(f) for f in out] == s.fake_texts, "fake features")


def construct(s, rng, _):
    f = tolvane.Feature("m", *SLOT, [s.chain, s.roots[3]], s.add)
    check(str(f) == s.made, "constructed feature")


def churn(s, rng, _):
    for _ in range(4):
        i = rng.randrange(len(s.churned))
        s.churned[i] = root(i)


def collect(s, rng, _):
    gc.collect()


OPERATIONS = [
    (read_attributes, 8), (assign_attributes, 6), (compare, 4), (generate, 3), (generate_many, 1),
    (compare_sets, 3), (save, 2), (load, 2), (fake, 2), (construct, 3), (churn, 6), (collect, 1),
]


def run(seconds):
    with tempfile.TemporaryDirectory() as workdir:
        s = Shared(workdir)
        failures = []
        counts = [0] * THREADS
        start = threading.Barrier(THREADS)
        deadline = time.monotonic() + seconds
        ops, weights = zip(*OPERATIONS)

        def work(thread):
            rng = random.Random(thread)
            start.wait()
            try:
                while time.monotonic() < deadline and not failures:
                    rng.choices(ops, weights)[0](s, rng, thread)
                    counts[thread] += 1
            except BaseException:  # noqa: B036 - reported, whatever it is
                failures.append(f"thread {thread}:\n{traceback.format_exc()}")

        # Objects no operation replaces: their counts must come back to what they were.
        watched = [*s.roots, *s.prims, s.derived, s.chain, s.toggle]
        refs = [sys.getrefcount(o) for o in watched]
        threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        gc.collect()
        if not failures and [sys.getrefcount(o) for o in watched] != refs:
            failures.append("reference counts changed")
        if failures:
            print(failures[0], file=sys.stderr)
            return 1
        gil = "on" if getattr(sys, "_is_gil_enabled", lambda: True)() else "off"
        print(f"{sum(counts)} operations on {THREADS} threads in {seconds:g} s, GIL {gil}")
        return 0


if __name__ == "__main__":
    sys.exit(run(float(os.environ.get("TOLVANE_STRESS_SECONDS", "3"))))
