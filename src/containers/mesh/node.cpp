#include "containers/mesh/node.hpp"

#include <fmt/format.h>

#include "dump/debug_text.hpp"
#include "dump/number_format.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::mesh {

Node Node::create(store::Handle<Coords> coords, std::span<const double> coordinates) {
  NodeId id;
  {
    store::WriteGuard<Coords> guard = store::write(coords);
    id = guard->add_node(coordinates);
  }
  return Node(std::move(coords), id, true);
}

Node Node::acquire(store::Handle<Coords> coords, NodeId id) {
  {
    store::WriteGuard<Coords> guard = store::write(coords);
    guard->incref(id);
  }
  return Node(std::move(coords), id, true);
}

Node::Node(Node&& other) noexcept
    : handle_(std::move(other.handle_)), id_(other.id_), holds_(std::exchange(other.holds_, false)) {}

Node& Node::operator=(Node&& other) noexcept {
  if (this != &other) {
    drop();
    handle_ = std::move(other.handle_);
    id_ = other.id_;
    holds_ = std::exchange(other.holds_, false);
  }
  return *this;
}

Node::~Node() { drop(); }

void Node::drop() noexcept {
  if (!holds_) return;
  holds_ = false;
  try {
    store::WriteGuard<Coords> guard = store::write(handle_);
    guard->decref(id_);
  } catch (...) {
    // A release cannot fail: a guard that cannot be had or a bad count leaves the
    // count as it is.
  }
}

Node Node::clone() const noexcept {
  bool took = false;
  try {
    store::WriteGuard<Coords> guard = store::write(handle_);
    guard->incref(id_);
    took = true;
  } catch (...) {
    // The copy holds no reference, so it will give none back.
  }
  // Copied after the guard is gone: the Coords lock is never held across a handle copy.
  return Node(store::Handle<Coords>(handle_), id_, took);
}

std::vector<double> Node::coord() const {
  store::ReadGuard<Coords> guard = store::read(handle_);
  return guard->coord(id_);
}

std::string Node::display_text() const { return fmt::format("<Node #{}>", id_); }

std::string Node::debug_text() const {
  std::string coord_text;
  try {
    const std::vector<double> xyz = coord();
    coord_text = dump::debug_number_list(xyz);
  } catch (const Error& e) {
    coord_text = fmt::format("<{}>", e.text());
  }
  return dump::DebugRecord("Node")
      .field("id", fmt::format("NodeId({})", id_))
      .field("handle", handle_.debug_text())
      .field("coord", coord_text)
      .finish();
}

std::string Node::dump_text(const dump::DumpOptions& options) const {
  std::vector<double> xyz;
  try {
    xyz = coord();
  } catch (const Error& e) {
    return fmt::format("Node #{} <{}>", id_, e.text());
  }
  return fmt::format("Node #{} @ ({})", id_, dump::join_dump_cells(xyz, options));
}

std::vector<Node> nodes_from_ids(const store::Handle<Coords>& coords, std::span<const NodeId> ids) {
  std::vector<Node> nodes;
  nodes.reserve(ids.size());
  // On a failure, unwinding drops the Nodes made so far, giving their references back.
  for (NodeId id : ids) nodes.push_back(Node::acquire(store::Handle<Coords>(coords), id));
  return nodes;
}

std::vector<std::vector<double>> coords_of(const store::Handle<Coords>& coords, std::span<const NodeId> ids) {
  std::vector<std::vector<double>> out;
  out.reserve(ids.size());
  for (NodeId id : ids) {
    store::ReadGuard<Coords> guard = store::read(coords);
    out.push_back(guard->coord(id));
  }
  return out;
}

}  // namespace quenlith::containers::mesh
