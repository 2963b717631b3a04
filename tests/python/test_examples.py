import json
from pathlib import Path

import pytest

from support import run_python

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_typed_usage_runs_and_lists_the_new_features():
    result = run_python(EXAMPLES / "typed_usage.py")
    assert result.returncode == 0, result.stderr
    names = [line.split()[0] for line in result.stdout.splitlines()]
    assert sorted(names) == ["absolute_age", "absolute_income", "add_numeric_age_income"]


def test_the_demo_counts_each_feature_once_and_writes_what_it_counts():
    result = run_python(EXAMPLES / "demo.py", timeout=120)
    assert result.returncode == 0, result.stderr
    assert "level 1: 66 new features\n" in result.stdout
    assert "level 2: 7924 new features (66 more made again)\n" in result.stdout
    written = json.loads((EXAMPLES.parent / "out" / "demo_features.json").read_bytes())["features"]
    assert f"\n{len(written)} features, each once," in result.stdout
    assert len(written) == 12 + 66 + 7924


def test_a_dataframe_s_columns_become_roots_by_dtype():
    pytest.importorskip("pandas")
    result = run_python(EXAMPLES / "pandas_columns.py", timeout=120)
    assert result.returncode == 0, result.stderr
    schemas = dict(line.split()[::2] for line in result.stdout.splitlines()[:8])
    assert schemas == {
        "customer_id": "Integer:Index", "age": "Integer:Numeric", "income": "Double:Numeric",
        "visits": "IntegerNullable:Numeric", "is_member": "Boolean:Unknown", "signup": "Datetime:Unknown",
        "country": "Categorical:Categorical", "review": "NaturalLanguage:Unknown"}
    assert result.stdout.splitlines()[8] == "36 new features, 25 of them numeric"
