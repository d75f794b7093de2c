#include "core/lint/lint_entry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "core/format.h"
#include "core/lint/lint.h"
#include "core/resolver/lib.h"
#include "core/resolver/loaders.h"

namespace tyx {
namespace {

// Each gate owns its resolver, so that returning from it releases every module it compiled
// before the lint engine runs; the output and the warnings are dropped with it.
Status check_gate_source(std::string_view text, const BaseDirectory& base_dir,
                         const VarsMap* vars) {
    Resolver resolver;
    std::vector<std::string> warnings;
    TYX_TRY(compile_root_source(resolver, text, base_dir, vars, warnings));
    return {};
}

Status check_gate_path(std::string_view path, const VarsMap* vars) {
    Resolver resolver;
    std::vector<std::string> warnings;
    TYX_TRY(compile_entry_path(resolver, path, vars, warnings));
    return {};
}

Status check_gate_key(ModuleMap modules, std::string_view entry, const VarsMap* vars) {
    Resolver resolver = new_virtual_resolver(std::move(modules));
    std::vector<std::string> warnings;
    TYX_TRY(compile_entry_key_without_map(resolver, entry, vars, warnings));
    return {};
}

}  // namespace

Result<LintResult> lint_source_text(std::string_view text, const BaseDirectory& base_dir,
                                    const VarsMap* vars, const RuleSeverityMap& rules) {
    TYX_TRY(check_gate_source(text, base_dir, vars));
    return lint_source(text, LINT_SOURCE_FILE_NAME, rules);
}

Result<LintResult> lint_entry_path(std::string_view path, const VarsMap* vars,
                                   const RuleSeverityMap& rules) {
    TYX_TRY(check_gate_path(path, vars));
    TYX_ASSIGN_OR_RETURN(std::string text, read_lint_file(path));
    return lint_source(text, lint_file_name(path), rules);
}

Result<LintResult> lint_entry_key(ModuleMap modules, std::string_view entry, const VarsMap* vars,
                                  const RuleSeverityMap& rules) {
    auto found = modules.find(entry);
    if (found == modules.end()) {
        return CompileError::of(ErrorKind::ModuleNotFound, std::string(entry));
    }
    // The map moves into the gate's loader, which is gone by the time the text is linted.
    std::string text = found->second;
    TYX_TRY(check_gate_key(std::move(modules), entry, vars));
    return lint_source(text, entry, rules);
}

std::string_view lint_file_name(std::string_view path) {
    return last_path_component(path).value_or(path);
}

Result<std::string> read_lint_file(std::string_view path) {
    const std::string shown(path);
    auto read_error = [&](std::string_view reason) {
        return CompileError::of(ErrorKind::Io, "cannot read " + shown + ": " + std::string(reason));
    };
    if (path.find('\0') != std::string_view::npos) return read_error(system_error_text(EINVAL));

    // The gate refused a final link and anything but a regular file; the same flags as the
    // loader's keep a file swapped since then from being followed or from blocking the open.
    FileDescriptor file(::open(shown.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return read_error(system_error_text(errno));
    struct stat info;
    if (::fstat(file.get(), &info) != 0) return read_error(system_error_text(errno));
    return read_opened_text(file.get(), info, shown);
}

}  // namespace tyx
