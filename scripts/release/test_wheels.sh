#!/usr/bin/env bash
# The pytest suite against the wheels in DIST (or the wheels named), each installed with no index
# into a fresh venv of its interpreter, then a line per wheel with its result and time:
#
#   scripts/release/test_wheels.sh DIST | WHEEL...   (make test-wheels; PYTEST_ARGS is passed on)
#
# x86_64 wheels run on this machine's interpreters (scripts/dev/find_python.sh; a free-threaded
# 3.14 is built into the cache by scripts/dev/free_threaded_python.sh if there is none); 3.14 and 3.15,
# when this machine lacks them, run as root in a minimal Debian sid root file system. The aarch64
# wheel for Debian 12's CPython 3.11 runs as root in a minimal Debian 12
# arm64 root under qemu-user. The other aarch64 manylinux wheels have no interpreter here: skipped.
# The cp314 musllinux wheels run on a CPython 3.14 built on musl into the cache
# (musl_python.sh), the aarch64 one under qemu-user; that interpreter has no ssl, so the
# test tools are downloaded here first, and installed from there.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)

# suite PYTHON WHEEL VENV [TOOLS]: the wheel into a fresh venv, and the suite from the current
# directory; the test tools from PyPI, or with no index from the directory TOOLS.
suite() {
  local python=$1 wheel=$2 venv=$3 tools=()
  [ -z "${4:-}" ] || tools=(--no-index --find-links "$4")
  rm -rf "$venv"
  "$python" -m venv "$venv" &&
    "$venv/bin/python" -m pip install -q --no-index "$wheel" &&
    "$venv/bin/python" -m pip install -q "${tools[@]}" -c requirements-dev.txt pytest hypothesis &&
    "$venv/bin/python" -P -c 'import sys, tolvane, tolvane_io
sys.exit(not all(m.__file__.startswith(sys.prefix + "/") for m in (tolvane, tolvane_io)))' &&
    # By its script: the working directory, which holds tolvane_io's sources, stays off sys.path.
    "$venv/bin/pytest" -q -p no:cacheprovider ${PYTEST_ARGS:-} tests/python
}
if [ "${1:-}" = --suite ]; then  # inside a root: test_wheels.sh --suite PYTHON WHEEL VENV
  shift
  suite "$@"
  exit
fi

[ $# -ge 1 ] || { sed -n '5s/^# \{0,3\}//p' "$0" >&2; exit 2; }
if [ $# -eq 1 ] && [ -d "$1" ]; then
  wheels=("$1"/*.whl)
else
  wheels=("$@")
fi
dist=$(cd "$(dirname "${wheels[0]}")" && pwd)
cd "$repo"
source scripts/lib/debian.sh
STEPS_GO_ON=1

# musl_tools ARCH: prints the directory of the test tools' wheels for a musl CPython 3.14 on ARCH,
# downloaded into the cache by this machine's pip if missing.
musl_tools() {
  local dir=$TOLVANE_CACHE/musl-tools/$1 host_python=python3
  [ ! -x .venv/bin/python ] || host_python=.venv/bin/python
  if [ ! -f "$dir/.complete" ] || [ requirements-dev.txt -nt "$dir/.complete" ]; then
    rm -rf "$dir" &&
      "$host_python" -m pip download -q -d "$dir" --only-binary=:all: --python-version 3.14 \
        --implementation cp --platform "musllinux_1_2_$1" -c requirements-dev.txt pytest hypothesis >&2 &&
      touch "$dir/.complete" || return
  fi
  echo "$dir"
}

# on_musl ARCH WHEEL: the suite against WHEEL on the musl CPython 3.14 for ARCH.
on_musl() {
  local python tools
  python=$(scripts/release/musl_python.sh "$1") && tools=$(musl_tools "$1") &&
    suite "$python" "$2" "build/wheel-test/3.14-$1-musl" "$tools"
}

# in_new_root SUITE ARCH PACKAGES WHEEL PYTHON: the suite against WHEEL in a root of its own, made
# from the cached tarball, with the working tree, the wheels and the shared directory. The root
# holds what scripts/dev/debian_run.sh puts in one (make test-pythons and test-arm64 run there), so
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
      scripts/release/test_wheels.sh --suite $python /work/dist/$(basename "$wheel") /work/venv"
  local status=$?
  roots_cleanup
  roots_work=""
  return $status
}
trap '[ -z "${roots_work:-}" ] || roots_cleanup' EXIT

[ "$(id -u)" -eq 0 ] && root=1 || root=0
for wheel in "${wheels[@]}"; do
  name=$(basename "$wheel")
  [[ $name =~ -cp3([0-9]+)-cp3[0-9]+(t?)-(manylinux|musllinux)_[0-9_]+_(x86_64|aarch64)\.whl$ ]] ||
    { step_note "$name: not a wheel of ours, skipped"; continue; }
  version=3.${BASH_REMATCH[1]}${BASH_REMATCH[2]} libc=${BASH_REMATCH[3]} arch=${BASH_REMATCH[4]}
  label="$version $arch"
  if [ "$libc" = musllinux ]; then
    label+=" musl"
    if [ "$version" != 3.14 ]; then
      step_note "$label: no musl interpreter here, skipped"
    elif [ "$arch" = aarch64 ] && [ $root = 0 ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
      step_note "$label: cannot run aarch64 programs here (as root, scripts/dev/binfmt_aarch64.sh), skipped"
    else
      echo "== $name: CPython 3.14 on musl"
      step "$label: CPython 3.14 on musl" on_musl "$arch" "$wheel"
    fi
  elif [ "$arch" = x86_64 ] && { python=$(scripts/dev/find_python.sh "$version") ||
       { [ "$version" = 3.14t ] && python=$(scripts/dev/free_threaded_python.sh); }; }; then
    echo "== $name: $python"
    step "$label: $python" suite "$python" "$wheel" "build/wheel-test/$version-$arch"
  elif [ "$arch" = x86_64 ] && [[ $version =~ ^3\.1[45]$ ]] && [ $root = 1 ]; then
    echo "== $name: Debian sid's python$version"
    step "$label: Debian sid" in_new_root sid amd64 python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv "$wheel" "python$version"
  elif [ "$arch" = aarch64 ] && [ "$version" = 3.11 ] && [ $root = 1 ]; then
    [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] ||
      { step_note "$label: cannot run aarch64 programs here (qemu-user-static), skipped"; continue; }
    echo "== $name: Debian 12 arm64's python3.11 under qemu-user"
    step "$label: Debian 12 arm64 (qemu-user)" in_new_root bookworm arm64 python3-dev,python3-venv "$wheel" python3.11
  else
    step_note "$label: no interpreter here, skipped"
  fi
done

steps_summary wheels
