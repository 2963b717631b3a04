"""Forks after calls, as multiprocessing's fork start method makes them: a fork finds no threads of
ours (Python 3.12 on warns of the threads it finds), and every process's calls work after it."""

from support import python_output

PRELUDE = """
import multiprocessing, os, sys, warnings, tolvane
N = ("Integer", "Numeric")
sub = tolvane.Primitive("sub", "m", "transform", False, [[N, N]], N)
# Counted from the threads there are before our first call: an emulator (qemu-user) adds
# one of its own.
OTHERS = len(os.listdir("/proc/self/task")) - 1
fs = tolvane.generate_fake_features(300)
def threads():
    return len(os.listdir("/proc/self/task")) - OTHERS
def made(n):
    return len(tolvane.generate_features(fs[:n], [sub])) - n
"""


def run(code):
    return python_output(code, {"RAYON_NUM_THREADS": "4"}, timeout=120, prelude=PRELUDE).split()


def test_a_fork_after_a_call_copies_no_threads_of_ours():
    out = run("""
        at_fork = []
        os.register_at_fork(after_in_parent=lambda: at_fork.append(threads()))
        made(300)
        print(threads())  # the workers, idle
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with multiprocessing.get_context("fork").Pool(2) as pool:
                print(pool.map(made, [100, 200, 300]) == [9900, 39800, 89700])
        print(at_fork and set(at_fork) == {1}, [str(w.message) for w in caught])
        print(made(300), threads())  # and back for the next call
    """)
    assert out == ["4", "True", "True", "[]", "89700", "4"]


def test_calls_work_in_parent_and_child_after_many_forks():
    # Each fork follows a call: the workers it ended must be gone from the kernel's list too, not
    # only joined (under qemu-user a joined thread stayed listed now and then).
    out = run("""
        at_fork = []
        os.register_at_fork(after_in_parent=lambda: at_fork.append(threads()))
        ok = True
        for round in range(20):
            pid = os.fork()
            if pid == 0:
                os._exit(0 if made(200) == 39800 else 1)
            ok = ok and made(250 + round) == (250 + round) * (249 + round)
            ok = ok and os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        print(ok, at_fork == [1] * 20)
    """)
    assert out == ["True", "True"]
