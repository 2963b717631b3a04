"""Memory limits as containers set them: a memory control group (Docker's --memory, a Kubernetes
pod limit, systemd's MemoryMax). The kernel kills a process that outgrows its group, so a call
that cannot fit must raise MemoryError before it grows, and one that can must run. Each case runs
in a child interpreter moved into a group of its own, made for the test and removed after it."""

import contextlib
import itertools
import os
import time

import pytest

from support import CALL_WITH_SIGNAL, EMULATED, python_output

MiB = 1 << 20
SANITIZED = bool(os.environ.get("TOLVANE_SANITIZED"))
pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the sanitizers' shadow memory is charged to the group and outgrows it")

PRELUDE = """
import os, signal, sys, tolvane
N = ("Integer", "Numeric")
sub = tolvane.Primitive("sub", "m", "transform", False, [[N, N]], N)
def attempt(call):
    try:
        return call()
    except MemoryError:
        return "MemoryError"
""" + CALL_WITH_SIGNAL

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
    """Yields a preexec_fn that moves a child into a new group of `limit` bytes, and the group's
    directory."""
    path = _make_group(limit)

    def enter():
        with open(os.path.join(path, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))

    try:
        yield enter, path
    finally:
        # The kernel may take a moment to empty a group after its last process is reaped.
        for _ in range(100):
            try:
                os.rmdir(path)
                break
            except OSError:
                time.sleep(0.05)


def run_limited(limit, code, timeout=120, args=()):
    """The output of `code` run in a new group of `limit` bytes, whose directory is $GROUP."""
    with memory_group(limit) as (enter, path):
        # A child the kernel killed for its memory ends with SIGKILL, not 0.
        return python_output(code, {"RAYON_NUM_THREADS": "2", "GROUP": path}, timeout, args=args,
                             preexec_fn=enter, prelude=PRELUDE).split()


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


def test_clean_file_cache_counts_as_free(tmp_path):
    # A file read twice fills the group with its cache, clean and on the active list. The kernel
    # takes that back before it kills anything, so a call that fits (alone it peaks at about
    # 520 MB) must run: it once raised MemoryError.
    cached = tmp_path / "cached.bin"
    with open(cached, "wb") as f:
        f.truncate(700 * MiB)  # holes: read as zeros, and cached all the same
    out = run_limited(1024 * MiB, """
        fs = tolvane.generate_fake_features(2200)
        fd = os.open(sys.argv[1], os.O_RDONLY)
        for _ in range(2):
            os.lseek(fd, 0, os.SEEK_SET)
            while os.read(fd, 1 << 20):
                pass
        with open(os.path.join(os.environ["GROUP"], "memory.stat")) as f:
            stat = dict(line.split() for line in f)
        print((int(stat["active_file"]) + int(stat["inactive_file"])) >> 20)
        print(attempt(lambda: len(tolvane.generate_features(fs, [sub]))))
    """, args=[str(cached)])
    if int(out[0]) < 600:
        pytest.skip(f"the file system of {tmp_path} keeps no page cache of the file")
    assert out[1] == "4840000"


def test_memory_freed_lazily_and_used_again_is_not_free():
    # A dropped result's memory, freed lazily, sat with the file cache and was counted free even
    # once the next call had filled it again: a third call went ahead and the kernel killed the
    # process.
    out = run_limited(1024 * MiB, """
        fs = tolvane.generate_fake_features(2200)
        def call():
            return attempt(lambda: tolvane.generate_features(fs, [sub]))
        first = call()
        print(len(first))
        del first
        second = call()
        print(len(second))
        print(call())
    """)
    assert out == ["4840000", "4840000", "MemoryError"]


# Calls that fit the group alone (peak about 520 MB) but not two at once: each returns its result
# or raises MemoryError, and the process lives. Each once saw the whole group free, and all went
# ahead until the kernel killed the process.
def test_concurrent_calls_share_one_budget():
    # Four threads: on a free-threaded interpreter they run at once.
    out = run_limited(1024 * MiB, """
        import threading
        fs = tolvane.generate_fake_features(2200)
        start = threading.Barrier(4)
        results = []
        def call():
            start.wait()
            results.append(attempt(lambda: len(tolvane.generate_features(fs, [sub]))))
        threads = [threading.Thread(target=call) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(*results)
    """)
    assert len(out) == 4 and set(out) <= {"4840000", "MemoryError"} and "4840000" in out
    # A signal handler calling in while a call runs, with or without the GIL.
    out = run_limited(1024 * MiB, """
        fs = tolvane.generate_fake_features(2200)
        inner = []
        signal.signal(signal.SIGALRM, lambda *_: inner.append(
            attempt(lambda: len(tolvane.generate_features(fs, [sub])))))
        outer = len(call_with_signal(signal.SIGALRM, tolvane.generate_features, fs, [sub]))
        print(*inner, outer)
    """)
    assert out == ["MemoryError", "4840000"]


def test_without_proc_the_limit_of_the_namespace_holds():
    # A container or sandbox that does not mount /proc: the process cannot name its group, but its
    # cgroup namespace shows the group as the root of the hierarchy. A call the group cannot hold
    # once went ahead (the limit read as the machine's memory) and the kernel killed the process.
    mounts = {fstype: (mount, options) for fstype in ("cgroup", "cgroup2")
              for mount, options in _mounts(fstype) if fstype == "cgroup2" or "memory" in options}
    if "cgroup" in mounts:
        where, fstype, options = "/sys/fs/cgroup/memory", "cgroup", "memory"
    else:
        where, fstype, options = "/sys/fs/cgroup", "cgroup2", ""
    if mounts.get(fstype, ("",))[0] != where:
        pytest.skip(f"the memory hierarchy is not mounted at {where}")
    out = run_limited(300 * MiB, """
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        def must(result, what):
            if result != 0:
                print("cannot", what + ":", os.strerror(ctypes.get_errno()).replace(" ", "_"))
                sys.exit(0)
        CLONE_NEWNS, CLONE_NEWCGROUP, MS_REC, MS_PRIVATE, MNT_DETACH = 0x20000, 0x2000000, 0x4000, 0x40000, 2
        must(libc.unshare(CLONE_NEWNS | CLONE_NEWCGROUP), "unshare")
        must(libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "make_mounts_private")
        # Mounted anew in the namespace, the hierarchy's root is the test's group.
        where, fstype, options = (a.encode() or None for a in sys.argv[1:])
        must(libc.umount2(where, MNT_DETACH), "unmount_the_hierarchy")
        must(libc.mount(fstype, where, fstype, 0, options), "mount_the_hierarchy")
        must(libc.umount2(b"/proc", MNT_DETACH), "unmount_/proc")
        print(os.path.exists("/proc/self"))
        fs = tolvane.generate_fake_features(2000)
        print(attempt(lambda: tolvane.generate_features(fs, [sub])))
        print(len(tolvane.generate_features(fs[:300], [sub])))
    """, args=[where, fstype, options])
    if out[0] == "cannot":
        pytest.skip(f"cannot {out[1]} {out[2]} (needs root and cgroup namespaces)")
    assert out == ["False", "MemoryError", str(300 + 300 * 299)]
