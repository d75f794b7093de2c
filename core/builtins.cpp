#include "core/builtins.h"

#include "core/format.h"
#include "core/keyed_tables.h"
#include "core/text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <variant>

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/utypes.h>

namespace tyx {
namespace {

// ICU measures texts in int32_t, so a case mapping cannot take more bytes than this.
inline constexpr std::size_t MAX_CASE_MAPPING_INPUT =
    static_cast<std::size_t>(std::numeric_limits<int32_t>::max());

// Arrays up to this length are sorted by insertion, which beats the general sort there.
inline constexpr std::size_t kInsertionSortMax = 20;

constexpr std::string_view kOrdinals[] = {"first", "second", "third"};

CompileError builtin_error(std::string message) {
    return CompileError::of(ErrorKind::Builtin, std::move(message));
}

CompileError internal_error(std::string_view what) {
    return new_syntax_error(std::string("internal error: ") + std::string(what));
}

// The first occurrence of a non-empty needle at or after `from`. glibc's memmem is linear in
// the worst case (two-way search), where a plain find could take text length times needle
// length for a crafted pair.
std::size_t find_bytes(std::string_view haystack, std::string_view needle, std::size_t from) {
    const void* hit =
        memmem(haystack.data() + from, haystack.size() - from, needle.data(), needle.size());
    if (hit == nullptr) return std::string_view::npos;
    return static_cast<std::size_t>(static_cast<const char*>(hit) - haystack.data());
}

bool is_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The byte offset reached after skipping `count` characters from the character start `from`.
std::size_t skip_characters(std::string_view text, std::size_t from, uint64_t count) {
    std::size_t pos = from;
    for (uint64_t skipped = 0; skipped < count && pos < text.size(); ++skipped) {
        ++pos;
        while (pos < text.size() && is_continuation(text[pos]))
            ++pos;
    }
    return pos;
}

// The argument at `index` as text, or the type error naming its ordinal.
Result<std::string_view> string_argument(std::span<const Value> arguments, std::size_t index,
                                         std::string_view function) {
    const Value& argument = arguments[index];
    if (argument.is_string()) return std::string_view(argument.as_string());
    return builtin_type_error(function, kOrdinals[index], "string", argument.type_name());
}

// Measures display texts (see append_value_text in core/value.h) before they are built, charging
// the walk as it goes: ELEMENT_WORK for every value met and the bytes of every text. Frontmatter
// aliases can make a small value display as gigabytes, so the bytes are also held to a limit of
// their own, across every value added.
class DisplayMeasure {
  public:
    DisplayMeasure(WorkBudget& work, std::size_t byte_limit)
        : work_(work), byte_limit_(byte_limit) {}

    // Adds the display text of `value`; false once the bytes pass the limit, when the walk
    // stops. Fails when the budget would be passed first.
    Result<bool> add(const Value& value) {
        TYX_TRY(work_.charge_elements(1));
        switch (value.kind()) {
            case Value::Kind::String:
                return add_bytes(value.as_string().size());
            case Value::Kind::Number:
                scratch_.clear();
                append_number_text(value.as_number(), scratch_);
                return add_bytes(scratch_.size());
            case Value::Kind::Bool:
                return add_bytes(value.as_bool() ? 4 : 5);
            case Value::Kind::Null:
                return true;
            case Value::Kind::Array: {
                const ValueArray& items = value.as_array();
                for (std::size_t i = 0; i < items.size(); ++i) {
                    if (i != 0) {
                        TYX_ASSIGN_OR_RETURN(const bool fits, add_bytes(2));
                        if (!fits) return false;
                    }
                    TYX_ASSIGN_OR_RETURN(const bool fits, add(items[i]));
                    if (!fits) return false;
                }
                return true;
            }
            case Value::Kind::Object: {
                const ValueObject& entries = value.as_object();
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    TYX_ASSIGN_OR_RETURN(const bool fits,
                                         add_bytes(entries[i].first.size() + (i != 0 ? 4 : 2)));
                    if (!fits) return false;
                    TYX_ASSIGN_OR_RETURN(const bool value_fits, add(entries[i].second));
                    if (!value_fits) return false;
                }
                return true;
            }
        }
        return true;
    }

  private:
    Result<bool> add_bytes(std::size_t count) {
        if (count > byte_limit_ - bytes_) return false;
        TYX_TRY(work_.charge(count));
        bytes_ += count;
        return true;
    }

    WorkBudget& work_;
    std::size_t byte_limit_;
    std::size_t bytes_ = 0;
    std::string scratch_;
};

// What values_equal reads of `value` when it meets a value of the same shape: its texts, keys
// and ELEMENT_WORK for every element and entry below it; any number above `cap` once the walk
// passes it.
uint64_t read_work(const Value& value, uint64_t cap) {
    switch (value.kind()) {
        case Value::Kind::String:
            return value.as_string().size();
        case Value::Kind::Array: {
            uint64_t total = 0;
            for (const Value& item : value.as_array()) {
                if (total > cap) break;
                total += ELEMENT_WORK + read_work(item, cap - total);
            }
            return total;
        }
        case Value::Kind::Object: {
            uint64_t total = 0;
            for (const auto& [key, item] : value.as_object()) {
                if (total > cap) break;
                total += ELEMENT_WORK + key.size() + read_work(item, cap - total);
            }
            return total;
        }
        default:
            return 0;
    }
}

enum class CaseMapping { Upper, Lower };

Result<Value> map_case(std::span<const Value> arguments, std::string_view function,
                       CaseMapping mapping, WorkBudget& work) {
    TYX_ASSIGN_OR_RETURN(const std::string_view text, string_argument(arguments, 0, function));
    // Read once and written once; a mapping that lengthens the text is rare and by little.
    TYX_TRY(work.charge(2 * uint64_t{text.size()}));
    if (is_ascii(text)) {
        std::string out(text);
        for (char& c : out) {
            if (mapping == CaseMapping::Upper && c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 32);
            if (mapping == CaseMapping::Lower && c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        }
        return Value::string(std::move(out));
    }
    if (text.size() > MAX_CASE_MAPPING_INPUT) {
        return CompileError::of(ErrorKind::ResourceLimit,
                                std::string(function) + "() input exceeds maximum size of " +
                                    decimal(MAX_CASE_MAPPING_INPUT) + " bytes");
    }
    std::string out;
    out.reserve(text.size());
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    // The root locale: Unicode's default full mappings with Final_Sigma, no language tailoring.
    const icu::StringPiece source(text.data(), static_cast<int32_t>(text.size()));
    if (mapping == CaseMapping::Upper) {
        icu::CaseMap::utf8ToUpper("", 0, source, sink, nullptr, status);
    } else {
        icu::CaseMap::utf8ToLower("", 0, source, sink, nullptr, status);
    }
    if (U_FAILURE(status)) {
        return internal_error(std::string(function) +
                              "() case mapping failed: " + u_errorName(status));
    }
    return Value::string(std::move(out));
}

Result<Value> builtin_upper(std::span<const Value> arguments, WorkBudget& work) {
    return map_case(arguments, "upper", CaseMapping::Upper, work);
}

Result<Value> builtin_lower(std::span<const Value> arguments, WorkBudget& work) {
    return map_case(arguments, "lower", CaseMapping::Lower, work);
}

Result<Value> builtin_trim(std::span<const Value> arguments, WorkBudget& work) {
    TYX_ASSIGN_OR_RETURN(const std::string_view text, string_argument(arguments, 0, "trim"));
    // A text of white space only is read whole.
    TYX_TRY(work.charge(text.size()));
    const std::string_view trimmed = trim_white_space(text);
    if (trimmed.size() == text.size()) return arguments[0];
    TYX_TRY(work.charge(trimmed.size()));
    return Value::string(std::string(trimmed));
}

Result<Value> builtin_replace(std::span<const Value> arguments, WorkBudget& work) {
    TYX_ASSIGN_OR_RETURN(const std::string_view text, string_argument(arguments, 0, "replace"));
    TYX_ASSIGN_OR_RETURN(const std::string_view search, string_argument(arguments, 1, "replace"));
    TYX_ASSIGN_OR_RETURN(const std::string_view replacement,
                         string_argument(arguments, 2, "replace"));
    if (search.empty()) return builtin_error("replace() search string must not be empty");

    const auto too_large = [] {
        return builtin_error("replace() output exceeds maximum size of " +
                             decimal(MAX_OUTPUT_SIZE) + " bytes");
    };
    // The search reads the text once, and the measuring of a growing result once more.
    TYX_TRY(work.charge(text.size()));
    std::size_t hit = find_bytes(text, search, 0);
    if (hit == std::string_view::npos) {
        if (text.size() > MAX_OUTPUT_SIZE) return too_large();
        return arguments[0];
    }
    std::size_t capacity = std::min(text.size(), MAX_OUTPUT_SIZE);
    if (replacement.size() > search.size()) {
        // A growing result is measured first, so that an oversized one fails before anything is
        // built and a fitting one is built in a single allocation.
        if (text.size() > MAX_OUTPUT_SIZE) return too_large();
        TYX_TRY(work.charge(text.size()));
        const std::size_t growth = replacement.size() - search.size();
        std::size_t size = text.size();
        for (std::size_t at = hit; at != std::string_view::npos;
             at = find_bytes(text, search, at + search.size())) {
            if (growth > MAX_OUTPUT_SIZE - size) return too_large();
            size += growth;
        }
        capacity = size;
    }
    // Every append is still checked before it is made: a shrinking result may come from a text
    // longer than the limit.
    std::string out;
    out.reserve(capacity);
    std::size_t pos = 0;
    while (true) {
        const std::size_t end = hit == std::string_view::npos ? text.size() : hit;
        if (end - pos > MAX_OUTPUT_SIZE - out.size()) return too_large();
        TYX_TRY(work.charge(end - pos));
        out.append(text.substr(pos, end - pos));
        if (hit == std::string_view::npos) break;
        if (replacement.size() > MAX_OUTPUT_SIZE - out.size()) return too_large();
        TYX_TRY(work.charge(replacement.size()));
        out.append(replacement);
        pos = hit + search.size();
        hit = find_bytes(text, search, pos);
    }
    return Value::string(std::move(out));
}

Result<Value> builtin_split(std::span<const Value> arguments, WorkBudget& work) {
    TYX_ASSIGN_OR_RETURN(const std::string_view text, string_argument(arguments, 0, "split"));
    TYX_ASSIGN_OR_RETURN(const std::string_view separator, string_argument(arguments, 1, "split"));
    if (separator.empty()) return builtin_error("split() separator must not be empty");

    TYX_TRY(work.charge(text.size()));
    ValueArray pieces;
    std::size_t pos = 0;
    while (true) {
        if (pieces.size() == MAX_SPLIT_PIECES) {
            return CompileError::of(
                ErrorKind::ResourceLimit,
                "split() result exceeds maximum of " + decimal(MAX_SPLIT_PIECES) + " elements");
        }
        const std::size_t hit = find_bytes(text, separator, pos);
        const std::size_t end = hit == std::string_view::npos ? text.size() : hit;
        TYX_TRY(work.charge_elements(1));
        TYX_TRY(work.charge(end - pos));
        if (hit == std::string_view::npos) {
            pieces.push_back(Value::string(std::string(text.substr(pos))));
            break;
        }
        pieces.push_back(Value::string(std::string(text.substr(pos, hit - pos))));
        pos = hit + separator.size();
    }
    return Value::array(std::move(pieces));
}

Result<Value> builtin_starts_with(std::span<const Value> arguments, WorkBudget& work) {
    TYX_ASSIGN_OR_RETURN(const std::string_view text, string_argument(arguments, 0, "starts_with"));
    TYX_ASSIGN_OR_RETURN(const std::string_view prefix,
                         string_argument(arguments, 1, "starts_with"));
    TYX_TRY(work.charge(prefix.size()));
    return Value::boolean(text.starts_with(prefix));
}

Result<Value> builtin_ends_with(std::span<const Value> arguments, WorkBudget& work) {
    TYX_ASSIGN_OR_RETURN(const std::string_view text, string_argument(arguments, 0, "ends_with"));
    TYX_ASSIGN_OR_RETURN(const std::string_view suffix, string_argument(arguments, 1, "ends_with"));
    TYX_TRY(work.charge(suffix.size()));
    return Value::boolean(text.ends_with(suffix));
}

Result<uint64_t> to_slice_index(const Value& bound, std::string_view ordinal) {
    if (!bound.is_number())
        return builtin_type_error("slice", ordinal, "number", bound.type_name());
    const double x = bound.as_number();
    if (!std::isfinite(x)) {
        return builtin_error("slice() " + std::string(ordinal) +
                             " argument must be a finite number, got " + float_text(x));
    }
    const double v = std::floor(std::max(x, 0.0));
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (v > kTwoTo64) {
        return builtin_error("slice() " + std::string(ordinal) +
                             " argument is too large: " + float_text(x));
    }
    if (v == kTwoTo64) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(v);
}

Result<Value> builtin_slice(std::span<const Value> arguments, WorkBudget& work) {
    const Value& value = arguments[0];
    if (!value.is_string() && !value.is_array()) {
        return builtin_type_error("slice", "first", "string or array", value.type_name());
    }
    TYX_ASSIGN_OR_RETURN(const uint64_t start, to_slice_index(arguments[1], "second"));
    std::optional<uint64_t> end;
    if (arguments.size() > 2) {
        TYX_ASSIGN_OR_RETURN(end, to_slice_index(arguments[2], "third"));
    }
    if (end && *end < start) {
        return value.is_string() ? Value::string(std::string()) : Value::array(ValueArray());
    }
    if (value.is_string()) {
        const std::string_view text = value.as_string();
        // A character takes at most four bytes, which bounds the walk to the last bound given.
        constexpr uint64_t kMaxCharacterBytes = 4;
        const uint64_t last = end ? *end : start;
        TYX_TRY(work.charge(last > text.size() / kMaxCharacterBytes ? text.size()
                                                                    : last * kMaxCharacterBytes));
        const std::size_t from = skip_characters(text, 0, start);
        const std::size_t to = end ? skip_characters(text, from, *end - start) : text.size();
        if (from == 0 && to == text.size()) return value;
        TYX_TRY(work.charge(to - from));
        return Value::string(std::string(text.substr(from, to - from)));
    }
    const ValueArray& items = value.as_array();
    const uint64_t n = items.size();
    const auto from = static_cast<std::size_t>(std::min(start, n));
    const auto to = static_cast<std::size_t>(end ? std::min(*end, n) : n);
    if (from == 0 && to == items.size()) return value;
    TYX_TRY(work.charge_elements(to - from));
    return Value::array(ValueArray(items.begin() + static_cast<std::ptrdiff_t>(from),
                                   items.begin() + static_cast<std::ptrdiff_t>(to)));
}

Result<Value> builtin_contains(std::span<const Value> arguments, WorkBudget& work) {
    const Value& haystack = arguments[0];
    if (haystack.is_array()) {
        const Value& needle = arguments[1];
        for (const Value& item : haystack.as_array()) {
            TYX_TRY(work.charge_elements(1));
            TYX_TRY(charge_comparison(item, needle, work));
            if (values_equal(item, needle)) return Value::boolean(true);
        }
        return Value::boolean(false);
    }
    if (haystack.is_string()) {
        TYX_ASSIGN_OR_RETURN(const std::string_view needle,
                             string_argument(arguments, 1, "contains"));
        const std::string_view text = haystack.as_string();
        TYX_TRY(work.charge(uint64_t{text.size()} + needle.size()));
        return Value::boolean(needle.empty() ||
                              find_bytes(text, needle, 0) != std::string_view::npos);
    }
    return builtin_type_error("contains", "first", "string or array", haystack.type_name());
}

Result<Value> builtin_join(std::span<const Value> arguments, WorkBudget& work) {
    const Value& array = arguments[0];
    if (!array.is_array()) return builtin_type_error("join", "first", "array", array.type_name());
    TYX_ASSIGN_OR_RETURN(const std::string_view separator, string_argument(arguments, 1, "join"));
    const ValueArray& items = array.as_array();
    if (items.empty()) return Value::string(std::string());
    TYX_TRY(work.charge_elements(items.size()));

    // Room for the whole output up front: elements times (separator + 10), capped at the limit.
    const std::size_t per_item = separator.size() + 10;
    std::string out;
    out.reserve(per_item > MAX_OUTPUT_SIZE / items.size() ? MAX_OUTPUT_SIZE
                                                          : items.size() * per_item);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Value& item = items[i];
        if (!item.is_string()) {
            return builtin_error("join() requires an array of strings, but found " +
                                 std::string(item.type_name()) + " in array");
        }
        // Checked before appending, which fails at the same element as checking after but never
        // holds more than the limit.
        const std::size_t separator_size = i == 0 ? 0 : separator.size();
        if (separator_size > MAX_OUTPUT_SIZE - out.size() ||
            item.as_string().size() > MAX_OUTPUT_SIZE - out.size() - separator_size) {
            return builtin_error("join() output exceeds maximum size of " +
                                 decimal(MAX_OUTPUT_SIZE) + " bytes");
        }
        TYX_TRY(work.charge(separator_size + item.as_string().size()));
        if (i != 0) out.append(separator);
        out.append(item.as_string());
    }
    return Value::string(std::move(out));
}

Result<Value> builtin_length(std::span<const Value> arguments, WorkBudget& work) {
    const Value& value = arguments[0];
    if (value.is_string()) {
        TYX_TRY(work.charge(value.as_string().size()));
        return Value::number(static_cast<double>(count_characters(value.as_string())));
    }
    if (value.is_array()) return Value::number(static_cast<double>(value.as_array().size()));
    return builtin_type_error("length", "first", "string or array", value.type_name());
}

Result<Value> builtin_first(std::span<const Value> arguments, WorkBudget& /*work*/) {
    const Value& value = arguments[0];
    if (!value.is_array()) return builtin_type_error("first", "first", "array", value.type_name());
    const ValueArray& items = value.as_array();
    return items.empty() ? Value::null() : items.front();
}

Result<Value> builtin_last(std::span<const Value> arguments, WorkBudget& /*work*/) {
    const Value& value = arguments[0];
    if (!value.is_array()) return builtin_type_error("last", "first", "array", value.type_name());
    const ValueArray& items = value.as_array();
    return items.empty() ? Value::null() : items.back();
}

Result<Value> builtin_reverse(std::span<const Value> arguments, WorkBudget& work) {
    const Value& value = arguments[0];
    if (value.is_string()) {
        const std::string_view text = value.as_string();
        TYX_TRY(work.charge(2 * uint64_t{text.size()}));
        std::string out;
        out.reserve(text.size());
        std::size_t end = text.size();
        while (end > 0) {
            std::size_t start = end - 1;
            while (start > 0 && is_continuation(text[start]))
                --start;
            out.append(text.substr(start, end - start));
            end = start;
        }
        return Value::string(std::move(out));
    }
    if (value.is_array()) {
        const ValueArray& items = value.as_array();
        TYX_TRY(work.charge_elements(items.size()));
        return Value::array(ValueArray(items.rbegin(), items.rend()));
    }
    return builtin_type_error("reverse", "first", "string or array", value.type_name());
}

template <class T, class Less>
void sort_items(std::vector<T>& items, Less less) {
    if (items.size() > kInsertionSortMax) {
        std::sort(items.begin(), items.end(), less);
        return;
    }
    for (std::size_t i = 1; i < items.size(); ++i) {
        T item = std::move(items[i]);
        std::size_t j = i;
        for (; j > 0 && less(item, items[j - 1]); --j)
            items[j] = std::move(items[j - 1]);
        items[j] = std::move(item);
    }
}

Result<Value> builtin_sort(std::span<const Value> arguments, WorkBudget& work) {
    const Value& value = arguments[0];
    if (!value.is_array()) return builtin_type_error("sort", "first", "array", value.type_name());
    const ValueArray& items = value.as_array();
    if (items.empty()) return Value::array(ValueArray());
    TYX_TRY(work.charge_elements(items.size()));
    // A sort moves every element about log2(n) times, and reads its text each time it compares
    // it; each round is charged the bytes it moves and reads.
    const auto rounds = static_cast<uint64_t>(std::bit_width(items.size()));

    if (items.front().is_string()) {
        uint64_t text_bytes = 0;
        for (const Value& item : items) {
            if (!item.is_string()) {
                return builtin_error("sort() requires a homogeneous array; found " +
                                     std::string(item.type_name()) + " mixed with string");
            }
            text_bytes += item.as_string().size();
        }
        for (uint64_t round = 0; round < rounds; ++round)
            TYX_TRY(work.charge(items.size() * sizeof(Value) + text_bytes));
        ValueArray sorted = items;
        sort_items(sorted, [](const Value& a, const Value& b) {
            return std::string_view(a.as_string()) < std::string_view(b.as_string());
        });
        return Value::array(std::move(sorted));
    }
    if (items.front().is_number()) {
        std::vector<double> numbers;
        numbers.reserve(items.size());
        for (const Value& item : items) {
            if (!item.is_number()) {
                return builtin_error("sort() requires a homogeneous array; found " +
                                     std::string(item.type_name()) + " mixed with number");
            }
            if (!std::isfinite(item.as_number())) {
                return builtin_error("sort() cannot sort non-finite number: " +
                                     float_text(item.as_number()));
            }
            numbers.push_back(item.as_number());
        }
        for (uint64_t round = 0; round < rounds; ++round)
            TYX_TRY(work.charge(items.size() * sizeof(double)));
        // A strict order on finite numbers that puts -0 before 0.
        sort_items(numbers, [](double a, double b) {
            return a < b || (a == b && std::signbit(a) && !std::signbit(b));
        });
        ValueArray sorted;
        sorted.reserve(numbers.size());
        for (const double number : numbers)
            sorted.push_back(Value::number(number));
        return Value::array(std::move(sorted));
    }
    return builtin_error("sort() requires an array of strings or numbers, got array of " +
                         std::string(items.front().type_name()));
}

// The key text of a non-number element, kept as its prefix tag and the text after the prefix;
// the prefixes ("s:", "b:", "a:", "o:", "null:") never begin one another, so two keys are equal
// exactly when tag and text are.
struct UniqueKey {
    char tag;
    std::string_view text;
    friend bool operator==(const UniqueKey&, const UniqueKey&) = default;
};

struct UniqueKeyHash {
    std::size_t operator()(const UniqueKey& key) const {
        return keyed_text_hash(key.text) * 31 + static_cast<unsigned char>(key.tag);
    }
};

// Stands in for the "n:" key: shortest round-trip digits name each float apart from every other
// (-0 and 0 included) and all NaNs alike, so the bits with one NaN are the same identity.
uint64_t number_key(double number) {
    if (std::isnan(number)) return 0x7FF8'0000'0000'0000;
    return std::bit_cast<uint64_t>(number);
}

Result<Value> builtin_unique(std::span<const Value> arguments, WorkBudget& work) {
    const Value& value = arguments[0];
    if (!value.is_array()) return builtin_type_error("unique", "first", "array", value.type_name());
    const ValueArray& items = value.as_array();
    TYX_TRY(work.charge_elements(items.size()));

    // A deque never moves its strings, so views into them stay valid while keys are added.
    std::deque<std::string> display_texts;
    std::unordered_set<UniqueKey, UniqueKeyHash> seen;
    KeyedWordSet seen_numbers;
    const auto number_count = static_cast<std::size_t>(std::count_if(
        items.begin(), items.end(), [](const Value& item) { return item.is_number(); }));
    seen_numbers.reserve(number_count);
    seen.reserve(items.size() - number_count);
    // The display texts of array and object elements are held at once, so together they get
    // the output's limit.
    DisplayMeasure display(work, MAX_OUTPUT_SIZE);
    ValueArray kept;
    kept.reserve(items.size());
    for (const Value& item : items) {
        bool first_seen = false;
        switch (item.kind()) {
            case Value::Kind::Number:
                first_seen = seen_numbers.insert(number_key(item.as_number())).second;
                break;
            case Value::Kind::String:
                TYX_TRY(work.charge(item.as_string().size()));
                first_seen = seen.insert({'s', item.as_string()}).second;
                break;
            case Value::Kind::Bool:
                first_seen = seen.insert({'b', item.as_bool() ? "true" : "false"}).second;
                break;
            case Value::Kind::Array:
            case Value::Kind::Object: {
                TYX_ASSIGN_OR_RETURN(const bool fits, display.add(item));
                if (!fits) {
                    return builtin_error("unique() element texts exceed maximum size of " +
                                         decimal(MAX_OUTPUT_SIZE) + " bytes");
                }
                const std::string_view text = display_texts.emplace_back(format_value(item));
                first_seen = seen.insert({item.is_array() ? 'a' : 'o', text}).second;
                break;
            }
            case Value::Kind::Null:
                first_seen = seen.insert({'0', {}}).second;
                break;
        }
        if (first_seen) kept.push_back(item);
    }
    if (kept.size() == items.size()) return value;
    return Value::array(std::move(kept));
}

Result<Value> builtin_string(std::span<const Value> arguments, WorkBudget& work) {
    const Value& value = arguments[0];
    if (value.is_string()) return value;
    DisplayMeasure measure(work, MAX_OUTPUT_SIZE);
    TYX_ASSIGN_OR_RETURN(const bool fits, measure.add(value));
    if (!fits) {
        return builtin_error("string() output exceeds maximum size of " + decimal(MAX_OUTPUT_SIZE) +
                             " bytes");
    }
    return Value::string(format_value(value));
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != lower_word[i]) return false;
    }
    return true;
}

std::size_t digit_run(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        ++end;
    return end - pos;
}

enum class NumberParse { Invalid, NonFinite };

// Parses the decimal grammar: sign, digits with at most one point, optional exponent, or one of
// the words inf, infinity and nan. Gives the correctly rounded value; magnitudes below the
// smallest float become a zero of the text's sign.
std::variant<double, NumberParse> parse_decimal(std::string_view text) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    const std::string_view unsigned_part = text.substr(pos);
    if (equals_ignoring_ascii_case(unsigned_part, "inf") ||
        equals_ignoring_ascii_case(unsigned_part, "infinity") ||
        equals_ignoring_ascii_case(unsigned_part, "nan")) {
        return NumberParse::NonFinite;
    }

    const std::size_t int_start = pos;
    const std::size_t int_digits = digit_run(text, pos);
    pos += int_digits;
    std::size_t frac_start = pos;
    std::size_t frac_digits = 0;
    if (pos < text.size() && text[pos] == '.') {
        frac_start = ++pos;
        frac_digits = digit_run(text, pos);
        pos += frac_digits;
    }
    if (int_digits + frac_digits == 0) return NumberParse::Invalid;
    // The exponent is read only to tell overflow from underflow; it saturates far beyond any
    // exponent a float can reach.
    int64_t exponent = 0;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        bool exponent_negative = false;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
            exponent_negative = text[pos] == '-';
            ++pos;
        }
        const std::size_t exponent_digits = digit_run(text, pos);
        if (exponent_digits == 0) return NumberParse::Invalid;
        for (std::size_t i = 0; i < exponent_digits; ++i) {
            exponent = std::min<int64_t>(exponent * 10 + (text[pos + i] - '0'), 1'000'000'000);
        }
        if (exponent_negative) exponent = -exponent;
        pos += exponent_digits;
    }
    if (pos != text.size()) return NumberParse::Invalid;

    // from_chars takes no leading "+", and the sign is applied afterwards for both cases.
    const char* first = text.data() + int_start;
    const char* last = text.data() + text.size();
    double number = 0;
    const auto [end, ec] = std::from_chars(first, last, number, std::chars_format::general);
    if (ec == std::errc() && end == last) return negative ? -number : number;
    if (ec != std::errc::result_out_of_range || end != last) return NumberParse::Invalid;

    // Out of range: the decimal exponent of the leading significant digit tells which way.
    int64_t leading_exponent = 0;
    const std::string_view int_part = text.substr(int_start, int_digits);
    const std::size_t int_nonzero = int_part.find_first_not_of('0');
    if (int_nonzero != std::string_view::npos) {
        leading_exponent = static_cast<int64_t>(int_part.size() - int_nonzero) - 1;
    } else {
        const std::string_view frac_part = text.substr(frac_start, frac_digits);
        const std::size_t frac_nonzero = frac_part.find_first_not_of('0');
        leading_exponent =
            -static_cast<int64_t>(frac_nonzero == std::string_view::npos ? 0 : frac_nonzero + 1);
    }
    if (leading_exponent + exponent < 0) return negative ? -0.0 : 0.0;
    return NumberParse::NonFinite;
}

Result<Value> builtin_number(std::span<const Value> arguments, WorkBudget& work) {
    const Value& value = arguments[0];
    switch (value.kind()) {
        case Value::Kind::Number:
            return value;
        case Value::Kind::Bool:
            return Value::number(value.as_bool() ? 1.0 : 0.0);
        case Value::Kind::Null:
            return Value::number(0.0);
        case Value::Kind::String: {
            const std::string& text = value.as_string();
            TYX_TRY(work.charge(text.size()));
            const auto parsed = parse_decimal(trim_white_space(text));
            if (const double* number = std::get_if<double>(&parsed)) return Value::number(*number);
            if (std::get<NumberParse>(parsed) == NumberParse::NonFinite) {
                return builtin_error("number() produced a non-finite value from '" + text + "'");
            }
            return builtin_error("number() cannot convert string '" + text + "' to a number");
        }
        case Value::Kind::Array:
        case Value::Kind::Object:
            break;
    }
    return builtin_error("number() cannot convert " + std::string(value.type_name()) +
                         " to a number");
}

}  // namespace

const std::array<BuiltinSpec, kBuiltinCount> BUILTINS = {{
    {"upper", builtin_upper, 1, 1},
    {"lower", builtin_lower, 1, 1},
    {"trim", builtin_trim, 1, 1},
    {"replace", builtin_replace, 3, 3},
    {"split", builtin_split, 2, 2},
    {"starts_with", builtin_starts_with, 2, 2},
    {"ends_with", builtin_ends_with, 2, 2},
    {"slice", builtin_slice, 2, 3},
    {"contains", builtin_contains, 2, 2},
    {"join", builtin_join, 2, 2},
    {"length", builtin_length, 1, 1},
    {"first", builtin_first, 1, 1},
    {"last", builtin_last, 1, 1},
    {"reverse", builtin_reverse, 1, 1},
    {"sort", builtin_sort, 1, 1},
    {"unique", builtin_unique, 1, 1},
    {"string", builtin_string, 1, 1},
    {"number", builtin_number, 1, 1},
}};

const BuiltinSpec* lookup_builtin(std::string_view name) {
    for (const BuiltinSpec& spec : BUILTINS) {
        if (spec.name == name) return &spec;
    }
    return nullptr;
}

CompileError builtin_type_error(std::string_view function, std::string_view ordinal,
                                std::string_view expected, std::string_view got) {
    const BuiltinSpec* spec = lookup_builtin(function);
    const bool show_ordinal = spec != nullptr ? spec->max_args > 1 : !ordinal.empty();
    std::string message(function);
    message += "() requires a ";
    message += expected;
    message += " argument";
    if (show_ordinal) {
        message += " for ";
        message += ordinal;
    }
    message += ", got ";
    message += got;
    return builtin_error(std::move(message));
}

std::string float_text(double number) {
    std::string out;
    append_float_text(number, out);
    return out;
}

Status charge_display(const Value& value, WorkBudget& work) {
    switch (value.kind()) {
        case Value::Kind::String:
            return work.charge(value.as_string().size());
        case Value::Kind::Array:
        case Value::Kind::Object: {
            DisplayMeasure measure(work, std::numeric_limits<std::size_t>::max());
            TYX_TRY(measure.add(value));
            return {};
        }
        default:
            // No number text is longer than an element's work.
            return work.charge_elements(1);
    }
}

Status charge_comparison(const Value& a, const Value& b, WorkBudget& work) {
    if (a.kind() != b.kind()) return {};
    switch (a.kind()) {
        case Value::Kind::String:
            // Texts of different lengths differ without being read.
            if (a.as_string().size() != b.as_string().size()) return {};
            return work.charge(a.as_string().size());
        case Value::Kind::Array:
            if (a.as_array().size() != b.as_array().size()) return {};
            break;
        case Value::Kind::Object:
            if (a.as_object().size() != b.as_object().size()) return {};
            break;
        default:
            return {};
    }
    const uint64_t cap = work.remaining();
    return work.charge(std::min(read_work(a, cap), read_work(b, cap)));
}

std::size_t count_characters(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !is_continuation(c); }));
}

}  // namespace tyx
