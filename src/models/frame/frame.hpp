#pragma once
// Frame: 2
//
// Record: fespace, support.
#include <memory>

#include "models/mod/domain.hpp"

namespace quenlith::models {

class Frame final : public DomainKind {
 public:
  static constexpr std::uint32_t kIndex = 11;
  // Takes `fespace` over. Refuses, in this order, cells other than SEG2 ("Frame:
  // expected SEG2 elements, got {}") and a space dimension other than 2 ("Frame: planar frame
  // requires a 2-D configuration, got {}-D"); then store errors.
  static Frame create(SpaceHandle fespace);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {"u_x", "u_y", "rz"}; }
  std::vector<std::string> dual_vars() const override { return {"f_x", "f_y", "m_z"}; }
  std::span<const Physics> physics() const noexcept override { return physics_list(Physics::Mechanical); }
  std::optional<BlockLayout> mass_layout() const override { return stiffness_layout(); }
  std::optional<BlockLayout> geometric_layout() const override { return stiffness_layout(); }
  std::string_view name() const noexcept override { return "Frame"; }
  void encode(store::RecordWriter& w) const override { encode_space_and_support(w); }

  std::span<const std::string_view> material_components() const override {
    static constexpr std::string_view kNames[] = {"E", "A", "I", "G", "A_s"};
    return kNames;
  }
  std::span<const std::string_view> optional_materials() const override {
    static constexpr std::string_view kNames[] = {"rho"};
    return kNames;
  }
  std::vector<std::string> output_components() const override { return {"N", "M", "V"}; }

 private:
  using DomainKind::DomainKind;
};

}  // namespace quenlith::models
