#include "core/scope.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tyx {
namespace {

std::shared_ptr<FunctionDef> make_function(std::vector<DefineParam> params = {}) {
    auto function = std::make_shared<FunctionDef>();
    function->params = std::move(params);
    function->body = std::make_shared<const std::vector<Node>>();
    return function;
}

std::string text_of(const Value* value) {
    return value == nullptr ? "<none>" : format_value(*value);
}

TEST(ScopeTest, InnerDefinitionsHideOuterOnesUntilPopped) {
    Scope scope;
    EXPECT_EQ(scope.depth(), 1u);
    scope.define_variable("x", Value::string("global"));
    scope.define_variable("g", Value::number(1));
    scope.push_frame();
    EXPECT_EQ(text_of(scope.lookup_variable("x")), "global");
    scope.define_variable("x", Value::string("inner"));
    scope.push_frame();
    EXPECT_EQ(text_of(scope.lookup_variable("x")), "inner");
    EXPECT_EQ(text_of(scope.lookup_variable("g")), "1");
    EXPECT_EQ(scope.depth(), 3u);

    ASSERT_TRUE(scope.pop_frame().ok());
    ASSERT_TRUE(scope.pop_frame().ok());
    EXPECT_EQ(text_of(scope.lookup_variable("x")), "global");
    EXPECT_EQ(scope.depth(), 1u);
}

TEST(ScopeTest, DefiningANameTwiceInOneFrameKeepsTheSecond) {
    Scope scope;
    scope.define_variable("x", Value::number(1));
    scope.define_variable("x", Value::number(2));
    EXPECT_EQ(text_of(scope.lookup_variable("x")), "2");
    EXPECT_EQ(scope.frames().front().variables.size(), 1u);

    auto first = make_function();
    std::weak_ptr<FunctionDef> first_alive = first;
    scope.define_function("f", std::move(first));
    auto second = make_function({{"a", std::nullopt}});
    scope.define_function("f", second);
    EXPECT_EQ(scope.lookup_function("f"), second.get());
    EXPECT_TRUE(first_alive.expired());  // the replaced reference is released

    ImportedModule hidden;
    hidden.body_hidden = true;
    scope.define_import_alias("m", ImportedModule{});
    scope.define_import_alias("m", hidden);
    ASSERT_NE(scope.lookup_import_alias("m"), nullptr);
    EXPECT_TRUE(scope.lookup_import_alias("m")->body_hidden);
}

TEST(ScopeTest, TheThreeTablesAreIndependent) {
    Scope scope;
    auto function = make_function();
    ImportedModule module;
    module.body_text = std::make_shared<const std::string>("body");
    scope.define_variable("n", Value::string("variable"));
    scope.define_function("n", function);
    scope.define_import_alias("n", module);
    EXPECT_EQ(text_of(scope.lookup_variable("n")), "variable");
    EXPECT_EQ(scope.lookup_function("n"), function.get());
    ASSERT_NE(scope.lookup_import_alias("n"), nullptr);
    EXPECT_EQ(*scope.lookup_import_alias("n")->body_text, "body");

    EXPECT_EQ(scope.lookup_variable("m"), nullptr);
    EXPECT_EQ(scope.lookup_function("m"), nullptr);
    EXPECT_EQ(scope.lookup_import_alias("m"), nullptr);
    scope.define_variable("only_variable", Value::null());
    EXPECT_EQ(scope.lookup_function("only_variable"), nullptr);
    EXPECT_EQ(scope.lookup_import_alias("only_variable"), nullptr);
}

TEST(ScopeTest, NamesMatchByteForByte) {
    Scope scope;
    scope.define_variable("x", Value::number(1));
    scope.define_variable("\xc3\xa9", Value::number(2));
    EXPECT_EQ(scope.lookup_variable("X"), nullptr);
    EXPECT_EQ(scope.lookup_variable("x "), nullptr);
    EXPECT_EQ(scope.lookup_variable(""), nullptr);
    EXPECT_EQ(scope.lookup_variable("e\xcc\x81"), nullptr);  // no normalisation
    EXPECT_EQ(text_of(scope.lookup_variable("\xc3\xa9")), "2");
}

TEST(ScopeTest, PoppingTheGlobalFrameFails) {
    Scope scope;
    scope.define_variable("x", Value::number(1));
    Status popped = scope.pop_frame();
    ASSERT_FALSE(popped.ok());
    const CompileError& error = popped.error();
    EXPECT_EQ(error.kind, ErrorKind::Syntax);
    EXPECT_EQ(error.text,
              "internal error: cannot pop the global scope frame \u2014 this is a compiler bug, "
              "please report it");
    EXPECT_EQ(format_error_message(error),
              "syntax error: internal error: cannot pop the global scope frame \u2014 this is a "
              "compiler bug, please report it");
    EXPECT_FALSE(error.location.span.has_value());
    EXPECT_EQ(error.location.source, nullptr);

    // The scope is unchanged and still usable.
    EXPECT_EQ(scope.depth(), 1u);
    EXPECT_EQ(text_of(scope.lookup_variable("x")), "1");
    scope.define_variable("y", Value::number(2));
    EXPECT_EQ(text_of(scope.lookup_variable("y")), "2");
    scope.push_frame();
    EXPECT_TRUE(scope.pop_frame().ok());
    EXPECT_FALSE(scope.pop_frame().ok());
}

TEST(ScopeTest, FunctionFramesSeeCapturedNamesBeneathTheirOwn) {
    auto helper = make_function();
    ImportedModule module;
    Scope defining;
    defining.define_variable("a", Value::string("captured a"));
    defining.define_variable("c", Value::string("captured c"));
    defining.define_function("helper", helper);
    defining.define_import_alias("mod", module);
    std::shared_ptr<const FunctionDef> function =
        defining.make_function(*make_function({{"a", std::nullopt}}));

    Scope scope;
    scope.define_variable("c", Value::string("caller c"));
    scope.define_variable("d", Value::string("caller d"));
    scope.push_function_frame(*function);
    EXPECT_EQ(text_of(scope.lookup_variable("a")), "captured a");
    scope.define_variable("a", Value::string("argument"));  // a parameter hides a captured name
    EXPECT_EQ(text_of(scope.lookup_variable("a")), "argument");
    EXPECT_EQ(text_of(scope.lookup_variable("c")), "captured c");
    EXPECT_EQ(text_of(scope.lookup_variable("d")), "caller d");  // from the caller's frames
    EXPECT_EQ(scope.lookup_function("helper"), helper.get());
    EXPECT_NE(scope.lookup_import_alias("mod"), nullptr);

    // A loop frame inside the body hides both.
    scope.push_frame();
    scope.define_variable("c", Value::string("loop c"));
    EXPECT_EQ(text_of(scope.lookup_variable("c")), "loop c");
    ASSERT_TRUE(scope.pop_frame().ok());

    ASSERT_TRUE(scope.pop_frame().ok());
    EXPECT_EQ(text_of(scope.lookup_variable("c")), "caller c");
    EXPECT_EQ(scope.lookup_variable("a"), nullptr);
    EXPECT_EQ(scope.lookup_function("helper"), nullptr);
    // The function itself is never changed by a call.
    EXPECT_EQ(text_of(function->captured.variable("a")), "captured a");
}

// A call's parameters and a loop's variables are bound by view: names of any length are found,
// hide the captured and outer names, and take a parameter's prepared default where the
// arguments stop.
TEST(ScopeTest, NamesBoundByViewBehaveAsDefinedOnes) {
    Scope defining;
    defining.define_variable("short", Value::string("captured short"));
    defining.define_variable("a_long_parameter", Value::string("captured long"));
    FunctionDef prepared = *make_function(
        {{"short", std::nullopt}, {"a_long_parameter", std::nullopt}, {"fallback", std::nullopt}});
    prepared.default_values = {Value::null(), Value::null(), Value::string("default")};
    std::shared_ptr<const FunctionDef> function = defining.make_function(std::move(prepared));

    Scope scope;
    scope.define_variable("outer_variable_name", Value::string("outer"));
    std::vector<Value> arguments = {Value::string("argument short"),
                                    Value::string("argument long")};
    scope.push_call_frame(*function, arguments);
    EXPECT_EQ(text_of(scope.lookup_variable("short")), "argument short");
    EXPECT_EQ(text_of(scope.lookup_variable("a_long_parameter")), "argument long");
    EXPECT_EQ(text_of(scope.lookup_variable("fallback")), "default");
    EXPECT_EQ(text_of(scope.lookup_variable("outer_variable_name")), "outer");

    const Value element = Value::string("element");
    scope.push_frame();
    scope.bind_variable("a_long_loop_key", Value::string("key"));
    scope.bind_variable_ref("short", element);
    EXPECT_EQ(scope.lookup_variable("short"), &element);
    EXPECT_EQ(text_of(scope.lookup_variable("a_long_loop_key")), "key");
    scope.bind_variable_ref("a_long_loop_key", element);  // rebinding replaces
    EXPECT_EQ(scope.lookup_variable("a_long_loop_key"), &element);

    ASSERT_TRUE(scope.pop_frame().ok());
    EXPECT_EQ(text_of(scope.lookup_variable("short")), "argument short");
    EXPECT_EQ(scope.lookup_variable("a_long_loop_key"), nullptr);
    ASSERT_TRUE(scope.pop_frame().ok());
    EXPECT_EQ(scope.lookup_variable("short"), nullptr);
    EXPECT_EQ(scope.lookup_variable("a_long_parameter"), nullptr);
}

// Past a few parameters a call's frame finds its names through an index; the frame pushed next
// at the same depth starts without it.
TEST(ScopeTest, CallFramesOfManyParametersFindEachAndForgetThemWhenPopped) {
    for (size_t count : {size_t{8}, size_t{9}, size_t{40}, size_t{1000}}) {
        // The parameters view their names, as a tree's view its source.
        std::vector<std::string> names;
        names.reserve(count);
        std::vector<DefineParam> params;
        for (size_t i = 0; i < count; ++i) {
            names.push_back((i % 2 == 0 ? "p" : "long_parameter_") + std::to_string(i));
            params.push_back({names.back(), std::nullopt});
        }
        FunctionDef prepared = *make_function(params);
        std::vector<Value> arguments;
        for (size_t i = 0; i < count; ++i) {
            prepared.default_values.push_back(Value::string("default " + std::to_string(i)));
            if (i < count / 2) arguments.push_back(Value::string("argument " + std::to_string(i)));
        }
        Scope scope;
        scope.define_variable("outer", Value::string("outer"));
        scope.push_call_frame(prepared, arguments);
        for (size_t i = 0; i < count; ++i) {
            EXPECT_EQ(text_of(scope.lookup_variable(params[i].name)),
                      (i < count / 2 ? "argument " : "default ") + std::to_string(i))
                << count << " " << params[i].name;
        }
        EXPECT_EQ(text_of(scope.lookup_variable("outer")), "outer");
        EXPECT_EQ(scope.lookup_variable("p1"), nullptr);
        scope.bind_variable(params[0].name, Value::string("rebound"));
        EXPECT_EQ(text_of(scope.lookup_variable(params[0].name)), "rebound");
        ASSERT_TRUE(scope.pop_frame().ok());

        FunctionDef small = *make_function({{"p2", std::nullopt}});
        std::vector<Value> one = {Value::string("small")};
        scope.push_call_frame(small, one);
        EXPECT_EQ(text_of(scope.lookup_variable("p2")), "small") << count;
        EXPECT_EQ(scope.lookup_variable("p0"), nullptr) << count;
        EXPECT_EQ(scope.lookup_variable("long_parameter_1"), nullptr) << count;
    }
}

// Each function sees the global frame as it stood when the function was made: names bound later
// are not among them, and a name rebound later keeps the entry it had then. The scope itself
// and a call's frame see the latest entries for everything the function did not capture.
TEST(ScopeTest, FunctionsCaptureTheGlobalFrameAsItStoodWhenMade) {
    Scope scope;
    ImportedModule module;
    module.body_text = std::make_shared<const std::string>("m");
    std::vector<std::shared_ptr<const FunctionDef>> made;
    std::vector<std::shared_ptr<const FunctionDef>> helpers;
    // Rebinding `v` and `h` between captures, including more than once, reaches every earlier
    // binding that some capture still sees.
    for (int i = 0; i < 20; ++i) {
        scope.define_variable("v", Value::number(i));
        if (i % 2 == 0) scope.define_variable("v", Value::number(i + 100));
        helpers.push_back(make_function());
        scope.define_function("h", helpers.back());
        if (i == 10) scope.define_import_alias("m", module);
        made.push_back(scope.make_function(FunctionDef{}));
        scope.define_function("f" + std::to_string(i), made.back());
    }
    scope.define_variable("late", Value::string("late"));

    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        const CapturedNames& names = made[static_cast<size_t>(i)]->captured;
        EXPECT_EQ(text_of(names.variable("v")), std::to_string(i % 2 == 0 ? i + 100 : i));
        EXPECT_EQ(names.function("h"), helpers[static_cast<size_t>(i)].get());
        EXPECT_EQ(names.import_alias("m") != nullptr, i >= 10);
        EXPECT_EQ(names.variable("late"), nullptr);
        // A function does not see itself or anything made after it.
        EXPECT_EQ(names.function("f" + std::to_string(i)), nullptr);
        EXPECT_EQ(names.function("f" + std::to_string(i + 1)), nullptr);
        if (i > 0) {
            EXPECT_EQ(names.function("f" + std::to_string(i - 1)),
                      made[static_cast<size_t>(i - 1)].get());
        }
    }
    EXPECT_EQ(text_of(scope.lookup_variable("v")), "19");
    EXPECT_EQ(scope.lookup_function("h"), helpers.back().get());

    // In a call, the captured entries hide the caller's; the rest come from the caller.
    scope.push_function_frame(*made.front());
    EXPECT_EQ(text_of(scope.lookup_variable("v")), "100");
    EXPECT_EQ(text_of(scope.lookup_variable("late")), "late");
    EXPECT_EQ(scope.lookup_function("h"), helpers.front().get());
    EXPECT_EQ(scope.lookup_function("f19"), made.back().get());
    EXPECT_NE(scope.lookup_import_alias("m"), nullptr);
    ASSERT_TRUE(scope.pop_frame().ok());
}

TEST(ScopeTest, EntriesNoCaptureSawAreReleasedWhenReplaced) {
    Scope scope;
    auto captured = make_function();
    std::weak_ptr<FunctionDef> captured_alive = captured;
    scope.define_function("h", std::move(captured));
    std::shared_ptr<const FunctionDef> made = scope.make_function(FunctionDef{});

    auto unseen = make_function();
    std::weak_ptr<FunctionDef> unseen_alive = unseen;
    scope.define_function("h", std::move(unseen));
    scope.define_function("h", make_function());
    EXPECT_TRUE(unseen_alive.expired());
    EXPECT_FALSE(captured_alive.expired());  // the function made still sees it
    made.reset();
    EXPECT_FALSE(captured_alive.expired());  // until the scope is gone
}

// The functions a scope makes share one owner and refer to each other without owning each other,
// so they are all freed once nothing outside holds them, whichever is released last.
TEST(ScopeTest, FunctionsAreFreedWithTheirScope) {
    std::weak_ptr<const FunctionDef> first;
    std::weak_ptr<const FunctionDef> last;
    {
        std::shared_ptr<const FunctionDef> kept;
        {
            Scope scope;
            for (int i = 0; i < 3; ++i) {
                std::shared_ptr<const FunctionDef> made = scope.make_function(FunctionDef{});
                scope.define_function("f" + std::to_string(i), made);
                if (i == 0) first = made;
                last = made;
            }
            // Even a module of the scope's own functions, bound as an alias, holds none of them.
            ImportedModule own;
            FunctionMap functions;
            functions.emplace("f0", first.lock());
            own.exported_functions =
                std::make_shared<const ExportedFunctions>(std::move(functions));
            scope.define_import_alias("own", own);
            kept = last.lock();
        }
        EXPECT_FALSE(first.expired());  // the last function still sees the first
        EXPECT_EQ(kept->captured.function("f0"), first.lock().get());
    }
    EXPECT_TRUE(first.expired());
    EXPECT_TRUE(last.expired());
}

TEST(ScopeTest, FunctionDefArgumentCounts) {
    Expression literal;
    literal.value = Expression::Number{1};
    struct Case {
        std::vector<DefineParam> params;
        size_t min;
        size_t max;
    };
    const Case cases[] = {
        {{}, 0, 0},
        {{{"a", std::nullopt}}, 1, 1},
        {{{"a", std::nullopt}, {"b", literal}}, 1, 2},
        {{{"a", literal}, {"b", literal}}, 0, 2},
    };
    for (const Case& c : cases) {
        auto function = make_function(c.params);
        EXPECT_EQ(function->min_arguments(), c.min);
        EXPECT_EQ(function->max_arguments(), c.max);
    }
}

TEST(ScopeTest, ImportedModuleFindsOnlyExportedFunctions) {
    auto exported = make_function();
    ImportedModule module;
    FunctionMap functions;
    functions.emplace("shown", exported);
    module.exported_functions = std::make_shared<const ExportedFunctions>(std::move(functions));
    EXPECT_EQ(module.find_exported_function("shown"), exported.get());
    EXPECT_EQ(module.find_exported_function("hidden"), nullptr);
    EXPECT_EQ(module.find_exported_function("Shown"), nullptr);
    EXPECT_EQ(module.body_text, nullptr);
    EXPECT_FALSE(module.body_hidden);
    EXPECT_EQ(module.body_mappings, nullptr);
}

TEST(ScopeTest, FunctionBodiesAreSharedNotCopied) {
    auto nodes = std::make_shared<std::vector<Node>>();
    nodes->push_back(Node{Node::Text{"hello", 0}});
    auto function = std::make_shared<FunctionDef>();
    function->body = nodes;
    function->source = SharedSource{std::make_shared<const std::string>("./a.tyx"),
                                    std::make_shared<const std::string>("a.tyx"),
                                    std::make_shared<const std::string>("hello")};
    Scope scope;
    scope.define_function("f", function);
    scope.push_frame();
    const FunctionDef* found = scope.lookup_function("f");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->body.get(), nodes.get());
    ASSERT_TRUE(found->source.has_value());
    EXPECT_EQ(*found->source->display_name, "a.tyx");
}

}  // namespace
}  // namespace tyx
