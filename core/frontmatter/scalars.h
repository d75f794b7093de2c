// How the core schema reads a plain scalar: the null and boolean words and the number forms,
// integers of up to 128 bits and floats. Only the frontmatter's own files include it.
#pragma once

#include <optional>
#include <string_view>

namespace tyx::frontmatter {

__extension__ typedef unsigned __int128 Uint128;

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

enum class IntegerShape { NotInteger, LeadingZero, Integer };

struct IntegerForm {
    IntegerShape shape = IntegerShape::NotInteger;
    bool negative = false;
    // Beyond 128 bits the magnitude is not kept.
    bool beyond_128_bits = false;
    Uint128 magnitude = 0;
};

IntegerForm parse_integer_form(std::string_view text);

// The float of a float form, or nothing when the text is no float form with a finite value.
std::optional<double> parse_float_form(std::string_view text);

bool is_null_word(std::string_view text);
std::optional<bool> bool_word(std::string_view text);

}  // namespace tyx::frontmatter
