#!/usr/bin/env bash
# Makes sure that this machine runs aarch64 programs under qemu-user, as root: installs
# qemu-user-static if missing and registers it with binfmt_misc, mounting that first, where a
# container started without either:
#
#   scripts/dev/binfmt_aarch64.sh
set -euo pipefail
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] && exit 0
[ "$(id -u)" -eq 0 ] || { echo "cannot run aarch64 programs here: as root, run $0" >&2; exit 1; }
"$(dirname "$0")/system_packages.sh" --no-python qemu-user-static
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] ||
  grep -v "^#" /usr/lib/binfmt.d/qemu-aarch64.conf >/proc/sys/fs/binfmt_misc/register
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || { echo "could not register qemu-aarch64 with binfmt_misc" >&2; exit 1; }
