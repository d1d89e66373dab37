#pragma once
// The Python classes FiniteElementSpace (a container of SubFiniteElementSpace
// handles, through the shared container protocol), SubFiniteElementSpace (one handle
// on a stored subspace) and Element (a view of one cell of a subspace).
#include <Python.h>

#include "containers/finite_element_space/element.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"
#include "store/handle.hpp"

namespace quenlith::py {

extern TypeCache fespace_type;      // FiniteElementSpace
extern TypeCache sub_fespace_type;  // SubFiniteElementSpace
extern TypeCache element_view_type;  // Element

// New Python objects taking over the value, handle or view.
Ref wrap_fespace(containers::finite_element_space::FiniteElementSpace space);
Ref wrap_sub_fespace(store::Handle<containers::finite_element_space::SubFiniteElementSpace> handle);
Ref wrap_element(containers::finite_element_space::Element element);

// The value of a Python FiniteElementSpace, lent for as long as `obj` lives and is
// not changed by add_sub (hold `obj` shared meanwhile: SharedHold on
// reinterpret_cast<ObjectBase*>(obj)); TypeError "'{}' object is not an instance of
// 'FiniteElementSpace'" (or the None form) otherwise.
const containers::finite_element_space::FiniteElementSpace& fespace_value(PyObject* obj);
// The handle of a Python SubFiniteElementSpace, lent likewise; TypeError naming
// 'SubFiniteElementSpace' otherwise.
const store::Handle<containers::finite_element_space::SubFiniteElementSpace>& sub_fespace_handle(PyObject* obj);

// A new counted handle from a SubFiniteElementSpace, or from a FiniteElementSpace
// with exactly one subspace (else RuntimeError "expected a unitary
// FiniteElementSpace (exactly one subspace(s)), found {}"); TypeError "expected a
// SubFiniteElementSpace or a unitary FiniteElementSpace" for anything else.
store::Handle<containers::finite_element_space::SubFiniteElementSpace> sub_fespace_extract_or_unit(PyObject* obj);

}  // namespace quenlith::py
