#!/usr/bin/env bash
# Commit subjects (a message's first line) have at most 72 characters.
#
#   check_commit_subject.sh FILE           the commit-msg hook: the message in FILE
#   check_commit_subject.sh --since REV    every commit after REV up to HEAD (CI)
set -euo pipefail
# Characters, not bytes, whatever the caller's locale.
export LC_ALL=C.UTF-8
too_long=0
check() {
  if [ "${#1}" -gt 72 ]; then
    echo "commit subject of ${#1} characters; at most 72, details in the body:" >&2
    echo "  $1" >&2
    too_long=1
  fi
}
if [ "${1:-}" = --since ]; then
  if ! git cat-file -e "$2^{commit}" 2>/dev/null; then
    echo "commit subjects not checked: $2 is not in this clone's history (a shallow clone?)" >&2
    exit 0
  fi
  while IFS= read -r subject; do check "$subject"; done < <(git log --format=%s "$2..HEAD")
else
  check "$(head -n1 "$1")"
fi
exit "$too_long"
