// The rule that finds the older single-brace syntax: {x} interpolations, backslash-escaped
// single braces and single-brace @message roles, each with an edit into today's syntax.
#pragma once

#include <string_view>
#include <vector>

#include "core/lexer.h"
#include "core/lint/diagnostic.h"

namespace tyx {

// Reads Text and Directive tokens only, so frontmatter, code blocks and double-brace
// interpolations are never looked at. Stops at the first refused push.
void check_legacy_interpolation(const std::vector<Token>& tokens, std::string_view source,
                                const RuleContext& context);

// A name, a dotted path, a call or a qualified call, white space around it allowed.
bool is_legacy_expression(std::string_view text);

// An ASCII letter or "_", then ASCII letters, digits or "_".
bool is_plain_identifier(std::string_view text);

}  // namespace tyx
