// The builtin functions that templates call by name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/limits.h"
#include "core/result.h"
#include "core/value.h"

namespace tyx {

// The most pieces one `split` call may produce.
inline constexpr std::size_t MAX_SPLIT_PIECES = 100'000;

// Receives the evaluated arguments, already within the row's argument counts, and charges its
// work to `work` before doing it.
using BuiltinFn = Result<Value> (*)(std::span<const Value> arguments, WorkBudget& work);

struct BuiltinSpec {
    std::string_view name;
    BuiltinFn handler = nullptr;
    uint64_t min_args = 0;
    uint64_t max_args = 0;
};

inline constexpr std::size_t kBuiltinCount = 18;

// In their fixed order: upper, lower, trim, replace, split, starts_with, ends_with, slice,
// contains, join, length, first, last, reverse, sort, unique, string, number.
extern const std::array<BuiltinSpec, kBuiltinCount> BUILTINS;

// Exact, case-sensitive; nullptr for any other name.
const BuiltinSpec* lookup_builtin(std::string_view name);

// "{function}() requires a {expected} argument[ for {ordinal}], got {got}"; the ordinal is
// shown only for builtins that take more than one argument.
CompileError builtin_type_error(std::string_view function, std::string_view ordinal,
                                std::string_view expected, std::string_view got);

// The float text of a number (see append_float_text in core/value.h).
std::string float_text(double number);

// Charges the work of producing the display text of `value` (see append_value_text in
// core/value.h): a string's bytes; for another value, its text's bytes, measured first within
// what the budget has left, and ELEMENT_WORK for each element or entry met.
Status charge_display(const Value& value, WorkBudget& work);

// Charges the work of comparing `a` with `b` by values_equal: the bytes of the strings and the
// elements and entries of the smaller side, which bounds what the comparison reads.
Status charge_comparison(const Value& a, const Value& b, WorkBudget& work);

// The number of characters (Unicode scalar values) of a UTF-8 text.
std::size_t count_characters(std::string_view text);

}  // namespace tyx
