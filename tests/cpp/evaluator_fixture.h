// A parsed template with a scope prepared as the resolver would: variables from JSON, its
// @define functions captured in order, and import aliases added by the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/evaluator.h"
#include "core/lexer.h"
#include "core/parser.h"
#include "core/scope.h"
#include "core/validator.h"
#include "core/value.h"

namespace tyx::testing {

inline Value json_value(std::string_view json) {
    Result<Value> value = value_from_json(nlohmann::json::parse(json));
    EXPECT_TRUE(value.ok()) << json;
    return value.ok() ? value.value() : Value();
}

class Template {
  public:
    explicit Template(std::string source, std::string_view vars_json = "{}",
                      std::string name = "main.tyx")
        : name_(std::move(name)), source_(std::make_shared<const std::string>(std::move(source))) {
        const nlohmann::json vars = nlohmann::json::parse(vars_json);
        for (const auto& [key, value] : vars.items()) {
            Result<Value> converted = value_from_json(value);
            EXPECT_TRUE(converted.ok()) << key;
            if (converted.ok()) scope.define_variable(key, converted.value());
        }
        Result<std::vector<Token>> tokens = tokenize(*source_, name_);
        if (!tokens.ok()) {
            ADD_FAILURE() << "tokenize: " << format_error_message(tokens.error());
            tree_ = std::make_shared<const ParsedTemplate>();
            return;
        }
        Result<ParsedTemplate> parsed = parse_template(tokens.value(), name_, source_);
        if (!parsed.ok()) {
            ADD_FAILURE() << "parse: " << format_error_message(parsed.error());
            tree_ = std::make_shared<const ParsedTemplate>();
            return;
        }
        tree_ = std::make_shared<const ParsedTemplate>(std::move(parsed).value());
        define_functions();
    }

    const std::vector<Node>& nodes() const { return tree_->body; }
    std::string_view source() const { return *source_; }
    const std::string& name() const { return name_; }
    SharedSource shared_source() const {
        return SharedSource{std::make_shared<const std::string>(name_),
                            std::make_shared<const std::string>(name_), source_};
    }

    Result<std::string> render() {
        return evaluate(nodes(), scope, warnings, name_, *source_, work);
    }
    Status validate() { return validate_nodes(nodes(), scope, name_, *source_); }
    Result<std::vector<Message>> messages() {
        return evaluate_messages(nodes(), scope, warnings, name_, *source_, work);
    }

    // An import alias whose module is this template: its functions exported, its body as given.
    ImportedModule as_module(std::shared_ptr<const std::string> body_text = nullptr,
                             bool body_hidden = false) const {
        ImportedModule module;
        module.body_text = std::move(body_text);
        module.body_hidden = body_hidden;
        module.exported_functions = std::make_shared<const ExportedFunctions>(functions_);
        return module;
    }

    Scope scope;
    std::vector<std::string> warnings;
    WorkBudget work;

  private:
    // Each top-level @define captures the names visible when it is defined, as the resolver's
    // directive pass does.
    void define_functions() {
        for (const Node& node : tree_->body) {
            const auto* define = node_if<Node::Define>(node);
            if (define == nullptr) continue;
            FunctionDef made;
            made.params = define->params;
            made.body = std::shared_ptr<const std::vector<Node>>(tree_, &define->body);
            made.source = shared_source();
            std::shared_ptr<const FunctionDef> function = scope.make_function(std::move(made));
            scope.define_function(define->name, function);
            functions_.insert_or_assign(define->name, function);
        }
    }

    std::string name_;
    std::shared_ptr<const std::string> source_;
    std::shared_ptr<const ParsedTemplate> tree_;
    FunctionMap functions_;
};

struct ExpectedError {
    ErrorKind kind;
    std::string message;
    std::optional<Span> span;  // nullopt: the error has no span
};

template <class T>
void expect_error(const Result<T>& result, const ExpectedError& expected,
                  std::string_view context = {}) {
    ASSERT_FALSE(result.ok()) << context;
    const CompileError& error = result.error();
    EXPECT_EQ(error.kind, expected.kind) << context << ": " << format_error_message(error);
    EXPECT_EQ(format_error_message(error), expected.message) << context;
    EXPECT_EQ(error.location.span, expected.span) << context;
}

}  // namespace tyx::testing
