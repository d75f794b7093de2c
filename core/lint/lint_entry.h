// The lint entry points: a template must first pass the check that compiling it would make (the
// check gate), and only then is the entry template linted on its own. The gate's resolver and
// everything it compiled are released before the lint engine runs.
#pragma once

#include <string>
#include <string_view>

#include "core/lint/diagnostic.h"
#include "core/resolver/loaders.h"
#include "core/resolver/resolver.h"
#include "core/result.h"

namespace tyx {

// The file name that the diagnostics of a template given as text carry.
inline constexpr std::string_view LINT_SOURCE_FILE_NAME = "input.tyx";

// A template given as text, checked from the base directory (the current directory when empty).
Result<LintResult> lint_source_text(std::string_view text, const BaseDirectory& base_dir,
                                    const VarsMap* vars, const RuleSeverityMap& rules);
// A template file, checked as an entry path; then the file at `path` is read again and linted.
Result<LintResult> lint_entry_path(std::string_view path, const VarsMap* vars,
                                   const RuleSeverityMap& rules);
// One key of a virtual module map, matched exactly; the gate runs only for a key of the map.
Result<LintResult> lint_entry_key(ModuleMap modules, std::string_view entry, const VarsMap* vars,
                                  const RuleSeverityMap& rules);

// The name lint_entry_path gives the lint engine: the path's last component, or the whole path
// when it has none.
std::string_view lint_file_name(std::string_view path);
// The whole file at `path` as UTF-8 text of at most MAX_SOURCE_SIZE bytes; the messages name the
// path as given.
Result<std::string> read_lint_file(std::string_view path);

}  // namespace tyx
