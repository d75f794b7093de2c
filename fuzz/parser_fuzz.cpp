// Feeds arbitrary bytes through the lexer and the parser: any input must give a tree or an
// error, never a crash or a hang, and every tree must keep the invariants its readers rely on.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/lexer.h"
#include "core/parser.h"
#include "core/parser_helpers.h"

namespace {

using namespace tyx;

void require(bool condition) {
    if (!condition) std::abort();
}

void check_name(std::string_view name) {
    require(is_valid_identifier(name));
}

void check_path(std::string_view root, const std::vector<std::string_view>& fields) {
    check_name(root);
    require(!fields.empty() && fields.size() + 1 <= MAX_DOT_PATH_SEGMENTS);
    for (const auto& field : fields)
        check_name(field);
}

void check_args(const std::vector<Expression>& args, uint64_t depth) {
    require(depth <= MAX_CALL_NESTING);
    for (const auto& arg : args) {
        if (auto* call = unboxed_if<Expression::Call>(arg.value)) {
            check_name(call->name);
            check_args(call->args, depth + 1);
        } else if (auto* path = unboxed_if<Expression::DotPath>(arg.value)) {
            check_path(path->root, path->fields);
        } else if (auto* variable = std::get_if<Expression::Variable>(&arg.value)) {
            check_name(variable->name);
        } else if (auto* number = std::get_if<Expression::Number>(&arg.value)) {
            require(std::isfinite(number->value));
        } else {
            require(!unboxed_is<Expression::QualifiedCall>(arg.value));
        }
    }
}

// `plain_call_name_free`: an interpolation's plain call keeps its name as written.
void check_expression(const Expression& expression, bool plain_call_name_free = false) {
    const auto& e = expression.value;
    if (auto* variable = std::get_if<Expression::Variable>(&e)) {
        check_name(variable->name);
    } else if (auto* call = unboxed_if<Expression::Call>(e)) {
        if (!plain_call_name_free) check_name(call->name);
        check_args(call->args, 0);
    } else if (auto* qualified = unboxed_if<Expression::QualifiedCall>(e)) {
        check_name(qualified->namespace_name);
        check_name(qualified->name);
        check_args(qualified->args, 0);
    } else if (auto* path = unboxed_if<Expression::DotPath>(e)) {
        check_path(path->root, path->fields);
    } else if (auto* number = std::get_if<Expression::Number>(&e)) {
        require(std::isfinite(number->value));
    }
}

uint64_t check_condition(const Condition& condition, int level) {
    const auto& c = condition.value;
    if (auto* truthy = std::get_if<Condition::Truthy>(&c)) {
        require(!truthy->expression.is_literal());
        check_expression(truthy->expression);
        return 1;
    }
    if (auto* negated = std::get_if<Condition::Not>(&c)) {
        require(!negated->expression.is_literal());
        check_expression(negated->expression);
        return 1;
    }
    if (auto* equals = std::get_if<Condition::Equals>(&c)) {
        check_expression(equals->left);
        check_expression(equals->right);
        return 1;
    }
    if (auto* differs = std::get_if<Condition::NotEquals>(&c)) {
        check_expression(differs->left);
        check_expression(differs->right);
        return 1;
    }
    const bool is_and = std::holds_alternative<Condition::And>(c);
    // An And holds no And or Or (level 2); an Or holds no Or (level 1).
    require(is_and ? level < 2 : level < 1);
    const auto& members =
        is_and ? std::get<Condition::And>(c).conditions : std::get<Condition::Or>(c).conditions;
    require(members.size() >= 2);
    uint64_t leaves = 0;
    for (const auto& member : members)
        leaves += check_condition(member, is_and ? 2 : 1);
    return leaves;
}

void check_top_condition(const Condition& condition) {
    require(check_condition(condition, 0) <= MAX_CONDITION_OPERANDS);
}

struct Context {
    uint64_t depth = 0;
    bool in_message = false;
    bool in_block = false;
};

void check_body(const std::vector<Node>& body, Context context);

void check_nested(const std::vector<Node>& body, Context context) {
    ++context.depth;
    require(context.depth <= MAX_NESTING_DEPTH);
    check_body(body, context);
}

void check_body(const std::vector<Node>& body, Context context) {
    for (const auto& node : body) {
        if (auto* interpolation = node_if<Node::Interpolation>(node)) {
            require(!interpolation->expression.is_literal());
            check_expression(interpolation->expression, true);
        } else if (auto* branch = node_if<Node::If>(node)) {
            check_top_condition(branch->condition);
            check_nested(branch->then_body, context);
            require(branch->elseif_branches.size() <= MAX_ELSEIF_BRANCHES);
            for (const auto& elseif : branch->elseif_branches) {
                check_top_condition(elseif.condition);
                check_nested(elseif.body, context);
            }
            if (branch->else_branch) check_nested(branch->else_branch->body, context);
        } else if (auto* loop = node_if<Node::For>(node)) {
            if (loop->key_variable) check_name(*loop->key_variable);
            check_name(loop->item_variable);
            require(!loop->iterable.is_literal());
            check_expression(loop->iterable);
            check_nested(loop->body, context);
        } else if (auto* define = node_if<Node::Define>(node)) {
            check_name(define->name);
            std::set<std::string_view> names;
            bool optional_seen = false;
            for (const auto& param : define->params) {
                check_name(param.name);
                require(names.insert(param.name).second);
                if (param.default_value) {
                    require(param.default_value->is_literal());
                    optional_seen = true;
                } else {
                    require(!optional_seen);
                }
            }
            check_nested(define->body, context);
        } else if (auto* message = node_if<Node::MessageBlock>(node)) {
            require(!context.in_message);
            check_expression(message->role);
            Context inner = context;
            inner.in_message = true;
            check_nested(message->body, inner);
        } else if (auto* block = node_if<Node::Block>(node)) {
            require(context.depth == 0 && !context.in_message && !context.in_block);
            check_name(block->name);
            Context inner = context;
            inner.in_block = true;
            check_nested(block->body, inner);
        } else if (auto* include = node_if<Node::Include>(node)) {
            check_name(include->name);
        } else if (auto* import = node_if<Node::Import>(node)) {
            if (auto* alias = std::get_if<ImportKind::Alias>(&import->kind.value)) {
                check_name(alias->alias);
            } else if (auto* selective = std::get_if<ImportKind::Selective>(&import->kind.value)) {
                require(selective->names.size() == selective->name_offsets.size());
                for (const auto& name : selective->names)
                    check_name(name);
            }
        } else if (auto* exported = node_if<Node::Export>(node)) {
            if (auto* name = std::get_if<ExportKind::Name>(&exported->kind.value)) {
                check_name(name->name);
            } else if (auto* reexport =
                           std::get_if<ExportKind::ReexportName>(&exported->kind.value)) {
                check_name(reexport->name);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto source =
        std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
    // Parsing while lexing gives what lexing first and then parsing gives: the tree, or the
    // same error.
    auto streamed = tyx::parse_source(source, "fuzz.tyx");
    auto tokens = tyx::tokenize(*source, "fuzz.tyx");
    if (!tokens.ok()) {
        require(!streamed.ok() && streamed.error().text == tokens.error().text &&
                streamed.error().location.span == tokens.error().location.span);
        return 0;
    }
    auto parsed = tyx::parse_template(*tokens, "fuzz.tyx", source);
    require(parsed.ok() == streamed.ok());
    if (!parsed.ok()) {
        require(streamed.error().text == parsed.error().text &&
                streamed.error().location.span == parsed.error().location.span);
    } else {
        require(streamed->body.size() == parsed->body.size() &&
                streamed->frontmatter == parsed->frontmatter &&
                streamed->extends == parsed->extends);
    }
    if (parsed.ok()) {
        check_body(parsed->body, Context{});
    } else {
        require(parsed.error().kind == tyx::ErrorKind::Syntax ||
                parsed.error().kind == tyx::ErrorKind::Extends);
    }
    return 0;
}
