#pragma once
// The binding kit: what every Python class of the module is made of.
//
// A class is a descriptor (declared in py/classes.hpp), a signature table and a
// slot list, in a file of its own (py/<class>.cpp). For a class over one stored
// object:
//
//   // py/classes.hpp: the descriptor, and its name in the list ClassOf runs through
//   struct CoordsClass {
//     using Payload = store::Handle<containers::mesh::Coords>;  // what an object holds
//     static constexpr const char* kName = "Coords";              // in texts and errors
//     static TypeCache type;
//   };
//
//   // py/coords.cpp: the signatures (name, parameters, doc) ...
//   const Signature node_count_sig{"node_count", "Coords", Receiver::Self, {}, "Number of live nodes."};
//   const Signature add_node_sig{"add_node", "Coords", Receiver::Self, coords_params, "..."};
//   const Signature dim_sig{"dim", "Coords", Receiver::Self, {}, "Spatial dimension ..."};
//   Node add_node(const store::Handle<Coords>& h, const std::vector<double>& xyz);
//
//   // ... and the slot list
//   TypeDef coords_type_def() {
//     using K = Class<CoordsClass>;
//     static PyMethodDef methods[] = {
//         method<CoordsClass, node_count_sig, &Coords::node_count>(),  // read guard, int result
//         method<CoordsClass, add_node_sig, add_node, to_f64_list>(),  // one converter per parameter
//         K::dump(), kMethodsEnd};
//     static PyGetSetDef getset[] = {getter<CoordsClass, dim_sig, &Coords::dim>(), kGetSetEnd};
//     return K::def("_quenlith.Coords", coords_new_sig, methods, getset,
//                   {{constructor<CoordsClass, coords_new_sig, make_coords, to_u8>()}});
//   }
//   TypeCache CoordsClass::type{&coords_type_def};
//
// then the class's line in module.cpp. Every entry matches its signature,
// converts the arguments in order (an object of another class through
// `borrow<C>` or `borrow_list<C>`, which hold it until the call returns), then
// holds its receiver shared until the call returns, runs the body and makes the
// Python result. A body takes the payload, or the stored object under a read guard
// (a `const T&` first parameter) or a write guard (`T&`); guarded bodies return
// plain C++ values, made into Python objects once the guard is gone (freeing a
// Python Node takes a write guard on its Coords). `to_python` knows numbers,
// texts, lists, tuples, optionals and every type a class holds (ClassOf).
// `Class<C>` gives dealloc, str and repr (the value's display_text and
// debug_text), dump, len and indexing.
//
// A container (Mesh, FiniteElementSpace, ...) is a class whose payload derives
// from the core list (containers/sub_list.hpp) and whose descriptor names its item
// class; py/bind/container.hpp then gives len, indexing by integer and slice, `|`,
// unit, add_sub, dump, str and repr:
//
//   struct MeshClass {
//     using Payload = containers::mesh::Mesh;
//     using SubClass = SubMeshClass;
//     static constexpr const char* kName = "Mesh";
//     static TypeCache type;
//   };
//   TypeDef mesh_type_def() {
//     static const PyMethodDef methods[] = {method<MeshClass, cell_count_sig, &Mesh::cell_count>(), ...};
//     return Container<MeshClass>::def("_quenlith.Mesh", mesh_new_sig, methods, {{constructor<...>()}});
//   }
//
// and the item class puts Container<MeshClass>::sub_or_slot() in its slot list.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "dump/dump_options.hpp"
#include "parallel/isolated.hpp"
#include "py/bind/class_of.hpp"
#include "py/bind/convert.hpp"
#include "py/bind/dump_print.hpp"
#include "py/bind/entry.hpp"
#include "py/bind/errors.hpp"
#include "py/bind/hold.hpp"
#include "py/bind/object.hpp"
#include "py/bind/ref.hpp"
#include "py/bind/signature.hpp"
#include "py/bind/type.hpp"
#include "store/guard.hpp"
#include "store/handle.hpp"
#include "store/store.hpp"

namespace quenlith::py {

inline constexpr PyMethodDef kMethodsEnd{nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef kGetSetEnd{nullptr, nullptr, nullptr, nullptr, nullptr};

namespace detail {

template <class T>
struct StoredOf {
  static constexpr bool value = false;
};
template <class T>
struct StoredOf<store::Handle<T>> {
  static constexpr bool value = true;
  using type = T;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};
template <class T>
struct IsTuple : std::false_type {};
template <class... T>
struct IsTuple<std::tuple<T...>> : std::true_type {};

}  // namespace detail

// The Python object for a C++ result.
template <class T>
Ref to_python(T value) {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, Ref>) {
    return value;
  } else if constexpr (std::is_same_v<U, bool>) {
    return from_bool(value);
  } else if constexpr (std::is_floating_point_v<U>) {
    return from_f64(value);
  } else if constexpr (std::is_integral_v<U> && std::is_unsigned_v<U>) {
    return from_u64(value);
  } else if constexpr (std::is_integral_v<U>) {
    return from_i64(value);
  } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
    return from_str(std::string_view(value));
  } else if constexpr (detail::IsOptional<U>::value) {
    if (!value) return Ref::borrow(Py_None);
    return to_python(std::move(*value));
  } else if constexpr (detail::IsVector<U>::value) {
    return list_from(value, [](auto& item) { return to_python(std::move(item)); });
  } else if constexpr (detail::IsTuple<U>::value) {
    return std::apply(
        [](auto&... items) {
          Ref out = Ref::steal(PyTuple_New(sizeof...(items)));
          Py_ssize_t i = 0;
          ((PyTuple_SET_ITEM(out.get(), i++, to_python(std::move(items)).release())), ...);  // steals
          return out;
        },
        value);
  } else {
    using C = typename ClassOf<U>::type;
    return wrap<typename C::Payload>(C::type, std::move(value));
  }
}

// Runs `body` on the value behind a payload: a stored object under a read guard
// (released before this returns, so the result must be a plain value), anything
// else as it is.
template <class P, class F>
auto read_value(const P& payload, F&& body) {
  if constexpr (detail::StoredOf<P>::value) {
    store::ReadGuard<typename detail::StoredOf<P>::type> guard = store::read(payload);
    return body(std::as_const(*guard));
  } else {
    return body(payload);
  }
}

// Calls `Body(payload, args...)` when it takes the payload; for a stored payload,
// `Body(const T&, args...)` under a read guard or `Body(T&, args...)` under a write
// guard (its loops isolated). Guards are released before this returns.
template <auto Body, class P, class... A>
auto call_on(const P& payload, A&&... args) {
  using F = decltype(Body);
  if constexpr (std::is_invocable_v<F, const P&, A...>) {
    return std::invoke(Body, payload, std::forward<A>(args)...);
  } else {
    static_assert(detail::StoredOf<P>::value, "the body takes neither the payload nor its stored object");
    using T = typename detail::StoredOf<P>::type;
    if constexpr (std::is_invocable_v<F, const T&, A...>) {
      store::ReadGuard<T> guard = store::read(payload);
      return std::invoke(Body, std::as_const(*guard), std::forward<A>(args)...);
    } else {
      // Loops the body starts while the guard is held run isolated: waiting for
      // them, this thread never takes up another caller's work that needs the guard.
      store::WriteGuard<T> guard = store::write(payload);
      return parallel::isolated_call([&] { return std::invoke(Body, *guard, std::forward<A>(args)...); });
    }
  }
}

// The Python result of a call: None for a body that returns nothing.
template <class F>
Ref result_of(F&& call) {
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    return Ref::borrow(Py_None);
  } else {
    return to_python(call());
  }
}

// An object of class C, held shared from construction to destruction, with const
// access to its payload. As a converter (`borrow<C>`), the argument error is
// "'{}' object is not an instance of '{}'"; as a receiver, the interpreter has
// already checked the type.
template <class C>
class Borrowed {
 public:
  using Payload = typename C::Payload;

  explicit Borrowed(PyObject* obj) : obj_(instance<Payload>(obj, C::type, C::kName)) { obj_->hold.acquire_shared(); }
  static Borrowed receiver(PyObject* self) { return Borrowed(object_cast<Payload>(self)); }
  Borrowed(Borrowed&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Borrowed& operator=(Borrowed&&) = delete;
  Borrowed(const Borrowed&) = delete;
  ~Borrowed() {
    if (obj_) obj_->hold.release_shared();
  }

  const Payload& operator*() const noexcept { return obj_->payload; }
  const Payload* operator->() const noexcept { return &obj_->payload; }

 private:
  explicit Borrowed(Object<Payload>* obj) : obj_(obj) { obj_->hold.acquire_shared(); }
  Object<Payload>* obj_;
};

template <class C>
Borrowed<C> borrow(PyObject* obj) {
  return Borrowed<C>(obj);
}

// Whether `obj` is an object of class C.
template <class C>
bool is_instance(PyObject* obj) {
  return instance_or_null<typename C::Payload>(obj, C::type) != nullptr;
}

// The objects of class C in a sequence argument (a snapshot of it, see
// detail::sequence_items), each held shared until this is destroyed; the first
// item of another class is the argument's error. Room for kInline items sits
// inline, so short lists allocate only their snapshot.
template <class C>
class BorrowedList {
 public:
  using Payload = typename C::Payload;

  explicit BorrowedList(PyObject* obj) : items_(detail::sequence_items(obj)) {
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items_.get()));
    if (n > kInline) {
      spill_objects_.resize(n);
      spill_payloads_.resize(n);
    }
    point_at_storage(n);
    PyObject** objects = PySequence_Fast_ITEMS(items_.get());
    try {
      for (std::size_t i = 0; i < n; ++i) {
        Object<Payload>* o = instance<Payload>(objects[i], C::type, C::kName);
        o->hold.acquire_shared();
        objects_[count_] = o;
        payloads_[count_++] = &o->payload;
      }
    } catch (...) {
      release();  // no destructor runs for a constructor that throws
      throw;
    }
  }
  BorrowedList(BorrowedList&& other) noexcept
      : items_(std::move(other.items_)),
        spill_objects_(std::move(other.spill_objects_)),
        spill_payloads_(std::move(other.spill_payloads_)),
        count_(std::exchange(other.count_, 0)) {
    if (count_ <= kInline) {
      std::copy_n(other.inline_objects_, count_, inline_objects_);
      std::copy_n(other.inline_payloads_, count_, inline_payloads_);
    }
    point_at_storage(count_);
  }
  BorrowedList(const BorrowedList&) = delete;
  BorrowedList& operator=(const BorrowedList&) = delete;
  ~BorrowedList() { release(); }

  // The payloads, in order.
  std::span<const Payload* const> payloads() const noexcept { return {payloads_, count_}; }

 private:
  static constexpr std::size_t kInline = 32;

  void release() noexcept {
    for (std::size_t i = 0; i < count_; ++i) objects_[i]->hold.release_shared();
    count_ = 0;
  }
  void point_at_storage(std::size_t n) noexcept {
    objects_ = n > kInline ? spill_objects_.data() : inline_objects_;
    payloads_ = n > kInline ? spill_payloads_.data() : inline_payloads_;
  }

  Ref items_;  // the snapshot: keeps every item alive
  Object<Payload>* inline_objects_[kInline];
  const Payload* inline_payloads_[kInline];
  std::vector<Object<Payload>*> spill_objects_;
  std::vector<const Payload*> spill_payloads_;
  Object<Payload>** objects_ = inline_objects_;
  const Payload** payloads_ = inline_payloads_;
  std::size_t count_ = 0;
};

template <class C>
BorrowedList<C> borrow_list(PyObject* obj) {
  return BorrowedList<C>(obj);
}

// The converter of an optional parameter: nullopt when absent, else Conv's value.
template <auto Conv>
auto opt(PyObject* obj) -> std::optional<decltype(Conv(obj))> {
  if (!obj) return std::nullopt;
  return Conv(obj);
}

namespace detail {

// The arguments converted in parameter order (braces fix the order of evaluation).
template <const Signature& Sig, auto... Convs, std::size_t... I>
auto convert_all(const BoundArgs& bound, std::index_sequence<I...>) {
  return std::tuple<decltype(Convs(nullptr))...>{arg(Sig, bound, I, Convs)...};
}

template <const Signature& Sig, auto... Convs>
auto convert_args(const BoundArgs& bound) {
  return convert_all<Sig, Convs...>(bound, std::index_sequence_for<decltype(Convs)...>{});
}

template <class C, const Signature& Sig, auto Body, auto... Convs>
Ref call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(Sig, args, nargsf, kwnames);
  auto values = convert_args<Sig, Convs...>(bound);
  const Borrowed<C> receiver = Borrowed<C>::receiver(self);
  return std::apply(
      [&](auto&... v) { return result_of([&] { return call_on<Body>(*receiver, std::move(v)...); }); }, values);
}

template <const Signature& Sig, auto Body, auto... Convs>
Ref call_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(Sig, args, nargsf, kwnames);
  auto values = convert_args<Sig, Convs...>(bound);
  return std::apply([&](auto&... v) { return result_of([&] { return std::invoke(Body, std::move(v)...); }); },
                    values);
}

template <class C, const Signature& Sig, auto Body, auto... Convs>
PyObject* call_constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const BoundArgs bound = match_tuple(Sig, args, kwargs);
    auto values = convert_args<Sig, Convs...>(bound);
    return std::apply(
        [&](auto&... v) {
          typename C::Payload payload = std::invoke(Body, std::move(v)...);
          return wrap<typename C::Payload>(C::type, std::move(payload));
        },
        values);
  });
}

template <class C, auto Body>
PyObject* get(PyObject* self, void*) noexcept {
  return guarded([&] {
    const Borrowed<C> receiver = Borrowed<C>::receiver(self);
    return result_of([&] { return call_on<Body>(*receiver); });
  });
}

template <class C, const Signature& Sig, auto Body, auto Conv>
int set(PyObject* self, PyObject* value, void*) noexcept {
  return guarded_status([&] {
    if (!value) raise(PyExc_AttributeError, "property has no deleter");
    auto converted = [&] {
      try {
        return Conv(value);
      } catch (const ErrorAlreadySet&) {
        rethrow_as_argument_error(Sig.params[0].name);
      }
    }();
    const Borrowed<C> receiver = Borrowed<C>::receiver(self);
    call_on<Body>(*receiver, std::move(converted));
  });
}

}  // namespace detail

// A method of class C: name and doc from `Sig`, one converter per parameter.
template <class C, const Signature& Sig, auto Body, auto... Convs>
PyMethodDef method() {
  return method_def<&detail::call_method<C, Sig, Body, Convs...>>(Sig.name, Sig.doc());
}

// A module function, or a class method when `flags` is METH_CLASS (the class is
// not passed to the body).
template <const Signature& Sig, auto Body, auto... Convs>
PyMethodDef function(int flags = 0) {
  return method_def<&detail::call_function<Sig, Body, Convs...>>(Sig.name, Sig.doc(), flags);
}

// The constructor slot: Body(args...) returns the new object's payload.
template <class C, const Signature& Sig, auto Body, auto... Convs>
PyType_Slot constructor() {
  return {Py_tp_new, reinterpret_cast<void*>(&detail::call_constructor<C, Sig, Body, Convs...>)};
}

// A read-only property: name and doc from `Sig` (its description alone).
template <class C, const Signature& Sig, auto Body>
PyGetSetDef getter() {
  return {Sig.name, &detail::get<C, Body>, nullptr, Sig.description, nullptr};
}

// A property with a setter: Set(payload or stored object, Conv(value)); a TypeError
// of the conversion is the argument error of Sig's one parameter. Deleting raises
// AttributeError "property has no deleter".
template <class C, const Signature& Sig, auto Get, auto Set, auto Conv>
PyGetSetDef property() {
  return {Sig.name, &detail::get<C, Get>, &detail::set<C, Sig, Set, Conv>, Sig.description, nullptr};
}

using Slots = std::vector<PyType_Slot>;

template <class C>
struct Class {
  using Payload = typename C::Payload;

  // The dump text of a payload: the descriptor's own `dump_text` when it has one,
  // else the value's.
  static std::string dump_text(const Payload& payload, const dump::DumpOptions& options) {
    if constexpr (requires { C::dump_text(payload, options); })
      return C::dump_text(payload, options);
    else
      return read_value(payload, [&](const auto& v) { return v.dump_text(options); });
  }

  // dump(precision=3, max_rows=20, max_cols=12): prints the dump text. The receiver
  // stays held until the print has returned.
  static inline const Signature dump_sig{"dump", C::kName, Receiver::Self, dump_params, kDumpDocItem};
  static Ref dump_body(const Payload& payload, std::optional<std::uint64_t> precision,
                       std::optional<std::uint64_t> max_rows, std::optional<std::uint64_t> max_cols) {
    dump::DumpOptions options;
    if (precision) options.precision = *precision;
    if (max_rows) options.max_rows = *max_rows;
    if (max_cols) options.max_cols = *max_cols;
    dump_print(dump_text(payload, options));
    return Ref::borrow(Py_None);
  }
  template <const Signature& Sig = dump_sig>
  static PyMethodDef dump() {
    return method<C, Sig, &dump_body, opt<to_u64>, opt<to_u64>, opt<to_u64>>();
  }

  static PyObject* str(PyObject* self) noexcept {
    return guarded([&] {
      const Borrowed<C> receiver = Borrowed<C>::receiver(self);
      return from_str(read_value(*receiver, [](const auto& v) { return v.display_text(); }));
    });
  }
  static PyObject* repr(PyObject* self) noexcept {
    return guarded([&] {
      const Borrowed<C> receiver = Borrowed<C>::receiver(self);
      return from_str(read_value(*receiver, [](const auto& v) { return v.debug_text(); }));
    });
  }

  // len(): Length(payload or stored object) -> a count.
  template <auto Length>
  static Slots length() {
    constexpr auto fn = [](PyObject* self) noexcept -> Py_ssize_t {
      Py_ssize_t n = -1;
      guarded_status([&] {
        const Borrowed<C> receiver = Borrowed<C>::receiver(self);
        n = static_cast<Py_ssize_t>(call_on<Length>(*receiver));
      });
      return n;
    };
    Py_ssize_t (*slot)(PyObject*) = fn;
    return {{Py_mp_length, reinterpret_cast<void*>(slot)}, {Py_sq_length, reinterpret_cast<void*>(slot)}};
  }

  // obj[key] and iteration: Item(payload or stored object, std::int64_t key) -> the
  // item; `obj[key]` converts the key as the argument `idx`.
  template <auto Item>
  static Slots items() {
    constexpr auto subscript = [](PyObject* self, PyObject* key) noexcept -> PyObject* {
      return guarded([&] { return item<Item>(self, idx_key(key)); });
    };
    constexpr auto sq_item = [](PyObject* self, Py_ssize_t i) noexcept -> PyObject* {
      return guarded([&] { return item<Item>(self, i); });
    };
    PyObject* (*mp)(PyObject*, PyObject*) = subscript;
    PyObject* (*sq)(PyObject*, Py_ssize_t) = sq_item;
    return {{Py_mp_subscript, reinterpret_cast<void*>(mp)}, {Py_sq_item, reinterpret_cast<void*>(sq)}};
  }

  // The type: dealloc, str and repr, the given methods and properties (null for
  // none) and the class's own slots. `sig` gives the doc: a constructor's signature
  // (then the class is instantiable) or a description.
  static TypeDef def(const char* name, const Signature& sig, PyMethodDef* methods, PyGetSetDef* getset,
                     std::initializer_list<Slots> own) {
    Slots slots{
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Payload>)},
        {Py_tp_str, reinterpret_cast<void*>(&str)},
        {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    };
    if (methods) slots.push_back({Py_tp_methods, methods});
    if (getset) slots.push_back({Py_tp_getset, getset});
    for (const Slots& group : own) slots.insert(slots.end(), group.begin(), group.end());
    const bool constructor = sig.receiver == Receiver::Constructor;
    return {name, static_cast<int>(sizeof(Object<Payload>)), constructor ? sig.doc() : sig.description, constructor,
            std::move(slots)};
  }

 private:
  template <auto Item>
  static Ref item(PyObject* self, std::int64_t key) {
    const Borrowed<C> receiver = Borrowed<C>::receiver(self);
    return result_of([&] { return call_on<Item>(*receiver, key); });
  }
};

}  // namespace quenlith::py
