#!/usr/bin/env bash
# Tries the project as a new user would, on minimal Debian systems made with mmdebstrap:
#
#   scripts/dev/debian_check.sh SUITE [REF]   SUITE bookworm (12) or trixie (13); REF defaults to
#                                         HEAD (committed state only); needs root
#
# On one with only python3, make, git and ca-certificates:
#   - `make demo` without root stops before doing anything, naming the packages to install;
#   - as root, fresh_clone_check.sh: `make demo` (which must draw its picture), `make test`,
#     `make demo` again, `make wheel`;
#   - `pip install` from a read-only copy of the tree into a venv, and the module imports.
# On a second one with only python3, its venv module and ca-certificates: the wheel from the first
# installs with no index, and the pytest suite passes against it.
#
# The root file systems are cached as tarballs (scripts/lib/debian.sh) and unpacked into a
# temporary directory, removed at the end unless KEEP=1. Each step's output goes to a log there,
# shown in part when the step fails.
set -euo pipefail

repo=$(git -C "$(dirname "$0")/../.." rev-parse --show-toplevel)
source "$repo/scripts/lib/debian.sh"
suite=${1:?"usage: $0 SUITE [REF]   (SUITE: bookworm or trixie)"}
commit=$(git -C "$repo" rev-parse --verify "${2:-HEAD}^{commit}")
[ "$(id -u)" -eq 0 ] || { echo "needs root (mmdebstrap, chroot, mounts)" >&2; exit 1; }
[ -d "$repo/../shared" ] || { echo "needs the shared directory beside $repo" >&2; exit 1; }
shared=$(cd "$repo/../shared" && pwd -P)  # a worktree's may be a symlink

roots_work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-debian.XXXXXX")
trap roots_cleanup EXIT

# Each step's output goes to a log beside the roots. Steps run where errexit does not apply, so
# the functions below chain their commands with &&.
STEP_LOGS=$roots_work
status=0

# make_root DIR PACKAGES: a minimal Debian SUITE in DIR that reaches PyPI, with /dev and /proc.
make_root() {
  local tarball
  tarball=$(root_tarball "$suite" "$(dpkg --print-architecture)" "$2") && root_unpack "$tarball" "$1"
}

# Without root, the README's command must name what to install, and stop before making anything.
refused_without_root() {
  local out
  if out=$(in_root "$1" setpriv --reuid=65534 --regid=65534 --clear-groups \
             make -C /work/tolvane demo 2>&1); then
    echo "make demo passed without root on a bare system"
    return 1
  fi
  echo "$out"
  local command word
  command=$(grep 'apt-get install -y ' <<<"$out") &&
    for word in 'g\+\+' graphviz 'python3\.[0-9]+-venv' 'python3\.[0-9]+-dev'; do
      grep -Eq " $word( |$)" <<<"$command" || { echo "not named: $word"; return 1; }
    done &&
    [ ! -e "$1/work/tolvane/.venv" ]
}

# A read-only copy of the tree: pip must build from it without writing into it.
pip_install_read_only() {
  local root=$1 src=$1/work/read-only
  git clone --quiet "$root/work/tolvane" "$src" &&
    mount --bind "$src" "$src" &&
    mount -o remount,bind,ro "$src" &&
    in_root "$root" python3 -m venv /work/read-only-venv &&
    in_root "$root" /work/read-only-venv/bin/pip install /work/read-only &&
    in_root "$root" /work/read-only-venv/bin/python -c 'import tolvane; print(tolvane.generate_fake_features(3))'
}

# The sonames of the libraries a wheel carries, from the names auditwheel gives their copies.
carried_libraries() {
  python3 - "$1" <<'EOF'
import re, sys, zipfile
for name in zipfile.ZipFile(sys.argv[1]).namelist():
    copy = re.fullmatch(r"[^/]+\.libs/(lib.+)-[0-9a-f]{8}(\.so\.[0-9]+)[.0-9]*", name)
    if copy:
        print(copy[1] + copy[2])
EOF
}

# The wheel and the tests (with the files they read) on a system that has none of our libraries.
wheel_suite() {
  local root=$1 soname
  for soname in $(carried_libraries "$wheel"); do
    echo "carried by the wheel: $soname"
    ! in_root "$root" ldconfig -p | awk '{ print $1 }' | grep -qxF "$soname" ||
      { echo "but the system has it"; return 1; }
  done
  in_root "$root" python3 -m venv /work/venv &&
    in_root "$root" /work/venv/bin/pip install --no-index /work/dist/"$(basename "$wheel")" &&
    in_root "$root" /work/venv/bin/pip install -c /work/tolvane/requirements-dev.txt pytest hypothesis &&
    in_root "$root" sh -c 'cd /work/tolvane && /work/venv/bin/python -m pytest -q -p no:cacheprovider tests/python'
}

echo "minimal Debian $suite checks of $(git -C "$repo" log -1 --format='%h %s' "$commit")"
echo "in $roots_work"
build=$roots_work/build-root
{
  step "root with python3 make git" make_root "$build" python3,make,git,ca-certificates &&
  mkdir -p "$build/work" &&
  git clone --quiet --no-checkout "$repo" "$build/work/tolvane" &&
  git -C "$build/work/tolvane" checkout --quiet --detach "$commit" &&
  cp -r "$shared" "$build/work/shared" &&
  step "make demo without root stops" refused_without_root "$build" &&
  step "fresh clone check as root" in_root "$build" env WORK=/work/fresh KEEP=1 \
    /work/tolvane/scripts/dev/fresh_clone_check.sh &&
  sed -n 's/^  make/  | make/p' "$roots_work/fresh-clone-check-as-root.log" &&
  step "the demo drew its lineage picture" test -s "$build/work/fresh/tolvane/out/demo_lineage.png" &&
  step "pip install from a read-only tree" pip_install_read_only "$build"
} || status=1
[ "$status" -eq 0 ] || { echo "minimal Debian $suite checks: FAILED"; exit 1; }

wheels=("$build"/work/fresh/tolvane/dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in dist/, found ${#wheels[@]}"; exit 1; }
wheel=${wheels[0]}
echo "  wheel: $(basename "$wheel"), $(stat -c %s "$wheel") bytes"
target=$roots_work/wheel-root
{
  step "root with python3 python3-venv" make_root "$target" python3,python3-venv,ca-certificates &&
  mkdir -p "$target/work/dist" "$target/work/tolvane" &&
  cp "$wheel" "$target/work/dist/" &&
  git -C "$repo" archive "$commit" tests examples scripts requirements-dev.txt README.md pyproject.toml | tar -x -C "$target/work/tolvane" &&
  cp -r "$shared" "$target/work/shared" &&
  step "wheel install and pytest suite" wheel_suite "$target" &&
  grep -E '^carried|passed' "$roots_work/wheel-install-and-pytest-suite.log" | sed 's/^/  | /'
} || status=1
[ "$status" -eq 0 ] && echo "minimal Debian $suite checks: passed" || echo "minimal Debian $suite checks: FAILED"
exit "$status"
