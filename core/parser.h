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

// `name` is the template's display name and `source` its text, both used only to locate
// errors; `tokens` must come from tokenize over that same source, which must outlive the tree.
Result<ParsedTemplate> parse_template(const std::vector<Token>& tokens, std::string_view name,
                                      std::string_view source);
// The same for a shared source, which the tree then keeps alive itself.
Result<ParsedTemplate> parse_template(const std::vector<Token>& tokens, std::string_view name,
                                      std::shared_ptr<const std::string> source);

// Lexes and parses `source` in one pass, reading each token as it is made, with the same tree
// and errors as tokenize and then parse_template: an error of the lexer's wins over a parse error
// wherever each stands.
Result<ParsedTemplate> parse_source(std::string_view source, std::string_view name);
Result<ParsedTemplate> parse_source(std::shared_ptr<const std::string> source,
                                    std::string_view name);

}  // namespace tyx
