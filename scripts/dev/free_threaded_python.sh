#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.14 (built with --disable-gil), building it into the
# cache first if there is none there:
#
#   scripts/dev/free_threaded_python.sh
#
# The source is the release Debian carries, from Debian's pool (the newest ones leave it; this
# one is still there). The build takes a few minutes on two cores and needs root for the Debian
# packages of the standard library's extension modules, unless they are installed already.
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"

version=3.14.7
prefix=$TOLVANE_CACHE/cpython-${version}t
python=$prefix/bin/python3.14t
source_url=$DEBIAN_MIRROR/pool/main/p/python3.14/python3.14_$version.orig.tar.xz
if [ -x "$python" ]; then
  echo "$python"
  exit 0
fi

# ssl for pip, the rest for the standard library modules the tests and tools import.
"$(dirname "$0")/system_packages.sh" --no-python make gcc curl xz-utils libssl-dev zlib1g-dev \
  libbz2-dev libffi-dev liblzma-dev libsqlite3-dev uuid-dev >&2

build=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-cpython.XXXXXX")
trap 'rm -rf "$build"' EXIT
echo "building free-threaded CPython $version into $prefix (log: $build/build.log)" >&2
curl -fsSL "$source_url" | tar -xJ -C "$build" --strip-components=1
cd "$build"
# Into a directory of its own first, moved into place whole: an interrupted build leaves nothing
# that looks finished.
if ! { ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install &&
       make -j2 && make install DESTDIR="$build/staged"; } >"$build/build.log" 2>&1; then
  tail -n 30 "$build/build.log" >&2
  trap - EXIT
  echo "free-threaded CPython build failed: kept $build" >&2
  exit 1
fi
mkdir -p "$(dirname "$prefix")"
rm -rf "$prefix.partial"
mv "$build/staged$prefix" "$prefix.partial"
mv "$prefix.partial" "$prefix"
"$python" -c 'import sys; assert not sys._is_gil_enabled()'
echo "$python"
