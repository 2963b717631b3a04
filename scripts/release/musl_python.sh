#!/usr/bin/env bash
# Prints the path of a CPython 3.14 that runs on musl for ARCH, building it into the cache first if
# there is none there:
#
#   scripts/release/musl_python.sh ARCH      ARCH x86_64 (runs here) or aarch64 (runs under qemu-user)
#
# The musllinux wheels are tested on it. Everything comes from the sources in Debian's pool and
# goes into one prefix, $TOLVANE_CACHE/musl-python-3.14.7-ARCH: musl 1.2.5, zlib, libffi (for
# ctypes) and CPython, with pip from ensurepip. No ssl: pip there installs from local files only.
# The interpreter loads musl's dynamic linker from the prefix (its path has "musl" in it, which
# is how pip recognises a musl system), so it needs no root file system, and qemu-user runs the
# aarch64 one from this machine's files. 4 to 8 minutes for x86_64 on two cores; aarch64,
# cross-compiled by Debian's gcc-aarch64-linux-gnu with the x86_64 one as the build interpreter,
# up to twice that after it.
#
# Not musl 1.2.3, Debian 12's: it cannot load libraries with RELR relocations, which a wheel of
# another project may well have.
set -euo pipefail
[ $# -eq 1 ] && [[ $1 =~ ^(x86_64|aarch64)$ ]] || { sed -n '5s/^# \{0,3\}//p' "$0" >&2; exit 2; }
arch=$1
scripts=$(cd "$(dirname "$0")/.." && pwd)
source "$scripts/lib/common.sh"

MUSL=1.2.5 ZLIB=1.3.1 LIBFFI=3.4.8 PYTHON=3.14.7
prefix=$TOLVANE_CACHE/musl-python-$PYTHON-$arch
python=$prefix/bin/python3.14
# The pool's names of the upstream tarballs.
declare -A SOURCE=(
  [musl]=m/musl/musl_$MUSL.orig.tar.gz
  [zlib]=z/zlib/zlib_1.3.dfsg+really$ZLIB.orig.tar.gz
  [libffi]=libf/libffi/libffi_$LIBFFI.orig.tar.gz
  [python]=p/python3.14/python3.14_$PYTHON.orig.tar.xz
)
# A prefix is finished when this file is there: the paths of the prefix are built into what is
# in it, so it is built in place, and a build that stopped half way is started again.
done_mark=$prefix/.built
if [ -f "$done_mark" ]; then
  echo "$python"
  exit 0
fi

# The pool's libffi comes without its configure script: autoreconf makes it.
packages=(make gcc curl xz-utils linux-libc-dev autoconf automake libtool)
if [ "$arch" = aarch64 ]; then
  packages+=(gcc-aarch64-linux-gnu qemu-user-static)
  "$scripts/dev/binfmt_aarch64.sh" >&2
  # The build interpreter of a cross-build is the same CPython, running here.
  build_python=$("$0" x86_64)
fi
"$scripts/dev/system_packages.sh" --no-python "${packages[@]}" >&2

build=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-musl-python.XXXXXX")
trap 'rm -rf "$build"' EXIT
log=$build/build.log
echo "building CPython $PYTHON on musl $MUSL for $arch into $prefix (log: $log)" >&2
rm -rf "$prefix"
mkdir -p "$prefix/bin" "$TOLVANE_CACHE/sources"

# unpack NAME: the source tarball, fetched into the cache once, unpacked in $build/NAME.
unpack() {
  local file=$TOLVANE_CACHE/sources/$(basename "${SOURCE[$1]}")
  if [ ! -f "$file" ]; then
    curl -fsSL "$DEBIAN_MIRROR/pool/main/${SOURCE[$1]}" -o "$file.partial" && mv "$file.partial" "$file"
  fi
  mkdir -p "$build/$1" && tar -xf "$file" -C "$build/$1" --strip-components=1
}

if [ "$arch" = x86_64 ]; then
  tools=() gcc=gcc kernel_headers=(/usr/include/linux /usr/include/asm-generic /usr/include/x86_64-linux-gnu/asm)
  flags=""
else
  tools=(AR=aarch64-linux-gnu-ar RANLIB=aarch64-linux-gnu-ranlib READELF=aarch64-linux-gnu-readelf
         STRIP=aarch64-linux-gnu-strip)
  gcc=aarch64-linux-gnu-gcc kernel_headers=(/usr/aarch64-linux-gnu/include/{linux,asm-generic,asm})
  # Calls to libgcc's outline atomics would need glibc's __getauxval.
  flags=" -mno-outline-atomics"
fi
cc=$prefix/bin/cc

# Each step stops the build at its first failure (set -e does not hold where the caller tests the
# result).
steps() {
  local cross=()
  [ "$arch" = x86_64 ] || cross=(--target=aarch64-linux-musl CROSS_COMPILE=aarch64-linux-gnu-)
  unpack musl &&
    (cd "$build/musl" && ./configure --prefix="$prefix" --syslibdir="$prefix/lib" CC="$gcc" "${cross[@]}" &&
      make -j2 && make install) || return
  # musl has no kernel headers of its own; libffi needs them.
  cp -rL "${kernel_headers[@]}" "$prefix/include/" || return
  # gcc on musl's headers and libraries. CPython's configure asks the compiler for its Debian
  # multiarch name and stops when it is glibc's: this one gives musl's.
  printf '#!/bin/sh\n[ "$1" != --print-multiarch ] || { echo %s-linux-musl; exit 0; }\nexec %s%s "$@" -specs %s\n' \
    "$arch" "$gcc" "$flags" "$prefix/lib/musl-gcc.specs" >"$cc" && chmod +x "$cc" || return

  unpack zlib &&
    (cd "$build/zlib" && env CC="$cc" "${tools[@]}" ./configure --prefix="$prefix" && make -j2 && make install) &&
    unpack libffi &&
    (cd "$build/libffi" && autoreconf -fi &&
      ./configure --prefix="$prefix" --host="$arch-linux-musl" --disable-static --disable-docs \
        CC="$cc" "${tools[@]}" && make -j2 && make install) || return

  cross=()
  if [ "$arch" = aarch64 ]; then
    printf 'ac_cv_file__dev_ptmx=yes\nac_cv_file__dev_ptc=no\nac_cv_libatomic_needed=no\nac_cv_buggy_getaddrinfo=no\n' >"$build/config.site"
    cross=(--build=x86_64-linux-gnu --host=aarch64-linux-musl --with-build-python="$build_python"
           CONFIG_SITE="$build/config.site")
  fi
  unpack python &&
    (cd "$build/python" &&
      ./configure --prefix="$prefix" --with-ensurepip=no --disable-test-modules "${cross[@]}" \
        CC="$cc" "${tools[@]}" CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib -Wl,-rpath,$prefix/lib" \
        PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" &&
      make -j2 && make install) &&
    "$python" -m ensurepip
}

if ! steps >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  trap - EXIT
  echo "musl CPython build for $arch failed: kept $build" >&2
  exit 1
fi
touch "$done_mark"
echo "$python"
