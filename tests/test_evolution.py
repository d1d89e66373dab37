"""Python classes SubEvolution and Evolution: curves of numbers, node-field zones and
element-field zones, interpolation under the three out-of-range policies (checked
against numpy.interp), curves as transfer functions, the container protocol and the
text forms."""

import math
import re

import numpy as np
import pytest

import _quenlith as q
from helpers import raises

NAN = float("nan")
INF = float("inf")
UNKNOWN_POLICY = "unknown out_of_range policy '{}' (expected 'error', 'clamp' or 'extrapolate')"


@pytest.fixture
def mesh():
    """Nodes 0..3 of a 2-D Coords; a POI1 submesh (0, 1, 2) and a TRI3 submesh of two cells."""
    c = q.Coords(2)
    n = [c.add_node([float(i), float(i % 2)]) for i in range(4)]
    m = q.Mesh(c, "POI1") | q.Mesh(c, "TRI3")
    for k in range(3):
        m[0].add_cell([n[k]])
    m[1].add_cell([n[0], n[1], n[2]])
    m[1].add_cell([n[1], n[3], n[2]])
    return m


def node_zone(submesh, names, fill):
    """A new zone on `submesh` whose value at (row, component k) is fill(row, k)."""
    z = q.NodeField(submesh, names).unit()
    for row in range(z.node_count()):
        for k in range(len(names)):
            z.set(row, k, fill(row, k))
    return z


def element_zone(space, names, fill):
    z = q.ElementField(space, names).unit()
    for cell in range(z.cell_count()):
        for g in range(z.gauss_count()):
            for k in range(len(names)):
                z.set(cell, g, k, fill(cell, g, k))
    return z


# --- scalar curves against numpy ----------------------------------------------


@pytest.mark.parametrize("seed", range(5))
def test_scalar_interpolation_matches_numpy_inside_and_clamped(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 12))
    xs = np.sort(rng.choice(np.linspace(-50, 50, 1001), size=n, replace=False))
    ys = rng.normal(size=n)
    order = rng.permutation(n)  # given in any order: the curve sorts them
    curve = q.SubEvolution([(float(xs[i]), float(ys[i])) for i in order], "clamp")
    assert curve.abscissas() == list(xs)
    probes = np.concatenate([xs, rng.uniform(xs[0] - 5, xs[-1] + 5, size=200)])
    got = [curve.interpolate(float(x)) for x in probes]
    np.testing.assert_allclose(got, np.interp(probes, xs, ys), rtol=1e-12, atol=1e-12)
    # A tabulated abscissa gives its sample exactly.
    assert [curve.interpolate(float(x)) for x in xs] == list(ys)


@pytest.mark.parametrize("seed", range(3))
def test_extrapolation_continues_the_end_segments(seed):
    rng = np.random.default_rng(100 + seed)
    xs = np.sort(rng.uniform(-10, 10, size=6))
    ys = rng.normal(size=6)
    curve = q.SubEvolution(list(zip(xs.tolist(), ys.tolist())), "extrapolate")
    for x in rng.uniform(-40, 40, size=100):
        if x < xs[0]:
            i, j = 0, 1
        elif x > xs[-1]:
            i, j = 4, 5
        else:
            assert curve.interpolate(float(x)) == pytest.approx(np.interp(x, xs, ys), abs=1e-12)
            continue
        t = (x - xs[i]) / (xs[j] - xs[i])
        assert curve.interpolate(float(x)) == t * ys[j] + (1 - t) * ys[i]


def test_policies_at_the_ends_and_outside():
    curve = q.SubEvolution([(2, 20), (0, 0), (1, 10)])
    assert curve.abscissas() == [0.0, 1.0, 2.0]
    assert curve.interpolate(1.5) == 15.0
    assert (curve.interpolate(0), curve.interpolate(2)) == (0.0, 20.0)
    two = q.SubEvolution([(0, 0), (1, 10)], out_of_range="clamp")
    assert (two.interpolate(-1), two.interpolate(3)) == (0.0, 10.0)
    assert (two.interpolate(-1, "extrapolate"), two.interpolate(3, "extrapolate")) == (-10.0, 30.0)
    with raises(RuntimeError, "evolution: abscissa -1 is outside the tabulated range [0, 1]"):
        two.interpolate(-1, out_of_range="error")
    with raises(RuntimeError, "evolution: abscissa 2.5 is outside the tabulated range [0, 2]"):
        curve.interpolate(2.5)
    assert two.interpolate(-1, None) == 0.0  # None: the stored policy


@pytest.mark.parametrize("policy", ["error", "clamp", "extrapolate"])
def test_one_sample_curve_and_nan(policy):
    curve = q.SubEvolution([(3.0, 7.5)], policy)
    assert curve.interpolate(3.0) == 7.5
    for x in (-1.0, 10.0):
        if policy == "error":
            with raises(RuntimeError, f"evolution: abscissa {x:g} is outside the tabulated range [3, 3]"):
                curve.interpolate(x)
        else:
            assert curve.interpolate(x) == 7.5
    with raises(RuntimeError, "non-NaN abscissas"):
        curve.interpolate(NAN)
    with raises(RuntimeError, "non-NaN abscissas"):
        q.SubEvolution([(0, 1), (1, 2)], policy).interpolate(NAN)


def test_extrapolating_a_constant_end_segment_to_infinity_gives_nan():
    curve = q.SubEvolution([(0, 1), (1, 1)], "extrapolate")
    assert math.isnan(curve.interpolate(INF)) and math.isnan(curve.interpolate(-INF))
    rising = q.SubEvolution([(0, 0), (1, 1)], "extrapolate")
    assert math.isnan(rising.interpolate(INF))  # inf·1 + (−inf)·0
    assert q.SubEvolution([(0, 1), (1, 1)], "clamp").interpolate(INF) == 1.0


# --- construction errors -------------------------------------------------------


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (([],), RuntimeError, "SubEvolution requires at least one sample"),
        (([(NAN, 1.0), (1, 2), (1, 3)],), RuntimeError, "SubEvolution: NaN abscissa"),
        (([(0.0, 1.0), (-0.0, 2.0)],), RuntimeError, "SubEvolution: duplicate abscissa 0"),
        (([(2.5, 1.0), (1, 2), (2.5, 3)],), RuntimeError, "SubEvolution: duplicate abscissa 2.5"),
        (([(0, 1)], "Clamp"), RuntimeError, UNKNOWN_POLICY.format("Clamp")),
        (([(0, 1)], None), TypeError, None),
        (("ab",), TypeError, None),
        (([[0, 1]],), TypeError, None),
        (([("x", 1)],), TypeError, None),
        (([(0, 1, 2)],), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (([(0, "one")],), TypeError, "evolution value must be a float, a SubNodeField or a SubElementField"),
    ],
)
def test_sub_evolution_constructor_errors(args, exc, text):
    with pytest.raises(exc) as info:
        q.SubEvolution(*args)
    if text is not None:
        assert str(info.value) == text
    elif exc is TypeError:
        assert str(info.value).startswith("argument '")
        assert ("out_of_range" if len(args) > 1 else "samples") in str(info.value)


def test_mixed_kinds_are_named_after_sorting(mesh):
    z = node_zone(mesh[0], ["T"], lambda r, k: r)
    for samples in ([(0, 1.0), (1, z)], [(1, z), (0, 1.0)]):
        with raises(RuntimeError, "SubEvolution: mixed value kinds (scalar and node)"):
            q.SubEvolution(samples)


def test_zone_curves_need_one_support_and_one_set_of_names(mesh):
    a = node_zone(mesh[0], ["ux", "uy"], lambda r, k: r + 10 * k)
    b = node_zone(mesh[0], ["uy", "ux"], lambda r, k: 100 + r - 10 * k)
    curve = q.SubEvolution([(0, a), (1, b)])
    mid = curve.interpolate(0.25)
    assert mid.components() == ["ux", "uy"]  # the lower sample's order
    for row in range(3):
        assert mid.get(row, 0) == 0.75 * a.get(row, 0) + 0.25 * b.get(row, 1)
        assert mid.get(row, 1) == 0.75 * a.get(row, 1) + 0.25 * b.get(row, 0)
    other_names = node_zone(mesh[0], ["ux", "uz"], lambda r, k: 0.0)
    other_support = node_zone(mesh[1], ["ux", "uy"], lambda r, k: 0.0)
    for bad in (other_names, other_support):
        with raises(RuntimeError, "SubEvolution: node values must share the same support and components"):
            q.SubEvolution([(0, a), (1, bad)])
    space = q.FiniteElementSpace(mesh[1:])
    e = q.ElementField(space, ["E"]).unit()
    f = q.ElementField(space, ["nu"]).unit()
    with raises(RuntimeError, "SubEvolution: element values must share the same support and components"):
        q.SubEvolution([(0, e), (1, f)])
    with raises(RuntimeError, "ordinate type applies to scalar evolutions only (this one is node)"):
        q.SubEvolution([(0, a)], ordinate_type="T")


# --- zone curves ---------------------------------------------------------------


def test_node_zone_curve_matches_numpy_per_value(mesh):
    rng = np.random.default_rng(7)
    xs = np.array([0.0, 0.5, 2.0, 3.0])
    data = rng.normal(size=(4, 3, 2))
    zones = [node_zone(mesh[0], ["ux", "uy"], lambda r, k, s=s: float(data[s, r, k])) for s in range(4)]
    curve = q.SubEvolution(list(zip(xs.tolist(), zones)), "clamp")
    for x in (-1.0, 0.0, 0.2, 0.5, 1.7, 3.0, 4.0):
        z = curve.interpolate(x)
        got = np.array([[z.get(r, k) for k in range(2)] for r in range(3)])
        want = np.array([[np.interp(x, xs, data[:, r, k]) for k in range(2)] for r in range(3)])
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-14)
    # Every result is a new stored zone: writing one leaves the curve unchanged.
    first = curve.interpolate(0.0)
    first.set(0, 0, 1e9)
    assert curve.interpolate(0.0).get(0, 0) == data[0, 0, 0]
    assert zones[0].get(0, 0) == data[0, 0, 0]


def test_element_zone_curve_and_its_supports_outlive_the_fields(mesh):
    space = q.FiniteElementSpace(mesh[1:])
    lo = element_zone(space, ["E", "nu"], lambda c, g, k: c + g + k)
    hi = element_zone(space, ["E", "nu"], lambda c, g, k: 10 * (c + g + k) + 1)
    curve = q.SubEvolution([(0, lo), (10, hi)], "extrapolate")
    del lo, hi, space
    z = curve.interpolate(2.0)
    assert (z.cell_count(), z.gauss_count(), z.components()) == (2, 3, ["E", "nu"])
    for c in range(2):
        for g in range(3):
            for k in range(2):
                v = c + g + k
                assert z.get(c, g, k) == 0.8 * v + 0.2 * (10 * v + 1)
    assert curve.interpolate(20.0).get(1, 2, 1) == pytest.approx(2 * (10 * 4 + 1) - 4)
    assert str(curve) == "SubEvolution: 2 sample(s), element value(s), out_of_range=extrapolate"


def test_zone_values_written_later_do_not_reach_the_curve(mesh):
    z = node_zone(mesh[0], ["T"], lambda r, k: 1.0)
    curve = q.SubEvolution([(0, z), (1, z)])
    z.set(0, 0, 5.0)
    assert curve.interpolate(0.5).get(0, 0) == 1.0


# --- transfer functions --------------------------------------------------------


def test_scalar_curve_maps_a_zone_component(mesh):
    z = node_zone(mesh[0], ["T", "p"], lambda r, k: [0.0, 1.5, 3.0][r] if k == 0 else -1.0)
    law = q.SubEvolution([(0, 100), (1, 200), (2, 400)], "clamp", abscissa_type="T", ordinate_type="E")
    out = law.interpolate(z)
    assert out.components() == ["E"] and out.node_count() == 3
    assert [out.get(r, 0) for r in range(3)] == [100.0, 300.0, 400.0]
    plain = q.SubEvolution([(0, 100), (1, 200)], abscissa_type="p", out_of_range="extrapolate")
    assert plain.interpolate(z).components() == ["value"]
    assert plain.interpolate(z).get(2, 0) == 0.0
    with raises(RuntimeError, "evolution: abscissa 3 is outside the tabulated range [0, 2]"):
        law.interpolate(z, "error")
    space = q.FiniteElementSpace(mesh[1:])
    e = element_zone(space, ["T"], lambda c, g, k: 0.5 * (c + g))
    mapped = law.interpolate(e)
    assert (mapped.cell_count(), mapped.gauss_count(), mapped.components()) == (2, 3, ["E"])
    assert mapped.get(1, 2, 0) == 300.0 and mapped.get(0, 1, 0) == 150.0


def test_transfer_function_errors(mesh):
    z = node_zone(mesh[0], ["T"], lambda r, k: r)
    with raises(RuntimeError, "evolution: set the abscissa type to map a field (it selects which field component to "
                "look up)"):
        q.SubEvolution([(0, 1)]).interpolate(z)
    with raises(RuntimeError, "evolution: a field can only be mapped through a scalar-valued evolution"):
        q.SubEvolution([(0, z)], abscissa_type="T").interpolate(z)
    with raises(RuntimeError, "evolution: the field has no component 'θ' matching the abscissa type"):
        q.SubEvolution([(0, 1)], abscissa_type="θ").interpolate(z)
    z.set(1, 0, NAN)
    with raises(RuntimeError, "non-NaN abscissas"):
        q.SubEvolution([(0, 1), (5, 2)], abscissa_type="T").interpolate(z)
    with raises(TypeError, "interpolate expects a float, a SubNodeField or a SubElementField"):
        q.SubEvolution([(0, 1)]).interpolate("x")


# --- Evolution ------------------------------------------------------------------


def test_evolution_of_numbers():
    ev = q.Evolution([(0, 1.0), (1, 2.0)])
    assert ev.interpolate(0.5) == [1.5]
    assert len(ev) == 1 and ev.out_of_range() == "error"
    assert str(ev) == "Evolution: 1 sub-evolution(s)"
    assert repr(ev) == 'Evolution { count: 1, items: [SubEvolution { samples: 2, kind: "scalar", out_of_range: ' \
                       '"error" }] }'
    clamped = q.Evolution([(0, 1), (1, 2)], "clamp", abscissa_type="t", ordinate_type="F")
    assert clamped.out_of_range() == "clamp"
    assert (clamped.abscissa_type(), clamped.ordinate_type()) == ("t", "F")
    assert clamped.interpolate(5) == [2.0] and clamped.interpolate(5, "extrapolate") == [6.0]
    assert (clamped | clamped).out_of_range() == "error"
    with raises(RuntimeError, "evolution: abscissa 5 is outside the tabulated range [0, 1]"):
        (clamped | clamped).interpolate(5)  # the union's own policy, not the curve's
    assert clamped[0].out_of_range() == "clamp"


def test_evolution_from_node_fields_pairs_zones_by_support(mesh):
    s1, s2 = mesh[0], mesh[1]
    step0 = q.NodeField(s1, ["T"]) | q.NodeField(s2, ["T"])
    step1 = q.NodeField(s2, ["T"]) | q.NodeField(s1, ["T"])
    for zone, value in zip(step0, (1.0, 2.0)):
        for row in range(zone.node_count()):
            zone.set(row, 0, value)
    for zone, value in zip(step1, (20.0, 10.0)):
        for row in range(zone.node_count()):
            zone.set(row, 0, value)
    ev = q.Evolution([(1, step1), (0, step0)], "clamp", abscissa_type="time")
    assert len(ev) == 2 and [c.abscissa_type() for c in ev] == ["time", "time"]
    f = ev.interpolate(0.5)
    # One curve per zone of the first step as given (s2, then s1), whatever the
    # order of the abscissas.
    assert isinstance(f, q.NodeField) and len(f) == 2
    assert f[0].get(0, 0) == 11.0 and f[1].get(0, 0) == 5.5
    assert f[0].node_count() == 4 and f[1].node_count() == 3
    # A third zone of a later step on another support is ignored.
    extra = q.NodeField(step0[0].support_mesh(), ["T"])  # a new support on the same Coords
    later = step1[0:0]
    for zone in (extra[0], *step1):
        later.add_sub(zone)
    assert len(q.Evolution([(0, step0), (1, later)])) == 2
    with raises(RuntimeError, "Evolution::from_node_fields: a step is missing a zone present in the first step"):
        q.Evolution([(0, step0), (1, step1[0:1])])
    with raises(RuntimeError, "Evolution::from_node_fields: the first field has no zone"):
        q.Evolution([(0, step0[0:0]), (1, step1)])
    with raises(RuntimeError, "ordinate type applies to scalar evolutions only (this one is node)"):
        q.Evolution([(0, step0)], ordinate_type="T")


def test_several_zones_on_one_support_keep_their_own_values(mesh):
    a = node_zone(mesh[0], ["T"], lambda r, k: 1.0)
    b = node_zone(mesh[0], ["p"], lambda r, k: 2.0)
    first = q.NodeField(mesh[0], ["T"])[0:0]
    first.add_sub(a)
    first.add_sub(b)
    assert len(first) == 2
    ev = q.Evolution([(0, first), (1, first)])
    f = ev.interpolate(0.5)
    assert f[0].components() == ["T"] and f[1].components() == ["p"]
    assert (f[0].get(0, 0), f[1].get(0, 0)) == (1.0, 2.0)


def test_evolution_from_element_fields_and_mapping_whole_fields(mesh):
    space = q.FiniteElementSpace(mesh[1:])
    lo = q.ElementField(space, ["T"])
    hi = q.ElementField(space, ["T"])
    hi[0].set_uniform("T", 4.0)
    ev = q.Evolution([(0, lo), (2, hi)])
    f = ev.interpolate(0.5)
    assert isinstance(f, q.ElementField) and f[0].get(1, 2, 0) == 1.0
    with raises(RuntimeError, "Evolution::from_element_fields: a step is missing a zone present in the first step"):
        q.Evolution([(0, lo), (1, q.ElementField(q.FiniteElementSpace(mesh[1:]), ["T"]))])
    law = q.Evolution([(0, 0), (4, 8)], "clamp", abscissa_type="T", ordinate_type="E")
    mapped = law.interpolate(hi)
    assert isinstance(mapped, q.ElementField) and mapped[0].components() == ["E"]
    assert mapped[0].get(0, 0, 0) == 8.0
    nodes = q.NodeField(mesh, ["T"])
    nodes[1].set(0, 0, 9.0)
    out = law.interpolate(nodes)
    assert isinstance(out, q.NodeField) and out[1].get(0, 0) == 8.0
    with raises(RuntimeError, "evolution: abscissa 9 is outside the tabulated range [0, 4]"):
        law.interpolate(nodes, "error")
    with raises(RuntimeError, "evolution: mapping a field needs a single-curve evolution, but this one has 2 curve(s)"):
        (law | q.Evolution([(0, 1)])).interpolate(nodes)
    with raises(RuntimeError, "evolution: a field can only be mapped through a scalar-valued evolution"):
        ev.interpolate(hi)
    with raises(TypeError, "interpolate expects a float, a NodeField or an ElementField"):
        law.interpolate([1.0])


def test_evolution_on_two_coords_fails_to_interpolate(mesh):
    c = q.Coords(2)
    other = q.Mesh(c, "POI1")
    other[0].add_cell([c.add_node([0.0, 0.0])])
    a = q.SubEvolution([(0, node_zone(mesh[0], ["T"], lambda r, k: 0.0))])
    b = q.SubEvolution([(0, node_zone(other[0], ["T"], lambda r, k: 0.0))])
    with raises(RuntimeError, "mismatched Coords"):
        (a | b).interpolate(0.0)


@pytest.mark.parametrize(
    "steps, exc, text",
    [
        ([], ValueError, "Evolution: at least one step is required"),
        ([(0, "a")], TypeError, "Evolution step value must be a float, a NodeField or an ElementField"),
        ([(0, 1.0), (1, None)], TypeError, None),
    ],
)
def test_evolution_constructor_errors(steps, exc, text):
    with pytest.raises(exc) as info:
        q.Evolution(steps)
    if text is not None:
        assert str(info.value) == text


def test_evolution_step_kinds_follow_the_first_step(mesh):
    f = q.NodeField(mesh[0], ["T"])
    with pytest.raises(TypeError) as info:
        q.Evolution([(0, 1.0), (1, f)])
    assert "argument" not in str(info.value)
    with raises(TypeError, "'float' object is not an instance of 'NodeField'"):
        q.Evolution([(0, f), (1, 2.0)])
    with raises(TypeError, "argument 'out_of_range': 'None' is not an instance of 'str'"):
        q.Evolution([(0, 1.0)], None)


def test_container_protocol():
    a = q.SubEvolution([(0, 1), (1, 2)], "clamp")
    b = q.SubEvolution([(0, 3)])
    ev = a | b
    assert isinstance(ev, q.Evolution) and len(ev) == 2 and ev.out_of_range() == "error"
    assert len(a | a) == 1 and len(ev | ev) == 2 and len(ev | a) == 2
    assert ev[-1].interpolate(0) == 3.0
    assert [c.interpolate(0) for c in ev[::-1]] == [3.0, 1.0]
    empty = ev[5:]
    assert len(empty) == 0 and empty.abscissa_type() is None and empty.ordinate_type() is None
    with raises(RuntimeError, "Evolution: cannot interpolate an empty evolution"):
        empty.interpolate(0.0)
    for key in (2, -3):
        with raises(IndexError, f"Evolution index {key} out of range (len=2)"):
            ev[key]
    for key in ("0", 1.0):
        with raises(TypeError, "Evolution indices must be integers or slices"):
            ev[key]
    with pytest.raises(TypeError):
        a | ev
    with pytest.raises(TypeError):
        ev | 1.0
    with raises(RuntimeError, "expected a unitary Evolution (exactly one sub-evolution(s)), found 2"):
        ev.unit()
    assert ev[0:1].unit().interpolate(0.5) == 1.5
    ev.add_sub(a)
    assert len(ev) == 3 and ev.interpolate(2.0, "clamp") == [2.0, 3.0, 2.0]
    with pytest.raises(TypeError, match="argument 'sub'"):
        ev.add_sub(ev)


def test_kinds_do_not_mix(mesh):
    scalar = q.SubEvolution([(0, 1)])
    node = q.SubEvolution([(0, node_zone(mesh[0], ["T"], lambda r, k: 0.0))])
    with raises(RuntimeError, "Evolution: cannot mix scalar and node sub-evolutions"):
        scalar | node
    with raises(RuntimeError, "Evolution: cannot mix node and scalar sub-evolutions"):
        q.Evolution([(0, q.NodeField(mesh[0], ["T"]))]) | scalar
    ev = q.Evolution([(0, 1.0)])
    with raises(RuntimeError, "Evolution: cannot mix scalar and node sub-evolutions"):
        ev.add_sub(node)
    assert len(ev) == 1


def test_texts_and_dump(mesh, capsys):
    curve = q.SubEvolution([(0, 1), (0.5, 2), (1, 4)], "clamp")
    assert len(curve) == 3
    assert str(curve) == "SubEvolution: 3 sample(s), scalar value(s), out_of_range=clamp"
    assert repr(curve) == 'SubEvolution { samples: 3, kind: "scalar", out_of_range: "clamp" }'
    curve.dump(precision=1)
    assert capsys.readouterr().out == (
        "SubEvolution: 3 sample(s), scalar value(s), out_of_range=clamp\n"
        "abscissa  value\n"
        "     0.0    1.0\n"
        "     0.5    2.0\n"
        "     1.0    4.0\n\n"
    )
    zones = q.SubEvolution([(0, node_zone(mesh[0], ["T"], lambda r, k: 0.0))])
    ev = q.Evolution([(0, 1.0)]) | curve
    ev.dump(max_rows=1)
    out = capsys.readouterr().out
    assert out.startswith("Evolution: 2 sub-evolution(s)\n── [0] ──\n  SubEvolution: 1 sample(s)")
    assert "── [1] ──\n  SubEvolution: 3 sample(s)" in out
    zones.dump()
    assert "SubNodeField(3 node(s))" in capsys.readouterr().out
    with pytest.raises(OverflowError):
        curve.dump(precision=-1)
    with pytest.raises(RuntimeError):
        ev.dump(precision=70000)
    assert capsys.readouterr().out == ""


def test_docstrings_and_no_subclassing():
    assert q.SubEvolution.__text_signature__ == '(samples, out_of_range="error", abscissa_type=None, ordinate_type=None)'
    assert q.SubEvolution.__doc__.startswith("One tabulated curve: a sorted list")
    assert q.Evolution.__text_signature__ == '(steps, out_of_range="error", abscissa_type=None, ordinate_type=None)'
    assert q.Evolution.__doc__.startswith("An aggregate of tabulated curves")
    assert q.SubEvolution.interpolate.__text_signature__ == "($self, x, out_of_range=None)"
    assert q.SubEvolution.interpolate.__doc__.startswith("Interpolate at `x`.")
    assert q.Evolution.add_sub.__text_signature__ == "($self, sub)"
    assert list(q.__all__[-2:]) == ["SubEvolution", "Evolution"]
    for cls in (q.SubEvolution, q.Evolution):
        with pytest.raises(TypeError):
            type("Mine", (cls,), {})
