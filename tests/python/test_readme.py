"""The README's recipes run as they stand, in order, in one namespace."""

import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def recipe_blocks():
    text = README.read_text()
    section = text[text.index("## Recipes\n"):]
    section = section[:section.index("\n## ", 1)]
    return re.findall(r"^```python\n(.*?)^```$", section, re.M | re.S)


def test_every_recipe_runs(tmp_path, monkeypatch):
    blocks = recipe_blocks()
    assert len(blocks) == 6
    monkeypatch.chdir(tmp_path)
    namespace = {}
    for number, block in enumerate(blocks, 1):
        exec(compile(block, f"README.md, recipe block {number}", "exec"), namespace)
    assert len(namespace["ids"]) == len(namespace["features"])


def test_the_recomputed_id_rule_tells_commutative_from_ordered(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {}
    for number, block in enumerate(recipe_blocks()[:3], 1):
        exec(compile(block, f"README.md, recipe block {number}", "exec"), namespace)
    ids, feature_id = namespace["ids"], namespace["feature_id"]
    # The two orders of subtract differ; add has one id whatever the order of its inputs.
    assert ids["subtract_numeric_age_income"] != ids["subtract_numeric_income_age"]
    age, income = namespace["table"]
    swapped = namespace["Feature"]("x", "Double", "Numeric", [income, age], namespace["add"])
    assert feature_id(swapped) == ids["add_numeric_age_income"]
    assert swapped == next(f for f in namespace["features"] if f.name == "add_numeric_age_income")
