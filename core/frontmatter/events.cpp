#include "core/frontmatter/events.h"

#include <algorithm>
#include <unordered_map>

#include "core/format.h"
#include "core/frontmatter/scalars.h"
#include "core/keyed_hash.h"

namespace tyx::frontmatter {
namespace {

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

}  // namespace

std::string EventReader::error_message() const {
    return libyaml_message(parser_);
}

std::string position_suffix(uint64_t line, uint64_t column) {
    if (line == 0 && column == 0) return {};
    return " at line " + decimal(line + 1) + " column " + decimal(column + 1);
}

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

}  // namespace tyx::frontmatter
