#include "containers/field/mask.hpp"

#include <algorithm>
#include <cstring>

#include "containers/field/components.hpp"
#include "parallel/pool.hpp"

namespace quenlith::containers::field {

using parallel::Double2;
using parallel::Index;

std::vector<std::uint8_t> tested_components(std::span<const std::string> names,
                                            const std::optional<std::vector<std::string>>& listed) {
  if (!listed) return std::vector<std::uint8_t>(names.size(), 1);
  std::vector<std::uint8_t> tested(names.size(), 0);
  for (const std::string& name : *listed) {
    // A listed name the zone lacks is left out; a zone carrying none is untested.
    if (const auto c = find_component(names, name)) tested[*c] = 1;
  }
  return tested;
}

void mask_values(std::span<const double> in, std::span<double> out, std::span<const std::uint8_t> tested,
                 const ValueBand& band) {
  const std::size_t nc = tested.size();
  const double* const src = in.data();
  double* const dst = out.data();
  if (std::all_of(tested.begin(), tested.end(), [](std::uint8_t t) { return t != 0; })) {
    // Every component tested: one pass over the values, two at a time; a lane's
    // test is all ones or all zeros, and keeps or clears the bits of 1.0.
    with_band_test(band, [&](auto test) {
      parallel::for_chunks(in.size(), parallel::PAR_MIN_LEN, [src, dst, test](Index begin, Index end) {
        const double* const s = src;
        double* const o = dst;
        const Double2 ones = {1.0, 1.0};
        Index k = begin;
        for (; k + 8 <= end; k += 8) {
          parallel::read_ahead(s + k);
          parallel::write_ahead(o + k);
          for (Index j = 0; j < 8; j += 2) {
            const auto bits = test(parallel::load2(s + k + j)) & reinterpret_cast<decltype(test(ones))>(ones);
            parallel::store2(o + k + j, reinterpret_cast<Double2>(bits));
          }
        }
        for (; k < end; ++k) o[k] = test(s[k]) ? 1.0 : 0.0;
      });
    });
    return;
  }
  const std::uint8_t* flags = tested.data();
  parallel::for_chunks(in.size() / nc, parallel::row_min_chunk(nc), [&](Index begin, Index end) {
    for (Index r = begin; r < end; ++r)
      for (std::size_t c = 0; c < nc; ++c) {
        const std::size_t k = r * nc + c;
        dst[k] = flags[c] ? (band.contains(src[k]) ? 1.0 : 0.0) : 1.0;
      }
  });
}

std::vector<std::uint8_t> items_in_band(std::span<const double> values, std::size_t ncomp,
                                        std::size_t rows_per_item, std::span<const std::size_t> tested,
                                        const ValueBand& band) {
  const std::size_t width = ncomp * rows_per_item;
  const std::size_t n_items = width == 0 ? 0 : values.size() / width;
  std::vector<std::uint8_t> flags(n_items, 1);
  if (tested.empty() || n_items == 0) return flags;
  const double* const v = values.data();
  std::uint8_t* const f = flags.data();
  with_band_test(band, [&](auto test) {
    if (width == 1) {
      // One value per item: the flags straight from the values.
      parallel::for_chunks(n_items, parallel::PAR_MIN_LEN, [v, f, test](Index begin, Index end) {
        const double* const src = v;
        std::uint8_t* const out = f;
        Index i = begin;
        for (; i + 8 <= end; i += 8) {
          parallel::read_ahead(src + i);
          for (Index j = 0; j < 8; j += 2) {
            // A lane's test is 0 or -1: negated and narrowed, two flags of 0 or 1.
            using Flags2 = std::int8_t __attribute__((vector_size(2)));
            const Flags2 two = __builtin_convertvector(-test(parallel::load2(src + i + j)), Flags2);
            std::memcpy(out + i + j, &two, sizeof two);
          }
        }
        for (; i < end; ++i) out[i] = test(src[i]);
      });
      return;
    }
    parallel::for_chunks(n_items, parallel::row_min_chunk(width), [&](Index begin, Index end) {
      for (Index i = begin; i < end; ++i) {
        const double* item = v + i * width;
        bool pass = true;
        for (std::size_t r = 0; r < rows_per_item; ++r)
          for (const std::size_t p : tested) pass &= test(item[r * ncomp + p]);
        f[i] = pass;
      }
    });
  });
  return flags;
}

}  // namespace quenlith::containers::field
