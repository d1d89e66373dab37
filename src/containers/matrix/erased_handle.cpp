#include "containers/matrix/erased_handle.hpp"

#include <mutex>
#include <string>
#include <unordered_map>

#include <fmt/format.h>

#include "base/error.hpp"

namespace quenlith::containers::matrix {

namespace {

struct Readers {
  std::mutex mutex;
  std::unordered_map<std::string, ErasedHandle (*)(store::RecordReader&)> by_path;
};

Readers& readers() {
  static Readers r;
  return r;
}

}  // namespace

std::string ErasedHandle::debug_text() const {
  return fmt::format("Handle<{}>{{ idx: {}, gen: {} }}", type_path(), idx_, gen_);
}

void ErasedHandle::register_reader(std::string_view type_path, Reader reader) {
  Readers& r = readers();
  std::lock_guard lock(r.mutex);
  r.by_path[std::string(type_path)] = reader;
}

ErasedHandle ErasedHandle::read(store::RecordReader& r, std::string_view type_path) {
  Reader reader = nullptr;
  {
    Readers& all = readers();
    std::lock_guard lock(all.mutex);
    auto it = all.by_path.find(std::string(type_path));
    if (it != all.by_path.end()) reader = it->second;
  }
  if (!reader)
    throw Error::serialization(
        fmt::format("no stored type {} is available to read a recipe handle", type_path));
  return reader(r);
}

}  // namespace quenlith::containers::matrix
