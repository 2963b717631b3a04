import json
import re
import shutil
from pathlib import Path

import pytest

from support import run_python
from tolvane import Feature, Primitive

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "feature_graph.py"

ABSOLUTE = Primitive("absolute", "ops", "transform", False, [[("double", "numeric")]], ("double", "numeric"))
SUBTRACT = Primitive(
    "subtract", "ops", "transform", False, [[("double", "numeric")] * 2], ("double", "numeric")
)


@pytest.fixture
def feature_file(tmp_path):
    """age, income -> absolute_age, subtract_income_age; a separate root 'city'."""
    age = Feature("age", "double", "numeric")
    income = Feature("income", "double", "numeric")
    city = Feature("city", "categorical", "unknown")
    absolute_age = Feature("absolute_age", "x", "x", [age], ABSOLUTE)
    subtract = Feature("subtract_income_age", "x", "x", [income, age], SUBTRACT)
    path = tmp_path / "features.json"
    Feature.save_features([absolute_age, subtract, city], str(path))
    ids = {f["name"]: f["id"] for f in json.loads(path.read_text())["features"]}
    return path, ids


def run(*args, env=None):
    return run_python(SCRIPT, env, args=args)


def edges(dot):
    return re.findall(r'^  "(\w+)" -> "(\w+)" \[label="([^"]*)"\];$', dot, re.M)


def test_whole_graph_has_every_feature_and_labelled_input_edges(feature_file):
    path, ids = feature_file
    result = run(path, "-o", "-")
    assert result.returncode == 0, result.stderr
    dot = result.stdout
    for name, schema in [
        ("age", "Double:Numeric"),
        ("income", "Double:Numeric"),
        ("city", "Categorical:Unknown"),
        ("absolute_age", "Double:Numeric"),
        ("subtract_income_age", "Double:Numeric"),
    ]:
        assert dot.count(f'"{ids[name]}" [label="{name}\\n{schema}"') == 1
    assert sorted(edges(dot)) == sorted(
        [
            (ids["age"], ids["absolute_age"], "absolute"),
            (ids["income"], ids["subtract_income_age"], "subtract [0]"),
            (ids["age"], ids["subtract_income_age"], "subtract [1]"),
        ]
    )


def test_ancestry_restriction_by_name_or_id(feature_file):
    path, ids = feature_file
    by_name = run(path, "--feature", "absolute_age", "-o", "-")
    by_id = run(path, "--feature", ids["absolute_age"], "-o", "-")
    assert by_name.returncode == 0 and by_name.stdout == by_id.stdout
    dot = by_name.stdout
    assert ids["age"] in dot and ids["absolute_age"] in dot
    for other in ("income", "city", "subtract_income_age"):
        assert ids[other] not in dot
    assert edges(dot) == [(ids["age"], ids["absolute_age"], "absolute")]

    unknown = run(path, "--feature", "nope", "-o", "-")
    assert unknown.returncode == 1 and "no feature named" in unknown.stderr


def test_awkward_names_are_escaped_and_the_picture_renders(tmp_path):
    path = tmp_path / "odd.json"
    odd = Feature('say "hi"\\', "double", "numeric")
    Feature.save_features([Feature("n\nl", "x", "x", [odd], ABSOLUTE)], str(path))
    result = run(path, "-o", "-")
    assert '[label="say \\"hi\\"\\\\\\nDouble:Numeric"' in result.stdout
    assert '"n\\\\x0al\\n' in result.stdout
    if shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")
    rendered = run(path, "--render", "svg")
    assert rendered.returncode == 0, rendered.stderr
    assert "<svg" in (tmp_path / "odd.svg").read_text()


def test_missing_graphviz_is_explained_and_fails(feature_file):
    path, _ = feature_file
    result = run(path, "--render", "png", env={"PATH": ""})
    assert result.returncode == 1
    assert "apt-get install graphviz" in result.stderr
    assert path.with_suffix(".dot").exists()  # the DOT text is still written


def test_ancestry_of_a_chain_deeper_than_the_recursion_limit(tmp_path):
    feature = Feature("f0", "double", "numeric")
    for generation in range(1, 3000):
        feature = Feature(f"f{generation}", "x", "x", [feature], ABSOLUTE)
    path = tmp_path / "chain.json"
    Feature.save_features([feature, Feature("stray", "double", "numeric")], str(path))
    result = run(path, "--feature", "f2999", "-o", "-")
    assert result.returncode == 0, result.stderr
    assert len(edges(result.stdout)) == 2999
    assert '"stray\\n' not in result.stdout
