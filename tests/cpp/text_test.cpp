#include "core/text.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

namespace tyx {
namespace {

TEST(WhiteSpace, MatchesTheUnicodeProperty) {
    for (char32_t c = 0; c < 0x3100; ++c) {
        EXPECT_EQ(is_white_space(c), static_cast<bool>(u_isUWhiteSpace(static_cast<UChar32>(c))))
            << std::hex << static_cast<uint32_t>(c);
    }
}

TEST(WhiteSpace, Trims) {
    struct Case {
        std::string_view text, both, leading, trailing;
    } cases[] = {
        {"", "", "", ""},
        {"\xe3\x80\x80 a b\t\n", "a b", "a b\t\n", "\xe3\x80\x80 a b"},
        {"\xff ", "\xff", "\xff ", "\xff"},  // a malformed byte is not white space
        {"\xc2\x85x\xe2\x80\xaf", "x", "x\xe2\x80\xaf", "\xc2\x85x"},
        {"\xe2\x80\x8b", "\xe2\x80\x8b", "\xe2\x80\x8b", "\xe2\x80\x8b"},  // U+200B is not
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trim_white_space(c.text), c.both);
        EXPECT_EQ(trim_leading_white_space(c.text), c.leading);
        EXPECT_EQ(trim_trailing_white_space(c.text), c.trailing);
    }
    EXPECT_TRUE(is_white_space_only(" \n\xc2\xa0"));
    EXPECT_FALSE(is_white_space_only(" x "));
    EXPECT_TRUE(is_white_space_only(""));
}

}  // namespace
}  // namespace tyx
