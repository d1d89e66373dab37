#pragma once
// Element: a view of one cell of a finite-element subspace (not stored itself).
//
// Holds one counted handle on the subspace and the cell index. The index was below
// the subspace's cell count when the view was made and stays valid for the view's
// whole life: the subspace's submesh is sealed, cells are never removed, and the
// handle keeps the subspace (and through it the submesh) alive.
//
// Every query takes a read guard on the subspace for its duration; the subspace's
// own operations take their guards on the submesh and the Coords. Geometry is
// recomputed from the active coordinates at every call.
#include <cstdint>
#include <string>
#include <vector>

#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/cell.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::finite_element_space {

class Element {
 public:
  // Takes over `space`; "element index {} out of range (cell_count={})" (the handle is
  // released), or the guard's error.
  static Element create(store::Handle<SubFiniteElementSpace> space, std::uint64_t index);
  // A view of a cell index the caller knows to be valid (FiniteElementSpace::elements).
  static Element unchecked(store::Handle<SubFiniteElementSpace> space, std::uint64_t index) noexcept {
    return Element(std::move(space), index);
  }
  // Views of cells [0, n) of `space`, each on its own clone of the handle; n is
  // known to be its cell count.
  static std::vector<Element> first_n(const store::Handle<SubFiniteElementSpace>& space, std::uint64_t n) {
    std::vector<Element> out;
    out.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) out.push_back(unchecked(space, i));
    return out;
  }

  const store::Handle<SubFiniteElementSpace>& space() const noexcept { return space_; }
  std::uint64_t index() const noexcept { return index_; }

  // n_g; 0 when the subspace cannot be read. Never fails.
  std::uint64_t gauss_count() const noexcept;
  std::uint64_t ref_dim() const;
  std::uint64_t nodes_per_cell() const;
  std::uint64_t space_dim() const;
  // The Cell of the same submesh and index.
  mesh::Cell cell() const;

  // The subspace's queries for this cell (texts of SubFiniteElementSpace).
  std::vector<double> gauss_xi(std::uint64_t g) const;
  double gauss_weight(std::uint64_t g) const;
  std::vector<double> n_at_g(std::uint64_t g) const;
  std::vector<double> dn_at_g(std::uint64_t g) const;
  std::vector<double> jacobian(std::uint64_t g) const;
  double det_jacobian(std::uint64_t g) const;
  std::vector<double> dn_dx(std::uint64_t g) const;

  // Text forms; none fails.
  // "Element<{type}> #{i}" ("?" for an unreadable submesh), or "Element #{i}" when the
  // cell cannot be taken.
  std::string display_text() const;
  // Element { idx: 3 }
  std::string debug_text() const;
  // "Element #{} ({} Gauss point(s))\n{Cell dump}", or "Element #{} <{error}>".
  std::string dump_text(const dump::DumpOptions& options) const;

 private:
  Element(store::Handle<SubFiniteElementSpace> space, std::uint64_t index) noexcept
      : space_(std::move(space)), index_(index) {}

  store::Handle<SubFiniteElementSpace> space_;
  std::uint64_t index_;
};

}  // namespace quenlith::containers::finite_element_space
