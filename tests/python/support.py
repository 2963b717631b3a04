"""Helpers shared by the suites: digests, records, hostile Python objects, child interpreters.
Tests import what they use from here (`from support import ...`); conftest.py holds pytest's
hooks only."""

import contextlib
import ctypes
import functools
import hashlib
import inspect
import json
import locale
import operator
import os
import select
import signal
import subprocess
import sys
import sysconfig
import textwrap
import time
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


# A child started from a background job inherits SIGINT ignored, and Python then leaves it so;
# children that are sent SIGINT run this first.
RESTORE_SIGINT = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"


def call_with_signal(sig, function, *args):
    """function(*args), with `sig` raised on this thread just before it and no Python code run in
    between (C functions calling C functions), since that would run the signal's handler first.
    The handler runs at the call's first check for signals, however fast the machine and the call
    are."""
    raise_signal = getattr(ctypes.CDLL(None), "raise")
    steps = [functools.partial(raise_signal, sig), functools.partial(function, *args)]
    return list(map(operator.call, steps))[1]


# Defines call_with_signal in a child.
CALL_WITH_SIGNAL = "\nimport ctypes, functools, operator\n" + inspect.getsource(call_with_signal)


def _text(output):
    # As text-mode pipes read it.
    return output.decode(locale.getpreferredencoding(False)).replace("\r\n", "\n").replace("\r", "\n")


class PythonChild:
    """`code` (a script's text, dedented, or the Path of a script) run by a child interpreter in a
    session of its own. Leaving the `with` block kills the session, the child with whatever it
    forked, so that a crash or a hang fails one test, not the run. `prelude` (dedented) runs before
    `code`; `env` adds to the environment (None unsets a variable); `options` go to the interpreter
    before the code, `args` after it; `preexec_fn` runs in the child before the interpreter starts
    (limits, control groups). `process` is the Popen, for its pid and send_signal."""

    def __init__(self, code, env=None, args=(), preexec_fn=None, options=(), prelude=""):
        environment = dict(os.environ)
        for name, value in (env or {}).items():
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        if isinstance(code, Path):
            assert not prelude, "a script runs as it is"
            program = [str(code)]
        else:
            program = ["-c", "\n".join(textwrap.dedent(part) for part in (prelude, code) if part)]
        self.command = [sys.executable, *options, *program, *map(str, args)]
        self.process = subprocess.Popen(self.command, env=environment, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0,
                                        preexec_fn=preexec_fn, start_new_session=True)
        self._unread = b""  # read from the pipe, not yet handed out

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.process.returncode is None:
            self._kill()
        for pipe in self.process.stdin, self.process.stdout, self.process.stderr:
            pipe.close()
        self.process.wait()

    def _kill(self):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.process.pid, signal.SIGKILL)

    def line(self, timeout=30):
        """The child's next line of output (up to the end of its output), or a failed test if none
        comes within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self._unread:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                pytest.fail(f"no line from the child in {timeout} s; so far: {self._unread!r}")
            more = os.read(self.process.stdout.fileno(), 1 << 16)
            if not more:
                break
            self._unread += more
        line, newline, self._unread = self._unread.partition(b"\n")
        return _text(line + newline)

    def finish(self, timeout=60, input=""):
        """Gives the child `input` (its stdin ends there) and waits for its end: the CompletedProcess,
        with the output not read by line(). A child still running after `timeout` seconds is killed
        with its session and fails the test."""
        try:
            out, err = self.process.communicate(input.encode(), timeout)
        except subprocess.TimeoutExpired:
            self._kill()
            out, err = self.process.communicate()
            pytest.fail(f"child hung\nstdout: {_text(self._unread + out)}\nstderr: {_text(err)}")
        return subprocess.CompletedProcess(self.command, self.process.returncode,
                                           _text(self._unread + out), _text(err))


def run_python(code, env=None, timeout=60, args=(), preexec_fn=None, options=(), prelude=""):
    """Runs a PythonChild (which see) to its end, within `timeout` seconds, giving it no input.
    Returns the CompletedProcess."""
    with PythonChild(code, env, args, preexec_fn, options, prelude) as child:
        return child.finish(timeout)


def python_output(code, env=None, timeout=60, **settings):
    """The output of run_python(code, env, timeout, **settings), which must exit with 0."""
    r = run_python(code, env, timeout, **settings)
    assert r.returncode == 0, f"exit {r.returncode}\n{r.stdout}\n{r.stderr[-3000:]}"
    return r.stdout


def _emulated():
    # qemu-user, which runs another architecture's programs, starts a thread of its own in each
    # process, and keeps to itself what it emulates: the signal masks of the threads it runs (/proc
    # shows its own) and the address space (its own memory counts against RLIMIT_AS). A fresh
    # interpreter with a thread it did not start tells.
    code = "import os; print(len(os.listdir('/proc/self/task')))"
    return run_python(code, timeout=120).stdout.strip() != "1"


EMULATED = _emulated()

# For tests that limit a child's address space (RLIMIT_AS): where no limit can work, and why.
if os.environ.get("TOLVANE_SANITIZED"):
    _NO_LIMIT = "the sanitizers reserve terabytes of address space: no address-space limit fits"
elif EMULATED:
    _NO_LIMIT = "qemu-user does not apply RLIMIT_AS to the programs it runs"
else:
    _NO_LIMIT = ""
needs_address_space_limit = pytest.mark.skipif(bool(_NO_LIMIT), reason=_NO_LIMIT)
