#include "containers/finite_element_space/cell_geometry.hpp"

#include "base/error.hpp"
#include "containers/finite_element_space/geometry.hpp"
#include "containers/mesh/submesh.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::finite_element_space {

using mesh::Coords;
using mesh::ElementType;
using mesh::NodeId;
using mesh::SubMesh;

struct CellGeometry::Guards {
  store::ReadGuard<SubMesh> submesh;
  store::ReadGuard<Coords> coords;
};

CellGeometry::CellGeometry(const SubFiniteElementSpace& space) : space_(space) {
  store::ReadGuard<SubMesh> sub = store::read(space.submesh());
  const store::Handle<Coords> coords_handle = sub->coords();
  store::ReadGuard<Coords> coords = store::read(coords_handle);
  const ElementType t = sub->element_type();
  npc_ = mesh::nodes_per_cell(t);
  r_ = mesh::ref_dim(t);
  space.check_tables(npc_, r_, t);
  s_ = space.space_dim();
  QUENLITH_VERIFY(coords->dim() == s_, "SubFiniteElementSpace: space dim {} ≠ Coords dim {}", s_, coords->dim());
  dim_ = coords->dim();
  n_g_ = space.gauss_count();
  n_cells_ = sub->cell_count();
  connectivity_ = sub->connectivity();
  coords_ = coords->active_buffer();
  guards_ = std::make_unique<Guards>(Guards{std::move(sub), std::move(coords)});
  coords_object_ = &*guards_->coords;
}

CellGeometry::~CellGeometry() = default;

void CellGeometry::jacobian(std::span<const double> x, std::uint64_t g,
                                                   std::span<double> out) const {
  jacobian_from_nodes(x, space_.dn_at_g(g), s_, r_, npc_, out);
}

void CellGeometry::dn_dx(std::span<const double> x, std::uint64_t g,
                                                std::span<double> j_scratch, std::span<double> out) const {
  const std::span<const double> d = space_.dn_at_g(g);
  jacobian_from_nodes(x, d, s_, r_, npc_, j_scratch);
  dn_dx_from_jacobian(j_scratch, d, s_, r_, npc_, out);
}

}  // namespace quenlith::containers::finite_element_space
