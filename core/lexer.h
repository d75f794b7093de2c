// Turns one template's source into a flat list of tokens.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "core/text.h"

namespace tyx {

enum class TokenKind : uint8_t {
    Text,
    Interpolation,
    EscapedBrace,
    Directive,
    FrontmatterDelimiter,
    Frontmatter,
    CodeFence,
    CodeBlock,
};

struct Token {
    TokenKind kind = TokenKind::Text;
    // Byte offset of the token's first character in the source.
    uint64_t offset = 0;
    // A view of the source the tokens were made from, which the caller keeps alive while it
    // reads them. Empty for EscapedBrace and FrontmatterDelimiter; a Frontmatter token's text
    // still holds its carriage returns (see frontmatter_text).
    std::string_view text;
    friend bool operator==(const Token&, const Token&) = default;
};

// A fence line: its run of 3 or more backticks or tildes and whether only spaces and tabs
// follow the run.
struct FenceMarker {
    size_t length = 0;
    char32_t marker = U'`';
    bool bare = false;
    friend bool operator==(const FenceMarker&, const FenceMarker&) = default;
};

// Lexes a source a step at a time, for a parser that reads the tokens as they come, so that no
// list of every token is ever built. `source` must outlive the stream and its tokens.
class TokenStream {
  public:
    // How many tokens a step lexes at most, not counting a frontmatter block's.
    static constexpr size_t kTokensPerStep = 32;

    // `name` is the display name used only to locate errors.
    TokenStream(std::string_view source, std::string_view name);
    TokenStream(const TokenStream&) = delete;
    TokenStream& operator=(const TokenStream&) = delete;
    ~TokenStream();

    // Appends the next step's tokens to `out` (none, a few, or the three of a frontmatter
    // block); false once the source is exhausted. After an error, the tokens appended before it
    // stay in `out`; the stream is not called again.
    Result<bool> step(std::vector<Token>& out);

  private:
    class Lexer;
    std::unique_ptr<Lexer> lexer_;
};

// No fewer than the tokens `source` lexes to, counted cheaply.
size_t most_tokens(std::string_view source);

// `name` is the display name used only to locate errors. The tokens' texts are views of `source`.
Result<std::vector<Token>> tokenize(std::string_view source, std::string_view name);

// The fence marker of the line that starts at byte `position` of `source`, if it is a fence
// line: indentation of spaces, tabs and ">" first, then 3 or more backticks or tildes.
std::optional<FenceMarker> detect_code_fence(std::string_view source, size_t position);

// The text of a Frontmatter token as the template holds it: carriage returns removed.
std::string frontmatter_text(const Token& token);

}  // namespace tyx
