#include "core/evaluator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/parser_helpers.h"
#include "evaluator_fixture.h"

namespace tyx {
namespace {

using testing::expect_error;
using testing::ExpectedError;
using testing::json_value;
using testing::Template;

struct RenderCase {
    const char* label;
    const char* source;
    const char* vars;
    const char* expected;
};

TEST(Render, ProducesTheTextOfEachConstruct) {
    const RenderCase cases[] = {
        {"empty template", "", "{}", ""},
        {"text and variable", "Hi {{ name }}!", R"({"name": "Ann"})", "Hi Ann!"},
        {"null renders nothing", "[{{ x }}]", R"({"x": null})", "[]"},
        {"numbers", "{{ n }} {{ f }} {{ z }}", R"({"n": 3.0, "f": 2.5, "z": -0.0})", "3 2.5 0"},
        {"arrays flatten", "{{ items }}", R"({"items": [1, "a", [2, 3], null]})", "1, a, 2, 3, "},
        {"boolean", "{{ b }}", R"({"b": true})", "true"},
        {"escaped brace", "\\{{ name }}", "{}", "{{ name }}"},
        {"dot path", "{{ user.address.city }}", R"({"user": {"address": {"city": "Oslo"}}})",
         "Oslo"},
        {"then branch", "@if flag:\nyes\n@else:\nno\n@end\n", R"({"flag": true})", "yes\n"},
        {"else branch", "@if flag:\nyes\n@else:\nno\n@end\n", R"({"flag": false})", "no\n"},
        {"first true elseif", "@if a:\nA\n@elseif b:\nB\n@elseif c:\nC\n@else:\nD\n@end\n",
         R"({"a": false, "b": true, "c": true})", "B\n"},
        {"no branch chosen", "@if a:\nA\n@end\nafter", R"({"a": 0})", "after"},
        {"string equality", "@if role == 'admin':\nadmin\n@end\n", R"({"role": "admin"})",
         "admin\n"},
        {"not equals", "@if role != 'admin':\nguest\n@end\n", R"({"role": "user"})", "guest\n"},
        {"null equals null", "@if x == null:\nnull\n@end\n", R"({"x": null})", "null\n"},
        {"zero equals minus zero", "@if z == 0:\nzero\n@end\n", R"({"z": -0.0})", "zero\n"},
        {"arrays compare by elements", "@if xs == ys:\nsame\n@end\n",
         R"({"xs": [1, [2]], "ys": [1, [2]]})", "same\n"},
        {"nested values of different types are unequal", "@if xs != ys:\ndiffer\n@end\n",
         R"({"xs": [1], "ys": ["1"]})", "differ\n"},
        {"and binds tighter than or", "@if a && b || c:\nyes\n@end\n",
         R"({"a": true, "b": false, "c": true})", "yes\n"},
        {"negation", "@if !a:\nnot a\n@end\n", R"({"a": ""})", "not a\n"},
        {"string zero is truthy", "@if s:\ntruthy\n@end\n", R"({"s": "0"})", "truthy\n"},
        {"empty object is falsy", "@if o:\ntruthy\n@else:\nfalsy\n@end\n", R"({"o": {}})",
         "falsy\n"},
        {"and stops at the first false operand", "@if f && upper(5):\nx\n@end\nok",
         R"({"f": false})", "ok"},
        {"or stops at the first true operand", "@if t || missing.field:\nx\n@end\n",
         R"({"t": true, "missing": {}})", "x\n"},
        {"later conditions are not evaluated", "@if t:\nA\n@elseif upper(5):\nB\n@end\n",
         R"({"t": true})", "A\n"},
        {"builtin in interpolation", "{{ upper(name) }}", R"({"name": "ann"})", "ANN"},
        {"nested builtins", "{{ join(sort(tags), ', ') }}", R"({"tags": ["b", "a"]})", "a, b"},
        {"builtin in condition", "@if contains(tags, 'b'):\nhas b\n@end\n",
         R"({"tags": ["a", "b"]})", "has b\n"},
        {"user function", "@define greet(who):\nHello {{ who }}!\n@end\n{{ greet(name) }}",
         R"({"name": "Ann"})", "Hello Ann!"},
        {"user function hides builtin", "@define upper(s):\nmine {{ s }}\n@end\n{{ upper('x') }}",
         "{}", "mine x"},
        {"defaults fill missing arguments",
         "@define f(a, b=1):\n{{ a }}-{{ b }}\n@end\n{{ f('x') }} {{ f('x', 2) }}", "{}",
         "x-1 x-2"},
        {"body is trimmed", "@define f():\n\n  Hello Ann  \n\n@end\n[{{ f() }}]", "{}",
         "[Hello Ann]"},
        {"parameter hides a variable", "@define f(x):\n{{ x }}\n@end\n{{ f('param') }} {{ x }}",
         R"({"x": "global"})", "param global"},
        {"function in an argument", "@define f():\nab\n@end\n{{ upper(f()) }}", "{}", "AB"},
        {"function in a condition", "@define f():\nyes\n@end\n@if f() == 'yes':\nok\n@end\n", "{}",
         "ok\n"},
        {"message block in Markdown", "@message {{ missing }}:\nHi\n@end\n", "{}", "Hi\n"},
        {"block in place", "@block intro:\nHello\n@end\n", "{}", "Hello\n"},
        {"directives that render nothing", "@import \"./lib.tyx\" as lib\n@export x\nA", "{}", "A"},
        {"loop over array", "@for x in xs:\n<{{ x }}>\n@end\n", R"({"xs": [1, "b"]})",
         "<1>\n<b>\n"},
        {"object entries by key bytes", "@for k, v in obj:\n{{ k }}={{ v }}\n@end\n",
         R"({"obj": {"b": 1, "a": 2, "C": 3}})", "C=3\na=2\nb=1\n"},
        {"loop variable hides and ends with the loop",
         "{{ x }}\n@for x in xs:\n{{ x }}\n@end\n{{ x }}", R"({"x": "outer", "xs": [1, 2]})",
         "outer\n1\n2\nouter"},
        {"nested loop over an array of arrays",
         "@for row in rows:\n@for c in row:\n{{ c }};\n@end\n|\n@end\n",
         R"({"rows": [[1, 2], [3]]})", "1;\n2;\n|\n3;\n|\n"},
        {"loop over a dot path", "@for c in t.cells:\n{{ c }}\n@end\n",
         R"({"t": {"cells": ["a"]}})", "a\n"},
        {"loop over a call", "@for p in split(s, ','):\n[{{ p }}]\n@end\n", R"({"s": "a,b"})",
         "[a]\n[b]\n"},
        {"empty loop", "@for x in xs:\n{{ x }}\n@end\n", R"({"xs": []})", ""},
    };
    for (const RenderCase& c : cases) {
        Template t(c.source, c.vars);
        Result<std::string> out = t.render();
        ASSERT_TRUE(out.ok()) << c.label << ": " << format_error_message(out.error());
        EXPECT_EQ(out.value(), c.expected) << c.label;
        EXPECT_EQ(t.scope.depth(), 1u) << c.label;
        EXPECT_TRUE(t.warnings.empty()) << c.label;
    }
}

TEST(Render, NanIsFalsyAndUnequalToItself) {
    Template t("@if n:\ntruthy\n@elseif n == n:\nequal\n@else:\nneither\n@end\n");
    t.scope.define_variable("n", Value::number(std::nan("")));
    Result<std::string> out = t.render();
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.value(), "neither\n");
}

struct ErrorCase {
    const char* label;
    const char* source;
    const char* vars;
    ExpectedError expected;
};

TEST(Render, ReportsEachFailureWithItsKindMessageAndSpan) {
    const char* user = R"({"user": {"address": {"street": "Main"}}, "n": 1, "s": "x", "a": false})";
    const ErrorCase cases[] = {
        {"undefined variable",
         "{{ x }}",
         "{}",
         {ErrorKind::UndefinedVar, "undefined variable 'x'", std::nullopt}},
        {"object variable",
         "{{ user }}",
         user,
         {ErrorKind::Syntax,
          "syntax error: cannot interpolate object 'user' directly, access a specific field "
          "with dot notation (e.g. {{user.field}})",
          std::nullopt}},
        {"object dot path",
         "{{ user.address }}",
         user,
         {ErrorKind::Syntax,
          "syntax error: cannot interpolate object directly, access a specific field with dot "
          "notation (e.g. {{user.address}})",
          std::nullopt}},
        {"object from a call",
         "{{ first(list) }}",
         R"({"list": [{"a": 1}]})",
         {ErrorKind::Syntax, "syntax error: cannot interpolate an object value directly",
          std::nullopt}},
        {"field of a string",
         "{{ user.address.street.name }}",
         user,
         {ErrorKind::Syntax,
          "syntax error: cannot access field 'name' on string 'user.address.street'",
          std::nullopt}},
        {"missing field",
         "{{ user.address.city }}",
         user,
         {ErrorKind::Syntax, "syntax error: field 'city' not found on 'user.address'",
          std::nullopt}},
        {"undefined dot path root",
         "{{ nope.x }}",
         "{}",
         {ErrorKind::UndefinedVar, "undefined variable 'nope'", std::nullopt}},
        {"type mismatch spans the @if line",
         "Intro\n@if n == 'a':\nx\n@end\n",
         user,
         {ErrorKind::TypeMismatch, "type mismatch: cannot compare number with string",
          Span{6, 13}}},
        {"type mismatch keeps a CR of the line",
         "@if n == 'a':\r\nx\r\n@end\r\n",
         user,
         {ErrorKind::TypeMismatch, "type mismatch: cannot compare number with string",
          Span{0, 14}}},
        {"type mismatch for != against null on the @elseif line",
         "@if a:\nA\n@elseif s != null:\nB\n@end\n",
         user,
         {ErrorKind::TypeMismatch, "type mismatch: cannot compare string with null", Span{9, 18}}},
        {"type mismatch for == against null",
         "@if s == null:\nB\n@end",
         user,
         {ErrorKind::TypeMismatch, "type mismatch: cannot compare string with null", Span{0, 14}}},
        {"type mismatch inside && and ||",
         "@if a || s == 1 && n:\nB\n@end",
         user,
         {ErrorKind::TypeMismatch, "type mismatch: cannot compare string with number",
          Span{0, 21}}},
        {"undefined function",
         "{{ nope() }}",
         "{}",
         {ErrorKind::UndefinedFn, "undefined function 'nope'", std::nullopt}},
        {"builtin arity",
         "{{ upper('a', 'b') }}",
         "{}",
         {ErrorKind::Arity, "arity mismatch for 'upper': expected 1 argument, got 2",
          std::nullopt}},
        {"user function arity",
         "@define f(a, b=1):\nx\n@end\n{{ f(1, 2, 3) }}",
         "{}",
         {ErrorKind::Arity, "arity mismatch for 'f': expected 1-2 arguments, got 3", std::nullopt}},
        {"undefined argument",
         "{{ upper(nope) }}",
         "{}",
         {ErrorKind::UndefinedVar, "undefined variable 'nope'", std::nullopt}},
        {"missing field in an argument",
         "{{ upper(user.name) }}",
         user,
         {ErrorKind::Syntax, "syntax error: field 'name' not found on 'user'", std::nullopt}},
        {"builtin failure",
         "{{ upper(5) }}",
         "{}",
         {ErrorKind::Builtin, "upper() requires a string argument, got number", std::nullopt}},
        {"direct recursion",
         "@define f():\n{{ f() }}\n@end\n{{ f() }}",
         "{}",
         {ErrorKind::Recursion, "recursion detected in function 'f'", std::nullopt}},
        {"indirect recursion names the first function",
         "@define f():\n{{ g() }}\n@end\n@define g():\n{{ f() }}\n@end\n{{ f() }}",
         "{}",
         {ErrorKind::Recursion, "recursion detected in function 'f'", std::nullopt}},
        {"failure inside a function body",
         "@define f():\n{{ nope }}\n@end\nA {{ f() }}",
         "{}",
         {ErrorKind::UndefinedVar, "undefined variable 'nope'", std::nullopt}},
        {"object with one loop variable",
         "@for x in obj:\n@end\n",
         R"({"obj": {"a": 1}})",
         {ErrorKind::Syntax,
          "syntax error: to iterate over an object's entries, use `@for key, value in obj:` "
          "syntax",
          std::nullopt}},
        {"string with one loop variable",
         "@for x in s:\n@end\n",
         user,
         {ErrorKind::TypeError, "type error: expected array for @for loop, got string",
          std::nullopt}},
        {"null with one loop variable",
         "@for x in z:\n@end\n",
         R"({"z": null})",
         {ErrorKind::TypeError, "type error: expected array for @for loop, got null",
          std::nullopt}},
        {"array with two loop variables",
         "@for k, v in xs:\n@end\n",
         R"({"xs": [1]})",
         {ErrorKind::Syntax, "syntax error: key-value iteration requires an object, but got array",
          std::nullopt}},
        {"undefined loop source",
         "@for x in nope:\n@end\n",
         "{}",
         {ErrorKind::UndefinedVar, "undefined variable 'nope'", std::nullopt}},
        {"nested loop over a scalar fails when it runs",
         "@for row in rows:\n@for c in row:\n{{ c }}\n@end\n@end\n",
         R"({"rows": [[1], 2]})",
         {ErrorKind::TypeError, "type error: expected array for @for loop, got number",
          std::nullopt}},
        {"failure in the third iteration",
         "@for x in xs:\n{{ x.a }}\n@end\n",
         R"({"xs": [{"a": 1}, {"a": 2}, {}]})",
         {ErrorKind::Syntax, "syntax error: field 'a' not found on 'x'", std::nullopt}},
        {"undefined include alias",
         "@include m\n",
         "{}",
         {ErrorKind::UndefinedVar, "undefined variable 'm'", std::nullopt}},
    };
    for (const ErrorCase& c : cases) {
        Template t(c.source, c.vars);
        expect_error(t.render(), c.expected, c.label);
        EXPECT_EQ(t.scope.depth(), 1u) << c.label;
    }
}

TEST(Render, ArityErrorsCarryTheSignatureOnlyForUserFunctions) {
    Template user("@define f(a, b=1):\nx\n@end\n{{ f(1, 2, 3) }}");
    Result<std::string> user_out = user.render();
    ASSERT_FALSE(user_out.ok());
    EXPECT_EQ(user_out.error().detail, "\nexpected: f(a, b = 1)");
    EXPECT_EQ(user_out.error().min, 1u);
    EXPECT_EQ(user_out.error().max, 2u);
    EXPECT_EQ(user_out.error().given, 3u);

    Template builtin("{{ upper('a', 'b') }}");
    Result<std::string> builtin_out = builtin.render();
    ASSERT_FALSE(builtin_out.ok());
    EXPECT_EQ(builtin_out.error().detail, "");
}

TEST(Render, OutputLimitIsCheckedAfterEachNode) {
    const Value full = Value::string(std::string(MAX_OUTPUT_SIZE, 'a'));
    const ExpectedError too_big{
        ErrorKind::ResourceLimit,
        "resource limit exceeded: output exceeds maximum size of 52428800 bytes", std::nullopt};
    {
        Template t("{{ big }}");
        t.scope.define_variable("big", full);
        Result<std::string> out = t.render();
        ASSERT_TRUE(out.ok());
        EXPECT_EQ(out.value().size(), MAX_OUTPUT_SIZE);
    }
    for (const char* source : {"{{ big }}x", "@if t:\n{{ big }}.\n@end\n",
                               "@for x in xs:\n{{ big }}\n@end\n", "x\n@include m\n"}) {
        Template t(source, R"({"t": true, "xs": [1]})");
        t.scope.define_variable("big", full);
        ImportedModule module;
        module.body_text = std::make_shared<const std::string>(MAX_OUTPUT_SIZE, 'b');
        t.scope.define_import_alias("m", module);
        expect_error(t.render(), too_big, source);
    }
}

TEST(Render, LoopStopsAtTheFirstIterationPassingTheOutputLimit) {
    // Two iterations pass the limit together; the third would fail differently if it ran.
    Template t("@for x in xs:\n{{ x }}\n@end\n");
    const Value half = Value::string(std::string(MAX_OUTPUT_SIZE / 2, 'a'));
    t.scope.define_variable("xs", Value::array({half, half, json_value(R"({"a": 1})")}));
    EvalContext context(t.warnings, t.name(), t.source(), t.work);
    std::string out;
    expect_error(
        render_nodes(t.nodes(), t.scope, context, out),
        {ErrorKind::ResourceLimit,
         "resource limit exceeded: output exceeds maximum size of 52428800 bytes", std::nullopt});
    EXPECT_EQ(context.total_loop_iterations, 2u);
    EXPECT_EQ(t.scope.depth(), 1u);
}

TEST(Render, IncludePastesTheBodyUnchanged) {
    Template t("A\n@include m\nB");
    ImportedModule module;
    module.body_text = std::make_shared<const std::string>("Body {{ raw }}\n");
    t.scope.define_import_alias("m", module);
    Result<std::string> out = t.render();
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.value(), "A\nBody {{ raw }}\nB");
}

TEST(Render, EmptyIncludesWarnInOrderUpToTheCap) {
    const std::string no_body =
        "warning: @include of 'm' produced empty output — module has no body text; to use the "
        "module's functions, call them directly: {{m.fn()}}";
    const std::string hidden =
        "warning: @include of 'h' produced empty output — module has body text, but its "
        "explicit @export list does not export 'prompt'; add `@export prompt` to the module, or "
        "call its functions directly: {{h.fn()}}";
    const auto prepare = [](Template& t) {
        t.scope.define_import_alias("m", ImportedModule{});
        ImportedModule hidden_module;
        hidden_module.body_hidden = true;
        t.scope.define_import_alias("h", hidden_module);
    };
    {
        Template t("@include m\n@include h\n@include m\n");
        t.warnings.push_back("earlier");
        prepare(t);
        Result<std::string> out = t.render();
        ASSERT_TRUE(out.ok());
        EXPECT_EQ(out.value(), "");
        EXPECT_EQ(t.warnings, (std::vector<std::string>{"earlier", no_body, hidden, no_body}));
    }
    {
        Template t("@include m\n@include m\n");
        t.warnings.assign(MAX_WARNINGS - 1, "held");
        prepare(t);
        ASSERT_TRUE(t.render().ok());
        ASSERT_EQ(t.warnings.size(), MAX_WARNINGS);
        EXPECT_EQ(t.warnings.back(), no_body);
    }
}

TEST(Expressions, TypeMismatchIsLocatedOnlyOnAWholeLineStart) {
    const std::string text = "ab\ncd \xC3\xA9\n";  // the second line ends in a two-byte letter
    const struct {
        std::string_view source;
        std::optional<uint64_t> line_offset;
        std::optional<Span> span;
    } cases[] = {
        {text, std::nullopt, std::nullopt},
        {text, 0, Span{0, 2}},
        {text, 3, Span{3, 5}},
        {text, 6, Span{6, 2}},
        {text, 7, std::nullopt},  // inside the two-byte letter
        {text, 9, Span{9, 0}},    // the end of the text
        {text, 10, std::nullopt},
        {"", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        std::vector<std::string> warnings;
        WorkBudget work;
        const EvalContext context(warnings, "main.tyx", c.source, work);
        const CompileError error =
            make_type_mismatch_error(context, c.line_offset, "number", "string");
        EXPECT_EQ(error.kind, ErrorKind::TypeMismatch);
        EXPECT_EQ(format_error_message(error), "type mismatch: cannot compare number with string");
        EXPECT_EQ(error.location.span, c.span) << c.line_offset.value_or(999);
    }

    // Inside a user function the defining module's source replaces the current one, also when
    // it has no text at all.
    std::vector<std::string> warnings;
    WorkBudget work;
    EvalContext context(warnings, "main.tyx", "main text", work);
    const SharedSource library{nullptr, std::make_shared<const std::string>("lib.tyx"),
                               std::make_shared<const std::string>("@if x == 1:\nyes")};
    context.function_source = &library;
    const CompileError located = make_type_mismatch_error(context, 0, "string", "number");
    EXPECT_EQ(located.location.span, (Span{0, 11}));
    ASSERT_TRUE(located.location.source != nullptr);
    EXPECT_EQ(located.location.source->name, "lib.tyx");
    const SharedSource nothing{};
    context.function_source = &nothing;
    EXPECT_EQ(make_type_mismatch_error(context, 0, "string", "number").location.span, std::nullopt);
}

TEST(Expressions, DotPathFieldLimitIsTestedBeforeTheLookup) {
    const std::vector<std::string> most(MAX_DOT_PATH_SEGMENTS, "f");
    std::vector<std::string> too_many = most;
    too_many.push_back("f");
    Scope scope;
    expect_error(resolve_field_path("nope", most, scope),
                 {ErrorKind::UndefinedVar, "undefined variable 'nope'", std::nullopt});
    expect_error(resolve_field_path("nope", too_many, scope),
                 {ErrorKind::Syntax, "syntax error: dot path exceeds maximum segment count of 32",
                  std::nullopt});

    Value value = Value::string("end");
    for (std::size_t i = 0; i < MAX_DOT_PATH_SEGMENTS; ++i)
        value = Value::object({{"f", value}});
    scope.define_variable("v", value);
    Result<Value> found = resolve_field_path("v", most, scope);
    ASSERT_TRUE(found.ok()) << format_error_message(found.error());
    EXPECT_EQ(found.value().as_string(), "end");
    EXPECT_EQ(join_path_segments("v", most, 2), "v.f.f");
}

TEST(Render, DotPathOnAnImportAlias) {
    Template t("{{ m.x }}");
    t.scope.define_import_alias("m", ImportedModule{});
    expect_error(t.render(),
                 {ErrorKind::Syntax,
                  "syntax error: 'm' is an imported module, not a variable — to call a function "
                  "use {{m.func()}}",
                  std::nullopt});

    Template alone("{{ m }}");
    alone.scope.define_import_alias("m", ImportedModule{});
    expect_error(alone.render(), {ErrorKind::UndefinedVar, "undefined variable 'm'", std::nullopt});

    Template shadowed("{{ m.x }}", R"({"m": {"x": "variable"}})");
    shadowed.scope.define_import_alias("m", ImportedModule{});
    Result<std::string> out = shadowed.render();
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.value(), "variable");
}

class QualifiedCall : public ::testing::Test {
  protected:
    QualifiedCall()
        : lib_(
              "@define greet(who, p='!'):\nHi {{ who }}{{ p }} ({{ tone }})\n@end\n"
              "@define caller_name():\n{{ only_main }}\n@end\n"
              "@define check(x):\n@if x == 1:\nyes\n@end\n@end\n"
              "@define self():\n{{ m.self() }}\n@end\n",
              R"({"tone": "lib"})", "lib.tyx") {}

    Template with(const char* source) {
        Template t(source, R"({"tone": "main", "only_main": "from caller"})");
        t.scope.define_import_alias("m", lib_.as_module());
        return t;
    }

    Template lib_;
};

TEST_F(QualifiedCall, RunsTheModulesFunctionWithItsCapturedNames) {
    Template t = with("{{ m.greet('Ann') }} / {{ m.caller_name() }} / {{ tone }}");
    Result<std::string> out = t.render();
    ASSERT_TRUE(out.ok()) << format_error_message(out.error());
    EXPECT_EQ(out.value(), "Hi Ann! (lib) / from caller / main");
    EXPECT_EQ(t.scope.depth(), 1u);
}

TEST_F(QualifiedCall, Failures) {
    const struct {
        const char* source;
        ExpectedError expected;
    } cases[] = {
        {"{{ m.nope() }}", {ErrorKind::UndefinedFn, "undefined function 'm.nope'", std::nullopt}},
        {"{{ m.upper('a') }}",
         {ErrorKind::UndefinedFn, "undefined function 'm.upper'", std::nullopt}},
        {"{{ x.greet() }}", {ErrorKind::UndefinedVar, "undefined variable 'x'", std::nullopt}},
        {"{{ m.nope(missing) }}",
         {ErrorKind::UndefinedVar, "undefined variable 'missing'", std::nullopt}},
        {"{{ m.greet() }}",
         {ErrorKind::Arity, "arity mismatch for 'm.greet': expected 1-2 arguments, got 0",
          std::nullopt}},
        {"{{ m.self() }}",
         {ErrorKind::Recursion, "recursion detected in function 'm.self'", std::nullopt}},
        {"{{ m.check('s') }}",
         {ErrorKind::TypeMismatch, "type mismatch: cannot compare string with number",
          Span{127, 11}}},
    };
    for (const auto& c : cases) {
        Template t = with(c.source);
        Result<std::string> out = t.render();
        expect_error(out, c.expected, c.source);
        EXPECT_EQ(t.scope.depth(), 1u) << c.source;
    }
}

TEST_F(QualifiedCall, ErrorsInsideTheFunctionAreLocatedInItsModule) {
    Template t = with("Intro\n{{ m.check('s') }}");
    Result<std::string> out = t.render();
    ASSERT_FALSE(out.ok());
    const ErrorLocation& location = out.error().location;
    ASSERT_TRUE(location.source != nullptr);
    EXPECT_EQ(location.source->name, "lib.tyx");
    EXPECT_EQ(lib_.source().substr(location.span->offset, location.span->length), "@if x == 1:");

    Template arity = with("{{ m.greet() }}");
    Result<std::string> arity_out = arity.render();
    ASSERT_FALSE(arity_out.ok());
    EXPECT_EQ(arity_out.error().detail, "\nexpected: m.greet(who, p = \"!\")");
}

std::string call_chain(int functions) {
    std::string source;
    for (int i = 1; i < functions; ++i) {
        source +=
            "@define f" + std::to_string(i) + "():\n{{ f" + std::to_string(i + 1) + "() }}\n@end\n";
    }
    source += "@define f" + std::to_string(functions) + "():\nend\n@end\n{{ f1() }}";
    return source;
}

TEST(FunctionCalls, CallDepthLimit) {
    Template deepest(call_chain(static_cast<int>(MAX_CALL_DEPTH)));
    Result<std::string> out = deepest.render();
    ASSERT_TRUE(out.ok()) << format_error_message(out.error());
    EXPECT_EQ(out.value(), "end");

    Template too_deep(call_chain(static_cast<int>(MAX_CALL_DEPTH) + 1));
    expect_error(too_deep.render(), {ErrorKind::Recursion,
                                     "recursion detected in function 'f129 (call depth exceeds "
                                     "128)'",
                                     std::nullopt});
    EXPECT_EQ(too_deep.scope.depth(), 1u);
}

TEST(FunctionCalls, RenderDepthLimitCountsBodiesAndArgumentLevels) {
    const ExpectedError too_deep{
        ErrorKind::ResourceLimit,
        "resource limit exceeded: evaluation nesting exceeds maximum depth of 1024", std::nullopt};
    const struct {
        const char* source;
        bool fails;
    } cases[] = {
        {"plain {{ s }}", false},
        {"@if t:\nnested\n@end\n", true},
        {"{{ upper(s) }}", false},
        {"{{ upper(lower(s)) }}", true},
        {"@define f():\nx\n@end\n{{ f() }}", true},
    };
    for (const auto& c : cases) {
        Template t(c.source, R"({"t": true, "s": "a"})");
        EvalContext context(t.warnings, t.name(), t.source(), t.work);
        // The levels a deep call chain would already hold.
        context.render_depth = MAX_RENDER_DEPTH - 1;
        std::string out;
        Status status = render_nodes(t.nodes(), t.scope, context, out);
        if (c.fails) {
            expect_error(status, too_deep, c.source);
        } else {
            EXPECT_TRUE(status.ok()) << c.source;
        }
        EXPECT_EQ(context.render_depth, MAX_RENDER_DEPTH - 1) << c.source;
        EXPECT_EQ(t.scope.depth(), 1u) << c.source;
    }
}

TEST(FunctionCalls, TotalCallsLimitCountsUserFunctionCalls) {
    const ExpectedError too_many{ErrorKind::ResourceLimit,
                                 "resource limit exceeded: total user function calls exceeded "
                                 "maximum of 1000000 in this compilation",
                                 std::nullopt};
    const char* functions =
        "@define f():\n{{ g() }}{{ g() }}\n@end\n@define g():\n{{ upper(s) }}\n@end\n";
    const struct {
        const char* call;
        uint64_t calls;     // made from a fresh count
        uint64_t headroom;  // calls left before the limit
        bool fails;
    } cases[] = {
        {"{{ upper(s) }}", 0, 0, false}, {"{{ g() }}", 1, 1, false}, {"{{ g() }}", 1, 0, true},
        {"{{ f() }}", 3, 3, false},      {"{{ f() }}", 3, 2, true},  {"{{ q.g() }}", 1, 0, true},
    };
    for (const auto& c : cases) {
        const std::string source = std::string(functions) + c.call;
        Template t(source, R"({"s": "a"})");
        t.scope.define_import_alias("q", t.as_module());
        {
            EvalContext context(t.warnings, t.name(), t.source(), t.work);
            std::string out;
            ASSERT_TRUE(render_nodes(t.nodes(), t.scope, context, out).ok()) << c.call;
            EXPECT_EQ(context.total_calls, c.calls) << c.call;
        }
        EvalContext context(t.warnings, t.name(), t.source(), t.work);
        context.total_calls = MAX_TOTAL_CALLS - c.headroom;
        std::string out;
        Status status = render_nodes(t.nodes(), t.scope, context, out);
        if (c.fails) {
            expect_error(status, too_many, c.call);
        } else {
            EXPECT_TRUE(status.ok()) << c.call;
        }
        EXPECT_TRUE(context.call_stack.empty()) << c.call;
        EXPECT_EQ(t.scope.depth(), 1u) << c.call;
    }
}

TEST(FunctionCalls, DeepCallChainOfNestedBlocksFailsInsteadOfExhaustingTheStack) {
    // 128 calls, each inside 62 nested @if blocks: every other limit is kept.
    std::string source;
    for (int i = 1; i <= 128; ++i) {
        source += "@define f" + std::to_string(i) + "():\n";
        for (int d = 0; d < 62; ++d)
            source += "@if t:\n";
        source += i < 128 ? "{{ f" + std::to_string(i + 1) + "() }}\n" : std::string("end\n");
        for (int d = 0; d < 62; ++d)
            source += "@end\n";
        source += "@end\n";
    }
    source += "{{ f1() }}";
    Template t(source, R"({"t": true})");
    expect_error(t.render(),
                 {ErrorKind::ResourceLimit,
                  "resource limit exceeded: evaluation nesting exceeds maximum depth of 1024",
                  std::nullopt});
    EXPECT_EQ(t.scope.depth(), 1u);
}

// string(string(...string(1)...)) with `levels` calls nested inside argument lists.
Expression nested_string_calls(uint64_t levels) {
    Expression inner{Expression::Number{1}};
    for (uint64_t i = 0; i < levels; ++i) {
        inner = Expression{Expression::Call{"string", {inner}}};
    }
    return Expression{Expression::Call{"string", {inner}}};
}

TEST(FunctionCalls, ArgumentDepthLimit) {
    std::vector<std::string> warnings;
    Scope scope;
    WorkBudget work;
    EvalContext context(warnings, "t", "", work);
    Result<Value> deepest =
        evaluate_expression(nested_string_calls(MAX_ARGUMENT_DEPTH), scope, context);
    ASSERT_TRUE(deepest.ok()) << format_error_message(deepest.error());
    EXPECT_EQ(deepest.value().as_string(), "1");

    expect_error(
        evaluate_expression(nested_string_calls(MAX_ARGUMENT_DEPTH + 1), scope, context),
        {ErrorKind::Recursion,
         "recursion detected in function 'argument expression depth exceeds 128'", std::nullopt});
}

TEST(FunctionCalls, SignatureText) {
    const auto param = [](const char* name, std::optional<Expression> default_value) {
        return DefineParam{name, std::move(default_value)};
    };
    const auto number = [](double value) { return Expression{Expression::Number{value}}; };
    const struct {
        std::vector<DefineParam> params;
        const char* expected;
    } cases[] = {
        {{}, "f()"},
        {{param("a", std::nullopt), param("b", number(1))}, "f(a, b = 1)"},
        {{param("b", Expression{Expression::String{"x"}})}, "f(b = \"x\")"},
        {{param("b", Expression{Expression::String{"say \"hi\""}})}, "f(b = \"say \"hi\"\")"},
        {{param("b", number(2.5))}, "f(b = 2.5)"},
        {{param("b", number(-0.0))}, "f(b = 0)"},
        {{param("b", number(1e20))}, "f(b = 9223372036854775807)"},
        {{param("b", number(-1e20))}, "f(b = -9223372036854775808)"},
        {{param("b", number(1e-7))}, "f(b = 0.0000001)"},
        {{param("b", Expression{Expression::Bool{true}})}, "f(b = true)"},
        {{param("b", Expression{Expression::Null{}})}, "f(b = null)"},
        {{param("b", Expression{Expression::Variable{"v"}})}, "f(b = \u2026)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_function_signature("f", c.params), c.expected);
    }
    EXPECT_EQ(count_required_params(cases[1].params), 1u);
}

TEST(FunctionCalls, BrokenDefaultsAreInternalErrors) {
    std::vector<std::string> warnings;
    Scope scope;
    WorkBudget work;
    EvalContext context(warnings, "t", "", work);
    FunctionDef function;
    function.params = {DefineParam{"a", Expression{Expression::Variable{"v"}}}};
    expect_error(invoke_user_function(function, "f", {}, scope, context),
                 {ErrorKind::Syntax,
                  "syntax error: internal error: non-literal expression in parameter default "
                  "position",
                  std::nullopt});
    EXPECT_EQ(scope.depth(), 1u);
    EXPECT_TRUE(context.call_stack.empty());
}

TEST(FunctionCalls, FunctionWithoutSharedOwnerStillSeesItsCapturedNames) {
    std::vector<std::string> warnings;
    Scope scope;
    scope.define_variable("x", Value::string("caller"));
    WorkBudget work;
    EvalContext context(warnings, "t", "", work);
    Template body("{{ x }}/{{ p }}");
    FunctionDef function;
    function.params = {DefineParam{"p", std::nullopt}};
    function.body =
        std::shared_ptr<const std::vector<Node>>(std::shared_ptr<void>(), &body.nodes());
    NameLogs defining;
    defining.variables.bind("x", Value::string("captured"));
    function.captured = CapturedNames::of(defining);
    Result<std::string> out =
        invoke_user_function(function, "f", {Value::number(1)}, scope, context);
    ASSERT_TRUE(out.ok()) << format_error_message(out.error());
    EXPECT_EQ(out.value(), "captured/1");
    EXPECT_EQ(scope.depth(), 1u);
}

Value numbers(std::size_t count) {
    ValueArray items(count, Value::number(0));
    return Value::array(std::move(items));
}

Value object_of(std::size_t count) {
    ValueObject entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string key = std::to_string(i);
        key.insert(0, 7 - key.size(), '0');
        entries.emplace_back(std::move(key), Value::null());
    }
    return Value::object(std::move(entries));
}

TEST(Loops, PerLoopLimitIsCheckedBeforeTheFirstIteration) {
    const struct {
        const char* source;
        Value items;
        std::optional<ExpectedError> expected;
    } cases[] = {
        {"@for x in items:\n@end\n", numbers(MAX_LOOP_ITERATIONS), std::nullopt},
        {"@for x in items:\n{{ missing }}\n@end\n", numbers(MAX_LOOP_ITERATIONS + 1),
         ExpectedError{ErrorKind::ResourceLimit,
                       "resource limit exceeded: array has 100001 elements, exceeding maximum "
                       "loop iteration limit of 100000",
                       std::nullopt}},
        {"@for k, v in items:\n@end\n", object_of(MAX_LOOP_ITERATIONS), std::nullopt},
        {"@for k, v in items:\n{{ missing }}\n@end\n", object_of(MAX_LOOP_ITERATIONS + 1),
         ExpectedError{ErrorKind::ResourceLimit,
                       "resource limit exceeded: object has 100001 entries, exceeding maximum "
                       "loop iteration limit of 100000",
                       std::nullopt}},
    };
    for (const auto& c : cases) {
        Template t(c.source);
        t.scope.define_variable("items", c.items);
        Result<std::string> out = t.render();
        if (c.expected) {
            expect_error(out, *c.expected, c.source);
        } else {
            EXPECT_TRUE(out.ok()) << c.source;
        }
    }
}

TEST(Loops, TotalLimitCountsEveryLoopOfTheEvaluation) {
    std::string ten_loops;
    for (int i = 0; i < 10; ++i)
        ten_loops += "@for x in items:\n@end\n";
    {
        Template t(ten_loops);
        t.scope.define_variable("items", numbers(MAX_LOOP_ITERATIONS));
        EXPECT_TRUE(t.render().ok());
    }
    {
        Template t(ten_loops + "@for x in one:\n@end\n", R"({"one": [1]})");
        t.scope.define_variable("items", numbers(MAX_LOOP_ITERATIONS));
        expect_error(t.render(),
                     {ErrorKind::ResourceLimit,
                      "resource limit exceeded: total loop iterations exceeded maximum of "
                      "1000000 across all loops in this compilation",
                      std::nullopt});
        EXPECT_EQ(t.scope.depth(), 1u);
    }
}

TEST(Loops, IterationsAreCountedAcrossNestingAndFunctions) {
    const struct {
        const char* source;
        uint64_t iterations;
    } cases[] = {
        {"@for x in empty:\n{{ x }}\n@end\n", 0},
        {"@for x in two:\n@for y in three:\n@end\n@end\n", 8},
        {"@define f():\n@for y in three:\n@end\n@end\n@for x in two:\n{{ f() }}\n@end\n", 8},
        {"@for k, v in obj:\n@end\n", 2},
    };
    for (const auto& c : cases) {
        Template t(c.source, R"({"empty": [], "two": [1, 2], "three": [1, 2, 3],
                                 "obj": {"a": 1, "b": 2}})");
        EvalContext context(t.warnings, t.name(), t.source(), t.work);
        std::string out;
        ASSERT_TRUE(render_nodes(t.nodes(), t.scope, context, out).ok()) << c.source;
        EXPECT_EQ(context.total_loop_iterations, c.iterations) << c.source;
    }
}

TEST(Messages, BlocksBecomeMessagesInDocumentOrder) {
    const struct {
        const char* label;
        const char* source;
        std::vector<Message> expected;
    } cases[] = {
        {"two blocks between blank lines",
         "\n@message system:\nBe brief.\n@end\n\n  \n@message user:\n  Hi {{ name }}\n\n@end\n\n",
         {{"system", "Be brief."}, {"user", "Hi Ann"}}},
        {"blank body adds nothing",
         "@message user:\n  \n@end\n@message user:\nx\n@end\n",
         {{"user", "x"}}},
        {"loop repeats a block",
         "@for r in roles:\n@message {{ r }}:\nturn {{ r }}\n@end\n@end\n",
         {{"a", "turn a"}, {"b", "turn b"}, {"c", "turn c"}}},
        {"role keeps its spaces", "@message {{ padded }}:\nx\n@end\n", {{" user ", "x"}}},
        {"conditions choose blocks",
         "@if formal:\n@message system:\nFormal.\n@end\n@else:\n@message system:\nCasual.\n@end\n"
         "@end\n",
         {{"system", "Casual."}}},
        {"block walked at message level",
         "@block b:\n@message user:\nin block\n@end\n@end\n",
         {{"user", "in block"}}},
        {"definitions and escaped braces outside are skipped",
         "\\{{\n@define f():\nhello\n@end\n@message user:\n{{ f() }} \\{{\n@end\n",
         {{"user", "hello {{"}}},
        {"no blocks", "\n\n", {}},
    };
    for (const auto& c : cases) {
        Template t(c.source, R"({"name": "Ann", "roles": ["a", "b", "c"], "padded": " user ",
                                 "formal": false})");
        Result<std::vector<Message>> messages = t.messages();
        ASSERT_TRUE(messages.ok()) << c.label << ": " << format_error_message(messages.error());
        EXPECT_EQ(messages.value(), c.expected) << c.label;
        EXPECT_EQ(t.scope.depth(), 1u) << c.label;
    }
}

TEST(Messages, Failures) {
    const char* vars = R"({"n": 1, "spaces": "  ", "one": [1]})";
    const ErrorCase cases[] = {
        {"word before the first block",
         "\n  hello  \n@message user:\nx\n@end\n",
         vars,
         {ErrorKind::MixedContent,
          "mixed content: non-message content found outside @message blocks", Span{3, 5}}},
        {"text after a block",
         "@message user:\nx\n@end\ntail",
         vars,
         {ErrorKind::MixedContent,
          "mixed content: non-message content found outside @message blocks", Span{22, 4}}},
        {"interpolation outside a block",
         "@message user:\nx\n@end\n{{ nope }}\n",
         vars,
         {ErrorKind::MixedContent,
          "mixed content: non-message content found outside @message blocks", Span{22, 4}}},
        {"text inside a loop at message level",
         "@for x in one:\nstray\n@end\n",
         vars,
         {ErrorKind::MixedContent,
          "mixed content: non-message content found outside @message blocks", Span{15, 5}}},
        {"number role",
         "@message {{ n }}:\nx\n@end\n",
         vars,
         {ErrorKind::Builtin, "@message role must evaluate to a string, but got number",
          std::nullopt}},
        {"blank role",
         "@message {{ spaces }}:\nx\n@end\n",
         vars,
         {ErrorKind::Builtin, "@message role must evaluate to a non-empty string", std::nullopt}},
        {"undefined role",
         "@message {{ nope }}:\nx\n@end\n",
         vars,
         {ErrorKind::UndefinedVar, "undefined variable 'nope'", std::nullopt}},
        {"failure in a body",
         "@message user:\n{{ nope }}\n@end\n",
         vars,
         {ErrorKind::UndefinedVar, "undefined variable 'nope'", std::nullopt}},
        {"type mismatch at message level",
         "@if n == 'a':\n@end\n",
         vars,
         {ErrorKind::TypeMismatch, "type mismatch: cannot compare number with string",
          Span{0, 13}}},
    };
    for (const ErrorCase& c : cases) {
        Template t(c.source, c.vars);
        expect_error(t.messages(), c.expected, c.label);
        EXPECT_EQ(t.scope.depth(), 1u) << c.label;
    }
}

TEST(Messages, IncludeOutsideBlocksWarnsAndInsidePastes) {
    Template t("@include m\n@message user:\n@include m\n@end\n@include nope\n");
    ImportedModule module;
    module.body_text = std::make_shared<const std::string>("Body\n");
    t.scope.define_import_alias("m", module);
    Result<std::vector<Message>> messages = t.messages();
    ASSERT_TRUE(messages.ok()) << format_error_message(messages.error());
    EXPECT_EQ(messages.value(), (std::vector<Message>{{"user", "Body"}}));
    EXPECT_EQ(t.warnings, (std::vector<std::string>{
                              "warning: @include 'm' inside messages mode is ignored",
                              "warning: @include 'nope' inside messages mode is ignored"}));

    Template capped("@include m\n@include m\n");
    capped.warnings.assign(MAX_WARNINGS - 1, "held");
    ASSERT_TRUE(capped.messages().ok());
    EXPECT_EQ(capped.warnings.size(), MAX_WARNINGS);
}

TEST(Messages, MessageCountLimit) {
    const char* source = "@for x in items:\n@message user:\n{{ body }}\n@end\n@end\n";
    const struct {
        std::size_t count;
        const char* body;
        bool fails;
    } cases[] = {
        {MAX_MESSAGES, "x", false},
        {MAX_MESSAGES + 1, "x", true},
        {MAX_MESSAGES + 1, " ", false},
    };
    for (const auto& c : cases) {
        Template t(source);
        t.scope.define_variable("items", numbers(c.count));
        t.scope.define_variable("body", Value::string(c.body));
        Result<std::vector<Message>> messages = t.messages();
        if (c.fails) {
            expect_error(messages, {ErrorKind::ResourceLimit,
                                    "resource limit exceeded: message count exceeded maximum of "
                                    "10000",
                                    std::nullopt});
        } else {
            ASSERT_TRUE(messages.ok());
            EXPECT_EQ(messages.value().size(), c.body[0] == ' ' ? 0 : c.count);
        }
    }
}

TEST(Messages, TotalContentLimit) {
    // A body's own text ends with the line break before @end, so the largest content one body
    // can render within the output limit is one byte short of it.
    const Value big = Value::string(std::string(MAX_TOTAL_MESSAGE_CONTENT - 1, 'a'));
    const char* blocks = "@message user:\n{{ big }}\n@end\n@message user:\nx\n@end\n";
    {
        Template t(blocks);
        t.scope.define_variable("big", big);
        Result<std::vector<Message>> messages = t.messages();
        ASSERT_TRUE(messages.ok()) << format_error_message(messages.error());
        ASSERT_EQ(messages.value().size(), 2u);
        EXPECT_EQ(messages.value()[0].content.size() + messages.value()[1].content.size(),
                  MAX_TOTAL_MESSAGE_CONTENT);
    }
    {
        Template t(std::string(blocks) + "@message {{ role }}:\ny\n@end\n",
                   R"({"role": "assistant"})");
        t.scope.define_variable("big", big);
        expect_error(t.messages(),
                     {ErrorKind::ResourceLimit,
                      "resource limit exceeded: total message content exceeds maximum "
                      "cumulative size of 52428800 bytes",
                      std::nullopt});
    }
}

}  // namespace
}  // namespace tyx

namespace tyx {
namespace {

// Every text an evaluation renders is charged to its budget, whether it reaches the output or
// only serves as an argument, a condition or a loop's iterable. A budget of exactly a template's
// work renders it, with or without a map; a byte less stops it before the text that would pass.
TEST(Render, WorkOfTheTextsAnEvaluationBuilds) {
    constexpr uint64_t E = ELEMENT_WORK;
    // Every node visited and condition tested takes N more, every builtin called C.
    constexpr uint64_t N = NODE_WORK;
    constexpr uint64_t C = CALL_WORK;
    const struct {
        const char* source;
        uint64_t work;
    } cases[] = {
        {"ab{{ s }}", 2 * N + 2 + 5},
        {"\\{{ n }}", 2 * N + 2 + 5},
        // The function's value is only compared, yet rendered once per call.
        {"@define d(x):\n{{ x }}{{ x }}\n@end\n@if d(d(s)) == \"\":\nno\n@end\n",
         2 * N + N + 2 * 3 * N + (5 + 5 + 1) + (10 + 10 + 1)},
        // A value of the same length is read to be compared.
        {"@if s == t:\n@end\n", 2 * N + 5},
        {"@if s == \"hello!\":\n@end\n", 2 * N},
        {"@if s == \"hello\":\n@end\n", 2 * N + 5},
        // Each condition of a chain is tested until one holds; the last is never reached.
        {"@if s == \"hello!\":\n@elseif s:\n@elseif t:\n@end\n", 3 * N},
        {"{{ trim(s) }}", N + C + 5 + 5},
        {"@for c in split(s, \"l\"):\n@end\n", N + C + 5 + 3 * E + 3},
        {"{{ n }}", N + E},
        {"{{ xs }}", N + E + (E + 1) + 2 + (E + 2)},
        {"x\n@include m\n", 2 * N + 2 + 3},
    };
    for (const auto& c : cases) {
        for (const bool mapped : {false, true}) {
            const std::string label =
                std::string(c.source) + (mapped ? " (with a map)" : " (without a map)");
            Template t(c.source, R"({"s": "hello", "t": "hello", "n": 1, "xs": [1, "ab"]})");
            t.scope.define_import_alias("m",
                                        t.as_module(std::make_shared<const std::string>("abc")));
            MapBuilder builder(t.name(), t.name(), t.shared_source().text);
            const auto render = [&](uint64_t budget) {
                EvalContext context(t.warnings, t.name(), t.source(), t.work);
                context.work = WorkBudget(budget);
                if (mapped) context.map_builder = &builder;
                std::string out;
                Status status = render_nodes(t.nodes(), t.scope, context, out);
                if (status.ok()) {
                    EXPECT_EQ(context.work.used(), c.work) << label;
                }
                return status;
            };
            EXPECT_TRUE(render(c.work).ok()) << label;
            if (c.work == 0) continue;
            expect_error(render(c.work - 1),
                         {ErrorKind::ResourceLimit,
                          "resource limit exceeded: evaluation work exceeds maximum of " +
                              std::to_string(c.work - 1) + " bytes in this compilation",
                          std::nullopt},
                         label);
        }
    }
}

// Messages mode visits its nodes at the same cost: the block, and the text of its body.
TEST(Render, WorkOfTheNodesOfMessages) {
    constexpr uint64_t work = 2 * NODE_WORK + 3;
    Template t("@message user:\nhi\n@end\n");
    t.work = WorkBudget(work);
    ASSERT_TRUE(t.messages().ok());
    EXPECT_EQ(t.work.used(), work);
    t.work = WorkBudget(work - 1);
    expect_error(t.messages(), {ErrorKind::ResourceLimit,
                                "resource limit exceeded: evaluation work exceeds maximum of " +
                                    std::to_string(work - 1) + " bytes in this compilation",
                                std::nullopt});
}

}  // namespace
}  // namespace tyx
