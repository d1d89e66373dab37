"""Helpers shared by the Python tests."""
import math
import re
import subprocess
import sys
import textwrap

import pytest

import _quenlith as q


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
# --- small 2-D elastic problems -------------------------------------------------


def poi1(c, nodes):
    m = q.Mesh(c.c, "POI1")
    for x in nodes:
        m[0].add_cell([x])
    return m


class Coords2:
    """2-D coordinates that keep every node they make, by id."""

    def __init__(self):
        self.c = q.Coords(2)
        self.by_id = {}

    def add_node(self, xy):
        node = self.c.add_node(list(xy))
        self.by_id[node.id] = node
        return node


def grid(c, nx, ny, lx, ly):
    """QUA4 cells of an nx x ny grid on [0, lx] x [0, ly]; node rows bottom to top."""
    n = [[c.add_node([lx * i / nx, ly * j / ny]) for i in range(nx + 1)] for j in range(ny + 1)]
    mesh = q.Mesh(c.c, "QUA4")
    for j in range(ny):
        for i in range(nx):
            mesh[0].add_cell([n[j][i], n[j][i + 1], n[j + 1][i + 1], n[j + 1][i]])
    return n, mesh


def patch_of_five(c):
    """Five distorted quadrilaterals filling the rectangle [0, 0.24] x [0, 0.12]: the
    points, their nodes (the four corners first) and the mesh."""
    pts = [(0.0, 0.0), (0.24, 0.0), (0.24, 0.12), (0.0, 0.12), (0.04, 0.02), (0.18, 0.03), (0.16, 0.08), (0.08, 0.08)]
    nd = [c.add_node(list(p)) for p in pts]
    mesh = q.Mesh(c.c, "QUA4")
    for cell in ([0, 1, 5, 4], [1, 2, 6, 5], [2, 3, 7, 6], [3, 0, 4, 7], [4, 5, 6, 7]):
        mesh[0].add_cell([nd[k] for k in cell])
    return pts, nd, mesh


def quarter_ring(c, a, b, nr, nt):
    """QUA8 cells of the quarter ring a <= r <= b, 0 <= θ <= π/2: nr cells across,
    nt around. Returns the nodes by lattice position (i across, j around, in half
    cells: the inner arc is i = 0, the edge θ = 0 is j = 0) and the mesh."""
    lat = {}
    for j in range(2 * nt + 1):
        t = math.pi / 2 * j / (2 * nt)
        for i in range(2 * nr + 1):
            if i % 2 and j % 2:
                continue
            r = a + (b - a) * i / (2 * nr)
            lat[i, j] = c.add_node([r * math.cos(t), r * math.sin(t)])
    ring = q.Mesh(c.c, "QUA8")
    for j in range(0, 2 * nt, 2):
        for i in range(0, 2 * nr, 2):
            ring[0].add_cell([lat[k] for k in ((i, j), (i + 2, j), (i + 2, j + 2), (i, j + 2),
                                               (i + 1, j), (i + 2, j + 1), (i + 1, j + 2), (i, j + 1))])
    return lat, ring


def support(c, nodes, var, dual, sense=None):
    """A Dirichlet model fixing `var` at `nodes` (or bounding it, with `sense`), with
    one new multiplier node each."""
    mult = poi1(c, [c.add_node([-100.0 - k, -100.0]) for k in range(len(nodes))])
    return q.Model.dirichlet(var, dual, poi1(c, nodes), mult, sense=sense)


def rhs_for(matrix, c, values):
    """A node field holding values[(node index, var)] at those row DOFs, 0 elsewhere."""
    names, nodes = [], []
    for node, var in matrix.row_dofs():
        if var not in names:
            names.append(var)
        if node not in nodes:
            nodes.append(node)
    f = q.NodeField(poi1(c, [c.by_id[k] for k in nodes]), names)
    for node, var in matrix.row_dofs():
        f[0].set_value(c.by_id[node], var, values.get((node, var), 0.0))
    return f
