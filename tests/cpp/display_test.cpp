#include "core/display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tyx {
namespace {

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

size_t count_chars(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

struct Case {
    std::string input;
    std::string escaped;
    std::string neutralized;
};

TEST(Display, EdgeCases) {
    const std::string nbsp = "\xC2\xA0";
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<Case> cases = {
        {"", "", ""},
        {"a\tb", "a\tb", "a\tb"},
        {"a\nb", "a\\u000Ab", "a\nb"},
        {"\r", "\\u000D", "?"},
        {"one\r\ntwo\r\n", "one\\u000D\\u000Atwo\\u000D\\u000A", "one?\ntwo?\n"},
        {std::string("\0x", 2), "\\u0000x", "?x"},
        {"\x1B[2J", "\\u001B[2J", "?[2J"},
        {"\x7F", "\\u007F", "?"},
        {utf8(0x80), "\\u0080", nbsp},
        {utf8(0x85), "\\u0085", nbsp},
        {utf8(0x9F), "\\u009F", nbsp},
        {utf8(0x061C), "\\u061C", nbsp},
        {utf8(0x200E) + utf8(0x200F), "\\u200E\\u200F", fffd + fffd},
        {utf8(0x2028), "\\u2028", fffd},
        {utf8(0x202E), "\\u202E", fffd},
        {utf8(0x2066) + utf8(0x2069), "\\u2066\\u2069", fffd + fffd},
        {utf8(0xFEFF) + "x", "\\uFEFFx", fffd + "x"},
        {"x" + utf8(0x202E) + "y\nz", "x\\u202Ey\\u000Az", "x" + fffd + "y\nz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.escaped);
        EXPECT_EQ(escape_for_display(c.input), c.escaped);
        EXPECT_EQ(escape_for_display(std::string(c.input)), c.escaped);
        EXPECT_EQ(neutralize_source_for_render(c.input), c.neutralized);
    }
}

TEST(Display, NeighboursOfTheRangesAreKept) {
    // Each of these shares a lead byte with an escaped character, or sits next to a range.
    const std::vector<char32_t> kept = {0x20,   0x7E,   0xA0,   0xE9,   0xFF,   0x061B, 0x061D,
                                        0x0600, 0x200D, 0x2010, 0x2014, 0x2019, 0x2027, 0x202F,
                                        0x2065, 0x206A, 0x20AC, 0xFEFE, 0xFF01, 0xFFFD, 0x1F600};
    for (char32_t c : kept) {
        const std::string text = "<" + utf8(c) + ">";
        SCOPED_TRACE(text);
        EXPECT_EQ(escape_for_display(text), text);
        EXPECT_EQ(neutralize_source_for_render(text), text);
    }
}

TEST(Display, EveryEscapedCodePoint) {
    std::vector<char32_t> escaped;
    for (char32_t c = 0; c < 0x20; ++c) {
        if (c != '\t') escaped.push_back(c);
    }
    for (char32_t c = 0x7F; c <= 0x9F; ++c)
        escaped.push_back(c);
    escaped.insert(escaped.end(), {0x061C, 0x200E, 0x200F});
    for (char32_t c = 0x2028; c <= 0x202E; ++c)
        escaped.push_back(c);
    for (char32_t c = 0x2066; c <= 0x2069; ++c)
        escaped.push_back(c);
    escaped.push_back(0xFEFF);
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char32_t c : escaped) {
        std::string expected = "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            expected += kHex[(c >> shift) & 0xF];
        const std::string input = utf8(c);
        SCOPED_TRACE(expected);
        EXPECT_EQ(escape_for_display(input), expected);
        const std::string neutral = neutralize_source_for_render(input);
        EXPECT_EQ(neutral.size(), input.size());
        if (c == '\n') {
            EXPECT_EQ(neutral, "\n");
        } else {
            EXPECT_NE(neutral, input);
        }
    }
}

TEST(Display, MovedInputIsReturnedWithoutCopying) {
    // Long enough to live on the heap, so the buffer's identity shows whether it was copied.
    std::string text(200, 'a');
    text += "\t";
    const char* buffer = text.data();
    const std::string clean = escape_for_display(std::move(text));
    EXPECT_EQ(clean.data(), buffer);

    std::string candidate(200, 'a');
    candidate += utf8(0x2014);  // lead byte 0xE2, yet kept
    const char* candidate_buffer = candidate.data();
    const std::string moved = escape_for_display(std::move(candidate));
    EXPECT_EQ(moved.data(), candidate_buffer);

    std::string dirty(200, 'a');
    dirty += '\r';
    EXPECT_EQ(escape_for_display(std::move(dirty)), std::string(200, 'a') + "\\u000D");
    EXPECT_EQ(escape_for_display("literal\n"), "literal\\u000A");
}

TEST(Display, IllFormedBytesAreCopiedAsTheyStand) {
    const std::vector<std::string> inputs = {
        "\xC2",         // lead at the end
        "\xC2x",        // lead without continuation
        "\xE2\x80",     // truncated three-byte sequence
        "\xE2\x80x",    // broken three-byte sequence
        "\xEF\xBB",     // truncated U+FEFF
        "\x80\x85\x9F"  // stray continuation bytes
    };
    for (const std::string& input : inputs) {
        EXPECT_EQ(escape_for_display(input), input);
        EXPECT_EQ(neutralize_source_for_render(input), input);
    }
    EXPECT_EQ(escape_for_display(std::string("\xE2\x80\xAE\xC2", 4)), "\\u202E\xC2");
}

TEST(Display, NeutralizingKeepsLengthCharactersAndLines) {
    std::string input;
    for (char32_t c = 0; c < 0x300; ++c)
        input += utf8(c);
    for (char32_t c = 0x2000; c < 0x2100; ++c)
        input += utf8(c);
    input += utf8(0xFEFF) + "\r\n" + utf8(0x10FFFF) + "\n";
    const std::optional<std::string> checked = neutralize_source_for_render_checked(input);
    ASSERT_TRUE(checked.has_value());
    const std::string& output = *checked;
    EXPECT_EQ(output, neutralize_source_for_render(input));
    EXPECT_EQ(output.size(), input.size());
    EXPECT_EQ(count_chars(output), count_chars(input));
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'),
              std::count(input.begin(), input.end(), '\n'));
    // Nothing dangerous is left, so escaping finds only the line feeds.
    std::string without_feeds = output;
    std::erase(without_feeds, '\n');
    EXPECT_EQ(escape_for_display(without_feeds), without_feeds);
}

}  // namespace
}  // namespace tyx
