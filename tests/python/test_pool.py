"""The worker pool where users really run it: signal handlers, other threads, forks, thread and
memory limits, absurd environments. Each case runs in a child interpreter under a timeout, so a
hang fails one test; the child is killed with SIGKILL, which no handler of its own can delay."""

import os

import pytest

from support import CALL_WITH_SIGNAL, EMULATED, needs_address_space_limit, run_python

SANITIZED = bool(os.environ.get("TOLVANE_SANITIZED"))

PRELUDE = """
import hashlib, os, signal, tempfile, threading, time
# Counted before the module starts any: an emulator (qemu-user) runs a thread of its own.
THREADS_AT_START = len(os.listdir("/proc/self/task"))
import tolvane
fs = tolvane.generate_fake_features(int(os.environ.get("N_FEATURES", "1200")))
sub = [tolvane.Primitive(f"sub{i}", "m", "transform", False, [[("Integer", "Numeric")] * 2],
                         ("Integer", "Numeric")) for i in range(2)]
def expected(n):
    return n + 2 * n * (n - 1)
def digest(features):
    # Of the feature file: whole results compared at once, whatever their size.
    with tempfile.NamedTemporaryFile() as f:
        tolvane.Feature.save_features(features, f.name)
        return hashlib.sha256(open(f.name, "rb").read()).hexdigest()
""" + CALL_WITH_SIGNAL


def run_child(code, timeout=60, env=None, preexec_fn=None):
    rayon = {k: None for k in os.environ if k.startswith("RAYON_")}
    return run_python(code, {**rayon, "RAYON_NUM_THREADS": "2", **(env or {})}, timeout,
                      preexec_fn=preexec_fn, prelude=PRELUDE)


def test_signal_handler_that_lets_another_thread_in_does_not_deadlock():
    # The handler runs inside the call's stop probe, with the pool busy with the call, and waits
    # there for a second thread's call (letting go of the interpreter lock), which must run alone.
    r = run_child("""
        inner = []
        def other():
            inner.append(len(tolvane.generate_features(fs[:300], sub)))
        def handler(*_):
            t = threading.Thread(target=other)
            t.start()
            t.join()
        signal.signal(signal.SIGTERM, handler)
        outer = len(call_with_signal(signal.SIGTERM, tolvane.generate_features, fs, sub))
        print(inner == [expected(300)], outer == expected(len(fs)))
    """, env={"N_FEATURES": "600"})
    assert r.returncode == 0 and r.stdout.split() == ["True", "True"], r.stderr


@pytest.mark.slow
def test_concurrent_callers_get_identical_results():
    # Several Python threads calling in turn while signal handlers let them interleave: each result
    # is whole and the same as a lone call's.
    r = run_child("""
        small = fs[:120]
        reference = digest(tolvane.generate_features(small, sub))
        signal.signal(signal.SIGALRM, lambda *_: time.sleep(0.002))
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        digests = []
        def caller():
            for _ in range(5):
                digests.append(digest(tolvane.generate_features(small, sub)))
        threads = [threading.Thread(target=caller) for _ in range(3)]
        for t in threads:
            t.start()
        caller()
        for t in threads:
            t.join()
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(len(digests), set(digests) == {reference})
    """)
    assert r.returncode == 0 and r.stdout.split() == ["20", "True"], r.stderr


@needs_address_space_limit
@pytest.mark.slow
def test_threads_beyond_what_the_process_may_create():
    # 2000 threads of the default stack size cannot fit in 4 GiB of address space; the pool must
    # make what it can (or none) and the call must still give the whole result.
    import resource

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))

    r = run_child("""
        print(len(tolvane.generate_features(fs, sub)) == expected(len(fs)))
    """, env={"RAYON_NUM_THREADS": "2000"}, preexec_fn=limit, timeout=60)
    assert r.returncode == 0 and r.stdout.split() == ["True"], r.stderr


@pytest.mark.parametrize("variable", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
@pytest.mark.parametrize("value", ["18446744073709551615", "288230376151711744", "99999999999999999999",
                                   "4097", "1", "0", "-1", "two"])
def test_any_environment_value_gives_a_working_pool(variable, value):
    r = run_child("""
        print(len(tolvane.generate_features(fs[:200], sub)) == expected(200))
        print(len(os.listdir("/proc/self/task")) - THREADS_AT_START)
    """, env={"RAYON_NUM_THREADS": "", variable: value})
    assert r.returncode == 0, r.stderr
    ok, workers = r.stdout.split()
    assert ok == "True"
    # Capped: at most 1023 workers, the caller counting as one more.
    assert int(workers) <= 1023


@pytest.mark.skipif(
    SANITIZED, reason="the sanitizer's allocator is not fork-safe: a child forked while a worker "
    "holds its lock deadlocks in malloc (the system allocator is)")
def test_fork_from_a_signal_handler_mid_call_finishes_in_both_processes():
    r = run_child("""
        reference = digest(tolvane.generate_features(fs[:400], sub))
        children = []
        def handler(*_):
            pid = os.fork()
            if pid == 0:
                children.append(0)  # marks this process as the child
            else:
                children.append(pid)
        signal.signal(signal.SIGUSR1, handler)
        out = call_with_signal(signal.SIGUSR1, tolvane.generate_features, fs, sub)
        ok = len(out) == expected(len(fs))
        # The small call checks that the pool works afterwards, in both processes.
        ok = ok and digest(tolvane.generate_features(fs[:400], sub)) == reference
        if children == [0]:
            os._exit(0 if ok else 3)
        (pid,) = children
        _, status = os.waitpid(pid, 0)
        print(ok, os.waitstatus_to_exitcode(status))
    """, env={"N_FEATURES": "600"}, timeout=120)
    assert r.returncode == 0 and r.stdout.split() == ["True", "0"], r.stderr


@needs_address_space_limit
@pytest.mark.slow
def test_memory_limits_give_a_result_or_memory_error_never_an_abort():
    # A sweep of address-space limits across the range where the call's memory runs out: at each
    # the interpreter must live on, with the result or with MemoryError.
    code = """
        try:
            out = tolvane.generate_features(fs, sub)
            print("ok", len(out) == expected(len(fs)))
        except MemoryError:
            print("MemoryError", "True")
        print("alive")
    """
    r = run_child(code + """
        with open("/proc/self/status") as f:
            print(re.search(r"VmPeak:\\s+(\\d+) kB", f.read()).group(1))
    """.replace("re.search", "__import__('re').search"), env={"N_FEATURES": "1500"}, timeout=120)
    assert r.returncode == 0 and r.stdout.split()[:3] == ["ok", "True", "alive"], r.stderr
    peak = int(r.stdout.split()[3]) << 10
    import resource
    seen = set()
    for fraction in (0.3, 0.45, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 1.0):
        limit = int(peak * fraction)

        def apply(limit=limit):
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        r = run_child(code, env={"N_FEATURES": "1500"}, preexec_fn=apply, timeout=120)
        words = r.stdout.split()
        assert r.returncode == 0 and words[1:] == ["True", "alive"], (fraction, r)
        seen.add(words[0])
    assert "MemoryError" in seen


@pytest.mark.skipif(EMULATED, reason="under qemu-user /proc shows the emulator's own signal masks")
def test_workers_leave_signals_to_python_threads():
    # A signal the kernel delivered to a worker would interrupt nothing and run no handler soon.
    r = run_child("""
        tolvane.generate_features(fs[:100], sub)  # enough work to share with the workers
        masks = []
        for tid in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{tid}/status") as f:
                status = dict(line.split(":\\t", 1) for line in f.read().splitlines() if ":\\t" in line)
            if status["Name"].startswith("tolvane"):
                masks.append(int(status["SigBlk"], 16))
        blockable = ((1 << 31) - 1) & ~(1 << (signal.SIGKILL - 1)) & ~(1 << (signal.SIGSTOP - 1))
        print(len(masks), all(m & blockable == blockable for m in masks))
    """, env={"RAYON_NUM_THREADS": "4"})
    assert r.returncode == 0 and r.stdout.split() == ["3", "True"], r.stderr
