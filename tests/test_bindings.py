"""The binding layer: argument matching, converters, error conversion, holds, interruption."""
import pathlib
import signal

import numpy as np
import pytest
from helpers import raises


MATCH_CASES = [
    ("one", (), {}, "one() missing 1 required positional argument: 'a'"),
    ("one", (1, 2), {}, "one() takes 1 positional arguments but 2 were given"),
    ("required", (), {}, "required() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    ("required", (1,), {}, "required() missing 2 required positional arguments: 'b' and 'c'"),
    ("required", (1, 2), {}, "required() missing 1 required positional argument: 'c'"),
    ("required", (), {"b": 1}, "required() missing 2 required positional arguments: 'a' and 'c'"),
    ("required", (1, 2, 3, 4), {}, "required() takes 3 positional arguments but 4 were given"),
    ("optional", (1, 2), {}, "optional() missing 1 required positional argument: 'n_elems'"),
    ("optional", (1, 2, 3, "SEG2", 5, 6), {}, "optional() takes from 3 to 5 positional arguments but 6 were given"),
    ("optional", (1, 2, 3), {"d": 1}, "optional() got an unexpected keyword argument 'd'"),
    ("optional", (1, 2, 3), {"a": 1}, "optional() got multiple values for argument 'a'"),
    ("method", (1, 2, 3), {}, "Probe.method() takes from 1 to 2 positional arguments but 3 were given"),
    ("method", (), {}, "Probe.method() missing 1 required positional argument: 'x'"),
]


@pytest.mark.parametrize("func, args, kwargs, text", MATCH_CASES, ids=[c[3] for c in MATCH_CASES])
def test_matcher_texts(hooks, func, args, kwargs, text):
    with raises(TypeError, text):
        getattr(hooks, func)(*args, **kwargs)


def test_too_many_with_one_given_says_was(hooks):
    with raises(TypeError, "Probe.method() takes from 1 to 2 positional arguments but 3 were given"):
        hooks.method(1, 2, 3)


def test_binding_by_keyword_and_none_as_absent(hooks):
    assert hooks.optional(c=None, n_elems=3, b=2, a=1) == (1, 2, 3, None, None)
    assert hooks.optional(1, 2, 3, "TRI3", 7) == (1, 2, 3, "TRI3", 7)
    # Only a parameter whose default is None treats None as absent.
    assert hooks.optional(1, 2, 3, None) == (1, 2, 3, None, None)
    assert hooks.required(None, None, None) == (None, None, None)


def test_signature_lines_reach_inspect(hooks):
    import inspect

    assert str(inspect.signature(hooks.optional)) == "(a, b, n_elems, element_type='SEG2', c=None)"
    assert hooks.optional.__doc__ == "Optional parameters."


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


class FsPathBytes:
    def __fspath__(self):
        return b"/tmp/x"


CONVERT_OK = [
    ("f64", 1, 1.0),
    ("f64", 2.5, 2.5),
    ("f64", Floaty(), 2.5),
    ("f64", Indexy(), 7.0),
    ("i64", -3, -3),
    ("i64", Indexy(), 7),
    ("u64", 2**64 - 1, 2**64 - 1),
    ("u32", 2**32 - 1, 2**32 - 1),
    ("bool", True, True),
    ("bool", False, False),
    ("bool", np.bool_(True), True),
    ("bool", np.False_, False),
    ("str", "héllo", "héllo"),
    ("path", "rel/dir", "rel/dir"),
    ("path", pathlib.Path("/tmp/a b"), "/tmp/a b"),
    ("f64_list", (1, 2.5), [1.0, 2.5]),
    ("f64_list", np.array([1.0, 2.0]), [1.0, 2.0]),
    ("str_list", ["a", "b"], ["a", "b"]),
    ("tuple2", (1, 2), (1, 2)),
    ("components", "ux", ["ux"]),
    ("components", ["ux"], ["ux"]),
    ("components", ("ux",), ["ux"]),
    ("components", [], []),
]


@pytest.mark.parametrize("kind, value, expected", CONVERT_OK, ids=[f"{c[0]}-{c[1]!r}" for c in CONVERT_OK])
def test_converters_accept(hooks, kind, value, expected):
    assert hooks.convert(kind, value) == expected


CONVERT_FAIL = [
    ("f64", "1.0", TypeError, None),
    ("i64", 1.5, TypeError, None),
    ("i64", 2**63, OverflowError, None),
    ("u64", -1, OverflowError, None),
    ("u32", 2**32, OverflowError, None),
    ("u8", 256, OverflowError, None),
    ("bool", 1, TypeError, "argument 'value': 'int' object is not an instance of 'bool'"),
    ("bool", None, TypeError, "argument 'value': 'None' is not an instance of 'bool'"),
    ("str", 3, TypeError, "argument 'value': 'int' object is not an instance of 'str'"),
    ("str", "\udcff", UnicodeEncodeError, None),
    ("path", b"/tmp", TypeError, "argument 'value': 'bytes' object is not an instance of 'str'"),
    ("path", FsPathBytes(), TypeError, "argument 'value': 'bytes' object is not an instance of 'str'"),
    ("path", 3, TypeError, None),
    ("f64_list", "12", TypeError, "argument 'value': Can't extract `str` to `Vec`"),
    ("f64_list", [1, "a"], TypeError, None),
    ("tuple2", (1, 2, 3), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("components", 3, TypeError, "argument 'value': components: expected a str or a list of str"),
    ("components", ["ux", 3], TypeError, "argument 'value': components: expected a str or a list of str"),
    ("components", {"ux"}, TypeError, "argument 'value': components: expected a str or a list of str"),
    ("components", None, TypeError, "argument 'value': components: expected a str or a list of str"),
    ("components", (c for c in "ab"), TypeError, "argument 'value': components: expected a str or a list of str"),
    ("components", "\udcff", TypeError, "argument 'value': components: expected a str or a list of str"),
]


@pytest.mark.parametrize("kind, value, exc, text", CONVERT_FAIL, ids=[f"{c[0]}-{c[1]!r}" for c in CONVERT_FAIL])
def test_converters_refuse(hooks, kind, value, exc, text):
    with pytest.raises(exc) as info:
        hooks.convert(kind, value)
    if text is not None:
        assert str(info.value) == text
    if exc is TypeError:
        assert str(info.value).startswith("argument 'value': ")


def test_argument_error_keeps_the_cause(hooks):
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError) as info:
        hooks.convert("f64", Bad())
    assert str(info.value) == "argument 'value': outer"
    assert isinstance(info.value.__cause__, KeyError)


ERRORS = [
    (0, "boom", RuntimeError, "I/O error: boom"),
    (1, "bad record", RuntimeError, "serialization error: bad record"),
    (2, "", RuntimeError, "stale handle (slot freed or generation mismatch)"),
    (3, "", KeyboardInterrupt, "computation interrupted"),
    (4, "", RuntimeError, "submesh is sealed: it is already used by a finite-element space, field or matrix and "
     "can no longer be modified"),
    (5, "transfinite: side1 has 3 elements but side3 (opposite) has 4", RuntimeError,
     "transfinite: side1 has 3 elements but side3 (opposite) has 4"),
    (6, "2", RuntimeError, "I/O error: No such file or directory (os error 2)"),
]


@pytest.mark.parametrize("kind, text, exc, message", ERRORS, ids=[str(e[0]) for e in ERRORS])
def test_core_errors_become_python_exceptions(hooks, kind, text, exc, message):
    with pytest.raises(exc) as info:
        hooks.core_error(kind, text)
    assert info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize(
    "first, second, text",
    [(False, True, "Already borrowed"), (True, False, "Already mutably borrowed"), (True, True, "Already borrowed")],
)
def test_hold_conflicts(hooks, first, second, text):
    with raises(RuntimeError, text):
        hooks.hold_conflict(first, second)


def test_shared_holds_coexist(hooks):
    assert hooks.hold_conflict(False, False) is None


@pytest.mark.parametrize("exc", [KeyboardInterrupt, TimeoutError, ValueError])
def test_interrupt_check_turns_any_handler_exception_into_interrupted(hooks, exc):
    def handler(signum, frame):
        raise exc("from handler")

    old = signal.signal(signal.SIGUSR1, handler)
    try:
        assert hooks.poll_interrupt() is None  # nothing pending: success
        with raises(KeyboardInterrupt, "computation interrupted") as info:
            hooks.poll_interrupt(signal.SIGUSR1)
        assert info.value.__context__ is None  # the handler's exception is lost
        assert hooks.poll_interrupt() is None
    finally:
        signal.signal(signal.SIGUSR1, old)


def test_interrupt_check_with_quiet_handler_succeeds(hooks):
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda s, f: seen.append(s))
    try:
        assert hooks.poll_interrupt(signal.SIGUSR1) is None
        assert seen == [signal.SIGUSR1]
    finally:
        signal.signal(signal.SIGUSR1, old)


# ---------------------------------------------------------------------------
# List arguments are read from a snapshot: converting an item may change the list


class Refills:
    """An item whose conversion empties the list being converted and refills it; the
    freed item storage is handed out again at once, to lists of other values."""

    def __init__(self, value, refill):
        self.value, self.refill, self.victim, self.others = value, refill, None, None

    def _strike(self):
        self.victim.clear()
        self.others = [list(self.refill) for _ in range(64)]
        self.victim.extend(self.refill)

    def __float__(self):
        self._strike()
        return float(self.value)

    def __index__(self):
        self._strike()
        return int(self.value)


def _add_node(c, arg):
    return c.add_node(arg).coord()


def _set_coord(c, arg):
    node = c.add_node([0.0, 0.0, 0.0])
    node.set_coord(arg)
    return node.coord()


def _nearest_node(c, arg):
    near, far = c.add_node([0.5, 1.5, 2.5]), c.add_node([7.0, 8.0, 9.0])
    mesh = near | far
    return mesh.nearest_node(arg).id == near.id


def _set_permutation(c, arg):
    nodes = [c.add_node([float(i)] * 3) for i in range(3)]
    c.set_permutation(arg)
    del nodes
    return c.permutation()


SNAPSHOT_CASES = [
    (_add_node, [0.5, 1.5, 2.5], [0.5, 1.5, 2.5]),
    (_set_coord, [0.5, 1.5, 2.5], [0.5, 1.5, 2.5]),
    (_nearest_node, [0.5, 1.5, 2.5], True),
    (_set_permutation, [2, 0, 1], [2, 0, 1]),
]


@pytest.mark.parametrize("call, values, expected", SNAPSHOT_CASES, ids=[c[0].__name__ for c in SNAPSHOT_CASES])
def test_list_argument_survives_an_item_that_empties_it(call, values, expected):
    import _quenlith as q

    evil = Refills(values[0], [7.0, 8.0, 9.0] if isinstance(values[0], float) else [5, 5, 5])
    victim = [evil, *values[1:]]
    evil.victim = victim
    assert call(q.Coords(3), victim) == expected
    assert victim == evil.refill  # the caller's list was changed, not the values read


# ---------------------------------------------------------------------------
# A dump holds its receiver until the print has returned


@pytest.mark.parametrize("kind", ["mesh", "space"])
def test_dump_holds_its_receiver_while_printing(monkeypatch, kind):
    import sys

    import _quenlith as q

    c = q.Coords(2)
    a, b, d = (c.add_node(p) for p in ([0, 0], [1, 0], [0, 1]))
    mesh = q.Mesh(c, "TRI3")
    mesh[0].add_cell([a, b, d])
    obj = mesh if kind == "mesh" else q.FiniteElementSpace(mesh)

    class GrowingStdout:
        def write(self, text):
            obj.add_sub(obj[0])  # a callback that edits the object being dumped
            return len(text)

        def flush(self):
            pass

    monkeypatch.setattr(sys, "stdout", GrowingStdout())
    with raises(RuntimeError, "Already borrowed"):
        obj.dump()
    monkeypatch.undo()
    assert len(obj) == 1


# ---------------------------------------------------------------------------
# The converter other classes use for "a SubMesh or a unitary Mesh"


def test_submesh_or_unit_converter(hooks):
    Coords, Mesh = hooks.coords_class(), hooks.mesh_class()
    c = Coords(1)
    a, b = c.add_node([0.0]), c.add_node([1.0])
    seg = Mesh(c, "SEG2")
    seg[0].add_cell([a, b])
    assert hooks.submesh_or_unit(seg).cell_count() == 1
    assert hooks.submesh_or_unit(seg[0]).element_type == "SEG2"
    for n, mesh in ((0, Mesh(c)), (2, seg | Mesh(c, "POI1"))):
        with raises(RuntimeError, f"expected a unitary Mesh (exactly one submesh(es)), found {n}"):
            hooks.submesh_or_unit(mesh)
    for other in (a, c, None, 3):
        with raises(TypeError, "expected a SubMesh or a unitary Mesh"):
            hooks.submesh_or_unit(other)
