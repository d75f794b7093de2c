#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/resolver/frontmatter_scope.h"
#include "core/resolver/lib.h"
#include "core/resolver/module_directives.h"

namespace tyx {
namespace {

namespace fs = std::filesystem;

class Project {
  public:
    Project() {
        std::string pattern = (fs::temp_directory_path() / "vorpel-pipeline-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern).string();
        write(".tyxroot", "");
    }
    ~Project() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    void write(const std::string& relative, const std::string& text) const {
        fs::path file = path(relative);
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

  private:
    std::string root_;
};

struct Compiled {
    Result<CompileOutput> output;
    std::vector<std::string> warnings;
};

Compiled compile_text(const std::string& text, const VarsMap* vars = nullptr,
                      const std::string& base = "/", CompileOptions options = {}) {
    Resolver resolver;
    std::vector<std::string> warnings;
    Result<CompileOutput> output =
        compile_source_text(resolver, text, base, vars, options, warnings);
    EXPECT_TRUE(resolver.resolving_stack().empty());
    return {std::move(output), std::move(warnings)};
}

std::string markdown_of(const Result<CompileOutput>& output) {
    EXPECT_TRUE(output.ok()) << (output.ok() ? "" : format_error_message(output.error()));
    if (!output.ok() || !output->is_markdown()) return "<not markdown>";
    return std::get<MarkdownOutput>(output->body).text;
}

void expect_error(const Result<CompileOutput>& output, ErrorKind kind, const std::string& text) {
    ASSERT_FALSE(output.ok()) << "expected: " << text;
    EXPECT_EQ(output.error().kind, kind) << output.error().text;
    EXPECT_EQ(output.error().text, text);
}

void expect_span(const CompileError& error, uint64_t offset, uint64_t length) {
    ASSERT_TRUE(error.location.span.has_value()) << error.text;
    EXPECT_EQ(error.location.span->offset, offset);
    EXPECT_EQ(error.location.span->length, length);
}

TEST(Pipeline, MarkdownOutputs) {
    const VarsMap vars = {{"name", Value::string("x")}, {"title", Value::string("Caller")}};
    struct Case {
        std::string source;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"Hello {{ name }}", "Hello x\n"},
        {"a\r\nb\r\n\r\n  \r\n", "a\nb\n"},
        {"   \n\n", ""},
        {"---\nlang: en\n---\n", "---\nlang: en\n---\n"},
        // The caller's variable wins over the frontmatter's.
        {"---\ntitle: Own\n---\n# {{ title }}\n", "---\ntitle: Own\n---\n# Caller\n"},
        // In a .tyx template the `type` key is a variable like any other.
        {"---\ntype: tyx\nk: v\n---\n{{ type }} {{ k }}", "---\nk: v\n---\ntyx v\n"},
        {"---\nimports: []\n---\nbody", "body\n"},
        // A frontmatter that is a list or a scalar defines nothing and compiles.
        {"---\n- a\n- b\n---\nlist", "---\n- a\n- b\n---\nlist\n"},
        {"---\njust text\n---\nscalar", "---\njust text\n---\nscalar\n"},
        {"@define greet(who):\nHi {{ who }}\n@end\n{{ greet(name) }}", "Hi x\n"},
        // A message block inside a @define body does not switch to messages mode.
        {"@define m():\n@message user:\nx\n@end\n@end\nplain", "plain\n"},
        {"@export greet\n@define greet():\ng\n@end\ntext", "text\n"},
        {"@export prompt\nbody", "body\n"},
        {"@block intro:\nIntro {{ name }}\n@end\n", "Intro x\n"},
    };
    for (const Case& c : cases) {
        Compiled compiled = compile_text(c.source, &vars);
        EXPECT_EQ(markdown_of(compiled.output), c.output) << c.source;
        EXPECT_TRUE(compiled.warnings.empty());
    }
}

TEST(Pipeline, MessagesMode) {
    const std::vector<std::string> sources = {
        "@message user:\nHi\n@end\n",
        "@if yes:\nnothing\n@else:\n@message user:\nHi\n@end\n@end\n",
        "@block b:\n@message user:\nHi\n@end\n@end\n",
    };
    const VarsMap vars = {{"yes", Value::boolean(false)}};
    for (const std::string& source : sources) {
        Compiled compiled = compile_text(source, &vars);
        ASSERT_TRUE(compiled.output.ok()) << source << ": " << compiled.output.error().text;
        ASSERT_FALSE(compiled.output->is_markdown()) << source;
        EXPECT_EQ(std::get<std::vector<Message>>(compiled.output->body),
                  (std::vector<Message>{{"user", "Hi"}}));
    }

    // Asked for a map, a messages template gets the warning first and no map.
    Resolver resolver;
    std::vector<std::string> warnings = {"earlier"};
    Result<CompileOutput> output = compile_source_text(resolver, sources[0], "/", nullptr,
                                                       CompileOptions{true, false}, warnings);
    ASSERT_TRUE(output.ok());
    EXPECT_FALSE(output->is_markdown());
    EXPECT_TRUE(resolver.source_map_wanted());
    EXPECT_EQ(warnings,
              (std::vector<std::string>{
                  "earlier",
                  "source maps are not supported for messages-mode templates (@message blocks); "
                  "no source map will be generated"}));
}

TEST(Pipeline, ModuleDirectiveErrors) {
    struct Case {
        std::string source;
        ErrorKind kind;
        std::string text;
        std::optional<std::pair<uint64_t, uint64_t>> span;
    };
    const std::vector<Case> cases = {
        {"@define f():\na\n@end\n@define f():\nb\n@end\n", ErrorKind::NameCollision, "f",
         std::pair<uint64_t, uint64_t>{20, 1}},
        {"@define b():\na\n@end\n@block b:\nx\n@end\n", ErrorKind::NameCollision, "b",
         std::pair<uint64_t, uint64_t>{20, 1}},
        {"@block bb:\nx\n@end\n@define bb():\na\n@end\n", ErrorKind::NameCollision, "bb",
         std::pair<uint64_t, uint64_t>{18, 2}},
        {"@export missing\ntext", ErrorKind::Export,
         "cannot export 'missing': not defined in this module", std::nullopt},
        {"@import \"./none.tyx\" as m\n", ErrorKind::FileNotFound, "./none.tyx",
         std::pair<uint64_t, uint64_t>{0, 25}},
        {"x\n@import { a } from \"./none.tyx\"", ErrorKind::FileNotFound, "./none.tyx",
         std::pair<uint64_t, uint64_t>{2, 31}},
        // Re-export failures carry no location.
        {"@export * from \"./none.tyx\"\n", ErrorKind::FileNotFound, "./none.tyx", std::nullopt},
        {"@export f from \"./none.tyx\"\n", ErrorKind::FileNotFound, "./none.tyx", std::nullopt},
        {"@import \"lib/x.tyx\"\n", ErrorKind::Import,
         "import path must be relative (start with './' or '../'): \"lib/x.tyx\"", std::nullopt},
        {"@import \"../../../../../../../../../../../../etc/passwd\"\n", ErrorKind::Import,
         "import path escapes project directory: "
         "\"../../../../../../../../../../../../etc/passwd\"",
         std::nullopt},
    };
    Project project;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        Compiled compiled = compile_text(c.source, nullptr, project.root());
        expect_error(compiled.output, c.kind, c.text);
        if (c.span) {
            expect_span(compiled.output.error(), c.span->first, c.span->second);
        } else if (compiled.output.ok() == false) {
            EXPECT_FALSE(compiled.output.error().location.span.has_value());
        }
    }
}

TEST(Pipeline, ExtendingTemplateParsesItsFrontmatterFirst) {
    Compiled compiled = compile_text("---\na: [1\n---\n@extends \"./base.tyx\"\n");
    ASSERT_FALSE(compiled.output.ok());
    EXPECT_EQ(compiled.output.error().kind, ErrorKind::Yaml) << compiled.output.error().text;
}

TEST(Pipeline, BlockDeclarationLimit) {
    auto blocks = [](size_t count) {
        std::string text;
        for (size_t i = 0; i < count; ++i)
            text += "@block b" + std::to_string(i) + ":\nx\n@end\n";
        return text;
    };
    Compiled fits = compile_text(blocks(MAX_BLOCK_DECLARATIONS));
    EXPECT_TRUE(fits.output.ok());
    Compiled over = compile_text(blocks(MAX_BLOCK_DECLARATIONS + 1));
    expect_error(over.output, ErrorKind::ResourceLimit,
                 "module has more than 256 @block declarations");
    EXPECT_FALSE(over.output.error().location.span.has_value());
}

TEST(Pipeline, FrontmatterScopeAndImportErrors) {
    Project project;
    project.write("notes.txt", "x");
    project.write("plain.md", "# no frontmatter\n");
    struct Case {
        std::string source;
        ErrorKind kind;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"---\nimports:\n  - path: ./a.tyx\n  - path: ./missing.tyx\n---\n", ErrorKind::Import,
         "file not found: \"./a.tyx\" (in frontmatter imports[0])"},
        {"---\nimports: [{path: x.tyx}]\n---\n", ErrorKind::Import,
         "imports[0]: invalid path \"x.tyx\": must start with './' or '../' (in frontmatter)"},
        {"---\nimports: [{path: ../../../../../../../../../../../etc/passwd}]\n---\n",
         ErrorKind::Import,
         "import path escapes project directory: \"../../../../../../../../../../../etc/passwd\" "
         "(in frontmatter imports[0])"},
        {"---\nimports: [{path: ./notes.txt}]\n---\n", ErrorKind::NotTyx,
         project.path("notes.txt")},
        {"---\nimports: [{path: ./plain.md}]\n---\n", ErrorKind::NotTyx, project.path("plain.md")},
        // A top-level key that is not a string is skipped; a nested one cannot become a value.
        {"---\n1: skipped\nm:\n  1: x\n---\n", ErrorKind::Yaml,
         "TYX only supports string keys in objects; found integer/float key — use a quoted "
         "string key instead"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        expect_error(compile_text(c.source, nullptr, project.root()).output, c.kind, c.text);
    }

    const VarsMap reserved = {{"imports", Value::string("x")}};
    expect_error(compile_text("text", &reserved).output, ErrorKind::Import,
                 "'imports' is a reserved frontmatter key for TYX files and cannot be set via "
                 "--set");
}

TEST(FrontmatterScope, PlainMarkdownModules) {
    // Plain Markdown without the marker: `imports` is an ordinary variable and `type` is dropped.
    Result<FrontmatterScope> plain =
        build_frontmatter_scope(std::string("type: doc\nimports: 3"), true, nullptr);
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(plain->scope.lookup_variable("type"), nullptr);
    ASSERT_NE(plain->scope.lookup_variable("imports"), nullptr);
    EXPECT_TRUE(plain->imports.empty());
    const VarsMap vars = {{"imports", Value::number(1)}};
    EXPECT_TRUE(build_frontmatter_scope(std::nullopt, true, &vars).ok());

    Result<FrontmatterScope> marked = build_frontmatter_scope(
        std::string("type: tyx\nimports: [{path: ./a.tyx, as: a}]"), true, nullptr);
    ASSERT_TRUE(marked.ok());
    EXPECT_EQ(marked->scope.lookup_variable("type"), nullptr);
    EXPECT_EQ(marked->scope.lookup_variable("imports"), nullptr);
    ASSERT_EQ(marked->imports.size(), 1u);
    EXPECT_EQ(marked->imports[0].alias, "a");
    EXPECT_FALSE(build_frontmatter_scope(std::string("type: tyx"), true, &vars).ok());

    Result<FrontmatterScope> empty = build_frontmatter_scope(std::string(""), false, nullptr);
    ASSERT_TRUE(empty.ok());
}

TEST(FrontmatterScope, DescribeImportError) {
    struct Case {
        CompileError error;
        ErrorKind kind;
        std::string text;
    };
    const std::vector<Case> cases = {
        {CompileError::of(ErrorKind::CircularImport, "a.tyx → a.tyx"), ErrorKind::Import,
         "circular import detected: a.tyx → a.tyx (in frontmatter imports[2])"},
        {CompileError::of(ErrorKind::FileNotFound, "./x.tyx"), ErrorKind::Import,
         "file not found: \"./x.tyx\" (in frontmatter imports[2])"},
        {CompileError::of(ErrorKind::ModuleNotFound, "x.tyx"), ErrorKind::Import,
         "module not found: \"x.tyx\" (in frontmatter imports[2])"},
        {CompileError::of(ErrorKind::Import,
                          "import depth exceeds maximum of 64 (possible deep chain)"),
         ErrorKind::Import,
         "import depth exceeds maximum of 64 (possible deep chain) (in frontmatter imports[2])"},
        {CompileError::of(ErrorKind::Import, "imports[0]: x (in frontmatter)"), ErrorKind::Import,
         "imports[0]: x (in frontmatter)"},
        {CompileError::of(ErrorKind::ResourceLimit, "r"), ErrorKind::ResourceLimit, "r"},
        {CompileError::at(ErrorKind::FileNotFound, "./y.tyx", "m.tyx", "text", 0, 1),
         ErrorKind::FileNotFound, "./y.tyx"},
    };
    for (const Case& c : cases) {
        CompileError described = describe_frontmatter_import_error(c.error, 2);
        EXPECT_EQ(described.kind, c.kind);
        EXPECT_EQ(described.text, c.text);
    }
}

TEST(Pipeline, SourceSizeAndBaseDirectory) {
    Resolver resolver;
    std::vector<std::string> warnings;
    std::string fits(MAX_SOURCE_SIZE, 'a');
    Result<CompileOutput> ok = compile_root_source(resolver, fits, "/", nullptr, warnings);
    ASSERT_TRUE(ok.ok()) << ok.error().text;
    EXPECT_EQ(std::get<MarkdownOutput>(ok->body).text.size(), MAX_SOURCE_SIZE + 1);
    // One byte more fails before the base directory is looked at.
    fits.push_back('a');
    expect_error(compile_root_source(resolver, fits, "/no/such/dir", nullptr, warnings),
                 ErrorKind::ResourceLimit,
                 "file too large (10485761 bytes, max 10485760 bytes): <source>");
    expect_error(compile_root_source(resolver, "x", "/no/such/dir", nullptr, warnings),
                 ErrorKind::Io, "cannot resolve path /no/such/dir: file not found: /no/such/dir");
    EXPECT_TRUE(resolver.resolving_stack().empty());
}

TEST(Pipeline, FileEntries) {
    Project project;
    project.write("docs/page.tyx", "---\ntitle: T\n---\n# {{ title }}\n");
    project.write("docs/plain.md", "# plain\n");
    project.write("docs/marked.md", "---\ntype: tyx\ntitle: M\n---\n{{ title }} {{ k }}\n");
    project.write("docs/bad.tyx", "{{ nope }}");
    const VarsMap vars = {{"k", Value::string("v")}};

    Resolver resolver;
    std::vector<std::string> warnings;
    Result<CompileOutput> page =
        compile_entry_path(resolver, project.path("docs/page.tyx"), &vars, warnings);
    EXPECT_EQ(markdown_of(page), "---\ntitle: T\n---\n# T\n");
    EXPECT_EQ(resolver.loader().project_root(), project.root());
    EXPECT_TRUE(resolver.dependencies().empty());

    Result<CompileOutput> marked =
        compile_entry_path(resolver, project.path("docs/marked.md"), &vars, warnings);
    EXPECT_EQ(markdown_of(marked), "---\ntitle: M\n---\nM v\n");

    expect_error(compile_entry_path(resolver, project.path("docs/plain.md"), &vars, warnings),
                 ErrorKind::NotTyx, project.path("docs/plain.md"));
    expect_error(compile_entry_path(resolver, project.path("docs/none.tyx"), &vars, warnings),
                 ErrorKind::FileNotFound, project.path("docs/none.tyx"));

    // Errors inside the entry are located against its display path.
    Result<CompileOutput> bad =
        compile_entry_path(resolver, project.path("docs/bad.tyx"), &vars, warnings);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, ErrorKind::UndefinedVar);
    ASSERT_NE(bad.error().location.source, nullptr);
    EXPECT_EQ(bad.error().location.source->name, "docs/bad.tyx");
    EXPECT_TRUE(resolver.resolving_stack().empty());
}

TEST(Pipeline, MarkdownEntryLetsTheLoaderFindItsProjectRoot) {
    Project project;
    project.write("docs/page.tyx", "text\n");
    project.write("docs/chat.tyx", "@message user:\nHi\n@end\n");
    std::vector<std::string> warnings;

    Resolver markdown;
    ASSERT_TRUE(
        compile_entry_key(markdown, project.path("docs/page.tyx"), nullptr, {}, warnings).ok());
    EXPECT_EQ(markdown.loader().project_root(), project.root());

    // A messages-mode entry is not finished, so the loader is not asked.
    Resolver messages;
    ASSERT_TRUE(
        compile_entry_key(messages, project.path("docs/chat.tyx"), nullptr, {}, warnings).ok());
    EXPECT_EQ(messages.loader().project_root(), std::nullopt);
}

TEST(Pipeline, VirtualEntries) {
    Resolver resolver = new_virtual_resolver({{"main.tyx", "Hi {{ who }}"},
                                              {"doc.md", "---\ntype: tyx\n---\nmd"},
                                              {"lib/a.tyx", "{{ x"}});
    const VarsMap vars = {{"who", Value::string("you")}};
    std::vector<std::string> warnings;
    EXPECT_EQ(markdown_of(compile_entry_key(resolver, "main.tyx", &vars, {}, warnings)),
              "Hi you\n");
    EXPECT_EQ(markdown_of(compile_entry_key_without_map(resolver, "doc.md", &vars, warnings)),
              "md\n");
    Result<CompileOutput> missing = compile_entry_key(resolver, "b.tyx", &vars, {}, warnings);
    expect_error(missing, ErrorKind::ModuleNotFound, "b.tyx");
    EXPECT_EQ(format_error_message(missing.error()),
              "module 'b.tyx' is not in the virtual module map");
    Result<CompileOutput> broken = compile_entry_key(resolver, "lib/a.tyx", &vars, {}, warnings);
    ASSERT_FALSE(broken.ok());
    ASSERT_NE(broken.error().location.source, nullptr);
    EXPECT_EQ(broken.error().location.source->name, "lib/a.tyx");
    EXPECT_TRUE(resolver.resolving_stack().empty());
    EXPECT_TRUE(warnings.empty());
}

// The entry, each imported module's body and each part of an inheritance chain all charge the
// resolver's one budget: the compilation fails at the work all of them do together.
TEST(Pipeline, EveryEvaluationOfACompilationSharesOneWorkBudget) {
    const std::string body(1000, 'x');
    const ModuleMap modules = {
        {"a.tyx", body + "\n"},
        {"b.tyx", body + "\n"},
        {"imports.tyx", "@import \"./a.tyx\" as a\n@import \"./b.tyx\" as b\nend\n"},
        {"includes.tyx", "@import \"./a.tyx\" as a\n@include a\n@include a\n"},
        {"base.tyx", "@import \"./a.tyx\" as a\n" + body + "\n@block b:\n@end\n"},
        {"child.tyx", "@extends \"./base.tyx\"\n@block b:\n" + body + "\n@end\n"},
    };
    const struct {
        const char* entry;
        // Bytes of text the evaluations write between them, without the work of their nodes.
        uint64_t text_bytes;
    } cases[] = {
        {"imports.tyx", 2 * 1001 + 4},
        {"includes.tyx", 1001 + 2 * 1001},
        {"child.tyx", 1001 + 1002 + 1001},
    };
    for (const auto& c : cases) {
        for (const bool map : {false, true}) {
            const std::string label = std::string(c.entry) + (map ? " with a map" : "");
            const auto compile = [&](uint64_t budget) {
                Resolver resolver = new_virtual_resolver(modules);
                resolver.work() = WorkBudget(budget);
                std::vector<std::string> warnings;
                Result<CompileOutput> output =
                    compile_entry_key(resolver, c.entry, nullptr, {map, false}, warnings);
                return std::pair(std::move(output), resolver.work().used());
            };
            const uint64_t used = compile(MAX_EVALUATION_WORK).second;
            EXPECT_GE(used, c.text_bytes) << label;
            EXPECT_LT(used, c.text_bytes + 20 * NODE_WORK) << label;
            EXPECT_TRUE(compile(used).first.ok()) << label;
            Result<CompileOutput> short_by_one = compile(used - 1).first;
            ASSERT_FALSE(short_by_one.ok()) << label;
            EXPECT_EQ(short_by_one.error().kind, ErrorKind::ResourceLimit) << label;
            EXPECT_EQ(format_error_message(short_by_one.error()),
                      "resource limit exceeded: evaluation work exceeds maximum of " +
                          std::to_string(used - 1) + " bytes in this compilation")
                << label;
        }
    }
}

TEST(CanonicalJson, Markdown) {
    CoreCompileResult result =
        CoreCompileResult::from_output(CompileOutput{MarkdownOutput{"Hello\u202e\n", std::nullopt}},
                                       {"line\nfeed \u202e", "plain"}, {"/p/a.tyx", "/p/b.tyx"});
    EXPECT_EQ(CoreCompileResult::to_canonical_json(result)->dump(),
              "{\"dependencies\":[\"/p/a.tyx\",\"/p/b.tyx\"],\"kind\":\"markdown\",\"output\":"
              "\"Hello\u202e\\n\",\"warnings\":[\"line\\\\u000Afeed \\\\u202E\",\"plain\"]}");

    CoreCompileResult empty =
        CoreCompileResult::from_output(CompileOutput{MarkdownOutput{"", std::nullopt}}, {}, {});
    EXPECT_EQ(CoreCompileResult::to_canonical_json(empty)->dump(),
              "{\"dependencies\":[],\"kind\":\"markdown\",\"output\":\"\",\"warnings\":[]}");
}

TEST(CanonicalJson, SourceMapMembers) {
    SourceMap map{std::nullopt, {"<source>", "lib/a.tyx"}, std::nullopt, {}, "AAAA"};
    CoreCompileResult result =
        CoreCompileResult::from_output(CompileOutput{MarkdownOutput{"x\n", map}}, {}, {});
    EXPECT_EQ(CoreCompileResult::to_canonical_json(result)->dump(),
              "{\"dependencies\":[],\"kind\":\"markdown\",\"output\":\"x\\n\",\"sourceMap\":{"
              "\"mappings\":\"AAAA\",\"names\":[],\"sources\":[\"<source>\",\"lib/a.tyx\"],"
              "\"version\":3},\"warnings\":[]}");

    map.file = "out.md";
    map.sources_content = std::vector<std::string>{"a\n", "b"};
    CoreCompileResult full =
        CoreCompileResult::from_output(CompileOutput{MarkdownOutput{"x\n", map}}, {}, {});
    EXPECT_EQ((*CoreCompileResult::to_canonical_json(full))["sourceMap"].dump(),
              "{\"file\":\"out.md\",\"mappings\":\"AAAA\",\"names\":[],\"sources\":[\"<source>\","
              "\"lib/a.tyx\"],\"sourcesContent\":[\"a\\n\",\"b\"],\"version\":3}");
}

TEST(CanonicalJson, Messages) {
    CoreCompileResult result = CoreCompileResult::from_output(
        CompileOutput{std::vector<Message>{{"system", "Be\nbrief"}, {"user", "Hi\u202e"}}}, {"w"},
        {"k"});
    EXPECT_EQ(CoreCompileResult::to_canonical_json(result)->dump(),
              "{\"dependencies\":[\"k\"],\"kind\":\"messages\",\"messages\":[{\"content\":"
              "\"Be\\nbrief\",\"role\":\"system\"},{\"content\":\"Hi\u202e\",\"role\":\"user\"}],"
              "\"warnings\":[\"w\"]}");
}

}  // namespace
}  // namespace tyx
