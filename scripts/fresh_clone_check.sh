#!/usr/bin/env bash
# Runs the README's two set-up commands in a fresh clone, from nothing: no .venv, no build.
#
#   scripts/fresh_clone_check.sh [REF]    REF defaults to HEAD (committed state only)
#
# The clone goes to a temporary directory, with the `shared` directory found beside this
# repository made available beside the clone (as CI has it). Logs are kept on failure, or
# always with KEEP=1.
set -euo pipefail

repo=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
ref=${1:-HEAD}
commit=$(git -C "$repo" rev-parse --verify "$ref^{commit}")
work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-fresh.XXXXXX")
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
for target in demo test; do
  log="$work/make-$target.log"
  start=$SECONDS
  if make -C "$clone" "$target" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  printf '  make %-5s %-6s %4ds  (log: %s)\n' "$target" "$result" $((SECONDS - start)) "$log"
  if [ "$result" = FAILED ]; then
    tail -n 20 "$log" | sed 's/^/    | /'
    break  # the second command would only repeat the failure
  fi
done

if [ "$status" -eq 0 ]; then
  grep -E ' passed.* in [0-9.]+s|\[  PASSED  \]|^Success:' "$work/make-test.log" | sed 's/^/  /' || true
  echo "fresh clone check: passed"
  [ "${KEEP:-0}" = 1 ] || rm -rf "$work"
else
  echo "fresh clone check: FAILED (kept $work)"
fi
exit "$status"
