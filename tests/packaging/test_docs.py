"""The maps of the code (docs/*.md) name files and identifiers in backticks: each must exist, so
that a change that moves a rule cannot leave its row pointing at nothing."""
import re
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
MAPS = sorted((REPO / "docs").glob("*.md"))
# The interpreter's names that a map mentions for what the code does not use.
NOT_OURS = {"Py_mod_*", "Py_mod_gil"}


def tracked_files():
    if shutil.which("git") is None:
        pytest.skip("no git here")
    out = subprocess.run(["git", "ls-files"], cwd=REPO, capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        pytest.skip("not a git clone")
    return [REPO / line for line in out.stdout.splitlines() if (REPO / line).is_file()]


@pytest.fixture(scope="module")
def code():
    """The tracked files, and every word of the code, the tests and the scripts."""
    files = tracked_files()
    words = set()
    for path in files:
        if path.suffix in {".cpp", ".hpp", ".py", ".pyi", ".sh", ".txt"} or path.name == "Makefile":
            words.update(re.findall(r"\w+", path.read_text(errors="replace")))
    return files, words


def missing(token, files, words):
    """Whether `token` names nothing: a path (under the root or src/, globs allowed), a file name,
    or an identifier (its last component a word of the code; `name_*` a prefix of one)."""
    token = token.removesuffix("()")
    if token in NOT_OURS:
        return False
    if "/" in token:
        pattern = token.rstrip("/")
        return not any(list(base.glob(p)) for base in (REPO, REPO / "src") for p in (pattern, pattern + ".*"))
    if re.fullmatch(r"[\w.-]+\.(cpp|hpp|py|pyi|md|sh|toml)", token):
        return not any(path.name == token for path in files)
    if re.fullmatch(r"\w+\*", token):
        return not any(word.startswith(token[:-1]) for word in words)
    if re.fullmatch(r"\w+((::|\.)\w+)*", token):
        return re.split(r"::|\.", token)[-1] not in words
    return False  # prose in backticks: `make test`, `except Exception`


@pytest.mark.parametrize("document", MAPS, ids=[m.name for m in MAPS])
def test_every_file_and_name_a_map_gives_exists(document, code):
    files, words = code
    tokens = sorted(set(re.findall(r"`([^`\n]+)`", document.read_text())))
    assert [t for t in tokens if missing(t, files, words)] == []
