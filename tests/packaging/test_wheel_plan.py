"""scripts/release/wheel_plan.py: what each wheel is built from and what it is called."""
import os
import platform
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SCRIPT = REPO / "scripts" / "release" / "wheel_plan.py"
sys.path.insert(0, str(SCRIPT.parent))
try:
    import wheel_plan
    from wheel_plan import Platform
finally:
    sys.path.pop(0)


def plan(*args):
    return subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True, timeout=60)


def makefile_targets():
    out = subprocess.run(["make", "-s", "--no-print-directory", "-C", str(REPO),
                          "--eval=targets: ; @echo $(WHEEL_TARGETS)", "targets"],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


class TestTargets:
    def test_every_target_the_makefile_builds_has_its_headers_named(self):
        targets = makefile_targets()
        planned = wheel_plan.parse_targets(targets)
        assert sum(map(len, planned.values())) == len(targets) == 24
        for versions in planned.values():
            packages = wheel_plan.debs(versions)
            for version in versions:
                base = version.removesuffix("t")
                assert base == wheel_plan.LOCAL_ONLY or any(p.startswith(f"libpython{base}-dev/") for p in packages)

    def test_grouped_by_platform_in_order_each_once(self):
        planned = wheel_plan.parse_targets(["3.14/x86_64-musl", "3.11/aarch64", "3.14t/x86_64-musl",
                                            "3.14/x86_64-musl"])
        assert [(p.name, v) for p, v in planned.items()] == [("x86_64-musl", ["3.14", "3.14t"]),
                                                              ("aarch64", ["3.11"])]

    def test_on_the_command_line_a_line_a_platform_and_a_bad_target_named(self):
        result = plan("targets", "3.11/x86_64", "3.12/x86_64", "3.13/aarch64-musl")
        assert (result.returncode, result.stdout) == (0, "x86_64 3.11 3.12\naarch64-musl 3.13\n")
        for bad in "3.10/x86_64", "3.14/arm64", "3.14", "3.13t/x86_64", "3.14/x86_64-gnu":
            result = plan("targets", "3.11/x86_64", bad)
            assert result.returncode == 2 and result.stdout == "", bad
            assert result.stderr.startswith(f"unknown target {bad}: VERSION/ARCH or VERSION/ARCH-musl"), bad


class TestNames:
    def test_packages_the_libraries_first_and_a_libpython_per_base_version(self):
        assert wheel_plan.debs(["3.12", "3.14", "3.14t", "3.11"]) == [
            "libssl-dev/bookworm", "libutf8proc-dev/bookworm", "libpython3.14-dev/sid", "libpython3.11-dev/bookworm"]
        assert plan("debs", "aarch64-musl", "3.13").stdout == \
            "arm64 libssl-dev/bookworm libutf8proc-dev/bookworm libpython3.13-dev/trixie\n"

    @pytest.mark.parametrize("name, version, soabi, tag, zig", [
        ("x86_64", "3.14t", "cpython-314t-x86_64-linux-gnu", "cp314-cp314t-manylinux_2_28_x86_64",
         "x86_64-linux-gnu.2.28"),
        ("aarch64-musl", "3.11", "cpython-311-aarch64-linux-musl", "cp311-cp311-musllinux_1_2_aarch64",
         "aarch64-linux-musl"),
    ])
    def test_module_wheel_and_compiler_target(self, name, version, soabi, tag, zig):
        target = Platform.parse(name)
        assert (wheel_plan.soabi(target, version), wheel_plan.wheel_tag(target, version), target.zig_target) == \
            (soabi, tag, zig)
        assert plan("wheel", name, version).stdout == f"{soabi} {tag}\n"

    @pytest.mark.skipif(platform.machine() not in wheel_plan.DEBIAN_ARCH or sys.platform != "linux",
                        reason="a Linux machine of a supported architecture")
    def test_this_interpreter_would_load_the_module_and_install_the_wheel(self):
        """Cross-checked with CPython's own name for its modules and pip's list of the tags it takes
        (glibc here is 2.28 or newer)."""
        tags = pytest.importorskip("packaging.tags")
        here = Platform(platform.machine(), musl=False)
        version = "%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
        assert wheel_plan.soabi(here, version) == sysconfig.get_config_var("SOABI")
        assert wheel_plan.wheel_tag(here, version) in {str(tag) for tag in tags.sys_tags()}


def write(path, text, mtime=1_000_000_000):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    os.utime(path, (mtime, mtime))
    return path


@pytest.fixture()
def packages(tmp_path):
    """Debian's -dev packages as unpacked, for amd64, with what the flattening reads."""
    root = tmp_path / "debs"
    ssl, utf8proc, dev = root / "ssl", root / "utf8proc", root / "python"
    write(ssl / "usr/include/openssl/sha.h", "sha")
    write(ssl / "usr/include/openssl/configuration.h", "generic")
    write(ssl / "usr/include/x86_64-linux-gnu/openssl/configuration.h", "amd64")
    write(ssl / "usr/lib/x86_64-linux-gnu/libcrypto.a", "crypto")
    write(utf8proc / "usr/include/utf8proc.h", "utf8proc")
    write(utf8proc / "usr/lib/x86_64-linux-gnu/libutf8proc.a", "utf8proc library")
    write(dev / "usr/include/python3.14/Python.h", "Python.h")
    # Debian's pyconfig.h picks the architecture's; a link into the cache, which must stay as it is.
    (dev / "usr/include/python3.14/pyconfig.h").symlink_to(write(root / "wrapper.h", "wrapper"))
    write(dev / "usr/include/x86_64-linux-gnu/python3.14/pyconfig.h", "#define SIZEOF_LONG 8\n", mtime=2_000_000_000)
    write(tmp_path / "local312/Python.h", "Python.h 3.12")
    return {"libssl-dev": ssl, "libutf8proc-dev": utf8proc, "libpython3.14-dev": dev}


class TestFlatten:
    def test_libraries_and_headers_in_one_tree_with_their_packages_times(self, packages, tmp_path):
        out = tmp_path / "deps"
        write(out / "python3.14/stale.h", "from a build before")
        local = tmp_path / "local312"
        headers = wheel_plan.flatten(out, Platform.parse("x86_64-musl"), ["3.14", "3.14t", "3.12"], packages,
                                     lambda: local)
        assert headers == ";".join(f"cpython-{tag}-x86_64-linux-musl={out}/python{version}"
                                   for tag, version in [("314", "3.14"), ("314t", "3.14t"), ("312", "3.12")])
        # The architecture's headers over the generic ones, from glibc's directories for musl too.
        assert (out / "include/openssl/configuration.h").read_text() == "amd64"
        assert (out / "include/openssl/sha.h").stat().st_mtime == 1_000_000_000
        assert sorted(p.name for p in (out / "lib").iterdir()) == ["libcrypto.a", "libutf8proc.a"]
        assert (out / "include/utf8proc.h").exists()
        assert not (out / "python3.14/stale.h").exists()
        assert (out / "python3.14/pyconfig.h").read_text() == "#define SIZEOF_LONG 8\n"
        assert not (out / "python3.14/pyconfig.h").is_symlink()
        assert (tmp_path / "debs/wrapper.h").read_text() == "wrapper"
        # The free-threaded build's: one macro more, and the package's time, so ninja rebuilds it
        # only when the package changes.
        free_threaded = out / "python3.14t/pyconfig.h"
        assert free_threaded.read_text() == "#define SIZEOF_LONG 8\n#define Py_GIL_DISABLED 1\n"
        assert free_threaded.stat().st_mtime == 2_000_000_000
        assert (out / "python3.14t/pyconfig.h.gil").read_text() == "#define SIZEOF_LONG 8\n"
        assert (out / "python3.12/Python.h").read_text() == "Python.h 3.12"

    def test_no_local_312_asked_for_without_312(self, packages, tmp_path):
        def fail():
            raise AssertionError("3.12's headers looked for")

        wheel_plan.flatten(tmp_path / "deps", Platform.parse("x86_64"), ["3.14"], packages, fail)


class TestMuslSymbols:
    def test_the_names_defined_for_every_architecture_once(self):
        source = "\n".join([
            "#ifdef PTR64", ".globl malloc", ".type malloc, %function;", "malloc:",
            "WEAK64 fstat64", "WEAKTIME64 __clock_gettime64", ".weak environ",
            "#else", ".globl malloc", "#endif", "  .globl indented", ".globl"])
        assert wheel_plan.musl_symbols(source) == ["__clock_gettime64", "environ", "fstat64", "malloc"]

    def test_zigs_source_names_what_the_module_calls(self):
        """The file the build reads, where the cache holds zig: the functions the static libraries'
        parts that the module keeps call are among the names."""
        cache = Path(os.environ.get("TOLVANE_CACHE", "/var/cache/tolvane" if os.getuid() == 0 else
                                    Path.home() / ".cache/tolvane"))
        sources = sorted(cache.glob("wheels/ziglang-*/ziglang/lib/libc/musl/libc.S"))
        if not sources:
            pytest.skip("no zig in the cache: `make wheels` fetches it")
        names = set(wheel_plan.musl_symbols(sources[-1].read_text()))
        assert {"getenv", "memcpy", "malloc", "realloc", "free", "__stack_chk_fail"} <= names
        assert len(names) > 1000
