from pathlib import Path

from support import run_python

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_typed_usage_runs_and_lists_the_new_features():
    result = run_python(EXAMPLES / "typed_usage.py")
    assert result.returncode == 0, result.stderr
    names = [line.split()[0] for line in result.stdout.splitlines()]
    assert sorted(names) == ["absolute_age", "absolute_income", "add_numeric_age_income"]
