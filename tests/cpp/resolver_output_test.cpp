#include "core/resolver/output.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tyx {
namespace {

TEST(FinalizeOutput, Cases) {
    struct Case {
        std::string rendered;
        std::string finished;
    };
    const std::vector<Case> cases = {
        {"a\r\nb\r\n\r\n  \r\n", "a\nb\n"},
        {"   \n\t\n", ""},
        {"", ""},
        {"x", "x\n"},
        {"x\n\n\n", "x\n"},
        // Carriage returns go wherever they stand, not only before line feeds.
        {"a\rb", "ab\n"},
        // Unicode white space: NO-BREAK SPACE, IDEOGRAPHIC SPACE, LINE SEPARATOR, NEL.
        {"x\xc2\xa0\xe3\x80\x80\xe2\x80\xa8\xc2\x85", "x\n"},
        // A ZERO WIDTH SPACE is not White_Space and stays.
        {"x\xe2\x80\x8b", "x\xe2\x80\x8b\n"},
        {"  lead\n", "  lead\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(finalize_output(c.rendered), c.finished) << c.rendered;
}

TEST(PrependFrontmatter, Cases) {
    struct Case {
        std::optional<std::string> frontmatter;
        std::string output;
    };
    const std::string body = "Body\n";
    const std::vector<Case> cases = {
        {std::nullopt, "Body\n"},
        {"", "Body\n"},
        {"title: x\nimports:\n  - path: ./a.tyx\n    as: a\n\ntype: tyx\nlang: en",
         "---\ntitle: x\nlang: en\n---\nBody\n"},
        {"type: 'tyx'\nk: v", "---\nk: v\n---\nBody\n"},
        {"type: \"tyx\"\nk: v", "---\nk: v\n---\nBody\n"},
        {"type:tyx\nk: v", "---\nk: v\n---\nBody\n"},
        {"type: Tyx\ntype: tyx # note", "---\ntype: Tyx\ntype: tyx # note\n---\nBody\n"},
        // An indented type line outside the imports block is copied.
        {"meta:\n  type: tyx", "---\nmeta:\n  type: tyx\n---\nBody\n"},
        {"imports:\n  - path: ./a.tyx", "Body\n"},
        {"type: tyx\n", "Body\n"},
        // A blank line inside the imports block goes; one elsewhere stays unless at an end.
        {"imports:\n  - path: ./a.tyx\n\n  - path: ./b.tyx\nk: v", "---\nk: v\n---\nBody\n"},
        {"a: 1\n\nb: 2\n\n", "---\na: 1\n\nb: 2\n---\nBody\n"},
        {"\n\na: 1", "---\na: 1\n---\nBody\n"},
        // Carriage returns before line feeds go with them.
        {"a: 1\r\nb: 2\r\n", "---\na: 1\nb: 2\n---\nBody\n"},
        // An imports list at the margin, its entries and the comments between them go too.
        {"title: x\nimports:\n- path: ./a.tyx\n  as: a\n# note\n- path: ./b.tyx\n  as: b\nlang: en",
         "---\ntitle: x\nlang: en\n---\nBody\n"},
        {"imports:\n-\n  path: ./a.tyx\n-\tpath: ./b.tyx\n#\nk: v", "---\nk: v\n---\nBody\n"},
        // Outside the imports block such lines are copied; "-x" begins no entry.
        {"# top\n- a\nimports:\n-x: 1", "---\n# top\n- a\n-x: 1\n---\nBody\n"},
        // The keys must stand at the very start, the colon right after them, and a key must end
        // at the colon.
        {"imports :\n  x\nImports: y", "---\nimports :\n  x\nImports: y\n---\nBody\n"},
        {"imports:x: 1\n- a", "---\nimports:x: 1\n- a\n---\nBody\n"},
        {"imports:\t[]\nk: v", "---\nk: v\n---\nBody\n"},
        {"type : tyx", "---\ntype : tyx\n---\nBody\n"},
        // Only whole blank lines are trimmed at both ends; the lines kept keep their white space.
        {"imports: []\ntype: tyx\n  indented", "---\n  indented\n---\nBody\n"},
        {"  title: x\n  lang: en", "---\n  title: x\n  lang: en\n---\nBody\n"},
        {"name: abc\u00a0", "---\nname: abc\u00a0\n---\nBody\n"},
        {"\n \t\n\u3000\ntitle: x \n\u2009\n\n", "---\ntitle: x \n---\nBody\n"},
        {" \n\u3000", "Body\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(prepend_frontmatter(c.frontmatter, body), c.output)
            << c.frontmatter.value_or("<none>");
    }
    // An all-blank body with frontmatter gives the frontmatter block alone.
    EXPECT_EQ(prepend_frontmatter("t: 1", finalize_output(" \n")), "---\nt: 1\n---\n");
}

}  // namespace
}  // namespace tyx
