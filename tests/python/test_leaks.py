"""Every entry point, on its success and failure paths, run many times: nothing may leak.

Three detectors: reference counts of the arguments and of the classes (every instance holds a
reference to its class, so a leaked object shows there), Python's count of allocated blocks, and
the process's RSS, which catches lost native records (the arguments carry 64 KiB names so that a
record lost per call adds up quickly). Under the sanitizers the allocator is not Python's and RSS
is dominated by the sanitizer's quarantine, so only the reference counts are checked there.
"""

import ctypes
import gc
import inspect
import os
import pathlib
import sys

import pytest

import tolvane
from support import (
    EMULATED,
    FREE_THREADED,
    INTEGER,
    Index,
    PanicException,
    Refused,
    Sequence,
    call_with_signal,
    derived,
    prim,
    refuse,
    root,
    run_python,
)

SANITIZED = bool(os.environ.get("TOLVANE_SANITIZED"))
# Under qemu-user RSS also holds the emulator's translation cache, which grows as new code runs.
COUNTS_RSS = not (SANITIZED or EMULATED)
MiB = 1 << 20
ROUNDS = 300


def rss():
    gc.collect()
    # glibc's malloc hands freed heap pages back only when asked, so that RSS shows what is live;
    # musl's has no such call and hands them back by itself.
    getattr(ctypes.CDLL(None), "malloc_trim", lambda pad: 0)(0)
    # Pages freed lazily (MADV_FREE) still count as resident until the system takes them back.
    with open("/proc/self/smaps_rollup") as f:
        kib = dict(line.split()[:2] for line in f if line.split()[0] in ("Rss:", "LazyFree:"))
    return (int(kib["Rss:"]) - int(kib.get("LazyFree:", 0))) * 1024


def entry_point_cases(tmp):
    """(label, call, expected exception or None) for every entry point and failure path."""
    big = "n" * (64 * 1024)
    p = prim(big)
    a, b = root(big + "a"), root(big + "b")
    d = derived([a, b], p, big)
    features = [a, b, d] * 4
    scratch = derived([a, b], p, "scratch")
    scratch_prim = prim("scratch")
    out = str(tmp / "features.json")
    catalogue = tmp / "catalogue.json"
    catalogue.write_text(
        '[{"name":"add","id":"x","module":"m","column_schemas":[[{"logical_type":"Integer",'
        '"semantic_tag":"Numeric"}]],"return_type":{"logical_type":"Integer","semantic_tag":'
        '"Numeric"},"function_type":"transform","commutative":true}]'
    )
    bad_json = tmp / "bad.json"
    bad_json.write_text('[{"name": ')
    no_length = Sequence([a, b], length=ValueError("no length"))
    lying_length = Sequence([a], length=10**12)
    hostile = Sequence([a, b], hook=refuse)

    cases = [
        ("fake", lambda: tolvane.generate_fake_features(50), None),
        ("fake index", lambda: tolvane.generate_fake_features(n_features=Index(7)), None),
        ("fake overflow", lambda: tolvane.generate_fake_features(2**31), OverflowError),
        ("fake huge", lambda: tolvane.generate_fake_features(2**100), OverflowError),
        ("fake float", lambda: tolvane.generate_fake_features(1.0), TypeError),
        ("fake bad index", lambda: tolvane.generate_fake_features(Index(Refused())), Refused),
        ("fake missing", lambda: tolvane.generate_fake_features(), TypeError),
        ("fake twice", lambda: tolvane.generate_fake_features(1, n_features=1), TypeError),
        ("compare", lambda: tolvane.compare_featuresets(features, [a]), None),
        ("compare odd", lambda: tolvane.compare_featuresets(tuple(features), no_length), None),
        ("compare lying", lambda: tolvane.compare_featuresets(lying_length, features), None),
        ("compare item", lambda: tolvane.compare_featuresets(features, [a, 1]), TypeError),
        ("compare dict", lambda: tolvane.compare_featuresets({}, features), TypeError),
        ("compare hostile", lambda: tolvane.compare_featuresets(features, hostile), Refused),
        ("compare keyword", lambda: tolvane.compare_featuresets([], [], x=1), TypeError),
        ("save", lambda: tolvane.Feature.save_features(features, out), None),
        ("save method", lambda: d.save_features(features=features, filename=out), None),
        ("save no dir", lambda: tolvane.Feature.save_features([d], str(tmp / "no" / "f")), PanicException),
        ("save nul", lambda: tolvane.Feature.save_features([d], out + "\0"), PanicException),
        ("save full device", lambda: tolvane.Feature.save_features([d], "/dev/full"), PanicException),
        ("save path", lambda: tolvane.Feature.save_features([d], pathlib.Path(out)), TypeError),
        ("save item", lambda: tolvane.Feature.save_features([d, "x"], out), TypeError),
        ("save surrogate", lambda: tolvane.Feature.save_features([d], "\ud800"), UnicodeEncodeError),
        ("schema", lambda: tolvane.ColumnSchema(), None),
        ("schema names", lambda: tolvane.ColumnSchema("integer", st="NUMERIC"), None),
        ("schema int", lambda: tolvane.ColumnSchema(1), TypeError),
        ("schema unknown", lambda: tolvane.ColumnSchema("no such type"), PanicException),
        ("schema surrogate", lambda: tolvane.ColumnSchema("\ud800"), UnicodeEncodeError),
        ("schema extra", lambda: tolvane.ColumnSchema(None, None, None), TypeError),
        ("input set", lambda: tolvane.InputSet([("Integer", None)] * 8), None),
        ("input set seq", lambda: tolvane.InputSet(Sequence([(None, "Numeric")])), None),
        ("input set short", lambda: tolvane.InputSet([("Integer",)]), ValueError),
        ("input set list", lambda: tolvane.InputSet([["Integer", None]]), TypeError),
        ("input set item", lambda: tolvane.InputSet([("Integer", 3)]), TypeError),
        ("input set unknown", lambda: tolvane.InputSet([("Integer", None), ("no", None)]), PanicException),
        ("input set generator", lambda: tolvane.InputSet(x for x in []), TypeError),
        ("input set twice", lambda: tolvane.InputSet([], inputs=[]), TypeError),
        ("primitive", lambda: prim(big), None),
        ("primitive int", lambda: tolvane.Primitive("n", "m", "t", 1, [], (None, None)), TypeError),
        (
            "primitive inner",
            lambda: tolvane.Primitive("n", "m", "t", True, [[("Integer", None)], 5], (None, None)),
            TypeError,
        ),
        (
            "primitive unknown",
            lambda: tolvane.Primitive("n", "m", "t", True, [], ("nope", None)),
            PanicException,
        ),
        (
            "primitive input set",
            lambda: tolvane.Primitive("n", "m", "t", True, [tolvane.InputSet([])], (None, None)),
            TypeError,
        ),
        ("primitive missing", lambda: tolvane.Primitive(), TypeError),
        ("feature", lambda: root(big), None),
        ("feature derived", lambda: derived([a, b, d], p, big), None),
        ("feature unknown type", lambda: tolvane.Feature("x", "no such", "type"), None),
        ("feature bases only", lambda: tolvane.Feature("x", "Integer", "Numeric", [a]), PanicException),
        ("feature prim only", lambda: tolvane.Feature("x", "Integer", "Numeric", None, p), PanicException),
        ("feature base item", lambda: tolvane.Feature("x", "Integer", "Numeric", [a, p], p), TypeError),
        ("feature prim type", lambda: tolvane.Feature("x", "Integer", "Numeric", [a], a), TypeError),
        ("feature lt", lambda: tolvane.Feature("x", 1, "Numeric"), TypeError),
        ("feature missing", lambda: tolvane.Feature("a"), TypeError),
        ("feature extra", lambda: tolvane.Feature("a", "b", "c", None, None, 1), TypeError),
        ("text", lambda: (str(d), repr(p), str(tolvane.ColumnSchema()), repr(tolvane.InputSet([]))), None),
        ("compare ops", lambda: (d == a, d != d, a < b, a >= b, d == 3), None),
        ("order other", lambda: a < 3, TypeError),
        ("hash", lambda: hash(a), TypeError),
        ("read", lambda: (d.name, d.base_features, d.generating_primitive, a.generating_primitive, p.name), None),
        ("set name", lambda: setattr(scratch, "name", big), None),
        ("set bases", lambda: setattr(scratch, "base_features", features), None),
        ("set bases none", lambda: setattr(scratch, "base_features", None), TypeError),
        ("set prim", lambda: setattr(scratch, "generating_primitive", p), None),
        ("set prim none", lambda: setattr(scratch, "generating_primitive", None), None),
        ("set prim wrong", lambda: setattr(scratch, "generating_primitive", a), TypeError),
        ("set name int", lambda: setattr(scratch, "name", 5), TypeError),
        ("del name", lambda: delattr(scratch, "name"), AttributeError),
        ("del bases", lambda: delattr(scratch, "base_features"), AttributeError),
        ("set other", lambda: setattr(scratch, "other", 1), AttributeError),
        ("set prim name", lambda: setattr(scratch_prim, "name", big), None),
        ("set prim name none", lambda: setattr(scratch_prim, "name", None), TypeError),
        ("del prim name", lambda: delattr(scratch_prim, "name"), AttributeError),
        # Python code run while the object is held for writing reaches that same object.
        (
            "write while writing",
            lambda: setattr(scratch, "base_features", Sequence([a], hook=lambda: setattr(scratch, "name", "x"))),
            RuntimeError,
        ),
        (
            "read while writing",
            lambda: setattr(scratch, "base_features", Sequence([a], hook=lambda: scratch.name)),
            RuntimeError,
        ),
        ("self as base", lambda: setattr(scratch, "base_features", [a, scratch]), RuntimeError),
        ("generate", lambda: tolvane.generate_features(features, [p, prim("neg", commutative=False)]), None),
        ("generate item", lambda: tolvane.generate_features([a, 1], [p]), TypeError),
        ("generate prims", lambda: tolvane.generate_features(features, [p, a]), TypeError),
        ("generate hostile", lambda: tolvane.generate_features(features, Sequence([p], hook=refuse)), Refused),
        ("load", lambda: tolvane.load_primitives(str(catalogue)), None),
        ("load missing", lambda: tolvane.load_primitives(str(tmp / "missing.json")), PanicException),
        ("load bad json", lambda: tolvane.load_primitives(str(bad_json)), PanicException),
        ("load directory", lambda: tolvane.load_primitives(str(tmp)), PanicException),
        ("load path", lambda: tolvane.load_primitives(catalogue), TypeError),
    ]
    watched = [a, b, d, p, features, scratch, scratch_prim, big, out, no_length, lying_length, hostile]
    return cases, watched


def run(cases):
    for label, call, expected in cases:
        if expected is None:
            call()
            continue
        try:
            call()
        except expected:
            pass
        else:
            pytest.fail(f"{label}: no {expected.__name__}")


CLASSES = [tolvane.Feature, tolvane.Primitive, tolvane.ColumnSchema, tolvane.InputSet]


@pytest.mark.slow
def test_entry_points_release_everything(tmp_path):
    cases, watched = entry_point_cases(tmp_path)
    watched += CLASSES
    run(cases)  # warm-up: caches, interned names, the exception class
    run(cases)
    before = rss()
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()

    for _ in range(ROUNDS):
        run(cases)

    after = rss()
    assert [sys.getrefcount(o) for o in watched] == refs
    if not SANITIZED:
        assert sys.getallocatedblocks() - blocks < ROUNDS // 3
    if COUNTS_RSS:
        assert after - before < 8 * MiB


@pytest.mark.slow
def test_dropping_large_results_frees_their_records(tmp_path):
    def make_and_drop():
        fakes = tolvane.generate_fake_features(1_000_000)
        p = prim()
        _pairs = [derived(fakes[i : i + 2], p, f"d{i}") for i in range(0, 200_000)]
        chain = fakes[0]
        for _ in range(100_000):  # one deep ancestry: must be freed without recursion
            chain = derived([chain], prim("neg", [[INTEGER]]), "c")
        str(chain)
        tolvane.Feature.save_features([chain], str(tmp_path / "chain.json"))
        _grown = tolvane.generate_features(fakes[:500], [p])  # alive until the peak is read
        return rss()

    before = rss()
    peak = make_and_drop()
    after = rss()
    # A free-threaded interpreter keeps the memory of freed objects for its next ones, so there
    # only a second round shows what the first lost.
    make_and_drop()
    again = rss()
    if COUNTS_RSS:
        assert peak - before > 100 * MiB  # the measurement saw the records
        assert again - after < (peak - before) // 10
        if not FREE_THREADED:
            assert after - before < (peak - before) // 10


def test_interrupted_and_refused_synthesis_release_everything():
    """KeyboardInterrupt in the middle of a call, and a call refused before it starts."""
    import signal

    def interrupt(*_):
        raise KeyboardInterrupt

    fakes = tolvane.generate_fake_features(1500)
    p = prim("sub", commutative=False)
    huge = prim("wide", [[("Any", "Any")] * 4], commutative=False, return_type=("Any", "Any"))
    old = signal.signal(signal.SIGALRM, interrupt)

    def interrupted_call():
        # At the call's first check, with the result's room reserved and the pool at work on the
        # call's two million features, however fast the machine.
        with pytest.raises(KeyboardInterrupt):
            call_with_signal(signal.SIGALRM, tolvane.generate_features, fakes, [p])

    try:
        interrupted_call()
        with pytest.raises(MemoryError):
            tolvane.generate_features(fakes, [huge])
        before = rss()
        refs = [sys.getrefcount(o) for o in (fakes, p, huge, *CLASSES)]
        for _ in range(20):
            interrupted_call()
            with pytest.raises(MemoryError, match="^generate_features would create 5042274741000 new"):
                tolvane.generate_features(fakes, [huge])
        gc.collect()  # a free-threaded interpreter counts a class's references per thread until then
        assert [sys.getrefcount(o) for o in (fakes, p, huge, *CLASSES)] == refs
        if COUNTS_RSS:
            # A free-threaded interpreter's allocator keeps the pages of freed objects as it sees
            # fit (tens of MiB here); 20 lost results would hold hundreds.
            assert rss() - before < (64 if FREE_THREADED else 8) * MiB
    finally:
        signal.signal(signal.SIGALRM, old)


@pytest.mark.skipif(not COUNTS_RSS, reason="RSS shows the sanitizer's or emulator's memory")
def test_a_selection_loop_keeps_only_what_it_keeps():
    """Make about 100,000 features per call and keep one of them, then every 1000th: memory that a
    survivor does not use comes back to later calls, so RSS grows by the survivors alone, not by
    the blocks they were made in (once 2 MiB per kept feature)."""
    proc = run_python("""
        import ctypes, gc, tolvane
        N = ("Integer", "Numeric")
        ps = [tolvane.Primitive(n, "m", "transform", c, [[N, N]], N)
              for n, c in (("add", True), ("sub", False))]
        fs = tolvane.generate_fake_features(259)
        kept = []
        for every, rounds in ((0, 150), (1000, 40)):
            for r in range(20 + rounds):
                if r == 20:
                    before, count = rss(), len(kept)
                out = tolvane.generate_features(fs, ps)
                kept.extend(out[len(fs)::every] if every else out[-1:])
                del out
            print(len(kept) - count, rss() - before)
    """, timeout=300, prelude="import ctypes, gc\n" + inspect.getsource(rss))
    assert proc.returncode == 0, proc.stderr
    for line in proc.stdout.splitlines():
        kept, grown = map(int, line.split())
        # A kilobyte per survivor, and a few blocks of 2 MiB that the allocators hold either way.
        assert grown < kept * 1024 + 8 * MiB, (kept, grown)
