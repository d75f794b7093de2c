#include "core/lint/rules/legacy_interpolation.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/format.h"
#include "core/text.h"

namespace tyx {

namespace {

constexpr std::string_view kMessagePrefix = "@message ";

bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

bool push_edit(const RuleContext& context, std::string message, std::string help, uint64_t offset,
               uint64_t length, std::optional<FixEdit> edit) {
    LintDiagnostic diagnostic =
        make_diagnostic(context, std::move(message), std::move(help), offset, length);
    if (edit) diagnostic.fix_edits = std::vector<FixEdit>{std::move(*edit)};
    return push_diagnostic(context.result, std::move(diagnostic));
}

// Removing the backslash of "\{" at `backslash` must not join the brace with a "{" beside it:
// that would open an interpolation, or make "\{{", the escape of a literal "{{".
bool brace_stands_alone(std::string_view source, size_t backslash) {
    const bool after = backslash + 2 < source.size() && source[backslash + 2] == '{';
    const bool before = backslash > 0 && backslash <= source.size() && source[backslash - 1] == '{';
    return !after && !before;
}

// The end of the text collected after a "{" at `open`: the first "}" outside a quoted run, or
// nothing when the text holds none.
std::optional<size_t> find_candidate_close(std::string_view text, size_t open) {
    char quote = 0;
    bool escaped = false;
    for (size_t i = open + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == 0) {
            if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '}') {
                return i;
            }
        } else if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == quote) {
            quote = 0;
        }
    }
    return std::nullopt;
}

// Every byte the scan acts on is ASCII, and UTF-8 never uses ASCII bytes inside a longer
// encoding, so walking bytes finds exactly what walking characters would, at byte offsets.
bool scan_text(const Token& token, std::string_view source, const RuleContext& context) {
    const std::string_view text = token.text;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        const bool brace_follows = i + 1 < text.size() && text[i + 1] == '{';
        if (c == '$' && brace_follows) {
            const size_t close = text.find('}', i + 2);
            if (close == std::string_view::npos) return true;
            i = close + 1;
            continue;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '{' || text[i + 1] == '}')) {
            const uint64_t offset = token.offset + i;
            // A "}" joined with another is still text: "}}" means something only inside an
            // interpolation, and no text token stands inside one.
            std::optional<FixEdit> fix;
            if (text[i + 1] == '}' || brace_stands_alone(source, offset)) {
                fix = FixEdit{"", offset, offset + 1};
            }
            if (!push_edit(context,
                           cat("legacy escape `\\", std::string_view(&text[i + 1], 1),
                               "` — single-brace escapes are no longer needed; remove the "
                               "backslash"),
                           "Run `tyx lint --fix` to remove the backslash automatically.", offset, 2,
                           std::move(fix))) {
                return false;
            }
            i += 2;
            continue;
        }
        if (c == '{') {
            const std::optional<size_t> close = find_candidate_close(text, i);
            if (close) {
                const std::string_view inner = text.substr(i + 1, *close - i - 1);
                if (is_legacy_expression(inner)) {
                    if (!push_edit(
                            context,
                            cat("legacy single-brace interpolation `{", inner, "}` — use `{{",
                                inner, "}}` (double braces)"),
                            "Run `tyx lint --fix` to migrate to `{{x}}` syntax automatically.",
                            token.offset + i, *close + 1 - i,
                            FixEdit{cat("{{", inner, "}}"), token.offset + i,
                                    token.offset + *close + 1})) {
                        return false;
                    }
                    i = *close + 1;
                    continue;
                }
            }
        }
        ++i;
    }
    return true;
}

bool check_message_role(const Token& token, std::string_view source, const RuleContext& context) {
    const std::string_view line = trim_white_space(token.text);
    if (!line.starts_with(kMessagePrefix)) return true;
    const std::string_view rest = trim_white_space(line.substr(kMessagePrefix.size()));
    if (!rest.ends_with(':')) return true;
    const std::string_view role = trim_white_space(rest.substr(0, rest.size() - 1));
    if (role.size() <= 2 || !role.starts_with('{') || role.starts_with("{{") ||
        !role.ends_with('}') || role.ends_with("}}")) {
        return true;
    }
    const std::string_view inner = role.substr(1, role.size() - 2);
    if (!is_legacy_expression(inner)) return true;
    if (token.offset >= source.size()) return true;
    const size_t found = source.find(role, token.offset);
    if (found == std::string_view::npos) return true;
    return push_edit(context,
                     cat("legacy single-brace `@message` role `", role, "` — use `{{", inner,
                         "}}` (double braces)"),
                     "Run `tyx lint --fix` to update to `{{expr}}` syntax.", found, role.size(),
                     FixEdit{cat("{{", inner, "}}"), found, found + role.size()});
}

bool all_pieces_identifiers(std::string_view text) {
    size_t start = 0;
    while (true) {
        const size_t dot = text.find('.', start);
        if (!is_plain_identifier(text.substr(
                start, dot == std::string_view::npos ? std::string_view::npos : dot - start))) {
            return false;
        }
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

// "name(...)" with white space allowed around the name; the arguments are not examined.
bool is_call_shape(std::string_view text) {
    const size_t paren = text.find('(');
    return paren != std::string_view::npos && text.ends_with(')') &&
           is_plain_identifier(trim_white_space(text.substr(0, paren)));
}

}  // namespace

bool is_plain_identifier(std::string_view text) {
    if (text.empty() || !(is_ascii_letter(text[0]) || text[0] == '_')) return false;
    for (const char c : text) {
        if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_') return false;
    }
    return true;
}

bool is_legacy_expression(std::string_view text) {
    const std::string_view trimmed = trim_white_space(text);
    if (trimmed.empty()) return false;
    if (is_plain_identifier(trimmed)) return true;
    const size_t dot = trimmed.find('.');
    if (dot != std::string_view::npos && all_pieces_identifiers(trimmed)) return true;
    if (is_call_shape(trimmed)) return true;
    return dot != std::string_view::npos && is_plain_identifier(trimmed.substr(0, dot)) &&
           is_call_shape(trimmed.substr(dot + 1));
}

void check_legacy_interpolation(const std::vector<Token>& tokens, std::string_view source,
                                const RuleContext& context) {
    for (const Token& token : tokens) {
        bool go_on = true;
        if (token.kind == TokenKind::Text) {
            go_on = scan_text(token, source, context);
        } else if (token.kind == TokenKind::Directive) {
            go_on = check_message_role(token, source, context);
        }
        if (!go_on) return;
    }
}

}  // namespace tyx
