// Lexes arbitrary bytes and checks what every token list and lexer error must satisfy; also
// checks the two display helpers on the same input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/display.h"
#include "core/lexer.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// Kinds whose text is a verbatim slice of the source starting at the token's offset.
bool is_verbatim(tyx::TokenKind kind) {
    return kind == tyx::TokenKind::Text || kind == tyx::TokenKind::CodeBlock ||
           kind == tyx::TokenKind::CodeFence || kind == tyx::TokenKind::Directive;
}

void check_tokens(std::string_view source) {
    const tyx::Result<std::vector<tyx::Token>> tokens = tyx::tokenize(source, "fuzz.tyx");
    if (!tokens.ok()) {
        const tyx::CompileError& error = tokens.error();
        require(error.kind == tyx::ErrorKind::Syntax);
        require(error.location.span.has_value());
        require(error.location.span->offset + error.location.span->length <= source.size());
        return;
    }
    uint64_t previous = 0;
    for (const tyx::Token& token : tokens.value()) {
        require(token.offset >= previous && token.offset <= source.size());
        previous = token.offset;
        if (is_verbatim(token.kind)) {
            require(!token.text.empty());
            require(source.substr(token.offset, token.text.size()) == token.text);
        }
    }
}

void check_display(std::string_view text) {
    const std::string neutral = tyx::neutralize_source_for_render(text);
    require(neutral.size() == text.size());
    const std::string escaped = tyx::escape_for_display(text);
    for (char c : escaped) {
        const auto byte = static_cast<unsigned char>(c);
        require(byte == '\t' || (byte >= 0x20 && byte != 0x7F));
    }
    // Neutralizing leaves nothing that escaping would still change, apart from line feeds.
    for (char c : neutral)
        require(c == '\n' || c == '\t' || static_cast<unsigned char>(c) >= 0x20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check_tokens(input);
    check_display(input);
    return 0;
}
