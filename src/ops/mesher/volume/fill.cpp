#include "ops/mesher/volume/fill.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <optional>
#include <tuple>

#include "base/error.hpp"
#include "parallel/kept.hpp"
#include "parallel/pool.hpp"

namespace quenlith::ops::mesher::vol {

namespace {

inline Point3 sub(const Point3& a, const Point3& b) noexcept { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline double dot(const Point3& a, const Point3& b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Point3 cross(const Point3& a, const Point3& b) noexcept {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double norm(const Point3& a) noexcept { return std::sqrt(dot(a, a)); }

}  // namespace

bool point_inside_surface(const Point3& p, std::span<const Tri> faces, std::span<const Point3> coords, double eps) {
  if (faces.empty()) return false;
  double sum = 0.0;
  for (const Tri& f : faces) {
    const Point3 A = sub(coords[f[0]], p), B = sub(coords[f[1]], p), C = sub(coords[f[2]], p);
    const double la = norm(A), lb = norm(B);
    if (la < eps || lb < eps) return true;
    const double lc = norm(C);
    if (lc < eps) return true;
    const double num = dot(A, cross(B, C));
    const double den = la * lb * lc + dot(A, B) * lc + dot(A, C) * lb + dot(B, C) * la;
    sum += 2.0 * std::atan2(num, den);
  }
  return std::fabs(sum) > 6.283185307179586;
}

double squared_distance_to_triangle(const Point3& p, const Point3& a, const Point3& b, const Point3& c) noexcept {
  // The closest point by the Voronoi regions of the vertices, edges and face.
  const Point3 ab = sub(b, a), ac = sub(c, a), ap = sub(p, a);
  auto at = [&](double v, double w) {
    const Point3 q{a[0] + ab[0] * v + ac[0] * w, a[1] + ab[1] * v + ac[1] * w, a[2] + ab[2] * v + ac[2] * w};
    const Point3 d = sub(p, q);
    return dot(d, d);
  };
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) return dot(ap, ap);
  const Point3 bp = sub(p, b);
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return dot(bp, bp);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return at(d1 / (d1 - d3), 0.0);
  const Point3 cp = sub(p, c);
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return dot(cp, cp);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return at(0.0, d2 / (d2 - d6));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
    const double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
    const Point3 q{b[0] + (c[0] - b[0]) * w, b[1] + (c[1] - b[1]) * w, b[2] + (c[2] - b[2]) * w};
    const Point3 d = sub(p, q);
    return dot(d, d);
  }
  const double denom = va + vb + vc;
  if (!(denom > 0.0)) {  // a flat triangle: the nearest of its three edges
    auto seg = [&](const Point3& s, const Point3& t) {
      const Point3 st = sub(t, s), sp = sub(p, s);
      const double l2 = dot(st, st);
      const double u = l2 > 0.0 ? std::clamp(dot(sp, st) / l2, 0.0, 1.0) : 0.0;
      const Point3 d{sp[0] - st[0] * u, sp[1] - st[1] * u, sp[2] - st[2] * u};
      return dot(d, d);
    };
    return std::min({seg(a, b), seg(b, c), seg(c, a)});
  }
  return at(vb / denom, vc / denom);
}

namespace {

// The objects (faces or points) whose boxes, grown by a margin, reach each
// column (i, j) of the lattice, as lists in one array (column-major offsets).
struct ColumnIndex {
  std::int64_t nx = 0, ny = 0;
  std::vector<std::size_t> offset;  // nx * ny + 1
  std::vector<std::uint32_t> items;
  std::vector<double> zlo, zhi;     // per object: its grown z-range

  template <class BoxOf>
  ColumnIndex(const LatticeSpec& spec, std::size_t n, BoxOf box_of) : nx(spec.nx), ny(spec.ny) {
    offset.assign(static_cast<std::size_t>(nx * ny) + 1, 0);
    zlo.resize(n);
    zhi.resize(n);
    std::vector<std::array<std::int64_t, 4>> range(n);
    auto index_range = [&](double lo, double hi, double origin, std::int64_t count, std::int64_t& a, std::int64_t& b) {
      // Columns i with lo <= origin + i * h <= hi, widened by one on each side
      // against rounding; clamped to 1 .. count.
      a = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor((lo - origin) / spec.h)) - 1);
      b = std::min<std::int64_t>(count, static_cast<std::int64_t>(std::ceil((hi - origin) / spec.h)) + 1);
    };
    for (std::size_t o = 0; o < n; ++o) {
      const auto [lo, hi] = box_of(o);
      zlo[o] = lo[2];
      zhi[o] = hi[2];
      auto& r = range[o];
      if (!(lo[0] <= hi[0] && lo[1] <= hi[1]) || hi[0] < spec.min[0] || hi[1] < spec.min[1]) {
        r = {1, 0, 1, 0};
        continue;
      }
      index_range(lo[0], hi[0], spec.min[0], nx, r[0], r[1]);
      index_range(lo[1], hi[1], spec.min[1], ny, r[2], r[3]);
      for (std::int64_t i = r[0]; i <= r[1]; ++i)
        for (std::int64_t j = r[2]; j <= r[3]; ++j) ++offset[column(i, j) + 1];
    }
    for (std::size_t c = 1; c < offset.size(); ++c) offset[c] += offset[c - 1];
    items.resize(offset.back());
    std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
    for (std::size_t o = 0; o < n; ++o) {
      const auto& r = range[o];
      for (std::int64_t i = r[0]; i <= r[1]; ++i)
        for (std::int64_t j = r[2]; j <= r[3]; ++j) items[fill[column(i, j)]++] = static_cast<std::uint32_t>(o);
    }
  }
  std::size_t column(std::int64_t i, std::int64_t j) const noexcept {
    return static_cast<std::size_t>((i - 1) * ny + (j - 1));
  }
  std::span<const std::uint32_t> at(std::int64_t i, std::int64_t j) const noexcept {
    const std::size_t c = column(i, j);
    return {items.data() + offset[c], items.data() + offset[c + 1]};
  }
};

using Box = std::pair<Point3, Point3>;

// orient2d(a, b, p) with p moved by (e, e^2), e infinitely small and
// positive: the sign of the exact value, or when it is 0 of the first
// non-zero term of the move (0 only when a and b coincide).
double orient2d_moved(const Point2& a, const Point2& b, const Point2& p) {
  const double o = orient2d(a, b, p);
  if (o != 0.0) return o;
  if (a[1] != b[1]) return a[1] > b[1] ? 1.0 : -1.0;
  return b[0] > a[0] ? 1.0 : b[0] < a[0] ? -1.0 : 0.0;
}

// Where the vertical line through p (moved as above, so that it meets no
// edge and no vertex) crosses the face, and the sign of the face's normal
// along z; none when it misses. Two faces on an edge decide the edge alike
// (the moved orientation turns sign with the edge), so the line crosses a
// closed surface as often upwards as downwards.
std::optional<std::pair<double, int>> column_crossing(const Tri& f, std::span<const Point3> coords, const Point3& p) {
  const Point3 &a = coords[f[0]], &b = coords[f[1]], &c = coords[f[2]];
  const Point2 P{p[0], p[1]}, A{a[0], a[1]}, B{b[0], b[1]}, C{c[0], c[1]};
  const double o1 = orient2d_moved(A, B, P), o2 = orient2d_moved(B, C, P), o3 = orient2d_moved(C, A, P);
  const bool up = o1 > 0.0 && o2 > 0.0 && o3 > 0.0;
  if (!up && !(o1 < 0.0 && o2 < 0.0 && o3 < 0.0)) return std::nullopt;
  // The height by barycentric weights, the unmoved orientations: all of one
  // sign or zero, so the height lies within the face's own.
  const double wa = orient2d(B, C, P), wb = orient2d(C, A, P), wc = orient2d(A, B, P);
  const double z = (wa * a[2] + wb * b[2] + wc * c[2]) / (wa + wb + wc);
  return std::pair{z, up ? 1 : -1};
}

}  // namespace

std::vector<Point3> lattice_points(const LatticeSpec& spec, std::span<const Tri> faces,
                                   std::span<const Point3> coords, const store::InterruptCheck& interrupt,
                                   bool literal) {
  std::vector<Point3> out;
  if (spec.nx < 1) return out;
  const double half2 = (spec.h / 2.0) * (spec.h / 2.0);
  // A candidate closer than h / 2 to a face would make records flat against
  // it (the envelope's points may be far apart where h is small): it is left
  // out, as a candidate closer than h / 2 to an envelope point is. A relative
  // margin keeps a candidate h / 2 away up to rounding (1 - 0.8 < 0.2).
  const double gap = std::max(spec.eps_in, 0.5 * spec.h * (1.0 - 1e-9));
  const double eps2 = gap * gap;
  auto candidate = [&](std::int64_t i, std::int64_t j, std::int64_t k) {
    return Point3{static_cast<double>(i) * spec.h + spec.min[0], static_cast<double>(j) * spec.h + spec.min[1],
                  static_cast<double>(k) * spec.h + spec.min[2]};
  };
  auto on_face = [&](const Point3& p, const Tri& f) {
    return squared_distance_to_triangle(p, coords[f[0]], coords[f[1]], coords[f[2]]) < eps2;
  };
  auto near_point = [&](const Point3& p, const Point3& q) {
    const Point3 d = sub(p, q);
    return dot(d, d) < half2;
  };
  if (literal || spec.ny < 1 || spec.nz < 1) {
    for (std::int64_t i = 1; i <= spec.nx; ++i) {
      interrupt();
      if (spec.ny < 1 || spec.nz < 1) continue;
      for (std::int64_t j = 1; j <= spec.ny; ++j)
        for (std::int64_t k = 1; k <= spec.nz; ++k) {
          const Point3 p = candidate(i, j, k);
          if (!point_inside_surface(p, faces, coords, spec.eps_in)) continue;
          if (std::any_of(faces.begin(), faces.end(), [&](const Tri& f) { return on_face(p, f); })) continue;
          if (std::any_of(coords.begin(), coords.end(), [&](const Point3& q) { return near_point(p, q); })) continue;
          out.push_back(p);
        }
    }
    return out;
  }
  // Margins well above the rounding of the candidates' coordinates.
  const double grow = 2.0 * spec.eps_in + 1e-9 * spec.h;
  auto face_box = [&](std::size_t o, double margin) {
    const Tri& f = faces[o];
    Box b{coords[f[0]], coords[f[0]]};
    for (int v = 1; v < 3; ++v)
      for (int d = 0; d < 3; ++d) {
        b.first[d] = std::min(b.first[d], coords[f[v]][d]);
        b.second[d] = std::max(b.second[d], coords[f[v]][d]);
      }
    for (int d = 0; d < 3; ++d) b.first[d] -= margin, b.second[d] += margin;
    return b;
  };
  const ColumnIndex face_columns(spec, faces.size(), [&](std::size_t o) { return face_box(o, grow); });
  const ColumnIndex gap_columns(spec, faces.size(), [&](std::size_t o) { return face_box(o, gap + grow); });
  const double reach = spec.h / 2.0 + 1e-9 * spec.h;
  const ColumnIndex point_columns(spec, coords.size(), [&](std::size_t o) {
    const Point3& q = coords[o];
    return Box{{q[0] - reach, q[1] - reach, q[2] - reach}, {q[0] + reach, q[1] + reach, q[2] + reach}};
  });
  // Layers of constant x are independent: a batch of them runs in parallel,
  // each into its own list, and the lists join in layer order (the same
  // points in the same order for any number of threads). The interrupt is
  // polled once per layer, on this thread, before its batch.
  const std::int64_t batch = 64;
  std::vector<std::vector<Point3>> layers(static_cast<std::size_t>(std::min(batch, spec.nx)));
  for (std::int64_t first = 1; first <= spec.nx; first += batch) {
    const std::int64_t count = std::min(batch, spec.nx - first + 1);
    for (std::int64_t i = 0; i < count; ++i) interrupt();
    parallel::for_chunks(count, 1, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index slot = begin; slot < end; ++slot) {
        const std::int64_t i = first + static_cast<std::int64_t>(slot);
        std::vector<Point3>& layer = layers[static_cast<std::size_t>(slot)];
        std::vector<std::pair<double, int>> crossings;
        layer.clear();
        for (std::int64_t j = 1; j <= spec.ny; ++j) {
          const auto column_faces = face_columns.at(i, j);
          const auto column_gap = gap_columns.at(i, j);
          const auto column_points = point_columns.at(i, j);
          // Where the column's line crosses the envelope, and which way.
          crossings.clear();
          for (const std::uint32_t f : column_faces)
            if (const auto c = column_crossing(faces[f], coords, candidate(i, j, 0))) crossings.push_back(*c);
          std::sort(crossings.begin(), crossings.end());
          // The crossings above the candidate, signed: the winding number
          // of the envelope about it (0 outside, +1 or -1 inside).
          int above = 0;
          for (const auto& c : crossings) above += c.second;
          std::size_t below = 0;
          for (std::int64_t k = 1; k <= spec.nz; ++k) {
            const Point3 p = candidate(i, j, k);
            while (below < crossings.size() && crossings[below].first < p[2]) above -= crossings[below++].second;
            if (above == 0) continue;
            // Candidates too near a face or an envelope point are left out;
            // an accepted one is at least h / 2 from every face, so far from
            // every crossing that the rounding of its height cannot put it
            // on the wrong side.
            bool rejected = false;
            for (std::size_t n = 0; n < column_gap.size() && !rejected; ++n) {
              const std::uint32_t f = column_gap[n];
              rejected = gap_columns.zlo[f] <= p[2] && gap_columns.zhi[f] >= p[2] && on_face(p, faces[f]);
            }
            for (std::size_t n = 0; n < column_points.size() && !rejected; ++n) {
              const std::uint32_t q = column_points[n];
              rejected = point_columns.zlo[q] <= p[2] && point_columns.zhi[q] >= p[2] && near_point(p, coords[q]);
            }
            if (!rejected) layer.push_back(p);
          }
        }
      }
    });
    for (std::int64_t slot = 0; slot < count; ++slot) {
      const auto& layer = layers[static_cast<std::size_t>(slot)];
      out.insert(out.end(), layer.begin(), layer.end());
    }
  }
  return out;
}

namespace {

inline std::uint32_t next_turn(std::uint32_t& state) noexcept {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

Record locate_literal(const TetMesh& mesh, const Point3& P) {
  for (std::size_t r = 0; r < mesh.tets.size(); ++r)
    if (!mesh.tets[r].dead && mesh.contains(static_cast<Record>(r), P)) return static_cast<Record>(r);
  return -1;
}

// The level of a lattice point: the number of trailing zero bits its three
// integer coordinates share (off the lattice, level 0).
int lattice_level(const Point3& p) noexcept {
  int lv = 62;
  for (double x : p) {
    if (x != std::floor(x) || !(std::fabs(x) < 0x1p62)) return 0;
    const auto v = static_cast<std::uint64_t>(static_cast<std::int64_t>(x));
    lv = std::min(lv, v == 0 ? 62 : std::countr_zero(v));
  }
  return lv;
}

// Scratch of the insertions of one call, shared by all regions of a pass.
// A region writes the stamp of a record only while it owns it, and the mark
// of a point only while that point lies in its box; each Inserter counts
// from a base of its own, so a stamp left by another never reads as current.
struct Scratch {
  std::vector<std::uint64_t> stamp;  // per record
  std::vector<std::uint64_t> mark;   // per point
  std::uint64_t bases = 0;
  std::uint64_t next_base() noexcept { return ++bases << 40; }
};

// Where an insertion may act. Either the whole mesh (one thread: records are
// appended, nothing is deferred), or a region of a parallel pass: a box of
// working space, half-open per axis, owning the live records whose four
// vertices lie in it. A region reads the links of its own records only, and
// of others their vertices (which never change); it kills only its own
// records and makes only records of its own, in slots of its own (a range
// reserved before the pass, then the slots of the records it killed). Boxes
// of one pass are disjoint, so no record and no face is owned twice: what a
// region sees does not depend on the progress of the others, and neither
// does which points it defers (those whose walk, core or cavity reaches a
// record it does not own, or that find its slots spent).
struct Region {
  Record next = 0, end = 0;  // the reserved slots
  const std::int32_t* owner = nullptr;  // per point: the region whose box holds it, or -1
  std::int32_t id = -1;

  bool owns(const TetMesh& mesh, Record r) const noexcept {
    const Quad& v = mesh.tet(r).v;
    return owner[v[0]] == id && owner[v[1]] == id && owner[v[2]] == id && owner[v[3]] == id;
  }
};

// A visibility walk from `start` to a record whose closure holds P (`strict`
// when P is inside it); -1 when the walk leaves the solid, runs too long, or
// reaches a record outside `region` (when given): a region walks only on its
// own records, whose links no other region writes.
Record walk(const TetMesh& mesh, const Point3& P, Record start, std::uint32_t& turn, const Region* region,
            bool& strict) {
  strict = false;
  Record t = start;
  const std::size_t limit = mesh.tets.size() + 16;
  for (std::size_t step = 0; step < limit; ++step) {
    if (t < 0 || (region && !region->owns(mesh, t)) || mesh.tet(t).dead) return -1;
    const Tet& T = mesh.tet(t);
    const std::uint32_t base = next_turn(turn);
    std::array<double, 4> o;
    Record next = -2;
    for (std::uint32_t i = 0; i < 4; ++i) {
      const int k = static_cast<int>((base + i) & 3u);
      std::array<const Point3*, 4> x{&mesh.point(T.v[0]), &mesh.point(T.v[1]), &mesh.point(T.v[2]),
                                     &mesh.point(T.v[3])};
      x[k] = &P;
      o[k] = orient3d_sign(*x[0], *x[1], *x[2], *x[3]);
      if (o[k] < 0.0) {
        next = T.n[k];
        break;
      }
    }
    if (next == -2) {
      // P is in t's closure: strictly inside, or on a face or an edge,
      // where the caller gathers every record holding it.
      strict = o[0] > 0.0 && o[1] > 0.0 && o[2] > 0.0 && o[3] > 0.0;
      return t;
    }
    t = next;
  }
  return -1;
}

class Inserter {
 public:
  enum class Outcome { inserted, skipped, deferred };

  // `base`: this inserter's own range of stamps (Scratch::next_base).
  Inserter(TetMesh& mesh, Scratch& scratch, const Region* region, std::uint64_t base, Record hint,
           std::uint32_t turn, bool literal)
      : mesh_(mesh), scratch_(scratch), region_(region), epoch_(base), mark_(base), hint_(hint), turn_(turn),
        literal_(literal) {
    if (region_) next_ = region_->next, end_ = region_->end;
  }

  Outcome insert(PointIndex q);
  // The last record made (live while no other insertion ran since).
  Record hint() const noexcept { return hint_; }

 private:
  bool owns(Record r) const noexcept { return !region_ || region_->owns(mesh_, r); }
  std::uint64_t& stamp(Record r) noexcept { return scratch_.stamp[static_cast<std::size_t>(r)]; }
  Record locate(const Point3& P, bool& strict);
  Record slot(const Tet& t);

  TetMesh& mesh_;
  Scratch& scratch_;
  const Region* region_;
  std::uint64_t epoch_, mark_;
  Record hint_;
  std::uint32_t turn_;
  bool literal_;
  std::vector<Record> spare_;
  Record next_ = 0, end_ = 0;
  std::vector<Record> cavity_, stack_, fresh_, core_, kept_, ordered_;
  struct Side {
    Tri f;
    bool constrained;
    Record across, replaced;
    int k;
  };
  std::vector<Side> sides_;
  std::vector<Record> across_, replaced_;
};

Record Inserter::locate(const Point3& P, bool& strict) {
  strict = false;
  if (literal_ || hint_ < 0) return region_ ? -1 : locate_literal(mesh_, P);
  const Record t = walk(mesh_, P, hint_, turn_, region_, strict);
  return t >= 0 || region_ ? t : locate_literal(mesh_, P);
}

// A new record: appended to the mesh, or in a region's next free slot (the
// caller has checked that there is one).
Record Inserter::slot(const Tet& t) {
  if (!region_) {
    mesh_.tets.push_back(t);
    return static_cast<Record>(mesh_.tets.size() - 1);
  }
  Record r;
  if (!spare_.empty()) {
    r = spare_.back();
    spare_.pop_back();
  } else {
    r = next_++;
  }
  mesh_.tet(r) = t;
  return r;
}

Inserter::Outcome Inserter::insert(PointIndex q) {
  const Point3 P = mesh_.point(q);
  bool strict = false;
  const Record t0 = locate(P, strict);
  if (t0 < 0) return region_ ? Outcome::deferred : Outcome::skipped;
  // The core: every record whose closure holds P (t0, and the records
  // around the face or edge of t0 that P lies on). It stays in the cavity
  // whatever else leaves: P sees none of its inner faces strictly. A point
  // the walk found strictly inside t0 is in no other record.
  core_.assign(1, t0);
  for (std::size_t i = 0; i < core_.size() && !strict; ++i) {
    const Tet& T = mesh_.tet(core_[i]);
    for (int k = 0; k < 4; ++k) {
      const Record n = T.n[k];
      if (n < 0 || T.c[k] || std::find(core_.begin(), core_.end(), n) != core_.end()) continue;
      if (!mesh_.contains(n, P)) continue;
      if (!owns(n)) return Outcome::deferred;
      core_.push_back(n);
    }
  }
  auto in_core = [&](Record t) { return std::find(core_.begin(), core_.end(), t) != core_.end(); };
  // Records outside the region are tested but never stamped nor expanded: one
  // in the sphere defers the point.
  const std::uint64_t seen = ++epoch_;
  cavity_.clear();
  stack_.assign(1, t0);
  stamp(t0) = seen;
  while (!stack_.empty()) {
    const Record t = stack_.back();
    stack_.pop_back();
    const Tet& T = mesh_.tet(t);
    if (t != t0 && !in_circumsphere_oriented(mesh_.points, q, T.v, mesh_.bias, 1.0)) continue;
    if (!owns(t)) return Outcome::deferred;
    cavity_.push_back(t);
    for (int k = 0; k < 4; ++k) {
      const Record n = T.n[k];
      if (n < 0 || T.c[k]) continue;
      if (owns(n)) {
        if (stamp(n) == seen) continue;
        stamp(n) = seen;
      }
      stack_.push_back(n);
    }
  }
  // In record order: what follows then does not depend on which record of
  // the core the location found (a point on a face is in several).
  std::sort(cavity_.begin(), cavity_.end());
  // The cavity must be star-shaped from P: a boundary face that P does not
  // see strictly from inside would give a cone turned inside out, overlapping
  // its neighbours (after recovery the records near the envelope need not be
  // Delaunay). The record behind such a face leaves the cavity, and the
  // cavity is what stays connected to t0, until every face is seen.
  std::uint64_t inside = 0;
  for (;;) {
    inside = ++epoch_;
    for (Record t : cavity_) stamp(t) = inside;
    // A record outside the region is never stamped with the current epoch:
    // its stamp is read, not written.
    auto in_cavity = [&](Record n) { return n >= 0 && stamp(n) == inside; };
    Record bad = -1;
    for (Record t : cavity_) {
      if (in_core(t)) continue;
      const Tet& T = mesh_.tet(t);
      for (int k = 0; k < 4 && bad < 0; ++k) {
        if (in_cavity(T.n[k]) && !T.c[k]) continue;
        std::array<const Point3*, 4> v{&mesh_.point(T.v[0]), &mesh_.point(T.v[1]), &mesh_.point(T.v[2]),
                                       &mesh_.point(T.v[3])};
        v[k] = &P;
        if (!(orient3d_sign(*v[0], *v[1], *v[2], *v[3]) > 0.0)) bad = t;
      }
      if (bad >= 0) break;
    }
    if (bad < 0) {
      // No vertex may vanish inside the cavity (after recovery the records
      // need not be Delaunay, and a point's whole star can hold P in its
      // spheres): each must keep a boundary face.
      const std::uint64_t mark = ++mark_;
      for (Record t : cavity_) {
        const Tet& T = mesh_.tet(t);
        for (int k = 0; k < 4; ++k) {
          if (in_cavity(T.n[k]) && !T.c[k]) continue;
          for (int i = 0; i < 4; ++i)
            if (i != k) scratch_.mark[T.v[i]] = mark;
        }
      }
      for (auto it = cavity_.rbegin(); it != cavity_.rend() && bad < 0; ++it) {
        if (in_core(*it)) continue;
        for (PointIndex v : mesh_.tet(*it).v)
          if (scratch_.mark[v] != mark) {
            bad = *it;
            break;
          }
      }
    }
    if (bad < 0) break;
    // Keep what stays connected to t0 through unconstrained faces.
    stamp(bad) = 0;
    const std::uint64_t keep = ++epoch_;
    stack_.assign(1, t0);
    stamp(t0) = keep;
    while (!stack_.empty()) {
      const Tet& T = mesh_.tet(stack_.back());
      stack_.pop_back();
      for (int k = 0; k < 4; ++k) {
        const Record n = T.n[k];
        if (n < 0 || T.c[k] || stamp(n) != inside) continue;
        stamp(n) = keep;
        stack_.push_back(n);
      }
    }
    // Cavity order is kept: the survivors in their former order.
    ordered_.clear();
    for (Record t : cavity_)
      if (stamp(t) == keep) ordered_.push_back(t);
    cavity_.swap(ordered_);
  }
  sides_.clear();
  for (Record t : cavity_) {
    const Tet& T = mesh_.tet(t);
    for (int k = 0; k < 4; ++k) {
      const Record n = T.n[k];
      if (n >= 0 && stamp(n) == inside && !T.c[k]) continue;
      sides_.push_back({T.face(k), T.c[k], n, t, k});
    }
  }
  if (region_ && sides_.size() > spare_.size() + static_cast<std::size_t>(end_ - next_)) return Outcome::deferred;
  for (Record t : cavity_) mesh_.tet(t).dead = true;
  fresh_.clear();
  across_.clear();
  replaced_.clear();
  for (const Side& s : sides_) {
    across_.push_back(s.across);
    replaced_.push_back(s.replaced);
    Tet t;
    // The record with vertex k replaced by P is positive (the cavity is
    // star-shaped from P), and face k in record order turns to it with
    // the sign kInward[k].
    t.v = kInward[s.k] > 0.0 ? Quad{s.f[0], s.f[1], s.f[2], q} : Quad{s.f[0], s.f[2], s.f[1], q};
    t.c[3] = s.constrained;
    fresh_.push_back(slot(t));
  }
  if (!region_) {
    mesh_.inside.resize(mesh_.tets.size(), 0);
    scratch_.stamp.resize(mesh_.tets.size(), 0);
  }
  if (literal_)
    tet_adjacency(mesh_);
  else
    link_cone(mesh_, fresh_, across_, replaced_);
  // The killed records' slots serve the region's next insertions (only
  // now: link_cone still told them apart from the new ones).
  if (region_) spare_.insert(spare_.end(), cavity_.begin(), cavity_.end());
  if (!fresh_.empty()) hint_ = fresh_.back();
  return Outcome::inserted;
}

Record last_live(const TetMesh& mesh) {
  for (std::size_t r = mesh.tets.size(); r-- > 0;)
    if (!mesh.tets[r].dead) return static_cast<Record>(r);
  return -1;
}

// The points of `order` on the whole mesh, one after the other.
void insert_in_order(TetMesh& mesh, Scratch& scratch, std::span<const PointIndex> order,
                     const store::InterruptCheck& interrupt, bool literal) {
  // About seven records are made per inserted point.
  mesh.tets.reserve(mesh.tets.size() + 7 * order.size());
  scratch.stamp.resize(mesh.tets.size(), 0);
  scratch.stamp.reserve(mesh.tets.capacity());
  scratch.mark.resize(mesh.points.size(), 0);
  Inserter inserter(mesh, scratch, nullptr, scratch.next_base(), last_live(mesh), 0x2545f491u, literal);
  for (const PointIndex q : order) {
    interrupt();
    inserter.insert(q);
  }
}

// Drops the dead records, keeping the order of the live ones, and renumbers
// the links.
void compact(TetMesh& mesh) {
  const std::size_t size = mesh.tets.size();
  const auto live = [&](std::size_t r) { return !mesh.tets[r].dead; };
  const std::vector<std::size_t> start = parallel::kept_starts(size, live);
  std::vector<Record> index(size, -1);
  parallel::place_kept(size, live, start, [&](std::size_t r, std::size_t k) { index[r] = static_cast<Record>(k); });
  std::vector<Tet> kept(start.back());
  parallel::place_kept(size, live, start, [&](std::size_t r, std::size_t k) {
    Tet t = mesh.tets[r];
    for (Record& x : t.n)
      if (x >= 0) x = index[static_cast<std::size_t>(x)];
    kept[k] = t;
  });
  mesh.tets = std::move(kept);
  mesh.inside.assign(mesh.tets.size(), 0);
}

// One level of the lattice in parallel regions: columns `block` working
// units wide along x and y (the whole height along z), in four passes by the
// parity of their position, each column owning itself grown by half a block
// on every side (so the columns of one pass own disjoint boxes). Columns
// rather than cubes: a region refined apart from its neighbours meets them
// along half-refined borders, where cavities are larger; columns have fewer
// borders and keep the long runs of index order along z. Returns the
// deferred points, in the order of `points`.
std::vector<PointIndex> insert_by_regions(TetMesh& mesh, Scratch& scratch, std::span<const PointIndex> points,
                                          double block, const store::InterruptCheck& interrupt) {
  struct Keyed {
    int colour;
    std::array<std::int64_t, 2> cell;  // the column
    std::size_t at;
  };
  std::vector<Keyed> keyed(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point3& p = mesh.point(points[i]);
    Keyed& k = keyed[i];
    k.colour = 0;
    for (int d = 0; d < 2; ++d) {
      k.cell[d] = static_cast<std::int64_t>(std::floor(p[d] / block));
      k.colour |= static_cast<int>(k.cell[d] & 1) << d;
    }
    k.at = i;
  }
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& x, const Keyed& y) {
    return std::tie(x.colour, x.cell, x.at) < std::tie(y.colour, y.cell, y.at);
  });
  struct Task {
    std::size_t begin, end;  // into keyed
    Region region;
    Record hint = -1;
    std::vector<PointIndex> deferred;
  };
  std::vector<PointIndex> deferred;
  Record walk_from = last_live(mesh);
  std::uint32_t turn = 0x9e3779b9u;
  std::vector<std::int32_t> owner;
  mesh.tets.reserve(mesh.tets.size() + 9 * points.size() + 4096);
  for (std::size_t first = 0; first < keyed.size();) {
    const int colour = keyed[first].colour;
    std::size_t last = first;
    while (last < keyed.size() && keyed[last].colour == colour) ++last;
    interrupt();
    std::vector<Task> tasks;
    for (std::size_t i = first; i < last;) {
      std::size_t j = i + 1;
      while (j < last && keyed[j].cell == keyed[i].cell) ++j;
      tasks.push_back(Task{i, j, {}, -1, {}});
      i = j;
    }
    // Which region's box holds each point: along an axis the boxes of one
    // parity, two blocks long, follow one another without gap.
    owner.assign(mesh.points.size(), -1);
    std::vector<std::pair<std::array<std::int64_t, 2>, std::int32_t>> ids;
    for (std::size_t t = 0; t < tasks.size(); ++t) {
      tasks[t].region.owner = owner.data();
      tasks[t].region.id = static_cast<std::int32_t>(t);
      ids.push_back({keyed[tasks[t].begin].cell, static_cast<std::int32_t>(t)});
    }
    parallel::for_chunks(owner.size(), 4096, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index p = begin; p < end; ++p) {
        std::array<std::int64_t, 2> cell;
        bool near = true;  // the super vertices lie far beyond every box
        for (int d = 0; d < 2 && near; ++d) {
          const double c = static_cast<double>((colour >> d) & 1);
          const double m = std::floor((mesh.point(static_cast<PointIndex>(p))[d] / block - c + 0.5) / 2.0);
          near = std::fabs(m) < 0x1p52;
          cell[d] = near ? 2 * static_cast<std::int64_t>(m) + ((colour >> d) & 1) : 0;
        }
        if (!near) continue;
        const auto it = std::lower_bound(ids.begin(), ids.end(), cell,
                                         [](const auto& x, const auto& key) { return x.first < key; });
        if (it != ids.end() && it->first == cell) owner[p] = it->second;
      }
    });
    // Slots: about seven records per point stay, the region's killed ones
    // are used again; a region that runs out defers its remaining points.
    std::size_t total = 0;
    for (Task& task : tasks) {
      const std::size_t cap = 8 * (task.end - task.begin) + 64;
      task.region.next = static_cast<Record>(mesh.tets.size() + total);
      task.region.end = static_cast<Record>(mesh.tets.size() + total + cap);
      total += cap;
    }
    // Each region starts its walks from a record of its own that holds one
    // of its first points, found before the pass on the still mesh.
    for (Task& task : tasks) {
      for (std::size_t i = task.begin; i < task.end && i < task.begin + 8 && task.hint < 0; ++i) {
        const Point3& P = mesh.point(points[keyed[i].at]);
        bool strict = false;
        Record t = walk(mesh, P, walk_from, turn, nullptr, strict);
        if (t < 0) t = locate_literal(mesh, P);
        if (t < 0) continue;
        walk_from = t;
        if (task.region.owns(mesh, t)) task.hint = t;
      }
    }
    Tet unused;
    unused.dead = true;
    mesh.tets.resize(mesh.tets.size() + total, unused);
    scratch.stamp.resize(mesh.tets.size(), 0);
    std::vector<std::uint64_t> bases(tasks.size());
    for (std::uint64_t& b : bases) b = scratch.next_base();
    std::vector<Record> hints(tasks.size(), -1);
    parallel::for_chunks(tasks.size(), 1, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index i = begin; i < end; ++i) {
        Task& task = tasks[i];
        Inserter inserter(mesh, scratch, &task.region, bases[i], task.hint,
                          0x2545f491u ^ static_cast<std::uint32_t>(i), false);
        for (std::size_t k = task.begin; k < task.end; ++k) {
          const PointIndex q = points[keyed[k].at];
          if (inserter.insert(q) == Inserter::Outcome::deferred) task.deferred.push_back(q);
        }
        hints[i] = inserter.hint();
      }
    });
    for (Task& task : tasks) deferred.insert(deferred.end(), task.deferred.begin(), task.deferred.end());
    for (Record h : hints)
      if (mesh.live(h)) walk_from = h;
    first = last;
  }
  // In the order of `points` (index order within a level).
  std::sort(deferred.begin(), deferred.end());
  return deferred;
}

}  // namespace

void insert_interior_points(TetMesh& mesh, PointIndex first, PointIndex end, const store::InterruptCheck& interrupt,
                            bool literal) {
  std::vector<PointIndex> order;
  order.reserve(end - first);
  for (PointIndex q = first; q < end; ++q) order.push_back(q);
  insert_interior_points(mesh, order, interrupt, literal);
}

void insert_interior_points(TetMesh& mesh, std::span<const PointIndex> order, const store::InterruptCheck& interrupt,
                            bool literal) {
  Scratch scratch;
  insert_in_order(mesh, scratch, order, interrupt, literal);
}

std::vector<PointIndex> coarse_to_fine(const TetMesh& mesh, PointIndex first, PointIndex end) {
  // A counting sort by level, the levels found in parallel: at most 63 of them.
  const std::size_t n = end - first;
  std::vector<std::uint8_t> rank(n);  // 62 - level: the coarsest first
  parallel::for_chunks(n, 4096, [&](parallel::Index begin, parallel::Index stop) {
    for (parallel::Index i = begin; i < stop; ++i)
      rank[i] = static_cast<std::uint8_t>(62 - lattice_level(mesh.point(first + static_cast<PointIndex>(i))));
  });
  std::array<std::size_t, 64> start{};
  for (const std::uint8_t r : rank) ++start[r + std::size_t{1}];
  for (std::size_t r = 1; r < start.size(); ++r) start[r] += start[r - 1];
  std::vector<PointIndex> order(n);
  for (std::size_t i = 0; i < n; ++i) order[start[rank[i]]++] = first + static_cast<PointIndex>(i);
  return order;
}

void insert_lattice(TetMesh& mesh, PointIndex first, PointIndex end, const store::InterruptCheck& interrupt,
                    bool literal, std::size_t min_regions) {
  const std::vector<PointIndex> order = coarse_to_fine(mesh, first, end);
  Scratch scratch;
  if (literal || order.size() < min_regions) {
    insert_in_order(mesh, scratch, order, interrupt, literal);
    return;
  }
  // The coarse levels on one thread: they make the records small enough for
  // regions to hold whole cavities. Then each finer level by regions eight
  // finest spacings wide, and what the regions deferred on one thread. (The
  // level above the finest in columns of eight of its own spacings left only
  // four columns to a pass; in four of its spacings about 2% of its points
  // are deferred, and it runs on as many threads as the finest.)
  std::size_t i = 0;
  while (i < order.size() && lattice_level(mesh.point(order[i])) >= 2) ++i;
  insert_in_order(mesh, scratch, std::span(order).first(i), interrupt, false);
  for (int level = 1; level >= 0; --level) {
    std::size_t j = i;
    while (j < order.size() && lattice_level(mesh.point(order[j])) >= level) ++j;
    const std::vector<PointIndex> deferred =
        insert_by_regions(mesh, scratch, std::span(order).subspan(i, j - i), 8.0, interrupt);
    insert_in_order(mesh, scratch, deferred, interrupt, false);
    i = j;
  }
  compact(mesh);
}

namespace {

Point3 true_point(std::span<const Point3> coords, PointIndex i) { return coords[i]; }

bool qualifies(const TetMesh& mesh, Record r, std::span<const Tri> faces, std::span<const Point3> coords,
               double eps_in, double eps_vol) {
  if (mesh.outside(mesh.tet(r))) return false;
  const Quad& v = mesh.tet(r).v;
  const Point3 a = true_point(coords, v[0]), b = true_point(coords, v[1]), c = true_point(coords, v[2]),
               d = true_point(coords, v[3]);
  if (!(std::fabs(triple_product(a, b, c, d)) >= eps_vol)) return false;
  const Point3 g{(a[0] + b[0] + c[0] + d[0]) * 0.25, (a[1] + b[1] + c[1] + d[1]) * 0.25,
                 (a[2] + b[2] + c[2] + d[2]) * 0.25};
  return point_inside_surface(g, faces, coords, eps_in);
}

// Marks what is reachable from the seed across unconstrained faces, front by
// front, each front in parallel: a record is claimed by one atomic exchange
// of its flag, so it joins the next front once. The marked set does not
// depend on who claims what. Polls `interrupt` once per front.
void flood(TetMesh& mesh, Record seed, const store::InterruptCheck& interrupt) {
  std::vector<Record> front{seed}, next;
  mesh.inside[static_cast<std::size_t>(seed)] = 1;
  while (!front.empty()) {
    interrupt();
    next.assign(4 * front.size(), -1);
    parallel::for_chunks(front.size(), 512, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index i = begin; i < end; ++i) {
        const Tet& T = mesh.tet(front[i]);
        for (int k = 0; k < 4; ++k) {
          const Record n = T.n[k];
          if (n < 0 || T.c[k]) continue;
          std::atomic_ref<std::uint8_t> flag(mesh.inside[static_cast<std::size_t>(n)]);
          if (flag.load(std::memory_order_relaxed) == 0 && flag.exchange(1, std::memory_order_relaxed) == 0)
            next[4 * i + static_cast<std::size_t>(k)] = n;
        }
      }
    });
    front.clear();
    for (Record n : next)
      if (n >= 0) front.push_back(n);
  }
}

}  // namespace

void fill_interior(TetMesh& mesh, std::span<const Tri> faces, std::span<const Point3> coords, double eps_in,
                   double eps_vol, const store::InterruptCheck& interrupt) {
  mesh.inside.assign(mesh.tets.size(), 0);
  // The first component: records in order until one qualifies.
  std::size_t r = 0;
  for (; r < mesh.tets.size(); ++r)
    if (!mesh.tets[r].dead && qualifies(mesh, static_cast<Record>(r), faces, coords, eps_in, eps_vol)) break;
  QUENLITH_VERIFY(r < mesh.tets.size(), "volume: found no interior tetrahedron to seed the fill (degenerate envelope?)");
  flood(mesh, static_cast<Record>(r), interrupt);
  // Further components: the test does not depend on the marks, so it runs
  // for every record left unmarked, in parallel (each an inside test over
  // all faces); the floods then go in record order, skipping what an
  // earlier one marked.
  std::vector<std::uint8_t> seeds(mesh.tets.size(), 0);
  parallel::for_chunks(mesh.tets.size() - r - 1, 256, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index i = begin; i < end; ++i) {
      const std::size_t x = r + 1 + i;
      seeds[x] = !mesh.tets[x].dead && !mesh.inside[x] &&
                 qualifies(mesh, static_cast<Record>(x), faces, coords, eps_in, eps_vol);
    }
  });
  for (std::size_t x = r + 1; x < mesh.tets.size(); ++x)
    if (seeds[x] && !mesh.inside[x]) flood(mesh, static_cast<Record>(x), interrupt);
}

void prune_outside(TetMesh& mesh) {
  mesh.inside.resize(mesh.tets.size(), 0);
  parallel::for_chunks(mesh.tets.size(), 4096, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index r = begin; r < end; ++r)
      if (!mesh.inside[r] || mesh.outside(mesh.tets[r])) mesh.tets[r].dead = true;
  });
  // Each record's links are its own; the flags read are all settled above.
  parallel::for_chunks(mesh.tets.size(), 4096, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index r = begin; r < end; ++r) {
      Tet& t = mesh.tets[r];
      if (t.dead) continue;
      for (Record& n : t.n)
        if (n >= 0 && mesh.tet(n).dead) n = -1;
    }
  });
}

std::vector<Quad> emit_tet4(const TetMesh& mesh) {
  // Per record: 0 dropped, 1 as it is, 2 turned over.
  std::vector<std::uint8_t> kind(mesh.tets.size(), 0);
  parallel::for_chunks(mesh.tets.size(), 4096, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index r = begin; r < end; ++r) {
      const Tet& t = mesh.tets[r];
      if (t.dead || !mesh.inside[r] || mesh.outside(t)) continue;
      const Quad& v = t.v;
      // The exact sign on the working coordinates: a record is never flat
      // there, however thin it is in true coordinates (dropping a thin one
      // would leave a crack).
      const double o = mesh.orient(v[0], v[1], v[2], v[3]);
      kind[r] = o > 0.0 ? 1 : o < 0.0 ? 2 : 0;
    }
  });
  const auto kept = [&](std::size_t r) { return kind[r] != 0; };
  const std::vector<std::size_t> start = parallel::kept_starts(kind.size(), kept);
  std::vector<Quad> out(start.back());
  parallel::place_kept(kind.size(), kept, start, [&](std::size_t r, std::size_t k) {
    const Quad& v = mesh.tets[r].v;
    out[k] = kind[r] == 1 ? v : Quad{v[0], v[2], v[1], v[3]};
  });
  return out;
}

}  // namespace quenlith::ops::mesher::vol
