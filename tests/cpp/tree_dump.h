// A compact one-line text of syntax trees, so that tests state whole trees as strings.
//
// Expressions: x (variable), f(a, b), ns::f(a), a.b.c, "text" (string literal, raw), #1.5,
// #true, #false, #null. Conditions: x, !x, (x == y), (x != y), (and ...), (or ...). Nodes are
// parenthesised with their offsets, bodies in brackets.
#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <vector>

#include "core/parser.h"

namespace tyx::testing {

// The tree's names and texts are views; the dumps are built of strings.
inline std::string str(std::string_view text) {
    return std::string(text);
}

inline std::string dump_number(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

inline std::string dump_offset(uint64_t offset) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, offset);
    return std::string(buffer, result.ptr);
}

inline std::string quote_text(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string dump(const Expression& expression);

inline std::string dump_args(const std::vector<Expression>& args) {
    std::string out = "(";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) out += ", ";
        out += dump(args[i]);
    }
    return out + ")";
}

inline std::string dump_path(std::string_view root, const std::vector<std::string_view>& fields) {
    std::string out(root);
    for (const std::string_view field : fields) {
        out += ".";
        out += field;
    }
    return out;
}

inline std::string dump(const Expression& expression) {
    const auto& e = expression.value;
    if (auto* v = std::get_if<Expression::Variable>(&e)) return std::string(v->name);
    if (auto* v = unboxed_if<Expression::Call>(e)) return str(v->name) + dump_args(v->args);
    if (auto* v = unboxed_if<Expression::QualifiedCall>(e)) {
        return str(v->namespace_name) + "::" + str(v->name) + dump_args(v->args);
    }
    if (auto* v = unboxed_if<Expression::DotPath>(e)) return dump_path(v->root, v->fields);
    if (auto* v = std::get_if<Expression::String>(&e)) return quote_text(v->value);
    if (auto* v = std::get_if<Expression::Number>(&e)) return "#" + dump_number(v->value);
    if (auto* v = std::get_if<Expression::Bool>(&e)) return v->value ? "#true" : "#false";
    return "#null";
}

inline std::string dump(const Condition& condition) {
    const auto& c = condition.value;
    if (auto* v = std::get_if<Condition::Truthy>(&c)) return dump(v->expression);
    if (auto* v = std::get_if<Condition::Not>(&c)) return "!" + dump(v->expression);
    if (auto* v = std::get_if<Condition::Equals>(&c)) {
        return "(" + dump(v->left) + " == " + dump(v->right) + ")";
    }
    if (auto* v = std::get_if<Condition::NotEquals>(&c)) {
        return "(" + dump(v->left) + " != " + dump(v->right) + ")";
    }
    const bool is_and = std::holds_alternative<Condition::And>(c);
    const auto& members =
        is_and ? std::get<Condition::And>(c).conditions : std::get<Condition::Or>(c).conditions;
    std::string out = is_and ? "(and" : "(or";
    for (const auto& member : members)
        out += " " + dump(member);
    return out + ")";
}

std::string dump(const std::vector<Node>& body);

inline std::string dump(const DefineParam& param) {
    return param.default_value ? str(param.name) + "=" + dump(*param.default_value)
                               : str(param.name);
}

inline std::string dump(const Node& node) {
    const auto at = dump_offset;
    if (auto* v = node_if<Node::Text>(node))
        return "(text " + at(v->offset) + " " + quote_text(v->text) + ")";
    if (auto* v = node_if<Node::Interpolation>(node)) {
        return "(interp " + at(v->offset) + " " + at(v->length) + " " + dump(v->expression) + ")";
    }
    if (auto* v = node_if<Node::EscapedBrace>(node)) return "(escaped " + at(v->offset) + ")";
    if (auto* v = node_if<Node::If>(node)) {
        std::string out =
            "(if " + at(v->offset) + " " + dump(v->condition) + " " + dump(v->then_body);
        for (const auto& branch : v->elseif_branches) {
            out += " (elseif " + at(branch.offset) + " " + dump(branch.condition) + " " +
                   dump(branch.body) + ")";
        }
        if (v->else_branch) {
            out += " (else " + at(v->else_branch->offset) + " " + dump(v->else_branch->body) + ")";
        }
        return out + " end " + at(v->end_offset) + ")";
    }
    if (auto* v = node_if<Node::For>(node)) {
        std::string vars = v->key_variable ? str(*v->key_variable) + ", " + str(v->item_variable)
                                           : str(v->item_variable);
        return "(for " + at(v->offset) + " " + vars + " in " + dump(v->iterable) + " " +
               dump(v->body) + " end " + at(v->end_offset) + ")";
    }
    if (auto* v = node_if<Node::Define>(node)) {
        std::string params;
        for (size_t i = 0; i < v->params.size(); ++i) {
            params += (i > 0 ? ", " : "") + dump(v->params[i]);
        }
        return "(define " + at(v->offset) + " " + str(v->name) + "(" + params + ") " +
               dump(v->body) + " end " + at(v->end_offset) + ")";
    }
    if (auto* v = node_if<Node::Import>(node)) {
        const auto& k = v->kind.value;
        if (auto* a = std::get_if<ImportKind::Alias>(&k)) {
            return "(import " + at(v->offset) + " " + quote_text(a->path) + " as " + str(a->alias) +
                   ")";
        }
        if (auto* w = std::get_if<ImportKind::Whole>(&k)) {
            return "(import " + at(v->offset) + " " + quote_text(w->path) + ")";
        }
        const auto& s = std::get<ImportKind::Selective>(k);
        std::string names;
        for (size_t i = 0; i < s.names.size(); ++i) {
            names += " " + str(s.names[i]) + "@" + at(s.name_offsets[i]);
        }
        return "(import " + at(v->offset) + " {" + names + " } from " + quote_text(s.path) + ")";
    }
    if (auto* v = node_if<Node::Export>(node)) {
        const auto& k = v->kind.value;
        if (auto* e = std::get_if<ExportKind::Name>(&k))
            return "(export " + at(v->offset) + " " + str(e->name) + ")";
        if (auto* e = std::get_if<ExportKind::ReexportName>(&k)) {
            return "(export " + at(v->offset) + " " + str(e->name) + " from " +
                   quote_text(e->path) + ")";
        }
        return "(export " + at(v->offset) + " * from " +
               quote_text(std::get<ExportKind::ReexportAll>(k).path) + ")";
    }
    if (auto* v = node_if<Node::Include>(node))
        return "(include " + at(v->offset) + " " + str(v->name) + ")";
    if (auto* v = node_if<Node::MessageBlock>(node)) {
        return "(message " + at(v->offset) + " " + dump(v->role) + " " + dump(v->body) + ")";
    }
    const auto& block = node_get<Node::Block>(node);
    return "(block " + at(block.offset) + " " + str(block.name) + " " + dump(block.body) + ")";
}

inline std::string dump(const std::vector<Node>& body) {
    std::string out = "[";
    for (size_t i = 0; i < body.size(); ++i) {
        if (i > 0) out += " ";
        out += dump(body[i]);
    }
    return out + "]";
}

}  // namespace tyx::testing
