#include "models/kernel/integrate_behavior.hpp"

#include <string>
#include <vector>

#include "models/model/model.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::models::kernel {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::model::SubModel;

ElementField integrate_behavior_core(std::span<const store::Handle<SubModel>> sub_models,
                                     const ElementField& deformation, const ElementField* prev,
                                     const ElementField& materials, std::optional<double> dt) {
  ElementField out;
  for (const store::Handle<SubModel>& sub_handle : sub_models) {
    SpaceHandle behaviour_space, material_space;
    std::vector<std::string> required;
    {
      const store::ReadGuard<SubModel> sub = store::read(sub_handle);
      const Behaviour* beh = sub->kind().behaviour();
      if (!beh) continue;
      behaviour_space = beh->behaviour_fespace();
      material_space = beh->material_fespace();
      const auto names = beh->material_components();
      required.assign(names.begin(), names.end());
    }
    const ZoneHandle strain = deformation.sub_for_fespace(behaviour_space);
    std::optional<ZoneHandle> previous;
    if (prev) previous = prev->sub_for_fespace(behaviour_space);
    const ZoneHandle material = materials.sub_for_fespace_components(material_space, required);
    std::optional<SubElementField> zone;
    {
      const store::ReadGuard<SubModel> sub = store::read(sub_handle);
      zone.emplace(containers::model::sub_model_integrate_behavior(*sub, strain, previous, material, dt));
    }
    out.push_sub(store::insert(std::move(*zone)));
  }
  return out;
}

}  // namespace quenlith::models::kernel
