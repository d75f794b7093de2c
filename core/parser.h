// The parser that builds the syntax tree of one template from the lexer's tokens.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/lexer.h"
#include "core/result.h"
#include "core/tree.h"

namespace tyx {

// Blocks (@if, @for, @define, @message, @block) open at once; the 65th fails.
inline constexpr uint64_t MAX_NESTING_DEPTH = 64;
// @elseif branches of one @if; the 257th fails.
inline constexpr uint64_t MAX_ELSEIF_BRANCHES = 256;

// `name` is the template's display name, used only to locate errors, and `source` its text,
// which the tree shares. `tokens` must come from tokenize over that text itself, not over a copy
// of it, since the tree's texts view the tokens'.
Result<ParsedTemplate> parse_template(const std::vector<Token>& tokens, std::string_view name,
                                      SharedText source);

// Lexes and parses `source` in one pass, reading each token as it is made, with the same tree
// and errors as tokenize and then parse_template: an error of the lexer's wins over a parse error
// wherever each stands.
Result<ParsedTemplate> parse_source(SharedText source, std::string_view name);

}  // namespace tyx
