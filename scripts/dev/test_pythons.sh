#!/usr/bin/env bash
# The pytest suite on each interpreter named, each with its own venv and build
# (`make pytest PYTHON=...`), then a line per interpreter with its result and time:
#
#   scripts/dev/test_pythons.sh X.Y|X.Yt...     (run by `make test-pythons`)
#
# Each is looked for as find_python.sh does (PATH, pyenv); a free-threaded 3.14 is built into the
# cache by free_threaded_python.sh if there is none; and, as root, 3.14 and 3.15 run in a Debian
# sid root file system (debian_run.sh), built there with sid's compiler, if this machine lacks
# them. The others are skipped.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/common.sh
STEPS_GO_ON=1
IN_SID=" 3.14 3.15 "
make=${MAKE:-make}

sid=()
for wanted in "$@"; do
  if python=$(scripts/dev/find_python.sh "$wanted") ||
     { [ "$wanted" = 3.14t ] && python=$(scripts/dev/free_threaded_python.sh); }; then
    echo "== Python $wanted: $python"
    step "Python $wanted" "$make" --no-print-directory pytest PYTHON="$python"
  elif [[ $IN_SID == *" $wanted "* ]] && [ "$(id -u)" -eq 0 ]; then
    sid+=("$wanted")
  elif [[ $IN_SID == *" $wanted "* ]]; then
    step_note "Python $wanted: not found here; as root it runs in a Debian sid root"
  elif [ "$wanted" = 3.14t ]; then
    step_note "Python $wanted: FAILED (could not build it: see above)"
    steps_failed=1
  else
    step_note "Python $wanted: not found, skipped"
  fi
done

if [ ${#sid[@]} -gt 0 ]; then
  packages="" command="status=0"
  for version in "${sid[@]}"; do
    packages+="python$version-dev,python$version-venv,"
    command+="; echo '== Python $version (Debian sid)'"
    command+="; make --no-print-directory pytest PYTHON=python$version || status=1"
  done
  step "Python ${sid[*]} (Debian sid)" scripts/dev/debian_run.sh sid amd64 "$packages" "$command; exit \$status"
fi

steps_summary interpreters
