"""What each wheel is built from and what it is called: the decisions of build_wheels.sh, which
fetches, compiles and packs by them (docs/release.md traces the whole pipeline).

    wheel_plan.py targets TARGET...          a line per platform: PLATFORM VERSION...
    wheel_plan.py debs PLATFORM VERSION...   DEBIAN_ARCH PACKAGE/SUITE..., the packages to fetch
    wheel_plan.py headers OUT PLATFORM VERSION... PACKAGE=DIR...
                                             flattens them into OUT; prints TOLVANE_PYTHON_HEADERS
    wheel_plan.py zig-target PLATFORM        what zig compiles for
    wheel_plan.py wheel PLATFORM VERSION     SOABI TAG: the module's build directory, the wheel's tag
    wheel_plan.py musl-symbols LIBC_S        the names musl's libc.so defines, from zig's source
    wheel_plan.py metadata DIR               the project's METADATA, into DIR

TARGET is VERSION/PLATFORM; VERSION 3.11 to 3.15, or 3.14t (free-threaded); PLATFORM x86_64 or
aarch64 for manylinux_2_28, x86_64-musl or aarch64-musl for musllinux_1_2.

The rules:
- Headers come from Debian's libpythonX.Y-dev of the target architecture, of the suite in SUITE;
  3.12, which Debian no longer carries, from a CPython 3.12 on this machine, for both
  architectures (their pyconfig.h differ only in macros the public headers do not use).
- 3.14t is 3.14's headers with Py_GIL_DISABLED defined: the one macro in which a free-threaded
  build's pyconfig.h differs for an extension.
- A musl module uses the same headers as a glibc one: a musl build of an interpreter differs in
  its modules' suffix (cpython-314-x86_64-linux-musl), not in its C API. It links the same
  static libcrypto and utf8proc, Debian 12's glibc builds, whose parts the module keeps call
  only what musl has alike; pack_wheel.py checks every import against musl's names.
- The flattened files keep their packages' times, so that ninja rebuilds only what a new
  package changes, although the directory is made anew each time.
"""
import contextlib
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
VERSIONS = ("3.11", "3.12", "3.13", "3.14", "3.15", "3.14t")
# The suite whose libpythonX.Y-dev gives each version's headers.
SUITE = {"3.11": "bookworm", "3.13": "trixie", "3.14": "sid", "3.15": "sid"}
LOCAL_ONLY = "3.12"
# The static libraries, and the headers they come with.
LIBRARIES = ("libssl-dev/bookworm", "libutf8proc-dev/bookworm")
DEBIAN_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}
GLIBC = "2.28"


@dataclass(frozen=True)
class Platform:
    arch: str
    musl: bool

    @classmethod
    def parse(cls, name):
        arch, musl = name.removesuffix("-musl"), name.endswith("-musl")
        if arch not in DEBIAN_ARCH:
            raise ValueError(f"unknown platform {name}: x86_64, aarch64, x86_64-musl or aarch64-musl")
        return cls(arch, musl)

    @property
    def name(self):
        return self.arch + "-musl" * self.musl

    @property
    def triplet(self):
        """As in an extension module's suffix."""
        return f"{self.arch}-linux-{'musl' if self.musl else 'gnu'}"

    @property
    def zig_target(self):
        return self.triplet if self.musl else f"{self.triplet}.{GLIBC}"

    @property
    def multiarch(self):
        """Debian's directory for the architecture's headers and libraries: glibc's, which the
        packages are built for, whichever C library the module is for."""
        return f"{self.arch}-linux-gnu"

    @property
    def tag(self):
        return f"musllinux_1_2_{self.arch}" if self.musl else f"manylinux_{GLIBC.replace('.', '_')}_{self.arch}"


def parse_targets(targets):
    """{Platform: [VERSION...]} for TARGETs, in the order given, each once."""
    plan = {}
    for target in targets:
        version, _, name = target.partition("/")
        try:
            platform = Platform.parse(name)
        except ValueError:
            platform = None
        if version not in VERSIONS or platform is None:
            raise ValueError(f"unknown target {target}: VERSION/ARCH or VERSION/ARCH-musl, VERSION 3.11 to 3.15"
                             " or 3.14t, ARCH x86_64 or aarch64")
        versions = plan.setdefault(platform, [])
        if version not in versions:
            versions.append(version)
    return plan


def debs(versions):
    """The Debian packages, as PACKAGE/SUITE, that the libraries and the versions' headers come from."""
    packages = dict.fromkeys(LIBRARIES)
    for version in versions:
        base = version.removesuffix("t")
        if base != LOCAL_ONLY:
            packages[f"libpython{base}-dev/{SUITE[base]}"] = None
    return list(packages)


def soabi(platform, version):
    """The interpreter's name in the module's file name, and of the module's build directory."""
    return f"cpython-{version.replace('.', '')}-{platform.triplet}"


def wheel_tag(platform, version):
    return f"cp{version.removesuffix('t').replace('.', '')}-cp{version.replace('.', '')}-{platform.tag}"


def copy_tree(source, target):
    shutil.copytree(source, target, symlinks=True)


def copy_file(source, directory):
    target = Path(directory) / Path(source).name
    target.unlink(missing_ok=True)  # never written through, should it be a link into the cache
    shutil.copy2(source, target)


def flatten(out, platform, versions, unpacked, local_include):
    """The static libraries and every version's headers for PLATFORM, from the unpacked packages
    {PACKAGE: DIR} and, for 3.12, LOCAL_INCLUDE (a callable giving this machine's CPython 3.12
    include directory), in OUT, made anew: include/ and lib/ for the libraries, pythonVERSION/ for
    each interpreter. Returns what CMake's TOLVANE_PYTHON_HEADERS takes: SOABI=DIR;..."""
    out = Path(out).absolute()
    shutil.rmtree(out, ignore_errors=True)
    (out / "lib").mkdir(parents=True)
    (out / "include").mkdir()
    ssl, utf8proc = Path(unpacked["libssl-dev"]), Path(unpacked["libutf8proc-dev"])
    copy_tree(ssl / "usr/include/openssl", out / "include/openssl")
    for header in sorted((ssl / "usr/include" / platform.multiarch / "openssl").iterdir()):
        copy_file(header, out / "include/openssl")
    copy_file(utf8proc / "usr/include/utf8proc.h", out / "include")
    for library in ssl / "usr/lib" / platform.multiarch / "libcrypto.a", \
            utf8proc / "usr/lib" / platform.multiarch / "libutf8proc.a":
        copy_file(library, out / "lib")
    entries = []
    for version in versions:
        base, headers = version.removesuffix("t"), out / f"python{version}"
        if base == LOCAL_ONLY:
            copy_tree(local_include(), headers)
        else:
            dev = Path(unpacked[f"libpython{base}-dev"])
            copy_tree(dev / f"usr/include/python{base}", headers)
            copy_file(dev / "usr/include" / platform.multiarch / f"python{base}/pyconfig.h", headers)
        if version != base:
            pyconfig = headers / "pyconfig.h"
            shutil.copy2(pyconfig, headers / "pyconfig.h.gil")
            with pyconfig.open("a") as stream:
                stream.write("#define Py_GIL_DISABLED 1\n")
            shutil.copystat(headers / "pyconfig.h.gil", pyconfig)
        entries.append(f"{soabi(platform, version)}={headers}")
    return ";".join(entries)


def local_312_include():
    found = subprocess.run([REPO / "scripts/dev/find_python.sh", LOCAL_ONLY], capture_output=True, text=True,
                           timeout=60)
    if found.returncode != 0:
        sys.exit("no CPython 3.12 here for its headers (Debian has none): install one")
    return subprocess.run([found.stdout.strip(), "-c", "import sysconfig; print(sysconfig.get_path('include'))"],
                          capture_output=True, text=True, check=True, timeout=60).stdout.strip()


def musl_symbols(libc_s):
    """The names in zig's source of its stand-in for musl's libc.so (every architecture's)."""
    names = re.findall(r"^(?:\.globl|\.weak|WEAK64|WEAKTIME64) ([A-Za-z_][A-Za-z0-9_]*)$", libc_s, re.M)
    return sorted(set(names))


def metadata(directory):
    """The build backend's METADATA for the project, as DIR/METADATA; its messages to stderr."""
    from scikit_build_core.build import prepare_metadata_for_build_wheel

    directory = Path(directory).resolve()
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    os.chdir(REPO)
    with contextlib.redirect_stdout(sys.stderr):
        dist_info = prepare_metadata_for_build_wheel(str(directory))
    (directory / dist_info / "METADATA").rename(directory / "METADATA")


def versions_of(words):
    if not words or any(word not in VERSIONS for word in words):
        raise ValueError(f"VERSION... from {' '.join(VERSIONS)}, not '{' '.join(words)}'")
    return words


def main(command=None, *args):
    """The command line: see the top of this file. A wrong one fails with status 2."""
    try:
        if command == "targets" and args:
            for platform, versions in parse_targets(args).items():
                print(platform.name, *versions)
        elif command == "debs":
            print(DEBIAN_ARCH[Platform.parse(args[0]).arch], *debs(versions_of(args[1:])))
        elif command == "headers":
            versions = versions_of([arg for arg in args[2:] if "=" not in arg])
            unpacked = dict(arg.split("=", 1) for arg in args[2:] if "=" in arg)
            print(flatten(args[0], Platform.parse(args[1]), versions, unpacked, local_312_include))
        elif command == "zig-target" and len(args) == 1:
            print(Platform.parse(args[0]).zig_target)
        elif command == "wheel" and len(args) == 2:
            platform, [version] = Platform.parse(args[0]), versions_of(args[1:])
            print(soabi(platform, version), wheel_tag(platform, version))
        elif command == "musl-symbols" and len(args) == 1:
            names = musl_symbols(Path(args[0]).read_text())
            if not names:
                sys.exit(f"no symbols in {args[0]}")
            print(*names, sep="\n")
        elif command == "metadata" and len(args) == 1:
            metadata(args[0])
        else:
            raise ValueError("usage:\n" + __doc__.split("\n\n")[1])
    except (ValueError, IndexError) as error:
        sys.stderr.write(f"{error}\n")
        sys.exit(2)


if __name__ == "__main__":
    main(*sys.argv[1:])
