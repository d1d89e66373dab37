#pragma once
// Right-hand sides of a constraint: the imposed values g of its relations as a node
// field on its multiplier submeshes, whose components are the constraint's dual
// (imposed-value) names, ready to be joined with the other loads.
//
// Every value is 0.0 but where a relation was given one: at the relation's
// multiplier node, under the relation's imposed-value name. Two relations with the
// same multiplier node and imposed-value name share one value. Each call reads the
// relations once and keeps nothing but the returned field; nothing is stored in the
// model. Every failure is thrown before any zone survives.
#include <cstdint>
#include <span>
#include <utility>

#include "containers/mesh/coords.hpp"
#include "models/model/model.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::containers::model {

// The model's only constraint sub-model (its physics sub-models are ignored):
// "constraint_rhs: model holds several constraint sub-models; call it on a
// single-constraint model (e.g. the `dirichlet` / `mpc` object)", "constraint_rhs:
// model holds no constraint sub-model".
store::Handle<SubModel> single_constraint(const Model& model);

// Values keyed by a node of each relation: any node of a relation's terms stands for
// it (the multiplier nodes do not). Errors, at the first failing pair: "constraint_rhs:
// node {} is not constrained by this {}", "constraint_rhs: node {} keys several
// relations of this {} — node keying is ambiguous, use constraint_rhs_by_index", and
// "constraint_rhs: conflicting values ({} and {}) for the same relation (multiplier
// node {}, slot {})" when one relation gets two different values (NaN differs from
// everything).
node_field::NodeField constraint_rhs(const Model& model, std::span<const std::pair<mesh::NodeId, double>> imposed);

// Values keyed by relation index (the position in the constraint's relations):
// "constraint_rhs_by_index: relation index {} out of range (this constraint has {}
// relation(s))", and the conflict message naming "constraint_rhs_by_index".
node_field::NodeField constraint_rhs_by_index(const Model& model,
                                              std::span<const std::pair<std::uint64_t, double>> imposed);
node_field::NodeField sub_model_rhs_by_index(const SubModel& sub,
                                             std::span<const std::pair<std::uint64_t, double>> imposed);

// −g0 of every relation of the model's one contact sub-model (other constraints
// ignored), so that non-penetration reads g0 + C·u ≥ 0: "contact_gaps: model holds
// no contact sub-model", "contact_gaps: model holds several contact sub-models; call
// it on a single-contact model (the `contact` object)".
node_field::NodeField contact_gaps(const Model& model);

}  // namespace quenlith::containers::model
