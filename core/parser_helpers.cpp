#include "core/parser_helpers.h"

#include "core/format.h"
#include "core/keyed_hash.h"
#include "core/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>
#include <unordered_set>
#include <utility>

namespace tyx {
namespace {

// Bit 0: may start an identifier; bit 1: may continue one.
constexpr std::array<uint8_t, 256> kIdentifierBytes = [] {
    std::array<uint8_t, 256> table{};
    for (int c = 'a'; c <= 'z'; ++c)
        table[static_cast<size_t>(c)] = 3;
    for (int c = 'A'; c <= 'Z'; ++c)
        table[static_cast<size_t>(c)] = 3;
    for (int c = '0'; c <= '9'; ++c)
        table[static_cast<size_t>(c)] = 2;
    table['_'] = 3;
    return table;
}();

std::string_view trim(std::string_view text) {
    return trim_white_space(text);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_quote(char c) {
    return c == '"' || c == '\'';
}

struct ScanEnd {
    uint64_t depth = 0;
    bool in_string = false;
};

// Walks `text` with the shared string and parenthesis states and calls `visit(i)` for every
// byte at top level (outside strings, depth 0) that is not a quote or a parenthesis; stops as
// soon as `visit` returns true. Without `track_parens` parentheses are ordinary bytes.
template <class Visit>
ScanEnd scan_top_level(std::string_view text, bool track_parens, Visit&& visit) {
    char quote = 0;
    uint64_t depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == '\\' && i + 1 < text.size()) {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
            continue;
        }
        if (is_quote(c)) {
            quote = c;
            continue;
        }
        if (track_parens && c == '(') {
            ++depth;
            continue;
        }
        if (track_parens && c == ')') {
            if (depth > 0) --depth;
            continue;
        }
        if (depth == 0 && visit(i)) break;
    }
    return ScanEnd{depth, quote != 0};
}

// The first top-level occurrence of the two-byte `op`, or npos.
size_t find_top_level_operator(std::string_view text, std::string_view op) {
    size_t found = std::string_view::npos;
    scan_top_level(text, true, [&](size_t i) {
        if (text[i] == op[0] && i + 1 < text.size() && text[i + 1] == op[1]) {
            found = i;
            return true;
        }
        return false;
    });
    return found;
}

// The first top-level "==" or "!=", or npos.
size_t find_comparison(std::string_view text) {
    size_t found = std::string_view::npos;
    scan_top_level(text, true, [&](size_t i) {
        if ((text[i] == '=' || text[i] == '!') && i + 1 < text.size() && text[i + 1] == '=') {
            found = i;
            return true;
        }
        return false;
    });
    return found;
}

size_t find_top_level_byte(std::string_view text, char byte, bool track_parens) {
    size_t found = std::string_view::npos;
    scan_top_level(text, track_parens, [&](size_t i) {
        if (text[i] == byte) {
            found = i;
            return true;
        }
        return false;
    });
    return found;
}

// Hands out the items of a text cut at each top-level `op`, one at a time, so that a very long
// condition never needs a list of all its items. Restarting the scan after an operator is
// exact because the state there is always top level.
class TopLevelSplitter {
  public:
    TopLevelSplitter(std::string_view text, std::string_view op) : rest_(text), op_(op) {}

    bool done() const { return done_; }

    std::string_view next() {
        const size_t at = find_top_level_operator(rest_, op_);
        if (at == std::string_view::npos) {
            done_ = true;
            return rest_;
        }
        std::string_view item = rest_.substr(0, at);
        rest_.remove_prefix(at + op_.size());
        return item;
    }

  private:
    std::string_view rest_;
    std::string_view op_;
    bool done_ = false;
};

// A closed string starts and ends with the same quote and its last quote is not escaped.
bool is_closed_quoted_string(std::string_view text) {
    if (text.size() < 2 || !is_quote(text.front()) || text.back() != text.front()) return false;
    size_t backslashes = 0;
    for (size_t i = text.size() - 1; i > 1 && text[i - 1] == '\\'; --i)
        ++backslashes;
    return backslashes % 2 == 0;
}

// Whether unescape_string_literal changes `text`: some backslash, read as it reads them, starts
// an escape.
bool holds_escape(std::string_view text) {
    for (size_t i = text.find('\\'); i != std::string_view::npos; i = text.find('\\', i + 2)) {
        if (i + 1 < text.size() &&
            (text[i + 1] == '"' || text[i + 1] == '\'' || text[i + 1] == '\\'))
            return true;
    }
    return false;
}

// The value of a closed string: the bytes between its quotes, or a text made of them when an
// escape changes them.
std::string_view closed_string_value(std::string_view text, MadeTexts& made) {
    const std::string_view inner = text.substr(1, text.size() - 2);
    if (!holds_escape(inner)) return inner;
    return made.emplace_front(unescape_string_literal(inner));
}

bool starts_like_number(std::string_view text) {
    if (text.empty()) return false;
    if (is_digit(text[0])) return true;
    return text[0] == '-' && text.size() > 1 && is_digit(text[1]);
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Saturates so that an absurd exponent cannot overflow; any magnitude past a few thousand
// decides the direction of a range error just as well.
int64_t saturating_exponent(std::string_view digits, bool negative) {
    constexpr int64_t kCap = 1'000'000'000;
    int64_t value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > kCap) {
            value = kCap;
            break;
        }
    }
    return negative ? -value : value;
}

// The decimal conversion of the whole text to the nearest double: an optional sign, digits with
// an optional fraction, an optional exponent; or inf, infinity, nan in any case. Nothing when
// the text is not a number.
std::optional<double> convert_number(std::string_view text) {
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (equals_ignoring_ascii_case(body, "inf") || equals_ignoring_ascii_case(body, "infinity")) {
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    if (equals_ignoring_ascii_case(body, "nan")) return std::numeric_limits<double>::quiet_NaN();

    size_t i = 0;
    const size_t int_start = i;
    while (i < body.size() && is_digit(body[i]))
        ++i;
    const std::string_view int_digits = body.substr(int_start, i - int_start);
    std::string_view frac_digits;
    if (i < body.size() && body[i] == '.') {
        const size_t frac_start = ++i;
        while (i < body.size() && is_digit(body[i]))
            ++i;
        frac_digits = body.substr(frac_start, i - frac_start);
    }
    if (int_digits.empty() && frac_digits.empty()) return std::nullopt;
    int64_t exponent = 0;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        bool exponent_negative = false;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
            exponent_negative = body[i] == '-';
            ++i;
        }
        const size_t exp_start = i;
        while (i < body.size() && is_digit(body[i]))
            ++i;
        if (i == exp_start) return std::nullopt;
        exponent = saturating_exponent(body.substr(exp_start, i - exp_start), exponent_negative);
    }
    if (i != body.size()) return std::nullopt;

    // from_chars takes no "+", so the sign is applied afterwards.
    double value = 0;
    const auto [end, ec] =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // The value as 0.d... x 10^k: a positive k overflowed, any other underflowed.
        int64_t k = 0;
        const size_t lead = int_digits.find_first_not_of('0');
        if (lead != std::string_view::npos) {
            k = static_cast<int64_t>(int_digits.size() - lead);
        } else {
            const size_t frac_lead = frac_digits.find_first_not_of('0');
            if (frac_lead == std::string_view::npos) return negative ? -0.0 : 0.0;
            k = -static_cast<int64_t>(frac_lead);
        }
        const int64_t cap = 2'000'000'000;
        k = std::clamp<int64_t>(k, -cap, cap) + exponent;
        value = k > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc() || end != body.data() + body.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<Expression> keyword_literal(std::string_view text) {
    if (text == "true") return Expression{Expression::Bool{true}};
    if (text == "false") return Expression{Expression::Bool{false}};
    if (text == "null") return Expression{Expression::Null{}};
    return std::nullopt;
}

// The reason a dot path is invalid, or nothing. The count is tested before any item is cut.
std::optional<std::string> validate_dot_path(std::string_view text,
                                             std::vector<std::string_view>* names) {
    uint64_t segments = 1;
    for (char c : text)
        segments += c == '.' ? 1 : 0;
    if (segments > MAX_DOT_PATH_SEGMENTS) {
        return cat("dot path exceeds maximum segment count of ", decimal(MAX_DOT_PATH_SEGMENTS));
    }
    std::vector<std::string_view> items;
    items.reserve(segments);
    size_t start = 0;
    while (true) {
        const size_t dot = text.find('.', start);
        const std::string_view item =
            trim(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (!is_valid_identifier(item)) {
            return cat("each segment must be a valid identifier (got '", item, "')");
        }
        items.emplace_back(item);
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    *names = std::move(items);
    return std::nullopt;
}

CompileError dot_path_expression_error(std::string_view text, std::string_view reason) {
    return new_syntax_error(
        cat("invalid dot-path in directive expression: '", text, "' \xE2\x80\x94 ", reason));
}

CompileError dot_path_argument_error(std::string_view text, std::string_view reason) {
    return new_syntax_error(
        cat("invalid dot-path in argument: '", text, "' \xE2\x80\x94 ", reason));
}

// The argument list inside the parentheses of a call whose "(" is at `open`, or nothing when
// the trimmed rest does not end with ")".
std::optional<std::string_view> call_argument_text(std::string_view text, size_t open) {
    const std::string_view rest = trim(text.substr(open + 1));
    if (rest.empty() || rest.back() != ')') return std::nullopt;
    return rest.substr(0, rest.size() - 1);
}

// `t` is trimmed and holds its first "." before its first "(" (qualified) or a "(" first.
Result<Expression> parse_call_expression(std::string_view t, size_t dot, size_t open,
                                         MadeTexts& made) {
    if (dot != std::string_view::npos && dot < open) {
        const std::string_view namespace_name = trim(t.substr(0, dot));
        const std::string_view function = trim(t.substr(dot + 1, open - dot - 1));
        if (!is_valid_identifier(namespace_name)) {
            return new_syntax_error(
                cat("invalid namespace in qualified call: '", namespace_name, "'"));
        }
        if (!is_valid_identifier(function)) {
            return new_syntax_error(
                cat("invalid function name in qualified call: '", function, "'"));
        }
        const auto inner = call_argument_text(t, open);
        if (!inner) return new_syntax_error("unclosed parenthesis in qualified call expression");
        TYX_ASSIGN_OR_RETURN(auto args, parse_call_arguments(*inner, 0, made));
        return Expression{Expression::QualifiedCall{namespace_name, function, std::move(args)}};
    }
    const std::string_view function = trim(t.substr(0, open));
    if (!is_valid_identifier(function)) {
        return new_syntax_error(
            cat("invalid function name in directive expression: '", function, "'"));
    }
    const auto inner = call_argument_text(t, open);
    if (!inner) return new_syntax_error("unclosed parenthesis in directive expression");
    TYX_ASSIGN_OR_RETURN(auto args, parse_call_arguments(*inner, 0, made));
    return Expression{Expression::Call{function, std::move(args)}};
}

Result<Expression> parse_call_argument(std::string_view text, uint64_t depth, MadeTexts& made) {
    const std::string_view t = trim(text);
    if (is_closed_quoted_string(t)) {
        return Expression{Expression::String{closed_string_value(t, made)}};
    }
    if (const size_t open = t.find('('); open != std::string_view::npos) {
        const std::string_view function = trim(t.substr(0, open));
        if (!is_valid_identifier(function)) {
            return new_syntax_error(cat("invalid function name in argument: '", function, "'"));
        }
        const auto inner = call_argument_text(t, open);
        if (!inner) return new_syntax_error("unclosed parenthesis in nested function call");
        TYX_ASSIGN_OR_RETURN(auto args, parse_call_arguments(*inner, depth + 1, made));
        return Expression{Expression::Call{function, std::move(args)}};
    }
    if (t == "true") return Expression{Expression::Bool{true}};
    if (t == "false") return Expression{Expression::Bool{false}};
    if (t == "null") return Expression{Expression::Null{}};
    if (starts_like_number(t)) {
        const auto number = convert_number(t);
        if (!number) return new_syntax_error(cat("invalid numeric argument: '", t, "'"));
        if (!std::isfinite(*number)) {
            return new_syntax_error(
                cat("NaN and infinity are not valid argument values: '", t, "'"));
        }
        return Expression{Expression::Number{*number}};
    }
    if (t.find('.') != std::string_view::npos) {
        std::vector<std::string_view> names;
        if (auto reason = validate_dot_path(t, &names)) return dot_path_argument_error(t, *reason);
        const std::string_view root = names.front();
        names.erase(names.begin());
        return Expression{Expression::DotPath{root, std::move(names)}};
    }
    if (is_valid_identifier(t)) return Expression{Expression::Variable{t}};
    return new_syntax_error(cat("invalid function argument: '", t, "'"));
}

// Counts leaves as they are parsed. Past the limit the parse goes on only to report an earlier
// operand's error first, and drops what it builds, so a huge condition costs no memory.
struct LeafBudget {
    uint64_t count = 0;
    bool over() const { return count > MAX_CONDITION_OPERANDS; }
};

CompileError literal_condition_error() {
    return new_syntax_error(
        "cannot use a literal value in @if condition \xE2\x80\x94 use a variable or function call");
}

Result<Condition> parse_condition_atom(std::string_view text, MadeTexts& made) {
    const std::string_view t = trim(text);
    if (!t.empty() && t[0] == '!') {
        const std::string_view rest = t.substr(1);
        if (!rest.empty() && rest[0] == '!')
            return new_syntax_error("double negation is not supported");
        const size_t comparison = find_comparison(rest);
        if (comparison != std::string_view::npos) {
            return new_syntax_error(
                "cannot combine negation with comparison; use @if var != 'value': instead");
        }
        const std::string_view operand = trim(rest);
        if (operand.empty()) return new_syntax_error("expected variable name after '!'");
        TYX_ASSIGN_OR_RETURN(auto expression, parse_directive_expression(operand, made));
        if (expression.is_literal()) {
            return new_syntax_error(
                "cannot use a literal value after '!' \xE2\x80\x94 use a variable or function "
                "call");
        }
        return Condition{Condition::Not{std::move(expression)}};
    }
    if (const size_t j = find_comparison(t); j != std::string_view::npos) {
        const std::string_view op = t.substr(j, 2);
        const std::string_view left = trim(t.substr(0, j));
        const std::string_view right = trim(t.substr(j + 2));
        if (left.empty()) return new_syntax_error(cat("expected expression before '", op, "'"));
        if (right.empty()) return new_syntax_error(cat("expected value after '", op, "'"));
        TYX_ASSIGN_OR_RETURN(auto lhs, parse_directive_expression(left, made));
        TYX_ASSIGN_OR_RETURN(auto rhs, parse_directive_expression(right, made));
        if (op == "==") return Condition{Condition::Equals{std::move(lhs), std::move(rhs)}};
        return Condition{Condition::NotEquals{std::move(lhs), std::move(rhs)}};
    }
    if (find_top_level_byte(t, '=', true) != std::string_view::npos) {
        return new_syntax_error("use '==' for comparison, not '='");
    }
    TYX_ASSIGN_OR_RETURN(auto expression, parse_directive_expression(t, made));
    if (expression.is_literal()) return literal_condition_error();
    return Condition{Condition::Truthy{std::move(expression)}};
}

Result<Condition> parse_and_condition(std::string_view text, LeafBudget& budget, MadeTexts& made) {
    TopLevelSplitter items(text, "&&");
    const std::string_view first = items.next();
    if (items.done()) {
        ++budget.count;
        return parse_condition_atom(trim(first), made);
    }
    Condition::And conjunction;
    for (std::string_view item = first;; item = items.next()) {
        const std::string_view t = trim(item);
        if (t.empty()) return new_syntax_error("empty operand in '&&' expression");
        TYX_ASSIGN_OR_RETURN(auto atom, parse_condition_atom(t, made));
        ++budget.count;
        if (!budget.over()) conjunction.conditions.push_back(std::move(atom));
        if (items.done()) break;
    }
    return Condition{std::move(conjunction)};
}

}  // namespace

bool is_valid_identifier(std::string_view text) {
    if (text.empty()) return false;
    const auto bits = [](char c) { return kIdentifierBytes[static_cast<unsigned char>(c)]; };
    if ((bits(text[0]) & 1) == 0) return false;
    for (char c : text.substr(1)) {
        if ((bits(c) & 2) == 0) return false;
    }
    return true;
}

std::optional<std::string_view> split_directive_head(std::string_view text) {
    size_t colon = std::string_view::npos;
    const ScanEnd end = scan_top_level(text, true, [&](size_t i) {
        if (text[i] == ':') colon = i;
        return false;
    });
    if (colon == std::string_view::npos || end.depth != 0) return std::nullopt;
    if (!trim(text.substr(colon + 1)).empty()) return std::nullopt;
    return text.substr(0, colon);
}

Result<Condition> parse_condition(std::string_view text, MadeTexts& made) {
    const std::string_view t = trim(text);
    // A condition of identifier bytes and dots alone (a name or a dot path, the usual test)
    // holds no operator, quote or parenthesis, so it is a single truthiness test.
    if (!t.empty() && std::all_of(t.begin(), t.end(), [](char c) {
            return c == '.' || (kIdentifierBytes[static_cast<unsigned char>(c)] & 2) != 0;
        })) {
        TYX_ASSIGN_OR_RETURN(auto expression, parse_directive_expression(t, made));
        if (expression.is_literal()) return literal_condition_error();
        return Condition{Condition::Truthy{std::move(expression)}};
    }
    LeafBudget budget;
    TopLevelSplitter items(t, "||");
    const std::string_view first = items.next();
    Condition result;
    if (items.done()) {
        TYX_ASSIGN_OR_RETURN(result, parse_and_condition(t, budget, made));
    } else {
        Condition::Or disjunction;
        for (std::string_view item = first;; item = items.next()) {
            const std::string_view trimmed = trim(item);
            if (trimmed.empty()) return new_syntax_error("empty operand in '||' expression");
            TYX_ASSIGN_OR_RETURN(auto member, parse_and_condition(trimmed, budget, made));
            if (!budget.over()) disjunction.conditions.push_back(std::move(member));
            if (items.done()) break;
        }
        result = Condition{std::move(disjunction)};
    }
    const bool compound = std::holds_alternative<Condition::And>(result.value) ||
                          std::holds_alternative<Condition::Or>(result.value);
    if (compound && budget.over()) {
        return new_syntax_error(cat("logical expression has ", decimal(budget.count),
                                    " operands, exceeding maximum of ",
                                    decimal(MAX_CONDITION_OPERANDS)));
    }
    return result;
}

Result<Expression> parse_directive_expression(std::string_view text, MadeTexts& made) {
    const std::string_view t = trim(text);
    if (t.empty()) return new_syntax_error("expected an expression");
    if (is_closed_quoted_string(t)) {
        return Expression{Expression::String{closed_string_value(t, made)}};
    }
    if (is_quote(t[0]))
        return new_syntax_error("unterminated string literal in directive expression");
    if (auto literal = keyword_literal(t)) return std::move(*literal);
    if (starts_like_number(t)) {
        if (const auto number = convert_number(t)) {
            if (!std::isfinite(*number)) {
                return new_syntax_error(
                    "NaN and infinity are not valid directive expression values");
            }
            return Expression{Expression::Number{*number}};
        }
    }
    const size_t dot = t.find('.');
    const size_t open = t.find('(');
    if (dot != std::string_view::npos && dot < open) {
        if (open != std::string_view::npos) return parse_call_expression(t, dot, open, made);
        std::vector<std::string_view> names;
        if (auto reason = validate_dot_path(t, &names))
            return dot_path_expression_error(t, *reason);
        const std::string_view root = names.front();
        names.erase(names.begin());
        return Expression{Expression::DotPath{root, std::move(names)}};
    }
    if (open != std::string_view::npos) return parse_call_expression(t, dot, open, made);
    if (is_valid_identifier(t)) return Expression{Expression::Variable{t}};
    return new_syntax_error(cat("invalid expression in directive: '", t,
                                "' \xE2\x80\x94 expected a variable, function call, or literal"));
}

Result<std::vector<Expression>> parse_call_arguments(std::string_view text, uint64_t depth,
                                                     MadeTexts& made) {
    if (depth > MAX_CALL_NESTING) {
        return new_syntax_error(
            cat("nested function call depth exceeds maximum of ", decimal(MAX_CALL_NESTING)));
    }
    std::string_view rest = trim(text);
    std::vector<Expression> args;
    while (!rest.empty()) {
        const size_t comma = find_top_level_byte(rest, ',', true);
        if (comma == std::string_view::npos) {
            // Only the last item may be empty, which makes a trailing comma harmless.
            if (!trim(rest).empty()) {
                TYX_ASSIGN_OR_RETURN(auto arg, parse_call_argument(rest, depth, made));
                args.push_back(std::move(arg));
            }
            break;
        }
        TYX_ASSIGN_OR_RETURN(auto arg, parse_call_argument(rest.substr(0, comma), depth, made));
        args.push_back(std::move(arg));
        rest.remove_prefix(comma + 1);
    }
    return args;
}

Status parse_compound_interpolation(Node::Interpolation& node, std::string_view t,
                                    std::string_view name, std::string_view source,
                                    MadeTexts& made) {
    const uint64_t offset = node.offset;
    const uint64_t length = node.length;
    const auto located = [&](std::string message) {
        return make_syntax_error_at_owned(std::move(message), name, source, offset, length);
    };
    auto& expression = node.expression.value;
    const size_t dot = t.find('.');
    const size_t open = t.find('(');
    if (dot == std::string_view::npos && open == std::string_view::npos) {
        return located(cat("invalid interpolation expression '", t,
                           "': use a variable name, function call like func(), or dot path like "
                           "obj.field. To output a literal `{{` in the document, escape it as "
                           "`\\{{`."));
    }
    if (open != std::string_view::npos && (dot == std::string_view::npos || open < dot)) {
        // The name is kept as written; a name that is no identifier is reported later as an
        // undefined function.
        const std::string_view function = trim(t.substr(0, open));
        const auto inner = call_argument_text(t, open);
        if (!inner) return located("unclosed parenthesis in function call");
        TYX_ASSIGN_OR_RETURN(auto args, parse_call_arguments(*inner, 0, made));
        expression = Expression::Call{function, std::move(args)};
        return {};
    }
    if (open != std::string_view::npos) {
        const std::string_view namespace_name = trim(t.substr(0, dot));
        const std::string_view function = trim(t.substr(dot + 1, open - dot - 1));
        if (!is_valid_identifier(namespace_name)) {
            return located(cat("invalid namespace in qualified call: '", namespace_name,
                               "' \xE2\x80\x94 must be a valid identifier"));
        }
        if (!is_valid_identifier(function)) {
            return located(cat("invalid function name in qualified call: '", function,
                               "' \xE2\x80\x94 must be a valid identifier"));
        }
        const auto inner = call_argument_text(t, open);
        if (!inner) return located("unclosed parenthesis in function call");
        TYX_ASSIGN_OR_RETURN(auto args, parse_call_arguments(*inner, 0, made));
        expression = Expression::QualifiedCall{namespace_name, function, std::move(args)};
        return {};
    }
    std::vector<std::string_view> names;
    if (auto reason = validate_dot_path(t, &names)) {
        return located(cat("invalid dot-path in interpolation: '", t, "' \xE2\x80\x94 ", *reason));
    }
    const std::string_view root = names.front();
    names.erase(names.begin());
    expression = Expression::DotPath{root, std::move(names)};
    return {};
}

Result<Node::Interpolation> parse_interpolation(std::string_view text, uint64_t offset,
                                                std::string_view name, std::string_view source,
                                                MadeTexts& made) {
    Node::Interpolation node;
    TYX_TRY(parse_interpolation_into(node, trim(text), offset, name, source, made));
    return node;
}

std::string unescape_string_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size() &&
            (text[i + 1] == '"' || text[i + 1] == '\'' || text[i + 1] == '\\')) {
            out.push_back(text[++i]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

namespace {

struct QuotedPath {
    std::string_view path;
    std::string_view after;  // the text after the closing quote
};

Result<QuotedPath> read_quoted_path(std::string_view text) {
    const std::string_view t = trim(text);
    if (t.empty() || t[0] != '"') return new_syntax_error(cat("expected quoted path, got: ", t));
    const size_t close = t.find('"', 1);
    if (close == std::string_view::npos) return new_syntax_error("unclosed quote in path");
    return QuotedPath{t.substr(1, close - 1), t.substr(close + 1)};
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

Result<std::string_view> parse_quoted_path(std::string_view text) {
    TYX_ASSIGN_OR_RETURN(auto quoted, read_quoted_path(text));
    return quoted.path;
}

bool is_keyword_line(std::string_view text, std::string_view keyword) {
    if (!starts_with(text, keyword)) return false;
    if (text.size() == keyword.size()) return true;
    const char next = text[keyword.size()];
    return next == ' ' || next == '\t' || next == '{';
}

Result<Node::Import> parse_import(std::string_view text, uint64_t offset) {
    const std::string_view r = trim(text.substr(std::string_view("@import").size()));
    if (!r.empty() && r[0] == '{') {
        const size_t close = r.find('}');
        if (close == std::string_view::npos)
            return new_syntax_error("unclosed { in selective import");
        ImportKind::Selective selective;
        std::string_view list = r.substr(1, close - 1);
        while (true) {
            const size_t comma = list.find(',');
            const std::string_view item =
                trim(list.substr(0, comma == std::string_view::npos ? list.size() : comma));
            if (!item.empty()) {
                if (!is_valid_identifier(item)) {
                    return new_syntax_error(cat("invalid import name: '", item, "'"));
                }
                selective.names.emplace_back(item);
                selective.name_offsets.push_back(offset +
                                                 static_cast<uint64_t>(item.data() - text.data()));
            }
            if (comma == std::string_view::npos) break;
            list.remove_prefix(comma + 1);
        }
        const std::string_view after = trim(r.substr(close + 1));
        if (!starts_with(after, "from ") && !starts_with(after, "from\t")) {
            return new_syntax_error("selective import requires 'from' keyword");
        }
        TYX_ASSIGN_OR_RETURN(auto quoted, read_quoted_path(after.substr(5)));
        // Trailing text is refused here as in the other two forms rather than silently dropped.
        if (const std::string_view remainder = trim(quoted.after); !remainder.empty()) {
            return new_syntax_error(cat("unexpected text after import path: '", remainder, "'"));
        }
        selective.path = quoted.path;
        return Node::Import{ImportKind{std::move(selective)}, offset};
    }
    TYX_ASSIGN_OR_RETURN(auto quoted, read_quoted_path(r));
    const std::string_view remainder = trim(quoted.after);
    if (starts_with(remainder, "as ")) {
        const std::string_view alias = trim(remainder.substr(3));
        if (!is_valid_identifier(alias)) {
            return new_syntax_error(cat("invalid import alias: '", alias, "'"));
        }
        return Node::Import{ImportKind{ImportKind::Alias{quoted.path, alias}}, offset};
    }
    if (remainder.empty()) {
        return Node::Import{ImportKind{ImportKind::Whole{quoted.path}}, offset};
    }
    return new_syntax_error(cat("unexpected text after import path: '", remainder, "'"));
}

Result<Node::Export> parse_export(std::string_view text, uint64_t offset) {
    const std::string_view g = trim(text.substr(std::string_view("@export").size()));
    for (std::string_view prefix : {std::string_view("* from "), std::string_view("*from ")}) {
        if (starts_with(g, prefix)) {
            TYX_ASSIGN_OR_RETURN(auto path, parse_quoted_path(g.substr(prefix.size())));
            return Node::Export{ExportKind{ExportKind::ReexportAll{path}}, offset};
        }
    }
    const size_t first_space = g.find(' ');
    if (first_space != std::string_view::npos) {
        const size_t second_space = g.find(' ', first_space + 1);
        if (second_space != std::string_view::npos &&
            g.substr(first_space + 1, second_space - first_space - 1) == "from") {
            const std::string_view exported = g.substr(0, first_space);
            if (!is_valid_identifier(exported)) {
                return new_syntax_error(cat("invalid re-export name: '", exported, "'"));
            }
            TYX_ASSIGN_OR_RETURN(auto path, parse_quoted_path(g.substr(second_space + 1)));
            return Node::Export{ExportKind{ExportKind::ReexportName{exported, path}}, offset};
        }
    }
    if (g.empty()) return new_syntax_error("@export requires a name");
    if (!is_valid_identifier(g)) return new_syntax_error(cat("invalid export name: '", g, "'"));
    return Node::Export{ExportKind{ExportKind::Name{g}}, offset};
}

namespace {

// The first "=" outside strings that is not directly followed by another "=".
size_t find_default_sign(std::string_view item) {
    size_t found = std::string_view::npos;
    scan_top_level(item, false, [&](size_t i) {
        if (item[i] == '=' && !(i + 1 < item.size() && item[i + 1] == '=')) {
            found = i;
            return true;
        }
        return false;
    });
    return found;
}

std::optional<Expression> default_literal(std::string_view text, MadeTexts& made) {
    if (is_closed_quoted_string(text))
        return Expression{Expression::String{closed_string_value(text, made)}};
    if (auto literal = keyword_literal(text)) return literal;
    if (const auto number = convert_number(text); number && std::isfinite(*number)) {
        return Expression{Expression::Number{*number}};
    }
    return std::nullopt;
}

}  // namespace

Result<std::vector<DefineParam>> parse_define_params(std::string_view text,
                                                     std::string_view function_name,
                                                     MadeTexts& made) {
    std::vector<DefineParam> params;
    // Parameter lists are short, and a scan of the names so far needs no allocation; a long
    // list switches to a set, so that a hostile one does not cost quadratic time.
    constexpr size_t kScannedParams = 16;
    std::unordered_set<std::string_view, KeyedTextHash> declared;
    const auto is_declared = [&](std::string_view name) {
        if (params.size() < kScannedParams) {
            return std::any_of(params.begin(), params.end(),
                               [&](const DefineParam& param) { return param.name == name; });
        }
        if (declared.empty()) {
            for (const DefineParam& param : params)
                declared.insert(param.name);
        }
        return !declared.insert(name).second;
    };
    std::string_view rest = text;
    while (true) {
        const size_t comma = find_top_level_byte(rest, ',', false);
        const std::string_view item =
            trim(rest.substr(0, comma == std::string_view::npos ? rest.size() : comma));
        if (!item.empty()) {
            DefineParam param;
            std::string_view param_name = item;
            if (const size_t sign = find_default_sign(item); sign != std::string_view::npos) {
                param_name = trim(item.substr(0, sign));
                if (!is_valid_identifier(param_name)) {
                    return new_syntax_error(cat("invalid parameter name: '", param_name, "'"));
                }
                const std::string_view default_text = trim(item.substr(sign + 1));
                param.default_value = default_literal(default_text, made);
                if (!param.default_value) {
                    return new_syntax_error(cat("invalid default value for parameter '", param_name,
                                                "': '", default_text,
                                                "' \xE2\x80\x94 must be a string, number, boolean, "
                                                "or null"));
                }
            } else {
                if (!is_valid_identifier(item)) {
                    return new_syntax_error(cat("invalid parameter name: '", item, "'"));
                }
                if (!params.empty() && params.back().default_value) {
                    return new_syntax_error(cat("required parameter '", item,
                                                "' cannot follow an optional parameter in @define ",
                                                function_name));
                }
            }
            if (is_declared(param_name)) {
                return new_syntax_error(
                    cat("duplicate parameter name '", param_name, "' in @define ", function_name));
            }
            param.name = param_name;
            params.push_back(std::move(param));
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return params;
}

}  // namespace tyx
