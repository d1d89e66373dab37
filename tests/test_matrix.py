"""Python classes Matrix and SubMatrix and the module function lump: blocks and their
entries, both orderings, finalize checked against scipy's coo_matrix(...).tocsr(),
the container protocol, scaled copies, products with vectors and node fields,
lumping, the three text forms and every error."""

import math
import random

import numpy as np
import pytest
import scipy.sparse as sp

import _quenlith as q
from helpers import raises

NOT_FINALIZED = "Matrix has not been finalized; call finalize() before solving"


@pytest.fixture
def cloud():
    """Nodes 0..3 of a 2-D Coords and a POI1 mesh over all of them."""
    c = q.Coords(2)
    n = [c.add_node([float(i), 0.0]) for i in range(4)]
    m = q.Mesh(c, "POI1")
    for x in n:
        m[0].add_cell([x])
    return c, n, m


def poi1(c, nodes):
    m = q.Mesh(c, "POI1")
    for x in nodes:
        m[0].add_cell([x])
    return m


def dense(matrix):
    return np.array(matrix.dense()).reshape(matrix.n_rows(), matrix.n_cols())


# --- blocks ------------------------------------------------------------------


@pytest.mark.parametrize("ordering, rows", [
    ("nodes_then_vars", [(10, "a"), (10, "b"), (20, "a"), (20, "b")]),
    ("vars_then_nodes", [(10, "a"), (20, "a"), (10, "b"), (20, "b")]),
], ids=["nodes_then_vars", "vars_then_nodes"])
def test_orderings_enumerate_pairs(ordering, rows):
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(21)]
    s = poi1(c, [n[10], n[20]])
    b = q.Matrix.block(s[0], s, ["a", "b"], ["a", "b"], ordering=ordering).unit()
    assert b.row_dofs() == rows and b.col_dofs() == rows
    assert b.n_rows() == b.n_cols() == 4


def test_block_seals_its_supports_and_a_shared_node_counts_twice(cloud):
    c, n, m = cloud
    seg = q.Mesh(c, "SEG2")
    seg[0].add_cell([n[0], n[1]])
    seg[0].add_cell([n[1], n[2]])
    b = q.Matrix.block(seg, m, ["u"], ["u"]).unit()
    assert seg[0].is_sealed and m[0].is_sealed
    assert b.n_rows() == 4 and b.row_dofs() == [(0, "u"), (1, "u"), (1, "u"), (2, "u")]
    b.add_entry(n[1], "u", n[3], "u", 5.0)
    assert b.dense()[1 * 4 + 3] == 5.0  # the first appearance of node 1
    with raises(RuntimeError, "submesh is sealed: it is already used by a finite-element space, field or "
                              "matrix and can no longer be modified"):
        seg[0].add_cell([n[2], n[3]])


def test_entries_accumulate_and_read_back_in_every_shape(cloud):
    c, n, m = cloud
    b = q.Matrix.block(m, m, ["u_x", "u_y"], ["u_y", "lambda"], symmetric=True).unit()
    b.add_entry(n[0], "u_x", n[1], "lambda", 2.0)
    b.add_entry(n[0], "u_x", n[1], "lambda", 3)
    b.add_entry(n[3], "u_y", n[0], "u_y", 0.0)
    assert len(b) == b.entry_count() == 3
    assert b.entries() == [(0, "u_x", 1, "lambda", 2.0), (0, "u_x", 1, "lambda", 3.0), (3, "u_y", 0, "u_y", 0.0)]
    assert b.get(n[0], "u_x", n[1], "lambda") == 5.0
    empty = b.get(n[1], "u_x", n[1], "lambda")
    assert empty == 0.0 and math.copysign(1.0, empty) == -1.0  # inside the block: -0.0
    outside = b.get(n[0], "nope", n[1], "lambda")
    assert outside == 0.0 and math.copysign(1.0, outside) == 1.0
    d = np.array(b.dense()).reshape(8, 8)
    assert d[0, 3] == 5.0 and d.sum() == 5.0
    assert b.mul_dense((1,) * 8) == [5.0] + [0.0] * 7
    assert b.field_names() == ["u_x", "u_y", "lambda"]
    assert b.physics() == [] and b.symmetric is True and b.factor == 1.0


@pytest.mark.parametrize("args, text", [
    ((3, "u", 0, "v"), "add_entry: row node 3 not in row_support"),
    ((3, "x", 0, "v"), "add_entry: row node 3 not in row_support"),
    ((0, "x", 3, "v"), "add_entry: row var 'x' not in dual_vars"),
    ((0, "u", 3, "v"), "add_entry: col node 3 not in col_support"),
    ((0, "u", 1, "x"), "add_entry: col var 'x' not in primal_vars"),
], ids=["row_node", "row_node_first", "row_var", "col_node", "col_var"])
def test_add_entry_checks_in_order_and_stores_nothing(cloud, args, text):
    c, n, m = cloud
    b = q.Matrix.block(poi1(c, n[:2]), poi1(c, n[:2]), ["u"], ["v"]).unit()
    rn, rv, cn, cv = args
    with raises(RuntimeError, text):
        b.add_entry(n[rn], rv, n[cn], cv, 1.0)
    assert b.entry_count() == 0


def test_block_argument_errors(cloud):
    c, n, m = cloud
    b = q.Matrix.block(m, m, ["u"], ["u"]).unit()
    with pytest.raises(TypeError, match="^argument 'row_node': "):
        b.get(3, "u", 4, "u")
    with pytest.raises(TypeError, match="^argument 'value': "):
        b.add_entry(n[0], "u", n[0], "u", "x")
    with raises(TypeError, "argument 'x': Can't extract `str` to `Vec`"):
        b.mul_dense("abcd")
    with raises(RuntimeError, "mul_dense: x has length 3 but sub-matrix has 4 columns"):
        b.mul_dense([1.0, 2.0, 3.0])
    with pytest.raises(AttributeError):
        b.factor = 2.0
    with pytest.raises(TypeError):
        q.SubMatrix()
    with raises(OverflowError, "can't convert negative int to unsigned"):
        b.dump(max_rows=-1)


def test_block_constructor_errors(cloud):
    c, n, m = cloud
    with raises(ValueError, "unknown ordering 'nodes'; expected 'nodes_then_vars' or 'vars_then_nodes'"):
        q.Matrix.block(m, m, ["u"], ["u"], ordering="nodes")
    with raises(TypeError, "expected a SubMesh or a unitary Mesh"):
        q.Matrix.block(c, m, ["u"], ["u"])
    with raises(RuntimeError, "expected a unitary Mesh (exactly one submesh(es)), found 2"):
        q.Matrix.block(m | q.Mesh(c, "SEG2"), m, ["u"], ["u"])
    with pytest.raises(TypeError, match="^argument 'dual_vars': "):
        q.Matrix.block(m, m, "u", ["u"])
    with pytest.raises(TypeError, match="^argument 'symmetric': "):
        q.Matrix.block(m, m, ["u"], ["u"], symmetric=1)
    assert q.Matrix.block(m, m, ["u"], ["u"], symmetric=np.bool_(True)).symmetric is True


# --- finalize against scipy ----------------------------------------------------


def random_matrix(seed, n_nodes=7, n_entries=60):
    """Two overlapping blocks (the second on a sub-cloud, another ordering, scaled
    by 2.5) with repeated positions, and the same triplets as global arrays."""
    rng = random.Random(seed)
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(n_nodes)]
    first = q.Matrix.block(poi1(c, n), poi1(c, n), ["u", "v"], ["u", "w"])
    part = n[2:5]
    second = q.Matrix.block(poi1(c, part), poi1(c, part[::-1]), ["v", "u"], ["w"], ordering="vars_then_nodes")
    triplets = []
    for block, rows, cols, rv, cv in [(first[0], n, n, ["u", "v"], ["u", "w"]),
                                      (second[0], part, part, ["v", "u"], ["w"])]:
        for _ in range(n_entries):
            r, cn = rng.choice(rows), rng.choice(cols)
            a, b = rng.choice(rv), rng.choice(cv)
            # Dyadic values: every order of summation gives the same bits, so the
            # comparison with scipy (whose order differs) is exact.
            value = rng.randint(-40, 40) / 8.0
            block.add_entry(r, a, cn, b, value)
            triplets.append((r.id, a, cn.id, b, value, block))
    m = first * 1.0 | second * 2.5
    return m, triplets


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_finalize_matches_scipy_coo_to_csr(seed):
    m, triplets = random_matrix(seed)
    rows_before = m.row_dofs()
    m.finalize()
    rows, cols = m.row_dofs(), m.col_dofs()
    assert rows == rows_before
    assert len(set(rows)) == len(rows) and len(set(cols)) == len(cols)
    ri = {d: i for i, d in enumerate(rows)}
    ci = {d: i for i, d in enumerate(cols)}
    factor = {id(m[0]): 1.0}
    scale = [1.0 if k < len(triplets) // 2 else 2.5 for k in range(len(triplets))]
    ref = sp.coo_matrix(([t[4] * s for t, s in zip(triplets, scale)],
                         ([ri[(t[0], t[1])] for t in triplets], [ci[(t[2], t[3])] for t in triplets])),
                        shape=(len(rows), len(cols))).tocsr()
    np.testing.assert_array_equal(dense(m), ref.toarray())
    x = np.arange(1.0, len(cols) + 1.0)
    np.testing.assert_allclose(m.mul_dense(list(x)), ref @ x, rtol=1e-12, atol=1e-3)
    assert m.entry_count() == len(triplets)


def test_repeated_positions_add_in_insertion_order(cloud):
    c, n, m = cloud
    M = q.Matrix.block(m, m, ["u"], ["u"])
    for v in (1e16, 1.0, -1e16):  # 0.0 in this order, 1.0 in others
        M[0].add_entry(n[0], "u", n[1], "u", v)
    M[0].add_entry(n[2], "u", n[2], "u", 1.0)
    M[0].add_entry(n[2], "u", n[2], "u", -1.0)
    M.finalize()
    assert M.get(n[0], "u", n[1], "u") == 0.0
    assert M.get(n[2], "u", n[2], "u") == 0.0


def test_finalize_is_a_snapshot_and_a_second_call_does_nothing(cloud):
    c, n, m = cloud
    M = q.Matrix.block(m, m, ["u"], ["u"])
    M[0].add_entry(n[0], "u", n[0], "u", 1.0)
    M.finalize()
    M[0].add_entry(n[0], "u", n[0], "u", 1.0)
    M.finalize()
    assert M.get(n[0], "u", n[0], "u") == 1.0
    assert q.Matrix.block(m, m, ["u"], ["u"]).get(n[0], "u", n[0], "u") == 0.0
    fresh = q.Matrix()
    fresh.add_sub(M[0])
    assert fresh.get(n[0], "u", n[0], "u") == 2.0  # unfinalized: the blocks are read
    assert M.get(n[0], "nope", n[0], "u") == 0.0


def test_unfinalized_matrix_refuses_dense_products(cloud):
    c, n, m = cloud
    M = q.Matrix.block(m, m, ["u"], ["u"])
    for call in (M.dense, lambda: M.mul_dense([0.0] * 4), lambda: M * q.NodeField(m, ["u"]), lambda: q.lump(M)):
        with raises(RuntimeError, NOT_FINALIZED):
            call()
    M.finalize()
    with raises(RuntimeError, "mul_dense: x has length 2 but matrix has 4 columns"):
        M.mul_dense([1.0, 2.0])


# --- container protocol ---------------------------------------------------------


def test_empty_matrix():
    m = q.Matrix()
    assert len(m) == 0 and m.n_rows() == 0 and m.entries() == [] and m.symmetric is True and m.physics() == []
    assert str(m) == "Matrix: 0 sub-matrix(es), 0 row(s) × 0 col(s), symmetric"
    assert repr(m) == "Matrix { count: 0, items: [] }"
    with raises(RuntimeError, NOT_FINALIZED):
        m.dense()
    m.finalize()
    assert m.dense() == [] and m.row_dofs() == []


def test_indexing_slicing_and_iteration(cloud):
    c, n, m = cloud
    blocks = [q.Matrix.block(m, m, [v], [v]) for v in "abc"]
    M = blocks[0] | blocks[1] | blocks[2]
    assert [b.field_names() for b in M] == [["a"], ["b"], ["c"]]
    assert M[-1].field_names() == ["c"]
    with raises(IndexError, "Matrix index 3 out of range (len=3)"):
        M[3]
    with raises(IndexError, "Matrix index -4 out of range (len=3)"):
        M[-4]
    for key in (1.0, "a", 2**64):
        with raises(TypeError, "Matrix indices must be integers or slices"):
            M[key]
    assert [b.field_names() for b in M[::-1]] == [["c"], ["b"], ["a"]]
    assert len(M[0:0]) == 0
    with pytest.raises(ValueError):
        M[::0]
    with raises(RuntimeError, "expected a unitary Matrix (exactly one sub-matrix(es)), found 3"):
        M.unit()


def test_unions_keep_each_block_once_and_add_sub_repeats(cloud):
    c, n, m = cloud
    M = q.Matrix.block(m, m, ["u"], ["u"])
    M[0].add_entry(n[1], "u", n[1], "u", 3.0)
    assert len(M | M) == 1 and len(M | M[0]) == 1
    M.add_sub(M[0])
    assert len(M) == 2 and M.entry_count() == 2
    assert len(M | q.Matrix()) == 1
    M.finalize()
    assert M.get(n[1], "u", n[1], "u") == 6.0
    one = M[0] | M[0]
    assert len(one) == 1 and one.dense()[5] == 3.0  # finalized
    with pytest.raises(TypeError):
        M[0] | M
    with pytest.raises(TypeError):
        M[0] | 1
    with pytest.raises(TypeError):
        M | 1


def test_filter_matches_tags_exactly(cloud):
    c, n, m = cloud
    M = q.Matrix.block(m, m, ["u"], ["u"])
    assert len(M.filter("mechanical")) == 0
    with raises(ValueError, "filter: unknown physics 'Thermal' (expected mechanical|thermal|constraint|other)"):
        M.filter("Thermal")


# --- scaled copies ------------------------------------------------------------------


def test_scaled_copies_carry_factors(cloud):
    c, n, m = cloud
    M = q.Matrix.block(m, m, ["u"], ["u"])
    M[0].add_entry(n[0], "u", n[1], "u", 3.0)
    M.finalize()
    doubled = M * 2.0
    assert doubled[0].factor == 2.0 and M[0].factor == 1.0
    assert doubled[0].entries()[0][4] == 6.0 and doubled[0].dense()[1] == 6.0
    assert str(doubled[0]) == "SubMatrix: 4 row(s) × 4 col(s), 1 entries, ×2"
    assert "factor: 2.0" in repr(doubled[0])
    with raises(RuntimeError, NOT_FINALIZED):
        doubled.dense()
    assert (M / 4)[0].factor == 0.25
    assert math.isinf((M / 0.0)[0].factor)
    with raises(TypeError, "unsupported operand type(s) for *: 'float' and '_quenlith.Matrix'"):
        2.0 * M
    with raises(TypeError, "unsupported operand type(s) for /: '_quenlith.Matrix' and 'str'"):
        M / "x"
    with raises(TypeError, "must be real number, not str"):
        M * "x"


# --- node fields -------------------------------------------------------------------


def test_product_with_a_node_field(cloud):
    c, n, m = cloud
    M = q.Matrix.block(m, m, ["f"], ["u"])
    for (i, j, v) in [(0, 0, 2.0), (0, 1, 1.0), (3, 3, 4.0), (2, 3, -1.0)]:
        M[0].add_entry(n[i], "f", n[j], "u", v)
    M.finalize()
    part = poi1(c, n[:2])  # no zone defines u at nodes 2 and 3: they count as 0.0
    f = q.NodeField(part, ["u"])
    f[0].set_value(n[0], "u", 1.0)
    f[0].set_value(n[1], "u", 10.0)
    y = M * f
    assert len(y) == 1 and y.components() == ["f"]
    assert y.values(m, "f") == [12.0, 0.0, 0.0, 0.0]
    full = q.NodeField(m, ["u"])
    for k, x in enumerate(n):
        full[0].set_value(x, "u", float(k + 1))
    np.testing.assert_array_equal((M * full).values(m, "f"), dense(M) @ np.arange(1.0, 5.0))


def test_product_gives_one_zone_per_row_support(cloud):
    c, n, m = cloud
    left, right = poi1(c, n[:2]), poi1(c, n[2:])
    M = q.Matrix.block(left, m, ["a"], ["u"]) | q.Matrix.block(right, m, ["b", "a"], ["u"])
    M[0].add_entry(n[0], "a", n[0], "u", 1.0)
    M[1].add_entry(n[3], "b", n[0], "u", 2.0)
    M.finalize()
    f = q.NodeField(m, ["u"])
    f[0].set_value(n[0], "u", 5.0)
    y = M * f
    assert len(y) == 2 and y[0].components() == ["a"] and y[1].components() == ["b", "a"]
    assert y.value(n[0], "a") == 5.0 and y.value(n[3], "b") == 10.0


# --- lumping -------------------------------------------------------------------------


def consistent_mass(m, n, c=0.5):
    M = q.Matrix.block(m, m, ["u"], ["u"], symmetric=True)
    for (i, j, v) in [(0, 0, 2 * c), (0, 1, c), (1, 0, c), (1, 1, 2 * c), (2, 2, 1.0), (2, 1, -1.0)]:
        M[0].add_entry(n[i], "u", n[j], "u", v)
    M.finalize()
    return M


def test_lump_concentrates_rows_and_keeps_the_total(cloud):
    c, n, m = cloud
    M = consistent_mass(m, n, 0.5)
    L = q.lump(M)
    assert len(L) == 0 and L.entries() == [] and L.entry_count() == 0
    np.testing.assert_array_equal(dense(L), np.diag([1.5, 1.5, 0.0, 0.0]))
    assert sum(L.dense()) == pytest.approx(sum(M.dense()))
    assert L.row_dofs() == M.row_dofs() and L.n_rows() == 4
    assert str(L) == "Matrix: 0 sub-matrix(es), 4 row(s) × 4 col(s), symmetric"
    assert len(M) == 1 and M.dense()[1] == 0.5  # the source is unchanged


def test_lumped_mass_joins_unions_scaling_and_products(cloud):
    c, n, m = cloud
    L = q.lump(consistent_mass(m, n, 0.5))
    K = q.Matrix.block(m, m, ["u"], ["u"])
    K[0].add_entry(n[0], "u", n[0], "u", 10.0)
    system = (L / 0.5) | K
    assert len(system) == 2
    system.finalize()
    np.testing.assert_array_equal(dense(system), np.diag([13.0, 3.0, 0.0, 0.0]))
    assert (L * 2.0).dense()[0] == 3.0
    f = q.NodeField(m, ["u"])
    f[0].set_value(n[1], "u", 2.0)
    assert (L * f).values(m, "u") == [0.0, 3.0, 0.0, 0.0]
    L.add_sub(K[0])
    L.finalize()
    assert L.get(n[0], "u", n[0], "u") == 11.5
    lumped = q.lump(consistent_mass(m, n))
    for call in (lambda: lumped.filter("mechanical"), lambda: lumped[0:1]):
        with pytest.raises(RuntimeError, match="holds only a finalized form"):
            call()


def test_lump_errors(cloud):
    c, n, m = cloud
    rect = q.Matrix.block(m, poi1(c, n[:1]), ["u"], ["u"])
    rect.finalize()
    with raises(RuntimeError, "lump: matrix must be square, got 4×1"):
        q.lump(rect)
    with pytest.raises(TypeError, match="^argument 'matrix': "):
        q.lump(m)
    empty = q.Matrix()
    empty.finalize()
    assert q.lump(empty).n_rows() == 0


# --- texts ----------------------------------------------------------------------------


# The factor part of a block's display text is plain decimal (never an exponent); its
# debug text writes the same factor as a debug number.
@pytest.mark.parametrize(
    "factor, display, debug",
    [
        (1.0, "", "1.0"),
        (2.0, ", ×2", "2.0"),
        (0.1, ", ×0.1", "0.1"),
        (1e-5, ", ×0.00001", "1e-5"),
        (-1.0, ", ×-1", "-1.0"),
        (1e20, ", ×100000000000000000000", "1e20"),
        (1 / 3, ", ×0.3333333333333333", "0.3333333333333333"),
        (float("nan"), ", ×NaN", "NaN"),
        (float("-inf"), ", ×-inf", "-inf"),
    ],
)
def test_block_factor_texts(cloud, factor, display, debug):
    c, n, m = cloud
    M = q.Matrix.block(poi1(c, n[:2]), poi1(c, n[:2]), ["u"], ["u"])
    M[0].add_entry(n[0], "u", n[1], "u", 1.5)
    block = (M * factor)[0]
    assert str(block) == "SubMatrix: 2 row(s) × 2 col(s), 1 entries" + display
    assert repr(block).endswith(f"ordering: NodesThenVars, factor: {debug} }}")


def test_texts_and_dumps(cloud, capsys):
    c, n, m = cloud
    M = q.Matrix.block(poi1(c, n[:2]), poi1(c, n[:2]), ["u"], ["u"], symmetric=True)
    M[0].add_entry(n[0], "u", n[1], "u", 1.5)
    M[0].add_entry(n[0], "u", n[1], "u", 1.0)
    assert str(M) == "Matrix: 1 sub-matrix(es), 2 row(s) × 2 col(s), symmetric"
    assert str(M[0]) == "SubMatrix: 2 row(s) × 2 col(s), 2 entries, symmetric"
    assert repr(M[0]) == ('SubMatrix { n_rows: 2, n_cols: 2, entries: 2, symmetric: true, dual_vars: ["u"], '
                          'primal_vars: ["u"], ordering: NodesThenVars, factor: 1.0 }')
    assert repr(M) == "Matrix { count: 1, items: [" + repr(M[0]) + "] }"
    table = ("       (0,u)  (1,u)\n"
             "(0,u)  0.000  2.500\n"
             "(1,u)  0.000  0.000\n")
    M.dump()
    M[0].dump()
    M.dump(precision=0)
    out = capsys.readouterr().out
    assert out == (str(M) + "\n" + table + "\n" + str(M[0]) + "\n" + table + "\n" + str(M) + "\n"
                   "       (0,u)  (1,u)\n(0,u)      0      2\n(1,u)      0      0\n\n")
    M.finalize()
    M.dump(max_rows=1, max_cols=1)
    assert "… (1 ligne(s) de plus)" in capsys.readouterr().out
    with pytest.raises(RuntimeError):
        M.dump(precision=70000)
