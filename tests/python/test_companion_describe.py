"""tolvane_io.describe agrees, field by field, with what a save of each feature alone writes;
select, unique and new_features choose by it."""

import random

import pytest
from test_companion_files import NUM, ODD_NAMES, two_levels

import tolvane
import tolvane_io
from support import derived, prim, root, saved
from tolvane import Feature, Primitive
from tolvane_io import FeatureInfo

SMALL = ("age", "income")  # 451 features, 12 of them made twice: each is saved alone below


def alone(tmp_path, feature):
    """What a file of the feature alone says of it: its record is the first."""
    parsed = saved(tmp_path, [feature])
    by_id = {record["id"]: record for record in parsed["features"]}

    def depth(record):
        if record["generating_primitive"] is None:
            return 0
        return 1 + max((depth(by_id[base]) for base in record["base_features"]), default=0)

    record = parsed["features"][0]
    primitive = feature.generating_primitive
    return FeatureInfo(record["name"], record["id"], record["schema"]["logical_type"],
                       record["schema"]["semantic_tag"], primitive and primitive.name,
                       record["generating_primitive"], tuple(record["base_features"]), depth(record))


def check(tmp_path, features):
    rows = tolvane_io.describe(features)
    assert rows == [alone(tmp_path, f) for f in features]
    assert tolvane_io.feature_ids(features) == [row.id for row in rows]


def odd():
    """Odd names on roots and on a primitive, features two levels deep, listed before their
    inputs: those are described from their text form."""
    op = Primitive('op "x":[y], z\n\\0 e\u0301\x07\t', "m", "transform", False, [[NUM, NUM]], NUM)
    roots = [Feature(name, *NUM) for name in ODD_NAMES[:4]]
    level = tolvane.generate_features(roots, [op])
    return level[-3:] + tolvane.generate_features(level[4:7], [op])[-2:] + level


def renamed_twins():
    """Equal names, different ids; equal ids, different schemas and inputs."""
    a, b, c = root("a"), root("b"), root("c")
    renamed = root("b")
    renamed.name = "a"
    integer_age, double_age = Feature("age", "Integer", "Numeric"), Feature("age", *NUM)
    first, second = derived([a, b], name="same"), derived([b, c], name="same")
    rewired = derived([a, b], name="rewired")
    rewired.base_features = [c]  # the id of [a, b] kept
    return [a, renamed, integer_age, first, second, double_age, derived([a, b]), rewired, b]


def shared_primitive_ids():
    """Primitives of one id: of other return types, and one renamed between two uses."""
    p = prim("p")
    before = derived([root("a"), root("b")], p, "before")
    p.name = "q"
    after = derived([root("c"), root("b")], p, "after")
    other_type = derived([root("a")], prim("p", return_type=NUM), "double")
    return [after, before, other_type, before.base_features[0]]


def rewired_to_a_new_input():
    """A feature given inputs that nothing else has: the save writes them while walking a feature
    whose id it had met, so that no record is taken for any feature's own."""
    a, b = root("a"), root("b")
    rewired = derived([a, b], name="rewired")
    rewired.base_features = [root("z")]
    return [derived([a, b]), rewired, a, derived([rewired, b], name="above")]


CASES = {
    "two levels, with repeats": lambda: two_levels(SMALL),
    "two levels, inputs last": lambda: two_levels(SMALL)[::-1],
    "two levels, shuffled, each twice": lambda: random.Random(7).sample(two_levels(SMALL) * 2, 300),
    "odd names": odd,
    "renamed twins": renamed_twins,
    "shared primitive ids": shared_primitive_ids,
    "rewired to a new input": rewired_to_a_new_input,
    "one feature": lambda: [root("x")],
}


@pytest.mark.parametrize("case", CASES)
def test_each_feature_is_described_as_its_own_file_says(tmp_path, case):
    check(tmp_path, CASES[case]())


@pytest.mark.parametrize("read", [tolvane_io.describe, tolvane_io.feature_ids])
def test_describing_nothing_and_refusing_what_is_no_feature(read):
    assert read([]) == []
    with pytest.raises(TypeError, match=r"features\[1\] is a str, not a Feature"):
        read([root("a"), "b"])


def test_select_by_type_primitive_and_depth():
    features = two_levels()
    info = tolvane_io.describe(features)
    doubles = tolvane_io.select(features, info, logical_type="double", semantic_tag="NUMERIC")
    assert doubles == [f for f, i in zip(features, info) if (i.logical_type, i.semantic_tag) == NUM]
    assert tolvane_io.select(features, logical_type="Boolean", primitive="is_null", depth=1) == [
        f for f in features if f.name.startswith("is_null_") and f.name.count("_") == 2]
    assert tolvane_io.select(features, info, depth=0) == features[:3]
    with pytest.raises(ValueError, match="'Dobule' is not a type name; the type names are Boolean, "):
        tolvane_io.select(features, info, logical_type="Dobule")
    with pytest.raises(ValueError, match="info describes 2 features, not the 3 given"):
        tolvane_io.select(features[:3], info[:2])


def test_unique_and_new_features_across_levels():
    table = [Feature(name, *NUM) for name in ("age", "income", "debt")]
    catalogue = tolvane.load_primitives(str(__import__("test_companion_files").EXAMPLES / "primitives.json"))
    level1 = tolvane.generate_features(table, catalogue)
    level2 = tolvane.generate_features(level1, catalogue)
    fresh = tolvane_io.new_features(level2, level1)
    assert tolvane.compare_featuresets(fresh, level1) == (fresh, level1)
    assert len(fresh) + len(level1) == len(tolvane_io.unique(level2)) < len(level2)
    assert tolvane_io.unique(level1 + level1[::-1]) == level1
