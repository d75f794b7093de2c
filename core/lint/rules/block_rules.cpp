#include "core/lint/rules/block_rules.h"

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/format.h"
#include "core/text.h"

namespace tyx {

namespace {

bool push(const RuleContext& context, std::string message, std::string help, uint64_t offset,
          uint64_t length, std::optional<std::vector<FixRange>> fixes = std::nullopt) {
    LintDiagnostic diagnostic =
        make_diagnostic(context, std::move(message), std::move(help), offset, length);
    diagnostic.fix_ranges = std::move(fixes);
    return push_diagnostic(context.result, std::move(diagnostic));
}

FixRange whole_lines(uint64_t start, uint64_t end) {
    return FixRange{start, end, true};
}

FixRange exact(uint64_t start, uint64_t end) {
    return FixRange{start, end, false};
}

// Removing a @define breaks every call of it and every export naming it; a module without an
// export list offers all its functions to importers, and a partial or child template is used
// by templates the linter never sees.
bool define_removal_is_safe(std::string_view name, const LintFacts& facts) {
    if (!facts.has_export || facts.skip_unused || facts.called.contains(name)) return false;
    for (const ExportFact& fact : facts.export_facts) {
        if (fact.name && *fact.name == name) return false;
    }
    return true;
}

bool check_empty_for(const Node::For& loop, const RuleContext& context, const LintFacts& facts) {
    if (!is_blank_body(loop.body)) return check_empty_blocks(loop.body, context, facts);
    return push(context, "@for body is empty.", "Add content inside the @for block or remove it.",
                loop.offset, FOR_KEYWORD_LENGTH,
                std::vector<FixRange>{whole_lines(loop.offset, loop.end_offset)});
}

bool check_empty_define(const Node::Define& define, const RuleContext& context,
                        const LintFacts& facts) {
    if (!is_blank_body(define.body)) return check_empty_blocks(define.body, context, facts);
    std::optional<std::vector<FixRange>> fixes;
    if (define_removal_is_safe(define.name, facts)) {
        fixes = std::vector<FixRange>{whole_lines(define.offset, define.end_offset)};
    }
    return push(context, cat("@define '", define.name, "' body is empty."),
                "Add a body to the function or remove the definition.", define.offset,
                DEFINE_PREFIX_LENGTH + define.name.size(), std::move(fixes));
}

bool check_empty_message(const Node::MessageBlock& message, const RuleContext& context,
                         const LintFacts& facts) {
    if (!is_blank_body(message.body)) return check_empty_blocks(message.body, context, facts);
    return push(context, "@message body is empty.",
                "Add content to the message block or remove it. Empty @message is allowed for "
                "priming but often accidental.",
                message.offset, MESSAGE_KEYWORD_LENGTH);
}

// Calls `walk` on the then-body, each @elseif body and the @else body, stopping when it does.
template <class Walk>
bool walk_if_bodies(const Node::If& node, const Walk& walk) {
    if (!walk(node.then_body)) return false;
    for (const ElseIfBranch& branch : node.elseif_branches) {
        if (!walk(branch.body)) return false;
    }
    return !node.else_branch || walk(node.else_branch->body);
}

// The body of every For, Define, MessageBlock and Block node, for walks that look only at Ifs.
const std::vector<Node>* nested_body(const Node& node) {
    return visit_node(Overloaded{
                          [](const Node::For& loop) { return &loop.body; },
                          [](const Node::Define& define) { return &define.body; },
                          [](const Node::MessageBlock& message) { return &message.body; },
                          [](const Node::Block& block) { return &block.body; },
                          [](const auto&) -> const std::vector<Node>* { return nullptr; },
                      },
                      node);
}

// Literals as the evaluator compares them: numbers as floats, so 0 equals -0, and literals of
// different kinds never equal.
bool literals_equal_at_run_time(const Expression& a, const Expression& b) {
    if (a.value.index() != b.value.index()) return false;
    if (const auto* number = std::get_if<Expression::Number>(&a.value)) {
        return number->value == std::get<Expression::Number>(b.value).value;
    }
    return expressions_equal(a, b);
}

// The value of a condition that compares two literals; nothing for any other condition.
std::optional<bool> constant_value(const Condition& condition) {
    if (const auto* equals = std::get_if<Condition::Equals>(&condition.value)) {
        if (!equals->left.is_literal() || !equals->right.is_literal()) return std::nullopt;
        return literals_equal_at_run_time(equals->left, equals->right);
    }
    if (const auto* not_equals = std::get_if<Condition::NotEquals>(&condition.value)) {
        if (!not_equals->left.is_literal() || !not_equals->right.is_literal()) return std::nullopt;
        return !literals_equal_at_run_time(not_equals->left, not_equals->right);
    }
    return std::nullopt;
}

uint64_t next_branch_offset(const Node::If& node, size_t elseif_index) {
    if (elseif_index + 1 < node.elseif_branches.size()) {
        return node.elseif_branches[elseif_index + 1].offset;
    }
    return node.else_branch ? node.else_branch->offset : node.end_offset;
}

bool optional_expressions_equal(const std::optional<Expression>& a,
                                const std::optional<Expression>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || expressions_equal(*a, *b);
}

bool imports_equal(const ImportKind& a, const ImportKind& b) {
    if (a.value.index() != b.value.index()) return false;
    return visit_unboxed(Overloaded{
                             [&](const ImportKind::Alias& left) {
                                 const auto& right = std::get<ImportKind::Alias>(b.value);
                                 return left.path == right.path && left.alias == right.alias;
                             },
                             [&](const ImportKind::Whole& left) {
                                 return left.path == std::get<ImportKind::Whole>(b.value).path;
                             },
                             [&](const ImportKind::Selective& left) {
                                 const auto& right = std::get<ImportKind::Selective>(b.value);
                                 return left.names == right.names && left.path == right.path;
                             },
                         },
                         a.value);
}

bool ifs_equal(const Node::If& a, const Node::If& b) {
    if (!conditions_equal(a.condition, b.condition) ||
        !nodes_structurally_equal(a.then_body, b.then_body) ||
        a.elseif_branches.size() != b.elseif_branches.size()) {
        return false;
    }
    for (size_t i = 0; i < a.elseif_branches.size(); ++i) {
        const ElseIfBranch& left = a.elseif_branches[i];
        const ElseIfBranch& right = b.elseif_branches[i];
        if (!conditions_equal(left.condition, right.condition) ||
            !nodes_structurally_equal(left.body, right.body)) {
            return false;
        }
    }
    if (a.else_branch.has_value() != b.else_branch.has_value()) return false;
    return !a.else_branch || nodes_structurally_equal(a.else_branch->body, b.else_branch->body);
}

// Parameter defaults take part: a call that leaves a parameter out renders its default, so two
// definitions that differ only there do not render the same.
bool defines_equal(const Node::Define& a, const Node::Define& b) {
    if (a.name != b.name || a.params.size() != b.params.size()) return false;
    for (size_t i = 0; i < a.params.size(); ++i) {
        if (a.params[i].name != b.params[i].name ||
            !optional_expressions_equal(a.params[i].default_value, b.params[i].default_value)) {
            return false;
        }
    }
    return nodes_structurally_equal(a.body, b.body);
}

bool nodes_equal(const Node& a, const Node& b) {
    if (a.value.index() != b.value.index()) return false;
    return visit_node(
        Overloaded{
            [&](const Node::Text& left) { return left.text == node_get<Node::Text>(b).text; },
            [&](const Node::Interpolation& left) {
                return expressions_equal(left.expression,
                                         node_get<Node::Interpolation>(b).expression);
            },
            [](const Node::EscapedBrace&) { return true; },
            [&](const Node::If& left) { return ifs_equal(left, node_get<Node::If>(b)); },
            [&](const Node::For& left) {
                const auto& right = node_get<Node::For>(b);
                return left.item_variable == right.item_variable &&
                       left.key_variable == right.key_variable &&
                       expressions_equal(left.iterable, right.iterable) &&
                       nodes_structurally_equal(left.body, right.body);
            },
            [&](const Node::Define& left) {
                return defines_equal(left, node_get<Node::Define>(b));
            },
            [&](const Node::Import& left) {
                return imports_equal(left.kind, node_get<Node::Import>(b).kind);
            },
            [](const Node::Export&) { return false; },
            [&](const Node::Include& left) { return left.name == node_get<Node::Include>(b).name; },
            [&](const Node::MessageBlock& left) {
                const auto& right = node_get<Node::MessageBlock>(b);
                return expressions_equal(left.role, right.role) &&
                       nodes_structurally_equal(left.body, right.body);
            },
            [&](const Node::Block& left) {
                const auto& right = node_get<Node::Block>(b);
                return left.name == right.name && nodes_structurally_equal(left.body, right.body);
            },
        },
        a);
}

bool condition_lists_equal(const std::vector<Condition>& a, const std::vector<Condition>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!conditions_equal(a[i], b[i])) return false;
    }
    return true;
}

bool same_bits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// A digest of an operand's structure, equal for any two that the *_equal functions call equal,
// so that a search among many operands compares only those whose digests agree.
class StructureDigest {
  public:
    void add(uint64_t word) {
        for (int shift = 0; shift < 64; shift += 8)
            add_byte(static_cast<uint8_t>(word >> shift));
    }
    void add(std::string_view text) {
        add(text.size());
        for (const char byte : text)
            add_byte(static_cast<uint8_t>(byte));
    }
    void add(double number) { add(std::bit_cast<uint64_t>(number)); }
    void add(const std::vector<std::string_view>& texts) {
        add(texts.size());
        for (const std::string_view text : texts)
            add(text);
    }
    void add(const std::vector<Expression>& args) {
        add(args.size());
        for (const Expression& arg : args)
            add(arg);
    }
    void add(const std::vector<Condition>& conditions) {
        add(conditions.size());
        for (const Condition& condition : conditions)
            add(condition);
    }

    void add(const Expression& expression) {
        add(static_cast<uint64_t>(expression.value.index()));
        visit_unboxed(Overloaded{
                          [&](const Expression::Variable& variable) { add(variable.name); },
                          [&](const Expression::Call& call) {
                              add(call.name);
                              add(call.args);
                          },
                          [&](const Expression::QualifiedCall& call) {
                              add(call.namespace_name);
                              add(call.name);
                              add(call.args);
                          },
                          [&](const Expression::DotPath& path) {
                              add(path.root);
                              add(path.fields);
                          },
                          [&](const Expression::String& text) { add(text.value); },
                          [&](const Expression::Number& number) { add(number.value); },
                          [&](const Expression::Bool& flag) { add(uint64_t{flag.value}); },
                          [](const Expression::Null&) {},
                      },
                      expression.value);
    }

    void add(const Condition& condition) {
        add(static_cast<uint64_t>(condition.value.index()));
        visit_unboxed(Overloaded{
                          [&](const Condition::Truthy& truthy) { add(truthy.expression); },
                          [&](const Condition::Not& negated) { add(negated.expression); },
                          [&](const Condition::Equals& equals) {
                              add(equals.left);
                              add(equals.right);
                          },
                          [&](const Condition::NotEquals& not_equals) {
                              add(not_equals.left);
                              add(not_equals.right);
                          },
                          [&](const Condition::And& all) { add(all.conditions); },
                          [&](const Condition::Or& any) { add(any.conditions); },
                      },
                      condition.value);
    }

    uint64_t value() const { return state_; }

  private:
    // FNV-1a over the bytes of the structure.
    void add_byte(uint8_t byte) { state_ = (state_ ^ byte) * 0x100000001b3ULL; }

    uint64_t state_ = 0xcbf29ce484222325ULL;
};

uint64_t structure_digest(const Condition& condition) {
    StructureDigest digest;
    digest.add(condition);
    return digest.value();
}

}  // namespace

bool is_blank_body(const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
        const auto* text = node_if<Node::Text>(node);
        if (text == nullptr || !is_white_space_only(text->text)) return false;
    }
    return true;
}

bool check_empty_blocks(const std::vector<Node>& nodes, const RuleContext& context,
                        const LintFacts& facts) {
    for (const Node& node : nodes) {
        const bool go_on = visit_node(
            Overloaded{
                [&](const Node::For& loop) { return check_empty_for(loop, context, facts); },
                [&](const Node::Define& define) {
                    return check_empty_define(define, context, facts);
                },
                [&](const Node::MessageBlock& message) {
                    return check_empty_message(message, context, facts);
                },
                [&](const Node::If& branch) {
                    return check_empty_if_branches(branch, context, facts);
                },
                [&](const Node::Block& block) {
                    return check_empty_blocks(block.body, context, facts);
                },
                [](const auto&) { return true; },
            },
            node);
        if (!go_on) return false;
    }
    return true;
}

bool check_empty_if_branches(const Node::If& node, const RuleContext& context,
                             const LintFacts& facts) {
    const bool alone = node.elseif_branches.empty() && !node.else_branch;
    if (is_blank_body(node.then_body)) {
        std::optional<std::vector<FixRange>> fixes;
        if (alone) fixes = std::vector<FixRange>{whole_lines(node.offset, node.end_offset)};
        if (!push(context, "@if then-body is empty.",
                  "Add content inside the @if block or remove it.", node.offset, IF_KEYWORD_LENGTH,
                  std::move(fixes))) {
            return false;
        }
    } else if (!check_empty_blocks(node.then_body, context, facts)) {
        return false;
    }
    for (size_t i = 0; i < node.elseif_branches.size(); ++i) {
        const ElseIfBranch& branch = node.elseif_branches[i];
        if (!is_blank_body(branch.body)) {
            if (!check_empty_blocks(branch.body, context, facts)) return false;
            continue;
        }
        std::optional<std::vector<FixRange>> fixes;
        if (i + 1 == node.elseif_branches.size() && !node.else_branch) {
            fixes = std::vector<FixRange>{exact(branch.offset, node.end_offset)};
        }
        if (!push(context, "@elseif body is empty.",
                  "Add content inside the @elseif block or remove it.", branch.offset,
                  ELSEIF_KEYWORD_LENGTH, std::move(fixes))) {
            return false;
        }
    }
    if (!node.else_branch) return true;
    const ElseBranch& branch = *node.else_branch;
    if (!is_blank_body(branch.body)) return check_empty_blocks(branch.body, context, facts);
    return push(context, "@else body is empty.", "Add content inside the @else block or remove it.",
                branch.offset, ELSE_KEYWORD_LENGTH,
                std::vector<FixRange>{exact(branch.offset, node.end_offset)});
}

bool check_redundant_else(const std::vector<Node>& nodes, const RuleContext& context) {
    const auto walk = [&](const std::vector<Node>& body) {
        return check_redundant_else(body, context);
    };
    for (const Node& node : nodes) {
        if (const auto* branch = node_if<Node::If>(node)) {
            if (branch->else_branch && branch->elseif_branches.empty() &&
                nodes_structurally_equal(branch->then_body, branch->else_branch->body) &&
                !push(context,
                      "The @else body is identical to the @if body — the conditional "
                      "produces the same output regardless of the condition.",
                      "Remove the @else branch or make its content different from the @if body.",
                      branch->offset, IF_KEYWORD_LENGTH)) {
                return false;
            }
            if (!walk_if_bodies(*branch, walk)) return false;
        } else if (const std::vector<Node>* body = nested_body(node)) {
            if (!walk(*body)) return false;
        }
    }
    return true;
}

bool check_unreachable_branches(const std::vector<Node>& nodes, const RuleContext& context) {
    const auto walk = [&](const std::vector<Node>& body) {
        return check_unreachable_branches(body, context);
    };
    for (const Node& node : nodes) {
        if (const auto* branch = node_if<Node::If>(node)) {
            if (!check_unreachable_if(*branch, context)) return false;
            if (!walk_if_bodies(*branch, walk)) return false;
        } else if (const std::vector<Node>* body = nested_body(node)) {
            if (!walk(*body)) return false;
        }
    }
    return true;
}

bool check_unreachable_if(const Node::If& node, const RuleContext& context) {
    const bool has_elseif = !node.elseif_branches.empty();
    if (const std::optional<bool> value = constant_value(node.condition)) {
        bool kept = true;
        if (!*value) {
            std::optional<std::vector<FixRange>> fixes;
            if (!has_elseif && !node.else_branch) {
                fixes = std::vector<FixRange>{whole_lines(node.offset, node.end_offset)};
            } else if (!has_elseif) {
                fixes = std::vector<FixRange>{whole_lines(node.offset, node.else_branch->offset),
                                              whole_lines(node.end_offset, node.end_offset)};
            }
            kept = push(context, "@if condition is always false — the then-body is dead code.",
                        "Replace the constant condition with a variable or remove the dead branch.",
                        node.offset, IF_KEYWORD_LENGTH, std::move(fixes));
        } else if (has_elseif || node.else_branch) {
            const uint64_t later =
                has_elseif ? node.elseif_branches.front().offset : node.else_branch->offset;
            kept = push(context,
                        "@if condition is always true — @elseif/@else branches are unreachable.",
                        "Replace the constant condition with a variable or remove later branches.",
                        node.offset, IF_KEYWORD_LENGTH,
                        std::vector<FixRange>{whole_lines(node.offset, node.offset),
                                              whole_lines(later, node.end_offset)});
        }
        if (!kept) return false;
    }
    // Each branch is set against every earlier one, but only a matching digest costs a walk of
    // both conditions.
    std::vector<std::pair<uint64_t, const Condition*>> earlier = {
        {structure_digest(node.condition), &node.condition}};
    for (size_t i = 0; i < node.elseif_branches.size(); ++i) {
        const ElseIfBranch& branch = node.elseif_branches[i];
        const uint64_t digest = structure_digest(branch.condition);
        bool repeated = false;
        for (const auto& [earlier_digest, condition] : earlier) {
            if (earlier_digest == digest && conditions_equal(branch.condition, *condition)) {
                repeated = true;
                break;
            }
        }
        bool kept = true;
        if (repeated) {
            kept = push(context,
                        "@elseif condition is structurally identical to an earlier branch — "
                        "this branch can never be reached.",
                        "Remove the duplicate @elseif branch or change its condition.",
                        branch.offset, ELSEIF_KEYWORD_LENGTH,
                        std::vector<FixRange>{exact(branch.offset, next_branch_offset(node, i))});
        } else if (const std::optional<bool> value = constant_value(branch.condition)) {
            if (*value) {
                kept = push(context, "@elseif condition is always true.",
                            "Replace the constant condition with a variable.", branch.offset,
                            ELSEIF_KEYWORD_LENGTH);
            } else {
                kept = push(
                    context, "@elseif condition is always false — this branch is dead code.",
                    "Replace the constant condition with a variable or remove the dead branch.",
                    branch.offset, ELSEIF_KEYWORD_LENGTH,
                    std::vector<FixRange>{exact(branch.offset, next_branch_offset(node, i))});
            }
        }
        if (!kept) return false;
        earlier.emplace_back(digest, &branch.condition);
    }
    return true;
}

bool nodes_structurally_equal(const std::vector<Node>& a, const std::vector<Node>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!nodes_equal(a[i], b[i])) return false;
    }
    return true;
}

bool conditions_equal(const Condition& a, const Condition& b) {
    if (a.value.index() != b.value.index()) return false;
    return visit_unboxed(Overloaded{
                             [&](const Condition::Truthy& left) {
                                 return expressions_equal(
                                     left.expression,
                                     std::get<Condition::Truthy>(b.value).expression);
                             },
                             [&](const Condition::Not& left) {
                                 return expressions_equal(
                                     left.expression, std::get<Condition::Not>(b.value).expression);
                             },
                             [&](const Condition::Equals& left) {
                                 const auto& right = std::get<Condition::Equals>(b.value);
                                 return expressions_equal(left.left, right.left) &&
                                        expressions_equal(left.right, right.right);
                             },
                             [&](const Condition::NotEquals& left) {
                                 const auto& right = std::get<Condition::NotEquals>(b.value);
                                 return expressions_equal(left.left, right.left) &&
                                        expressions_equal(left.right, right.right);
                             },
                             [&](const Condition::And& left) {
                                 return condition_lists_equal(
                                     left.conditions, std::get<Condition::And>(b.value).conditions);
                             },
                             [&](const Condition::Or& left) {
                                 return condition_lists_equal(
                                     left.conditions, std::get<Condition::Or>(b.value).conditions);
                             },
                         },
                         a.value);
}

bool expressions_equal(const Expression& a, const Expression& b) {
    if (a.value.index() != b.value.index()) return false;
    return visit_unboxed(
        Overloaded{
            [&](const Expression::Variable& left) {
                return left.name == std::get<Expression::Variable>(b.value).name;
            },
            [&](const Expression::Call& left) {
                const auto& right = unboxed_get<Expression::Call>(b.value);
                return left.name == right.name && call_args_equal(left.args, right.args);
            },
            [&](const Expression::QualifiedCall& left) {
                const auto& right = unboxed_get<Expression::QualifiedCall>(b.value);
                return left.namespace_name == right.namespace_name && left.name == right.name &&
                       call_args_equal(left.args, right.args);
            },
            [&](const Expression::DotPath& left) {
                const auto& right = unboxed_get<Expression::DotPath>(b.value);
                return left.root == right.root && left.fields == right.fields;
            },
            [&](const Expression::String& left) {
                return left.value == std::get<Expression::String>(b.value).value;
            },
            [&](const Expression::Number& left) {
                return same_bits(left.value, std::get<Expression::Number>(b.value).value);
            },
            [&](const Expression::Bool& left) {
                return left.value == std::get<Expression::Bool>(b.value).value;
            },
            [](const Expression::Null&) { return true; },
        },
        a.value);
}

bool call_args_equal(const std::vector<Expression>& a, const std::vector<Expression>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!expressions_equal(a[i], b[i])) return false;
    }
    return true;
}

}  // namespace tyx
