#include "models/plasticity/plasticity.hpp"

namespace quenlith::models {

std::vector<std::string> Plasticity::output_components() const {
  // The stress, the plastic strain, the cumulated plastic strain "p", the total
  // strain, the out-of-plane stress (2-D) and the algorithmic tangent.
  static constexpr const char* kSix[] = {"xx", "yy", "zz", "yz", "xz", "xy"};
  std::vector<std::string> out = stress_names(space_dim());
  for (const char* s : kSix) out.push_back(std::string("eps_p_") + s);
  out.push_back("p");
  for (const char* s : kSix) out.push_back(std::string("eps_") + s);
  if (space_dim() == 2) out.push_back("sigma_zz");
  for (std::string& k : ktan_names(space_dim())) out.push_back(std::move(k));
  return out;
}

}  // namespace quenlith::models
