#!/usr/bin/env bash
# Prints the path of a CPython interpreter, or fails when there is none:
#
#   scripts/dev/find_python.sh X.Y | X.Yt | COMMAND
#
# X.Y: a CPython X.Y with the GIL; X.Yt: a free-threaded one. Looked for as pythonX.Y[t] on PATH,
# then the newest X.Y.* that pyenv has installed (its shims only run the versions selected, so its
# install directory is looked at directly), then the free-threaded build that
# free_threaded_python.sh keeps in the cache. COMMAND (python3, python3.12, a path): that
# command if it runs, else, for a name like python3.12 or python3.14t, the version it names.
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"

# is_cpython PYTHON [X.Y[t]]: prints PYTHON's sys.executable if it is CPython (of that version).
is_cpython() {
  "$1" -c '
import sys, sysconfig
tag = "%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
if sys.implementation.name == "cpython" and sys.argv[1] in ("", tag):
    print(sys.executable)' "${2:-}" 2>/dev/null
}

wanted=$1
if [[ ! $wanted =~ ^[0-9]+\.[0-9]+t?$ ]]; then
  if found=$(is_cpython "$wanted") && [ -n "$found" ]; then
    echo "$found"
    exit 0
  fi
  [[ $(basename "$wanted") =~ ^python([0-9]+\.[0-9]+t?)$ ]] || exit 1
  wanted=${BASH_REMATCH[1]}
fi

version=${wanted%t}
suffix=${wanted#"$version"}
candidates=("python$wanted")
pyenv_versions="${PYENV_ROOT:-$HOME/.pyenv}/versions"
while read -r dir; do
  candidates+=("$dir/bin/python$wanted")
done < <(ls -d "$pyenv_versions/$version".[0-9]*"$suffix" 2>/dev/null | sort -V -r)
candidates+=("$TOLVANE_CACHE"/cpython-"$version".*"$suffix"/bin/python"$wanted")

for python in "${candidates[@]}"; do
  if found=$(is_cpython "$python" "$wanted") && [ -n "$found" ]; then
    echo "$found"
    exit 0
  fi
done
exit 1
