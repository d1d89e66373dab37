// Material fields from Python lists of (name, value) tuples.
#include "py/material_field.hpp"

#include <string>
#include <utility>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "models/model/model.hpp"
#include "ops/build/material_field.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

namespace {

using containers::element_field::ElementField;
using ops::build::MaterialPair;
using Pairs = std::vector<std::pair<std::string, double>>;

constexpr Param sub_params[] = {{"sub_model"}, {"components_and_values"}};
const Signature sub_material_field_sig{
    "sub_material_field", nullptr, Receiver::None, sub_params,
    "A fresh SubElementField on the sub-model's subspace, pre-filled with the given uniform value per declared\n"
    "component: `components_and_values` is a sequence of (name, value) tuples; the kind's required\n"
    "components must all be given, its optional ones are taken when given, other names are ignored and\n"
    "the first value of a name wins. Fails for physics that need no material (Dirichlet and the other\n"
    "constraints)."};
constexpr Param model_params[] = {{"model"}, {"components_and_values"}};
const Signature material_field_sig{
    "material_field", nullptr, Receiver::None, model_params,
    "An ElementField with one zone per sub-model that needs material, in model order: the same uniform\n"
    "(component, value) pairs applied to each; sub-models that need none (Dirichlet and the other\n"
    "constraints) are skipped."};
constexpr Param per_sub_params[] = {{"model"}, {"components_and_values_per_sub_model"}};
const Signature material_field_per_sub_model_sig{
    "material_field_per_sub_model", nullptr, Receiver::None, per_sub_params,
    "An ElementField with each sub-model's own (component, value) pairs: the outer length must equal\n"
    "`model.len()`, and an empty inner list skips the matching sub-model (the usual choice for a\n"
    "Dirichlet sub-model)."};

// Each item a tuple of exactly (str, number); a list or other object is refused.
Pairs to_pairs(PyObject* obj) {
  return to_list(obj, [](PyObject* item) {
    Ref tuple = to_tuple_n(item, 2);
    std::string name = to_str(PyTuple_GET_ITEM(tuple.get(), 0));
    return std::make_pair(std::move(name), to_f64(PyTuple_GET_ITEM(tuple.get(), 1)));
  });
}

std::vector<Pairs> to_pair_lists(PyObject* obj) { return to_list(obj, to_pairs); }

std::vector<MaterialPair> views(const Pairs& pairs) {
  std::vector<MaterialPair> out;
  out.reserve(pairs.size());
  for (const auto& [name, value] : pairs) out.push_back({name, value});
  return out;
}

store::Handle<containers::element_field::SubElementField> sub_material_field(const Borrowed<SubModelClass>& sub,
                                                                             const Pairs& pairs) {
  const std::vector<MaterialPair> v = views(pairs);
  std::optional<containers::element_field::SubElementField> zone;
  {
    const store::ReadGuard<containers::model::SubModel> guard = store::read(*sub);
    zone = ops::build::build_material_field(guard->kind(), v);
  }
  return store::insert(std::move(*zone));
}

ElementField material_field(const Borrowed<ModelClass>& model, const Pairs& pairs) {
  const std::vector<MaterialPair> v = views(pairs);
  return ElementField(ops::build::material_field_for_model(model->subs(), v));
}

ElementField material_field_per_sub_model(const Borrowed<ModelClass>& model, const std::vector<Pairs>& lists) {
  std::vector<std::vector<MaterialPair>> v;
  v.reserve(lists.size());
  for (const Pairs& p : lists) v.push_back(views(p));
  return ElementField(ops::build::material_field_per_sub_model_core(model->subs(), v));
}

}  // namespace

PyMethodDef sub_material_field_def =
    function<sub_material_field_sig, sub_material_field, borrow<SubModelClass>, to_pairs>();
PyMethodDef material_field_def = function<material_field_sig, material_field, borrow<ModelClass>, to_pairs>();
PyMethodDef material_field_per_sub_model_def =
    function<material_field_per_sub_model_sig, material_field_per_sub_model, borrow<ModelClass>, to_pair_lists>();

}  // namespace quenlith::py
