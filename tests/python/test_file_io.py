"""Files that block or misbehave: FIFOs with late, silent or stalled other ends, signals during
the wait, and system calls that report no progress (forced by a preloaded shim)."""
import os
import platform
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

from support import RESTORE_SIGINT, PythonChild, needs_address_space_limit, run_python

CATALOGUE = (
    '[{"name":"add","id":"x","module":"m","column_schemas":[[{"logical_type":"Integer",'
    '"semantic_tag":"Numeric"}]],"return_type":{"logical_type":"Integer","semantic_tag":"Numeric"},'
    '"function_type":"transform","commutative":true}]'
)

# Every child script starts here: the FIFO at argv[1], and a feature set whose file is far larger
# than a pipe holds, written to a file beside the FIFO for comparison.
PRELUDE = RESTORE_SIGINT + """
import os, signal, sys, time, tolvane
fifo = sys.argv[1]
features = [tolvane.Feature("n" * 300_000, "Integer", "Numeric")]
tolvane.Feature.save_features(features, fifo + ".expected")
"""


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return path


def expected(fifo):
    return Path(f"{fifo}.expected").read_bytes()


def other_end(code, fifo):
    """A process at the FIFO's other end, running `code` with the FIFO at argv[1]: the call under
    test holds the child's interpreter lock, so no thread of the child could be there."""
    return PythonChild("import sys, time\n" + code, args=[fifo])


def syscall_of(pid):
    with open(f"/proc/{pid}/syscall") as f:
        return f.read().split()[0]


# x86-64 system call numbers; glibc opens a file with openat, musl with open.
READ, WRITE, OPEN = {"0"}, {"1"}, {"2", "257"}


def interrupt_when_blocked(code, fifo, syscalls):
    """Runs `code` in a child, sends it SIGINT once it is blocked in one of `syscalls`, returns its
    output."""
    with PythonChild(code, args=[fifo], prelude=PRELUDE) as child:
        assert child.line() == "calling\n", child.finish().stderr
        deadline = time.monotonic() + 20
        while syscall_of(child.process.pid) not in syscalls:
            assert time.monotonic() < deadline, f"not blocked in system call {syscalls}"
            time.sleep(0.01)
        child.process.send_signal(signal.SIGINT)
        r = child.finish(timeout=30)
    assert r.returncode == 0, r.stderr
    return r.stdout


def expect_interrupt(call):
    """Child code: `call` must end in KeyboardInterrupt, raised by the handler itself."""
    return f"""
try:
    print("calling", flush=True)
    {call}
except KeyboardInterrupt as e:
    assert type(e) is KeyboardInterrupt and e.__context__ is None and e.__cause__ is None, repr(e)
    print("interrupted")
else:
    print("returned")
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/syscall"), reason="needs /proc/<pid>/syscall")
class TestCtrlC:
    def test_while_opening_a_fifo_nobody_opens(self, fifo):
        for call in ["tolvane.load_primitives(fifo)", "tolvane.Feature.save_features(features, fifo)"]:
            assert interrupt_when_blocked(expect_interrupt(call), fifo, OPEN) == "interrupted\n"

    def test_while_reading_from_a_silent_writer(self, fifo):
        with other_end("f = open(sys.argv[1], 'w'); f.write('[' * 10); f.flush(); time.sleep(30)", fifo):
            code = expect_interrupt("tolvane.load_primitives(fifo)")
            assert interrupt_when_blocked(code, fifo, READ) == "interrupted\n"

    def test_while_writing_to_a_stalled_reader_and_nothing_more_is_written(self, fifo):
        # The reader takes a little, waits until the call has ended, then drains the FIFO: what it
        # gets is a prefix of the file, short of the whole, and ends (the file was closed).
        reader = other_end("f = open(sys.argv[1], 'rb', buffering=0); got = f.read(1000);"
                           "sys.stdin.readline(); got += f.read(); sys.stdout.buffer.write(got)", fifo)
        with reader:
            code = expect_interrupt("tolvane.Feature.save_features(features, fifo)")
            assert interrupt_when_blocked(code, fifo, WRITE) == "interrupted\n"
            got = reader.finish(timeout=30, input="go\n").stdout.encode()
        assert len(got) < len(expected(fifo)) and expected(fifo).startswith(got), len(got)


HANDLED_ALARMS = """
alarms = []
signal.signal(signal.SIGALRM, lambda *_: alarms.append(1))
signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
"""


class TestSignalsThatDoNotRaise:
    # The handler runs and the call carries on, through a late open and a slow transfer.
    def test_loading_from_a_late_slow_writer(self, fifo):
        writer = (f"time.sleep(0.3); f = open(sys.argv[1], 'w'); f.write({CATALOGUE[:50]!r}); f.flush();"
                  f"time.sleep(0.3); f.write({CATALOGUE[50:]!r})")
        self.run(HANDLED_ALARMS + """
primitives = tolvane.load_primitives(fifo)
signal.setitimer(signal.ITIMER_REAL, 0)
assert [p.name for p in primitives] == ["add"]
print(len(alarms) >= 10)
""", fifo, writer)

    def test_saving_to_a_late_slow_reader(self, fifo):
        reader = ("time.sleep(0.3); f = open(sys.argv[1], 'rb', buffering=0); got = f.read(1000);"
                  "time.sleep(0.3); got += f.read(); sys.stdout.buffer.write(got)")
        got = self.run(HANDLED_ALARMS + """
tolvane.Feature.save_features(features, fifo)
signal.setitimer(signal.ITIMER_REAL, 0)
print(len(alarms) >= 10)
""", fifo, reader)
        assert got.encode() == expected(fifo)

    @staticmethod
    def run(code, fifo, other):
        """Runs `code` in a child, and `other` at the FIFO's other end once the child is about to
        run it; returns what the other end wrote."""
        with PythonChild('print("calling", flush=True)\n' + code, args=[fifo], prelude=PRELUDE) as child:
            assert child.line() == "calling\n", child.finish().stderr
            with other_end(other, fifo) as end:
                r, ended = child.finish(), end.finish(timeout=30)
        assert r.returncode == 0 and r.stdout == "True\n", r.stderr
        assert ended.returncode == 0, ended.stderr
        return ended.stdout


SANITIZED = bool(os.environ.get("TOLVANE_SANITIZED"))
# Address space for a child, so that a regression fails with MemoryError instead of taking the
# machine's memory; the sanitizers reserve far more than this up front.
LIMIT_MEMORY = "" if SANITIZED else (
    "import resource; resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n")


class TestUnboundedFiles:
    def test_an_endless_file_can_be_interrupted(self):
        code = LIMIT_MEMORY + """
import signal, tolvane
class Alarm(Exception):
    pass
def alarm(*_):
    raise Alarm
signal.signal(signal.SIGALRM, alarm)
signal.setitimer(signal.ITIMER_REAL, 0.05)
try:
    tolvane.load_primitives("/dev/zero")
except Alarm as e:
    print(type(e).__name__)
"""
        r = run_python(code, timeout=60)
        assert r.returncode == 0 and r.stdout == "Alarm\n", r.stderr

    @needs_address_space_limit
    def test_a_file_larger_than_memory_leaves_no_descriptor_open(self, tmp_path):
        code = LIMIT_MEMORY + """
import os, sys, tolvane
with open(sys.argv[1], "wb") as f:
    f.truncate(4 << 30)  # sparse
before = os.listdir("/proc/self/fd")
for _ in range(5):
    try:
        tolvane.load_primitives(sys.argv[1])
    except MemoryError:
        pass
print(len(os.listdir("/proc/self/fd")) - len(before))
"""
        r = run_python(code, timeout=60, args=[str(tmp_path / "huge.json")])
        assert r.returncode == 0 and r.stdout == "0\n", r.stderr


# write() on the files whose paths begin with SHIM_ZERO_WRITE reports 0 bytes written; close() on
# those whose paths begin with SHIM_CLOSE_EINTR fails with EINTR after closing (as Linux does);
# with SHIM_NO_TMPFILE set, the file system makes no unnamed files (as some cannot).
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int names(int fd, const char* variable) {
    const char* wanted = getenv(variable);
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (!wanted || n <= 0) return 0;
    target[n] = 0;
    return strncmp(target, wanted, strlen(wanted)) == 0;
}

ssize_t write(int fd, const void* data, size_t size) {
    static ssize_t (*real)(int, const void*, size_t);
    if (!real) real = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    return names(fd, "SHIM_ZERO_WRITE") ? 0 : real(fd, data, size);
}

int close(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    int interrupted = names(fd, "SHIM_CLOSE_EINTR");
    int result = real(fd);
    if (interrupted && result == 0) {
        errno = EINTR;
        return -1;
    }
    return result;
}

int openat(int dir, const char* path, int flags, ...) {
    static int (*real)(int, const char*, int, ...);
    if (!real) real = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
    va_list rest;
    va_start(rest, flags);
    mode_t mode = (flags & (O_CREAT | __O_TMPFILE)) ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    if ((flags & __O_TMPFILE) == __O_TMPFILE && getenv("SHIM_NO_TMPFILE")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real(dir, path, flags, mode);
}
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("needs a C compiler")
    # An interpreter of another architecture (under qemu-user) cannot load what it builds.
    target = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True, timeout=60).stdout
    if not target.startswith(platform.machine() + "-"):
        pytest.skip(f"the C compiler builds for {target.strip()}, the interpreter runs on {platform.machine()}")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(where / "shim.so"),
                    str(where / "shim.c"), "-ldl"], check=True, timeout=60)
    return str(where / "shim.so")


def test_system_calls_that_report_no_progress_or_an_interrupted_close(shim, tmp_path):
    # By directory: a file is written beside its target first.
    (tmp_path / "zero").mkdir()
    (tmp_path / "interrupted").mkdir()
    zero, interrupted = str(tmp_path / "zero" / "f.json"), str(tmp_path / "interrupted" / "f.json")
    code = """
import sys, tolvane
zero, interrupted = sys.argv[1:]
f = tolvane.Feature("x", "Integer", "Numeric")
try:
    tolvane.Feature.save_features([f], zero)
except BaseException as e:
    print(type(e).__name__, e)
tolvane.Feature.save_features([f], interrupted)
print(open(interrupted).read().startswith('{"features":[{"name":"x"'))
"""
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), shim]))
    r = run_python(code, {"LD_PRELOAD": preload, "SHIM_ZERO_WRITE": str(tmp_path / "zero") + "/",
                          "SHIM_CLOSE_EINTR": str(tmp_path / "interrupted") + "/"},
                   timeout=60, args=[zero, interrupted])
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        'PanicException Error writing to file: Error { kind: WriteZero, message: "failed to write whole buffer" }',
        "True",
    ]


def test_where_no_unnamed_file_can_be_made_a_named_one_leaves_nothing_either(shim, tmp_path):
    target = tmp_path / "features.json"
    target.write_bytes(b"previous")
    code = RESTORE_SIGINT + """
import os, signal, sys, tolvane
target = sys.argv[1]
inode = os.stat(target).st_ino
tolvane.Feature.save_features([tolvane.Feature("x", "Integer", "Numeric")], target)
print(os.stat(target).st_ino != inode, sorted(os.listdir(os.path.dirname(target))))
sub = tolvane.Primitive("sub", "m", "transform", False, [[("Integer", "Numeric")] * 2], ("Integer", "Numeric"))
big = tolvane.generate_features(tolvane.generate_fake_features(600), [sub])
signal.signal(signal.SIGALRM, lambda *_: signal.raise_signal(signal.SIGINT))
signal.setitimer(signal.ITIMER_REAL, 0.01)
try:
    tolvane.Feature.save_features(big, target)
except KeyboardInterrupt:
    print("interrupted", sorted(os.listdir(os.path.dirname(target))))
"""
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), shim]))
    r = run_python(code, {"LD_PRELOAD": preload, "SHIM_NO_TMPFILE": "1"}, timeout=120, args=[target])
    assert r.returncode == 0, r.stderr
    assert r.stdout == "True ['features.json']\ninterrupted ['features.json']\n"
    assert target.read_bytes().startswith(b'{"features":[{"name":"x"')
