#include "containers/finite_element_space/sub_finite_element_space.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/finite_element_space/geometry.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "dump/number_format.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"

namespace quenlith::containers::finite_element_space {

using mesh::Coords;
using mesh::ElementType;
using mesh::NodeId;
using mesh::SubMesh;
using store::Handle;

namespace {

struct CellNodes {
  std::vector<double> x;  // npc x s
  std::uint64_t npc;
  std::uint64_t r;
};

}  // namespace

std::string_view debug_name(Interpolation i) noexcept {
  return i == Interpolation::LAGRANGE1 ? "Lagrange1" : "Lagrange2";
}

std::string_view debug_name(QuadratureRule q) noexcept { return q == QuadratureRule::GAUSS ? "Gauss" : "Reduced"; }

SubFiniteElementSpace SubFiniteElementSpace::create(Handle<SubMesh> submesh, Interpolation interpolation,
                                                    QuadratureRule quadrature) {
  ElementType t;
  Handle<Coords> coords;
  {
    store::ReadGuard<SubMesh> guard = store::read(submesh);
    t = guard->element_type();
    coords = guard->coords();
  }
  QUENLITH_VERIFY(t != ElementType::POI1, "SubFiniteElementSpace: POI1 submesh is not supported (no reference frame)");
  QUENLITH_VERIFY(fits(interpolation, t), "SubFiniteElementSpace: interpolation {} not compatible with element type {}",
                  interpolation, t);
  std::uint64_t s;
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    s = guard->dim();
  }
  const std::uint64_t r = mesh::ref_dim(t);
  QUENLITH_VERIFY(s >= r, "SubFiniteElementSpace: space dim {} < reference dim {} of {} (cannot define a Jacobian)",
                  s, r, t);

  SubFiniteElementSpace space;
  space.interpolation_ = interpolation;
  space.quadrature_ = quadrature;
  space.space_dim_ = s;
  QuadraturePoints rule = finite_element_space::quadrature(quadrature, t);
  space.gauss_xi_ = std::move(rule.points);
  space.gauss_w_ = std::move(rule.weights);
  const std::uint64_t n_g = space.gauss_w_.size();
  const std::uint64_t npc = mesh::nodes_per_cell(t);
  space.n_at_g_.reserve(n_g * npc);
  space.dn_at_g_.reserve(n_g * npc * r);
  for (std::uint64_t g = 0; g < n_g; ++g) {
    const std::span<const double> xi = std::span<const double>(space.gauss_xi_).subspan(g * r, r);
    const std::vector<double> n = shape(interpolation, t, xi);
    const std::vector<double> dn = dshape_dxi(interpolation, t, xi);
    space.n_at_g_.insert(space.n_at_g_.end(), n.begin(), n.end());
    space.dn_at_g_.insert(space.dn_at_g_.end(), dn.begin(), dn.end());
  }
  space.submesh_ = SubMesh::seal(submesh);
  return space;
}

ElementType SubFiniteElementSpace::element_type() const {
  store::ReadGuard<SubMesh> guard = store::read(submesh_);
  return guard->element_type();
}

std::uint64_t SubFiniteElementSpace::cell_count() const {
  store::ReadGuard<SubMesh> guard = store::read(submesh_);
  return guard->cell_count();
}

std::uint64_t SubFiniteElementSpace::nodes_per_cell() const { return mesh::nodes_per_cell(element_type()); }

std::uint64_t SubFiniteElementSpace::ref_dim() const { return mesh::ref_dim(element_type()); }

void SubFiniteElementSpace::check_gauss(std::uint64_t g) const {
  QUENLITH_VERIFY(g < gauss_count(), "SubFiniteElementSpace: gauss index {} ≥ n_g {}", g, gauss_count());
}

std::span<const double> SubFiniteElementSpace::dn_at_g(std::uint64_t g) const {
  check_gauss(g);
  const std::uint64_t stride = dn_at_g_.size() / gauss_count();
  return std::span<const double>(dn_at_g_).subspan(g * stride, stride);
}

std::vector<double> SubFiniteElementSpace::gauss_xi(std::uint64_t g) const {
  check_gauss(g);
  const ElementType t = element_type();
  const std::uint64_t r = mesh::ref_dim(t);
  check_tables(mesh::nodes_per_cell(t), r, t);
  const auto row = std::span<const double>(gauss_xi_).subspan(g * r, r);
  return std::vector<double>(row.begin(), row.end());
}

double SubFiniteElementSpace::gauss_weight(std::uint64_t g) const {
  check_gauss(g);
  return gauss_w_[g];
}

std::vector<double> SubFiniteElementSpace::n_at_g(std::uint64_t g) const {
  check_gauss(g);
  const ElementType t = element_type();
  const std::uint64_t npc = mesh::nodes_per_cell(t);
  check_tables(npc, mesh::ref_dim(t), t);
  const auto row = std::span<const double>(n_at_g_).subspan(g * npc, npc);
  return std::vector<double>(row.begin(), row.end());
}

namespace {

// Step 2 and 3 of every geometric query: the cell's ids under the submesh guard (then
// released), its coordinates under the Coords guard.
CellNodes read_cell_nodes(const SubFiniteElementSpace& space, std::uint64_t cell) {
  std::vector<NodeId> ids;
  Handle<Coords> coords;
  ElementType t;
  {
    store::ReadGuard<SubMesh> guard = store::read(space.submesh());
    const std::uint64_t n = guard->cell_count();
    QUENLITH_VERIFY(cell < n, "SubFiniteElementSpace: cell index {} ≥ cell_count {}", cell, n);
    const auto c = guard->cell(cell);
    ids.assign(c.begin(), c.end());
    coords = guard->coords();
    t = guard->element_type();
  }
  const std::uint64_t npc = mesh::nodes_per_cell(t);
  const std::uint64_t r = mesh::ref_dim(t);
  space.check_tables(npc, r, t);
  const std::uint64_t s = space.space_dim();
  CellNodes out{{}, npc, r};
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    // Checked before it sizes anything: a record read back may carry any value.
    QUENLITH_VERIFY(guard->dim() == s, "SubFiniteElementSpace: space dim {} ≠ Coords dim {}", s, guard->dim());
    out.x.reserve(npc * s);
    const std::span<const double> buffer = guard->active_buffer();
    for (NodeId id : ids) {
      QUENLITH_VERIFY(guard->is_alive(id), "node {} not found or collected", id);
      const auto xyz = buffer.subspan(std::size_t{id} * s, s);
      out.x.insert(out.x.end(), xyz.begin(), xyz.end());
    }
  }
  return out;
}

}  // namespace

std::vector<double> SubFiniteElementSpace::jacobian(std::uint64_t cell, std::uint64_t g) const {
  check_gauss(g);
  const CellNodes nodes = read_cell_nodes(*this, cell);
  return jacobian_from_nodes(nodes.x, dn_at_g(g), space_dim_, nodes.r, nodes.npc);
}

double SubFiniteElementSpace::det_jacobian(std::uint64_t cell, std::uint64_t g) const {
  check_gauss(g);
  const CellNodes nodes = read_cell_nodes(*this, cell);
  const std::vector<double> j = jacobian_from_nodes(nodes.x, dn_at_g(g), space_dim_, nodes.r, nodes.npc);
  return measure_from_jacobian(j, space_dim_, nodes.r);
}

std::vector<double> SubFiniteElementSpace::dn_dx(std::uint64_t cell, std::uint64_t g) const {
  check_gauss(g);
  const CellNodes nodes = read_cell_nodes(*this, cell);
  const std::span<const double> d = dn_at_g(g);
  const std::vector<double> j = jacobian_from_nodes(nodes.x, d, space_dim_, nodes.r, nodes.npc);
  return dn_dx_from_jacobian(j, d, space_dim_, nodes.r, nodes.npc);
}

void SubFiniteElementSpace::check_tables(std::uint64_t npc, std::uint64_t r, ElementType t) const {
  const std::uint64_t n_g = gauss_count();
  QUENLITH_VERIFY(gauss_xi_.size() == n_g * r && n_at_g_.size() == n_g * npc && dn_at_g_.size() == n_g * npc * r,
                  "SubFiniteElementSpace: tables do not match element type {}", t);
}

GaussTables SubFiniteElementSpace::gauss_tables() const {
  const ElementType t = element_type();
  const std::uint64_t npc = mesh::nodes_per_cell(t);
  const std::uint64_t r = mesh::ref_dim(t);
  check_tables(npc, r, t);
  GaussTables out;
  const std::uint64_t n_g = gauss_count();
  out.n_rows.reserve(n_g);
  out.dn_rows.reserve(n_g);
  for (std::uint64_t g = 0; g < n_g; ++g) {
    const auto n = std::span<const double>(n_at_g_).subspan(g * npc, npc);
    const auto d = dn_at_g(g);
    out.n_rows.emplace_back(n.begin(), n.end());
    out.dn_rows.emplace_back(d.begin(), d.end());
  }
  out.weights = gauss_w_;
  out.nodes_per_cell = npc;
  out.n_gauss = n_g;
  out.space_dim = space_dim_;
  out.ref_dim = r;
  return out;
}

const CellColoring& SubFiniteElementSpace::coloring(parallel::FunctionRef<CellColoring()> compute) const {
  ColoringSlot& slot = *coloring_;
  std::call_once(slot.once, [&] {
    slot.value = compute();
    slot.filled.store(true, std::memory_order_release);
  });
  return slot.value;
}

bool SubFiniteElementSpace::has_coloring() const noexcept {
  return coloring_ && coloring_->filled.load(std::memory_order_acquire);
}

std::string SubFiniteElementSpace::display_text() const {
  std::string type = "?";
  try {
    type = std::string(mesh::name(element_type()));
  } catch (const Error&) {
  }
  return fmt::format("SubFiniteElementSpace<{}, {}, {}>: {} Gauss point(s)", type, interpolation_, quadrature_,
                     gauss_count());
}

std::string SubFiniteElementSpace::debug_text() const {
  return dump::DebugRecord("SubFiniteElementSpace")
      .field("submesh", submesh_.debug_text())
      .field("interpolation", debug_name(interpolation_))
      .field("quadrature", debug_name(quadrature_))
      .field("space_dim", std::to_string(space_dim_))
      .field("n_g", std::to_string(gauss_count()))
      .finish();
}

std::string SubFiniteElementSpace::dump_text(const dump::DumpOptions& options) const {
  const std::uint64_t n_g = gauss_count();
  const std::uint64_t d = n_g == 0 ? 0 : gauss_xi_.size() / n_g;
  std::vector<std::string> header;
  header.reserve(d + 2);
  header.emplace_back("g");
  for (std::uint64_t k = 0; k < d; ++k) header.push_back(fmt::format("ξ{}", k));
  header.emplace_back("weight");
  std::vector<dump::Row> rows;
  rows.reserve(n_g);
  for (std::uint64_t g = 0; g < n_g; ++g) {
    dump::Row row;
    row.reserve(d + 2);
    row.push_back(std::to_string(g));
    for (std::uint64_t k = 0; k < d; ++k) row.push_back(dump::format_dump_cell(gauss_xi_[g * d + k], options));
    row.push_back(dump::format_dump_cell(gauss_w_[g], options));
    rows.push_back(std::move(row));
  }
  return dump::dump_titled_table(display_text(), header, rows, options);
}

void SubFiniteElementSpace::encode(store::RecordWriter& w) const {
  w.write_handle(submesh_);
  w.write_variant(static_cast<std::uint32_t>(interpolation_));
  w.write_variant(static_cast<std::uint32_t>(quadrature_));
  w.write_u64(space_dim_);
  w.write_f64_list(gauss_xi_);
  w.write_f64_list(gauss_w_);
  w.write_f64_list(n_at_g_);
  w.write_f64_list(dn_at_g_);
}

SubFiniteElementSpace SubFiniteElementSpace::decode(store::RecordReader& r) {
  SubFiniteElementSpace space;
  space.submesh_ = r.read_handle<SubMesh>();
  space.interpolation_ = static_cast<Interpolation>(r.read_variant(2));
  space.quadrature_ = static_cast<QuadratureRule>(r.read_variant(2));
  space.space_dim_ = r.read_u64();
  // It sizes every geometric buffer later: refused here unless a Coords could have it.
  store::RecordReader::check(space.space_dim_ >= 1 && space.space_dim_ <= Coords::kMaxDim,
                             "SubFiniteElementSpace: space dim {} is not a Coords dimension (1 to {})",
                             space.space_dim_, Coords::kMaxDim);
  space.gauss_xi_ = r.read_f64_list();
  space.gauss_w_ = r.read_f64_list();
  space.n_at_g_ = r.read_f64_list();
  space.dn_at_g_ = r.read_f64_list();
  const std::uint64_t n_g = space.gauss_w_.size();
  // dn = n × (points per weight), compared by division: the product of two counts
  // from a record could wrap around.
  const std::uint64_t n_points = space.gauss_xi_.size();
  const std::uint64_t n_values = space.n_at_g_.size();
  const std::uint64_t n_dn = space.dn_at_g_.size();
  const bool agree =
      n_g == 0 ? n_points == 0 && n_values == 0 && n_dn == 0
               : n_points % n_g == 0 && n_values % n_g == 0 &&
                     (n_values == 0 ? n_dn == 0 : n_dn % n_values == 0 && n_dn / n_values == n_points / n_g);
  store::RecordReader::check(agree, "SubFiniteElementSpace: table lengths disagree ({} points, {} weights, {} values, "
                             "{} derivatives)", space.gauss_xi_.size(), n_g, space.n_at_g_.size(),
                             space.dn_at_g_.size());
  return space;
}

}  // namespace quenlith::containers::finite_element_space
