// The Python classes FiniteElementSpace, SubFiniteElementSpace and Element.
//
// Every entry converts its arguments, holds its receiver (and the objects it is
// given) shared, reads stored subspaces under read guards through the core
// operations, and builds its Python results only once every guard is released:
// freeing a Python object may take a write guard (a Node's Coords).
#include "py/finite_element_space.hpp"

#include <cstdint>
#include <optional>
#include <ranges>
#include <string>
#include <utility>
#include <vector>

#include "containers/mesh/cell.hpp"
#include "containers/mesh/node.hpp"
#include "py/container.hpp"
#include "py/convert.hpp"
#include "py/coords.hpp"
#include "py/dump_print.hpp"
#include "py/entry.hpp"
#include "py/hold.hpp"
#include "py/mesh.hpp"
#include "py/object.hpp"
#include "py/signature.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::py {

using containers::finite_element_space::ChoicePair;
using containers::finite_element_space::Element;
using containers::finite_element_space::FiniteElementSpace;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::mesh::Mesh;
using containers::mesh::Node;
using SubSpaceHandle = store::Handle<SubFiniteElementSpace>;

namespace {

struct ElementPayload {
  Element element;
};

struct FesProtocol {
  using Sub = SubFiniteElementSpace;
  using Value = FiniteElementSpace;
  static constexpr const char* kName = "FiniteElementSpace";
  static constexpr const char* kSubName = "SubFiniteElementSpace";
  static constexpr const char* kItems = "subspace(s)";
  static TypeCache& type() { return fespace_type; }
  static TypeCache& sub_type() { return sub_fespace_type; }
  static std::span<const SubSpaceHandle> items(const Value& v) noexcept { return v.subs(); }
  static Value slice(const Value& v, std::span<const std::uint64_t> indices) { return v.slice(indices); }
  static Value union_(const Value& a, const Value& b) { return FiniteElementSpace::union_(a, b); }
  static Value union_sub(const Value& a, const SubSpaceHandle& h) { return a.union_sub(h); }
  static Value sub_union(const SubSpaceHandle& a, const SubSpaceHandle& b) { return SubFiniteElementSpace::union_(a, b); }
  static void push_sub(Value& v, SubSpaceHandle h) { v.push_sub(std::move(h)); }
  static std::string display_text(const Value& v) { return v.display_text(); }
  static std::string debug_text(const Value& v) { return v.debug_text(); }
  static std::string dump_text(const Value& v, const dump::DumpOptions& o) { return v.dump_text(o); }
};
using FesContainer = Container<FesProtocol>;
using FesObject = Object<FiniteElementSpace>;
using SubFesObject = Object<SubPayload<SubFiniteElementSpace>>;
using ElementObject = Object<ElementPayload>;

FesObject* as_fes(PyObject* self) { return object_cast<FiniteElementSpace>(self); }
SubFesObject* as_sub(PyObject* self) { return object_cast<SubPayload<SubFiniteElementSpace>>(self); }
ElementObject* as_element(PyObject* self) { return object_cast<ElementPayload>(self); }
ObjectBase* base_of(PyObject* obj) { return reinterpret_cast<ObjectBase*>(obj); }

// Element views of cells [0, n) of one subspace, each on its own clone of `handle`.
Ref list_of_elements(const SubSpaceHandle& handle, std::uint64_t n) {
  return list_from(std::views::iota(std::uint64_t{0}, n), [&](std::uint64_t i) { return wrap_element(Element::unchecked(handle, i)); });
}

// ---------------------------------------------------------------------------
// FiniteElementSpace

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
const Signature fes_mesh_sig{"mesh", "FiniteElementSpace", Receiver::Self, {},
                             "`fes.mesh()` — the `Mesh` this space spans: one submesh per subspace, in\n"
                             "order (shared handles, sealed while captured). The reverse of building a\n"
                             "`FiniteElementSpace(mesh)`."};
constexpr Param fes_element_params[] = {{"sub_idx"}, {"cell_idx"}};
const Signature fes_element_sig{"element", "FiniteElementSpace", Receiver::Self, fes_element_params,
                                "`fes.element(sub_idx, cell_idx)` — Element view on a single cell.\n"
                                "Mirrors `Mesh.cell(sub_idx, cell_idx)`."};
constexpr Param fes_elements_params[] = {{"sub_idx"}};
const Signature fes_elements_sig{"elements", "FiniteElementSpace", Receiver::Self, fes_elements_params,
                                 "`fes.elements(sub_idx)` — list of every Element in subspace `sub_idx`.\n"
                                 "Mirrors `Mesh.cells(sub_idx)`."};

// The Mesh argument, held shared by the caller for the whole call.
ObjectBase* mesh_argument(const Signature& sig, const BoundArgs& bound, std::size_t i, const Mesh*& mesh) {
  mesh = &arg(sig, bound, i, [](PyObject* o) -> const Mesh& { return mesh_value(o); });
  return base_of(bound[i]);
}

PyObject* fes_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const BoundArgs bound = match_tuple(fes_new_sig, args, kwargs);
    const Mesh* mesh = nullptr;
    SharedHold hold(mesh_argument(fes_new_sig, bound, 0, mesh));
    const std::string interpolation = bound.has(1) ? arg(fes_new_sig, bound, 1, to_str) : std::string("LAGRANGE1");
    const std::string quadrature = bound.has(2) ? arg(fes_new_sig, bound, 2, to_str) : std::string("GAUSS");
    ChoicePair pair;
    try {
      pair = containers::finite_element_space::choice_pair_from_names(interpolation, quadrature);
    } catch (const Error& e) {
      raise_value_error(e.text());  // a bad name is a bad argument here
    }
    const std::vector<ChoicePair> pairs = containers::finite_element_space::repeat_choice_pair(pair, mesh->size());
    return wrap_fespace(FiniteElementSpace::from_choices(*mesh, pairs));
  });
}

Ref fes_with_choices(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(with_choices_sig, args, nargsf, kwnames);
  const Mesh* mesh = nullptr;
  SharedHold hold(mesh_argument(with_choices_sig, bound, 0, mesh));
  // The whole list is converted before any name is parsed.
  const std::vector<std::pair<std::string, std::string>> names =
      arg(with_choices_sig, bound, 1, [](PyObject* o) {
        return to_list(o, [](PyObject* item) {
          Ref tuple = to_tuple_n(item, 2);
          return std::make_pair(to_str(PyTuple_GET_ITEM(tuple.get(), 0)), to_str(PyTuple_GET_ITEM(tuple.get(), 1)));
        });
      });
  std::vector<ChoicePair> pairs;
  pairs.reserve(names.size());
  for (const auto& [interpolation, quadrature] : names)
    pairs.push_back(containers::finite_element_space::choice_pair_from_names(interpolation, quadrature));
  return wrap_fespace(FiniteElementSpace::from_choices(*mesh, pairs));
}

Ref fes_lagrange1(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(lagrange1_sig, args, nargsf, kwnames);
  const Mesh* mesh = nullptr;
  SharedHold hold(mesh_argument(lagrange1_sig, bound, 0, mesh));
  return wrap_fespace(FiniteElementSpace::lagrange1(*mesh));
}

template <class F>
auto with_fes(PyObject* self, F&& body) {
  FesObject* o = as_fes(self);
  SharedHold hold(o);
  return body(static_cast<const FiniteElementSpace&>(o->payload));
}

Ref fes_mesh(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(fes_mesh_sig, args, nargsf, kwnames);
  return wrap_mesh(with_fes(self, [](const FiniteElementSpace& f) { return f.mesh(); }));
}

Ref fes_element(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(fes_element_sig, args, nargsf, kwnames);
  const std::uint64_t s = arg(fes_element_sig, bound, 0, to_u64);
  const std::uint64_t c = arg(fes_element_sig, bound, 1, to_u64);
  return wrap_element(with_fes(self, [&](const FiniteElementSpace& f) { return Element::create(f.sub_at(s), c); }));
}

Ref fes_elements(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(fes_elements_sig, args, nargsf, kwnames);
  const std::uint64_t s = arg(fes_elements_sig, bound, 0, to_u64);
  const auto [handle, n] = with_fes(self, [&](const FiniteElementSpace& f) { return f.elements(s); });
  return list_of_elements(handle, n);
}

const PyMethodDef fes_own_methods[] = {
    method_def<fes_with_choices>("with_choices", with_choices_sig.doc(), METH_CLASS),
    method_def<fes_lagrange1>("lagrange1", lagrange1_sig.doc(), METH_CLASS),
    method_def<fes_mesh>("mesh", fes_mesh_sig.doc()),
    method_def<fes_element>("element", fes_element_sig.doc()),
    method_def<fes_elements>("elements", fes_elements_sig.doc()),
};

TypeDef fes_type_def() {
  std::vector<PyType_Slot> slots = FesContainer::slots();
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(&fes_new)});
  slots.push_back({Py_tp_methods, FesContainer::methods(fes_own_methods)});
  return {"_quenlith.FiniteElementSpace", static_cast<int>(sizeof(FesObject)), fes_new_sig.doc(), true,
          std::move(slots)};
}

// ---------------------------------------------------------------------------
// SubFiniteElementSpace

const Signature sub_doc_sig{
    "SubFiniteElementSpace", nullptr, Receiver::None, {},
    "One subspace of a `FiniteElementSpace` (the elements over one submesh with their interpolation and "
    "quadrature), from `fes[i]`; indexing it yields an `Element`."};
const Signature sub_cell_count_sig{"cell_count", "SubFiniteElementSpace", Receiver::Self, {},
                                   "Number of elements (cells) in this subspace."};
const Signature sub_gauss_count_sig{"gauss_count", "SubFiniteElementSpace", Receiver::Self, {},
                                    "Number of Gauss (quadrature) points per element."};
constexpr Param i_params[] = {{"i"}};
const Signature sub_element_sig{"element", "SubFiniteElementSpace", Receiver::Self, i_params,
                                "Element view on the `i`-th cell of this subspace."};
const Signature sub_elements_sig{"elements", "SubFiniteElementSpace", Receiver::Self, {},
                                 "All elements as a Python list."};
constexpr Param g_params[] = {{"g"}};
const Signature sub_gauss_xi_sig{"gauss_xi", "SubFiniteElementSpace", Receiver::Self, g_params,
                                 "Reference coordinates of the `g`-th Gauss point."};
const Signature sub_gauss_weight_sig{"gauss_weight", "SubFiniteElementSpace", Receiver::Self, g_params,
                                     "Weight of the `g`-th Gauss point."};
const Signature sub_n_at_g_sig{"n_at_g", "SubFiniteElementSpace", Receiver::Self, g_params,
                               "`N_i(ξ_g)` at the `g`-th Gauss point (flat, length `nodes_per_cell`)."};
const Signature sub_dn_at_g_sig{"dn_at_g", "SubFiniteElementSpace", Receiver::Self, g_params,
                                "`∂N_i/∂ξ_j(ξ_g)` at the `g`-th Gauss point.\n\nFlat row-major: index "
                                "`[i * ref_dim + j]`."};
constexpr Param cell_g_params[] = {{"cell_idx"}, {"g"}};
const Signature sub_jacobian_sig{"jacobian", "SubFiniteElementSpace", Receiver::Self, cell_g_params,
                                 "Jacobian `J = ∂x/∂ξ` of cell `cell_idx` at Gauss point `g`.\n\n"
                                 "Flat row-major buffer of length `space_dim × ref_dim`,\nindexed `[a * ref_dim + k]`."};
const Signature sub_det_jacobian_sig{"det_jacobian", "SubFiniteElementSpace", Receiver::Self, cell_g_params,
                                     "`|J|` — `|det(J)|` if `space_dim == ref_dim`, else\n`sqrt(det(JᵀJ))`. Always "
                                     "non-negative."};
const Signature sub_dn_dx_sig{"dn_dx", "SubFiniteElementSpace", Receiver::Self, cell_g_params,
                              "Physical derivatives `∂N_i/∂x_a` of cell `cell_idx` at Gauss\npoint `g`. Flat row-major "
                              "buffer of length\n`nodes_per_cell × space_dim`, indexed `[i * space_dim + a]`."};
const Signature sub_dump_sig{"dump", "SubFiniteElementSpace", Receiver::Self, dump_params, kDumpDocItem};

// Runs `body(subspace)` under a read guard, with the receiver held shared; the result
// must be a plain C++ value (Python objects are made after the guard is gone).
template <class F>
auto with_sub(PyObject* self, F&& body) {
  SubFesObject* o = as_sub(self);
  SharedHold hold(o);
  store::ReadGuard<SubFiniteElementSpace> guard = store::read(o->payload.handle);
  return body(*guard);
}

// A method of no argument or of one Gauss index, returning `convert(body(...))`.
#define QUENLITH_SUB_METHOD(fn, sig, body_expr, to_python)                                    \
  Ref fn(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {       \
    const BoundArgs bound = match(sig, args, nargsf, kwnames);                               \
    [[maybe_unused]] const std::uint64_t g = bound.size() > 0 ? arg(sig, bound, 0, to_u64) : 0; \
    return to_python(with_sub(self, [&](const SubFiniteElementSpace& s) { return body_expr; })); \
  }

QUENLITH_SUB_METHOD(sub_cell_count, sub_cell_count_sig, s.cell_count(), from_u64)
QUENLITH_SUB_METHOD(sub_gauss_count, sub_gauss_count_sig, s.gauss_count(), from_u64)
QUENLITH_SUB_METHOD(sub_gauss_xi, sub_gauss_xi_sig, s.gauss_xi(g), list_from)
QUENLITH_SUB_METHOD(sub_gauss_weight, sub_gauss_weight_sig, s.gauss_weight(g), from_f64)
QUENLITH_SUB_METHOD(sub_n_at_g, sub_n_at_g_sig, s.n_at_g(g), list_from)
QUENLITH_SUB_METHOD(sub_dn_at_g, sub_dn_at_g_sig, std::vector<double>(s.dn_at_g(g).begin(), s.dn_at_g(g).end()),
                    list_from)
#undef QUENLITH_SUB_METHOD

// jacobian, det_jacobian and dn_dx: (cell_idx, g).
#define QUENLITH_SUB_GEOMETRY(fn, sig, member, to_python)                                \
  Ref fn(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) { \
    const BoundArgs bound = match(sig, args, nargsf, kwnames);                         \
    const std::uint64_t c = arg(sig, bound, 0, to_u64);                                \
    const std::uint64_t g = arg(sig, bound, 1, to_u64);                                \
    return to_python(with_sub(self, [&](const SubFiniteElementSpace& s) { return s.member(c, g); })); \
  }

QUENLITH_SUB_GEOMETRY(sub_jacobian, sub_jacobian_sig, jacobian, list_from)
QUENLITH_SUB_GEOMETRY(sub_det_jacobian, sub_det_jacobian_sig, det_jacobian, from_f64)
QUENLITH_SUB_GEOMETRY(sub_dn_dx, sub_dn_dx_sig, dn_dx, list_from)
#undef QUENLITH_SUB_GEOMETRY

Ref sub_element(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(sub_element_sig, args, nargsf, kwnames);
  const std::uint64_t i = arg(sub_element_sig, bound, 0, to_u64);
  std::optional<Element> element;
  {
    SubFesObject* o = as_sub(self);
    SharedHold hold(o);
    element.emplace(Element::create(o->payload.handle, i));
  }
  return wrap_element(std::move(*element));
}

Ref sub_elements(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(sub_elements_sig, args, nargsf, kwnames);
  SubFesObject* o = as_sub(self);
  SharedHold hold(o);
  std::uint64_t n;
  {
    store::ReadGuard<SubFiniteElementSpace> guard = store::read(o->payload.handle);
    n = guard->cell_count();
  }
  // The submesh is sealed: every index below n stays valid.
  return list_of_elements(o->payload.handle, n);
}

Ref sub_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const dump::DumpOptions options = dump_options(sub_dump_sig, args, nargsf, kwnames);
  const std::string text = with_sub(self, [&](const SubFiniteElementSpace& s) { return s.dump_text(options); });
  dump_print(text);
  return Ref::borrow(Py_None);
}

Py_ssize_t sub_length(PyObject* self) noexcept {
  Py_ssize_t n = -1;
  guarded_status([&] {
    n = static_cast<Py_ssize_t>(with_sub(self, [](const SubFiniteElementSpace& s) { return s.cell_count(); }));
  });
  return n;
}

Ref sub_item(PyObject* self, std::int64_t idx) {
  SubFesObject* o = as_sub(self);
  std::optional<Element> element;
  {
    SharedHold hold(o);
    std::uint64_t n;
    {
      store::ReadGuard<SubFiniteElementSpace> guard = store::read(o->payload.handle);
      n = guard->cell_count();
    }
    element.emplace(Element::create(o->payload.handle, checked_position(idx, n, "subspace element")));
  }
  return wrap_element(std::move(*element));
}

PyObject* sub_subscript(PyObject* self, PyObject* key) noexcept {
  return guarded([&] {
    std::int64_t idx;
    try {
      idx = to_i64(key);
    } catch (const ErrorAlreadySet&) {
      rethrow_as_argument_error("idx");
    }
    return sub_item(self, idx);
  });
}

PyObject* sub_sq_item(PyObject* self, Py_ssize_t i) noexcept {
  return guarded([&] { return sub_item(self, i); });
}

PyObject* sub_str(PyObject* self) noexcept {
  return guarded([&] {
    return from_str(with_sub(self, [](const SubFiniteElementSpace& s) { return s.display_text(); }));
  });
}

PyObject* sub_repr(PyObject* self) noexcept {
  return guarded([&] { return from_str(with_sub(self, [](const SubFiniteElementSpace& s) { return s.debug_text(); })); });
}

PyObject* sub_get_element_type(PyObject* self, void*) noexcept {
  return guarded([&] {
    return from_str(with_sub(self, [](const SubFiniteElementSpace& s) { return containers::mesh::name(s.element_type()); }));
  });
}

PyObject* sub_get_interpolation(PyObject* self, void*) noexcept {
  return guarded([&] {
    return from_str(with_sub(self, [](const SubFiniteElementSpace& s) { return name(s.interpolation()); }));
  });
}

PyObject* sub_get_quadrature(PyObject* self, void*) noexcept {
  return guarded([&] {
    return from_str(with_sub(self, [](const SubFiniteElementSpace& s) { return name(s.quadrature()); }));
  });
}

PyObject* sub_get_ref_dim(PyObject* self, void*) noexcept {
  return guarded([&] { return from_u64(with_sub(self, [](const SubFiniteElementSpace& s) { return s.ref_dim(); })); });
}

PyObject* sub_get_space_dim(PyObject* self, void*) noexcept {
  return guarded([&] { return from_u64(with_sub(self, [](const SubFiniteElementSpace& s) { return s.space_dim(); })); });
}

PyObject* sub_get_nodes_per_cell(PyObject* self, void*) noexcept {
  return guarded(
      [&] { return from_u64(with_sub(self, [](const SubFiniteElementSpace& s) { return s.nodes_per_cell(); })); });
}

PyMethodDef sub_methods[] = {
    method_def<sub_cell_count>("cell_count", sub_cell_count_sig.doc()),
    method_def<sub_gauss_count>("gauss_count", sub_gauss_count_sig.doc()),
    method_def<sub_element>("element", sub_element_sig.doc()),
    method_def<sub_elements>("elements", sub_elements_sig.doc()),
    method_def<sub_gauss_xi>("gauss_xi", sub_gauss_xi_sig.doc()),
    method_def<sub_gauss_weight>("gauss_weight", sub_gauss_weight_sig.doc()),
    method_def<sub_n_at_g>("n_at_g", sub_n_at_g_sig.doc()),
    method_def<sub_dn_at_g>("dn_at_g", sub_dn_at_g_sig.doc()),
    method_def<sub_jacobian>("jacobian", sub_jacobian_sig.doc()),
    method_def<sub_det_jacobian>("det_jacobian", sub_det_jacobian_sig.doc()),
    method_def<sub_dn_dx>("dn_dx", sub_dn_dx_sig.doc()),
    method_def<sub_dump>("dump", sub_dump_sig.doc()),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sub_getset[] = {
    {"element_type", sub_get_element_type, nullptr, "Element type name (e.g. `\"TRI3\"`).", nullptr},
    {"interpolation", sub_get_interpolation, nullptr, "Interpolation name (e.g. `\"LAGRANGE1\"`).", nullptr},
    {"quadrature", sub_get_quadrature, nullptr, "Quadrature-rule name (e.g. `\"GAUSS\"`).", nullptr},
    {"ref_dim", sub_get_ref_dim, nullptr, "Reference (parametric) dimension of the elements.", nullptr},
    {"space_dim", sub_get_space_dim, nullptr, "Spatial dimension the elements live in.", nullptr},
    {"nodes_per_cell", sub_get_nodes_per_cell, nullptr, "Number of nodes per element.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

TypeDef sub_type_def() {
  return {"_quenlith.SubFiniteElementSpace",
          static_cast<int>(sizeof(SubFesObject)),
          sub_doc_sig.description,
          false,
          {
              {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<SubPayload<SubFiniteElementSpace>>)},
              {Py_tp_methods, sub_methods},
              {Py_tp_getset, sub_getset},
              {Py_mp_length, reinterpret_cast<void*>(&sub_length)},
              {Py_sq_length, reinterpret_cast<void*>(&sub_length)},
              {Py_mp_subscript, reinterpret_cast<void*>(&sub_subscript)},
              {Py_sq_item, reinterpret_cast<void*>(&sub_sq_item)},
              {Py_nb_or, reinterpret_cast<void*>(&FesContainer::sub_or_)},
              {Py_tp_str, reinterpret_cast<void*>(&sub_str)},
              {Py_tp_repr, reinterpret_cast<void*>(&sub_repr)},
          }};
}

// ---------------------------------------------------------------------------
// Element

const Signature element_doc_sig{
    "Element", nullptr, Receiver::None, {},
    "A read-only view of one finite element (its geometry with the interpolation and quadrature of its space), "
    "from `fes[i][j]`."};
const Signature element_cell_sig{"cell", "Element", Receiver::Self, {}, "Underlying mesh cell view."};
const Signature element_nodes_sig{"nodes", "Element", Receiver::Self, {},
                                  "Materialised nodes of this element (each refcounted on the\n"
                                  "Coords) — symmetric with `Cell.nodes()`."};
const Signature element_gauss_xi_sig{"gauss_xi", "Element", Receiver::Self, g_params,
                                     "Reference coordinates of the `g`-th Gauss point."};
const Signature element_gauss_weight_sig{"gauss_weight", "Element", Receiver::Self, g_params,
                                         "Weight of the `g`-th Gauss point."};
const Signature element_n_at_g_sig{"n_at_g", "Element", Receiver::Self, g_params,
                                   "`N_i(ξ_g)` at the `g`-th Gauss point (length `nodes_per_cell`)."};
const Signature element_dn_at_g_sig{"dn_at_g", "Element", Receiver::Self, g_params,
                                    "`∂N_i/∂ξ_j(ξ_g)` at the `g`-th Gauss point.\n\nFlat row-major: index "
                                    "`[i * ref_dim + j]`."};
const Signature element_jacobian_sig{"jacobian", "Element", Receiver::Self, g_params,
                                     "Jacobian `J = ∂x/∂ξ` at the `g`-th Gauss point."};
const Signature element_det_jacobian_sig{"det_jacobian", "Element", Receiver::Self, g_params,
                                         "`|J|` at the `g`-th Gauss point."};
const Signature element_dn_dx_sig{"dn_dx", "Element", Receiver::Self, g_params,
                                  "Physical derivatives `∂N_i/∂x_a` at the `g`-th Gauss point."};
const Signature element_dump_sig{"dump", "Element", Receiver::Self, dump_params, kDumpDocItem};

template <class F>
auto with_element(PyObject* self, F&& body) {
  ElementObject* o = as_element(self);
  SharedHold hold(o);
  return body(static_cast<const Element&>(o->payload.element));
}

#define QUENLITH_ELEMENT_G_METHOD(fn, sig, member, to_python)                            \
  Ref fn(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) { \
    const BoundArgs bound = match(sig, args, nargsf, kwnames);                         \
    const std::uint64_t g = arg(sig, bound, 0, to_u64);                                \
    return to_python(with_element(self, [&](const Element& e) { return e.member(g); })); \
  }

QUENLITH_ELEMENT_G_METHOD(element_gauss_xi, element_gauss_xi_sig, gauss_xi, list_from)
QUENLITH_ELEMENT_G_METHOD(element_gauss_weight, element_gauss_weight_sig, gauss_weight, from_f64)
QUENLITH_ELEMENT_G_METHOD(element_n_at_g, element_n_at_g_sig, n_at_g, list_from)
QUENLITH_ELEMENT_G_METHOD(element_dn_at_g, element_dn_at_g_sig, dn_at_g, list_from)
QUENLITH_ELEMENT_G_METHOD(element_jacobian, element_jacobian_sig, jacobian, list_from)
QUENLITH_ELEMENT_G_METHOD(element_det_jacobian, element_det_jacobian_sig, det_jacobian, from_f64)
QUENLITH_ELEMENT_G_METHOD(element_dn_dx, element_dn_dx_sig, dn_dx, list_from)
#undef QUENLITH_ELEMENT_G_METHOD

Ref element_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(element_cell_sig, args, nargsf, kwnames);
  return wrap_cell(with_element(self, [](const Element& e) { return e.cell(); }));
}

Ref element_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(element_nodes_sig, args, nargsf, kwnames);
  std::vector<Node> nodes = with_element(self, [](const Element& e) { return e.cell().nodes(); });
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
  for (std::size_t i = 0; i < nodes.size(); ++i)
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), wrap_node(std::move(nodes[i])).release());  // steals
  return out;
}

Ref element_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const dump::DumpOptions options = dump_options(element_dump_sig, args, nargsf, kwnames);
  const std::string text = with_element(self, [&](const Element& e) { return e.dump_text(options); });
  dump_print(text);
  return Ref::borrow(Py_None);
}

PyObject* element_str(PyObject* self) noexcept {
  return guarded([&] { return from_str(with_element(self, [](const Element& e) { return e.display_text(); })); });
}

PyObject* element_repr(PyObject* self) noexcept {
  return guarded([&] { return from_str(with_element(self, [](const Element& e) { return e.debug_text(); })); });
}

PyObject* element_get_index(PyObject* self, void*) noexcept {
  return guarded([&] { return from_u64(with_element(self, [](const Element& e) { return e.index(); })); });
}

PyObject* element_get_ref_dim(PyObject* self, void*) noexcept {
  return guarded([&] { return from_u64(with_element(self, [](const Element& e) { return e.ref_dim(); })); });
}

PyObject* element_get_space_dim(PyObject* self, void*) noexcept {
  return guarded([&] { return from_u64(with_element(self, [](const Element& e) { return e.space_dim(); })); });
}

PyObject* element_get_nodes_per_cell(PyObject* self, void*) noexcept {
  return guarded([&] { return from_u64(with_element(self, [](const Element& e) { return e.nodes_per_cell(); })); });
}

PyObject* element_get_gauss_count(PyObject* self, void*) noexcept {
  return guarded([&] { return from_u64(with_element(self, [](const Element& e) { return e.gauss_count(); })); });
}

PyMethodDef element_methods[] = {
    method_def<element_cell>("cell", element_cell_sig.doc()),
    method_def<element_nodes>("nodes", element_nodes_sig.doc()),
    method_def<element_gauss_xi>("gauss_xi", element_gauss_xi_sig.doc()),
    method_def<element_gauss_weight>("gauss_weight", element_gauss_weight_sig.doc()),
    method_def<element_n_at_g>("n_at_g", element_n_at_g_sig.doc()),
    method_def<element_dn_at_g>("dn_at_g", element_dn_at_g_sig.doc()),
    method_def<element_jacobian>("jacobian", element_jacobian_sig.doc()),
    method_def<element_det_jacobian>("det_jacobian", element_det_jacobian_sig.doc()),
    method_def<element_dn_dx>("dn_dx", element_dn_dx_sig.doc()),
    method_def<element_dump>("dump", element_dump_sig.doc()),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef element_getset[] = {
    {"index", element_get_index, nullptr, "Index of this element within its subspace.", nullptr},
    {"nodes_per_cell", element_get_nodes_per_cell, nullptr, "Number of nodes of this element.", nullptr},
    {"space_dim", element_get_space_dim, nullptr, "Spatial dimension the element lives in.", nullptr},
    {"ref_dim", element_get_ref_dim, nullptr, "Reference (parametric) dimension of the element.", nullptr},
    {"gauss_count", element_get_gauss_count, nullptr, "Number of Gauss (quadrature) points.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

TypeDef element_type_def() {
  return {"_quenlith.Element",
          static_cast<int>(sizeof(ElementObject)),
          element_doc_sig.description,
          false,
          {
              {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<ElementPayload>)},
              {Py_tp_methods, element_methods},
              {Py_tp_getset, element_getset},
              {Py_tp_str, reinterpret_cast<void*>(&element_str)},
              {Py_tp_repr, reinterpret_cast<void*>(&element_repr)},
          }};
}

}  // namespace

TypeCache fespace_type{&fes_type_def};
TypeCache sub_fespace_type{&sub_type_def};
TypeCache element_view_type{&element_type_def};

Ref wrap_fespace(FiniteElementSpace space) { return FesContainer::wrap_value(std::move(space)); }

Ref wrap_sub_fespace(SubSpaceHandle handle) { return FesContainer::wrap_sub(std::move(handle)); }

Ref wrap_element(Element element) { return wrap<ElementPayload>(element_view_type, ElementPayload{std::move(element)}); }

const FiniteElementSpace& fespace_value(PyObject* obj) {
  return instance<FiniteElementSpace>(obj, fespace_type, "FiniteElementSpace")->payload;
}

const SubSpaceHandle& sub_fespace_handle(PyObject* obj) {
  return instance<SubPayload<SubFiniteElementSpace>>(obj, sub_fespace_type, "SubFiniteElementSpace")->payload.handle;
}

SubSpaceHandle sub_fespace_extract_or_unit(PyObject* obj) { return FesContainer::extract_or_unit(obj); }

}  // namespace quenlith::py
