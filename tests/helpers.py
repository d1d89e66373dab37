"""Helpers shared by the Python tests."""
import re
import subprocess
import sys
import textwrap

import pytest


def raises(exc, text):
    """pytest.raises for an exception whose message is exactly `text`."""
    return pytest.raises(exc, match="^" + re.escape(text) + "$")


def files_with_one_and_all_processors(body, tmp_path):
    """Runs `body` (Python source that writes the file sys.argv[1]) in two child
    interpreters, one that sees a single processor and one that sees them all, and
    returns the bytes of the two files."""
    script = textwrap.dedent(
        """
        import os, sys
        if sys.argv[2] == "1":
            os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        """
    ) + textwrap.dedent(body)
    out = []
    for threads in ("1", "all"):
        path = tmp_path / f"{threads}.out"
        subprocess.run([sys.executable, "-c", script, str(path), threads], check=True)
        out.append(path.read_bytes())
    return out


def uniform_field(fes, values):
    """An ElementField on every subspace of `fes` holding values[name] at every point."""
    import _quenlith as q

    field = q.ElementField(fes, list(values))
    for zone in field:
        for name, v in values.items():
            zone.set_uniform(name, v)
    return field
