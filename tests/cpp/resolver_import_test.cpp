// Import resolution through the module cache, seen by a loader that counts what it reads.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/resolver/lib.h"
#include "core/resolver/module.h"

namespace tyx {
namespace {

// The virtual loader, counting the reads of each key.
class CountingLoader final : public ModuleLoader {
  public:
    CountingLoader(ModuleMap modules, std::map<std::string, int>& reads)
        : inner_(std::move(modules)), reads_(reads) {}

    Result<std::string> resolve(std::string_view path) override { return inner_.resolve(path); }
    Result<std::string> resolve_relative(std::string_view directory,
                                         std::string_view path) override {
        return inner_.resolve_relative(directory, path);
    }
    std::string parent_dir(std::string_view key) const override { return inner_.parent_dir(key); }
    Result<std::string> read_source(std::string_view key) const override {
        ++reads_[std::string(key)];
        return inner_.read_source(key);
    }
    bool is_plain_markdown(std::string_view key) const override {
        return inner_.is_plain_markdown(key);
    }
    Status set_base_dir(std::string_view directory) override {
        return inner_.set_base_dir(directory);
    }
    Result<std::string> canonicalize(std::string_view path) override {
        return inner_.canonicalize(path);
    }
    std::optional<std::string> project_root() const override { return inner_.project_root(); }

  private:
    VirtualLoader inner_;
    std::map<std::string, int>& reads_;
};

struct CountedRun {
    Result<CompileOutput> output;
    std::vector<std::string> warnings;
    std::vector<std::string> dependencies;
    std::map<std::string, int> reads;
};

std::unique_ptr<CountedRun> compile_counting(ModuleMap modules, const std::string& entry) {
    auto run = std::unique_ptr<CountedRun>(
        new CountedRun{CompileError::of(ErrorKind::Syntax), {}, {}, {}});
    Resolver resolver(std::make_unique<CountingLoader>(std::move(modules), run->reads));
    run->output = compile_entry_key(resolver, entry, nullptr, CompileOptions{}, run->warnings);
    run->dependencies = resolver.dependencies(entry);
    EXPECT_TRUE(resolver.resolving_stack().empty());
    return run;
}

std::string markdown_of(const Result<CompileOutput>& output) {
    EXPECT_TRUE(output.ok()) << (output.ok() ? "" : format_error_message(output.error()));
    if (!output.ok() || !output->is_markdown()) return "<not markdown>";
    return std::get<MarkdownOutput>(output->body).text;
}

constexpr std::string_view kLib = "@define greet(who):\nHi {{ who }}\n@end\n@export greet\n";

TEST(ImportCache, SharedModuleIsReadCompiledAndWarnedOnce) {
    // c.tyx warns while its body renders: it includes a module without body text.
    const std::string c = "@import \"./d.tyx\" as d\n@include d\nC body\n";
    std::unique_ptr<CountedRun> run = compile_counting(
        {{"main.tyx", "@import \"./a.tyx\" as a\n@import \"./b.tyx\" as b\n{{ a.f() }}{{ b.f() }}"},
         {"a.tyx", "@import \"./c.tyx\" as c\n@define f():\nA\n@end\n"},
         {"b.tyx", "---\nimports:\n  - path: ./c.tyx\n---\n@define f():\nB\n@end\n"},
         {"c.tyx", c},
         {"d.tyx", std::string(kLib)}},
        "main.tyx");
    EXPECT_EQ(markdown_of(run->output), "AB\n");
    EXPECT_EQ(run->reads,
              (std::map<std::string, int>{
                  {"main.tyx", 1}, {"a.tyx", 1}, {"b.tyx", 1}, {"c.tyx", 1}, {"d.tyx", 1}}));
    // A module is listed when its own compilation has finished, after what it imports.
    EXPECT_EQ(run->dependencies, (std::vector<std::string>{"d.tyx", "c.tyx", "a.tyx", "b.tyx"}));
    ASSERT_EQ(run->warnings.size(), 1u);
    EXPECT_TRUE(run->warnings[0].starts_with("warning: @include of 'd' produced empty output"))
        << run->warnings[0];
}

TEST(ImportCache, ParentCompiledFirstIsCompiledAgainWhenImported) {
    const std::string base = "@define hi():\nhello\n@end\n@block main:\nDefault\n@end\n";
    // The child's frontmatter imports are bound after its parent is compiled as a parent.
    std::unique_ptr<CountedRun> parent_first = compile_counting(
        {{"base.tyx", base},
         {"child.tyx",
          "---\nimports:\n  - path: ./base.tyx\n    as: b\n---\n@extends \"./base.tyx\"\n"
          "@block main:\n{{ b.hi() }} from child\n@end\n"}},
        "child.tyx");
    EXPECT_EQ(markdown_of(parent_first->output), "hello from child\n");
    EXPECT_EQ(parent_first->reads["base.tyx"], 2);
    EXPECT_EQ(parent_first->dependencies, (std::vector<std::string>{"base.tyx"}));

    // Imported first, the same module serves as the parent unchanged.
    std::unique_ptr<CountedRun> import_first = compile_counting(
        {{"base.tyx", base},
         {"child.tyx", "@extends \"./base.tyx\"\n@block main:\nChild\n@end\n"},
         {"main.tyx", "@import \"./base.tyx\" as b\n@import \"./child.tyx\" as c\n@include c\n"}},
        "main.tyx");
    EXPECT_EQ(markdown_of(import_first->output), "Child\n");
    EXPECT_EQ(import_first->reads["base.tyx"], 1);
    EXPECT_EQ(import_first->dependencies, (std::vector<std::string>{"base.tyx", "child.tyx"}));
}

TEST(ImportCache, ParentEntryReplacedByItsImportKeepsTheSkeleton) {
    // The import of a module first compiled as a parent takes over its blocks, nodes and
    // source, so the chain a child rests on does not change under it.
    ModuleMap modules = {
        {"root.tyx", "@block main:\nRoot\n@end\n"},
        {"mid.tyx", "@extends \"./root.tyx\"\n@block main:\nMid\n@end\n"},
        {"leaf.tyx",
         "---\nimports:\n  - path: ./mid.tyx\n    as: m\n---\n@extends \"./mid.tyx\"\n"
         "@block main:\n@include m\n+ leaf\n@end\n"}};
    std::map<std::string, int> reads;
    Resolver resolver(std::make_unique<CountingLoader>(modules, reads));
    std::vector<std::string> warnings;
    Result<CompileOutput> output =
        compile_entry_key(resolver, "leaf.tyx", nullptr, CompileOptions{}, warnings);
    EXPECT_EQ(markdown_of(output), "Mid\n+ leaf\n");
    const CompiledModulePtr* mid = resolver.find_module("mid.tyx");
    ASSERT_NE(mid, nullptr);
    EXPECT_FALSE((*mid)->compiled_as_parent);
    ASSERT_NE((*mid)->body_text, nullptr);
    EXPECT_EQ(*(*mid)->body_text, "Mid\n");
    EXPECT_EQ(*(*mid)->source.key, "root.tyx");
    ASSERT_EQ((*mid)->blocks.size(), 1u);
    EXPECT_EQ(*(*mid)->blocks[0].second.source.key, "mid.tyx");
    EXPECT_EQ(resolver.dependencies("leaf.tyx"), (std::vector<std::string>{"root.tyx", "mid.tyx"}));
}

TEST(ImportLimits, DepthStopsBeforeTheModuleIsRead) {
    // main imports m1, m1 imports m2, and so on: the stack holds main and m1..m63 when m63
    // imports m64.
    auto chain = [](int length) {
        ModuleMap modules = {{"main.tyx", "@import \"./m1.tyx\" as m\n"}};
        for (int i = 1; i <= length; ++i) {
            modules["m" + std::to_string(i) + ".tyx"] =
                i < length ? "@import \"./m" + std::to_string(i + 1) + ".tyx\" as m\n" : "leaf\n";
        }
        return modules;
    };
    std::unique_ptr<CountedRun> fits = compile_counting(chain(63), "main.tyx");
    EXPECT_TRUE(fits->output.ok()) << format_error_message(fits->output.error());
    EXPECT_EQ(fits->dependencies.size(), 63u);

    std::unique_ptr<CountedRun> deep = compile_counting(chain(64), "main.tyx");
    ASSERT_FALSE(deep->output.ok());
    EXPECT_EQ(deep->output.error().kind, ErrorKind::Import);
    EXPECT_EQ(deep->output.error().text,
              "import depth exceeds maximum of 64 (possible deep chain)");
    EXPECT_FALSE(deep->output.error().location.span.has_value());
    EXPECT_EQ(deep->reads["m63.tyx"], 1);
    EXPECT_EQ(deep->reads.count("m64.tyx"), 0u);
    EXPECT_TRUE(deep->dependencies.empty());
}

TEST(ImportLimits, ModuleCountStopsBeforeTheModuleIsRead) {
    auto many = [](int count) {
        ModuleMap modules;
        std::string main;
        for (int i = 0; i < count; ++i) {
            const std::string name = "m" + std::to_string(i);
            main += "@import \"./" + name + ".tyx\" as " + name + "\n";
            modules[name + ".tyx"] = "x\n";
        }
        modules["main.tyx"] = main;
        return modules;
    };
    std::unique_ptr<CountedRun> fits = compile_counting(many(256), "main.tyx");
    EXPECT_TRUE(fits->output.ok());
    EXPECT_EQ(fits->dependencies.size(), 256u);

    std::unique_ptr<CountedRun> over = compile_counting(many(257), "main.tyx");
    ASSERT_FALSE(over->output.ok());
    EXPECT_EQ(over->output.error().kind, ErrorKind::ResourceLimit);
    EXPECT_EQ(over->output.error().text,
              "module count exceeds maximum of 256 (256 modules resolved)");
    EXPECT_EQ(over->reads.count("m256.tyx"), 0u);
}

TEST(ImportCache, FailedModuleIsNotCached) {
    Resolver resolver = new_virtual_resolver(
        {{"bad.tyx", "{{ nope }}\n"}, {"main.tyx", "@import \"./bad.tyx\" as b\n"}});
    std::vector<std::string> warnings;
    Result<CompileOutput> output =
        compile_entry_key(resolver, "main.tyx", nullptr, CompileOptions{}, warnings);
    ASSERT_FALSE(output.ok());
    EXPECT_EQ(output.error().kind, ErrorKind::UndefinedVar);
    ASSERT_NE(output.error().location.source, nullptr);
    EXPECT_EQ(output.error().location.source->name, "bad.tyx");
    EXPECT_EQ(resolver.module_count(), 0u);
    EXPECT_TRUE(resolver.resolving_stack().empty());
}

TEST(ImportedModule, BodyAndExportsAsImportersSeeThem) {
    struct Case {
        std::string module;
        bool has_body;
        bool body_visible;
        bool body_hidden;
        std::vector<std::string> functions;
    };
    const std::vector<Case> cases = {
        {"Body\n@define f():\nx\n@end\n", true, true, false, {"f"}},
        {"Body\n@define f():\nx\n@end\n@export f\n", true, false, true, {"f"}},
        {"Body\n@define f():\nx\n@end\n@export prompt\n", true, true, false, {}},
        {"\n  \n@define f():\nx\n@end\n\n", false, false, false, {"f"}},
        {"\n\n@define f():\nx\n@end\n@export f\n", false, false, false, {"f"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module);
        Resolver resolver = new_virtual_resolver({{"m.tyx", c.module}});
        std::vector<std::string> warnings;
        Result<CompiledModulePtr> module = resolver.import_module("", "./m.tyx", nullptr, warnings);
        ASSERT_TRUE(module.ok()) << format_error_message(module.error());
        EXPECT_EQ((*module)->body_text != nullptr, c.has_body);
        ImportedModule imported = build_imported_module(**module);
        EXPECT_EQ(imported.body_text != nullptr, c.body_visible);
        EXPECT_EQ(imported.body_hidden, c.body_hidden);
        std::vector<std::string> names;
        for (const auto& [name, function] : imported.exported_functions->functions())
            names.push_back(name);
        EXPECT_EQ(names, c.functions);
        // A second import shares the compiled module.
        Result<CompiledModulePtr> again = resolver.import_module("", "./m.tyx", nullptr, warnings);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(again->get(), module->get());
    }
}

// Every alias of a module, and every module that only re-exports all of its functions, shares
// the one table of them; a module that adds its own functions has a table of its own.
TEST(ImportedModule, ReexportedTablesAreShared) {
    Resolver resolver = new_virtual_resolver({
        {"leaf.tyx", "@define f():\nx\n@end\n@define g():\ny\n@end\n@export f\n"},
        {"all.tyx", "@export * from \"./leaf.tyx\"\n"},
        {"again.tyx", "@export * from \"./all.tyx\"\n"},
        {"more.tyx", "@export * from \"./leaf.tyx\"\n@define h():\nz\n@end\n@export h\n"},
    });
    std::vector<std::string> warnings;
    const auto table = [&](std::string_view path) {
        Result<CompiledModulePtr> module = resolver.import_module("", path, nullptr, warnings);
        EXPECT_TRUE(module.ok());
        return module.ok() ? build_imported_module(**module).exported_functions : nullptr;
    };
    const auto leaf = table("./leaf.tyx");
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->functions().size(), 1u);
    EXPECT_EQ(table("./leaf.tyx"), leaf);
    EXPECT_EQ(table("./all.tyx"), leaf);
    EXPECT_EQ(table("./again.tyx"), leaf);
    const auto more = table("./more.tyx");
    ASSERT_NE(more, nullptr);
    EXPECT_NE(more, leaf);
    std::vector<std::string> names;
    for (const auto& [name, function] : more->functions())
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"f", "h"}));
}

}  // namespace
}  // namespace tyx
