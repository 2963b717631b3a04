"""Helpers shared by the suites: digests, records, hostile Python objects, child interpreters.
Tests import what they use from here (`from support import ...`); conftest.py holds pytest's
hooks only."""

import hashlib
import json
import os
import signal
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import tolvane


def sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def _panic_exception():
    # Not a module attribute: the only way to the class is through a failure.
    try:
        tolvane.ColumnSchema("no such type")
    except BaseException as e:  # noqa: B036 - that is the point
        return type(e)
    raise AssertionError("an unknown type name did not fail")


PanicException = _panic_exception()

INTEGER = ("Integer", "Numeric")

# A free-threaded interpreter (built with --disable-gil), whether or not its GIL is on.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# An interpreter built on musl (Alpine's, say), which loads the musllinux wheels.
MUSL = "-linux-musl" in (sysconfig.get_config_var("EXT_SUFFIX") or "")


def root(name, lt="Integer", st="Numeric"):
    return tolvane.Feature(name, lt, st)


def prim(name="add", column_schemas=None, commutative=True, function_type="transform",
         return_type=INTEGER, module="ops"):
    """By default a commutative transform of two columns typed like a default root."""
    if column_schemas is None:
        column_schemas = [[INTEGER, INTEGER]]
    return tolvane.Primitive(name, module, function_type, commutative, column_schemas, return_type)


def derived(bases, p=None, name="d"):
    return tolvane.Feature(name, *INTEGER, list(bases), p or prim())


def saved(tmp_path, features, filename="f.json"):
    """The feature file written for `features`, parsed."""
    path = tmp_path / filename
    tolvane.Feature.save_features(features, str(path))
    return json.loads(path.read_bytes())


class Refused(Exception):
    """Raised by the tests' own hostile objects; the module must hand it back unchanged."""


def refuse():
    raise Refused("refused")


def fresh(error):
    """A new exception like `error`. Raising one stored instance again and again would chain a
    traceback entry (and the frame it holds) onto it per raise, which a leak check sees."""
    return type(error)(*error.args)


class Sequence:
    """A sequence by __getitem__ only, running `hook` before each item is handed out; `length`,
    when given, is what __len__ answers, or raises if it is an exception."""

    def __init__(self, items, hook=None, length=None):
        self.items = list(items)
        self.hook = hook
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise fresh(self.length)
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.hook:
            self.hook()
        return self.items[i]


class Index:
    """An integer by __index__ only; raises instead if `value` is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise fresh(self.value)
        return self.value


def _emulated():
    # qemu-user, which runs another architecture's programs, starts a thread of its own in each
    # process, and keeps to itself what it emulates: the signal masks of the threads it runs (/proc
    # shows its own) and the address space (its own memory counts against RLIMIT_AS). A fresh
    # interpreter with a thread it did not start tells.
    code = "import os; print(len(os.listdir('/proc/self/task')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    return out.stdout.strip() != "1"


EMULATED = _emulated()

# For tests that limit a child's address space (RLIMIT_AS): where no limit can work, and why.
if os.environ.get("TOLVANE_SANITIZED"):
    _NO_LIMIT = "the sanitizers reserve terabytes of address space: no address-space limit fits"
elif EMULATED:
    _NO_LIMIT = "qemu-user does not apply RLIMIT_AS to the programs it runs"
else:
    _NO_LIMIT = ""
needs_address_space_limit = pytest.mark.skipif(bool(_NO_LIMIT), reason=_NO_LIMIT)


# A child started from a background job inherits SIGINT ignored, and Python then leaves it so;
# children that are sent SIGINT run this first.
RESTORE_SIGINT = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"


def run_python(code, env=None, timeout=60, args=(), preexec_fn=None, options=()):
    """Runs `code` (a script's text, dedented, or the Path of a script) in a child interpreter,
    in a session of its own, so that a crash or a hang fails one test and a hung child is killed
    with whatever it forked. `env` adds to the environment (None unsets a variable); `options`
    go to the interpreter before the code, `args` after it. Returns the CompletedProcess."""
    environment = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    program = [str(code)] if isinstance(code, Path) else ["-c", textwrap.dedent(code)]
    command = [sys.executable, *options, *program, *map(str, args)]
    proc = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=preexec_fn,
                            start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"child hung\nstdout: {out}\nstderr: {err}")
    return subprocess.CompletedProcess(command, proc.returncode, out, err)
