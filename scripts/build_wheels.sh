#!/usr/bin/env bash
# Builds manylinux_2_28 and musllinux_1_2 wheels of the module into DIST:
#
#   scripts/build_wheels.sh PYTHON DIST TARGET...
#
# TARGET is VERSION/ARCH for a manylinux wheel, VERSION/ARCH-musl for a musllinux one: VERSION
# 3.11 to 3.15, or 3.14t (free-threaded); ARCH x86_64 or aarch64.
# PYTHON runs the build tools (scikit-build-core for the metadata, auditwheel, pyelftools).
#
# zig compiles: it targets glibc 2.28, or musl, on either architecture from this one machine and
# links its C++ runtime (libc++) into the module, so a wheel needs nothing from the system but the
# C library. The core builds once per architecture and C library, the binding layer once per
# interpreter, from headers alone (no target interpreter runs):
# - 3.11, 3.13, 3.14, 3.15: Debian's libpythonX.Y-dev of the architecture (bookworm, trixie, sid);
# - 3.12, which Debian no longer carries: a local CPython 3.12's headers for both architectures
#   (the x86_64 and aarch64 pyconfig.h differ only in macros the public headers do not use);
# - 3.14t: the 3.14 headers with Py_GIL_DISABLED, the one macro in which a free-threaded
#   build's pyconfig.h differs for an extension.
# The musl modules use the same headers: what differs between glibc's and musl's builds of an
# interpreter is its extension suffix (cpython-314-x86_64-linux-musl.so), not its C API.
# libcrypto (its SHA-256 code) and utf8proc are linked in statically from Debian 12's -dev
# packages of the architecture, into the musl modules too: built for glibc, the parts the module
# keeps call nothing but getenv, memcpy, malloc, realloc, free and __stack_chk_fail, which musl
# has alike, and every symbol a musl module imports is checked against musl's (zig's list of
# them) before packing.
# zig (from PyPI), Debian's packages and zig's builds of its runtimes are kept in
# $TOLVANE_CACHE/wheels; each step prints its time.
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,7s/^# \{0,3\}//p' "$0" >&2; exit 2; }
python=$1 dist=$2
shift 2
repo=$(cd "$(dirname "$0")/.." && pwd)
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")
source "$repo/scripts/cache.sh"
cache=$TOLVANE_CACHE/wheels
build=$repo/build/wheels
ZIG_VERSION=0.17.0
GLIBC=2.28
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
# The suite whose libpythonX.Y-dev gives each version's headers.
declare -A SUITE=([3.11]=bookworm [3.13]=trixie [3.14]=sid [3.15]=sid)
declare -A DEBIAN_ARCH=([x86_64]=amd64 [aarch64]=arm64)
# The wheels' platform tags, and the C library each module is built for, per platform: ARCH or
# ARCH-musl.
declare -A PLATFORM_TAG=([x86_64]=manylinux_${GLIBC/./_}_x86_64 [aarch64]=manylinux_${GLIBC/./_}_aarch64
  [x86_64-musl]=musllinux_1_2_x86_64 [aarch64-musl]=musllinux_1_2_aarch64)

timed() {
  local label=$1 start=$SECONDS
  shift
  "$@"
  printf '  %-52s %4ds\n' "$label" $((SECONDS - start))
}

declare -A targets_of  # ARCH or ARCH-musl -> "VERSION ..."
for target in "$@"; do
  version=${target%/*} platform=${target#*/}
  [[ $version =~ ^3\.1[1-5]$|^3\.14t$ && -n ${PLATFORM_TAG[$platform]:-} ]] ||
    { echo "unknown target $target: VERSION/ARCH or VERSION/ARCH-musl, 3.11 to 3.15 or 3.14t, x86_64 or aarch64" >&2
      exit 2; }
  targets_of[$platform]+="$version "
done

# triplet PLATFORM: the target's triplet, as in an extension module's suffix.
triplet() { if [[ $1 == *-musl ]]; then echo "${1%-musl}-linux-musl"; else echo "$1-linux-gnu"; fi; }

zig_fetch() {
  zig=$cache/ziglang-$ZIG_VERSION/ziglang/zig
  [ -x "$zig" ] || "$python" -m pip install -q --target "$cache/ziglang-$ZIG_VERSION" "ziglang==$ZIG_VERSION"
  export ZIG_GLOBAL_CACHE_DIR=$cache/zig-cache
}

# apt-get with a configuration of its own: any suite and architecture, nothing installed. On the
# command line, which overrides the system's settings (a container's may turn off apt's cache).
apt_private() {
  local dir=$cache/apt
  mkdir -p "$dir/lists/partial" "$dir/archives/partial"
  [ -f "$dir/status" ] || : >"$dir/status"
  printf 'deb [arch=amd64,arm64] %s %s main\n' "$mirror" bookworm "$mirror" trixie "$mirror" sid \
    >"$dir/sources.list"
  # The unstable suites' index is kept past its Valid-Until date.
  apt-get -q -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/status" -o Dir::Cache="$dir" \
    -o Dir::Cache::pkgcache=pkgcache.bin -o Dir::Cache::srcpkgcache=srcpkgcache.bin \
    -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root \
    -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false "$@"
}

# fetch_debs ARCH PACKAGE/SUITE...: unpacks the suite's current version of each package for ARCH
# into the cache, unless it is there, and sets unpacked[PACKAGE] to its directory. The index is
# read anew once a week.
declare -A unpacked
fetch_debs() {
  local arch=$1 spec specs=() uris package suite file
  shift
  if [ -z "$(find "$cache/apt/lists" -name '*_Packages*' -mtime -7 2>/dev/null | head -n 1)" ]; then
    apt_private update >&2
  fi
  for spec in "$@"; do specs+=("${spec%/*}:$arch/${spec#*/}"); done
  uris=$(apt_private download --print-uris "${specs[@]}")
  mkdir -p "$cache/debs"
  for spec in "$@"; do
    package=${spec%/*} suite=${spec#*/}
    file=$(awk -v prefix="${package}_" 'index($2, prefix) == 1 { print $2 }' <<<"$uris")
    [ -n "$file" ] || { echo "no $package for $arch in Debian $suite" >&2; return 1; }
    unpacked[$package]=$cache/debs/${file%.deb}
    if [ ! -d "${unpacked[$package]}" ]; then
      (cd "$cache/debs" && apt_private -q download "$package:$arch/$suite" >/dev/null) &&
        dpkg-deb -x "$cache/debs/$file" "${unpacked[$package]}.partial" &&
        mv "${unpacked[$package]}.partial" "${unpacked[$package]}" &&
        rm "$cache/debs/$file"
    fi
  done
}

# deps PLATFORM VERSION...: the static libraries and every interpreter's headers for PLATFORM,
# flattened into $build/PLATFORM/deps; sets headers to TOLVANE_PYTHON_HEADERS for those
# interpreters.
deps() {
  local platform=$1 triplet=${1%-musl}-linux-gnu debian=${DEBIAN_ARCH[${1%-musl}]} out=$build/$1/deps
  shift
  rm -rf "$out"
  mkdir -p "$out/include" "$out/lib"
  local version packages=(libssl-dev/bookworm libutf8proc-dev/bookworm)
  for version in "$@"; do
    [ "${version%t}" = 3.12 ] || packages+=("libpython${version%t}-dev/${SUITE[${version%t}]}")
  done
  fetch_debs "$debian" "${packages[@]}"
  local ssl=${unpacked[libssl-dev]} utf8proc=${unpacked[libutf8proc-dev]}
  # Copied with their times, which change only with the package: ninja rebuilds only then.
  cp -rp "$ssl/usr/include/openssl" "$out/include/"
  cp -p "$ssl/usr/include/$triplet/openssl/"* "$out/include/openssl/"
  cp -p "$utf8proc/usr/include/utf8proc.h" "$out/include/"
  cp -p "$ssl/usr/lib/$triplet/libcrypto.a" "$utf8proc/usr/lib/$triplet/libutf8proc.a" "$out/lib/"
  local list=() base tag
  for version in "$@"; do
    base=${version%t} tag=${version/./}
    if [ "$base" = 3.12 ]; then
      local local_python
      local_python=$("$repo/scripts/find_python.sh" 3.12) ||
        { echo "no CPython 3.12 here for its headers (Debian has none): install one" >&2; return 1; }
      cp -rp "$("$local_python" -c 'import sysconfig; print(sysconfig.get_path("include"))')" \
        "$out/python$version"
    else
      local dev=${unpacked[libpython$base-dev]}
      cp -rp "$dev/usr/include/python$base" "$out/python$version"
      cp -p "$dev/usr/include/$triplet/python$base/pyconfig.h" "$out/python$version/"
    fi
    if [ "$version" != "$base" ]; then
      cp -p "$out/python$version/pyconfig.h" "$out/python$version/pyconfig.h.gil"
      echo '#define Py_GIL_DISABLED 1' >>"$out/python$version/pyconfig.h"
      touch -r "$out/python$version/pyconfig.h.gil" "$out/python$version/pyconfig.h"
    fi
    list+=("cpython-$tag-$(triplet "$platform")=$out/python$version")
  done
  headers=$(IFS=';'; echo "${list[*]}")
}

# compile PLATFORM HEADERS: the core and a module per interpreter, in $build/PLATFORM.
compile() {
  compile_steps "$@" >"$build/$1/build.log" 2>&1 || { tail -n 40 "$build/$1/build.log" >&2; return 1; }
}

compile_steps() {
  local arch=${1%-musl} dir=$build/$1 target tool
  target=$(triplet "$1")
  [[ $1 == *-musl ]] || target+=.$GLIBC
  mkdir -p "$dir/bin"
  # CMake takes a compiler as one program: zig's drivers are wrapped.
  for tool in c++ ar ranlib; do
    local command="$zig $tool"
    [ "$tool" = c++ ] && command+=" -target $target"
    printf '#!/bin/sh\nexec %s "$@"\n' "$command" >"$dir/bin/$tool"
    chmod +x "$dir/bin/$tool"
  done
  # A compiler launcher such as ccache (CI sets one) knows a compiler by its file's time by default:
  # these wrappers are made anew in each clone, so it is told to go by their text instead.
  export CCACHE_COMPILERCHECK=content
  # zig compiles with frame pointers and debug information, and passes -O3 on to clang as -O2,
  # unless told otherwise: without frame pointers and at -O3, as GCC builds ours, the engine's own
  # code runs 13% fewer instructions. The module is stripped, as pip's builds are.
  cmake -S "$repo" -B "$dir/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="-g0 -fomit-frame-pointer -Xclang -O3" -DCMAKE_MODULE_LINKER_FLAGS=-s \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$arch" \
    -DCMAKE_CXX_COMPILER="$dir/bin/c++" -DCMAKE_AR="$dir/bin/ar" -DCMAKE_RANLIB="$dir/bin/ranlib" \
    -DCMAKE_FIND_ROOT_PATH="$dir/deps" -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
    -DOPENSSL_ROOT_DIR=/ \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_STATIC_DEPS=ON \
    -DTOLVANE_PYTHON_HEADERS="$2" &&
    cmake --build "$dir/cmake" -j2
}

# musl_symbols: what musl's libc.so defines, for the musl modules' check: the names in zig's
# source of its stand-in for that library (every architecture's together).
musl_symbols() {
  sed -n 's/^\(\.globl\|\.weak\|WEAK64\|WEAKTIME64\) \([A-Za-z_][A-Za-z0-9_]*\)$/\2/p' \
    "$(dirname "$zig")/lib/libc/musl/libc.S" | sort -u >"$build/musl-symbols.txt"
  [ -s "$build/musl-symbols.txt" ] || { echo "no symbols in zig's musl libc.S" >&2; return 1; }
}

# package PLATFORM VERSION: the wheel, checked by pack_wheel.py; a manylinux one then by
# auditwheel, which must find that it needs no library from outside and no symbol newer than the
# baseline. (With no library to graft in there is nothing to repair, and auditwheel repairs only
# this machine's architecture.)
package() {
  local platform=$1 arch=${1%-musl} version=$2 base=${2%t}
  local module wheel libc=()
  [[ $platform != *-musl ]] || libc=("$build/musl-symbols.txt")
  module=$(echo "$build/$platform/cmake/modules/cpython-${version/./}-$(triplet "$platform")"/tolvane.*.so)
  wheel=$("$python" "$repo/scripts/pack_wheel.py" "$build/metadata/METADATA" "$module" \
            "cp${base/./}-cp${version/./}-${PLATFORM_TAG[$platform]}" "$dist" "${libc[@]}")
  [ ${#libc[@]} = 0 ] || return 0
  "$python" -m auditwheel show --json "$wheel" 2>/dev/null | "$python" -c 'import json, re, sys
report = json.load(sys.stdin)
tag = re.fullmatch(r"manylinux_2_(\d+)_" + sys.argv[1], report["overall_tag"])
if not tag or int(tag[1]) > int(sys.argv[2]) or report["external_libs"]:
    sys.exit(f"auditwheel on {report['"'"'wheel'"'"']}: {report}")' "$arch" "${GLIBC#2.}"
}

metadata() {
  rm -rf "$build/metadata" && mkdir -p "$build/metadata"
  (cd "$repo" && "$python" -c 'import sys
from scikit_build_core.build import prepare_metadata_for_build_wheel as prepare
sys.stdout = sys.stderr
print(prepare(sys.argv[1]))' "$build/metadata") >"$build/metadata.log" 2>&1 ||
    { cat "$build/metadata.log" >&2; return 1; }
  mv "$build/metadata"/*.dist-info/METADATA "$build/metadata/"
}

mkdir -p "$build" "$dist"
timed "zig $ZIG_VERSION" zig_fetch
timed "metadata" metadata
musl_symbols
for platform in "${!targets_of[@]}"; do
  versions=(${targets_of[$platform]})
  timed "$platform: Debian packages and headers" deps "$platform" "${versions[@]}"
  timed "$platform: core and ${#versions[@]} modules (${versions[*]})" compile "$platform" "$headers"
  for version in "${versions[@]}"; do
    timed "$platform: wheel for $version" package "$platform" "$version"
  done
done
ls -l "$dist"/*.whl
