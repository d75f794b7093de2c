#include "core/frontmatter/scalars.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace tyx::frontmatter {
namespace {

int digit_value(char c, int radix) {
    int value = 99;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    return value < radix ? value : -1;
}

// Strips one optional sign; a sign followed by another sign is no number.
bool take_sign(std::string_view& text, bool& negative) {
    negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) return false;
    }
    return true;
}

// The standard decimal syntax: digits with an optional fraction and exponent, or a fraction
// alone. Words such as inf or nan are not part of it.
bool is_decimal_float_syntax(std::string_view text) {
    bool negative = false;
    if (!take_sign(text, negative)) return false;
    size_t i = 0;
    size_t integer_digits = 0;
    while (i < text.size() && is_digit(text[i]))
        ++i, ++integer_digits;
    size_t fraction_digits = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i]))
            ++i, ++fraction_digits;
    }
    if (integer_digits + fraction_digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        size_t exponent_digits = 0;
        while (i < text.size() && is_digit(text[i]))
            ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == text.size();
}

// Whether an unsigned decimal text that the float parser found out of range lies below the
// smallest float (and so reads as zero) rather than above the largest.
bool underflows(std::string_view text) {
    int64_t integer_digits = 0;
    int64_t digit_index = 0;
    int64_t first_nonzero = -1;
    bool seen_point = false;
    size_t i = 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] == '.') {
            seen_point = true;
            continue;
        }
        if (!seen_point) ++integer_digits;
        if (first_nonzero < 0 && text[i] != '0') first_nonzero = digit_index;
        ++digit_index;
    }
    if (first_nonzero < 0) return true;
    int64_t exponent = 0;
    if (i < text.size()) {
        std::string_view digits = text.substr(i + 1);
        bool negative = false;
        if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
            negative = digits.front() == '-';
            digits.remove_prefix(1);
        }
        // Saturates far beyond any float's range, which is all the sign test needs.
        for (char c : digits) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (c - '0');
        }
        if (negative) exponent = -exponent;
    }
    return integer_digits - 1 - first_nonzero + exponent < 0;
}

}  // namespace

IntegerForm parse_integer_form(std::string_view text) {
    IntegerForm form;
    if (!take_sign(text, form.negative)) return form;
    int radix = 10;
    if (text.size() >= 2 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'o' || text[1] == 'b')) {
        radix = text[1] == 'x' ? 16 : text[1] == 'o' ? 8 : 2;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0' && is_digit(text[1])) {
        bool all_digits = true;
        for (char c : text)
            all_digits = all_digits && is_digit(c);
        if (all_digits) form.shape = IntegerShape::LeadingZero;
        return form;
    }
    if (text.empty()) return form;
    for (char c : text) {
        const int digit = digit_value(c, radix);
        if (digit < 0) return form;
        if (form.beyond_128_bits) continue;
        const Uint128 limit =
            (~Uint128(0) - static_cast<Uint128>(digit)) / static_cast<Uint128>(radix);
        if (form.magnitude > limit) {
            form.beyond_128_bits = true;
            continue;
        }
        form.magnitude = form.magnitude * static_cast<Uint128>(radix) + static_cast<Uint128>(digit);
    }
    form.shape = IntegerShape::Integer;
    return form;
}

// The float of a float form, or nothing when the text is no float form with a finite value.
std::optional<double> parse_float_form(std::string_view text) {
    static constexpr std::string_view kPositiveInfinity[] = {".inf",  ".Inf",  ".INF",
                                                             "+.inf", "+.Inf", "+.INF"};
    static constexpr std::string_view kNegativeInfinity[] = {"-.inf", "-.Inf", "-.INF"};
    static constexpr std::string_view kNaN[] = {".nan", ".NaN", ".NAN"};
    for (std::string_view word : kPositiveInfinity) {
        if (text == word) return std::numeric_limits<double>::infinity();
    }
    for (std::string_view word : kNegativeInfinity) {
        if (text == word) return -std::numeric_limits<double>::infinity();
    }
    for (std::string_view word : kNaN) {
        if (text == word) return std::numeric_limits<double>::quiet_NaN();
    }
    if (!is_decimal_float_syntax(text)) return std::nullopt;
    std::string_view digits = text;
    if (digits.front() == '+') digits.remove_prefix(1);
    const bool negative = digits.front() == '-';
    double number = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec == std::errc::result_out_of_range) {
        if (!underflows(negative ? digits.substr(1) : digits)) return std::nullopt;
        return negative ? -0.0 : 0.0;
    }
    if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(number)) {
        return std::nullopt;
    }
    return number;
}

bool is_null_word(std::string_view text) {
    return text == "~" || text == "null" || text == "Null" || text == "NULL";
}

std::optional<bool> bool_word(std::string_view text) {
    if (text == "true" || text == "True" || text == "TRUE") return true;
    if (text == "false" || text == "False" || text == "FALSE") return false;
    return std::nullopt;
}

}  // namespace tyx::frontmatter
