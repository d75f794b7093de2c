#include "core/validator.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "evaluator_fixture.h"

namespace tyx {
namespace {

using testing::expect_error;
using testing::ExpectedError;
using testing::Template;

constexpr const char* kVars =
    R"({"name": "Ann", "items": [1, 2], "obj": {"a": 1}, "s": "text", "z": null,
        "row": {"x": 1}, "rows": [[1, 2], [3]], "scalars": [1, 2], "ok": true})";

// The module behind the import alias m: it exports f(x).
Template library() {
    return Template("@define f(x):\n{{ x }}\n@end\n", "{}", "lib.tyx");
}

struct Case {
    const char* label;
    const char* source;
    std::optional<ExpectedError> expected;  // nullopt: the template validates
};

TEST(Validate, ReportsTheFirstProblemWithItsSpan) {
    const Case cases[] = {
        {"defined names pass",
         "{{ name }} {{ upper(name) }} {{ obj.a }} {{ m.f(1) }}\n@include m\n", std::nullopt},
        {"undefined variable spans the name from the brace", "Hi {{ name2 }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'name2'", Span{3, 5}}},
        {"branch never chosen is still checked", "@if ok:\nA\n@else:\n{{ nope }}\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{17, 4}}},
        {"dot path root", "{{ user.name }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'user'", Span{0, 4}}},
        {"dot path fields are not checked", "{{ obj.missing.deeper }}", std::nullopt},
        {"import alias is not a variable", "{{ m }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'm'", Span{0, 1}}},
        {"undefined function spans the expression", "{{ nope(1) }}",
         ExpectedError{ErrorKind::UndefinedFn, "undefined function 'nope'", Span{0, 7}}},
        {"builtin arity", "x {{ upper() }}",
         ExpectedError{ErrorKind::Arity, "arity mismatch for 'upper': expected 1 argument, got 0",
                       Span{2, 7}}},
        {"user function arity", "@define g(a, b=1):\n@end\n{{ g() }}",
         ExpectedError{ErrorKind::Arity, "arity mismatch for 'g': expected 1-2 arguments, got 0",
                       Span{24, 3}}},
        {"user function hides the builtin's arity", "@define upper(a, b):\n@end\n{{ upper(s, s) }}",
         std::nullopt},
        {"undefined variable in arguments", "{{ upper(nope) }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{0, 4}}},
        {"undefined dot path root in arguments", "{{ upper(user.name) }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'user'", Span{0, 4}}},
        {"undefined function in arguments spans its name", "{{ upper(nope(s)) }}",
         ExpectedError{ErrorKind::UndefinedFn, "undefined function 'nope'", Span{0, 4}}},
        {"arity in arguments", "{{ upper(lower()) }}",
         ExpectedError{ErrorKind::Arity, "arity mismatch for 'lower': expected 1 argument, got 0",
                       Span{0, 5}}},
        {"condition operand", "Intro\n@if ok && nope:\nx\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{6, 4}}},
        {"condition call spans the function name", "@if !upper():\n@end\n",
         ExpectedError{ErrorKind::Arity, "arity mismatch for 'upper': expected 1 argument, got 0",
                       Span{0, 5}}},
        {"comparison operands, right side", "@if 'a' == nope.x || ok:\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{0, 4}}},
        {"condition of a qualified call spans the function name", "@if m.g():\n@end\n",
         ExpectedError{ErrorKind::UndefinedFn, "undefined function 'm.g'", Span{0, 1}}},
        {"elseif condition at its own line", "@if ok:\n@elseif nope:\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{8, 4}}},
        {"loop source", "Intro\n@for x in items2:\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'items2'", Span{6, 6}}},
        {"object with one loop variable", "@for x in obj:\n@end\n",
         ExpectedError{ErrorKind::Syntax,
                       "syntax error: cannot iterate over object 'obj' with a single variable — "
                       "use @for key, value in obj: to iterate over an object's entries",
                       Span{0, 3}}},
        {"object with two loop variables", "@for k, v in obj:\n{{ k }}{{ v }}\n@end\n",
         std::nullopt},
        {"key-value form over a scalar is left to the evaluator", "@for k, v in s:\n@end\n",
         std::nullopt},
        {"string loop source", "@for x in s:\n@end\n",
         ExpectedError{ErrorKind::TypeError, "type error: expected array for @for loop, got string",
                       Span{0, 1}}},
        {"null loop source", "@for x in z:\n@end\n",
         ExpectedError{ErrorKind::TypeError, "type error: expected array for @for loop, got null",
                       Span{0, 1}}},
        {"loop over a dot path checks only the root", "@for c in row.cells:\n@end\n", std::nullopt},
        {"loop over an undefined dot path root", "@for c in nope.cells:\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{0, 4}}},
        {"loop over a call spans the function name", "@for x in nope(1):\n@end\n",
         ExpectedError{ErrorKind::UndefinedFn, "undefined function 'nope'", Span{0, 4}}},
        {"loop over a qualified call with an undefined alias", "@for x in q.f(1):\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'q'", Span{0, 1}}},
        {"loop variable is visible in the body only", "@for x in items:\n{{ x }}\n@end\n{{ x }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'x'", Span{30, 1}}},
        {"nested loop over the outer loop variable",
         "@for row in rows:\n@for c in row:\n{{ c }}\n@end\n@end\n", std::nullopt},
        {"nested loop over a key-value loop's value",
         "@for k, v in obj:\n@for c in v:\n@end\n@end\n", std::nullopt},
        {"nested loop over a dot path of the loop variable",
         "@for row in rows:\n@for c in row.cells:\n@end\n@end\n", std::nullopt},
        {"parameters may be iterated", "@define f2(list):\n@for x in list:\n{{ x }}\n@end\n@end\n",
         std::nullopt},
        {"define body", "@define f2(a):\n{{ a }} {{ b }}\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'b'", Span{23, 1}}},
        {"parameters end with the body", "@define f2(a):\n@end\n{{ a }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'a'", Span{20, 1}}},
        {"include of a name that is not imported", "Text\n@include lib\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'lib'", Span{5, 3}}},
        {"plain role is not checked", "@message nope:\nx\n@end\n", std::nullopt},
        {"interpolated role", "@message {{ nope }}:\nx\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{0, 4}}},
        {"interpolated role call has an empty span", "@message {{ nope() }}:\nx\n@end\n",
         ExpectedError{ErrorKind::UndefinedFn, "undefined function 'nope'", Span{0, 0}}},
        {"message body", "@message user:\n{{ nope }}\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{15, 4}}},
        {"block body", "@block b:\n{{ nope }}\n@end\n",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{10, 4}}},
        {"qualified call arity with the qualified signature", "{{ m.f(1, 2) }}",
         ExpectedError{ErrorKind::Arity, "arity mismatch for 'm.f': expected 1 argument, got 2",
                       Span{0, 9}}},
        {"function not exported", "{{ m.g() }}",
         ExpectedError{ErrorKind::UndefinedFn, "undefined function 'm.g'", Span{0, 5}}},
        {"undefined alias spans the expression", "{{ q.f(1) }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'q'", Span{0, 6}}},
        {"qualified call arguments", "{{ m.f(nope) }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'nope'", Span{0, 4}}},
        {"the first problem wins", "{{ a }}{{ b }}",
         ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'a'", Span{0, 1}}},
    };
    const Template lib = library();
    for (const Case& c : cases) {
        Template t(c.source, kVars);
        t.scope.define_import_alias("m", lib.as_module());
        Status status = t.validate();
        if (c.expected) {
            expect_error(status, *c.expected, c.label);
        } else {
            EXPECT_TRUE(status.ok()) << c.label << ": " << format_error_message(status.error());
        }
        EXPECT_EQ(t.scope.depth(), 1u) << c.label;
    }
}

TEST(Validate, ErrorsKeepTheSourceAndTheSignature) {
    const Template lib = library();
    Template t("{{ m.f(1, 2) }}", kVars);
    t.scope.define_import_alias("m", lib.as_module());
    Status status = t.validate();
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().detail, "\nexpected: m.f(x)");
    ASSERT_TRUE(status.error().location.source != nullptr);
    EXPECT_EQ(status.error().location.source->name, "main.tyx");

    Template builtin("{{ upper() }}");
    Status builtin_status = builtin.validate();
    ASSERT_FALSE(builtin_status.ok());
    EXPECT_EQ(builtin_status.error().detail, "");

    Template user("@define g(a, b='x'):\n@end\n{{ g() }}");
    Status user_status = user.validate();
    ASSERT_FALSE(user_status.ok());
    EXPECT_EQ(user_status.error().detail, "\nexpected: g(a, b = \"x\")");
}

TEST(Validate, NestedLoopOverScalarsPassesButFailsWhenItRuns) {
    Template t("@for row in scalars:\n@for c in row:\n{{ c }}\n@end\n@end\n", kVars);
    ASSERT_TRUE(t.validate().ok());
    expect_error(t.render(),
                 {ErrorKind::TypeError, "type error: expected array for @for loop, got number",
                  std::nullopt});
}

// string(string(...)) with `levels` calls nested inside the argument lists.
std::vector<Node> nested_call_interpolation(uint64_t levels) {
    Expression inner{Expression::Number{1}};
    for (uint64_t i = 0; i < levels; ++i)
        inner = Expression{Expression::Call{"string", {inner}}};
    std::vector<Node> nodes;
    nodes.push_back(
        Node{Node::Interpolation{Expression{Expression::Call{"string", {inner}}}, 0, 0}});
    return nodes;
}

TEST(Validate, ArgumentNestingLimit) {
    Scope scope;
    EXPECT_TRUE(
        validate_nodes(nested_call_interpolation(MAX_VALIDATION_DEPTH), scope, "t", "").ok());
    expect_error(
        validate_nodes(nested_call_interpolation(MAX_VALIDATION_DEPTH + 1), scope, "t", ""),
        {ErrorKind::Syntax, "syntax error: nested argument validation depth exceeded",
         std::nullopt});
}

TEST(Validate, LiteralLoopSourceIsAnInternalError) {
    Scope scope;
    std::vector<Node> nodes;
    nodes.push_back(
        Node{Node::For{std::nullopt, "x", Expression{Expression::Number{1}}, {}, 0, 0}});
    expect_error(validate_nodes(nodes, scope, "t", ""),
                 {ErrorKind::Syntax,
                  "syntax error: internal error: literal value used as @for iterable — should "
                  "have been rejected at parse time",
                  std::nullopt});
}

}  // namespace
}  // namespace tyx
