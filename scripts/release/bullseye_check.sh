#!/usr/bin/env bash
# A wheel on a real system older than the one that builds it: the x86_64 CPython 3.13 wheel from
# DIST installs with no index on a minimal Debian 11 (glibc 2.31, GCC 10's libstdc++), into a
# venv of a CPython 3.13 built there from Debian trixie's source package of python3.13, and the
# pytest suite passes against it:
#
#   scripts/release/bullseye_check.sh [DIST]     needs root; DIST defaults to dist (after make wheels)
#
# The root file system, the source and the interpreter built there are kept in the cache
# (scripts/lib/common.sh); the interpreter's build takes a few minutes the first time.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(cd "${1:-$repo/dist}" && pwd)
source "$repo/scripts/lib/debian.sh"
[ "$(id -u)" -eq 0 ] || { echo "needs root (mmdebstrap, chroot, mounts)" >&2; exit 1; }
wheels=("$dist"/tolvane-*-cp313-cp313-manylinux_*_x86_64.whl)
[ -f "${wheels[0]}" ] || { echo "no x86_64 CPython 3.13 wheel in $dist: make wheels" >&2; exit 1; }
wheel=${wheels[0]}

# Debian's source of python3.13 in trixie.
fetch_source() {
  local dir=$TOLVANE_CACHE/bullseye/source
  ls "$dir"/python3.13_*.orig.tar.xz >/dev/null 2>&1 && return
  mkdir -p "$dir/apt" &&
    echo "deb-src $DEBIAN_MIRROR trixie main" >"$dir/apt/sources.list" &&
    apt_private "$dir/apt" update >/dev/null &&
    (cd "$dir" && apt_private "$dir/apt" source --download-only python3.13/trixie >/dev/null)
}

# The interpreter, built in the root once and kept as a tarball of its prefix.
python_in_root() {
  local built=$TOLVANE_CACHE/bullseye/cpython-3.13.tar
  if [ ! -f "$built" ]; then
    mkdir -p "$root/work/cpython" &&
      tar -xJf "$(ls "$TOLVANE_CACHE"/bullseye/source/python3.13_*.orig.tar.xz)" -C "$root/work/cpython" \
        --strip-components=1 &&
      in_root "$root" sh -c 'cd /work/cpython && ./configure --prefix=/opt/python3.13 >/dev/null &&
        make -j2 >/dev/null 2>&1 && make install >/dev/null 2>&1' &&
      tar -C "$root" -cf "$built.partial" opt/python3.13 && mv "$built.partial" "$built" || return
  else
    tar -C "$root" -xf "$built" || return
  fi
  in_root "$root" /opt/python3.13/bin/python3.13 -c 'import ssl, sys; print(sys.version)'
}

roots_work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-bullseye.XXXXXX")
trap roots_cleanup EXIT
root=$roots_work/root
echo "$(basename "$wheel") on Debian 11"
step "Debian 11 root" eval 'tarball=$(root_tarball bullseye amd64 \
  ca-certificates,gcc,make,xz-utils,libssl-dev,zlib1g-dev,libffi-dev,libbz2-dev,liblzma-dev,libsqlite3-dev,uuid-dev)'
step "unpacked" root_unpack "$tarball" "$root"
step "python3.13 source from Debian trixie" fetch_source
step "CPython 3.13 in Debian 11" python_in_root
in_root "$root" sh -c 'ldd --version | head -n 1; ls /usr/lib/x86_64-linux-gnu/libstdc++.so.6.*'
copy_working_tree "$repo" "$root/work/tolvane"
mkdir -p "$root/work/dist" && cp "$wheel" "$root/work/dist/"
if [ -d "$repo/../shared" ]; then root_bind "$(cd "$repo/../shared" && pwd -P)" "$root" /work/shared ro; fi
# On PATH, as an installed interpreter is: the suite looks for the interpreter that runs it.
# pip of a CPython built from source trusts its own bundle of certificates, not the system's.
step "wheel installed, the suite passes" in_root "$root" sh -c "PATH=/opt/python3.13/bin:\$PATH &&
  export PIP_CERT=/etc/ssl/certs/ca-certificates.crt &&
  cd /work/tolvane &&
  scripts/release/test_wheels.sh --suite /opt/python3.13/bin/python3.13 /work/dist/$(basename "$wheel") /work/venv"
echo "Debian 11 check: passed"
