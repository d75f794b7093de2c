#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "core/lint/diagnostic.h"
#include "core/owned_json.h"
#include "core/resolver/lib.h"

// Every allocation of this test program is counted, and from `failing_from` on each one fails,
// so that a test can run out of memory at each allocation in turn.
namespace {
long allocations = 0;
long failing_from = -1;
}  // namespace

void* operator new(std::size_t size) {
    if (failing_from >= 0 && allocations >= failing_from) throw std::bad_alloc();
    ++allocations;
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
// Not inlined, so that the compiler does not pair free() with the new expressions it would be
// inlined into.
[[gnu::noinline]] void operator delete(void* block) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace tyx {
namespace {

using Json = nlohmann::json;

// The allocations that `work` makes.
long allocations_of(const std::function<void()>& work) {
    const long before = allocations;
    work();
    return allocations - before;
}

// Runs `build` with every allocation failing from the first, then from the second, and so on
// until one run needs no more. A run that fails must end in bad_alloc: a value destroyed while
// the failure unwinds that allocated again would end the test program instead.
void run_out_of_memory_at_each_allocation(const std::function<void()>& build) {
    for (long count = 0;; ++count) {
        allocations = 0;
        failing_from = count;
        bool finished = false;
        try {
            build();
            finished = true;
        } catch (const std::bad_alloc&) {
        }
        failing_from = -1;
        if (finished) return;
    }
}

Json nested_value() {
    Json value = Json::object();
    for (int i = 0; i < 4; ++i) {
        Json& row = value["row" + std::to_string(i)];
        for (int j = 0; j < 3; ++j)
            row.push_back(Json{{"a", Json::array({1, "two", Json::array({3.5, nullptr})})}});
    }
    return value;
}

TEST(OwnedJson, IsDestroyedWithoutAllocating) {
    auto owned = std::make_unique<OwnedJson>(nested_value());
    EXPECT_EQ(allocations_of([&] { owned.reset(); }), 0);
}

TEST(OwnedJson, CopyIsEqual) {
    const Json from = nested_value();
    OwnedJson copy;
    copy_json(from, *copy);
    EXPECT_EQ(*copy, from);
}

TEST(OwnedJson, BuildersRunOutOfMemoryCleanly) {
    const Json from = nested_value();
    run_out_of_memory_at_each_allocation([&] {
        OwnedJson copy;
        copy_json(from, *copy);
    });

    SourceMap map{
        "out.md", {"<source>", "a.tyx"}, std::vector<std::string>{"a", "b"}, {"n"}, "AAAA"};
    const CoreCompileResult markdown = CoreCompileResult::from_output(
        CompileOutput{MarkdownOutput{"text", map}}, {"w1", "w2"}, {"d1", "d2"});
    const CoreCompileResult messages = CoreCompileResult::from_output(
        CompileOutput{std::vector<Message>{{"system", "a"}, {"user", "b"}, {"user", "c"}}}, {"w"},
        {"d"});
    for (const CoreCompileResult* result : {&markdown, &messages}) {
        run_out_of_memory_at_each_allocation(
            [&] { OwnedJson canonical = CoreCompileResult::to_canonical_json(*result); });
    }

    LintResult lint;
    for (const char* file : {"a.tyx", "b.tyx"}) {
        for (uint64_t offset = 0; offset < 3; ++offset) {
            LintDiagnostic diagnostic;
            diagnostic.rule = "empty-block";
            diagnostic.message = "empty";
            diagnostic.help = "fill it";
            diagnostic.file = file;
            diagnostic.span = LintSpan{offset, 1, 1, offset + 1};
            diagnostic.fix_edits = std::vector<FixEdit>{{"x", offset, offset + 1}, {"y", 0, 0}};
            lint.diagnostics.push_back(diagnostic);
        }
    }
    run_out_of_memory_at_each_allocation(
        [&] { OwnedJson report = LintResult::to_canonical_json(lint); });
}

}  // namespace
}  // namespace tyx
