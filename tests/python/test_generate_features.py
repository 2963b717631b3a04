import itertools
import signal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tolvane
from support import CALL_WITH_SIGNAL, RESTORE_SIGINT, PythonChild, prim, run_python, saved, sha
from tolvane import Feature

DN = ("Double", "Numeric")


def names(features):
    return [f.name for f in features]


class TestResultShape:
    def test_without_transform_primitives_inputs_come_back_as_new_objects(self):
        fs = [Feature("a", "Double", "Numeric"), Feature("b", "Boolean", "Any")]
        for primitives in ([], [prim("agg", [[DN]], function_type="aggregation")]):
            out = tolvane.generate_features(fs, primitives)
            assert names(out) == ["a", "b"]
            assert out == fs and all(o is not f for o, f in zip(out, fs))
        assert tolvane.generate_features([], [prim("neg", [[DN]])]) == []

    def test_one_input_primitive(self, tmp_path):
        age = Feature("age", "Double", "Numeric")
        absolute = prim("absolute", [[DN]], return_type=DN)
        out = tolvane.generate_features([age], [absolute])
        assert names(out) == ["age", "absolute_age"]
        assert names(out[1].base_features) == ["age"]
        assert out[1].generating_primitive.name == "absolute"
        entry = next(e for e in saved(tmp_path, out)["features"] if e["name"] == "absolute_age")
        assert entry["schema"] == {"logical_type": "Double", "semantic_tag": "Numeric"}

    def test_commutativity_decides_pairs_of_equal_slots(self):
        fs = [Feature(n, "Double", "Numeric") for n in "abc"]
        add = tolvane.generate_features(fs, [prim("add", [[DN, DN]])])
        sub = tolvane.generate_features(fs, [prim("sub", [[DN, DN]], commutative=False)])
        assert sorted(names(add[3:])) == ["add_a_b", "add_a_c", "add_b_c"]
        assert len(sub) == 9 and len(set(names(sub[3:]))) == 6

    def test_function_type_must_be_exactly_transform(self):
        fs = [Feature("a", "Double", "Numeric")]
        for ft in ("transform ", "TRANSFORM", "Transform"):
            assert names(tolvane.generate_features(fs, [prim("p", [[DN]], function_type=ft)])) == ["a"]

    def test_blocks_follow_primitive_then_signature_order(self):
        fs = [Feature("a", "Double", "Numeric"), Feature("t", "Boolean", "Any")]
        ps = [prim("z", [[("Boolean", "Any")], [DN]]), prim("y", [[DN]]), prim("x", [])]
        out = tolvane.generate_features(fs, ps)
        assert names(out) == ["a", "t", "z_t", "z_a", "y_a"]

    def test_names_are_not_escaped_and_duplicates_stay(self):
        fs = [Feature("my_col", "Double", "Numeric"), Feature("my_col", "Double", "Numeric")]
        out = tolvane.generate_features(fs, [prim("neg", [[DN], [DN]])])
        # Equal ids match once per signature; the two signatures both yield it.
        assert names(out) == ["my_col", "my_col", "neg_my_col", "neg_my_col"]

    def test_results_are_independent_copies(self):
        f = Feature("a", "Double", "Numeric")
        out = tolvane.generate_features([f], [prim("neg", [[DN]])])
        f.name = "changed"
        assert names(out) == ["a", "neg_a"]
        assert names(out[1].base_features) == ["a"]
        out[0].name = "other"
        assert f.name == "changed"

    def test_too_many_features_is_a_memory_error(self):
        fs = tolvane.generate_fake_features(3000)
        with pytest.raises(MemoryError, match="^generate_features would create 26973006000 new features"):
            tolvane.generate_features(fs, [prim("p", [[("Any", "Any")] * 3], commutative=False)])


class TestArguments:
    def test_sequences_are_converted_features_first(self):
        f = Feature("a", "Double", "Numeric")
        assert tolvane.generate_features("", []) == []
        assert names(tolvane.generate_features((f,), ())) == ["a"]
        assert names(tolvane.generate_features(features=[f], primitives=[])) == ["a"]
        cases = [
            (("ab", []), "argument 'features': 'str' object cannot be converted to 'Feature'"),
            (({}, []), "argument 'features': 'dict' object cannot be converted to 'Sequence'"),
            (((x for x in [f]), []), "argument 'features': 'generator' object cannot be converted to 'Sequence'"),
            (([f, 1], 5), "argument 'features': 'int' object cannot be converted to 'Feature'"),
            (([f], [f]), "argument 'primitives': 'Feature' object cannot be converted to 'Primitive'"),
        ]
        for args, message in cases:
            with pytest.raises(TypeError) as e:
                tolvane.generate_features(*args)
            assert str(e.value) == message


# An independent, direct reading of the synthesis rules.
def reference_block(features, p):
    """features: list of (name, id, lt, st) in input order; p: dict of the primitive's fields."""
    if p["function_type"] != "transform":
        return []
    index = {}
    for f in features:
        for t in {f[2], f[3], "Any"} - {"Unknown"}:
            members = index.setdefault(t, {})
            members.setdefault(f[1], f)

    def matches(lt, st):
        if "Unknown" in (lt, st):
            return []
        a, b = index.get(lt, {}), index.get(st, {})
        walk, other = (b, a) if len(b) < len(a) else (a, b)
        return [f for i, f in walk.items() if i in other]

    pid = sha(p["name"])
    out = []
    for sig in p["column_schemas"]:
        groups = {}
        for pos, schema in enumerate(sig):
            groups.setdefault(schema, []).append(pos)
        if not groups:
            continue
        pick = itertools.combinations if p["commutative"] else itertools.permutations
        factors = [list(pick(matches(*s), len(pos))) for s, pos in groups.items()]
        for choice in itertools.product(*factors):
            tup = [None] * len(sig)
            for positions, chosen in zip(groups.values(), choice):
                for pos, f in zip(positions, chosen):
                    tup[pos] = f
            ids = [f[1] for f in tup]
            digest = sha(pid + "".join(sorted(ids) if p["commutative"] else ids))
            name = p["name"] + "_" + "_".join(f[0] for f in tup)
            out.append((name, digest, p["return_type"], tuple(ids)))
    return out


def described(feature, tmp_path):
    """(name, id, schema, base ids) of one feature, read back from a feature file."""
    entries = saved(tmp_path, [feature], "one.json")["features"]
    bases = {b for e in entries for b in e["base_features"]}
    (entry,) = [e for e in entries if e["id"] not in bases] or entries[:1]
    schema = (entry["schema"]["logical_type"], entry["schema"]["semantic_tag"])
    return entry["name"], entry["id"], schema, tuple(entry["base_features"])


TYPES = ["Double", "Numeric", "Integer", "Boolean", "Any", "Unknown"]
schemas = st.tuples(st.sampled_from(TYPES), st.sampled_from(TYPES))
roots = st.lists(st.tuples(st.sampled_from(["a", "b", "c", "d_e", "f"]), schemas), max_size=6)
primitive_specs = st.lists(
    st.fixed_dictionaries({
        "name": st.sampled_from(["p", "q", "r"]),
        "function_type": st.sampled_from(["transform", "transform", "aggregation"]),
        "commutative": st.booleans(),
        "column_schemas": st.lists(st.lists(schemas, max_size=3), max_size=3),
        "return_type": schemas,
    }),
    max_size=3,
)


@settings(max_examples=60, deadline=None)
@given(roots, primitive_specs)
def test_each_block_matches_a_direct_reading_of_the_rules(tmp_path_factory, feature_specs, specs):
    tmp_path = tmp_path_factory.mktemp("prop")
    fs = [Feature(n, lt, st_) for n, (lt, st_) in feature_specs]
    ps = [prim(**s) for s in specs]
    infos = [(n, sha(n), lt, st_) for n, (lt, st_) in feature_specs]
    out = tolvane.generate_features(fs, ps)
    assert names(out[: len(fs)]) == names(fs)
    rest = out[len(fs):]
    for s in specs:
        expected = reference_block(infos, s)
        block, rest = rest[: len(expected)], rest[len(expected):]
        got = [described(f, tmp_path) for f in block]
        assert sorted(got) == sorted(expected)
    assert rest == []


class TestWideSignatures:
    """Signatures wider than the engine's small fixed buffers, against the direct reading."""

    # Every logical type but the wildcard and the absent one: (T, T) matches only features typed T.
    CONCRETE = ["Boolean", "BooleanNullable", "Address", "Age", "AgeFractional", "Categorical",
                "Datetime", "Double", "Integer", "IntegerNullable", "PostalCode", "Ordinal",
                "EmailAddress", "LatLong", "URL", "NaturalLanguage", "Timedelta", "Numeric",
                "TimeIndex", "ForeignKey", "DateOfBirth", "Index"]

    @staticmethod
    def check_block(tmp_path, feature_specs, spec):
        spec = dict(spec, function_type="transform")
        fs = [Feature(n, lt, st_) for n, (lt, st_) in feature_specs]
        out = tolvane.generate_features(fs, [prim(**spec)])[len(fs):]
        expected = reference_block([(n, sha(n), lt, st_) for n, (lt, st_) in feature_specs], spec)
        assert sorted(described(f, tmp_path) for f in out) == sorted(expected)
        return expected

    def test_commutative_ids_sort_many_inputs(self, tmp_path):
        names_ = [f"w{i}" for i in range(12)]
        assert sorted(names_, key=sha) != names_  # input order is not id order
        spec = {"name": "sum", "commutative": True, "column_schemas": [[DN] * 10], "return_type": DN}
        assert len(self.check_block(tmp_path, [(n, DN) for n in names_], spec)) == 66  # C(12, 10)

        bases = [Feature(n, *DN) for n in names_]
        d = Feature("d", "x", "x", bases, prim("sum", [[DN]], return_type=DN))
        assert described(d, tmp_path) == (
            "d", sha(sha("sum") + "".join(sorted(map(sha, names_)))), DN, tuple(map(sha, names_)))

    def test_more_distinct_schemas_than_a_signature_usually_has(self, tmp_path):
        # 18 groups, two of them with a second slot far from the first: slot order must survive.
        groups = [(t, t) for t in self.CONCRETE[:18]]
        signature = groups + [groups[0], groups[5]]
        features = [(f"c{i}", g) for i, g in enumerate(groups)] + [("x0", groups[0]), ("x5", groups[5]),
                                                                   ("y5", groups[5])]
        spec = {"name": "wide", "commutative": False, "column_schemas": [signature], "return_type": DN}
        assert len(self.check_block(tmp_path, features, spec)) == 2 * 6  # P(2, 2) * P(3, 2)


W1_SCRIPT = """
import sys, tolvane
fs = tolvane.generate_fake_features(150)
fs[3:6] = [tolvane.Feature("t%d" % i, "Boolean", "Any") for i in range(3)]
n2 = [("Integer", "Numeric")] * 2
ps = [tolvane.Primitive("add", "m", "transform", True, [n2, [("Any", "Any"), ("Boolean", "Any")]],
                       ("Integer", "Numeric")),
      tolvane.Primitive("sub", "m", "transform", False, [n2], ("Integer", "Numeric"))]
tolvane.Feature.save_features(tolvane.generate_features(fs, ps), sys.argv[1])
"""


def test_output_is_identical_across_runs_and_thread_counts(tmp_path):
    files = []
    for threads in ("1", "2", "2"):
        path = tmp_path / f"out{len(files)}.json"
        r = run_python(W1_SCRIPT, {"RAYON_NUM_THREADS": threads}, args=[str(path)])
        assert r.returncode == 0, r.stderr
        files.append(path.read_bytes())
    assert files[0] == files[1] == files[2]


def test_forked_child_gets_a_working_pool():
    code = """
import os, tolvane
fs = tolvane.generate_fake_features(300)
p = tolvane.Primitive("sub", "m", "transform", False, [[("Integer", "Numeric")] * 2], ("Integer", "Numeric"))
assert len(tolvane.generate_features(fs, [p])) == 300 + 300 * 299
pid = os.fork()
if pid == 0:
    ok = len(tolvane.generate_features(fs, [p, p])) == 300 + 2 * 300 * 299
    os._exit(0 if ok else 3)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
print("ok")
"""
    r = run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=60)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


def test_ctrl_c_in_the_middle_of_a_call_interrupts_it():
    # A handler run inside the call (its signal raised as the call starts) says so and waits: Ctrl-C
    # then comes while the pool is busy with the call, must reach the calling thread (the workers
    # block every signal) and end the call, whatever is left of it.
    code = RESTORE_SIGINT + CALL_WITH_SIGNAL + """
import signal, time, tolvane
fs = tolvane.generate_fake_features(2000)
p = tolvane.Primitive("sub", "m", "transform", False, [[("Integer", "Numeric")] * 2], ("Integer", "Numeric"))
def inside(*_):
    print("inside", flush=True)
    while True:  # in short steps: a signal that comes just before a sleep starts does not end it
        time.sleep(0.05)
signal.signal(signal.SIGUSR1, inside)
try:
    call_with_signal(signal.SIGUSR1, tolvane.generate_features, fs, [p])
    print("finished")
except KeyboardInterrupt:
    small = tolvane.generate_features(fs[:10], [p])
    print("interrupted", len(small), flush=True)
"""
    with PythonChild(code) as child:
        assert child.line().strip() == "inside"
        child.process.send_signal(signal.SIGINT)
        r = child.finish(timeout=30)
    assert r.stdout.strip() == "interrupted 100", r.stderr


def test_signal_handler_may_call_in_again_during_a_call():
    # The handler runs on the calling thread while the pool is busy with the outer call.
    code = CALL_WITH_SIGNAL + """
import signal, tolvane
fs = tolvane.generate_fake_features(600)
p = tolvane.Primitive("sub", "m", "transform", False, [[("Integer", "Numeric")] * 2], ("Integer", "Numeric"))
inner = []
signal.signal(signal.SIGALRM, lambda *_: inner.append(len(tolvane.generate_features(fs[:200], [p]))))
outer = len(call_with_signal(signal.SIGALRM, tolvane.generate_features, fs, [p]))
print(inner, outer)
"""
    r = run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["[40000]", str(600 + 600 * 599)]


@pytest.mark.parametrize("last", ["results", "inputs"])
def test_inputs_are_freed_when_their_last_holder_lets_go(last):
    # New features drop their shared inputs in bulk, merged; those drops once waited for the next
    # call, keeping 200 inputs of 240 KB names (48 MB) after every result and input was dropped.
    r = run_python("""
        import ctypes, sys, tolvane
        class MallInfo2(ctypes.Structure):
            _fields_ = [(name, ctypes.c_size_t) for name in
                        "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
        mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
        if mallinfo2 is None:
            raise SystemExit("no mallinfo2")
        mallinfo2.restype = MallInfo2
        def allocated():
            info = mallinfo2()
            return info.uordblks + info.hblkhd
        N = ("Integer", "Numeric")
        sub = tolvane.Primitive("sub", "m", "transform", False, [[N, N]], N)
        start = allocated()
        held = {"inputs": [tolvane.Feature(str(i) + "x" * 240_000, *N) for i in range(200)]}
        held["results"] = tolvane.generate_features(held["inputs"], [sub])
        del held["inputs" if sys.argv[1] == "results" else "results"]
        del held[sys.argv[1]]
        print((allocated() - start) // 1_000_000)
    """, args=[last])
    if r.stderr.strip() == "no mallinfo2":
        pytest.skip("the C library has no mallinfo2() to count what is allocated")
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["0"]


def test_names_at_every_depth_join_primitive_and_base_names():
    """A new feature's name is its primitive's name and its bases' names joined by "_", whether
    the bases are roots, new features of earlier calls (of any depth) or renamed ones."""
    fs = tolvane.generate_fake_features(6)
    add, neg = prim("add"), prim("neg", [[("Integer", "Numeric")]], commutative=False)
    level1 = tolvane.generate_features(fs, [add, neg])[6:]
    renamed = level1[0]
    renamed.name = "renamed"

    def expected(f):
        if f.generating_primitive is None or f == renamed:
            return f.name
        return "_".join([f.generating_primitive.name] + [expected(b) for b in f.base_features])

    level2 = tolvane.generate_features(fs[:2] + level1[:4], [add, neg])[6:]
    bases3 = [f for f in level2 if "_renamed" in f.name][:2] + level2[-2:] + level1[-1:] + fs[:1]
    level3 = tolvane.generate_features(bases3, [add])[len(bases3):]
    for f in level1[1:] + level2 + level3:
        assert f.name == expected(f)
    assert any("_renamed" in f.name for f in level2)
    assert any("_renamed" in f.name for f in level3)
    assert any(f.name.count("_neg_") + f.name.count("_add_") >= 3 for f in level3)
