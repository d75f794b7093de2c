#include "core/lexer.h"

#include "core/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

namespace tyx {
namespace {

// Every byte the lexer decides on is ASCII, and ASCII bytes never occur inside a multi-byte
// UTF-8 sequence, so scanning bytes finds exactly the characters a scan of code points would.

constexpr std::string_view kUnclosedFrontmatter = "unclosed frontmatter (missing closing ---)";
constexpr std::string_view kUnclosedInterpolation =
    "unclosed `{{` interpolation \xE2\x80\x94 to include a literal `{{` in output, escape it as "
    "`\\{{`";
constexpr std::string_view kUnclosedCodeFence = "unclosed code fence";

// One token per 32 bytes is about what prose with a few interpolations per line gives; a
// denser template only grows the list a few more times.
constexpr size_t kSourceBytesPerToken = 32;

}  // namespace

class TokenStream::Lexer {
  public:
    Lexer(std::string_view source, std::string_view name) : source_(source), name_(name) {}

    Result<bool> step(std::vector<Token>& out) {
        out_ = &out;
        if (!started_) {
            started_ = true;
            if (source_.empty()) return false;
            if (source_.starts_with("---\n") || source_.starts_with("---\r\n")) {
                TYX_TRY(eat_frontmatter());
                return true;
            }
        }
        if (position_ < source_.size()) {
            // Tokens come in small batches, so that the reader asks once for many of them.
            const size_t batch_end = out.size() + kTokensPerStep;
            do {
                TYX_TRY(eat_next());
            } while (position_ < source_.size() && out.size() < batch_end);
            return true;
        }
        if (fence_) {
            return make_syntax_error_at(kUnclosedCodeFence, name_, source_, fence_->offset, 3);
        }
        return false;
    }

  private:
    struct OpenFence {
        size_t length = 0;
        char32_t marker = 0;
        uint64_t offset = 0;
    };

    bool at_line_start(size_t position) const {
        return position == 0 || source_[position - 1] == '\n';
    }

    bool closes_fence(const FenceMarker& marker) const {
        return marker.bare && marker.marker == fence_->marker && marker.length >= fence_->length;
    }

    void emit(TokenKind kind, size_t offset, std::string_view text = {}) {
        out_->push_back(Token{kind, offset, text});
    }

    size_t find_byte(char byte, size_t from) const {
        if (from >= source_.size()) return source_.size();
        const void* hit = std::memchr(source_.data() + from, byte, source_.size() - from);
        if (hit == nullptr) return source_.size();
        return static_cast<size_t>(static_cast<const char*>(hit) - source_.data());
    }

    // The first of the bytes `a`, `b` and `c` at or after `from`, or the size of the source:
    // sixteen bytes at a time where SSE2 is there.
    size_t find_first_of(size_t from, char a, char b, char c) const {
        const char* data = source_.data();
        const size_t size = source_.size();
        size_t i = from;
#if defined(__SSE2__)
        const __m128i first = _mm_set1_epi8(a);
        const __m128i second = _mm_set1_epi8(b);
        const __m128i third = _mm_set1_epi8(c);
        for (; i + 16 <= size; i += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            const __m128i hits = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(chunk, first), _mm_cmpeq_epi8(chunk, second)),
                _mm_cmpeq_epi8(chunk, third));
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
            if (mask != 0) return i + static_cast<size_t>(std::countr_zero(mask));
        }
#endif
        for (; i < size; ++i) {
            if (data[i] == a || data[i] == b || data[i] == c) return i;
        }
        return size;
    }

    // The first byte at or after `from` that may end a text run: an escape, a brace or a line
    // feed.
    size_t find_text_stop(size_t from) const {
        return find_first_of(from, '\\', '{', '\n');
    }

    // The rest of the line without its terminator; moves past at most one CR, then one LF.
    std::string_view take_line() {
        const size_t start = position_;
        size_t end = start;
        while (end < source_.size() && source_[end] != '\n' && source_[end] != '\r')
            ++end;
        position_ = end;
        if (position_ < source_.size() && source_[position_] == '\r') ++position_;
        if (position_ < source_.size() && source_[position_] == '\n') ++position_;
        return source_.substr(start, end - start);
    }

    Status eat_frontmatter() {
        emit(TokenKind::FrontmatterDelimiter, 0);
        size_t content = 3;
        if (source_[content] == '\r') ++content;
        if (source_[content] == '\n') ++content;
        size_t line = content;
        while (true) {
            if (source_.compare(line, 3, "---") == 0) {
                const size_t after = line + 3;
                if (after == source_.size() || source_[after] == '\n' || source_[after] == '\r') {
                    break;
                }
            }
            const size_t feed = find_byte('\n', line);
            if (feed == source_.size()) {
                return make_syntax_error_at(kUnclosedFrontmatter, name_, source_, 0, 3);
            }
            line = feed + 1;
        }
        emit(TokenKind::Frontmatter, content, source_.substr(content, line - content));
        emit(TokenKind::FrontmatterDelimiter, line);
        position_ = line + 3;
        if (position_ < source_.size() && source_[position_] == '\r') ++position_;
        if (position_ < source_.size() && source_[position_] == '\n') ++position_;
        return {};
    }

    Status eat_next() {
        if (at_line_start(position_)) {
            if (const auto marker = detect_code_fence(source_, position_)) {
                if (!fence_) {
                    eat_fence_line(true, *marker);
                    return {};
                }
                if (closes_fence(*marker)) {
                    eat_fence_line(false, *marker);
                    return {};
                }
            }
            if (fence_) {
                eat_code();
                return {};
            }
            if (source_[position_] == '@') {
                eat_directive();
                return {};
            }
        } else if (fence_) {
            eat_code();
            return {};
        }
        if (starts_escaped_brace(position_)) {
            emit(TokenKind::EscapedBrace, position_);
            position_ += 3;
            return {};
        }
        if (starts_interpolation(position_)) return eat_interpolation();
        eat_text();
        return {};
    }

    bool starts_escaped_brace(size_t i) const {
        return source_.size() - i >= 3 && source_[i] == '\\' && source_[i + 1] == '{' &&
               source_[i + 2] == '{';
    }

    bool starts_interpolation(size_t i) const {
        return source_.size() - i >= 2 && source_[i] == '{' && source_[i + 1] == '{';
    }

    void eat_fence_line(bool opening, const FenceMarker& marker) {
        const size_t start = position_;
        const std::string_view line = take_line();
        emit(TokenKind::CodeFence, start, line);
        if (opening) {
            fence_ = OpenFence{marker.length, marker.marker, start};
        } else {
            fence_.reset();
        }
    }

    void eat_directive() {
        const size_t start = position_;
        const size_t feed = find_byte('\n', start);
        size_t end = feed;
        while (end > start && source_[end - 1] == '\r')
            --end;
        emit(TokenKind::Directive, start, source_.substr(start, end - start));
        position_ = feed == source_.size() ? feed : feed + 1;
    }

    Status eat_interpolation() {
        const size_t start = position_;
        const size_t content = start + 2;
        char quote = 0;
        size_t i = content;
        while (i < source_.size()) {
            // Outside a string only a quote or a brace can change anything.
            if (quote == 0) {
                i = find_first_of(i, '}', '"', '\'');
                if (i == source_.size()) break;
            }
            const char c = source_[i];
            if (quote != 0) {
                if (c == '\\') {
                    // The escaped character may be the last one; then the source ends inside.
                    i += 2;
                    continue;
                }
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '}' && i + 1 < source_.size() && source_[i + 1] == '}') {
                emit(TokenKind::Interpolation, start,
                     trim_white_space(source_.substr(content, i - content)));
                position_ = i + 2;
                return {};
            }
            ++i;
        }
        return make_syntax_error_at(kUnclosedInterpolation, name_, source_, start, 2);
    }

    // Stops only at the bytes that may end a text run: an escape, an interpolation, or a line
    // feed after which a directive or fence line may begin.
    void eat_text() {
        const size_t start = position_;
        const size_t size = source_.size();
        size_t i = start;
        while (i < size) {
            i = find_text_stop(i);
            if (i == size) break;
            if (source_[i] == '\n') {
                const size_t next = i + 1;
                if (next < size && (source_[next] == '@' || detect_code_fence(source_, next))) {
                    i = next;
                    break;
                }
                i = next;
                continue;
            }
            if (starts_escaped_brace(i) || starts_interpolation(i)) break;
            ++i;
        }
        // The main loop has ruled out every stop at `start`, so the run is never empty.
        if (i == start) i = start + 1;
        emit(TokenKind::Text, start, source_.substr(start, i - start));
        position_ = i;
    }

    void eat_code() {
        const size_t start = position_;
        size_t line = start;
        while (true) {
            const size_t feed = find_byte('\n', line);
            if (feed == source_.size()) {
                line = source_.size();
                break;
            }
            line = feed + 1;
            if (line == source_.size()) break;
            const auto marker = detect_code_fence(source_, line);
            if (marker && closes_fence(*marker)) break;
        }
        emit(TokenKind::CodeBlock, start, source_.substr(start, line - start));
        position_ = line;
    }

    std::string_view source_;
    std::string_view name_;
    size_t position_ = 0;
    bool started_ = false;
    std::vector<Token>* out_ = nullptr;
    std::optional<OpenFence> fence_;
};

TokenStream::TokenStream(std::string_view source, std::string_view name)
    : lexer_(std::make_unique<Lexer>(source, name)) {}

TokenStream::~TokenStream() = default;

Result<bool> TokenStream::step(std::vector<Token>& out) {
    return lexer_->step(out);
}

size_t most_tokens(std::string_view source) {
    // Every token but a text run starts after a line feed or takes two "{" bytes of its own (an
    // interpolation or an escaped brace), so counting those bounds the count. Counting in runs
    // short enough for one-byte sums lets compilers compare many bytes at once.
    constexpr size_t kRun = 255;
    size_t braces = 0;
    size_t feeds = 0;
    for (size_t i = 0; i < source.size();) {
        const size_t end = std::min(source.size(), i + kRun);
        uint8_t run_braces = 0;
        uint8_t run_feeds = 0;
        for (; i < end; ++i) {
            run_braces = static_cast<uint8_t>(run_braces + (source[i] == '{'));
            run_feeds = static_cast<uint8_t>(run_feeds + (source[i] == '\n'));
        }
        braces += run_braces;
        feeds += run_feeds;
    }
    // The start of the source and the three frontmatter tokens; then a text run before each.
    return 2 * (braces / 2 + feeds + 4) + 1;
}

std::optional<FenceMarker> detect_code_fence(std::string_view source, size_t position) {
    size_t i = position;
    while (i < source.size() && (source[i] == ' ' || source[i] == '\t' || source[i] == '>'))
        ++i;
    if (i >= source.size() || (source[i] != '`' && source[i] != '~')) return std::nullopt;
    const char marker = source[i];
    const size_t run_start = i;
    while (i < source.size() && source[i] == marker)
        ++i;
    const size_t length = i - run_start;
    if (length < 3) return std::nullopt;
    bool bare = true;
    for (; i < source.size() && source[i] != '\n' && source[i] != '\r'; ++i) {
        if (source[i] != ' ' && source[i] != '\t') {
            bare = false;
            break;
        }
    }
    return FenceMarker{length, static_cast<char32_t>(marker), bare};
}

std::string frontmatter_text(const Token& token) {
    std::string text;
    text.reserve(token.text.size());
    for (const char c : token.text) {
        if (c != '\r') text += c;
    }
    return text;
}

Result<std::vector<Token>> tokenize(std::string_view source, std::string_view name) {
    TokenStream stream(source, name);
    std::vector<Token> tokens;
    tokens.reserve(source.size() / kSourceBytesPerToken + 16);
    while (true) {
        TYX_ASSIGN_OR_RETURN(const bool more, stream.step(tokens));
        if (!more) return tokens;
    }
}

}  // namespace tyx
