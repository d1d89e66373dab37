#include "ops/field/gauss_point.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/field/components.hpp"
#include "models/kernel/gauss_point_field.hpp"
#include "models/kernel/node_field_at_gauss.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::field {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::finite_element_space::FiniteElementSpace;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::node_field::NodeField;
using containers::node_field::NodeFieldView;
using models::kernel::AxisPair;
using SpaceHandle = store::Handle<SubFiniteElementSpace>;

namespace {

constexpr std::array<std::string_view, 3> kAxes{"x", "y", "z"};

std::uint64_t space_dim_of(const SpaceHandle& space) { return store::read(space)->space_dim(); }

// The subspace's dimension, refused beyond the three named axes.
std::uint64_t named_axes(std::string_view function, const SpaceHandle& space) {
  const std::uint64_t d = space_dim_of(space);
  QUENLITH_VERIFY(d <= kAxes.size(), "{}: the FE space is {}-D \u2014 axes are named x, y, z only (at most 3-D)",
                  function, d);
  return d;
}

// The strain components of a d-dimensional space (d ≤ 3): the pairs (a, b), a ≤ b,
// row by row over the upper triangle, and their names "eps_{a}{b}".
struct StrainComponents {
  std::vector<AxisPair> pairs;
  std::vector<std::string> names;
};
StrainComponents strain_components(std::uint64_t d) {
  StrainComponents s;
  for (std::uint8_t a = 0; a < d; ++a)
    for (std::uint8_t b = a; b < d; ++b) {
      s.pairs.push_back({a, b});
      s.names.push_back(fmt::format("eps_{}{}", kAxes[a], kAxes[b]));
    }
  return s;
}

// The frame of the node-field operators: one view of the field for the call, then per
// subspace the names and step `per_space(space, components)` gives, the zone built
// by node_field_at_gauss and stored.
template <class PerSpace>
ElementField at_gauss_points(const NodeField& field, const FiniteElementSpace& fespace, PerSpace&& per_space) {
  const NodeFieldView view(field);
  const std::vector<std::string> comps(view.components().begin(), view.components().end());
  ElementField out;
  for (const SpaceHandle& space : fespace.subs()) {
    SubElementField zone = per_space(space, view, comps);
    out.push_sub(store::insert(std::move(zone)));
  }
  return out;
}

}  // namespace

ElementField interp_to_gauss(const NodeField& field, const FiniteElementSpace& fespace) {
  return at_gauss_points(field, fespace,
                         [](const SpaceHandle& space, const NodeFieldView& view, const std::vector<std::string>& comps) {
                           return models::kernel::node_field_at_gauss(space, view, comps,
                                                                      models::kernel::GaussInterpolation{comps});
                         });
}

ElementField gradient(const NodeField& field, const FiniteElementSpace& fespace) {
  return at_gauss_points(
      field, fespace, [](const SpaceHandle& space, const NodeFieldView& view, const std::vector<std::string>& comps) {
        const std::uint64_t d = named_axes("gradient", space);
        std::vector<std::string> names;
        for (const std::string& c : comps)
          for (std::uint64_t a = 0; a < d; ++a) names.push_back(fmt::format("grad_{}_{}", c, kAxes[a]));
        return models::kernel::node_field_at_gauss(space, view, std::move(names),
                                                   models::kernel::GaussGradient{comps});
      });
}

ElementField deformation(const NodeField& u, const FiniteElementSpace& fespace) {
  return at_gauss_points(
      u, fespace, [](const SpaceHandle& space, const NodeFieldView& view, const std::vector<std::string>& comps) {
        const std::uint64_t d = named_axes("deformation", space);
        QUENLITH_VERIFY(comps.size() == d,
                        "deformation: the displacement field carries {} component(s) but the FE space is {}-D \u2014 "
                        "expected exactly one displacement component per axis",
                        comps.size(), d);
        StrainComponents strain = strain_components(d);
        const models::kernel::GaussDeformation step{strain.pairs, comps};
        return models::kernel::node_field_at_gauss(space, view, std::move(strain.names), step);
      });
}

ElementField thermal_strain(const ElementField& temperature, const ElementField& materials,
                            const FiniteElementSpace& fespace, double t_ref) {
  static const std::string kAlpha[] = {"alpha"};
  ElementField out;
  for (const SpaceHandle& space : fespace.subs()) {
    const store::Handle<SubElementField> t_zone = temperature.sub_for_fespace(space);
    const store::Handle<SubElementField> m_zone = materials.sub_for_fespace_components(space, kAlpha);
    const std::uint64_t d = named_axes("thermal_strain", space);
    QUENLITH_VERIFY(containers::field::find_component(store::read(t_zone)->components(), "T"),
                    "thermal_strain: the temperature field carries no '{}' component", "T");
    StrainComponents strain = strain_components(d);
    const models::kernel::ThermalStrainLaw law{t_ref, strain.pairs};
    out.push_sub(store::insert(models::kernel::gauss_point_field(space, t_zone, m_zone, std::move(strain.names), law)));
  }
  return out;
}

}  // namespace quenlith::ops::field
