import subprocess
import sys
from pathlib import Path

import pytest

import tolvane

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.skipif(
    not all(hasattr(tolvane, name) for name in ("generate_features", "load_primitives")),
    reason="needs generate_features and load_primitives",
)
def test_typed_usage_runs_and_lists_the_new_features():
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "typed_usage.py")], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    names = [line.split()[0] for line in result.stdout.splitlines()]
    assert sorted(names) == ["absolute_age", "absolute_income", "add_numeric_age_income"]
