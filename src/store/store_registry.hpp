#pragma once
// StoreRegistry: the process-wide map from a stored type to its Store.
//
// Created on first use and never destroyed (nor are its stores), so handles
// destroyed during process exit still find their store. An entry is created on the
// first request for its type and never removed. The mutex is held only while a store
// is found or created, and nothing else is locked under it.
#include <memory>
#include <mutex>
#include <string_view>
#include <typeindex>
#include <unordered_map>

namespace quenlith::store {

// The type-independent face of a Store<T>.
class StoreBase {
 public:
  virtual ~StoreBase() = default;
  virtual std::string_view type_path() const noexcept = 0;
};

class StoreRegistry {
 public:
  static StoreRegistry& instance();

  // The store of `key`, made by `make` when missing.
  StoreBase& find_or_create(std::type_index key, std::unique_ptr<StoreBase> (*make)());

 private:
  StoreRegistry() = default;
  std::mutex mutex_;
  std::unordered_map<std::type_index, std::unique_ptr<StoreBase>> stores_;
};

}  // namespace quenlith::store
