// The Python class ElementField: an ordered list of element-field zones.
#include <string>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "ops/field/mask.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"
#include "py/field_common.hpp"

namespace quenlith::py {

using containers::element_field::ElementField;

namespace {

constexpr Param new_params[] = {{"fespace"}, {"components"}};
const Signature new_sig{
    "__new__", "ElementField", Receiver::Constructor, new_params,
    "Per-element values (such as material properties), one block per finite-element zone: a zone of\n"
    "values per cell, Gauss point and component for every subspace of `fespace`. Built with the\n"
    "constructor or the material-field builders, indexed with `field[i]` to reach a `SubElementField`,\n"
    "and composed with `|`."};
constexpr Param per_subspace_params[] = {{"fespace"}, {"components_per_subspace"}};
const Signature per_subspace_sig{
    "with_components_per_subspace", "ElementField", Receiver::Cls, per_subspace_params,
    "A field with one zone of zeros per subspace of `fespace`, zone i carrying the names of list i."};
const Signature components_sig{"components", "ElementField", Receiver::Self, {},
                               "The union of the zones' component names, in first-seen order."};

ElementField make_field(const Borrowed<FiniteElementSpaceClass>& space, const std::vector<std::string>& components) {
  return ElementField::create(*space, components);
}

std::vector<std::vector<std::string>> to_name_lists(PyObject* obj) { return to_list(obj, to_str_list); }

ElementField with_components_per_subspace(const Borrowed<FiniteElementSpaceClass>& space,
                                          const std::vector<std::vector<std::string>>& components) {
  return ElementField::with_components_per_subspace(*space, components);
}

std::vector<std::string> components(const ElementField& f) { return f.components(); }

ElementField compare(const ElementField& f, const containers::field::ValueBand& band) {
  return ops::field::mask_element_field(f, band, std::nullopt);
}

TypeDef element_field_type_def() {
  using C = ElementFieldClass;
  static const PyMethodDef methods[] = {
      function<per_subspace_sig, with_components_per_subspace, borrow<FiniteElementSpaceClass>, to_name_lists>(
          METH_CLASS),
      method<C, components_sig, components>(),
  };
  static std::vector<PyMethodDef> table;
  method_table(methods, FieldComponentMethods<C>::defs(), table);
  return with_field_subscript(
      Container<C>::def(
          "_quenlith.ElementField", new_sig, table,
          {{constructor<C, new_sig, make_field, borrow<FiniteElementSpaceClass>, to_str_list>(),
            {Py_tp_richcompare, reinterpret_cast<void*>(&field_richcompare<C, compare>)},
            {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)}},
           FieldArithmetic<C>::slots()}),
      &field_subscript<C>);
}

}  // namespace

std::string ElementFieldClass::dump_text(const Payload& field, const dump::DumpOptions& options) {
  return field_dump_text(field, options);
}

TypeCache ElementFieldClass::type{&element_field_type_def};

}  // namespace quenlith::py
