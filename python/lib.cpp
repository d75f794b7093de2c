// The extension module vorpel._vorpel: its definition and the one step that fills a new module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/boundary.h"
#include "python/errors.h"
#include "python/function_docs.h"
#include "python/functions.h"
#include "python/pyref.h"
#include "python/results.h"

namespace tyx::py {
namespace {

// The module's documented text, kept word for word. It names a `gil_used` setting that the
// module does not declare: the stable ABI of CPython 3.11 has no Py_mod_gil slot, so only
// Py_mod_exec stands in the slots below.
constexpr const char* kModuleDoc =
    "The native extension module — registered as `vorpel._vorpel`.\n\n`gil_used = false` marks "
    "the module free-threading ready: the result classes are\nfrozen, there is no mutable global "
    "state, and the GIL is released around every\ncore call.";

// Appends the name to __all__ (creating the list when the module has none) and sets the
// attribute; the first failure ends the step, and nothing added before it is taken back.
int add_to_module(PyObject* module, const char* name, PyObject* object) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ of the module is not a list");
        return -1;
    }
    PyRef text(PyUnicode_FromString(name));
    if (!text) return -1;
    if (PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Format(PyExc_RuntimeError, "could not append __name__ to __all__ ('%s')", name);
        return -1;
    }
    return PyObject_SetAttrString(module, name, object);
}

using TypeGetter = PyTypeObject* (*)();

struct ClassEntry {
    const char* name;
    TypeGetter type;
};

constexpr ClassEntry kClasses[] = {
    {"Span", span_type},
    {"Message", message_type},
    {"CheckResult", check_result_type},
    {"CompileResult", compile_result_type},
    {"LintDiagnostic", lint_diagnostic_type},
    {"LintFileReport", lint_file_report_type},
    {"LintResult", lint_result_type},
};

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
    PyRef function(PyCMethod_New(definition, module, module_name, nullptr));
    if (!function) return -1;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "__name__ of a module function is not a str");
        return -1;
    }
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr) return -1;
    return add_to_module(module, text, function.get());
}

PyObject* note_interpreter_exit(PyObject*, PyObject*) {
    interpreter_exit_began.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyMethodDef kExitCallback = {"_note_interpreter_exit", &note_interpreter_exit, METH_NOARGS,
                             nullptr};

// Registered as the module is made; atexit calls the callbacks registered later first, so they
// may still use the extension as usual.
int register_exit_callback() {
    PyRef callback(PyCFunction_New(&kExitCallback, nullptr));
    PyRef atexit(callback ? PyImport_ImportModule("atexit") : nullptr);
    PyRef registered(atexit ? PyObject_CallMethod(atexit.get(), "register", "O", callback.get())
                            : nullptr);
    return registered ? 0 : -1;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "the object to initialise is not a module");
        return -1;
    }
    if (register_exit_callback() < 0) return -1;
    PyRef error_type(tyx_error_type());
    if (!error_type || add_to_module(module, "TyxError", error_type.get()) < 0) return -1;
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (type == nullptr ||
            add_to_module(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) {
            return -1;
        }
    }
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* definition = module_function_definitions(); definition->ml_name != nullptr;
         ++definition) {
        if (add_function(module, module_name.get(), definition) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&Boundary<exec_module>::call)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_vorpel", kModuleDoc, 0,       nullptr,
    kModuleSlots,          nullptr,   nullptr,    nullptr,
};

}  // namespace
}  // namespace tyx::py

PyMODINIT_FUNC PyInit__vorpel() {
    return PyModuleDef_Init(&tyx::py::kModule);
}
