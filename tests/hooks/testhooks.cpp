// _quenlith_testhooks: entry points for the Python tests only. They reach the
// binding layer's internals (argument matcher on every signature shape,
// converters, error conversion, holds, the interruption poll) without adding
// anything to the public module.
//
// This module links its own copy of the binding layer and of the core, hence its
// own store and its own copies of the classes: `coords_class()` and `mesh_class()`
// give its Coords and Mesh classes, and `swap_out` writes out objects of that class only (a Coords of
// _quenlith lives in another store and is refused as not an instance).
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <initializer_list>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/geom/locate.hpp"
#include "containers/geom/project.hpp"
#include "ops/mesher/triangulate_surface/constrain.hpp"
#include "ops/mesher/volume/tet_mesh.hpp"
#include "py/bind/class.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"
#include "store/store.hpp"
#include "store/swap_dir.hpp"

namespace quenlith::py {
namespace {

Ref bound_tuple(const BoundArgs& bound) {
  Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bound.size())));
  for (std::size_t i = 0; i < bound.size(); ++i) {
    PyObject* v = bound.has(i) ? bound[i] : Py_None;
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(v));  // steals the new reference
  }
  return out;
}

constexpr Param one_params[] = {{"a"}};
const Signature one_sig{"one", nullptr, Receiver::None, one_params, "One required parameter."};
constexpr Param required_params[] = {{"a"}, {"b"}, {"c"}};
const Signature required_sig{"required", nullptr, Receiver::None, required_params, "Three required parameters."};
constexpr Param optional_params[] = {{"a"}, {"b"}, {"n_elems"}, {"element_type", "\"SEG2\""}, {"c", "None"}};
const Signature optional_sig{"optional", nullptr, Receiver::None, optional_params, "Optional parameters."};
constexpr Param method_params[] = {{"x"}, {"y", "1"}};
const Signature method_sig{"method", "Probe", Receiver::Self, method_params, "A method's full name."};

template <const Signature& Sig>
Ref probe(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return bound_tuple(match(Sig, args, nargsf, kwnames));
}

constexpr Param convert_params[] = {{"kind"}, {"value"}};
const Signature convert_sig{"convert", nullptr, Receiver::None, convert_params, "Runs one converter."};

Ref list_of(const std::vector<std::string>& names) {
  Ref out = Ref::steal(PyList_New(0));
  for (const auto& n : names) check(PyList_Append(out.get(), from_str(n).get()));
  return out;
}

Ref convert(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(convert_sig, args, nargsf, kwnames);
  const std::string kind = arg(convert_sig, bound, 0, to_str);
  auto value = [&](auto conv) { return arg(convert_sig, bound, 1, conv); };
  if (kind == "f64") return from_f64(value(to_f64));
  if (kind == "i64") return from_i64(value(to_i64));
  if (kind == "u64") return from_u64(value(to_u64));
  if (kind == "u32") return from_u64(value(to_u32));
  if (kind == "u8") return from_u64(value(to_u8));
  if (kind == "bool") return from_bool(value(to_bool));
  if (kind == "str") return from_str(value(to_str));
  if (kind == "path") return from_str(value(to_path));
  if (kind == "f64_list") {
    Ref out = Ref::steal(PyList_New(0));
    for (double v : value(to_f64_list)) check(PyList_Append(out.get(), from_f64(v).get()));
    return out;
  }
  if (kind == "str_list") return list_of(value(to_str_list));
  if (kind == "tuple2") return value([](PyObject* o) { return to_tuple_n(o, 2); });
  if (kind == "components") return list_of(value(extract_components));
  raise_value_error("unknown converter");
}

constexpr Param error_params[] = {{"kind"}, {"text", "\"\""}};
const Signature error_sig{"core_error", nullptr, Receiver::None, error_params, "Raises a core error."};

Ref core_error(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(error_sig, args, nargsf, kwnames);
  const std::uint64_t kind = arg(error_sig, bound, 0, to_u64);
  const std::string text = bound.has(1) ? arg(error_sig, bound, 1, to_str) : std::string();
  switch (kind) {
    case 0: throw Error::io(text);
    case 1: throw Error::serialization(text);
    case 2: throw Error::stale_handle();
    case 3: throw Error::interrupted();
    case 4: throw Error::mesh_sealed();
    case 5: throw Error::message(text);
    case 6: throw Error::io_errno(static_cast<int>(text.empty() ? 2 : std::stoi(text)));
    default: raise_value_error("unknown kind");
  }
}

constexpr Param poll_params[] = {{"signum", "0"}};
const Signature poll_sig{"poll_interrupt", nullptr, Receiver::None, poll_params,
                         "Delivers signal `signum` (when not 0) as a long computation would see it, then polls."};

Ref poll_interrupt(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(poll_sig, args, nargsf, kwnames);
  const std::int64_t signum = bound.has(0) ? arg(poll_sig, bound, 0, to_i64) : 0;
  // The signal arrives while we are in C: its Python handler stays pending
  // until the poll runs it, as during a long solve.
  if (signum != 0) std::raise(static_cast<int>(signum));
  interrupt_check()();
  return Ref::borrow(Py_None);
}

constexpr Param hold_params[] = {{"first"}, {"second"}};
const Signature hold_sig{"hold_conflict", nullptr, Receiver::None, hold_params,
                         "Takes a hold of mode `first` then one of mode `second` on one object."};

Ref hold_conflict(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(hold_sig, args, nargsf, kwnames);
  const bool first_exclusive = arg(hold_sig, bound, 0, to_bool);
  const bool second_exclusive = arg(hold_sig, bound, 1, to_bool);
  ObjectBase object{};
  auto take = [&](bool exclusive, auto&& then) {
    if (exclusive) {
      ExclusiveHold h(&object);
      then();
    } else {
      SharedHold h(&object);
      then();
    }
  };
  take(first_exclusive, [&] { take(second_exclusive, [] {}); });
  // Every hold was given back: an exclusive hold is possible again.
  ExclusiveHold after(&object);
  return Ref::borrow(Py_None);
}

Ref coords_class(PyObject*) { return Ref::borrow(reinterpret_cast<PyObject*>(CoordsClass::type.get())); }
Ref mesh_class(PyObject*) { return Ref::borrow(reinterpret_cast<PyObject*>(MeshClass::type.get())); }

constexpr Param support_params[] = {{"support"}};
const Signature submesh_or_unit_sig{"submesh_or_unit", nullptr, Receiver::None, support_params,
                                    "The converter other classes use for \"a SubMesh or a unitary Mesh\"."};
Ref submesh_or_unit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(submesh_or_unit_sig, args, nargsf, kwnames);
  return to_python(Container<MeshClass>::extract_or_unit(bound[0]));
}

constexpr Param swap_out_params[] = {{"coords"}, {"directory"}};
const Signature swap_out_sig{"swap_out", nullptr, Receiver::None, swap_out_params,
                             "Writes the stored Coords of `coords` out to a file of `directory`; returns the "
                             "file's path (None when it was already out)."};

Ref swap_out(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(swap_out_sig, args, nargsf, kwnames);
  const Borrowed<CoordsClass> coords = arg(swap_out_sig, bound, 0, borrow<CoordsClass>);
  const store::Handle<containers::mesh::Coords>& handle = *coords;
  std::string directory = arg(swap_out_sig, bound, 1, to_path);
  store::set_swap_dir(std::move(directory));
  auto& coords_store = store::Store<containers::mesh::Coords>::instance();
  const bool was_out = coords_store.swap_path(handle).has_value();
  coords_store.swap_out(handle);
  if (was_out) return Ref::borrow(Py_None);
  return from_str(coords_store.swap_path(handle).value());
}

constexpr Param swapped_params[] = {{"coords"}};
const Signature swapped_sig{"swap_path", nullptr, Receiver::None, swapped_params,
                            "The swap file of the stored Coords of `coords`, or None when it is in memory."};

Ref swap_path(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(swapped_sig, args, nargsf, kwnames);
  const Borrowed<CoordsClass> coords = arg(swapped_sig, bound, 0, borrow<CoordsClass>);
  const auto path = store::Store<containers::mesh::Coords>::instance().swap_path(*coords);
  if (!path) return Ref::borrow(Py_None);
  return from_str(*path);
}

constexpr Param delaunay_params[] = {{"points"}};
const Signature delaunay_sig{"delaunay", nullptr, Receiver::None, delaunay_params,
                             "The surface mesher's unconstrained Delaunay triangulation of 2-D `points`: "
                             "the live triangles, as index triples, once the super triangle is removed."};

Ref delaunay(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(delaunay_sig, args, nargsf, kwnames);
  const auto rows = arg(delaunay_sig, bound, 0, [](PyObject* o) { return to_list(o, to_f64_list); });
  std::vector<ops::mesher::Point2> points;
  for (const auto& r : rows) {
    if (r.size() != 2) raise_value_error("delaunay: points must have 2 coordinates");
    points.push_back({r[0], r[1]});
  }
  ops::mesher::tri::Triangulation tr;
  ops::mesher::tri::start_domain(tr, points, interrupt_check());
  ops::mesher::tri::remove_super_triangle(tr);
  std::vector<ops::mesher::tri::Triple> live;
  for (const auto& t : tr.triangles)
    if (!t.dead) live.push_back(t.v);
  return list_from(live, [](const ops::mesher::tri::Triple& t) {
    return list_from(std::vector<std::uint32_t>(t.begin(), t.end()));
  });
}

// The arguments dim, nodes, types, conns and points of the geometric hooks.
struct GeomQuery {
  std::uint8_t dim;
  std::vector<std::vector<double>> nodes;
  std::vector<std::string> types;
  std::vector<std::vector<std::uint64_t>> conns;
  std::vector<std::vector<double>> points;
};

GeomQuery geom_query(const Signature& sig, const BoundArgs& bound) {
  const auto rows = [](PyObject* o) { return to_list(o, to_f64_list); };
  GeomQuery q;
  q.dim = arg(sig, bound, 0, to_u8);
  q.nodes = arg(sig, bound, 1, rows);
  q.types = arg(sig, bound, 2, to_str_list);
  q.conns = arg(sig, bound, 3, [](PyObject* o) { return to_list(o, [](PyObject* c) { return to_list(c, to_u64); }); });
  q.points = arg(sig, bound, 4, rows);
  return q;
}

// A Coords of `dim` coordinates with one node per row of `nodes`, and one submesh
// per (type name, flat connectivity) pair on it.
containers::mesh::Mesh host_mesh(const GeomQuery& q) {
  namespace mesh = containers::mesh;
  if (q.types.size() != q.conns.size()) raise_value_error("types and connectivities differ in length");
  store::Handle<mesh::Coords> coords = store::insert(mesh::Coords(q.dim));
  {
    store::WriteGuard<mesh::Coords> w = store::write(coords);
    for (const auto& p : q.nodes) w->add_node(p);
  }
  mesh::Mesh out;
  for (std::size_t s = 0; s < q.types.size(); ++s) {
    const auto t = mesh::element_type_from_name(q.types[s]);
    if (!t) raise_value_error("unknown element type");
    mesh::SubMesh sub(*t, coords);
    const std::vector<mesh::NodeId> ids(q.conns[s].begin(), q.conns[s].end());
    sub.add_cells(ids);
    out.push_sub(store::insert(std::move(sub)));
  }
  return out;
}

Ref tuple_of(std::initializer_list<Ref> items) {
  Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const Ref& r : items) PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(r.get()));
  return out;
}

constexpr Param locate_params[] = {{"dim"}, {"nodes"}, {"types"}, {"conns"}, {"points"}, {"tol", "1e-6"}};
const Signature locate_sig{"locate_points", nullptr, Receiver::None, locate_params,
                           "Locates `points` in a host built from node rows and (type, connectivity) "
                           "submeshes: per point None or (submesh, cell, xi, weights, nodes)."};

Ref locate_points(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(locate_sig, args, nargsf, kwnames);
  const GeomQuery query = geom_query(locate_sig, bound);
  const double tol = bound.has(5) ? arg(locate_sig, bound, 5, to_f64) : 1e-6;
  std::vector<std::optional<containers::geom::CellLocation>> found;
  {
    const containers::mesh::Mesh host = host_mesh(query);
    found = containers::geom::locate_points(host.subs(), query.points, tol);
  }
  return list_from(found, [](const std::optional<containers::geom::CellLocation>& l) {
    if (!l) return Ref::borrow(Py_None);
    return tuple_of({from_u64(l->submesh), from_u64(l->cell), list_from(l->xi), list_from(l->weights),
                     list_from(l->nodes)});
  });
}

constexpr Param project_params[] = {{"dim"}, {"nodes"}, {"types"}, {"conns"}, {"points"}};
const Signature project_sig{"project_points", nullptr, Receiver::None, project_params,
                            "Projects `points` onto a surface built like locate_points' host: per point "
                            "(submesh, cell, xi, weights, nodes, closest, normal, gap)."};

Ref project_points(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(project_sig, args, nargsf, kwnames);
  const GeomQuery query = geom_query(project_sig, bound);
  std::vector<containers::geom::SurfaceProjection> out;
  {
    const containers::mesh::Mesh surface = host_mesh(query);
    out = containers::geom::project_points(surface, query.points);
  }
  return list_from(out, [](const containers::geom::SurfaceProjection& p) {
    return tuple_of({from_u64(p.submesh), from_u64(p.cell), list_from(p.xi), list_from(p.weights),
                     list_from(p.nodes), list_from(p.closest), list_from(p.normal), from_f64(p.gap)});
  });
}

constexpr Param delaunay3_params[] = {{"points"}};
const Signature delaunay3_sig{"delaunay3", nullptr, Receiver::None, delaunay3_params,
                              "The volume mesher's Delaunay tetrahedralisation of 3-D `points` (ties broken as "
                              "the mesher does): the tetrahedra, as index quadruples."};

Ref delaunay3(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(delaunay3_sig, args, nargsf, kwnames);
  const auto rows = arg(delaunay3_sig, bound, 0, [](PyObject* o) { return to_list(o, to_f64_list); });
  std::vector<ops::mesher::Point3> points;
  ops::mesher::Point3 lo{0, 0, 0}, hi{0, 0, 0};
  for (const auto& r : rows) {
    if (r.size() != 3) raise_value_error("delaunay3: points must have 3 coordinates");
    const ops::mesher::Point3 p{r[0], r[1], r[2]};
    for (int d = 0; d < 3; ++d) {
      lo[d] = points.empty() ? p[d] : std::min(lo[d], p[d]);
      hi[d] = points.empty() ? p[d] : std::max(hi[d], p[d]);
    }
    points.push_back(p);
  }
  double l2 = 0.0;
  for (int d = 0; d < 3; ++d) l2 += (hi[d] - lo[d]) * (hi[d] - lo[d]);
  const double L = std::sqrt(l2);
  const ops::mesher::Point3 c{(lo[0] + hi[0]) * 0.5, (lo[1] + hi[1]) * 0.5, (lo[2] + hi[2]) * 0.5};
  const auto tets = ops::mesher::vol::delaunay_tetrahedralize(points, c, L, interrupt_check());
  return list_from(tets, [](const ops::mesher::vol::Quad& t) {
    return list_from(std::vector<std::uint32_t>(t.begin(), t.end()));
  });
}

PyMethodDef kMethods[] = {
    method_def<probe<one_sig>>("one", one_sig.doc()),
    method_def<probe<required_sig>>("required", required_sig.doc()),
    method_def<probe<optional_sig>>("optional", optional_sig.doc()),
    method_def<probe<method_sig>>("method", method_sig.doc()),
    method_def<convert>("convert", convert_sig.doc()),
    method_def<core_error>("core_error", error_sig.doc()),
    method_def<hold_conflict>("hold_conflict", hold_sig.doc()),
    method_def<poll_interrupt>("poll_interrupt", poll_sig.doc()),
    {"coords_class", noargs<coords_class>, METH_NOARGS, "This module's own copy of the Coords class."},
    {"mesh_class", noargs<mesh_class>, METH_NOARGS, "This module's own copy of the Mesh class."},
    method_def<submesh_or_unit>("submesh_or_unit", submesh_or_unit_sig.doc()),
    method_def<swap_out>("swap_out", swap_out_sig.doc()),
    method_def<swap_path>("swap_path", swapped_sig.doc()),
    method_def<delaunay>("delaunay", delaunay_sig.doc()),
    method_def<locate_points>("locate_points", locate_sig.doc()),
    method_def<project_points>("project_points", project_sig.doc()),
    method_def<delaunay3>("delaunay3", delaunay3_sig.doc()),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_quenlith_testhooks", "Test-only entry points.", 0, kMethods, kSlots,
                       nullptr, nullptr, nullptr};

}  // namespace
}  // namespace quenlith::py

PyMODINIT_FUNC PyInit__quenlith_testhooks(void) { return PyModuleDef_Init(&quenlith::py::kModule); }
