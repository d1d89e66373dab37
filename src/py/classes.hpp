#pragma once
// The module's Python classes, declared once: what each object holds, its name in
// texts, and its type. A class file defines its own type and reaches any other
// class through these declarations alone (`to_python(node)` makes a Node,
// `borrow<MeshClass>` takes a Mesh argument), so class files never include each
// other. How a class is built: py/bind/class.hpp.
#include <Python.h>

#include <string>

#include "dump/dump_options.hpp"
#include "py/bind/class_of.hpp"
#include "py/bind/type.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::mesh {
class Coords;
class Node;
class SubMesh;
class Mesh;
class Cell;
}  // namespace quenlith::containers::mesh

namespace quenlith::containers::node_field {
class SubNodeField;
class NodeField;
}  // namespace quenlith::containers::node_field

namespace quenlith::containers::element_field {
class SubElementField;
class ElementField;
}  // namespace quenlith::containers::element_field

namespace quenlith::containers::finite_element_space {
class SubFiniteElementSpace;
class FiniteElementSpace;
class Element;
}  // namespace quenlith::containers::finite_element_space

namespace quenlith::containers::matrix {
class SubMatrix;
class Matrix;
}  // namespace quenlith::containers::matrix

namespace quenlith::containers::model {
class SubModel;
class Model;
}  // namespace quenlith::containers::model

namespace quenlith::containers::evolution {
class SubEvolution;
class Evolution;
}  // namespace quenlith::containers::evolution

namespace quenlith::py {

// One counted handle on a stored Coords.
struct CoordsClass {
  using Payload = store::Handle<containers::mesh::Coords>;
  static constexpr const char* kName = "Coords";
  static TypeCache type;
};

// One core Node: a Coords handle, an id and, normally, one reference on the node.
struct NodeClass {
  using Payload = containers::mesh::Node;
  static constexpr const char* kName = "Node";
  static TypeCache type;
};

struct SubMeshClass {
  using Payload = store::Handle<containers::mesh::SubMesh>;
  static constexpr const char* kName = "SubMesh";
  static TypeCache type;
};

struct MeshClass {
  using Payload = containers::mesh::Mesh;
  using SubClass = SubMeshClass;
  static constexpr const char* kName = "Mesh";
  static TypeCache type;
};

// A view of one cell of a submesh.
struct CellClass {
  using Payload = containers::mesh::Cell;
  static constexpr const char* kName = "Cell";
  static TypeCache type;
  // Refuses a precision the number formatter cannot honour before dumping.
  static std::string dump_text(const Payload& cell, const dump::DumpOptions& options);
};

// One handle on a stored node-field zone.
struct SubNodeFieldClass {
  using Payload = store::Handle<containers::node_field::SubNodeField>;
  static constexpr const char* kName = "SubNodeField";
  static TypeCache type;
};

struct NodeFieldClass {
  using Payload = containers::node_field::NodeField;
  using SubClass = SubNodeFieldClass;
  static constexpr const char* kName = "NodeField";
  static TypeCache type;
  // Refuses a precision the number formatter cannot honour before dumping.
  static std::string dump_text(const Payload& field, const dump::DumpOptions& options);
};

struct SubFiniteElementSpaceClass {
  using Payload = store::Handle<containers::finite_element_space::SubFiniteElementSpace>;
  static constexpr const char* kName = "SubFiniteElementSpace";
  static TypeCache type;
};

struct FiniteElementSpaceClass {
  using Payload = containers::finite_element_space::FiniteElementSpace;
  using SubClass = SubFiniteElementSpaceClass;
  static constexpr const char* kName = "FiniteElementSpace";
  static TypeCache type;
};

// A view of one element (cell) of a subspace.
struct ElementClass {
  using Payload = containers::finite_element_space::Element;
  static constexpr const char* kName = "Element";
  static TypeCache type;
};

// One handle on a stored element-field zone.
struct SubElementFieldClass {
  using Payload = store::Handle<containers::element_field::SubElementField>;
  static constexpr const char* kName = "SubElementField";
  static TypeCache type;
};

struct ElementFieldClass {
  using Payload = containers::element_field::ElementField;
  using SubClass = SubElementFieldClass;
  static constexpr const char* kName = "ElementField";
  static TypeCache type;
  // Refuses a precision the number formatter cannot honour before dumping.
  static std::string dump_text(const Payload& field, const dump::DumpOptions& options);
};

// One counted handle on a stored matrix block.
struct SubMatrixClass {
  using Payload = store::Handle<containers::matrix::SubMatrix>;
  static constexpr const char* kName = "SubMatrix";
  static TypeCache type;
  // Refuses a precision the number formatter cannot honour before reading the block.
  static std::string dump_text(const Payload& block, const dump::DumpOptions& options);
};

// A global matrix: its blocks, finalized form and solver cache.
struct MatrixClass {
  using Payload = containers::matrix::Matrix;
  using SubClass = SubMatrixClass;
  static constexpr const char* kName = "Matrix";
  static TypeCache type;
  static std::string dump_text(const Payload& matrix, const dump::DumpOptions& options);
};

// One handle on a stored sub-model (a read-only view).
struct SubModelClass {
  using Payload = store::Handle<containers::model::SubModel>;
  static constexpr const char* kName = "SubModel";
  static TypeCache type;
};

// A physics problem: its sub-models and assembly patterns.
struct ModelClass {
  using Payload = containers::model::Model;
  using SubClass = SubModelClass;
  static constexpr const char* kName = "Model";
  static TypeCache type;
};

// One counted handle on a stored curve.
struct SubEvolutionClass {
  using Payload = store::Handle<containers::evolution::SubEvolution>;
  static constexpr const char* kName = "SubEvolution";
  static TypeCache type;
};

// An ordered list of curves with its own out-of-range policy.
struct EvolutionClass {
  using Payload = containers::evolution::Evolution;
  using SubClass = SubEvolutionClass;
  static constexpr const char* kName = "Evolution";
  static TypeCache type;
  // Refuses a precision the number formatter cannot honour before dumping.
  static std::string dump_text(const Payload& evolution, const dump::DumpOptions& options);
};

// The class of each payload type: the one listed whose Payload it is.
template <class T>
struct ClassOf : ClassWithPayload<T, CoordsClass, NodeClass, SubMeshClass, MeshClass, CellClass, SubNodeFieldClass,
                                  NodeFieldClass, SubFiniteElementSpaceClass, FiniteElementSpaceClass, ElementClass,
                                  SubElementFieldClass, ElementFieldClass, SubMatrixClass, MatrixClass,
                                  SubModelClass, ModelClass, SubEvolutionClass, EvolutionClass> {};

}  // namespace quenlith::py
