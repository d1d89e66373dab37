#pragma once
// The protocol every container class shares (Mesh, FiniteElementSpace, and later
// NodeField, ElementField, Matrix, Model, Evolution): `len`, indexing by integer or
// slice, `|` (union in left order, no handle repeated), `unit()`, `add_sub(sub)`,
// dump, str and repr, written once over the core list (containers/sub_list.hpp).
// See py/bind/class.hpp for the descriptor a container names.
//
// Every entry holds its receiver shared (add_sub: exclusive) until it returns, and
// builds its Python result only after every guard is released: freeing a Python
// object may take a write guard (a Node's Coords).
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "py/bind/class.hpp"

namespace quenlith::py {

inline constexpr const char* kUnitDoc =
    "The sole sub-object **view** of a unitary aggregate\n"
    "(exactly one sub), else a clear error. Use it where the\n"
    "single-zone case needs a sub method: `parent.unit().m(...)`.\n"
    "More honest than `parent[0]` (which silently takes the\n"
    "first of several) — see `CONVENTIONS.md`.";

template <class C>
struct Container {
  using Value = typename C::Payload;
  using SubClass = typename C::SubClass;
  using H = typename SubClass::Payload;
  using Self = Object<Value>;
  using SubObject = Object<H>;

  static constexpr Param kAddSubParams[] = {{"sub"}};
  static inline const Signature unit_sig{"unit", C::kName, Receiver::Self, {}, kUnitDoc};
  static inline const Signature add_sub_sig{"add_sub", C::kName, Receiver::Self, kAddSubParams, ""};
  static inline const Signature dump_sig{"dump", C::kName, Receiver::Self, dump_params, kDumpDocContainer};

  // The argument converter for "a Sub or a unitary container": a Sub object gives a
  // clone of its handle; a container with exactly one item a clone of that one
  // (else the not-unitary core error); anything else TypeError "expected a {Sub} or
  // a unitary {Name}".
  static H extract_or_unit(PyObject* obj) {
    if (is_instance<SubClass>(obj)) return *Borrowed<SubClass>(obj);
    if (is_instance<C>(obj)) return Borrowed<C>(obj)->unit();
    raise_type_error(fmt::format("expected a {} or a unitary {}", SubClass::kName, C::kName));
  }

  // --- slots ---------------------------------------------------------------

  static Py_ssize_t length(PyObject* self) noexcept {
    Py_ssize_t n = -1;
    guarded_status([&] { n = static_cast<Py_ssize_t>(Borrowed<C>::receiver(self)->size()); });
    return n;
  }

  static Ref item(PyObject* self, std::int64_t key) {
    const Borrowed<C> receiver = Borrowed<C>::receiver(self);
    const auto subs = receiver->subs();
    return to_python(H(subs[checked_position(key, subs.size(), C::kName)]));
  }

  static PyObject* subscript(PyObject* self, PyObject* key) noexcept {
    return guarded([&] {
      if (!Py_IS_TYPE(key, &PySlice_Type)) return item(self, index_key(key, C::kName));
      const Borrowed<C> receiver = Borrowed<C>::receiver(self);
      const std::vector<std::uint64_t> positions =
          slice_positions(key, static_cast<Py_ssize_t>(receiver->size()));
      return to_python(receiver->slice(positions));
    });
  }

  // The sequence form, which iteration uses (items 0, 1, ... until IndexError).
  static PyObject* sq_item(PyObject* self, Py_ssize_t i) noexcept {
    return guarded([&] { return item(self, i); });
  }

  // `container | container` and `container | sub`; anything else, a left operand of
  // another class included, is declined (NotImplemented) so the interpreter can try
  // the right operand's own `|` (a Node's, for `mesh | node`).
  static PyObject* or_(PyObject* a, PyObject* b) noexcept {
    return guarded([&]() -> Ref {
      if (!is_instance<C>(a)) return Ref::borrow(Py_NotImplemented);
      if (is_instance<C>(b)) {
        const Borrowed<C> left(a);
        const Borrowed<C> right(b);
        return to_python(Value::union_(*left, *right));
      }
      if (is_instance<SubClass>(b)) {
        const Borrowed<C> left(a);
        const Borrowed<SubClass> sub(b);
        return to_python(left->union_sub(*sub));
      }
      return Ref::borrow(Py_NotImplemented);
    });
  }

  // `sub | sub`, the `|` of the item class; any other pair is declined.
  static PyObject* sub_or(PyObject* a, PyObject* b) noexcept {
    return guarded([&]() -> Ref {
      if (!is_instance<SubClass>(a) || !is_instance<SubClass>(b)) return Ref::borrow(Py_NotImplemented);
      const Borrowed<SubClass> left(a);
      const Borrowed<SubClass> right(b);
      return to_python(Value::union_(*left, *right));
    });
  }

  // The item class's `|` slot.
  static Slots sub_or_slot() { return {{Py_nb_or, reinterpret_cast<void*>(&sub_or)}}; }

  // --- methods -------------------------------------------------------------

  static H unit(const Value& value) { return value.unit(); }

  static Ref add_sub(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const BoundArgs bound = match(add_sub_sig, args, nargsf, kwnames);
    // Arguments first, then the receiver's hold, as every binding does.
    const Borrowed<SubClass> sub = arg(add_sub_sig, bound, 0, borrow<SubClass>);
    Self* o = object_cast<Value>(self);
    ExclusiveHold hold(o);
    o->payload.push_sub(*sub);
    return Ref::borrow(Py_None);
  }

  // unit, add_sub and dump followed by the class's own methods (whose table ends
  // with its null entry or not); built once, kept for the life of the process.
  static PyMethodDef* methods(std::span<const PyMethodDef> own) {
    static std::vector<PyMethodDef> table;
    if (table.empty()) {
      table.push_back(method<C, unit_sig, &unit>());
      table.push_back(method_def<add_sub>("add_sub", add_sub_sig.doc()));
      table.push_back(Class<C>::template dump<dump_sig>());
      for (const PyMethodDef& m : own)
        if (m.ml_name) table.push_back(m);
      table.push_back(kMethodsEnd);
    }
    return table.data();
  }

  // The type: Class<C>'s slots, the list protocol and `|`, then the class's own.
  static TypeDef def(const char* name, const Signature& sig, std::span<const PyMethodDef> own_methods,
                     std::initializer_list<Slots> own) {
    TypeDef type = Class<C>::def(name, sig, methods(own_methods), nullptr, own);
    type.slots.insert(type.slots.end(), {
                                            {Py_mp_length, reinterpret_cast<void*>(&length)},
                                            {Py_sq_length, reinterpret_cast<void*>(&length)},
                                            {Py_mp_subscript, reinterpret_cast<void*>(&subscript)},
                                            {Py_sq_item, reinterpret_cast<void*>(&sq_item)},
                                            {Py_nb_or, reinterpret_cast<void*>(&or_)},
                                        });
    return type;
  }
};

}  // namespace quenlith::py
