#pragma once
// SubList: the ordered list of sub-object handles that every container is made of
// (a Mesh of SubMesh handles, a FiniteElementSpace of subspace handles, and so on).
// A container derives from it and names itself:
//
//   class Mesh : public SubList<Mesh, SubMesh> {
//    public:
//     using SubList::SubList;
//     static constexpr std::string_view kName = "Mesh";          // in texts and errors
//     static constexpr std::string_view kItems = "submesh(es)";  // unit()'s plural noun
//     // Optional: the container's own rule for one more item. Called with the first
//     // item already in the list and the incoming one, before it is appended.
//     static void check_joins(const Handle<SubMesh>& first, const Handle<SubMesh>& incoming);
//     // The first line of its dump (and its str()).
//     std::string display_text() const;
//   };
//
// and gets, with results of its own type: indexing and slicing, `push_sub` (the
// add_sub path, which may repeat a handle), the unions (`a | b`, `a | sub`,
// `sub | sub`, which never repeat one), `unit()`, and the debug and dump texts.
// Each handle owns one count. Two handles are the same item when their slot index
// and generation are equal; unions de-duplicate through a hash set of handles, so
// a union costs time linear in its operands.
//
// A container that keeps state derived from its list defines `void after_append()
// noexcept`, called after `push_sub` and after an `extend_unique` that appended.
//
// The dump frames each item's `Sub::dump_text(options)` taken under a read guard;
// a container whose items print otherwise defines
// `static std::string item_dump_text(const Sub&, const dump::DumpOptions&)`.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "dump/container_frame.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_options.hpp"
#include "store/guard.hpp"
#include "store/handle.hpp"
#include "store/store.hpp"

namespace quenlith::containers {

// "expected a unitary {} (exactly one {}), found {}": the error of every container's
// `unit()` and of the operations that need exactly one item.
Error not_unitary_error(std::string_view container, std::string_view items, std::uint64_t count);

template <class Derived, class SubT>
class SubList {
 public:
  using Sub = SubT;
  using H = store::Handle<SubT>;

  SubList() = default;
  // The handles as given, unchecked: for lists already known to satisfy the
  // container's rule.
  explicit SubList(std::vector<H> subs) noexcept : subs_(std::move(subs)) {}

  std::span<const H> subs() const noexcept { return subs_; }
  std::uint64_t size() const noexcept { return subs_.size(); }
  bool empty() const noexcept { return subs_.empty(); }

  // A clone of handle i; "index {} out of bounds (len={})".
  H sub_at(std::uint64_t i) const {
    QUENLITH_VERIFY(i < subs_.size(), "index {} out of bounds (len={})", i, subs_.size());
    return subs_[i];
  }
  // A clone of the only handle; not_unitary_error otherwise.
  H unit() const {
    if (subs_.size() != 1) throw not_unitary_error(Derived::kName, Derived::kItems, subs_.size());
    return subs_.front();
  }

  // The container's rule for `sub` (nothing when it has none, or when the list is
  // empty), then append, even when already present. On failure the handle is
  // released and the list unchanged.
  void push_sub(H sub) {
    check_joins(sub);
    subs_.push_back(std::move(sub));
    notify_append();
  }
  // When `subs` is not empty, the container's rule for its first handle; then a
  // clone of each handle not yet in the list, in order.
  void extend_unique(std::span<const H> subs) {
    Seen seen(subs_);
    const std::size_t before = subs_.size();
    extend_unique(subs, seen);
    if (subs_.size() != before) notify_append();
  }

  // a's distinct handles in order, then b's not yet there.
  static Derived union_(const Derived& a, const Derived& b) {
    Derived out;
    Seen seen;
    out.extend_unique(a.subs_, seen);
    out.extend_unique(b.subs_, seen);
    return out;
  }
  // This list's distinct handles, then `sub` unless present (through push_sub).
  Derived union_sub(const H& sub) const {
    Derived out;
    Seen seen;
    out.extend_unique(subs_, seen);
    if (!seen.contains(sub)) out.push_sub(sub);
    return out;
  }
  // `sub | sub`: [a], or [a, b] when b is another item (through push_sub).
  static Derived union_(const H& a, const H& b) {
    Derived out;
    out.subs_.push_back(a);
    if (!(b == a)) out.push_sub(b);
    return out;
  }
  // Clones of the handles at `indices`, in that order (repeats allowed), each
  // through push_sub; "index {} out of bounds (len={})".
  Derived slice(std::span<const std::uint64_t> indices) const {
    Derived out;
    out.subs_.reserve(indices.size());
    for (std::uint64_t i : indices) out.push_sub(sub_at(i));
    return out;
  }

  // Name { count: N, items: [...] }, every item's own debug text (its bare handle
  // text when it cannot be read). Never fails.
  std::string debug_text() const {
    std::vector<std::string> items;
    items.reserve(subs_.size());
    for (const H& h : subs_) {
      std::string text;
      h.fmt_resolved(text, false);
      items.push_back(std::move(text));
    }
    return dump::debug_container(Derived::kName, items);
  }
  // The container frame (dump/container_frame.hpp) under the display text, around
  // each item's dump text; an item that cannot be read shows its error.
  std::string dump_text(const dump::DumpOptions& options) const {
    return dump::dump_container(derived().display_text(), subs_.size(), [&](std::size_t i) {
      store::ReadGuard<Sub> guard = store::read(subs_[i]);
      if constexpr (requires { Derived::item_dump_text(*guard, options); })
        return Derived::item_dump_text(*guard, options);
      else
        return guard->dump_text(options);
    });
  }

 protected:
  std::vector<H>& mutable_subs() noexcept { return subs_; }

 private:
  // The items already in a list being built, by slot index and generation (no
  // count is taken for them).
  class Seen {
   public:
    Seen() = default;
    explicit Seen(std::span<const H> subs) {
      for (const H& h : subs) insert(h);
    }
    bool contains(const H& h) const { return keys_.contains(key(h)); }
    bool insert(const H& h) { return keys_.insert(key(h)).second; }

   private:
    static std::uint64_t key(const H& h) noexcept { return (std::uint64_t{h.idx()} << 32) | h.gen(); }
    std::unordered_set<std::uint64_t> keys_;
  };

  const Derived& derived() const noexcept { return static_cast<const Derived&>(*this); }

  // A container that keeps state derived from its list (a Model's assembly
  // patterns) defines `void after_append() noexcept` to drop it.
  void notify_append() noexcept {
    if constexpr (requires(Derived& d) { d.after_append(); }) static_cast<Derived&>(*this).after_append();
  }

  void check_joins(const H& sub) const {
    if constexpr (requires { Derived::check_joins(sub, sub); }) {
      if (!subs_.empty()) Derived::check_joins(subs_.front(), sub);
    }
  }

  void extend_unique(std::span<const H> subs, Seen& seen) {
    if (subs.empty()) return;
    check_joins(subs.front());
    for (const H& h : subs)
      if (seen.insert(h)) subs_.push_back(h);
  }

  std::vector<H> subs_;
};

}  // namespace quenlith::containers
