"""What the benchmark scripts share: the median CPU and wall time of a call."""
import gc
import statistics
import time


def medians(function, runs):
    """Median (CPU, wall) seconds of function() over runs; what it returns is dropped outside the
    timing."""
    cpu, wall = [], []
    for _ in range(runs):
        gc.collect()
        c, w = time.process_time(), time.perf_counter()
        result = function()
        cpu.append(time.process_time() - c)
        wall.append(time.perf_counter() - w)
        del result
    return statistics.median(cpu), statistics.median(wall)
