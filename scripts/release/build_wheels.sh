#!/usr/bin/env bash
# Builds manylinux_2_28 and musllinux_1_2 wheels of the module into DIST:
#
#   scripts/release/build_wheels.sh PYTHON DIST TARGET...
#
# TARGET is VERSION/ARCH for a manylinux wheel, VERSION/ARCH-musl for a musllinux one: VERSION
# 3.11 to 3.15, or 3.14t (free-threaded); ARCH x86_64 or aarch64.
# PYTHON runs the build tools (scikit-build-core for the metadata, auditwheel, pyelftools).
#
# docs/release.md traces the pipeline. What each wheel is built from and called is decided by
# wheel_plan.py; this script fetches what it names, compiles, and packs, each step timed:
# - zig (from PyPI) compiles, for glibc 2.28 or musl on either architecture from this one
#   machine, and links its C++ runtime (libc++) into the module, so that a wheel needs nothing
#   from the system but the C library. The core builds once per platform, the binding layer once
#   per interpreter, from headers alone (no target interpreter runs).
# - Debian's packages (headers, static libcrypto and utf8proc) are fetched by an apt-get of our
#   own (scripts/lib/debian.sh), never installed; their index is read anew once a week.
# - pack_wheel.py checks each module and packs it.
# zig, the packages and zig's builds of its runtimes are kept in $TOLVANE_CACHE/wheels.
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,7s/^# \{0,3\}//p' "$0" >&2; exit 2; }
python=$1 dist=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")
source "$repo/scripts/lib/debian.sh"
cache=$TOLVANE_CACHE/wheels
build=$repo/build/wheels
ZIG_VERSION=0.17.0

plan() { "$python" "$here/wheel_plan.py" "$@"; }
targets=$(plan targets "$@")  # a line per platform: PLATFORM VERSION...

zig_fetch() {
  zig=$cache/ziglang-$ZIG_VERSION/ziglang/zig
  { [ -x "$zig" ] || "$python" -m pip install -q --target "$cache/ziglang-$ZIG_VERSION" "ziglang==$ZIG_VERSION"; } &&
    export ZIG_GLOBAL_CACHE_DIR=$cache/zig-cache
}

# fetch_debs DEBIAN_ARCH PACKAGE/SUITE...: unpacks the suite's current version of each package for
# the architecture into the cache, unless it is there, and prints PACKAGE=DIRECTORY for each.
fetch_debs() {
  local arch=$1 spec specs=() uris package suite file dir
  shift
  printf 'deb [arch=amd64,arm64] %s %s main\n' "$DEBIAN_MIRROR" bookworm "$DEBIAN_MIRROR" trixie \
    "$DEBIAN_MIRROR" sid >"$cache/apt/sources.list" || return
  if [ -z "$(find "$cache/apt/lists" -name '*_Packages*' -mtime -7 2>/dev/null | head -n 1)" ]; then
    apt_private "$cache/apt" update >&2 || return
  fi
  for spec in "$@"; do specs+=("${spec%/*}:$arch/${spec#*/}"); done
  uris=$(apt_private "$cache/apt" download --print-uris "${specs[@]}") && mkdir -p "$cache/debs" || return
  for spec in "$@"; do
    package=${spec%/*} suite=${spec#*/}
    file=$(awk -v prefix="${package}_" 'index($2, prefix) == 1 { print $2 }' <<<"$uris")
    [ -n "$file" ] || { echo "no $package for $arch in Debian $suite" >&2; return 1; }
    dir=$cache/debs/${file%.deb}
    if [ ! -d "$dir" ]; then
      (cd "$cache/debs" && apt_private "$cache/apt" -q download "$package:$arch/$suite" >/dev/null) &&
        dpkg-deb -x "$cache/debs/$file" "$dir.partial" && mv "$dir.partial" "$dir" && rm "$cache/debs/$file" ||
        return
    fi
    echo "$package=$dir"
  done
}

# deps PLATFORM VERSION...: the packages wheel_plan.py names, flattened by it into
# $build/PLATFORM/deps; sets headers to TOLVANE_PYTHON_HEADERS for those interpreters.
deps() {
  local specs unpacked
  mkdir -p "$cache/apt" &&
    specs=$(plan debs "$@") &&
    unpacked=$(fetch_debs $specs) &&
    headers=$(plan headers "$build/$1/deps" "$@" $unpacked)
}

# compile PLATFORM HEADERS: the core and a module per interpreter, in $build/PLATFORM.
compile() {
  mkdir -p "$build/$1" &&
    compile_steps "$@" >"$build/$1/build.log" 2>&1 || { tail -n 40 "$build/$1/build.log" >&2; return 1; }
}

compile_steps() {
  local dir=$build/$1 target tool command
  target=$(plan zig-target "$1") && mkdir -p "$dir/bin" || return
  # CMake takes a compiler as one program: zig's drivers are wrapped.
  for tool in c++ ar ranlib; do
    command="$zig $tool"
    [ "$tool" != c++ ] || command+=" -target $target"
    printf '#!/bin/sh\nexec %s "$@"\n' "$command" >"$dir/bin/$tool" && chmod +x "$dir/bin/$tool" || return
  done
  # A compiler launcher such as ccache (CI sets one) knows a compiler by its file's time by default:
  # these wrappers are made anew in each clone, so it is told to go by their text instead.
  export CCACHE_COMPILERCHECK=content
  # zig compiles with frame pointers and debug information, and passes -O3 on to clang as -O2,
  # unless told otherwise: without frame pointers and at -O3, as GCC builds ours, the engine's own
  # code runs 13% fewer instructions. The module is stripped, as pip's builds are.
  cmake -S "$repo" -B "$dir/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="-g0 -fomit-frame-pointer -Xclang -O3" -DCMAKE_MODULE_LINKER_FLAGS=-s \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="${1%-musl}" \
    -DCMAKE_CXX_COMPILER="$dir/bin/c++" -DCMAKE_AR="$dir/bin/ar" -DCMAKE_RANLIB="$dir/bin/ranlib" \
    -DCMAKE_FIND_ROOT_PATH="$dir/deps" -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
    -DOPENSSL_ROOT_DIR=/ \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_STATIC_DEPS=ON \
    -DTOLVANE_PYTHON_HEADERS="$2" &&
    cmake --build "$dir/cmake" -j2
}

# package PLATFORM VERSION: the module, checked and packed by pack_wheel.py, a musl one against the
# names musl's libc.so defines.
package() {
  local names soabi tag module musl=()
  names=$(plan wheel "$1" "$2") && read -r soabi tag <<<"$names" || return
  [[ $1 != *-musl ]] || musl=("$build/musl-symbols.txt")
  module=$(echo "$build/$1/cmake/modules/$soabi"/tolvane.*.so)
  "$python" "$here/pack_wheel.py" "$build/metadata/METADATA" "$module" "$tag" "$dist" "${musl[@]}" >/dev/null
}

metadata() {
  plan metadata "$build/metadata" 2>"$build/metadata.log" || { cat "$build/metadata.log" >&2; return 1; }
}

mkdir -p "$build" "$dist"
step "zig $ZIG_VERSION" zig_fetch
step "metadata" metadata
plan musl-symbols "$(dirname "$zig")/lib/libc/musl/libc.S" >"$build/musl-symbols.txt"
while read -r platform line <&3; do
  read -r -a versions <<<"$line"
  step "$platform: Debian packages and headers" deps "$platform" "${versions[@]}"
  step "$platform: core and ${#versions[@]} modules (${versions[*]})" compile "$platform" "$headers"
  for version in "${versions[@]}"; do
    step "$platform: wheel for $version" package "$platform" "$version"
  done
done 3<<<"$targets"
ls -l "$dist"/*.whl
