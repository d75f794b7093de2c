// The ten module functions that compile, check, scan and lint a template.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tyx::py {

// The method definitions of the module functions in the order in which the module adds them,
// ended by a record whose name is null. The records live until the process ends, as
// PyCMethod_New requires.
PyMethodDef* module_function_definitions();

}  // namespace tyx::py
