#!/usr/bin/env bash
# Runs a command on the working tree in a minimal Debian root file system of another suite or
# architecture than this machine's (a foreign one runs under qemu-user, through binfmt_misc):
#
#   scripts/dev/debian_run.sh SUITE ARCH PACKAGES COMMAND    needs root; PACKAGES comma-separated
#
#   scripts/dev/debian_run.sh sid amd64 python3.14-dev,python3.14-venv 'make pytest PYTHON=python3.14'
#   scripts/dev/debian_run.sh bookworm arm64 python3-dev,python3-venv 'make test'
#
# The root holds PACKAGES, the Debian packages the Makefile installs, make, ca-certificates and
# ccache. It is made by mmdebstrap once and cached as a tarball in $TOLVANE_CACHE/roots
# (scripts/lib/common.sh); pip's downloads and ccache's objects are cached there too, per suite and
# architecture, so that a second run compiles only what changed (which counts most under
# emulation). COMMAND runs with sh in /work/tolvane, a copy of the working tree, with the shared
# directory beside this repository read-only at /work/shared. Everything is unmounted and removed
# afterwards, on failure too (KEEP=1 keeps the root).
set -euo pipefail
[ $# -eq 4 ] || { sed -n '4,6s/^# \{0,3\}//p' "$0" >&2; exit 2; }
suite=$1 arch=$2 packages=$3 command=$4

repo=$(git -C "$(dirname "$0")/../.." rev-parse --show-toplevel)
source "$repo/scripts/lib/debian.sh"
[ "$(id -u)" -eq 0 ] || { echo "needs root (mmdebstrap, chroot, mounts)" >&2; exit 1; }
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  [ -e "/proc/sys/fs/binfmt_misc/qemu-${arch/arm64/aarch64}" ] ||
    { echo "cannot run $arch programs here: apt-get install qemu-user-static" >&2; exit 1; }
fi

apt_packages=$(make -s -C "$repo" --no-print-directory --eval='apt-packages: ; @echo $(APT_PACKAGES)' apt-packages)
roots_work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-$suite-$arch.XXXXXX")
trap roots_cleanup EXIT
root=$roots_work/root

find_root() {
  tarball=$(root_tarball "$suite" "$arch" "$packages,make,ca-certificates,ccache,${apt_packages// /,}")
}

# The root with the working tree, the shared directory, and pip's and ccache's caches.
unpack_root() {
  local tool
  root_unpack "$tarball" "$root" &&
    copy_working_tree "$repo" "$root/work/tolvane" &&
    { [ ! -d "$repo/../shared" ] || root_bind "$(cd "$repo/../shared" && pwd -P)" "$root" /work/shared ro; } ||
    return
  for tool in pip ccache; do
    mkdir -p "$TOLVANE_CACHE/$tool/$suite-$arch" &&
      root_bind "$TOLVANE_CACHE/$tool/$suite-$arch" "$root" "/root/.cache/$tool" || return
  done
}

step "Debian $suite $arch root, made or found" find_root
step "Debian $suite $arch root, unpacked" unpack_root
step "Debian $suite $arch: the command" in_root "$root" env CMAKE_CXX_COMPILER_LAUNCHER=ccache \
  CCACHE_DIR=/root/.cache/ccache sh -c "cd /work/tolvane && $command"
