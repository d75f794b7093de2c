#include "core/frontmatter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <system_error>

#include <yaml.h>

#include "core/keyed_hash.h"

namespace tyx {

YamlNumber YamlNumber::from_negative(int64_t number) {
    return YamlNumber(Kind::Negative, static_cast<uint64_t>(number));
}

YamlNumber YamlNumber::from_float(double number) {
    constexpr uint64_t kQuietNaN = 0x7ff8000000000000ULL;
    if (std::isnan(number)) return YamlNumber(Kind::Float, kQuietNaN);
    return YamlNumber(Kind::Float, std::bit_cast<uint64_t>(number));
}

double YamlNumber::as_float() const {
    return std::bit_cast<double>(bits_);
}

double YamlNumber::to_double() const {
    switch (kind_) {
        case Kind::Unsigned:
            return static_cast<double>(bits_);
        case Kind::Negative:
            return static_cast<double>(as_negative());
        case Kind::Float:
            return as_float();
    }
    return as_float();
}

YamlMapping::YamlMapping() = default;
YamlMapping::YamlMapping(const YamlMapping&) = default;
YamlMapping::YamlMapping(YamlMapping&&) noexcept = default;
YamlMapping& YamlMapping::operator=(const YamlMapping&) = default;
YamlMapping& YamlMapping::operator=(YamlMapping&&) noexcept = default;
YamlMapping::~YamlMapping() = default;

bool YamlMapping::insert(YamlValue key, YamlValue value) {
    if (index_.empty() && entries_.size() < kScannedEntries) {
        for (const Entry& entry : entries_) {
            if (entry.first == key) return false;
        }
        entries_.emplace_back(std::move(key), std::move(value));
        return true;
    }
    if (index_.empty()) {
        for (size_t i = 0; i < entries_.size(); ++i)
            index_.emplace(hash_yaml_value(entries_[i].first), i);
    }
    const size_t hash = hash_yaml_value(key);
    auto [first, last] = index_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        if (entries_[it->second].first == key) return false;
    }
    index_.emplace(hash, entries_.size());
    entries_.emplace_back(std::move(key), std::move(value));
    return true;
}

const YamlValue* YamlMapping::find(const YamlValue& key) const {
    if (index_.empty()) {
        for (const Entry& entry : entries_) {
            if (entry.first == key) return &entry.second;
        }
        return nullptr;
    }
    auto [first, last] = index_.equal_range(hash_yaml_value(key));
    for (auto it = first; it != last; ++it) {
        if (entries_[it->second].first == key) return &entries_[it->second].second;
    }
    return nullptr;
}

const YamlValue* YamlMapping::find(std::string_view key) const {
    if (index_.empty()) {
        for (const Entry& entry : entries_) {
            if (entry.first.is_string() && entry.first.as_string() == key) return &entry.second;
        }
        return nullptr;
    }
    // Must hash as hash_yaml_value does for a String.
    auto [first, last] = index_.equal_range(keyed_text_hash(key));
    for (auto it = first; it != last; ++it) {
        const YamlValue& candidate = entries_[it->second].first;
        if (candidate.is_string() && candidate.as_string() == key) {
            return &entries_[it->second].second;
        }
    }
    return nullptr;
}

bool operator==(const YamlMapping& a, const YamlMapping& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a.entries_) {
        const YamlValue* other = b.find(key);
        if (other == nullptr || !(*other == value)) return false;
    }
    return true;
}

YamlValue::Tagged::Tagged(std::string tag_text, YamlValue value)
    : tag(std::move(tag_text)), inner(std::make_unique<YamlValue>(std::move(value))) {}
YamlValue::Tagged::Tagged(const Tagged& other)
    : tag(other.tag), inner(std::make_unique<YamlValue>(*other.inner)) {}
YamlValue::Tagged& YamlValue::Tagged::operator=(const Tagged& other) {
    if (this != &other) {
        tag = other.tag;
        inner = std::make_unique<YamlValue>(*other.inner);
    }
    return *this;
}
YamlValue::Tagged::~Tagged() = default;

YamlValue::YamlValue() = default;
YamlValue::YamlValue(const YamlValue&) = default;
YamlValue::YamlValue(YamlValue&&) noexcept = default;
YamlValue& YamlValue::operator=(const YamlValue&) = default;
YamlValue& YamlValue::operator=(YamlValue&&) noexcept = default;
YamlValue::~YamlValue() = default;
YamlValue::YamlValue(Data data) : data_(std::move(data)) {}

YamlValue YamlValue::boolean(bool flag) {
    return YamlValue(Data(std::in_place_index<1>, flag));
}
YamlValue YamlValue::number(YamlNumber number) {
    return YamlValue(Data(std::in_place_index<2>, number));
}
YamlValue YamlValue::string(std::string text) {
    return YamlValue(Data(std::in_place_index<3>, std::move(text)));
}
YamlValue YamlValue::sequence(YamlSequence items) {
    return YamlValue(Data(std::in_place_index<4>, std::move(items)));
}
YamlValue YamlValue::mapping(YamlMapping entries) {
    return YamlValue(Data(std::in_place_index<5>, std::move(entries)));
}
YamlValue YamlValue::tagged(std::string tag, YamlValue inner) {
    return YamlValue(Data(std::in_place_index<6>, std::move(tag), std::move(inner)));
}

bool operator==(const YamlValue& a, const YamlValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case YamlValue::Kind::Null:
            return true;
        case YamlValue::Kind::Bool:
            return a.as_bool() == b.as_bool();
        case YamlValue::Kind::Number:
            return a.as_number() == b.as_number();
        case YamlValue::Kind::String:
            return a.as_string() == b.as_string();
        case YamlValue::Kind::Sequence:
            return a.as_sequence() == b.as_sequence();
        case YamlValue::Kind::Mapping:
            return a.as_mapping() == b.as_mapping();
        case YamlValue::Kind::Tagged:
            return a.tag() == b.tag() && a.tagged_value() == b.tagged_value();
    }
    return false;
}

size_t hash_yaml_value(const YamlValue& value) {
    auto mix = [](size_t seed, size_t h) {
        return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    };
    switch (value.kind()) {
        case YamlValue::Kind::Null:
            return 0x6e756c6cULL;
        case YamlValue::Kind::Bool:
            return value.as_bool() ? 0x74727565ULL : 0x66616c73ULL;
        case YamlValue::Kind::Number:
            return mix(static_cast<size_t>(value.as_number().kind()) + 1,
                       keyed_word_hash(value.as_number().bits()));
        case YamlValue::Kind::String:
            return keyed_text_hash(value.as_string());
        case YamlValue::Kind::Sequence: {
            size_t seed = 0x736571ULL;
            for (const YamlValue& item : value.as_sequence())
                seed = mix(seed, hash_yaml_value(item));
            return seed;
        }
        case YamlValue::Kind::Mapping: {
            // Order-blind, like mapping equality.
            size_t sum = 0x6d6170ULL;
            for (const auto& [key, item] : value.as_mapping().entries()) {
                sum += mix(hash_yaml_value(key), hash_yaml_value(item));
            }
            return sum;
        }
        case YamlValue::Kind::Tagged:
            return mix(keyed_text_hash(value.tag()), hash_yaml_value(value.tagged_value()));
    }
    return 0;
}

namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr std::string_view kBudgetExhausted = "frontmatter YAML node budget exhausted";
constexpr std::string_view kTextBudgetExhausted = "frontmatter YAML text budget exhausted";
constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";

template <class Integer>
std::string decimal(Integer number) {
    std::array<char, 24> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
    (void)ec;  // 24 bytes hold any 64-bit decimal
    return std::string(buffer.data(), end);
}

std::string decimal128(Uint128 number) {
    if (number == 0) return "0";
    std::string digits;
    while (number != 0) {
        digits += static_cast<char>('0' + static_cast<int>(number % 10));
        number /= 10;
    }
    return std::string(digits.rbegin(), digits.rend());
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int digit_value(char c, int radix) {
    int value = 99;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    return value < radix ? value : -1;
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

enum class IntegerShape { NotInteger, LeadingZero, Integer };

struct IntegerForm {
    IntegerShape shape = IntegerShape::NotInteger;
    bool negative = false;
    // Beyond 128 bits the magnitude is not kept.
    bool beyond_128_bits = false;
    Uint128 magnitude = 0;
};

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

enum class ScalarStyle : uint8_t { Plain, Quoted };
enum class EventKind : uint8_t {
    Scalar,
    Alias,
    SequenceStart,
    SequenceEnd,
    MappingStart,
    MappingEnd
};

constexpr size_t kNoTarget = static_cast<size_t>(-1);

// One node event of the document; its texts live in the collector's pool.
struct Event {
    EventKind kind = EventKind::Scalar;
    ScalarStyle style = ScalarStyle::Plain;
    bool has_tag = false;
    uint32_t line = 0;
    uint32_t column = 0;
    size_t value_offset = 0;
    size_t value_length = 0;
    size_t tag_offset = 0;
    size_t tag_length = 0;
    // For an alias: the index of its anchor's event, or kNoTarget for an unknown anchor.
    size_t target = kNoTarget;
};

struct Document {
    std::vector<Event> events;
    std::string pool;
    // The parse error that stopped the collection before the document's end, if any.
    std::optional<std::string> held_error;
    bool found = false;
};

std::string position_suffix(uint64_t line, uint64_t column) {
    if (line == 0 && column == 0) return {};
    return " at line " + decimal(line + 1) + " column " + decimal(column + 1);
}

std::string libyaml_message(const yaml_parser_t& parser) {
    std::string message = parser.problem != nullptr ? parser.problem : "unknown YAML error";
    const yaml_mark_t& mark = parser.problem_mark;
    if (mark.line != 0 || mark.column != 0) {
        message += position_suffix(mark.line, mark.column);
    } else if (parser.problem_offset != 0) {
        message += " at position " + decimal(parser.problem_offset);
    }
    if (parser.context != nullptr) {
        message += ", ";
        message += parser.context;
        const yaml_mark_t& context = parser.context_mark;
        if (context.line != mark.line || context.column != mark.column) {
            message +=
                " at line " + decimal(context.line + 1) + " column " + decimal(context.column + 1);
        }
    }
    return message;
}

// Owns one libyaml parser and the event it last produced.
class EventReader {
  public:
    explicit EventReader(std::string_view text) {
        static const unsigned char kEmpty[1] = {0};
        ready_ = yaml_parser_initialize(&parser_) != 0;
        if (!ready_) return;
        const auto* data =
            text.empty() ? kEmpty : reinterpret_cast<const unsigned char*>(text.data());
        yaml_parser_set_input_string(&parser_, data, text.size());
        yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    }
    EventReader(const EventReader&) = delete;
    EventReader& operator=(const EventReader&) = delete;
    ~EventReader() {
        if (has_event_) yaml_event_delete(&event_);
        if (ready_) yaml_parser_delete(&parser_);
    }

    bool ready() const { return ready_; }

    // The next event, or nullptr after a parse error (then error_message() tells it).
    const yaml_event_t* next() {
        if (has_event_) {
            yaml_event_delete(&event_);
            has_event_ = false;
        }
        if (failed_ || yaml_parser_parse(&parser_, &event_) == 0) {
            failed_ = true;
            return nullptr;
        }
        has_event_ = true;
        return &event_;
    }

    std::string error_message() const { return libyaml_message(parser_); }

  private:
    yaml_parser_t parser_{};
    yaml_event_t event_{};
    bool ready_ = false;
    bool has_event_ = false;
    bool failed_ = false;
};

size_t add_to_pool(std::string& pool, const unsigned char* text, size_t length) {
    const size_t offset = pool.size();
    if (text != nullptr) pool.append(reinterpret_cast<const char*>(text), length);
    return offset;
}

void record_tag(Event& event, std::string& pool, const yaml_char_t* tag) {
    if (tag == nullptr) return;
    const size_t length = std::char_traits<char>::length(reinterpret_cast<const char*>(tag));
    event.has_tag = true;
    event.tag_offset = add_to_pool(pool, tag, length);
    event.tag_length = length;
}

// Collects the events of the first document, resolving each alias to the latest anchor of its
// name defined before it.
Document collect_first_document(EventReader& reader) {
    Document document;
    std::unordered_map<std::string, size_t, KeyedTextHash> anchors;
    auto remember_anchor = [&](const yaml_char_t* anchor) {
        if (anchor != nullptr) {
            anchors[reinterpret_cast<const char*>(anchor)] = document.events.size();
        }
    };
    while (true) {
        const yaml_event_t* event = reader.next();
        if (event == nullptr) {
            document.held_error = reader.error_message();
            return document;
        }
        Event node;
        node.line = static_cast<uint32_t>(event->start_mark.line);
        node.column = static_cast<uint32_t>(event->start_mark.column);
        switch (event->type) {
            case YAML_STREAM_START_EVENT:
            case YAML_NO_EVENT:
                continue;
            case YAML_STREAM_END_EVENT:
            case YAML_DOCUMENT_END_EVENT:
                return document;
            case YAML_DOCUMENT_START_EVENT:
                document.found = true;
                continue;
            case YAML_ALIAS_EVENT: {
                node.kind = EventKind::Alias;
                auto it = anchors.find(reinterpret_cast<const char*>(event->data.alias.anchor));
                if (it != anchors.end()) node.target = it->second;
                break;
            }
            case YAML_SCALAR_EVENT: {
                const auto& scalar = event->data.scalar;
                remember_anchor(scalar.anchor);
                node.kind = EventKind::Scalar;
                node.style = scalar.style == YAML_PLAIN_SCALAR_STYLE ? ScalarStyle::Plain
                                                                     : ScalarStyle::Quoted;
                node.value_offset = add_to_pool(document.pool, scalar.value, scalar.length);
                node.value_length = scalar.length;
                record_tag(node, document.pool, scalar.tag);
                break;
            }
            case YAML_SEQUENCE_START_EVENT:
                remember_anchor(event->data.sequence_start.anchor);
                node.kind = EventKind::SequenceStart;
                record_tag(node, document.pool, event->data.sequence_start.tag);
                break;
            case YAML_SEQUENCE_END_EVENT:
                node.kind = EventKind::SequenceEnd;
                break;
            case YAML_MAPPING_START_EVENT:
                remember_anchor(event->data.mapping_start.anchor);
                node.kind = EventKind::MappingStart;
                record_tag(node, document.pool, event->data.mapping_start.tag);
                break;
            case YAML_MAPPING_END_EVENT:
                node.kind = EventKind::MappingEnd;
                break;
        }
        document.events.push_back(node);
    }
}

// The document of a frontmatter block made only of `key: value` lines, as libyaml would report
// it, or nothing for any other text. Each line holds a key of ASCII letters, digits, "_" and "-"
// (a letter or "_" first), a colon, spaces, and a one-line plain value of ASCII letters, digits,
// spaces and ".,_-/()+" that starts with a letter, digit or "_" and does not end in a space.
// Such a value holds no indicator that could end it or change its kind, so it is read
// without a parser: the usual frontmatter of a prompt is a few lines of this form.
std::optional<Document> simple_mapping_document(std::string_view text) {
    constexpr size_t kMostKeyBytes = 128;
    const auto letter = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    const auto key_byte = [&](char c) { return letter(c) || is_digit(c) || c == '-'; };
    const auto value_byte = [&](char c) {
        return letter(c) || is_digit(c) || c == ' ' || c == '.' || c == ',' || c == '-' ||
               c == '/' || c == '(' || c == ')' || c == '+';
    };
    if (text.empty()) return std::nullopt;
    Document document;
    document.found = true;
    // Two scalars a line, and the mapping's start and end.
    document.events.reserve(2 * static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) +
                            4);
    document.pool.reserve(text.size());
    document.events.push_back(Event{EventKind::MappingStart});
    uint32_t line = 0;
    for (size_t start = 0; start < text.size(); ++line) {
        const size_t feed = text.find('\n', start);
        const std::string_view row =
            text.substr(start, feed == std::string_view::npos ? feed : feed - start);
        start = feed == std::string_view::npos ? text.size() : feed + 1;
        size_t i = 0;
        if (row.empty() || !letter(row[0])) return std::nullopt;
        while (i < row.size() && key_byte(row[i]))
            ++i;
        const size_t key_length = i;
        if (key_length > kMostKeyBytes || i + 1 >= row.size() || row[i] != ':' ||
            row[i + 1] != ' ') {
            return std::nullopt;
        }
        i += 1;
        while (i < row.size() && row[i] == ' ')
            ++i;
        const size_t value_start = i;
        if (i == row.size() || !(letter(row[i]) || is_digit(row[i])) || row.back() == ' ') {
            return std::nullopt;
        }
        if (!std::all_of(row.begin() + static_cast<std::ptrdiff_t>(i), row.end(), value_byte)) {
            return std::nullopt;
        }
        const auto scalar = [&](size_t offset, size_t length) {
            Event event;
            event.kind = EventKind::Scalar;
            event.style = ScalarStyle::Plain;
            event.line = line;
            event.column = static_cast<uint32_t>(offset);
            event.value_offset = document.pool.size();
            event.value_length = length;
            document.pool.append(row.substr(offset, length));
            document.events.push_back(event);
        };
        scalar(0, key_length);
        scalar(value_start, row.size() - value_start);
    }
    document.events.push_back(Event{EventKind::MappingEnd});
    return document;
}

bool is_null_word(std::string_view text) {
    return text == "~" || text == "null" || text == "Null" || text == "NULL";
}

std::optional<bool> bool_word(std::string_view text) {
    if (text == "true" || text == "True" || text == "TRUE") return true;
    if (text == "false" || text == "False" || text == "FALSE") return false;
    return std::nullopt;
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
                return decimal(number.as_negative());
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

Status check_flow_nesting(std::string_view text) {
    int depth = 0;
    for (char c : text) {
        if (c == '[' || c == '{') {
            if (++depth > MAX_FRONTMATTER_FLOW_DEPTH) {
                return CompileError::of(ErrorKind::ResourceLimit,
                                        "frontmatter YAML flow nesting exceeds maximum depth of " +
                                            decimal(MAX_FRONTMATTER_FLOW_DEPTH));
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return {};
}

bool is_reserved_key(std::string_view key) {
    for (std::string_view reserved : MERGE_RESERVED_KEYS) {
        if (key == reserved) return true;
    }
    return false;
}

// The value of a collected document, or the error that stopped its collection or its build.
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

}  // namespace

Result<YamlValue> parse_frontmatter_yaml(std::string_view text) {
    if (text.size() > MAX_FRONTMATTER_BYTES) {
        return CompileError::of(ErrorKind::ResourceLimit,
                                "frontmatter too large (" + decimal(text.size()) + " bytes, max " +
                                    decimal(MAX_FRONTMATTER_BYTES) + " bytes)");
    }
    TYX_TRY(check_flow_nesting(text));

    if (std::optional<Document> simple = simple_mapping_document(text)) {
        return build_document(*simple);
    }
    EventReader reader(text);
    if (!reader.ready()) {
        return CompileError::of(ErrorKind::Yaml, "cannot initialize the YAML parser");
    }
    const Document document = collect_first_document(reader);
    TYX_ASSIGN_OR_RETURN(YamlValue value, build_document(document));
    if (document.found) {
        const yaml_event_t* event = reader.next();
        if (event == nullptr) return CompileError::of(ErrorKind::Yaml, reader.error_message());
        if (event->type == YAML_DOCUMENT_START_EVENT) {
            return CompileError::of(
                ErrorKind::Yaml,
                "deserializing from YAML containing more than one document is not supported");
        }
    }
    return value;
}

bool plain_scalar_changes_kind(std::string_view text) {
    if (text.empty() || is_null_word(text) || bool_word(text)) return true;
    if (text.front() != '.' && text.front() != '+' && text.front() != '-' &&
        !is_digit(text.front())) {
        return false;
    }
    const IntegerForm form = parse_integer_form(text);
    if (form.shape == IntegerShape::LeadingZero) return true;
    if (form.shape == IntegerShape::Integer && !form.beyond_128_bits) return true;
    return parse_float_form(text).has_value();
}

Result<YamlMapping> merge_frontmatter(const YamlMapping& base, const YamlMapping& overlay,
                                      int depth) {
    if (depth > MAX_FRONTMATTER_MERGE_DEPTH) {
        return CompileError::of(
            ErrorKind::ResourceLimit,
            "frontmatter merge depth exceeds maximum of " + decimal(MAX_FRONTMATTER_MERGE_DEPTH));
    }
    auto taken = [depth](const YamlValue& key) {
        return key.is_string() && !(depth == 0 && is_reserved_key(key.as_string()));
    };
    YamlMapping result;
    for (const auto& [key, value] : base.entries()) {
        if (!taken(key)) continue;
        const YamlValue* other = overlay.find(key);
        if (other == nullptr) {
            result.insert(key, value);
        } else if (value.is_mapping() && other->is_mapping()) {
            TYX_ASSIGN_OR_RETURN(
                YamlMapping merged,
                merge_frontmatter(value.as_mapping(), other->as_mapping(), depth + 1));
            result.insert(key, YamlValue::mapping(std::move(merged)));
        } else {
            result.insert(key, *other);
        }
    }
    for (const auto& [key, value] : overlay.entries()) {
        if (taken(key)) result.insert(key, value);  // refused for keys already taken from base
    }
    return result;
}

}  // namespace tyx
