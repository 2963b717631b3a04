#!/usr/bin/env bash
# commit-msg hook: the subject line (the message's first line) has at most 72 characters.
set -euo pipefail
# Characters, not bytes, whatever the caller's locale.
export LC_ALL=C.UTF-8
subject=$(head -n1 "$1")
if [ "${#subject}" -gt 72 ]; then
  echo "commit subject of ${#subject} characters; at most 72, details in the body:" >&2
  echo "  $subject" >&2
  exit 1
fi
