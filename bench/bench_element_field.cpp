// Element fields on a TRI3 space of about one million cells, 3 Gauss points and 3
// components (9 M values), 1 thread: making the field (zeros, and uniform values
// per component), reading a zone's values out, a comparison giving a 0/1 mask, and
// the mask of a two-sided value band. Prints milliseconds per operation (best of
// several runs) in lines `  <operation>  <ms> ms`, which bench_element_field.py
// sets beside the same numpy operations.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_support.hpp"
#include "containers/element_field/element_field.hpp"
#include "containers/element_field/sub_element_field.hpp"
#include "containers/field/value_band.hpp"
#include "containers/field/values.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/field/mask.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace {

namespace store = quenlith::store;
namespace mesh = quenlith::containers::mesh;
namespace fes = quenlith::containers::finite_element_space;
namespace field = quenlith::containers::field;
using quenlith::containers::element_field::ElementField;
using quenlith::containers::element_field::SubElementField;

using quenlith::bench::best_seconds;
using quenlith::bench::kRepeats;

volatile double sink;

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t n = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 708;
  quenlith::parallel::ThreadLimit one_thread(1);
  const mesh::Mesh m({quenlith::bench::tri3_grid(n)});
  const fes::FiniteElementSpace space = fes::FiniteElementSpace::lagrange1(m);
  const std::vector<std::string> names = {"a", "b", "c"};

  ElementField f;
  const double t_create = best_seconds([&] { f = ElementField::create(space, names); }, [&] { f = ElementField(); });
  const double values_uniform[] = {0.25, 0.5, 0.75};
  const double t_uniform = best_seconds(
      [&] {
        f = ElementField();
        f.push_sub(store::insert(SubElementField::from_uniform_per_component(space.subs()[0], names, values_uniform)));
      },
      [&] { f = ElementField(); });
  // Values spread over [0, 1) so that the masks hold both answers.
  const store::Handle<SubElementField> zone = f.subs()[0];
  std::size_t count;
  {
    store::WriteGuard<SubElementField> g = store::write(zone);
    auto v = g->values_mut();
    count = v.size();
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = double((k * 2654435761u) % 1000003) / 1000003.0;
  }
  // Reading the values out: a copy into a fresh array of the kind zones hold.
  field::Values out;
  const double t_values = best_seconds(
      [&] {
        store::ReadGuard<SubElementField> g = store::read(zone);
        out = field::Values(g->values().begin(), g->values().end());
      },
      [&] { out = field::Values(); });
  ElementField masked;
  const field::ValueBand below = field::comparison_band(field::Comparison::Less, 0.5);
  const double t_compare = best_seconds([&] { masked = quenlith::ops::field::mask_element_field(f, below, {}); },
                                        [&] { masked = ElementField(); });
  const field::ValueBand band = field::value_band(0.25, std::nullopt, 0.75, std::nullopt);
  const double t_band = best_seconds([&] { masked = quenlith::ops::field::mask_element_field(f, band, {}); },
                                     [&] { masked = ElementField(); });
  double ones = 0.0;
  for (double v : store::read(masked.subs()[0])->values()) ones += v;
  sink = ones;

  std::printf("element field, %llu cells x 3 gauss x 3 components = %zu values, 1 thread (best of %d)\n",
              static_cast<unsigned long long>(space.elements(0).second), count, kRepeats);
  std::printf("  create  %.2f ms\n", t_create * 1e3);
  std::printf("  uniform  %.2f ms\n", t_uniform * 1e3);
  std::printf("  values  %.2f ms\n", t_values * 1e3);
  std::printf("  compare  %.2f ms\n", t_compare * 1e3);
  std::printf("  band  %.2f ms\n", t_band * 1e3);
  std::printf("  (band [0.25, 0.75] holds %.0f of the values)\n", ones);
  return 0;
}
