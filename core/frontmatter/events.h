// The node events of a frontmatter's first document, read by libyaml or, for a block of plain
// `key: value` lines, without it. Only the frontmatter's own files include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <yaml.h>

namespace tyx::frontmatter {

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

// " at line L column C" for a zero-based position, or nothing for the very start of the text.
std::string position_suffix(uint64_t line, uint64_t column);

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

    std::string error_message() const;

  private:
    yaml_parser_t parser_{};
    yaml_event_t event_{};
    bool ready_ = false;
    bool has_event_ = false;
    bool failed_ = false;
};

// Collects the events of the first document, resolving each alias to the latest anchor of its
// name defined before it.
Document collect_first_document(EventReader& reader);

// The document of a frontmatter block made only of `key: value` lines, as libyaml would report
// it, or nothing for any other text. Each line holds a key of ASCII letters, digits, "_" and "-"
// (a letter or "_" first), a colon, spaces, and a one-line plain value of ASCII letters, digits,
// spaces and ".,_-/()+" that starts with a letter, digit or "_" and does not end in a space.
// Such a value holds no indicator that could end it or change its kind, so it is read
// without a parser: the usual frontmatter of a prompt is a few lines of this form.
std::optional<Document> simple_mapping_document(std::string_view text);

}  // namespace tyx::frontmatter
