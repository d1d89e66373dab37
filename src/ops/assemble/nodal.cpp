#include "ops/assemble/nodal.hpp"

#include <array>
#include <vector>

#include <fmt/format.h>

#include "base/error.hpp"
#include "models/model/sub_model.hpp"
#include "models/elasticity/small_strain.hpp"
#include "models/kernel/scatter_to_nodes.hpp"
#include "models/mod/domain.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::assemble {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::node_field::NodeField;
using containers::node_field::SubNodeField;
using SpaceHandle = store::Handle<containers::finite_element_space::SubFiniteElementSpace>;

NodeField internal_forces(const containers::model::Model& model, const ElementField& stresses) {
  NodeField out;
  for (const auto& sub_handle : model.subs()) {
    std::optional<SubNodeField> zone;
    {
      const store::ReadGuard<containers::model::SubModel> sub = store::read(sub_handle);
      const models::Behaviour* beh = sub->kind().behaviour();
      if (!beh) continue;
      const models::ZoneHandle stress = stresses.sub_for_fespace(beh->behaviour_fespace());
      zone = sub->kind().build_internal_forces(stress);
    }
    out.push_sub(store::insert(std::move(*zone)));
  }
  return out;
}

NodeField internal_forces_continuum(const ElementField& stresses,
                                    const containers::finite_element_space::FiniteElementSpace& fespace) {
  static constexpr std::array<const char*, 3> kNames{"f_x", "f_y", "f_z"};
  NodeField out;
  for (const SpaceHandle& space : fespace.subs()) {
    const models::SpaceFacts facts = models::read_space_facts(space);
    const std::uint64_t d = std::min<std::uint64_t>(facts.space_dim, 3);
    const models::MeshHandle support = models::node_cloud_of(facts.submesh);
    const models::ZoneHandle stress_handle = stresses.sub_for_fespace(space);
    SubNodeField zone = [&] {
      const store::ReadGuard<SubElementField> stress = store::read(stress_handle);
      const SpaceHandle spaces[] = {space};
      return models::kernel::scatter_to_nodes(
          spaces, support, std::vector<std::string>(kNames.begin(), kNames.begin() + d),
          [&](std::span<const models::CellContext> ctxs, std::span<double> v) {
            models::kernel::element_internal_forces_bt_sigma(ctxs, *stress, v);
          });
    }();
    out.push_sub(store::insert(std::move(zone)));
  }
  return out;
}

NodeField flux(const SpaceHandle& fespace, const FluxSource& density, const std::string& component) {
  std::uint64_t cells = 0, n_g = 0;
  {
    const store::ReadGuard<containers::finite_element_space::SubFiniteElementSpace> s = store::read(fespace);
    cells = s->cell_count();
    n_g = s->gauss_count();
  }
  models::kernel::FluxDensity rho;
  std::vector<double> table;
  if (const double* u = std::get_if<double>(&density)) {
    rho.uniform = *u;
  } else {
    const store::ReadGuard<SubElementField> zone = store::read(std::get<1>(density));
    const auto names = zone->components();
    if (names.size() != 1)
      throw Error::message(
          fmt::format("flux: la densité par champ doit avoir exactement une composante (en a {})", names.size()));
    table.reserve(cells * n_g);
    for (std::uint64_t c = 0; c < cells; ++c)
      for (std::uint64_t g = 0; g < n_g; ++g) table.push_back(zone->value(c, g, names[0]));
    rho.per_point = table;
  }
  const models::SpaceFacts facts = models::read_space_facts(fespace);
  const models::MeshHandle support = models::node_cloud_of(facts.submesh);
  const SpaceHandle spaces[] = {fespace};
  SubNodeField zone = models::kernel::scatter_to_nodes(
      spaces, support, {component},
      [&](std::span<const models::CellContext> ctxs, std::span<double> v) {
        models::kernel::flux_element_vector(ctxs, rho, v);
      });
  NodeField out;
  out.push_sub(store::insert(std::move(zone)));
  return out;
}

}  // namespace quenlith::ops::assemble
