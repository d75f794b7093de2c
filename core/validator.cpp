#include "core/validator.h"

#include <string>
#include <utility>
#include <variant>

#include "core/builtins.h"
#include "core/format.h"
#include "core/signature.h"

namespace tyx {
namespace {

// The name whose length spans an operand's errors: a variable, a dot path's root or the called
// function's name.
uint64_t operand_name_length(const Expression& expression) {
    return visit_unboxed(
        Overloaded{
            [](const Expression::Variable& variable) { return variable.name.size(); },
            [](const Expression::DotPath& path) { return path.root.size(); },
            [](const Expression::Call& call) { return call.name.size(); },
            [](const Expression::QualifiedCall& call) { return call.name.size(); },
            [](const auto&) { return std::size_t{0}; },
        },
        expression.value);
}

class Validator {
  public:
    Validator(Scope& scope, std::string_view name, std::string_view text)
        : scope_(scope), name_(name), text_(text) {}

    Status validate_nodes(std::span<const Node> nodes) {
        for (const Node& node : nodes)
            TYX_TRY(validate_node(node));
        return {};
    }

  private:
    Status validate_node(const Node& node) {
        return visit_node(
            Overloaded{
                [&](const Node::Interpolation& interpolation) {
                    return validate_expression(interpolation.expression, interpolation.offset,
                                               interpolation.length);
                },
                [&](const Node::If& branch) { return validate_if(branch); },
                [&](const Node::For& loop) { return validate_for(loop); },
                [&](const Node::Define& define) -> Status {
                    // Parameters are bound as empty arrays: their real values come only with
                    // a call, and an array lets a loop over a parameter pass.
                    scope_.push_frame();
                    for (const DefineParam& param : define.params) {
                        scope_.define_variable(param.name, Value::array({}));
                    }
                    return pop_after(validate_nodes(define.body));
                },
                [&](const Node::Include& include) -> Status {
                    if (scope_.lookup_import_alias(include.name) != nullptr) return {};
                    return undefined_variable(include.name, include.offset, include.name.size());
                },
                [&](const Node::MessageBlock& block) -> Status {
                    TYX_TRY(validate_expression(block.role, block.offset, 0));
                    return validate_nodes(block.body);
                },
                [&](const Node::Block& block) { return validate_nodes(block.body); },
                [](const auto&) -> Status { return {}; },
            },
            node);
    }

    Status validate_if(const Node::If& node) {
        TYX_TRY(validate_condition(node.condition, node.offset));
        TYX_TRY(validate_nodes(node.then_body));
        for (const ElseIfBranch& branch : node.elseif_branches) {
            TYX_TRY(validate_condition(branch.condition, branch.offset));
            TYX_TRY(validate_nodes(branch.body));
        }
        if (node.else_branch) TYX_TRY(validate_nodes(node.else_branch->body));
        return {};
    }

    Status validate_for(const Node::For& node) {
        TYX_TRY(validate_iterable(node));
        // Loop variables are bound as empty arrays, like parameters: their real values are
        // unknown here, and an array lets a nested loop over them pass. The evaluator still
        // checks the real type when the loop runs.
        scope_.push_frame();
        if (node.key_variable) scope_.define_variable(*node.key_variable, Value::array({}));
        scope_.define_variable(node.item_variable, Value::array({}));
        return pop_after(validate_nodes(node.body));
    }

    Status validate_iterable(const Node::For& node) {
        const uint64_t offset = node.offset;
        return visit_unboxed(
            Overloaded{
                [&](const Expression::Variable& variable) -> Status {
                    const Value* value = scope_.lookup_variable(variable.name);
                    const uint64_t length = variable.name.size();
                    if (value == nullptr) return undefined_variable(variable.name, offset, length);
                    if (node.key_variable || value->is_array()) return {};
                    if (value->is_object()) {
                        return make_syntax_error_at(
                            cat("cannot iterate over object '", variable.name,
                                "' with a single variable — use @for key, value in ", variable.name,
                                ": to iterate over an object's entries"),
                            name_, text_, offset, length);
                    }
                    return CompileError::at(ErrorKind::TypeError, std::string(value->type_name()),
                                            name_, text_, offset, length);
                },
                [&](const Expression::DotPath& path) -> Status {
                    if (scope_.lookup_variable(path.root) != nullptr) return {};
                    return undefined_variable(path.root, offset, path.root.size());
                },
                [&](const Expression::Call&) {
                    return validate_expression(node.iterable, offset,
                                               operand_name_length(node.iterable));
                },
                [&](const Expression::QualifiedCall&) {
                    return validate_expression(node.iterable, offset,
                                               operand_name_length(node.iterable));
                },
                [](const auto&) -> Status {
                    return new_syntax_error(
                        "internal error: literal value used as @for iterable — should have been "
                        "rejected at parse time");
                },
            },
            node.iterable.value);
    }

    Status validate_condition(const Condition& condition, uint64_t offset) {
        return visit_unboxed(Overloaded{
                                 [&](const Condition::Truthy& truthy) {
                                     return validate_operand(truthy.expression, offset);
                                 },
                                 [&](const Condition::Not& negation) {
                                     return validate_operand(negation.expression, offset);
                                 },
                                 [&](const Condition::Equals& equals) -> Status {
                                     TYX_TRY(validate_operand(equals.left, offset));
                                     return validate_operand(equals.right, offset);
                                 },
                                 [&](const Condition::NotEquals& not_equals) -> Status {
                                     TYX_TRY(validate_operand(not_equals.left, offset));
                                     return validate_operand(not_equals.right, offset);
                                 },
                                 [&](const Condition::And& all) -> Status {
                                     for (const Condition& operand : all.conditions) {
                                         TYX_TRY(validate_condition(operand, offset));
                                     }
                                     return {};
                                 },
                                 [&](const Condition::Or& any) -> Status {
                                     for (const Condition& operand : any.conditions) {
                                         TYX_TRY(validate_condition(operand, offset));
                                     }
                                     return {};
                                 },
                             },
                             condition.value);
    }

    Status validate_operand(const Expression& expression, uint64_t offset) {
        if (expression.is_literal()) return {};
        return validate_expression(expression, offset, operand_name_length(expression));
    }

    Status validate_expression(const Expression& expression, uint64_t offset, uint64_t length) {
        return visit_unboxed(
            Overloaded{
                [&](const Expression::Variable& variable) {
                    return require_variable(variable.name, offset);
                },
                [&](const Expression::DotPath& path) {
                    return require_variable(path.root, offset);
                },
                [&](const Expression::Call& call) -> Status {
                    TYX_TRY(validate_call(call.name, call.args.size(), offset, length));
                    return validate_call_arguments(call.args, offset, 0);
                },
                [&](const Expression::QualifiedCall& call) -> Status {
                    TYX_TRY(validate_qualified_call(call, offset, length));
                    return validate_call_arguments(call.args, offset, 0);
                },
                [](const auto&) -> Status { return {}; },
            },
            expression.value);
    }

    Status validate_qualified_call(const Expression::QualifiedCall& call, uint64_t offset,
                                   uint64_t length) {
        const ImportedModule* module = scope_.lookup_import_alias(call.namespace_name);
        if (module == nullptr) return undefined_variable(call.namespace_name, offset, length);
        const std::string qualified =
            std::string(call.namespace_name) + "." + std::string(call.name);
        const FunctionDef* function = module->find_exported_function(call.name);
        if (function == nullptr) {
            return CompileError::at(ErrorKind::UndefinedFn, qualified, name_, text_, offset,
                                    length);
        }
        const uint64_t required = count_required_params(function->params);
        const uint64_t total = function->params.size();
        const uint64_t given = call.args.size();
        if (given < required || given > total) {
            return make_arity_error_at(qualified, required, total, given,
                                       format_function_signature(qualified, function->params),
                                       name_, text_, offset, length);
        }
        return {};
    }

    Status validate_call(std::string_view function_name, uint64_t given, uint64_t offset,
                         uint64_t length) {
        if (const FunctionDef* function = scope_.lookup_function(function_name)) {
            const uint64_t required = count_required_params(function->params);
            const uint64_t total = function->params.size();
            if (given >= required && given <= total) return {};
            return make_call_arity_error_at(
                function_name, required, total, given,
                format_function_signature(function_name, function->params), name_, text_, offset,
                length);
        }
        if (const BuiltinSpec* builtin = lookup_builtin(function_name)) {
            if (given >= builtin->min_args && given <= builtin->max_args) return {};
            return make_call_arity_error_at(function_name, builtin->min_args, builtin->max_args,
                                            given, std::nullopt, name_, text_, offset, length);
        }
        return CompileError::at(ErrorKind::UndefinedFn, std::string(function_name), name_, text_,
                                offset, length);
    }

    Status validate_call_arguments(const std::vector<Expression>& arguments, uint64_t offset,
                                   uint64_t depth) {
        if (depth > MAX_VALIDATION_DEPTH) {
            return new_syntax_error("nested argument validation depth exceeded");
        }
        for (const Expression& argument : arguments) {
            TYX_TRY(validate_call_argument(argument, offset, depth));
        }
        return {};
    }

    Status validate_call_argument(const Expression& argument, uint64_t offset, uint64_t depth) {
        return visit_unboxed(
            Overloaded{
                [&](const Expression::Variable& variable) {
                    return require_variable(variable.name, offset);
                },
                [&](const Expression::DotPath& path) {
                    return require_variable(path.root, offset);
                },
                [&](const Expression::Call& call) -> Status {
                    TYX_TRY(validate_call(call.name, call.args.size(), offset, call.name.size()));
                    return validate_call_arguments(call.args, offset, depth + 1);
                },
                [](const auto&) -> Status { return {}; },
            },
            argument.value);
    }

    Status require_variable(std::string_view variable, uint64_t offset) {
        if (scope_.lookup_variable(variable) != nullptr) return {};
        return undefined_variable(variable, offset, variable.size());
    }

    CompileError undefined_variable(std::string_view variable, uint64_t offset,
                                    uint64_t length) const {
        return make_undefined_variable_error_at(variable, name_, text_, offset, length);
    }

    // Pops the frame pushed for a body; the body's failure wins over the pop's.
    Status pop_after(Status body) {
        Status popped = scope_.pop_frame();
        if (!body.ok()) return body;
        return popped;
    }

    Scope& scope_;
    std::string_view name_;
    std::string_view text_;
};

}  // namespace

Status validate_nodes(std::span<const Node> nodes, Scope& scope, std::string_view source_name,
                      std::string_view source_text) {
    return Validator(scope, source_name, source_text).validate_nodes(nodes);
}

}  // namespace tyx
