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
    // Every component tested: one pass over the values, two at a time.
    with_band_test(band, [&](auto test) {
      parallel::for_chunks(in.size(), parallel::PAR_MIN_LEN, [src, dst, test](Index begin, Index end) {
        // Locals, not the captures: a store through `o` could otherwise be taken to
        // change them, and they would be read again after every store.
        const double* const s = src;
        double* const o = dst;
        const auto band_test = test;
        const __m128d ones = _mm_set1_pd(1.0);
        Index k = begin;
        for (; k + 8 <= end; k += 8) {
          parallel::read_ahead(s + k);
          parallel::write_ahead(o + k);
          // A lane's test is all ones or all zeros: it keeps or clears the bits of 1.0.
          for (Index j = 0; j < 8; j += 2)
            parallel::store2(o + k + j, _mm_and_pd(band_test(parallel::load2(s + k + j)), ones));
        }
        for (; k < end; ++k) o[k] = band_test(s[k]) ? 1.0 : 0.0;
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

parallel::ItemBits items_in_band(std::span<const double> values, std::size_t ncomp, std::size_t rows_per_item,
                                 std::span<const std::size_t> tested, const ValueBand& band) {
  const std::size_t width = ncomp * rows_per_item;
  const std::size_t n_items = width == 0 ? 0 : values.size() / width;
  const std::size_t n_words = (n_items + 63) / 64;
  parallel::ItemBits bits = parallel::all_items(n_items);
  if (tested.empty() || n_items == 0) return bits;
  const double* const v = values.data();
  std::uint64_t* const out = bits.data();
  // Whole words per piece, so that no two threads write one word.
  const auto items_of_word = [n_items](std::size_t w) {
    return std::pair(w * 64, std::min(n_items, w * 64 + 64));
  };
  with_band_test(band, [&](auto test) {
    if (width == 1) {
      // One value per item: 64 values make a word, sixteen bits at a time. The
      // sixteen lane masks are narrowed to one byte each (a mask is all ones or all
      // zeros, so any half of it, saturated, keeps its sign) and their signs read
      // at once.
      parallel::for_chunks(n_words, 4, [v, out, test, items_of_word](Index begin, Index end) {
        const double* const src = v;
        const auto band_test = test;
        const auto four = [&](const double* p) {
          return _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(band_test(parallel::load2(p))),
                                                 _mm_castpd_ps(band_test(parallel::load2(p + 2))),
                                                 _MM_SHUFFLE(2, 0, 2, 0)));
        };
        for (Index w = begin; w < end; ++w) {
          const auto [first, stop] = items_of_word(w);
          std::uint64_t word = 0;
          std::size_t i = first;
          if (stop - first == 64)
            for (std::size_t j = 0; j < 64; j += 16, i += 16) {
              parallel::read_ahead(src + i);
              parallel::read_ahead(src + i + 8);
              const __m128i low = _mm_packs_epi32(four(src + i), four(src + i + 4));
              const __m128i high = _mm_packs_epi32(four(src + i + 8), four(src + i + 12));
              word |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(low, high))))
                      << j;
            }
          for (; i < stop; ++i) word |= static_cast<std::uint64_t>(band_test(src[i])) << (i - first);
          out[w] = word;
        }
      });
      return;
    }
    parallel::for_chunks(n_words, 1, [&](Index begin, Index end) {
      for (Index w = begin; w < end; ++w) {
        const auto [first, stop] = items_of_word(w);
        std::uint64_t word = 0;
        for (std::size_t i = first; i < stop; ++i) {
          const double* item = v + i * width;
          bool pass = true;
          for (std::size_t r = 0; r < rows_per_item; ++r)
            for (const std::size_t p : tested) pass &= test(item[r * ncomp + p]);
          word |= static_cast<std::uint64_t>(pass) << (i - first);
        }
        out[w] = word;
      }
    });
  });
  return bits;
}

}  // namespace quenlith::containers::field
