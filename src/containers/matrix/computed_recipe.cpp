#include "containers/matrix/computed_recipe.hpp"

#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/stored_type.hpp"

namespace quenlith::containers::matrix {

void ComputedRecipe::encode(store::RecordWriter& w) const {
  submodel.encode(w);
  w.write_list(fespaces, [](store::RecordWriter& out, const auto& h) { out.write_handle(h); });
  w.write_optional(material, [](store::RecordWriter& out, const ErasedHandle& h) { h.encode(out); });
  w.write_variant(static_cast<std::uint32_t>(kind));
  w.write_optional(state, [](store::RecordWriter& out, const ErasedHandle& h) { h.encode(out); });
}

ComputedRecipe ComputedRecipe::decode(store::RecordReader& r) {
  ComputedRecipe recipe;
  recipe.submodel = ErasedHandle::read(r, store::type_path::sub_model);
  recipe.fespaces = r.read_list(
      [](store::RecordReader& in) { return in.read_handle<finite_element_space::SubFiniteElementSpace>(); });
  recipe.material = r.read_optional(
      [](store::RecordReader& in) { return ErasedHandle::read(in, store::type_path::sub_element_field); });
  recipe.kind = static_cast<OperatorKind>(r.read_variant(kOperatorKindCount));
  recipe.state = r.read_optional(
      [](store::RecordReader& in) { return ErasedHandle::read(in, store::type_path::sub_element_field); });
  return recipe;
}

}  // namespace quenlith::containers::matrix
