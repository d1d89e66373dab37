#pragma once
// SubModel: one stored sub-model, one of the 13 kinds (models/mod/registry.hpp)
// behind the ModelKind interface. Once inserted it never changes (the store gives it
// no write guard), so every operation reads it under a read guard, from any number
// of threads. It holds one count of every subspace and submesh its record names.
//
// Swap record: the kind's variant index (u32, below 13), then the kind's fields.
#include <memory>
#include <string>
#include <utility>

#include "dump/dump_options.hpp"
#include "models/mod/kind.hpp"
#include "store/stored_type.hpp"

namespace quenlith::containers::model {

class SubModel {
 public:
  explicit SubModel(std::unique_ptr<models::ModelKind> kind) noexcept : kind_(std::move(kind)) {}
  // A stored sub-model of a kind record (moved into a new heap object).
  template <class K>
  static SubModel of(K kind) {
    return SubModel(std::make_unique<K>(std::move(kind)));
  }
  SubModel(SubModel&&) noexcept = default;
  SubModel& operator=(SubModel&&) noexcept = default;

  const models::ModelKind& kind() const noexcept { return *kind_; }

  // The kind's label.
  std::string display_text() const { return kind_->label(); }
  // SubModel { kind: "Elasticity", physics: [Mechanical] }
  std::string debug_text() const;
  // The kind's description.
  std::string dump_text(const dump::DumpOptions& options) const { return kind_->describe(options); }

  void encode(store::RecordWriter& w) const;
  static SubModel decode(store::RecordReader& r);

 private:
  std::unique_ptr<models::ModelKind> kind_;  // never null but moved from
};

}  // namespace quenlith::containers::model

template <>
struct quenlith::store::StoredTypeTraits<quenlith::containers::model::SubModel> {
  using Sub = containers::model::SubModel;
  static constexpr std::string_view type_path = store::type_path::sub_model;
  static constexpr bool writable = false;
  static void encode(const Sub& s, store::RecordWriter& w) { s.encode(w); }
  static Sub decode(store::RecordReader& r) { return Sub::decode(r); }
  static void debug_text(const Sub& s, bool /*alternate*/, std::string& out) { out += s.debug_text(); }
};
