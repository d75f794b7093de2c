#include "core/lint/lint_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "core/lint/lint.h"

namespace tyx {
namespace {

namespace fs = std::filesystem;

class Directory {
  public:
    Directory() {
        std::string pattern = (fs::temp_directory_path() / "vorpel-lint-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern).string();
        write(".tyxroot", "");
    }
    ~Directory() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    std::string write(const std::string& relative, const std::string& text) const {
        std::ofstream(path(relative), std::ios::binary) << text;
        return path(relative);
    }

  private:
    std::string root_;
};

std::string report_of(const Result<LintResult>& result) {
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : format_error_message(result.error()));
    return result.ok() ? LintResult::to_canonical_json(*result)->dump() : "<failed>";
}

std::string engine_report(std::string_view source, std::string_view file,
                          const RuleSeverityMap& rules = {}) {
    return report_of(lint_source(source, file, rules));
}

void expect_error(const Result<LintResult>& result, ErrorKind kind, const std::string& message) {
    ASSERT_FALSE(result.ok()) << "expected: " << message;
    EXPECT_EQ(result.error().kind, kind);
    EXPECT_EQ(format_error_message(result.error()), message);
}

// One template that several rules report on, and the variable its gate needs.
constexpr std::string_view kFindings =
    "---\ntitle: t\n---\n@if name:\n@end\n@for x in xs:\n{x}\n@end\n{{ name }}\n";

VarsMap gate_vars() {
    return VarsMap{{"name", Value::string("n")}, {"xs", Value::array({Value::number(1)})}};
}

TEST(LintEntry, CleanGateGivesTheEngineReport) {
    const VarsMap vars = gate_vars();
    const RuleSeverityMap rules{{"shadow-variable", Severity::Info}, {"nope", Severity::Off}};
    const std::string expected = engine_report(kFindings, "input.tyx", rules);
    EXPECT_NE(expected.find("\"rule\":\"unused-variable\""), std::string::npos) << expected;
    EXPECT_EQ(report_of(lint_source_text(kFindings, BaseDirectory{"/"}, &vars, rules)), expected);

    Directory directory;
    const std::string page = directory.write("_page.tyx", std::string(kFindings));
    EXPECT_EQ(report_of(lint_entry_path(page, &vars, rules)),
              engine_report(kFindings, "_page.tyx", rules));

    ModuleMap modules{{"a/b.tyx", std::string(kFindings)}, {"other.tyx", "{{ never_compiled"}};
    EXPECT_EQ(report_of(lint_entry_key(std::move(modules), "a/b.tyx", &vars, rules)),
              engine_report(kFindings, "a/b.tyx", rules));
}

TEST(LintEntry, FailedGateIsTheCompileErrorAndNothingIsLinted) {
    const VarsMap none;
    expect_error(lint_source_text(kFindings, BaseDirectory{"/"}, &none, {}),
                 ErrorKind::UndefinedVar, "undefined variable 'name'");

    Directory directory;
    const std::string page = directory.write("page.tyx", "{{ missing }}");
    expect_error(lint_entry_path(page, &none, {}), ErrorKind::UndefinedVar,
                 "undefined variable 'missing'");
    expect_error(lint_entry_path(directory.path("absent.tyx"), &none, {}), ErrorKind::FileNotFound,
                 "file not found: " + directory.path("absent.tyx"));

    // An entry outside the map is refused before anything is compiled.
    Result<LintResult> outside = lint_entry_key(ModuleMap{{"a.tyx", "{{ x"}}, "b.tyx", &none, {});
    expect_error(outside, ErrorKind::ModuleNotFound,
                 "module 'b.tyx' is not in the virtual module map");
    EXPECT_FALSE(outside.error().location.span.has_value());
    expect_error(lint_entry_key(ModuleMap{{"a.tyx", "{{ x }}"}}, "a.tyx", &none, {}),
                 ErrorKind::UndefinedVar, "undefined variable 'x'");
}

TEST(LintEntry, FileNameIsTheLastComponent) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"page.tyx", "page.tyx"},
        {"dir/page.tyx", "page.tyx"},
        {"/abs/dir/_page.tyx", "_page.tyx"},
        {"dir/page.tyx/", "page.tyx"},
        {"dir/./", "dir"},
        {"dir/..", "dir/.."},
        {"..", ".."},
        {"/", "/"},
        {"", ""},
    };
    for (const auto& [path, name] : cases)
        EXPECT_EQ(lint_file_name(path), name) << path;
}

TEST(ReadLintFile, ReadsTheWholeText) {
    Directory directory;
    const std::string limit(MAX_SOURCE_SIZE, 'a');
    Result<std::string> read = read_lint_file(directory.write("limit.tyx", limit));
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, limit);
    read = read_lint_file(directory.write("empty.tyx", ""));
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, "");
}

TEST(ReadLintFile, FailuresNameThePathAsGiven) {
    Directory directory;
    const std::string big = directory.write("big.tyx", std::string(MAX_SOURCE_SIZE + 1, 'a'));
    const std::string bad = directory.write("bad.tyx", "a\xff");
    const std::string fifo = directory.path("fifo.tyx");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string link = directory.path("link.tyx");
    fs::create_symlink(bad, link);

    auto expect_read_error = [](const std::string& path, ErrorKind kind,
                                const std::string& message) {
        Result<std::string> read = read_lint_file(path);
        ASSERT_FALSE(read.ok()) << path;
        EXPECT_EQ(read.error().kind, kind);
        EXPECT_EQ(format_error_message(read.error()), message);
        EXPECT_FALSE(read.error().location.span.has_value());
    };
    expect_read_error(
        directory.path("absent.tyx"), ErrorKind::Io,
        "cannot read " + directory.path("absent.tyx") + ": No such file or directory");
    expect_read_error(directory.path(""), ErrorKind::Io,
                      "cannot read " + directory.path("") + ": Is a directory");
    expect_read_error(std::string("a\0b", 3), ErrorKind::Io,
                      std::string("cannot read a\0b", 15) + ": Invalid argument");
    expect_read_error(big, ErrorKind::ResourceLimit,
                      "resource limit exceeded: file too large (10485761 bytes, max 10485760 "
                      "bytes): " +
                          big);
    expect_read_error(
        bad, ErrorKind::Io,
        "invalid UTF-8 in " + bad + ": invalid utf-8 sequence of 1 bytes from index 1");
    // Neither blocks on a FIFO nor follows a link that replaced the checked file.
    expect_read_error(fifo, ErrorKind::Io, "cannot read " + fifo + ": not a regular file");
    expect_read_error(link, ErrorKind::Io,
                      "cannot read " + link + ": Too many levels of symbolic links");
}

}  // namespace
}  // namespace tyx
