"""Memory limits as containers set them: a memory control group (Docker's --memory, a Kubernetes
pod limit, systemd's MemoryMax). The kernel kills a process that outgrows its group, so a call
that cannot fit must raise MemoryError before it grows, and one that can must run. Each case runs
in a child interpreter moved into a group of its own, made for the test and removed after it."""

import contextlib
import itertools
import os
import textwrap
import time

import pytest

from support import EMULATED, run_python

MiB = 1 << 20
SANITIZED = bool(os.environ.get("TOLVANE_SANITIZED"))
pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the sanitizers' shadow memory is charged to the group and outgrows it")

PRELUDE = """
import os, sys, tolvane
N = ("Integer", "Numeric")
sub = tolvane.Primitive("sub", "m", "transform", False, [[N, N]], N)
def attempt(call):
    try:
        return call()
    except MemoryError:
        return "MemoryError"
"""

_names = itertools.count()


def _mounts(fstype):
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            dash = fields.index("-")
            if fields[dash + 1] == fstype:
                yield fields[4], fields[dash + 3].split(",")


def _make_group(limit):
    """A new group limited to `limit` bytes (swap included where the kernel counts it apart), as a
    directory; skips the test where none can be made."""
    name = f"tolvane_test_{os.getpid()}_{next(_names)}"
    for mount, options in _mounts("cgroup"):
        if "memory" in options:
            path = os.path.join(mount, name)
            settings = [("memory.limit_in_bytes", limit), ("memory.memsw.limit_in_bytes", limit)]
            break
    else:
        for mount, _ in _mounts("cgroup2"):
            with open(os.path.join(mount, "cgroup.controllers")) as f:
                if "memory" in f.read().split():
                    break
        else:
            pytest.skip("no memory controller mounted (v1 or v2)")
        path = os.path.join(mount, name)
        settings = [("memory.max", limit), ("memory.swap.max", 0)]
        try:
            with open(os.path.join(mount, "cgroup.subtree_control"), "w") as f:
                f.write("+memory")
        except OSError as e:
            pytest.skip(f"cannot enable the memory controller for new groups: {e}")
    try:
        os.mkdir(path)
    except OSError as e:
        pytest.skip(f"cannot make a memory control group (needs root): {e}")
    for file, value in settings:
        if os.path.exists(os.path.join(path, file)):
            with open(os.path.join(path, file), "w") as f:
                f.write(str(value))
    return path


@contextlib.contextmanager
def memory_group(limit):
    """Yields a preexec_fn that moves a child into a new group of `limit` bytes."""
    path = _make_group(limit)

    def enter():
        with open(os.path.join(path, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))

    try:
        yield enter
    finally:
        # The kernel may take a moment to empty a group after its last process is reaped.
        for _ in range(100):
            try:
                os.rmdir(path)
                break
            except OSError:
                time.sleep(0.05)


def run_limited(limit, code, timeout=120, args=()):
    with memory_group(limit) as enter:
        r = run_python(PRELUDE + textwrap.dedent(code), {"RAYON_NUM_THREADS": "2"}, timeout,
                       args, preexec_fn=enter)
    # A child the kernel killed for its memory ends with SIGKILL.
    assert r.returncode == 0, f"exit {r.returncode}\n{r.stdout}\n{r.stderr}"
    return r.stdout.split()


@pytest.mark.parametrize("limit, inputs", [(300 * MiB, 2000), (1024 * MiB, 4000)])
def test_calls_that_cannot_fit_raise_memory_error_and_the_process_lives(limit, inputs, tmp_path):
    sparse = tmp_path / "huge.json"
    with open(sparse, "wb") as f:
        f.truncate(2 * limit)
    out = run_limited(limit, f"""
        fs = tolvane.generate_fake_features({inputs})
        print(attempt(lambda: tolvane.generate_features(fs, [sub])))
        print(attempt(lambda: tolvane.generate_fake_features(2**31 - 1)))
        print(attempt(lambda: tolvane.load_primitives(sys.argv[1])))
        print(len(tolvane.generate_features(fs[:300], [sub])))
    """, args=[str(sparse)])
    assert out == ["MemoryError", "MemoryError", "MemoryError", str(300 + 300 * 299)]


@pytest.mark.slow
def test_sizes_across_the_limit_give_the_result_or_memory_error():
    # Outputs from about 100 MiB to 400 MiB in a 300 MiB group, one after the other in one
    # process: the estimate must never fall short of what a call really takes.
    sizes = [900, 1200, 1400, 1500, 1600, 1700, 2000]
    out = run_limited(300 * MiB, f"""
        fs = tolvane.generate_fake_features({max(sizes)})
        for n in {sizes}:
            out = attempt(lambda: tolvane.generate_features(fs[:n], [sub]))
            print(out if out == "MemoryError" else len(out) == n * n, flush=True)
            del out
    """)
    assert len(out) == len(sizes)
    assert set(out) == {"True", "MemoryError"}
    # Larger calls never fit where smaller ones did not.
    assert out == sorted(out, key=lambda r: r == "MemoryError")


@pytest.mark.slow
@pytest.mark.skipif(EMULATED, reason="qemu-user's own memory counts against the group: it is killed")
def test_what_the_group_already_uses_is_counted_at_each_call():
    out = run_limited(300 * MiB, """
        fs = tolvane.generate_fake_features(1200)
        def call():
            out = attempt(lambda: tolvane.generate_features(fs, [sub]))
            return out if out == "MemoryError" else len(out)
        print(call())
        # Mapped directly, so that closing it gives the pages back whatever the interpreter's
        # allocator keeps (a free-threaded one holds on to freed objects' memory).
        import mmap
        ballast = mmap.mmap(-1, 200 << 20)
        for page in range(0, len(ballast), mmap.PAGESIZE):
            ballast[page] = 1
        print(call())
        ballast.close()
        print(call())
    """)
    assert out == ["1440000", "MemoryError", "1440000"]


def test_refusing_millions_of_inputs_builds_nothing_for_them():
    # The inputs take about 200 MiB; refusing their 4 * 10^12 pairs once took 850 MiB more.
    out = run_limited(512 * MiB, """
        fs = tolvane.generate_fake_features(2_000_000)
        try:
            tolvane.generate_features(fs, [sub])
        except MemoryError as e:
            print(str(e).replace(" ", "_"))
    """)
    assert out == ["generate_features_would_create_3999998000000_new_features,_more_than_fit_in_memory"]
