// The seven result classes: their type objects and the constructors the module functions use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/lint/diagnostic.h"
#include "core/resolver/lib.h"
#include "python/error_mapping.h"

namespace tyx::py {

// Each returns the class object (borrowed: it lives until the process ends), creating it on the
// first call; nullptr with the error of PyType_FromSpec set when that failed.
PyTypeObject* span_type();
PyTypeObject* message_type();
PyTypeObject* check_result_type();
PyTypeObject* compile_result_type();
PyTypeObject* lint_diagnostic_type();
PyTypeObject* lint_file_report_type();
PyTypeObject* lint_result_type();

// One lint finding as a LintDiagnostic holds it and a LintFileReport lists it.
struct DiagnosticRecord {
    std::optional<SpanRecord> span;
    std::string rule;
    std::string severity;
    std::string message;
    std::optional<std::string> help;
    // An array of JSON values, normally objects with "start", "end" and "new_text".
    std::optional<OwnedJson> fix_edits;
    bool fixable = false;
};
bool records_equal(const DiagnosticRecord& a, const DiagnosticRecord& b);

// Records are immutable once built, so instances and reports share them instead of copying.
using SharedRecord = std::shared_ptr<const DiagnosticRecord>;

// New instances; nullptr with the error set.
PyObject* new_span_object(const SpanRecord& span);
PyObject* new_message_object(std::string role, std::string content);
PyObject* new_check_result_object(std::vector<std::string> warnings);
PyObject* new_compile_result_object(CoreCompileResult result);
// The canonical report of `result`, with "lint_warnings" set to an array of the one warning when
// there is one.
PyObject* new_lint_result_object(const LintResult& result,
                                 const std::optional<std::string>& warning);
PyObject* new_lint_diagnostic_object(SharedRecord record);
PyObject* new_lint_file_report_object(std::string file, std::vector<SharedRecord> diagnostics);

}  // namespace tyx::py
