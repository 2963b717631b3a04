#!/usr/bin/env bash
# Runs the README's two set-up commands in a fresh clone, from nothing (no .venv, no build), then
# `make demo` again, which must be quick, and `make wheel`. Prints how long each took.
#
#   scripts/dev/fresh_clone_check.sh [REF]    REF defaults to HEAD (committed state only)
#
# The clone goes to a temporary directory (WORK, if set: it must not exist yet), with the `shared`
# directory found beside this repository made available beside the clone (as CI has it). Logs
# (one a step) are kept on failure, or always with KEEP=1.
set -euo pipefail

repo=$(git -C "$(dirname "$0")/../.." rev-parse --show-toplevel)
source "$repo/scripts/lib/common.sh"
ref=${1:-HEAD}
commit=$(git -C "$repo" rev-parse --verify "$ref^{commit}")
if [ -n "${WORK:-}" ]; then
  mkdir "$WORK"
  work=$(cd "$WORK" && pwd)
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-fresh.XXXXXX")
fi
clone="$work/tolvane"

git clone --quiet --no-checkout "$repo" "$clone"
git -C "$clone" checkout --quiet --detach "$commit"
if [ -d "$repo/../shared" ]; then
  ln -s "$(cd "$repo/../shared" && pwd)" "$work/shared"
else
  echo "note: no shared directory beside $repo; tests that need it will skip"
fi

echo "fresh clone of $(git -C "$repo" log -1 --format='%h %s' "$commit")"
echo "in $clone"
# Each stops the check when it fails: the next would only repeat the failure.
STEP_LOGS=$work
status=0
step "make demo" make -C "$clone" demo &&
  step "make test" make -C "$clone" test &&
  step "make demo, again" make -C "$clone" demo &&
  step "make wheel" make -C "$clone" wheel || status=1

if [ "$status" -eq 0 ]; then
  grep -E ' passed.* in [0-9.]+s|\[  PASSED  \]|^Success:' "$work/make-test.log" | sed 's/^/  /' || true
  ls -l "$clone"/dist/*.whl | sed 's/^/  /'
  echo "fresh clone check: passed"
  [ "${KEEP:-0}" = 1 ] || rm -rf "$work"
else
  echo "fresh clone check: FAILED (kept $work)"
fi
exit "$status"
