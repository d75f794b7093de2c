// The binding of @import, @export and frontmatter imports, over modules placed in the resolver's
// cache beforehand: a cached module is shared without being read or compiled again.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/lexer.h"
#include "core/resolver/frontmatter_scope.h"
#include "core/resolver/lib.h"
#include "core/resolver/module.h"
#include "core/resolver/module_directives.h"

namespace tyx {
namespace {

struct Parsed {
    std::shared_ptr<const ParsedTemplate> tree;
    std::shared_ptr<const std::vector<Node>> body;
};

Parsed parse_text(const std::string& text) {
    // The tree keeps its own copy of the text, which the caller's may not outlive.
    auto shared = std::make_shared<const std::string>(text);
    Result<std::vector<Token>> tokens = tokenize(*shared, "t");
    EXPECT_TRUE(tokens.ok());
    Result<ParsedTemplate> parsed = parse_template(*tokens, "t", shared);
    EXPECT_TRUE(parsed.ok()) << (parsed.ok() ? "" : parsed.error().text);
    auto tree = std::make_shared<const ParsedTemplate>(std::move(parsed).value());
    return {tree, std::shared_ptr<const std::vector<Node>>(tree, &tree->body)};
}

// What compiling `text` as an imported module would store, with `body` as its rendered body.
CompiledModulePtr module_of(const std::string& key, const std::string& text,
                            std::optional<std::string> body) {
    Parsed parsed = parse_text(text);
    Resolver scratch = new_virtual_resolver({});
    Scope scope;
    std::vector<std::string> warnings;
    const ModuleSource source{key, key, text, "", nullptr};
    Result<DirectiveNames> names =
        process_module_directives(scratch, parsed.tree, scope, source, warnings);
    EXPECT_TRUE(names.ok()) << (names.ok() ? "" : names.error().text);
    CompiledModule module;
    module.functions = names->functions;
    module.exports = names->exports;
    module.has_export_list = names->has_export_list;
    module.exported = names->reexported;
    module.only_reexports = names->reexported != nullptr;
    collect_exported_functions(module);
    if (body) module.body_text = std::make_shared<const std::string>(*body);
    module.nodes = parsed.body;
    module.source = shared_source_of(source, *parsed.tree);
    return std::make_shared<const CompiledModule>(std::move(module));
}

void seed(Resolver& resolver) {
    resolver.store_module("lib.tyx", module_of("lib.tyx",
                                               "@define greet():\nHi\n@end\n"
                                               "@define shout():\nHEY\n@end\n",
                                               "LIB"));
    resolver.store_module("other.tyx",
                          module_of("other.tyx", "@define greet():\nOther\n@end\n", "OTHER"));
    resolver.store_module("hidden.tyx", module_of("hidden.tyx",
                                                  "@export greet\n"
                                                  "@define greet():\nHidden\n@end\n"
                                                  "@define secret():\nS\n@end\n",
                                                  "HIDDEN"));
    resolver.store_module("blank.tyx",
                          module_of("blank.tyx", "@define other():\nO\n@end\n", std::nullopt));
}

struct Compiled {
    Result<CompileOutput> output;
    std::vector<std::string> warnings;
};

Compiled compile_main(const std::string& text, CompileOptions options = {}) {
    Resolver resolver = new_virtual_resolver({{"main.tyx", text}});
    seed(resolver);
    std::vector<std::string> warnings;
    Result<CompileOutput> output =
        compile_entry_key(resolver, "main.tyx", nullptr, options, warnings);
    EXPECT_TRUE(resolver.resolving_stack().empty());
    // Nothing beyond the seeded modules was compiled or cached.
    EXPECT_EQ(resolver.module_count(), 4u);
    return {std::move(output), std::move(warnings)};
}

struct Span2 {
    uint64_t offset;
    uint64_t length;
};

struct Case {
    std::string source;
    // The Markdown output, or the error's kind and text.
    std::string expected;
    std::optional<ErrorKind> kind = std::nullopt;
    std::optional<Span2> span = std::nullopt;
};

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        Compiled compiled = compile_main(c.source);
        if (!c.kind) {
            ASSERT_TRUE(compiled.output.ok()) << format_error_message(compiled.output.error());
            ASSERT_TRUE(compiled.output->is_markdown());
            EXPECT_EQ(std::get<MarkdownOutput>(compiled.output->body).text, c.expected);
            continue;
        }
        ASSERT_FALSE(compiled.output.ok());
        const CompileError& error = compiled.output.error();
        EXPECT_EQ(error.kind, *c.kind);
        EXPECT_EQ(error.text, c.expected);
        if (c.span) {
            ASSERT_TRUE(error.location.span.has_value());
            EXPECT_EQ(error.location.span->offset, c.span->offset);
            EXPECT_EQ(error.location.span->length, c.span->length);
            EXPECT_NE(error.location.source, nullptr);
        } else {
            EXPECT_FALSE(error.location.span.has_value());
        }
    }
}

TEST(ModuleDirectives, ImportForms) {
    run_cases({
        {"@import \"./lib.tyx\" as m\n{{ m.greet() }} {{ m.shout() }}", "Hi HEY\n"},
        {"@import \"./lib.tyx\"\n{{ greet() }} {{ prompt }}", "Hi LIB\n"},
        {"@import { shout, prompt } from \"./lib.tyx\"\n{{ shout() }} {{ prompt }}", "HEY LIB\n"},
        // An export list hides what it does not name, the body included.
        {"@import \"./hidden.tyx\"\n{{ greet() }}", "Hidden\n"},
        {"@import \"./hidden.tyx\"\n{{ secret() }}", "secret", ErrorKind::UndefinedFn,
         Span2{23, 8}},
        {"@import \"./hidden.tyx\"\n{{ prompt }}", "prompt", ErrorKind::UndefinedVar, Span2{23, 6}},
        {"@import { secret } from \"./hidden.tyx\"\n",
         "'secret' is not exported from './hidden.tyx'", ErrorKind::Import, Span2{0, 38}},
        {"@import { prompt } from \"./hidden.tyx\"\n",
         "'prompt' is not exported from './hidden.tyx'", ErrorKind::Import, Span2{0, 38}},
        {"x\n@import { prompt } from \"./blank.tyx\"",
         "'prompt' is not exported from './blank.tyx'", ErrorKind::Import, Span2{2, 37}},
        // The second alias fails before its path is resolved.
        {"@import \"./lib.tyx\" as m\n@import \"./missing.tyx\" as m\n", "m",
         ErrorKind::NameCollision, Span2{25, 1}},
        {"@import \"./missing.tyx\" as m\n", "missing.tyx", ErrorKind::ModuleNotFound,
         Span2{0, 28}},
        {"@import \"./lib.tyx\"\n@import \"./other.tyx\"\n", "greet", ErrorKind::NameCollision,
         Span2{20, 21}},
        {"@define greet():\nmine\n@end\n@import \"./lib.tyx\"\n", "greet", ErrorKind::NameCollision,
         Span2{27, 19}},
        // A @define replaces an imported function; a selected name replaces without a test.
        {"@import \"./lib.tyx\"\n@define greet():\nmine\n@end\n{{ greet() }}", "mine\n"},
        {"@import { greet } from \"./lib.tyx\"\n@import { greet } from \"./other.tyx\"\n"
         "{{ greet() }}",
         "Other\n"},
        // A later whole import replaces `prompt`.
        {"@import \"./lib.tyx\" as a\n@import \"./other.tyx\" as b\n"
         "@import { prompt } from \"./lib.tyx\"\n@import { prompt } from \"./other.tyx\"\n"
         "{{ prompt }}",
         "OTHER\n"},
    });
}

TEST(ModuleDirectives, ExportForms) {
    run_cases({
        {"@export greet from \"./lib.tyx\"\ntext", "text\n"},
        // Re-exported functions are offered to importers, not defined in the module's scope.
        {"@export greet from \"./lib.tyx\"\n{{ greet() }}", "greet", ErrorKind::UndefinedFn,
         Span2{31, 7}},
        {"@export secret from \"./hidden.tyx\"\n",
         "cannot re-export 'secret': not exported from \"./hidden.tyx\"", ErrorKind::Export},
        {"@export greet from \"./missing.tyx\"\n", "missing.tyx", ErrorKind::ModuleNotFound},
        {"@export * from \"./missing.tyx\"\n", "missing.tyx", ErrorKind::ModuleNotFound},
        {"@export * from \"./lib.tyx\"\n@export * from \"./other.tyx\"\n", "greet",
         ErrorKind::NameCollision, Span2{27, 28}},
        {"@export * from \"./lib.tyx\"\n@define greet():\nx\n@end\n", "greet",
         ErrorKind::NameCollision, Span2{27, 5}},
        {"@export * from \"./lib.tyx\"\n@block shout:\nx\n@end\n", "shout",
         ErrorKind::NameCollision, Span2{27, 5}},
        {"@export greet from \"./lib.tyx\"\n@export greet from \"./other.tyx\"\nok", "ok\n"},
        // A name the module only imported cannot be exported by name.
        {"@import \"./lib.tyx\"\n@export greet\n",
         "cannot export 'greet': not defined in this module", ErrorKind::Export},
        {"@define prompt():\nP\n@end\n@export prompt\n{{ prompt() }}", "P\n"},
        // Only top-level directives shape the module.
        {"@if yes:\n@define f():\na\n@end\n@end\n@export f\n",
         "cannot export 'f': not defined in this module", ErrorKind::Export},
    });
}

Result<DirectiveNames> directives_of(Resolver& resolver, const Parsed& parsed, Scope& scope,
                                     const std::string& text) {
    std::vector<std::string> warnings;
    return process_module_directives(resolver, parsed.tree, scope,
                                     ModuleSource{"main.tyx", "main.tyx", text, "", nullptr},
                                     warnings);
}

TEST(ModuleDirectives, NamesOfThePass) {
    Resolver resolver = new_virtual_resolver({});
    seed(resolver);
    const std::string text =
        "@import \"./lib.tyx\" as m\n"
        "@define a():\n{{ b() }}\n@end\n"
        "@export * from \"./hidden.tyx\"\n"
        "@define b():\nB\n@end\n"
        "@block intro:\nx\n@end\n";
    Parsed parsed = parse_text(text);
    Scope scope;
    scope.define_variable("v", Value::number(1));
    Result<DirectiveNames> names = directives_of(resolver, parsed, scope, text);
    ASSERT_TRUE(names.ok()) << names.error().text;
    EXPECT_TRUE(names->has_export_list);
    // `secret` is not exported by hidden.tyx, so it is not re-exported.
    EXPECT_EQ(names->functions.size(), 3u);
    EXPECT_TRUE(names->functions.contains("greet"));
    EXPECT_FALSE(names->functions.contains("secret"));
    EXPECT_EQ(names->exports, (std::set<std::string, std::less<>>{"greet"}));
    EXPECT_EQ(names->block_names, (std::set<std::string, std::less<>>{"intro"}));

    // The snapshot holds what the scope held at the definition, and not later functions.
    const FunctionDef& a = *names->functions.at("a");
    EXPECT_NE(a.captured.import_alias("m"), nullptr);
    EXPECT_NE(a.captured.variable("v"), nullptr);
    EXPECT_EQ(a.captured.function("b"), nullptr);
    EXPECT_EQ(names->functions.at("b")->captured.function("a"), &a);
    ASSERT_TRUE(a.source.has_value());
    // One shared source per module.
    EXPECT_EQ(a.source->text.view().data(), names->functions.at("b")->source->text.view().data());
    EXPECT_EQ(*a.source->key, "main.tyx");
    EXPECT_EQ(scope.lookup_function("greet"), nullptr);
    EXPECT_NE(scope.lookup_function("a"), nullptr);

    // A module whose only export directive re-exports everything has an export list.
    const std::string reexport = "@export * from \"./lib.tyx\"\nbody";
    Parsed only = parse_text(reexport);
    Scope other;
    Result<DirectiveNames> only_names = directives_of(resolver, only, other, reexport);
    ASSERT_TRUE(only_names.ok());
    EXPECT_TRUE(only_names->has_export_list);
    EXPECT_FALSE(only_names->exports.contains("prompt"));
}

TEST(ModuleDirectives, LaterFunctionIsFoundWhenTheModuleRenders) {
    run_cases({
        {"@define a():\n{{ b() }}\n@end\n@define b():\nB\n@end\n{{ a() }}", "B\n"},
    });
}

TEST(FrontmatterImportBinding, EntryForms) {
    run_cases({
        {"---\nimports: [{path: ./lib.tyx, as: m}]\n---\n{{ m.greet() }}", "Hi\n"},
        {"---\nimports: [{path: ./lib.tyx}]\n---\n{{ greet() }} {{ prompt }}", "Hi LIB\n"},
        {"---\nimports: [{path: ./hidden.tyx}]\n---\n{{ prompt }}", "prompt",
         ErrorKind::UndefinedVar, Span2{40, 6}},
        {"---\nimports: [{path: ./lib.tyx, names: [shout, prompt]}]\n---\n"
         "{{ shout() }} {{ prompt }}",
         "HEY LIB\n"},
        {"---\nimports: [{path: ./lib.tyx, as: m}, {path: ./missing.tyx, as: m}]\n---\n", "m",
         ErrorKind::NameCollision},
        {"---\nimports: [{path: ./lib.tyx}, {path: ./other.tyx}]\n---\n", "greet",
         ErrorKind::NameCollision},
        {"---\nimports: [{path: ./lib.tyx, names: [greet]}, {path: ./other.tyx, names: "
         "[greet]}]\n---\n{{ greet() }}",
         "Other\n"},
        {"---\nimports: [{path: ./hidden.tyx, names: [prompt]}]\n---\n",
         "'prompt' is not exported from './hidden.tyx' (in frontmatter imports[0])",
         ErrorKind::Import},
        {"---\nimports: [{path: ./lib.tyx}, {path: ./hidden.tyx, names: [greet, secret]}]\n---\n",
         "'secret' is not exported from './hidden.tyx' (in frontmatter imports[1])",
         ErrorKind::Import},
        {"---\nimports: [{path: ./blank.tyx, names: [prompt]}]\n---\n",
         "'prompt' is not exported from './blank.tyx' (in frontmatter imports[0])",
         ErrorKind::Import},
        {"---\nimports: [{path: ./lib.tyx}, {path: ./missing.tyx}]\n---\n",
         "module not found: \"missing.tyx\" (in frontmatter imports[1])", ErrorKind::Import},
        // The frontmatter binds before the directives run.
        {"---\nimports: [{path: ./lib.tyx, as: m}]\n---\n@import \"./other.tyx\" as m\n", "m",
         ErrorKind::NameCollision, Span2{44, 1}},
        {"---\nimports: [{path: ./lib.tyx}]\n---\n@import \"./other.tyx\"\n", "greet",
         ErrorKind::NameCollision, Span2{37, 21}},
        {"---\nimports: [{path: ./lib.tyx}]\n---\n@define greet():\nmine\n@end\n{{ greet() }}",
         "mine\n"},
    });
}

TEST(Pipeline, MessagesModeMapWarningComesBeforeEvaluationWarnings) {
    Compiled compiled =
        compile_main("@import \"./lib.tyx\" as m\n@include m\n@message user:\nHi\n@end\n",
                     CompileOptions{true, false});
    ASSERT_TRUE(compiled.output.ok()) << compiled.output.error().text;
    EXPECT_FALSE(compiled.output->is_markdown());
    EXPECT_EQ(compiled.warnings,
              (std::vector<std::string>{
                  "source maps are not supported for messages-mode templates (@message blocks); "
                  "no source map will be generated",
                  "warning: @include 'm' inside messages mode is ignored"}));
}

}  // namespace
}  // namespace tyx
