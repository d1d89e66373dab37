#pragma once
// Gauss-point state fields: a point law evaluated at every Gauss point of every
// cell of one subspace, into a new zone. The one road by which the behaviours of
// the physics kinds make their states, and by which thermal strains are made.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "models/kernel/block.hpp"
#include "models/kernel/cell_context.hpp"
#include "parallel/function_ref.hpp"

namespace quenlith::models::kernel {

using containers::element_field::SubElementField;
using ZoneHandle = store::Handle<SubElementField>;

// The law at Gauss point g of the context's cell: reads the input zone and the
// material zone (none when the caller gave none), writes `out` (one value per output
// component, pre-filled with 0.0). Runs on worker threads, many cells at once: it
// may only read shared data.
using PointLaw = parallel::FunctionRef<void(const CellContext& ctx, const SubElementField& input,
                                            const SubElementField* materials, std::uint64_t g,
                                            std::span<double> out)>;

// A new zone on `fespace` (a clone of the handle) with `components`, not stored:
// law(ctx, input, materials, g, out) at every Gauss point g of every cell, the points
// of a cell in order, cells in parallel. Read guards on the subspace, its submesh,
// its Coords, `input` and `materials` are held for the call. Errors: those of
// SubElementField::create (no component, a name twice, an unreadable subspace), the
// guards', the law's (the first failing cell's, a cell stopping at its first failing
// point); nothing is kept on failure. Each task takes at least
// max(1, 256 / max(1, n_gauss)) cells, about 256 points. The supports of the zones are not compared
// with `fespace`: the law reads them by (cell, Gauss point, name).
SubElementField gauss_point_field(const SpaceHandle& fespace, const ZoneHandle& input,
                                  const std::optional<ZoneHandle>& materials, std::vector<std::string> components,
                                  PointLaw law);

// The free thermal strain (T - t_ref) alpha on the diagonal of the strain tensor:
// one axis pair (i, j) per output component (0 = x, 1 = y, 2 = z); T is the input's
// "T" and alpha the material's "alpha", both read at the point itself.
// Without a material zone: "thermal_strain supplies a material field".
struct ThermalStrainLaw {
  double t_ref = 0.0;
  std::span<const std::array<std::uint8_t, 2>> pairs;
  void operator()(const CellContext& ctx, const SubElementField& temperature, const SubElementField* materials,
                  std::uint64_t g, std::span<double> out) const;
};

}  // namespace quenlith::models::kernel
