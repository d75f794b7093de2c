#include "core/frontmatter/frontmatter.h"

#include <optional>

#include "core/format.h"
#include "core/frontmatter/builder.h"
#include "core/frontmatter/events.h"
#include "core/frontmatter/scalars.h"

namespace tyx {
namespace {

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

}  // namespace

Result<YamlValue> parse_frontmatter_yaml(std::string_view text) {
    if (text.size() > MAX_FRONTMATTER_BYTES) {
        return CompileError::of(ErrorKind::ResourceLimit,
                                "frontmatter too large (" + decimal(text.size()) + " bytes, max " +
                                    decimal(MAX_FRONTMATTER_BYTES) + " bytes)");
    }
    TYX_TRY(check_flow_nesting(text));

    if (std::optional<frontmatter::Document> simple = frontmatter::simple_mapping_document(text)) {
        return frontmatter::build_document(*simple);
    }
    frontmatter::EventReader reader(text);
    if (!reader.ready()) {
        return CompileError::of(ErrorKind::Yaml, "cannot initialize the YAML parser");
    }
    const frontmatter::Document document = frontmatter::collect_first_document(reader);
    TYX_ASSIGN_OR_RETURN(YamlValue value, frontmatter::build_document(document));
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
    using namespace frontmatter;
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

}  // namespace tyx
