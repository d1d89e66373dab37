#include "models/model/constraint_rhs.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "dump/number_format.hpp"
#include "models/contact/contact.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::model {

using mesh::NodeId;
using models::MultiplierConstraint;
using models::Relation;
using node_field::NodeField;
using node_field::SubNodeField;

namespace {

// g per (multiplier node, imposed-value name): few names, many nodes.
class ValueMap {
 public:
  // Records g for the relation; a different value already there is a conflict.
  void insert(const Relation& relation, std::string_view operation, double g) {
    auto [it, fresh] = by_name_[relation.imposed_value].try_emplace(relation.multiplier_node, g);
    // `!(a == b)`: a NaN differs from every value, itself included.
    if (!fresh && !(it->second == g))
      throw Error::message("{}: conflicting values ({} and {}) for the same relation (multiplier node {}, slot {})",
                           operation, dump::plain_number(it->second), dump::plain_number(g),
                           relation.multiplier_node, relation.imposed_value);
  }
  bool empty() const noexcept { return by_name_.empty(); }
  std::optional<double> find(NodeId node, const std::string& name) const {
    const auto n = by_name_.find(name);
    if (n == by_name_.end()) return std::nullopt;
    const auto v = n->second.find(node);
    if (v == n->second.end()) return std::nullopt;
    return v->second;
  }

 private:
  std::unordered_map<std::string, std::unordered_map<NodeId, double>> by_name_;
};

// The constraint view and dual names of a sub-model: "constraint_rhs: sub-model {} is
// not a constraint (it has no multipliers)", "constraint_rhs: the constraint owns no
// dual (imposed-value) variable".
const MultiplierConstraint& constraint_with_dual(const SubModel& sub, std::vector<std::string>& duals) {
  const MultiplierConstraint* c = sub.kind().constraint();
  QUENLITH_VERIFY(c != nullptr, "constraint_rhs: sub-model {} is not a constraint (it has no multipliers)",
                  sub.kind().name());
  duals = sub.kind().dual_vars();
  QUENLITH_VERIFY(!duals.empty(), "constraint_rhs: the constraint owns no dual (imposed-value) variable");
  return *c;
}

// One zone per multiplier submesh, components `duals`, zeros but the values given.
NodeField constraint_rhs_field(const SubModel& sub, const std::vector<std::string>& duals, const ValueMap& values) {
  const mesh::Mesh multipliers = sub_model_multiplier_mesh(sub);
  NodeField out;
  for (const auto& submesh : multipliers.subs()) {
    SubNodeField zone = SubNodeField::create(submesh, duals);
    if (!values.empty()) {
      const std::span<const NodeId> nodes = zone.nodes();
      for (std::uint64_t row = 0; row < nodes.size(); ++row)
        for (std::uint64_t c = 0; c < duals.size(); ++c)
          if (const std::optional<double> g = values.find(nodes[row], duals[c])) zone.set(row, c, *g);
    }
    out.push_sub(store::insert(std::move(zone)));
  }
  return out;
}

}  // namespace

store::Handle<SubModel> single_constraint(const Model& model) {
  std::optional<store::Handle<SubModel>> found;
  for (const auto& h : model.subs()) {
    if (store::read(h)->kind().constraint() == nullptr) continue;
    QUENLITH_VERIFY(!found,
                    "constraint_rhs: model holds several constraint sub-models; call it on a single-constraint model "
                    "(e.g. the `dirichlet` / `mpc` object)");
    found = h;
  }
  QUENLITH_VERIFY(found.has_value(), "constraint_rhs: model holds no constraint sub-model");
  return *found;
}

NodeField constraint_rhs(const Model& model, std::span<const std::pair<NodeId, double>> imposed) {
  const store::Handle<SubModel> handle = single_constraint(model);
  store::ReadGuard<SubModel> sub = store::read(handle);
  std::vector<std::string> duals;
  const MultiplierConstraint& constraint = constraint_with_dual(*sub, duals);
  const std::vector<Relation> relations = constraint.relations();

  // Node → the one relation it keys, or kSeveral.
  constexpr std::uint64_t kSeveral = ~std::uint64_t{0};
  std::unordered_map<NodeId, std::uint64_t> keys;
  for (std::uint64_t r = 0; r < relations.size(); ++r)
    for (const models::RelationTerm& t : relations[r].terms) {
      auto [it, fresh] = keys.try_emplace(t.node, r);
      if (!fresh && it->second != r) it->second = kSeveral;
    }

  const std::string_view kind = sub->kind().name();
  ValueMap values;
  for (const auto& [node, g] : imposed) {
    const auto it = keys.find(node);
    QUENLITH_VERIFY(it != keys.end(), "constraint_rhs: node {} is not constrained by this {}", node, kind);
    QUENLITH_VERIFY(it->second != kSeveral,
                    "constraint_rhs: node {} keys several relations of this {} \u2014 node keying is ambiguous, use "
                    "constraint_rhs_by_index",
                    node, kind);
    values.insert(relations[it->second], "constraint_rhs", g);
  }
  return constraint_rhs_field(*sub, duals, values);
}

NodeField sub_model_rhs_by_index(const SubModel& sub, std::span<const std::pair<std::uint64_t, double>> imposed) {
  std::vector<std::string> duals;
  const MultiplierConstraint& constraint = constraint_with_dual(sub, duals);
  const std::vector<Relation> relations = constraint.relations();
  ValueMap values;
  for (const auto& [index, g] : imposed) {
    QUENLITH_VERIFY(index < relations.size(),
                    "constraint_rhs_by_index: relation index {} out of range (this constraint has {} relation(s))",
                    index, relations.size());
    values.insert(relations[index], "constraint_rhs_by_index", g);
  }
  return constraint_rhs_field(sub, duals, values);
}

NodeField constraint_rhs_by_index(const Model& model, std::span<const std::pair<std::uint64_t, double>> imposed) {
  const store::Handle<SubModel> handle = single_constraint(model);
  store::ReadGuard<SubModel> sub = store::read(handle);
  return sub_model_rhs_by_index(*sub, imposed);
}

NodeField contact_gaps(const Model& model) {
  std::optional<store::Handle<SubModel>> found;
  for (const auto& h : model.subs()) {
    if (store::read(h)->kind().variant_index() != models::Contact::kIndex) continue;
    QUENLITH_VERIFY(!found,
                    "contact_gaps: model holds several contact sub-models; call it on a single-contact model (the "
                    "`contact` object)");
    found = h;
  }
  QUENLITH_VERIFY(found.has_value(), "contact_gaps: model holds no contact sub-model");
  store::ReadGuard<SubModel> sub = store::read(*found);
  const auto& pairings = static_cast<const models::Contact&>(sub->kind()).fields().pairings;
  std::vector<std::pair<std::uint64_t, double>> imposed;
  imposed.reserve(pairings.size());
  for (std::size_t i = 0; i < pairings.size(); ++i) imposed.emplace_back(i, -pairings[i].gap);
  return sub_model_rhs_by_index(*sub, imposed);
}

}  // namespace quenlith::containers::model
