#include "models/mazars/mazars.hpp"

namespace quenlith::models {

std::vector<std::string> Mazars::output_components() const {
  std::vector<std::string> out = stress_names(space_dim());
  out.push_back("damage");
  out.push_back("kappa");
  return out;
}

}  // namespace quenlith::models
