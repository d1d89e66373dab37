"""Times the Gauss-point operators and the behaviour integration on distorted QUA4
grids of growing size, in a child process pinned to one processor and in one that
sees them all, and prints the time per million Gauss points.

    python bench/bench_gauss_point.py

Each grid is the unit square in n x n cells with its inner nodes moved by a smooth
map; u = sin(3 X), sin(3 Y) is the displacement, E = 7, nu = 0.3, alpha = 0.1 the
material of a plane-strain elastic body. Timed: deformation(u), gradient(u),
interp_to_gauss(u), thermal_strain and integrate_behavior on the strain.
"""

import subprocess
import sys
import textwrap

SIZES = (100, 300, 600)

CHILD = textwrap.dedent(
    """
    import os, sys
    if sys.argv[1] == "1":
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    sys.path.insert(0, sys.argv[3])
    import _quenlith as q
    from bench_element_field import best_ms

    n = int(sys.argv[2])
    c = q.Coords(2)
    nodes = [[c.add_node([i / n + 0.1 * (j / n) ** 2, j / n + 0.05 * (i / n) ** 3]) for i in range(n + 1)]
             for j in range(n + 1)]
    mesh = q.Mesh(c, "QUA4")
    for j in range(n):
        for i in range(n):
            mesh[0].add_cell([nodes[j][i], nodes[j][i + 1], nodes[j + 1][i + 1], nodes[j + 1][i]])
    space = q.FiniteElementSpace(mesh)
    xy = q.coordinates(mesh)
    u = q.rename_component(q.rename_component(q.sin(xy * 3.0), "X", "ux"), "Y", "uy")
    body = q.Model.elasticity(space, "plane_strain")
    mat = q.material_field(body, [("E", 7.0), ("nu", 0.3), ("alpha", 0.1)])
    eps = q.deformation(u, space)
    temp = q.rename_component(q.interp_to_gauss(q.filter_components(xy, ["X"]), space), "X", "T")
    points = n * n * space[0].gauss_count() / 1e6
    cases = {
        "deformation": lambda: q.deformation(u, space),
        "gradient": lambda: q.gradient(u, space),
        "interp_to_gauss": lambda: q.interp_to_gauss(u, space),
        "thermal_strain": lambda: q.thermal_strain(temp, mat, space, 0.5),
        "integrate_behavior": lambda: q.integrate_behavior(body, eps, mat),
    }
    for name, f in cases.items():
        print(f"{name} {best_ms(f) / points:.2f}")
    """
)


def run(threads, n):
    out = subprocess.run([sys.executable, "-c", CHILD, threads, str(n), sys.path[0]], check=True,
                         capture_output=True, text=True).stdout
    return dict((name, float(ms)) for name, ms in (line.split() for line in out.splitlines()))


def main():
    print("ms per million Gauss points (best of repeats), 1 thread / all threads:")
    for n in SIZES:
        one, all_ = run("1", n), run("all", n)
        print(f"  {n} x {n} QUA4 cells ({4 * n * n} points)")
        for name in one:
            print(f"    {name:20s} {one[name]:8.1f} / {all_[name]:8.1f}")


if __name__ == "__main__":
    main()
