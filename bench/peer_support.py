"""What the peer benchmarks (bench_*_peers.py) share: pinning a child process to one
processor, and the time and growth of the peak resident size of one call."""

import os
import re
import time


def pin_to_one_processor():
    """Before anything that starts threads loads: the worker pool and OpenBLAS then
    see one processor."""
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[-1]})


def status_kb(key):
    with open("/proc/self/status") as f:
        return int(re.search(key + r":\s+(\d+) kB", f.read()).group(1))


def first_call(make):
    """(make()'s result, seconds it took, MB the peak resident size grew by during
    it); the peak is reset through /proc/self/clear_refs first."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = status_kb("VmRSS")
    t0 = time.perf_counter()
    out = make()
    seconds = time.perf_counter() - t0
    return out, seconds, (status_kb("VmHWM") - base) / 1024


def peak_growth(make):
    """(MB the peak resident size grew by during make(), seconds it took), the result
    dropped after."""
    out, seconds, grown = first_call(make)
    del out
    return grown, seconds


def best_alternated(ours, theirs, repeats, best_ours=float("inf"), best_theirs=float("inf"), theirs_too=True):
    """The best seconds of `repeats` calls of each, ours and theirs alternated (the
    peer's left out when theirs_too is false), starting from the bests given; a
    result is dropped before the next call."""
    for _ in range(repeats):
        for f, is_ours in ((ours, True), (theirs, False)):
            if not is_ours and not theirs_too:
                continue
            t0 = time.perf_counter()
            out = f()
            t = time.perf_counter() - t0
            del out
            if is_ours:
                best_ours = min(best_ours, t)
            else:
                best_theirs = min(best_theirs, t)
    return best_ours, best_theirs
