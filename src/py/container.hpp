#pragma once
// The protocol every container class shares (Mesh, FiniteElementSpace, NodeField,
// ElementField, Matrix, Model, Evolution): `len`, indexing by integer or slice, `|`
// (union in left order, no handle repeated), `unit()`, `add_sub(sub)` and the
// dump/str/repr framing, written once and parameterised by a small protocol struct.
//
// A container's Python object holds one `Value` (its list of handles, plus any state
// of its own); its `Sub` class holds one `SubPayload<Sub>` (one counted handle).
// A protocol struct names both and supplies the per-class pieces:
//
//   struct MeshProtocol {
//     using Sub = containers::mesh::SubMesh;          // the stored item type
//     using Value = containers::mesh::Mesh;           // the container's payload
//     static constexpr const char* kName = "Mesh";             // class name in texts
//     static constexpr const char* kSubName = "SubMesh";       // its Sub class name
//     static constexpr const char* kItems = "submesh(es)";     // unit()'s plural noun
//     static TypeCache& type();                       // the container class
//     static TypeCache& sub_type();                   // the Sub class
//     static std::span<const Handle<Sub>> items(const Value&);
//     static Value slice(const Value&, std::span<const std::uint64_t> indices);
//     static Value union_(const Value&, const Value&);          // container | container
//     static Value union_sub(const Value&, const Handle<Sub>&);  // container | sub
//     static Value sub_union(const Handle<Sub>&, const Handle<Sub>&);  // sub | sub
//     static void push_sub(Value&, Handle<Sub>);     // add_sub (may check, may throw)
//     static std::string display_text(const Value&);  // str()
//     static std::string debug_text(const Value&);    // repr()
//     static std::string dump_text(const Value&, const dump::DumpOptions&);
//     // optional: static constexpr bool kDeclineOnHoldFailure = true;  (see or_)
//   };
//
// A container whose value is just the list derives its struct from
// `HandleListProtocol<Derived, Sub>` (Value = HandleList<Sub>) and then only names
// its classes, its texts and `item_dump_text(const Sub&, options)`; it may still
// override any function by declaring its own.
//
// `Container<P>` then gives the slot functions, the `unit`/`add_sub`/`dump`
// methods, the wrappers and `extract_or_unit`. Every entry holds its receiver
// shared (add_sub: exclusive) and builds its Python result only after every guard
// is released: freeing a Python object may take a write guard (a Node's Coords).
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "base/error.hpp"
#include "dump/container_frame.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_options.hpp"
#include "py/convert.hpp"
#include "py/dump_print.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/hold.hpp"
#include "py/object.hpp"
#include "py/signature.hpp"
#include "py/type.hpp"
#include "store/guard.hpp"
#include "store/handle.hpp"
#include "store/store.hpp"

namespace quenlith::py {

// The payload of a Sub class: one counted handle on the stored item.
template <class Sub>
struct SubPayload {
  store::Handle<Sub> handle;
};

// The payload of a container with no state beyond its ordered list of handles.
// May hold one handle twice (only through add_sub).
template <class Sub>
struct HandleList {
  std::vector<store::Handle<Sub>> items;
};

// The error of `unit()` on a container without exactly one item:
// "expected a unitary {} (exactly one {}), found {}".
Error not_unitary_error(std::string_view container, std::string_view items, std::uint64_t count);

// The positions a slice selects on a sequence of length `n` (the interpreter's
// `indices`; its errors, such as a zero step, are raised as they are).
std::vector<std::uint64_t> slice_positions(PyObject* slice, Py_ssize_t n);

// A subscript key as a signed 64-bit integer, or TypeError "{class} indices must be
// integers or slices" for anything else, an integer out of range included.
std::int64_t index_key(PyObject* key, std::string_view class_name);

// `key` counted from the end when negative, checked against `n`; IndexError
// "{what} index {} out of range (len={})" with the key as written.
std::uint64_t checked_position(std::int64_t key, std::uint64_t n, std::string_view what);

// The generic list rules (those of FiniteElementSpace): unions by handle equality
// that never fail, slices of clones, add_sub without any check.
template <class Derived, class SubT>
struct HandleListProtocol {
  using Sub = SubT;
  using Value = HandleList<SubT>;
  using H = store::Handle<SubT>;

  static std::span<const H> items(const Value& v) noexcept { return v.items; }
  static void extend_unique(Value& out, std::span<const H> handles) {
    for (const H& h : handles) {
      bool present = false;
      for (const H& o : out.items) present = present || o == h;
      if (!present) out.items.push_back(h);
    }
  }
  static Value slice(const Value& v, std::span<const std::uint64_t> indices) {
    Value out;
    out.items.reserve(indices.size());
    for (std::uint64_t i : indices) {
      QUENLITH_VERIFY(i < v.items.size(), "index {} out of bounds (len={})", i, v.items.size());
      out.items.push_back(v.items[i]);
    }
    return out;
  }
  static Value union_(const Value& a, const Value& b) {
    Value out;
    extend_unique(out, a.items);
    extend_unique(out, b.items);
    return out;
  }
  static Value union_sub(const Value& a, const H& h) {
    Value out;
    extend_unique(out, a.items);
    extend_unique(out, std::span<const H>(&h, 1));
    return out;
  }
  static Value sub_union(const H& a, const H& b) {
    Value out;
    out.items.push_back(a);
    if (!(b == a)) out.items.push_back(b);
    return out;
  }
  static void push_sub(Value& v, H h) { v.items.push_back(std::move(h)); }
  // "{Name}: {count} {items}"
  static std::string display_text(const Value& v) {
    return fmt::format("{}: {} {}", Derived::kName, v.items.size(), Derived::kItems);
  }
  // Name { count: N, items: [...] }, each item resolved (its bare handle text when
  // it cannot be read).
  static std::string debug_text(const Value& v) {
    std::vector<std::string> texts;
    texts.reserve(v.items.size());
    for (const H& h : v.items) {
      std::string t;
      h.fmt_resolved(t, false);
      texts.push_back(std::move(t));
    }
    return dump::debug_container(Derived::kName, texts);
  }
  // The container frame around Derived::item_dump_text of each item.
  static std::string dump_text(const Value& v, const dump::DumpOptions& options) {
    return dump::dump_container(Derived::display_text(v), v.items.size(), [&](std::size_t i) {
      store::ReadGuard<SubT> guard = store::read(v.items[i]);
      return Derived::item_dump_text(*guard, options);
    });
  }
};

inline constexpr const char* kUnitDoc =
    "The sole sub-object **view** of a unitary aggregate\n"
    "(exactly one sub), else a clear error. Use it where the\n"
    "single-zone case needs a sub method: `parent.unit().m(...)`.\n"
    "More honest than `parent[0]` (which silently takes the\n"
    "first of several) — see `CONVENTIONS.md`.";

template <class P>
struct Container {
  using Sub = typename P::Sub;
  using Value = typename P::Value;
  using H = store::Handle<Sub>;
  using Self = Object<Value>;
  using SubObject = Object<SubPayload<Sub>>;

  static constexpr Param kAddSubParams[] = {{"sub"}};
  static inline const Signature unit_sig{"unit", P::kName, Receiver::Self, {}, kUnitDoc};
  static inline const Signature add_sub_sig{"add_sub", P::kName, Receiver::Self, kAddSubParams, ""};
  static inline const Signature dump_sig{"dump", P::kName, Receiver::Self, dump_params, kDumpDocContainer};

  static Self* self_of(PyObject* obj) noexcept { return object_cast<Value>(obj); }

  // New Python objects (no guard may be held by the caller).
  static Ref wrap_value(Value value) { return wrap<Value>(P::type(), std::move(value)); }
  static Ref wrap_sub(H handle) { return wrap<SubPayload<Sub>>(P::sub_type(), SubPayload<Sub>{std::move(handle)}); }

  static Self* container_or_null(PyObject* obj) { return instance_or_null<Value>(obj, P::type()); }
  static SubObject* sub_or_null(PyObject* obj) { return instance_or_null<SubPayload<Sub>>(obj, P::sub_type()); }

  // A Sub object gives a clone of its handle; a container with exactly one item a
  // clone of that one (else the not-unitary core error); anything else TypeError
  // "expected a {Sub} or a unitary {Name}".
  static H extract_or_unit(PyObject* obj) {
    if (SubObject* s = sub_or_null(obj)) {
      SharedHold hold(s);
      return s->payload.handle;
    }
    if (Self* c = container_or_null(obj)) {
      SharedHold hold(c);
      const auto items = P::items(c->payload);
      if (items.size() != 1) throw not_unitary_error(P::kName, P::kItems, items.size());
      return items.front();
    }
    raise_type_error(fmt::format("expected a {} or a unitary {}", P::kSubName, P::kName));
  }

  // --- slots ---------------------------------------------------------------

  static Py_ssize_t length(PyObject* self) noexcept {
    Py_ssize_t n = -1;
    guarded_status([&] {
      Self* o = self_of(self);
      SharedHold hold(o);
      n = static_cast<Py_ssize_t>(P::items(o->payload).size());
    });
    return n;
  }

  static Ref item(Self* o, std::int64_t key) {
    H handle;
    {
      SharedHold hold(o);
      const auto items = P::items(o->payload);
      handle = items[checked_position(key, items.size(), P::kName)];
    }
    return wrap_sub(std::move(handle));
  }

  static PyObject* subscript(PyObject* self, PyObject* key) noexcept {
    return guarded([&] {
      Self* o = self_of(self);
      if (Py_IS_TYPE(key, &PySlice_Type)) {
        Value selected;
        {
          SharedHold hold(o);
          const std::vector<std::uint64_t> positions =
              slice_positions(key, static_cast<Py_ssize_t>(P::items(o->payload).size()));
          selected = P::slice(o->payload, positions);
        }
        return wrap_value(std::move(selected));
      }
      return item(o, index_key(key, P::kName));
    });
  }

  // The sequence form, which iteration uses (items 0, 1, ... until IndexError).
  static PyObject* sq_item(PyObject* self, Py_ssize_t i) noexcept {
    return guarded([&] { return item(self_of(self), i); });
  }

  // `container | container` and `container | sub`; anything else, a left operand of
  // another class included, is declined (NotImplemented) so the interpreter can try
  // the right operand's own `|` (a Node's, for `mesh | node`).
  static PyObject* or_(PyObject* a, PyObject* b) noexcept {
    return guarded([&]() -> Ref {
      Self* left = container_or_null(a);
      if (!left) return Ref::borrow(Py_NotImplemented);
      Self* right = container_or_null(b);
      SubObject* sub = right ? nullptr : sub_or_null(b);
      if (!right && !sub) return Ref::borrow(Py_NotImplemented);
      Value result;
      try {
        SharedHold hold_left(left);
        if (right) {
          SharedHold hold_right(right);
          result = P::union_(left->payload, right->payload);
        } else {
          SharedHold hold_sub(sub);
          result = P::union_sub(left->payload, sub->payload.handle);
        }
      } catch (const ErrorAlreadySet&) {
        // Only a hold can fail here with a Python error set.
        if constexpr (requires { P::kDeclineOnHoldFailure; }) {
          if (P::kDeclineOnHoldFailure) {
            PyErr_Clear();
            return Ref::borrow(Py_NotImplemented);
          }
        }
        throw;
      }
      return wrap_value(std::move(result));
    });
  }

  // `sub | sub` on the Sub class; any other pair is declined.
  static PyObject* sub_or_(PyObject* a, PyObject* b) noexcept {
    return guarded([&]() -> Ref {
      SubObject* left = sub_or_null(a);
      SubObject* right = left ? sub_or_null(b) : nullptr;
      if (!left || !right) return Ref::borrow(Py_NotImplemented);
      Value result;
      {
        SharedHold hold_left(left);
        SharedHold hold_right(right);
        result = P::sub_union(left->payload.handle, right->payload.handle);
      }
      return wrap_value(std::move(result));
    });
  }

  static PyObject* str(PyObject* self) noexcept {
    return guarded([&] {
      std::string text;
      {
        Self* o = self_of(self);
        SharedHold hold(o);
        text = P::display_text(o->payload);
      }
      return from_str(text);
    });
  }

  static PyObject* repr(PyObject* self) noexcept {
    return guarded([&] {
      std::string text;
      {
        Self* o = self_of(self);
        SharedHold hold(o);
        text = P::debug_text(o->payload);
      }
      return from_str(text);
    });
  }

  // --- methods -------------------------------------------------------------

  static Ref unit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    (void)match(unit_sig, args, nargsf, kwnames);
    H handle;
    {
      Self* o = self_of(self);
      SharedHold hold(o);
      const auto items = P::items(o->payload);
      if (items.size() != 1) throw not_unitary_error(P::kName, P::kItems, items.size());
      handle = items.front();
    }
    return wrap_sub(std::move(handle));
  }

  static Ref add_sub(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const BoundArgs bound = match(add_sub_sig, args, nargsf, kwnames);
    // Arguments first, then the receiver's borrow, as every binding does.
    SubObject* sub =
        arg(add_sub_sig, bound, 0, [](PyObject* x) { return instance<SubPayload<Sub>>(x, P::sub_type(), P::kSubName); });
    Self* o = self_of(self);
    ExclusiveHold hold(o);
    SharedHold hold_sub(sub);
    P::push_sub(o->payload, H(sub->payload.handle));
    return Ref::borrow(Py_None);
  }

  static Ref dump(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const dump::DumpOptions options = dump_options(dump_sig, args, nargsf, kwnames);
    std::string text;
    {
      Self* o = self_of(self);
      SharedHold hold(o);
      text = P::dump_text(o->payload, options);
    }
    dump_print(text);
    return Ref::borrow(Py_None);
  }

  // --- type assembly -------------------------------------------------------

  // unit, add_sub and dump followed by the class's own methods (whose table ends
  // with its null entry or not); built once, kept for the life of the process.
  static PyMethodDef* methods(std::span<const PyMethodDef> own) {
    static std::vector<PyMethodDef> table;
    if (table.empty()) {
      table.push_back(method_def<unit>("unit", unit_sig.doc()));
      table.push_back(method_def<add_sub>("add_sub", add_sub_sig.doc()));
      table.push_back(method_def<dump>("dump", dump_sig.doc()));
      for (const PyMethodDef& m : own)
        if (m.ml_name) table.push_back(m);
      table.push_back({nullptr, nullptr, 0, nullptr});
    }
    return table.data();
  }

  // dealloc, the length, subscript and sequence-item slots, `|`, str and repr.
  static std::vector<PyType_Slot> slots() {
    return {
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Value>)},
        {Py_mp_length, reinterpret_cast<void*>(&length)},
        {Py_sq_length, reinterpret_cast<void*>(&length)},
        {Py_mp_subscript, reinterpret_cast<void*>(&subscript)},
        {Py_sq_item, reinterpret_cast<void*>(&sq_item)},
        {Py_nb_or, reinterpret_cast<void*>(&or_)},
        {Py_tp_str, reinterpret_cast<void*>(&str)},
        {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    };
  }
};

}  // namespace quenlith::py
