#include "core/resolver/inheritance.h"

#include <yaml.h>

#include <array>
#include <bitset>
#include <charconv>
#include <cmath>
#include <utility>
#include <variant>

#include "core/format.h"
#include "core/resolver/frontmatter_imports.h"
#include "core/resolver/frontmatter_scope.h"
#include "core/resolver/loaders.h"
#include "core/resolver/module_directives.h"
#include "core/resolver/source_path.h"
#include "core/text.h"
#include "core/validator.h"

namespace tyx {
namespace {

constexpr std::string_view kOnlyBlockOverrides =
    "an extending template may contain only @block overrides";
constexpr std::string_view kOnlyRootDeclares =
    "only the root template may declare @block placeholders";
constexpr std::string_view kMissingBlockEntry =
    "internal error: skeleton @block has no effective_blocks entry: the override map was not "
    "built for this skeleton, so a child's @block override would be silently dropped from the "
    "compiled output";

uint64_t node_offset(const Node& node) {
    return visit_node([](const auto& directive) { return directive.offset; }, node);
}

bool continues_character(std::string_view text, uint64_t offset) {
    return offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80;
}

BlockMap::iterator find_block(BlockMap& blocks, std::string_view name) {
    for (auto it = blocks.begin(); it != blocks.end(); ++it) {
        if (it->first == name) return it;
    }
    return blocks.end();
}

const BlockOverride* find_block(const BlockMap& blocks, std::string_view name) {
    for (const auto& [block_name, entry] : blocks) {
        if (block_name == name) return &entry;
    }
    return nullptr;
}

BlockOverride override_of(const std::shared_ptr<const std::vector<Node>>& body,
                          const Node::Block& block, const SharedSource& source) {
    return BlockOverride{std::shared_ptr<const std::vector<Node>>(body, &block.body), source,
                         block.offset};
}

// Resolves and compiles the parent named by the template's @extends line; the failures that
// can be placed are placed at that line.
Result<CompiledModulePtr> resolve_parent_at_line(Resolver& resolver, const ParsedTemplate& parsed,
                                                 const ModuleSource& source,
                                                 std::vector<std::string>& warnings,
                                                 std::string& parent_key) {
    const std::string_view path = *parsed.extends;
    Result<CompiledModulePtr> parent = [&]() -> Result<CompiledModulePtr> {
        TYX_TRY(check_import_path(path));
        TYX_ASSIGN_OR_RETURN(parent_key, resolver.loader().resolve_relative(source.base_dir, path));
        return resolve_extends_parent(resolver, parent_key, source.vars, warnings);
    }();
    if (parent.ok()) return parent;
    return attach_import_error_span(std::move(parent).take_error(), path, source.display_name,
                                    source.text, parsed.extends_offset);
}

Result<std::vector<FrontmatterImport>> imports_of(const std::optional<YamlMapping>& frontmatter) {
    if (!frontmatter) return std::vector<FrontmatterImport>();
    const YamlValue* imports = frontmatter->find("imports");
    if (imports == nullptr) return std::vector<FrontmatterImport>();
    return parse_frontmatter_imports(*imports);
}

// The imports lists a template extending `parent` binds: those of the parent's chain and, for a
// root, its own, which only a root's stored frontmatter still holds.
Result<std::vector<FrontmatterImportList>> inherited_imports(const CompiledModule& parent,
                                                             std::string_view parent_key) {
    std::vector<FrontmatterImportList> lists = parent.chain_imports;
    TYX_ASSIGN_OR_RETURN(std::vector<FrontmatterImport> own, imports_of(parent.frontmatter));
    if (!own.empty()) lists.push_back({std::string(parent_key), std::move(own)});
    return lists;
}

// Two imports that bind one name collide, as a parent's function and an import do. A function
// the root's own import took the place of, its own or a frontmatter import's, gives way again.
Status bind_directive_imports(const DirectiveImports& root, const FunctionMap& parent_functions,
                              Scope& scope) {
    for (const auto& [alias, module] : root.aliases) {
        if (scope.lookup_import_alias(alias) != nullptr) {
            return CompileError::of(ErrorKind::NameCollision, alias);
        }
        scope.define_import_alias(alias, module);
    }
    const auto holds = [](const FunctionMap& functions, std::string_view name,
                          const FunctionDef* function) {
        const auto found = functions.find(name);
        return found != functions.end() && found->second.get() == function;
    };
    for (const auto& [name, function] : root.functions) {
        const FunctionDef* present = scope.lookup_function(name);
        if (present != nullptr && !holds(parent_functions, name, present) &&
            !holds(root.replaced, name, present)) {
            return CompileError::of(ErrorKind::NameCollision, name);
        }
        scope.define_function(name, function);
    }
    return {};
}

Result<std::optional<YamlMapping>> merge_chain_frontmatter(
    const std::optional<YamlMapping>& parent, const std::optional<YamlMapping>& child) {
    const YamlMapping empty;
    TYX_ASSIGN_OR_RETURN(YamlMapping merged,
                         merge_frontmatter(parent ? *parent : empty, child ? *child : empty, 0));
    if (merged.empty()) return std::optional<YamlMapping>();
    return std::optional<YamlMapping>(std::move(merged));
}

// The shortest decimal that reads back to the same float, laid out as the Ryu printer does:
// positional up to 16 integer digits or 4 leading fraction zeros, else with an exponent.
std::string float_text(double number) {
    if (std::isnan(number)) return ".nan";
    if (std::isinf(number)) return number < 0 ? "-.inf" : ".inf";
    std::string out = std::signbit(number) ? "-" : "";
    if (number == 0) return out + "0.0";
    std::array<char, 64> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(number),
                                   std::chars_format::scientific);
    (void)ec;  // 64 bytes hold any shortest scientific double
    const std::string_view text(buffer.data(), static_cast<size_t>(end - buffer.data()));
    const size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits += c;
    }
    std::string_view exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    int exponent = 0;
    (void)std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(),
                          exponent);

    // The value is digits times 10^k, and 10^(point - 1) <= value < 10^point.
    const long length = static_cast<long>(digits.size());
    const long point = static_cast<long>(exponent) + 1;
    const long k = point - length;
    if (k >= 0 && point <= 16) {
        out += digits;
        out.append(static_cast<size_t>(k), '0');
        out += ".0";
    } else if (point > 0 && point <= 16) {
        out.append(digits, 0, static_cast<size_t>(point));
        out += '.';
        out.append(digits, static_cast<size_t>(point), std::string::npos);
    } else if (point > -5 && point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else {
        out += digits.front();
        if (length > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += 'e';
        out += std::to_string(point - 1);
    }
    return out;
}

std::string number_text(const YamlNumber& number) {
    switch (number.kind()) {
        case YamlNumber::Kind::Unsigned:
            return decimal(number.as_unsigned());
        case YamlNumber::Kind::Negative:
            return std::to_string(number.as_negative());
        case YamlNumber::Kind::Float:
            break;
    }
    return float_text(number.as_float());
}

// A well-formed UTF-8 encoding of a character past U+FFFF begins at byte `i`.
bool astral_at(std::string_view text, size_t i) {
    if (text.size() - i < 4) return false;
    const auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    if (b(0) < 0xF0 || b(0) > 0xF4) return false;
    if ((b(1) & 0xC0) != 0x80 || (b(2) & 0xC0) != 0x80 || (b(3) & 0xC0) != 0x80) return false;
    return !(b(0) == 0xF0 && b(1) < 0x90) && !(b(0) == 0xF4 && b(1) > 0x8F);
}

// libyaml's emitter cannot write two things as they are: a character past U+FFFF, which it
// counts as unprintable and escapes even in Unicode output, and the non-specific tag "!", which
// it writes as "!<%21>". Both pass through it by way of a stand-in character from the private
// use block U+E000..U+EFFF that nothing in the mapping holds, neither as it is nor in the
// percent-encoded form libyaml gives it in a tag: such a character is handed over as the
// stand-in, which libyaml writes like any letter, and the tag as "!" and the stand-in, which it
// writes percent-encoded after the "!". The written text then gets the characters back in order,
// since libyaml writes the scalars in the order given, and the tag as "!". A stand-in is a byte
// shorter than the character, which can only move the length past which libyaml writes a key in
// the explicit "? " form.
class StandIns {
  public:
    StandIns() = default;
    explicit StandIns(const YamlMapping& mapping) {
        for (const auto& [key, value] : mapping.entries()) {
            survey(key);
            survey(value);
        }
        if (!needed_) return;
        for (size_t index = 0; index < kBlockSize; ++index) {
            if (used_[index]) continue;
            stand_in_ = {static_cast<char>(0xEE), static_cast<char>(0x80 | (index >> 6)),
                         static_cast<char>(0x80 | (index & 0x3F))};
            written_tag_ = "!" + percent_encoded(stand_in_);
            return;
        }
    }

    // `text` with its characters past U+FFFF replaced, which are kept for `restore`.
    std::string hand_over(const std::string& text) {
        if (stand_in_.empty()) return text;
        std::string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            if (!astral_at(text, i)) {
                out += text[i];
                continue;
            }
            out += stand_in_;
            taken_.append(text, i, 4);
            i += 3;
        }
        return out;
    }

    // What libyaml is given for the tag "!": without a stand-in it writes it the long way.
    std::string non_specific_tag() const { return "!" + stand_in_; }

    std::string restore(const std::string& written) const {
        if (stand_in_.empty()) return written;
        std::string out;
        out.reserve(written.size());
        size_t next = 0;
        for (size_t i = 0; i < written.size();) {
            if (written.compare(i, stand_in_.size(), stand_in_) == 0 && next < taken_.size()) {
                out.append(taken_, next, 4);
                next += 4;
                i += stand_in_.size();
            } else if (written.compare(i, written_tag_.size(), written_tag_) == 0) {
                out += '!';
                i += written_tag_.size();
            } else {
                out += written[i++];
            }
        }
        return out;
    }

  private:
    static constexpr size_t kBlockSize = 0x1000;

    static std::string percent_encoded(std::string_view bytes) {
        constexpr std::string_view kDigits = "0123456789ABCDEF";
        std::string out;
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0x0F];
        }
        return out;
    }

    static std::optional<unsigned> hex_byte(std::string_view text) {
        unsigned byte = 0;
        for (const char c : text) {
            if (c >= '0' && c <= '9') {
                byte = byte * 16 + static_cast<unsigned>(c - '0');
            } else if (c >= 'A' && c <= 'F') {
                byte = byte * 16 + static_cast<unsigned>(c - 'A' + 10);
            } else {
                return std::nullopt;
            }
        }
        return byte;
    }

    void survey(const YamlValue& value) {
        switch (value.kind()) {
            case YamlValue::Kind::String:
                survey(value.as_string());
                break;
            case YamlValue::Kind::Sequence:
                for (const YamlValue& item : value.as_sequence())
                    survey(item);
                break;
            case YamlValue::Kind::Mapping:
                for (const auto& [key, item] : value.as_mapping().entries()) {
                    survey(key);
                    survey(item);
                }
                break;
            case YamlValue::Kind::Tagged:
                needed_ = needed_ || value.tag() == "!";
                survey(value.tag());
                survey(value.tagged_value());
                break;
            case YamlValue::Kind::Null:
            case YamlValue::Kind::Bool:
            case YamlValue::Kind::Number:
                break;
        }
    }

    // A byte 0xEE of well-formed text leads a character of the block; "%EE%xx%yy" is the form
    // of one in a written tag.
    void survey(std::string_view text) {
        for (size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte == 0xEE && text.size() - i >= 3) {
                mark(static_cast<unsigned char>(text[i + 1]),
                     static_cast<unsigned char>(text[i + 2]));
            } else if (text.compare(i, 4, "%EE%") == 0 && text.size() - i >= 9 &&
                       text[i + 6] == '%') {
                const std::optional<unsigned> first = hex_byte(text.substr(i + 4, 2));
                const std::optional<unsigned> second = hex_byte(text.substr(i + 7, 2));
                if (first && second) mark(*first, *second);
            } else if (astral_at(text, i)) {
                needed_ = true;
            }
        }
    }

    void mark(unsigned first, unsigned second) {
        used_[((first & 0x3Fu) << 6) | (second & 0x3Fu)] = true;
    }

    std::bitset<kBlockSize> used_;
    bool needed_ = false;
    std::string stand_in_;
    std::string written_tag_;
    std::string taken_;
};

// Trims of blank lines and of white space, of the written text or of the text around it, must
// not reach into a value: a string that begins or ends with white space is quoted, and so is one
// whose literal block would end in a line of white space alone.
bool quoted_against_trims(std::string_view text) {
    if (text.find('\n') == std::string_view::npos) {
        return trim_white_space(text).size() != text.size();
    }
    const std::string_view content = text.substr(0, text.find_last_not_of('\n') + 1);
    const std::string_view last_line = content.substr(content.rfind('\n') + 1);
    return !last_line.empty() && is_white_space_only(last_line);
}

// Writes one mapping as a YAML document through libyaml's emitter into a string.
class FrontmatterWriter {
  public:
    FrontmatterWriter() : ready_(yaml_emitter_initialize(&emitter_) != 0) {
        if (!ready_) return;
        yaml_emitter_set_output(&emitter_, &append_output, &out_);
        yaml_emitter_set_unicode(&emitter_, 1);
        yaml_emitter_set_width(&emitter_, -1);
    }
    ~FrontmatterWriter() {
        if (ready_) yaml_emitter_delete(&emitter_);
    }
    FrontmatterWriter(const FrontmatterWriter&) = delete;
    FrontmatterWriter& operator=(const FrontmatterWriter&) = delete;

    Result<std::string> write(const YamlMapping& mapping) {
        if (!ready_) return CompileError::of(ErrorKind::Yaml, "cannot initialize the YAML writer");
        stand_ins_ = StandIns(mapping);
        yaml_event_t event;
        TYX_TRY(emit(yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING), event));
        TYX_TRY(emit(yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 1),
                     event));
        TYX_TRY(write_mapping(mapping, nullptr));
        TYX_TRY(emit(yaml_document_end_event_initialize(&event, 1), event));
        TYX_TRY(emit(yaml_stream_end_event_initialize(&event), event));
        return stand_ins_.restore(out_);
    }

  private:
    static int append_output(void* data, unsigned char* buffer, size_t size) {
        static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), size);
        return 1;
    }

    static yaml_char_t* chars(const std::string& text) {
        return reinterpret_cast<yaml_char_t*>(const_cast<char*>(text.c_str()));
    }

    // libyaml refuses to build an event only for text that is not UTF-8.
    Status emit(int initialized, yaml_event_t& event) {
        if (initialized == 0) {
            return CompileError::of(ErrorKind::Yaml,
                                    "cannot write frontmatter: text is not valid UTF-8");
        }
        if (yaml_emitter_emit(&emitter_, &event) == 0) {
            return CompileError::of(ErrorKind::Yaml, emitter_.problem != nullptr
                                                         ? emitter_.problem
                                                         : "cannot write frontmatter");
        }
        return {};
    }

    Status write_value(const YamlValue& value, const std::string* tag) {
        switch (value.kind()) {
            case YamlValue::Kind::Null:
                return write_scalar("null", YAML_PLAIN_SCALAR_STYLE, tag);
            case YamlValue::Kind::Bool:
                return write_scalar(value.as_bool() ? "true" : "false", YAML_PLAIN_SCALAR_STYLE,
                                    tag);
            case YamlValue::Kind::Number:
                return write_scalar(number_text(value.as_number()), YAML_PLAIN_SCALAR_STYLE, tag);
            case YamlValue::Kind::String:
                return write_string(value.as_string(), tag);
            case YamlValue::Kind::Sequence:
                return write_sequence(value.as_sequence(), tag);
            case YamlValue::Kind::Mapping:
                return write_mapping(value.as_mapping(), tag);
            case YamlValue::Kind::Tagged: {
                // A node holds one tag; the outer one is the one the text carried. The loader
                // keeps the non-specific tag as "!" itself; written as "!!" it would be another
                // tag to any other reader.
                const std::string local =
                    value.tag() == "!" ? stand_ins_.non_specific_tag() : "!" + value.tag();
                const YamlValue* inner = &value.tagged_value();
                while (inner->is_tagged())
                    inner = &inner->tagged_value();
                return write_value(*inner, tag != nullptr ? tag : &local);
            }
        }
        return {};
    }

    // A string that would read back as another kind is quoted, so the text keeps its values.
    // libyaml writes a quoted string that single quotes cannot hold in double quotes.
    Status write_string(const std::string& text, const std::string* tag) {
        yaml_scalar_style_t style = YAML_ANY_SCALAR_STYLE;
        if (quoted_against_trims(text)) {
            style = YAML_SINGLE_QUOTED_SCALAR_STYLE;
        } else if (text.find('\n') != std::string::npos) {
            style = YAML_LITERAL_SCALAR_STYLE;
        } else if (plain_scalar_changes_kind(text)) {
            style = YAML_SINGLE_QUOTED_SCALAR_STYLE;
        }
        return write_scalar(stand_ins_.hand_over(text), style, tag);
    }

    Status write_scalar(const std::string& text, yaml_scalar_style_t style,
                        const std::string* tag) {
        yaml_event_t event;
        const int implicit = tag == nullptr ? 1 : 0;
        return emit(yaml_scalar_event_initialize(
                        &event, nullptr, tag != nullptr ? chars(*tag) : nullptr, chars(text),
                        static_cast<int>(text.size()), implicit, implicit, style),
                    event);
    }

    Status write_sequence(const YamlSequence& items, const std::string* tag) {
        yaml_event_t event;
        TYX_TRY(emit(yaml_sequence_start_event_initialize(
                         &event, nullptr, tag != nullptr ? chars(*tag) : nullptr,
                         tag == nullptr ? 1 : 0, YAML_BLOCK_SEQUENCE_STYLE),
                     event));
        for (const YamlValue& item : items)
            TYX_TRY(write_value(item, nullptr));
        return emit(yaml_sequence_end_event_initialize(&event), event);
    }

    Status write_mapping(const YamlMapping& mapping, const std::string* tag) {
        yaml_event_t event;
        TYX_TRY(emit(yaml_mapping_start_event_initialize(
                         &event, nullptr, tag != nullptr ? chars(*tag) : nullptr,
                         tag == nullptr ? 1 : 0, YAML_BLOCK_MAPPING_STYLE),
                     event));
        for (const auto& [key, value] : mapping.entries()) {
            TYX_TRY(write_value(key, nullptr));
            TYX_TRY(write_value(value, nullptr));
        }
        return emit(yaml_mapping_end_event_initialize(&event), event);
    }

    StandIns stand_ins_;
    yaml_emitter_t emitter_{};
    std::string out_;
    bool ready_ = false;
};

}  // namespace

Status check_extending_template_body(const std::vector<Node>& body, const ModuleSource& source) {
    for (const Node& node : body) {
        if (node_is<Node::Block>(node)) continue;
        const auto* text = node_if<Node::Text>(node);
        if (text != nullptr && is_white_space_only(text->text)) continue;
        uint64_t offset = 0;
        uint64_t length = 0;
        if (text != nullptr || node_is<Node::Export>(node)) {
            length = line_length_at(source.text, 0);
        } else {
            offset = node_offset(node);
            if (!continues_character(source.text, offset)) {
                length = line_length_at(source.text, offset);
            }
        }
        return make_extends_error_at(kOnlyBlockOverrides, source.display_name, source.text, offset,
                                     length);
    }
    return {};
}

Result<BlockMap> build_effective_blocks(const BlockMap& parent_blocks,
                                        const std::shared_ptr<const std::vector<Node>>& body,
                                        const SharedSource& source) {
    BlockMap blocks = parent_blocks;
    for (const Node& node : *body) {
        const auto* block = node_if<Node::Block>(node);
        if (block == nullptr) continue;
        auto entry = find_block(blocks, block->name);
        if (entry == blocks.end()) {
            return make_extends_error_at(kOnlyRootDeclares, *source.display_name, *source.text,
                                         block->offset, block->name.size());
        }
        entry->second = override_of(body, *block, source);
    }
    return blocks;
}

BlockMap collect_block_declarations(const std::shared_ptr<const std::vector<Node>>& body,
                                    const std::set<std::string, std::less<>>& block_names,
                                    const SharedSource& source) {
    BlockMap blocks;
    for (const Node& node : *body) {
        const auto* block = node_if<Node::Block>(node);
        if (block == nullptr || !block_names.contains(block->name)) continue;
        blocks.emplace_back(block->name, override_of(body, *block, source));
    }
    return blocks;
}

Result<MergedFrontmatter> merge_parent_frontmatter(Resolver& resolver, const CompiledModule& parent,
                                                   const std::optional<YamlMapping>& child,
                                                   std::string_view parent_key,
                                                   const ModuleSource& source,
                                                   std::vector<std::string>& warnings) {
    TYX_ASSIGN_OR_RETURN(std::vector<FrontmatterImportList> parent_imports,
                         inherited_imports(parent, parent_key));
    TYX_ASSIGN_OR_RETURN(std::vector<FrontmatterImport> child_imports, imports_of(child));
    const YamlMapping empty;
    MergedFrontmatter merged;
    TYX_ASSIGN_OR_RETURN(merged.mapping,
                         merge_frontmatter(parent.frontmatter ? *parent.frontmatter : empty,
                                           child ? *child : empty, 0));
    for (const auto& [key, value] : merged.mapping.entries()) {
        TYX_ASSIGN_OR_RETURN(Value converted, value_from_yaml(value, 0));
        merged.scope.define_variable(key.as_string(), std::move(converted));
    }
    // Unlike a module's own frontmatter scope, nothing of the caller's is refused here.
    if (source.vars != nullptr) {
        for (const auto& [name, value] : *source.vars)
            merged.scope.define_variable(name, value);
    }

    const ModuleLoader& loader = resolver.loader();
    const std::string_view parent_text = parent.source.text.view();
    const auto bind_parent_imports = [&](const FrontmatterImportList& list) -> Status {
        const std::string display_name = display_source_path_with_root(list.key, loader);
        const std::string directory = loader.parent_dir(list.key);
        const ModuleSource importer{list.key, display_name, parent_text, directory, source.vars};
        return bind_frontmatter_imports(resolver, list.entries, merged.scope, importer, warnings);
    };
    const DirectiveImports* root = parent.directive_imports.get();
    size_t bound = 0;
    // The root's @import lines ran after its frontmatter imports, whose list, when it has one,
    // comes first; its `prompt` then stands as it did there, beneath the lower templates' own.
    if (root != nullptr && !parent_imports.empty() && parent_imports.front().key == root->key) {
        TYX_TRY(bind_parent_imports(parent_imports.front()));
        bound = 1;
    }
    if (root != nullptr && root->prompt) merged.scope.define_variable("prompt", *root->prompt);
    for (; bound < parent_imports.size(); ++bound)
        TYX_TRY(bind_parent_imports(parent_imports[bound]));
    TYX_TRY(bind_frontmatter_imports(resolver, child_imports, merged.scope, source, warnings));
    for (const auto& [name, function] : module_functions(parent)) {
        if (merged.scope.lookup_function(name) != nullptr) {
            return CompileError::of(ErrorKind::NameCollision, name);
        }
        merged.scope.define_function(name, function);
    }
    if (root != nullptr)
        TYX_TRY(bind_directive_imports(*root, module_functions(parent), merged.scope));
    merged.chain_imports = std::move(parent_imports);
    if (!child_imports.empty()) {
        merged.chain_imports.push_back({std::string(source.key), std::move(child_imports)});
    }
    return merged;
}

Result<std::optional<std::string>> emit_frontmatter_yaml(const YamlMapping& mapping) {
    if (mapping.empty()) return std::optional<std::string>();
    TYX_ASSIGN_OR_RETURN(std::string text, FrontmatterWriter().write(mapping));
    if (std::optional<std::string> invalid = describe_invalid_utf8(text)) {
        return CompileError::of(ErrorKind::Yaml,
                                "written frontmatter is not valid UTF-8: " + std::move(*invalid));
    }
    const std::string_view kept = trim_blank_lines(text);
    if (kept.empty()) return std::optional<std::string>();
    return std::optional<std::string>(cat(kept, "\n"));
}

Result<std::vector<BodyPart>> expand_skeleton(
    const std::shared_ptr<const std::vector<Node>>& skeleton_nodes, const BlockMap& blocks,
    const SharedSource& skeleton_source) {
    std::vector<BodyPart> parts;
    parts.reserve(skeleton_nodes->size());
    for (const Node& node : *skeleton_nodes) {
        if (const auto* block = node_if<Node::Block>(node)) {
            const BlockOverride* entry = find_block(blocks, block->name);
            if (entry == nullptr) return new_syntax_error(kMissingBlockEntry);
            parts.push_back(
                BodyPart{entry->body, std::span<const Node>(*entry->body), entry->source});
        } else {
            parts.push_back(
                BodyPart{skeleton_nodes, std::span<const Node>(&node, 1), skeleton_source});
        }
    }
    return parts;
}

namespace {

// Copies of nodes of several trees, with what keeps those trees alive.
struct FlattenedNodes {
    std::vector<std::shared_ptr<const std::vector<Node>>> owners;
    std::vector<Node> nodes;
};

}  // namespace

Result<std::shared_ptr<const std::vector<Node>>> flatten_skeleton(
    const std::shared_ptr<const std::vector<Node>>& skeleton_nodes, const BlockMap& blocks,
    const SharedSource& skeleton_source) {
    TYX_ASSIGN_OR_RETURN(std::vector<BodyPart> parts,
                         expand_skeleton(skeleton_nodes, blocks, skeleton_source));
    auto flattened = std::make_shared<FlattenedNodes>();
    size_t count = 0;
    for (const BodyPart& part : parts)
        count += part.nodes.size();
    flattened->nodes.reserve(count);
    flattened->owners.reserve(parts.size());
    for (const BodyPart& part : parts) {
        flattened->nodes.insert(flattened->nodes.end(), part.nodes.begin(), part.nodes.end());
        if (flattened->owners.empty() || flattened->owners.back() != part.owner) {
            flattened->owners.push_back(part.owner);
        }
    }
    return std::shared_ptr<const std::vector<Node>>(flattened, &flattened->nodes);
}

Status validate_expanded_skeleton(const ExtendedTemplate& extended, Scope& scope) {
    TYX_ASSIGN_OR_RETURN(std::vector<BodyPart> parts,
                         expand_skeleton(extended.skeleton.nodes, extended.effective_blocks,
                                         extended.skeleton.source));
    for (const BodyPart& part : parts) {
        TYX_TRY(validate_nodes(part.nodes, scope, *part.source.display_name, *part.source.text));
    }
    return {};
}

Result<CompiledModulePtr> resolve_extends_parent(Resolver& resolver, std::string key,
                                                 const VarsMap* vars,
                                                 std::vector<std::string>& warnings) {
    // A module compiled first as an import serves as a parent unchanged.
    if (const CompiledModulePtr* cached = resolver.find_module(key)) return *cached;
    TYX_ASSIGN_OR_RETURN(CompiledModule module, compile_module_at_key(resolver, key, vars, warnings,
                                                                      compile_parent_module));
    auto shared = std::make_shared<const CompiledModule>(std::move(module));
    resolver.store_module(std::move(key), shared);
    return CompiledModulePtr(std::move(shared));
}

Result<ParentChain> apply_parent_extends(Resolver& resolver, const ParsedTemplate& parsed,
                                         const std::optional<YamlMapping>& frontmatter,
                                         const std::shared_ptr<const std::vector<Node>>& body,
                                         const ModuleSource& source,
                                         const SharedSource& shared_source,
                                         std::vector<std::string>& warnings) {
    std::string grandparent_key;
    TYX_ASSIGN_OR_RETURN(
        CompiledModulePtr grandparent,
        resolve_parent_at_line(resolver, parsed, source, warnings, grandparent_key));
    TYX_TRY(check_extending_template_body(*body, source));
    ParentChain chain;
    TYX_ASSIGN_OR_RETURN(chain.effective_blocks,
                         build_effective_blocks(grandparent->blocks, body, shared_source));
    chain.skeleton = Skeleton{grandparent->nodes, grandparent->source};
    TYX_ASSIGN_OR_RETURN(chain.merged_frontmatter,
                         merge_chain_frontmatter(grandparent->frontmatter, frontmatter));
    chain.functions = module_functions(*grandparent);
    TYX_ASSIGN_OR_RETURN(chain.chain_imports, inherited_imports(*grandparent, grandparent_key));
    chain.directive_imports = grandparent->directive_imports;
    return chain;
}

Result<CompiledModule> compile_parent_module(Resolver& resolver, const ModuleSource& source,
                                             bool is_plain_markdown,
                                             std::vector<std::string>& warnings) {
    TYX_ASSIGN_OR_RETURN(ParsedModule parsed, parse_module(source));
    const std::shared_ptr<const ParsedTemplate>& tree = parsed.tree;

    // The caller's variables are defined here without the test for `imports`: the extending
    // template binds such a variable like any other, and its parent must not refuse it first.
    TYX_ASSIGN_OR_RETURN(FrontmatterScope prepared,
                         build_frontmatter_scope(tree->frontmatter, parsed.parsed_frontmatter(),
                                                 is_plain_markdown, nullptr));
    if (source.vars != nullptr) {
        for (const auto& [name, value] : *source.vars)
            prepared.scope.define_variable(name, value);
    }
    TYX_TRY(bind_frontmatter_imports(resolver, prepared.imports, prepared.scope, source, warnings));
    std::shared_ptr<const std::vector<Node>> body(tree, &tree->body);
    SharedSource shared = shared_source_of(source, *tree);
    // Only a root's @import lines can reach the templates below it.
    const std::optional<ScopeImports> before =
        tree->extends ? std::nullopt : scope_imports(prepared.scope, *body);
    TYX_ASSIGN_OR_RETURN(
        DirectiveNames names,
        process_module_directives(resolver, tree, prepared.scope, source, warnings, &shared));
    names.expand();

    CompiledModule module;
    module.exports = std::move(names.exports);
    module.has_export_list = names.has_export_list;
    module.compiled_as_parent = true;
    if (!tree->extends) {
        module.blocks = collect_block_declarations(body, names.block_names, shared);
        module.nodes = std::move(body);
        module.source = std::move(shared);
        module.frontmatter = std::move(parsed.frontmatter);
        module.directive_imports =
            bound_directive_imports(prepared.scope, before, names.functions, source.key);
        module.functions = std::move(names.functions);
        return module;
    }
    TYX_ASSIGN_OR_RETURN(
        ParentChain chain,
        apply_parent_extends(resolver, *tree, parsed.frontmatter, body, source, shared, warnings));
    module.blocks = std::move(chain.effective_blocks);
    module.nodes = std::move(chain.skeleton.nodes);
    module.source = std::move(chain.skeleton.source);
    module.frontmatter = std::move(chain.merged_frontmatter);
    // The chain's functions stay visible below it, as they are for a module that extends and
    // is imported: a root's helpers serve its grandchildren too.
    module.functions = std::move(chain.functions);
    for (auto& [name, function] : names.functions)
        module.functions[name] = std::move(function);
    // Its own imports, bound above for its directive pass, serve its children's overrides too.
    module.chain_imports = std::move(chain.chain_imports);
    if (!prepared.imports.empty()) {
        module.chain_imports.push_back({std::string(source.key), std::move(prepared.imports)});
    }
    module.directive_imports = std::move(chain.directive_imports);
    return module;
}

Result<ExtendedTemplate> apply_extends(Resolver& resolver,
                                       const std::shared_ptr<const ParsedTemplate>& parsed,
                                       const ModuleSource& source,
                                       const std::optional<YamlMapping>& frontmatter,
                                       std::vector<std::string>& warnings) {
    std::string parent_key;
    TYX_ASSIGN_OR_RETURN(CompiledModulePtr parent,
                         resolve_parent_at_line(resolver, *parsed, source, warnings, parent_key));
    std::shared_ptr<const std::vector<Node>> body(parsed, &parsed->body);
    TYX_TRY(check_extending_template_body(*body, source));
    const SharedSource shared = shared_source_of(source, *parsed);

    ExtendedTemplate extended;
    TYX_ASSIGN_OR_RETURN(extended.effective_blocks,
                         build_effective_blocks(parent->blocks, body, shared));
    extended.skeleton = Skeleton{parent->nodes, parent->source};
    TYX_ASSIGN_OR_RETURN(
        MergedFrontmatter merged,
        merge_parent_frontmatter(resolver, *parent, frontmatter, parent_key, source, warnings));
    TYX_ASSIGN_OR_RETURN(extended.frontmatter_text, emit_frontmatter_yaml(merged.mapping));
    extended.scope = std::move(merged.scope);
    extended.chain_imports = std::move(merged.chain_imports);
    extended.directive_imports = parent->directive_imports;
    if (!merged.mapping.empty()) extended.merged_frontmatter = std::move(merged.mapping);

    TYX_ASSIGN_OR_RETURN(
        DirectiveNames names,
        process_module_directives(resolver, parsed, extended.scope, source, warnings, &shared));
    names.expand();
    extended.functions = module_functions(*parent);
    for (auto& [name, function] : names.functions)
        extended.functions[name] = std::move(function);
    TYX_TRY(check_module_exports(names.exports, extended.functions));
    extended.exports = std::move(names.exports);
    extended.has_export_list = names.has_export_list;

    TYX_ASSIGN_OR_RETURN(extended.flattened,
                         flatten_skeleton(extended.skeleton.nodes, extended.effective_blocks,
                                          extended.skeleton.source));
    return extended;
}

}  // namespace tyx
