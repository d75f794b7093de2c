#include "core/parser.h"

#include "core/format.h"
#include "core/text.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <forward_list>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/parser_helpers.h"

namespace tyx {
namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool is_utf8_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

using Words = std::initializer_list<std::string_view>;

// Denser templates than a node per this many bytes are rare: every interpolation takes at least
// four, and a text run sits between most other tokens.
constexpr size_t kSourceBytesPerNodeRoom = 4;

// The parser's view of the tokens: a list made beforehand, or a stream lexed as it is read.
// A lexer error in the stream ends the tokens early and is kept for the caller, since it
// takes precedence over any parse error.
class TokenCursor {
  public:
    explicit TokenCursor(const std::vector<Token>& tokens) : tokens_(&tokens) {}
    explicit TokenCursor(TokenStream& stream) : stream_(&stream) {
        // Room for the batch being read and one more, which looking ahead may pull.
        ahead_.reserve(2 * TokenStream::kTokensPerStep + 3);
    }

    // The token `ahead` places on; null past the end. Valid until the next peek or advance.
    const Token* peek(size_t ahead = 0) {
        if (tokens_ != nullptr) {
            const size_t at = position_ + ahead;
            return at < tokens_->size() ? &(*tokens_)[at] : nullptr;
        }
        if (ahead_.size() - position_ > ahead) [[likely]] {
            return &ahead_[position_ + ahead];
        }
        return pull_until(ahead);
    }

    void advance() {
        if (tokens_ != nullptr) {
            ++position_;
        } else if (position_ < ahead_.size() && ++position_ == ahead_.size()) {
            // Everything lexed was read: start over, keeping the room.
            ahead_.clear();
            position_ = 0;
        }
    }

    // How many nodes the tokens left may become, for making room for them at once: the tokens
    // left, or a bound on those of the source. The bound overshoots on some texts (many lines
    // that make no token), so it is capped by the source's size: a template denser than one node
    // per kSourceBytesPerNodeRoom bytes grows its list instead.
    size_t room_for_nodes(std::string_view source) const {
        if (tokens_ != nullptr) return tokens_->size() - position_;
        return std::min(most_tokens(source), source.size() / kSourceBytesPerNodeRoom + 16);
    }

    // Lexes whatever is left for the error that ends it, if any.
    std::optional<CompileError> take_lexer_error() {
        while (pull()) {
            ahead_.clear();
            position_ = 0;
        }
        return std::move(error_);
    }

  private:
    // Lexes until the token `ahead` places on is there; null when the tokens end first.
    const Token* pull_until(size_t ahead) {
        while (ahead_.size() - position_ <= ahead) {
            if (!pull()) return nullptr;
        }
        return &ahead_[position_ + ahead];
    }

    // Lexes one more step; false once nothing more can come.
    bool pull() {
        if (stream_ == nullptr || done_) return false;
        Result<bool> more = stream_->step(ahead_);
        if (!more.ok()) {
            error_ = std::move(more).take_error();
            done_ = true;
            return false;
        }
        done_ = !*more;
        return true;
    }

    const std::vector<Token>* tokens_ = nullptr;
    // Into `tokens_`, or else into `ahead_`, the tokens lexed and not yet all read.
    size_t position_ = 0;
    TokenStream* stream_ = nullptr;
    std::vector<Token> ahead_;
    bool done_ = false;
    std::optional<CompileError> error_;
};

struct ParserState {
    TokenCursor& tokens;
    std::string_view name;
    std::string_view source;
    // The tree being built, which keeps the texts that are not source bytes.
    ParsedTemplate& parsed;
    uint64_t depth = 0;
    bool in_message = false;
    bool in_block = false;
    // The nodes of every open body, innermost last: a body builds on the tail and moves its
    // nodes out once complete, so each body gets an exactly sized list. No token makes more than
    // one node, so the room made once per parse (room_for_nodes) holds every node of most
    // templates; a denser one grows the list, moving the nodes it holds so far.
    std::vector<Node> pending{};

    const Token* peek() { return tokens.peek(); }
    void advance() { tokens.advance(); }
};

std::string_view trimmed_text(const Token& token) {
    return trim_white_space(token.text);
}

// From `offset` up to, not including, the next line feed; empty off a character boundary.
Span line_span(std::string_view source, uint64_t offset) {
    if (offset >= source.size()) return Span{offset, 0};
    if (is_utf8_continuation(source[offset])) return Span{offset, 0};
    const size_t feed = source.find('\n', offset);
    const size_t end = feed == std::string_view::npos ? source.size() : feed;
    return Span{offset, end - offset};
}

CompileError syntax_error_at_line(const ParserState& state, std::string_view message,
                                  uint64_t offset) {
    const Span span = line_span(state.source, offset);
    return make_syntax_error_at(message, state.name, state.source, span.offset, span.length);
}

CompileError syntax_error_at_line_owned(const ParserState& state, std::string message,
                                        uint64_t offset) {
    const Span span = line_span(state.source, offset);
    return make_syntax_error_at_owned(std::move(message), state.name, state.source, span.offset,
                                      span.length);
}

CompileError locate_error_at_line(const ParserState& state, uint64_t offset, CompileError error) {
    const Span span = line_span(state.source, offset);
    return locate_syntax_error(std::move(error), state.name, state.source, span.offset,
                               span.length);
}

Status enter_nesting(ParserState& state) {
    ++state.depth;
    if (state.depth > MAX_NESTING_DEPTH) {
        return new_syntax_error(
            cat("nesting depth exceeds maximum of ", decimal(MAX_NESTING_DEPTH)));
    }
    return {};
}

CompileError missing_colon_error(const ParserState& state, std::string_view keyword,
                                 std::string_view text, uint64_t offset) {
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == '\\') {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        }
    }
    if (quote != 0) {
        return syntax_error_at_line_owned(
            state, cat("unterminated string literal in ", keyword, " condition"), offset);
    }
    return syntax_error_at_line_owned(state, cat(keyword, " directive must end with ':'"), offset);
}

Result<uint64_t> expect_end(ParserState& state, std::string_view keyword, uint64_t offset) {
    const Token* next = state.peek();
    if (next != nullptr && next->kind == TokenKind::Directive) {
        const std::string_view d = trimmed_text(*next);
        if (d == "@end") {
            const uint64_t end_offset = next->offset;
            state.advance();
            return end_offset;
        }
        // Unreachable while every body stops only at its own terminators; kept as a guard.
        return syntax_error_at_line_owned(
            state, cat("expected @end to close ", keyword, " block, got '", d, "'"), next->offset);
    }
    return make_syntax_error_at_owned(cat("unclosed ", keyword, " block (missing @end)"),
                                      state.name, state.source, offset, keyword.size());
}

Result<std::vector<Node>> parse_body(ParserState& state, Words end_words, Words end_prefixes);

Result<Node> parse_if(ParserState& state, std::string_view rest, uint64_t offset) {
    TYX_TRY(enter_nesting(state));
    const std::string_view trimmed = trim_white_space(rest);
    const auto head = split_directive_head(trimmed);
    if (!head) return missing_colon_error(state, "@if", trimmed, offset);
    auto condition = parse_condition(*head, state.parsed.made_texts);
    if (!condition) return locate_error_at_line(state, offset, std::move(condition).take_error());

    const Words kBranchEnds = {"@else:", "@end"};
    const Words kBranchPrefixes = {"@elseif "};
    Node::If node;
    node.condition = std::move(condition).value();
    node.offset = offset;
    TYX_ASSIGN_OR_RETURN(node.then_body, parse_body(state, kBranchEnds, kBranchPrefixes));

    for (const Token* next = state.peek(); next != nullptr && next->kind == TokenKind::Directive &&
                                           starts_with(trimmed_text(*next), "@elseif ");
         next = state.peek()) {
        if (node.elseif_branches.size() >= MAX_ELSEIF_BRANCHES) {
            return syntax_error_at_line_owned(
                state,
                cat("@if block has more than ", decimal(MAX_ELSEIF_BRANCHES), " @elseif branches"),
                next->offset);
        }
        const Token line = *next;
        state.advance();
        const uint64_t branch_offset = line.offset;
        const std::string_view branch_text =
            trim_white_space(trimmed_text(line).substr(std::string_view("@elseif ").size()));
        const auto branch_head = split_directive_head(branch_text);
        if (!branch_head) return missing_colon_error(state, "@elseif", branch_text, branch_offset);
        auto branch_condition = parse_condition(*branch_head, state.parsed.made_texts);
        if (!branch_condition) {
            return locate_error_at_line(state, branch_offset,
                                        std::move(branch_condition).take_error());
        }
        ElseIfBranch branch;
        branch.condition = std::move(branch_condition).value();
        branch.offset = branch_offset;
        TYX_ASSIGN_OR_RETURN(branch.body, parse_body(state, kBranchEnds, kBranchPrefixes));
        node.elseif_branches.push_back(std::move(branch));
    }

    if (const Token* next = state.peek();
        next != nullptr && next->kind == TokenKind::Directive && trimmed_text(*next) == "@else:") {
        ElseBranch branch;
        branch.offset = next->offset;
        state.advance();
        TYX_ASSIGN_OR_RETURN(branch.body, parse_body(state, {"@end"}, {}));
        node.else_branch = std::move(branch);
    }
    TYX_ASSIGN_OR_RETURN(node.end_offset, expect_end(state, "@if", offset));
    --state.depth;
    return Node{std::move(node)};
}

Result<Node> parse_for(ParserState& state, std::string_view rest, uint64_t offset) {
    TYX_TRY(enter_nesting(state));
    const std::string_view trimmed = trim_white_space(rest);
    const auto head = split_directive_head(trimmed);
    if (!head) return missing_colon_error(state, "@for", trimmed, offset);
    const size_t in = head->find(" in ");
    if (in == std::string_view::npos) {
        return syntax_error_at_line(state,
                                    "@for must follow pattern: @for <var> in <iterable>:", offset);
    }
    const std::string_view variables = trim_white_space(head->substr(0, in));
    const std::string_view iterable_text = trim_white_space(head->substr(in + 4));

    Node::For node;
    node.offset = offset;
    if (const size_t comma = variables.find(','); comma != std::string_view::npos) {
        const std::string_view key = trim_white_space(variables.substr(0, comma));
        const std::string_view item = trim_white_space(variables.substr(comma + 1));
        if (!is_valid_identifier(key)) {
            return new_syntax_error(cat("invalid key variable name: '", key, "'"));
        }
        if (!is_valid_identifier(item)) {
            return new_syntax_error(cat("invalid value variable name: '", item, "'"));
        }
        node.key_variable = key;
        node.item_variable = item;
    } else {
        if (!is_valid_identifier(variables)) {
            return new_syntax_error(cat("invalid loop variable name: '", variables, "'"));
        }
        node.item_variable = variables;
    }

    auto iterable = parse_directive_expression(iterable_text, state.parsed.made_texts);
    if (!iterable) return locate_error_at_line(state, offset, std::move(iterable).take_error());
    if (iterable->is_literal()) {
        return syntax_error_at_line_owned(
            state,
            cat("cannot use a literal value as @for iterable: '", iterable_text,
                "' \xE2\x80\x94 use a variable or function call"),
            offset);
    }
    node.iterable = std::move(iterable).value();
    TYX_ASSIGN_OR_RETURN(node.body, parse_body(state, {"@end"}, {}));
    TYX_ASSIGN_OR_RETURN(node.end_offset, expect_end(state, "@for", offset));
    --state.depth;
    return Node{std::move(node)};
}

// `rest` is the directive text after "@define ".
Result<Node> parse_define(ParserState& state, std::string_view rest, uint64_t offset) {
    TYX_TRY(enter_nesting(state));
    const std::string_view r = trim_white_space(rest);
    if (r.empty() || r.back() != ':') {
        return syntax_error_at_line(state, "@define directive must end with ':'", offset);
    }
    const std::string_view head = trim_white_space(r.substr(0, r.size() - 1));
    const size_t open = head.find('(');
    if (open == std::string_view::npos) {
        return syntax_error_at_line(
            state, "@define must have parameter list: @define name(params):", offset);
    }
    const size_t close = head.find(')');
    if (close == std::string_view::npos) {
        return syntax_error_at_line(state, "@define: unclosed parenthesis", offset);
    }
    // A ")" before the "(" lies inside the name, which then fails here, so the parameter text
    // below always runs forward from the "(".
    const std::string_view function_name = trim_white_space(head.substr(0, open));
    if (!is_valid_identifier(function_name)) {
        return syntax_error_at_line_owned(
            state, cat("invalid function name: '", function_name, "'"), offset);
    }
    Node::Define node;
    node.name = function_name;
    node.offset = offset;
    TYX_ASSIGN_OR_RETURN(node.params, parse_define_params(head.substr(open + 1, close - open - 1),
                                                          node.name, state.parsed.made_texts));
    TYX_ASSIGN_OR_RETURN(node.body, parse_body(state, {"@end"}, {}));
    TYX_ASSIGN_OR_RETURN(node.end_offset, expect_end(state, "@define", offset));
    --state.depth;
    return Node{std::move(node)};
}

// Clears a flag and lowers the depth however the block's body ends.
class BlockScope {
  public:
    BlockScope(ParserState& state, bool ParserState::*flag) : state_(state), flag_(flag) {
        state_.*flag_ = true;
    }
    ~BlockScope() {
        state_.*flag_ = false;
        --state_.depth;
    }
    BlockScope(const BlockScope&) = delete;
    BlockScope& operator=(const BlockScope&) = delete;

  private:
    ParserState& state_;
    bool ParserState::*flag_;
};

Result<Node> parse_message_block(ParserState& state, std::string_view rest, uint64_t offset) {
    if (state.in_message) {
        return syntax_error_at_line(
            state, "@message blocks cannot be nested inside another @message block", offset);
    }
    const std::string_view trimmed = trim_white_space(rest);
    const auto head = split_directive_head(trimmed);
    if (!head) return missing_colon_error(state, "@message", trimmed, offset);
    const std::string_view role_text = trim_white_space(*head);

    Node::MessageBlock node;
    node.offset = offset;
    if (role_text.size() >= 4 && starts_with(role_text, "{{") &&
        role_text.substr(role_text.size() - 2) == "}}") {
        auto role = parse_directive_expression(
            trim_white_space(role_text.substr(2, role_text.size() - 4)), state.parsed.made_texts);
        if (!role) return locate_error_at_line(state, offset, std::move(role).take_error());
        node.role = std::move(role).value();
    } else if (role_text.empty()) {
        return syntax_error_at_line(
            state,
            "@message role must not be empty \xE2\x80\x94 use e.g. @message system:", offset);
    } else {
        node.role = Expression{Expression::String{role_text}};
    }

    state.parsed.has_message_blocks = true;
    // The depth counts the block only once its role has been read.
    TYX_TRY(enter_nesting(state));
    BlockScope scope(state, &ParserState::in_message);
    TYX_ASSIGN_OR_RETURN(node.body, parse_body(state, {"@end"}, {}));
    TYX_TRY(expect_end(state, "@message", offset));
    return Node{std::move(node)};
}

Result<Node> parse_block_directive(ParserState& state, std::string_view rest, uint64_t offset) {
    if (state.in_block) {
        return syntax_error_at_line(state, "@block cannot be nested inside another @block", offset);
    }
    if (state.in_message) {
        return syntax_error_at_line(state, "@block cannot be nested inside a @message block",
                                    offset);
    }
    if (state.depth != 0) {
        return syntax_error_at_line(
            state,
            "@block is top-level only \xE2\x80\x94 it cannot appear inside @if, @for, or @define",
            offset);
    }
    const std::string_view trimmed = trim_white_space(rest);
    const auto head = split_directive_head(trimmed);
    if (!head) return missing_colon_error(state, "@block", trimmed, offset);
    const std::string_view block_name = trim_white_space(*head);
    if (block_name.empty()) {
        return syntax_error_at_line(
            state,
            "@block name must not be empty \xE2\x80\x94 use e.g. @block instructions:", offset);
    }
    if (!is_valid_identifier(block_name)) {
        return syntax_error_at_line_owned(
            state,
            cat("invalid @block name: '", block_name, "' \xE2\x80\x94 must be a valid identifier"),
            offset);
    }
    Node::Block node;
    node.name = block_name;
    node.offset = offset;
    TYX_TRY(enter_nesting(state));
    BlockScope scope(state, &ParserState::in_block);
    TYX_ASSIGN_OR_RETURN(node.body, parse_body(state, {"@end"}, {}));
    TYX_TRY(expect_end(state, "@block", offset));
    return Node{std::move(node)};
}

// One directive that did not end the current body; the token is already consumed.
Result<Node> parse_directive(ParserState& state, const Token& token) {
    const std::string_view d = trimmed_text(token);
    const uint64_t offset = token.offset;
    if (starts_with(d, "@if ")) return parse_if(state, d.substr(4), offset);
    if (starts_with(d, "@for ")) return parse_for(state, d.substr(5), offset);
    if (starts_with(d, "@define ")) return parse_define(state, d.substr(8), offset);
    if (is_keyword_line(d, "@import")) {
        TYX_ASSIGN_OR_RETURN(auto node, parse_import(d, offset));
        return Node{std::move(node)};
    }
    if (is_keyword_line(d, "@export")) {
        TYX_ASSIGN_OR_RETURN(auto node, parse_export(d, offset));
        return Node{std::move(node)};
    }
    if (starts_with(d, "@include ")) {
        const std::string_view alias = trim_white_space(d.substr(9));
        if (!is_valid_identifier(alias)) {
            return syntax_error_at_line_owned(state, cat("invalid include alias: '", alias, "'"),
                                              offset);
        }
        return Node{Node::Include{alias, offset}};
    }
    if (starts_with(d, "@message ")) return parse_message_block(state, d.substr(9), offset);
    if (starts_with(d, "@block ")) return parse_block_directive(state, d.substr(7), offset);
    if (d == "@else") {
        return syntax_error_at_line(
            state, "found '@else' without colon \xE2\x80\x94 use '@else:' (with trailing colon)",
            offset);
    }
    if (d == "@elseif" || starts_with(d, "@elseif ")) {
        return syntax_error_at_line(state, "@elseif must appear inside an @if block", offset);
    }
    if (starts_with(d, "@elseif:")) {
        return syntax_error_at_line(state,
                                    "found '@elseif:' without a condition \xE2\x80\x94 use "
                                    "'@elseif <condition>:' (condition required)",
                                    offset);
    }
    if (d == "@extends" || starts_with(d, "@extends ")) {
        return make_extends_error_at(
            "@extends must be the first directive after frontmatter \xE2\x80\x94 only one @extends "
            "is allowed and it must appear before any other content",
            state.name, state.source, offset, token.text.size());
    }
    return syntax_error_at_line_owned(
        state,
        cat("unknown directive: ", d,
            ". Valid directives: @if, @elseif, @else:, @end, @for, @define, @import, @export, "
            "@include, @message, @block, @extends"),
        offset);
}

bool ends_body(std::string_view d, Words end_words, Words end_prefixes) {
    for (std::string_view word : end_words) {
        if (d == word) return true;
    }
    for (std::string_view prefix : end_prefixes) {
        if (starts_with(d, prefix)) return true;
    }
    return false;
}

// Moves the nodes from `first` on out of the scratch list into a list of their own.
std::vector<Node> take_pending(std::vector<Node>& pending, size_t first) {
    std::vector<Node> nodes;
    nodes.reserve(pending.size() - first);
    const auto begin = pending.begin() + static_cast<std::ptrdiff_t>(first);
    nodes.insert(nodes.end(), std::make_move_iterator(begin),
                 std::make_move_iterator(pending.end()));
    pending.erase(begin, pending.end());
    return nodes;
}

// A fence line and a line feed: the source's own bytes when a line feed ends the line there.
std::string_view fence_line_text(ParserState& state, const Token& token) {
    const size_t end = token.offset + token.text.size();
    if (end < state.source.size() && state.source[end] == '\n') {
        return state.source.substr(token.offset, token.text.size() + 1);
    }
    return state.parsed.made_texts.emplace_front(cat(token.text, "\n"));
}

// Parses nodes onto the scratch list up to a terminator in `end_words` or `end_prefixes`, or
// the end of the tokens.
Status parse_pending(ParserState& state, Words end_words, Words end_prefixes) {
    std::vector<Node>& nodes = state.pending;
    while (const Token* token = state.peek()) {
        switch (token->kind) {
            case TokenKind::Text:
            case TokenKind::CodeBlock:
                nodes.emplace_back(Node::Text{token->text, token->offset});
                break;
            case TokenKind::CodeFence:
                nodes.emplace_back(Node::Text{fence_line_text(state, *token), token->offset});
                break;
            case TokenKind::Interpolation: {
                // Built where it stays, so its expression is never moved.
                Node& slot = nodes.emplace_back(Node::Text{{}, token->offset});
                auto& node = slot.value.emplace<Node::Interpolation>();
                TYX_TRY(parse_interpolation_into(node, token->text, token->offset, state.name,
                                                 state.source, state.parsed.made_texts));
                break;
            }
            case TokenKind::EscapedBrace:
                nodes.emplace_back(Node::EscapedBrace{token->offset});
                break;
            case TokenKind::FrontmatterDelimiter:
            case TokenKind::Frontmatter:
                break;
            case TokenKind::Directive: {
                if (ends_body(trimmed_text(*token), end_words, end_prefixes)) return {};
                const Token line = *token;
                state.advance();
                TYX_ASSIGN_OR_RETURN(auto node, parse_directive(state, line));
                nodes.push_back(std::move(node));
                continue;
            }
        }
        state.advance();
    }
    return {};
}

Result<std::vector<Node>> parse_body(ParserState& state, Words end_words, Words end_prefixes) {
    const size_t first = state.pending.size();
    TYX_TRY(parse_pending(state, end_words, end_prefixes));
    return take_pending(state.pending, first);
}

// The top-level body is what remains on the scratch list, which was sized for the nodes the
// tokens may become: it keeps that list, unless most of its room went unused.
Result<std::vector<Node>> parse_top_level(ParserState& state) {
    state.pending.reserve(state.tokens.room_for_nodes(state.source));
    TYX_TRY(parse_pending(state, {}, {}));
    if (state.pending.size() * 4 < state.pending.capacity()) return take_pending(state.pending, 0);
    return std::move(state.pending);
}

bool is_blank_text(const Token& token) {
    return token.kind == TokenKind::Text && trim_white_space(token.text).empty();
}

// Reads a leading @extends line, if there is one, into the template.
Status parse_leading_extends(ParserState& state, ParsedTemplate& parsed) {
    size_t ahead = 0;
    while (state.tokens.peek(ahead) != nullptr && is_blank_text(*state.tokens.peek(ahead)))
        ++ahead;
    const Token* line = state.tokens.peek(ahead);
    if (line == nullptr || line->kind != TokenKind::Directive) return {};
    const Token token = *line;
    const std::string_view d = trimmed_text(token);
    if (d != "@extends" && !starts_with(d, "@extends ")) return {};

    // The blank lines before it are dropped with it.
    for (size_t i = 0; i <= ahead; ++i)
        state.advance();
    const std::string_view path_text =
        trim_white_space(d.substr(std::string_view("@extends").size()));
    if (path_text.empty()) {
        return syntax_error_at_line(
            state, "@extends requires a quoted path: @extends \"./base.tyx\"", token.offset);
    }
    TYX_ASSIGN_OR_RETURN(parsed.extends, parse_quoted_path(path_text));
    parsed.extends_offset = token.offset;
    return {};
}

Status parse_tokens(ParserState& state, ParsedTemplate& parsed) {
    if (const Token* first = state.peek();
        first != nullptr && first->kind == TokenKind::FrontmatterDelimiter) {
        state.advance();
        if (const Token* block = state.peek();
            block != nullptr && block->kind == TokenKind::Frontmatter) {
            // Most frontmatter holds no carriage return and is the source's own bytes.
            parsed.frontmatter = block->text.find('\r') == std::string_view::npos
                                     ? block->text
                                     : parsed.made_texts.emplace_front(frontmatter_text(*block));
            state.advance();
            if (const Token* close = state.peek();
                close != nullptr && close->kind == TokenKind::FrontmatterDelimiter) {
                state.advance();
            }
        }
    }
    TYX_TRY(parse_leading_extends(state, parsed));
    TYX_ASSIGN_OR_RETURN(parsed.body, parse_top_level(state));
    return {};
}

}  // namespace

Result<ParsedTemplate> parse_template(const std::vector<Token>& tokens, std::string_view name,
                                      SharedText source) {
    ParsedTemplate parsed;
    parsed.source = std::move(source);
    TokenCursor cursor(tokens);
    ParserState state{cursor, name, parsed.source.view(), parsed};
    TYX_TRY(parse_tokens(state, parsed));
    return parsed;
}

Result<ParsedTemplate> parse_source(SharedText source, std::string_view name) {
    ParsedTemplate parsed;
    parsed.source = std::move(source);
    const std::string_view text = parsed.source.view();
    TokenStream stream(text, name);
    TokenCursor cursor(stream);
    ParserState state{cursor, name, text, parsed};
    Status status = parse_tokens(state, parsed);
    if (std::optional<CompileError> error = cursor.take_lexer_error()) return std::move(*error);
    TYX_TRY(std::move(status));
    return parsed;
}

}  // namespace tyx
