# Everything a fresh machine needs is installed here: Debian packages (as root, only those
# missing), then a project-local virtual environment with the Python tools.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := g++ cmake ninja-build libssl-dev libpthreadpool-dev libutf8proc-dev libgtest-dev
CPP_BUILD := build/cpp

.PHONY: demo test deps module cpp-tests pytest tsan clean

demo: module
	$(PY) examples/demo.py

test: cpp-tests pytest

deps: $(VENV)/.installed
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

$(VENV)/.installed: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

# Incremental: the CMake build directory of the wheel is kept under build/wheel.
module: deps
	$(PY) -m pip install -q --no-build-isolation --no-deps .

cpp-tests: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DTOLVANE_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(CPP_BUILD)
	$(CPP_BUILD)/core_tests --gtest_brief=1

# The C++ tests under ThreadSanitizer, in their own build directory.
tsan: deps
	cmake -S . -B build/tsan -G Ninja -DTOLVANE_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SANITIZE=thread >/dev/null
	cmake --build build/tsan
	TSAN_OPTIONS=halt_on_error=1 build/tsan/core_tests --gtest_brief=1

pytest: module
	$(PY) -m pytest -q tests/python

clean:
	rm -rf build $(VENV)
