# Sourced by the scripts that use Debian beyond this machine's own packages: minimal root file
# systems of any suite and architecture, and apt-get with a configuration of its own. Roots are
# made by mmdebstrap once and kept as tarballs in the cache; each run unpacks its own copy under a
# work directory, which roots_cleanup (set as the EXIT trap) unmounts and removes.
#
#   roots_work=$(mktemp -d ...); trap roots_cleanup EXIT
#   tarball=$(root_tarball SUITE ARCH PACKAGES)   PACKAGES comma-separated
#   root_unpack "$tarball" "$roots_work/root"
#   in_root "$roots_work/root" COMMAND...
#   apt_private DIR APT-GET-ARGUMENTS...          with DIR/sources.list written first
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# A cached root is made again after this many days, so that it follows its suite; one that is no
# longer made (its recipe changed) goes then too.
ROOT_MAX_AGE_DAYS=${ROOT_MAX_AGE_DAYS:-14}

roots_mounted() { awk -v prefix="$roots_work/" 'index($2, prefix) == 1 { print $2 }' /proc/mounts; }

roots_cleanup() {
  # Innermost first; a root file system is only removed once nothing is mounted in it.
  roots_mounted | sort -r | while read -r point; do
    umount "$point" || umount -l "$point" || echo "could not unmount $point" >&2
  done
  if [ -n "$(roots_mounted)" ]; then
    echo "still mounted under $roots_work: left in place" >&2
  elif [ "${KEEP:-0}" = 1 ]; then
    echo "kept $roots_work"
  else
    rm -rf --one-file-system "$roots_work"
  fi
}

# root_tarball SUITE ARCH PACKAGES: prints the path of a tarball of a minimal Debian SUITE for
# ARCH with PACKAGES, made first if the cache has none of that recipe, or only an old one.
root_tarball() {
  local suite=$1 arch=$2 packages recipe tarball
  packages=$(tr ', ' '\n\n' <<<"$3" | sed '/^$/d' | sort -u | paste -sd, -)
  # The mirror's index for the unstable suites is kept past its Valid-Until date.
  local options=(--variant=apt --arch="$arch" --aptopt='Acquire::Check-Valid-Until "false"'
                 --include="$packages")
  recipe=$(printf '%s\n' "$suite" "${options[@]}" | sha256sum | cut -c1-12)
  tarball=$TOLVANE_CACHE/roots/$suite-$arch-$recipe.tar
  mkdir -p "$TOLVANE_CACHE/roots"
  find "$TOLVANE_CACHE/roots" -maxdepth 1 -name '*-*-????????????.tar' -mtime +"$ROOT_MAX_AGE_DAYS" -delete
  # What a killed run left half made.
  find "$TOLVANE_CACHE/roots" -maxdepth 1 -name '*-*-????????????.tar.*' ! -name '*.log' -mmin +1440 -delete
  if [ ! -f "$tarball" ]; then
    command -v mmdebstrap >/dev/null || { echo "needs mmdebstrap: apt-get install mmdebstrap" >&2; return 1; }
    echo "making a Debian $suite $arch root in $tarball (log: $tarball.log)" >&2
    # Under a temporary name, renamed once whole, so that a failed or concurrent run leaves no
    # tarball that looks finished.
    local partial
    partial=$(mktemp "$tarball.XXXXXX")
    if ! mmdebstrap "${options[@]}" "$suite" "$partial.tar" >"$tarball.log" 2>&1; then
      rm -f "$partial" "$partial.tar"
      tail -n 20 "$tarball.log" >&2
      return 1
    fi
    mv "$partial.tar" "$tarball"
    rm -f "$partial"
  fi
  echo "$tarball"
}

# root_unpack TARBALL DIR: the root in DIR, reaching PyPI, with /dev and /proc mounted.
root_unpack() {
  mkdir -p "$2" &&
    tar -xf "$1" -C "$2" &&
    # The machine's own certificate authorities go in too, or pip cannot reach PyPI from there:
    # its bundle, which holds Debian's and its own (running update-ca-certificates in the root
    # takes minutes under emulation).
    { [ ! -f /etc/ssl/certs/ca-certificates.crt ] ||
      cp /etc/ssl/certs/ca-certificates.crt "$2/etc/ssl/certs/ca-certificates.crt"; } &&
    mount --bind /dev "$2/dev" &&
    mount -t proc proc "$2/proc"
}

# root_bind SOURCE DIR PATH [ro]: SOURCE mounted at PATH inside the root in DIR.
root_bind() {
  mkdir -p "$2$3" &&
    mount --bind "$1" "$2$3" &&
    if [ "${4:-}" = ro ]; then mount -o remount,bind,ro "$2$3"; fi
}

# in_root DIR COMMAND...: COMMAND in DIR with a fresh login's environment, not this shell's.
in_root() {
  local root=$1
  shift
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# The project's files as they are in the working tree (committed or not, but not ignored), in DIR.
copy_working_tree() {
  local repo=$1 dir=$2
  mkdir -p "$dir" &&
    git -C "$repo" ls-files -z --cached --others --exclude-standard |
    tar -C "$repo" --null -T - --ignore-failed-read -c 2>/dev/null | tar -x -C "$dir"
}

# apt_private DIR APT-GET-ARGUMENTS...: apt-get on the sources in DIR/sources.list, for amd64 and
# arm64, with its index, cache and status in DIR: it downloads, never installs, and leaves the
# system's apt alone. Set on the command line, which overrides the system's settings (a
# container's may turn off apt's cache). The unstable suites' index is kept past its Valid-Until
# date.
apt_private() {
  local dir=$1
  shift
  mkdir -p "$dir/lists/partial" "$dir/archives/partial" &&
    { [ -f "$dir/status" ] || : >"$dir/status"; } &&
    apt-get -q -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
      -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/status" -o Dir::Cache="$dir" \
      -o Dir::Cache::pkgcache=pkgcache.bin -o Dir::Cache::srcpkgcache=srcpkgcache.bin \
      -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root \
      -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false "$@"
}
