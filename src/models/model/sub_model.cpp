#include "models/model/sub_model.hpp"

#include "containers/element_field/sub_element_field.hpp"
#include "containers/matrix/erased_handle.hpp"
#include "dump/debug_text.hpp"
#include "models/mod/registry.hpp"
#include "store/record_writer.hpp"

namespace quenlith::containers::model {

namespace {

// A computed matrix block names its sub-model and its material and state zones
// through erased handles; reading such a block back from its swap file needs the
// readers of both types. Every program that stores a sub-model links this file.
const bool kRecipeTypesRegistered = [] {
  matrix::ErasedHandle::register_type<SubModel>();
  matrix::ErasedHandle::register_type<element_field::SubElementField>();
  return true;
}();

}  // namespace

std::string SubModel::debug_text() const {
  const std::string physics =
      dump::debug_list_of(kind_->physics(), [](models::Physics p) { return models::debug_name(p); });
  return dump::DebugRecord("SubModel").field("kind", dump::debug_quoted(kind_->name())).field("physics", physics).finish();
}

void SubModel::encode(store::RecordWriter& w) const {
  (void)kRecipeTypesRegistered;
  w.write_variant(kind_->variant_index());
  kind_->encode(w);
}

SubModel SubModel::decode(store::RecordReader& r) { return SubModel(models::decode_kind(r)); }

}  // namespace quenlith::containers::model
