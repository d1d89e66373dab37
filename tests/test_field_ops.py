"""Module functions on fields: element-wise functions against numpy for the four
flavours, scalar products (xtx, xty, psca), masks, component filtering and renaming,
with their dispatch errors and which results share zones with their argument."""

import math

import numpy as np
import pytest

import _quenlith as q
from helpers import files_with_one_and_all_processors, raises
from test_field_algebra import ElemKit, NodeKit, fill, poi1_mesh, same, values_of

NOT_A_FIELD = "expected a NodeField, SubNodeField, ElementField or SubElementField"
FLAVOURS = ["NodeField", "ElementField", "SubNodeField", "SubElementField"]
SPECIAL = [-0.0, 0.0, -1.0, 1.0, 0.5, 1000.0, -1000.0, math.inf, -math.inf, math.nan, 1e-300, 2.0]


def make(flavour, names=("ux", "uy")):
    """A filled field of the flavour, its values as an array (rows x components) and a
    second one of the same class on the same support."""
    rng = np.random.default_rng(3)
    kit = NodeKit(rng) if flavour.endswith("NodeField") else ElemKit(rng)
    kit.rng = rng
    f, g = kit.field(list(names)), kit.field(list(names))
    a, b = fill(f[0], rng, kit.rows), fill(g[0], rng, kit.rows)
    if flavour.startswith("Sub"):
        return f[0], a, g[0], b, kit
    return f, a, g, b, kit


def first_zone(obj):
    return obj if isinstance(obj, (q.SubNodeField, q.SubElementField)) else obj[0]


# --- element-wise functions ---------------------------------------------------

FUNCTIONS = {
    "abs": np.abs, "sqrt": np.sqrt, "exp": np.exp, "log": np.log, "log10": np.log10, "cos": np.cos,
    "sin": np.sin, "tan": np.tan, "sinh": np.sinh, "cosh": np.cosh, "tanh": np.tanh,
}


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_elementwise_functions_match_numpy(flavour, name):
    f, a, _, _, kit = make(flavour)
    zone = first_zone(f)
    specials = np.array(SPECIAL)
    for k, v in enumerate(SPECIAL):  # the awkward values first, then the random ones
        r, c = divmod(k, 2)
        zone.set(r, c, v) if isinstance(zone, q.SubNodeField) else zone.set(r // 3, r % 3, c, v)
        a[r, c] = v
    r = getattr(q, name)(f)
    assert type(r) is type(f)
    got = values_of(first_zone(r))
    with np.errstate(all="ignore"):
        want = FUNCTIONS[name](a)
    assert (np.isnan(got) == np.isnan(want)).all()
    assert (np.signbit(got) == np.signbit(want))[~np.isnan(want)].all()
    exact = ~np.isfinite(want) | (want == 0.0)
    same(got[exact], want[exact])
    if name in ("abs", "sqrt"):
        same(got, want)  # correctly rounded: bit for bit
    else:
        np.testing.assert_allclose(got[~exact], want[~exact], rtol=4e-16, atol=0)
    same(values_of(zone), a)  # the argument is untouched
    assert len(specials) == len(SPECIAL)


def test_elementwise_corners_named():
    f, _, _, _, _ = make("SubNodeField", ["u"])
    for k, v in enumerate([0.0, -1.0, -0.0, 1000.0]):
        f.set(k, 0, v)
    assert math.isinf(q.log(f).node_values(0)[0]) and q.log(f).node_values(0)[0] < 0
    assert math.isnan(q.log(f).node_values(1)[0]) and math.isnan(q.sqrt(f).node_values(1)[0])
    assert math.copysign(1.0, q.sqrt(f).node_values(2)[0]) == -1.0
    assert math.copysign(1.0, q.abs(f).node_values(2)[0]) == 1.0
    assert q.exp(f).node_values(3)[0] == math.inf


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_elementwise_result_is_a_new_zone_on_the_same_support(flavour):
    f, a, _, _, _ = make(flavour)
    r = q.abs(f)
    z, rz = first_zone(f), first_zone(r)
    assert rz.components() == z.components()
    assert rz.node_count() == z.node_count() if isinstance(z, q.SubNodeField) else rz.cell_count() == z.cell_count()
    rz.add_to_component("ux", 5.0)
    same(values_of(z), a)


@pytest.mark.parametrize("cls", ["NodeField", "ElementField"])
def test_elementwise_of_an_empty_container(cls):
    f, _, _, _, _ = make(cls)
    empty = f[0:0]
    r = q.cos(empty)
    assert type(r) is type(f) and len(r) == 0


@pytest.mark.parametrize("arg", [1.0, "T", None])
@pytest.mark.parametrize("name", ["abs", "tanh"])
def test_elementwise_refuses_other_objects(name, arg):
    with raises(TypeError, NOT_A_FIELD):
        getattr(q, name)(arg)
    with raises(TypeError, NOT_A_FIELD):
        getattr(q, name)(field=q.Mesh(q.Coords(2), "SEG2"))


def test_elementwise_signature_and_argument_errors():
    assert q.sqrt.__text_signature__ == "(field)"
    assert q.sqrt.__doc__ == "Element-wise square root of a field (`nan` for negatives)."
    with pytest.raises(TypeError):
        q.abs()
    with pytest.raises(TypeError):
        q.abs(1.0, 2.0)


# --- scalar products ----------------------------------------------------------


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_products_match_numpy(flavour):
    f, a, g, b, _ = make(flavour)
    a[0, 0] = b[0, 0] = 0.5  # no NaN: the sums are compared as numbers
    z, w = first_zone(f), first_zone(g)
    z.set(0, 0, 0.5) if isinstance(z, q.SubNodeField) else z.set(0, 0, 0, 0.5)
    w.set(0, 0, 0.5) if isinstance(w, q.SubNodeField) else w.set(0, 0, 0, 0.5)
    assert q.xtx(f) == pytest.approx(float((a * a).sum()), rel=1e-13)
    assert q.xtx(f, ["uy"]) == pytest.approx(float((a[:, 1] ** 2).sum()), rel=1e-13)
    assert q.xtx(x=f, components=("uy", "nope")) == q.xtx(f, ["uy"])
    assert q.xty(f, g) == pytest.approx(float((a * b).sum()), rel=1e-13)
    assert q.xty(f, f) == pytest.approx(q.xtx(f), rel=1e-14)
    p = q.psca(f, g)
    assert type(p) is type(f) and first_zone(p).components() == ["psca"]
    np.testing.assert_allclose(values_of(first_zone(p))[:, 0], (a * b).sum(axis=1), rtol=1e-15)


def test_products_pair_components_by_name_and_zones_by_support():
    c = q.Coords(2)
    n = [c.add_node([float(i), 0.0]) for i in range(4)]
    mesh = poi1_mesh(c, [n[:2], n[2:]])
    x = q.NodeField(mesh, ["ux", "T"])
    y = q.NodeField(mesh[1], ["T", "ux", "q"])
    for k, zone in enumerate(x):
        for r in range(2):
            zone.set(r, 0, 1.0 + r + k)
            zone.set(r, 1, 10.0)
    for r in range(2):
        y[0].set(r, 0, 2.0)
        y[0].set(r, 1, 3.0)
    # only x's second zone has a partner: ux*ux + T*T on its two nodes
    assert q.xty(x, y) == (2.0 * 3.0 + 20.0) + (3.0 * 3.0 + 20.0)
    p = q.psca(x, y)
    assert len(p) == 1 and p[0].node_values(1) == [3.0 * 3.0 + 20.0]
    none = q.NodeField(mesh[0], ["a"])
    assert q.xty(x[0], none[0]) == 0.0
    assert q.psca(x[0], none[0]).node_values(0) == [0.0]
    other = q.NodeField(poi1_mesh(c, [n[:2]]), ["ux"])  # same nodes, another support
    assert q.xty(x, other) == 0.0 and len(q.psca(x, other)) == 0
    with raises(RuntimeError, "dot: operands are not on the same support"):
        q.xty(x[0], other[0])
    with raises(RuntimeError, "pscal: operands are not on the same support"):
        q.psca(x[0], other[0])
    empty = x[0:0]
    assert q.xtx(empty) == 0.0 and q.xty(empty, empty) == 0.0
    assert q.xtx(x, ["T"]) == 4 * 100.0


@pytest.mark.parametrize("fn", ["xty", "psca"])
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_products_refuse_mixed_flavours(fn, flavour):
    f, _, _, _, _ = make(flavour)
    other = f[0] if not flavour.startswith("Sub") else q.NodeField(q.Mesh(q.Coords(2), "POI1"), ["u"])
    with raises(TypeError, f"{fn}: both operands must be {flavour}s"):
        getattr(q, fn)(f, other)
    with raises(TypeError, f"{fn}: both operands must be {flavour}s"):
        getattr(q, fn)(f, 1.0)
    with raises(TypeError, NOT_A_FIELD):
        getattr(q, fn)(1.0, f)


@pytest.mark.parametrize("flavour", ["NodeField", "SubNodeField"])
def test_xtx_component_errors(flavour):
    f, _, _, _, _ = make(flavour)
    zone_level = flavour.startswith("Sub")
    for names, shown in (([], "[]"), (["a", 'q"'], '["a", "q\\""]')):
        text = (f"xtx_components: none of {shown} present in this sub-field" if zone_level
                else f"xtx_components: no zone defines any of {shown}")
        with raises(RuntimeError, text):
            q.xtx(f, names)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        q.xtx(f, "ux")
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        q.xtx(1.0, "ux")  # converted before the flavour is looked at


# --- masks --------------------------------------------------------------------


def band_zone(values):
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(len(values))]
    f = q.NodeField(poi1_mesh(c, [n]), ["u"])
    for r, v in enumerate(values):
        f[0].set(r, 0, v)
    return f[0]


@pytest.mark.parametrize("band, want", [
    (dict(ge=0), [0, 1, 1, 1, 1, 0]),
    (dict(gt=0), [0, 0, 1, 1, 1, 0]),
    (dict(ge=0, le=1), [0, 1, 1, 1, 0, 0]),
    (dict(gt=0, lt=1), [0, 0, 1, 0, 0, 0]),
    (dict(ge=1, le=1), [0, 0, 0, 1, 0, 0]),
    (dict(lt=math.inf), [1, 1, 1, 1, 1, 0]),
    (dict(ge=math.nan), [0, 0, 0, 0, 0, 0]),
])
def test_mask_bands(band, want):
    zone = band_zone([-1.0, 0.0, 0.5, 1.0, 2.0, math.nan])
    got = [v[0] for v in (q.mask(zone, **band).node_values(i) for i in range(6))]
    assert got == want


def test_mask_matches_comparison_and_numpy():
    for flavour in FLAVOURS:
        f, a, _, _, _ = make(flavour)
        m = q.mask(f, lt=0.5)
        same(values_of(first_zone(m)), np.where(a < 0.5, 1.0, 0.0))
        same(values_of(first_zone(m)), values_of(first_zone(f < 0.5)))
        assert type(m) is type(f)


def large_field(seed, cells, low, high, n_nan, shape=lambda a: None):
    """A node field X, Y, Z on a line of `cells` SEG2 cells, its values quarters drawn
    in [low, high), then `shape` applied, then n_nan NaN, inf at row 5 (X) and -inf at
    row 6 (Z); returns the Coords, the field and the values."""
    rng = np.random.default_rng(seed)
    c = q.Coords(3)
    f = q.coordinates(q.line(c.add_node([0.0, 0.0, 0.0]), c.add_node([1.0, 1.0, 1.0]), cells))
    zone = f[0]
    a = np.round(rng.uniform(low, high, (zone.node_count(), 3)) * 4) / 4
    shape(a)
    a[rng.integers(0, len(a), n_nan), rng.integers(0, 3, n_nan)] = np.nan
    a[5, 0], a[6, 2] = math.inf, -math.inf
    for r, row in enumerate(a):
        for k, v in enumerate(row):
            zone.set(r, k, float(v))
    return c, f, a


@pytest.mark.parametrize("band, test", [
    (dict(ge=0.25), lambda a: a >= 0.25),
    (dict(gt=0.25, lt=0.75), lambda a: (a > 0.25) & (a < 0.75)),
    (dict(ge=0.25, le=0.25), lambda a: a == 0.25),
    (dict(le=-math.inf), lambda a: a == -math.inf),
])
@pytest.mark.parametrize("components", [None, ["Z", "X"]])
def test_mask_of_a_large_field(band, test, components):
    # Rows of three values, more of them than fit one block of the mask, an odd total,
    # NaN and infinities among them; every component tested, or only X and Z.
    def negative_zero(a):
        a[7, 0] = -0.0

    _, f, a = large_field(7, 1000, -0.5, 1.5, 40, negative_zero)
    got = values_of(q.mask(f, components=components, **band)[0])
    want = np.where(test(a), 1.0, 0.0)
    if components:
        want[:, 1] = 1.0
    same(got, want)


def test_mask_components():
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(2)]
    f = q.NodeField(poi1_mesh(c, [n[:1], n[1:]]), ["ux", "uy"])
    g = q.NodeField(poi1_mesh(c, [n[1:]]), ["uy"])
    for zone in f:
        zone.set(0, 0, -1.0)
        zone.set(0, 1, -1.0)
    m = q.mask(f, ge=0, components=["ux"])
    assert [z.node_values(0) for z in m] == [[0.0, 1.0], [0.0, 1.0]]
    assert q.mask(g, ge=5, components=["ux"])[0].node_values(0) == [1.0]
    # a listed name a zone lacks is left out: "ux" is still tested beside a missing "T"
    assert [z.node_values(0) for z in q.mask(f, ge=0, components=["ux", "T"])] == [[0.0, 1.0], [0.0, 1.0]]
    assert [z.node_values(0) for z in q.mask(f, ge=0, components=["T"])] == [[1.0, 1.0], [1.0, 1.0]]
    assert [z.node_values(0) for z in q.mask(f, ge=5, components=[])] == [[1.0, 1.0], [1.0, 1.0]]
    assert len(q.mask(f[0:0], ge=0)) == 0


@pytest.mark.parametrize("kwargs, text", [
    (dict(ge=0, gt=0), "value band: give at most one lower bound (`ge` or `gt`, not both)"),
    (dict(le=0, lt=0), "value band: give at most one upper bound (`le` or `lt`, not both)"),
    (dict(), "value band: at least one bound (`ge`/`gt`/`le`/`lt`) must be given"),
    (dict(ge=2, le=1), "value band: lower bound (2) is greater than upper bound (1)"),
    (dict(gt=0.25, lt=-1e-7), "value band: lower bound (0.25) is greater than upper bound (-0.0000001)"),
])
def test_mask_band_errors_come_before_the_flavour(kwargs, text):
    with raises(RuntimeError, text):
        q.mask(1.0, **kwargs)
    with raises(RuntimeError, text):
        q.mask(band_zone([1.0]), **kwargs)


def test_mask_argument_errors():
    with pytest.raises(TypeError, match="ge"):
        q.mask(band_zone([1.0]), ge="x")
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        q.mask(1.0, ge=0, components="u")
    with raises(TypeError, NOT_A_FIELD):
        q.mask(1.0, ge=0)
    assert q.mask.__text_signature__ == "(field, ge=None, gt=None, le=None, lt=None, components=None)"


# --- value-band selection ---------------------------------------------------------


def test_select_node_zones():
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(10)]
    f = q.NodeField(poi1_mesh(c, [n[7:10]]), ["u"])
    for r, v in enumerate([0.5, 2.0, math.nan]):
        f[0].set(r, 0, v)
    m = q.select(f, ge=1)
    assert isinstance(m, q.Mesh) and len(m) == 1 and len(m[0]) == 1
    assert m[0][0].nodes()[0].id == n[8].id
    assert len(q.select(f[0], gt=5)[0]) == 0  # an empty submesh still counts
    assert len(q.select(f, ge=0, components=["v"])) == 0
    assert len(q.select(f[0:0], ge=0)) == 0
    m[0].add_cell([n[0]])  # not sealed
    assert len(m[0]) == 2


def test_select_combines_components_and_gauss_points():
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(3)]
    f = q.NodeField(poi1_mesh(c, [n]), ["a", "b"])
    for r, (a, b) in enumerate([(1.0, 1.0), (1.0, -1.0), (-1.0, 1.0)]):
        f[0].set(r, 0, a)
        f[0].set(r, 1, b)
    assert len(q.select(f, ge=0)[0]) == 1
    assert len(q.select(f, ge=0, components=["a"])[0]) == 2
    assert len(q.select(f, ge=0, components=[])[0]) == 3
    e, a, _, _, kit = make("ElementField", ["s"])
    zone = e[0]
    for cell in range(zone.cell_count()):
        for g in range(zone.gauss_count()):
            zone.set(cell, g, 0, 1.0)
    zone.set(2, 1, 0, -1.0)  # one Gauss point out of band loses cell 2
    m = q.select(e, ge=0)
    assert len(m) == 1 and len(m[0]) == zone.cell_count() - 1
    assert len(q.select(zone, ge=0)[0]) == zone.cell_count() - 1


@pytest.mark.parametrize("band, test", [
    (dict(ge=0.25), lambda a: a >= 0.25),
    (dict(gt=0.25, lt=0.75), lambda a: (a > 0.25) & (a < 0.75)),
    (dict(le=-1.0), lambda a: a <= -1.0),
])
@pytest.mark.parametrize("components", [None, ["Z"], ["Z", "X"]])
def test_select_of_a_large_field_and_the_references_it_holds(band, test, components):
    # More rows than one block of the selection, values in long runs and at random,
    # NaN and infinities among them: the nodes kept are those numpy finds, in row
    # order, each held once more while the selection lives.
    def long_run(a):
        a[: len(a) // 3] = 0.5  # passes the bands around 0.5

    c, f, a = large_field(11, 20010, -1.5, 1.5, 60, long_run)
    ids = [cell.nodes()[0].id for cell in f.support_mesh()[0]]
    before = [c.refcount(i) for i in ids]
    picked = [{"X": 0, "Y": 1, "Z": 2}[n] for n in (components or ["X", "Y", "Z"])]
    passing = np.all(test(a[:, picked]), axis=1)
    m = q.select(f, components=components, **band)
    assert [cell.nodes()[0].id for cell in m[0]] == [i for i, p in zip(ids, passing) if p]
    assert [c.refcount(i) for i in ids] == [b + int(p) for b, p in zip(before, passing)]
    del m
    assert [c.refcount(i) for i in ids] == before


@pytest.mark.parametrize("band, test", [
    (dict(ge=0.25), lambda a: a >= 0.25),
    (dict(gt=0.25), lambda a: a > 0.25),
    (dict(le=0.0), lambda a: a <= 0.0),
    (dict(lt=0.25), lambda a: a < 0.25),
    (dict(ge=-0.0, lt=0.5), lambda a: (a >= 0.0) & (a < 0.5)),
    (dict(gt=0.25, le=0.5), lambda a: (a > 0.25) & (a <= 0.5)),
    (dict(ge=-math.inf), lambda a: ~np.isnan(a)),
    (dict(le=math.inf), lambda a: ~np.isnan(a)),
    (dict(lt=math.nan), lambda a: np.zeros(a.shape, bool)),
])
def test_select_and_mask_of_one_component(band, test):
    # One value per node, the case tested many values at a time: long runs passing
    # and failing, lone values between them, the bounds themselves, zeros of both
    # signs, infinities and NaN, and a node count that is not a whole number of words.
    rng = np.random.default_rng(5)
    c = q.Coords(1)
    f = q.coordinates(q.line(c.add_node([0.0]), c.add_node([1.0]), 1000))
    zone = f[0]
    a = np.round(rng.uniform(-1.0, 1.5, zone.node_count()) * 4) / 4
    a[100:300], a[300:430] = 0.5, -0.5
    a[rng.integers(0, len(a), 30)] = np.nan
    a[[5, 6, 7, 8, 600]] = [math.inf, -math.inf, -0.0, 0.0, np.nan]
    for r, v in enumerate(a):
        zone.set(r, 0, float(v))
    ids = [cell.nodes()[0].id for cell in f.support_mesh()[0]]
    with np.errstate(invalid="ignore"):
        passing = test(a)
    m = q.select(f, **band)
    assert [cell.nodes()[0].id for cell in m[0]] == [i for i, p in zip(ids, passing) if p]
    same(values_of(q.mask(f, **band)[0]), np.where(passing, 1.0, 0.0)[:, None])


@pytest.mark.parametrize("kwargs, text", [
    (dict(ge=0, gt=0), "value band: give at most one lower bound (`ge` or `gt`, not both)"),
    (dict(), "value band: at least one bound (`ge`/`gt`/`le`/`lt`) must be given"),
])
def test_select_errors(kwargs, text):
    with raises(RuntimeError, text):
        q.select("not a field", **kwargs)
    with raises(TypeError, NOT_A_FIELD):
        q.select("not a field", ge=0)


# --- component filtering and renaming -----------------------------------------


def two_zone_field():
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(3)]
    mesh = poi1_mesh(c, [n[:2], n[2:]])
    a = q.NodeField(mesh[0], ["ux", "uy", "T"])
    b = q.NodeField(mesh[1], ["T"])
    for r in range(2):
        for k in range(3):
            a[0].set(r, k, 10.0 * r + k)
    b[0].set(0, 0, 7.0)
    return a + b  # zones (ux, uy, T) and (T)


def test_filter_components_on_containers():
    f = two_zone_field()
    for names in ("T", ["T"], ("T",)):
        g = q.filter_components(f, names)
        assert [z.components() for z in g] == [["T"], ["T"]]
    g = q.filter_components(f, ["T", "ux"])
    assert [z.components() for z in g] == [["ux", "T"], ["T"]]
    assert g[0].node_values(1) == [10.0, 12.0]
    g[1].set(0, 0, -5.0)  # the T zone is shared
    assert f[1].node_values(0) == [-5.0]
    g[0].set(0, 0, -5.0)  # the rebuilt zone is not
    assert f[0].node_values(0)[0] == 0.0
    assert len(q.filter_components(f, ["ux"])) == 1
    for names, shown in (([], "[]"), (["zz", "a\tb"], '["zz", "a\\tb"]')):
        with raises(RuntimeError, f"filter_components: no zone carries any of {shown}"):
            q.filter_components(f, names)


def test_filter_components_on_zones_and_errors():
    f = two_zone_field()
    z = q.filter_components(f[1], "T")
    assert isinstance(z, q.SubNodeField) and z.node_values(0) == [7.0]
    z.set(0, 0, 1.0)  # a zone result is always a new zone
    assert f[1].node_values(0) == [7.0]
    with raises(RuntimeError, 'select_components: this sub-field carries none of ["ux"]'):
        q.filter_components(f[1], ["ux"])
    with raises(TypeError, "components: expected a str or a list of str"):
        q.filter_components(1.0, [1])  # the names are converted first
    with raises(TypeError, NOT_A_FIELD):
        q.filter_components(1.0, ["T"])


def test_filter_components_on_element_fields():
    f, a, _, _, _ = make("ElementField", ["ux", "uy", "T"])
    g = q.filter_components(f, ("T", "ux"))
    assert g[0].components() == ["ux", "T"]
    same(values_of(g[0]), a[:, [0, 2]])


def test_rename_component():
    f = two_zone_field()
    g = q.rename_component(f, "ux", "vx")
    assert [z.components() for z in g] == [["vx", "uy", "T"], ["T"]]
    g[1].set(0, 0, 3.0)  # the zone without ux is shared
    assert f[1].node_values(0) == [3.0]
    same_name = q.rename_component(f, "T", "T")
    assert [z.components() for z in same_name] == [["ux", "uy", "T"], ["T"]]
    assert q.rename_component(field=f[0], old="T", new="theta").components() == ["ux", "uy", "theta"]
    with raises(RuntimeError, "rename_component: target `uy` already names another component"):
        q.rename_component(f, "ux", "uy")
    with raises(RuntimeError, "rename_component: no zone carries component `zz`"):
        q.rename_component(f, "zz", "a")
    with raises(RuntimeError, "rename_component: no zone carries component `T`"):
        q.rename_component(f[0:0], "T", "a")
    with raises(RuntimeError, "unknown component: zz"):
        q.rename_component(f[0], "zz", "a")
    # zones of one field carry different names: ux in one, uy in the other, no conflict
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(2)]
    m = poi1_mesh(c, [n[:1], n[1:]])
    h = q.NodeField(m[0], ["ux"]) + q.NodeField(m[1], ["uy"])
    assert [z.components() for z in q.rename_component(h, "ux", "uy")] == [["uy"], ["uy"]]
    with pytest.raises(TypeError, match="new"):
        q.rename_component(f, "T", 3)


def test_field_operators_are_listed_in_order():
    names = q.__all__
    want = ["consolidate", "coordinates", "set_coordinates", "displace", "restrict", "restrict_like", "select",
            "mask", "filter_components", "rename_component", "merge", "gradient", "deformation", "interp_to_gauss",
            "thermal_strain", "divergence", "integral", "xty", "xtx", "psca", "abs", "sqrt", "exp", "log", "log10", "cos", "sin", "tan", "sinh", "cosh", "tanh"]
    pos = [names.index(n) for n in want]
    assert pos == sorted(pos)


# --- coordinates ----------------------------------------------------------------


def seg_mesh(dim=2):
    c = q.Coords(dim)
    n = [c.add_node([1.0 + i] + [10.0 * i + a for a in range(1, dim)]) for i in range(4)]
    m = q.Mesh(c, "SEG2")
    for a, b in ((1, 2), (2, 3)):
        m[0].add_cell([n[a], n[b]])
    return c, n, m


@pytest.mark.parametrize("dim, names", [(1, ["X"]), (2, ["X", "Y"]), (3, ["X", "Y", "Z"]), (4, ["X", "Y", "Z"])])
def test_coordinates_default_axes(dim, names):
    c, n, m = seg_mesh(dim)
    f = q.coordinates(m)
    assert len(f) == 1 and f[0].components() == names
    assert f[0].node_count() == 3  # the node cloud: nodes 1, 2, 3 in order
    for row, node in enumerate(n[1:]):
        assert f[0].node_values(row) == node.coord()[:len(names)]


def test_coordinates_named_axes_and_poi1_support():
    c, n, m = seg_mesh(3)
    p = q.Mesh(c, "POI1")
    p[0].add_cell([n[0]])
    f = q.coordinates(m | p, ("Z", "X"))
    assert [z.components() for z in f] == [["Z", "X"], ["Z", "X"]]
    assert f[0].node_values(0) == [n[1].coord()[2], n[1].coord()[0]]
    assert f[1].value(n[0], "X") == 1.0
    assert q.xty(q.coordinates(m), q.coordinates(m)) == pytest.approx(q.xtx(q.coordinates(m)))  # same support


@pytest.mark.parametrize("names, text", [
    (["Z"], 'coordinates: component "Z" needs dimension ≥ 3, but the Coords is 2-D'),
    (["x"], 'coordinates: unknown component "x" (expected X, Y or Z)'),
    (["X", "X"], "duplicate component name: X"),
    ([], "SubNodeField requires at least one component"),
])
def test_coordinates_errors(names, text):
    _, _, m = seg_mesh(2)
    with raises(RuntimeError, text):
        q.coordinates(m, names)


def test_coordinates_argument_errors():
    _, _, m = seg_mesh(2)
    with raises(TypeError, "argument 'components': Can't extract `str` to `Vec`"):
        q.coordinates(m, "X")
    with pytest.raises(TypeError, match="mesh"):
        q.coordinates(m[0])
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.coordinates(m[0:0])


def positions(nodes):
    return [n.coord() for n in nodes]


def test_set_coordinates_of_coordinates_is_a_no_op_and_writes_values():
    c, n, m = seg_mesh(2)
    before = positions(n)
    q.set_coordinates(q.coordinates(m))
    assert positions(n) == before
    f = q.coordinates(m)
    f[0].set(0, 1, -7.0)
    q.set_coordinates(field=f, components=["X", "Y"])
    assert n[1].coord() == [before[1][0], -7.0]
    assert positions([n[0], n[2], n[3]]) == [before[0], before[2], before[3]]


def test_displace_moves_only_the_active_configuration():
    c, n, m = seg_mesh(2)
    before = positions(n)
    u = q.NodeField(m, ["ux", "uy", "T"])
    for row in range(3):
        u[0].set(row, 0, 0.5 * row)
        u[0].set(row, 1, -1.0)
        u[0].set(row, 2, 99.0)
    q.displace(u)
    assert positions(n[1:]) == [[before[k][0] + 0.5 * (k - 1), before[k][1] - 1.0] for k in (1, 2, 3)]
    assert n[0].coord() == before[0]
    q.displace(u, ["uy", "ux"])  # axes follow the order of the names
    assert n[2].coord() == [before[2][0] + 0.5 - 1.0, before[2][1] - 1.0 + 0.5]
    zero = q.NodeField(m, ["ux", "uy"])
    now = positions(n)
    q.displace(zero)
    assert positions(n) == now


def test_displace_first_zone_wins_and_configurations():
    c = q.Coords(2)
    n = [c.add_node([float(i), 0.0]) for i in range(3)]
    m = poi1_mesh(c, [n[:2], n[1:]])
    u = q.NodeField(m, ["ux", "uy"])
    u[0].set(1, 0, 1.0)  # node 1 in zone A
    u[1].set(0, 0, 5.0)  # node 1 in zone B
    c.select(c.add_config("other"))
    q.displace(u)
    assert n[1].coord() == [2.0, 0.0]
    c.select(0)
    assert n[1].coord() == [1.0, 0.0]


def test_failing_displace_moves_no_node():
    c = q.Coords(2)
    n = [c.add_node([float(i), 0.0]) for i in range(3)]
    m = poi1_mesh(c, [n[:2], n[2:]])
    u = q.NodeField(m[0], ["ux", "uy"]) + q.NodeField(m[1], ["T"])
    for row in range(2):
        u[0].set(row, 0, 1.0)
    before = positions(n)
    with raises(RuntimeError, f"no subfield defines (node {n[2].id}, component ux)"):
        q.displace(u)
    assert positions(n) == before


@pytest.mark.parametrize("fn, dim, names, text", [
    ("displace", 3, None, "component 'uz' not in field (has: [ux, uy, T])"),
    ("set_coordinates", 4, None, "expected 4 component name(s) (one per axis), got 3"),
    ("displace", 2, ["ux"], "expected 2 component name(s) (one per axis), got 1"),
    ("set_coordinates", 2, None, "component 'X' not in field (has: [ux, uy, T])"),
])
def test_write_errors(fn, dim, names, text):
    c = q.Coords(dim)
    node = c.add_node([0.0] * dim)
    u = q.NodeField(poi1_mesh(c, [[node]]), ["ux", "uy", "T"])
    with raises(RuntimeError, text):
        getattr(q, fn)(u, names)
    assert node.coord() == [0.0] * dim


def test_write_argument_errors():
    c, _, m = seg_mesh(2)
    f = q.coordinates(m)
    with raises(RuntimeError, "index 0 out of bounds (len=0)"):
        q.set_coordinates(f[0:0])
    with raises(TypeError, "argument 'components': Can't extract `str` to `Vec`"):
        q.displace(f, "X")
    with pytest.raises(TypeError, match="field"):
        q.set_coordinates(f[0])


# --- restriction and merging ------------------------------------------------------


def chain(n_nodes=6):
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(n_nodes)]
    return c, n


def test_restrict_onto_a_mesh():
    c, n = chain()
    t = q.NodeField(poi1_mesh(c, [n[1:4]]), ["T"])
    for row in range(3):
        t[0].set(row, 0, 10.0 + row)
    m = q.Mesh(c, "SEG2")
    for a in range(2, 5):
        m[0].add_cell([n[a], n[a + 1]])
    r = q.restrict(t, m)
    assert len(r) == 1 and r[0].components() == ["T"]
    assert [r[0].value(n[k], "T") for k in (2, 3, 4, 5)] == [11.0, 12.0, 0.0, 0.0]
    again = q.restrict(t, mesh=m)
    assert q.xty(r, again) == pytest.approx(q.xtx(r))  # same supports: they combine zone by zone
    assert len(r - again) == 1


def test_restrict_takes_the_component_union_first_zone_first():
    c, n = chain()
    m = poi1_mesh(c, [n[:2], n[1:3]])
    f = q.NodeField(m[0], ["ux"]) + q.NodeField(m[1], ["T", "ux"])
    f[0].set(1, 0, 1.0)
    f[1].set(0, 1, 2.0)  # node 1 again, another ux: the first zone wins
    f[1].set(1, 0, 5.0)
    r = q.restrict(f, poi1_mesh(c, [n[1:3]]))
    assert r[0].components() == ["ux", "T"]
    assert r[0].node_values(0) == [1.0, 0.0] and r[0].node_values(1) == [0.0, 5.0]


def test_restrict_like_uses_target_supports_and_names_only():
    c, n = chain()
    f = q.NodeField(poi1_mesh(c, [n[:3]]), ["T", "q"])
    for row in range(3):
        f[0].set(row, 0, 1.0 + row)
    target = q.NodeField(poi1_mesh(c, [n[2:4]]), ["p", "T"])
    target[0].set(0, 0, 99.0)
    r = q.restrict_like(f, target)
    assert len(r) == 1 and r[0].components() == ["p", "T"]
    assert r[0].node_values(0) == [0.0, 3.0] and r[0].node_values(1) == [0.0, 0.0]
    assert len(r + target) == 1  # on target's own support


def test_restriction_errors():
    c, n = chain()
    f = q.NodeField(poi1_mesh(c, [n[:2]]), ["T"])
    other, on = chain()
    foreign = poi1_mesh(other, [on[:2]])
    with raises(RuntimeError, "restrict: mesh is not attached to the same Coords"):
        q.restrict(f, foreign)
    with raises(RuntimeError, "restrict_like: target is not attached to the same Coords"):
        q.restrict_like(f, q.NodeField(foreign, ["T"]))
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.restrict(f, foreign[0:0])
    with raises(RuntimeError, "index 0 out of bounds (len=0)"):
        q.restrict(f[0:0], poi1_mesh(c, [n[:1]]))
    with raises(RuntimeError, "index 0 out of bounds (len=0)"):
        q.restrict_like(f, f[0:0])
    with pytest.raises(TypeError, match="field"):
        q.restrict(f[0], poi1_mesh(c, [n[:1]]))
    with pytest.raises(TypeError, match="mesh"):
        q.restrict(f, poi1_mesh(c, [n[:1]])[0])


def test_merge():
    c, n = chain()
    m = poi1_mesh(c, [n[:2], n[1:3]])
    a = q.NodeField(m[0], ["ux"])
    b = q.NodeField(m[0], ["T"]) + q.NodeField(m[1], ["ux"])
    r = q.merge(a, b)
    assert [z.components() for z in r] == [["ux", "T"], ["ux"]]
    same_zones = q.merge(b, b)
    same_zones[1].set(0, 0, 0.0)
    assert len(same_zones) == 2
    a[0].set(1, 0, 1.0)  # node 1 shared with b's second zone, which holds 0.0
    with raises(RuntimeError, f"incoherent NodeField: node {n[1].id}, component ux: 1 ≠ 0"):
        q.merge(a, b)
    empty = a[0:0]
    assert len(q.merge(empty, empty)) == 0
    assert [z.components() for z in q.merge(empty, b)] == [["T"], ["ux"]]
    other, on = chain()
    with raises(RuntimeError, "mismatched Coords"):
        q.merge(a, q.NodeField(poi1_mesh(other, [on[:1]]), ["ux"]))
    with pytest.raises(TypeError, match="b"):
        q.merge(a, a[0])


def test_merge_of_element_fields_fuses_zones_on_one_subspace():
    c = q.Coords(2)
    n = [c.add_node(p) for p in ([0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0])]
    m = q.Mesh(c, "TRI3")
    m[0].add_cell([n[0], n[1], n[2]])
    m[0].add_cell([n[1], n[3], n[2]])
    other = q.Mesh(c, "TRI3")
    other[0].add_cell([n[0], n[1], n[3]])
    space, apart = q.FiniteElementSpace(m), q.FiniteElementSpace(other)
    elastic = q.ElementField(space, ["E", "nu"]) + 0.3
    mass = q.ElementField(space, ["nu", "rho"]) + 0.3
    elastic[0].set_uniform("E", 210.0)
    mass[0].set_uniform("rho", 7.8)
    alone = q.ElementField(apart, ["E", "nu"])
    out = q.merge(elastic | alone, mass)
    assert type(out) is q.ElementField
    assert [z.components() for z in out] == [["E", "nu", "rho"], ["E", "nu"]]
    assert out[0].point_values(1, 0) == [210.0, 0.3, 7.8]
    out[1].set_uniform("E", 5.0)  # alone on its subspace: shared, not copied
    assert alone[0].value(0, 0, "E") == 5.0
    assert len(q.merge(elastic, elastic)) == 1 and len(q.merge(elastic[0:0], elastic[0:0])) == 0
    mass[0].set_value(1, 0, "nu", 0.25)
    with raises(RuntimeError, "incoherent ElementField on shared support: cell 1, gauss 0, component nu: 0.3 ≠ 0.25"):
        q.merge(a=elastic, b=mass)
    # The operands must be of one class; the one at fault is named.
    with raises(TypeError, "argument 'b': 'NodeField' object is not an instance of 'ElementField'"):
        q.merge(elastic, q.NodeField(m, ["E"]))
    with raises(TypeError, "argument 'b': 'ElementField' object is not an instance of 'NodeField'"):
        q.merge(q.NodeField(m, ["E"]), elastic)
    with pytest.raises(TypeError, match="argument 'a'"):
        q.merge(elastic[0], mass)


# --- divergence and integrals -------------------------------------------------------


def quad_grid(n=3, distort=0.0, seed=5):
    """A QUA4 mesh of the unit square, n x n cells, inner nodes moved at random."""
    rng = np.random.default_rng(seed)
    c = q.Coords(2)
    nodes = {}
    for j in range(n + 1):
        for i in range(n + 1):
            x, y = i / n, j / n
            if 0 < i < n and 0 < j < n:
                x, y = x + distort * rng.uniform(-1, 1) / n, y + distort * rng.uniform(-1, 1) / n
            nodes[i, j] = c.add_node([x, y])
    m = q.Mesh(c, "QUA4")
    for j in range(n):
        for i in range(n):
            m[0].add_cell([nodes[i, j], nodes[i + 1, j], nodes[i + 1, j + 1], nodes[i, j + 1]])
    return c, nodes, m


def test_integral_of_element_values():
    _, _, m = quad_grid(4, distort=0.3)
    space = q.FiniteElementSpace(m)
    f = q.ElementField(space, ["T"]) + 2.0
    assert q.integral(f, "T") == pytest.approx(2.0, rel=1e-14)
    assert q.integral(f, component="T", fespace=space) == pytest.approx(2.0, rel=1e-14)
    with raises(RuntimeError, "integral: no sub-field defines component X"):
        q.integral(f, "X")
    with raises(RuntimeError, "integral: no sub-field defines component T"):
        q.integral(f[0:0], "T")


def test_integral_of_nodal_values():
    c = q.Coords(2)
    pts = [c.add_node(p) for p in ([0.0, 0.0], [3.0, 4.0], [3.0, 0.0])]
    m = q.Mesh(c, "SEG2")
    m[0].add_cell([pts[0], pts[1]])
    m[0].add_cell([pts[1], pts[2]])
    space = q.FiniteElementSpace(m)
    one = q.NodeField(m, ["T"]) + 1.0
    assert q.integral(one, "T", space) == pytest.approx(9.0, rel=1e-14)  # 5 + 4
    with raises(RuntimeError, f"no subfield defines (node {pts[0].id}, component q)"):
        q.integral(one, "q", space)
    # x² with degree-2 interpolation over [0, 1]
    d = q.Coords(1)
    line = q.line(d.add_node([0.0]), d.add_node([1.0]), 3, "SEG3")
    quad = q.FiniteElementSpace.with_choices(line, [("LAGRANGE2", "GAUSS")])
    x = q.coordinates(line)
    assert q.integral(x * x, "X", quad) == pytest.approx(1.0 / 3.0, rel=1e-14)


TILT = np.array([[1.0, 0.2, 0.1], [0.3, 1.1, -0.2], [0.1, 0.4, 0.9]])  # rows: images of the axes


@pytest.mark.parametrize("kind, dim, vertices, axes, size", [
    ("SEG2", 1, [(0,), (2,)], [(2,)], 1.0),
    ("SEG2", 3, [(0, 0, 0), (1, 2, 2)], [(1, 2, 2)], 1.0),
    ("TRI3", 2, [(0, 0), (2, 0), (0, 1)], [(2, 0), (0, 1)], 0.5),
    ("TRI3", 3, [(0, 0, 0), (2, 0, 0), (0, 1, 0)], [(2, 0, 0), (0, 1, 0)], 0.5),
    ("QUA4", 3, [(0, 0, 0), (2, 0, 0), (2, 1, 0), (0, 1, 0)], [(2, 0, 0), (0, 1, 0)], 1.0),
    ("TET4", 3, [(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)], [(1, 0, 0), (0, 1, 0), (0, 0, 1)], 1.0 / 6.0),
    ("HEX8", 3, [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)],
     [(1, 0, 0), (0, 1, 0), (0, 0, 1)], 1.0),
])
def test_integral_of_one_and_of_x_on_every_cell_shape(kind, dim, vertices, axes, size):
    """One cell, mapped by a linear map: the integral of 1 is its measure, size ×
    sqrt(det(A Aᵀ)) for the mapped spanning axes A, and that of X the measure times
    the mean X of its vertices (an affine image of a simplex or parallelotope)."""
    tilt = TILT[:dim, :dim]
    xyz = np.array(vertices, dtype=float) @ tilt
    c = q.Coords(dim)
    m = q.Mesh(c, kind)
    m[0].add_cell([c.add_node([float(v) for v in p]) for p in xyz])
    space = q.FiniteElementSpace(m)
    mapped = np.array(axes, dtype=float) @ tilt
    measure = size * math.sqrt(np.linalg.det(mapped @ mapped.T))
    assert q.integral(q.NodeField(m, ["T"]) + 1.0, "T", space) == pytest.approx(measure, rel=1e-14)
    assert q.integral(q.coordinates(m), "X", space) == pytest.approx(measure * xyz[:, 0].mean(), rel=1e-13)


def test_integral_names_the_first_cell_node_without_a_value():
    # Cells are summed in parallel chunks; the error is still that of the first cell
    # in order holding a node the field does not define.
    c = q.Coords(1)
    line = q.line(c.add_node([0.0]), c.add_node([1.0]), 4000)
    nodes = [cell[0] for cell in line[0]]
    holes = {2500, 3100}
    f = q.NodeField(q.poi1_from_nodes([p for k, p in enumerate(nodes) if k not in holes]), ["T"]) + 1.0
    with raises(RuntimeError, f"no subfield defines (node {nodes[2500].id}, component T)"):
        q.integral(f, "T", q.FiniteElementSpace(line))


def test_integrals_and_divergence_refuse_a_space_of_more_than_three_dimensions():
    # Cell geometry is held in 3-D buffers: a 4-D space is refused, never overrun.
    c = q.Coords(4)
    mesh = q.Mesh(c, "TET4")
    mesh[0].add_cell([c.add_node(p) for p in ([0, 0, 0, 0], [1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0])])
    fes = q.FiniteElementSpace(mesh)
    text = "cell geometry: a 4-D space is not supported (1-D to 3-D only)"
    with raises(RuntimeError, text):
        q.integral(q.NodeField(mesh, ["T"]) + 1.0, "T", fes)
    with raises(RuntimeError, text):
        q.integral(q.ElementField(fes, ["s"]), "s")
    with raises(RuntimeError, text):
        q.divergence(q.ElementField(fes, ["sx", "sy", "sz", "sw"]))


def test_integral_argument_errors():
    _, _, m = quad_grid(1)
    space = q.FiniteElementSpace(m)
    nf = q.NodeField(m, ["T"])
    with raises(TypeError, "integral: a NodeField needs a FiniteElementSpace (fespace=...)"):
        q.integral(nf, "T")
    with raises(TypeError, "integral: expected a NodeField (with fespace=...) or an ElementField"):
        q.integral(1.0, "T")
    with pytest.raises(TypeError, match="component"):
        q.integral(nf, 3, space)
    with pytest.raises(TypeError, match="fespace"):
        q.integral(nf, "T", 1.0)


def test_divergence_sums_to_zero_and_is_adjoint_to_the_gradient():
    c, nodes, m = quad_grid(4, distort=0.35)
    space = q.FiniteElementSpace(m)
    f = q.ElementField(space, ["Fx", "Fy"])
    rng = np.random.default_rng(11)
    zone = f[0]
    for cell in range(zone.cell_count()):
        for g in range(zone.gauss_count()):
            for k in range(2):
                zone.set(cell, g, k, float(rng.uniform(-1, 1)))
    d = q.divergence(f)
    assert len(d) == 1 and d[0].components() == ["div"]
    div = np.array([d[0].node_values(r)[0] for r in range(d[0].node_count())])
    assert abs(div.sum()) < 1e-13
    # p = a x + b y is exact in the space, so Σ p_n div_n = ∫ ∇p · F = a ∫Fx + b ∫Fy
    a, b = 0.7, -1.3
    xy = q.coordinates(m)
    p = np.array([a * v[0] + b * v[1] for v in (xy[0].node_values(r) for r in range(xy[0].node_count()))])
    assert float(p @ div) == pytest.approx(a * q.integral(f, "Fx") + b * q.integral(f, "Fy"), rel=1e-12)


def test_divergence_errors_and_empty_field():
    _, _, m = quad_grid(1)
    space = q.FiniteElementSpace(m)
    with raises(RuntimeError, "divergence: the field carries 1 component(s) but the FE space is 2-D — expected one "
                              "vector component per axis"):
        q.divergence(q.ElementField(space, ["F"]))
    assert len(q.divergence(q.ElementField(space, ["a", "b"])[0:0])) == 0
    with pytest.raises(TypeError, match="field"):
        q.divergence(q.NodeField(m, ["a", "b"]))


def test_reductions_are_the_same_bits_for_one_and_all_threads(tmp_path):
    body = """
        import struct, sys
        import _quenlith as q
        c = q.Coords(1)
        mesh = q.line(c.add_node([0.0]), c.add_node([1.0]), 20000)
        space = q.FiniteElementSpace(mesh)
        x = q.coordinates(mesh)
        y = q.sin(x * 7.0)
        e = q.ElementField(space, ["v"]) + 0.5
        values = [q.xty(x, y), q.xtx(y), q.integral(y, "X", space), q.integral(e, "v")]
        open(sys.argv[1], "wb").write(struct.pack("4d", *values))
    """
    one, many = files_with_one_and_all_processors(body, tmp_path)
    assert one == many
