"""The repository's scripts: the Makefile's system-package and interpreter steps, the wheel
builder's checks of a module and a wheel, the commit-subject hook. These need the repository and pytest, not
the module."""
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
# A copy of the tree run elsewhere (a Debian root under qemu) may have no git.
needs_git = pytest.mark.skipif(shutil.which("git") is None, reason="no git here")
SYSTEM_PACKAGES = REPO / "scripts" / "dev" / "system_packages.sh"


class FakeDebian:
    """dpkg-query, id and apt-get stand-ins on PATH: a set of installed packages, a uid, a log."""

    def __init__(self, tmp_path, installed, uid):
        self.bin = tmp_path / "bin"
        self.bin.mkdir()
        self.apt_log = tmp_path / "apt-get.log"
        # The interpreter's own venv and -dev packages count as installed: these cases are about
        # the packages named on the command line, whichever interpreter runs the tests.
        listed = " ".join(installed)
        self._stub("dpkg-query", f"""
            package=${{@: -1}}
            case " {listed} " in *" $package "*) printf 'ii ' ;; *) ;; esac
            case $package in python3.*-venv|python3.*-dev) printf 'ii ' ;; esac""")
        self._stub("id", f"echo {uid}")
        self._stub("apt-get", f'echo "$*" >> {self.apt_log}')

    def _stub(self, name, body):
        path = self.bin / name
        path.write_text("#!/bin/bash\n" + textwrap.dedent(body).strip() + "\n")
        path.chmod(0o755)

    def run(self, *packages):
        env = dict(os.environ, PATH=f"{self.bin}:{os.environ['PATH']}")
        return subprocess.run(["bash", str(SYSTEM_PACKAGES), sys.executable, *packages],
                              env=env, capture_output=True, text=True, timeout=60)

    def apt_calls(self):
        return self.apt_log.read_text().splitlines() if self.apt_log.exists() else []


class TestSystemPackages:
    def test_as_root_installs_only_what_is_missing(self, tmp_path):
        debian = FakeDebian(tmp_path, installed=["g++", "cmake"], uid=0)
        result = debian.run("g++", "graphviz", "cmake", "libutf8proc-dev")
        assert result.returncode == 0, result.stderr
        assert debian.apt_calls() == ["update -qq", "install -y -qq graphviz libutf8proc-dev"]

    def test_without_root_names_the_command_and_installs_nothing(self, tmp_path):
        debian = FakeDebian(tmp_path, installed=["g++"], uid=1000)
        result = debian.run("g++", "graphviz", "libutf8proc-dev")
        assert result.returncode != 0
        assert "apt-get install -y graphviz libutf8proc-dev" in result.stderr
        assert debian.apt_calls() == []

    @pytest.mark.parametrize("uid", [0, 1000])
    def test_nothing_missing_is_a_silent_no_op(self, tmp_path, uid):
        debian = FakeDebian(tmp_path, installed=["g++", "graphviz"], uid=uid)
        result = debian.run("g++", "graphviz")
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
        assert debian.apt_calls() == []


RUNNING = "%d.%d" % sys.version_info[:2]
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
TAG = RUNNING + ("t" if FREE_THREADED else "")


def find_python(wanted, env=None):
    return subprocess.run(["bash", str(REPO / "scripts" / "dev" / "find_python.sh"), wanted],
                          capture_output=True, text=True, timeout=60, env=env)


def version_of(python):
    return subprocess.run([python, "-c", "import sys; print(sys.version_info[:2])"],
                          capture_output=True, text=True, timeout=60).stdout.strip()


class TestFindPython:
    def test_the_running_version_is_found(self):
        found = find_python(TAG)
        assert found.returncode == 0, found.stderr
        assert version_of(found.stdout.strip()) == str(sys.version_info[:2])

    def test_an_absent_version_or_build_is_not_found(self, tmp_path):
        # The running interpreter named as the other build (free-threaded or not) is not taken.
        other = RUNNING + ("" if FREE_THREADED else "t")
        (tmp_path / f"python{other}").symlink_to(sys.executable)
        env = dict(os.environ, PATH=f"{tmp_path}:/usr/bin:/bin", PYENV_ROOT="/nonexistent",
                   TOLVANE_CACHE="/nonexistent")
        for absent in ("3.99", "python3.99", other):
            result = find_python(absent, env)
            assert (result.returncode, result.stdout) == (1, ""), absent

    def test_a_name_that_does_not_run_falls_back_to_pyenv(self, tmp_path):
        # pyenv's shim for a version that is installed but not selected fails with 127.
        shims = tmp_path / "shims"
        shims.mkdir()
        shim = shims / f"python{TAG}"
        shim.write_text(f"#!/bin/sh\necho 'pyenv: python{TAG}: command not found' >&2\nexit 127\n")
        shim.chmod(0o755)
        installed = tmp_path / "pyenv" / "versions" / f"{RUNNING}.99{TAG[len(RUNNING):]}" / "bin"
        installed.mkdir(parents=True)
        (installed / f"python{TAG}").symlink_to(sys.executable)
        env = dict(os.environ, PATH=f"{shims}:/usr/bin:/bin", PYENV_ROOT=str(tmp_path / "pyenv"),
                   TOLVANE_CACHE="/nonexistent")
        found = find_python(f"python{TAG}", env=env)
        assert (found.returncode, found.stdout.strip()) == (0, str(installed / f"python{TAG}"))


@pytest.mark.skipif(not (REPO / "Makefile").exists(), reason="needs the repository's Makefile")
class TestMakefileInterpreter:
    """`make PYTHON=...`: each interpreter has its own venv and build; a venv made by another
    interpreter is refused with what to do, never used."""

    @pytest.fixture()
    def tree(self, tmp_path):
        for name in ("Makefile", "requirements-dev.txt"):
            (tmp_path / name).write_bytes((REPO / name).read_bytes())
        shutil.copytree(REPO / "scripts", tmp_path / "scripts")
        return tmp_path

    @staticmethod
    def make(tree, *args):
        return subprocess.run(["make", "--no-print-directory", "-C", str(tree), *args],
                              capture_output=True, text=True, timeout=120)

    def test_another_interpreter_gets_its_own_venv_and_build(self, tree):
        result = self.make(tree, "-n", "module", f"PYTHON={sys.executable}")
        assert result.returncode == 0, result.stderr
        assert f"-m venv build/py{TAG}/venv\n" in result.stdout
        assert f"build-dir=build/py{TAG}/module " in result.stdout

    def test_a_venv_made_by_another_interpreter_is_refused(self, tree):
        venv = tree / "build" / f"py{TAG}" / "venv"
        venv.mkdir(parents=True)
        config = venv / "pyvenv.cfg"
        config.write_text(f"executable = {os.path.realpath(sys.executable)}\n")
        assert self.make(tree, "interpreter", f"PYTHON={sys.executable}").returncode == 0
        config.write_text("home = /elsewhere\nexecutable = /elsewhere/bin/python3.9\n")
        refused = self.make(tree, "interpreter", f"PYTHON={sys.executable}")
        assert refused.returncode != 0
        assert f"build/py{TAG}/venv was made by /elsewhere/bin/python3.9" in refused.stderr
        assert f"rm -rf build/py{TAG}/venv" in refused.stderr

    def test_an_interpreter_that_is_not_there_is_named(self, tree):
        result = self.make(tree, "interpreter", "PYTHON=python3.99")
        assert result.returncode != 0
        assert "PYTHON=python3.99: no such CPython" in result.stderr


@pytest.fixture(scope="module")
def module_faults():
    pytest.importorskip("elftools", reason="pyelftools comes with auditwheel")
    if shutil.which("g++") is None:
        pytest.skip("needs g++")
    sys.path.insert(0, str(REPO / "scripts" / "release"))
    try:
        import pack_wheel
    finally:
        sys.path.pop(0)
    return pack_wheel.module_faults


class TestWheelModuleCheck:
    """scripts/release/pack_wheel.py refuses a module that some manylinux_2_28 system could not load."""

    @staticmethod
    def build(tmp_path, source, *flags):
        (tmp_path / "m.cpp").write_text(textwrap.dedent(source))
        library = tmp_path / "m.so"
        subprocess.run(["g++", "-shared", "-fPIC", "-O1", "-o", library, tmp_path / "m.cpp",
                        *flags], check=True, timeout=120)
        return library

    def test_a_module_that_needs_only_old_glibc_and_exports_its_entry_passes(
            self, module_faults, tmp_path):
        library = self.build(tmp_path, """
            #include <stdlib.h>
            extern "C" void* PyLong_FromLong(long);
            extern "C" __attribute__((visibility("default"))) void* PyInit_tolvane() {
              return PyLong_FromLong(labs(random()));
            }""", "-fvisibility=hidden")
        assert module_faults(library) == []

    def test_every_fault_is_named(self, module_faults, tmp_path):
        # gettid is glibc 2.30's; `nowhere` is in no library, so nothing binds it to a version;
        # `exported` is a second entry point; iostream brings the system's C++ runtime.
        library = self.build(tmp_path, """
            #include <unistd.h>
            #include <iostream>
            extern "C" void nowhere();
            extern "C" long exported() { nowhere(); std::cout << 1; return gettid(); }
            extern "C" long PyInit_tolvane() { return exported(); }""")
        faults = module_faults(library)
        assert "links libstdc++.so.6" in faults
        assert "needs GLIBC_2.30" in faults
        assert any(fault.startswith("needs GLIBCXX_") for fault in faults)
        assert "imports nowhere bound to no version" in faults
        assert "exports exported" in faults
        assert "exports PyInit_tolvane" not in faults

    # A module made for musl: linked against a library named as musl's is, with no C runtime.
    MUSL_LIKE = """
        extern "C" unsigned long getauxval(unsigned long);
        extern "C" void* PyLong_FromLong(long);
        extern "C" __attribute__((visibility("default"))) void* PyInit_tolvane() {
          return PyLong_FromLong(getauxval(6));
        }"""

    def musl_like(self, tmp_path, *flags):
        libc = tmp_path / "libc.so"
        (tmp_path / "libc.cpp").write_text('extern "C" unsigned long getauxval(unsigned long) { return 0; }\n')
        subprocess.run(["g++", "-shared", "-fPIC", "-nostdlib", "-Wl,-soname,libc.so", "-o", libc,
                        tmp_path / "libc.cpp"], check=True, timeout=120)
        return self.build(tmp_path, self.MUSL_LIKE, "-fvisibility=hidden", "-nostdlib", libc, *flags)

    def test_a_module_that_needs_only_musls_libc_passes_for_musl(self, module_faults, tmp_path):
        library = self.musl_like(tmp_path)
        assert module_faults(library, {"getauxval", "malloc"}) == []
        # The same module where musl would lack getauxval.
        assert module_faults(library, {"malloc"}) == ["imports getauxval, which musl lacks"]

    def test_relr_relocations_are_refused_for_either_c_library(self, module_faults, tmp_path):
        # A pointer to a function in data: a relative relocation, packed by the linker on request.
        source = self.MUSL_LIKE + """
            extern "C" __attribute__((visibility("default"))) void* (*entry)() = PyInit_tolvane;"""
        library = self.build(tmp_path, source, "-fvisibility=hidden", "-Wl,-z,pack-relative-relocs")
        sections = subprocess.run(["readelf", "-S", library], capture_output=True, text=True, check=True,
                                  timeout=60).stdout
        if ".relr.dyn" not in sections:
            pytest.skip(f"this linker does not pack relative relocations on {platform.machine()}")
        assert "has RELR relocations" in module_faults(library)
        assert "has RELR relocations" in module_faults(library, {"getauxval"})

    def test_every_musl_fault_is_named(self, module_faults, tmp_path):
        # Built against glibc: its libraries, their symbol versions, and glibc-only imports.
        library = self.build(tmp_path, """
            #include <iostream>
            extern "C" long exported() { std::cout << 1; return 0; }
            extern "C" long PyInit_tolvane() { return exported(); }""")
        faults = module_faults(library, {"malloc"})
        assert {"links libstdc++.so.6", "links libc.so.6", "exports exported"} <= set(faults)
        assert any(fault.startswith("needs GLIBC_") for fault in faults)
        assert any(fault.startswith("needs GLIBCXX_") for fault in faults)
        assert any(fault.endswith(", which musl lacks") for fault in faults)


WHEELS = sorted((REPO / "dist").glob("tolvane-*.whl"))
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}


@pytest.mark.skipif(not WHEELS, reason="no wheels in dist/: `make wheels` first")
@pytest.mark.parametrize("wheel", WHEELS, ids=lambda path: path.name)
def test_a_built_wheel_is_tagged_for_its_module(wheel, module_faults, tmp_path):
    """What `make wheels` left: the file name's tag is the WHEEL file's; the module is built for
    that interpreter, architecture and C library, and passes the check for that platform."""
    from elftools.elf.elffile import ELFFile  # with pyelftools, which the fixture makes sure of

    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        wheel_file = next(name for name in names if name.endswith(".dist-info/WHEEL"))
        tags = re.findall(r"^Tag: (.+)$", archive.read(wheel_file).decode(), re.M)
        [module] = [name for name in names if name.endswith(".so")]
        archive.extract(module, tmp_path)
    tag = wheel.name[:-len(".whl")].split("-", 2)[2]
    assert tags == [tag]
    python, abi, platform = tag.split("-")
    libc, arch = re.fullmatch(r"(manylinux_2_28|musllinux_1_2)_(x86_64|aarch64)", platform).groups()
    triplet = f"{arch}-linux-{'musl' if libc.startswith('musl') else 'gnu'}"
    assert python == abi.rstrip("t") and re.fullmatch(r"cp31[1-5]t?", abi)
    assert module == f"tolvane.cpython-{abi[2:]}-{triplet}.so"
    with open(tmp_path / module, "rb") as stream:
        elf = ELFFile(stream)
        assert elf["e_machine"] == MACHINES[arch]
        needed = {tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags()
                  if tag.entry.d_tag == "DT_NEEDED"}
    if libc.startswith("musl"):
        assert needed == {"libc.so"}
        symbols = REPO / "build" / "wheels" / "musl-symbols.txt"
        musl = set(symbols.read_text().split()) if symbols.exists() else None
        assert musl is None or module_faults(tmp_path / module, musl) == []
    else:
        assert "libc.so.6" in needed and module_faults(tmp_path / module) == []


@pytest.fixture(scope="module")
def pack_wheel(module_faults):
    """scripts/release/pack_wheel.py, imported (by the module_faults fixture, which checks what it needs)."""
    return sys.modules[module_faults.__module__]


class TestWheelContents:
    """scripts/release/pack_wheel.py packs the companion package beside the module and its stubs."""

    def test_the_wheel_holds_the_companion_and_records_it(self, pack_wheel, tmp_path):
        module = TestWheelModuleCheck.build(tmp_path, """
            extern "C" __attribute__((visibility("default"))) void* PyInit_tolvane() { return 0; }""",
            "-fvisibility=hidden")
        metadata = tmp_path / "METADATA"
        metadata.write_text("Metadata-Version: 2.1\nName: tolvane\nVersion: 9.9\n")
        tag = f"cp311-cp311-manylinux_2_28_{platform.machine()}"
        pack_wheel.main(metadata, module, tag, tmp_path)
        with zipfile.ZipFile(tmp_path / f"tolvane-9.9-{tag}.whl") as wheel:
            names = set(wheel.namelist())
            record = wheel.read("tolvane-9.9.dist-info/RECORD").decode()
        companion = {f"tolvane_io/{path.name}" for path in (REPO / "tolvane_io").iterdir()
                     if path.suffix in (".py", ".typed")}
        assert {"tolvane_io/__init__.py", "tolvane_io/py.typed"} <= companion <= names
        assert all(f"\n{name}," in "\n" + record for name in companion)


def test_auditwheel_must_find_no_newer_glibc_other_machine_or_library_to_graft(pack_wheel):
    def faults(tag, arch, external=()):
        return pack_wheel.auditwheel_faults({"overall_tag": tag, "external_libs": dict.fromkeys(external, "/x")}, arch)

    assert faults("manylinux_2_26_aarch64", "aarch64") == faults("manylinux_2_28_x86_64", "x86_64") == []
    assert faults("manylinux_2_31_x86_64", "x86_64") == ["auditwheel tags it manylinux_2_31_x86_64"]
    assert faults("manylinux_2_17_x86_64", "aarch64") == ["auditwheel tags it manylinux_2_17_x86_64"]
    assert faults("linux_x86_64", "x86_64", ["libstdc++.so.6"]) == [
        "auditwheel tags it linux_x86_64", "auditwheel would graft in libstdc++.so.6"]


class TestCommitSubjectHook:
    """scripts/check_commit_subject.sh, the commit-msg hook: the first line, at most 72 characters."""

    @staticmethod
    def check(tmp_path, message):
        path = tmp_path / "COMMIT_EDITMSG"
        path.write_text(message)
        return subprocess.run(["bash", str(REPO / "scripts" / "check_commit_subject.sh"), str(path)],
                              capture_output=True, text=True, timeout=60)

    def test_a_subject_of_72_passes_whatever_the_body(self, tmp_path):
        result = self.check(tmp_path, "s" * 72 + "\n\n" + "body " * 40 + "\n")
        assert (result.returncode, result.stderr) == (0, "")

    def test_a_subject_of_73_is_refused_with_its_length(self, tmp_path):
        result = self.check(tmp_path, "é" * 73 + "\n")
        assert result.returncode == 1
        assert "commit subject of 73 characters" in result.stderr

    @needs_git
    def test_every_commit_since_a_revision(self, tmp_path):
        def git(*args):
            return subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", *args], cwd=tmp_path,
                                  check=True, capture_output=True, text=True, timeout=60)

        git("init", "-q")
        for subject in "s" * 80, "first", "s" * 72, "é" * 73:
            git("commit", "-q", "--allow-empty", "--no-verify", "-m", subject)
        since = git("rev-list", "--max-count=1", "HEAD~2").stdout.strip()
        result = subprocess.run(["bash", str(REPO / "scripts" / "check_commit_subject.sh"), "--since", since],
                                cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert result.returncode == 1
        assert result.stderr == ("commit subject of 73 characters; at most 72, details in the body:\n"
                                 "  " + "é" * 73 + "\n")

    @needs_git
    def test_make_deps_installs_it_as_the_commit_msg_hook(self):
        hooks = subprocess.run(["git", "rev-parse", "--git-path", "hooks"], cwd=REPO, capture_output=True,
                               text=True, timeout=60).stdout.strip()
        hook = (REPO / hooks / "commit-msg") if hooks else None
        if hook is None or not hook.exists():
            pytest.skip("not a clone whose hooks make deps installed")
        assert "check_commit_subject.sh" in hook.read_text() or "pre-commit" in hook.read_text()


def test_every_script_is_on_the_map():
    """docs/release.md lists the scripts by directory: one added without a row is caught here."""
    text = (REPO / "docs" / "release.md").read_text()
    rows = {line.split("|")[1].strip(" `"): line for line in text.splitlines() if line.startswith("| `scripts/")}
    for script in sorted((REPO / "scripts").rglob("*")):
        if script.is_file() and script.suffix in (".sh", ".py"):
            folder = script.parent.relative_to(REPO).as_posix() + "/"
            assert f"`{script.name}`" in rows.get(folder, ""), f"{script.relative_to(REPO)} is not on the map"
