#!/usr/bin/env bash
# Prints the path of a CPython X.Y interpreter, or fails when there is none:
#
#   scripts/find_python.sh X.Y
#
# pythonX.Y on PATH first, else the newest X.Y.* that pyenv has installed (pyenv's shims only
# run the versions selected, so its install directory is looked at directly).
set -euo pipefail

version=$1
candidates=("python$version")
pyenv_versions="${PYENV_ROOT:-$HOME/.pyenv}/versions"
while read -r dir; do
  candidates+=("$dir/bin/python$version")
done < <(ls -d "$pyenv_versions/$version".[0-9]* 2>/dev/null | sort -V -r)

for python in "${candidates[@]}"; do
  if found=$("$python" -c '
import sys
if sys.implementation.name == "cpython" and "%d.%d" % sys.version_info[:2] == sys.argv[1]:
    print(sys.executable)' "$version" 2>/dev/null) && [ -n "$found" ]; then
    echo "$found"
    exit 0
  fi
done
exit 1
