"""`integrate_behavior` of von Mises plasticity on a HEX8 block past yield.

The unit cube is meshed n x n in plan and extruded in `layers` layers (58 x 58 x 60 =
201 840 cells, 1.6 M Gauss points by default). A displacement that stretches the block
along x and shears it, growing with z so that the strain differs from point to point,
yields most of the block; the behaviour is integrated once from no previous state and
once more from that state. Each run is a child interpreter, one pinned to a single
processor with sched_setaffinity and one on all of them; the script prints Gauss points
per second of each integration and checks that the sampled results of both children
are the same bits.

    .venv/bin/python bench/bench_plasticity.py [n [layers]]
"""
import subprocess
import sys

CHILD = r"""
import os, sys, time
if sys.argv[3] == "1":
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
import _quenlith as q
n, layers = int(sys.argv[1]), int(sys.argv[2])
c = q.Coords(3)
p = [c.add_node(x) for x in ([0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0])]
base = q.transfinite(*[q.line(p[i], p[(i + 1) % 4], n) for i in range(4)])
mesh = q.extrude(base, [0, 0, 1], layers)
fes = q.FiniteElementSpace(mesh)
model = q.Model.plasticity(fes, "solid")
mats = q.material_field(model, [("E", 210000.0), ("nu", 0.3), ("sigma_y", 240.0)])
cloud = q.to_poi1(mesh)
u = q.NodeField(cloud, ["ux", "uy", "uz"])
zone = u[0]
for cell in cloud[0]:
    node = cell[0]
    x, y, z = node.coord()
    zone.set_value(node, "ux", 4e-3 * x * (1 + z))
    zone.set_value(node, "uy", 1e-3 * x * z - 1e-3 * y)
    zone.set_value(node, "uz", -1e-3 * z * (1 + 0.5 * y))
eps = q.deformation(u, fes)
def timed(f):
    t = time.perf_counter(); r = f(); return time.perf_counter() - t, r
t1, s1 = timed(lambda: q.integrate_behavior(model, eps, mats))
t2, s2 = timed(lambda: q.integrate_behavior(model, eps, mats, prev=s1))
z1, z2 = s1[0], s2[0]
points = z1.cell_count() * z1.gauss_count()
plastic = sum(z1.value(cell, 0, "p") > 0 for cell in range(0, z1.cell_count(), 101))
sample = [z.point_values(cell, g) for z in (z1, z2) for cell in range(0, z1.cell_count(), 997)
          for g in range(z1.gauss_count())]
with open(sys.argv[4], "w") as f:
    f.write(repr(sample))
print(points, t1, t2, plastic / len(range(0, z1.cell_count(), 101)))
"""


def run(n, layers, threads, path):
    out = subprocess.run([sys.executable, "-c", CHILD, str(n), str(layers), threads, path], check=True,
                         capture_output=True, text=True)
    points, t1, t2, share = out.stdout.split()
    return int(points), float(t1), float(t2), float(share)


def main(n, layers):
    import tempfile

    print(f"{'procs':>5} {'points':>9} {'plastic':>8} {'first step':>12} {'second step':>12} {'points/s':>12}")
    with tempfile.TemporaryDirectory() as tmp:
        samples = []
        for threads in ("1", "all"):
            path = f"{tmp}/{threads}.txt"
            points, t1, t2, share = run(n, layers, threads, path)
            print(f"{threads:>5} {points:>9} {100 * share:>7.0f}% {t1:>11.3f}s {t2:>11.3f}s "
                  f"{points / min(t1, t2):>12.3e}")
            with open(path) as f:
                samples.append(f.read())
    print("results bit-identical for 1 and all processors:", samples[0] == samples[1])


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 58, int(sys.argv[2]) if len(sys.argv) > 2 else 60)
