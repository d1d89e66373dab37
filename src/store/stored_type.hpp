#pragma once
// What a type must provide to live in the object store.
//
// A stored type `T` plugs in by specialising `StoredTypeTraits<T>` next to its own
// definition (so that every user of `Handle<T>` sees it):
//
//   template <> struct store::StoredTypeTraits<SubMesh> {
//     static constexpr std::string_view type_path = store::type_path::sub_mesh;
//     static constexpr bool writable = true;            // write guards allowed
//     static void encode(const SubMesh& m, store::RecordWriter& w);   // the swap record
//     static SubMesh decode(store::RecordReader& r);                  // its exact inverse
//     // optional:
//     static void release_counts(SubMesh& m);  // give back counts other than handles
//     static void debug_text(const SubMesh& m, bool alternate, std::string& out);
//   };
//
// Rules the store relies on:
// - Handles held by the object are plain `Handle<U>` members (or in containers,
//   optionals, variants, nested records...). Destroying the object destroys each once,
//   which gives back their units: no hook is needed for them.
// - `release_counts` gives back every other count the object holds (a submesh's
//   references on its nodes). The store calls it exactly once, when the last handle
//   goes, on the object in memory or on the one decoded from its swap file; never
//   when the object is written out. The destructor of `T` must therefore not give
//   back such counts itself. A failure it throws is swallowed.
// - `decode` reads the fields in declaration order with the RecordReader and builds
//   the object; it reads handles with `read_handle<U>()`. It moves the handles it read
//   into the object and never duplicates one: each record handle ends in the object
//   exactly once. It may reject a record whose fields disagree with each other
//   (`RecordReader::check`). A throwing decode gives back no unit.
// - `encode` writes exactly the bytes `decode` reads (fields in declaration order).
// - `T` is nothrow move constructible (the store moves it into and out of its cell).
#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

namespace quenlith::store {

class RecordReader;
class RecordWriter;

// Primary template left undefined: a type is stored only once it is specialised.
template <class T>
struct StoredTypeTraits;

// The type path texts of the eight stored types, shown by handle debug texts.
namespace type_path {
inline constexpr std::string_view coords = "quenlith::containers::mesh::coords::Coords";
inline constexpr std::string_view sub_mesh = "quenlith::containers::mesh::SubMesh";
inline constexpr std::string_view sub_finite_element_space =
    "quenlith::containers::finite_element_space::SubFiniteElementSpace";
inline constexpr std::string_view sub_node_field = "quenlith::containers::node_field::SubNodeField";
inline constexpr std::string_view sub_element_field = "quenlith::containers::element_field::SubElementField";
inline constexpr std::string_view sub_evolution = "quenlith::containers::evolution::SubEvolution";
inline constexpr std::string_view sub_matrix = "quenlith::containers::matrix::SubMatrix";
inline constexpr std::string_view sub_model = "quenlith::containers::model::SubModel";
}  // namespace type_path

template <class T>
concept StoredType = std::is_nothrow_move_constructible_v<T> && requires(const T& c, RecordWriter& w, RecordReader& r) {
  { StoredTypeTraits<T>::type_path } -> std::convertible_to<std::string_view>;
  { StoredTypeTraits<T>::writable } -> std::convertible_to<bool>;
  StoredTypeTraits<T>::encode(c, w);
  { StoredTypeTraits<T>::decode(r) } -> std::same_as<T>;
};

// Write guards exist only for types whose traits say so (Coords, SubMesh,
// SubNodeField, SubElementField, SubEvolution, SubMatrix).
template <class T>
concept WritableStoredType = StoredType<T> && StoredTypeTraits<T>::writable;

template <class T>
concept HasReleaseCounts = requires(T& t) { StoredTypeTraits<T>::release_counts(t); };

template <class T>
concept HasDebugText = requires(const T& t, std::string& out) { StoredTypeTraits<T>::debug_text(t, true, out); };

}  // namespace quenlith::store
