# Everything a fresh machine needs is installed here: Debian packages first (as root, only those
# missing), then a project-local virtual environment with the Python tools.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
PYTHON ?= python3
# The interpreter PYTHON names, found as scripts/dev/find_python.sh finds it (on PATH, or installed by
# pyenv), and its tag: X.Y, or X.Yt for a free-threaded build.
PYTHON_EXE := $(shell scripts/dev/find_python.sh '$(PYTHON)')
PYTHON_TAG := $(if $(PYTHON_EXE),$(shell '$(PYTHON_EXE)' -c 'import sys, sysconfig; \
  print("%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))'))
# .venv is the default python3's; any other interpreter gets a venv and builds of its own.
ifeq ($(PYTHON),python3)
PY_BUILD := build
VENV := .venv
else
PY_BUILD := build/py$(PYTHON_TAG)
VENV := $(PY_BUILD)/venv
endif
PY := $(VENV)/bin/python
APT_PACKAGES := g++ cmake ninja-build libssl-dev libutf8proc-dev libgtest-dev
# Graphviz draws the demo's lineage picture.
APT_PACKAGES += graphviz
CPP_BUILD := build/cpp
# The module's incremental CMake build directory (pip alone builds in a temporary one).
MODULE_BUILD := $(PY_BUILD)/module
# Our own builds treat compiler warnings as errors; a user's `pip install .` does not.
WERROR := CMAKE_COMPILE_WARNING_AS_ERROR=ON
PYTEST_ARGS ?=

.PHONY: demo test check deps interpreter system-packages module cpp-tests pytest test-packaging typecheck format \
  format-check lint tidy ruff commit-subjects test-pythons test-arm64 wheel wheels test-wheel test-wheels \
  test-musl-wheel fuzz sanitize tsan clean

demo: module
	$(PY) examples/demo.py

# The tiers: `make check` (a few minutes) before every commit, `make test` (the whole module suite)
# before a push, `.ci/run` (every interpreter, the sanitizers, aarch64, the fuzzer) in CI.
test: cpp-tests pytest test-packaging typecheck

# Leaves out the pytest cases marked slow: children that run for seconds each.
check: PYTEST_SELECT := -m "not slow"
check: cpp-tests pytest test-packaging

# The commit-subject hook, for everyone who builds in a clone, unless the clone has one already
# (pre-commit's runs the same check).
COMMIT_MSG_HOOK := $(shell git rev-parse --git-path hooks/commit-msg 2>/dev/null)
deps: $(VENV)/.installed $(COMMIT_MSG_HOOK)

$(COMMIT_MSG_HOOK):
	@mkdir -p '$(@D)' && printf '%s\n' '#!/bin/sh' \
	  'exec "$$(git rev-parse --show-toplevel)/scripts/check_commit_subject.sh" "$$1"' >'$@' && chmod +x '$@' \
	  || echo "could not install the commit-subject hook as $@" >&2

# PYTHON must name an interpreter, and a venv made earlier must be that interpreter's.
interpreter:
	@[ -n "$(PYTHON_EXE)" ] || { echo "PYTHON=$(PYTHON): no such CPython on PATH or in pyenv" >&2; exit 1; }
	@made=$$(sed -n 's/^executable = //p' $(VENV)/pyvenv.cfg 2>/dev/null || true); \
	if [ -n "$$made" ] && [ "$$made" != "$$(realpath '$(PYTHON_EXE)')" ]; then \
	  echo "$(VENV) was made by $$made, not by PYTHON=$(PYTHON) ($(PYTHON_EXE)):" \
	    "remove it (rm -rf $(VENV)) and run this again to make it with $(PYTHON)" >&2; \
	  exit 1; \
	fi

# Before the venv: on Debian the interpreter's venv module may be one of the missing packages.
system-packages: interpreter
	@scripts/dev/system_packages.sh '$(PYTHON_EXE)' $(APT_PACKAGES)

$(VENV)/.installed: requirements-dev.txt | system-packages
	'$(PYTHON_EXE)' -m venv $(VENV)
	$(PY) -m pip install -q --upgrade -c requirements-dev.txt pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

module: deps
	$(PY) -m pip install -q --no-build-isolation --no-deps --config-settings=build-dir=$(MODULE_BUILD) \
	  --config-settings=cmake.define.$(WERROR) .

# The C++ test executables; the allocation-failure test is its own, for its operator new.
CPP_TESTS := core_tests allocation_failure_test
# run_cpp_tests DIR ENV: each of them from DIR.
run_cpp_tests = for test in $(CPP_TESTS); do $(2) $(1)/$$test --gtest_brief=1; done

cpp-tests: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DTOLVANE_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -D$(WERROR) >/dev/null
	cmake --build $(CPP_BUILD)
	$(call run_cpp_tests,$(CPP_BUILD))

# The C++ tests under ThreadSanitizer, in their own build directory.
tsan: deps
	cmake -S . -B build/tsan -G Ninja -DTOLVANE_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -D$(WERROR) -DTOLVANE_SANITIZE=thread >/dev/null
	cmake --build build/tsan
	$(call run_cpp_tests,build/tsan,TSAN_OPTIONS=halt_on_error=1)

# On a free-threaded interpreter the suite runs with the GIL off, as importing the module leaves it.
pytest: module
	@[ -z "$(filter %t,$(PYTHON_TAG))" ] || $(PY) -c 'import sys; import tolvane; sys.exit(sys._is_gil_enabled())' \
	  || { echo "importing tolvane turned the GIL on" >&2; exit 1; }
	$(PY) -m pytest -q $(PYTEST_SELECT) $(PYTEST_ARGS) tests/python

# The repository's scripts' own tests (system packages, interpreters, the wheel plan, the module
# and wheel checks, the commit-subject hook, the maps in docs/): they need pytest, not the module.
test-packaging: deps
	$(PY) -m pytest -q -p no:cacheprovider tests/packaging

# The installed stubs must match the installed module; the companion and the examples must
# type-check, the companion with pyright's strict checks too.
typecheck: module
	$(PY) -m mypy.stubtest tolvane
	$(PY) -m mypy --strict tolvane_io examples/typed_usage.py examples/feature_graph.py
	$(VENV)/bin/basedpyright --pythonpath $(PY)

# clang-format (from requirements-dev.txt, so everyone formats alike) over our C++ sources.
FORMAT_SOURCES = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'bench/*.cpp')
CLANG_FORMAT := $(VENV)/bin/clang-format

format: deps
	$(CLANG_FORMAT) -i $(FORMAT_SOURCES)

format-check: deps
	@$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_SOURCES) && echo "C++ formatting: clean"

# The linters: ruff over the Python code, clang-tidy (the checks in .clang-tidy) over the C++, from
# a configure-only build tree whose compile commands cover the core, the module and the tests.
lint: ruff tidy commit-subjects

ruff: deps
	$(VENV)/bin/ruff check .

# Every commit subject since the rule was checked: at most 72 characters.
commit-subjects:
	@scripts/check_commit_subject.sh --since 350e21f && echo "commit subjects: at most 72 characters"

LINT_BUILD := build/lint
TIDY_SOURCES = $(shell git ls-files 'src/*.cpp' 'tests/*.cpp' 'bench/*.cpp')
tidy: deps
	cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOLVANE_BUILD_FUZZER=OFF -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	@printf '%s\n' $(TIDY_SOURCES) | xargs -P2 -n1 $(VENV)/bin/clang-tidy -p $(LINT_BUILD) --quiet \
	  && echo "clang-tidy: clean"

# The pytest suite on every supported interpreter there is, each with its own venv and build:
# X.Y, or X.Yt for a free-threaded build.
TEST_PYTHONS ?= 3.11 3.12 3.13 3.14 3.15 3.14t

test-pythons:
	@scripts/dev/test_pythons.sh $(TEST_PYTHONS)

# `make test` on aarch64, in a Debian 12 arm64 root under qemu-user (as root); ARM64_GOAL=check
# runs the quick tier there instead.
ARM64_GOAL ?= test
test-arm64:
	scripts/dev/debian_run.sh bookworm arm64 python3-dev,python3-venv 'make $(ARM64_GOAL) PYTEST_ARGS="$(PYTEST_ARGS)"'

# Wheels in dist/, manylinux_2_28 and musllinux_1_2, cross-compiled by zig (docs/release.md traces
# the pipeline): `make wheel` the manylinux one for .venv's interpreter on this
# machine's architecture, `make wheels` every supported interpreter on x86_64 and aarch64, for
# glibc and for musl.
DIST := dist
WHEEL_TARGETS := $(foreach platform,x86_64 aarch64 x86_64-musl aarch64-musl,\
  $(foreach version,3.11 3.12 3.13 3.14 3.15 3.14t,$(version)/$(platform)))
wheel: deps
	rm -f $(DIST)/*.whl
	scripts/release/build_wheels.sh $(PY) $(DIST) $$($(PY) -c 'import platform, sys, sysconfig; \
	  print("%d.%d%s/%s" % (*sys.version_info[:2], "t" * bool(sysconfig.get_config_var("Py_GIL_DISABLED")), platform.machine()))')

wheels: deps
	rm -f $(DIST)/*.whl
	scripts/release/build_wheels.sh $(PY) $(DIST) $(WHEEL_TARGETS)

# The suite against every wheel in dist/, installed on its interpreter: where each runs, here or
# in a Debian root file system, is in scripts/release/test_wheels.sh.
test-wheels: wheels
	scripts/release/test_wheels.sh $(DIST)

# The cp314 musllinux wheel of MUSL_ARCH (x86_64, or aarch64 under qemu-user, as root), and the
# pytest suite against it on a CPython 3.14 built on musl into the cache the first time
# (scripts/release/musl_python.sh: 4 to 8 minutes, and up to twice that more for aarch64).
MUSL_ARCH ?= x86_64
test-musl-wheel: deps
	scripts/release/build_wheels.sh $(PY) $(DIST) 3.14/$(MUSL_ARCH)-musl
	scripts/release/test_wheels.sh $(DIST)/tolvane-*-cp314-cp314-musllinux_1_2_$(MUSL_ARCH).whl

# The wheel installed with no index into a fresh venv, and the pytest suite against it.
WHEEL_VENV := build/wheel-venv
test-wheel: wheel
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --no-index $(DIST)/*.whl
	$(WHEEL_VENV)/bin/python -m pip install -q -c requirements-dev.txt pytest hypothesis
	$(WHEEL_VENV)/bin/python -P -c 'import sys, tolvane, tolvane_io; \
	  sys.exit(not all(m.__file__.startswith("$(CURDIR)/$(WHEEL_VENV)/") for m in (tolvane, tolvane_io)))'
	@# By its script, not `python -m`: the working directory, which holds the sources of tolvane_io,
	@# stays off sys.path, so the tests import the installed copy.
	$(WHEEL_VENV)/bin/pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests/python

# Fuzzes the catalogue reader for FUZZ_SECONDS, built by clang in a directory of its own, the core
# library instrumented for libFuzzer and the sanitizers. New inputs collect in build/fuzz/corpus.
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
JSON_CORPUS := ../shared/testdata/json-test-suite/test_parsing

fuzz: deps
	@scripts/dev/system_packages.sh --no-python clang-14 libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DTOLVANE_BUILD_MODULE=OFF \
	  -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_FUZZER=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -D$(WERROR) >/dev/null
	cmake --build $(FUZZ_BUILD) --target catalogue_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/catalogue_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -timeout=10 \
	  $(FUZZ_BUILD)/corpus tests/fuzz/seeds $(wildcard $(JSON_CORPUS))

# ASan+UBSan: the C++ tests with leak detection, then the whole pytest suite against an
# instrumented build of the module loaded into the stock interpreter. The instrumented module goes
# to its own target directory, put first on PYTHONPATH, so the normal .venv build is left alone.
# Leak detection stays off for the interpreter run: CPython keeps much of what it allocates until
# exit by design, and every stack passes through the interpreter, so no suppression could tell
# its allocations from ours; tests/python/test_leaks.py covers our leaks there instead.
SANITIZE := address,undefined
SAN_CPP_BUILD := build/cpp-asan
SAN_SITE := $(PY_BUILD)/asan/site
SAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc PYTHONPATH=$(SAN_SITE) TOLVANE_SANITIZED=1 \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

sanitize: deps
	cmake -S . -B $(SAN_CPP_BUILD) -G Ninja -DTOLVANE_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -D$(WERROR) \
	  -DTOLVANE_SANITIZE=$(SANITIZE) >/dev/null
	cmake --build $(SAN_CPP_BUILD)
	$(call run_cpp_tests,$(SAN_CPP_BUILD),ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(SAN_SITE) \
	  --config-settings=build-dir=$(PY_BUILD)/asan/wheel --config-settings=cmake.build-type=RelWithDebInfo \
	  --config-settings=cmake.define.$(WERROR) \
	  --config-settings=cmake.define.TOLVANE_SANITIZE=$(SANITIZE) .
	$(SAN_ENV) $(PY) -c 'import tolvane, sys; sys.exit(not tolvane.__file__.startswith("$(CURDIR)/$(SAN_SITE)"))'
	$(SAN_ENV) $(PY) -m pytest -q -p no:cacheprovider tests/python

clean:
	rm -rf build $(VENV) $(DIST)
