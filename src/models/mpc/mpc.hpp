#pragma once
// Mpc: linear multi-point relations. Relation r of multiplier submesh e ties, for
// every term k, cell r of submesh e of term k's mesh (weighted by the term's
// coefficient) to cell r of multiplier submesh e, in the given sense. Primal
// [multiplier], dual [imposed_value].
//
// Record: terms (list of MpcTerm), multiplier_mesh (list of submesh handles),
// multiplier, imposed_value (texts), sense.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "models/mod/constraint.hpp"

namespace quenlith::models {

// One term: the submeshes it reads, the primal variable, the dual variable that
// receives the multiplier's reaction, the coefficient.
struct MpcTerm {
  MeshList mesh;
  std::string variable;
  std::string target_dual;
  double coefficient = 0.0;

  // Clones the term mesh's submesh handles (they share one Coords, as in any Mesh).
  static MpcTerm create(const containers::mesh::Mesh& mesh, std::string variable, std::string target_dual,
                        double coefficient);
};

class Mpc final : public ConstraintKind {
 public:
  static constexpr std::uint32_t kIndex = 3;
  struct Fields {
    std::vector<MpcTerm> terms;
    MeshList multiplier_mesh;
    std::string multiplier;
    std::string imposed_value;
    Sense sense = Sense::Equal;
  };
  explicit Mpc(Fields fields) noexcept : f_(std::move(fields)) {}
  // Checks, in this order, stopping at the first failure: "Mpc: at least one term is
  // required"; "Mpc: multiplier_mesh must carry at least one node"; every multiplier
  // submesh POI1 ("Mpc: multiplier_mesh submesh {} must be POI1, got {}"); for each
  // term k: its mesh's Coords ("coords: mesh has no submeshes"), the same Coords as the
  // multiplier mesh ("Mpc: term {} mesh and multiplier_mesh must share a Coords"), as
  // many submeshes ("Mpc: multiplier_mesh has {} submesh(es) but term {} has {}"), each
  // POI1 ("Mpc: term {} submesh {} must be POI1, got {}") with the cell count of the
  // paired multiplier submesh ("Mpc: term {} submesh {} has {} node(s) but multiplier
  // has {}"). Names default to "lambda_mpc" and "mpc_rhs". Guard errors thrown.
  static Mpc create(std::vector<MpcTerm> terms, const containers::mesh::Mesh& multiplier_mesh,
                    std::optional<std::string> multiplier, std::optional<std::string> imposed_value, Sense sense);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);
  const Fields& fields() const noexcept { return f_; }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {f_.multiplier}; }
  std::vector<std::string> dual_vars() const override { return {f_.imposed_value}; }
  std::span<const MeshHandle> multiplier_mesh() const override { return f_.multiplier_mesh; }
  std::string_view name() const noexcept override { return "Mpc"; }
  // "SubModel<Mpc>: {} relation(s), {} term(s) each".
  std::string label() const override;
  // The header lines, then one line per term: its signed coefficient, " · ", the
  // variable and " (dual {})".
  std::string describe(const dump::DumpOptions& options) const override;
  void encode(store::RecordWriter& w) const override;

 private:
  Fields f_;
};

}  // namespace quenlith::models
