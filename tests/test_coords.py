"""Coords (node registry) and Node (counted node reference) from Python."""
import gc
import inspect
import os
import re
import stat
import sys
import threading

import numpy as np
import pytest

import _quenlith as q
from helpers import raises

HANDLE = r"Handle<quenlith::containers::mesh::coords::Coords>\{ idx: \d+, gen: \d+ \}"


@pytest.fixture
def square():
    """A 2-D registry of four nodes; the Node objects are kept alive by the fixture."""
    c = q.Coords(2)
    nodes = [c.add_node(p) for p in ([0, 0], [1, 0], [1, 1], [0, 1])]
    return c, nodes


# ---------------------------------------------------------------------------
# Construction and arguments


def test_fresh_coords():
    c = q.Coords(2)
    assert c.dim == 2
    assert c.names() == ["default"]
    assert c.active == 0
    assert c.node_count() == 0
    assert c.capacity() == 0
    assert c.permutation() is None
    assert q.Coords(255).dim == 255


@pytest.mark.parametrize(
    "dim, exc, text",
    [
        (0, RuntimeError, "dim must be ≥ 1"),
        (256, OverflowError, None),
        (-1, OverflowError, None),
        (2.0, TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
        ("2", TypeError, None),
    ],
    ids=["zero", "256", "negative", "float", "str"],
)
def test_constructor_refusals(dim, exc, text):
    with pytest.raises(exc) as info:
        q.Coords(dim)
    if text is not None:
        assert str(info.value) == text


def test_constructor_by_keyword_and_arity():
    assert q.Coords(dim=3).dim == 3
    with pytest.raises(TypeError):
        q.Coords()
    with pytest.raises(TypeError):
        q.Coords(2, 3)


def test_classes_are_final_and_node_has_no_constructor():
    with pytest.raises(TypeError):
        q.Node()
    for cls in (q.Coords, q.Node):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_dim_and_active_are_read_only():
    c = q.Coords(2)
    with pytest.raises(AttributeError):
        c.dim = 3
    with pytest.raises(AttributeError):
        c.add_node([0, 0]).id = 4


# ---------------------------------------------------------------------------
# Nodes and reference counts


def test_add_node_accepts_sequences_of_numbers():
    c = q.Coords(2)
    n = c.add_node([0, 1])
    assert n.id == 0
    assert c.refcount(0) == 1
    assert n.coord() == [0.0, 1.0]
    assert c.add_node((1.5, 2.5)).coord() == [1.5, 2.5]
    assert c.add_node(np.array([3.0, 4.0])).coord() == [3.0, 4.0]
    assert c.capacity() == 3


@pytest.mark.parametrize(
    "value, exc, text",
    [
        ([0.0], RuntimeError, "add_node: expected 2 coordinates, got 1"),
        ([0.0, 1.0, 2.0], RuntimeError, "add_node: expected 2 coordinates, got 3"),
        ("01", TypeError, "argument 'coords': Can't extract `str` to `Vec`"),
        (5, TypeError, None),
        ([0.0, "x"], TypeError, None),
    ],
    ids=["short", "long", "str", "int", "str_item"],
)
def test_add_node_refusals_change_nothing(value, exc, text):
    c = q.Coords(2)
    with pytest.raises(exc) as info:
        c.add_node(value)
    if text is not None:
        assert str(info.value) == text
    if exc is TypeError:
        assert str(info.value).startswith("argument 'coords': ")
    assert c.capacity() == 0


def test_acquire_release_and_gc():
    c = q.Coords(2)
    a = c.add_node([0, 1])
    c.add_node([5, 5])  # discarded: its count falls to 0 at once
    b = c.acquire(0)
    assert b.id == 0
    assert a is not b and a != b  # identity semantics
    assert c.refcount(0) == 2
    del a, b
    assert c.refcount(0) == 0
    assert c.is_alive(0)
    assert c.node_count() == 2
    assert c.gc() == 2
    assert not c.is_alive(0)
    assert c.refcount(0) == 0
    assert c.capacity() == 2
    assert c.node_count() == 0
    with raises(RuntimeError, "node 0 not found or collected"):
        c.acquire(0)
    assert c.add_node([1, 1]).id == 2  # collected ids are never handed out again


def test_unreferenced_node_can_be_acquired_again():
    c = q.Coords(1)
    c.add_node([3])
    n = c.acquire(0)
    assert c.refcount(0) == 1
    assert c.gc() == 0
    assert n.coord() == [3.0]


def test_raw_id_queries():
    c = q.Coords(2)
    c.add_node([0, 0])
    assert c.is_alive(1000000) is False
    assert c.refcount(1000000) == 0
    assert c.is_alive(4294967295) is False
    with pytest.raises(OverflowError):
        c.is_alive(-1)
    with pytest.raises(OverflowError):
        c.refcount(4294967296)
    with pytest.raises(OverflowError):
        c.acquire(4294967296)
    with raises(TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"):
        c.is_alive(0.0)
    with raises(RuntimeError, "node 7 not found or collected"):
        c.acquire(7)


def test_node_keeps_its_coords_alive():
    n = q.Coords(3).add_node([1, 2, 3])
    gc.collect()
    assert n.coord() == [1.0, 2.0, 3.0]
    n.set_coord([4, 5, 6])
    assert n.coord() == [4.0, 5.0, 6.0]


def test_set_coord_refusals(square):
    c, nodes = square
    with raises(RuntimeError, "set_coord: expected 2 coordinates, got 3"):
        nodes[1].set_coord([1, 2, 3])
    with raises(TypeError, "argument 'coords': Can't extract `str` to `Vec`"):
        nodes[1].set_coord("ab")
    assert nodes[1].coord() == [1.0, 0.0]


def test_concurrent_adds_and_acquires():
    c = q.Coords(2)
    kept = [[] for _ in range(4)]

    def work(k):
        for i in range(200):
            n = c.add_node([k, i])
            kept[k].append(n)
            kept[k].append(c.acquire(n.id))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    ids = sorted(n.id for nodes in kept for n in nodes[::2])
    assert ids == list(range(800))
    assert all(c.refcount(i) == 2 for i in range(800))
    for k, nodes in enumerate(kept):
        assert [n.coord() for n in nodes] == [[float(k), float(i)] for i in range(200) for _ in range(2)]
    del nodes
    kept.clear()
    assert c.gc() == 800


# ---------------------------------------------------------------------------
# Configurations and permutations


def test_configurations():
    c = q.Coords(2)
    n = c.add_node([1, 2])
    assert c.add_config("deformed") == 1
    assert c.active == 0
    c.select(1)
    assert c.active == 1
    n.set_coord([9, 9])
    assert n.coord() == [9.0, 9.0]
    c.select(config=0)
    assert n.coord() == [1.0, 2.0]
    assert c.names() == ["default", "deformed"]
    assert c.add_config("default") == 2  # names are not checked
    with raises(RuntimeError, "select: index 3 ≥ configuration count (3)"):
        c.select(3)
    assert c.active == 0
    with pytest.raises(OverflowError):
        c.select(-1)
    with pytest.raises(TypeError):
        c.select("deformed")
    with raises(TypeError, "argument 'name': 'int' object is not an instance of 'str'"):
        c.add_config(1)


def test_permutation_round_trip():
    c = q.Coords(1)
    keep = [c.add_node([0]), c.add_node([1])]
    c.set_permutation([1, 0])
    assert c.permutation() == [1, 0]
    keep.append(c.add_node([2]))
    assert c.permutation() == [1, 0, 2]
    c.clear_permutation()
    assert c.permutation() is None
    c.clear_permutation()
    empty = q.Coords(1)
    empty.set_permutation([])
    assert empty.permutation() == []


@pytest.mark.parametrize(
    "perm, text",
    [
        ([2, 0], "set_permutation: length 2 ≠ capacity 3"),
        ([0, 3, 1], "set_permutation: value 3 ≥ capacity 3"),
        ([1, 1, 0], "set_permutation: duplicate value 1"),
        ([1, 1, 5], "set_permutation: duplicate value 1"),
        ([5, 1, 1], "set_permutation: value 5 ≥ capacity 3"),
    ],
    ids=["length", "value", "duplicate", "duplicate_first", "value_first"],
)
def test_permutation_refusals_keep_the_old_one(perm, text):
    c = q.Coords(1)
    keep = [c.add_node([i]) for i in range(3)]
    c.set_permutation((2, 0, 1))
    with raises(RuntimeError, text):
        c.set_permutation(perm)
    assert c.permutation() == [2, 0, 1]
    assert len(keep) == 3


def test_permutation_argument_conversion():
    c = q.Coords(1)
    c.add_node([0])
    with raises(TypeError, "argument 'perm': Can't extract `str` to `Vec`"):
        c.set_permutation("0")
    with pytest.raises(OverflowError):
        c.set_permutation([4294967296])
    with pytest.raises(OverflowError):
        c.set_permutation([-1])


# ---------------------------------------------------------------------------
# Text forms


def test_str_and_repr_of_coords(square):
    c, nodes = square
    assert str(c) == 'Coords: dim=2, configs=1 (active="default"), nodes=4 (0 collected), permutation: identity'
    assert repr(c) == (
        'Coords { dim: 2, configs: ["default"], active: 0, node_count: 4, capacity: 4, permutation: false }'
    )
    c.add_config('say "hi"\n')
    c.select(1)
    c.set_permutation([3, 2, 1, 0])
    del nodes[1:3]
    c.add_node([5, 5])
    assert c.gc() == 3
    assert str(c) == (
        'Coords: dim=2, configs=2 (active="say "hi"\n"), nodes=2 (3 collected), permutation: custom'
    )
    assert repr(c) == (
        'Coords { dim: 2, configs: ["default", "say \\"hi\\"\\n"], active: 1, node_count: 2, capacity: 5, '
        "permutation: true }"
    )


def test_str_and_repr_of_node():
    c = q.Coords(2)
    nodes = [c.add_node([0.5, 1.0]) for _ in range(8)]
    n = nodes[7]
    assert str(n) == "<Node #7>"
    assert re.fullmatch(r"Node \{ id: NodeId\(7\), handle: " + HANDLE + r", coord: \[0\.5, 1\.0\] \}", repr(n))
    n.set_coord([1e-5, -2.5e16])
    assert repr(n).endswith("coord: [1e-5, -2.5e16] }")


def test_coords_dump_golden(capsys):
    c = q.Coords(3)
    keep = [c.add_node([0, 0, 0]), c.add_node([1.5, -2.25, 1e3]), c.add_node([0.0005, 0.0015, -0.4])]
    keep.append(c.acquire(1))
    c.add_node([7, 7, 7])
    del keep[0]
    c.gc()
    assert c.dump() is None
    assert capsys.readouterr().out == (
        'Coords: dim=3, configs=1 (active="default"), nodes=2 (2 collected), permutation: identity\n'
        "node      x       y         z  refs\n"
        "   1  1.500  -2.250  1000.000     2\n"
        "   2  0.001   0.002    -0.400     1\n"
        "\n"
    )
    c.dump(0, 1, max_cols=2)
    assert capsys.readouterr().out == (
        'Coords: dim=3, configs=1 (active="default"), nodes=2 (2 collected), permutation: identity\n'
        "node  x   y  …\n"
        "   1  2  -2  …\n"
        "   ⋮  ⋮   ⋮  ⋮\n"
        "… (1 ligne(s) de plus)\n"
        "… (2 colonne(s) de plus)\n"
        "\n"
    )


def test_empty_coords_dump_is_header_only(capsys):
    q.Coords(4).dump()
    assert capsys.readouterr().out == (
        'Coords: dim=4, configs=1 (active="default"), nodes=0 (0 collected), permutation: identity\n'
        "node  x  y  z  ?  refs\n"
        "\n"
    )


def test_node_dump_golden(capsys):
    c = q.Coords(2)
    n = c.add_node([0.5, -1.0 / 3.0])
    assert n.dump() is None
    n.dump(precision=1)
    n.dump(0, 0, 0)
    assert capsys.readouterr().out == "Node #0 @ (0.500, -0.333)\nNode #0 @ (0.5, -0.3)\nNode #0 @ (0, -0)\n"


def test_dump_argument_conversion():
    c = q.Coords(1)
    n = c.add_node([1])
    for obj in (c, n):
        with pytest.raises(OverflowError):
            obj.dump(precision=-1)
        with raises(TypeError, "argument 'max_rows': 'str' object cannot be interpreted as an integer"):
            obj.dump(max_rows="a")
        with pytest.raises(TypeError):
            obj.dump(1, 2, 3, 4)
    # Past the formatter's 16-bit precision: refused as a RuntimeError, not a crash.
    with pytest.raises(RuntimeError):
        c.dump(precision=70000)
    with pytest.raises(RuntimeError):
        n.dump(precision=70000)


def test_dump_prints_through_redirected_stdout_and_propagates_print_errors(monkeypatch):
    import builtins
    import io
    import sys

    c = q.Coords(1)
    buffer = io.StringIO()
    monkeypatch.setattr(sys, "stdout", buffer)
    c.dump()
    assert buffer.getvalue().startswith("Coords: dim=1")

    def broken(*args, **kwargs):
        raise ValueError("print failed")

    monkeypatch.setattr(builtins, "print", broken)
    with raises(ValueError, "print failed"):
        c.dump()
    with raises(ValueError, "print failed"):
        c.add_node([0]).dump()


# ---------------------------------------------------------------------------
# Signatures and docs


def test_signatures_and_docs():
    assert str(inspect.signature(q.Coords)) == "(dim)"
    expected = {
        "node_count": "()",
        "capacity": "()",
        "is_alive": "(id)",
        "add_node": "(coords)",
        "acquire": "(id)",
        "refcount": "(id)",
        "gc": "()",
        "add_config": "(name)",
        "select": "(config)",
        "names": "()",
        "permutation": "()",
        "set_permutation": "(perm)",
        "clear_permutation": "()",
        "dump": "(precision=3, max_rows=20, max_cols=12)",
    }
    c = q.Coords(2)
    for name, sig in expected.items():
        assert str(inspect.signature(getattr(c, name))) == sig, name
    n = c.add_node([0, 0])
    assert str(inspect.signature(n.coord)) == "()"
    assert str(inspect.signature(n.set_coord)) == "(coords)"
    assert str(inspect.signature(n.dump)) == "(precision=3, max_rows=20, max_cols=12)"

    assert q.Coords.dim.__doc__ == "Spatial dimension of the coordinates (1, 2 or 3)."
    assert q.Coords.active.__doc__ == "Index of the active configuration."
    assert q.Node.id.__doc__ == "Stable integer id of this node within its `Coords`."
    assert q.Coords.add_node.__doc__ == "Add a node at `coords` and return it as a `Node` (refcount = 1)."
    assert q.Coords.is_alive.__doc__ == (
        "Whether node `id` is still live (not garbage-collected).\n"
        "\n"
        "Takes a **raw id**, not a `Node`, on purpose: a `Node` holds a\n"
        "refcount, so it could never be observed dead. This is the API for\n"
        "inspecting nodes you may no longer hold (post-GC checks)."
    )
    dump_doc = (
        "Print the full content (third display level) to stdout: values /\n"
        "topology, beyond `repr`'s bounded structure. Returns nothing."
    )
    assert q.Coords.dump.__doc__ == dump_doc
    assert q.Node.dump.__doc__ == dump_doc
    assert q.Coords.__doc__.startswith("The registry of live nodes")
    assert q.Node.__doc__.startswith("A node of a `Coords`")


def test_method_argument_errors_name_the_method():
    c = q.Coords(2)
    with raises(TypeError, "Coords.add_node() missing 1 required positional argument: 'coords'"):
        c.add_node()
    with raises(TypeError, "Coords.gc() takes 0 positional arguments but 1 was given"):
        c.gc(1)
    with raises(TypeError, "Coords.select() got an unexpected keyword argument 'index'"):
        c.select(index=0)
    with raises(TypeError, "Node.coord() takes 0 positional arguments but 1 was given"):
        c.add_node([0, 0]).coord(0)


# ---------------------------------------------------------------------------
# Reference counts of nodes and of Python objects


def test_nodes_in_a_collected_cycle_give_their_references_back():
    c = q.Coords(1)
    nodes = [c.add_node([i]) for i in range(3)]
    cycle = [nodes[0], c.acquire(0), nodes[2]]
    cycle.append(cycle)
    del nodes, cycle
    assert [c.refcount(i) for i in range(3)] == [2, 0, 1]  # the cycle still holds 0 (twice) and 2
    gc.collect()
    assert [c.refcount(i) for i in range(3)] == [0, 0, 0]
    assert c.gc() == 3


def test_concurrent_releases_keep_counts_exact():
    c = q.Coords(1)
    base = c.add_node([0])
    held = [[c.acquire(0) for _ in range(300)] for _ in range(4)]
    assert c.refcount(0) == 1201
    threads = [threading.Thread(target=held[k].clear) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert c.refcount(0) == 1
    del base
    assert c.refcount(0) == 0


def test_calls_leak_no_python_references():
    # Every Python object made by a call is given back; arguments are only borrowed.
    c = q.Coords(2)
    keep = c.add_node([0, 1])
    point, perm, name = [2.0, 3.0], [0], "cfg"
    counts = lambda: [sys.getrefcount(x) for x in (q.Node, q.Coords, c, keep, point, perm, name)]
    c.set_permutation(perm)
    before = counts()
    for _ in range(200):
        c.add_node(point)
        c.acquire(0)
        c.names(), c.permutation(), keep.coord(), str(keep), repr(keep), str(c), repr(c)
        for bad in (lambda: c.add_node([0.0]), lambda: c.add_node("ab"), lambda: c.acquire(10**6),
                    lambda: keep.set_coord(point + point), lambda: c.select(name)):
            with pytest.raises((RuntimeError, TypeError)):
                bad()
    assert counts() == before
    assert c.refcount(0) == 1 and all(c.refcount(i) == 0 for i in range(1, 201))


# ---------------------------------------------------------------------------
# A Coords written out to a swap file (the test hooks' own copy of the classes)


@pytest.fixture
def swapped(hooks, tmp_path):
    """A registry of the hooks module with two held nodes, a second configuration and a permutation."""
    C = hooks.coords_class()
    c = C(2)
    nodes = [c.add_node([0, 1]), c.add_node([2.5, -1])]
    extra = c.acquire(1)
    c.add_config("moved")
    c.set_permutation([1, 0])
    return hooks, tmp_path, c, nodes + [extra]


def test_swapped_out_coords_reads_back_unchanged(swapped):
    hooks, tmp, c, nodes = swapped
    before = (str(c), repr(c), [repr(n) for n in nodes], c.names(), c.permutation(), c.active)
    path = hooks.swap_out(c, tmp)
    assert os.path.dirname(path) == str(tmp) and hooks.swap_path(c) == path
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert hooks.swap_out(c, tmp) is None  # already out
    assert str(nodes[0]) == "<Node #0>" and nodes[1].id == 1  # reads nothing
    assert hooks.swap_path(c) == path
    assert nodes[1].coord() == [2.5, -1.0]  # reads back and removes the file
    assert hooks.swap_path(c) is None and not os.path.exists(path)
    assert (str(c), repr(c), [repr(n) for n in nodes], c.names(), c.permutation(), c.active) == before
    assert [c.refcount(0), c.refcount(1)] == [1, 2]


def test_node_released_while_its_coords_is_out_gives_its_reference_back(swapped):
    hooks, tmp, c, nodes = swapped
    hooks.swap_out(c, tmp)
    nodes.pop()  # the extra reference on node 1
    assert hooks.swap_path(c) is None  # the release read it back
    assert c.refcount(1) == 1
    hooks.swap_out(c, tmp)
    nodes.clear()
    assert [c.refcount(0), c.refcount(1)] == [0, 0]
    assert c.gc() == 2


def test_unreadable_coords_texts_fall_back_and_calls_raise(swapped, capsys):
    hooks, tmp, c, nodes = swapped
    os.remove(hooks.swap_out(c, tmp))
    io_text = "I/O error: " + os.strerror(2) + " (os error 2)"
    assert str(nodes[1]) == "<Node #1>"
    assert re.fullmatch(r"Node \{ id: NodeId\(1\), handle: " + HANDLE + r", coord: <" + re.escape(io_text) + r"> \}",
                        repr(nodes[1]))
    nodes[1].dump()
    assert capsys.readouterr().out == f"Node #1 <{io_text}>\n"
    calls = [nodes[1].coord, lambda: nodes[1].set_coord([0, 0]), c.node_count, lambda: str(c), lambda: repr(c),
             c.dump, lambda: c.acquire(0), lambda: c.add_node([1, 1]), lambda: c.dim, c.gc]
    for call in calls:
        with raises(RuntimeError, io_text):
            call()
    assert capsys.readouterr().out == ""  # a dump that cannot read prints nothing
    nodes.clear()  # releases that cannot reach the registry are ignored
    gc.collect()


def test_damaged_swap_file_is_refused_and_the_coords_kept(swapped):
    # Every single-bit flip and every cut of the file: each read is refused before a
    # field is decoded, the file stays, and the good file then reads back unchanged.
    hooks, tmp, c, nodes = swapped
    before = (str(c), repr(c), [repr(n) for n in nodes], c.names(), c.permutation(), c.active)
    path = hooks.swap_out(c, tmp)
    with open(path, "rb") as f:
        good = f.read()
    flips = (good[:i] + bytes([good[i] ^ (1 << bit)]) + good[i + 1:] for i in range(len(good)) for bit in range(8))
    cuts = (good[:n] for n in range(len(good)))
    for bad in (*flips, *cuts):
        with open(path, "wb") as f:
            f.write(bad)
        with pytest.raises(RuntimeError, match="^serialization error: "):
            nodes[0].coord()
        assert hooks.swap_path(c) == path
    with open(path, "wb") as f:
        f.write(good)
    assert (str(c), repr(c), [repr(n) for n in nodes], c.names(), c.permutation(), c.active) == before
    assert [c.refcount(0), c.refcount(1)] == [1, 2]


def test_corrupt_swap_file_is_a_serialization_error(swapped):
    hooks, tmp, c, nodes = swapped
    path = hooks.swap_out(c, tmp)
    with open(path, "r+b") as f:
        f.truncate(5)
    with pytest.raises(RuntimeError, match="^serialization error: "):
        nodes[0].coord()
    assert "coord: <serialization error: " in repr(nodes[0])
    assert hooks.swap_path(c) == path  # stays out, file kept
