#include "ops/solver/system_check.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "base/error.hpp"
#include "parallel/pool.hpp"

namespace quenlith::ops::solver {

namespace {

// Values per chunk of the scan: large enough that the scan costs one pass over
// memory, small enough to spread over every thread from a few hundred thousand on.
constexpr parallel::Index kValueChunk = 1 << 15;
// The unknowns a null-pivot message names before it counts the rest.
constexpr std::size_t kNamedPivots = 3;

// Thrown by a chunk at its first non-finite value: the pool reports the one of the
// chunk with the smallest begin, so the first such value of the whole array.
struct NonFinite {
  std::uint64_t at;
};

// The position of the first non-finite value, or nothing.
std::optional<std::uint64_t> first_non_finite(std::span<const double> values) {
  try {
    parallel::for_chunks(values.size(), kValueChunk, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index k = begin; k < end; ++k)
        if (!std::isfinite(values[k])) throw NonFinite{k};
    });
  } catch (const NonFinite& found) {
    return found.at;
  }
  return std::nullopt;
}

}  // namespace

std::string dof_text(containers::mesh::NodeId node, std::string_view variable) {
  return fmt::format("(NodeId({}), '{}')", node, variable);
}

std::string dof_text(const containers::field::DofList& dofs, std::uint64_t i) {
  if (i >= dofs.size()) return fmt::format("#{}", i);
  return dof_text(dofs.nodes()[i], dofs.names()[dofs.vars()[i]]);
}

void refuse_non_finite_matrix(const containers::matrix::Csr& a, const SystemNames& names) {
  const std::optional<std::uint64_t> k = first_non_finite(a.values);
  if (!k) return;
  // The row whose range holds position k: the last offset not beyond it.
  const auto next = std::upper_bound(a.offsets.begin(), a.offsets.end(), *k);
  const auto row = static_cast<std::uint64_t>(next - a.offsets.begin()) - 1;
  throw Error::message("{}: the matrix holds a non-finite value at row {}, column {}", names.operation,
                       dof_text(names.rows, row), dof_text(names.cols, a.col(*k)));
}

void refuse_non_finite_rhs(std::span<const double> b, const containers::field::DofList& dofs,
                           std::string_view operation) {
  if (const std::optional<std::uint64_t> k = first_non_finite(b))
    throw Error::message("{}: the right-hand side holds a non-finite value at {}", operation, dof_text(dofs, *k));
}

void refuse_null_pivots(const SparseFactors& lu, const SystemNames& names) {
  const std::span<const std::uint64_t> pivots = lu.null_pivots();
  if (pivots.empty()) return;
  std::string list;
  for (std::size_t i = 0; i < std::min(pivots.size(), kNamedPivots); ++i) {
    if (i) list += ", ";
    list += dof_text(names.cols, pivots[i]);
  }
  if (pivots.size() > kNamedPivots) list += fmt::format(" and {} more", pivots.size() - kNamedPivots);
  throw Error::message("{}: no pivot for {}", names.singular, list);
}

}  // namespace quenlith::ops::solver
