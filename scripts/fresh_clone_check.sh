#!/usr/bin/env bash
# Runs the README's two set-up commands in a fresh clone, from nothing (no .venv, no build), then
# `make demo` again, which must be quick, and `make wheel`. Prints how long each took.
#
#   scripts/fresh_clone_check.sh [REF]    REF defaults to HEAD (committed state only)
#
# The clone goes to a temporary directory (WORK, if set: it must not exist yet), with the `shared`
# directory found beside this repository made available beside the clone (as CI has it). Logs
# are kept on failure, or always with KEEP=1.
set -euo pipefail

repo=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
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
status=0
step=0
for target in demo test demo wheel; do
  step=$((step + 1))
  label="make $target"
  [ "$step" -ne 3 ] || label="$label, again"
  log="$work/$step-make-$target.log"
  start=$SECONDS
  if make -C "$clone" "$target" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  printf '  %-18s %-6s %4ds  (log: %s)\n' "$label" "$result" $((SECONDS - start)) "$log"
  if [ "$result" = FAILED ]; then
    tail -n 20 "$log" | sed 's/^/    | /'
    break  # the next commands would only repeat the failure
  fi
done

if [ "$status" -eq 0 ]; then
  grep -E ' passed.* in [0-9.]+s|\[  PASSED  \]|^Success:' "$work/2-make-test.log" | sed 's/^/  /' || true
  ls -l "$clone"/dist/*.whl | sed 's/^/  /'
  echo "fresh clone check: passed"
  [ "${KEEP:-0}" = 1 ] || rm -rf "$work"
else
  echo "fresh clone check: FAILED (kept $work)"
fi
exit "$status"
