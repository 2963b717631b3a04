"""The README's recipes, and its checklist for an empty result, run as they stand, in order, in
one namespace: a module of its own, so that a worker process can find the functions they define."""

import re
import sys
import types
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def blocks(heading):
    text = README.read_text()
    section = text[text.index(f"## {heading}\n"):]
    section = section[:section.index("\n## ", 1)]
    return re.findall(r"^```python\n(.*?)^```$", section, re.M | re.S)


@pytest.fixture
def namespace(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    module = types.ModuleType("readme_recipes")
    monkeypatch.setitem(sys.modules, module.__name__, module)
    return module.__dict__


def run(namespace, heading, count):
    found = blocks(heading)
    assert len(found) == count
    for number, block in enumerate(found, 1):
        exec(compile(block, f"README.md, {heading}, block {number}", "exec"), namespace)


def test_every_recipe_and_the_checklist_run(namespace):
    run(namespace, "Recipes", 9)
    run(namespace, "Why did I get no features?", 1)
    assert len(namespace["ids"]) == len(namespace["features"])


def test_the_recomputed_id_rule_tells_commutative_from_ordered(namespace):
    run(namespace, "Recipes", 9)
    ids, feature_id = namespace["ids"], namespace["feature_id"]
    # The two orders of subtract differ; add has one id whatever the order of its inputs.
    assert ids["subtract_numeric_age_income"] != ids["subtract_numeric_income_age"]
    age, income = namespace["table"]
    swapped = namespace["Feature"]("x", "Double", "Numeric", [income, age], namespace["add"])
    assert feature_id(swapped) == ids["add_numeric_age_income"]
    assert swapped == next(f for f in namespace["features"] if f.name == "add_numeric_age_income")


def test_the_table_of_first_errors_quotes_the_module(tmp_path, monkeypatch):
    import json
    import pickle

    import tolvane
    from tolvane import Feature, Primitive
    monkeypatch.chdir(tmp_path)
    num = ("Double", "Numeric")
    age = Feature("age", *num)
    entry = {"name": "p", "id": "x", "module": "m", "column_schemas": [[num]], "return_type": num,
             "function_type": "transform", "commutative": False}
    Path("lower.json").write_text(json.dumps([{**entry, "column_schemas": [[["double", "Numeric"]]]}]))
    Path("no_id.json").write_text(json.dumps([{k: v for k, v in entry.items() if k != "id"}]))
    mistakes = [
        lambda: Feature("age", "Double"),
        lambda: Feature("age", None, "Numeric"),
        lambda: Primitive("p", "m", "transform", True, [[["Double", "Numeric"]]], num),
        lambda: Primitive("p", "m", "transform", True, [[("Double",)]], num),
        lambda: Primitive("p", "m", "transform", True, [[("Dobule", "Numeric")]], num),
        lambda: Primitive("p", "m", "transform", 1, [[num]], num),
        lambda: Feature("d", "Double", "Numeric", [age]),
        lambda: tolvane.load_primitives(Path("ops.json")),
        lambda: tolvane.load_primitives("lower.json"),
        lambda: tolvane.load_primitives("no_id.json"),
        lambda: hash(age),
        lambda: pickle.dumps(age),
    ]
    table = README.read_text().split("## The errors met first")[1].split("\n## ")[0]
    for mistake in mistakes:
        with pytest.raises(BaseException) as raised:  # noqa: B017 - each its own, quoted in the table
            mistake()
        text = f"{type(raised.value).__name__}: {raised.value}"
        quoted = text if len(text) < 100 else text.split(", expected one of")[0]
        assert quoted.split(" line: ")[0] in table, text
