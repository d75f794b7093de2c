#include "core/frontmatter/builder.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

#include "core/format.h"
#include "core/frontmatter/limits.h"
#include "core/frontmatter/scalars.h"

namespace tyx::frontmatter {
namespace {

constexpr std::string_view kBudgetExhausted = "frontmatter YAML node budget exhausted";
constexpr std::string_view kTextBudgetExhausted = "frontmatter YAML text budget exhausted";
constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";

std::string decimal128(Uint128 number) {
    if (number == 0) return "0";
    std::string digits;
    while (number != 0) {
        digits += static_cast<char>('0' + static_cast<int>(number % 10));
        number /= 10;
    }
    return std::string(digits.rbegin(), digits.rend());
}

// A text in double quotes, escaped as a string literal so that any byte shows on one line.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    constexpr char kHex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += kHex[(static_cast<unsigned char>(c) >> 4) & 0xf];
                    out += kHex[static_cast<unsigned char>(c) & 0xf];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

// Builds the value of a collected document under the node budget, the nesting allowance and
// the alias guard.
class Builder {
  public:
    explicit Builder(const Document& document)
        : events_(document.events),
          pool_(document.pool),
          max_expansions_(MAX_ALIAS_REPLAYS_FACTOR * document.events.size()) {}

    Result<YamlValue> build_root() {
        if (events_.empty()) {
            TYX_TRY(take_unit());
            return YamlValue::null();
        }
        size_t position = 0;
        return build(position);
    }

    bool exhausted() const { return exhausted_; }
    bool text_exhausted() const { return text_exhausted_; }
    bool ran_out() const { return ran_out_; }

  private:
    Status take_unit() {
        if (budget_ == 0) {
            exhausted_ = true;
            return CompileError::of(ErrorKind::Yaml, std::string(kBudgetExhausted));
        }
        --budget_;
        return {};
    }

    Status take_text(size_t bytes) {
        if (bytes > text_budget_) {
            text_exhausted_ = true;
            return CompileError::of(ErrorKind::Yaml, std::string(kTextBudgetExhausted));
        }
        text_budget_ -= bytes;
        return {};
    }

    std::string_view value_of(const Event& event) const {
        return std::string_view(pool_).substr(event.value_offset, event.value_length);
    }
    std::string_view tag_of(const Event& event) const {
        return std::string_view(pool_).substr(event.tag_offset, event.tag_length);
    }

    // A reader message with the path of the value it is about and the node's position.
    CompileError fail(std::string message, const Event& event) const {
        std::string text;
        if (!path_.empty()) {
            for (size_t i = 0; i < path_.size(); ++i) {
                if (i != 0 && (path_[i].empty() || path_[i].front() != '[')) text += '.';
                text += path_[i];
            }
            text += ": ";
        }
        text += message;
        text += position_suffix(event.line, event.column);
        return CompileError::of(ErrorKind::Yaml, std::move(text));
    }

    CompileError ran_out_of_events() {
        ran_out_ = true;
        return CompileError::of(ErrorKind::Yaml, "unexpected end of YAML events");
    }

    Result<YamlValue> build(size_t& position) {
        if (position >= events_.size()) return ran_out_of_events();
        const Event& event = events_[position];
        if (event.kind == EventKind::Alias) {
            ++position;
            if (event.target == kNoTarget) return fail("unknown anchor", event);
            if (++expansions_ > max_expansions_) return fail("repetition limit exceeded", event);
            size_t replay = event.target;
            return build(replay);
        }
        if (event.has_tag) {
            std::string_view tag = tag_of(event);
            if (!tag.empty() && tag.front() == '!') {
                TYX_TRY(take_unit());
                TYX_TRY(take_text(tag.size()));
                std::string text(tag.size() == 1 ? tag : tag.substr(1));
                TYX_ASSIGN_OR_RETURN(YamlValue inner, build_untagged(position, false));
                return YamlValue::tagged(std::move(text), std::move(inner));
            }
        }
        return build_untagged(position, event.has_tag);
    }

    // Builds the node at `position` ignoring a local tag; `core_tag` applies the node's own tag
    // to a scalar.
    Result<YamlValue> build_untagged(size_t& position, bool core_tag) {
        const Event& event = events_[position];
        switch (event.kind) {
            case EventKind::Scalar:
                ++position;
                TYX_TRY(take_unit());
                TYX_TRY(take_text(event.value_length));
                if (core_tag) return resolve_tagged_scalar(event);
                return resolve_scalar(event);
            case EventKind::SequenceStart:
                return build_sequence(position);
            case EventKind::MappingStart:
                return build_mapping(position);
            case EventKind::Alias:
            case EventKind::SequenceEnd:
            case EventKind::MappingEnd:
                break;
        }
        return CompileError::of(
            ErrorKind::Yaml, "unexpected YAML event" + position_suffix(event.line, event.column));
    }

    Status enter(const Event& event) {
        if (allowance_ <= 0) return fail("recursion limit exceeded", event);
        TYX_TRY(take_unit());
        --allowance_;
        return {};
    }

    Result<YamlValue> build_sequence(size_t& position) {
        const Event& start = events_[position];
        TYX_TRY(enter(start));
        ++position;
        YamlSequence items;
        while (true) {
            if (position >= events_.size()) return ran_out_of_events();
            if (events_[position].kind == EventKind::SequenceEnd) break;
            path_.push_back("[" + decimal(items.size()) + "]");
            auto item = build(position);
            if (!item.ok()) return std::move(item).take_error();
            path_.pop_back();
            items.push_back(std::move(item).value());
        }
        ++position;
        ++allowance_;
        return YamlValue::sequence(std::move(items));
    }

    std::string key_segment(const YamlValue& key) const {
        if (key.is_string()) return key.as_string();
        if (key.is_number()) return number_text(key.as_number());
        if (key.is_bool()) return key.as_bool() ? "true" : "false";
        if (key.is_null()) return "null";
        return "?";
    }

    static std::string number_text(const YamlNumber& number) {
        switch (number.kind()) {
            case YamlNumber::Kind::Unsigned:
                return decimal(number.as_unsigned());
            case YamlNumber::Kind::Negative:
                // Negating in unsigned arithmetic reaches 2^63 without overflow.
                return "-" + decimal(~number.bits() + 1);
            case YamlNumber::Kind::Float:
                break;
        }
        const double value = number.as_float();
        if (std::isnan(value)) return ".nan";
        if (std::isinf(value)) return value < 0 ? "-.inf" : ".inf";
        std::array<char, 64> buffer{};
        auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
        (void)ec;  // 64 bytes hold any shortest double
        std::string text(buffer.data(), end);
        // A float key reads as a float, never as the integer key of the same value.
        if (text.find_first_of(".e") == std::string::npos) text += ".0";
        return text;
    }

    std::string duplicate_message(const YamlValue& key) const {
        std::string message = "duplicate entry ";
        switch (key.kind()) {
            case YamlValue::Kind::Null:
                return message + "with null key";
            case YamlValue::Kind::Bool:
                return message + "with key `" + (key.as_bool() ? "true" : "false") + "`";
            case YamlValue::Kind::Number:
                return message + "with key " + number_text(key.as_number());
            case YamlValue::Kind::String:
                return message + "with key " + quoted(key.as_string());
            case YamlValue::Kind::Sequence:
            case YamlValue::Kind::Mapping:
            case YamlValue::Kind::Tagged:
                break;
        }
        return message + "in YAML map";
    }

    Result<YamlValue> build_mapping(size_t& position) {
        const Event& start = events_[position];
        TYX_TRY(enter(start));
        ++position;
        YamlMapping mapping;
        while (true) {
            if (position >= events_.size()) return ran_out_of_events();
            if (events_[position].kind == EventKind::MappingEnd) break;
            const Event& key_event = events_[position];
            TYX_ASSIGN_OR_RETURN(YamlValue key, build(position));
            if (mapping.find(key) != nullptr) return fail(duplicate_message(key), key_event);
            path_.push_back(key_segment(key));
            auto value = build(position);
            if (!value.ok()) return std::move(value).take_error();
            path_.pop_back();
            mapping.insert(std::move(key), std::move(value).value());
        }
        ++position;
        ++allowance_;
        return YamlValue::mapping(std::move(mapping));
    }

    Result<YamlValue> resolve_number(std::string_view text, const Event& event) {
        const IntegerForm form = parse_integer_form(text);
        if (form.shape == IntegerShape::LeadingZero) return YamlValue::string(std::string(text));
        if (form.shape == IntegerShape::Integer && !form.beyond_128_bits) {
            if (!form.negative) {
                if (form.magnitude <= std::numeric_limits<uint64_t>::max()) {
                    return YamlValue::number(
                        YamlNumber::from_unsigned(static_cast<uint64_t>(form.magnitude)));
                }
                return fail("invalid type: integer `" + decimal128(form.magnitude) +
                                "` as u128, expected any YAML value",
                            event);
            }
            constexpr Uint128 kInt64Magnitude = Uint128(1) << 63;
            constexpr Uint128 kInt128Magnitude = Uint128(1) << 127;
            if (form.magnitude == 0) return YamlValue::number(YamlNumber::from_unsigned(0));
            if (form.magnitude <= kInt64Magnitude) {
                // Negating in unsigned arithmetic reaches -2^63 without overflow.
                const uint64_t bits = ~static_cast<uint64_t>(form.magnitude) + 1;
                return YamlValue::number(YamlNumber::from_negative(static_cast<int64_t>(bits)));
            }
            if (form.magnitude <= kInt128Magnitude) {
                return fail("invalid type: integer `-" + decimal128(form.magnitude) +
                                "` as i128, expected any YAML value",
                            event);
            }
        }
        if (auto number = parse_float_form(text)) {
            return YamlValue::number(YamlNumber::from_float(*number));
        }
        return YamlValue::string(std::string(text));
    }

    Result<YamlValue> resolve_scalar(const Event& event) {
        const std::string_view text = value_of(event);
        if (event.style != ScalarStyle::Plain) return YamlValue::string(std::string(text));
        if (is_null_word(text) || text.empty()) return YamlValue::null();
        if (auto flag = bool_word(text)) return YamlValue::boolean(*flag);
        if (text.front() == '.' || text.front() == '+' || text.front() == '-' ||
            is_digit(text.front())) {
            return resolve_number(text, event);
        }
        return YamlValue::string(std::string(text));
    }

    CompileError invalid_value(std::string_view text, std::string_view expected,
                               const Event& event) const {
        return fail("invalid value: string " + quoted(text) + ", expected " + std::string(expected),
                    event);
    }

    Result<YamlValue> resolve_tagged_scalar(const Event& event) {
        const std::string_view text = value_of(event);
        std::string_view tag = tag_of(event);
        if (tag.substr(0, kCoreTagPrefix.size()) != kCoreTagPrefix) {
            return YamlValue::string(std::string(text));
        }
        tag.remove_prefix(kCoreTagPrefix.size());
        if (tag == "null") {
            if (is_null_word(text)) return YamlValue::null();
            return invalid_value(text, "null", event);
        }
        if (tag == "bool") {
            if (auto flag = bool_word(text)) return YamlValue::boolean(*flag);
            return invalid_value(text, "a boolean", event);
        }
        if (tag == "int") {
            const IntegerForm form = parse_integer_form(text);
            if (form.shape != IntegerShape::Integer || form.beyond_128_bits) {
                return invalid_value(text, "an integer", event);
            }
            return resolve_number(text, event);
        }
        if (tag == "float") {
            // Only the float forms: a decimal integer spelling is one, 0x10 or 0b1 is not.
            if (auto number = parse_float_form(text)) {
                return YamlValue::number(YamlNumber::from_float(*number));
            }
            return invalid_value(text, "a float", event);
        }
        return YamlValue::string(std::string(text));
    }

    const std::vector<Event>& events_;
    std::string_view pool_;
    uint64_t budget_ = MAX_FRONTMATTER_NODES;
    bool exhausted_ = false;
    uint64_t text_budget_ = MAX_FRONTMATTER_TEXT_BYTES;
    bool text_exhausted_ = false;
    bool ran_out_ = false;
    int allowance_ = MAX_YAML_RECURSION_DEPTH;
    uint64_t expansions_ = 0;
    uint64_t max_expansions_;
    std::vector<std::string> path_;
};

CompileError node_count_error() {
    return CompileError::of(ErrorKind::ResourceLimit,
                            "frontmatter YAML node count exceeds maximum of " +
                                decimal(MAX_FRONTMATTER_NODES) +
                                " (anchors expanded by aliases count once per expansion)");
}

CompileError text_size_error() {
    return CompileError::of(ErrorKind::ResourceLimit,
                            "frontmatter YAML text exceeds maximum of " +
                                decimal(MAX_FRONTMATTER_TEXT_BYTES) +
                                " bytes (anchors expanded by aliases count once per expansion)");
}

}  // namespace

Result<YamlValue> build_document(const Document& document) {
    Builder builder(document);
    auto value = builder.build_root();
    if (!value.ok()) {
        if (builder.exhausted()) return node_count_error();
        if (builder.text_exhausted()) return text_size_error();
        if (builder.ran_out() && document.held_error) {
            return CompileError::of(ErrorKind::Yaml, *document.held_error);
        }
        return value;
    }
    if (document.held_error) return CompileError::of(ErrorKind::Yaml, *document.held_error);
    return value;
}

}  // namespace tyx::frontmatter
