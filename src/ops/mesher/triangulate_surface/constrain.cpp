#include "ops/mesher/triangulate_surface/constrain.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/error.hpp"

namespace quenlith::ops::mesher::tri {

namespace {

const char* const kInternalRecovery = "triangulate_surface: internal error recovering a boundary edge";

inline double cross(const Point2& p, const Point2& q) noexcept { return p[0] * q[1] - p[1] * q[0]; }

}  // namespace

std::vector<Segment> boundary_segments(std::span<const LoopRange> loops) {
  std::vector<Segment> out;
  for (const LoopRange& r : loops)
    for (Vertex i = 0; i < r.count; ++i) out.push_back({r.first + i, r.first + (i + 1) % r.count});
  return out;
}

void start_domain(Triangulation& tr, std::span<const Point2> boundary_points, const store::InterruptCheck& interrupt) {
  const auto nb = static_cast<Vertex>(boundary_points.size());
  double min_x = std::numeric_limits<double>::infinity(), max_x = -min_x;
  double min_y = min_x, max_y = -min_x;
  for (const Point2& p : boundary_points) {
    if (p[0] < min_x) min_x = p[0];
    if (p[0] > max_x) max_x = p[0];
    if (p[1] < min_y) min_y = p[1];
    if (p[1] > max_y) max_y = p[1];
  }
  const double dx = max_x - min_x, dy = max_y - min_y;
  const double d2 = dx * dx + dy * dy;
  QUENLITH_VERIFY(d2 != 0.0, "triangulate_surface: contour is degenerate (zero extent)");
  const double m = std::max(std::max(dx, 1e-12), std::max(dy, 1e-12)) * 1000.0 + 1.0;
  const double cx = (min_x + max_x) / 2.0, cy = (min_y + max_y) / 2.0;
  tr = Triangulation{};
  tr.jitter_amplitude = 1e-7 * std::sqrt(d2);
  tr.super_first = nb;
  tr.points.reserve(boundary_points.size() + 3);
  for (const Point2& p : boundary_points) tr.add_point(p, true);
  tr.add_point({cx - 2.0 * m, cy - m}, false);
  tr.add_point({cx + 2.0 * m, cy - m}, false);
  tr.add_point({cx, cy + 2.0 * m}, false);
  const Slot s0 = tr.alloc_triangle();
  tr.tri(s0).v = {nb, nb + 1, nb + 2};
  tr.hint = 0;
  for (Vertex k = 0; k < nb; ++k) tr.insert_point(k, tr.hint, interrupt);
}

Recovery recover_segment(Triangulation& tr, Vertex a, Vertex b, std::span<const Slot> slots_of_a) {
  Recovery r;
  for (Slot s : slots_of_a)
    if (tr.find_edge(s, a, b) >= 0 || tr.find_edge(s, b, a) >= 0) return r;
  r.needed = true;
  const auto& J = tr.jittered;
  const Point2 &ja = J[a], &jb = J[b];
  Slot t = -1;
  Vertex R = 0, L = 0;
  for (Slot s : slots_of_a) {
    const Triangle& tt = tr.tri(s);
    const int k = tt.v[0] == a ? 0 : (tt.v[1] == a ? 1 : 2);
    const Vertex r_ = tt.v[next3(k)], l_ = tt.v[prev3(k)];
    if (orient2d(ja, jb, J[r_]) <= 0.0 && orient2d(ja, jb, J[l_]) >= 0.0) {
      t = s;
      R = r_;
      L = l_;
      break;
    }
  }
  QUENLITH_VERIFY(t >= 0, "triangulate_surface: could not recover a boundary edge (degenerate contour?)");
  std::vector<Slot>& crossed = r.killed;
  crossed.push_back(t);
  std::vector<Vertex> right{a, R}, left{a, L};
  for (;;) {
    const int e = tr.find_edge(t, R, L);
    if (e < 0) throw Error::message(kInternalRecovery);
    const Slot u = tr.tri(t).n[e];
    QUENLITH_VERIFY(u >= 0, "triangulate_surface: boundary edge recovery ran off the mesh (degenerate contour?)");
    // A walk longer than the mesh means broken links: stop rather than loop.
    if (!tr.live(u) || crossed.size() > tr.slot_count()) throw Error::message(kInternalRecovery);
    const Triangle& tu = tr.tri(u);
    int wk = -1;
    for (int k = 0; k < 3; ++k)
      if (tu.v[k] != R && tu.v[k] != L) wk = k;
    if (wk < 0) throw Error::message(kInternalRecovery);
    const Vertex w = tu.v[wk];
    crossed.push_back(u);
    if (w == b) break;
    if (orient2d(ja, jb, J[w]) <= 0.0) {
      right.push_back(w);
      R = w;
    } else {
      left.push_back(w);
      L = w;
    }
    if (tr.find_edge(u, R, L) < 0) throw Error::message(kInternalRecovery);
    t = u;
  }
  right.push_back(b);
  left.push_back(b);
  // The neighbours outside the cavity, before the crossed slots are reused.
  for (Slot s : crossed) {
    for (Slot nb : tr.tri(s).n) {
      if (nb < 0 || !tr.live(nb)) continue;
      if (std::find(crossed.begin(), crossed.end(), nb) != crossed.end()) continue;
      if (std::find(r.outer.begin(), r.outer.end(), nb) == r.outer.end()) r.outer.push_back(nb);
    }
  }
  for (Slot s : crossed) {
    r.killed_vertices.push_back(tr.tri(s).v);
    tr.kill(s);
  }
  for (const auto* chain : {&right, &left}) {
    for (const Triple& v : triangulate_polygon(tr, *chain)) {
      const Slot s = tr.alloc_triangle();
      tr.tri(s) = Triangle{v, {-1, -1, -1}, {false, false, false}, false};
      r.created.push_back(s);
    }
  }
  return r;
}

std::vector<Triple> triangulate_polygon(const Triangulation& tr, std::span<const Vertex> chain) {
  std::vector<Triple> out;
  const std::size_t n = chain.size();
  if (n < 3) return out;
  const auto& J = tr.jittered;
  std::vector<Vertex> list(chain.begin(), chain.end());
  double area = 0.0;
  for (std::size_t i = 0; i < n; ++i) area += cross(J[list[i]], J[list[(i + 1) % n]]);
  if (area < 0.0) std::reverse(list.begin(), list.end());
  if (n == 3) {
    out.push_back({list[0], list[1], list[2]});
    return out;
  }
  while (list.size() > 3) {
    const std::size_t m = list.size();
    bool found = false;
    for (std::size_t l = 0; l < m && !found; ++l) {
      const std::size_t ip = (l + m - 1) % m, in = (l + 1) % m;
      const Vertex prev = list[ip], cur = list[l], next = list[in];
      const Point2 &P = J[prev], &C = J[cur], &N = J[next];
      if (!(orient2d(P, C, N) > 0.0)) continue;
      bool empty = true;
      for (std::size_t j = 0; j < m && empty; ++j) {
        if (j == ip || j == l || j == in) continue;
        const Point2& q = J[list[j]];
        const double o1 = orient2d(P, C, q), o2 = orient2d(C, N, q), o3 = orient2d(N, P, q);
        if ((o1 > 0.0 && o2 > 0.0 && o3 > 0.0) || (o1 < 0.0 && o2 < 0.0 && o3 < 0.0)) empty = false;
      }
      if (!empty) continue;
      out.push_back({prev, cur, next});
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(l));
      found = true;
    }
    if (!found) return out;  // no ear: the rest of the polygon stays open
  }
  out.push_back({list[0], list[1], list[2]});
  return out;
}

void recover_boundary(Triangulation& tr, std::span<const Segment> segments) {
  // vertex -> live slots holding it, in slot order.
  std::vector<std::vector<Slot>> slots_of(tr.points.size());
  for (std::size_t s = 0; s < tr.slot_count(); ++s) {
    if (tr.triangles[s].dead) continue;
    for (Vertex v : tr.triangles[s].v) slots_of[v].push_back(static_cast<Slot>(s));
  }
  for (const Segment& seg : segments) {
    const Vertex a = seg[0], b = seg[1];
    // The recovery only reads the index; it is updated below from what it reports.
    const Recovery r = recover_segment(tr, a, b, slots_of[a]);
    if (!r.needed) continue;
    // Update the index: killed slots leave their (old) vertices' lists, new slots
    // join theirs in slot order.
    for (std::size_t i = 0; i < r.killed.size(); ++i) {
      for (Vertex v : r.killed_vertices[i]) {
        auto& list = slots_of[v];
        auto it = std::lower_bound(list.begin(), list.end(), r.killed[i]);
        if (it != list.end() && *it == r.killed[i]) list.erase(it);
      }
    }
    for (Slot s : r.created) {
      for (Vertex v : tr.tri(s).v) {
        auto& list = slots_of[v];
        list.insert(std::lower_bound(list.begin(), list.end(), s), s);
      }
    }
    // Relink exactly what a full rebuild would change: the new triangles and the
    // outer neighbours of the cavity. A full rebuild maps each directed edge to the
    // last slot holding it.
    auto relink_one = [&](Slot s) {
      Triangle& t = tr.tri(s);
      for (int k = 0; k < 3; ++k) {
        const Vertex p = t.v[next3(k)], q = t.v[k];  // looking for p -> q
        Slot found = -1;
        const auto& list = slots_of[p];
        for (auto it = list.rbegin(); it != list.rend(); ++it)
          if (tr.find_edge(*it, p, q) >= 0) {
            found = *it;
            break;
          }
        t.n[k] = found;
      }
    };
    for (Slot s : r.created) relink_one(s);
    for (Slot s : r.outer)
      if (tr.live(s)) relink_one(s);
  }
}

void mark_constraints(Triangulation& tr, std::span<const Segment> segments) {
  const EdgeTable edges = EdgeTable::of_live(tr.triangles);
  for (const Segment& seg : segments) {
    const auto t1 = static_cast<Slot>(edges.first(seg[0], seg[1]));
    const auto t2 = static_cast<Slot>(edges.first(seg[1], seg[0]));
    if (t1 < 0 || t2 < 0) throw Error::message(kInternalRecovery);
    tr.tri(t1).c[tr.find_edge(t1, seg[0], seg[1])] = true;
    tr.tri(t2).c[tr.find_edge(t2, seg[1], seg[0])] = true;
  }
}

void remove_super_triangle(Triangulation& tr) {
  const Vertex nb = tr.super_first;
  for (std::size_t s = 0; s < tr.slot_count(); ++s) {
    const Triangle& t = tr.triangles[s];
    if (!t.dead && (t.v[0] >= nb || t.v[1] >= nb || t.v[2] >= nb)) tr.kill(static_cast<Slot>(s));
  }
  tr.points.resize(nb);
  tr.jittered.resize(nb);
  tr.boundary.resize(nb);
}

void lawson_pass(Triangulation& tr) {
  struct Item {
    Slot t;
    int e;
  };
  std::vector<Item> queue;
  const std::size_t n_slots = tr.slot_count();
  queue.reserve(3 * n_slots);
  for (std::size_t s = 0; s < n_slots; ++s)
    if (!tr.triangles[s].dead)
      for (int e = 0; e < 3; ++e) queue.push_back({static_cast<Slot>(s), e});
  const std::size_t max_taken = 20 * n_slots + 100;
  const auto& J = tr.jittered;
  const auto& P = tr.points;
  std::size_t head = 0;
  for (std::size_t taken = 0; taken < max_taken && head < queue.size(); ++taken) {
    const Item item = queue[head++];
    if (!tr.live(item.t)) continue;
    const Triangle& t = tr.tri(item.t);
    const int e = item.e;
    if (t.c[e] || t.n[e] < 0) continue;
    const Slot u = t.n[e];
    if (!tr.live(u)) continue;
    const Vertex a = t.v[e], b = t.v[next3(e)], c = t.v[prev3(e)];
    const int eu = tr.find_edge(u, b, a);
    if (eu < 0) continue;
    const Vertex w = tr.tri(u).v[prev3(eu)];
    if (!(incircle(J[a], J[b], J[c], J[w]) > 0.0)) continue;
    if (!(orient2d(P[c], P[a], P[w]) > 0.0 && orient2d(P[c], P[w], P[b]) > 0.0)) continue;
    const auto [x, y] = tr.flip_edge(item.t, e);
    for (Slot s : {x, y})
      for (int k = 0; k < 3; ++k) queue.push_back({s, k});
  }
}

void mark_interior(Triangulation& tr, const store::InterruptCheck& interrupt) {
  Slot start = -1;
  for (std::size_t s = 0; s < tr.slot_count() && start < 0; ++s)
    if (!tr.triangles[s].dead && tr.find_edge(static_cast<Slot>(s), 0, 1) >= 0) start = static_cast<Slot>(s);
  QUENLITH_VERIFY(start >= 0, "triangulate_surface: internal error locating the domain interior");
  tr.inside[static_cast<std::size_t>(start)] = true;
  std::vector<Slot> stack{start};
  while (!stack.empty()) {
    const Slot s = stack.back();
    stack.pop_back();
    interrupt();
    const Triangle& t = tr.tri(s);
    for (int k = 0; k < 3; ++k) {
      const Slot nb = t.n[k];
      if (nb < 0 || t.c[k] || tr.inside[static_cast<std::size_t>(nb)]) continue;
      tr.inside[static_cast<std::size_t>(nb)] = true;
      stack.push_back(nb);
    }
  }
}

void build_constrained(Triangulation& tr, std::span<const Point2> boundary_points, std::span<const LoopRange> loops,
                       const store::InterruptCheck& interrupt) {
  start_domain(tr, boundary_points, interrupt);
  const std::vector<Segment> segments = boundary_segments(loops);
  recover_boundary(tr, segments);
  tr.link_triangles();
  mark_constraints(tr, segments);
  remove_super_triangle(tr);
  tr.link_triangles();
  lawson_pass(tr);
  mark_interior(tr, interrupt);
}

}  // namespace quenlith::ops::mesher::tri
