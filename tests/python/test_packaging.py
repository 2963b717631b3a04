"""Installation: the system-package step of the Makefile, and what an installed wheel loads."""
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tolvane

REPO = Path(__file__).resolve().parents[2]
SYSTEM_PACKAGES = REPO / "scripts" / "system_packages.sh"


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


def test_find_python_finds_the_running_version_and_fails_for_an_absent_one():
    def find(version):
        return subprocess.run(["bash", str(REPO / "scripts" / "find_python.sh"), version],
                              capture_output=True, text=True, timeout=60)

    running = "%d.%d" % sys.version_info[:2]
    found = find(running)
    assert found.returncode == 0, found.stderr
    reported = subprocess.run([found.stdout.strip(), "-c", "import sys; print(sys.version_info[:2])"],
                              capture_output=True, text=True, timeout=60)
    assert reported.stdout.strip() == str(sys.version_info[:2])
    absent = find("3.99")
    assert (absent.returncode, absent.stdout) == (1, "")


def installed_from_repaired_wheel():
    # auditwheel puts the libraries a wheel carries in tolvane.libs beside the module.
    return (Path(tolvane.__file__).parent / "tolvane.libs").is_dir()


# What a manylinux wheel may take from the system; everything else must come with the wheel.
BASE_SYSTEM = {"libc", "libm", "libstdc++", "libgcc_s", "libpthread", "libdl", "ld-linux-x86-64"}


@pytest.mark.skipif(not installed_from_repaired_wheel(), reason="not installed from the wheel")
def test_wheel_loads_nothing_from_the_system_but_the_base_libraries():
    # A fresh interpreter, so that the libraries that importing tolvane maps are told apart
    # from those that the test run had loaded already (hashlib's libcrypto, for one).
    script = textwrap.dedent("""
        def mapped():
            with open("/proc/self/maps") as maps:
                return {line.split()[-1] for line in maps if ".so" in line}
        before = mapped()
        import tolvane
        tolvane.generate_fake_features(3)
        print("\\n".join(sorted(mapped() - before)))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    carried = str(Path(tolvane.__file__).parent / "tolvane.libs") + "/"
    foreign = [path for path in result.stdout.split()
               if path != tolvane.__file__ and not path.startswith(carried)
               and os.path.basename(path).split(".so")[0] not in BASE_SYSTEM]
    assert foreign == []
