"""read_gmsh and read_gmsh_str: files written by gmsh itself, hand-made edge cases, and meshio as a second reader."""
import os
import pathlib
import random
import re
import struct

import pytest

import _quenlith as q
from helpers import raises

DATA = pathlib.Path(__file__).parent / "data" / "gmsh"
ENCODINGS = ["22_ascii", "22_bin", "41_ascii", "41_bin"]


def fixture(name):
    return str(DATA / name)


def cells(result):
    """{group: [(type, [[node id, ...] per cell])]} in the dict's order."""
    return {
        name: [(sub.element_type, [[n.id for n in cell] for cell in sub]) for sub in mesh]
        for name, mesh in result.items()
    }


def cell_coords(result):
    """{group: [(type, [[coordinates per node] per cell])]}."""
    return {
        name: [(sub.element_type, [[tuple(n.coord()) for n in cell] for cell in sub]) for sub in mesh]
        for name, mesh in result.items()
    }


def structure(result):
    return [(name, m.element_types(), m.cell_counts()) for name, m in result.items()]


# --- files written by gmsh ---------------------------------------------------------

PLATE_GROUPS = ["corner", "physical 12", "bottom", "physical 7", "hole", "plate"]
BOX_GROUPS = ["edge", "bottom", "physical 11", "top", "solid"]


@pytest.mark.parametrize(
    "geometry, dim, groups",
    [("plate_hole", 2, PLATE_GROUPS), ("box", 3, BOX_GROUPS)],
    ids=["plate_hole", "box"],
)
def test_the_four_encodings_of_one_geometry_agree(geometry, dim, groups):
    results = []
    for enc in ENCODINGS:
        c = q.Coords(dim)
        r = q.read_gmsh(c, fixture(f"{geometry}_{enc}.msh"))
        assert list(r) == groups
        results.append((structure(r), cells(r), cell_coords(r), c.node_count()))
    first = results[0]
    for other in results[1:]:
        assert other[0] == first[0]
        assert other[1] == first[1]  # nodes created in the same order
        assert other[3] == first[3]
        for name in first[2]:
            for (ta, a), (tb, b) in zip(first[2][name], other[2][name]):
                assert ta == tb
                flat_a = [x for cell in a for node in cell for x in node]
                flat_b = [x for cell in b for node in cell for x in node]
                assert flat_a == pytest.approx(flat_b, rel=1e-15, abs=1e-15)


def ascii_fixtures():
    return sorted(p.name for p in DATA.glob("*.msh") if "ascii" in p.name and p.name != "prism_o2_41_ascii.msh")


@pytest.mark.parametrize("name", ascii_fixtures())
def test_file_and_string_give_the_same_groups_and_nodes(name):
    a, b = q.Coords(3), q.Coords(3)
    from_file = q.read_gmsh(a, fixture(name))
    from_text = q.read_gmsh_str(b, (DATA / name).read_text())
    assert structure(from_file) == structure(from_text)
    assert cells(from_file) == cells(from_text)
    assert cell_coords(from_file) == cell_coords(from_text)
    assert a.node_count() == b.node_count()


def test_every_group_mesh_shares_the_callers_coords_and_nodes():
    c = q.Coords(2)
    r = q.read_gmsh(c, fixture("plate_hole_41_ascii.msh"))
    ids = cells(r)
    # The corner point, the bottom edge and the plate meet at node tag 1: one node.
    corner = ids["corner"][0][1][0][0]
    assert any(corner in cell for cell in ids["bottom"][0][1])
    assert any(corner in cell for cell in ids["plate"][0][1])
    # Each node's count is the number of times the returned cells use it.
    uses = {}
    for subs in ids.values():
        for _, cell_list in subs:
            for cell in cell_list:
                for n in cell:
                    uses[n] = uses.get(n, 0) + 1
    assert sorted(uses) == list(range(c.node_count()))
    assert all(c.refcount(n) == k for n, k in uses.items())
    assert all(m.coords().node_count() == c.node_count() for m in r.values())


def _tet_volume(p):
    (a, b, c, d) = p[:4]
    u = [b[i] - a[i] for i in range(3)]
    v = [c[i] - a[i] for i in range(3)]
    w = [d[i] - a[i] for i in range(3)]
    return (u[0] * (v[1] * w[2] - v[2] * w[1]) - u[1] * (v[0] * w[2] - v[2] * w[0]) + u[2] * (v[0] * w[1] - v[1] * w[0])) / 6


def test_coordinates_match_meshio_and_the_coords_dimension_drops_trailing_ones():
    meshio = pytest.importorskip("meshio")
    points = meshio.read(fixture("box_41_bin.msh")).points
    by_dim = {}
    for dim in (1, 2, 3):
        c = q.Coords(dim)
        r = q.read_gmsh(c, fixture("box_41_bin.msh"))
        by_dim[dim] = [n for cell in r["solid"][0] for n in cell]
        for node in by_dim[dim]:
            assert len(node.coord()) == dim
    full = {tuple(p) for p in points.tolist()}
    for n1, n2, n3 in zip(by_dim[1], by_dim[2], by_dim[3]):
        x = n3.coord()
        assert tuple(x) in full
        assert n2.coord() == x[:2] and n1.coord() == x[:1]


def test_a_coords_wider_than_three_is_refused_before_any_node():
    c = q.Coords(4)
    with raises(RuntimeError, "gmsh: cannot read nodes into a 4-D Coords (gmsh nodes have 3 coordinates)"):
        q.read_gmsh(c, fixture("box_41_ascii.msh"))
    assert c.capacity() == 0


MESHIO_TYPES = {
    "TRI3": "triangle", "QUA4": "quad", "TET4": "tetra", "HEX8": "hexahedron", "PENTA6": "wedge",
    "TRI6": "triangle6", "QUA8": "quad8", "QUA9": "quad9", "TET10": "tetra10", "PENTA15": "wedge15",
    "HEX20": "hexahedron20", "HEX27": "hexahedron27", "SEG2": "line", "SEG3": "line3",
}


@pytest.mark.parametrize(
    "name, group, etype",
    [
        ("box_o2_41_ascii.msh", "solid", "TET10"),
        ("box_o2_22_bin.msh", "solid", "TET10"),
        ("prism_o2i_41_ascii.msh", "wedges", "PENTA15"),
        ("prism_o2i_22_ascii.msh", "wedges", "PENTA15"),
        ("hex_box_o2i_41_bin.msh", "block", "HEX20"),
        ("hex_box_o2_41_ascii.msh", "block", "HEX27"),
        ("hex_box_o2_22_bin.msh", "block", "HEX27"),
        ("hex_box_o2_41_ascii.msh", "base", "QUA9"),
        ("hex_box_o2i_41_ascii.msh", "base", "QUA8"),
        ("plate_hole_o2_41_bin.msh", "plate", "TRI6"),
        ("prism_41_ascii.msh", "wedges", "PENTA6"),
    ],
)
def test_cells_equal_meshio_cells_in_our_node_order(monkeypatch, name, group, etype):
    meshio = pytest.importorskip("meshio")
    # meshio reorders wedge15 nodes but lacks the type's dimension in one table.
    monkeypatch.setitem(meshio._mesh.topological_dimension, "wedge15", 3)
    m = meshio.read(fixture(name))
    # meshio lists cells in our (VTK) node order. A group's cells: its cell set (4.1),
    # or the cells whose physical tag is the group's (2.2).
    if group in m.cell_sets:
        selections = m.cell_sets[group]
    else:
        tag = m.field_data[group][0]
        selections = [physical == tag for physical in m.cell_data["gmsh:physical"]]
    theirs = []
    for block, selected in zip(m.cells, selections):
        if block.type == MESHIO_TYPES[etype]:
            theirs += [[tuple(m.points[i].tolist()) for i in cell] for cell in block.data[selected]]
    c = q.Coords(3)
    mesh = q.read_gmsh(c, fixture(name))[group]
    (sub,) = [s for s in mesh if s.element_type == etype]
    ours = [[tuple(n.coord()) for n in cell] for cell in sub]
    assert len(ours) == len(theirs) > 0
    assert ours == theirs


def test_tetrahedra_keep_gmsh_orientation():
    c = q.Coords(3)
    solid = q.read_gmsh(c, fixture("box_o2_41_ascii.msh"))["solid"]
    for cell in solid[0]:
        assert _tet_volume([n.coord() for n in cell]) > 0


# --- hand-made files: the text layouts ----------------------------------------------

V22 = """$MeshFormat
2.2 0 8
$EndMeshFormat
$PhysicalNames
1
2 5 "skin"
$EndPhysicalNames
$Nodes
4
1 0 0 0
2 1 0 0
3 1 1 0
4 0 1 0.5
$EndNodes
$Elements
2
1 2 2 5 1 1 2 3
2 2 2 0 9 1 3 4
$EndElements
"""

V41 = """$MeshFormat
4.1 0 8
$EndMeshFormat
$PhysicalNames
2
2 1 "left"
2 2 "right"
$EndPhysicalNames
$Entities
0 0 2 0
7 0 0 0 1 1 0 2 1 2 0
8 0 0 0 1 1 0 0 0
$EndEntities
$Nodes
1 4 1 4
2 7 0 4
1
2
3
4
0 0 0
1 0 0
1 1 0
0 1 0
$EndNodes
$Elements
3 3 1 3
2 7 2 1
1 1 2 3
2 8 2 1
2 1 3 4
2 9 2 1
3 1 2 4
$EndElements
"""


def read_str(text, dim=3):
    c = q.Coords(dim)
    return c, q.read_gmsh_str(c, text)


def test_v22_names_the_first_tag_and_groups_the_rest_apart():
    c, r = read_str(V22)
    assert cells(r) == {"skin": [("TRI3", [[0, 1, 2]])], "<ungrouped>": [("TRI3", [[0, 2, 3]])]}
    assert c.node_count() == 4


def test_v41_entity_tags_put_a_cell_in_every_group_and_unknown_entities_ungrouped():
    c, r = read_str(V41)
    assert cells(r) == {
        "left": [("TRI3", [[0, 1, 2]])],
        "right": [("TRI3", [[0, 1, 2]])],
        "<ungrouped>": [("TRI3", [[0, 2, 3], [0, 1, 3]])],
    }
    assert [c.refcount(i) for i in range(4)] == [4, 3, 3, 2]


@pytest.mark.parametrize("version", ["4.1", "4.0", "4"])
def test_version_texts_that_select_the_v41_grammar(version):
    _, r = read_str(V41.replace("4.1 0 8", f"{version} 0 8"))
    assert list(r) == ["left", "right", "<ungrouped>"]


def test_records_may_be_split_or_joined_across_lines_and_end_in_crlf():
    _, base = read_str(V41)
    head, body = V41.split("$Nodes")
    flat = head + "$Nodes" + re.sub(r"(?<=\d)\n(?=\d)", " ", body)  # each section's records on one line
    split = V41.replace("1 1 2 3", "1 1\n2\n3").replace("0 0 0\n1 0 0", "0\n0\n0 1\n0 0")
    for text in (flat, split, V41.replace("\n", "\r\n")):
        _, r = read_str(text)
        assert cells(r) == cells(base)


def test_groups_and_types_come_in_order_of_first_element():
    text = V22.replace(
        "$Elements\n2\n1 2 2 5 1 1 2 3\n2 2 2 0 9 1 3 4\n",
        "$Elements\n4\n1 1 1 8 1 2\n2 2 1 5 1 2 3\n3 3 1 5 1 2 3 4\n4 2 1 8 2 3 4\n",
    )
    _, r = read_str(text)
    assert structure(r) == [("physical 8", ["SEG2", "TRI3"], [1, 1]), ("skin", ["TRI3", "QUA4"], [1, 1])]


def test_a_physical_tag_is_named_in_its_own_dimension():
    # Tag 5 is named for dimension 2 only: a line element carrying it keeps the default name.
    text = V22.replace("2 2 2 0 9 1 3 4", "2 1 1 5 3 4")
    _, r = read_str(text)
    assert list(r) == ["skin", "physical 5"]


def test_unreferenced_nodes_are_not_added_and_a_file_without_elements_gives_nothing():
    c, r = read_str(V22.replace("$Elements\n2\n1 2 2 5 1 1 2 3\n2 2 2 0 9 1 3 4\n", "$Elements\n0\n"))
    assert r == {} and c.capacity() == 0
    c, r = read_str(V22.replace("$Elements\n2\n1 2 2 5 1 1 2 3\n", "$Elements\n1\n"))
    assert c.capacity() == 3 and cells(r) == {"<ungrouped>": [("TRI3", [[0, 1, 2]])]}


def test_a_node_tag_read_twice_keeps_the_later_coordinates():
    _, r = read_str(V22.replace("$Nodes\n4\n", "$Nodes\n5\n1 9 9 9\n"))
    assert [n.coord() for n in r["skin"][0][0]] == [[0, 0, 0], [1, 0, 0], [1, 1, 0]]


def test_a_later_section_of_the_same_name_replaces_the_earlier():
    extra = "$Nodes\n4\n1 5 0 0\n2 6 0 0\n3 7 0 0\n4 8 0 0\n$EndNodes\n"
    _, r = read_str(V22 + extra)
    assert [n.coord()[0] for n in r["skin"][0][0]] == [5, 6, 7]


def test_unknown_node_fails_and_keeps_the_nodes_created_before():
    c = q.Coords(3)
    text = V22.replace("2 2 2 0 9 1 3 4", "2 2 2 0 9 1 3 40")
    with raises(RuntimeError, "gmsh: element references unknown node 40"):
        q.read_gmsh_str(c, text)
    assert c.capacity() == 3  # nodes 1, 2, 3 and the first element's, then 1 and 3 again
    assert [c.refcount(i) for i in range(3)] == [0, 0, 0]


def test_physical_names_entries():
    names = """2 7 "with "inner" quotes" trailing
+2 -3 ""
"""
    text = V22.replace('1\n2 5 "skin"\n', "\n3\n" + names + '2 5 "skin"\n9 9 "never read"\n')
    text = text.replace("1 2 2 5 1 1 2 3", "1 2 2 7 1 1 2 3").replace("2 2 2 0 9 1 3 4", "2 2 1 -3 1 3 4")
    _, r = read_str(text)
    assert list(r) == ['with "inner" quotes', ""]


def _names(body):
    return V22.replace('1\n2 5 "skin"\n', body)


def _section(name, body, after="$EndMeshFormat\n"):
    return V22.replace(after, after + f"${name}\n{body}$End{name}\n")


TEXT_ERRORS = [
    ("no_format", "$Nodes\n$EndNodes\n", "gmsh: unexpected end of file"),
    ("format_swallowed", "$Comments\n" + V22, "gmsh: missing $MeshFormat (is this a .msh file?)"),
    ("format_last_line", "$MeshFormat", "gmsh: unexpected end of file"),
    ("format_last_line_lf", "$MeshFormat\n", "gmsh: unexpected end of file"),
    ("blank_header", "$MeshFormat\n\n2.2 0 8\n", "gmsh: empty $MeshFormat"),
    ("no_file_type", "$MeshFormat\n4.1\n", "gmsh: $MeshFormat without a file-type"),
    ("bad_file_type", "$MeshFormat\n4.1 -1 8\n", "gmsh: $MeshFormat without a file-type"),
    ("file_type_2", "$MeshFormat\n4.1 2 8\n", "gmsh: unsupported file-type 2 (0 = ASCII, 1 = binary)"),
    ("bad_major", "$MeshFormat\nx.1 0 8\n", "gmsh: unparsable MSH version x.1"),
    ("major_overflow", "$MeshFormat\n4294967296.1 0 8\n", "gmsh: unparsable MSH version 4294967296.1"),
    ("v41_no_dot", V41.replace("4.1 0 8", "41 0 8"), "gmsh: unsupported MSH version 41 (supported: 2.2, 4.1)"),
    ("v22", V22.replace("2.2 0 8", "22 0 8"), "gmsh: unsupported MSH version 22 (supported: 2.2, 4.1)"),
    ("v30", V22.replace("2.2 0 8", "3.0 0 8"), "gmsh: unsupported MSH version 3.0 (supported: 2.2, 4.1)"),
    ("plus_v41", V22.replace("2.2 0 8", "+4.1 0 8"), "gmsh: unsupported MSH version +4.1 (supported: 2.2, 4.1)"),
    ("names_before_version", _names("x\n").replace("2.2 0 8", "3.0 0 8"), "gmsh: bad $PhysicalNames count"),
    ("names_empty", _names("\n  \n"), "gmsh: empty $PhysicalNames"),
    ("names_truncated", _names('3\n2 5 "a"\n\n2 6 "b"\n'), "gmsh: truncated $PhysicalNames"),
    ("names_no_quote", _names("1\n2 5 skin\n"), "gmsh: $PhysicalNames entry without a quoted name"),
    ("names_one_quote", _names('1\n2 5 "skin\n'), "gmsh: $PhysicalNames entry without a closing quote"),
    ("names_dim_300", _names('1\n300 5 "a"\n'), "gmsh: $PhysicalNames entry without a dimension"),
    ("names_no_dim", _names('1\n"a"\n'), "gmsh: $PhysicalNames entry without a dimension"),
    ("names_no_tag", _names('1\n2 "a"\n'), "gmsh: $PhysicalNames entry without a tag"),
    ("names_bad_tag", _names('1\n2 5x "a"\n'), "gmsh: $PhysicalNames entry without a tag"),
    ("no_nodes", V22.replace("$Nodes", "$Nodez").replace("$EndNodes", "$EndNodez"), "gmsh: missing $Nodes"),
    ("open_section_swallows", V22.replace("$EndMeshFormat\n", "$EndMeshFormat\n$Comments\n"), "gmsh: missing $Nodes"),
    ("no_elements", V22.replace("$Elements", "$Elementz"), "gmsh: missing $Elements"),
    ("entities_before_nodes", V41.replace("0 0 2 0\n", "0 0 2 x\n").replace("$Nodes", "$Nodez"),
     "gmsh: expected an integer, got x"),
    ("short_nodes", V22.replace("4 0 1 0.5\n", "4 0 1\n"), "gmsh: unexpected end of section"),
    ("decimal_comma", V22.replace("4 0 1 0.5", "4 0 1 0,5"), "gmsh: expected a number, got 0,5"),
    ("negative_tag", V22.replace("4 0 1 0.5", "-3 0 1 0.5"), "gmsh: expected an integer, got -3"),
    ("huge_count", V22.replace("$Nodes\n4\n", "$Nodes\n18446744073709551615\n"), "gmsh: unexpected end of section"),
    ("count_overflow", V22.replace("$Nodes\n4\n", "$Nodes\n18446744073709551616\n"),
     "gmsh: expected an integer, got 18446744073709551616"),
    ("parametric", V41.replace("2 7 0 4\n", "2 7 1 4\n"), "gmsh: parametric nodes are not supported"),
    ("type_7", V22.replace("2 2 2 0 9 1 3 4", "2 7 2 0 9 1 3 4"), None),
    ("empty_format_section", "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$MeshFormat\n$EndMeshFormat\n",
     "gmsh: unexpected end of section"),
]
UNSUPPORTED = (
    "gmsh: unsupported element type {} (supported: 1=SEG2, 2=TRI3, 3=QUA4, 4=TET4, 5=HEX8, 6=PENTA6, 15=POI1; "
    "quadratic: 8=SEG3, 9=TRI6, 16=QUA8, 10=QUA9, 11=TET10, 17=HEX20, 18=PENTA15, 12=HEX27)"
)


@pytest.mark.parametrize("text, message", [(t, m) for _, t, m in TEXT_ERRORS], ids=[i for i, _, _ in TEXT_ERRORS])
def test_text_errors(text, message):
    c = q.Coords(3)
    with raises(RuntimeError, message or UNSUPPORTED.format(7)):
        q.read_gmsh_str(c, text)
    assert c.capacity() == 0


@pytest.mark.parametrize("number", [0, 7, 13, 14, 19, 18446744073709551615])
def test_unsupported_element_type_numbers(number):
    with raises(RuntimeError, UNSUPPORTED.format(number)):
        read_str(V22.replace("2 2 2 0 9 1 3 4", f"2 {number} 2 0 9 1 3 4"))


def test_the_whole_text_must_be_utf8_for_the_text_layouts(tmp_path):
    path = tmp_path / "bad.msh"
    path.write_bytes(V22.encode() + b"$Comment\n\xff\n$EndComment\n")
    with raises(RuntimeError, "gmsh: file declared ASCII but is not valid UTF-8"):
        q.read_gmsh(q.Coords(3), str(path))
    path.write_bytes(b"$MeshFormat\n2.2 \xff 8\n")
    with raises(RuntimeError, "gmsh: bad $MeshFormat line"):
        q.read_gmsh(q.Coords(3), str(path))


def test_numbers_in_their_accepted_forms():
    text = V22.replace("1 0 0 0\n2 1 0 0\n3 1 1 0", "+1 .5 -2.5E+1 1e-3\n2 INF -infinity 1.\n3 nan 1e400 -1e-400")
    _, r = read_str(text)
    coords = [n.coord() for n in r["skin"][0][0]]
    assert coords[0] == [0.5, -25.0, 0.001]
    assert coords[1] == [float("inf"), float("-inf"), 1.0]
    assert coords[2][0] != coords[2][0] and coords[2][1] == float("inf") and str(coords[2][2]) == "-0.0"


# --- hand-made files: the binary layouts --------------------------------------------


def _marker(endian):
    return struct.pack(endian + "i", 1)


def bin22(nodes, blocks, names=None, names_after=False, endian="<", header=b"2.2 1 8", marker=None):
    """A 2.2 binary file: nodes [(tag, x, y, z)], blocks [(type, n_tags, [(number, tags, nodes)])]."""
    out = [b"$MeshFormat\n", header, b"\n", marker if marker is not None else _marker(endian), b"\n$EndMeshFormat\n"]
    names_part = b""
    if names is not None:
        names_part = b"$PhysicalNames\n%d\n" % len(names) + b"".join(
            b'%d %d "%s"\n' % (d, t, n.encode()) for d, t, n in names) + b"$EndPhysicalNames\n"
    if not names_after:
        out.append(names_part)
    out.append(b"$Nodes\n%d\n" % len(nodes))
    out += [struct.pack(endian + "iddd", *n) for n in nodes]
    out.append(b"\n$EndNodes\n$Elements\n%d\n" % sum(len(b[2]) for b in blocks))
    for etype, n_tags, elements in blocks:
        out.append(struct.pack(endian + "iii", etype, len(elements), n_tags))
        for number, tags, node_tags in elements:
            out.append(struct.pack(endian + "i" * (1 + len(tags) + len(node_tags)), number, *tags, *node_tags))
    out.append(b"\n$EndElements\n")
    if names_after:
        out.append(names_part)
    return b"".join(out)


SQUARE = [(1, 0, 0, 0), (2, 1, 0, 0), (3, 1, 1, 0), (4, 0, 1, 0.5)]
TWO_TRIANGLES = [(2, 3, [(1, [7, 3, 1], [1, 2, 3]), (2, [0, 3, 1], [1, 3, 4])])]


def read_bytes(tmp_path, data, dim=3):
    path = tmp_path / "m.msh"
    path.write_bytes(data)
    c = q.Coords(dim)
    return c, q.read_gmsh(c, str(path))


def test_binary_v22_little_and_big_endian_agree(tmp_path):
    names = [(2, 7, "seven")]
    _, little = read_bytes(tmp_path, bin22(SQUARE, TWO_TRIANGLES, names))
    _, big = read_bytes(tmp_path, bin22(SQUARE, TWO_TRIANGLES, names, endian=">"))
    assert cells(little) == cells(big) == {"seven": [("TRI3", [[0, 1, 2]])], "<ungrouped>": [("TRI3", [[0, 2, 3]])]}
    assert cell_coords(little) == cell_coords(big)


# Five elements in file order: triangles of physical 7, an ungrouped one, a line of
# physical 5, then a triangle of physical 7 again, laid out as gmsh writes 2.2
# (a block per element), in blocks of consecutive types, and with a second tag.
MIXED = [(2, [7], [1, 2, 3]), (2, [7], [1, 3, 4]), (2, [0], [2, 3, 4]), (1, [5], [1, 2]), (2, [7], [2, 4, 1])]


def mixed_blocks(layout):
    elements = [(t, tags + [9] if layout == "two tags" else tags, nodes) for t, tags, nodes in MIXED]
    numbered = [(t, (i + 1, tags, nodes)) for i, (t, tags, nodes) in enumerate(elements)]
    if layout == "block per element":
        return [(t, len(e[1]), [e]) for t, e in numbered]
    blocks = []
    for t, e in numbered:
        if blocks and blocks[-1][0] == t:
            blocks[-1][2].append(e)
        else:
            blocks.append((t, len(e[1]), [e]))
    return blocks


@pytest.mark.parametrize("endian", ["<", ">"])
@pytest.mark.parametrize("layout", ["block per element", "blocks of one type", "two tags"])
def test_binary_v22_groups_follow_each_elements_tag_whatever_the_blocks(tmp_path, layout, endian):
    c, r = read_bytes(tmp_path, bin22(SQUARE, mixed_blocks(layout), [(2, 7, "seven")], endian=endian))
    assert cells(r) == {
        "seven": [("TRI3", [[0, 1, 2], [0, 2, 3], [1, 3, 0]])],
        "<ungrouped>": [("TRI3", [[1, 2, 3]])],
        "physical 5": [("SEG2", [[0, 1]])],
    }
    # One reference per cell entry, every group counted.
    assert [c.refcount(i) for i in range(4)] == [4, 4, 3, 3]
    del r
    assert [c.refcount(i) for i in range(4)] == [0, 0, 0, 0]


def test_binary_names_take_effect_only_for_later_elements(tmp_path):
    _, r = read_bytes(tmp_path, bin22(SQUARE, TWO_TRIANGLES, [(2, 7, "seven")], names_after=True))
    assert list(r) == ["physical 7", "<ungrouped>"]


def test_binary_header_3_0_reads_the_v41_layouts_without_entities(tmp_path):
    data = (DATA / "box_41_bin.msh").read_bytes().replace(b"4.1 1 8", b"3.0 1 8", 1)
    _, r = read_bytes(tmp_path, data)
    _, ref = read_bytes(tmp_path, (DATA / "box_41_bin.msh").read_bytes())
    # $Entities is read for major version 4 only: every element is ungrouped.
    assert list(r) == ["<ungrouped>"]
    by_type = {}
    for subs in cells(ref).values():
        for etype, cell_list in subs:
            by_type.setdefault(etype, []).extend(cell_list)
    assert sorted(map(tuple, sum((c for _, c in cells(r)["<ungrouped>"]), []))) == sorted(
        map(tuple, sum(by_type.values(), [])))


def test_binary_negative_block_count_runs_into_the_end(tmp_path):
    blocks = [(2, 1, [(1, [0], [1, 2, 3])])]
    data = bin22(SQUARE, blocks).replace(struct.pack("<iii", 2, 1, 1), struct.pack("<iii", 2, -1, 1))
    with raises(RuntimeError, "gmsh: truncated binary data"):
        read_bytes(tmp_path, data)


BINARY_ERRORS = [
    ("marker_missing", bin22(SQUARE, TWO_TRIANGLES)[:23], "gmsh: truncated binary data"),
    ("marker_2", bin22(SQUARE, TWO_TRIANGLES, marker=b"\x02\x00\x00\x00"), "gmsh: unrecognized binary endianness marker"),
    ("no_end_format", b"$MeshFormat\n2.2 1 8\n\x01\x00\x00\x00\n", "gmsh: unexpected end of file"),
    ("cut_in_node", bin22(SQUARE, TWO_TRIANGLES)[:90], "gmsh: truncated binary data"),
    ("no_end_nodes", bin22(SQUARE, TWO_TRIANGLES).split(b"\n$EndNodes")[0], "gmsh: unexpected end of file"),
    ("skipped_open", bin22(SQUARE, TWO_TRIANGLES) + b"$Comment\nx\n", "gmsh: unexpected end of file"),
    ("bad_count", bin22(SQUARE, TWO_TRIANGLES).replace(b"$Nodes\n4\n", b"$Nodes\nfour\n"),
     "gmsh: expected an integer count"),
    ("count_not_utf8", bin22(SQUARE, TWO_TRIANGLES).replace(b"$Nodes\n4\n", b"$Nodes\n4\xff\n"),
     "gmsh: expected an integer count"),
    ("name_not_utf8", bin22(SQUARE, TWO_TRIANGLES, [(2, 7, "x")]).replace(b'"x"', b'"\xff"'), "gmsh: bad name line"),
    ("blank_name_line", bin22(SQUARE, TWO_TRIANGLES).replace(b"$Nodes", b"$PhysicalNames\n1\n\n$EndPhysicalNames\n$Nodes"),
     "gmsh: $PhysicalNames entry without a quoted name"),
    ("type_13", bin22(SQUARE, [(13, 1, [(1, [0], [1, 2, 3])])]), UNSUPPORTED.format(13)),
    ("type_minus_1", bin22(SQUARE, [(-1, 1, [(1, [0], [1, 2, 3])])]), UNSUPPORTED.format(4294967295)),
    ("huge_node_count", bin22(SQUARE, TWO_TRIANGLES).replace(b"$Nodes\n4\n", b"$Nodes\n18446744073709551615\n"),
     "gmsh: truncated binary data"),
    ("unknown_node", bin22(SQUARE, [(2, 1, [(1, [0], [1, 2, -5])])]), "gmsh: element references unknown node 18446744073709551611"),
]


@pytest.mark.parametrize("data, message", [(d, m) for _, d, m in BINARY_ERRORS], ids=[i for i, _, _ in BINARY_ERRORS])
def test_binary_errors(tmp_path, data, message):
    with raises(RuntimeError, message):
        read_bytes(tmp_path, data)


def bin41(entities, node_blocks, element_blocks, endian="<"):
    """A 4.1 binary file: surfaces [(tag, physical tags)], node blocks [(parametric, [(tag, x, y, z)])],
    element blocks [(dim, entity, type, [(tag, nodes)])]."""
    p = lambda fmt, *v: struct.pack(endian + fmt, *v)  # noqa: E731
    out = [b"$MeshFormat\n4.1 1 8\n", _marker(endian), b"\n$EndMeshFormat\n$Entities\n", p("QQQQ", 0, 0, len(entities), 0)]
    for tag, phys in entities:
        out.append(p("i6dQ", tag, 0, 0, 0, 1, 1, 0, len(phys)) + p("i" * len(phys), *phys) + p("Q", 0))
    out.append(b"\n$EndEntities\n$Nodes\n" + p("QQQQ", len(node_blocks), 0, 0, 0))
    for parametric, nodes in node_blocks:
        out.append(p("iiiQ", 2, 1, parametric, len(nodes)))
        out += [p("Q", n[0]) for n in nodes] + [p("ddd", *n[1:]) for n in nodes]
    out.append(b"\n$EndNodes\n$Elements\n" + p("QQQQ", len(element_blocks), 0, 0, 0))
    for dim, entity, etype, elements in element_blocks:
        out.append(p("iiiQ", dim, entity, etype, len(elements)))
        out += [p("Q" * (1 + len(nodes)), tag, *nodes) for tag, nodes in elements]
    out.append(b"\n$EndElements\n")
    return b"".join(out)


def test_binary_v41_entities_little_and_big_endian(tmp_path):
    args = ([(1, [1, 2]), (2, [])], [(0, SQUARE)],
            [(2, 1, 2, [(1, [1, 2, 3])]), (2, 2, 2, [(2, [1, 3, 4])]), (2, 3, 3, [(3, [1, 2, 3, 4])])])
    _, little = read_bytes(tmp_path, bin41(*args))
    _, big = read_bytes(tmp_path, bin41(*args, endian=">"))
    expected = {
        "physical 1": [("TRI3", [[0, 1, 2]])],
        "physical 2": [("TRI3", [[0, 1, 2]])],
        "<ungrouped>": [("TRI3", [[0, 2, 3]]), ("QUA4", [[0, 1, 2, 3]])],
    }
    assert cells(little) == cells(big) == expected
    assert cell_coords(little) == cell_coords(big)


def test_binary_v41_parametric_block_is_refused_even_when_empty(tmp_path):
    with raises(RuntimeError, "gmsh: parametric nodes are not supported"):
        read_bytes(tmp_path, bin41([], [(1, [])], []))


def test_big_endian_copy_of_a_gmsh_file_reads_the_same(tmp_path):
    data = (DATA / "box_22_bin.msh").read_bytes()
    _, little = read_bytes(tmp_path, data)
    _, big = read_bytes(tmp_path, swap_v22_binary(data))
    assert structure(big) == structure(little)
    assert cells(big) == cells(little)
    assert cell_coords(big) == cell_coords(little)


def swap_v22_binary(data):
    """The same 2.2 binary file with every fixed-width value byte-swapped (and the marker with them)."""
    NODES = {1: 2, 2: 3, 3: 4, 4: 4, 5: 8, 6: 6, 8: 3, 9: 6, 10: 9, 11: 10, 12: 27, 15: 1, 16: 8, 17: 20, 18: 15}
    out = bytearray()
    pos = 0

    def line():
        nonlocal pos
        end = data.index(b"\n", pos) + 1
        text = data[pos:end]
        pos = end
        return text

    def swap(fmt, n):
        nonlocal pos
        size = struct.calcsize("<" + fmt)
        values = struct.unpack_from("<" + fmt * n, data, pos)
        out.extend(struct.pack(">" + fmt * n, *values))
        pos += size * n
        return values

    while pos < len(data):
        text = line()
        out.extend(text)
        if text.strip() == b"2.2 1 8":
            swap("i", 1)
        elif text.strip() == b"$Nodes":
            count = int(line().decode())
            out.extend(b"%d\n" % count)
            for _ in range(count):
                swap("i", 1)
                swap("d", 3)
        elif text.strip() == b"$Elements":
            total = int(line().decode())
            out.extend(b"%d\n" % total)
            done = 0
            while done < total:
                etype, n, n_tags = swap("i", 3)
                swap("i", n * (1 + n_tags + NODES[etype]))
                done += n
    return bytes(out)


# --- arguments ---------------------------------------------------------------------


def test_missing_file_is_an_io_error_and_adds_nothing(tmp_path):
    c = q.Coords(3)
    with pytest.raises(RuntimeError, match=r"^I/O error: No such file or directory"):
        q.read_gmsh(c, str(tmp_path / "missing.msh"))
    with pytest.raises(RuntimeError, match=r"^I/O error: Is a directory"):
        q.read_gmsh(c, str(tmp_path))
    assert c.capacity() == 0


def test_relative_paths_use_the_working_directory(monkeypatch):
    monkeypatch.chdir(DATA)
    assert list(q.read_gmsh(q.Coords(3), "prism_41_ascii.msh")) == ["floor", "wedges"]


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: q.read_gmsh(q.Coords(3), pathlib.Path("x.msh")), TypeError,
         "argument 'path': 'PosixPath' object is not an instance of 'str'"),
        (lambda: q.read_gmsh(q.Coords(3), b"x.msh"), TypeError,
         "argument 'path': 'bytes' object is not an instance of 'str'"),
        (lambda: q.read_gmsh(q.Coords(3), "x\0.msh"), ValueError, "embedded null byte"),
        (lambda: q.read_gmsh("coords", "x.msh"), TypeError,
         "argument 'coords': 'str' object is not an instance of 'Coords'"),
        (lambda: q.read_gmsh_str(None, V22), TypeError, "argument 'coords': 'None' is not an instance of 'Coords'"),
        (lambda: q.read_gmsh_str(q.Coords(3), b"x"), TypeError,
         "argument 'text': 'bytes' object is not an instance of 'str'"),
        (lambda: q.read_gmsh_str(q.Coords(3)), TypeError, None),
        (lambda: q.read_gmsh(coords=q.Coords(3), path=fixture("x"), extra=1), TypeError, None),
    ],
    ids=["pathlib", "bytes_path", "nul", "coords", "none_coords", "bytes_text", "missing", "unexpected"],
)
def test_argument_errors(call, exc, text):
    if text is None:
        with pytest.raises(exc):
            call()
    else:
        with raises(exc, text):
            call()


def test_lone_surrogate_raises_the_interpreters_encode_error():
    with pytest.raises(UnicodeEncodeError):
        q.read_gmsh_str(q.Coords(3), V22 + "\ud800")


def test_keywords_and_docstrings():
    c = q.Coords(3)
    r = q.read_gmsh_str(text=V22, coords=c)
    assert list(r) == ["skin", "<ungrouped>"]
    assert q.read_gmsh(path=fixture("prism_41_ascii.msh"), coords=c).keys() == {"floor", "wedges"}
    assert q.read_gmsh.__text_signature__ == "(coords, path)"
    assert q.read_gmsh_str.__text_signature__ == "(coords, text)"
    assert "<ungrouped>" in q.read_gmsh.__doc__ and "read_gmsh" in q.read_gmsh_str.__doc__


# --- mutations ---------------------------------------------------------------------

ALLOWED = [re.escape(m) for m in (
    "gmsh: unexpected end of file", "gmsh: bad $MeshFormat line", "gmsh: empty $MeshFormat",
    "gmsh: $MeshFormat without a file-type", "gmsh: file declared ASCII but is not valid UTF-8",
    "gmsh: truncated binary data", "gmsh: unrecognized binary endianness marker",
    "gmsh: missing $MeshFormat (is this a .msh file?)", "gmsh: unexpected end of section",
    "gmsh: empty $PhysicalNames", "gmsh: bad $PhysicalNames count", "gmsh: truncated $PhysicalNames",
    "gmsh: $PhysicalNames entry without a quoted name", "gmsh: $PhysicalNames entry without a closing quote",
    "gmsh: $PhysicalNames entry without a dimension", "gmsh: $PhysicalNames entry without a tag",
    "gmsh: missing $Nodes", "gmsh: missing $Elements", "gmsh: parametric nodes are not supported",
    "gmsh: expected an integer count", "gmsh: bad name line",
)] + [
    r"gmsh: unparsable MSH version .*", r"gmsh: unsupported file-type \d+ \(0 = ASCII, 1 = binary\)",
    r"gmsh: unsupported MSH version .* \(supported: 2\.2, 4\.1\)", r"gmsh: unsupported element type \d+ \(supported: .*\)",
    r"gmsh: expected an integer, got .*", r"gmsh: expected a number, got .*",
    r"gmsh: element references unknown node \d+",
]
ALLOWED_RE = re.compile("^(?:" + "|".join(ALLOWED) + ")$", re.S)


def mutations(data, rng):
    n = len(data)
    for cut in sorted({0, 1, n // 7, n // 3, n // 2, n - 20, n - 1} | {rng.randrange(n) for _ in range(6)}):
        yield data[:max(cut, 0)]
    for _ in range(24):
        b = bytearray(data)
        for _ in range(rng.randrange(1, 4)):
            i = rng.randrange(n)
            b[i] ^= 1 << rng.randrange(8)
        yield bytes(b)
    # Counts and sizes made huge: decimal count lines, and 8-byte fields of binary blocks.
    for m in re.finditer(rb"\n(\d+)\n", data[:4000]):
        yield data[:m.start(1)] + b"18446744073709551615" + data[m.end(1):]
    for _ in range(8):
        i = rng.randrange(max(n - 8, 1))
        yield data[:i] + b"\xff\xff\xff\xff\xff\xff\xff\x7f" + data[i + 8:]


@pytest.mark.parametrize("name", sorted(p.name for p in DATA.glob("*.msh")))
def test_mutated_fixtures_fail_only_with_reader_messages(tmp_path, name):
    rng = random.Random(name)
    path = tmp_path / "m.msh"
    for data in mutations((DATA / name).read_bytes(), rng):
        path.write_bytes(data)
        c = q.Coords(3)
        try:
            q.read_gmsh(c, str(path))
        except RuntimeError as e:
            assert ALLOWED_RE.match(str(e)), (name, str(e))
