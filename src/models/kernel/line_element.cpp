#include "models/kernel/line_element.hpp"

#include "base/error.hpp"

namespace quenlith::models::kernel {

double required_density(const containers::element_field::SubElementField& materials, std::uint64_t cell,
                        std::string_view kind) {
  try {
    return materials.value(cell, 0, "rho");
  } catch (const Error&) {
    throw Error::message("{} mass matrix: material component `rho` (density) is required", kind);
  }
}

void refuse_continuum_stress(const containers::element_field::SubElementField& stress, std::string_view kind) {
  for (const std::string& name : stress.components())
    if (name.starts_with("sigma_"))
      throw Error::message("{}: continuum stresses ({}) have no internal-force kernel on a beam, whose nodes carry "
                           "rotations",
                           kind, name);
}

}  // namespace quenlith::models::kernel
