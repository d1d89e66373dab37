#pragma once
// Node: one counted reference to a node of a stored Coords.
//
// A Node is a small move-only value, not a stored object: a handle on its Coords
// (one handle count, so the Coords lives as long as any Node of it) and a node id.
// It normally holds one reference on the node, taken when it is made (created,
// acquired or cloned) and given back when it is destroyed. It remembers whether it
// holds that reference: a clone made while its Coords could not be locked (a failed
// read-back of a swapped-out Coords) took none, so it gives none back, and a count
// never falls below the number of its holders.
//
// Every operation takes the Coords guard it needs (a write guard for the counts, a
// read guard for coordinates) and releases it before returning; the handle is
// copied or destroyed only after the guard is released. The Coords lock is never
// held while another stored object's lock is taken.
//
// Two Nodes are equal when their handles denote the same Coords (equal index and
// generation) and their ids are equal.
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::mesh {

class Node {
 public:
  // Adds a node (Coords::add_node under a write guard); the Node holds its first
  // reference and takes over `coords`. On error (the add_node messages, a stale
  // handle, a failed read-back) the handle is released and the error thrown.
  static Node create(store::Handle<Coords> coords, std::span<const double> coordinates);
  // One more reference on an existing node (Coords::incref under a write guard);
  // takes over `coords`. "node {} not found or collected", or the guard's error.
  static Node acquire(store::Handle<Coords> coords, NodeId id);

  Node(Node&& other) noexcept;
  Node& operator=(Node&& other) noexcept;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Gives back the reference, if held (decref under a write guard; every failure
  // is ignored), then releases the handle.
  ~Node();

  // Another Node of the same node: a reference is added when the Coords can be
  // locked and the node is live; the copy is made in any case and holds a
  // reference only if one was taken. Never fails.
  Node clone() const noexcept;

  NodeId id() const noexcept { return id_; }
  const store::Handle<Coords>& handle() const noexcept { return handle_; }
  // Whether this Node holds a reference on its node (and will give it back).
  bool holds_reference() const noexcept { return holds_; }
  // Hands the reference over to the caller (a submesh cell that takes over the
  // references its caller holds): returns whether one was held; the Node gives
  // nothing back afterwards and keeps only its handle and id.
  bool release_reference() noexcept { return std::exchange(holds_, false); }

  // The coordinates in the active configuration, under a read guard.
  // "node {} not found or collected", or the guard's error.
  std::vector<double> coord() const;

  // Text forms. "<Node #{}>"; reads nothing.
  std::string display_text() const;
  // Node { id: NodeId(7), handle: Handle<...>{ idx: 0, gen: 1 }, coord: [0.5, 1.0] };
  // a failed coordinate read shows as coord: <error text>. Never fails.
  std::string debug_text() const;
  // "Node #{} @ ({})" with the coordinates as number cells, or "Node #{} <{}>" with
  // the error text of a failed read; no final line feed. Only the precision acts;
  // formatting throws for a precision above 65535.
  std::string dump_text(const dump::DumpOptions& options) const;

  friend bool operator==(const Node& a, const Node& b) noexcept { return a.handle_ == b.handle_ && a.id_ == b.id_; }

 private:
  Node(store::Handle<Coords> coords, NodeId id, bool holds) noexcept
      : handle_(std::move(coords)), id_(id), holds_(holds) {}
  void drop() noexcept;

  store::Handle<Coords> handle_;
  NodeId id_ = 0;
  bool holds_ = false;
};

// One Node::acquire per id, each on its own copy of the handle, in order. The first
// failure stops the walk: the Nodes already made are dropped (their references
// given back) and the error is thrown.
std::vector<Node> nodes_from_ids(const store::Handle<Coords>& coords, std::span<const NodeId> ids);

// Coords::coords_of through a handle, with a read guard taken and released per id;
// the first failing id stops it with its error.
std::vector<std::vector<double>> coords_of(const store::Handle<Coords>& coords, std::span<const NodeId> ids);

}  // namespace quenlith::containers::mesh
