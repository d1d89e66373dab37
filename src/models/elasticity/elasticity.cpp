#include "models/elasticity/elasticity.hpp"

namespace quenlith::models {

std::vector<std::string> Elasticity::output_components() const {
  return stress_names(space_dim());
}

}  // namespace quenlith::models
