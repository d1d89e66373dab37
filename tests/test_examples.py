"""The example scripts run as a user runs them: each in a fresh directory with the test's
interpreter, its printed results checked against the closed forms it quotes, and every
VTK file it writes read back by meshio."""

import math
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

meshio = pytest.importorskip("meshio")

ROOT = pathlib.Path(__file__).resolve().parent.parent
NUMBER = r"[-+]?\d+\.?\d*(?:e[-+]?\d+)?"


def run(name, cwd, *args):
    done = subprocess.run([sys.executable, str(ROOT / "examples" / name), *args], cwd=cwd,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def numbers(line):
    return [float(x) for x in re.findall(NUMBER, line)]


def table(out, first_word):
    """The rows of numbers printed under the header line that starts with `first_word`."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split() and line.split()[0] == first_word) + 1
    rows = []
    for line in lines[start:]:
        values = numbers(line)
        if not values or not re.match(r"\s*" + NUMBER, line):
            break
        rows.append(values)
    return rows


def line_after(out, prefix):
    (line,) = [line for line in out.splitlines() if line.startswith(prefix)]
    return numbers(line[len(prefix):])


def check_first_analysis(out):
    exact = line_after(out, "exact area:")[0]
    assert exact == pytest.approx(4 * 2.0**2 - math.pi * 0.5**2, rel=1e-12)
    rows = table(out, "sectors")
    assert [r[0] for r in rows] == [8, 16, 32, 64]
    errors = [abs(area - exact) / exact for _, _, area, _ in rows]
    assert all(errors[i] / errors[i + 1] > 12 for i in range(3)), errors  # curved edges: fourth order
    assert errors[-1] < 2e-8


def check_cantilever(out):
    computed, exact, _ = line_after(out, "tip deflection: computed")
    # P L³/(3EI) + P L/(κGA) of the example's beam, then the mesh within 0.25 %.
    E, nu, L, h, P = 1000.0, 0.3, 10.0, 1.0, 1.0
    assert exact == pytest.approx(-(P * L**3 / (3 * E * h**3 / 12) + P * L / (5 / 6 * E / (2 * (1 + nu)) * h)))
    assert computed == pytest.approx(exact, rel=2.5e-3)
    x, y, computed, theory = line_after(out, "bending stress at x =")
    assert theory == pytest.approx(P * (L - x) * y * 12 / h**3, rel=1e-4)
    assert computed == pytest.approx(theory, rel=1e-3)


def check_heat(out):
    rows = table(out, "cells")
    errors = [abs(t - exact) for _, t, exact, *_ in rows]
    assert [r[0] for r in rows] == [64, 256, 1024]
    assert all(3.8 < errors[i] / errors[i + 1] < 4.2 for i in range(2)), errors
    assert errors[-1] < 1e-3 * rows[-1][2]
    # The series value of the centre temperature, s / k times 0.0736713...
    assert rows[0][2] == pytest.approx(4 * 0.0736713, rel=1e-6)
    through, produced = line_after(out, "heat through the edges:")
    assert through == pytest.approx(produced, rel=1e-9)


def check_portal_frame(out):
    exact = line_after(out, "slope-deflection sway:")[0]
    rows = table(out, "cells/member")
    assert [r[0] for r in rows] == [1, 2, 4, 10, 20, 40]
    errors = [left / exact - 1 for _, left, _, _ in rows]
    assert all(e < 0 for e in errors)
    # One cell per member locks (one-point shear, constant curvature), two are 25 % stiff.
    assert errors[0] < -0.999 and errors[1] == pytest.approx(-0.25, abs=0.01)
    assert all(3.6 < errors[i] / errors[i + 1] < 4.4 for i in range(3, 5)), errors  # as 1/n², not 1/n
    assert abs(errors[-1]) < 1e-3
    for _, left, right, _ in rows[1:]:
        assert right == pytest.approx(left, rel=1e-4)  # the beam barely stretches
    reaction, load = line_after(out, "horizontal reactions at the bases:")
    assert reaction == pytest.approx(load, rel=1e-6)


def check_gmsh_annulus(out):
    counts = dict(re.findall(r"(\w+) \((\d+) cells\)", out))
    assert set(counts) == {"ring", "inner", "outer"} and all(int(v) > 0 for v in counts.values())
    r, computed, exact = line_after(out, "T at r =")
    assert 1.9 < r < 2.1
    # The closed form of the example's radii and temperatures, not its own print alone.
    assert exact == pytest.approx(10.0 * math.log(r / 3.0) / math.log(1 / 3.0), rel=1e-5)
    assert computed == pytest.approx(exact, rel=1e-3)
    computed, exact = line_after(out, "heat flow through the inner circle: computed")
    assert exact == pytest.approx(2 * math.pi * 1.5 * 10.0 / math.log(3.0), rel=1e-6)
    assert computed == pytest.approx(exact, rel=1e-3)


def check_meshers(out):
    exact = line_after(out, "plate with a hole: polygon area")[0]
    assert exact == pytest.approx(2 - 24 * 0.09 * math.sin(2 * math.pi / 48), rel=1e-12)
    rows = [line for line in out.splitlines() if re.match(r"\s+\d+ (TRI3|QUA4)", line)]
    assert len(rows) == 3 and "QUA4" in rows[-1]
    for row in rows:
        area = numbers(row.split()[-2])[0]
        assert area == pytest.approx(exact, rel=1e-12)
    assert line_after(out, "unit ball: exact volume")[0] == pytest.approx(4 / 3 * math.pi, rel=1e-12)
    rows = table(out, "skin")
    assert [r[0] for r in rows] == [8 * 4**2, 8 * 8**2, 8 * 16**2]
    for skin, tets, volume, inside, _ in rows:
        assert tets > skin and volume == pytest.approx(inside, rel=1e-12)
    # The polyhedra's volumes rise towards the ball's, the gap shrinking as 1/n².
    gaps = [4 / 3 * math.pi - r[3] for r in rows]
    assert all(3.5 < gaps[i] / gaps[i + 1] < 4.5 for i in range(2)), gaps


def check_plasticity(out):
    rows = table(out, "strain")
    assert len(rows) == 10
    E, sigma_y = 210000.0, 240.0
    for strain, reaction, closed_form, p, iterations in rows:
        assert closed_form == pytest.approx(min(E * strain, sigma_y), rel=1e-4)
        assert reaction == pytest.approx(closed_form, rel=1e-6)
        assert p == pytest.approx(max(strain - sigma_y / E, 0.0), abs=2e-6)
        assert iterations < 20
    assert rows[-1][3] > 3 * sigma_y / E


def annulus_temperatures(grid, data):
    r = np.hypot(grid.points[:, 0], grid.points[:, 1])
    assert r.min() == pytest.approx(1.0) and r.max() == pytest.approx(3.0)
    np.testing.assert_allclose(data["T"].ravel(), 10.0 * np.log(r / 3.0) / math.log(1 / 3.0), atol=1e-2)


def square_temperatures(grid, data):
    x, y = grid.points[:, 0], grid.points[:, 1]
    edge = (np.minimum(x, y) < 1e-12) | (np.maximum(x, y) > 1 - 1e-12)
    T = data["T"].ravel()
    assert edge.sum() == 4 * 32 and (abs(T[edge]) < 1e-12).all() and (T[~edge] > 0).all()
    assert T.max() == pytest.approx(4 * 0.0736713, rel=1e-3)


def yielded_strip(grid, data):
    np.testing.assert_allclose(data["sigma_xx"], 240.0, rtol=1e-8)
    np.testing.assert_allclose(data["p"], 10 * 120.0 / 210000.0 - 240.0 / 210000.0, rtol=1e-6)


def tetrahedra_only(grid, data):
    assert [block.type for block in grid.cells] == ["tetra"]


def distances_to_the_centre(grid, data):
    np.testing.assert_array_equal(data["r"].ravel(), [math.hypot(x, y) for x, y, _ in grid.points])
    assert [block.type for block in grid.cells] == ["triangle6", "quad"]


EXAMPLES = {
    "first_analysis.py": (check_first_analysis,
                          {"plate_with_hole.vtk": ("point", ["r"], distances_to_the_centre)}),
    "cantilever.py": (check_cantilever, {"cantilever.vtk": ("point", ["u_x", "u_y"], None),
                                         "cantilever_stress.vtk": ("cell", ["sigma_xx", "sigma_yy", "sigma_xy"],
                                                                   None)}),
    "heat.py": (check_heat, {"heat.vtk": ("point", ["T"], square_temperatures),
                             "heat_flux.vtk": ("cell", ["flux_x", "flux_y"], None)}),
    "portal_frame.py": (check_portal_frame, {"portal_frame.vtk": ("point", ["u_x", "u_y", "rz"], None)}),
    "gmsh_annulus.py": (check_gmsh_annulus, {"annulus.vtk": ("point", ["T"], annulus_temperatures)}),
    "meshers.py": (check_meshers, {"plate.vtk": ("point", [], None), "ball.vtk": ("point", [], tetrahedra_only)}),
    "plasticity.py": (check_plasticity,
                      {"plasticity.vtk": ("cell", ["sigma_xx", "sigma_yy", "sigma_xy", "p"], yielded_strip)}),
}


def test_every_example_is_tested():
    assert sorted(EXAMPLES) == sorted(p.name for p in (ROOT / "examples").glob("*.py"))


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_prints_its_closed_forms_and_writes_readable_vtk_into_its_directory(name, tmp_path):
    check, files = EXAMPLES[name]
    (tmp_path / "out").mkdir()
    out = run(name, tmp_path, "out")
    check(out)
    assert [p.name for p in tmp_path.iterdir()] == ["out"]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(files)
    for file, (where, arrays, check_file) in files.items():
        assert f"written: out/{file}" in out
        grid = meshio.read(tmp_path / "out" / file)
        assert len(grid.points) > 0 and sum(len(block.data) for block in grid.cells) > 0
        if where == "point":
            data = grid.point_data
        else:
            data = {k: np.concatenate(v) for k, v in grid.cell_data.items()}
        assert sorted(data) == sorted(arrays)
        for values in data.values():
            assert np.isfinite(values).all()
        if check_file:
            check_file(grid, data)


def test_without_a_directory_an_example_writes_into_the_current_one(tmp_path):
    out = run("portal_frame.py", tmp_path)
    assert "written: ./portal_frame.vtk" in out
    assert [p.name for p in tmp_path.iterdir()] == ["portal_frame.vtk"]


def test_example_script_runs_every_example():
    script = (ROOT / "scripts" / "example.sh").read_text()
    listed = re.search(r"for example in ([\w ]+); do", script).group(1).split()
    assert sorted(listed) == sorted(p.stem for p in (ROOT / "examples").glob("*.py"))
