#include "containers/finite_element_space/element.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "dump/container_frame.hpp"
#include "dump/debug_text.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::finite_element_space {

using Guard = store::ReadGuard<SubFiniteElementSpace>;

Element Element::create(store::Handle<SubFiniteElementSpace> space, std::uint64_t index) {
  std::uint64_t n;
  {
    Guard guard = store::read(space);
    n = guard->cell_count();
  }
  QUENLITH_VERIFY(index < n, "element index {} out of range (cell_count={})", index, n);
  return Element(std::move(space), index);
}

std::uint64_t Element::gauss_count() const noexcept {
  try {
    Guard guard = store::read(space_);
    return guard->gauss_count();
  } catch (...) {
    return 0;
  }
}

std::uint64_t Element::ref_dim() const { return store::read(space_)->ref_dim(); }

std::uint64_t Element::nodes_per_cell() const { return store::read(space_)->nodes_per_cell(); }

std::uint64_t Element::space_dim() const { return store::read(space_)->space_dim(); }

mesh::Cell Element::cell() const {
  store::Handle<mesh::SubMesh> submesh;
  {
    Guard guard = store::read(space_);
    submesh = guard->submesh();
  }
  return mesh::Cell(std::move(submesh), index_);
}

std::vector<double> Element::gauss_xi(std::uint64_t g) const { return store::read(space_)->gauss_xi(g); }

double Element::gauss_weight(std::uint64_t g) const { return store::read(space_)->gauss_weight(g); }

std::vector<double> Element::n_at_g(std::uint64_t g) const { return store::read(space_)->n_at_g(g); }

std::vector<double> Element::dn_at_g(std::uint64_t g) const {
  Guard guard = store::read(space_);
  const std::span<const double> d = guard->dn_at_g(g);
  return std::vector<double>(d.begin(), d.end());
}

std::vector<double> Element::jacobian(std::uint64_t g) const { return store::read(space_)->jacobian(index_, g); }

double Element::det_jacobian(std::uint64_t g) const { return store::read(space_)->det_jacobian(index_, g); }

std::vector<double> Element::dn_dx(std::uint64_t g) const { return store::read(space_)->dn_dx(index_, g); }

std::string Element::display_text() const {
  try {
    const mesh::Cell c = cell();
    std::string type = "?";
    try {
      store::ReadGuard<mesh::SubMesh> guard = store::read(c.submesh());
      type = std::string(mesh::name(guard->element_type()));
    } catch (const Error&) {
    }
    return fmt::format("Element<{}> #{}", type, index_);
  } catch (const Error&) {
    return fmt::format("Element #{}", index_);
  }
}

std::string Element::debug_text() const {
  return dump::DebugRecord("Element").field("idx", std::to_string(index_)).finish();
}

std::string Element::dump_text(const dump::DumpOptions& options) const {
  std::optional<mesh::Cell> c;
  try {
    c.emplace(cell());
  } catch (const Error& e) {
    return fmt::format("Element #{} {}", index_, dump::dump_error_item(e));
  }
  return fmt::format("Element #{} ({} Gauss point(s))\n{}", index_, gauss_count(), c->dump_text(options));
}

}  // namespace quenlith::containers::finite_element_space
