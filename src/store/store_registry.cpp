#include "store/store_registry.hpp"

namespace quenlith::store {

StoreRegistry& StoreRegistry::instance() {
  // Never destroyed: stores must outlive every handle, static ones included.
  static StoreRegistry* registry = new StoreRegistry();
  return *registry;
}

StoreBase& StoreRegistry::find_or_create(std::type_index key, std::unique_ptr<StoreBase> (*make)()) {
  std::lock_guard lock(mutex_);
  auto [it, inserted] = stores_.try_emplace(key);
  if (inserted) {
    try {
      it->second = make();
    } catch (...) {
      stores_.erase(it);
      throw;
    }
  }
  return *it->second;
}

}  // namespace quenlith::store
