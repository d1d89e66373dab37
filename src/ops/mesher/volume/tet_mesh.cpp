#include "ops/mesher/volume/tet_mesh.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <tuple>

#include "ops/mesher/flat_map.hpp"

namespace quenlith::ops::mesher::vol {

bool TetMesh::contains(Record r, const Point3& p) const {
  const Quad& v = tet(r).v;
  const Point3 &a = points[v[0]], &b = points[v[1]], &c = points[v[2]], &d = points[v[3]];
  return orient3d(p, b, c, d) >= 0.0 && orient3d(a, p, c, d) >= 0.0 && orient3d(a, b, p, d) >= 0.0 &&
         orient3d(a, b, c, p) >= 0.0;
}

bool in_circumsphere(std::span<const Point3> pts, PointIndex e, const Quad& t, std::span<const double> bias) {
  const double o = orient3d(pts[t[0]], pts[t[1]], pts[t[2]], pts[t[3]]);
  if (o == 0.0) return true;
  return in_circumsphere_oriented(pts, e, t, bias, o);
}

bool in_circumsphere_oriented(std::span<const Point3> pts, PointIndex e, const Quad& t, std::span<const double> bias,
                              double o) {
  const Point3 &A = pts[t[0]], &B = pts[t[1]], &C = pts[t[2]], &D = pts[t[3]], &E = pts[e];
  const double s = insphere(A, B, C, D, E);
  if (s != 0.0) return (s > 0.0) == (o > 0.0);
  // The biases first: the sum of each point's coefficient (below) times its
  // bias. Equal biases cancel (the coefficients sum to 0: barycentric
  // coordinates sum to 1), which spares the exact sum on a lattice.
  auto bias_of = [&](PointIndex k) { return k < bias.size() ? bias[k] : 0.0; };
  const std::array<double, 5> w{bias_of(t[0]), bias_of(t[1]), bias_of(t[2]), bias_of(t[3]), -bias_of(e)};
  if (w[0] != w[1] || w[0] != w[2] || w[0] != w[3] || w[0] != -w[4]) {
    const std::array<std::array<const Point3*, 4>, 5> quads{{{&E, &B, &C, &D},
                                                             {&A, &E, &C, &D},
                                                             {&A, &B, &E, &D},
                                                             {&A, &B, &C, &E},
                                                             {&A, &B, &C, &D}}};
    const double first = orient3d_sum(quads, w);
    if (first != 0.0) return (first > 0.0) == (o > 0.0);
  }
  // On the sphere. With lifted heights w_k = |p_k|^2 + d_k, insphere is a
  // positive multiple of o * (H(e) - w_e), H the plane through the lifted
  // vertices: d/dw_e gives -o, d/dw_i gives o times e's barycentric
  // coordinate for vertex i, that is orient3d with vertex i replaced by e.
  // The first non-zero coefficient, from the highest index down, decides.
  std::array<PointIndex, 5> order{t[0], t[1], t[2], t[3], e};
  std::sort(order.begin(), order.end(), std::greater<>());
  for (PointIndex k : order) {
    double coef;
    if (k == e) {
      coef = -o;
    } else {
      std::array<const Point3*, 4> q{&A, &B, &C, &D};
      for (int i = 0; i < 4; ++i)
        if (t[i] == k) q[i] = &E;
      coef = orient3d(*q[0], *q[1], *q[2], *q[3]);
    }
    if (coef != 0.0) return (coef > 0.0) == (o > 0.0);
  }
  return true;  // five coplanar points: o would be 0
}

namespace {

bool entry_less(const FaceTable::Entry& x, const FaceTable::Entry& y) noexcept {
  return std::tie(x.key, x.record, x.face) < std::tie(y.key, y.record, y.face);
}

// Links each group of exactly two entries both ways and sets every other listed
// side to -1. `entries` must be sorted by entry_less.
void link_groups(TetMesh& mesh, std::span<const FaceTable::Entry> entries) {
  for (std::size_t i = 0; i < entries.size();) {
    std::size_t j = i + 1;
    while (j < entries.size() && entries[j].key == entries[i].key) ++j;
    if (j - i == 2) {
      mesh.tet(entries[i].record).n[entries[i].face] = entries[i + 1].record;
      mesh.tet(entries[i + 1].record).n[entries[i + 1].face] = entries[i].record;
    } else {
      for (std::size_t e = i; e < j; ++e) mesh.tet(entries[e].record).n[entries[e].face] = -1;
    }
    i = j;
  }
}

}  // namespace

FaceTable FaceTable::of(const TetMesh& mesh) {
  FaceTable table;
  table.entries.reserve(4 * mesh.tets.size());
  for (std::size_t r = 0; r < mesh.tets.size(); ++r) {
    const Tet& t = mesh.tets[r];
    if (t.dead) continue;
    for (int k = 0; k < 4; ++k)
      table.entries.push_back({face_key(t.face(k)), static_cast<Record>(r), static_cast<std::int8_t>(k)});
  }
  std::sort(table.entries.begin(), table.entries.end(), entry_less);
  return table;
}

std::span<const FaceTable::Entry> FaceTable::find(const FaceKey& key) const noexcept {
  auto lo = std::lower_bound(entries.begin(), entries.end(), key,
                             [](const Entry& e, const FaceKey& k) { return e.key < k; });
  auto hi = lo;
  while (hi != entries.end() && hi->key == key) ++hi;
  return {lo, hi};
}

void tet_adjacency(TetMesh& mesh) {
  const FaceTable table = FaceTable::of(mesh);
  link_groups(mesh, table.entries);
}

void link_fresh(TetMesh& mesh, std::span<const Record> fresh, std::span<const Record> outer) {
  std::vector<FaceTable::Entry> entries;
  entries.reserve(4 * (fresh.size() + outer.size()));
  for (Record r : fresh)
    for (int k = 0; k < 4; ++k)
      entries.push_back({face_key(mesh.tet(r).face(k)), r, static_cast<std::int8_t>(k)});
  for (Record o : outer) {
    if (!mesh.live(o)) continue;
    const Tet& t = mesh.tet(o);
    for (int k = 0; k < 4; ++k)
      if (t.n[k] < 0 || mesh.tet(t.n[k]).dead) entries.push_back({face_key(t.face(k)), o, static_cast<std::int8_t>(k)});
  }
  std::sort(entries.begin(), entries.end(), entry_less);
  // An outer record listed twice (it touched the cavity more than once) gives
  // duplicate entries: keep one.
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const FaceTable::Entry& x, const FaceTable::Entry& y) {
                              return x.key == y.key && x.record == y.record && x.face == y.face;
                            }),
                entries.end());
  link_groups(mesh, entries);
}

void link_cone(TetMesh& mesh, std::span<const Record> fresh, std::span<const Record> across,
               std::span<const Record> replaced) {
  // Faces 0 to 2 of a cone are keyed by their two vertices other than the apex.
  struct Slot {
    std::uint64_t key;
    Record record;
    std::int8_t face;
    std::uint32_t stamp;  // the slot is used when it equals the call's stamp
  };
  // Scratch kept between calls (one mesher per thread): slots of older calls
  // read as empty by their stamp.
  thread_local std::vector<Slot> table;
  thread_local std::uint32_t stamp = 0;
  const std::size_t cap = std::bit_ceil(std::max<std::size_t>(16, 6 * fresh.size()));
  if (table.size() < cap || ++stamp == 0) {
    table.assign(std::max(cap, table.size()), Slot{0, -1, 0, 0});
    stamp = 1;
  }
  std::vector<std::size_t> unmatched;  // cones whose face 3 met a dead record
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    const Record r = fresh[i];
    Tet& T = mesh.tet(r);
    const Record o = across[i];
    T.n[3] = -1;
    if (o >= 0 && !mesh.tet(o).dead) {
      Tet& O = mesh.tet(o);
      for (int k = 0; k < 4; ++k)
        if (O.n[k] == replaced[i]) {
          O.n[k] = r;
          T.n[3] = o;
          break;
        }
    } else if (o >= 0) {
      unmatched.push_back(i);
    }
    for (int k = 0; k < 3; ++k) {
      PointIndex a = T.v[kFace[k][0]], b = T.v[kFace[k][1]];  // kFace[k][2] is 3, the apex
      if (a > b) std::swap(a, b);
      const std::uint64_t key = std::uint64_t{a} << 32 | b;
      std::size_t h = static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ull) >> 20) & (cap - 1);
      for (;; h = (h + 1) & (cap - 1)) {
        Slot& s = table[h];
        if (s.stamp != stamp) {
          s = {key, r, static_cast<std::int8_t>(k), stamp};
          T.n[k] = -1;
          break;
        }
        if (s.key == key) {
          T.n[k] = s.record;
          mesh.tet(s.record).n[s.face] = r;
          break;
        }
      }
    }
  }
  // Both sides of a face replaced at once (a cavity reaching around a
  // constrained face): the two cones on it pair with each other.
  for (std::size_t x = 0; x < unmatched.size(); ++x)
    for (std::size_t y = x + 1; y < unmatched.size(); ++y) {
      const Record rx = fresh[unmatched[x]], ry = fresh[unmatched[y]];
      if (face_key(mesh.tet(rx).face(3)) == face_key(mesh.tet(ry).face(3))) {
        mesh.tet(rx).n[3] = ry;
        mesh.tet(ry).n[3] = rx;
      }
    }
}

std::vector<Point3> with_super_vertices(std::span<const Point3> points, const Point3& c, double extent) {
  std::vector<Point3> pts;
  pts.reserve(points.size() + 4);
  pts.assign(points.begin(), points.end());
  const double r = 1000.0 * extent + 1.0;
  pts.push_back({c[0], c[1], c[2] + r});
  pts.push_back({c[0] + 0.9428090415820635 * r, c[1], c[2] - 0.3333333333333333 * r});
  pts.push_back({c[0] - 0.47140452079103173 * r, c[1] + 0.816496580927726 * r, c[2] - 0.3333333333333333 * r});
  pts.push_back({c[0] - 0.47140452079103173 * r, c[1] - 0.816496580927726 * r, c[2] - 0.3333333333333333 * r});
  return pts;
}

namespace {

// The order in which the points 0 .. count - 1 are inserted: rounds of
// growing density (a point's round drawn from a hash of its index, each
// round about twice the one before), each round along a Morton curve of the
// points' box. Inserting in index order, which follows the envelope's rows,
// dragged a front of large records along; so does any sweep. The tie rule
// goes by index, not by order, so the result does not depend on it.
std::vector<PointIndex> insertion_order(std::span<const Point3> pts, PointIndex count) {
  std::vector<PointIndex> order(count);
  if (count == 0) return order;
  Point3 lo = pts[0], hi = pts[0];
  for (PointIndex p = 0; p < count; ++p)
    for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], pts[p][d]), hi[d] = std::max(hi[d], pts[p][d]);
  auto morton = [&](const Point3& x) {
    std::uint64_t code = 0;
    std::array<std::uint64_t, 3> c{};
    for (int d = 0; d < 3; ++d) {
      const double span = hi[d] - lo[d];
      const double t = span > 0.0 ? (x[d] - lo[d]) / span : 0.0;
      c[static_cast<std::size_t>(d)] = static_cast<std::uint64_t>(std::clamp(t, 0.0, 1.0) * 1048575.0);
    }
    for (int bit = 19; bit >= 0; --bit)
      for (int d = 0; d < 3; ++d) code = code << 1 | ((c[static_cast<std::size_t>(d)] >> bit) & 1u);
    return code;
  };
  const int rounds = std::bit_width(static_cast<std::uint32_t>(count));
  std::vector<std::tuple<int, std::uint64_t, PointIndex>> keyed;
  keyed.reserve(count);
  for (PointIndex p = 0; p < count; ++p) {
    const int round = std::min(std::countr_zero(mix64(p) | (std::uint64_t{1} << 62)), rounds);
    keyed.emplace_back(-round, morton(pts[p]), p);
  }
  std::sort(keyed.begin(), keyed.end());
  for (PointIndex i = 0; i < count; ++i) order[i] = std::get<2>(keyed[i]);
  return order;
}

// The tetrahedron on the cavity face f with apex p, positively oriented.
Quad cone(std::span<const Point3> pts, const Tri& f, PointIndex p) {
  if (orient3d(pts[f[0]], pts[f[1]], pts[f[2]], pts[p]) >= 0.0) return {f[0], f[1], f[2], p};
  return {f[0], f[2], f[1], p};
}

std::vector<Quad> bowyer_watson_literal(std::span<const Point3> pts, PointIndex count, PointIndex super,
                                        std::span<const double> bias, const store::InterruptCheck& interrupt) {
  std::vector<Quad> tets{{super, super + 1, super + 2, super + 3}};
  for (const PointIndex p : insertion_order(pts, count)) {
    interrupt();
    std::vector<Quad> kept;
    // Cavity faces in order of first occurrence, with their use counts.
    std::vector<std::pair<FaceKey, Tri>> faces;
    std::vector<int> counts;
    for (const Quad& q : tets) {
      if (!in_circumsphere(pts, p, q, bias)) {
        kept.push_back(q);
        continue;
      }
      for (int k = 0; k < 4; ++k) {
        const Tri f{q[kFace[k][0]], q[kFace[k][1]], q[kFace[k][2]]};
        const FaceKey key = face_key(f);
        std::size_t i = 0;
        while (i < faces.size() && faces[i].first != key) ++i;
        if (i == faces.size()) {
          faces.push_back({key, f});
          counts.push_back(1);
        } else {
          faces[i].second = f;
          ++counts[i];
        }
      }
    }
    for (std::size_t i = 0; i < faces.size(); ++i)
      if (counts[i] == 1) kept.push_back(cone(pts, faces[i].second, p));
    tets = std::move(kept);
  }
  return tets;
}

// A deterministic sequence for the walk's first face (a fixed order can cycle).
inline std::uint32_t next_turn(std::uint32_t& state) noexcept {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

std::vector<Quad> bowyer_watson(std::span<const Point3> pts, PointIndex count, PointIndex super,
                                std::span<const double> bias, const store::InterruptCheck& interrupt) {
  TetMesh m;
  m.points.assign(pts.begin(), pts.end());
  m.tets.reserve(7 * static_cast<std::size_t>(count) + 16);
  m.tets.push_back(Tet{{super, super + 1, super + 2, super + 3}});
  std::vector<std::uint32_t> stamp(1, 0);
  std::uint32_t epoch = 0;
  std::uint32_t turn = 0x9e3779b9u;
  Record last = 0;
  std::vector<Record> cavity, stack, fresh, outer, replaced;
  for (const PointIndex p : insertion_order(pts, count)) {
    interrupt();
    const Point3& P = m.points[p];
    // Locate: a visibility walk from the last new record to one containing P,
    // whose sphere then holds P. The first record (the super-tetrahedron, the
    // only one that may be negatively oriented) is alone while it lives.
    Record t0 = -1;
    if (!m.tets[0].dead) {
      t0 = 0;
    } else {
      Record t = last;
      const std::size_t limit = m.tets.size() + 16;
      for (std::size_t step = 0; step < limit && t >= 0; ++step) {
        const Tet& T = m.tet(t);
        const std::uint32_t base = next_turn(turn);
        Record next = -2;
        for (std::uint32_t i = 0; i < 4; ++i) {
          const int k = static_cast<int>((base + i) & 3u);
          std::array<const Point3*, 4> q{&m.points[T.v[0]], &m.points[T.v[1]], &m.points[T.v[2]], &m.points[T.v[3]]};
          q[k] = &P;
          if (orient3d(*q[0], *q[1], *q[2], *q[3]) < 0.0) {
            next = T.n[k];
            break;
          }
        }
        if (next == -2) {
          t0 = t;
          break;
        }
        t = next;
      }
      if (t0 < 0) {  // walk lost (never on a sound structure): any record whose sphere holds P
        for (std::size_t r = 0; r < m.tets.size() && t0 < 0; ++r)
          if (!m.tets[r].dead && in_circumsphere(m.points, p, m.tets[r].v, bias)) t0 = static_cast<Record>(r);
      }
    }
    // Cavity: every record whose sphere holds P, grown across faces from t0
    // (the records in conflict with a point are connected).
    epoch += 2;
    const std::uint32_t in = epoch, out = epoch + 1;
    cavity.assign(1, t0);
    stack.assign(1, t0);
    stamp[static_cast<std::size_t>(t0)] = in;
    while (!stack.empty()) {
      const Record c = stack.back();
      stack.pop_back();
      for (int k = 0; k < 4; ++k) {
        const Record n = m.tet(c).n[k];
        if (n < 0) continue;
        std::uint32_t& s = stamp[static_cast<std::size_t>(n)];
        if (s == in || s == out) continue;
        if (in_circumsphere_oriented(m.points, p, m.tet(n).v, bias, 1.0)) {
          s = in;
          cavity.push_back(n);
          stack.push_back(n);
        } else {
          s = out;
        }
      }
    }
    std::sort(cavity.begin(), cavity.end());
    fresh.clear();
    outer.clear();
    replaced.clear();
    for (Record c : cavity) {
      for (int k = 0; k < 4; ++k) {
        const Record n = m.tet(c).n[k];
        if (n >= 0 && stamp[static_cast<std::size_t>(n)] == in) continue;
        outer.push_back(n);
        replaced.push_back(c);
        fresh.push_back(static_cast<Record>(m.tets.size()));
        m.tets.push_back(Tet{cone(m.points, m.tet(c).face(k), p)});
      }
    }
    for (Record c : cavity) m.tet(c).dead = true;
    stamp.resize(m.tets.size(), 0);
    link_cone(m, fresh, outer, replaced);
    last = fresh.back();
  }
  std::vector<Quad> out;
  out.reserve(m.tets.size() / 2);
  for (const Tet& t : m.tets)
    if (!t.dead) out.push_back(t.v);
  return out;
}

}  // namespace

std::vector<Quad> delaunay_tets(std::span<const Point3> pts, PointIndex count, PointIndex super,
                                std::span<const double> bias, const store::InterruptCheck& interrupt, bool literal) {
  return literal ? bowyer_watson_literal(pts, count, super, bias, interrupt)
                 : bowyer_watson(pts, count, super, bias, interrupt);
}

std::vector<Quad> delaunay_tetrahedralize(std::span<const Point3> points, const Point3& centre, double extent,
                                          const store::InterruptCheck& interrupt, bool literal) {
  const auto nb = static_cast<PointIndex>(points.size());
  const std::vector<Point3> pts = with_super_vertices(points, centre, extent);
  std::vector<Quad> out;
  for (const Quad& q : delaunay_tets(pts, nb, nb, {}, interrupt, literal))
    if (q[0] < nb && q[1] < nb && q[2] < nb && q[3] < nb) out.push_back(q);
  return out;
}

TetMesh rebuild_after_delaunay(std::span<const Quad> tets, std::vector<Point3> points) {
  TetMesh m;
  m.tets.reserve(tets.size());
  for (const Quad& q : tets) m.tets.push_back(Tet{q});
  m.inside.assign(m.tets.size(), 0);
  m.points = std::move(points);
  tet_adjacency(m);
  return m;
}

}  // namespace quenlith::ops::mesher::vol
