#include "containers/element_field/element_field.hpp"

#include <algorithm>
#include <tuple>
#include <unordered_set>

#include <fmt/format.h>

#include "containers/field/components.hpp"
#include "containers/field/filter.hpp"
#include "dump/debug_text.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::element_field {

using finite_element_space::FiniteElementSpace;

ElementField ElementField::create(const FiniteElementSpace& space, const std::vector<std::string>& components) {
  QUENLITH_VERIFY(!space.empty(), "ElementField: FE space has no subspace");
  field::check_component_names(components, "SubElementField");
  ElementField out;
  for (const auto& sub : space.subs()) out.push_sub(store::insert(SubElementField::create(sub, components)));
  return out;
}

ElementField ElementField::with_components_per_subspace(const FiniteElementSpace& space,
                                                        const std::vector<std::vector<std::string>>& components) {
  QUENLITH_VERIFY(!space.empty(), "ElementField: FE space has no subspace");
  QUENLITH_VERIFY(components.size() == space.size(), "ElementField: {} component list(s) supplied for {} subspace(s)",
                  components.size(), space.size());
  ElementField out;
  for (std::size_t i = 0; i < space.size(); ++i)
    out.push_sub(store::insert(SubElementField::create(space.subs()[i], components[i])));
  return out;
}

namespace {

// The list, once it has passed the uniqueness rule.
ElementField checked(ElementField field) {
  ElementField::check_unique_components(field.subs());
  return field;
}

}  // namespace

ElementField ElementField::slice(std::span<const std::uint64_t> indices) const {
  return checked(SubList::slice(indices));
}

ElementField ElementField::union_(const ElementField& a, const ElementField& b) {
  return checked(SubList::union_(a, b));
}

ElementField ElementField::union_(const H& a, const H& b) { return checked(SubList::union_(a, b)); }

ElementField ElementField::union_sub(const H& zone) const { return checked(SubList::union_sub(zone)); }

void ElementField::check_unique_components(std::span<const H> zones) {
  struct Key {
    std::uint32_t idx, gen;
    std::string name;
    bool operator==(const Key&) const = default;
  };
  struct Hash {
    std::size_t operator()(const Key& k) const noexcept {
      return std::hash<std::string>{}(k.name) ^ ((std::uint64_t{k.idx} << 32 | k.gen) * 0x9E3779B97F4A7C15ull);
    }
  };
  std::unordered_set<Key, Hash> seen;
  for (const H& h : zones) {
    store::ReadGuard<SubElementField> guard = store::read(h);
    const SubSpaceHandle& s = guard->support();
    for (const std::string& name : guard->components()) {
      if (!seen.insert(Key{s.idx(), s.gen(), name}).second)
        throw Error::message(
            "ElementField: component {} is carried by two zones on the same support (slot {}, generation {}). "
            "Component fields must be unique per support; call consolidate_element to fuse zones that legitimately "
            "share a support.",
            name, s.idx(), s.gen());
    }
  }
}

ElementField ElementField::filter_components(std::span<const std::string> names) const {
  return ElementField(field::filter_components<SubElementField>(subs(), names));
}

std::vector<std::string> ElementField::components() const {
  std::vector<std::string> out;
  for (const H& h : subs()) {
    store::ReadGuard<SubElementField> guard = store::read(h);
    field::add_components(out, guard->components());
  }
  return out;
}

std::vector<ElementField::H> ElementField::subs_for_fespace(const SubSpaceHandle& support) const {
  std::vector<H> out;
  for (const H& h : subs()) {
    store::ReadGuard<SubElementField> guard = store::read(h);
    if (guard->support() == support) out.push_back(h);
  }
  return out;
}

ElementField::H ElementField::sub_for_fespace(const SubSpaceHandle& support) const {
  std::vector<H> found = subs_for_fespace(support);
  if (found.empty())
    throw Error::message(
        "no SubElementField in this ElementField matches the SubFiniteElementSpace at slot {} (generation {})",
        support.idx(), support.gen());
  if (found.size() > 1)
    throw Error::message(
        "{} SubElementFields live on the SubFiniteElementSpace at slot {} (generation {}); sub_for_fespace needs a "
        "unique zone. Use subs_for_fespace, or consolidate_element to fuse the zones.",
        found.size(), support.idx(), support.gen());
  return std::move(found.front());
}

ElementField::H ElementField::sub_for_fespace_components(const SubSpaceHandle& support,
                                                         std::span<const std::string> required) const {
  std::vector<H> kept;
  for (H& h : subs_for_fespace(support)) {
    bool all = true;
    {
      store::ReadGuard<SubElementField> guard = store::read(h);
      for (const std::string& name : required) all = all && field::find_component(guard->components(), name);
    }
    if (all) kept.push_back(std::move(h));
  }
  if (kept.empty())
    throw Error::message(
        "no SubElementField on the SubFiniteElementSpace at slot {} (generation {}) carries all of {} — supply it "
        "via material_field",
        support.idx(), support.gen(), dump::debug_quoted_list(required));
  if (kept.size() > 1)
    throw Error::message(
        "{} SubElementFields on the SubFiniteElementSpace at slot {} (generation {}) each carry all of {}; the zone "
        "is ambiguous — fuse them with consolidate_element or narrow the components",
        kept.size(), support.idx(), support.gen(), dump::debug_quoted_list(required));
  return std::move(kept.front());
}

std::string ElementField::display_text() const { return fmt::format("ElementField: {} subfield(s)", size()); }

}  // namespace quenlith::containers::element_field
