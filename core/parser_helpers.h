// Operands of directives and interpolations: identifiers, conditions, expressions, call
// arguments, and the heads of @import, @export, @extends and @define.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "core/text.h"
#include "core/tree.h"

namespace tyx {

// Leaf conditions (Truthy, Not, Equals, NotEquals) in one condition; 17 fail.
inline constexpr uint64_t MAX_CONDITION_OPERANDS = 16;
// Names in one dot path, root included; 33 fail.
inline constexpr uint64_t MAX_DOT_PATH_SEGMENTS = 32;
// Depth of calls nested inside argument lists; a list at depth 65 fails.
inline constexpr uint64_t MAX_CALL_NESTING = 64;

// The one identifier rule: an ASCII letter or "_", then ASCII letters, digits or "_". No word
// is reserved.
bool is_valid_identifier(std::string_view text);

// The text before the closing top-level colon of a directive head, or nothing when the head
// has no such colon (or non-white-space text follows it, or a parenthesis is left open).
std::optional<std::string_view> split_directive_head(std::string_view text);

// What these build views `text`, and `made` for the texts they make (string literals whose
// escapes change them), as the tree's nodes view its source and made texts.

// The errors of these three carry no location; the directive parser attaches its line span.
Result<Condition> parse_condition(std::string_view text, MadeTexts& made);
Result<Expression> parse_directive_expression(std::string_view text, MadeTexts& made);
Result<std::vector<Expression>> parse_call_arguments(std::string_view text, uint64_t depth,
                                                     MadeTexts& made);

// `text` is what stands between "{{" and "}}", `offset` the offset of the "{{" in `source`.
// Its own errors are located at (offset, trimmed length); argument-list errors are not.
Result<Node::Interpolation> parse_interpolation(std::string_view text, uint64_t offset,
                                                std::string_view name, std::string_view source,
                                                MadeTexts& made);
// The rest of parse_interpolation_into: `t` is trimmed and no bare name, and `node` has its
// offset and length.
Status parse_compound_interpolation(Node::Interpolation& node, std::string_view t,
                                    std::string_view name, std::string_view source,
                                    MadeTexts& made);

// The same for a `text` already trimmed (as the lexer hands it over), built in place in `node`,
// which the parser has already placed in its body. A bare name, the usual interpolation, holds
// neither "." nor "(" and is read here, inline.
inline Status parse_interpolation_into(Node::Interpolation& node, std::string_view text,
                                       uint64_t offset, std::string_view name,
                                       std::string_view source, MadeTexts& made) {
    node.offset = offset;
    node.length = text.size();
    if (is_valid_identifier(text)) {
        node.expression.value.emplace<Expression::Variable>(Expression::Variable{text});
        return {};
    }
    return parse_compound_interpolation(node, text, name, source, made);
}

// Resolves \" \' and \\; any other backslash stays as written.
std::string unescape_string_literal(std::string_view text);

// The path between the first pair of double quotes, a view of `text`: paths know no escapes.
Result<std::string_view> parse_quoted_path(std::string_view text);

// Whether the trimmed directive text is `keyword` ("@import" or "@export") alone or followed
// by a space, a tab or "{".
bool is_keyword_line(std::string_view text, std::string_view keyword);

// `text` is the trimmed directive text and `offset` that of its line; the errors of these
// three carry no location.
Result<Node::Import> parse_import(std::string_view text, uint64_t offset);
Result<Node::Export> parse_export(std::string_view text, uint64_t offset);
Result<std::vector<DefineParam>> parse_define_params(std::string_view text,
                                                     std::string_view function_name,
                                                     MadeTexts& made);

}  // namespace tyx
