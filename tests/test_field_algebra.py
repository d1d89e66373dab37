"""Field algebra from Python: the operators of the four field classes against numpy on
random values (every operand kind: number, field, zone), the component union of binary
operations and their zone pairing, numbers on the left, NaN / inf / -0.0 corners, the
reductions min / max / sum, the in-place component operations, and which results share
zones with their operands."""

import functools
import math
import operator

import numpy as np
import pytest

import _quenlith as q
from helpers import raises

NAN = float("nan")
OPS = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "**": operator.pow}


def same(a, b):
    """Equal arrays to the bit, -0.0 told from 0.0; any NaN matches any NaN."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    assert a.shape == b.shape
    nan = np.isnan(a)
    assert (nan == np.isnan(b)).all()
    assert a[~nan].view(np.uint64).tolist() == b[~nan].view(np.uint64).tolist()


# --- fixtures ----------------------------------------------------------------


def poi1_mesh(coords, groups):
    """A Mesh of one POI1 submesh per group of nodes."""
    mesh = None
    for group in groups:
        m = q.Mesh(coords, "POI1")
        for n in group:
            m[0].add_cell([n])
        mesh = m if mesh is None else mesh | m
    return mesh


def node_values(zone):
    return np.array([zone.node_values(i) for i in range(zone.node_count())]).reshape(zone.node_count(), -1)


def elem_values(zone):
    return np.array([zone.point_values(c, g) for c in range(zone.cell_count()) for g in range(zone.gauss_count())]
                    ).reshape(-1, zone.component_count())


def fill(zone, rng, rows, scale=4.0):
    """Random values in [-scale, scale), with a few integers, zeros and a NaN, written
    through the zone's row setter; returns them as an array."""
    nc = zone.component_count()
    v = rng.uniform(-scale, scale, size=(rows, nc))
    v[rng.random((rows, nc)) < 0.15] = 0.0
    v[rng.random((rows, nc)) < 0.15] = 2.0
    v[0, 0] = NAN
    for r in range(rows):
        for c in range(nc):
            set_row(zone, r, c, float(v[r, c]))
    return v


def set_row(zone, r, c, value):
    if isinstance(zone, q.SubNodeField):
        zone.set(r, c, value)
    else:
        g = zone.gauss_count()
        zone.set(r // g, r % g, c, value)


def values_of(zone):
    return node_values(zone) if isinstance(zone, q.SubNodeField) else elem_values(zone)


class NodeKit:
    """Two node fields a (ux, uy, uz) and b (ux, uy, uz) on one support of 40 nodes."""

    def __init__(self, rng):
        self.coords = q.Coords(2)
        self.nodes = [self.coords.add_node([float(i), 0.0]) for i in range(40)]
        self.mesh = poi1_mesh(self.coords, [self.nodes])
        self.names = ["ux", "uy", "uz"]

    def field(self, names=None):
        return q.NodeField(self.mesh, names or self.names)

    rows = 40


class ElemKit:
    """Element fields on a space of one TRI3 subspace of 6 cells (3 Gauss points)."""

    def __init__(self, rng):
        c = q.Coords(2)
        n = [c.add_node([float(i % 4), float(i // 4)]) for i in range(12)]
        m = q.Mesh(c, "TRI3")
        for j in range(2):
            for i in range(3):
                a = 4 * j + i
                m[0].add_cell([n[a], n[a + 1], n[a + 5]])
                m[0].add_cell([n[a], n[a + 5], n[a + 4]]) if len(m[0]) < 6 else None
        self.space = q.FiniteElementSpace(m)
        self.names = ["ux", "uy", "uz"]
        self.rows = len(m[0]) * 3

    def field(self, names=None):
        return q.ElementField(self.space, names or self.names)


@pytest.fixture(params=["node", "element"])
def kit(request):
    rng = np.random.default_rng(7)
    k = NodeKit(rng) if request.param == "node" else ElemKit(rng)
    k.rng = rng
    return k


def filled_field(kit, names=None):
    f = kit.field(names)
    return f, fill(f[0], kit.rng, kit.rows)


# --- operators against numpy --------------------------------------------------


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("operand", ["number", "int", "field", "zone", "zone-zone", "zone-number", "self",
                                     "field-self", "own-zone"])
def test_operators_match_numpy(kit, op, operand):
    f, a = filled_field(kit)
    g, b = filled_field(kit)
    fn = OPS[op]
    with np.errstate(all="ignore"):
        if operand == "number":
            got, want = fn(f, 1.5)[0], fn(a, 1.5)
        elif operand == "int":
            got, want = fn(f, 2)[0], fn(a, 2.0)
        elif operand == "field":
            got, want = fn(f, g)[0], fn(a, b)
        elif operand == "zone":
            got, want = fn(f, g[0])[0], fn(a, b)
        elif operand == "zone-zone":
            got, want = fn(f[0], g[0]), fn(a, b)
        elif operand == "zone-number":
            got, want = fn(f[0], -0.5), fn(a, -0.5)
        elif operand == "self":
            got, want = fn(f[0], f[0]), fn(a, a)
        elif operand == "field-self":
            got, want = fn(f, f).unit(), fn(a, a)
        else:
            got, want = fn(f, f[0]).unit(), fn(a, a)
    if op == "**":
        # numpy's power is not the platform's pow in the last bit
        np.testing.assert_array_max_ulp(values_of(got), want, maxulp=1)
        assert (np.isnan(values_of(got)) == np.isnan(want)).all()
    else:
        same(values_of(got), want)
    same(values_of(f[0]), a)  # the operand is unchanged


@pytest.mark.parametrize("op", OPS)
def test_a_number_on_the_left_is_refused(kit, op):
    f, _ = filled_field(kit)
    for obj in (f, f[0]):
        with pytest.raises(TypeError):
            OPS[op](2.0, obj)


def test_operand_errors(kit):
    f, _ = filled_field(kit)
    zone_cls, field_cls = type(f[0]).__name__, type(f).__name__
    article = "an" if field_cls[0] in "AEIOU" else "a"
    with raises(TypeError, f"unsupported operand: expected a float, {article} {field_cls}, or a {zone_cls}"):
        f + "a"
    with raises(TypeError, f"unsupported operand: expected a float or a {zone_cls}"):
        f[0] + f
    for obj in (f, f[0]):
        with raises(TypeError, "field ** exponent does not support a modulo argument"):
            pow(obj, 2.0, 3)
        with raises(TypeError, "field ** exponent does not support a modulo argument"):
            pow(obj, "x", 3)
    same(values_of(pow(f, 2.0)[0]), values_of((f * f)[0]))
    same(values_of(pow(f[0], 2.0)), values_of(f[0] * f[0]))
    other = NodeKit(None) if isinstance(f, q.NodeField) else ElemKit(None)
    h = other.field()
    with raises(RuntimeError, "merge_components: operands are not on the same support"):
        f[0] + h[0]
    with raises(RuntimeError, "merge_subfield: no zone shares the sub-field's support"):
        f + h[0]
    with raises(RuntimeError, "merge_subfield: no zone shares the sub-field's support"):
        f[0:0] + h[0]


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def test_right_operands_that_convert_to_float(kit):
    f, a = filled_field(kit)
    same(values_of((f + True)[0]), a + 1.0)
    same(values_of((f[0] * Floaty(-2.0))), a * -2.0)
    with raises(ValueError, "no float here"):
        f - Floaty(ValueError("no float here"))
    with raises(TypeError, "unsupported operand: expected a float or a " + type(f[0]).__name__):
        f[0] / Floaty(TypeError("refused"))
    same(values_of(f[0]), a)


def test_division_by_zero_and_nan_are_values(kit):
    f, a = filled_field(kit)
    with np.errstate(all="ignore"):
        same(values_of((f / 0.0)[0]), a / 0.0)
        same(values_of((f / -0.0)[0]), a / -0.0)
        same(values_of((f * NAN)[0]), a * NAN)
        same(values_of((f ** 0.5)[0]), np.array([[math.pow(v, 0.5) if v >= 0 else NAN for v in row] for row in a]))


# --- component union and zone pairing ------------------------------------------


def test_binary_operations_take_the_union_of_components(kit):
    f, a = filled_field(kit, ["ux", "uy"])
    g, b = filled_field(kit, ["uy", "uz"])
    for left, right in ((f, g), (f[0], g[0]), (f, g[0])):
        r = left - right
        zone = r if isinstance(r, (q.SubNodeField, q.SubElementField)) else r.unit()
        assert zone.components() == ["ux", "uy", "uz"]
        same(values_of(zone), np.column_stack([a[:, 0], a[:, 1] - b[:, 0], b[:, 1]]))
    p = (g ** f).unit()  # a component only f carries keeps f's value under **
    assert p.components() == ["uy", "uz", "ux"]
    with np.errstate(all="ignore"):
        np.testing.assert_array_max_ulp(values_of(p), np.column_stack([b[:, 0] ** a[:, 1], b[:, 1], a[:, 0]]), 1)


def node_zone(coords, nodes, names, value):
    f = q.NodeField(poi1_mesh(coords, [nodes]), names)
    f.add_to_component(names[0], value)
    return f


def test_zone_pairing_of_node_fields():
    c = q.Coords(2)
    n = [c.add_node([float(i), 1.0]) for i in range(6)]
    m = poi1_mesh(c, [n[0:2], n[2:4], n[4:6]])
    s1, s2, s3 = q.NodeField(m[0], ["u"]), q.NodeField(m[1], ["u"]), q.NodeField(m[2], ["u"])
    for k, f in enumerate((s1, s2, s3)):
        f.add_to_component("u", 10.0 ** k)
    a, b = s1 | s2, s2 | s3
    b.mul_to_component("u", 2.0)  # s2 and s3 become 20 and 200: shared zones
    r = a + (s2 * 0.5 | s3)
    assert [z.node_values(0) for z in r] == [[1.0], [30.0], [200.0]]
    # two zones of self on one support both merge with it; it is not copied again
    two = s2 + 0.0
    two.add_sub(s2[0])
    r = two + (s2 * 0.5)
    assert [z.node_values(0) for z in r] == [[30.0], [30.0]]
    # two zones of other on one support: the first pairs, the second is copied after
    other = s2 * 0.5
    other.add_sub((s2 * 3.0)[0])
    r = s1 + other
    assert [z.node_values(0) for z in r] == [[1.0], [10.0], [60.0]]
    empty = s1[0:0]
    assert [z.node_values(0) for z in empty + s1] == [[1.0]]
    assert [z.node_values(0) for z in s1 + empty] == [[1.0]]
    d = q.Coords(2)
    other_coords = q.NodeField(poi1_mesh(d, [[d.add_node([0.0, 0.0])]]), ["u"])
    with raises(RuntimeError, "mismatched Coords"):
        s1 + other_coords


def test_element_fields_on_unrelated_meshes_keep_both_zones():
    a, b = ElemKit(None).field(), ElemKit(None).field()
    a.add_to_component("ux", 1.0)
    r = a + b
    assert len(r) == 2 and r[0].max("ux") == 1.0 and r[1].max("ux") == 0.0


# --- reductions ---------------------------------------------------------------


def chunk_sum(values):
    """The sum of a zone too small to be cut: eight running sums from -0.0 (value k
    into sum k mod 8), joined ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7))."""
    s = [functools.reduce(operator.add, values[k::8], -0.0) for k in range(8)]
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]))


def test_reductions_match_numpy(kit):
    f, a = filled_field(kit)
    for k, name in enumerate(kit.names):
        col = a[:, k]
        assert f.min(name) == np.nanmin(col) and f[0].min(name) == np.nanmin(col)
        assert f.max(name) == np.nanmax(col) and f[0].max(name) == np.nanmax(col)
        for s in (f.sum(name), f[0].sum(name)):
            same(s, chunk_sum(col.tolist()))


def test_extremes_pass_over_nan_and_keep_signed_zero_order(kit):
    f = kit.field(["u"])
    z = f[0]
    for r in range(kit.rows):
        set_row(z, r, 0, NAN)
    assert math.isnan(f.min("u")) and math.isnan(z.max("u"))
    set_row(z, 1, 0, 3.0)
    set_row(z, 2, 0, 1.0)
    assert z.max("u") == 3.0 and z.min("u") == 1.0 and math.isnan(z.sum("u"))
    set_row(z, 3, 0, math.inf)
    set_row(z, 4, 0, -math.inf)
    assert f.max("u") == math.inf and f.min("u") == -math.inf


@pytest.mark.parametrize("method", ["min", "max", "sum"])
def test_reduction_errors(kit, method):
    f, _ = filled_field(kit)
    prefix = "sum: " if method == "sum" else f"{method}: "
    with raises(RuntimeError, f"{prefix}no sub-field defines component rho"):
        getattr(f, method)("rho")
    with raises(RuntimeError, f"{prefix}no sub-field defines component rho"):
        getattr(f[0:0], method)("rho")
    with raises(RuntimeError, "unknown component: rho"):
        getattr(f[0], method)("rho")


def test_empty_zone_sums_to_negative_zero_and_has_no_extremum():
    c = q.Coords(2)
    f = q.NodeField(q.Mesh(c, "POI1")[0], ["ux"])
    same(f[0].sum("ux"), -0.0)
    same(f.sum("ux"), -0.0)
    for m in ("min", "max"):
        with raises(RuntimeError, f"{m}: no value for component ux (empty support)"):
            getattr(f[0], m)("ux")
        with raises(RuntimeError, f"{m}: no value for component ux (empty support)"):
            getattr(f, m)("ux")


def test_field_sum_adds_zone_sums_in_order():
    c = q.Coords(2)
    n = [c.add_node([float(i), 0.0]) for i in range(4)]
    f = q.NodeField(poi1_mesh(c, [n[:2], n[2:]]), ["u"])
    for k, v in enumerate([1e16, 1.0, -1e16, 1.0]):
        f[k // 2].set(k % 2, 0, v)
    same(f.sum("u"), (-0.0 + (1e16 + 1.0)) + (-1e16 + 1.0))
    assert f.min("u") == -1e16 and f.max("u") == 1e16


# --- in-place component operations ----------------------------------------------


@pytest.mark.parametrize("method,fn", [("add_to_component", operator.add), ("sub_to_component", operator.sub),
                                       ("mul_to_component", operator.mul), ("div_to_component", operator.truediv)])
@pytest.mark.parametrize("on", ["zone", "field"])
def test_component_operations_in_place(kit, method, fn, on):
    f, a = filled_field(kit)
    view = f[0]
    getattr(view if on == "zone" else f, method)("uy", -1.25)
    a[:, 1] = fn(a[:, 1], -1.25)
    same(values_of(f[0]), a)  # seen through every holder of the zone


@pytest.mark.parametrize("method", ["add_to_component", "sub_to_component", "mul_to_component", "div_to_component"])
def test_component_operation_errors(kit, method):
    f, a = filled_field(kit)
    with raises(RuntimeError, "no sub-field defines component rho"):
        getattr(f, method)("rho", 2.0)
    with raises(RuntimeError, "unknown component: rho"):
        getattr(f[0], method)("rho", 2.0)
    with raises(RuntimeError, "no sub-field defines component ux"):
        getattr(f[0:0], method)("ux", 2.0)
    same(values_of(f[0]), a)


@pytest.mark.parametrize("zero", [0.0, -0.0, 0])
def test_division_by_zero_is_refused_first(kit, zero):
    f, a = filled_field(kit)
    for obj in (f, f[0], f[0:0]):
        with raises(RuntimeError, "div_to_component: division by zero"):
            obj.div_to_component("rho", zero)
    f.div_to_component("ux", NAN)
    assert np.isnan(values_of(f[0])[:, 0]).all()
    same(values_of(f[0])[:, 1:], a[:, 1:])


def test_a_zone_listed_twice_is_changed_twice(kit):
    f, a = filled_field(kit)
    f.add_sub(f[0])
    f.mul_to_component("ux", 2.0)
    same(values_of(f[1])[:, 0], a[:, 0] * 4.0)


# --- sharing ----------------------------------------------------------------------


def test_which_results_share_zones(kit):
    f, a = filled_field(kit, ["ux"])
    g = f["ux"]  # filtering keeps a zone carrying only the names: shared
    g.add_to_component("ux", 1.0)
    same(values_of(f[0])[:, 0], a[:, 0] + 1.0)
    for r in (f + 0.0, f * f, f + f[0], f[0] + 0.0, f[0] - f[0], f < 0.5):
        z = r if isinstance(r, (q.SubNodeField, q.SubElementField)) else r[0]
        z.add_to_component("ux", 100.0)
    same(values_of(f[0])[:, 0], a[:, 0] + 1.0)
    h = f + 0.0
    h += 1.0  # rebinds to a new field, the old zones are unchanged
    same(values_of(f[0])[:, 0], a[:, 0] + 1.0)
