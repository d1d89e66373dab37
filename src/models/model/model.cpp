#include "models/model/model.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "models/convection/convection.hpp"
#include "models/elasticity/elasticity.hpp"
#include "models/frame/frame.hpp"
#include "models/frame3d/frame3d.hpp"
#include "models/heat_conduction/heat_conduction.hpp"
#include "models/mazars/mazars.hpp"
#include "models/plasticity/plasticity.hpp"
#include "models/timoshenko/timoshenko.hpp"
#include "models/truss/truss.hpp"
#include "store/guard.hpp"

namespace quenlith::containers::model {

using finite_element_space::FiniteElementSpace;
using models::SpaceHandle;

namespace {

// Runs `body` on each sub-model in order, under its own read guard.
template <class F>
void for_each_read(std::span<const store::Handle<SubModel>> subs, F&& body) {
  for (const auto& h : subs) {
    store::ReadGuard<SubModel> sub = store::read(h);
    body(sub->kind());
  }
}

}  // namespace

template <class MakeKind>
Model Model::per_subspace(const FiniteElementSpace& fespace, MakeKind&& make) {
  Model out;  // dropped on failure, with every sub-model it holds
  for (const SpaceHandle& h : fespace.subs()) out.push_sub(store::insert(SubModel::of(make(SpaceHandle(h)))));
  return out;
}

Model Model::heat_conduction(const FiniteElementSpace& fespace) {
  return per_subspace(fespace, [](SpaceHandle h) { return models::HeatConduction::create(std::move(h)); });
}
Model Model::convection(const FiniteElementSpace& fespace) {
  return per_subspace(fespace, [](SpaceHandle h) { return models::Convection::create(std::move(h)); });
}
Model Model::truss(const FiniteElementSpace& fespace) {
  return per_subspace(fespace, [](SpaceHandle h) { return models::Truss::create(std::move(h)); });
}
Model Model::elasticity(const FiniteElementSpace& fespace, ContinuumModel model) {
  return per_subspace(fespace, [&](SpaceHandle h) { return models::Elasticity::create(std::move(h), model); });
}
Model Model::plasticity(const FiniteElementSpace& fespace, ContinuumModel model) {
  return per_subspace(fespace, [&](SpaceHandle h) { return models::Plasticity::create(std::move(h), model); });
}
Model Model::mazars(const FiniteElementSpace& fespace, ContinuumModel model) {
  return per_subspace(fespace, [&](SpaceHandle h) { return models::Mazars::create(std::move(h), model); });
}
Model Model::timoshenko(const FiniteElementSpace& fespace) {
  return per_subspace(fespace, [](SpaceHandle h) { return models::Timoshenko::create(std::move(h)); });
}
Model Model::frame(const FiniteElementSpace& fespace) {
  return per_subspace(fespace, [](SpaceHandle h) { return models::Frame::create(std::move(h)); });
}
Model Model::frame3d(const FiniteElementSpace& fespace) {
  return per_subspace(fespace, [](SpaceHandle h) { return models::Frame3d::create(std::move(h)); });
}

Model Model::dirichlet(std::string imposed_variable, std::string target_dual, const mesh::Mesh& imposed_mesh,
                       const mesh::Mesh& multiplier_mesh, std::optional<std::string> multiplier,
                       std::optional<std::string> imposed_value, models::Sense sense) {
  Model out;
  out.push_sub(store::insert(SubModel::of(models::Dirichlet::create(std::move(imposed_variable), std::move(target_dual),
                                                                     imposed_mesh, multiplier_mesh, std::move(multiplier),
                                                                     std::move(imposed_value), sense))));
  return out;
}

Model Model::embedded(const mesh::Mesh& immersed, const mesh::Mesh& host,
                      std::vector<std::pair<std::string, std::string>> components,
                      std::optional<std::vector<std::string>> multipliers,
                      std::optional<std::vector<std::string>> imposed_values, std::optional<double> tol) {
  Model out;
  out.push_sub(store::insert(SubModel::of(models::Embedded::create(immersed, host, std::move(components),
                                                                    std::move(multipliers),
                                                                    std::move(imposed_values), tol))));
  return out;
}

Model Model::contact(const mesh::Mesh& slave, const mesh::Mesh& master,
                     std::vector<std::pair<std::string, std::string>> components,
                     std::optional<std::string> multiplier, std::optional<std::string> imposed_value) {
  Model out;
  out.push_sub(store::insert(SubModel::of(models::Contact::create(slave, master, std::move(components),
                                                                   std::move(multiplier), std::move(imposed_value)))));
  return out;
}

Model Model::mpc(std::vector<models::MpcTerm> terms, const mesh::Mesh& multiplier_mesh,
                 std::optional<std::string> multiplier, std::optional<std::string> imposed_value,
                 models::Sense sense) {
  Model out;
  out.push_sub(store::insert(SubModel::of(models::Mpc::create(std::move(terms), multiplier_mesh,
                                                               std::move(multiplier), std::move(imposed_value),
                                                               sense))));
  return out;
}

std::vector<std::string> dedup_names(std::vector<std::string> names) {
  std::vector<std::string> out;
  for (std::string& n : names) {
    bool seen = false;
    for (const std::string& kept : out) seen = seen || kept == n;
    if (!seen) out.push_back(std::move(n));
  }
  return out;
}

std::vector<std::string> Model::primal_vars() const {
  std::vector<std::string> all;
  for_each_read(subs(), [&](const models::ModelKind& k) {
    for (std::string& n : k.primal_vars()) all.push_back(std::move(n));
  });
  return dedup_names(std::move(all));
}

std::vector<std::string> Model::dual_vars() const {
  std::vector<std::string> all;
  for_each_read(subs(), [&](const models::ModelKind& k) {
    for (std::string& n : k.dual_vars()) all.push_back(std::move(n));
  });
  return dedup_names(std::move(all));
}

std::optional<std::string> Model::dual_of(std::string_view variable) const {
  for (const auto& h : subs()) {
    store::ReadGuard<SubModel> sub = store::read(h);
    const std::vector<std::string> primal = sub->kind().primal_vars();
    for (std::size_t i = 0; i < primal.size(); ++i) {
      if (primal[i] != variable) continue;
      std::vector<std::string> dual = sub->kind().dual_vars();
      if (i < dual.size()) return std::move(dual[i]);
      break;
    }
  }
  return std::nullopt;
}

FiniteElementSpace Model::fespace() const {
  std::vector<SpaceHandle> spaces;
  for_each_read(subs(), [&](const models::ModelKind& k) {
    if (const models::Behaviour* b = k.behaviour()) spaces.push_back(b->behaviour_fespace());
  });
  QUENLITH_VERIFY(!spaces.empty(), "Model::fespace: model has no domain sub-model to integrate on");
  return FiniteElementSpace(std::move(spaces));
}

mesh::Mesh sub_model_multiplier_mesh(const SubModel& sub) {
  mesh::Mesh out;
  if (const models::MultiplierConstraint* c = sub.kind().constraint())
    for (const models::MeshHandle& h : c->multiplier_mesh()) out.push_sub(h);
  return out;
}

mesh::Mesh Model::multiplier_mesh() const {
  mesh::Mesh out;
  for_each_read(subs(), [&](const models::ModelKind& k) {
    if (const models::MultiplierConstraint* c = k.constraint())
      for (const models::MeshHandle& h : c->multiplier_mesh()) out.push_sub(h);
  });
  return out;
}

Model Model::filter(Physics tag) const {
  std::vector<std::uint64_t> kept;
  std::uint64_t i = 0;
  for_each_read(subs(), [&](const models::ModelKind& k) {
    for (Physics p : k.physics())
      if (p == tag) {
        kept.push_back(i);
        break;
      }
    ++i;
  });
  return slice(kept);
}

element_field::SubElementField sub_model_integrate_behavior(const SubModel& sub, const models::ZoneHandle& deformation,
                                                            const std::optional<models::ZoneHandle>& previous,
                                                            const std::optional<models::ZoneHandle>& materials,
                                                            std::optional<double> dt) {
  const models::Behaviour* b = sub.kind().behaviour();
  QUENLITH_VERIFY(b != nullptr, "{}: no behaviour \u2014 integrate_behavior is undefined", sub.kind().name());
  return b->integrate_behavior(deformation, previous, materials, dt);
}

Model::Pattern Model::scatter_pattern(OperatorKind kind, parallel::FunctionRef<Pattern()> build) const {
  if (Pattern p = patterns_.get(kind)) return p;
  Pattern built = build();
  // Another caller may have filled the cell meanwhile: the first stored stays, and
  // each caller uses the pattern it built.
  patterns_.put(kind, built);
  return built;
}

bool Model::has_pattern(OperatorKind kind) const { return patterns_.get(kind) != nullptr; }

std::string Model::display_text() const { return fmt::format("Model: {} sub-model(s)", size()); }

void Model::PatternCells::clear() noexcept {
  std::array<Pattern, 4> old;
  {
    std::lock_guard lock(mutex_);
    old.swap(cells_);
  }
}

Model::Pattern Model::PatternCells::get(OperatorKind kind) const {
  std::lock_guard lock(mutex_);
  return cells_[static_cast<std::size_t>(kind)];
}

Model::Pattern Model::PatternCells::put(OperatorKind kind, Pattern p) {
  std::lock_guard lock(mutex_);
  Pattern& cell = cells_[static_cast<std::size_t>(kind)];
  if (!cell) cell = std::move(p);
  return cell;
}

std::array<Model::Pattern, 4> Model::PatternCells::take() noexcept {
  std::lock_guard lock(mutex_);
  std::array<Pattern, 4> out;
  out.swap(cells_);
  return out;
}

}  // namespace quenlith::containers::model
