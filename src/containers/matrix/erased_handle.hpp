#pragma once
// ErasedHandle: a counted handle whose stored type is known only at run time.
//
// A computed block's recipe names objects of the model and field families (its
// sub-model, material zone and state zone). The block must own them like any handle
// (one unit each, given back when the block goes, written to and read from its swap
// record) without this layer depending on those families: the handle is kept behind
// a small table of operations made for its type when it is wrapped.
//
// Copying clones the handle (one more unit), destroying gives the unit back, moving
// transfers it; an empty ErasedHandle owns nothing. Equality compares the type path,
// idx and gen.
//
// Reading one from a record needs the type's reader: a stored type that may appear in
// a recipe calls `register_type<T>()` once (its family's start-up does); a record
// naming a type that never registered is refused with a serialization error.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "store/handle.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::containers::matrix {

class ErasedHandle {
 public:
  ErasedHandle() noexcept = default;
  template <class T>
  explicit ErasedHandle(store::Handle<T> handle)
      : idx_(handle.idx()), gen_(handle.gen()), object_(new store::Handle<T>(std::move(handle))), ops_(&ops_for<T>) {}
  ErasedHandle(const ErasedHandle& other)
      : idx_(other.idx_), gen_(other.gen_), object_(other.ops_ ? other.ops_->clone(other.object_) : nullptr),
        ops_(other.ops_) {}
  ErasedHandle(ErasedHandle&& other) noexcept
      : idx_(other.idx_), gen_(other.gen_), object_(std::exchange(other.object_, nullptr)),
        ops_(std::exchange(other.ops_, nullptr)) {}
  ErasedHandle& operator=(ErasedHandle other) noexcept {
    std::swap(idx_, other.idx_);
    std::swap(gen_, other.gen_);
    std::swap(object_, other.object_);
    std::swap(ops_, other.ops_);
    return *this;
  }
  ~ErasedHandle() {
    if (ops_) ops_->destroy(object_);
  }

  bool empty() const noexcept { return ops_ == nullptr; }
  std::uint32_t idx() const noexcept { return idx_; }
  std::uint32_t gen() const noexcept { return gen_; }
  // The stored type's path; empty for an empty handle.
  std::string_view type_path() const noexcept { return ops_ ? ops_->type_path : std::string_view{}; }
  // The bare handle text "Handle<{type path}>{ idx: {}, gen: {} }".
  std::string debug_text() const;

  // The typed handle when the stored type is T, else null. Lent while this lives.
  template <class T>
  const store::Handle<T>* as() const noexcept {
    return ops_ == &ops_for<T> ? static_cast<const store::Handle<T>*>(object_) : nullptr;
  }

  friend bool operator==(const ErasedHandle& a, const ErasedHandle& b) noexcept {
    return a.type_path() == b.type_path() && a.idx_ == b.idx_ && a.gen_ == b.gen_;
  }

  // The record form is that of any handle: idx then gen.
  void encode(store::RecordWriter& w) const {
    w.write_u32(idx_);
    w.write_u32(gen_);
  }
  // A handle of the stored type with this path, read as the store reads any record
  // handle. "no stored type {} is available to read a recipe handle" when the type
  // never registered.
  static ErasedHandle read(store::RecordReader& r, std::string_view type_path);

  template <class T>
  static void register_type() {
    register_reader(store::StoredTypeTraits<T>::type_path,
                    [](store::RecordReader& r) { return ErasedHandle(r.read_handle<T>()); });
  }

 private:
  struct Ops {
    std::string_view type_path;
    void* (*clone)(const void*);
    void (*destroy)(void*) noexcept;
  };
  template <class T>
  static constexpr Ops ops_for{
      store::StoredTypeTraits<T>::type_path,
      [](const void* p) -> void* { return new store::Handle<T>(*static_cast<const store::Handle<T>*>(p)); },
      [](void* p) noexcept { delete static_cast<store::Handle<T>*>(p); }};

  using Reader = ErasedHandle (*)(store::RecordReader&);
  static void register_reader(std::string_view type_path, Reader reader);

  std::uint32_t idx_ = 0xFFFFFFFFu;
  std::uint32_t gen_ = 0;
  void* object_ = nullptr;
  const Ops* ops_ = nullptr;
};

}  // namespace quenlith::containers::matrix
