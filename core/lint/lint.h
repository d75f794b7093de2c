// The one entry point of the lint engine: lex, parse and read one template again, collect its
// facts and run the ten rules over it. It never renders and never follows an import.
#pragma once

#include <optional>
#include <string_view>

#include "core/lint/diagnostic.h"
#include "core/result.h"

namespace tyx {

// `file_name` goes into every diagnostic and decides, with @extends, whether the template is a
// partial whose unused names are not reported. Fails only with the lexer's and parser's errors,
// a frontmatter that passes a size limit, or the fact walk's nesting limit.
Result<LintResult> lint_source(std::string_view source, std::string_view file_name,
                               const RuleSeverityMap& rules);

// The last component of a path: trailing separators and "." components do not end it, so
// "dir/_part/." names _part; none for an empty path or one that ends in "..".
std::optional<std::string_view> last_path_component(std::string_view path);

// Whether the last component of `file_name`, read as a path, begins with "_".
bool is_partial_file_name(std::string_view file_name);

}  // namespace tyx
