// The Python class FiniteElementSpace: a container of subspace handles.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "containers/finite_element_space/element.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/mesh/mesh.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::finite_element_space::ChoicePair;
using containers::finite_element_space::Element;
using containers::finite_element_space::FiniteElementSpace;
using containers::mesh::Mesh;

namespace {

using MeshArg = Borrowed<MeshClass>;

constexpr Param fes_new_params[] = {{"mesh"}, {"interpolation", "\"LAGRANGE1\""}, {"quadrature", "\"GAUSS\""}};
const Signature fes_new_sig{
    "__new__", "FiniteElementSpace", Receiver::Constructor, fes_new_params,
    "The discretisation of a mesh, one subspace per submesh, each with an interpolation and a quadrature rule; "
    "`.with_choices(...)` chooses them per submesh."};
constexpr Param with_choices_params[] = {{"mesh"}, {"choices"}};
const Signature with_choices_sig{"with_choices", "FiniteElementSpace", Receiver::Cls, with_choices_params,
                                 "Explicit `(interpolation, quadrature)` per submesh."};
constexpr Param mesh_params[] = {{"mesh"}};
const Signature lagrange1_sig{"lagrange1", "FiniteElementSpace", Receiver::Cls, mesh_params,
                              "Convenience: same as `FiniteElementSpace(mesh)`."};
const Signature mesh_sig{"mesh", "FiniteElementSpace", Receiver::Self, {},
                         "`fes.mesh()` — the `Mesh` this space spans: one submesh per subspace, in\n"
                         "order (shared handles, sealed while captured). The reverse of building a\n"
                         "`FiniteElementSpace(mesh)`."};
constexpr Param element_params[] = {{"sub_idx"}, {"cell_idx"}};
const Signature element_sig{"element", "FiniteElementSpace", Receiver::Self, element_params,
                            "`fes.element(sub_idx, cell_idx)` — Element view on a single cell.\n"
                            "Mirrors `Mesh.cell(sub_idx, cell_idx)`."};
constexpr Param elements_params[] = {{"sub_idx"}};
const Signature elements_sig{"elements", "FiniteElementSpace", Receiver::Self, elements_params,
                             "`fes.elements(sub_idx)` — list of every Element in subspace `sub_idx`.\n"
                             "Mirrors `Mesh.cells(sub_idx)`."};

FiniteElementSpace make_space(const MeshArg& mesh, const std::optional<std::string>& interpolation,
                              const std::optional<std::string>& quadrature) {
  ChoicePair pair;
  try {
    pair = containers::finite_element_space::choice_pair_from_names(interpolation.value_or("LAGRANGE1"),
                                                                    quadrature.value_or("GAUSS"));
  } catch (const Error& e) {
    raise_value_error(e.text());  // a bad name is a bad argument here
  }
  const std::vector<ChoicePair> pairs = containers::finite_element_space::repeat_choice_pair(pair, mesh->size());
  return FiniteElementSpace::from_choices(*mesh, pairs);
}

using NamePairs = std::vector<std::pair<std::string, std::string>>;

// The whole list is converted before any name is parsed.
NamePairs to_name_pairs(PyObject* obj) {
  return to_list(obj, [](PyObject* item) {
    Ref tuple = to_tuple_n(item, 2);
    return std::make_pair(to_str(PyTuple_GET_ITEM(tuple.get(), 0)), to_str(PyTuple_GET_ITEM(tuple.get(), 1)));
  });
}

FiniteElementSpace with_choices(const MeshArg& mesh, const NamePairs& names) {
  std::vector<ChoicePair> pairs;
  pairs.reserve(names.size());
  for (const auto& [interpolation, quadrature] : names)
    pairs.push_back(containers::finite_element_space::choice_pair_from_names(interpolation, quadrature));
  return FiniteElementSpace::from_choices(*mesh, pairs);
}

FiniteElementSpace lagrange1(const MeshArg& mesh) { return FiniteElementSpace::lagrange1(*mesh); }

Element element(const FiniteElementSpace& space, std::uint64_t sub_idx, std::uint64_t cell_idx) {
  return Element::create(space.sub_at(sub_idx), cell_idx);
}

std::vector<Element> elements(const FiniteElementSpace& space, std::uint64_t sub_idx) {
  const auto [handle, n] = space.elements(sub_idx);
  return Element::first_n(handle, n);
}

TypeDef fes_type_def() {
  static const PyMethodDef methods[] = {
      function<with_choices_sig, with_choices, borrow<MeshClass>, to_name_pairs>(METH_CLASS),
      function<lagrange1_sig, lagrange1, borrow<MeshClass>>(METH_CLASS),
      method<FiniteElementSpaceClass, mesh_sig, &FiniteElementSpace::mesh>(),
      method<FiniteElementSpaceClass, element_sig, element, to_u64, to_u64>(),
      method<FiniteElementSpaceClass, elements_sig, elements, to_u64>(),
  };
  return Container<FiniteElementSpaceClass>::def(
      "_quenlith.FiniteElementSpace", fes_new_sig, methods,
      {{constructor<FiniteElementSpaceClass, fes_new_sig, make_space, borrow<MeshClass>, opt<to_str>, opt<to_str>>()}});
}

}  // namespace

TypeCache FiniteElementSpaceClass::type{&fes_type_def};

}  // namespace quenlith::py
