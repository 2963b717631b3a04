"""tolvane_io reads feature files back: exact round trips, and clear refusals."""

import hashlib
import json
import sys
from pathlib import Path

import pytest

import tolvane
import tolvane_io
from support import derived, prim, root, sha
from tolvane import Feature, Primitive
from tolvane_io import FeatureFileError

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
NUM = ("Double", "Numeric")
ODD_NAMES = ["a:b", "x[0]", "p, q", 'say "hi"', "two\nlines", "tab\there", "naïve ∑ 名前", "back\\slash", ""]


def two_levels(columns=("age", "income", "debt")):
    table = [Feature(name, *NUM) for name in columns]
    catalogue = tolvane.load_primitives(str(EXAMPLES / "primitives.json"))
    return tolvane.generate_features(tolvane.generate_features(table, catalogue), catalogue)


def odd_features():
    odd = Primitive('op "x":[y], z\n', "m:o, d", "transform", False, [[NUM, NUM]], NUM)
    roots = [Feature(name, "Double", "Numeric") for name in ODD_NAMES]
    return tolvane.generate_features(roots, [odd])


def from_catalogue(tmp_path):
    """Primitives whose ids are no digests of their names, as a catalogue may have them."""
    entries = [{"name": name, "id": ident, "module": "m", "column_schemas": [[list(NUM), list(NUM)]],
                "return_type": list(NUM), "function_type": "transform", "commutative": commutative}
               for name, ident, commutative in (("add", "A", True), ("sub", "not a digest: \"é\"", False))]
    (tmp_path / "catalogue.json").write_text(json.dumps(entries))
    primitives = tolvane.load_primitives(str(tmp_path / "catalogue.json"))
    table = [Feature(name, *NUM) for name in ("a", "b", "c")]
    return tolvane.generate_features(tolvane.generate_features(table, primitives), primitives)


def subset_of_derived():
    """Only derived features, whose inputs the file lists after them."""
    features = two_levels()
    return features[-40:] + features[-300:-290]


CASES = {
    "two levels": lambda tmp_path: two_levels(),
    "a catalogue's own ids": from_catalogue,
    "fake features": lambda tmp_path: tolvane.generate_fake_features(300),
    "odd names": lambda tmp_path: odd_features(),
    "derived only": lambda tmp_path: subset_of_derived(),
    "nothing": lambda tmp_path: [],
}


@pytest.mark.parametrize("case", CASES)
def test_a_file_comes_back_exactly(tmp_path, case):
    features = CASES[case](tmp_path)
    path = tmp_path / "features.json"
    Feature.save_features(features, str(path))
    loaded = tolvane_io.load_features(path)

    Feature.save_features(loaded.as_written, str(tmp_path / "again.json"))
    assert (tmp_path / "again.json").read_bytes() == path.read_bytes()
    assert tolvane.compare_featuresets(features, loaded.features)[0] == []
    assert tolvane.compare_featuresets(loaded.saved, features)[0] == []
    records = json.loads(path.read_bytes())["features"]
    assert len(loaded.features) == len(records)
    # Ancestors first; every field as the file has it.
    by_id = {record["id"]: record for record in records}
    seen = set()
    for info in loaded.info:
        record = by_id[info.id]
        assert set(info.base_ids) <= seen
        seen.add(info.id)
        assert (info.name, list(info.base_ids), info.primitive_id) == (
            record["name"], record["base_features"], record["generating_primitive"])
        assert (info.logical_type, info.semantic_tag) == tuple(record["schema"].values())
    assert loaded.info == tolvane_io.describe(loaded.features)
    used = {base for record in records for base in record["base_features"]}
    assert [f.name for f in loaded.saved] == [r["name"] for r in records if r["id"] not in used]
    assert tolvane_io.loads_features(tolvane_io.dumps_features(features)).info == loaded.info


def test_primitives_keep_the_ids_of_the_file(tmp_path):
    loaded = tolvane_io.loads_features(tolvane_io.dumps_features(from_catalogue(tmp_path)))
    assert [p.name for p in loaded.primitives] == ["add", "sub"]
    remade = Feature("x", "", "", loaded.features[:2], loaded.primitives[0])
    assert tolvane_io.describe([remade])[0].id == sha("A" + "".join(sorted(i.id for i in loaded.info[:2])))


def test_what_saved_means_when_a_root_was_saved_first(tmp_path):
    age, income = root("age"), root("income")
    total = derived([age, income], name="total")
    loaded = tolvane_io.loads_features(tolvane_io.dumps_features([age, total, income]))
    assert [f.name for f in loaded.features] == ["age", "income", "total"]
    assert [f.name for f in loaded.saved] == ["total"]


def document(features, edit):
    """The text of the feature file of `features`, parsed, changed by `edit`, written back."""
    parsed = json.loads(tolvane_io.dumps_features(features))
    edit(parsed)
    return json.dumps(parsed)


def first_root(parsed):
    return next(r for r in parsed["features"] if r["generating_primitive"] is None)


def first_derived(parsed):
    return next(r for r in parsed["features"] if r["generating_primitive"] is not None)


PAIR = [root("a"), root("b")]
ADDED = [derived(PAIR, name="a_plus_b")]
BAD = {
    "not JSON": (b'{"features": [', "not JSON"),
    "not UTF-8": (b'{"features": [], "primitives": ["\xff"]}', "not UTF-8 text"),
    "not a feature file": (b"[]", "not a feature file"),
    "a record of another shape": (
        document(ADDED, lambda p: first_root(p).pop("schema")), 'features[1] (\'a\', id '),
    "an input that is no feature": (
        document(ADDED, lambda p: p["features"].pop(1)), "is no feature of the file"),
    "a cycle": (
        document(ADDED, lambda p: first_root(p)["base_features"].append(first_derived(p)["id"])), "own ancestor"),
    "an id twice": (
        document(ADDED, lambda p: p["features"].append(dict(first_root(p)))), "is that of features[1] too"),
    "no type name": (
        document(ADDED, lambda p: first_root(p)["schema"].update(logical_type="double")),
        "logical_type 'double' is not a type name"),
    "a schema that is not the primitive's": (
        document(ADDED, lambda p: first_derived(p)["schema"].update(logical_type="Double")),
        "is not the return type of its generating primitive (Integer:Numeric)"),
    "an unknown primitive": (
        document(ADDED, lambda p: p["primitives"].clear()), "is none of the file's primitives"),
    "a primitive of another shape": (
        document(ADDED, lambda p: p["primitives"][0].pop("module")), "primitives[0] is not a primitive (missing field"),
    "a renamed root": (
        document(ADDED, lambda p: first_root(p).update(name="c")), "a root's id is the SHA-256 of its name"),
    "replaced inputs": (
        document(ADDED, lambda p: first_derived(p)["base_features"].pop()), "its inputs or primitive replaced"),
}


@pytest.mark.parametrize("case", BAD)
def test_a_bad_file_is_refused_naming_it_and_what_is_wrong(tmp_path, case):
    text, expected = BAD[case]
    path = tmp_path / "bad.json"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(FeatureFileError) as raised:
        tolvane_io.load_features(path)
    assert str(raised.value).startswith(f"{path}: ")
    assert expected in str(raised.value)


def test_primitives_sharing_an_id_are_told_apart_by_their_return_type_or_refused(tmp_path):
    integer, double = prim("same"), prim("same", return_type=NUM)
    features = [derived(PAIR, integer, "i"), Feature("d", "", "", PAIR[:1], double)]
    loaded = tolvane_io.loads_features(tolvane_io.dumps_features(features))
    assert [(i.name, i.logical_type) for i in loaded.info[2:]] == [("i", "Integer"), ("d", "Double")]
    twins = [derived(PAIR, prim("same", module="one"), "x"), derived([PAIR[1]], prim("same", module="two"), "y")]
    with pytest.raises(FeatureFileError, match="2 primitives of the file .* the file does not say which made it"):
        tolvane_io.loads_features(tolvane_io.dumps_features(twins))


def test_a_missing_file_raises_oserror(tmp_path):
    with pytest.raises(FileNotFoundError):
        tolvane_io.load_features(tmp_path / "nothing.json")


def test_the_check_of_ids_agrees_with_the_rule_it_reports(tmp_path):
    # A file whose ids are all right but one derived feature's: the message names that one.
    parsed = json.loads(tolvane_io.dumps_features(two_levels()))
    victim = parsed["features"][-1]
    victim["id"] = hashlib.sha256(b"elsewhere").hexdigest()
    with pytest.raises(FeatureFileError, match=rf"features\[{len(parsed['features']) - 1}\] \({victim['name']!r}"):
        tolvane_io.loads_features(json.dumps(parsed))


def test_a_save_that_fails_in_shared_memory_is_made_again_in_the_temporary_directory(tmp_path, monkeypatch):
    import tolvane_io._shared as shared
    from support import PanicException
    full = tmp_path / "full"
    full.mkdir()
    monkeypatch.delenv("TMPDIR", raising=False)
    monkeypatch.setattr(shared, "SHARED_MEMORY", str(full))
    tried = []

    class FullDisk:
        @staticmethod
        def save_features(features, path):
            tried.append(path)
            if path.startswith(str(full)):
                raise PanicException("Error writing to file: No space left on device (os error 28)")
            Feature.save_features(features, path)

    monkeypatch.setattr(shared, "Feature", FullDisk)
    features = two_levels(("age",))
    text = tolvane_io.dumps_features(features)
    assert [path.startswith(str(full)) for path in tried] == [True, False]
    assert tolvane.compare_featuresets(tolvane_io.loads_features(text).as_written, features) == ([], [])
    assert list(full.iterdir()) == []


def test_a_chain_deeper_than_the_recursion_limit_comes_back_and_is_described(tmp_path):
    negate = Primitive("negate", "ops", "transform", False, [[NUM]], NUM)
    chain = Feature("x", *NUM)
    for level in range(3 * sys.getrecursionlimit()):
        chain = Feature(f"n{level}", "", "", [chain], negate)
    loaded = tolvane_io.loads_features(tolvane_io.dumps_features([chain]))
    depth = len(loaded.features) - 1
    assert [row.depth for row in loaded.info[::depth]] == [0, depth]
    assert [row.depth for row in tolvane_io.describe([chain, *loaded.features[:2]])] == [depth, 0, 1]
