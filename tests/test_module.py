"""Module start-up: version, registration order, signatures."""
import inspect
import subprocess
import sys

import pytest

import _quenlith as q


def test_version():
    assert q.__version__ == "0.1.0"
    assert q.__all__[0] == "__version__"


def test_all_lists_every_added_name_in_order():
    names = [n for n in q.__all__]
    assert len(names) == len(set(names))
    for n in names:
        assert hasattr(q, n)
    assert names[:3] == ["__version__", "set_swap_dir", "swap_dir"]


def test_no_exception_types():
    for name in dir(q):
        obj = getattr(q, name)
        assert not (isinstance(obj, type) and issubclass(obj, BaseException)), name


def test_functions_belong_to_the_module():
    assert q.swap_dir.__module__ == "_quenlith"
    assert q.set_swap_dir.__self__ is q


@pytest.mark.parametrize(
    "func, text",
    [(q.set_swap_dir, "(path)"), (q.swap_dir, "()")],
    ids=["set_swap_dir", "swap_dir"],
)
def test_signatures(func, text):
    assert str(inspect.signature(func)) == text
    assert "--" not in func.__doc__


def test_doc_text():
    assert q.swap_dir.__doc__ == "Return the effective swap directory (creating it if necessary)."
    assert "re-exports" in q.__doc__


def test_import_in_fresh_process_with_free_threading_flag():
    # The module declares it needs no interpreter lock and refuses sub-interpreters.
    code = "import _quenlith; print(_quenlith.__version__)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "0.1.0"


def test_subinterpreter_refused():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        result = interpreters.run_string(interp, "import _quenlith")
        assert result is not None  # the import failed inside the sub-interpreter
    finally:
        interpreters.destroy(interp)
