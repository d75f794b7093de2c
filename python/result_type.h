// The pattern the seven result classes share: an instance is the object header followed by its
// state, set once by tp_new and never changed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "python/boundary.h"
#include "python/describe.h"
#include "python/errors.h"
#include "python/once_cell.h"
#include "python/pyref.h"

namespace tyx::py {

template <class State>
struct Instance {
    PyObject ob_base;
    State state;
};

template <class State>
const State& state_of(PyObject* self) {
    return reinterpret_cast<Instance<State>*>(self)->state;
}

// Allocates an instance of `type` through its tp_alloc and moves the state into it; when the
// allocation fails the state is released with `state` itself.
template <class State>
PyObject* allocate_instance(PyTypeObject* type, State&& state) {
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Instance<State>*>(self)->state) State(std::move(state));
    return self;
}

template <class State>
void deallocate_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<State>*>(self)->state.~State();
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

// Value equality for == and !=; any other operator, or another class, is NotImplemented.
template <class State, bool (*Equal)(const State&, const State&)>
PyObject* compare_instances(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, Py_TYPE(self)) || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    bool equal = Equal(state_of<State>(self), state_of<State>(other));
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

// A length that a Python object reports for itself sizes a list before its items are read, but
// the object may report any length it likes, so the hint is trusted only this far.
inline constexpr size_t MAX_TRUSTED_LENGTH_HINT = 65536;

// Reserves room for the reported length of `object`; a failure to get it is ignored, except an
// exception that goes through (see exception_goes_through), which stays raised and gives false.
template <class T>
bool reserve_for_length_hint(PyObject* object, std::vector<T>& out) {
    Py_ssize_t size = PyObject_Size(object);
    if (size < 0) {
        if (exception_goes_through()) return false;
        PyErr_Clear();
        return true;
    }
    out.reserve(std::min(static_cast<size_t>(size), MAX_TRUSTED_LENGTH_HINT));
    return true;
}

// What one class's type spec is made of; methods and getters are static tables.
struct ClassDefinition {
    // "vorpel." and the class name, so that pickling finds the class in the package.
    const char* name;
    const char* doc;
    int basic_size;
    void* new_function;
    void* repr;
    void* richcompare;
    void* dealloc;
    PyMethodDef* methods;
    PyGetSetDef* getset;
};

// The definition of a class whose instances hold a `State`: every class compares by its state's
// equality and releases its state the same way, so only what differs is named.
template <class State, bool (*Equal)(const State&, const State&), auto New, auto Repr>
ClassDefinition define_class(const char* name, const char* doc, PyMethodDef* methods,
                             PyGetSetDef* getset) {
    return {name,
            doc,
            static_cast<int>(sizeof(Instance<State>)),
            slot<New>(),
            slot<Repr>(),
            slot<compare_instances<State, Equal>>(),
            slot<deallocate_instance<State>>(),
            methods,
            getset};
}

inline PyObject* create_class(const ClassDefinition& definition) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(definition.doc)},
        {Py_tp_new, definition.new_function},
        {Py_tp_repr, definition.repr},
        {Py_tp_richcompare, definition.richcompare},
        {Py_tp_dealloc, definition.dealloc},
        {Py_tp_methods, definition.methods},
        {Py_tp_getset, definition.getset},
        {0, nullptr},
    };
    // Default flags only: no subclassing, no cycle collection (an instance refers to no other
    // Python object), no instance dict and no weak references.
    PyType_Spec spec = {definition.name, definition.basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
}

// The class object of one definition, created once per process.
template <const ClassDefinition& (*Define)()>
PyTypeObject* class_object() {
    static OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(
        cell.get_or_create([] { return create_class(Define()); }));
}

// (type, arguments): what __reduce__ returns; steals `arguments`.
inline PyObject* reduce_value(PyObject* self, PyObject* arguments) {
    PyRef owned(arguments);
    if (!owned) return nullptr;
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), owned.get());
}

inline void append_bool(bool flag, std::string& out) {
    out += flag ? "true" : "false";
}

}  // namespace tyx::py
