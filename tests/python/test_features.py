"""Features: identity, attributes, text, comparison; fake sets, comparison of sets, feature files."""
import json
import os
import stat
from dataclasses import dataclass, replace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tolvane
from support import INTEGER, PanicException, prim, root, run_python, saved, sha

SCHEMA_IN = "ColumnSchema { logical_type: Integer, semantic_tag: Numeric }"


class TestIdentity:
    def test_root_id_is_digest_of_name_whatever_the_schema(self, tmp_path):
        a, b = root("x", "integer", "numeric"), root("x", "boolean", "index")
        assert a == b
        assert saved(tmp_path, [a])["features"][0]["id"] == sha("x")

    def test_derived_ids(self, tmp_path):
        f1, f2 = root("f1"), root("f2")
        com = prim("add", commutative=True)
        non = prim("sub", commutative=False)
        d12, d21 = tolvane.Feature("d", "a", "b", [f1, f2], com), tolvane.Feature("e", "a", "b", [f2, f1], com)
        n12, n21 = tolvane.Feature("d", "a", "b", [f1, f2], non), tolvane.Feature("d", "a", "b", [f2, f1], non)
        assert d12 == d21 and n12 != n21
        lo, hi = sorted([sha("f1"), sha("f2")])
        got = {f["name"]: f["id"] for f in saved(tmp_path, [d12])["features"]}
        assert got["d"] == sha(sha("add") + lo + hi)
        got = saved(tmp_path, [n21])["features"][0]["id"]
        assert got == sha(sha("sub") + sha("f2") + sha("f1"))
        empty = tolvane.Feature("z", "a", "b", [], non)
        assert saved(tmp_path, [empty])["features"][0]["id"] == sha(sha("sub"))

    def test_derived_schema_comes_from_the_primitive(self):
        d = tolvane.Feature("d", "boolean", "index", [root("x")], prim(return_type=("age", "ordinal")))
        assert str(d).startswith("d:ColumnSchema { logical_type: Age, semantic_tag: Ordinal }:Some(")

    def test_same_primitive_id_and_inputs_give_equal_features(self):
        x = root("x")
        p1, p2 = prim("p", module="a"), prim("p", module="b")
        assert tolvane.Feature("one", "a", "b", [x], p1) == tolvane.Feature("two", "c", "d", [x], p2)

    def test_unknown_texts_become_unknown(self):
        assert str(tolvane.Feature("r", "nothing", "numeric")) == (
            "r:ColumnSchema { logical_type: Unknown, semantic_tag: Numeric }:None:[]")

    @pytest.mark.parametrize("bases, primitive", [([], None), (None, "p"), ((), None)])
    def test_bases_and_primitive_go_together(self, bases, primitive):
        p = prim() if primitive else None
        with pytest.raises(PanicException) as e:
            tolvane.Feature("a", "b", "c", bases, p)
        assert str(e.value) == "base_features and generating_primitive must be both None or both Some"


class TestSurface:
    def test_text_form(self):
        assert str(root("idx")) == repr(root("idx")) == f"idx:{SCHEMA_IN}:None:[]"
        p = tolvane.Primitive("add", "ops", "transform", True, [[("double", "numeric")]], ("double", "numeric"))
        d = tolvane.Feature("d", "a", "b", [root('a"b'), root("c\n")], p)
        assert str(d) == (
            'd:ColumnSchema { logical_type: Double, semantic_tag: Numeric }:Some(Primitive { name: "add", '
            f'id: "{sha("add")}", module: "ops", column_schemas: [InputSet([ColumnSchema {{ logical_type: '
            'Double, semantic_tag: Numeric }])], return_type: ColumnSchema { logical_type: Double, '
            'semantic_tag: Numeric }, function_type: "transform", commutative: true }):["a\\"b", "c\\n"]')

    def test_attributes_read_copies(self):
        x = root("x")
        d = tolvane.Feature("d", "a", "b", [x], prim())
        bases = d.base_features
        bases.append(root("y"))
        assert [b.name for b in d.base_features] == ["x"]
        assert d.base_features[0] is not x and d.base_features[0] == x
        assert d.generating_primitive is not d.generating_primitive
        assert root("r").generating_primitive is None and root("r").base_features == []

    def test_assignments_keep_id_and_schema(self):
        f = root("old")
        f.name = "new"
        assert f.name == "new"
        assert f == root("old") and f != root("new")
        f.base_features = (root("b"),)
        f.generating_primitive = prim(return_type=("boolean", None))
        assert f == root("old")
        assert str(f).startswith(f"new:{SCHEMA_IN}:Some(Primitive")
        f.generating_primitive = None
        assert str(f) == f'new:{SCHEMA_IN}:None:["b"]'

    def test_assignment_errors(self):
        f = root("f")
        with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
            f.name = 5
        with pytest.raises(TypeError, match=r"^'NoneType' object cannot be converted to 'Sequence'$"):
            f.base_features = None
        with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'Feature'$"):
            f.base_features = [root("g"), 1]
        with pytest.raises(TypeError, match=r"^'Feature' object cannot be converted to 'Primitive'$"):
            f.generating_primitive = f
        for attr in ("name", "base_features", "generating_primitive"):
            with pytest.raises(AttributeError, match="^can't delete attribute$"):
                delattr(f, attr)
        assert str(f) == f"f:{SCHEMA_IN}:None:[]"

    def test_attribute_lookup_by_any_spelling(self):
        f = root("f")
        f.name = "renamed"
        spelt = "".join(["na", "me"])  # equal to the interned "name", not the same object
        assert getattr(f, spelt) == f.name == "renamed"
        assert f.__class__ is tolvane.Feature and callable(f.save_features)
        with pytest.raises(AttributeError, match="^'builtins.Feature' object has no attribute 'nam'$"):
            f.nam
        with pytest.raises(TypeError):
            getattr(f, 1)

    def test_comparisons(self):
        a, b = root("a"), root("b")
        lo, hi = sorted([a, b], key=lambda f: sha(f.name))
        assert a == root("a") and not (a != root("a"))
        assert a != b and not (a == b)
        assert lo < hi and lo <= hi and hi > lo and hi >= lo and lo <= root(lo.name)
        assert [f.name for f in sorted([hi, lo])] == [lo.name, hi.name]
        assert (a == 3) is False and (a != 3) is True
        with pytest.raises(TypeError):
            a < 3
        with pytest.raises(TypeError):
            hash(a)
        with pytest.raises(TypeError):
            {a}

    def test_reentrant_assignment_is_refused_not_corrupting(self):
        f = root("f")

        class Renames:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                f.name = "changed"

        class Reads:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                return f

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            f.base_features = Renames()
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            f.base_features = Reads()

        class Prints(Reads):
            def __getitem__(self, i):
                str(f)

        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            f.base_features = Prints()
        assert str(f) == f"f:{SCHEMA_IN}:None:[]"
        f.name = "g"  # the borrow was released
        assert f.name == "g"


class TestFake:
    @pytest.mark.parametrize("n, names", [
        (1, ["idx"]), (0, ["idx"]), (-5, ["idx"]), (-2**31, ["idx"]), (3, ["idx", "F_0", "F_1"]),
    ])
    def test_names(self, n, names):
        assert [f.name for f in tolvane.generate_fake_features(n)] == names

    def test_features_are_roots_with_digest_ids(self, tmp_path):
        fs = tolvane.generate_fake_features(12)
        assert fs == tolvane.generate_fake_features(n_features=12)
        assert fs[-1].name == "F_10"
        for f in fs:
            assert str(f) == f"{f.name}:{SCHEMA_IN}:None:[]"
            assert f.generating_primitive is None and f.base_features == []
        doc = saved(tmp_path, fs)
        assert [f["id"] for f in doc["features"]] == [sha(f.name) for f in fs]

    def test_records_outlive_their_objects_while_their_memory_is_reused(self, tmp_path):
        # Roots and renamed copies whose objects are gone live on as bases of derived features,
        # while later calls make and drop roots by the thousand in the memory freed beside them.
        fs = tolvane.generate_fake_features(3000)
        renamed = [tolvane.Feature(f"r{i}", "Integer", "Numeric") for i in range(50)]
        derived = tolvane.generate_features(fs[1:40] + renamed, [prim()])[89:]
        before = [(str(f), [str(b) for b in f.base_features]) for f in derived]
        doc = saved(tmp_path, derived)
        del fs, renamed
        for n in (5000, 20, 3000):
            churn = tolvane.generate_fake_features(n)
            del churn
        assert [(str(f), [str(b) for b in f.base_features]) for f in derived] == before
        assert saved(tmp_path, derived) == doc


class TestCompare:
    def test_set_differences_by_id_in_input_order(self):
        a, b, c, d = (root(n) for n in "abcd")
        left, right = tolvane.compare_featuresets([c, a, b, a, c], [d, b, root("d", "boolean", "index")])
        assert [f.name for f in left] == ["c", "a"]
        assert [f.name for f in right] == ["d"]
        assert left[0] is not c

    def test_equal_sets_and_empty_sides(self):
        a, b = root("a"), root("b")
        assert tolvane.compare_featuresets([], []) == ([], [])
        assert tolvane.compare_featuresets([a, b], [b, a, a]) == ([], [])
        assert [f.name for f in tolvane.compare_featuresets([], [a, a, b])[1]] == ["a", "b"]

    def test_derived_features_match_by_id_not_name(self):
        x = root("x")
        one = tolvane.Feature("one", "a", "b", [x], prim())
        two = tolvane.Feature("two", "a", "b", [x], prim())
        assert tolvane.compare_featuresets([one], [two]) == ([], [])
        assert tolvane.compare_featuresets([one], [x]) == ([one], [x])


class TestFeatureFile:
    def test_empty_and_single_root_exact_bytes(self, tmp_path):
        path = tmp_path / "f.json"
        tolvane.Feature.save_features([], str(path))
        assert path.read_bytes() == b'{"features":[],"primitives":[]}'
        root("idx").save_features(features=[root("idx")], filename=str(path))
        assert path.read_bytes() == (
            b'{"features":[{"name":"idx","id":"' + sha("idx").encode() +
            b'","schema":{"logical_type":"Integer","semantic_tag":"Numeric"},"base_features":[],'
            b'"generating_primitive":null}],"primitives":[]}')

    def test_ancestry_is_written_once_per_id(self, tmp_path):
        x, y = root("x"), root("y")
        p = prim("add")
        d = tolvane.Feature("d", "a", "b", [x, y], p)
        e = tolvane.Feature("e", "a", "b", [d, x], prim("sub", commutative=False))
        doc = saved(tmp_path, [e, d, x])
        assert [f["name"] for f in doc["features"]] == ["e", "d", "x", "y"]
        by_name = {f["name"]: f for f in doc["features"]}
        assert by_name["e"]["base_features"] == [by_name["d"]["id"], sha("x")]
        assert by_name["e"]["generating_primitive"] == sha("sub")
        assert [q["name"] for q in doc["primitives"]] == ["sub", "add"]
        assert doc["primitives"][1] == {
            "name": "add", "id": sha("add"), "module": "ops",
            "column_schemas": [[{"logical_type": "Integer", "semantic_tag": "Numeric"}] * 2],
            "return_type": {"logical_type": "Integer", "semantic_tag": "Numeric"},
            "function_type": "transform", "commutative": True}

    def test_first_met_wins_and_primitives_are_distinct_by_content(self, tmp_path):
        x = root("x")
        one = tolvane.Feature("one", "a", "b", [x], prim("p", module="a"))
        two = tolvane.Feature("two", "a", "b", [x], prim("p", module="b"))
        three = tolvane.Feature("three", "a", "b", [root("y")], prim("p", module="a"))
        doc = saved(tmp_path, [one, two, three])
        assert [f["name"] for f in doc["features"]] == ["one", "x", "three", "y"]
        assert [q["module"] for q in doc["primitives"]] == ["a", "b"]

    def test_strings_are_json_escaped(self, tmp_path):
        name = 'q"\\/\b\f\n\r\t\x01\x1fé'
        path = tmp_path / "f.json"
        tolvane.Feature.save_features([root(name)], str(path))
        assert b'"name":"q\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\xc3\xa9"' in path.read_bytes()

    def test_file_replacement_permissions_and_failures(self, tmp_path):
        path = tmp_path / "f.json"
        path.write_text("x" * 1000)
        old = os.umask(0o027)
        try:
            tolvane.Feature.save_features([], str(path))
            tolvane.Feature.save_features([], str(tmp_path / "new.json"))
        finally:
            os.umask(old)
        assert path.read_bytes() == b'{"features":[],"primitives":[]}'
        assert stat.S_IMODE((tmp_path / "new.json").stat().st_mode) == 0o640
        with pytest.raises(PanicException) as e:
            tolvane.Feature.save_features([], str(tmp_path / "missing" / "f.json"))
        assert str(e.value) == ("called `Result::unwrap()` on an `Err` value: "
                                "No such file or directory (os error 2)")
        assert not (tmp_path / "missing").exists()
        with pytest.raises(PanicException, match="^called `Result::unwrap\\(\\)` on an `Err` value: .*NUL"):
            tolvane.Feature.save_features([], str(tmp_path / "a\0b"))

    @pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
    def test_write_failure(self):
        with pytest.raises(PanicException) as e:
            tolvane.Feature.save_features([root("x")], "/dev/full")
        assert str(e.value) == "Error writing to file: No space left on device (os error 28)"


# An independent model of what a feature record holds, for an oracle of the feature file.
@dataclass(frozen=True, eq=False)  # compared by identity, like the records it stands for
class Model:
    name: str
    id: str
    schema: tuple
    bases: tuple = ()
    primitive: tuple = None  # (name, module, commutative)


MODEL_PRIMITIVES = [("add", "ops", True), ("add", "other", True), ("sub", "ops", False)]
DN_PAIR = ("Double", "Numeric")
DN = {"logical_type": "Double", "semantic_tag": "Numeric"}
SCHEMAS = [("Integer", "Numeric"), ("Boolean", "Index")]


def new_primitive(p):
    name, module, commutative = p
    return prim(name, [[DN_PAIR]], commutative, return_type=DN_PAIR, module=module)


def primitive_json(p):
    name, module, commutative = p
    return {"name": name, "id": sha(name), "module": module, "column_schemas": [[DN]],
            "return_type": DN, "function_type": "transform", "commutative": commutative}


def literal_feature_file(models):
    """The feature file by the plain rule: visit every feature along every path, depth first,
    keeping the first feature met per id and the first primitive met per content."""
    features, primitives = {}, []

    def visit(m):
        features.setdefault(m.id, m)
        if m.primitive and m.primitive not in primitives:
            primitives.append(m.primitive)
        for b in m.bases:
            visit(b)

    for m in models:
        visit(m)
    doc = {
        "features": [{"name": m.name, "id": m.id,
                      "schema": {"logical_type": m.schema[0], "semantic_tag": m.schema[1]},
                      "base_features": [b.id for b in m.bases],
                      "generating_primitive": sha(m.primitive[0]) if m.primitive else None}
                     for m in features.values()],
        "primitives": [primitive_json(p) for p in primitives],
    }
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()


def build(steps):
    """Runs graph-building steps on features and on their models side by side. Few names and
    primitives, so that distinct records share ids; reassignments keep the id and change the rest."""
    pool = []
    for kind, i, picks, k in steps:
        pick = [pool[j % len(pool)] for j in picks] if pool else []
        if kind == "root" or not pool:
            name = "abc"[k % 3]
            schema = SCHEMAS[k % 2]
            pool.append((tolvane.Feature(name, *schema), Model(name, sha(name), schema)))
            continue
        f, m = pool[i % len(pool)]
        p = MODEL_PRIMITIVES[k % 3]
        if kind == "derive":
            ids = [b.id for _, b in pick]
            digest = sha(sha(p[0]) + "".join(sorted(ids) if p[2] else ids))
            name = f"d{len(pool)}"
            d = tolvane.Feature(name, "x", "x", [b for b, _ in pick], new_primitive(p))
            pool.append((d, Model(name, digest, DN_PAIR, tuple(b for _, b in pick), p)))
            continue
        if kind == "rename":
            f.name = f"r{k}"
            m = replace(m, name=f"r{k}")
        elif kind == "rebase":
            pick = [(b, bm) for b, bm in pick if b is not f]  # a feature cannot be its own input
            f.base_features = [b for b, _ in pick]
            m = replace(m, bases=tuple(b for _, b in pick))
        else:
            f.generating_primitive = None if k == 3 else new_primitive(p)
            m = replace(m, primitive=None if k == 3 else p)
        pool[i % len(pool)] = (f, m)
    return pool


steps = st.lists(st.tuples(st.sampled_from(["root", "derive", "derive", "rename", "rebase", "reprimitive"]),
                           st.integers(0, 99), st.lists(st.integers(0, 99), max_size=3), st.integers(0, 3)),
                 max_size=12)


@settings(max_examples=150, deadline=None)
@given(steps, st.lists(st.integers(0, 99), max_size=4))
@pytest.mark.slow
def test_feature_file_matches_the_plain_rule_on_shared_ids_and_reassigned_fields(tmp_path_factory, steps, picks):
    pool = build(steps)
    chosen = [pool[j % len(pool)] for j in picks] if pool else []
    given = [f for f, _ in pool + chosen]
    path = tmp_path_factory.mktemp("graph") / "f.json"
    tolvane.Feature.save_features(given, str(path))
    assert path.read_bytes() == literal_feature_file([m for _, m in pool + chosen])


def test_records_sharing_an_id_over_many_generations_are_written_in_linear_time():
    # Each generation: three records with one id (same primitive, same bases: the previous
    # generation's three). Every path through them is a distinct walk: 3^40 of them.
    code = """
import hashlib, json, sys, tolvane
sha = lambda t: hashlib.sha256(t.encode()).hexdigest()
p = tolvane.Primitive("p", "m", "transform", False, [[("Double", "Numeric")] * 3], ("Double", "Numeric"))
generation = [tolvane.Feature(n, "Integer", "Numeric") for n in "abc"]
ids = [sha(n) for n in "abc"]
for g in range(1, 41):
    generation = [tolvane.Feature(f"g{g}_{j}", "x", "x", generation, p) for j in range(3)]
    ids.append(sha(sha("p") + (ids[-1] * 3 if g > 1 else "".join(ids))))
tolvane.Feature.save_features(generation, sys.argv[1])
doc = json.load(open(sys.argv[1]))
assert [f["name"] for f in doc["features"]] == [f"g{g}_0" for g in range(40, 0, -1)] + list("abc")
assert [f["id"] for f in doc["features"]] == ids[:2:-1] + ids[:3]
assert [q["name"] for q in doc["primitives"]] == ["p"]
print("ok")
"""
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        r = run_python(code, timeout=60, args=[os.path.join(tmp, "f.json")])
    assert r.returncode == 0 and r.stdout == "ok\n", r.stderr


@pytest.mark.slow
def test_deep_chain_is_safe(tmp_path):
    p = prim("next", [[INTEGER]], commutative=False)
    f = root("r0")
    for i in range(100_000):
        f = tolvane.Feature(f"g{i}", "a", "b", [f], p)
    assert str(f).endswith(':["g99998"]')
    assert f == f and tolvane.compare_featuresets([f], [f]) == ([], [])
    doc = saved(tmp_path, [f])
    assert len(doc["features"]) == 100_001
    assert doc["features"][-1]["name"] == "r0"
    copy = f.base_features[0]
    del f
    assert copy.name == "g99998"
    del copy


def test_names_and_base_lists_longer_than_a_piece_of_the_text(tmp_path):
    # The text is made in pieces of tens of kilobytes: names longer than a piece, names whose
    # escaped form is six times their length, and a base list longer than a piece fall before, on
    # and across the pieces' ends.
    models, features = [], []
    for i in range(90):
        n = (0, 3, 700, 9_000, 70_000, 130_000)[i % 6] + i
        name = ("\x01", 'é"\\', "x")[i % 3] * (n // 3 + 1)
        models.append(Model(name, sha(name), SCHEMAS[0]))
        features.append(tolvane.Feature(name, *SCHEMAS[0]))
    many = [root(f"r{i}") for i in range(1200)]
    p = MODEL_PRIMITIVES[2]
    ids = [sha(f"r{i}") for i in range(1200)]
    models.insert(45, Model("wide", sha(sha(p[0]) + "".join(ids)), DN_PAIR,
                            tuple(Model(f"r{i}", ids[i], INTEGER) for i in range(1200)), p))
    features.insert(45, tolvane.Feature("wide", "x", "x", many, new_primitive(p)))
    path = tmp_path / "f.json"
    tolvane.Feature.save_features(features, str(path))
    assert path.read_bytes() == literal_feature_file(models)
