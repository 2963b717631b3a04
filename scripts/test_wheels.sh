#!/usr/bin/env bash
# The pytest suite against the wheels in DIST, each installed with no index into a fresh venv of
# its interpreter, then a line per wheel with its result and time:
#
#   scripts/test_wheels.sh DIST     (run by `make test-wheels`; PYTEST_ARGS is passed on)
#
# x86_64 wheels run on this machine's interpreters (scripts/find_python.sh; a free-threaded 3.14
# is built into the cache by scripts/free_threaded_python.sh if there is none); 3.14 and 3.15,
# when this machine lacks them, run as root in a minimal Debian sid root file system. The aarch64
# wheel for Debian 12's CPython 3.11 runs as root in a minimal Debian 12
# arm64 root under qemu-user. The other aarch64 wheels have no interpreter here: skipped.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

# suite PYTHON WHEEL VENV: the wheel into a fresh venv, and the suite from the current directory.
suite() {
  local python=$1 wheel=$2 venv=$3
  rm -rf "$venv"
  "$python" -m venv "$venv" &&
    "$venv/bin/python" -m pip install -q --no-index "$wheel" &&
    "$venv/bin/python" -m pip install -q -c requirements-dev.txt pytest hypothesis &&
    "$venv/bin/python" -c 'import sys, tolvane
sys.exit(not tolvane.__file__.startswith(sys.prefix + "/"))' &&
    "$venv/bin/python" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-} tests/python
}
if [ "${1:-}" = --suite ]; then  # inside a root: scripts/test_wheels.sh --suite PYTHON WHEEL VENV
  shift
  suite "$@"
  exit
fi

[ $# -eq 1 ] || { sed -n '5s/^# \{0,3\}//p' "$0" >&2; exit 2; }
dist=$(cd "$1" && pwd)
cd "$repo"
source scripts/debian_root.sh

results=()
failed=0
# run LABEL COMMAND...: COMMAND, its result and time noted under LABEL.
run() {
  local label=$1 start=$SECONDS result=passed
  shift
  "$@" || { result=FAILED; failed=1; }
  results+=("$(printf '%-60s %-7s %5ds' "$label" "$result" $((SECONDS - start)))")
}

# in_new_root SUITE ARCH PACKAGES WHEEL PYTHON: the suite against WHEEL in a root of its own, made
# from the cached tarball, with the working tree, the wheels and the shared directory. The root
# holds what scripts/debian_run.sh puts in one (make test-pythons and test-arm64 run there), so
# that one cached tarball serves both; the cache keeps only one of each suite and architecture.
apt_packages=$(make -s --no-print-directory --eval='apt-packages: ; @echo $(APT_PACKAGES)' apt-packages)
in_new_root() {
  local suite=$1 arch=$2 packages=$3 wheel=$4 python=$5 root tarball
  roots_work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-wheels-$suite-$arch.XXXXXX")
  root=$roots_work/root
  tarball=$(root_tarball "$suite" "$arch" "$packages,make,ca-certificates,${apt_packages// /,}") &&
    root_unpack "$tarball" "$root" &&
    copy_working_tree "$repo" "$root/work/tolvane" &&
    root_bind "$dist" "$root" /work/dist ro &&
    { [ ! -d "$repo/../shared" ] || root_bind "$(cd "$repo/../shared" && pwd -P)" "$root" /work/shared ro; } &&
    mkdir -p "$TOLVANE_CACHE/pip/$suite-$arch" &&
    root_bind "$TOLVANE_CACHE/pip/$suite-$arch" "$root" /root/.cache/pip &&
    in_root "$root" env PYTEST_ARGS="${PYTEST_ARGS:-}" sh -c "cd /work/tolvane &&
      scripts/test_wheels.sh --suite $python /work/dist/$(basename "$wheel") /work/venv"
  local status=$?
  roots_cleanup
  roots_work=""
  return $status
}
trap '[ -z "${roots_work:-}" ] || roots_cleanup' EXIT

[ "$(id -u)" -eq 0 ] && root=1 || root=0
for wheel in "$dist"/*.whl; do
  name=$(basename "$wheel")
  [[ $name =~ -cp3([0-9]+)-cp3[0-9]+(t?)-manylinux_[0-9_]+_(x86_64|aarch64)\.whl$ ]] ||
    { results+=("$name: not a wheel of ours, skipped"); continue; }
  version=3.${BASH_REMATCH[1]}${BASH_REMATCH[2]} arch=${BASH_REMATCH[3]}
  label="$version $arch"
  if [ "$arch" = x86_64 ] && { python=$(scripts/find_python.sh "$version") ||
       { [ "$version" = 3.14t ] && python=$(scripts/free_threaded_python.sh); }; }; then
    echo "== $name: $python"
    run "$label: $python" suite "$python" "$wheel" "build/wheel-test/$version-$arch"
  elif [ "$arch" = x86_64 ] && [[ $version =~ ^3\.1[45]$ ]] && [ $root = 1 ]; then
    echo "== $name: Debian sid's python$version"
    run "$label: Debian sid" in_new_root sid amd64 python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv "$wheel" "python$version"
  elif [ "$arch" = aarch64 ] && [ "$version" = 3.11 ] && [ $root = 1 ]; then
    [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] ||
      { results+=("$label: cannot run aarch64 programs here (qemu-user-static), skipped"); continue; }
    echo "== $name: Debian 12 arm64's python3.11 under qemu-user"
    run "$label: Debian 12 arm64 (qemu-user)" in_new_root bookworm arm64 python3-dev,python3-venv "$wheel" python3.11
  else
    results+=("$label: no interpreter here, skipped")
  fi
done

echo "== wheels"
printf '  %s\n' "${results[@]}"
exit "$failed"
