"""Calls nested inside calls: signal handlers that call in again from the stop probe, under a timer
faster than the calls, and Python code run by a conversion calling in again, on the default stack
and on small thread stacks. Each ends in RecursionError or in the result, never in a crash."""

import os

import pytest

from support import python_output

SANITIZED = bool(os.environ.get("TOLVANE_SANITIZED"))

PRELUDE = """
import json, os, signal, sys, tempfile, threading, tolvane
N = ("Integer", "Numeric")
sub = tolvane.Primitive("sub", "m", "transform", False, [[N, N]], N)
absolute = tolvane.Primitive("abs", "m", "transform", False, [[N]], N)
fs = tolvane.generate_fake_features(600)
big = tolvane.generate_features(fs[:200], [sub])
catalogue = os.path.join(tempfile.mkdtemp(), "catalogue.json")
schema = {"logical_type": "Integer", "semantic_tag": "Numeric"}
with open(catalogue, "w") as f:
    json.dump([{"name": f"p{i}", "id": "x" * 64, "module": "m", "column_schemas": [[schema]],
                "return_type": schema, "function_type": "transform", "commutative": True}
               for i in range(20_000)], f)
CALLS = {
    "generate_features": lambda: tolvane.generate_features(fs, [sub]),
    "save_features": lambda: tolvane.Feature.save_features(big, catalogue + ".out"),
    "load_primitives": lambda: tolvane.load_primitives(catalogue),
}
"""


def run(code, timeout=120):
    return python_output(code, {"RAYON_NUM_THREADS": "2"}, timeout, prelude=PRELUDE).split()


@pytest.mark.parametrize("call", ["generate_features", "save_features", "load_primitives"])
def test_handlers_nesting_under_a_fast_timer(call):
    # Every probe finds the timer fired, so each call's handler starts another call, and so on.
    out = run(f"""
        call = CALLS["{call}"]
        levels = []
        def handler(*_):
            levels.append(1)
            try:
                call()
            except RecursionError:
                signal.setitimer(signal.ITIMER_REAL, 0)
                raise
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
        try:
            call()
            print("result")
        except RecursionError:
            print("RecursionError")
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        print(len(levels) > 10)
    """)
    assert out in (["result", "True"], ["RecursionError", "True"])


# The sanitizers' frames are several times larger, and so is the stack a call keeps.
@pytest.mark.parametrize("stack_kib", [None, 2048, 1024] if SANITIZED else [None, 512, 256])
def test_conversions_nesting_on_small_stacks(stack_kib):
    # A sequence whose items call in again with another such sequence: each level is one more
    # call on the same thread's stack.
    out = run(f"""
        class Nested:
            def __len__(self):
                return 2
            def __getitem__(self, i):
                if i == 0:
                    tolvane.generate_features(Nested(), [absolute])
                if i >= 2:
                    raise IndexError
                return fs[i]
        def main():
            try:
                tolvane.generate_features(Nested(), [absolute])
                print("result")
            except RecursionError:
                print("RecursionError")
            # A plain call after the nesting unwound works as ever.
            print(len(tolvane.generate_features(fs, [absolute])))
        if {stack_kib!r}:
            threading.stack_size({stack_kib!r} << 10)
        t = threading.Thread(target=main)
        t.start()
        t.join()
    """)
    assert out == ["RecursionError", "1200"]


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' frames are several times larger")
def test_a_thread_of_modest_stack_makes_whole_calls():
    # The check asks for the stack a call may need, not more: 128 KiB threads work.
    out = run("""
        def main():
            print(len(tolvane.generate_features(fs, [sub])), len(tolvane.generate_fake_features(5000)))
        threading.stack_size(128 << 10)
        t = threading.Thread(target=main)
        t.start()
        t.join()
    """)
    assert out == [str(600 * 600), "5000"]


def test_a_call_deep_in_the_main_thread_after_one_near_its_top():
    # The main thread's stack grows as it is used; a first call near its top must not limit the
    # calls made later from further down (musl reports only the part mapped so far).
    out = run("""
        tolvane.generate_features(fs[:3], [absolute])
        def deep(n):
            # Each level passes through a C function, so the C stack grows with the depth.
            if n == 0:
                return len(tolvane.generate_features(fs[:3], [absolute]))
            return list(map(deep, [n - 1]))[0]
        print(deep(300))
    """)
    assert out == ["6"]
