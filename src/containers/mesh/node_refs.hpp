#pragma once
// What the structured generators and the rigid transforms share: counted references
// on many nodes of one Coords taken and given back in bulk, the coordinates of a node
// list read under one guard, the refusal of non-finite input, and node counts that
// saturate instead of wrapping.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::mesh {

// One reference on each of a list of nodes of one Coords, held while the generator
// works (the role of a list of Nodes, with one write guard per batch instead of one
// per node). Each batch takes the Coords write guard once; the destructor gives
// every reference back under one write guard (failures ignored). Not copyable.
class NodeRefs {
 public:
  explicit NodeRefs(store::Handle<containers::mesh::Coords> coords);
  NodeRefs(const NodeRefs&) = delete;
  NodeRefs& operator=(const NodeRefs&) = delete;
  ~NodeRefs();

  // Reserves room for `n` more ids (the caller has already bounded n).
  void reserve(std::uint64_t n) { ids_.reserve(ids_.size() + n); }
  // One more reference on each id, appended in order. "node {} not found or
  // collected" for a node that is not live; the references of this batch taken
  // before it are given back first.
  void acquire(std::span<const containers::mesh::NodeId> ids);
  // New nodes, one per `dim` values of `points` (the Coords' dimension), created in
  // order (Coords::add_node: written into every configuration); each new id is
  // appended with its first reference. Errors of add_node or of the guard; nodes
  // created before a failure stay held by this list.
  void create(std::span<const double> points);

  const store::Handle<containers::mesh::Coords>& coords() const noexcept { return coords_; }
  std::span<const containers::mesh::NodeId> ids() const noexcept { return ids_; }
  containers::mesh::NodeId operator[](std::uint64_t i) const noexcept { return ids_[i]; }
  std::uint64_t size() const noexcept { return ids_.size(); }

 private:
  store::Handle<containers::mesh::Coords> coords_;
  std::vector<containers::mesh::NodeId> ids_;
};

// The coordinates of `ids` in the active configuration, `dim` values per id in list
// order, read under one read guard. "node {} not found or collected"; then, with
// `op` the operation's name, "{op}: node {} has a non-finite coordinate".
std::vector<double> finite_points(std::string_view op, const store::Handle<containers::mesh::Coords>& coords,
                                  std::span<const containers::mesh::NodeId> ids, std::size_t& dim);

// "{op}: {what} must be finite (got [{}])" when a value is NaN or infinite.
void check_finite(std::string_view op, std::string_view what, std::span<const double> values);

// "{op}: a new node would have a non-finite coordinate ([{}]): the input coordinates
// are too large" for the first point of `points` (`dim` values each) that is not
// finite. Finite input can still overflow in a generator's arithmetic (the difference
// of two lines at ±1e308); generators check the points they computed before they
// create any node.
void check_new_points(std::string_view op, std::span<const double> points, std::size_t dim);

// a · b and a + b, saturated at UINT64_MAX (counts of nodes to be made are compared
// with the room left in a Coords, so a saturated count is simply refused).
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept;
std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) noexcept;

}  // namespace quenlith::containers::mesh
