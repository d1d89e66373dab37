#pragma once
// ComputedRecipe: what a computed block is made of. The assembly evaluates it with
// the element kernels; the block itself only carries it, owns its handles and writes
// it to its swap record.
//
// Fields (also the record order): the sub-model whose kernel computes the block, the
// subspaces whose cells are integrated, the optional material zone, the operator
// kind, and the optional state zone (stress of a geometric operator, behaviour state
// of a tangent one). The sub-model and the zones are stored objects of other
// families, held as erased handles (see erased_handle.hpp).
#include <optional>
#include <vector>

#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/matrix/dof.hpp"
#include "containers/matrix/erased_handle.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::matrix {

struct ComputedRecipe {
  ErasedHandle submodel;
  std::vector<store::Handle<finite_element_space::SubFiniteElementSpace>> fespaces;
  std::optional<ErasedHandle> material;
  OperatorKind kind = OperatorKind::Stiffness;
  std::optional<ErasedHandle> state;

  void encode(store::RecordWriter& w) const;
  static ComputedRecipe decode(store::RecordReader& r);
};

}  // namespace quenlith::containers::matrix
