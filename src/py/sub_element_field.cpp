// The Python class SubElementField: one handle on a stored element-field zone, a
// view shared by every holder of that zone.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/element_field/sub_element_field.hpp"
#include "ops/field/mask.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"
#include "py/field_common.hpp"

namespace quenlith::py {

using containers::element_field::SubElementField;
using ZoneHandle = store::Handle<SubElementField>;

namespace {

const Signature zone_doc_sig{
    "SubElementField", nullptr, Receiver::None, {},
    "A view into one zone of an `ElementField` (values per cell, Gauss point and component on one\n"
    "finite-element subspace), obtained by indexing the field; never constructed directly. Fields are\n"
    "built at the parent level and composed with `|`; writes through a view are seen by every holder."};
const Signature cell_count_sig{"cell_count", "SubElementField", Receiver::Self, {}, "Number of cells of this zone."};
const Signature gauss_count_sig{"gauss_count", "SubElementField", Receiver::Self, {}, "Gauss points per cell."};
const Signature component_count_sig{"component_count", "SubElementField", Receiver::Self, {},
                                    "Number of components of this zone."};
const Signature components_sig{"components", "SubElementField", Receiver::Self, {},
                               "Component names of this zone, in order."};
constexpr Param name_params[] = {{"name"}};
const Signature component_index_sig{"component_index", "SubElementField", Receiver::Self, name_params,
                                    "Position of the component `name`, or None when the zone lacks it."};
constexpr Param get_params[] = {{"cell"}, {"gauss"}, {"comp"}};
const Signature get_sig{"get", "SubElementField", Receiver::Self, get_params,
                        "The value at `cell`, Gauss point `gauss` and component position `comp`."};
constexpr Param set_params[] = {{"cell"}, {"gauss"}, {"comp"}, {"value"}};
const Signature set_sig{"set", "SubElementField", Receiver::Self, set_params,
                        "Write the value at `cell`, Gauss point `gauss` and component position `comp`."};
constexpr Param value_params[] = {{"cell"}, {"gauss"}, {"component"}};
const Signature value_sig{"value", "SubElementField", Receiver::Self, value_params,
                          "The value at `cell` and Gauss point `gauss` of the component named `component`."};
constexpr Param set_value_params[] = {{"cell"}, {"gauss"}, {"component"}, {"value"}};
const Signature set_value_sig{"set_value", "SubElementField", Receiver::Self, set_value_params,
                              "Write the value at `cell` and Gauss point `gauss` of the component named `component`."};
constexpr Param point_params[] = {{"cell"}, {"gauss"}};
const Signature point_values_sig{"point_values", "SubElementField", Receiver::Self, point_params,
                                 "Every component's value at `cell` and Gauss point `gauss`, in component order."};
constexpr Param uniform_params[] = {{"component"}, {"value"}};
const Signature set_uniform_sig{"set_uniform", "SubElementField", Receiver::Self, uniform_params,
                                "Give the component `value` at every point of the zone."};
constexpr Param cell_uniform_params[] = {{"cell"}, {"component"}, {"value"}};
const Signature set_cell_uniform_sig{"set_cell_uniform", "SubElementField", Receiver::Self, cell_uniform_params,
                                     "Give the component `value` at every Gauss point of `cell`."};

std::uint64_t cell_count(const SubElementField& z) { return z.cell_count(); }
std::uint64_t gauss_count(const SubElementField& z) { return z.gauss_count(); }
std::uint64_t component_count(const SubElementField& z) { return z.component_count(); }
std::vector<std::string> components(const SubElementField& z) {
  return {z.components().begin(), z.components().end()};
}
std::optional<std::uint64_t> component_index(const SubElementField& z, const std::string& name) {
  return z.component_index(name);
}
double get(const SubElementField& z, std::uint64_t cell, std::uint64_t gauss, std::uint64_t comp) {
  return z.get(cell, gauss, comp);
}
void set(SubElementField& z, std::uint64_t cell, std::uint64_t gauss, std::uint64_t comp, double v) {
  z.set(cell, gauss, comp, v);
}
double value(const SubElementField& z, std::uint64_t cell, std::uint64_t gauss, const std::string& component) {
  return z.value(cell, gauss, component);
}
void set_value(SubElementField& z, std::uint64_t cell, std::uint64_t gauss, const std::string& component, double v) {
  z.set_value(cell, gauss, component, v);
}
std::vector<double> point_values(const SubElementField& z, std::uint64_t cell, std::uint64_t gauss) {
  return z.point_values(cell, gauss);
}
void set_uniform(SubElementField& z, const std::string& component, double v) { z.set_uniform(component, v); }
void set_cell_uniform(SubElementField& z, std::uint64_t cell, const std::string& component, double v) {
  z.set_cell_uniform(cell, component, v);
}

// A (cell, gauss, name) key, or nothing when `key` is not a tuple of three items
// that convert so; a failed conversion is dropped without error.
struct PointKey {
  std::uint64_t cell, gauss;
  std::string component;
};
std::optional<PointKey> point_key(PyObject* key) {
  if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 3) return std::nullopt;
  try {
    PointKey k{to_u64(PyTuple_GET_ITEM(key, 0)), to_u64(PyTuple_GET_ITEM(key, 1)), to_str(PyTuple_GET_ITEM(key, 2))};
    return k;
  } catch (const ErrorAlreadySet&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

// zone[key]: (cell, gauss, name) reads one value (a core error there is a
// ValueError); any other key names components and selects them into a new zone.
PyObject* subscript(PyObject* self, PyObject* key) noexcept {
  return guarded([&]() -> Ref {
    if (const std::optional<PointKey> k = point_key(key)) {
      const Borrowed<SubElementFieldClass> zone = Borrowed<SubElementFieldClass>::receiver(self);
      store::ReadGuard<SubElementField> guard = store::read(*zone);
      double v;
      try {
        v = guard->value(k->cell, k->gauss, k->component);
      } catch (const Error& e) {
        raise(PyExc_ValueError, e.text());
      }
      return to_python(v);
    }
    const std::vector<std::string> names = extract_components(key);
    const Borrowed<SubElementFieldClass> zone = Borrowed<SubElementFieldClass>::receiver(self);
    return to_python(
        store::insert(read_value(*zone, [&](const SubElementField& z) { return z.select_components(names); })));
  });
}

// The key of item assignment.
PointKey assigned_key(PyObject* key) {
  Ref triple = to_tuple_n(key, 3);
  return {to_u64(PyTuple_GET_ITEM(triple.get(), 0)), to_u64(PyTuple_GET_ITEM(triple.get(), 1)),
          to_str(PyTuple_GET_ITEM(triple.get(), 2))};
}
void assign(SubElementField& z, const PointKey& k, double v) { z.set_value(k.cell, k.gauss, k.component, v); }

// zone < x and the like: a new zone.
ZoneHandle compare(const ZoneHandle& zone, const containers::field::ValueBand& band) {
  return store::insert(read_value(
      zone, [&](const SubElementField& z) { return ops::field::mask_sub_element_field(z, band, std::nullopt); }));
}

TypeDef sub_element_field_type_def() {
  using C = SubElementFieldClass;
  using K = Class<C>;
  static PyMethodDef methods[] = {
      method<C, cell_count_sig, cell_count>(),
      method<C, gauss_count_sig, gauss_count>(),
      method<C, component_count_sig, component_count>(),
      method<C, components_sig, components>(),
      method<C, component_index_sig, component_index, to_str>(),
      method<C, get_sig, get, to_u64, to_u64, to_u64>(),
      method<C, set_sig, set, to_u64, to_u64, to_u64, to_f64>(),
      method<C, value_sig, value, to_u64, to_u64, to_str>(),
      method<C, set_value_sig, set_value, to_u64, to_u64, to_str, to_f64>(),
      method<C, point_values_sig, point_values, to_u64, to_u64>(),
      method<C, set_uniform_sig, set_uniform, to_str, to_f64>(),
      method<C, set_cell_uniform_sig, set_cell_uniform, to_u64, to_str, to_f64>(),
      K::dump(),
  };
  static std::vector<PyMethodDef> table;
  return K::def("_quenlith.SubElementField", zone_doc_sig,
                method_table(methods, FieldComponentMethods<C>::defs(), table), nullptr,
                {zone_slots<C, &subscript, assigned_key, assign, compare>(),
                 Container<ElementFieldClass>::sub_or_slot(), FieldArithmetic<C>::slots()});
}

}  // namespace

TypeCache SubElementFieldClass::type{&sub_element_field_type_def};

}  // namespace quenlith::py
