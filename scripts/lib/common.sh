# Sourced by every script that keeps something or times its steps:
#
#   source "$repo/scripts/lib/common.sh"
#   step LABEL COMMAND...      COMMAND, its result and time printed as a row and kept
#   step_note TEXT             a row for something not run (skipped, and why)
#   steps_summary TITLE        the rows again under TITLE, then the total; fails if a step did
#
# TOLVANE_CACHE is where the scripts keep what is slow to make and safe to reuse (root file
# systems, interpreters built from source, Debian packages, zig, pip's downloads), outside any
# clone: /var/cache/tolvane as root, else under XDG_CACHE_HOME; set, it overrides. DEBIAN_MIRROR
# is where Debian's packages and source tarballs come from.
if [ -z "${TOLVANE_CACHE:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    TOLVANE_CACHE=/var/cache/tolvane
  else
    TOLVANE_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tolvane
  fi
fi
export TOLVANE_CACHE
DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

step_rows=()
steps_failed=0

# step LABEL COMMAND...: runs COMMAND, then prints LABEL, ok or FAILED, and the seconds it took.
# COMMAND runs where errexit does not hold, so a function given here chains its commands with &&.
# Its failure is remembered for steps_summary, and returned unless STEPS_GO_ON=1 (the script goes
# on to its next step). With STEP_LOGS set to a directory, COMMAND's output goes to a log there
# named after LABEL, whose end is shown if it fails.
step() {
  local label=$1 start=$SECONDS status=0 log=""
  shift
  if [ -n "${STEP_LOGS:-}" ]; then
    log=$STEP_LOGS/$(tr -c 'a-z0-9\n' - <<<"${label,,}").log
    "$@" >"$log" 2>&1 || status=$?
  else
    "$@" || status=$?
  fi
  step_rows+=("$(printf '%-56s %-6s %5ds' "$label" "$([ $status = 0 ] && echo ok || echo FAILED)" \
    $((SECONDS - start)))")
  printf '  %s\n' "${step_rows[-1]}"
  if [ $status != 0 ]; then
    steps_failed=1
    [ -z "$log" ] || { echo "    (log: $log)"; tail -n 25 "$log" | sed 's/^/    | /'; }
  fi
  [ "${STEPS_GO_ON:-0}" = 1 ] || return $status
}

step_note() { step_rows+=("$1"); }

steps_summary() {
  echo "== $1"
  printf '  %s\n' "${step_rows[@]}" \
    "$(printf '%-56s %-6s %5ds' total "$([ $steps_failed = 0 ] && echo ok || echo FAILED)" $SECONDS)"
  return $steps_failed
}
