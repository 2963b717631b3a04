#!/usr/bin/env bash
# Installs the Debian packages a build needs, before anything else runs:
#
#   scripts/dev/system_packages.sh PYTHON PACKAGE...
#   scripts/dev/system_packages.sh --no-python PACKAGE...
#
# PACKAGEs, plus the venv module and the headers of the interpreter PYTHON where it lacks them
# (Debian splits both out of its own interpreter). Only what is missing is installed, so a run
# with everything present costs a few queries. Without root it names what to install and fails.
set -euo pipefail

python=$1
shift
wanted=("$@")

if [ "$python" != --no-python ]; then
  lacking=()
  # version, installation prefix, and whether the venv module and Python.h are there
  facts=$("$python" -c '
import importlib.util, os, sys, sysconfig
print("%d.%d" % sys.version_info[:2], sys.base_prefix,
      int(importlib.util.find_spec("ensurepip") is not None),
      int(os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h"))))')
  read -r version prefix has_venv has_headers <<<"$facts"

  [ "$has_venv" = 1 ] || lacking+=("the venv module:python$version-venv")
  [ "$has_headers" = 1 ] || lacking+=("its headers (Python.h):python$version-dev")
  for part in "${lacking[@]}"; do
    if [ "$prefix" != /usr ]; then
      echo "$python (Python $version in $prefix) lacks ${part%%:*}, and it is not Debian's" \
        "interpreter, so no Debian package adds them: install them for it, or choose another" \
        "interpreter with PYTHON=..." >&2
      exit 1
    fi
    wanted+=("${part#*:}")
  done
fi

if ! command -v dpkg-query >/dev/null; then
  echo "not a Debian system: make sure these (or their equivalents) are installed: ${wanted[*]}"
  exit 0
fi

missing=()
for package in "${wanted[@]}"; do
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null)" = "ii " ] || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them as root, then run this again:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing Debian packages: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
